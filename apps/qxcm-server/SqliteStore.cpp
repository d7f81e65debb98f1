// The certificate server's store in one SQLite database. Byte strings (request records, CSRs,
// response messages, keys) are bound with their lengths and read back byte for byte; SQL never
// looks into them.
#include "SqliteStore.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "Sqlite.h"
#include "qxmox/Exception.h"
#include "qxmox/Io.h"
#include "qxmox/Runtime.h"

namespace QxCmServer {

namespace Sql = QxSecCore::Sql;
using QxMoxStr::String_t;

namespace {

constexpr int kSchemaVersion = 1;

// Outbox entry states.
constexpr int kWaiting = 0;
constexpr int kDone = 1;
constexpr int kGivenUp = 2;

// Decision kinds.
constexpr int kGranted = 1;
constexpr int kDenied = 2;

// AUTOINCREMENT keeps event and outbox numbers from ever being reused.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS requests(
  id TEXT PRIMARY KEY, installation_id TEXT NOT NULL, record TEXT NOT NULL, csr TEXT NOT NULL,
  peer_address TEXT NOT NULL, callback TEXT NOT NULL, core_id TEXT NOT NULL,
  common_name TEXT NOT NULL, received_ms INTEGER NOT NULL, status INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS requests_by_status ON requests(status, core_id);
CREATE TABLE IF NOT EXISTS decisions(
  request_id TEXT PRIMARY KEY, kind INTEGER NOT NULL, actor TEXT NOT NULL,
  time_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS certificates(
  serial TEXT PRIMARY KEY, request_id TEXT NOT NULL UNIQUE, pem TEXT NOT NULL,
  not_after_ms INTEGER NOT NULL, delivered INTEGER NOT NULL DEFAULT 0,
  installed INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS outbox(
  id INTEGER PRIMARY KEY AUTOINCREMENT, request_id TEXT NOT NULL, destination TEXT NOT NULL,
  body TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_attempt_ms INTEGER NOT NULL,
  last_reply INTEGER, state INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS outbox_due ON outbox(state, next_attempt_ms);
CREATE TABLE IF NOT EXISTS events(
  number INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER NOT NULL, request_id TEXT NOT NULL,
  time_ms INTEGER NOT NULL, payload TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS install_keys(id TEXT PRIMARY KEY, key TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS observers(
  callback TEXT PRIMARY KEY, registered_ms INTEGER NOT NULL,
  failures INTEGER NOT NULL DEFAULT 0, last_event INTEGER NOT NULL DEFAULT 0);
)";

constexpr const char* kRequestColumns =
    "SELECT id, installation_id, record, csr, peer_address, callback, core_id, common_name, "
    "received_ms, status FROM requests ";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Str(const Sql::Statement& stmt, int column) { return std::string(stmt.Text(column)); }

Request ReadRequest(const Sql::Statement& stmt) {
  Request r;
  r.id = Str(stmt, 0);
  r.installationId = Str(stmt, 1);
  r.record = Str(stmt, 2);
  r.csr = Str(stmt, 3);
  r.peerAddress = Str(stmt, 4);
  r.callback = Str(stmt, 5);
  r.coreId = Str(stmt, 6);
  r.commonName = Str(stmt, 7);
  r.receivedMs = stmt.Int(8);
  r.status = static_cast<RequestStatus_e>(stmt.Int(9));
  return r;
}

// Open opens (creating when absent) the database file at path, kept to its owner.
Sql::Database Open(const std::string& path, int busyTimeoutMs) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    QxMoxIo::MakePrivateDirectory(path.substr(0, slash));
  }
  {
    // Created 0600 before SQLite sees it, so the file (and the -wal and -shm files SQLite
    // gives its mode) is never readable by others, not even for a moment.
    const QxMoxIo::Fd_t fd = QxMoxIo::OpenFd(path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
    if (!fd.Valid()) QxMoxMsg::ThrowErrno(String_t("Cannot open ") + path, errno);
  }
  QxMoxIo::RestrictToOwner(path);
  Sql::Database db = Sql::Database::Open(path, busyTimeoutMs);
  if (db.IsReadOnly()) QxMoxMsg::ThrowIO(String_t("Cannot write the server store ") + path);
  db.Exec("PRAGMA journal_mode = WAL", "use the write-ahead log");
  db.Exec("PRAGMA synchronous = FULL", "make every commit durable");
  return db;
}

}  // namespace

struct SqliteStore::Impl {
  // One connection serves every thread: each public method holds the mutex for its transaction.
  std::mutex mutex;
  Sql::Database db;
  Options options;

  Impl(const std::string& path, const Options& opts)
      : db(Open(path, opts.busyTimeoutMs)), options(opts) {
    Sql::Transaction tx(db, Sql::Transaction::WRITE);
    Sql::Statement version(db, "PRAGMA user_version", "read the schema version");
    const int64_t found = version.Step() ? version.Int(0) : 0;
    if (found > kSchemaVersion) {
      QxMoxMsg::ThrowIO(String_t("The server store ") + path + " has schema version " +
                        std::to_string(found) + ", newer than this program's " +
                        std::to_string(kSchemaVersion));
    }
    if (found < kSchemaVersion) {
      db.Exec(kSchema, "create the tables");
      db.Exec("PRAGMA user_version = 1", "record the schema version");
    }
    tx.Commit();
  }

  void AddEvent(int type, const std::string& requestId, const std::string& payload) {
    Sql::Statement(db, "INSERT INTO events(type, request_id, time_ms, payload) VALUES(?,?,?,?)",
                   "add an event")
        .Bind(1, int64_t{type})
        .Bind(2, requestId)
        .Bind(3, NowMs())
        .Bind(4, payload)
        .Run();
  }

  void AddOutbox(const std::string& requestId, const std::string& destination,
                 const std::string& body) {
    Sql::Statement(db,
                   "INSERT INTO outbox(request_id, destination, body, next_attempt_ms) "
                   "VALUES(?,?,?,?)",
                   "enqueue a response")
        .Bind(1, requestId)
        .Bind(2, destination)
        .Bind(3, body)
        .Bind(4, NowMs())
        .Run();
  }

  // Decide moves a pending request to status, records the decision and enqueues response to
  // the request's callback address; false when the request is not pending.
  bool Decide(const std::string& id, RequestStatus_e status, int kind, const std::string& actor,
              const std::string& response) {
    Sql::Statement pending(db, "SELECT callback FROM requests WHERE id = ? AND status = 0",
                           "read a pending request");
    if (!pending.Bind(1, id).Step()) return false;
    const std::string callback = Str(pending, 0);
    Sql::Statement(db, "UPDATE requests SET status = ? WHERE id = ?", "decide a request")
        .Bind(1, static_cast<int64_t>(status))
        .Bind(2, id)
        .Run();
    Sql::Statement(db,
                   "INSERT OR REPLACE INTO decisions(request_id, kind, actor, time_ms) "
                   "VALUES(?,?,?,?)",
                   "record a decision")
        .Bind(1, id)
        .Bind(2, int64_t{kind})
        .Bind(3, actor)
        .Bind(4, NowMs())
        .Run();
    AddOutbox(id, callback, response);
    return true;
  }

  // Put stores request inside the caller's transaction (PutRequests tells what it does).
  PutOutcome Put(const Request& request) {
    PutOutcome outcome;
    Sql::Statement known(db, "SELECT record, csr FROM requests WHERE id = ?", "read a request");
    if (known.Bind(1, request.id).Step()) {
      if (known.Text(0) == request.record && known.Text(1) == request.csr) {
        outcome.result = PutResult_e::SAME;  // nothing written
        return outcome;
      }
      outcome.result = PutResult_e::DUPLICATE;
      AddEvent(EVENT_DUPLICATE, request.id, {});
      return outcome;
    }
    if (!request.coreId.empty()) {
      Sql::Statement older(db, "SELECT id FROM requests WHERE core_id = ? AND status = 0",
                           "find the node's pending requests");
      older.Bind(1, request.coreId);
      while (older.Step()) outcome.superseded.push_back(Str(older, 0));
      for (const std::string& id : outcome.superseded) {
        Sql::Statement(db, "UPDATE requests SET status = 4 WHERE id = ?", "supersede a request")
            .Bind(1, id)
            .Run();
        AddEvent(EVENT_SUPERSEDED, id, request.id);
      }
    }
    Sql::Statement(db,
                   "INSERT INTO requests(id, installation_id, record, csr, peer_address, "
                   "callback, core_id, common_name, received_ms, status) "
                   "VALUES(?,?,?,?,?,?,?,?,?,0)",
                   "store a request")
        .Bind(1, request.id)
        .Bind(2, request.installationId)
        .Bind(3, request.record)
        .Bind(4, request.csr)
        .Bind(5, request.peerAddress)
        .Bind(6, request.callback)
        .Bind(7, request.coreId)
        .Bind(8, request.commonName)
        .Bind(9, request.receivedMs)
        .Run();
    AddEvent(EVENT_RECEIVED, request.id, {});
    return outcome;
  }

  // Retry counts a failed attempt at entry id and schedules the next one, or gives it up.
  OutboxState_e Retry(int64_t id, int64_t nowMs) {
    Sql::Statement read(db, "SELECT attempts FROM outbox WHERE id = ? AND state = 0",
                        "read an outbox entry");
    if (!read.Bind(1, id).Step()) return OutboxState_e::DONE;
    const int attempts = static_cast<int>(read.Int(0)) + 1;
    const bool giveUp = attempts >= options.maxAttempts;
    int64_t wait = options.firstWaitMs;
    for (int i = 1; i < attempts && wait < options.maxWaitMs; ++i) wait *= 2;
    wait = std::min(wait, options.maxWaitMs);
    Sql::Statement(db,
                   "UPDATE outbox SET attempts = ?, next_attempt_ms = ?, state = ? WHERE id = ?",
                   "reschedule a response")
        .Bind(1, int64_t{attempts})
        .Bind(2, nowMs + wait)
        .Bind(3, int64_t{giveUp ? kGivenUp : kWaiting})
        .Bind(4, id)
        .Run();
    return giveUp ? OutboxState_e::GIVEN_UP : OutboxState_e::RETRY;
  }

  // Answered records the node's reply to outbox entry id inside the caller's transaction.
  OutboxState_e Answered(int64_t id, int reply, int64_t nowMs) {
    const bool finishes = reply == 0 || reply == 3 || reply == 5 || reply == 6;
    const bool done = reply == 0 || reply == 3;
    // One statement records the reply and, for a final one, finishes the entry.
    Sql::Statement update(db,
                          "UPDATE outbox SET last_reply = ?1, "
                          "state = CASE WHEN ?2 THEN ?3 ELSE state END, "
                          "attempts = attempts + ?2 WHERE id = ?4 AND state = 0 "
                          "RETURNING request_id",
                          "record a reply");
    update.Bind(1, int64_t{reply})
        .Bind(2, int64_t{finishes ? 1 : 0})
        .Bind(3, int64_t{done ? kDone : kGivenUp})
        .Bind(4, id);
    if (!update.Step()) return OutboxState_e::DONE;  // answered already
    const std::string requestId = Str(update, 0);    // the changes are made by the first step
    AddEvent(EVENT_ANSWERED, requestId, std::to_string(reply));
    if (!finishes) return Retry(id, nowMs);
    if (done) {
      Sql::Statement(db, "UPDATE certificates SET delivered = 1 WHERE request_id = ?",
                     "mark a certificate delivered")
          .Bind(1, requestId)
          .Run();
    }
    return done ? OutboxState_e::DONE : OutboxState_e::GIVEN_UP;
  }

  // ChangeWithEvent runs sql with key as its one parameter in a transaction of its own and,
  // when it changed a row, adds an event of type (none for 0) for key; false when nothing
  // changed.
  bool ChangeWithEvent(const char* sql, std::string_view action, const std::string& key, int type) {
    Sql::Transaction tx(db, Sql::Transaction::WRITE);
    if (Sql::Statement(db, sql, action).Bind(1, key).Run() == 0) return false;
    if (type != 0) AddEvent(type, key, {});
    tx.Commit();
    return true;
  }

  // ReadAll runs the query sql in a read transaction, with bind setting its parameters, and
  // returns read(statement) for every row.
  template <class Read, class Bind = void (*)(Sql::Statement&)>
  auto ReadAll(
      std::string_view sql, std::string_view action, Read read,
      Bind bind = [](Sql::Statement&) {}) {
    Sql::Transaction tx(db, Sql::Transaction::READ);
    Sql::Statement stmt(db, sql, action);
    bind(stmt);
    std::vector<decltype(read(stmt))> rows;
    while (stmt.Step()) rows.push_back(read(stmt));
    return rows;
  }

  // Count runs a query of one integer.
  int64_t Count(const char* sql, std::string_view action) {
    Sql::Statement stmt(db, sql, action);
    return stmt.Step() ? stmt.Int(0) : 0;
  }
};

std::string SqliteStore::DefaultPath() {
  return QxMoxRuntime::Dir_t::Path(QxMoxRuntime::Dir_t::DIR_DATA, "sec/cs/server.db").ToUtf8();
}

SqliteStore::SqliteStore(const std::string& path) : SqliteStore(path, Options()) {}

SqliteStore::SqliteStore(const std::string& path, const Options& options)
    : m_impl(std::make_unique<Impl>(path, options)) {}

SqliteStore::~SqliteStore() = default;

std::optional<Request> SqliteStore::GetRequest(const std::string& id) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  Sql::Statement stmt(m_impl->db, std::string(kRequestColumns) + "WHERE id = ?", "read a request");
  if (!stmt.Bind(1, id).Step()) return std::nullopt;
  return ReadRequest(stmt);
}

std::vector<Request> SqliteStore::ListPending() {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ReadAll(std::string(kRequestColumns) + "WHERE status = 0 ORDER BY rowid",
                         "list the pending requests", ReadRequest);
}

bool SqliteStore::Remove(const std::string& id) {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ChangeWithEvent("UPDATE requests SET status = 3 WHERE id = ? AND status = 0",
                                 "remove a request", id, EVENT_REMOVED);
}

int SqliteStore::RemoveAll() {
  const std::lock_guard lock(m_impl->mutex);
  auto& db = m_impl->db;
  Sql::Transaction tx(db, Sql::Transaction::WRITE);
  std::vector<std::string> ids;
  Sql::Statement pending(db, "SELECT id FROM requests WHERE status = 0 ORDER BY rowid",
                         "list the pending requests");
  while (pending.Step()) ids.push_back(Str(pending, 0));
  Sql::Statement(db, "UPDATE requests SET status = 3 WHERE status = 0", "remove the requests")
      .Run();
  for (const std::string& id : ids) m_impl->AddEvent(EVENT_REMOVED, id, {});
  tx.Commit();
  return static_cast<int>(ids.size());
}

Store::Committed SqliteStore::Commit(const Changes& changes) {
  const std::lock_guard lock(m_impl->mutex);
  auto& db = m_impl->db;
  Sql::Transaction tx(db, Sql::Transaction::WRITE);
  Committed result;
  result.outcomes.reserve(changes.requests.size());
  for (const Request& request : changes.requests) result.outcomes.push_back(m_impl->Put(request));
  result.granted.reserve(changes.grants.size());
  for (const Issue& grant : changes.grants) {
    const std::string& id = grant.requestId;
    if (!m_impl->Decide(id, RequestStatus_e::GRANTED, kGranted, grant.actor, grant.response)) {
      result.granted.push_back(false);
      continue;
    }
    Sql::Statement(db,
                   "INSERT INTO certificates(serial, request_id, pem, not_after_ms) "
                   "VALUES(?,?,?,?)",
                   "store a certificate")
        .Bind(1, grant.cert.serial)
        .Bind(2, id)
        .Bind(3, grant.cert.pem)
        .Bind(4, grant.cert.notAfterMs)
        .Run();
    m_impl->AddEvent(EVENT_GRANTED, id, grant.cert.serial);
    result.granted.push_back(true);
  }
  result.states.reserve(changes.attempts.size());
  for (const DeliveryAttempt& attempt : changes.attempts) {
    result.states.push_back(attempt.reply
                                ? m_impl->Answered(attempt.id, *attempt.reply, changes.nowMs)
                                : m_impl->Retry(attempt.id, changes.nowMs));
  }
  tx.Commit();
  return result;
}

bool SqliteStore::Deny(const std::string& id, const std::string& actor,
                       const std::string& response) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::WRITE);
  if (!m_impl->Decide(id, RequestStatus_e::DENIED, kDenied, actor, response)) return false;
  m_impl->AddEvent(EVENT_DENIED, id, {});
  tx.Commit();
  return true;
}

void SqliteStore::Enqueue(const std::string& requestId, const std::string& destination,
                          const std::string& response) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::WRITE);
  m_impl->AddOutbox(requestId, destination, response);
  tx.Commit();
}

