#include "runtime/SerialQueue.hpp"

#include "runtime/ThreadPools.hpp"
#include "runtime/detail/Queues.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

namespace pd::runtime {

namespace {

// A serial queue as a strand on the shared pool.
class StrandQueue final : public detail::QueueTarget {
public:
  explicit StrandQueue(const Executor& pool)
      : strand_(boost::asio::make_strand(pool)),
        // The pool's end drops the work of the strands that exist then. A strand made later is
        // not among them: its first work would leave it waiting for a pool thread for ever, and a
        // close would wait with it. Such a queue starts closed. Asked after the strand is made, so
        // that a strand the pool's end missed always sees the pool closed.
        madeAfterPoolEnded_(static_cast<const detail::QueueTarget&>(*pool.target()).isClosed()) {
    if (madeAfterPoolEnded_) {
      gate_.closeAndWait();
    }
  }

  void execute(UniqueFunction<void()> work, bool mayRunInline) override {
    if (mayRunInline && isCurrent()) {
      if (!gate_.isClosed()) {
        work();
      }
      return;
    }
    if (!gate_.enter()) {
      return;
    }
    boost::asio::post(strand_, std::move(work));
    gate_.leave();
  }
  bool isCurrent() const noexcept override { return strand_.running_in_this_thread(); }
  boost::asio::execution_context& context() const noexcept override {
    return boost::asio::query(strand_, boost::asio::execution::context);
  }
  bool isSerial() const noexcept override { return true; }
  bool isClosed() const noexcept override { return gate_.isClosed(); }

  void shutdown() noexcept override {
    // Every call waits, not only the first: an earlier close from the queue's own work did not.
    gate_.closeAndWait();
    if (isCurrent() || madeAfterPoolEnded_) {
      return;
    }
    // Wait for the work queued before the close: a marker queued behind it, bypassing the gate.
    // (When the pool itself is gone the marker is dropped and this returns at once.)
    detail::postAndWait([this](UniqueFunction<void()> marker) { boost::asio::post(strand_, std::move(marker)); }, [] {},
                        std::nullopt);
  }

private:
  boost::asio::strand<Executor> strand_;
  const bool madeAfterPoolEnded_;
  detail::Gate gate_;
};

detail::QueueTarget& queueTarget(const std::shared_ptr<detail::ExecutionTarget>& target) {
  return static_cast<detail::QueueTarget&>(*target);
}

} // namespace

SerialQueue::SerialQueue(std::string name, Kind kind) : name_(std::move(name)), kind_(kind) {
  if (kind_ == Kind::ownThread) {
    target_ = detail::EventLoop::start({.name = name_, .threads = 1, .niceIncrement = 0, .serial = true});
  } else {
    target_ = std::make_shared<StrandQueue>(sharedPool().executor());
  }
}

SerialQueue::~SerialQueue() { shutdown(); }

Executor SerialQueue::executor() const { return Executor(target_); }

void SerialQueue::post(UniqueFunction<void()> work) const { target_->execute(std::move(work), false); }

bool SerialQueue::isCurrent() const noexcept { return target_->isCurrent(); }

bool SerialQueue::syncWithTimeout(UniqueFunction<void()> work, std::chrono::nanoseconds timeout) const {
  if (isCurrent()) {
    work();
    return true;
  }
  return detail::postAndWait([this](UniqueFunction<void()> job) { post(std::move(job)); }, std::move(work), timeout);
}

void SerialQueue::shutdown() noexcept { queueTarget(target_).shutdown(); }

} // namespace pd::runtime
