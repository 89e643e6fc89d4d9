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
#include <string_view>

namespace {

using pd::mediaserver::LocalVideoHTTPServer;

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

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
    check(!head->lines.empty());
    check(head->method.size() <= text.size());
    check(pd::platform::log::isValidUtf8(head->path));
    for (const auto& [key, value] : LocalVideoHTTPServer::parseQuery(head->query)) {
      check(key.size() <= text.size() && value.size() <= text.size());
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
