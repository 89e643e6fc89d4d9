// The file road: admission by file-IO slots, the stat step, the reply header, the open step and
// the chunk loop. Decisions run on the queue; every file system call runs on the file-IO pool.

#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "runtime/Clock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace pd::mediaserver {

using IOPermit = LocalVideoHTTPServer::IOPermit;
using RequestLogContext = LocalVideoHTTPServer::RequestLogContext;

namespace {

LocalVideoHTTPServer::FileVersion versionOf(const struct stat& info) {
  LocalVideoHTTPServer::FileVersion version;
  version.device = static_cast<std::uint64_t>(info.st_dev);
  version.fileNumber = static_cast<std::uint64_t>(info.st_ino);
  version.size = static_cast<std::int64_t>(info.st_size);
  version.modifiedSeconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  version.modifiedNanoseconds = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  version.changedSeconds = static_cast<std::int64_t>(info.st_ctim.tv_sec);
  version.changedNanoseconds = static_cast<std::int64_t>(info.st_ctim.tv_nsec);
  return version;
}

// An open descriptor; closed by whoever drops the last reference, which the road arranges to be
// the file-IO pool.
class OpenFile {
public:
  explicit OpenFile(int fd) : fd_(fd) {}
  ~OpenFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int fd() const noexcept { return fd_; }

private:
  int fd_;
};

struct Transfer {
  std::string token;
  Connection connection;
  std::shared_ptr<OpenFile> file;
  std::int64_t offset = 0;
  std::int64_t remaining = 0;
  RequestLogContext context;
  // One chunk buffer for the whole transfer: only one read or one send is ever outstanding, and
  // a fresh chunk-sized allocation per pass costs a map and unmap of its pages.
  std::shared_ptr<Bytes> buffer;
};

} // namespace

std::optional<LocalVideoHTTPServer::FileVersion> LocalVideoHTTPServer::FileVersion::atPath(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return versionOf(info);
}

std::optional<LocalVideoHTTPServer::FileVersion> LocalVideoHTTPServer::FileVersion::ofDescriptor(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    return std::nullopt;
  }
  return versionOf(info);
}

bool LocalVideoHTTPServer::FileVersion::contentMatches(const FileVersion& other) const noexcept {
  return device == other.device && fileNumber == other.fileNumber && size == other.size &&
         modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds;
}

namespace {

struct FileRoad {
  static void serveFile(LocalVideoHTTPServer::Impl& self, std::optional<LocalVideoHTTPServer::FileVersion> version,
                        bool verifierFailed, std::string token, std::string method, std::optional<std::string> range,
                        Connection connection, std::shared_ptr<IOPermit> permit, std::filesystem::path url,
                        LocalVideoHTTPServer::FileVerifier verifier);
  static void openStep(std::weak_ptr<LocalVideoHTTPServer::Impl> weak, runtime::Executor queue,
                       std::shared_ptr<Transfer> transfer, LocalVideoHTTPServer::FileVersion version);
  static void streamNextChunk(LocalVideoHTTPServer::Impl& self, std::shared_ptr<Transfer> transfer);
  static void closeFile(LocalVideoHTTPServer::Impl& self, Transfer& transfer);
};

} // namespace

void LocalVideoHTTPServer::Impl::admitFile(const std::string& token, const std::filesystem::path& url,
                                           FileVerifier verifier, const std::string& method,
                                           std::optional<std::string> range, const Connection& connection) {
  auto key = LocalVideoHTTPServer::volumeKey(url);
  const auto held = fileIOInFlightByVolume.find(key);
  if (fileIOInFlight >= kMaxFileIO || (held != fileIOInFlightByVolume.end() && held->second >= kMaxFileIOPerVolume)) {
    logRequestFailure("file_io_busy", 503, token, nullptr);
    sendText("503 Service Unavailable", connection);
    return;
  }
  ++fileIOInFlight;
  ++fileIOInFlightByVolume[key];
  auto permit = std::make_shared<IOPermit>([weak = weak_from_this(), queue = queueExecutor, key]() {
    queue.execute([weak, key] {
      if (auto self = weak.lock()) {
        --self->fileIOInFlight;
        const auto found = self->fileIOInFlightByVolume.find(key);
        const auto n = (found == self->fileIOInFlightByVolume.end() ? 1 : found->second) - 1;
        if (n > 0) {
          found->second = n;
        } else if (found != self->fileIOInFlightByVolume.end()) {
          self->fileIOInFlightByVolume.erase(found);
        }
      }
    });
  });
  fileIOQueue.post([weak = weak_from_this(), queue = queueExecutor, url, verifier = std::move(verifier), permit = std::move(permit), token,
                    connection, method, range = std::move(range)]() mutable {
    if (weak.expired()) {
      return;
    }
    auto version = FileVersion::atPath(url);
    bool verifierFailed = false;
    if (version && verifier && !verifier(url)) {
      version.reset();
      verifierFailed = true;
    }
    // Back to the queue without taking hold of the server here: it must never end on this pool.
    queue.execute([weak, version, verifierFailed, token = std::move(token), method = std::move(method),
                   range = std::move(range), connection = std::move(connection), permit = std::move(permit),
                   url = std::move(url), verifier = std::move(verifier)]() mutable {
      if (auto server = weak.lock()) {
        FileRoad::serveFile(*server, version, verifierFailed, std::move(token), std::move(method), std::move(range),
                            std::move(connection), std::move(permit), std::move(url), std::move(verifier));
      }
    });
  });
}

