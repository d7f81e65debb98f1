// ClientPool: the kept-alive HTTP clients of the process, shared by every outgoing call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "qxmox/Io.h"

namespace httplib {
class ClientImpl;
}

namespace QxZebHttp {

// PooledClient is one kept-alive client and what belongs to its connections; each transport
// derives its own. It is used by one call at a time.
class PooledClient {
 public:
  PooledClient() = default;
  virtual ~PooledClient();
  PooledClient(const PooledClient&) = delete;
  PooledClient& operator=(const PooledClient&) = delete;
  virtual httplib::ClientImpl& Client() = 0;
  // Watch keeps a duplicate of fd, the socket of the client's new connection, so that what the
  // connection received can be read after the client closed its own descriptor.
  void Watch(int fd);
  // Connection counts the connections watched so far; it changes when the client reconnects.
  uint64_t Connection() const { return m_connection; }
  // Received returns the number of segments carrying data that the kernel received on the
  // watched connection (a FIN alone is none); empty without one or when the kernel does not tell.
  std::optional<uint64_t> Received() const;

 private:
  QxMoxIo::Fd_t m_fd;
  uint64_t m_connection = 0;
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
  // unless Keep was called.
  class Lease {
   public:
    Lease(ClientPool& pool, std::string key, Factory make);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    PooledClient& operator*() const { return *m_client; }
    PooledClient* operator->() const { return m_client.get(); }
    // Reused tells whether the client came from the pool rather than from the factory.
    bool Reused() const { return m_reused; }
    // Renew drops the client and makes a new one.
    void Renew();
    // Keep puts the client back into the pool.
    void Keep();

   private:
    ClientPool& m_pool;
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
