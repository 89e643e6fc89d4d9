#include "relay/HLSPlaylist.hpp"

#include "remotesource/DecimalText.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace pd::relay {

namespace {

void appendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// "%.3f" without the locale's decimal mark.
void appendThreeDecimals(std::string& out, double value) {
  char buffer[512]; // room for the widest fixed-notation double
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  out.append(buffer, result.ptr);
}

// One more than the ceiling of the longest segment, 11 without segments. Values beyond int64
// (never from a parsed index) are held at its edges rather than converted out of range.
std::int64_t targetDuration(std::span<const MP4Segment> segments) {
  double largest = segments.empty() ? 10.0 : -std::numeric_limits<double>::infinity();
  for (const auto& segment : segments) {
    if (!std::isnan(segment.durationSeconds)) largest = std::max(largest, segment.durationSeconds);
  }
  const double ceiling = std::ceil(largest);
  if (ceiling >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
  if (ceiling < -0x1p63) return std::numeric_limits<std::int64_t>::min() + 1;
  return static_cast<std::int64_t>(ceiling) + 1;
}

// Width, lower-case "x", height: two signed decimal int64 pieces once empty pieces are dropped.
bool isResolution(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('x', start), text.size());
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces.size() == 2 && std::ranges::all_of(pieces, [](std::string_view piece) {
           return remotesource::parseDecimalInt64(piece).has_value();
         });
}

std::string joinedLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) {
    out += line;
    out += '\n';
  }
  return out;
}

// Unreadable UTF-8 is no letter.
bool isCodecText(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  if (length == 0 || std::cmp_not_equal(length, text.size())) return false;
  for (std::int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c == '.' || c == '-') continue;
    if (c < 0 || (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_N_MASK)) == 0) return false;
  }
  return true;
}

} // namespace

std::string buildMediaPlaylist(std::string_view uri, std::int64_t initSegmentSize,
                               std::span<const MP4Segment> segments) {
  std::string out = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:";
  out.reserve(out.size() + 200 + uri.size() + segments.size() * (uri.size() + 60));
  appendInteger(out, targetDuration(segments));
  out.append("\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-INDEPENDENT-SEGMENTS\n#EXT-X-MAP:URI=\"");
  out.append(uri).append("\",BYTERANGE=\"");
  appendInteger(out, initSegmentSize);
  out.append("@0\"\n");
  for (const auto& segment : segments) {
    out.append("#EXTINF:");
    appendThreeDecimals(out, segment.durationSeconds);
    out.append(",\n#EXT-X-BYTERANGE:");
    appendInteger(out, segment.byteSize);
    out += '@';
    appendInteger(out, segment.byteOffset);
    out += '\n';
    out.append(uri) += '\n';
  }
  out.append("#EXT-X-ENDLIST\n");
  return out;
}

std::string buildMasterPlaylist(std::string_view videoURI, std::string_view audioURI, std::int64_t bandwidth,
                                const std::optional<std::string>& codecs,
                                const std::optional<std::string>& resolution) {
  std::string media = R"(#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID="aac",NAME="Audio",DEFAULT=YES,AUTOSELECT=YES,URI=")";
  media.append(audioURI).append("\"");
  std::string stream = "#EXT-X-STREAM-INF:BANDWIDTH=";
  appendInteger(stream, std::max<std::int64_t>(bandwidth, 1));
  if (codecs && !codecs->empty()) stream.append(",CODECS=\"").append(*codecs).append("\"");
  if (resolution && isResolution(*resolution)) stream.append(",RESOLUTION=").append(*resolution);
  stream += R"(,AUDIO="aac")";
  return joinedLines({"#EXTM3U", "#EXT-X-VERSION:7", "#EXT-X-INDEPENDENT-SEGMENTS", std::move(media), std::move(stream),
                      std::string(videoURI)});
}

std::optional<std::string> hlsCodecAttribute(const std::optional<std::string>& videoCodec,
                                             const std::optional<std::string>& audioCodec) {
  if (!videoCodec || !audioCodec || !isCodecText(*videoCodec) || !isCodecText(*audioCodec)) return std::nullopt;
  return *videoCodec + "," + *audioCodec;
}

std::int64_t hlsBandwidth(std::optional<std::int64_t> videoBitrate, std::optional<std::int64_t> audioBitrate) {
  const auto share = [](std::optional<std::int64_t> bitrate) -> std::int64_t {
    if (!bitrate || *bitrate < 1) return 0;
    return std::min<std::int64_t>(*bitrate, 1'000'000'000);
  };
  return share(videoBitrate) + share(audioBitrate);
}

} // namespace pd::relay
