#include "tablet-emulator/Options.hpp"

#include <functional>
#include <limits>
#include <map>
#include <random>

namespace pd::tools::tablet {

const char* usageText() {
  return R"(usage: tablet-emulator [options]

Plays the tablet's side of the link: publishes the Bonjour service, answers the receiver's handshake
and pings, streams HEVC video and takes commands on stdin (one per line); events go to stdout as JSON
lines.

Network and Bonjour
  --port N                 UDP port (default 0: any free port)
  --bind ADDR              address to bind (default: the --interface's IPv4 address, else all)
  --interface NAME         interface to publish on (default: all)
  --name NAME              Bonjour service name (default "Tablet Emulator")
  --no-bonjour             do not publish
  --txt-pv V|none          TXT "pv" (default 3)
  --txt-app V|none         TXT "app" (default: the --app-version)
What the tablet announces
  --device NAME            "device" of the handshake ack (default "Tablet Emulator")
  --protocol-version N|none  (default 3; none: a legacy tablet)
  --app-version V|none     (default 1.0.0)
  --features LIST          none | empty | default | word,word,...
  --iface-name N|none      --iface-type T|none   the ack's "interface" (default en0 / wifi)
  --peer-id ID             --session-id ID       (default: random UUIDs)
Behaviour
  --handshake accept|lose-ack|reject   (default accept)
  --reject-reason R        (default occupied)    --occupied-by NAME
  --link-id echo|wrong|omit  what the ack does with the request's linkID (default echo)
  --silent                 start silenced: answer nothing, send nothing
  --ping                   send own pings     --ping-interval-ms N (default 2000)
  --mode mix|raw           the tablet's mode (default mix)
  --ack-mode WORD|omit     the ack's "mode" instead of the tablet's mode word, or no "mode" at all
  --ack ready|failed|replaced|none|fetch   answer to load_video (default ready; fetch: GET it first,
                           then ready, or failed "fetch_failed")   --ack-reason R
Video
  --video FILE             HEVC Annex-B file (see tools/fixtures/make-hevc-fixture.sh)
  --video-b FILE           deck B's file in raw mode (default: --video)
  --payload-size N         bytes of video per datagram (default 1265)
  --start-seq N            first frame sequence number (default 0)
  --start-at SECONDS       begin every stream this far into the clip, at its frame rate (default 0)
  --stream mix|raw         stream as soon as a receiver is linked    --fps N (default 30)
  --nal-length exact|without-prefixes|first-nal   what the length field announces (default exact)
  --video-before-ack N     send N frames of the stream to a new receiver before the handshake ack
Other
  --no-quit-on-eof         keep running when stdin closes
  --help
)";
}

namespace {

std::string randomUuid() {
  std::random_device device;
  std::uint8_t bytes[16];
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(device() & 0xFF);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      out += '-';
    }
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 0x0F];
  }
  return out;
}

std::optional<std::string> valueOrNone(const std::string& value) {
  return value == "none" ? std::nullopt : std::optional<std::string>(value);
}

} // namespace

