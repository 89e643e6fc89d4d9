#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pd::remotesource {

// What identifies the exact bytes of one remote stream: the relay and its disk cache compare
// it to tell a refreshed address of the same stream from a different stream.
struct MediaIdentity {
  std::int64_t itag = 0;
  std::optional<std::int64_t> contentLength;
  std::optional<std::string> lastModified; // the instance's own text, never parsed

  friend bool operator==(const MediaIdentity&, const MediaIdentity&) = default;
};

// Where a track's bytes come from. The lookup only makes remote ones; consumers check the kind
// before they relay a track.
struct ResolvedMedia {
  enum class Kind { remote, localFile };
  Kind kind = Kind::remote;
  std::string url; // absolute

  static ResolvedMedia remote(std::string url) { return {Kind::remote, std::move(url)}; }
  static ResolvedMedia localFile(std::string url) { return {Kind::localFile, std::move(url)}; }
  friend bool operator==(const ResolvedMedia&, const ResolvedMedia&) = default;
};

struct ResolvedTrack {
  ResolvedMedia media;
  std::optional<std::string> mimeType; // as the instance gave it, codecs parameter included
  std::optional<std::string> codec; // in the form of an HLS CODECS attribute
  std::optional<std::int64_t> bitrate;
  std::optional<MediaIdentity> identity;
  std::optional<std::string> soundCodec{}; // a muxed stream's own sound codec, when it names one

  friend bool operator==(const ResolvedTrack&, const ResolvedTrack&) = default;
};

// One video resolved for playback. Handed over in memory only, so it has no equality or coding.
struct ResolvedStream {
  std::string videoID;
  std::string title;
  std::optional<std::string> author;
  std::optional<double> durationSeconds;
  std::optional<std::string> thumbnailURL;
  ResolvedTrack video;
  bool videoHasAudio = false; // a muxed stream: `audio` is then absent
  std::optional<ResolvedTrack> audio;
  std::optional<std::string> resolution; // "<width>x<height>"
  std::string servingHost;
  bool usedProxy = false; // asked with local=true, so addresses may point at the instance
};

} // namespace pd::remotesource