void LocalVideoHTTPServer::Impl::sendRangeNotSatisfiable(std::int64_t size, const Connection& connection) {
  const std::string reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  sendWithDeadline(connection, Bytes(reply.begin(), reply.end()), true,
                   [connection](std::error_code) { connection->cancel(); });
}

void FileRoad::serveFile(LocalVideoHTTPServer::Impl& self, std::optional<LocalVideoHTTPServer::FileVersion> version,
                         bool verifierFailed, std::string token, std::string method, std::optional<std::string> range,
                         Connection connection, std::shared_ptr<IOPermit> permit, std::filesystem::path url,
                         LocalVideoHTTPServer::FileVerifier verifier) {
  if (!version) {
    self.logRequestFailure(verifierFailed ? "file_changed" : "file_missing", 404, token, nullptr);
    self.sendText("404 Not Found", connection);
    return;
  }
  const auto size = version->size;
  const auto reply = transferReply(range, size);
  if (!reply) {
    self.logRequestFailure("range_invalid", 416, token, nullptr);
    self.sendRangeNotSatisfiable(size, connection);
    return;
  }
  const auto [start, end, status] = *reply;
  const auto length = end - start + 1;
  const auto header = transferHeader(status, LocalVideoHTTPServer::contentType(url), start, end, size);
  RequestLogContext context;
  context.token = token;
  context.status = status;
  context.startedAt = runtime::monotonicSeconds();
  context.ioPermit = std::move(permit);
  if (method == "HEAD") {
    self.logRequestComplete(context);
    self.sendWithDeadline(connection, Bytes(header.begin(), header.end()), true,
                          [connection](std::error_code) { connection->cancel(); });
    return;
  }
  auto transfer = std::make_shared<Transfer>();
  transfer->token = token;
  transfer->connection = connection;
  transfer->offset = start;
  transfer->remaining = length;
  transfer->context = std::move(context);
  transfer->context.fileURL = url;
  transfer->context.fileVerify = std::move(verifier);
  self.sendWithDeadline(connection, Bytes(header.begin(), header.end()), false,
                        [weak = self.weak_from_this(), queue = self.queueExecutor, transfer,
                         version = *version](std::error_code error) mutable {
                          auto server = weak.lock();
                          if (!server) {
                            transfer->connection->cancel();
                            return;
                          }
                          if (error) {
                            server->logRequestAbort("send_fail", transfer->token, 0,
                                                    std::make_exception_ptr(std::system_error(error, "send")));
                            transfer->connection->cancel();
                            return;
                          }
                          server.reset();
                          openStep(std::move(weak), std::move(queue), std::move(transfer), version);
                        });
}

void FileRoad::openStep(std::weak_ptr<LocalVideoHTTPServer::Impl> weak, runtime::Executor queue,
                        std::shared_ptr<Transfer> transfer, LocalVideoHTTPServer::FileVersion version) {
  auto pool = [&]() -> std::optional<runtime::Executor> {
    if (auto server = weak.lock()) {
      return server->fileIOQueue.executor();
    }
    return std::nullopt;
  }();
  if (!pool) {
    transfer->connection->cancel();
    return;
  }
  pool->execute([weak, queue, transfer = std::move(transfer), version]() mutable {
    if (weak.expired()) {
      transfer->connection->cancel();
      return;
    }
    std::exception_ptr failure;
    std::shared_ptr<OpenFile> file;
    const auto& url = *transfer->context.fileURL;
    const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      failure = std::make_exception_ptr(PosixError(errno, "open"));
    } else {
      file = std::make_shared<OpenFile>(fd);
      const auto opened = LocalVideoHTTPServer::FileVersion::ofDescriptor(fd);
      const bool same = opened && (transfer->context.fileVerify ? *opened == version : opened->contentMatches(version));
      if (!same) {
        failure = std::make_exception_ptr(FileReadError(FileReadError::Code::noSuchFile, "opened file differs"));
        file.reset();
      }
    }
    queue.execute([weak, transfer = std::move(transfer), file = std::move(file), failure, version]() mutable {
      auto server = weak.lock();
      if (!server) {
        transfer->connection->cancel();
        return;
      }
      if (failure) {
        server->logRequestFailure("file_open_fail", transfer->context.status, transfer->token, failure);
        transfer->connection->cancel();
        return;
      }
      transfer->file = std::move(file);
      transfer->context.fileVersion = version;
      streamNextChunk(*server, std::move(transfer));
    });
  });
}

