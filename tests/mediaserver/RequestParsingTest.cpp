#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "mediaserver/MountTable.hpp"

#include <gtest/gtest.h>

namespace pd::mediaserver {
namespace {

using Server = LocalVideoHTTPServer;

TEST(RequestParsingTest, HeadKeepsEmptyPiecesAndRemovesOneSlash) {
  auto head = Server::parseHead("get //tok?a=1?b HTTP/1.1\r\nRange: bytes=0-1\r\n");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->method, "GET");
  EXPECT_EQ(head->path, "/tok");
  EXPECT_EQ(head->query, "a=1?b");
  EXPECT_EQ(head->lines, (std::vector<std::string>{"get //tok?a=1?b HTTP/1.1", "Range: bytes=0-1", ""}));

  auto doubleSpace = Server::parseHead("GET  /tok HTTP/1.1");
  ASSERT_TRUE(doubleSpace);
  EXPECT_EQ(doubleSpace->path, "");
  EXPECT_FALSE(doubleSpace->query);

  EXPECT_FALSE(Server::parseHead("GET"));
  EXPECT_FALSE(Server::parseHead("GET /\xff HTTP/1.1"));
}

TEST(RequestParsingTest, QueryDecodesPlusThenPercentAndKeepsRawOnFailure) {
  const auto query =
      Server::parseQuery(std::string("q=a+b%20c&&q=second&bad=%zz+x&flag&s=%C3%28&k%41=v&cut=ab%4&end=x%4a&pct=%"));
  // The first of a repeated key wins; "%C3%28" would decode to invalid UTF-8; an escape cut short
  // by the end of its value is malformed, one that ends there is whole.
  EXPECT_EQ(query, (std::map<std::string, std::string>{{"q", "a b c"},
                                                       {"bad", "%zz+x"},
                                                       {"flag", ""},
                                                       {"s", "%C3%28"},
                                                       {"kA", "v"},
                                                       {"cut", "ab%4"},
                                                       {"end", "xJ"},
                                                       {"pct", "%"}}));
  EXPECT_TRUE(Server::parseQuery(std::nullopt).empty());
}

TEST(RequestParsingTest, HeaderLookupTrimsUnicodeSpaceAndFirstMatchWins) {
  const std::vector<std::string> lines{"GET /t HTTP/1.1", "X: 1", "  RANGE  :bytes=1-2\xe3\x80\x80\t",
                                       "range: bytes=3-4", "no colon"};
  EXPECT_EQ(Server::headerValue("Range", lines), "bytes=1-2");
  EXPECT_FALSE(Server::headerValue("host", lines));
  // The request line is never a header, even with a colon in it.
  EXPECT_FALSE(Server::headerValue("get /t http", {"GET /t HTTP:1.1"}));
}

TEST(RequestParsingTest, RangeRulesOnTenBytes) {
  struct Case {
    const char* value;
    std::int64_t start;
    std::int64_t end; // -1: unsatisfiable
  };
  const Case cases[] = {
      {"bytes=0-", 0, 9},
      {"bytes=-4", 6, 9},
      {"bytes=-20", 0, 9},
      {"bytes=-0", 0, -1},
      {"bytes=-", 0, -1},
      {"bytes=5-100", 5, 9},
      {"bytes=10-", 0, -1},
      {"bytes=7-3", 0, -1},
      {"BYTES=0-1", 0, 1},
      {"bytes=0-1,5-9", 0, 1},
      {"bytes=,2-3", 2, 3},
      {"bytes=1-2-3", 0, -1},
      {"items=0-1", 0, -1},
      {"bytes=5", 0, -1},
      {"bytes=a-2", 0, -1},
      {"bytes= 2 -\t3 ", 2, 3},
      {"bytes=+2-+3", 2, 3},
      {"bytes=-1-2", 0, -1},
      {"bytes=99999999999999999999-", 0, -1},
      {"bytes=--3", 0, -1},
      {"bytes=", 0, -1},
  };
  for (const auto& c : cases) {
    const auto range = Server::parseRange(c.value, 10);
    if (c.end < 0) {
      EXPECT_FALSE(range) << c.value;
    } else {
      ASSERT_TRUE(range) << c.value;
      EXPECT_EQ(range->start, c.start) << c.value;
      EXPECT_EQ(range->end, c.end) << c.value;
    }
  }
  EXPECT_FALSE(Server::parseRange("bytes=0-", 0));
}

TEST(RequestParsingTest, ContentTypes) {
  EXPECT_EQ(Server::contentType("/a/clip.MP4"), "video/mp4");
  EXPECT_EQ(Server::contentType("/a/b.jpeg"), "image/jpeg");
  EXPECT_EQ(Server::contentType("/a/b.jpg"), "image/jpeg");
  EXPECT_EQ(Server::contentType("/a/b.m4v"), "video/x-m4v");
  EXPECT_EQ(Server::contentType("/a/b.Mov"), "video/quicktime");
  EXPECT_EQ(Server::contentType("/a/b.m4a"), "audio/mp4");
  EXPECT_EQ(Server::contentType("/a/b.mp3"), "audio/mpeg");
  EXPECT_EQ(Server::contentType("/a/b.webm"), "application/octet-stream");
  EXPECT_EQ(Server::contentType("/a/noext"), "application/octet-stream");
  EXPECT_EQ(Server::sanitizedContentType(std::string("Video/MP4; codecs=\"avc1\"")), "video/mp4");
  EXPECT_EQ(Server::sanitizedContentType(std::string(";video/mp4")), "video/mp4");
  EXPECT_EQ(Server::sanitizedContentType(std::string(" \taudio/webm ")), "audio/webm");
  EXPECT_EQ(Server::sanitizedContentType(std::string("text/html")), "application/octet-stream");
  for (const char* passed : {"video/mp4", "audio/mp4", "video/webm", "audio/webm", "video/x-m4v", "video/quicktime",
                             "image/jpeg", "image/webp", "image/png"}) {
    EXPECT_EQ(Server::sanitizedContentType(std::string(passed)), passed);
  }
  EXPECT_EQ(Server::sanitizedContentType(std::nullopt), "application/octet-stream");
}

TEST(RequestParsingTest, VolumeIsLongestMountPrefix) {
  const auto points = MountTable::parseMountPoints("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                                   "30 22 0:30 / /media/My\\040Disk rw - vfat /dev/sdb1 rw\n"
                                                   "31 22 0:31 / /media rw - tmpfs t rw\n"
                                                   "garbage\n");
  EXPECT_EQ(points, (std::vector<std::string>{"/", "/media/My Disk", "/media"}));
  EXPECT_EQ(MountTable::longestPrefix(points, "/media/My Disk/clip.mp4"), "/media/My Disk");
  EXPECT_EQ(MountTable::longestPrefix(points, "/media/My Diskette/clip.mp4"), "/media");
  EXPECT_EQ(MountTable::longestPrefix(points, "/media"), "/media");
  EXPECT_EQ(MountTable::longestPrefix(points, "/home/u/clip.mp4"), "/");
  EXPECT_EQ(MountTable::longestPrefix({}, "/x"), "/");
  // Lexical normalisation only: ".." is resolved in the text, the target is never visited.
  EXPECT_EQ(Server::volumeKey("/proc/../proc/self/../../x"), "/");
  EXPECT_EQ(Server::volumeKey("/proc/self/status"), "/proc");
}

} // namespace
} // namespace pd::mediaserver
