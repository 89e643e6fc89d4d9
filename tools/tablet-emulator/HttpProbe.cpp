#include "tablet-emulator/HttpProbe.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <sstream>

namespace pd::tools::tablet {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Tcp = asio::ip::tcp;

namespace {

constexpr std::uint64_t kBodyLimit = 512ull * 1024 * 1024;

std::optional<std::string> attribute(const std::string& line, const std::string& name) {
  const auto at = line.find(name + "=\"");
  if (at == std::string::npos) return std::nullopt;
  const auto from = at + name.size() + 2;
  const auto end = line.find('"', from);
  if (end == std::string::npos) return std::nullopt;
  return line.substr(from, end - from);
}

// "n@o" as the Range header of those bytes.
std::optional<std::string> byteRange(const std::string& text) {
  const auto at = text.find('@');
  if (at == std::string::npos) return std::nullopt;
  try {
    const auto length = std::stoll(text.substr(0, at));
    const auto offset = std::stoll(text.substr(at + 1));
    if (length < 1 || offset < 0) return std::nullopt;
    return "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + length - 1);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// A playlist's reference against the playlist's own address.
std::string resolved(const HttpProbe::URL& base, const std::string& reference) {
  if (reference.rfind("http://", 0) == 0) return reference;
  const auto host = base.host.find(':') != std::string::npos ? "[" + base.host + "]" : base.host;
  const auto prefix = "http://" + host + ":" + base.port;
  if (!reference.empty() && reference.front() == '/') return prefix + reference;
  const auto path = base.target.substr(0, base.target.find('?'));
  return prefix + path.substr(0, path.rfind('/') + 1) + reference;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

Json responseEvent(const std::string& url, const HttpProbe::Response& response) {
  Json event{{"event", "fetch_done"},
             {"url", url},
             {"status", response.status},
             {"content_range", response.contentRange ? Json(*response.contentRange) : Json(nullptr)},
             {"content_type", response.contentType ? Json(*response.contentType) : Json(nullptr)},
             {"bytes", response.body.size()},
             {"sha256", HttpProbe::sha256Hex(response.body)},
             {"ok", response.status == 200 || response.status == 206}};
  if (!response.error.empty()) event["error"] = response.error;
  return event;
}

} // namespace

HttpProbe::HttpProbe(asio::io_context& io, std::function<void(Json)> emit) : io_(io), emit_(std::move(emit)) {}

HttpProbe::~HttpProbe() {
  std::vector<std::thread> threads;
  {
    const std::scoped_lock lock(mutex_);
    *alive_ = false;
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

std::optional<HttpProbe::URL> HttpProbe::parseURL(const std::string& url) {
  const std::string scheme = "http://";
  if (url.rfind(scheme, 0) != 0) return std::nullopt;
  const auto slash = url.find('/', scheme.size());
  const auto authority =
      url.substr(scheme.size(), slash == std::string::npos ? std::string::npos : slash - scheme.size());
  URL out;
  out.target = slash == std::string::npos ? "/" : url.substr(slash);
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    out.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') out.port = authority.substr(close + 2);
  } else {
    const auto colon = authority.rfind(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) out.port = authority.substr(colon + 1);
  }
  if (out.port.empty()) out.port = "80";
  if (out.host.empty()) return std::nullopt;
  return out;
}

std::string HttpProbe::sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string HttpProbe::percentEncode(const std::string& text) {
  std::string out;
  char escape[4];
  for (const char raw : text) {
    const auto c = static_cast<unsigned char>(raw);
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

HttpProbe::Response HttpProbe::get(const URL& url, const std::optional<std::string>& range) {
  Response response;
  try {
    asio::io_context context;
    Tcp::resolver resolver(context);
    beast::tcp_stream stream(context);
    stream.expires_after(std::chrono::seconds(60));
    stream.connect(resolver.resolve(url.host, url.port));
    http::request<http::empty_body> request{http::verb::get, url.target, 11};
    request.set(http::field::host, url.host);
    if (range) request.set(http::field::range, *range);
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    http::read(stream, buffer, parser);
    const auto& message = parser.get();
    response.status = message.result_int();
    response.body = message.body();
    if (const auto found = message.find(http::field::content_range); found != message.end()) {
      response.contentRange = std::string(found->value());
    }
    if (const auto found = message.find(http::field::content_type); found != message.end()) {
      response.contentType = std::string(found->value());
    }
  } catch (const std::exception& error) {
    response.status = 0;
    response.error = error.what();
  }
  return response;
}

Json HttpProbe::fetchEvent(const std::string& url, const std::optional<std::string>& range) {
  const auto parsed = parseURL(url);
  if (!parsed) return Json{{"event", "fetch_done"}, {"url", url}, {"status", 0}, {"ok", false}, {"error", "bad url"}};
  const auto path = parsed->target.substr(0, parsed->target.find('?'));
  if (path.size() < 5 || path.compare(path.size() - 5, 5, ".m3u8") != 0) {
    return responseEvent(url, get(*parsed, range.value_or("bytes=0-")));
  }
  // An HLS presentation: the master, its first media playlist, that playlist's map and first segment.
  const auto master = get(*parsed, std::nullopt);
  if (master.status != 200) return responseEvent(url, master);
  std::optional<std::string> mediaURL;
  for (const auto& line : lines(master.body)) {
    if (!line.empty() && line.front() != '#') {
      mediaURL = resolved(*parsed, line);
      break;
    }
  }
  const auto media = mediaURL ? parseURL(*mediaURL) : std::nullopt;
  if (!media) return Json{{"event", "fetch_done"}, {"url", url}, {"status", 0}, {"ok", false}, {"error", "no media"}};
  const auto playlist = get(*media, std::nullopt);
  if (playlist.status != 200) return responseEvent(*mediaURL, playlist);
  std::optional<std::string> mapURI, mapRange, segmentURI, segmentRange, pendingRange;
  for (const auto& line : lines(playlist.body)) {
    if (line.rfind("#EXT-X-MAP:", 0) == 0) {
      mapURI = attribute(line, "URI");
      if (const auto bytes = attribute(line, "BYTERANGE")) mapRange = byteRange(*bytes);
    } else if (line.rfind("#EXT-X-BYTERANGE:", 0) == 0) {
      pendingRange = byteRange(line.substr(17));
    } else if (!line.empty() && line.front() != '#') {
      segmentURI = line;
      segmentRange = pendingRange;
      break;
    }
  }
  if (!segmentURI)
    return Json{{"event", "fetch_done"}, {"url", url}, {"status", 0}, {"ok", false}, {"error", "no segment"}};
  if (mapURI) {
    const auto mapAt = resolved(*media, *mapURI);
    const auto map = get(*parseURL(mapAt), mapRange);
    if (map.status != 200 && map.status != 206) return responseEvent(mapAt, map);
  }
  const auto segmentAt = resolved(*media, *segmentURI);
  auto event = responseEvent(segmentAt, get(*parseURL(segmentAt), segmentRange));
  event["url"] = url;
  event["segment"] = segmentAt;
  return event;
}

void HttpProbe::run(std::function<Json()> work, std::function<void(const Json&)> after) {
  const std::scoped_lock lock(mutex_);
  threads_.emplace_back([this, alive = alive_, work = std::move(work), after = std::move(after)] {
    auto event = work();
    const std::scoped_lock guard(mutex_);
    if (!*alive) return;
    asio::post(io_, [this, alive, event = std::move(event), after] {
      if (!*alive) return;
      emit_(event);
      if (after) after(event);
    });
  });
}

void HttpProbe::fetchLoad(std::string url, std::function<void(bool fetched)> done) {
  run([url] { return fetchEvent(url, std::nullopt); },
      [done = std::move(done)](const Json& event) { done(event.value("ok", false)); });
}

void HttpProbe::observe(const Json& event) {
  if (event.value("event", "") != "source_endpoint" || !event.contains("message")) return;
  const auto& message = event["message"];
  if (message.contains("httpPort") && message["httpPort"].is_number_integer()) {
    port_ = message["httpPort"].get<std::int64_t>();
  }
  if (message.contains("sessionToken") && message["sessionToken"].is_string()) {
    token_ = message["sessionToken"].get<std::string>();
  }
  const auto from = event.value("from", "");
  receiverAddress_ = from.substr(0, from.rfind(':'));
}

void HttpProbe::setToken(std::string token) {
  tokenOverride_ = token == "-" ? std::nullopt : std::optional(std::move(token));
}

bool HttpProbe::api(const std::string& route, const std::vector<std::pair<std::string, std::string>>& parameters,
                    std::string& error) {
  const auto token = tokenOverride_ ? tokenOverride_ : token_;
  if (!receiverAddress_ || !port_ || !token) {
    error = "no source_endpoint yet";
    return false;
  }
  std::string query;
  for (const auto& [name, value] : parameters) query += percentEncode(name) + "=" + percentEncode(value) + "&";
  query += "s=" + percentEncode(*token);
  const auto url = "http://" + *receiverAddress_ + ":" + std::to_string(*port_) + "/" + route + "?" + query;
  run(
      [url, route] {
        const auto response = get(*parseURL(url), std::nullopt);
        Json event{{"event", "api_response"}, {"route", route}, {"status", response.status}, {"body", response.body}};
        if (!response.error.empty()) event["error"] = response.error;
        return event;
      },
      {});
  return true;
}

bool HttpProbe::fetch(const std::string& path, const std::optional<std::string>& range, std::string& error) {
  if (!receiverAddress_ || !port_) {
    error = "no source_endpoint yet";
    return false;
  }
  const auto url = "http://" + *receiverAddress_ + ":" + std::to_string(*port_) + "/" +
                   (path.empty() || path.front() != '/' ? path : path.substr(1));
  run([url, range] { return fetchEvent(url, range); }, {});
  return true;
}

} // namespace pd::tools::tablet