OptionsParse parseOptions(const std::vector<std::string>& args) {
  Options o;
  o.session.profile.peerId = randomUuid();
  o.session.profile.sessionId = randomUuid();
  bool txtAppGiven = false;
  double fps = 30.0;
  std::optional<StreamMode> autoMode;

  auto integerIn = [&](const std::string& v, std::int64_t lo, std::int64_t hi) -> std::optional<std::int64_t> {
    const auto n = parseInteger(v);
    if (!n || *n < lo || *n > hi) {
      return std::nullopt;
    }
    return n;
  };
  auto mode = [&](const std::string& v, StreamMode& out) {
    const auto m = streamModeFromText(v);
    if (m) {
      out = *m;
    }
    return m.has_value();
  };

  using Setter = std::function<bool(const std::string&)>;
  const std::map<std::string, Setter, std::less<>> valued{
      {"--port",
       [&](const std::string& v) {
         const auto n = integerIn(v, 0, 65535);
         if (n) o.port = static_cast<std::uint16_t>(*n);
         return n.has_value();
       }},
      {"--bind",
       [&](const std::string& v) {
         o.bindAddress = v;
         return !v.empty();
       }},
      {"--interface",
       [&](const std::string& v) {
         o.interfaceName = v;
         return !v.empty();
       }},
      {"--name",
       [&](const std::string& v) {
         o.serviceName = v;
         return !v.empty() && v.size() <= 63;
       }},
      {"--txt-pv",
       [&](const std::string& v) {
         o.txtPv = valueOrNone(v);
         return true;
       }},
      {"--txt-app",
       [&](const std::string& v) {
         o.txtApp = valueOrNone(v);
         txtAppGiven = true;
         return true;
       }},
      {"--device",
       [&](const std::string& v) {
         o.session.profile.device = v;
         return true;
       }},
      {"--protocol-version",
       [&](const std::string& v) {
         if (v == "none") {
           o.session.profile.protocolVersion.reset();
           return true;
         }
         o.session.profile.protocolVersion = parseInteger(v);
         return o.session.profile.protocolVersion.has_value();
       }},
      {"--app-version",
       [&](const std::string& v) {
         o.session.profile.appVersion = valueOrNone(v);
         return true;
       }},
      {"--features",
       [&](const std::string& v) {
         o.session.profile.features = parseFeatureList(v);
         return true;
       }},
      {"--iface-name",
       [&](const std::string& v) {
         o.session.profile.interfaceName = valueOrNone(v);
         return true;
       }},
      {"--iface-type",
       [&](const std::string& v) {
         o.session.profile.interfaceType = valueOrNone(v);
         return true;
       }},
      {"--peer-id",
       [&](const std::string& v) {
         o.session.profile.peerId = valueOrNone(v);
         return true;
       }},
      {"--session-id",
       [&](const std::string& v) {
         o.session.profile.sessionId = valueOrNone(v);
         return true;
       }},
      {"--handshake",
       [&](const std::string& v) {
         if (v == "accept") o.session.handshake = HandshakePolicy::accept;
         else if (v == "lose-ack") o.session.handshake = HandshakePolicy::loseAck;
         else if (v == "reject") o.session.handshake = HandshakePolicy::reject;
         else return false;
         return true;
       }},
      {"--reject-reason",
       [&](const std::string& v) {
         o.session.rejectReason = v;
         return true;
       }},
      {"--occupied-by",
       [&](const std::string& v) {
         o.session.occupiedBy = v;
         return true;
       }},
      {"--link-id",
       [&](const std::string& v) {
         if (v == "echo") o.session.linkIdEcho = LinkIdEcho::echo;
         else if (v == "wrong") o.session.linkIdEcho = LinkIdEcho::wrong;
         else if (v == "omit") o.session.linkIdEcho = LinkIdEcho::omit;
         else return false;
         return true;
       }},
      {"--ping-interval-ms",
       [&](const std::string& v) {
         const auto n = integerIn(v, 10, 3'600'000);
         if (n) o.pingInterval = std::chrono::milliseconds(*n);
         return n.has_value();
       }},
      {"--mode", [&](const std::string& v) { return mode(v, o.session.mode); }},
      {"--ack-mode",
       [&](const std::string& v) {
         o.session.ackModeOmitted = v == "omit";
         if (!o.session.ackModeOmitted) o.session.ackModeWord = v;
         return true;
       }},
      {"--nal-length",
       [&](const std::string& v) {
         if (v == "exact") o.nalLength = NalLengthRule::exact;
         else if (v == "without-prefixes") o.nalLength = NalLengthRule::withoutPrefixes;
         else if (v == "first-nal") o.nalLength = NalLengthRule::firstNal;
         else return false;
         return true;
       }},
      {"--video-before-ack",
       [&](const std::string& v) {
         const auto n = integerIn(v, 1, 300);
         if (n) o.framesBeforeAck = static_cast<std::size_t>(*n);
         return n.has_value();
       }},
      {"--ack",
       [&](const std::string& v) {
         if (v == "none") {
           o.session.loadAck.reset();
           return true;
         }
         if (v == "fetch") {
           o.session.fetchBeforeAck = true;
           return true;
         }
         o.session.loadAck = loadStatusFromText(v);
         return o.session.loadAck.has_value();
       }},
      {"--ack-reason",
       [&](const std::string& v) {
         o.session.loadAckReason = v;
         return true;
       }},
      {"--video",
       [&](const std::string& v) {
         o.videoPath = v;
         return !v.empty();
       }},
      {"--video-b",
       [&](const std::string& v) {
         o.videoPathB = v;
         return !v.empty();
       }},
      {"--payload-size",
       [&](const std::string& v) {
         const auto n = integerIn(v, 1, static_cast<std::int64_t>(maxFragmentPayload));
         if (n) o.payloadSize = static_cast<std::size_t>(*n);
         return n.has_value();
       }},
      {"--start-seq",
       [&](const std::string& v) {
         const auto n = integerIn(v, 0, std::numeric_limits<std::int64_t>::max());
         if (n) o.startSequence = static_cast<std::uint64_t>(*n);
         return n.has_value();
       }},
      {"--start-at",
       [&](const std::string& v) {
         const auto n = parseNumber(v);
         if (!n || !(*n >= 0.0) || *n > 86400.0) return false;
         o.startAtSeconds = *n;
         return true;
       }},
      {"--stream",
       [&](const std::string& v) {
         StreamMode m{};
         if (!mode(v, m)) return false;
         autoMode = m;
         return true;
       }},
      {"--fps",
       [&](const std::string& v) {
         const auto n = parseNumber(v);
         if (!n || *n <= 0.0 || *n > maxFps) return false;
         fps = *n;
         return true;
       }},
  };
  const std::map<std::string, std::function<void()>, std::less<>> flags{
      {"--no-bonjour", [&] { o.bonjour = false; }},
      {"--silent", [&] { o.session.silenced = true; }},
      {"--ping", [&] { o.session.pingEnabled = true; }},
      {"--no-quit-on-eof", [&] { o.quitOnEof = false; }},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      return OptionsParse{std::nullopt, {}, true};
    }
    std::optional<std::string> inlineValue;
    if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      inlineValue = arg.substr(eq + 1);
      arg.resize(eq);
    }
    if (const auto flag = flags.find(arg); flag != flags.end()) {
      if (inlineValue) {
        return OptionsParse{std::nullopt, arg + " takes no value", false};
      }
      flag->second();
      continue;
    }
    const auto setter = valued.find(arg);
    if (setter == valued.end()) {
      return OptionsParse{std::nullopt, "unknown option " + arg, false};
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return OptionsParse{std::nullopt, arg + " needs a value", false};
    }
    if (!setter->second(value)) {
      return OptionsParse{std::nullopt, "bad value for " + arg + ": " + value, false};
    }
  }
  if (!txtAppGiven) {
    o.txtApp = o.session.profile.appVersion;
  }
  if (autoMode) {
    if (o.videoPath.empty()) {
      return OptionsParse{std::nullopt, "--stream needs --video", false};
    }
    o.autoStream = cmd::StreamStart{*autoMode, fps};
  }
  if (o.framesBeforeAck > 0 && !o.autoStream) {
    return OptionsParse{std::nullopt, "--video-before-ack needs --stream", false};
  }
  return OptionsParse{std::move(o), {}, false};
}

} // namespace pd::tools::tablet
