// SQLite connections, statements and transactions with errors as IOException_t naming the file.
#include "Sqlite.h"

#include <climits>

#include "qxmox/Exception.h"

namespace QxSecCore::Sql {

namespace {

[[noreturn]] void ThrowFor(std::string_view file, std::string_view action, const char* reason) {
  std::string text("Cannot ");
  text.append(action).append(" in ").append(file.empty() ? "the database" : file);
  text.append(": ").append(reason);
  QxMoxMsg::ThrowIO(QxMoxStr::String_t(text));
}

}  // namespace

void Throw(sqlite3* db, std::string_view action) {
  if (db == nullptr) ThrowFor({}, action, "out of memory");
  const char* file = sqlite3_db_filename(db, "main");
  ThrowFor(file != nullptr ? file : "", action, sqlite3_errmsg(db));
}

Database Database::Open(const std::string& path, int busyTimeoutMs) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
  DbHandle db(raw, CloseDb());
  if (rc != SQLITE_OK) {
    ThrowFor(path, "open the database", raw != nullptr ? sqlite3_errmsg(raw) : "out of memory");
  }
  sqlite3_extended_result_codes(raw, 1);
  if (sqlite3_busy_timeout(raw, busyTimeoutMs) != SQLITE_OK) Throw(raw, "set the lock timeout");
  return Database(std::move(db));
}

void Database::Exec(const char* sql, std::string_view action) {
  if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Throw(m_db.get(), action);
  }
}

StmtPtr StatementCache::Take(const std::string& sql) {
  const std::lock_guard lock(m_mutex);
  const auto found = m_idle.find(sql);
  if (found == m_idle.end() || found->second.empty()) return nullptr;
  StmtPtr stmt = std::move(found->second.back());
  found->second.pop_back();
  return stmt;
}

void StatementCache::Give(const std::string& sql, StmtPtr stmt) {
  // Reset outside the lock: it ends the statement's read of the database.
  sqlite3_reset(stmt.get());
  sqlite3_clear_bindings(stmt.get());
  const std::lock_guard lock(m_mutex);
  auto found = m_idle.find(sql);
  if (found == m_idle.end()) {
    if (m_idle.size() >= kMaxTexts) return;  // stmt is finalized here
    found = m_idle.emplace(sql, std::vector<StmtPtr>()).first;
  }
  if (found->second.size() < kMaxCopies) found->second.push_back(std::move(stmt));
}

Statement::Statement(const Database& db, std::string_view sql, std::string_view action)
    : m_db(db.Handle()), m_cache(db.m_cache), m_sql(sql), m_action(action) {
  m_stmt = m_cache->Take(m_sql);
  if (m_stmt) return;
  sqlite3_stmt* raw = nullptr;
  const int rc =
      sqlite3_prepare_v2(m_db.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  m_stmt.reset(raw);
  if (rc != SQLITE_OK) Throw(m_db.get(), m_action);
}

Statement::~Statement() {
  if (m_stmt && m_cache) m_cache->Give(m_sql, std::move(m_stmt));
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (text.size() > static_cast<size_t>(INT_MAX)) ThrowFor({}, m_action, "value too large");
  if (sqlite3_bind_text(m_stmt.get(), index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    Throw(m_db.get(), m_action);
  }
  return *this;
}

Statement& Statement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(m_stmt.get(), index, value) != SQLITE_OK) {
    Throw(m_db.get(), m_action);
  }
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(m_stmt.get(), index) != SQLITE_OK) {
    Throw(m_db.get(), m_action);
  }
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(m_stmt.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Throw(m_db.get(), m_action);
}

int Statement::Run() {
  while (Step()) {
  }
  return sqlite3_changes(m_db.get());
}

std::string_view Statement::Text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt.get(), column));
  const int size = sqlite3_column_bytes(m_stmt.get(), column);
  if (text == nullptr) return {};
  return {text, static_cast<size_t>(size)};
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(m_stmt.get(), column) == SQLITE_NULL;
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(m_stmt.get(), column); }

Transaction::Transaction(Database& db, Kind_e kind) : m_db(db) {
  if (sqlite3_get_autocommit(m_db.Handle().get()) == 0) return;  // part of an open one
  if (kind == WRITE) {
    Statement(m_db, "BEGIN IMMEDIATE", "begin writing (take the write lock)").Run();
  } else {
    Statement(m_db, "BEGIN DEFERRED", "begin reading").Run();
  }
  m_open = true;
}

Transaction::~Transaction() {
  if (m_open) sqlite3_exec(m_db.Handle().get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  if (!m_open) return;
  Statement(m_db, "COMMIT", "commit the changes").Run();
  m_open = false;
}

}  // namespace QxSecCore::Sql
