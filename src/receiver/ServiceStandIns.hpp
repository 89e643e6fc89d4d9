#pragma once

// Stand-ins for services that are built by later issues, behind the interfaces the receiver
// and the shell call. Each lives in the namespace its real implementation will use, so
// that replacing one means deleting it here and linking the real library; none does more
// than the shell needs to start and end.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace pd::relay {

// Stand-in for the relay's disk cache.
class RelayDiskCache {
public:
  static RelayDiskCache& shared();

  // The launch purge: empties the cache folder on the first call; later calls return at
  // once. Returns whether the cache is prepared.
  bool prepareIfNeeded();

  // "RelayCache" in the application's caches folder; none without a caches folder.
  static std::optional<std::filesystem::path> defaultDirectory();

  // Deletes the files in the folder (a folder that is a symbolic link is refused). Never
  // throws; callable on the main thread during termination.
  static void purgeAtExit(const std::optional<std::filesystem::path>& directory);

private:
  bool prepared_ = false;
};

} // namespace pd::relay

namespace pd::link {
class NetworkManagerForMac;
}

namespace pd::sender {

// Stand-in for the broadcaster that owns the local HTTP server and sends videos to the tablet.
class LocalVideoBroadcaster {
public:
  explicit LocalVideoBroadcaster(const std::shared_ptr<link::NetworkManagerForMac>& networkManager);
  LocalVideoBroadcaster(const LocalVideoBroadcaster&) = delete;
  LocalVideoBroadcaster& operator=(const LocalVideoBroadcaster&) = delete;

private:
  std::weak_ptr<link::NetworkManagerForMac> networkManager_;
};

} // namespace pd::sender