std::vector<Certificate> SqliteStore::ListCertificates() {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ReadAll(
      "SELECT serial, request_id, pem, not_after_ms, delivered, installed FROM certificates "
      "ORDER BY rowid",
      "list the certificates", [](const Sql::Statement& stmt) {
        return Certificate{Str(stmt, 0), Str(stmt, 1),     Str(stmt, 2),
                           stmt.Int(3),  stmt.Int(4) != 0, stmt.Int(5) != 0};
      });
}

std::optional<std::string> SqliteStore::LatestIssuedRequest(const std::string& coreId) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  Sql::Statement stmt(m_impl->db,
                      "SELECT r.id FROM requests r JOIN certificates c ON c.request_id = r.id "
                      "WHERE r.core_id = ? ORDER BY r.received_ms DESC, r.rowid DESC LIMIT 1",
                      "find the last certificate of a node");
  if (!stmt.Bind(1, coreId).Step()) return std::nullopt;
  return Str(stmt, 0);
}

bool SqliteStore::MarkInstalled(const std::string& requestId) {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ChangeWithEvent(
      "UPDATE certificates SET installed = 1 WHERE request_id = ? AND installed = 0",
      "mark a certificate installed", requestId, EVENT_INSTALLED);
}

DueEntries SqliteStore::Due(int64_t nowMs, int limit, const std::set<int64_t>& skip) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  // The index alone gives the order; a row is read only for an entry handed out.
  Sql::Statement order(m_impl->db,
                       "SELECT id, next_attempt_ms FROM outbox WHERE state = 0 "
                       "ORDER BY next_attempt_ms, id",
                       "list the responses due");
  DueEntries due;
  while (order.Step()) {
    const int64_t id = order.Int(0);
    const int64_t dueMs = order.Int(1);
    if (skip.contains(id)) continue;
    if (dueMs > nowMs || due.entries.size() >= static_cast<size_t>(std::max(limit, 0))) {
      due.nextDueMs = dueMs;
      break;
    }
    Sql::Statement row(m_impl->db,
                       "SELECT request_id, destination, body, attempts, last_reply "
                       "FROM outbox WHERE id = ?",
                       "read a response due");
    if (!row.Bind(1, id).Step()) continue;
    OutboxEntry e{id,    Str(row, 0), Str(row, 1), Str(row, 2), static_cast<int>(row.Int(3)),
                  dueMs, std::nullopt};
    if (!row.IsNull(4)) e.lastReply = static_cast<int>(row.Int(4));
    due.entries.push_back(std::move(e));
  }
  return due;
}

