// CertClientMsgHandler: reading the certificate server's answer and sending the request.
#include "CertClientMsgHandler.h"

#include "CertificateClientImpl.h"
#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "qxmox/Config.h"
#include "qxmox/Io.h"
#include "qxmox/Net.h"
#include "qxseccm/Catalog.h"

namespace QxSecCm {
namespace {

constexpr const char* kServerMsgPath = "/com.mt.qx.sec.cm.certificateserver/msg/";

void WriteReply(QxZebMsg::IncomingMsg& msg, int value) {
  QxZebMsg::OutgoingReply reply = msg.CreateReply();
  QxMoxIo::DataOutputStream_t out(reply.GetOutputStream());
  out.WriteInt32(value);
  out.Close();
}

}  // namespace

CertClientMsgHandler::CertClientMsgHandler(CertificateClientImpl* client,
                                           const QxMoxStr::String_t& basePath,
                                           const QxZebMsg::Messenger& messenger)
    : m_client(client), m_basePath(basePath), m_messenger(messenger) {}

CertClientMsgHandler::~CertClientMsgHandler() {
  // Calls in progress use m_client: they finish first.
  WaitForCalls();
  m_calls.WaitIdle();
}

QxMoxStr::String_t CertClientMsgHandler::GetBasePath() const { return m_basePath; }

void CertClientMsgHandler::Attach() { m_calls.Enter(); }

void CertClientMsgHandler::Detach() { m_calls.Leave(); }

void CertClientMsgHandler::Process(QxZebMsg::IncomingMsg& msg) {
  try {
    QxMoxIo::CharArrayInputStream_t in = msg.GetInputStream();
    const ResponseMessage response = ResponseMessage::Read(in);
    const int reply = m_client->ProcessResponse(response.returnCode, response.requestId,
                                                response.certificate, response.trustedCerts);
    WriteReply(msg, reply);
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessage(Catalog::Error(49), &e);
    try {
      WriteReply(msg, ResponseMessage::REPLY_CORRUPT);
    } catch (...) {
    }
  }
}

int CertClientMsgHandler::PutCertificateRequest(const CertRequest& request,
                                                const QxMoxArray::CharArray_t& csr) {
  return PutCertificateRequest(request, csr, QxMoxArray::CharArray_t(), QxMoxStr::String_t());
}

int CertClientMsgHandler::PutCertificateRequest(const CertRequest& request,
                                                const QxMoxArray::CharArray_t& csr,
                                                const QxMoxArray::CharArray_t& installKey,
                                                const QxMoxStr::String_t& installId) {
  try {
    const MessageKey key = MessageKey::Generate();
    return PutCertificateRequest(request, csr, key.Wrap(installKey), key,
                                 MessageKey::InstallIdFor(installKey, installId));
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessage(Catalog::Error(51), &e);
    return -1;
  }
}

int CertClientMsgHandler::PutCertificateRequest(const CertRequest& request,
                                                const QxMoxArray::CharArray_t& csr,
                                                const QxMoxArray::CharArray_t& encMessageKey,
                                                const MessageKey& messageKey,
                                                const QxMoxStr::String_t& installId) {
  try {
    const QxMoxStr::String_t server =
        QxMoxConfig::ConfigNamespace_t("sec.cm.client").Open().GetValue("CERTIFICATE_SERVER");
    if (IsUnset(server)) {
      LogMessage(Catalog::Error(50));
      return -1;
    }
    const QxMoxNet::URI_t uri(QxMoxStr::String_t("http://") + server +
                              QxMoxStr::String_t(kServerMsgPath));
    QxZebMsg::OutgoingMsg message = m_messenger.CreateMsg(uri);
    RequestMessage::Write(message.GetOutputStream(), request, csr, encMessageKey, messageKey,
                          installId);
    const QxZebMsg::IncomingReply reply = message.ReceiveReply();
    QxMoxIo::CharArrayInputStream_t body = reply.GetInputStream();
    QxMoxIo::DataInputStream_t in(body);
    return in.ReadInt32();
  } catch (const QxMoxMsg::Exception_t& e) {
    LogMessage(Catalog::Error(51), &e);
    return -1;
  }
}

}  // namespace QxSecCm
