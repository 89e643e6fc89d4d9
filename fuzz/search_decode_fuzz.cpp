// Feeds arbitrary bytes to the search answer's decoding and the error-envelope check, as the
// request pipeline would after a successful parse, with the thumbnail choice on each item. A
// DecodingError is the expected answer to bad input; every kept item must carry an absolute
// https or http thumbnail address, if any.

#include "platform/json/Document.hpp"
#include "remotesource/InvidiousVideoSource.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

using pd::platform::json::DecodingError;
using pd::platform::json::Document;
using pd::remotesource::InvidiousVideoSource;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte picks the serving base, the rest is the body.
  static constexpr std::string_view kBases[] = {"https://a.example", "https://b.example:8443/base", "https://[::1]:1"};
  if (bytes.empty()) return 0;
  const auto base = kBases[static_cast<unsigned char>(bytes[0]) % 3];
  const auto body = bytes.substr(1);
  try {
    const auto document = Document::parse(body, InvidiousVideoSource::kMaxBodyBytes);
    try {
      (void)InvidiousVideoSource::ErrorEnvelope::decode(document.root());
    } catch (const DecodingError&) {}
    for (const auto& item : InvidiousVideoSource::decodeSearch(document.root(), base)) {
      if (item.videoID.size() > body.size() || item.title.size() > body.size()) __builtin_trap();
      if (item.thumbnailURL && item.thumbnailURL->find(':') == std::string::npos) __builtin_trap();
    }
  } catch (const DecodingError&) {}
  return 0;
}
