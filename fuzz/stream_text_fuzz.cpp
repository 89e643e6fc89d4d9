// Feeds arbitrary text to the stream selection's text rules: lenient integers (as a JSON string
// and as raw JSON), quality labels, codecs parameters, resolutions and video ids. Each must give
// a value or none, and what it gives must read back the same.

#include "platform/json/Document.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using pd::platform::json::DecodingError;
using pd::platform::json::Document;
using pd::remotesource::InvidiousVideoSource;
using pd::remotesource::VideoSourceError;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto label = std::optional<std::string>(text);

  const auto quality = InvidiousVideoSource::leadingInteger(label);
  if (quality < 0) __builtin_trap();
  if (quality > 0 && !text.starts_with(std::to_string(quality)) && text.front() != '0') __builtin_trap();

  if (const auto codecs = InvidiousVideoSource::codecsParameter(text)) {
    if (codecs->find('"') != std::string::npos || codecs->size() >= text.size()) __builtin_trap();
  }
  if (const auto resolution = InvidiousVideoSource::normalizedResolution(label)) {
    if (InvidiousVideoSource::normalizedResolution(resolution) != resolution) __builtin_trap();
  }
  try {
    const auto id = InvidiousVideoSource::validatedVideoID(text);
    if (id.empty() || id.size() > text.size()) __builtin_trap();
  } catch (const VideoSourceError&) {}

  const auto asString =
      Document::parse(nlohmann::json{{"k", text}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (const auto value = InvidiousVideoSource::decodeLenientInt64(asString.root(), "k")) {
    const auto again = Document::parse("{\"k\":\"" + std::to_string(*value) + "\"}");
    if (InvidiousVideoSource::decodeLenientInt64(again.root(), "k") != value) __builtin_trap();
  }
  try {
    const auto raw = Document::parse("{\"k\":" + text + "}");
    (void)InvidiousVideoSource::decodeLenientInt64(raw.root(), "k");
  } catch (const DecodingError&) {}
  return 0;
}
