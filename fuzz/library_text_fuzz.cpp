// The local library's handling of text from the tablet and from file names on arbitrary bytes:
// id validation, query terms and name matching, folder containment. Nothing may crash or hit
// undefined behaviour, and what they answer must hold together.

#include "mediaserver/MacLocalVideoLibrary.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using pd::mediaserver::MacLocalVideoLibrary;

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (MacLocalVideoLibrary::isLocalID(input)) {
    check(input.starts_with("file-") && input.size() >= 29);
  }

  // A NUL splits the input into a query (or folder) and a file name (or file path).
  const auto cut = input.find('\0');
  const auto first = input.substr(0, cut);
  const auto second = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

  const auto terms = MacLocalVideoLibrary::searchTerms(first);
  for (const auto& term : terms) {
    check(!term.empty());
  }
  const bool matched = MacLocalVideoLibrary::nameMatches(second, terms);
  check(!matched || MacLocalVideoLibrary::nameMatches(second, {}));
  check(MacLocalVideoLibrary::nameMatches(second, {}));

  const std::string folder(first);
  const std::string file(second);
  check(!MacLocalVideoLibrary::isInside(folder, folder));
  if (MacLocalVideoLibrary::isInside(file, folder)) {
    check(MacLocalVideoLibrary::standardized(file).string().size() >
          MacLocalVideoLibrary::standardized(folder).string().size());
  }
  return 0;
}
