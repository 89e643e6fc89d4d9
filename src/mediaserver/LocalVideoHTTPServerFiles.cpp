// The file road: admission by file-IO slots, the stat step, the reply header, the open step and
// the chunk loop. Admission and every refusal run on the queue; every file system call, and the
// whole of a GET that will be served, runs on the file-IO pool.

#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "runtime/Clock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

// A chunk moves as one piece, read, checked and sent before the next is read: a piece fits the
// CPU's cache, so it is still there when the send copies it. Each send costs a socket lock, a
// push and a wake-up of the reader; at half this size those per-send costs, paid twice as
// often, made a local reply cost more CPU per byte than a plain static file server's. One version
// check covers a whole piece, since a write to the file changes its modification time before any
// of its bytes can be read (and a truncation its size), so a check made after the read sees any
// change the read could have seen: larger pieces mean fewer checks without letting a byte of
// another version through.
constexpr std::int64_t kPieceSize = LocalVideoHTTPServer::kChunkSize;

// One piece buffer per file-IO thread: a transfer runs on one thread from its header to its end.
std::uint8_t* pieceBuffer() {
  thread_local const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kPieceSize);
  return buffer.get();
}

struct Transfer {
  std::string token;
  Connection connection;
  std::unique_ptr<OpenFile> file;
  std::int64_t offset = 0;
  std::int64_t remaining = 0;
  // Body bytes sent but not yet added to the server's statistics, which live on the queue.
  std::int64_t unreported = 0;
  RequestLogContext context;
  std::chrono::steady_clock::time_point lastReport;
};

} // namespace

std::optional<LocalVideoHTTPServer::FileVersion>
LocalVideoHTTPServer::FileVersion::atPath(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return versionOf(info);
}

std::optional<LocalVideoHTTPServer::FileVersion> LocalVideoHTTPServer::FileVersion::ofDescriptor(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return versionOf(info);
}

bool LocalVideoHTTPServer::FileVersion::contentMatches(const FileVersion& other) const noexcept {
  return device == other.device && fileNumber == other.fileNumber && size == other.size &&
         modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds;
}

namespace {

// A GET's header, open step and chunk loop run as one block on the file-IO pool, which reads and
// sends each chunk itself: every transfer then moves its bytes on its own pool thread instead of
// crossing to the queue and back twice per chunk. The pool has a thread per admission slot, so a
// send waiting on a slow peer holds only its own transfer's thread. The queue still owns the
// counters, the log and the connection's end; the pool never takes hold of the server for longer
// than a registry lookup, and lets go of it on the queue, where the server may end.
struct FileRoad {
  using Weak = std::weak_ptr<LocalVideoHTTPServer::Impl>;

  static void serveFile(LocalVideoHTTPServer::Impl& self, std::optional<LocalVideoHTTPServer::FileVersion> version,
                        bool verifierFailed, std::string token, std::optional<std::string> range, Connection connection,
                        std::shared_ptr<IOPermit> permit, const std::filesystem::path& url);
  static void transferOnPool(const Weak& weak, const runtime::Executor& queue,
                             const std::shared_ptr<LocalVideoHTTPServer::Impl::Registry>& registry,
                             std::chrono::nanoseconds sendDeadline, const LocalVideoHTTPServer::FileVersion& version,
                             const TransferReply& reply, std::shared_ptr<Transfer> transfer,
                             std::shared_ptr<IOPermit> permit);
  static std::exception_ptr openFile(Transfer& transfer, const LocalVideoHTTPServer::FileVersion& version);
  static bool fileChanged(Transfer& transfer);
  // Up to n (at most kPieceSize) bytes at the transfer's offset into the thread's piece buffer;
  // fewer only at the file's end, -1 on a read error.
  static std::int64_t readPiece(Transfer& transfer, std::size_t n);
  // Hands the bytes sent so far to the server's statistics, at most every kReportInterval while
  // a transfer runs: a post per chunk would keep the queue's thread busy for nothing.
  static void reportSent(const Weak& weak, const runtime::Executor& queue, Transfer& transfer);
  static constexpr auto kReportInterval = std::chrono::milliseconds(250);
  // Ends the transfer on the queue: the file is closed here first, so the slot comes back only
  // after its descriptor is closed; it comes back there before `finish` runs.
  template <typename F>
  static void finishOnQueue(const Weak& weak, const runtime::Executor& queue, const std::shared_ptr<Transfer>& transfer,
                            F finish);
  static void addSent(LocalVideoHTTPServer::Impl& self, std::int64_t count);
};

} // namespace

