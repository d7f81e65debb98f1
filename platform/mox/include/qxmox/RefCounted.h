// Thread-safe reference counts (MTRef_t) and the counted body base (RefCounted_t).
#pragma once

#include <atomic>

namespace QxMoxRef {

// MTRef_t is a thread-safe counter; ++ and -- return the new value.
class MTRef_t {
 public:
  explicit MTRef_t(long initial = 0) : m_count(initial) {}
  long operator++() { return m_count.fetch_add(1, std::memory_order_relaxed) + 1; }
  long operator--() { return m_count.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  long Get() const { return m_count.load(std::memory_order_acquire); }

 private:
  std::atomic<long> m_count;
};

// RefCounted_t is the base of counted bodies. A new body starts at 0. The second virtual slot,
// DestroyThis, releases the body when the last handle lets go; concrete bodies delete
// themselves there.
class RefCounted_t {
 public:
  RefCounted_t() = default;
  RefCounted_t(const RefCounted_t&) = delete;
  RefCounted_t& operator=(const RefCounted_t&) = delete;
  virtual ~RefCounted_t() = default;
  virtual void DestroyThis() = 0;

  long AddRef() { return ++m_ref; }
  long Release() { return --m_ref; }
  long GetRefCount() const { return m_ref.Get(); }

 private:
  MTRef_t m_ref;
};

}  // namespace QxMoxRef
