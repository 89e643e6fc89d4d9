// A stand-in first instance for the single-instance tests: takes the lock exactly as the
// application does, answers later launches, and reports on stdout:
//   "ready <pid>" once it holds the lock and listens, "busy" when it could not get the lock,
//   "activated" for each activation request.
// It keeps the lock until its stdin closes (or after the milliseconds given as argument).

#include "diagnostics/SingleInstanceGuard.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

int main(int argc, char* argv[]) {
  namespace guard = pd::diagnostics::SingleInstanceGuard;
  guard::settings().lockWait = std::chrono::milliseconds(0);
  if (guard::acquire() != guard::Acquisition::acquired) {
    std::puts("busy");
    std::fflush(stdout);
    return 3;
  }
  auto listener = guard::listenForLaterLaunches([] {
    std::puts("activated");
    std::fflush(stdout);
  });
  std::printf("ready %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  if (argc > 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[1])));
  } else {
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {}
  }
  // The lock goes with the process, as in the application.
  std::fflush(stdout);
  ::_exit(0);
}
