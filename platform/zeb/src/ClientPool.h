// ClientPool: the kept-alive HTTP clients of the process, shared by every outgoing call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "qxmox/Io.h"

namespace QxZebHttp {

class Connection;

// PooledClient is one kept-alive client connection to a peer and what it is made with; each
// transport derives its own. It is used by one call at a time.
class PooledClient {
 public:
  PooledClient(std::string host, int port);
  virtual ~PooledClient();
  PooledClient(const PooledClient&) = delete;
  PooledClient& operator=(const PooledClient&) = delete;
  const std::string& Host() const { return m_host; }
  int Port() const { return m_port; }
  // Link returns the open connection; null before the first call and after one that did not
  // leave it usable. The exchange opens and closes it.
  std::unique_ptr<Connection>& Link() { return m_link; }
  // Open makes the connection over fd, a socket connected to the peer, within timeoutMs: TLS
  // adds its handshake. Throws ClientFailure.
  virtual std::unique_ptr<Connection> Open(QxMoxIo::Fd_t fd, long timeoutMs) = 0;

 private:
  std::string m_host;
  int m_port;
  std::unique_ptr<Connection> m_link;
};

// ClientPool holds idle clients by key (scheme, peer and whatever else a connection was made
// under); a call takes a client out and puts it back when the connection may serve another call.
// Idle clients are dropped after kIdleTime, below the listeners' idle time, so that a reused
// connection has rarely been closed by its server. Thread-safe.
class ClientPool {
 public:
  static constexpr auto kIdleTime = std::chrono::seconds(20);
  static constexpr size_t kPerKey = 8;
  static constexpr size_t kTotal = 64;
  using Factory = std::function<std::unique_ptr<PooledClient>()>;

  // Lease is a client taken out of the pool for one call. Its destructor drops the client
  // unless Keep was called. A moved-from lease holds none.
  class Lease {
   public:
    Lease(ClientPool& pool, std::string key, Factory make);
    ~Lease();
    Lease(Lease&&) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    PooledClient& operator*() const { return *m_client; }
    PooledClient* operator->() const { return m_client.get(); }
    // Reused tells whether the client came from the pool rather than from the factory.
    bool Reused() const { return m_reused; }
    // Renew drops the client and makes a new one with the factory (which may outlive the call
    // that took the lease, so it owns what it uses).
    void Renew();
    // Keep puts the client back into the pool.
    void Keep();

   private:
    ClientPool* m_pool;
    std::string m_key;
    Factory m_make;
    std::unique_ptr<PooledClient> m_client;
    bool m_reused = false;
  };

  // Shared returns the pool of the process.
  static ClientPool& Shared();
  // Take returns a lease on the most recently used idle client of key, or on a new one from make.
  Lease Take(const std::string& key, Factory make) { return Lease(*this, key, std::move(make)); }
  // Key joins parts into a key that no other list of parts gives.
  static std::string Key(std::initializer_list<std::string_view> parts);

 private:
  struct Idle {
    std::string key;
    std::unique_ptr<PooledClient> client;
    std::chrono::steady_clock::time_point since;
  };
  std::unique_ptr<PooledClient> Get(const std::string& key);
  void Put(const std::string& key, std::unique_ptr<PooledClient> client);
  // Expire moves the clients idle too long into dropped; the caller holds m_mutex.
  void Expire(std::list<Idle>& dropped);

  std::mutex m_mutex;
  std::list<Idle> m_idle;  // front: the most recently returned
};

}  // namespace QxZebHttp
