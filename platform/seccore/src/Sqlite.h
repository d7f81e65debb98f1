// Owning wrappers over SQLite connections, statements and transactions.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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
  explicit Database(DbHandle db) : m_db(std::move(db)) {}
  DbHandle m_db;
};

// Statement is one prepared statement. Parameters are numbered from 1, columns from 0. action
// says in words what it does ("read an entry"); every failure's message names it.
class Statement {
 public:
  Statement(const Database& db, std::string_view sql, std::string_view action);
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
  std::string m_action;
  std::unique_ptr<sqlite3_stmt, FinalizeStmt> m_stmt;
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