void LocalVideoHTTPServer::Impl::admitFile(const std::string& token, const std::filesystem::path& url,
                                           FileVerifier verifier, const std::string& method,
                                           std::optional<std::string> range, const Connection& connection) {
  auto key = LocalVideoHTTPServer::volumeKey(url);
  if (!fileIOSlots->take(key)) {
    logRequestFailure("file_io_busy", 503, token, nullptr);
    sendText("503 Service Unavailable", connection);
    return;
  }
  auto permit = std::make_shared<IOPermit>([slots = fileIOSlots, key]() { slots->give(key); });
  fileIOQueue.post([weak = weak_from_this(), queue = queueExecutor, registry = registry,
                    sendDeadline = timing.sendDeadline, url, verifier = std::move(verifier), permit = std::move(permit),
                    token, connection, method, range = std::move(range)]() mutable {
    if (weak.expired()) {
      return;
    }
    auto version = FileVersion::atPath(url);
    bool verifierFailed = false;
    if (version && verifier && !verifier(url)) {
      version.reset();
      verifierFailed = true;
    }
    // A GET that will be served goes straight on here: the queue has nothing to decide for it.
    if (const auto reply = version && method != "HEAD" ? transferReply(range, version->size) : std::nullopt) {
      auto transfer = std::make_shared<Transfer>();
      transfer->token = std::move(token);
      transfer->connection = std::move(connection);
      transfer->context.fileURL = std::move(url);
      transfer->context.fileVerify = std::move(verifier);
      FileRoad::transferOnPool(weak, queue, registry, sendDeadline, *version, *reply, std::move(transfer),
                               std::move(permit));
      return;
    }
    // Back to the queue without taking hold of the server here: it must never end on this pool.
    queue.execute([weak, version, verifierFailed, token = std::move(token), range = std::move(range),
                   connection = std::move(connection), permit = std::move(permit), url = std::move(url)]() mutable {
      if (auto server = weak.lock()) {
        FileRoad::serveFile(*server, version, verifierFailed, std::move(token), std::move(range), std::move(connection),
                            std::move(permit), std::move(url));
      }
    });
  });
}

bool LocalVideoHTTPServer::Impl::FileIOSlots::take(const std::string& volume) {
  std::scoped_lock held(lock);
  auto& onVolume = fileIOInFlightByVolume[volume];
  if (fileIOInFlight >= kMaxFileIO || onVolume >= kMaxFileIOPerVolume) {
    if (onVolume == 0) {
      fileIOInFlightByVolume.erase(volume);
    }
    return false;
  }
  ++fileIOInFlight;
  ++onVolume;
  return true;
}

void LocalVideoHTTPServer::Impl::FileIOSlots::give(const std::string& volume) {
  std::scoped_lock held(lock);
  --fileIOInFlight;
  const auto found = fileIOInFlightByVolume.find(volume);
  const auto n = (found == fileIOInFlightByVolume.end() ? 1 : found->second) - 1;
  if (n > 0) {
    found->second = n;
  } else if (found != fileIOInFlightByVolume.end()) {
    fileIOInFlightByVolume.erase(found);
  }
}

void LocalVideoHTTPServer::Impl::sendRangeNotSatisfiable(std::int64_t size, const Connection& connection) {
  const std::string reply = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) +
                            "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  sendWithDeadline(connection, Bytes(reply.begin(), reply.end()), true,
                   [connection](std::error_code) { connection->cancel(); });
}

void FileRoad::serveFile(LocalVideoHTTPServer::Impl& self, std::optional<LocalVideoHTTPServer::FileVersion> version,
                         bool verifierFailed, std::string token, std::optional<std::string> range,
                         Connection connection, std::shared_ptr<IOPermit> permit, const std::filesystem::path& url) {
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
  // A GET with a satisfiable reply never comes here: the pool goes straight on with it.
  const auto [start, end, status] = *reply;
  RequestLogContext context;
  context.token = token;
  context.status = status;
  context.startedAt = runtime::monotonicSeconds();
  context.ioPermit = std::move(permit);
  self.logRequestComplete(context);
  const auto header = transferHeader(status, LocalVideoHTTPServer::contentType(url), start, end, size);
  self.sendWithDeadline(connection, Bytes(header.begin(), header.end()), true,
                        [connection](std::error_code) { connection->cancel(); });
}

