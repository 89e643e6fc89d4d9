#include "tablet-emulator/Commands.hpp"
#include "tablet-emulator/Options.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace pd::tools::tablet {
namespace {

template <class T>
T parsed(std::string_view line) {
  const CommandParse result = parseCommand(line);
  EXPECT_TRUE(result.command.has_value()) << line << ": " << result.error;
  EXPECT_TRUE(result.command && std::holds_alternative<T>(*result.command)) << line;
  return result.command && std::holds_alternative<T>(*result.command) ? std::get<T>(*result.command) : T{};
}

bool refused(std::string_view line) {
  const CommandParse result = parseCommand(line);
  return !result.command && !result.error.empty();
}

TEST(CommandWords, QuotedWordsKeepBlanksAndEscapes) {
  const auto reject = parsed<cmd::Reject>(R"(reject occupied "Studio iPad")");
  EXPECT_EQ(reject.reason, "occupied");
  EXPECT_EQ(reject.occupiedBy, "Studio iPad");
  EXPECT_EQ(parsed<cmd::Reject>("reject busy").occupiedBy, "");
  EXPECT_EQ(splitWords(R"(a "b \"c\" \\ d" "")"), (std::vector<std::string>{"a", R"(b "c" \ d)", ""}));
  EXPECT_TRUE(refused(R"(reject occupied "Studio)"));
}

TEST(CommandWords, SendJsonTakesTheRestOfTheLineVerbatim) {
  EXPECT_EQ(parsed<cmd::SendJson>("send-json   {\"type\": \"mode_change_request\",  \"mode\":\"Raw\"}\r").text,
            "{\"type\": \"mode_change_request\",  \"mode\":\"Raw\"}");
  EXPECT_EQ(parsed<cmd::SendJson>("  send-json \"unbalanced").text, "\"unbalanced");
  EXPECT_TRUE(refused("send-json"));
  EXPECT_TRUE(refused("send-json   "));
}

TEST(CommandWords, BlankAndCommentLinesAreNotCommands) {
  for (const char* line : {"", "   ", "\r", "# accept"}) {
    const CommandParse result = parseCommand(line);
    EXPECT_FALSE(result.command.has_value()) << line;
    EXPECT_TRUE(result.error.empty()) << line;
  }
  EXPECT_TRUE(refused("acept"));
  EXPECT_TRUE(refused("accept now"));
}

TEST(CommandValues, NumbersAreRangeChecked) {
  const auto start = parsed<cmd::StreamStart>("stream start raw 29.97");
  EXPECT_EQ(start.mode, StreamMode::raw);
  EXPECT_DOUBLE_EQ(start.fps, 29.97);
  EXPECT_TRUE(refused("stream start mix 0"));
  EXPECT_TRUE(refused("stream start mix 241"));
  EXPECT_TRUE(refused("stream start mix nan"));
  EXPECT_TRUE(refused("stream start Mix 30"));
  EXPECT_TRUE(refused("stream start mix"));

  const auto burst = parsed<cmd::Burst>("burst 10000 0 raw");
  EXPECT_EQ(burst.count, 10000u);
  EXPECT_DOUBLE_EQ(burst.rate, 0.0);
  EXPECT_EQ(burst.mode, StreamMode::raw);
  EXPECT_EQ(parsed<cmd::Burst>("burst 5 1000").mode, std::nullopt);
  EXPECT_TRUE(refused("burst 0 100"));
  EXPECT_TRUE(refused("burst 10 -1"));
  EXPECT_TRUE(refused("burst 10 100 both"));
  EXPECT_TRUE(refused("burst 99999999999999999999 1"));

  EXPECT_EQ(parsed<cmd::Version>("version +3").version, 3);
  EXPECT_EQ(parsed<cmd::Version>("version -1").version, -1);
  EXPECT_EQ(parsed<cmd::Version>("version none").version, std::nullopt);
  EXPECT_TRUE(refused("version 3x"));
  EXPECT_TRUE(refused("version +-3"));
}

TEST(CommandValues, StreamListsAndFeatureLists) {
  EXPECT_EQ(parsed<cmd::SendStreamStop>("send-stream-stop 1,2 mode_change").streams, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(parsed<cmd::SendStreamStop>("send-stream-stop 0").reason, std::nullopt);
  EXPECT_EQ(parsed<cmd::SendStreamStop>("send-stream-stop 255").streams, (std::vector<std::uint8_t>{255}));
  EXPECT_TRUE(refused("send-stream-stop 1,300"));
  EXPECT_TRUE(refused("send-stream-stop 1,,2"));
  EXPECT_TRUE(refused("send-stream-stop -1"));

  EXPECT_EQ(parsed<cmd::Features>("features none").words, std::nullopt);
  EXPECT_EQ(parsed<cmd::Features>("features empty").words, std::vector<std::string>{});
  EXPECT_EQ(parsed<cmd::Features>("features default").words, defaultFeatures());
  EXPECT_EQ(parsed<cmd::Features>("features raw_mode,,load_video").words,
            (std::vector<std::string>{"raw_mode", "load_video"}));
}

TEST(CommandValues, AckAndTxtWords) {
  const auto ack = parsed<cmd::Ack>("ack failed load_failed");
  EXPECT_EQ(ack.status, LoadStatus::failed);
  EXPECT_EQ(ack.reason, "load_failed");
  EXPECT_EQ(parsed<cmd::Ack>("ack none").status, std::nullopt);
  EXPECT_TRUE(refused("ack none reason"));
  EXPECT_TRUE(refused("ack Ready"));

  EXPECT_EQ(parsed<cmd::Txt>("txt pv none").value, std::nullopt);
  EXPECT_EQ(parsed<cmd::Txt>("txt app \"\"").value, "");
  EXPECT_TRUE(refused("txt version 3"));
  EXPECT_TRUE(parsed<cmd::Silence>("silence on").on);
  EXPECT_TRUE(refused("silence yes"));
  EXPECT_TRUE(parsed<cmd::Silence>("resume").answerHeld);
  EXPECT_TRUE(refused("resume now"));
  EXPECT_EQ(parsed<cmd::LinkId>("link-id wrong").echo, LinkIdEcho::wrong);
}

TEST(CommandValues, FetchAndAPIRequests) {
  EXPECT_TRUE(parsed<cmd::Ack>("ack fetch").fetch);
  EXPECT_FALSE(parsed<cmd::Ack>("ack ready").fetch);
  EXPECT_TRUE(refused("ack fetch now"));
  const auto api = parsed<cmd::Api>("api resolve v=abc \"d=A B\" empty=");
  EXPECT_EQ(api.route, "resolve");
  EXPECT_EQ(api.parameters,
            (std::vector<std::pair<std::string, std::string>>{{"v", "abc"}, {"d", "A B"}, {"empty", ""}}));
  EXPECT_TRUE(parsed<cmd::Api>("api search").parameters.empty());
  EXPECT_TRUE(refused("api stats"));
  EXPECT_TRUE(refused("api search novalue"));
  EXPECT_TRUE(refused("api search =x"));
  const auto fetch = parsed<cmd::Fetch>("fetch /TOKEN bytes=0-99");
  EXPECT_EQ(fetch.path, "/TOKEN");
  EXPECT_EQ(fetch.range, "bytes=0-99");
  EXPECT_EQ(parsed<cmd::Fetch>("fetch TOKEN").range, std::nullopt);
  EXPECT_TRUE(refused("fetch"));
  EXPECT_EQ(parsed<cmd::ApiToken>("api-token abc").token, "abc");
  EXPECT_TRUE(refused("api-token"));
}

OptionsParse options(std::vector<std::string> args) { return parseOptions(args); }

TEST(CommandLine, DefaultsAndDerivedValues) {
  const auto plain = options({});
  ASSERT_TRUE(plain.options);
  EXPECT_EQ(plain.options->txtPv, "3");
  EXPECT_EQ(plain.options->txtApp, "1.0.0");
  EXPECT_EQ(plain.options->payloadSize, defaultFragmentPayload);
  EXPECT_EQ(plain.options->session.profile.protocolVersion, 3);
  ASSERT_TRUE(plain.options->session.profile.peerId);
  const std::regex randomUuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(*plain.options->session.profile.peerId, randomUuid))
      << *plain.options->session.profile.peerId;
  EXPECT_NE(plain.options->session.profile.peerId, plain.options->session.profile.sessionId);

  const auto legacy = options({"--app-version=0.9", "--txt-pv", "none", "--protocol-version", "none"});
  ASSERT_TRUE(legacy.options);
  EXPECT_EQ(legacy.options->txtApp, "0.9") << "the TXT app version follows --app-version";
  EXPECT_EQ(legacy.options->txtPv, std::nullopt);
  EXPECT_EQ(legacy.options->session.profile.protocolVersion, std::nullopt);

  const auto explicitTxt = options({"--txt-app", "none", "--app-version", "2.0"});
  ASSERT_TRUE(explicitTxt.options);
  EXPECT_EQ(explicitTxt.options->txtApp, std::nullopt);

  const auto streaming = options({"--video", "clip.hevc", "--stream", "raw", "--fps", "15"});
  ASSERT_TRUE(streaming.options);
  ASSERT_TRUE(streaming.options->autoStream);
  EXPECT_EQ(streaming.options->autoStream->mode, StreamMode::raw);
  EXPECT_DOUBLE_EQ(streaming.options->autoStream->fps, 15.0);
}

TEST(CommandLine, RefusesBadValuesAndUnknownOptions) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--port", "70000"},
           {"--port", "-1"},
           {"--payload-size", "0"},
           {"--payload-size", "65493"},
           {"--stream", "mix"},
           {"--mode", "RAW"},
           {"--handshake", "maybe"},
           {"--ping-interval-ms", "0"},
           {"--silent=yes"},
           {"--port"},
           {"--colour", "blue"},
           {"--nal-length", "all"},
           {"--video-before-ack", "3"},
       }) {
    const auto result = options(args);
    EXPECT_FALSE(result.options.has_value()) << args[0];
    EXPECT_FALSE(result.error.empty()) << args[0];
  }
  EXPECT_TRUE(options({"--help"}).help);
  EXPECT_TRUE(options({"--payload-size", "65492"}).options.has_value());
}

} // namespace
} // namespace pd::tools::tablet
