// Records the largest single allocation of a test program, to prove that a forged length field
// does not become a huge buffer. Include it in exactly one file of a test program: it replaces
// the global operator new. Sanitizers bring their own allocator, so tracking is off there and
// QX_TRACK_ALLOCATIONS is 0.
#pragma once

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <new>

#include "qxmox/CharArray.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_TRACK_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QX_TRACK_ALLOCATIONS 0
#endif
#endif
#ifndef QX_TRACK_ALLOCATIONS
#define QX_TRACK_ALLOCATIONS 1
#endif

#if QX_TRACK_ALLOCATIONS
namespace {
std::atomic<size_t> g_largestAllocation{0};
}
void* operator new(size_t size) {
  size_t seen = g_largestAllocation.load(std::memory_order_relaxed);
  while (size > seen && !g_largestAllocation.compare_exchange_weak(seen, size)) {
  }
  if (void* p = malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC sees free() paired with new in the callers it inlines into; the pair is this one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
#pragma GCC diagnostic pop
#endif

namespace QxTest {

// Bytes builds a byte array from byte values.
inline QxMoxArray::CharArray_t Bytes(std::initializer_list<unsigned> list) {
  QxMoxArray::CharArray_t out;
  for (unsigned b : list) {
    const auto c = static_cast<unsigned char>(b);
    out.Append(&c, 1);
  }
  return out;
}

}  // namespace QxTest
