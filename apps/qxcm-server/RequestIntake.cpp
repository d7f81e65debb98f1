// RequestIntake: reading, storing and answering a node's request message.
#include "RequestIntake.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <variant>

#include "Clock.h"
#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"

namespace QxCmServer {
namespace {

using QxSecCm::RequestMessage;

constexpr int32_t kTryAgain = 0;
// Requests stored in one transaction at most, and how long a busy intake waits for a group to
// fill: a millisecond on a node's answer buys one commit (one fsync) for several requests. Longer
// waits measured worse: the requests of the next group then wait on this one, and the server
// spends more per certificate, not less.
constexpr size_t kMaxGroup = 64;
constexpr std::chrono::milliseconds kGather{1};

// StoreUnavailable carries a store failure met while reading, so that it is answered "try
// again" rather than taken for a corrupt message.
struct StoreUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::optional<std::string> InstallKey(Store& store, const std::string& id) {
  try {
    return store.GetInstallKey(id);
  } catch (const std::exception& e) {
    throw StoreUnavailable(e.what());
  }
}

// Read returns the request msg carries, or the reply refusing it. store gives the
// installation keys.
std::variant<Request, int32_t> Read(const QxZebMsg::IncomingMsg& msg, Store& store) {
  try {
    QxMoxIo::CharArrayInputStream_t in = msg.GetInputStream();
    RequestMessage message(in);
    QxMoxArray::CharArray_t installKey;
    if (message.HasInstallKey()) {
      const std::optional<std::string> key = InstallKey(store, message.GetInstallId().ToUtf8());
      if (!key) return RequestMessage::REPLY_UNKNOWN_INSTALL_ID;
      installKey = QxMoxArray::CharArray_t(*key);
    }
    auto body = message.ReadBody<QxSecCm::CertRequest_ex>(message.UnwrapKey(installKey));
    QxMoxIo::CharArrayOutputStream_t record;
    body.request->WriteTo(&record);

    Request request;
    request.id = body.request.GetId().ToUtf8();
    // Without an id the node could never be answered nor the request decided.
    if (request.id.empty()) return RequestMessage::REPLY_INSTALL_KEY_REFUSED;
    request.installationId = message.HasInstallKey() ? message.GetInstallId().ToUtf8() : "0";
    request.record = record.ToCharArray().ToStdString();
    request.csr = body.csr.ToStdString();
    request.peerAddress = msg.GetPeerAddress().ToUtf8();
    request.callback = msg.GetFrom().ToUtf8();  // responses go to "msg/" below it
    request.commonName = body.request.GetCN().ToUtf8();
    // The request's common name is the node's core id (its key store alias).
    request.coreId = request.commonName;
    request.receivedMs = NowMs();
    return request;
  } catch (const QxMoxMsg::Exception_t&) {
    // The codec throws its IOException_t for a key that does not decipher and for corrupt
    // bytes alike, and a record's reader may refuse a value in its own words.
    return RequestMessage::REPLY_INSTALL_KEY_REFUSED;
  }
}

std::string DuplicateResponse(const std::string& id) {
  QxSecCm::ResponseMessage response;
  response.returnCode = QxSecCm::ResponseMessage::DUPLICATE;
  response.requestId = QxMoxStr::String_t(id);
  QxMoxIo::CharArrayOutputStream_t out;
  response.Write(out);
  return out.ToCharArray().ToStdString();
}

}  // namespace

RequestIntake::RequestIntake(Store& store, const AutoGranter& granter, Decisions& decisions,
                             OutboxDelivery& outbox, Metrics& metrics,
                             std::function<void(bool enqueued)> changed)
    : m_store(store),
      m_granter(granter),
      m_decisions(decisions),
      m_outbox(outbox),
      m_metrics(metrics),
      m_changed(std::move(changed)),
      m_puts([this](std::vector<Request>& requests) { return StoreGroup(requests); }, kMaxGroup,
             kGather) {}

RequestIntake::~RequestIntake() { WaitForCalls(); }

std::vector<RequestIntake::Stored> RequestIntake::StoreGroup(const std::vector<Request>& requests) {
  const auto start = std::chrono::steady_clock::now();
  const Decisions::Prepared prepared = m_decisions.Prepare(
      requests, [this](const Request& r) { return m_granter.Covers(r); }, AutoGranter::kActor,
      AutoGranter::LogFailed);
  const OutboxDelivery::Ended ended = m_outbox.TakeEnded();
  Store::Committed result;
  try {
    result = m_store.Commit({requests, prepared.grants, ended.attempts, ended.nowMs});
  } catch (...) {
    m_outbox.Recorded(ended, {});
    throw;
  }
  m_outbox.Recorded(ended, result.states);
  m_decisions.Stored(result.granted, start);
  const std::vector<bool> granted = prepared.ByRequest(result.granted, requests.size());
  std::vector<Stored> stored(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    stored[i] = {std::move(result.outcomes[i]), granted[i]};
  }
  return stored;
}

int32_t RequestIntake::Take(const QxZebMsg::IncomingMsg& msg) {
  try {
    std::variant<Request, int32_t> read = Read(msg, m_store);
    if (const int32_t* refusal = std::get_if<int32_t>(&read)) return *refusal;
    Request& request = std::get<Request>(read);
    // Kept for a duplicate's response; the request itself moves into the group.
    const std::string id = request.id;
    const std::string callback = request.callback;
    const Stored stored = m_puts.Submit(std::move(request));
    switch (stored.outcome.result) {
      case PutResult_e::NEW:
        m_metrics.CountReceived();
        // A grant woke the deliveries already (Decisions::Stored).
        if (!stored.granted) m_changed(false);
        break;
      case PutResult_e::DUPLICATE:
        m_store.Enqueue(id, callback, DuplicateResponse(id));
        m_changed(true);
        break;
      case PutResult_e::SAME:
        break;
    }
    return RequestMessage::REPLY_ACCEPTED;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qxcm-server: a request message could not be stored: %s\n", e.what());
    return kTryAgain;
  }
}

void RequestIntake::Process(QxZebMsg::IncomingMsg& msg) {
  const int32_t reply = Take(msg);
  QxZebMsg::OutgoingReply out = msg.CreateReply();
  QxMoxIo::DataOutputStream_t data(out.GetOutputStream());
  data.WriteInt32(reply);
  data.Close();
}

}  // namespace QxCmServer
