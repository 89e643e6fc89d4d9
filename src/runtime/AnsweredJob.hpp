#pragma once

// Work for a serial queue whose caller hears back in any case. A closed queue drops what is
// posted to it (after its owner stopped it, or racing with the stop), and a completion inside
// that work would be destroyed unrun, leaving whoever awaits it waiting for good. Dropped, the
// job runs at once where it is destroyed (on the posting thread, or on the queue's last thread
// as it clears what was left), told that it did not run on the queue.
//
//   queue.post(runtime::AnsweredJob([completion = std::move(completion)](bool onQueue) mutable {
//     completion(onQueue ? answer() : answerWithoutTheQueue());
//   }));

#include "runtime/UniqueFunction.hpp"

#include <utility>

namespace pd::runtime {

class AnsweredJob {
public:
  explicit AnsweredJob(UniqueFunction<void(bool onQueue)> work) : work_(std::move(work)) {}
  AnsweredJob(AnsweredJob&&) noexcept = default;
  AnsweredJob& operator=(AnsweredJob&&) = delete;
  AnsweredJob(const AnsweredJob&) = delete;
  AnsweredJob& operator=(const AnsweredJob&) = delete;
  ~AnsweredJob() {
    if (work_) std::exchange(work_, nullptr)(false);
  }
  void operator()() { std::exchange(work_, nullptr)(true); }

private:
  UniqueFunction<void(bool)> work_;
};

} // namespace pd::runtime
