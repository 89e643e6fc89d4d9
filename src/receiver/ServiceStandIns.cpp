#include "receiver/ServiceStandIns.hpp"

#include "platform/paths/Paths.hpp"

#include <system_error>

namespace pd::relay {

namespace {
constexpr const char* kCacheFolderName = "RelayCache";

// Removes what the folder holds, never following a symbolic link out of it.
void emptyFolder(const std::filesystem::path& directory) {
  std::error_code ec;
  const auto status = std::filesystem::symlink_status(directory, ec);
  if (ec || !std::filesystem::is_directory(status)) {
    return; // absent, or a link or file that is not ours to empty
  }
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code removeError;
    std::filesystem::remove_all(it->path(), removeError); // remove_all does not follow links
  }
}
} // namespace

RelayDiskCache& RelayDiskCache::shared() {
  static RelayDiskCache cache;
  return cache;
}

bool RelayDiskCache::prepareIfNeeded() {
  if (!prepared_) {
    prepared_ = true;
    if (const auto directory = defaultDirectory()) {
      emptyFolder(*directory);
    }
  }
  return prepared_;
}

std::optional<std::filesystem::path> RelayDiskCache::defaultDirectory() {
  const auto caches = platform::paths::cachesDirectory();
  if (!caches) {
    return std::nullopt;
  }
  return *caches / kCacheFolderName;
}

void RelayDiskCache::purgeAtExit(const std::optional<std::filesystem::path>& directory) {
  if (directory) {
    emptyFolder(*directory);
  }
}

} // namespace pd::relay

namespace pd::sender {

LocalVideoBroadcaster::LocalVideoBroadcaster(const std::shared_ptr<link::NetworkManagerForMac>& networkManager)
    : networkManager_(networkManager) {}

} // namespace pd::sender
