#include "remotesource/InvidiousVideoSource.hpp"

#include "platform/json/Document.hpp"
#include "platform/log/LogStore.hpp"
#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace pd::remotesource {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using S = InvidiousVideoSource;
namespace json = platform::json;

constexpr std::string_view kBase = "https://inst.remote.test";

// The "source" lines written while the object lives.
class SourceLines {
public:
  std::vector<std::string> get() const {
    std::vector<std::string> lines;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(mark_)) {
      if (entry.category == "source") lines.push_back(entry.message);
    }
    return lines;
  }

private:
  std::uint64_t mark_ = platform::log::LogStore::shared().lastSequence();
};

S::VideoResponse answer(const std::string& text) {
  return S::VideoResponse::decode(json::Document::parse(text).root());
}

std::string fmt(std::string_view url, std::string_view type, std::string_view label = {}, std::int64_t bitrate = -1) {
  nlohmann::json f = {{"url", url}, {"type", type}};
  if (!label.empty()) f["qualityLabel"] = label;
  if (bitrate >= 0) f["bitrate"] = bitrate;
  return f.dump();
}

const std::string kAvc = "video/mp4; codecs=\"avc1.640028\"";
const std::string kMuxed = "video/mp4; codecs=\"avc1.42001E, mp4a.40.2\"";
const std::string kAac = "audio/mp4; codecs=\"mp4a.40.2\"";
const std::string kProxiedAac = fmt("/videoplayback?itag=140&host=r1.cdn.test", kAac);

std::string video(const std::vector<std::string>& muxed, const std::vector<std::string>& adaptive) {
  const auto list = [](const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
  };
  return R"({"videoId":"v1","title":"T","formatStreams":)" + list(muxed) + R"(,"adaptiveFormats":)" + list(adaptive) +
         "}";
}

struct SelectionCase {
  std::string name;
  std::string answer;
  std::string kind;
  std::string videoURL;
  std::optional<std::string> audioURL;
  std::optional<std::string> codec;
  std::vector<std::string> lines; // every "source" line, in order, without op
};

