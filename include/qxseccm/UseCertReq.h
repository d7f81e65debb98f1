// g_UseCertReq: the process-wide switch that names the request element of an _ex event's SOAP
// form.
#pragma once

namespace QxSecCm {

// g_UseCertReq holds one process-wide flag, false at process start. An _ex event argument reads
// it once when it is built and names its nested request element "certrequest" when the flag is
// set, "certrequest_ex" when it is not. A process sets the switch once, before it builds the
// event arguments that depend on it; arguments built earlier keep their name.
class g_UseCertReq {
 public:
  // SetUseCertReq sets the flag for the rest of the process (there is no way back); writers are
  // serialised by the flag's mutex. Reports nothing.
  static void SetUseCertReq();
  // GetUseCertReq returns the flag, without taking the mutex (the flag is atomic, so a reader
  // racing a writer sees either value, never a torn one).
  static bool GetUseCertReq();
};

}  // namespace QxSecCm
