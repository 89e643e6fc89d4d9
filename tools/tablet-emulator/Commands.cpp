#include "tablet-emulator/Commands.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace pd::tools::tablet {

std::optional<std::vector<std::string>> splitWords(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < line.size()) {
    if (blank(line[i])) {
      ++i;
      continue;
    }
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
          word += line[i++];
        } else {
          word += c;
        }
      }
      if (!closed) {
        return std::nullopt;
      }
    } else {
      while (i < line.size() && !blank(line[i])) {
        word += line[i++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') {
      return std::nullopt;
    }
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::vector<std::uint8_t>> parseStreamList(std::string_view text) {
  std::vector<std::uint8_t> streams;
  while (true) {
    const std::size_t comma = text.find(',');
    const auto id = parseInteger(text.substr(0, comma));
    if (!id || *id < 0 || *id > 255) {
      return std::nullopt;
    }
    streams.push_back(static_cast<std::uint8_t>(*id));
    if (comma == std::string_view::npos) {
      return streams;
    }
    text.remove_prefix(comma + 1);
  }
}

std::optional<std::vector<std::string>> parseFeatureList(std::string_view text) {
  if (text == "none") {
    return std::nullopt;
  }
  if (text == "default") {
    return defaultFeatures();
  }
  std::vector<std::string> words;
  if (text == "empty") {
    return words;
  }
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    if (comma != 0) {
      words.emplace_back(text.substr(0, comma));
    }
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }
  return words;
}

namespace {

CommandParse fail(std::string error) { return CommandParse{std::nullopt, std::move(error)}; }
CommandParse ok(Command command) { return CommandParse{std::move(command), {}}; }

std::optional<bool> onOff(std::string_view word) {
  if (word == "on") {
    return true;
  }
  if (word == "off") {
    return false;
  }
  return std::nullopt;
}

// A value word where "none" means "leave it out".
std::optional<std::string> valueOrNone(const std::string& word) {
  if (word == "none") {
    return std::nullopt;
  }
  return word;
}

// The text after the first word and the blanks that follow it, kept byte for byte.
std::string_view restAfterFirstWord(std::string_view line) {
  std::size_t i = line.find_first_not_of(" \t");
  i = line.find_first_of(" \t", i);
  if (i == std::string_view::npos) {
    return {};
  }
  i = line.find_first_not_of(" \t", i);
  if (i == std::string_view::npos) {
    return {};
  }
  std::string_view rest = line.substr(i);
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) {
    rest.remove_suffix(1);
  }
  return rest;
}

} // namespace

