// Swallow: run one clean-up step and ignore its failure.
#pragma once

namespace QxSecCm {

// Swallow runs step and ignores any exception: each step of a destructor must run.
template <class F>
void Swallow(F step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace QxSecCm
