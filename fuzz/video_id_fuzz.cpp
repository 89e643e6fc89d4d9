// Feeds arbitrary text to the video-link reader and the id check. Besides not crashing, a valid id
// must come back out of every kind of link built around it, and the check must agree with its
// alphabet.

#include "remotesource/VideoID.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using pd::remotesource::extractVideoID;
using pd::remotesource::isValidVideoID;

namespace {

bool inAlphabet(std::string_view id) {
  for (const char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  (void)extractVideoID(text);
  const bool valid = isValidVideoID(text);
  if (valid != (text.size() == 11 && inAlphabet(text))) __builtin_trap();
  if (extractVideoID(text) && valid) __builtin_trap(); // a bare id is words, not a link

  if (valid) {
    for (const std::string& link : {"https://youtu.be/" + text, "youtube.com/watch?x=1&v=" + text,
                                    "M.YouTube.com/shorts/" + text + "/", "https://www.youtube.com/embed/" + text}) {
      if (extractVideoID(link) != text) __builtin_trap();
    }
  }
  return 0;
}
