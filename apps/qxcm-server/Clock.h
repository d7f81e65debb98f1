// NowMs: the wall clock as the store records times.
#pragma once

#include <chrono>
#include <cstdint>

namespace QxCmServer {

// NowMs returns milliseconds since the epoch.
inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace QxCmServer
