// The Store kept in one SQLite database file (WAL, synchronous FULL, mode 0600), safe to call
// from several threads (they take turns on its one connection).
#pragma once

#include <memory>
#include <string>

#include "Store.h"

namespace QxCmServer {

class SqliteStore final : public Store {
 public:
  struct Options {
    int busyTimeoutMs = 10000;
    int maxAttempts = 20;             // delivery attempts before a response is given up
    int64_t firstWaitMs = 5000;       // the wait after the first failed attempt, doubled after each
    int64_t maxWaitMs = 3600 * 1000;  // the longest wait between attempts
  };

  // DefaultPath returns the database's place under the data directory: sec/cs/server.db.
  static std::string DefaultPath();

  // The constructor opens the database at path, creating it (mode 0600, its directory 0700)
  // with the current schema when absent. Throws QxMoxIo::IOException_t naming the file, also
  // for a database of a newer schema.
  explicit SqliteStore(const std::string& path);
  SqliteStore(const std::string& path, const Options& options);
  ~SqliteStore() override;

  using Store::Grant;
  using Store::PutRequest;

  Committed Commit(const Changes& changes) override;
  std::optional<Request> GetRequest(const std::string& id) override;
  std::vector<Request> ListPending() override;
  int64_t PendingCount() override;
  bool Remove(const std::string& id) override;
  int RemoveAll() override;

  bool Deny(const std::string& id, const std::string& actor, const std::string& response) override;
  void Enqueue(const std::string& requestId, const std::string& destination,
               const std::string& response) override;
  std::vector<Certificate> ListCertificates() override;
  std::optional<std::string> LatestIssuedRequest(const std::string& coreId) override;
  bool MarkInstalled(const std::string& requestId) override;

  using Store::Due;
  DueEntries Due(int64_t nowMs, int limit, const std::set<int64_t>& skip) override;
  int64_t Waiting() override;

  std::vector<Event> EventsSince(int64_t number, int limit) override;
  int64_t LastEventNumber() override;

  void PutInstallKey(const std::string& id, const std::string& key) override;
  std::optional<std::string> GetInstallKey(const std::string& id) override;
  std::vector<std::string> ListInstallKeys() override;
  bool RemoveInstallKey(const std::string& id) override;

  void AddObserver(const std::string& callback, int64_t nowMs) override;
  bool RemoveObserver(const std::string& callback) override;
  std::vector<Observer> ListObservers() override;
  void ObserverDelivered(const std::string& callback, int64_t number) override;
  int ObserverFailed(const std::string& callback) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace QxCmServer
