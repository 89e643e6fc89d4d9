#pragma once

// The one executor type of this runtime. The main thread, serial queues, thread pools and tasks
// all hand out a runtime::Executor; it converts to boost::asio::any_io_executor, so it works with
// co_spawn, post, dispatch, strands, timers and sockets.
//
// An Executor shares ownership of its target. A target that was shut down (a destroyed serial
// queue, an uninstalled main-thread backend) drops work submitted to it instead of running it,
// so an executor copy that outlives its queue is harmless rather than dangling.

#include "runtime/UniqueFunction.hpp"

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>

#include <memory>
#include <utility>

namespace pd::runtime {

namespace detail {

// Where an Executor sends work.
class ExecutionTarget {
public:
  virtual ~ExecutionTarget() = default;

  // Runs or queues the work. mayRunInline: the submitter allows the work to run before this call
  // returns when the calling thread is already running inside this target (Asio's "blocking.possibly").
  virtual void execute(UniqueFunction<void()> work, bool mayRunInline) = 0;
  // True while the calling thread runs work of this target.
  virtual bool isCurrent() const noexcept = 0;
  // The context that I/O objects (timers, sockets) made on this executor belong to.
  virtual boost::asio::execution_context& context() const noexcept = 0;
  // True when the target runs one piece of work at a time, in submission order.
  virtual bool isSerial() const noexcept = 0;
  // Outstanding work: while the returned token lives, the target's event loop must not consider
  // itself idle (a test's io_context::run() keeps running). Null when the target has no such notion.
  virtual std::shared_ptr<void> trackWork() { return {}; }
};

} // namespace detail

class Executor {
public:
  explicit Executor(std::shared_ptr<detail::ExecutionTarget> target) noexcept : target_(std::move(target)) {}

  template <typename F>
  void execute(F&& work) const {
    target_->execute(UniqueFunction<void()>(std::forward<F>(work)), !blockingNever_);
  }

  bool isCurrent() const noexcept { return target_->isCurrent(); }
  bool isSerial() const noexcept { return target_->isSerial(); }
  const std::shared_ptr<detail::ExecutionTarget>& target() const noexcept { return target_; }

  // Asio's executor properties.
  boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept { return target_->context(); }
  boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) const noexcept {
    return blockingNever_ ? boost::asio::execution::blocking_t(boost::asio::execution::blocking.never)
                          : boost::asio::execution::blocking_t(boost::asio::execution::blocking.possibly);
  }
  boost::asio::execution::outstanding_work_t query(boost::asio::execution::outstanding_work_t) const noexcept {
    return tracked_ ? boost::asio::execution::outstanding_work_t(boost::asio::execution::outstanding_work.tracked)
                    : boost::asio::execution::outstanding_work_t(boost::asio::execution::outstanding_work.untracked);
  }
  Executor require(boost::asio::execution::blocking_t::never_t) const {
    Executor copy(*this);
    copy.blockingNever_ = true;
    return copy;
  }
  Executor require(boost::asio::execution::blocking_t::possibly_t) const {
    Executor copy(*this);
    copy.blockingNever_ = false;
    return copy;
  }
  Executor require(boost::asio::execution::outstanding_work_t::tracked_t) const {
    if (tracked_) {
      return *this;
    }
    Executor copy(*this);
    copy.tracked_ = true;
    copy.work_ = target_->trackWork();
    return copy;
  }
  Executor require(boost::asio::execution::outstanding_work_t::untracked_t) const {
    Executor copy(*this);
    copy.tracked_ = false;
    copy.work_.reset();
    return copy;
  }

  // Out of line: inlined into Asio's type-erased comparison it trips GCC's null-dereference
  // analysis.
  friend bool operator==(const Executor& a, const Executor& b) noexcept;

private:
  std::shared_ptr<detail::ExecutionTarget> target_;
  std::shared_ptr<void> work_;
  bool blockingNever_ = false;
  bool tracked_ = false;
};

} // namespace pd::runtime
