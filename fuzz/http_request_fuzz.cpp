// The media server's parsers of request input on arbitrary bytes: the head, the query, the
// header lookup and the byte range, plus the upstream content type and the mount table. They
// must never crash or hit undefined behaviour, and what they accept must hold together.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "mediaserver/MountTable.hpp"
#include "platform/log/Utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using pd::mediaserver::LocalVideoHTTPServer;

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

std::string upperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first eight bytes pick the resource size the range is judged against.
  std::int64_t resourceSize = 0;
  if (size >= 8) {
    std::memcpy(&resourceSize, data, 8);
    data += 8;
    size -= 8;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto head = LocalVideoHTTPServer::parseHead(text)) {
    // The lines are the whole head, split at each CRLF.
    check(!head->lines.empty());
    std::string joined;
    for (std::size_t i = 0; i < head->lines.size(); ++i) {
      joined += i == 0 ? "" : "\r\n";
      joined += head->lines[i];
    }
    check(joined == text);
    // The method is the request line's first word, upper-cased; path and query are its second word
    // without one leading "/", split at the first "?".
    const std::string_view line = head->lines.front();
    const auto space = line.find(' ');
    check(space != std::string_view::npos);
    check(head->method == upperCased(line.substr(0, space)));
    std::string_view target = line.substr(space + 1);
    target = target.substr(0, target.find(' '));
    if (target.starts_with('/')) {
      target.remove_prefix(1);
    }
    check(head->path == target.substr(0, target.find('?')));
    check(head->query.has_value() == (target.find('?') != std::string_view::npos));
    if (head->query) {
      check(*head->query == target.substr(target.find('?') + 1));
    }
    check(pd::platform::log::isValidUtf8(head->path));
    // The query's keys and values go into JSON answers: UTF-8 whether or not they decoded.
    for (const auto& [key, value] : LocalVideoHTTPServer::parseQuery(head->query)) {
      check(pd::platform::log::isValidUtf8(key) && pd::platform::log::isValidUtf8(value));
      check(key.size() + value.size() <= head->query->size());
    }
    for (const char* name : {"range", "content-type"}) {
      if (const auto value = LocalVideoHTTPServer::headerValue(name, head->lines)) {
        check(text.find(*value) != std::string_view::npos);
        check(value->empty() || (!isBlank(value->front()) && !isBlank(value->back())));
      }
    }
    if (const auto range = LocalVideoHTTPServer::headerValue("range", head->lines)) {
      if (const auto parsed = LocalVideoHTTPServer::parseRange(*range, resourceSize)) {
        check(parsed->start >= 0 && parsed->start <= parsed->end && parsed->end < resourceSize);
      }
    }
    (void)LocalVideoHTTPServer::sanitizedContentType(LocalVideoHTTPServer::headerValue("content-type", head->lines));
  }
  if (const auto parsed = LocalVideoHTTPServer::parseRange(text, resourceSize)) {
    check(parsed->start >= 0 && parsed->start <= parsed->end && parsed->end < resourceSize);
  }
  const auto points = pd::mediaserver::MountTable::parseMountPoints(text);
  const auto key = pd::mediaserver::MountTable::longestPrefix(points, "/srv/media/clip.mp4");
  check(key == "/" || std::string_view("/srv/media/clip.mp4").starts_with(key));
  return 0;
}
