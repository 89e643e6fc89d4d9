#include "app/TerminationSignals.hpp"

#include "runtime/Error.hpp"

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pd::app {

namespace {

constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> writeEnd{-1};
int readEnd = -1;
std::array<struct sigaction, kSignals.size()> previous{};

void onSignal(int number) {
  const int saved = errno;
  const int fd = writeEnd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a pending request; losing this byte changes nothing.
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(Handler onSignalHandler, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignalHandler)) {
  if (readEnd >= 0) {
    throw PosixError(EBUSY, "termination signals already installed");
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw PosixError(errno, "termination signal pipe");
  }
  readEnd = fds[0];
  writeEnd.store(fds[1], std::memory_order_relaxed);

  struct sigaction action {};
  action.sa_handler = &onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    // A signal ignored by whoever started us (nohup, a background job of a script) stays
    // ignored: a hangup must not end a program that was told to outlive its terminal.
    ::sigaction(kSignals[i], nullptr, &previous[i]);
    if (previous[i].sa_handler != SIG_IGN) {
      ::sigaction(kSignals[i], &action, nullptr);
    }
  }

  notifier_ = new QSocketNotifier(static_cast<qintptr>(readEnd), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
}

TerminationSignals::~TerminationSignals() {
  delete notifier_; // before its descriptor goes
  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    ::sigaction(kSignals[i], &previous[i], nullptr);
  }
  const int fd = writeEnd.exchange(-1);
  ::close(fd);
  ::close(readEnd);
  readEnd = -1;
}

void TerminationSignals::drain() {
  unsigned char buffer[16];
  int last = 0;
  for (;;) {
    const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
    if (n > 0) {
      last = buffer[n - 1];
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    break;
  }
  if (last != 0 && onSignal_) {
    onSignal_(last);
  }
}

} // namespace pd::app
