// Measures one file's tempo as another user: `bpm_detect_probe UID FILE` drops to UID when run
// as root (CI is root, and root reads any file) and prints "bpm=N|- transient=0|1".
#include "deckinput/LocalBPMDetectionService.hpp"
#include "runtime/ThreadPools.hpp"

#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (::geteuid() == 0) {
    const auto uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) return 3;
  }
  const pd::deckinput::LocalBPMDetectionService service;
  std::promise<pd::deckinput::BPMDetectionResult> promise;
  auto future = promise.get_future();
  const std::string file = argv[2];
  pd::runtime::spawnDetached(pd::runtime::backgroundPool().executor(), [&]() -> pd::runtime::Awaitable<void> {
    promise.set_value(co_await service.detectBPM(file));
  });
  if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) return 4;
  const auto result = future.get();
  std::printf("bpm=%s transient=%d\n", result.bpm ? std::to_string(*result.bpm).c_str() : "-",
              result.isTransientFailure ? 1 : 0);
  return 0;
}
