#include "platform/bonjour/AvahiAsioPoll.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace pd::platform::bonjour::detail {

namespace asio = boost::asio;

namespace {

struct WatchState;
struct TimeoutState;

} // namespace

struct AvahiAsioPoll::Impl {
  explicit Impl(runtime::Executor e) : executor(std::move(e)) {
    api.userdata = this;
    api.watch_new = &Impl::watchNew;
    api.watch_update = &Impl::watchUpdate;
    api.watch_get_events = &Impl::watchGetEvents;
    api.watch_free = &Impl::watchFree;
    api.timeout_new = &Impl::timeoutNew;
    api.timeout_update = &Impl::timeoutUpdate;
    api.timeout_free = &Impl::timeoutFree;
  }

  asio::any_io_executor executor;
  AvahiPoll api{};
  // Shared with every watch and timeout: set by stopWaiting().
  std::shared_ptr<bool> stopped = std::make_shared<bool>(false);

  static AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                              void* userdata);
  static void watchUpdate(AvahiWatch* watch, AvahiWatchEvent event);
  static AvahiWatchEvent watchGetEvents(AvahiWatch* watch);
  static void watchFree(AvahiWatch* watch);
  static AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                                  void* userdata);
  static void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv);
  static void timeoutFree(AvahiTimeout* timeout);
};

namespace {

short toPollEvents(AvahiWatchEvent event) {
  short events = 0;
  if ((event & AVAHI_WATCH_IN) != 0) events = static_cast<short>(events | POLLIN);
  if ((event & AVAHI_WATCH_OUT) != 0) events = static_cast<short>(events | POLLOUT);
  return events;
}

AvahiWatchEvent fromPollEvents(short revents) {
  int event = 0;
  if ((revents & POLLIN) != 0) event |= AVAHI_WATCH_IN;
  if ((revents & POLLOUT) != 0) event |= AVAHI_WATCH_OUT;
  if ((revents & POLLERR) != 0) event |= AVAHI_WATCH_ERR;
  if ((revents & POLLHUP) != 0) event |= AVAHI_WATCH_HUP;
  return static_cast<AvahiWatchEvent>(event);
}

// Alive while the library holds the watch or one of our waits is outstanding.
struct WatchState : std::enable_shared_from_this<WatchState> {
  AvahiWatch* handle = nullptr;
  asio::any_io_executor executor;
  int fd = -1;
  AvahiWatchEvent wanted = static_cast<AvahiWatchEvent>(0);
  AvahiWatchEvent current = static_cast<AvahiWatchEvent>(0);
  AvahiWatchCallback callback = nullptr;
  void* userdata = nullptr;
  std::optional<asio::posix::stream_descriptor> descriptor;
  std::shared_ptr<const bool> stopped;
  std::uint64_t generation = 0;
  bool dead = false;

  short readyNow() const {
    pollfd entry{fd, toPollEvents(wanted), 0};
    if (::poll(&entry, 1, 0) <= 0) return 0;
    return entry.revents;
  }

  void arm() {
    if (dead) return;
    const std::uint64_t armed = ++generation;
    boost::system::error_code ignored;
    if (descriptor) descriptor->cancel(ignored);
    if (wanted == 0 || *stopped) return;
    if (const short revents = readyNow(); revents != 0) {
      asio::post(executor, [self = shared_from_this(), armed, revents] { self->fire(armed, revents); });
      return;
    }
    auto onReady = [self = shared_from_this(), armed](const boost::system::error_code& ec) {
      if (ec || self->dead || self->generation != armed) return;
      self->fire(armed, self->readyNow());
    };
    if ((wanted & AVAHI_WATCH_IN) != 0) descriptor->async_wait(asio::posix::descriptor_base::wait_read, onReady);
    if ((wanted & AVAHI_WATCH_OUT) != 0) descriptor->async_wait(asio::posix::descriptor_base::wait_write, onReady);
  }

  void fire(std::uint64_t armed, short revents) {
    if (dead || generation != armed) return;
    if (revents == 0) {
      arm(); // woken without readiness (a spurious wake): wait again
      return;
    }
    ++generation; // the other wait, if any, is now stale
    current = fromPollEvents(revents);
    auto keep = shared_from_this(); // the callback may free the watch
    callback(handle, fd, current, userdata);
    if (dead) return;
    current = static_cast<AvahiWatchEvent>(0);
    arm();
  }
};

struct TimeoutState : std::enable_shared_from_this<TimeoutState> {
  AvahiTimeout* handle = nullptr;
  std::optional<asio::steady_timer> timer;
  AvahiTimeoutCallback callback = nullptr;
  void* userdata = nullptr;
  std::shared_ptr<const bool> stopped;
  std::uint64_t generation = 0;
  bool dead = false;

