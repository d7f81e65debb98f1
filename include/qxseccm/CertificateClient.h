// CertificateClient: the node's certificate client, started once by the node's agent.
#pragma once

#include "qxmox/String.h"

namespace QxSecCm {

class CertificateClientImpl;

// CertStatus_e is the node's certificate status as GetCertStatus and the "GetCertStatus" call
// of the node's service report it. Installed is 3 and denied is 4.
enum CertStatus_e {
  CERT_STATUS_UNKNOWN = 0,    // failed, or the node's service cannot be reached
  CERT_STATUS_NONE = 1,       // no certificate and no request outstanding
  CERT_STATUS_PENDING = 2,    // a request is being sent or its answer is awaited
  CERT_STATUS_INSTALLED = 3,  // the node's certificate and private key are in the key store
  CERT_STATUS_DENIED = 4,     // the certificate server denied the request
};

// CertificateClient starts and stops the process's one certificate client. It obtains the
// node's certificate from the certificate server ("CERTIFICATE_SERVER" in "sec.cm.client"),
// keeps its progress across restarts, installs the certificate and the trusted roots in the
// key store, and serves the node's service "com.mt.qx.sec.cm.certificateclient".
class CertificateClient {
 public:
  // Init starts the client for coreId (the alias of the node's certificate in the key store).
  // It never throws: failures go to the platform log.
  static void Init(const QxMoxStr::String_t& coreId);
  // Stop stops the request sender and the node's service. The client's state stays.
  static void Stop();
  // GetCertStatus asks the node's service on this machine for the status (a CertStatus_e
  // value); 0 when it cannot be reached.
  static int GetCertStatus();

 private:
  static CertificateClientImpl* s_client;
};

}  // namespace QxSecCm
