#include "runtime/Executor.hpp"

namespace pd::runtime {

bool operator==(const Executor& a, const Executor& b) noexcept {
  return a.target_ == b.target_ && a.blockingNever_ == b.blockingNever_ && a.tracked_ == b.tracked_;
}

} // namespace pd::runtime
