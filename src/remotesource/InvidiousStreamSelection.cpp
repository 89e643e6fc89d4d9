#include "remotesource/DecimalText.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/QueryItem.hpp"
#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSourceError.hpp"

#include "diagnostics/Log.hpp"
#include "platform/text/Ascii.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <limits>

namespace pd::remotesource {

using diagnostics::Log;
using Format = InvidiousVideoSource::StreamFormat;
using platform::text::asciiLowerCopy;

namespace {

constexpr std::int64_t kMuxedThreshold = 720;
constexpr std::int64_t kAdaptiveCeiling = 1080;

bool contains(std::string_view text, std::string_view piece) { return text.find(piece) != std::string_view::npos; }

std::string lowerMIME(const Format& format) { return asciiLowerCopy(format.mimeType.value_or("")); }

std::int64_t quality(const Format& format) { return InvidiousVideoSource::leadingInteger(format.qualityLabel); }

bool hasMP4ASoundCodec(const Format& format) {
  if (!format.mimeType) return false;
  const auto codecs = InvidiousVideoSource::codecsParameter(*format.mimeType);
  return codecs && asciiLowerCopy(*codecs).starts_with("mp4a");
}

// The first of the highest bitrate, absent counting as 0.
const Format* highestBitrate(const std::vector<const Format*>& formats) {
  const Format* best = nullptr;
  for (const auto* format : formats) {
    if (best == nullptr || format->bitrate.value_or(0) > best->bitrate.value_or(0)) best = format;
  }
  return best;
}

std::string hostOf(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  return parsed ? std::string(parsed->encoded_host()) : std::string("?");
}

// The first query item of that name, decoded; none when the address has none.
std::optional<std::string> queryItemOf(std::string_view address, std::string_view name) {
  const auto parsed = boost::urls::parse_uri(address);
  if (!parsed) return std::nullopt;
  return queryItem(*parsed, name, true);
}

// Instances leave "clen" and "lmt" out of muxed entries; the stream address carries them in its
// query, and without them a refreshed address could never be confirmed as the same media. A
// length that is not positive (live streams say -1) is no length.
std::optional<MediaIdentity> identityOf(const Format& format, std::string_view address) {
  if (!format.itag) return std::nullopt;
  auto length = format.contentLength;
  if (!length) {
    const auto text = queryItemOf(address, "clen");
    length = text ? parseDecimalInt64(*text) : std::nullopt;
  }
  if (length && *length <= 0) length.reset();
  auto stamp = format.lastModified;
  if (!stamp) stamp = queryItemOf(address, "lmt");
  return MediaIdentity{*format.itag, length, std::move(stamp)};
}

std::string_view trimmedBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

[[noreturn]] void notPlayable(const InvidiousVideoSource::VideoResponse& response, std::string_view reason) {
  Log::source().error("stream_select_fail video=%{public}s reason=%{public}s", response.videoId, reason);
  throw VideoSourceError::videoNotPlayable(std::string(reason));
}

// Splits at `separator`, dropping empty pieces, into at most `maxPieces`; the last piece keeps
// the rest of the text, separators included.
std::vector<std::string_view> splitOmittingEmpty(std::string_view text, char separator, std::size_t maxPieces) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size() && pieces.size() + 1 < maxPieces; ++i) {
    if (text[i] != separator) continue;
    if (i > start) pieces.push_back(text.substr(start, i - start));
    start = i + 1;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

} // namespace

std::int64_t InvidiousVideoSource::leadingInteger(const std::optional<std::string>& label) {
  const std::string_view text = label ? std::string_view(*label) : std::string_view();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return 0;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t end = 0;
  bool asciiOnly = true;
  while (end < length) {
    std::int32_t next = end;
    UChar32 c;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) == U_NT_NONE) break;
    asciiOnly = asciiOnly && c >= '0' && c <= '9';
    end = next;
  }
  // A numeric prefix beyond ASCII digits (other scripts, fractions, numerals) reads as no number.
  if (end == 0 || !asciiOnly) return 0;
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + end, value);
  return error == std::errc() && stop == text.data() + end ? value : 0;
}

