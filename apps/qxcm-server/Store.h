// The certificate server's durable state behind one interface: requests, decisions, issued
// certificates, the outbox of responses, events, installation keys and observers. Every method
// is one transaction, and the events a change causes are written in that same transaction, so a
// kill at any moment leaves either all of a change or none of it. An implementation is safe to
// call from several threads: intake, administration and the delivery threads share one store.
// The interface says nothing of the database behind it: SQLite keeps one server's state, and an
// implementation over a shared database server can keep several servers' state in one place.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace QxCmServer {

enum class RequestStatus_e { PENDING = 0, GRANTED = 1, DENIED = 2, REMOVED = 3, SUPERSEDED = 4 };

// The event type codes the server publishes to observers (and documents in --help).
enum EventType_e {
  EVENT_RECEIVED = 1,    // a new request was stored
  EVENT_GRANTED = 2,     // a certificate was issued for a request
  EVENT_DENIED = 3,      // a request was denied
  EVENT_REMOVED = 4,     // a request was removed without a decision
  EVENT_ANSWERED = 5,    // the node replied to a response (payload: the reply code)
  EVENT_INSTALLED = 6,   // the node reported the certificate installed
  EVENT_SUPERSEDED = 7,  // a newer request of the same node replaced a pending one
  EVENT_DUPLICATE = 8,   // the same request id came with different bytes
};

// EventName returns the word for an event type code ("received" for 1 ... "duplicate" for 8),
// "unknown" for any other value: the one list of names the server and qxcm print.
inline const char* EventName(int type) {
  static constexpr const char* kNames[] = {"unknown",   "received",   "granted",
                                           "denied",    "removed",    "answered",
                                           "installed", "superseded", "duplicate"};
  return type > 0 && type < static_cast<int>(std::size(kNames)) ? kNames[type] : "unknown";
}

struct Request {
  std::string id;
  std::string installationId;  // "0" for requests enciphered with the platform key
  std::string record;          // the request record's stream bytes (CertRequestImpl::WriteTo)
  std::string csr;             // the certificate signing request's bytes
  std::string peerAddress;     // where the request message came from
  std::string callback;        // the node's callback address (X-Qx-From)
  std::string coreId;          // the node's core id; a node never has two pending requests
  std::string commonName;
  int64_t receivedMs = 0;  // reception time, milliseconds since the epoch
  RequestStatus_e status = RequestStatus_e::PENDING;
};

enum class PutResult_e {
  NEW,        // stored, pending
  SAME,       // same id and same request bytes as one stored: nothing stored
  DUPLICATE,  // same id with different bytes: nothing stored but the event
};

struct PutOutcome {
  PutResult_e result = PutResult_e::NEW;
  std::vector<std::string> superseded;  // ids of the node's older pending requests replaced
};

struct Certificate {
  std::string serial;  // as the builder wrote it (hexadecimal)
  std::string requestId;
  std::string pem;
  int64_t notAfterMs = 0;
  bool delivered = false;
  bool installed = false;
};

// A response waiting to be delivered to a node's callback address.
struct OutboxEntry {
  int64_t id = 0;
  std::string requestId;
  std::string destination;
  std::string body;  // the response message's bytes
  int attempts = 0;
  int64_t nextAttemptMs = 0;
  std::optional<int> lastReply;
};

// The entries a delivery pass may hand out, and when the next waiting entry that is neither
// among them nor skipped is due (nothing when there is none).
struct DueEntries {
  std::vector<OutboxEntry> entries;
  std::optional<int64_t> nextDueMs;
};

enum class OutboxState_e { DONE, RETRY, GIVEN_UP };

struct Event {
  int64_t number = 0;  // increasing, never reused
  int type = 0;        // EventType_e
  std::string requestId;
  int64_t timeMs = 0;
  std::string payload;
};

// One grant: the certificate issued for requestId by actor and the response carrying it.
struct Issue {
  std::string requestId;
  std::string actor;
  Certificate cert;
  std::string response;
};

// How one delivery attempt at an outbox entry ended: the node's reply, or none.
struct DeliveryAttempt {
  int64_t id = 0;
  std::optional<int> reply;
};

struct Observer {
  std::string callback;
  int64_t registeredMs = 0;
  int failures = 0;
  int64_t lastEvent = 0;  // the last event number delivered to it
};

class Store {
 public:
  virtual ~Store() = default;

  // ---- One transaction of several kinds ----
  // Changes is what one transaction writes, in this order: requests to store (as PutRequests
  // does), grants to record (as Grant does), and attempts at outbox entries that ended, recorded
  // at nowMs (as RecordAttempts does). Work arriving together from the intake, the decisions
  // and the response delivery so shares one commit.
  struct Changes {
    std::span<const Request> requests = {};
    std::span<const Issue> grants = {};
    std::span<const DeliveryAttempt> attempts = {};
    int64_t nowMs = 0;
  };
  struct Committed {
    std::vector<PutOutcome> outcomes;   // one per request
    std::vector<bool> granted;          // one per grant
    std::vector<OutboxState_e> states;  // one per attempt
  };
  virtual Committed Commit(const Changes& changes) = 0;

