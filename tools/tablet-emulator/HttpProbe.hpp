#pragma once

// The tablet's HTTP side: fetching what a load_video names (a file by range, or an HLS
// presentation's master, first media playlist, its map and first segment), and requests to the
// receiver's API and paths under the token of the last source_endpoint. Each request runs on a
// thread of its own with Boost.Beast; its event is written from the emulator's loop.

#include "tablet-emulator/ControlMessages.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pd::tools::tablet {

class HttpProbe {
public:
  struct Response {
    unsigned status = 0; // 0: no answer (the error says why)
    std::string body;
    std::optional<std::string> contentRange;
    std::optional<std::string> contentType;
    std::string error;
  };
  // "http://HOST:PORT/PATH" with HOST a name, an IPv4 address or a bracketed IPv6 address.
  struct URL {
    std::string host;
    std::string port;
    std::string target;
  };

  HttpProbe(boost::asio::io_context& io, std::function<void(Json)> emit);
  // Joins the requests still running; their events are dropped.
  ~HttpProbe();
  HttpProbe(const HttpProbe&) = delete;
  HttpProbe& operator=(const HttpProbe&) = delete;

  // Emits fetch_done for the url, then calls done with whether the fetch succeeded (on the loop).
  void fetchLoad(std::string url, std::function<void(bool fetched)> done);
  // Remembers the linked receiver's address and the last source_endpoint's port and token.
  void observe(const Json& event);
  // Presents this token instead of the announced one; "-" goes back to the announced one.
  void setToken(std::string token);
  // Answered by an api_response or fetch_done event; false with a reason when nothing is known to ask.
  bool api(const std::string& route, const std::vector<std::pair<std::string, std::string>>& parameters,
           std::string& error);
  bool fetch(const std::string& path, const std::optional<std::string>& range, std::string& error);

  static std::optional<URL> parseURL(const std::string& url);
  static std::string sha256Hex(const std::string& bytes);
  static std::string percentEncode(const std::string& text);
  static Response get(const URL& url, const std::optional<std::string>& range);
  // The fetch of a load_video's url as its fetch_done event ("ok" tells success).
  static Json fetchEvent(const std::string& url, const std::optional<std::string>& range);

private:
  void run(std::function<Json()> work, std::function<void(const Json&)> after);

  boost::asio::io_context& io_;
  std::function<void(Json)> emit_;
  std::optional<std::string> receiverAddress_;
  std::optional<std::int64_t> port_;
  std::optional<std::string> token_;
  std::optional<std::string> tokenOverride_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace pd::tools::tablet