std::optional<std::string> InvidiousVideoSource::codecsParameter(std::string_view mimeType) {
  static constexpr std::string_view kOpening = "codecs=\"";
  const auto at = mimeType.find(kOpening);
  if (at == std::string_view::npos) return std::nullopt;
  const auto valueAt = at + kOpening.size();
  const auto closing = mimeType.find('"', valueAt);
  if (closing == std::string_view::npos) return std::nullopt;
  return std::string(mimeType.substr(valueAt, closing - valueAt));
}

std::optional<std::string> InvidiousVideoSource::validatedStreamURL(std::string_view text, std::string_view baseURL) {
  if (text.empty()) return std::nullopt;
  const auto reference = boost::urls::parse_uri_reference(text);
  const auto base = boost::urls::parse_uri(baseURL);
  if (!reference || !base) return std::nullopt;
  boost::urls::url resolved;
  if (!boost::urls::resolve(*base, *reference, resolved)) return std::nullopt;
  const auto scheme = resolved.scheme_id();
  if (scheme != boost::urls::scheme::https && scheme != boost::urls::scheme::http) return std::nullopt;
  if (resolved.encoded_host().empty()) return std::nullopt;
  return std::string(resolved.buffer());
}

std::string InvidiousVideoSource::defaultVideoCodec(const std::optional<std::string>& mimeType) {
  const auto lower = asciiLowerCopy(mimeType.value_or(""));
  return contains(lower, "hev1") || contains(lower, "hvc1") ? "hvc1.1.6.L150.B0" : "avc1.640028";
}

std::optional<std::string> InvidiousVideoSource::normalizedResolution(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const auto lower = asciiLowerCopy(*text);
  const auto pieces = splitOmittingEmpty(lower, 'x', std::numeric_limits<std::size_t>::max());
  if (pieces.size() != 2) return std::nullopt;
  const auto width = parseDecimalInt64(pieces[0]);
  const auto height = parseDecimalInt64(pieces[1]);
  if (!width || !height || *width < 1 || *height < 1) return std::nullopt;
  return std::to_string(*width) + "x" + std::to_string(*height);
}

bool InvidiousVideoSource::muxedOrder(const StreamFormat& a, const StreamFormat& b) {
  const auto qa = quality(a);
  const auto qb = quality(b);
  return qa > qb || (qa == qb && a.bitrate.value_or(0) > b.bitrate.value_or(0));
}

bool InvidiousVideoSource::adaptiveOrder(const StreamFormat& a, const StreamFormat& b) {
  const auto qa = quality(a);
  const auto qb = quality(b);
  const bool aWithin = qa <= kAdaptiveCeiling;
  const bool bWithin = qb <= kAdaptiveCeiling;
  if (aWithin != bWithin) return aWithin;
  if (aWithin) return muxedOrder(a, b);
  return a.bitrate.value_or(0) > b.bitrate.value_or(0);
}

bool InvidiousVideoSource::isUsableAudioFormat(const StreamFormat& format, std::string_view baseURL) {
  if (!format.mimeType) return false;
  const auto codecs = codecsParameter(*format.mimeType);
  return codecs && !codecs->empty() && asciiLowerCopy(*codecs).starts_with("mp4a") &&
         validatedStreamURL(format.url, baseURL).has_value();
}

std::optional<InvidiousVideoSource::VideoChoice> InvidiousVideoSource::chooseVideoFormat(const VideoResponse& response,
                                                                                         std::string_view baseURL) {
  static const std::vector<StreamFormat> kNone;
  const auto& muxedAll = response.formatStreams ? *response.formatStreams : kNone;
  const auto& adaptiveAll = response.adaptiveFormats ? *response.adaptiveFormats : kNone;
  const auto playable = [baseURL](const StreamFormat& f) { return validatedStreamURL(f.url, baseURL).has_value(); };

  std::vector<StreamFormat> muxed;
  for (const auto& f : muxedAll) {
    if (f.mimeType && contains(lowerMIME(f), "video/mp4") && playable(f)) muxed.push_back(f);
  }
  std::ranges::stable_sort(muxed, muxedOrder);
  if (!muxed.empty() && quality(muxed.front()) >= kMuxedThreshold) {
    return VideoChoice{muxed.front(), true, "format_stream"};
  }

  std::vector<StreamFormat> pictures;
  for (const auto& f : adaptiveAll) {
    const auto mime = lowerMIME(f);
    const bool h26x = contains(mime, "avc1") || contains(mime, "hev1") || contains(mime, "hvc1");
    if (contains(mime, "video/mp4") && h26x && playable(f)) pictures.push_back(f);
  }
  std::ranges::stable_sort(pictures, adaptiveOrder);
  // Any mp4a stream will do here, whatever its MIME type says; the sound choice is stricter.
  const bool soundFound =
      std::ranges::any_of(adaptiveAll, [&](const StreamFormat& f) { return hasMP4ASoundCodec(f) && playable(f); });
  if (soundFound && !pictures.empty()) return VideoChoice{pictures.front(), false, "adaptive_format"};
  if (muxed.empty()) {
    if (!pictures.empty()) return VideoChoice{pictures.front(), false, "adaptive_format"};
    return std::nullopt;
  }
  return VideoChoice{muxed.front(), true, "format_fallback"};
}

