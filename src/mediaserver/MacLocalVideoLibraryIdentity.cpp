#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/MacLocalVideoLibraryImpl.hpp"

#include "platform/crypto/Random.hpp"
#include "platform/text/Text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <span>

namespace pd::mediaserver {
namespace {

constexpr std::int64_t kUnixToReferenceSeconds = 978'307'200;
constexpr std::int64_t kMaxAttributeValue = 16'777'216;

// The shift is made in floating point: a file system may keep any 64-bit second, and the shift of
// one near the bottom of that range would overflow in integers. Below 2^53 seconds both ways give
// the same value, so the ids of ordinary files do not move.
MacLocalVideoLibrary::Date toDate(const statx_timestamp& stamp) {
  return static_cast<double>(stamp.tv_sec) - static_cast<double>(kUnixToReferenceSeconds) +
         static_cast<double>(stamp.tv_nsec) * 1e-9;
}

// A keyed 64-bit hash; the key is drawn once per process, so its values are never stored.
class Hasher {
public:
  Hasher() : state_(seed()) {}
  void feed(std::span<const std::uint8_t> bytes) {
    for (auto b : bytes) {
      state_ = (state_ ^ b) * 0x100000001b3ULL;
    }
  }
  void feed(std::int64_t value) {
    std::array<std::uint8_t, 8> bytes{};
    std::memcpy(bytes.data(), &value, bytes.size());
    feed(bytes);
  }
  void feed(std::string_view text) {
    feed(static_cast<std::int64_t>(text.size()));
    feed(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  std::int64_t finish() const {
    auto z = state_ + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    std::int64_t out = 0;
    std::memcpy(&out, &z, sizeof out);
    return out;
  }

private:
  static std::uint64_t seed() {
    static const std::uint64_t value = [] {
      std::array<std::uint8_t, 8> bytes{};
      platform::crypto::fillRandom(bytes);
      std::uint64_t v = 0;
      std::memcpy(&v, bytes.data(), sizeof v);
      return v | 1;
    }();
    return value;
  }
  std::uint64_t state_;
};

bool sameMetadata(const MacLocalVideoLibrary::ContentVersion& a, const MacLocalVideoLibrary::ContentVersion& b) {
  return a.fileNumber == b.fileNumber && a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

} // namespace

std::optional<FileFacts> FileFacts::at(int directory, const char* path) {
  struct statx info {};
  if (::statx(directory, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return std::nullopt;
  }
  FileFacts facts;
  facts.regular = S_ISREG(info.stx_mode);
  facts.directory = S_ISDIR(info.stx_mode);
  if (info.stx_size > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  facts.size = static_cast<std::int64_t>(info.stx_size);
  facts.modified = toDate(info.stx_mtime);
  facts.changed = toDate(info.stx_ctime);
  if ((info.stx_mask & STATX_BTIME) != 0) {
    facts.created = toDate(info.stx_btime);
  }
  facts.fileNumber = info.stx_ino;
  return facts;
}

std::filesystem::path MacLocalVideoLibrary::standardized(const std::filesystem::path& path) {
  auto normal = (path.is_absolute() ? path : std::filesystem::path("/") / path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  return normal;
}

bool MacLocalVideoLibrary::isInside(const std::filesystem::path& file, const std::filesystem::path& folder) {
  auto prefix = standardized(folder).string();
  if (prefix.empty() || prefix.back() != '/') {
    prefix += '/';
  }
  // Longer than the prefix: the root folder, whose path is its own prefix, is not inside itself.
  const auto path = standardized(file).string();
  return path.size() > prefix.size() && path.starts_with(prefix);
}

std::string MacLocalVideoLibrary::dateText(std::optional<Date> date) {
  std::array<char, 64> buffer{};
  const auto [end, error] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), date.value_or(0.0), std::chars_format::fixed);
  std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
  if (text.find('.') == std::string::npos) {
    text += ".0";
  }
  return text;
}

std::string MacLocalVideoLibrary::fileID(const std::filesystem::path& standardizedPath,
                                         std::optional<std::int64_t> size, std::optional<Date> modified,
                                         std::optional<Date> created, std::optional<Date> changed,
                                         std::optional<std::uint64_t> fileNumber) {
  std::string input = standardizedPath.string();
  input += '\0';
  input += std::to_string(size.value_or(-1));
  input += '\0';
  input += dateText(modified);
  input += '\0';
  input += dateText(created);
  input += '\0';
  input += dateText(changed);
  input += '\0';
  input += std::to_string(fileNumber.value_or(0));
  const auto digest = platform::crypto::sha256(input);
  return "file-" + platform::crypto::toHex(std::span(digest).first(12));
}

bool MacLocalVideoLibrary::isLocalID(std::string_view id) {
  if (!id.starts_with("file-")) {
    return false;
  }
  // Plain ASCII, the form every id the library derives has, is one character per byte: no
  // grapheme breaking needed (a CR LF pair would join into one character, but it is no digit).
  if (std::all_of(id.begin(), id.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return id.size() == 29 && std::all_of(id.begin() + 5, id.end(),
                                          [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  }
  const auto clusters = platform::text::graphemes(id);
  if (clusters.size() != 29) {
    return false;
  }
  return std::all_of(clusters.begin() + 5, clusters.end(), [](const std::u32string& cluster) {
    if (cluster.size() != 1) {
      return false;
    }
    const char32_t c = cluster[0];
    // A hex digit value and not upper-case: ASCII and full-width 0-9 and a-f.
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'\uFF10' && c <= U'\uFF19') ||
           (c >= U'\uFF41' && c <= U'\uFF46');
  });
}

std::optional<std::int64_t> MacLocalVideoLibrary::extendedAttributesHash(const std::filesystem::path& path) {
  if (path.empty()) {
    return std::nullopt;
  }
  const auto listSize = ::llistxattr(path.c_str(), nullptr, 0);
  if (listSize < 0) {
    return std::nullopt;
  }
  Hasher hasher;
  if (listSize == 0) {
    return hasher.finish();
  }
  std::string list(static_cast<std::size_t>(listSize), '\0');
  const auto got = ::llistxattr(path.c_str(), list.data(), list.size());
  if (got < 0) {
    return std::nullopt;
  }
  list.resize(static_cast<std::size_t>(got));
  std::vector<std::pair<std::string, std::string>> names; // (UTF-8 name for order, raw name for calls)
  std::size_t start = 0;
  while (start < list.size()) {
    auto end = list.find('\0', start);
    if (end == std::string::npos) {
      end = list.size();
    }
    if (end > start) {
      auto raw = list.substr(start, end - start);
      names.emplace_back(platform::text::repairedUTF8(raw), std::move(raw));
    }
    start = end + 1;
  }
  // UTF-8 byte order is code point order.
  std::sort(names.begin(), names.end());
  for (const auto& [name, raw] : names) {
    hasher.feed(std::string_view(name));
    const auto size = ::lgetxattr(path.c_str(), raw.c_str(), nullptr, 0);
    hasher.feed(static_cast<std::int64_t>(size));
    if (size < 1 || size > kMaxAttributeValue) {
      continue;
    }
    std::vector<std::uint8_t> value(static_cast<std::size_t>(size));
    const auto length = ::lgetxattr(path.c_str(), raw.c_str(), value.data(), value.size());
    hasher.feed(static_cast<std::int64_t>(length));
    if (length > 0) {
      hasher.feed(std::span(value).first(std::min(static_cast<std::size_t>(length), value.size())));
    }
  }
  return hasher.finish();
}

std::optional<MacLocalVideoLibrary::ContentVersion>
MacLocalVideoLibrary::ContentVersion::read(const std::filesystem::path& path, bool includeExtendedAttributes) {
  auto quick = [&]() -> std::optional<ContentVersion> {
    const auto facts = FileFacts::at(AT_FDCWD, path.c_str());
    if (!facts || !facts->regular) {
      return std::nullopt;
    }
    return ContentVersion{facts->fileNumber, facts->size, facts->modified, facts->changed, std::nullopt};
  };
  if (!includeExtendedAttributes) {
    return quick();
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto first = quick();
    if (!first) {
      return std::nullopt;
    }
    const auto hash = extendedAttributesHash(path);
    const auto second = quick();
    if (!second) {
      return std::nullopt;
    }
    if (*first == *second) {
      first->extendedAttributes = hash;
      return first;
    }
  }
  return std::nullopt;
}

std::optional<MacLocalVideoLibrary::ContentVersion> MacLocalVideoLibrary::probe(const std::filesystem::path& path,
                                                                                std::string_view id) {
  const auto facts = FileFacts::at(AT_FDCWD, path.c_str());
  if (!facts || !facts->regular || ::access(path.c_str(), R_OK) != 0) {
    return std::nullopt;
  }
  if (fileID(standardized(path), facts->size, facts->modified, facts->created, facts->changed, facts->fileNumber) !=
      id) {
    return std::nullopt;
  }
  auto full = ContentVersion::read(path, true);
  if (!full || full->fileNumber != facts->fileNumber || full->size != facts->size ||
      full->modified != facts->modified || full->changed != facts->changed) {
    return std::nullopt;
  }
  return full;
}

bool MacLocalVideoLibrary::ServingVersionGuard::matches(const std::filesystem::path& path) {
  const auto now = ContentVersion::read(path, false);
  if (!now) {
    return false;
  }
  const auto base = baseline();
  if (sameMetadata(*now, base)) {
    return true;
  }
  if (!base.extendedAttributes) {
    return false;
  }
  auto full = ContentVersion::read(path, true);
  if (!full || full->fileNumber != base.fileNumber || full->size != base.size || full->modified != base.modified ||
      !full->extendedAttributes || full->extendedAttributes == base.extendedAttributes) {
    return false;
  }
  {
    std::scoped_lock guard(lock_);
    baseline_ = *full;
  }
  return true;
}

MacLocalVideoLibrary::ContentVersion MacLocalVideoLibrary::ServingVersionGuard::baseline() const {
  std::scoped_lock guard(lock_);
  return baseline_;
}

} // namespace pd::mediaserver
