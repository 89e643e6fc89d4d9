#pragma once

// The tablet's HTTP/1.1 server: one request per connection, every reply with "Connection: close".
// A path is a token from the registry (a local file, relayed media or an in-memory playlist), or
// one of the API routes answered by the hook. The socket work, the counters and every reply run
// on one serial queue; file system work runs on a pool of its own, one thread per admission slot,
// so that a hung mount can neither stall the queue nor starve the shared pool.

#include "mediaserver/ReceiverAPIResponse.hpp"
#include "runtime/Error.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {
class RemoteMedia;
class RemoteMediaRelayInterface;
} // namespace pd::relay

namespace pd::mediaserver {

class LocalVideoHTTPServer : public std::enable_shared_from_this<LocalVideoHTTPServer> {
public:
  struct Timing {
    std::chrono::nanoseconds headerDeadline = std::chrono::seconds(10);
    std::chrono::nanoseconds sendDeadline = std::chrono::seconds(15);
    std::chrono::nanoseconds restartDelay = std::chrono::seconds(1);
    std::chrono::nanoseconds statsInterval = std::chrono::seconds(10);
    // How long an ended connection keeps reading what its peer still sends before closing.
    std::chrono::nanoseconds drainTimeout = std::chrono::seconds(1);
    // An API answer is ended this long after the longest wait its hook states: a backstop for a
    // hook that overruns its own limits, never one of them.
    std::chrono::nanoseconds apiDeadlineMargin = std::chrono::seconds(5);
  };

  // Limits of the protocol; not tunable.
  static constexpr std::int64_t kMaxConnections = 32;
  // Connections from one remote address that are still reading their head, once the server is
  // full: a peer that trickles heads cannot keep every connection slot from the others.
  static constexpr std::int64_t kMaxHeadReadersPerAddress = 8;
  static constexpr std::size_t kMaxHeadBytes = 65'536;
  static constexpr std::int64_t kMaxFileIO = 16;
  static constexpr std::int64_t kMaxFileIOPerVolume = 8;
  static constexpr std::int64_t kChunkSize = 262'144;

  class HTTPServerError : public Error {
  public:
    enum class Case : std::uint8_t { deallocated, stopped };
    explicit HTTPServerError(Case c);
    Case errorCase() const noexcept { return case_; }

  private:
    Case case_;
  };

  // Called from the file-IO pool, possibly for several transfers at once.
  using FileVerifier = std::function<bool(const std::filesystem::path&)>;
  using APIHandler = std::function<runtime::Awaitable<ReceiverAPIResponse>(std::string route,
                                                                           std::map<std::string, std::string> query)>;
  using PortChangeHandler = std::function<void(std::uint16_t port)>;
  // The longest the API hook may take on a request, counted from its start; asked in each
  // request's task as it starts, before the hook, and again whenever the wait it gave runs out,
  // so it must answer at once. The answer is ended only when a fresh one is no longer.
  using LongestWait = std::function<std::chrono::nanoseconds()>;

  // One state of a file on disk, from stat(2) or fstat(2).
  struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t fileNumber = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;

    // Follows symbolic links; nothing when stat fails or the entry is not a regular file.
    static std::optional<FileVersion> atPath(const std::filesystem::path& path);
    // Nothing when fstat fails or the descriptor is not a regular file.
    static std::optional<FileVersion> ofDescriptor(int fd);
    // Same content: every field but the status-change time.
    bool contentMatches(const FileVersion& other) const noexcept;
    bool operator==(const FileVersion&) const = default;
  };

  // The request head as the router reads it: method upper-cased, one leading "/" removed, the
  // target cut at its first "?", and every line of the head.
  struct RequestHead {
    std::string method;
    std::string path;
    std::optional<std::string> query;
    std::vector<std::string> lines;
  };
  struct ByteRange {
    std::int64_t start = 0;
    std::int64_t end = 0; // inclusive
  };

  static std::shared_ptr<LocalVideoHTTPServer> create(std::shared_ptr<relay::RemoteMediaRelayInterface> relay,
                                                      Timing timing);
  static std::shared_ptr<LocalVideoHTTPServer> create(std::shared_ptr<relay::RemoteMediaRelayInterface> relay);

  // Use create(): posted work reaches the server through weak_from_this().
  LocalVideoHTTPServer(std::shared_ptr<relay::RemoteMediaRelayInterface> relay, Timing timing);
  ~LocalVideoHTTPServer();
  LocalVideoHTTPServer(const LocalVideoHTTPServer&) = delete;
  LocalVideoHTTPServer& operator=(const LocalVideoHTTPServer&) = delete;

  // The listening port, starting the listener when none runs. Any task.
  runtime::Awaitable<std::uint16_t> ensureReady();
  // The hooks; any thread (the change reaches the serving queue in order). The API hook comes with
  // the longest it may take, fixed or asked afresh for each request (what the hook waits on may
  // change while the server runs).
  void setAPIHandler(APIHandler handler, LongestWait longestWait);
  void setAPIHandler(APIHandler handler, std::chrono::nanoseconds longestWait);
  void setOnPortChange(PortChangeHandler handler);

  // The registry; any thread. Each registration makes a fresh random token.
  std::string registerFile(std::filesystem::path url, FileVerifier verifier = {});
  runtime::Awaitable<std::string> registerRemote(std::shared_ptr<const relay::RemoteMedia> media);
  std::string registerPlaylist(std::string_view text);
  void unregister(const std::string& token);

  // Pure parsers of request input.
  // Nothing when the head is not UTF-8 or its request line has fewer than two parts.
  static std::optional<RequestHead> parseHead(std::string_view head);
  static std::map<std::string, std::string> parseQuery(const std::optional<std::string>& query);
  static std::optional<std::string> headerValue(std::string_view name, const std::vector<std::string>& lines);
  static std::optional<ByteRange> parseRange(std::string_view value, std::int64_t size);
  static std::string contentType(const std::filesystem::path& file);
  static std::string sanitizedContentType(const std::optional<std::string>& value);
  // The mount point the path lives under (the longest one that prefixes it), "/" when none does.
  // The path is normalised lexically; the target is never touched.
  static std::string volumeKey(const std::filesystem::path& path);

  // The serving side's own records, defined with the server's sources.
  struct Impl;
  struct ConnectionState;
  class IOPermit;
  struct RequestLogContext;

private:
  std::shared_ptr<Impl> impl_;
};

} // namespace pd::mediaserver
