// Arbitrary bytes as the body of one RPC call whose arguments are the structured records: a
// request collection of each twin, a string collection, a byte-array list, a single request of
// each twin and an event of each twin, read the way a server reads a request. The read may refuse
// the bytes only with the library's own exceptions.
//
// What a successful read filled is then walked field by field (collections through their
// cursors, every request through its stream format and back) and written back as a call body
// with the same arguments. Reading that body into fresh targets must give exactly what the first
// read gave: a value the parser stores but the writer cannot carry, or writes in a form the
// reader does not take back, is a fault as much as a crash is.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qxmox/CharArray.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxseccm/SoapArgs.h"
#include "qxzeb/Soap.h"

namespace {

using QxMoxStr::String_t;
using QxSecCm::CharArrayList;
using QxZebSoap::SOAPArg;

// Require aborts with a message when the property does not hold.
void Require(bool holds, const char* what, const std::string& detail = std::string()) {
  if (!holds) {
    std::fprintf(stderr, "rpc_records_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::abort();
  }
}

// Fingerprint collects every value a read filled as one text, each value preceded by its
// length, so that two readings compare as a whole and no two different contents collide.
class Fingerprint {
 public:
  void Add(int64_t number) { Text(std::to_string(number)); }
  void Add(const String_t& text) { Units(text.Str()); }
  void Add(const QxMoxArray::CharArray_t& bytes) {
    Add(static_cast<int64_t>(bytes.GetSize()));
    for (size_t i = 0; i < bytes.GetSize(); ++i) m_text.push_back(bytes[i]);
  }
  const std::u16string& Get() const { return m_text; }

 private:
  void Text(const std::string& text) { Units(std::u16string(text.begin(), text.end())); }
  void Units(const std::u16string& units) {
    const std::string length = std::to_string(units.size()) + ":";
    m_text.append(length.begin(), length.end());
    m_text += units;
  }
  std::u16string m_text;
};

// StreamsBack writes a request in its stream format with the peer address, reads that into a
// fresh record and requires the fresh record to write the same bytes.
template <class Request>
QxMoxArray::CharArray_t StreamsBack(const Request& request) {
  QxMoxIo::CharArrayOutputStream_t out;
  request->WriteToWithPeerAddress(&out);
  const QxMoxArray::CharArray_t bytes = out.ToCharArray();
  const Request copy;
  QxMoxIo::CharArrayInputStream_t in(bytes);
  copy->ReadFromWithPeerAddress(&in);
  Require(in.Remaining() == 0, "the stream format of a read request was not read to its end");
  QxMoxIo::CharArrayOutputStream_t again;
  copy->WriteToWithPeerAddress(&again);
  Require(again.ToCharArray() == bytes, "a read request does not stream back the same bytes");
  return bytes;
}

template <class Request>
void AddRequest(Fingerprint& print, const Request& request) {
  print.Add(request.GetId());
  print.Add(request.GetContext());
  print.Add(request.GetCN());
  print.Add(request.GetNodename());
  print.Add(request.GetIPAddress());
  print.Add(request.GetPeerAddress());
  const QxSecCm::Platform platform = request.GetPlatform();
  print.Add(platform.GetTypeCode());
  print.Add(platform.GetVers1());
  print.Add(platform.GetVers2());
  print.Add(platform.GetVers3());
  print.Add(platform.GetCPUTypeCode());
  print.Add(static_cast<int64_t>(request.GetInstallationType()));
  print.Add(static_cast<int64_t>(request.GetTimeReceived()));
  print.Add(static_cast<int64_t>(request->GetDateTimeReceived().m_extra));
  print.Add(platform.ToString());
  print.Add(StreamsBack(request));
}

template <class Collection>
void AddCollection(Fingerprint& print, const Collection& collection) {
  const int size = collection.Size();
  Require(collection.IsEmpty() == (size == 0), "IsEmpty disagrees with Size");
  print.Add(size);
  int walked = 0;
  for (collection.MoveFirst(); !collection.IsAtEnd(); collection.Next()) {
    AddRequest(print, collection.GetCurrent());
    ++walked;
  }
  Require(walked == size, "the cursor walk does not visit Size() requests");
}

template <class Event>
void AddEvent(Fingerprint& print, const Event& event) {
  print.Add(static_cast<int64_t>(event.GetType()));
  print.Add(event.GetInfo());
  AddRequest(print, event.GetCertRequest());
}

// Targets are what one call's arguments fill.
struct Targets {
  QxSecCm::CertRequestCollection crcol;
  QxSecCm::CertRequestCollection_ex crcolEx;
  QxSecCore::StringCollection reqids;
  CharArrayList certs;
  QxSecCm::CertRequest certreq;
  QxSecCm::CertRequest_ex certreqEx;
  QxSecCm::CertEvent event;
  QxSecCm::CertEvent_ex eventEx;

  Fingerprint Print() {
    Fingerprint print;
    AddCollection(print, crcol);
    AddCollection(print, crcolEx);
    print.Add(static_cast<int64_t>(reqids.GetCount()));
    size_t index = 0;
    for (reqids.MoveFirst(); !reqids.IsAtEnd(); reqids.Next(), ++index) {
      Require(reqids.GetCurrent() == reqids.GetAt(index), "cursor and index disagree");
      print.Add(reqids.GetCurrent());
    }
    Require(index == reqids.GetCount(), "the cursor walk does not visit every string");
    print.Add(static_cast<int64_t>(certs.size()));
    for (const QxMoxArray::CharArray_t& bytes : certs) {
      for (size_t i = 0; i < bytes.GetSize(); ++i) {
        Require(bytes[i] != 0, "a byte array of the list holds a NUL");
      }
      print.Add(bytes);
    }
    AddRequest(print, certreq);
    AddRequest(print, certreqEx);
    AddEvent(print, event);
    AddEvent(print, eventEx);
    return print;
  }
};

// Read reads document as a call into targets through argument objects that fill them.
void Read(std::string_view document, Targets& t) {
  QxSecCm::SOAPArgCertRequestCollection crcol("crcol", &t.crcol);
  QxSecCm::SOAPArgCertRequestCollection_ex crcolEx("crcol_ex", &t.crcolEx);
  QxSecCm::SOAPArgStringCollection reqids("reqids", &t.reqids);
  QxSecCm::SOAPArgCharArrayList certs("certs", &t.certs);
  QxSecCm::SOAPArgCertRequest certreq("certreq", &t.certreq);
  QxSecCm::SOAPArgCertRequest_ex certreqEx("certreq_ex", &t.certreqEx);
  QxSecCm::SOAPArgCertEvent event("event", &t.event);
  QxSecCm::SOAPArgCertEvent_ex eventEx("event_ex", &t.eventEx);
  SOAPArg* args[] = {&crcol, &crcolEx, &reqids, &certs, &certreq, &certreqEx, &event, &eventEx};
  QxZebSoap::ReadEnvelope(document, static_cast<int>(std::size(args)), args);
}

// Write writes targets as a call body, with argument objects sharing or copying their values.
std::string Write(const Targets& t) {
  QxSecCm::SOAPArgCertRequestCollection crcol("crcol", t.crcol);
  QxSecCm::SOAPArgCertRequestCollection_ex crcolEx("crcol_ex", t.crcolEx);
  QxSecCm::SOAPArgStringCollection reqids("reqids", t.reqids);
  QxSecCm::SOAPArgCharArrayList certs("certs", t.certs);
  QxSecCm::SOAPArgCertRequest certreq("certreq", t.certreq);
  QxSecCm::SOAPArgCertRequest_ex certreqEx("certreq_ex", t.certreqEx);
  QxSecCm::SOAPArgCertEvent event("event", t.event);
  QxSecCm::SOAPArgCertEvent_ex eventEx("event_ex", t.eventEx);
  SOAPArg* args[] = {&crcol, &crcolEx, &reqids, &certs, &certreq, &certreqEx, &event, &eventEx};
  QxZebSoap::SOAPEnvelope envelope;
  envelope.SetMethod("Call");
  envelope.SetArgs(static_cast<int>(std::size(args)), args);
  return envelope.Write();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Targets first;
  try {
    Read(std::string_view(reinterpret_cast<const char*>(data), size), first);
  } catch (const QxMoxMsg::Exception_t&) {
    return 0;  // refused: fine, as long as nothing else happened
  }
  const Fingerprint read = first.Print();

  std::string written;
  try {
    written = Write(first);
  } catch (const QxMoxMsg::Exception_t& e) {
    Require(false, "what was read cannot be written back", e.what());
  }
  Targets second;
  try {
    Read(written, second);
  } catch (const QxMoxMsg::Exception_t& e) {
    Require(false, "the written-back body is refused", std::string(e.what()) + "\n" + written);
  }
  Require(second.Print().Get() == read.Get(), "the written-back body reads differently", written);
  return 0;
}
