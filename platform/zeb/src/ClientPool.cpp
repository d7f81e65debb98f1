#include "ClientPool.h"

#include "HttpClient.h"

namespace QxZebHttp {

PooledClient::PooledClient(std::string host, int port) : m_host(std::move(host)), m_port(port) {}

PooledClient::~PooledClient() = default;

ClientPool::Lease::Lease(ClientPool& pool, std::string key, Factory make)
    : m_pool(&pool), m_key(std::move(key)), m_make(std::move(make)) {
  m_client = m_pool->Get(m_key);
  m_reused = m_client != nullptr;
  if (!m_reused) m_client = m_make();
}

ClientPool::Lease::~Lease() = default;

void ClientPool::Lease::Renew() {
  m_client.reset();
  m_client = m_make();
  m_reused = false;
}

void ClientPool::Lease::Keep() {
  if (m_client) m_pool->Put(m_key, std::move(m_client));
}

ClientPool& ClientPool::Shared() {
  static ClientPool pool;
  return pool;
}

std::string ClientPool::Key(std::initializer_list<std::string_view> parts) {
  std::string key;
  for (std::string_view part : parts) {
    key += std::to_string(part.size());
    key += ':';
    key += part;
  }
  return key;
}

void ClientPool::Expire(std::list<Idle>& dropped) {
  const auto oldest = std::chrono::steady_clock::now() - kIdleTime;
  auto it = m_idle.end();
  while (it != m_idle.begin() && std::prev(it)->since < oldest) --it;
  dropped.splice(dropped.end(), m_idle, it, m_idle.end());
}

std::unique_ptr<PooledClient> ClientPool::Get(const std::string& key) {
  std::list<Idle> dropped;  // closed after the lock is released
  std::lock_guard lock(m_mutex);
  Expire(dropped);
  for (auto it = m_idle.begin(); it != m_idle.end(); ++it) {
    if (it->key == key) {
      std::unique_ptr<PooledClient> client = std::move(it->client);
      m_idle.erase(it);
      return client;
    }
  }
  return nullptr;
}

void ClientPool::Put(const std::string& key, std::unique_ptr<PooledClient> client) {
  std::list<Idle> dropped;
  std::lock_guard lock(m_mutex);
  Expire(dropped);
  m_idle.push_front({key, std::move(client), std::chrono::steady_clock::now()});
  size_t sameKey = 0;
  for (auto it = m_idle.begin(); it != m_idle.end();) {
    auto next = std::next(it);
    if (it->key == key && ++sameKey > kPerKey) dropped.splice(dropped.end(), m_idle, it);
    it = next;
  }
  while (m_idle.size() > kTotal) dropped.splice(dropped.end(), m_idle, std::prev(m_idle.end()));
}

}  // namespace QxZebHttp
