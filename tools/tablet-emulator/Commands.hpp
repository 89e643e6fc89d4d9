#pragma once

// The scripting hook: one command per line on stdin. Words are separated by blanks; a word in double
// quotes may hold blanks, with \" and \\ inside. Empty lines and lines starting with "#" are ignored.

#include "tablet-emulator/TabletSession.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pd::tools::tablet {

namespace cmd {
struct Accept {};
struct Reject {
  std::string reason;
  std::string occupiedBy;
};
struct LoseAck {};
struct Silence {
  bool on = false;
  bool answerHeld = false; // on ending it: answer the newest handshake request that came meanwhile
};
struct Ping {
  bool on = false;
};
struct PingNow {};
struct RequestMode {
  StreamMode mode = StreamMode::mix;
};
struct LocalMode {
  StreamMode mode = StreamMode::mix;
};
struct Version {
  std::optional<std::int64_t> version; // absent: acks carry no protocol version (a legacy tablet)
};
struct AppVersion {
  std::optional<std::string> version;
};
struct Features {
  std::optional<std::vector<std::string>> words;
};
struct LinkId {
  LinkIdEcho echo = LinkIdEcho::echo;
};
struct Ack {
  std::optional<LoadStatus> status; // absent: leave load_video unanswered
  std::optional<std::string> reason;
  bool fetch = false; // fetch first, then ready or failed "fetch_failed"
};
struct Api {
  std::string route; // search, resolve or bpm
  std::vector<std::pair<std::string, std::string>> parameters;
};
struct Fetch {
  std::string path;
  std::optional<std::string> range; // a Range header value
};
struct ApiToken {
  std::string token;
};
struct SendStreamStop {
  std::vector<std::uint8_t> streams;
  std::optional<std::string> reason;
};
struct SendJson {
  std::string text;
};
struct StreamStart {
  StreamMode mode = StreamMode::mix;
  double fps = 30.0;
};
struct StreamStop {};
struct Burst {
  std::uint64_t count = 0;
  double rate = 0.0; // datagrams per second; 0 sends as fast as the socket takes them
  std::optional<StreamMode> mode;
};
struct Bonjour {
  bool on = false;
};
struct Txt {
  std::string key; // "pv" or "app"
  std::optional<std::string> value; // absent: leave the key out
};
struct Stats {};
struct Quit {};
} // namespace cmd

using Command =
    std::variant<cmd::Accept, cmd::Reject, cmd::LoseAck, cmd::Silence, cmd::Ping, cmd::PingNow, cmd::RequestMode,
                 cmd::LocalMode, cmd::Version, cmd::AppVersion, cmd::Features, cmd::LinkId, cmd::Ack,
                 cmd::SendStreamStop, cmd::SendJson, cmd::StreamStart, cmd::StreamStop, cmd::Burst, cmd::Bonjour,
                 cmd::Txt, cmd::Stats, cmd::Quit, cmd::Api, cmd::Fetch, cmd::ApiToken>;

struct CommandParse {
  std::optional<Command> command; // absent with an empty error: a blank or comment line
  std::string error;
};

CommandParse parseCommand(std::string_view line);

// Splits a line into words as described above; absent when a quote is left open.
std::optional<std::vector<std::string>> splitWords(std::string_view line);

// Shared with the command-line options.
inline constexpr double maxFps = 240.0;
inline constexpr double maxBurstRate = 10'000'000.0;
std::optional<std::int64_t> parseInteger(std::string_view text);
std::optional<double> parseNumber(std::string_view text);
std::optional<std::vector<std::uint8_t>> parseStreamList(std::string_view text); // "0" or "1,2"
// "none" gives no list (acks then carry no "features"), "empty" an empty list, "default" the seven words
// of the current protocol, anything else its comma-separated words.
std::optional<std::vector<std::string>> parseFeatureList(std::string_view text);

} // namespace pd::tools::tablet