void FileRoad::addSent(LocalVideoHTTPServer::Impl& self, std::int64_t count) {
  if (count > 0) {
    self.addSentBytes(count);
  }
}

template <typename F>
void FileRoad::finishOnQueue(const Weak& weak, const runtime::Executor& queue,
                             const std::shared_ptr<Transfer>& transfer, F finish) {
  transfer->file.reset();
  // A permit still held travels with the end and is let go on the queue, after the descriptor is
  // closed and before anything `finish` sends.
  queue.execute([weak, transfer, finish = std::move(finish),
                 permit = std::exchange(transfer->context.ioPermit, nullptr)]() mutable {
    auto server = weak.lock();
    if (!server) {
      transfer->connection->cancel();
      return;
    }
    permit.reset();
    addSent(*server, std::exchange(transfer->unreported, 0));
    finish(*server, *transfer);
  });
}

void FileRoad::reportSent(const Weak& weak, const runtime::Executor& queue, Transfer& transfer) {
  const auto now = std::chrono::steady_clock::now();
  if (now - transfer.lastReport < kReportInterval) {
    return;
  }
  transfer.lastReport = now;
  queue.execute([weak, count = std::exchange(transfer.unreported, 0)] {
    if (auto server = weak.lock()) {
      addSent(*server, count);
    }
  });
}

std::exception_ptr FileRoad::openFile(Transfer& transfer, const LocalVideoHTTPServer::FileVersion& version) {
  const auto& url = *transfer.context.fileURL;
  // Without O_NONBLOCK, a FIFO put in the file's place after the stat step would hold this pool
  // thread in open() until some writer came; the type is then judged on what was opened.
  const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::make_exception_ptr(PosixError(errno, "open"));
  }
  auto file = std::make_unique<OpenFile>(fd);
  const auto opened = LocalVideoHTTPServer::FileVersion::ofDescriptor(fd);
  const bool same = opened && (transfer.context.fileVerify ? *opened == version : opened->contentMatches(version));
  if (!same) {
    return std::make_exception_ptr(FileReadError(FileReadError::Code::noSuchFile, "opened file differs"));
  }
  transfer.file = std::move(file);
  transfer.context.fileVersion = version;
  return nullptr;
}

