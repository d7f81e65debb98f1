// Decisions: issuing or refusing, and the response message each decision sends the node.
#include "Decisions.h"

#include <chrono>
#include <cstdint>
#include <sstream>

#include "ResponseMessage.h"
#include "qxmox/Io.h"
#include "qxseccm/CertRequest.h"

namespace QxCmServer {
namespace {

// Serial numbers are reserved this many at a time: one serial-file draw and fdatasync per 64
// certificates, at the cost of a gap of at most 63 numbers per server restart.
constexpr uint32_t kSerialBlock = 64;

std::string ResponseBytes(const QxSecCm::ResponseMessage& response) {
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out);
  return out.ToCharArray().ToStdString();
}

}  // namespace

Decisions::Decisions(Store& store, const ServerIdentity& identity, Metrics& metrics,
                     std::function<void()> changed)
    : m_store(store),
      m_identity(identity),
      m_metrics(metrics),
      m_changed(std::move(changed)),
      m_builder(identity.CaCertificate(), identity.CaKey()) {
  m_builder.SetSerialBlock(kSerialBlock);
}

std::string Decisions::HexSerial(uint32_t serial) {
  std::ostringstream hex;
  hex << std::uppercase << std::hex << serial;
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
  const auto start = std::chrono::steady_clock::now();
  QxMoxArray::CharArray_t pem;
  QxSecCm::IssuedCertificate issued;
  m_builder.BuildCertificate(QxSecCm::CertRequest_ex(), QxMoxArray::CharArray_t(request->csr), pem,
                             false, &issued);

  QxSecCm::ResponseMessage response;
  response.returnCode = QxSecCm::ResponseMessage::GRANTED;
  response.requestId = QxMoxStr::String_t(id);
  response.certificate = pem;
  response.trustedCerts = m_identity.TrustedCertificates();

  Certificate cert;
  cert.serial = HexSerial(issued.serial);
  cert.requestId = id;
  cert.pem = pem.ToStdString();
  cert.notAfterMs = issued.notAfter * 1000;
  if (!m_store.Grant(id, actor, cert, ResponseBytes(response))) return false;
  m_metrics.CountIssued(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
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
  m_metrics.CountDenied();
  m_changed();
  return true;
}

}  // namespace QxCmServer
