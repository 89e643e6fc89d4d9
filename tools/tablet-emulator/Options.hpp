#pragma once

#include "tablet-emulator/Commands.hpp"
#include "tablet-emulator/TabletSession.hpp"
#include "tablet-emulator/VideoDatagram.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pd::tools::tablet {

inline constexpr const char* serviceType = "_velquatrin._udp";

struct Options {
  SessionSettings session;

  std::string bindAddress; // empty: the interface's IPv4 address, or every address
  std::uint16_t port = 0; // 0: any free port, reported in the "ready" event
  std::string interfaceName; // empty: publish on every interface

  bool bonjour = true;
  std::string serviceName = "Tablet Emulator";
  std::optional<std::string> txtPv = std::to_string(currentProtocolVersion);
  std::optional<std::string> txtApp = "1.0.0";

  std::string videoPath;
  std::string videoPathB; // deck B in raw mode; deck A's file when empty
  std::size_t payloadSize = defaultFragmentPayload;
  std::uint64_t startSequence = 0;
  double startAtSeconds = 0.0; // where in the clip every stream begins, as a receiver joining late sees it
  std::optional<cmd::StreamStart> autoStream;
  std::chrono::milliseconds pingInterval{2000};
  bool quitOnEof = true;
  NalLengthRule nalLength = NalLengthRule::exact;
  std::size_t framesBeforeAck = 0; // sent to a new receiver ahead of the handshake ack (with --stream)
};

struct OptionsParse {
  std::optional<Options> options;
  std::string error;
  bool help = false;
};

OptionsParse parseOptions(const std::vector<std::string>& args);
const char* usageText();

} // namespace pd::tools::tablet
