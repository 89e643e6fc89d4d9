#include "relay/LoopbackFetch.hpp"

#include "platform/http/HttpClient.hpp"
#include "relay/RemoteVideoPrepareError.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace pd::relay {

namespace {

constexpr std::chrono::seconds kIdleTimeout{90};

platform::http::Request rangeRequest(std::string url, std::int64_t length) {
  platform::http::Request request;
  request.url = std::move(url);
  request.headers = {"Range: bytes=0-" + std::to_string(length - 1)};
  request.idleTimeout = kIdleTimeout;
  return request;
}

void checkStatus(const platform::http::Response& response) {
  if (response.status <= 0) throw RemoteVideoPrepareError::sidxFetchFailed(-1);
  if (response.status != 200 && response.status != 206) throw RemoteVideoPrepareError::sidxFetchFailed(response.status);
}

// A file beside the destination that is removed unless it was moved into place.
class TemporaryFile {
public:
  explicit TemporaryFile(const std::filesystem::path& destination) {
    std::string pattern =
        (destination.parent_path() / (partialNamePrefix(destination.filename().string()) + ".partial-XXXXXX")).string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) throw PosixError(errno, "mkostemp " + pattern);
    path_ = pattern;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // 0, or the errno of the failed write.
  int write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
  }

  void moveTo(const std::filesystem::path& destination) {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) throw PosixError(errno, "close " + path_);
    std::error_code ignored;
    std::filesystem::remove(destination, ignored);
    if (::rename(path_.c_str(), destination.c_str()) != 0) throw PosixError(errno, "rename to " + destination.string());
    path_.clear();
  }

private:
  int fd_ = -1;
  std::string path_;
};

} // namespace

runtime::Awaitable<std::vector<std::uint8_t>> fetchPrefix(platform::http::Client& client, std::string url,
                                                          std::size_t maxBytes) {
  if (maxBytes < 1) throw std::invalid_argument("fetchPrefix needs at least one byte");
  std::vector<std::uint8_t> buffer;
  buffer.reserve(maxBytes);
  auto sink = [&buffer, maxBytes](std::string_view piece) {
    const std::size_t take = std::min(piece.size(), maxBytes - buffer.size());
    buffer.insert(buffer.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(take));
    return buffer.size() < maxBytes;
  };
  const auto response = co_await client.stream(rangeRequest(std::move(url), static_cast<std::int64_t>(maxBytes)), sink);
  checkStatus(response);
  co_return buffer;
}

runtime::Awaitable<std::int64_t> fetchLocalRange(platform::http::Client& client, std::string url, std::int64_t length,
                                                 std::filesystem::path destination) {
  if (length < 1) throw std::invalid_argument("fetchLocalRange needs at least one byte");
  TemporaryFile file(destination);
  // Only the client's queue touches these until the transfer has ended.
  std::int64_t written = 0;
  int writeError = 0;
  auto sink = [&file, &written, &writeError, length](std::string_view piece) {
    piece = piece.substr(0, static_cast<std::size_t>(std::min<std::int64_t>(length - written, std::ssize(piece))));
    writeError = file.write(piece);
    if (writeError != 0) return false;
    written += std::ssize(piece);
    return written < length;
  };
  const auto response = co_await client.stream(rangeRequest(std::move(url), length), sink);
  checkStatus(response);
  if (writeError != 0) throw PosixError(writeError, "write beside " + destination.string());
  file.moveTo(destination);
  co_return written;
}

std::string partialNamePrefix(std::string_view name) { return "." + std::string(name); }

} // namespace pd::relay