std::int64_t FileRoad::readPiece(Transfer& transfer, std::size_t n) {
  auto* const piece = pieceBuffer();
  std::size_t got = 0;
  while (got < n) {
    const auto r = ::pread(transfer.file->fd(), piece + got, n - got,
                           static_cast<off_t>(transfer.offset + static_cast<std::int64_t>(got)));
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0) {
      break;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<std::int64_t>(got);
}

// A change of the status-change time alone is adopted unless the token's verifier disagrees.
bool FileRoad::fileChanged(Transfer& transfer) {
  auto& context = transfer.context;
  if (!context.fileVersion) {
    return false;
  }
  const auto now = LocalVideoHTTPServer::FileVersion::ofDescriptor(transfer.file->fd());
  if (!now || !now->contentMatches(*context.fileVersion)) {
    return true;
  }
  if (*now != *context.fileVersion) {
    if (context.fileVerify && (!context.fileURL || !context.fileVerify(*context.fileURL))) {
      return true;
    }
    context.fileVersion = now;
  }
  return false;
}

void FileRoad::transferOnPool(const Weak& weak, const runtime::Executor& queue,
                              const std::shared_ptr<LocalVideoHTTPServer::Impl::Registry>& registry,
                              std::chrono::nanoseconds sendDeadline, const LocalVideoHTTPServer::FileVersion& version,
                              const TransferReply& reply, std::shared_ptr<Transfer> transfer,
                              std::shared_ptr<IOPermit> permit) {
  using Server = LocalVideoHTTPServer::Impl;
  transfer->offset = reply.start;
  transfer->remaining = reply.end - reply.start + 1;
  transfer->context.token = transfer->token;
  transfer->context.status = reply.status;
  transfer->context.ioPermit = std::move(permit);
  const auto header = transferHeader(reply.status, LocalVideoHTTPServer::contentType(*transfer->context.fileURL),
                                     reply.start, reply.end, version.size);
  transfer->context.startedAt = runtime::monotonicSeconds();
  transfer->lastReport = std::chrono::steady_clock::now();
  const auto deadline = [sendDeadline] { return std::chrono::steady_clock::now() + sendDeadline; };
  const auto& connection = transfer->connection;
  if (weak.expired()) {
    connection->cancel();
    return;
  }
  // The header leaves with the body's first piece, in one write rather than two. A transfer that
  // ends before that piece sends the header alone, marked to wait for more, so that the
  // connection's end lets it go: the peer sees the same reply either way (an empty body: only after
  // its slot has come back).
  const auto* const headerBytes = reinterpret_cast<const std::uint8_t*>(header.data());
  bool headerSent = false;
  const auto finishAfterHeader = [&](auto finish) {
    const auto error =
        headerSent ? std::error_code() : connection->sendNow(headerBytes, header.size(), deadline(), true);
    headerSent = true;
    if (error) {
      finishOnQueue(weak, queue, transfer, [error](Server& server, Transfer& t) {
        server.logRequestAbort("send_fail", t.token, 0, std::make_exception_ptr(std::system_error(error, "send")));
        t.connection->cancel();
      });
    } else {
      finishOnQueue(weak, queue, transfer, std::move(finish));
    }
  };
  if (auto failure = openFile(*transfer, version)) {
    finishAfterHeader([failure](Server& server, Transfer& t) {
      server.logRequestFailure("file_open_fail", t.context.status, t.token, failure);
      t.connection->cancel();
    });
    return;
  }
  std::int64_t chunkLeft = 0;
  while (transfer->remaining >= 1) {
    if (chunkLeft == 0) {
      if (!registry->hasFile(transfer->token)) {
        finishAfterHeader([](Server& server, Transfer& t) {
          server.logRequestFailure("token_revoked", t.context.status, t.token, nullptr);
          t.connection->cancel();
        });
        return;
      }
      chunkLeft = std::min<std::int64_t>(transfer->remaining, LocalVideoHTTPServer::kChunkSize);
    }
    const auto n = static_cast<std::size_t>(std::min(chunkLeft, kPieceSize));
    // Read, check, then send: a piece leaves only once the file was found unchanged after it was
    // read. Pages handed to the socket by reference (sendfile) would go out with whatever the file
    // holds when the kernel transmits them, after the check, so every byte is copied here.
    const auto read = readPiece(*transfer, n);
    const bool changed = fileChanged(*transfer);
    if (changed || read <= 0) {
      finishAfterHeader([changed](Server& server, Transfer& t) {
        server.logRequestFailure(changed ? "file_changed" : "read_fail", t.context.status, t.token, nullptr);
        t.connection->cancel();
      });
      return;
    }
    if (read == transfer->remaining) {
      // Its last piece is in hand: the transfer's file is done with, and its slot comes back before
      // the reply's last bytes leave, so a peer that asks again the moment its reply is whole finds
      // the slot free.
      transfer->file.reset();
      transfer->context.ioPermit.reset();
    }
    const auto* const head = headerSent ? nullptr : headerBytes;
    const auto error =
        connection->sendNow(head, head ? header.size() : 0, pieceBuffer(), static_cast<std::size_t>(read), deadline());
    headerSent = true;
    if (weak.expired()) {
      transfer->file.reset();
      connection->cancel();
      return;
    }
    if (error) {
      finishOnQueue(weak, queue, transfer, [error](Server& server, Transfer& t) {
        server.logRequestAbort("send_fail", t.token, t.context.sent,
                               std::make_exception_ptr(std::system_error(error, "send")));
        t.connection->cancel();
      });
      return;
    }
    transfer->unreported += read;
    transfer->context.sent += read;
    transfer->offset += read;
    transfer->remaining -= read;
    chunkLeft -= std::min(chunkLeft, read);
    reportSent(weak, queue, *transfer);
  }
  // An empty body has sent no header yet: it goes alone, and the final send lets it go.
  finishAfterHeader([](Server& server, Transfer& t) {
    server.logRequestComplete(t.context);
    auto peer = t.connection;
    server.sendWithDeadline(peer, Bytes(), true, [peer](std::error_code) { peer->endAfterReply(); });
  });
}

} // namespace pd::mediaserver
