// Decisions: issuing or refusing, and the response message each decision sends the node.
#include "Decisions.h"

#include <cstdint>
#include <sstream>

#include "ResponseMessage.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"
#include "qxseccore/Certificate.h"

namespace QxCmServer {
namespace {

std::string ResponseBytes(const QxSecCm::ResponseMessage& response) {
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out);
  return out.ToCharArray().ToStdString();
}

}  // namespace

Decisions::Decisions(Store& store, const ServerIdentity& identity, std::function<void()> changed)
    : m_store(store),
      m_identity(identity),
      m_changed(std::move(changed)),
      m_builder(identity.CaCertificate(), identity.CaKey()) {}

std::string Decisions::HexSerial(const std::string& decimal) {
  std::ostringstream hex;
  hex << std::uppercase << std::hex << std::stoull(decimal);
  return hex.str();
}

std::optional<Request> Decisions::Pending(const std::string& id) {
  std::optional<Request> request = m_store.GetRequest(id);
  if (!request || request->status != RequestStatus_e::PENDING) return std::nullopt;
  return request;
}

bool Decisions::Grant(const std::string& id, const std::string& actor) {
  std::lock_guard lock(m_mutex);
  const std::optional<Request> request = Pending(id);
  if (!request) return false;
  QxMoxArray::CharArray_t pem;
  m_builder.BuildCertificate(QxSecCm::CertRequest_ex(), QxMoxArray::CharArray_t(request->csr), pem,
                             false);
  const QxSecCore::X509Certificate issued(pem);

  QxSecCm::ResponseMessage response;
  response.returnCode = QxSecCm::ResponseMessage::GRANTED;
  response.requestId = QxMoxStr::String_t(id);
  response.certificate = pem;
  response.trustedCerts = m_identity.TrustedCertificates();

  Certificate cert;
  cert.serial = HexSerial(issued.GetSerial().ToUtf8());
  cert.requestId = id;
  cert.pem = pem.ToStdString();
  cert.notAfterMs = issued.GetNotAfter() * 1000;
  if (!m_store.Grant(id, actor, cert, ResponseBytes(response))) return false;
  m_changed();
  return true;
}

bool Decisions::Deny(const std::string& id, const std::string& actor) {
  std::lock_guard lock(m_mutex);
  if (!Pending(id)) return false;
  QxSecCm::ResponseMessage response;
  response.returnCode = QxSecCm::ResponseMessage::DENIED;
  response.requestId = QxMoxStr::String_t(id);
  if (!m_store.Deny(id, actor, ResponseBytes(response))) return false;
  m_changed();
  return true;
}

}  // namespace QxCmServer
