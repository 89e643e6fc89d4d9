#pragma once

// Unicode text operations on UTF-8 strings, for file names and queries typed by a user. Input
// that is not valid UTF-8 is repaired (each ill-formed sequence becomes U+FFFD) before anything
// else, so every result is valid UTF-8. Trimming and lower-casing are in Trim.hpp.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::text {

// The bytes as UTF-8, ill-formed sequences replaced by U+FFFD.
std::string repairedUTF8(std::string_view bytes);

// Pieces between runs of Unicode White_Space characters (U+3000 included); no empty pieces.
std::vector<std::string> splitOnWhitespace(std::string_view text);

// Full-width forms to their half-width counterparts (and half-width katakana to full-width, as the
// transform is defined). Canonically equivalent texts give the same result. None when the
// transform cannot be made.
std::optional<std::string> fullwidthToHalfwidth(std::string_view text);

// Canonical composition, so that canonically equivalent texts compare equal bytewise.
std::string nfc(std::string_view text);

// User-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);

// The code points of each grapheme cluster, in order.
std::vector<std::u32string> graphemes(std::string_view text);

// The order a file browser shows names in: the user's locale, numbers by value, case and width
// ignored. Names that differ in any way never compare equal, so a sort is deterministic.
class FileNameOrder {
public:
  // The process's default locale (from the environment); C or POSIX orders as no language does.
  FileNameOrder();
  ~FileNameOrder();
  FileNameOrder(const FileNameOrder&) = delete;
  FileNameOrder& operator=(const FileNameOrder&) = delete;

  // Negative, zero or positive as a sorts before, with or after b.
  int compare(std::string_view a, std::string_view b) const;

  // Bytes whose order is compare()'s: key(a) < key(b) exactly when a sorts before b. Made once
  // per name, they spare a sort the collation of both names at every comparison.
  std::string sortKey(std::string_view name) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::text
