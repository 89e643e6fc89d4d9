#include "ui/sender/DropIntake.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/text/Ascii.hpp"
#include "platform/text/PercentEncoding.hpp"
#include "runtime/Error.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

namespace pd::ui {

namespace {

using diagnostics::Log;
using diagnostics::LogErrorFields;

constexpr std::size_t kMaxNameBytes = 255; // NAME_MAX of the common file systems

std::string_view deckRaw(Deck deck) noexcept { return deck == Deck::a ? "A" : "B"; }

std::string joined(const std::vector<std::string>& formats) {
  std::string text;
  for (const auto& format : formats) {
    if (!text.empty()) text += '/';
    text += format;
  }
  return text;
}

using platform::text::asciiStartsWithIgnoreCase;

void logRejected(std::string_view reason) { Log::localvideo().notice("dnd_reject reason=%{public}s", reason); }

// The file-URL road: the dropped file itself, when it is a video.
DropPlan planFileURL(const DropOffer& offer, const MediaTypes& types) {
  const auto file = firstLocalFile(offer.uriList);
  if (!file) {
    Log::localvideo().error("dnd_resolve_fail reason=url_resolve item=%s err_domain=%{public}s err_code=%ld error=%s",
                            firstUriListItem(offer.uriList), "-", 0L, "nil");
    return {DropPlan::Road::dropped, {}, {}, {}};
  }
  const std::string name = lastPathComponent(file->native());
  const auto named = typeOfFileName(name, types);
  if (named.isVideo) {
    Log::localvideo().notice("dnd_resolve_ok kind=file_url file=%s", file->string());
    return {DropPlan::Road::fileURL, *file, name, {}};
  }
  Log::localvideo().notice("dnd_reject reason=not_video type=%{public}s file=%s", named.type.value_or("unknown"), name);
  return {DropPlan::Road::notVideo, *file, name, {}};
}

} // namespace

NamedType typeOfFileName(std::string_view fileName, const MediaTypes& types) {
  auto type = types.typeForFileName(fileName);
  const bool isVideo = type && types.isVideo(*type);
  return {std::move(type), isVideo};
}

std::string lastPathComponent(std::string_view path) {
  const auto end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return std::string(path);
  const auto slash = path.find_last_of('/', end);
  const auto start = slash == std::string_view::npos ? 0 : slash + 1;
  return std::string(path.substr(start, end + 1 - start));
}

DropPlan planDrop(const SendGate& gate, const DropOffer& offer, Deck target, const MediaTypes& types) {
  if (const auto reason = gate.dropRejectReason()) {
    logRejected(*reason);
    return {};
  }
  if (offer.formats.empty()) {
    Log::localvideo().error("dnd_resolve_fail reason=no_provider");
    return {};
  }
  Log::localvideo().notice("dnd_drop target=%{public}s types=%{public}s", deckRaw(target), joined(offer.formats));
  if (std::find(offer.formats.begin(), offer.formats.end(), kUriListFormat) != offer.formats.end()) {
    return planFileURL(offer, types);
  }
  for (const auto& format : offer.formats) {
    if (!types.isVideo(format)) continue;
    Log::localvideo().debug("dnd_resolve_attempt type=%{public}s", format);
    return {DropPlan::Road::copy, {}, copyFileName(offer.suggestedName, types.preferredSuffix(format)), format};
  }
  Log::localvideo().error("dnd_resolve_fail reason=no_supported_type");
  return {};
}

std::string firstUriListItem(std::string_view uriList) {
  std::size_t start = 0;
  while (start < uriList.size()) {
    auto end = uriList.find('\n', start);
    if (end == std::string_view::npos) end = uriList.size();
    std::string_view line = uriList.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    return std::string(line);
  }
  return {};
}

std::optional<std::filesystem::path> firstLocalFile(std::string_view uriList) {
  const std::string item = firstUriListItem(uriList);
  std::string_view rest = item;
  if (!asciiStartsWithIgnoreCase(rest, "file:")) return std::nullopt;
  rest.remove_prefix(5);
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !platform::text::asciiEqualsIgnoreCase(host, "localhost")) return std::nullopt;
    rest.remove_prefix(slash);
  }
  // A query or fragment has no place in a file's address.
  if (!rest.starts_with('/') || rest.find_first_of("?#") != std::string_view::npos) return std::nullopt;
  auto path = platform::text::percentDecoded(rest);
  // A NUL would end the name early at the system's interfaces, naming another file.
  if (!path || path->find('\0') != std::string::npos) return std::nullopt;
  return std::filesystem::path(*path);
}

std::string copyFileName(std::string_view suggestedName, std::string_view preferredSuffix) {
  const auto slash = suggestedName.find_last_of('/');
  const std::string_view last = slash == std::string_view::npos ? suggestedName : suggestedName.substr(slash + 1);
  const bool usable = !last.empty() && last != "." && last != ".." && last.find('\0') == std::string_view::npos &&
                      last.size() <= kMaxNameBytes;
  if (usable) return std::string(last);
  std::string name = "video";
  const bool suffixUsable = !preferredSuffix.empty() && preferredSuffix.size() < kMaxNameBytes - name.size() &&
                            preferredSuffix.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
  if (suffixUsable) name += "." + std::string(preferredSuffix);
  return name;
}

std::optional<sender::CopyRefusal> refuseCopy(std::int64_t size, std::optional<std::int64_t> available) {
  const auto refuse = [size](sender::CopyRefusal refusal, std::string_view reason, std::int64_t limit) {
    Log::localvideo().notice("dnd_reject reason=%{public}s size_b=%lld limit_b=%lld", reason, size, limit);
    return refusal;
  };
  if (size > sender::kLargestTemporaryVideoBytes) {
    return refuse(sender::CopyRefusal::tooLarge, "too_large", sender::kLargestTemporaryVideoBytes);
  }
  if (available && size > *available) return refuse(sender::CopyRefusal::noSpace, "no_space", *available);
  return std::nullopt;
}

std::optional<std::filesystem::path> writeTemporaryCopy(const std::filesystem::path& temporaryFolder,
                                                        const std::string& fileName, std::string_view bytes) {
  if (bytes.empty()) {
    Log::localvideo().error("dnd_resolve_fail reason=file_representation err_domain=%{public}s err_code=%ld error=%s",
                            "-", 0L, "url_missing");
    return std::nullopt;
  }
  const auto folder = temporaryFolder / (std::string(kDropFolderPrefix) + platform::crypto::makeUUIDString());
  bool made = false;
  try {
    // A new folder and a new file: nothing that already exists is written through.
    if (::mkdir(folder.c_str(), 0700) != 0) throw PosixError(errno, "mkdir");
    made = true;
    const auto copy = folder / fileName;
    if (copy.parent_path() != folder) throw PosixError(EINVAL, "copy name");
    const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw PosixError(errno, "open");
    std::size_t written = 0;
    int failure = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failure = n < 0 ? errno : EIO;
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure != 0) throw PosixError(failure, "write");
    Log::localvideo().notice("dnd_resolve_ok kind=temp_copy file=%s", copy.string());
    return copy;
  } catch (const std::exception& error) {
    const auto fields = LogErrorFields::fields(error, true);
    Log::localvideo().error("temp_copy_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                            fields.detail);
    // What was written is no use to anyone, and on a full disk it keeps the disk full.
    std::error_code ignored;
    if (made) std::filesystem::remove_all(folder, ignored);
    return std::nullopt;
  }
}

} // namespace pd::ui
