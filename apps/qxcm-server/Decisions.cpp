// Decisions: issuing or refusing, and the response message each decision sends the node.
#include "Decisions.h"

#include <algorithm>
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
  const std::optional<Request> request = Pending(id);
  if (!request) return false;
  std::exception_ptr error;
  const auto keep = [&](const std::string&, std::exception_ptr e) { error = e; };
  const bool granted = GrantAll({*request}, actor, keep).front();
  if (error) std::rethrow_exception(error);
  return granted;
}

Decisions::Prepared Decisions::Prepare(const std::vector<Request>& requests,
                                       const std::function<bool(const Request&)>& include,
                                       const std::string& actor, const Failed& failed) {
  std::vector<size_t> included;
  for (size_t i = 0; i < requests.size(); ++i) {
    if (include(requests[i])) included.push_back(i);
  }
  Prepared prepared;
  if (included.empty()) return prepared;
  std::lock_guard lock(m_mutex);
  // The trusted certificates once for the group: every response of it carries the same list.
  const std::vector<QxMoxArray::CharArray_t> trusted = m_identity.TrustedCertificates();
  for (const size_t i : included) {
    const std::string& id = requests[i].id;
    try {
      QxMoxArray::CharArray_t pem;
      QxSecCm::IssuedCertificate issued;
      m_builder.BuildCertificate(QxSecCm::CertRequest_ex(),
                                 QxMoxArray::CharArray_t(requests[i].csr), pem, false, &issued);

      QxSecCm::ResponseMessage response;
      response.returnCode = QxSecCm::ResponseMessage::GRANTED;
      response.requestId = QxMoxStr::String_t(id);
      response.certificate = pem;
      response.trustedCerts = trusted;

      Certificate cert;
      cert.serial = HexSerial(issued.serial);
      cert.requestId = id;
      cert.pem = pem.ToStdString();
      cert.notAfterMs = issued.notAfter * 1000;
      prepared.grants.push_back(Issue{id, actor, std::move(cert), ResponseBytes(response)});
      prepared.positions.push_back(i);
    } catch (...) {
      failed(id, std::current_exception());
    }
  }
  return prepared;
}

std::vector<bool> Decisions::Prepared::ByRequest(const std::vector<bool>& stored,
                                                 size_t count) const {
  std::vector<bool> granted(count, false);
  for (size_t g = 0; g < stored.size(); ++g) {
    if (stored[g]) granted[positions[g]] = true;
  }
  return granted;
}

void Decisions::Stored(const std::vector<bool>& stored,
                       std::chrono::steady_clock::time_point start) {
  const auto granted = std::count(stored.begin(), stored.end(), true);
  if (granted == 0) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Each certificate of a group waited for the whole group's commit.
  for (auto g = granted; g > 0; --g) m_metrics.CountIssued(seconds);
  m_changed();
}

std::vector<bool> Decisions::GrantAll(const std::vector<Request>& requests,
                                      const std::string& actor, const Failed& failed) {
  const auto start = std::chrono::steady_clock::now();
  // Held from the issue to the commit: an administrator's grant and the automatic one of the
  // same request never both draw a serial number.
  std::lock_guard lock(m_grantMutex);
  const Prepared prepared = Prepare(
      requests, [](const Request& r) { return r.status == RequestStatus_e::PENDING; }, actor,
      failed);
  if (prepared.grants.empty()) return std::vector<bool>(requests.size(), false);
  const std::vector<bool> stored = m_store.Grant(prepared.grants);
  Stored(stored, start);
  return prepared.ByRequest(stored, requests.size());
}

bool Decisions::Deny(const std::string& id, const std::string& actor) {
  std::lock_guard lock(m_grantMutex);
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