std::optional<ResolvedTrack> InvidiousVideoSource::selectAudio(const VideoResponse& response, std::string_view baseURL,
                                                               bool keepProxy, std::string_view op) {
  const auto& log = Log::source();
  std::vector<const StreamFormat*> sound;
  if (response.adaptiveFormats) {
    for (const auto& f : *response.adaptiveFormats) {
      if (f.mimeType && contains(lowerMIME(f), "audio/")) sound.push_back(&f);
    }
  }
  if (sound.empty()) {
    log.error("audio_select_fail video=%{public}s reason=no_audio_format", response.videoId);
    return std::nullopt;
  }
  std::vector<const StreamFormat*> usable;
  for (const auto* f : sound) {
    if (isUsableAudioFormat(*f, baseURL)) usable.push_back(f);
  }
  if (usable.empty()) {
    const auto* loudest = highestBitrate(sound);
    const auto pieces = splitOmittingEmpty(*loudest->mimeType, ';', std::numeric_limits<std::size_t>::max());
    const std::string_view mime = trimmedBlanks(pieces.empty() ? std::string_view() : pieces.front());
    log.notice("audio_codec_unsupported video=%{public}s mime=%{public}s codec=%{public}s", response.videoId, mime,
               codecsParameter(*loudest->mimeType).value_or("?"));
    return std::nullopt;
  }
  const auto& chosen = *highestBitrate(usable);
  std::string address = validatedStreamURL(chosen.url, baseURL).value_or(chosen.url);
  if (!keepProxy) address = directURL(address);
  log.notice("audio_select video=%{public}s kind=%{public}s host=%{public}s keep_proxy=%{bool}d op=%{public}s",
             response.videoId, *chosen.mimeType, hostOf(address), keepProxy, op);
  auto identity = identityOf(chosen, address);
  return ResolvedTrack{ResolvedMedia::remote(std::move(address)), chosen.mimeType,
                       codecsParameter(*chosen.mimeType).value_or("mp4a.40.2"), chosen.bitrate, std::move(identity)};
}

