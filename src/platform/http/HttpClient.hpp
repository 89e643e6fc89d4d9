#pragma once

// The process's HTTP(S) client: one libcurl multi handle on a serial queue with a thread of its
// own, driven by Asio socket and timer callbacks, awaited from coroutines.
//
//   auto response = co_await client->fetch({.url = "https://host/api", .totalTimeout = 5s}, 1 << 20);
//
// http and https only, no cookies, no proxy from the environment, the system's CAs. A cancelled
// task removes its transfer and sees runtime::CancellationError, never a TransferError.

#include "runtime/Error.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sockaddr;

namespace pd::platform::http {

// A failed transfer: domain "curl", code the CURLcode, detail libcurl's own words.
class TransferError : public Error {
public:
  TransferError(int curlCode, std::string detail);
  int curlCode() const noexcept { return static_cast<int>(code()); }
  bool isTimeout() const noexcept;
};

// The connect filter refused the addresses the host resolved to. Also a TransferError (libcurl
// could not connect) for callers that do not care why.
class ConnectRefusedError : public TransferError {
public:
  explicit ConnectRefusedError(std::string detail);
};

// More redirects than a caller follows.
TransferError tooManyRedirects(long limit);
// The error of a transfer that ran out of time (isTimeout()).
TransferError timedOut(std::string detail);

// A whole body grew past the caller's cap; the transfer was stopped there.
class BodyTooLargeError : public Error {
public:
  explicit BodyTooLargeError(std::size_t limit);
};

enum class Redirects { follow, handOver };

struct Response;

struct Request {
  std::string url;
  std::vector<std::string> headers; // "Name: value"
  // Zero: no limit.
  std::chrono::milliseconds totalTimeout{0};
  // No byte received (connecting included) for this long fails the transfer as a time-out.
  std::chrono::milliseconds idleTimeout{0};
  // With handOver a redirect answer ends the transfer: its status and Location come back, its
  // body is not read.
  Redirects redirects = Redirects::follow;
  // Sees every address this transfer's connections are about to use, after the client's own
  // filter; false refuses it (ConnectRefusedError). A kept-alive connection that libcurl reuses
  // was vetted when it was made.
  std::function<bool(const ::sockaddr& address)> connectFilter;
  // Sees the status and header fields of the answer that carries the body (not an interim one,
  // nor a redirect that is followed or handed over) once they are complete, before any body
  // byte; false stops the transfer there, which is not an error (stoppedEarly). Runs on the
  // client's queue; it must not block.
  std::function<bool(long status, const Response& answer)> headersCheck;
};

struct Response {
  long status = 0;
  std::string effectiveUrl;
  // The target of a redirect handed over to the caller.
  std::optional<std::string> location;
  // The final answer's header fields, names as sent.
  std::vector<std::pair<std::string, std::string>> headers;
  // Whole-body requests only.
  std::string body;
  // A streamed body that the sink stopped before its end.
  bool stoppedEarly = false;

  std::optional<std::string> header(std::string_view name) const; // case-insensitive
};

// Receives a streamed body piece by piece on the client's queue; it must not block. Returning
// false stops the transfer there, which is not an error.
using BodySink = std::function<bool(std::string_view piece)>;

class Client {
public:
  struct Configuration {
    // Empty: the application id and version.
    std::string userAgent;
    long maxRedirects = 16;
    // Sees every address before a connection is made to it; false refuses it.
    std::function<bool(const ::sockaddr& address)> connectFilter;
    // Test hooks: a PEM CA trusted beside the system's, and "host:port:address:port" entries
    // that send a host to another address.
    std::optional<std::filesystem::path> extraCAFile;
    std::vector<std::string> connectTo;
  };

  Client();
  explicit Client(Configuration configuration);
  ~Client(); // fails the transfers still running with CURLE_ABORTED_BY_CALLBACK
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // The body whole, at most maxBodyBytes of it (BodyTooLargeError beyond).
  runtime::Awaitable<Response> fetch(Request request, std::size_t maxBodyBytes);
  // The body handed to sink as it arrives; Response::body stays empty.
  runtime::Awaitable<Response> stream(Request request, BodySink sink);

  // Transfers under way, for tests that check a cancelled one is gone.
  std::size_t activeTransfers() const;

  static std::string defaultUserAgent();

  struct Impl;

private:
  std::shared_ptr<Impl> impl_;
};

} // namespace pd::platform::http