CommandParse parseCommand(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos || line[first] == '#') {
    return {};
  }
  // send-json carries arbitrary text, malformed JSON with stray quotes included: take it before the
  // line is split into words.
  const std::string_view firstWord = line.substr(first, line.find_first_of(" \t\r\n", first) - first);
  if (firstWord == "send-json") {
    const std::string_view rest = restAfterFirstWord(line.substr(first));
    if (rest.empty()) {
      return fail("usage: send-json TEXT");
    }
    return ok(cmd::SendJson{std::string(rest)});
  }
  const auto split = splitWords(line);
  if (!split) {
    return fail("unclosed quote");
  }
  const std::vector<std::string>& w = *split;
  const std::string& name = w[0];
  const std::size_t argc = w.size() - 1;
  auto arity = [&](std::size_t min, std::size_t max) { return argc >= min && argc <= max; };
  auto usage = [&](const char* text) { return fail(std::string("usage: ") + text); };

  if (name == "accept") {
    return arity(0, 0) ? ok(cmd::Accept{}) : usage("accept");
  }
  if (name == "reject") {
    if (!arity(1, 2)) {
      return usage("reject REASON [OCCUPIED_BY]");
    }
    return ok(cmd::Reject{w[1], argc == 2 ? w[2] : std::string()});
  }
  if (name == "lose-ack") {
    return arity(0, 0) ? ok(cmd::LoseAck{}) : usage("lose-ack");
  }
  if (name == "silence" || name == "ping" || name == "bonjour") {
    const auto on = argc == 1 ? onOff(w[1]) : std::nullopt;
    if (!on) {
      return fail("usage: " + name + " on|off");
    }
    if (name == "silence") {
      return ok(cmd::Silence{*on});
    }
    if (name == "ping") {
      return ok(cmd::Ping{*on});
    }
    return ok(cmd::Bonjour{*on});
  }
  if (name == "resume") {
    return arity(0, 0) ? ok(cmd::Silence{false, true}) : usage("resume");
  }
  if (name == "ping-now") {
    return arity(0, 0) ? ok(cmd::PingNow{}) : usage("ping-now");
  }
  if (name == "mode" || name == "local-mode") {
    const auto mode = argc == 1 ? streamModeFromText(w[1]) : std::nullopt;
    if (!mode) {
      return fail("usage: " + name + " mix|raw");
    }
    return name == "mode" ? ok(cmd::RequestMode{*mode}) : ok(cmd::LocalMode{*mode});
  }
  if (name == "version") {
    if (!arity(1, 1)) {
      return usage("version N|none");
    }
    if (w[1] == "none") {
      return ok(cmd::Version{std::nullopt});
    }
    const auto v = parseInteger(w[1]);
    return v ? ok(cmd::Version{*v}) : usage("version N|none");
  }
  if (name == "app-version") {
    return arity(1, 1) ? ok(cmd::AppVersion{valueOrNone(w[1])}) : usage("app-version TEXT|none");
  }
  if (name == "features") {
    return arity(1, 1) ? ok(cmd::Features{parseFeatureList(w[1])}) : usage("features none|empty|default|WORD,WORD,...");
  }
  if (name == "link-id") {
    if (argc == 1 && w[1] == "echo") {
      return ok(cmd::LinkId{LinkIdEcho::echo});
    }
    if (argc == 1 && w[1] == "wrong") {
      return ok(cmd::LinkId{LinkIdEcho::wrong});
    }
    if (argc == 1 && w[1] == "omit") {
      return ok(cmd::LinkId{LinkIdEcho::omit});
    }
    return usage("link-id echo|wrong|omit");
  }
  if (name == "ack") {
    if (!arity(1, 2)) {
      return usage("ack ready|failed|replaced|none [REASON] | ack fetch");
    }
    if (w[1] == "none") {
      return argc == 1 ? ok(cmd::Ack{}) : usage("ack none");
    }
    if (w[1] == "fetch") {
      return argc == 1 ? ok(cmd::Ack{std::nullopt, std::nullopt, true}) : usage("ack fetch");
    }
    const auto status = loadStatusFromText(w[1]);
    if (!status) {
      return usage("ack ready|failed|replaced|none [REASON]");
    }
    return ok(cmd::Ack{*status, argc == 2 ? std::optional<std::string>(w[2]) : std::nullopt});
  }
  if (name == "api") {
    if (argc >= 1 && (w[1] == "search" || w[1] == "resolve" || w[1] == "bpm")) {
      cmd::Api api{w[1], {}};
      for (std::size_t i = 2; i < w.size(); ++i) {
        const auto equals = w[i].find('=');
        if (equals == std::string::npos || equals == 0) return usage("api search|resolve|bpm [KEY=VALUE...]");
        api.parameters.emplace_back(w[i].substr(0, equals), w[i].substr(equals + 1));
      }
      return ok(std::move(api));
    }
    return usage("api search|resolve|bpm [KEY=VALUE...]");
  }
  if (name == "fetch") {
    return arity(1, 2) ? ok(cmd::Fetch{w[1], argc == 2 ? std::optional<std::string>(w[2]) : std::nullopt})
                       : usage("fetch PATH [RANGE]");
  }
  if (name == "api-token") {
    return arity(1, 1) ? ok(cmd::ApiToken{w[1]}) : usage("api-token TOKEN");
  }
  if (name == "send-stream-stop") {
    const auto streams = arity(1, 2) ? parseStreamList(w[1]) : std::nullopt;
    if (!streams) {
      return usage("send-stream-stop STREAM[,STREAM...] [REASON]");
    }
    return ok(cmd::SendStreamStop{*streams, argc == 2 ? std::optional<std::string>(w[2]) : std::nullopt});
  }
  if (name == "stream") {
    if (argc == 1 && w[1] == "stop") {
      return ok(cmd::StreamStop{});
    }
    if (argc == 3 && w[1] == "start") {
      const auto mode = streamModeFromText(w[2]);
      const auto fps = parseNumber(w[3]);
      if (mode && fps && *fps > 0.0 && *fps <= maxFps) {
        return ok(cmd::StreamStart{*mode, *fps});
      }
    }
    return usage("stream start mix|raw FPS | stream stop");
  }
  if (name == "burst") {
    if (arity(2, 3)) {
      const auto count = parseInteger(w[1]);
      const auto rate = parseNumber(w[2]);
      const auto mode = argc == 3 ? streamModeFromText(w[3]) : std::nullopt;
      if (count && *count > 0 && rate && *rate >= 0.0 && *rate <= maxBurstRate && (argc == 2 || mode)) {
        return ok(cmd::Burst{static_cast<std::uint64_t>(*count), *rate, mode});
      }
    }
    return usage("burst COUNT RATE [mix|raw]");
  }
  if (name == "txt") {
    if (argc == 2 && (w[1] == "pv" || w[1] == "app")) {
      return ok(cmd::Txt{w[1], valueOrNone(w[2])});
    }
    return usage("txt pv|app VALUE|none");
  }
  if (name == "stats") {
    return arity(0, 0) ? ok(cmd::Stats{}) : usage("stats");
  }
  if (name == "quit") {
    return arity(0, 0) ? ok(cmd::Quit{}) : usage("quit");
  }
  return fail("unknown command: " + name);
}

} // namespace pd::tools::tablet
