#pragma once

// The HLS texts of a remote video offered as separate video and audio streams: one media
// playlist per fragmented MP4 file (an initialization section plus byte-range segments) and the
// master playlist that ties them together. Pure functions; numbers never depend on the locale.

#include "relay/MP4Sidx.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace pd::relay {

std::string buildMediaPlaylist(std::string_view uri, std::int64_t initSegmentSize,
                               std::span<const MP4Segment> segments);

std::string buildMasterPlaylist(std::string_view videoURI, std::string_view audioURI, std::int64_t bandwidth,
                                const std::optional<std::string>& codecs, const std::optional<std::string>& resolution);

// The master's CODECS value: the video codec, ",", the audio codec, when both are non-empty and
// made only of letters and numbers of any script, "." and "-"; otherwise none.
std::optional<std::string> hlsCodecAttribute(const std::optional<std::string>& videoCodec,
                                             const std::optional<std::string>& audioCodec);

// The master's BANDWIDTH: each track's bitrate capped at 1,000,000,000; absent or below 1 adds 0.
std::int64_t hlsBandwidth(std::optional<std::int64_t> videoBitrate, std::optional<std::int64_t> audioBitrate);

} // namespace pd::relay