int64_t SqliteStore::PendingCount() {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  return m_impl->Count("SELECT count(*) FROM requests WHERE status = 0",
                       "count the pending requests");
}

int64_t SqliteStore::Waiting() {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  return m_impl->Count("SELECT count(*) FROM outbox WHERE state = 0",
                       "count the responses waiting");
}

std::vector<Event> SqliteStore::EventsSince(int64_t number, int limit) {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ReadAll(
      "SELECT number, type, request_id, time_ms, payload FROM events WHERE number > ? "
      "ORDER BY number LIMIT ?",
      "read the events",
      [](const Sql::Statement& stmt) {
        return Event{stmt.Int(0), static_cast<int>(stmt.Int(1)), Str(stmt, 2), stmt.Int(3),
                     Str(stmt, 4)};
      },
      [&](Sql::Statement& stmt) { stmt.Bind(1, number).Bind(2, int64_t{limit}); });
}

int64_t SqliteStore::LastEventNumber() {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  // The sequence, not max(number): numbers stay increasing even if old events are pruned.
  return m_impl->Count("SELECT seq FROM sqlite_sequence WHERE name = 'events'",
                       "read the last event number");
}

void SqliteStore::PutInstallKey(const std::string& id, const std::string& key) {
  const std::lock_guard lock(m_impl->mutex);
  if (id.empty() || key.size() != 32) {
    QxMoxMsg::ThrowIllegalArgument("An installation key needs an id and 32 bytes");
  }
  Sql::Transaction tx(m_impl->db, Sql::Transaction::WRITE);
  Sql::Statement(m_impl->db, "INSERT OR REPLACE INTO install_keys(id, key) VALUES(?,?)",
                 "store an installation key")
      .Bind(1, id)
      .Bind(2, key)
      .Run();
  tx.Commit();
}

