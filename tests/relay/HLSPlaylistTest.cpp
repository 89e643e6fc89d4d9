#include "relay/HLSPlaylist.hpp"

#include <gtest/gtest.h>

#include <locale>
#include <vector>

namespace pd::relay {
namespace {

TEST(HLSPlaylistTest, MediaPlaylistByteForByte) {
  const std::vector<MP4Segment> segments = {{90, 100, 2.0}, {190, 200, 3.5}};
  EXPECT_EQ(buildMediaPlaylist("tok", 90, segments),
            "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:5\n#EXT-X-PLAYLIST-TYPE:VOD\n"
            "#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"tok\",BYTERANGE=\"90@0\"\n"
            "#EXTINF:2.000,\n#EXT-X-BYTERANGE:100@90\ntok\n#EXTINF:3.500,\n#EXT-X-BYTERANGE:200@190\ntok\n"
            "#EXT-X-ENDLIST\n");
  EXPECT_EQ(buildMediaPlaylist("u", 7, {}),
            "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:11\n#EXT-X-PLAYLIST-TYPE:VOD\n"
            "#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"u\",BYTERANGE=\"7@0\"\n#EXT-X-ENDLIST\n");
}

TEST(HLSPlaylistTest, TargetDurationAndDurationTextIgnoreTheLocale) {
  // A process locale with a decimal comma and digit grouping must not leak into the numbers.
  struct Comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
  };
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new Comma));
  const auto target = [](double longest) {
    const auto text = buildMediaPlaylist("u", 1, std::vector<MP4Segment>{{0, 1, 0.5}, {1, 1, longest}});
    const auto at = text.find("TARGETDURATION:") + 15;
    return text.substr(at, text.find('\n', at) - at);
  };
  EXPECT_EQ(target(4.0), "5");
  EXPECT_EQ(target(4.2), "6");
  EXPECT_EQ(target(1e300), "9223372036854775807");
  const auto text =
      buildMediaPlaylist("u", 1, std::vector<MP4Segment>{{0, 1, 1001.0 / 30000}, {1, 1, 0.0625}, {2, 1, 1234567.25}});
  EXPECT_NE(text.find("#EXTINF:0.033,\n"), std::string::npos);
  EXPECT_NE(text.find("#EXTINF:0.062,\n"), std::string::npos); // a tie rounds to even, as printf does
  EXPECT_NE(text.find("#EXTINF:1234567.250,\n"), std::string::npos);
  std::locale::global(previous);
}

TEST(HLSPlaylistTest, MasterPlaylistAttributes) {
  const auto master = [](std::int64_t bandwidth, std::optional<std::string> codecs,
                         std::optional<std::string> resolution) {
    const auto text = buildMasterPlaylist("v.m3u8", "a.m3u8", bandwidth, codecs, resolution);
    const auto at = text.find("#EXT-X-STREAM-INF:");
    return text.substr(at + 18, text.find('\n', at) - at - 18);
  };
  EXPECT_EQ(buildMasterPlaylist("v.m3u8", "a.m3u8", 0, std::nullopt, "640x360"),
            "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-INDEPENDENT-SEGMENTS\n"
            "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aac\",NAME=\"Audio\",DEFAULT=YES,AUTOSELECT=YES,URI=\"a.m3u8\"\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=640x360,AUDIO=\"aac\"\nv.m3u8\n");
  EXPECT_EQ(master(-5, "avc1.640028,mp4a.40.2", std::nullopt),
            "BANDWIDTH=1,CODECS=\"avc1.640028,mp4a.40.2\",AUDIO=\"aac\"");
  EXPECT_EQ(master(2500000, "", "1920x1080"), "BANDWIDTH=2500000,RESOLUTION=1920x1080,AUDIO=\"aac\"");
  for (const char* passes : {"640xx360", "x640x360x", "+640x-360", "9223372036854775807x1"}) {
    EXPECT_EQ(master(1, std::nullopt, passes), "BANDWIDTH=1,RESOLUTION=" + std::string(passes) + ",AUDIO=\"aac\"");
  }
  for (const char* refused :
       {"640X360", "640x360x2", "", "x", "640 x360", "640x36o", "9223372036854775808x1", "+x1", "640"}) {
    EXPECT_EQ(master(1, std::nullopt, refused), "BANDWIDTH=1,AUDIO=\"aac\"") << refused;
  }
}

TEST(HLSPlaylistTest, CodecAttributeAndBandwidthShares) {
  EXPECT_EQ(hlsCodecAttribute("avc1.640028", "mp4a.40.2"), "avc1.640028,mp4a.40.2");
  EXPECT_EQ(hlsCodecAttribute("vp09.00.10-08",
                              "\xd0\xbe\xd0\xbf\xd1\x83\xd1\x81\xd0\xb5\xd9\xa3"), // Cyrillic, Arabic-Indic digit
            "vp09.00.10-08,\xd0\xbe\xd0\xbf\xd1\x83\xd1\x81\xd0\xb5\xd9\xa3");
  for (const auto& [video, audio] :
       std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{{"avc1", ""},
                                                                                      {"avc1 x", "mp4a"},
                                                                                      {"avc1,x", "mp4a"},
                                                                                      {std::nullopt, "mp4a"},
                                                                                      {"avc1", std::nullopt},
                                                                                      {"avc1_x", "mp4a"},
                                                                                      {"avc1\xff", "mp4a"},
                                                                                      {"avc1\"", "mp4a"}}) {
    EXPECT_EQ(hlsCodecAttribute(video, audio), std::nullopt) << video.value_or("-") << " " << audio.value_or("-");
  }
  EXPECT_EQ(hlsBandwidth(2'500'000, std::nullopt), 2'500'000);
  EXPECT_EQ(hlsBandwidth(5'000'000'000, 128'000), 1'000'128'000);
  EXPECT_EQ(hlsBandwidth(0, -3), 0);
  EXPECT_EQ(hlsBandwidth(INT64_MAX, INT64_MAX), 2'000'000'000);
}

} // namespace
} // namespace pd::relay