ResolvedStream InvidiousVideoSource::selectStreams(const VideoResponse& response, std::string_view baseURL,
                                                   bool keepProxy, std::string_view op) {
  // Answers name their thumbnails "high" and "medium" where the file names say hqdefault and
  // mqdefault; each is taken where its file name stands.
  static const std::vector<std::string> kThumbnailPreferences = {"maxres",    "sddefault", "hqdefault", "high",
                                                                 "mqdefault", "medium",    "default"};
  const auto& log = Log::source();
  const std::string servingHost = InvidiousInstanceManager::normalizeHost(baseURL);
  // A premiere has no streams yet and a live one none of a length; every instance says the same.
  if (response.isUpcoming) notPlayable(response, "upcoming");
  if (response.liveNow) notPlayable(response, "live");
  const auto choice = chooseVideoFormat(response, baseURL);
  if (!choice) {
    log.error("stream_select_fail video=%{public}s", response.videoId);
    throw VideoSourceError(VideoSourceError::Case::noPlayableStream);
  }
  const auto& format = choice->format;
  if (format.contentLength && *format.contentLength <= 0) notPlayable(response, "live");
  std::string address = validatedStreamURL(format.url, baseURL).value_or(format.url);
  log.notice("stream_select video=%{public}s quality=%{public}s kind=%{public}s host=%{public}s op=%{public}s",
             response.videoId, format.qualityLabel.value_or("?"), choice->kind, hostOf(address), op);

  ResolvedStream stream;
  if (!choice->hasAudio) stream.audio = selectAudio(response, baseURL, keepProxy, op);
  std::optional<std::string> codec = format.mimeType ? codecsParameter(*format.mimeType) : std::nullopt;
  std::optional<std::string> soundCodec;
  if (codec && choice->hasAudio) {
    // A muxed stream lists its picture codec, then its sound codec.
    const std::string list = std::move(*codec);
    const auto comma = list.find(',');
    codec = std::string(trimmedBlanks(std::string_view(list).substr(0, comma)));
    if (comma != std::string::npos) {
      const auto rest = std::string_view(list).substr(comma + 1);
      const auto sound = trimmedBlanks(rest.substr(0, rest.find(',')));
      if (!sound.empty()) soundCodec = std::string(sound);
    }
  }
  if (!codec && !choice->hasAudio) codec = defaultVideoCodec(format.mimeType);

  stream.videoID = response.videoId;
  stream.title = response.title;
  stream.author = response.author;
  if (response.lengthSeconds) stream.durationSeconds = static_cast<double>(*response.lengthSeconds);
  stream.thumbnailURL = pickThumbnail(response.videoThumbnails, kThumbnailPreferences, "https://" + servingHost);
  auto identity = identityOf(format, address);
  stream.video = ResolvedTrack{ResolvedMedia::remote(std::move(address)),
                               format.mimeType,
                               std::move(codec),
                               format.bitrate,
                               std::move(identity),
                               std::move(soundCodec)};
  stream.videoHasAudio = choice->hasAudio;
  stream.resolution = normalizedResolution(format.size);
  if (!stream.resolution) stream.resolution = normalizedResolution(format.resolution);
  stream.servingHost = servingHost;
  stream.usedProxy = keepProxy;
  return stream;
}

std::string InvidiousVideoSource::directURL(std::string_view proxied) {
  const std::string unchanged(proxied);
  const auto parsed = boost::urls::parse_uri(proxied);
  if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) return unchanged;
  const auto& url = *parsed;
  if (!std::string_view(url.path()).ends_with("/videoplayback")) return unchanged;
  if (!url.has_query()) return unchanged;
  const auto hostValue = queryItem(url, "host", true);
  if (!hostValue) return unchanged;

  const auto pieces = splitOmittingEmpty(*hostValue, ':', 2);
  const std::string target = asciiLowerCopy(pieces.empty() ? std::string_view() : pieces.front());
  if (target == asciiLowerCopy(url.host())) return unchanged;
  if (!target.ends_with(videoCDNDomainSuffix())) return unchanged;

  const auto& log = Log::source();
  std::optional<std::uint16_t> port;
  if (pieces.size() == 2) {
    auto text = pieces[1];
    const bool digits = std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
    // Leading zeros do not change the number, so "008443" is the port 8443 however long it is.
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    const auto number = digits && text.size() <= 5 ? parseDecimalInt64(text) : std::nullopt;
    if (!number || *number < 1 || *number > 65535) {
      log.error("proxy_convert_fail reason=invalid_url");
      return unchanged;
    }
    port = static_cast<std::uint16_t>(*number);
  }
  // The suffix test above read the value as text, but the value is written into the address
  // as its authority: a character outside a DNS name ("@", "/", "%", "[", ":") would make the
  // new address name a server other than the one that passed the test.
  const auto serverName = pieces.front();
  const bool formsHost = std::ranges::all_of(serverName, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
  if (!formsHost) {
    log.error("proxy_convert_fail reason=invalid_url");
    return unchanged;
  }
  boost::urls::url direct(url);
  direct.set_scheme_id(boost::urls::scheme::https);
  direct.set_encoded_host(serverName);
  if (port) {
    direct.set_port_number(*port);
  } else {
    direct.remove_port();
  }
  direct.set_encoded_path("/videoplayback");
  // A user part belongs to the instance's address: it must not reach the video servers.
  direct.remove_userinfo();
  std::string result(direct.buffer());
  log.notice("proxy_convert from=%{public}s to=%{public}s", std::string_view(url.encoded_host()), serverName);
  return result;
}

} // namespace pd::remotesource
