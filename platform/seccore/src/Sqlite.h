// Owning wrappers over SQLite connections, statements and transactions.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace QxSecCore::Sql {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

// Every statement holds a strong reference to its connection, so the connection closes only
// after the last statement is finalized.
using DbHandle = std::shared_ptr<sqlite3>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// StatementCache keeps a connection's finished statements, reset and unbound, for the next
// Statement with the same SQL text: preparing costs more than most of the statements it runs.
// Safe to use from several threads.
class StatementCache {
 public:
  // Take returns an idle statement prepared from sql, or null when there is none.
  StmtPtr Take(const std::string& sql);
  // Give keeps stmt for reuse; a cache holding enough copies of sql, or enough texts, drops it.
  void Give(const std::string& sql, StmtPtr stmt);

 private:
  static constexpr size_t kMaxTexts = 128;
  static constexpr size_t kMaxCopies = 4;
  std::mutex m_mutex;
  std::unordered_map<std::string, std::vector<StmtPtr>> m_idle;
};

// Throw throws QxMoxIo::IOException_t "Cannot <action> in <database file>: <SQLite's message
// for db>"; action says in words what failed ("read the entries"), never the SQL.
[[noreturn]] void Throw(sqlite3* db, std::string_view action);

// Database is one connection.
class Database {
 public:
  // Open opens the existing database file at path for reading and writing, or only reading when
  // the system refuses writing (IsReadOnly tells), never following a symbolic link, and makes
  // it wait up to busyTimeoutMs for other connections' locks.
  static Database Open(const std::string& path, int busyTimeoutMs);
  bool IsReadOnly() const { return sqlite3_db_readonly(m_db.get(), "main") == 1; }
  // Exec runs SQL without parameters or results; action names it in a failure's message.
  void Exec(const char* sql, std::string_view action);
  const DbHandle& Handle() const { return m_db; }

 private:
  friend class Statement;
  explicit Database(DbHandle db)
      : m_db(std::move(db)), m_cache(std::make_shared<StatementCache>()) {}
  DbHandle m_db;
  std::shared_ptr<StatementCache> m_cache;
};

// Statement is one prepared statement. Parameters are numbered from 1, columns from 0. action
// says in words what it does ("read an entry"); every failure's message names it. A statement
// comes from the connection's cache when one with the same SQL is idle, and goes back to it,
// reset, when destroyed.
class Statement {
 public:
  Statement(const Database& db, std::string_view sql, std::string_view action);
  ~Statement();
  Statement(Statement&&) = default;
  Statement& operator=(Statement&&) = delete;
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, int64_t value);
  Statement& BindNull(int index);
  // Step runs the statement to its next row: true when a row is ready, false when done.
  bool Step();
  // Run steps the statement to its end and returns the rows it changed.
  int Run();
  // Text returns a column of the current row; valid until the next Step.
  std::string_view Text(int column) const;
  bool IsNull(int column) const;
  int64_t Int(int column) const;

 private:
  DbHandle m_db;  // declared first, so m_stmt is finalized before the connection is released
  std::shared_ptr<StatementCache> m_cache;
  std::string m_sql;
  std::string m_action;
  StmtPtr m_stmt;
};

// Transaction is BEGIN (DEFERRED for reads, IMMEDIATE for writes, which takes the write lock at
// once so two writers never deadlock) until Commit; the destructor rolls back otherwise.
// Transaction begins a transaction on db, rolled back unless committed. Inside a transaction
// already open on db (a KeyStore::Group) it is part of that one: it neither begins nor commits,
// and the outer one decides.
class Transaction {
 public:
  enum Kind_e { READ, WRITE };
  Transaction(Database& db, Kind_e kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& m_db;
  bool m_open = false;
};

}  // namespace QxSecCore::Sql