std::optional<std::string> SqliteStore::GetInstallKey(const std::string& id) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::READ);
  Sql::Statement stmt(m_impl->db, "SELECT key FROM install_keys WHERE id = ?",
                      "read an installation key");
  if (!stmt.Bind(1, id).Step()) return std::nullopt;
  return Str(stmt, 0);
}

std::vector<std::string> SqliteStore::ListInstallKeys() {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ReadAll("SELECT id FROM install_keys ORDER BY id", "list the installation keys",
                         [](const Sql::Statement& stmt) { return Str(stmt, 0); });
}

bool SqliteStore::RemoveInstallKey(const std::string& id) {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ChangeWithEvent("DELETE FROM install_keys WHERE id = ?",
                                 "remove an installation key", id, 0);
}

void SqliteStore::AddObserver(const std::string& callback, int64_t nowMs) {
  const std::lock_guard lock(m_impl->mutex);
  auto& db = m_impl->db;
  Sql::Transaction tx(db, Sql::Transaction::WRITE);
  const int64_t last =
      m_impl->Count("SELECT seq FROM sqlite_sequence WHERE name = 'events'", "read the events");
  Sql::Statement(db,
                 "INSERT OR REPLACE INTO observers(callback, registered_ms, failures, last_event) "
                 "VALUES(?,?,0,?)",
                 "register an observer")
      .Bind(1, callback)
      .Bind(2, nowMs)
      .Bind(3, last)
      .Run();
  tx.Commit();
}