  void set(const struct timeval* tv) {
    const std::uint64_t armed = ++generation;
    timer->cancel();
    if (tv == nullptr || *stopped) return;
    // The library states deadlines as gettimeofday() times; turn them into a wait on the
    // monotonic clock at once, so a wall clock step cannot move them later.
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const auto delay =
        std::chrono::seconds(tv->tv_sec - now.tv_sec) + std::chrono::microseconds(tv->tv_usec - now.tv_usec);
    timer->expires_after(delay.count() > 0 ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay)
                                           : std::chrono::steady_clock::duration::zero());
    timer->async_wait([self = shared_from_this(), armed](const boost::system::error_code& ec) {
      if (ec || self->dead || self->generation != armed) return;
      ++self->generation;
      auto keep = self; // the callback may free the timeout
      self->callback(self->handle, self->userdata);
    });
  }
};

} // namespace

} // namespace pd::platform::bonjour::detail

// The library's opaque handles.
struct AvahiWatch {
  std::shared_ptr<pd::platform::bonjour::detail::WatchState> state;
};
struct AvahiTimeout {
  std::shared_ptr<pd::platform::bonjour::detail::TimeoutState> state;
};

namespace pd::platform::bonjour::detail {

// These are called from the library's C code: no exception may leave them.

AvahiWatch* AvahiAsioPoll::Impl::watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event,
                                          AvahiWatchCallback callback, void* userdata) try {
  auto* self = static_cast<Impl*>(api->userdata);
  auto state = std::make_shared<WatchState>();
  auto* watch = new AvahiWatch{state};
  state->handle = watch;
  state->executor = self->executor;
  state->fd = fd;
  state->wanted = event;
  state->callback = callback;
  state->userdata = userdata;
  state->stopped = self->stopped;
  // Each watch waits on a duplicate of the descriptor, which it owns: the reactor takes one
  // registration per descriptor number, and the bus connection keeps a read and a write watch
  // on its one socket (the write watch appears when its output backs up).
  state->descriptor.emplace(self->executor);
  const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  boost::system::error_code ec;
  if (duplicate >= 0) state->descriptor->assign(duplicate, ec);
  if (duplicate < 0 || ec) {
    if (duplicate >= 0) ::close(duplicate);
    state->descriptor.reset();
    delete watch;
    return nullptr;
  }
  state->arm();
  return watch;
} catch (...) {
  return nullptr;
}

void AvahiAsioPoll::Impl::watchUpdate(AvahiWatch* watch, AvahiWatchEvent event) try {
  watch->state->wanted = event;
  watch->state->arm();
} catch (...) {}

AvahiWatchEvent AvahiAsioPoll::Impl::watchGetEvents(AvahiWatch* watch) { return watch->state->current; }

void AvahiAsioPoll::Impl::watchFree(AvahiWatch* watch) {
  auto& state = watch->state;
  state->dead = true;
  // Closes the watch's duplicate only; the library closes its own descriptor itself.
  state->descriptor.reset();
  delete watch;
}

AvahiTimeout* AvahiAsioPoll::Impl::timeoutNew(const AvahiPoll* api, const struct timeval* tv,
                                              AvahiTimeoutCallback callback, void* userdata) try {
  auto* self = static_cast<Impl*>(api->userdata);
  auto state = std::make_shared<TimeoutState>();
  auto* timeout = new AvahiTimeout{state};
  state->handle = timeout;
  state->timer.emplace(self->executor);
  state->callback = callback;
  state->userdata = userdata;
  state->stopped = self->stopped;
  state->set(tv);
  return timeout;
} catch (...) {
  return nullptr;
}

void AvahiAsioPoll::Impl::timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) try {
  timeout->state->set(tv);
} catch (...) {}

void AvahiAsioPoll::Impl::timeoutFree(AvahiTimeout* timeout) {
  auto& state = timeout->state;
  state->dead = true;
  try {
    state->timer->cancel();
  } catch (...) {}
  state->timer.reset();
  delete timeout;
}

AvahiAsioPoll::AvahiAsioPoll(runtime::Executor executor) : impl_(std::make_unique<Impl>(std::move(executor))) {}

AvahiAsioPoll::~AvahiAsioPoll() = default;

const AvahiPoll* AvahiAsioPoll::api() const noexcept { return &impl_->api; }

void AvahiAsioPoll::stopWaiting() noexcept { *impl_->stopped = true; }

} // namespace pd::platform::bonjour::detail