  // ---- Requests ----
  // PutRequests stores each request as pending unless its id is known (SAME or DUPLICATE), in
  // order, all in one transaction; one outcome per request. A new request supersedes the
  // pending requests of the same core id.
  std::vector<PutOutcome> PutRequests(const std::vector<Request>& requests) {
    return Commit({.requests = requests}).outcomes;
  }
  PutOutcome PutRequest(const Request& request) { return PutRequests({request}).front(); }
  virtual std::optional<Request> GetRequest(const std::string& id) = 0;
  // ListPending returns the pending requests, oldest first.
  virtual std::vector<Request> ListPending() = 0;
  // PendingCount returns how many requests are pending.
  virtual int64_t PendingCount() = 0;
  // Remove marks a pending request removed; false when id is not pending.
  virtual bool Remove(const std::string& id) = 0;
  // RemoveAll removes every pending request and returns how many.
  virtual int RemoveAll() = 0;

  // ---- Decisions ----
  // Grant records each grant by its actor, stores its certificate and enqueues its response to
  // the request's callback address, all in one transaction; one result per grant, false
  // (nothing changed for it) when its request is not pending.
  std::vector<bool> Grant(const std::vector<Issue>& grants) {
    return Commit({.grants = grants}).granted;
  }
  bool Grant(const std::string& id, const std::string& actor, const Certificate& cert,
             const std::string& response) {
    return Grant(std::vector<Issue>{{id, actor, cert, response}}).front();
  }
  // Deny records the denial by actor and enqueues response (code 2) at once; false when the
  // request is not pending.
  virtual bool Deny(const std::string& id, const std::string& actor,
                    const std::string& response) = 0;
  // Enqueue adds a response outside a decision (a duplicate's code 3) to the outbox.
  virtual void Enqueue(const std::string& requestId, const std::string& destination,
                       const std::string& response) = 0;
  virtual std::vector<Certificate> ListCertificates() = 0;
  // LatestIssuedRequest returns the id of the last received request of coreId that has a
  // certificate; nothing when it has none.
  virtual std::optional<std::string> LatestIssuedRequest(const std::string& coreId) = 0;
  // MarkInstalled records that the node installed the certificate of requestId.
  virtual bool MarkInstalled(const std::string& requestId) = 0;

  // ---- Outbox ----
  // Due returns, in due order, up to limit waiting entries whose next attempt time is at or
  // before nowMs and whose ids are not in skip (the entries in flight), with the next due time
  // of the rest, in one read; the bodies of skipped entries are not read.
  virtual DueEntries Due(int64_t nowMs, int limit, const std::set<int64_t>& skip) = 0;
  std::vector<OutboxEntry> Due(int64_t nowMs, int limit) { return Due(nowMs, limit, {}).entries; }
  // RecordAttempts records how attempts at outbox entries ended, all in one transaction; one
  // state per attempt. A reply of 0 or 3 finishes its entry (the certificate is delivered), 5
  // and 6 give it up, others reschedule it. An attempt without a reply (the node unreachable)
  // counts as failed: the entry waits longer each time, and after the last allowed attempt it is
  // given up.
  std::vector<OutboxState_e> RecordAttempts(const std::vector<DeliveryAttempt>& attempts,
                                            int64_t nowMs) {
    return Commit({.attempts = attempts, .nowMs = nowMs}).states;
  }
  OutboxState_e RecordReply(int64_t id, int reply, int64_t nowMs) {
    return RecordAttempts({{id, reply}}, nowMs).front();
  }
  OutboxState_e Reschedule(int64_t id, int64_t nowMs) {
    return RecordAttempts({{id, std::nullopt}}, nowMs).front();
  }
  // Waiting returns how many entries wait for delivery.
  virtual int64_t Waiting() = 0;

  // ---- Events ----
  // EventsSince returns up to limit events numbered above number, in order.
  virtual std::vector<Event> EventsSince(int64_t number, int limit) = 0;
  virtual int64_t LastEventNumber() = 0;

  // ---- Installation keys ----
  virtual void PutInstallKey(const std::string& id, const std::string& key) = 0;
  virtual std::optional<std::string> GetInstallKey(const std::string& id) = 0;
  virtual std::vector<std::string> ListInstallKeys() = 0;
  virtual bool RemoveInstallKey(const std::string& id) = 0;

  // ---- Observers ----
  // AddObserver registers callback (again: its failures cleared), starting after the last event.
  virtual void AddObserver(const std::string& callback, int64_t nowMs) = 0;
  virtual bool RemoveObserver(const std::string& callback) = 0;
  virtual std::vector<Observer> ListObservers() = 0;
  // ObserverDelivered records that events up to number reached callback; failures restart.
  virtual void ObserverDelivered(const std::string& callback, int64_t number) = 0;
  // ObserverFailed counts a failed delivery and returns the failures in a row.
  virtual int ObserverFailed(const std::string& callback) = 0;
};

}  // namespace QxCmServer
