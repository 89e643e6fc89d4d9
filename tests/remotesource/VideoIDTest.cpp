#include "remotesource/VideoID.hpp"
#include "remotesource/VideoServiceHosts.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pd::remotesource {
namespace {

using Cases = std::vector<std::pair<std::string, std::optional<std::string>>>;

void expectIDs(const Cases& cases) {
  for (const auto& [text, expected] : cases) EXPECT_EQ(extractVideoID(text), expected) << text;
}

TEST(VideoIDTest, LinksOfEveryKindGiveTheirID) {
  expectIDs({
      {"https://www.youtube.com/watch?v=dQw4w9WgXcQ", "dQw4w9WgXcQ"},
      {"https://www.youtube.com/watch?feature=share&v=abc-_DEF123&t=10", "abc-_DEF123"},
      {"https://youtu.be/abcdefghijk?t=4", "abcdefghijk"},
      {"https://youtu.be//abcdefghijk/", "abcdefghijk"},
      {"https://m.youtube.com/shorts/SHORTid0001", "SHORTid0001"},
      {"https://music.youtube.com/watch?v=music000001&list=x", "music000001"},
      {"https://youtube.com/live/LIVEid00001?si=1", "LIVEid00001"},
      {"https://www.youtube.com/embed/EMBEDid0001", "EMBEDid0001"},
      {"https://a.b.youtube.com/watch?v=deep", "deep"},
      // The id's form is the caller's to judge; escapes are decoded, "+" is not.
      {"https://youtu.be/a%20b", "a b"},
      {"https://youtube.com/watch?v=a+b%2B", "a+b+"},
      {"https://youtube.com/watch?v=", ""},
      {"http://YOUTUBE.COM:8080/watch?v=upper", "upper"},
  });
}

TEST(VideoIDTest, EverythingElseGivesNoID) {
  expectIDs({
      {"", std::nullopt},
      {"dQw4w9WgXcQ", std::nullopt},
      {"never gonna give you up", std::nullopt},
      {"https://youtu.be", std::nullopt},
      {"https://youtu.be/", std::nullopt},
      {"https://www.youtube.com/", std::nullopt},
      {"https://www.youtube.com/watch", std::nullopt},
      {"https://www.youtube.com/watch?list=x", std::nullopt},
      {"https://www.youtube.com/watch?v", std::nullopt},
      // An empty query before a fragment once made the URL library read past the address.
      {"https://www.youtube.com/watch?#v=dQw4w9WgXcQ", std::nullopt},
      {"https://www.youtube.com/shorts", std::nullopt},
      {"https://www.youtube.com/shorts/", std::nullopt},
      {"https://www.youtube.com/channel/abc", std::nullopt},
      {"https://notyoutube.com/watch?v=abc", std::nullopt},
      {"https://youtube.com.evil.example/watch?v=abc", std::nullopt},
      {"https://www.youtu.be/abc", std::nullopt},
      {"https:///watch?v=abc", std::nullopt},
      {"https://www.youtube.com/watch?v=a b", std::nullopt},
      {"mailto:someone@youtube.com", std::nullopt},
  });
}

TEST(VideoIDTest, PathWordsAndQueryNameAreCaseSensitive) {
  expectIDs({
      {"https://www.youtube.com/Watch?v=abc", std::nullopt},
      {"https://www.youtube.com/watch?V=abc", std::nullopt},
      {"https://www.youtube.com/SHORTS/abc", std::nullopt},
      {"https://WWW.YouTube.com/shorts/AbC", "AbC"},
  });
}

TEST(VideoIDTest, OnlyTheFivePrefixesMayOmitTheScheme) {
  expectIDs({
      {"youtube.com/watch?v=bare0000001", "bare0000001"},
      {"www.youtube.com/watch?v=www00000001", "www00000001"},
      {"M.YouTube.com/shorts/Mobile00001", "Mobile00001"},
      {"music.youtube.com/watch?v=music000001", "music000001"},
      {"YOUTU.BE/Short000001", "Short000001"},
      {"gaming.youtube.com/watch?v=abc", std::nullopt},
      {"youtube.com", std::nullopt},
      {"//youtu.be/abc", "abc"},
      {" youtu.be/abc", std::nullopt},
  });
}

TEST(VideoIDTest, HostsCanBeReplaced) {
  {
    const ScopedVideoServiceHosts hosts({"video.test", "v.test", {"img.test", "pic.test"}});
    EXPECT_EQ(videoServiceHosts().imageDomains[1], "pic.test");
    expectIDs({
        {"v.test/abc", "abc"},
        {"https://m.video.test/watch?v=xyz", "xyz"},
        {"https://youtu.be/abc", std::nullopt},
    });
  }
  EXPECT_EQ(videoServiceHosts(), defaultVideoServiceHosts());
  EXPECT_EQ(extractVideoID("https://youtu.be/abc"), "abc");
}

TEST(VideoIDTest, ValidIDsAreElevenOfTheURLSafeAlphabet) {
  EXPECT_TRUE(isValidVideoID("dQw4w9WgXcQ"));
  EXPECT_TRUE(isValidVideoID("-_09azAZ-_-"));
  for (const std::string bad : {"", "dQw4w9WgXc", "dQw4w9WgXcQQ", "dQw4w9WgXc=", "dQw4w9WgXc ", "dQw4w9WgXc.",
                                "dQw4w9WgXc+", "dQw4w9WgXc\xEF\xBC\x91", "\xC3\xA9QwW9WgXc"}) {
    EXPECT_FALSE(isValidVideoID(bad)) << bad;
  }
  EXPECT_FALSE(isValidVideoID(std::string("dQw4w9WgXc\0", 11)));
}

} // namespace
} // namespace pd::remotesource
