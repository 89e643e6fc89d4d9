// Feeds arbitrary bytes to the video answer's decoding, then to the stream selection with and
// without keep-proxy and to the proxied-address conversion of every format's address. A
// DecodingError or noPlayableStream is the expected answer to bad input; a chosen address must
// be absolute http(s), and a converted one must be https on the "/videoplayback" path.

#include "platform/json/Document.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

using pd::platform::json::DecodingError;
using pd::platform::json::Document;
using pd::remotesource::InvidiousVideoSource;
using pd::remotesource::VideoSourceError;

namespace {

bool absoluteHTTP(std::string url) {
  for (auto& c : url) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return url.starts_with("https://") || url.starts_with("http://");
}

void convert(const std::string& url) {
  const auto direct = InvidiousVideoSource::directURL(url);
  if (direct != url && (!direct.starts_with("https://") || direct.find("/videoplayback") == std::string::npos)) {
    __builtin_trap();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const pd::remotesource::ScopedVideoCDNDomainSuffix suffix(".cdn.test");
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  static constexpr std::string_view kBases[] = {"https://a.example", "https://B.example:8443/", "https://[::1]:1"};
  if (bytes.empty()) return 0;
  const auto base = kBases[static_cast<unsigned char>(bytes[0]) % 3];
  try {
    const auto document = Document::parse(bytes.substr(1), InvidiousVideoSource::kMaxBodyBytes);
    const auto response = InvidiousVideoSource::VideoResponse::decode(document.root());
    for (const bool keepProxy : {false, true}) {
      try {
        const auto stream = InvidiousVideoSource::selectStreams(response, base, keepProxy, "fuzz");
        if (!absoluteHTTP(stream.video.media.url)) __builtin_trap();
        if (stream.videoHasAudio && stream.audio) __builtin_trap();
      } catch (const VideoSourceError& error) {
        if (error.errorCase() != VideoSourceError::Case::noPlayableStream) __builtin_trap();
      }
    }
    for (const auto* list : {&response.formatStreams, &response.adaptiveFormats}) {
      if (!*list) continue;
      for (const auto& format : **list) {
        convert(format.url);
        if (auto url = InvidiousVideoSource::validatedStreamURL(format.url, base)) convert(*url);
      }
    }
  } catch (const DecodingError&) {}
  return 0;
}
