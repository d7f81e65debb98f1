// CertClientMsgHandler: the node's "/msg/" endpoint for the certificate server's answers, and
// the sending of the node's request message.
#pragma once

#include "CallCounter.h"
#include "MessageKey.h"
#include "qxmox/CharArray.h"
#include "qxmox/String.h"
#include "qxmox/Thread.h"
#include "qxseccm/CertRequest.h"
#include "qxzeb/Messenger.h"

namespace QxSecCm {

class CertificateClientImpl;

// CertClientMsgHandler reads the response message (ResponseMessage), hands it to the client
// and replies one Int32: the client's answer, or 1 when the message could not be processed.
// It also writes the node's request messages (RequestMessage) to "CERTIFICATE_SERVER" through
// the node's messenger; their reply is one Int32 from the server, -1 when none arrived.
class CertClientMsgHandler : public QxZebMsg::MsgHandler {
 public:
  CertClientMsgHandler(CertificateClientImpl* client, const QxMoxStr::String_t& basePath,
                       const QxZebMsg::Messenger& messenger);
  // ~CertClientMsgHandler waits for the answers being processed.
  ~CertClientMsgHandler() override;

  void Process(QxZebMsg::IncomingMsg& msg) override;
  QxMoxStr::String_t GetBasePath() const override;
  bool IsThreadSafe() const override { return true; }
  bool IsMemoryBased() const override { return true; }
  void Attach() override;
  void Detach() override;

  // PutCertificateRequest sends a request without installation key: the message key is
  // enciphered with the platform key and the installation id is "0".
  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr);
  // PutCertificateRequest sends a request whose message key is enciphered with installKey.
  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr,
                            const QxMoxArray::CharArray_t& installKey,
                            const QxMoxStr::String_t& installId);
  // PutCertificateRequest writes and sends the message with a message key already enciphered.
  int PutCertificateRequest(const CertRequest& request, const QxMoxArray::CharArray_t& csr,
                            const QxMoxArray::CharArray_t& encMessageKey,
                            const MessageKey& messageKey, const QxMoxStr::String_t& installId);

 private:
  CallCounter m_calls;
  CertificateClientImpl* m_client;
  QxMoxStr::String_t m_basePath;
  QxZebMsg::Messenger m_messenger;
};

}  // namespace QxSecCm