void FileRoad::closeFile(LocalVideoHTTPServer::Impl& self, Transfer& transfer) {
  // The slot comes back only once the descriptor is closed.
  self.fileIOQueue.post([file = std::exchange(transfer.file, nullptr),
                         permit = std::exchange(transfer.context.ioPermit, nullptr)]() mutable { file.reset(); });
}

void FileRoad::streamNextChunk(LocalVideoHTTPServer::Impl& self, std::shared_ptr<Transfer> transfer) {
  if (transfer->remaining < 1) {
    closeFile(self, *transfer);
    self.logRequestComplete(transfer->context);
    auto connection = transfer->connection;
    self.sendWithDeadline(connection, Bytes(), true, [connection](std::error_code) { connection->cancel(); });
    return;
  }
  if (!self.lookupFile(transfer->token)) {
    closeFile(self, *transfer);
    self.logRequestFailure("token_revoked", transfer->context.status, transfer->token, nullptr);
    transfer->connection->cancel();
    return;
  }
  const auto n = std::min<std::int64_t>(transfer->remaining, LocalVideoHTTPServer::kChunkSize);
  self.fileIOQueue.post([weak = self.weak_from_this(), queue = self.queueExecutor, transfer, n]() mutable {
    if (!transfer->buffer) {
      transfer->buffer = std::make_shared<Bytes>(static_cast<std::size_t>(n));
    }
    auto& buffer = *transfer->buffer;
    const auto got = ::pread(transfer->file->fd(), buffer.data(), static_cast<std::size_t>(n), static_cast<off_t>(transfer->offset));
    const auto read = got > 0 ? static_cast<std::size_t>(got) : std::size_t{0};
    bool changed = false;
    auto& context = transfer->context;
    if (context.fileVersion) {
      const auto now = LocalVideoHTTPServer::FileVersion::ofDescriptor(transfer->file->fd());
      if (!now) {
        changed = true;
      } else if (*now == *context.fileVersion) {
        changed = false;
      } else if (!now->contentMatches(*context.fileVersion)) {
        changed = true;
      } else if (context.fileVerify) {
        if (!context.fileURL || !context.fileVerify(*context.fileURL)) {
          changed = true;
        } else {
          context.fileVersion = now;
        }
      } else {
        context.fileVersion = now;
      }
    }
    if (weak.expired()) {
      transfer->file.reset();
      transfer->connection->cancel();
      return;
    }
    queue.execute([weak, transfer, changed, read]() mutable {
      auto server = weak.lock();
      if (!server) {
        transfer->connection->cancel();
        return;
      }
      if (changed || read == 0) {
        closeFile(*server, *transfer);
        server->logRequestFailure(changed ? "file_changed" : "read_fail", transfer->context.status, transfer->token,
                                  nullptr);
        transfer->connection->cancel();
        return;
      }
      const auto count = static_cast<std::int64_t>(read);
      auto connection = transfer->connection;
      server->sendWithDeadline(connection, transfer->buffer, 0, read, false, [weak, transfer, count](std::error_code error) mutable {
        auto inner = weak.lock();
        if (!inner) {
          transfer->connection->cancel();
          return;
        }
        if (error) {
          closeFile(*inner, *transfer);
          inner->logRequestAbort("send_fail", transfer->token, transfer->context.sent,
                                 std::make_exception_ptr(std::system_error(error, "send")));
          transfer->connection->cancel();
          return;
        }
        transfer->context.sent += count;
        transfer->offset += count;
        transfer->remaining -= count;
        inner->statsBytes += count;
        inner->statsCheck();
        streamNextChunk(*inner, std::move(transfer));
      });
    });
  });
}

} // namespace pd::mediaserver