bool SqliteStore::RemoveObserver(const std::string& callback) {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ChangeWithEvent("DELETE FROM observers WHERE callback = ?", "remove an observer",
                                 callback, 0);
}

std::vector<Observer> SqliteStore::ListObservers() {
  const std::lock_guard lock(m_impl->mutex);
  return m_impl->ReadAll(
      "SELECT callback, registered_ms, failures, last_event FROM observers "
      "ORDER BY registered_ms, callback",
      "list the observers", [](const Sql::Statement& stmt) {
        return Observer{Str(stmt, 0), stmt.Int(1), static_cast<int>(stmt.Int(2)), stmt.Int(3)};
      });
}

void SqliteStore::ObserverDelivered(const std::string& callback, int64_t number) {
  const std::lock_guard lock(m_impl->mutex);
  Sql::Transaction tx(m_impl->db, Sql::Transaction::WRITE);
  Sql::Statement(m_impl->db,
                 "UPDATE observers SET failures = 0, last_event = max(last_event, ?) "
                 "WHERE callback = ?",
                 "record a delivery to an observer")
      .Bind(1, number)
      .Bind(2, callback)
      .Run();
  tx.Commit();
}

int SqliteStore::ObserverFailed(const std::string& callback) {
  const std::lock_guard lock(m_impl->mutex);
  auto& db = m_impl->db;
  Sql::Transaction tx(db, Sql::Transaction::WRITE);
  Sql::Statement(db, "UPDATE observers SET failures = failures + 1 WHERE callback = ?",
                 "count an observer's failure")
      .Bind(1, callback)
      .Run();
  Sql::Statement read(db, "SELECT failures FROM observers WHERE callback = ?",
                      "read an observer's failures");
  const int failures = read.Bind(1, callback).Step() ? static_cast<int>(read.Int(0)) : 0;
  tx.Commit();
  return failures;
}

}  // namespace QxCmServer