TEST(StreamSelectionTest, ChoosesThePictureAndSoundEachCaseNeeds) {
  const ScopedVideoCDNDomainSuffix suffix(".cdn.test");
  const std::string h = "https://h.remote.test/";
  const std::vector<SelectionCase> cases = {
      {"muxed 720p beats adaptive 2160p",
       video({fmt(h + "m360", kMuxed, "360p"), fmt(h + "m720", kMuxed, "720p")},
             {fmt(h + "a2160", kAvc, "2160p"), fmt(h + "aac", kAac)}),
       "format_stream",
       h + "m720",
       std::nullopt,
       "avc1.42001E",
       {"stream_select video=v1 quality=720p kind=format_stream host=h.remote.test"}},
      {"muxed 360p gives way to adaptive 1080p with mp4a",
       video({fmt(h + "m360", kMuxed, "360p")},
             {fmt(h + "a2160", kAvc, "2160p", 9), fmt(h + "a1080", kAvc, "1080p", 1), fmt(h + "aac", kAac)}),
       "adaptive_format",
       h + "a1080",
       h + "aac",
       "avc1.640028",
       {"stream_select video=v1 quality=1080p kind=adaptive_format host=h.remote.test",
        "audio_select video=v1 kind=" + kAac + " host=h.remote.test keep_proxy=false"}},
      {"opus only falls back to the muxed stream without a sound line",
       video({fmt(h + "m360", kMuxed, "360p")},
             {fmt(h + "a1080", kAvc, "1080p"), fmt(h + "opus", "audio/webm; codecs=\"opus\"")}),
       "format_fallback",
       h + "m360",
       std::nullopt,
       "avc1.42001E",
       {"stream_select video=v1 quality=360p kind=format_fallback host=h.remote.test"}},
      {"no muxed and no sound is adaptive without audio",
       video({}, {fmt(h + "a720", kAvc, "720p")}),
       "adaptive_format",
       h + "a720",
       std::nullopt,
       "avc1.640028",
       {"stream_select video=v1 quality=720p kind=adaptive_format host=h.remote.test",
        "audio_select_fail video=v1 reason=no_audio_format"}},
      {"above 1080 bitrate decides",
       video({}, {fmt(h + "a2160", kAvc, "2160p", 20000000), fmt(h + "a1440", kAvc, "1440p", 30000000),
                  fmt(h + "aac", kAac)}),
       "adaptive_format",
       h + "a1440",
       h + "aac",
       "avc1.640028",
       {"stream_select video=v1 quality=1440p kind=adaptive_format host=h.remote.test",
        "audio_select video=v1 kind=" + kAac + " host=h.remote.test keep_proxy=false"}},
      {"equal quality and bitrate keep the answer's order; the loudest mp4a wins, first on ties",
       video({},
             {fmt(h + "first", kAvc, "1080p", 5), fmt(h + "second", kAvc, "1080p", 5), fmt(h + "a720", kAvc, "720p", 9),
              fmt(h + "aac1", kAac, "", 7), fmt(h + "aac2", kAac, "", 7), fmt(h + "aac0", kAac)}),
       "adaptive_format",
       h + "first",
       h + "aac1",
       "avc1.640028",
       {"stream_select video=v1 quality=1080p kind=adaptive_format host=h.remote.test",
        "audio_select video=v1 kind=" + kAac + " host=h.remote.test keep_proxy=false"}},
      {"an absent label counts as 0 and never reaches 720",
       video({R"({"url":"https://h.remote.test/nolabel","type":"video/mp4","bitrate":99})"},
             {fmt(h + "a480", kAvc, "480p"), fmt(h + "aac", kAac)}),
       "adaptive_format",
       h + "a480",
       h + "aac",
       "avc1.640028",
       {"stream_select video=v1 quality=480p kind=adaptive_format host=h.remote.test",
        "audio_select video=v1 kind=" + kAac + " host=h.remote.test keep_proxy=false"}},
      {"webm, ftp and host-less addresses are never chosen",
       video({fmt(h + "webm", "video/webm", "1080p"), fmt("ftp://h.remote.test/x", kMuxed, "720p"),
              fmt("https:///x", kMuxed, "720p"), fmt(h + "m240", kMuxed, "240p")},
             {fmt("ftp://h.remote.test/a", kAvc, "1080p"), fmt(h + "vp9", "video/webm; codecs=\"vp9\"", "1080p")}),
       "format_fallback",
       h + "m240",
       std::nullopt,
       "avc1.42001E",
       {"stream_select video=v1 quality=240p kind=format_fallback host=h.remote.test"}},
      {"a path-only address resolves on the instance; unquoted codecs get the defaults",
       video({}, {fmt("/videoplayback?itag=136", "video/mp4; codecs=hvc1.2.4", "720p"), kProxiedAac}),
       "adaptive_format",
       "https://inst.remote.test/videoplayback?itag=136",
       "https://r1.cdn.test/videoplayback?itag=140&host=r1.cdn.test",
       "hvc1.1.6.L150.B0",
       {"stream_select video=v1 quality=720p kind=adaptive_format host=inst.remote.test",
        "proxy_convert from=inst.remote.test to=r1.cdn.test",
        "audio_select video=v1 kind=" + kAac + " host=r1.cdn.test keep_proxy=false"}},
      {"the sound probe does not need audio/, the sound choice does",
       video({fmt(h + "m360", kMuxed, "360p")}, {fmt(h + "a1080", "video/mp4; codecs=avc1.4d401f", "1080p"),
                                                 fmt(h + "odd", "video/mp4; codecs=\"mp4a.40.2\"")}),
       "adaptive_format",
       h + "a1080",
       std::nullopt,
       "avc1.640028",
       {"stream_select video=v1 quality=1080p kind=adaptive_format host=h.remote.test",
        "audio_select_fail video=v1 reason=no_audio_format"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SourceLines lines;
    const auto stream = S::selectStreams(answer(c.answer), kBase, false, "op9");
    const auto choice = S::chooseVideoFormat(answer(c.answer), kBase);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->kind, c.kind);
    EXPECT_EQ(stream.video.media, ResolvedMedia::remote(c.videoURL));
    EXPECT_EQ(stream.videoHasAudio, c.kind != "adaptive_format");
    EXPECT_EQ(stream.audio.has_value(), c.audioURL.has_value());
    if (stream.audio && c.audioURL) {
      EXPECT_EQ(stream.audio->media.url, *c.audioURL);
    }
    EXPECT_EQ(stream.video.codec, c.codec);
    std::vector<std::string> expected;
    for (const auto& line : c.lines) {
      const bool hasOp = line.starts_with("stream_select ") || line.starts_with("audio_select ");
      expected.push_back(hasOp ? line + " op=op9" : line);
    }
    EXPECT_THAT(lines.get(), ElementsAreArray(expected));
  }
}

TEST(StreamSelectionTest, BuildsTheWholeStreamAndKeepsThePictureAddressWhateverKeepProxySays) {
  const ScopedVideoCDNDomainSuffix suffix(".cdn.test");
  const auto response = answer(R"({"videoId":"v1","title":"T","author":"A","lengthSeconds":212,
    "videoThumbnails":[{"quality":"medium","url":"/vi/m.jpg"},{"quality":"hqdefault","url":"/vi/hq.jpg"}],
    "adaptiveFormats":[
      {"url":"/videoplayback?itag=137&host=r2.cdn.test","type":"video/mp4; codecs=\"avc1.640028\"","qualityLabel":"1080p",
       "bitrate":"4000000","itag":137,"clen":"9007199254740993","lmt":"0017","size":"1920X1080","resolution":"720p"},
      {"url":"/videoplayback?itag=139&host=r2.cdn.test","type":"audio/mp4; codecs=\"MP4A.40.5\"","itag":"139","bitrate":48000}]})");
  const auto direct = S::selectStreams(response, "https://Inst.remote.test/", false, "o");
  const SourceLines lines;
  const auto proxied = S::selectStreams(response, "https://Inst.remote.test/", true, "o");
  EXPECT_EQ(direct.video.media, proxied.video.media);
  EXPECT_EQ(proxied.video.media.url, "https://Inst.remote.test/videoplayback?itag=137&host=r2.cdn.test");
  EXPECT_EQ(direct.video.identity, (MediaIdentity{137, 9007199254740993, "0017"}));
  EXPECT_EQ(direct.audio->media.url, "https://r2.cdn.test/videoplayback?itag=139&host=r2.cdn.test");
  EXPECT_EQ(proxied.audio->media.url, "https://Inst.remote.test/videoplayback?itag=139&host=r2.cdn.test");
  EXPECT_EQ(proxied.audio->codec, "MP4A.40.5");
  EXPECT_EQ(proxied.audio->identity, (MediaIdentity{139, std::nullopt, std::nullopt}));
  EXPECT_THAT(lines.get().back(), ::testing::HasSubstr("keep_proxy=true op=o"));
  EXPECT_EQ(proxied.resolution, "1920x1080");
  EXPECT_EQ(proxied.durationSeconds, 212.0);
  EXPECT_EQ(proxied.thumbnailURL, "https://inst.remote.test/vi/hq.jpg");
  EXPECT_EQ(proxied.servingHost, "inst.remote.test");
  EXPECT_TRUE(proxied.usedProxy);
  EXPECT_FALSE(direct.usedProxy);
  EXPECT_EQ(proxied.author, "A");
}

TEST(StreamSelectionTest, UnusableSoundIsNamedAndNothingPlayableThrows) {
  const std::string h = "https://h.remote.test/";
  const SourceLines lines;
  const auto stream = S::selectStreams(
      answer(video({}, {fmt(h + "a", kAvc, "720p"), fmt(h + "o1", " \taudio/webm ; codecs=\"opus\"", "", 5),
                        fmt(h + "o2", ";audio/ogg", "", 9), fmt("ftp://h.remote.test/aac", kAac, "", 1)})),
      kBase, false, "o");
  EXPECT_FALSE(stream.audio);
  EXPECT_EQ(stream.resolution, std::nullopt);
  EXPECT_EQ(stream.durationSeconds, std::nullopt);
  EXPECT_THAT(lines.get(), ElementsAre(::testing::StartsWith("stream_select "),
                                       "audio_codec_unsupported video=v1 mime=audio/ogg codec=?"));

  const SourceLines failLines;
  try {
    S::selectStreams(answer(video({fmt(h + "w", "video/webm", "720p")}, {fmt(h + "aac", kAac)})), kBase, false, "o");
    ADD_FAILURE() << "a webm-only answer was playable";
  } catch (const VideoSourceError& error) {
    EXPECT_EQ(error, VideoSourceError(VideoSourceError::Case::noPlayableStream));
  }
  EXPECT_THAT(failLines.get(), ElementsAre("stream_select_fail video=v1"));
}

TEST(StreamTextRulesTest, QualityCodecsResolutionAndAddresses) {
  EXPECT_EQ(S::leadingInteger("720p"), 720);
  EXPECT_EQ(S::leadingInteger("1080p60"), 1080);
  EXPECT_EQ(S::leadingInteger("hd720"), 0);
  EXPECT_EQ(S::leadingInteger(std::nullopt), 0);
  EXPECT_EQ(S::leadingInteger("\u0661\u0660\u0668\u0660p"), 0); // Arabic-Indic digits
  EXPECT_EQ(S::leadingInteger("720\u00bdp"), 0); // a vulgar fraction is numeric too
  EXPECT_EQ(S::leadingInteger("9223372036854775807p"), INT64_MAX);
  EXPECT_EQ(S::leadingInteger("9223372036854775808p"), 0);
  EXPECT_EQ(S::leadingInteger("12\xff"), 12);

  EXPECT_EQ(S::codecsParameter("video/mp4; codecs=\"avc1.4d401f, mp4a.40.2\""), "avc1.4d401f, mp4a.40.2");
  EXPECT_EQ(S::codecsParameter("video/mp4; codecs=\"\""), "");
  EXPECT_EQ(S::codecsParameter("video/mp4; codecs=\"avc1"), std::nullopt);
  EXPECT_EQ(S::codecsParameter("video/mp4; CODECS=\"avc1\""), std::nullopt);
  EXPECT_EQ(S::codecsParameter("video/mp4; codecs=avc1"), std::nullopt);
  EXPECT_EQ(S::defaultVideoCodec("video/mp4; codecs=HEV1.2"), "hvc1.1.6.L150.B0");
  EXPECT_EQ(S::defaultVideoCodec(std::nullopt), "avc1.640028");

  EXPECT_EQ(S::normalizedResolution("1920X1080"), "1920x1080");
  EXPECT_EQ(S::normalizedResolution("x+1280xx0720x"), "1280x720");
  EXPECT_EQ(S::normalizedResolution("720p"), std::nullopt);
  EXPECT_EQ(S::normalizedResolution("0x720"), std::nullopt);
  EXPECT_EQ(S::normalizedResolution("1280x720x2"), std::nullopt);
  EXPECT_EQ(S::normalizedResolution("1280x 720"), std::nullopt);
  EXPECT_EQ(S::normalizedResolution("99999999999999999999x1"), std::nullopt);

  EXPECT_EQ(S::validatedStreamURL("", kBase), std::nullopt);
  EXPECT_EQ(S::validatedStreamURL("//cdn.remote.test/v?a=1", kBase), "https://cdn.remote.test/v?a=1");
  EXPECT_EQ(S::validatedStreamURL("HTTP://h.remote.test/v", kBase), "HTTP://h.remote.test/v");
  EXPECT_EQ(S::validatedStreamURL("file:///etc/passwd", kBase), std::nullopt);
  EXPECT_EQ(S::validatedStreamURL("not a url", kBase), std::nullopt);
}

TEST(StreamTextRulesTest, VideoIDsAndDataEndpoints) {
  EXPECT_EQ(S::validatedVideoID("  abcDEF123_-\n"), "abcDEF123_-");
  EXPECT_EQ(S::validatedVideoID("a-b"), "a-b");
  for (const char* bad : {"", " \u3000 ", "a.b", "a/b", "caf\u00e9", "a b", "\xff"}) {
    EXPECT_THROW(S::validatedVideoID(bad), VideoSourceError) << bad;
  }
  EXPECT_EQ(S::videoDataEndpoint(ProxyPolicy::automatic, false, "x"), "/api/v1/videos/x?local=false");
  EXPECT_EQ(S::videoDataEndpoint(ProxyPolicy::automatic, true, "x"), "/api/v1/videos/x?local=true");
  EXPECT_EQ(S::videoDataEndpoint(ProxyPolicy::directOnly, true, "x"), "/api/v1/videos/x?local=false");
  EXPECT_EQ(S::videoDataEndpoint(ProxyPolicy::proxyOnly, false, "x"), "/api/v1/videos/x?local=true");
}

TEST(ProxiedAddressTest, ConvertsOnlyCDNServersAndKeepsTheQueryByteForByte) {
  const ScopedVideoCDNDomainSuffix suffix(".cdn.test");
  struct Case {
    std::string in;
    std::string out; // empty: unchanged
    std::vector<std::string> lines;
  };
  const std::string q = "expire=1&sig=A%2Fb%3D%3D&host=";
  const std::vector<Case> cases = {
      {"https://i.remote.test/videoplayback?" + q + "r1.cdn.test&x=%20+",
       "https://r1.cdn.test/videoplayback?" + q + "r1.cdn.test&x=%20+",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
      // The instance's user part is a credential for the instance alone.
      {"http://u:p@i.remote.test:8080/a/b/videoplayback?host=R1.CDN.Test#frag",
       "https://R1.CDN.Test/videoplayback?host=R1.CDN.Test#frag",
       {"proxy_convert from=i.remote.test to=R1.CDN.Test"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:8443",
       "https://r1.cdn.test:8443/videoplayback?host=r1.cdn.test:8443",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:",
       "https://r1.cdn.test/videoplayback?host=r1.cdn.test:",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:0008443",
       "https://r1.cdn.test:8443/videoplayback?host=r1.cdn.test:0008443",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:00000000000000000000000000443",
       "https://r1.cdn.test:443/videoplayback?host=r1.cdn.test:00000000000000000000000000443",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:0", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:000000", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:0065536", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:99999999999999999999999",
       "",
       {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:65536", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:80a", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test:80:81", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback?host=bad_host.cdn.test", "", {"proxy_convert_fail reason=invalid_url"}},
      {"https://i.remote.test/videoplayback/more?host=r1.cdn.test", "", {}},
      {"https://i.remote.test/videoplayback?host=evil.test", "", {}},
      {"https://i.remote.test/videoplayback?host=notcdn.test", "", {}},
      {"https://r1.cdn.test/videoplayback?host=R1.cdn.test", "", {}},
      {"https://i.remote.test/videoplayback?Host=r1.cdn.test", "", {}},
      {"https://i.remote.test/videoplayback?host", "", {}},
      {"https://i.remote.test/videoplayback?#host=r1.cdn.test", "", {}},
      {"https://i.remote.test/videoplayback", "", {}},
      {"https://i.remote.test/videoplayback?host=r1.cdn.test&host=r2.cdn.test",
       "https://r1.cdn.test/videoplayback?host=r1.cdn.test&host=r2.cdn.test",
       {"proxy_convert from=i.remote.test to=r1.cdn.test"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const SourceLines lines;
    EXPECT_EQ(S::directURL(c.in), c.out.empty() ? c.in : c.out);
    EXPECT_THAT(lines.get(), ElementsAreArray(c.lines));
  }
}

TEST(VideoAnswerDecodingTest, LenientIntegersAcceptOnlyIntegersAndDecimalStrings) {
  const std::vector<std::pair<std::string, std::optional<std::int64_t>>> cases = {
      {"42", 42},
      {"\"9007199254740993\"", 9007199254740993},
      {"\"+7\"", 7},
      {"\"-0012\"", -12},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"\"-9223372036854775808\"", INT64_MIN},
      {"9223372036854775808", std::nullopt},
      {"\"9223372036854775808\"", std::nullopt},
      {"\"+\"", std::nullopt},
      {"\"-\"", std::nullopt},
      {"\"+-1\"", std::nullopt},
      {"\"\"", std::nullopt},
      {"\" 1\"", std::nullopt},
      {"\"12kb\"", std::nullopt},
      {"\"1e3\"", std::nullopt},
      {"\"1.0\"", std::nullopt},
      {"\"0x10\"", std::nullopt},
      {"\"\u0661\"", std::nullopt},
      {"1.5", std::nullopt},
      {"true", std::nullopt},
      {"null", std::nullopt},
      {"[1]", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const auto doc = json::Document::parse(R"({"k":)" + text + "}");
    EXPECT_EQ(S::decodeLenientInt64(doc.root(), "k"), expected);
  }
  EXPECT_EQ(S::decodeLenientInt64(json::Document::parse("{}").root(), "k"), std::nullopt);
  EXPECT_EQ(S::decodeLenientInt64(json::Document::parse("[]").root(), "k"), std::nullopt);
}

// The fake server's fixtures, read as the decoder meets them.
nlohmann::json fixtures() {
  std::ifstream file(std::string(PD_SOURCE_DIR) + "/tools/fake-remote/videos.json");
  return nlohmann::json::parse(file);
}

S::VideoResponse decodeFixture(const nlohmann::json& fixture) {
  auto copy = fixture;
  copy["videoId"] = "v";
  return S::VideoResponse::decode(json::Document::parse(copy.dump()).root());
}

std::string decodingFailure(const std::string& text) {
  try {
    answer(text);
  } catch (const json::DecodingError& error) {
    return std::string(json::DecodingError::caseWord(error.kind())) + " " +
           json::DecodingError::joinedPath(error.codingPath());
  }
  return "decoded";
}

TEST(VideoAnswerDecodingTest, FormatsTolerateTheirNumbersAndTheAnswerToleratesNothingElse) {
  const auto all = fixtures();
  const auto hostile = decodeFixture(all["hostile"]);
  const auto& picture = hostile.adaptiveFormats->at(0);
  EXPECT_EQ(picture.bitrate, std::nullopt);
  EXPECT_EQ(picture.itag, 299);
  EXPECT_EQ(picture.contentLength, 9007199254740993);
  EXPECT_EQ(picture.lastModified, std::nullopt);
  EXPECT_EQ(picture.size, std::nullopt);
  EXPECT_EQ(picture.resolution, "0x720");
  const auto& sound = hostile.adaptiveFormats->at(1);
  EXPECT_EQ(sound.bitrate, std::nullopt);
  EXPECT_EQ(sound.itag, std::nullopt);
  EXPECT_EQ(sound.contentLength, std::nullopt);
  const auto standard = decodeFixture(all["default"]);
  EXPECT_EQ(standard.adaptiveFormats->at(0).lastModified, "1700000000000000");
  EXPECT_EQ(standard.adaptiveFormats->at(1).lastModified, "1700000000000001");
  EXPECT_EQ(standard.formatStreams->at(0).itag, 18);
  // Real answers' other keys are ignored; only a JSON true marks a video live or upcoming.
  const auto real = decodeFixture(all["realMuxed"]);
  EXPECT_FALSE(real.liveNow || real.isUpcoming);
  EXPECT_EQ(real.formatStreams->at(0).contentLength, std::nullopt);
  EXPECT_TRUE(decodeFixture(all["liveVideo"]).liveNow);
  EXPECT_TRUE(decodeFixture(all["premiere"]).isUpcoming);
  const auto odd = answer(R"({"videoId":"v","title":"t","liveNow":"true","isUpcoming":1})");
  EXPECT_FALSE(odd.liveNow || odd.isUpcoming);

  EXPECT_EQ(decodingFailure(all["badShape"].dump()), "keyNotFound -"); // no videoId
  const std::string head = R"({"videoId":"v","title":"t",)";
  EXPECT_EQ(decodingFailure(head + R"("adaptiveFormats":[{"url":"u","resolution":720}]})"),
            "typeMismatch adaptiveFormats.[0].resolution");
  EXPECT_EQ(decodingFailure(head + R"("formatStreams":[{"url":"u"},{"type":"video/mp4","url":1}]})"),
            "typeMismatch formatStreams.[1].url");
  EXPECT_EQ(decodingFailure(head + R"("formatStreams":[{"url":"u","qualityLabel":null,"type":5,"resolution":5}]})"),
            "typeMismatch formatStreams.[0].type");
  EXPECT_EQ(decodingFailure(head + R"("formatStreams":[{"type":"video/mp4"}]})"), "keyNotFound formatStreams.[0]");
  EXPECT_EQ(decodingFailure(head + R"("lengthSeconds":"212"})"), "typeMismatch lengthSeconds");
  EXPECT_EQ(decodingFailure(head + R"("videoThumbnails":[{"quality":"q"}]})"), "keyNotFound videoThumbnails.[0]");
  EXPECT_EQ(decodingFailure(R"({"videoId":"v","title":null})"), "valueNotFound title");
  const auto bare = answer(head + R"("author":null,"extra":[1]})");
  EXPECT_FALSE(bare.formatStreams || bare.adaptiveFormats || bare.author || bare.lengthSeconds);
}

TEST(VideoSourceRecordsTest, EqualityMatchesAbsentOnlyWithAbsent) {
  EXPECT_NE((MediaIdentity{1, 5, "1"}), (MediaIdentity{1, 5, std::nullopt}));
  EXPECT_NE(ResolvedMedia::remote("file:///a"), ResolvedMedia::localFile("file:///a"));
  const ResolvedTrack track{ResolvedMedia::remote("https://h/a"), "audio/mp4", std::nullopt, 1, std::nullopt};
  auto other = track;
  other.codec = "";
  EXPECT_NE(track, other);
}

} // namespace
} // namespace pd::remotesource
