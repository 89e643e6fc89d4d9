#include "platform/paths/Paths.hpp"

#include "platform/paths/FileDescriptor.hpp"
#include "runtime/Error.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef PD_APP_ID
#error "PD_APP_ID must be defined by the build"
#endif

namespace pd::platform::paths {

namespace fs = std::filesystem;

namespace {

// An XDG variable counts only when set to an absolute path.
std::optional<fs::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return fs::path(value);
}

std::optional<fs::path> xdgOrHome(const char* variable, const char* underHome) {
  if (auto dir = absoluteFromEnvironment(variable)) return dir;
  if (auto home = homeDirectory()) return *home / underHome;
  return std::nullopt;
}

std::optional<fs::path> withApplicationID(std::optional<fs::path> base) {
  if (!base) return std::nullopt;
  return *base / std::string(applicationID());
}

// A runtime folder must be the user's alone. One inherited through su or sudo belongs to
// someone else, and in one that others can write they can take our name first.
bool isOwnUnsharedDirectory(const fs::path& dir) {
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The temporary's name is the file's plus 8 bytes: a name near NAME_MAX is cut for it (at a
// character's start), or a file whose name the folder takes could never be written.
std::string temporaryStem(const fs::path& file) {
  constexpr std::size_t kLongestStem = NAME_MAX - 8;
  std::string stem = file.filename().string();
  if (stem.size() > kLongestStem) {
    std::size_t cut = kLongestStem;
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    stem.resize(cut);
  }
  return stem;
}

// ".<stem>.XXXXXX", the X being what mkstemp puts there.
bool isTemporaryName(std::string_view name, std::string_view stem) {
  if (name.size() != stem.size() + 8 || name.front() != '.' || name.substr(1, stem.size()) != stem ||
      name[stem.size() + 1] != '.') {
    return false;
  }
  for (const char c : name.substr(stem.size() + 2)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

fs::path sharedTemporaryBase() {
  if (auto dir = absoluteFromEnvironment("TMPDIR")) return *dir;
  return "/tmp";
}

} // namespace

std::string_view applicationID() noexcept { return PD_APP_ID; }

std::optional<fs::path> homeDirectory() { return absoluteFromEnvironment("HOME"); }

std::optional<fs::path> userApplicationSupportDirectory() { return xdgOrHome("XDG_DATA_HOME", ".local/share"); }
std::optional<fs::path> userCachesDirectory() { return xdgOrHome("XDG_CACHE_HOME", ".cache"); }
std::optional<fs::path> userConfigDirectory() { return xdgOrHome("XDG_CONFIG_HOME", ".config"); }
std::optional<fs::path> userRuntimeDirectory() { return absoluteFromEnvironment("XDG_RUNTIME_DIR"); }

std::optional<fs::path> applicationSupportDirectory() { return withApplicationID(userApplicationSupportDirectory()); }
std::optional<fs::path> cachesDirectory() { return withApplicationID(userCachesDirectory()); }
std::optional<fs::path> configDirectory() { return withApplicationID(userConfigDirectory()); }

void createPrivateDirectories(const fs::path& dir, std::error_code& ec) {
  ec.clear();
  const auto lastError = [&ec] { ec = std::error_code(errno != 0 ? errno : EIO, std::generic_category()); };
  // The deepest folder that exists; those below it are made from the top down.
  std::vector<fs::path> missing;
  for (fs::path at = dir;;) {
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) ec = std::make_error_code(std::errc::not_a_directory);
      break;
    }
    if (errno != ENOENT) return lastError();
    missing.push_back(at);
    const fs::path parent = at.parent_path();
    if (parent.empty() || parent == at) break;
    at = parent;
  }
  if (ec) return;
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return lastError();
  }
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    struct stat st {};
    // A link the user put at the name is theirs to keep; whatever it names is not ours to change.
    if ((err == ELOOP || err == ENOTDIR) && ::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return;
    ec = std::error_code(err, std::generic_category());
    return;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return lastError();
  // A sticky folder is shared by design (/tmp, whose owner we are when we run as root), never
  // one an open umask left. A failed tightening (a read-only file system) leaves the folder as
  // usable as it was.
  if (st.st_uid == ::geteuid() && (st.st_mode & S_ISVTX) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    (void)::fchmod(fd.get(), 0700);
  }
}

void ensurePrivateDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    throw PosixError(errno, "mkdir " + dir.string());
  }
  // O_NOFOLLOW makes the check and the use one step: a link put in place between mkdir and
  // here is refused rather than followed.
  FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    struct stat st {};
    if ((err == ELOOP || err == ENOTDIR) && ::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      throw PosixError(ELOOP, "refusing symbolic link " + dir.string());
    }
    throw PosixError(err, "open " + dir.string());
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) throw PosixError(errno, "fstat " + dir.string());
  if (!S_ISDIR(st.st_mode)) throw PosixError(ENOTDIR, dir.string());
  if (st.st_uid != ::geteuid()) {
    throw PosixError(EPERM, "refusing " + dir.string() + " owned by uid " + std::to_string(st.st_uid));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    // Someone else may already have put files in it: unusable, not repairable.
    throw PosixError(EPERM, "refusing group- or world-writable " + dir.string());
  }
  if ((st.st_mode & 07777) != 0700 && ::fchmod(fd.get(), 0700) != 0) {
    throw PosixError(errno, "chmod " + dir.string());
  }
}

fs::path privateTemporaryDirectory() {
  // Not under $XDG_RUNTIME_DIR: that is a small tmpfs, and temporary files here include
  // copies of dropped videos and downloaded audio.
  const fs::path shared = sharedTemporaryBase() / (std::string(applicationID()) + "-" + std::to_string(::geteuid()));
  try {
    ensurePrivateDirectory(shared);
    return shared;
  } catch (const PosixError&) {
    // Another user may have taken the name in the shared folder first; the user's own
    // caches folder cannot be taken that way.
    const auto caches = cachesDirectory();
    if (!caches) throw;
    std::error_code ec;
    createPrivateDirectories(*caches, ec);
    if (ec) throw;
    const fs::path fallback = *caches / "tmp";
    ensurePrivateDirectory(fallback);
    return fallback;
  }
}

fs::path runtimeDirectory() {
  if (auto base = userRuntimeDirectory(); base && isOwnUnsharedDirectory(*base)) {
    const fs::path dir = *base / std::string(applicationID());
    ensurePrivateDirectory(dir);
    return dir;
  }
  return privateTemporaryDirectory();
}

void writeFileAtomically(const fs::path& file, std::string_view contents, unsigned mode) {
  replaceFileAtomically(file, mode, [contents](int fd) {
    std::size_t done = 0;
    while (done < contents.size()) {
      const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw PosixError(errno, "write");
      }
      done += static_cast<std::size_t>(n);
    }
  });
}

void replaceFileAtomically(const fs::path& file, unsigned mode, const std::function<void(int fd)>& write) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  std::string pattern = (dir / ("." + temporaryStem(file) + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');

  FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (fd.get() < 0) throw PosixError(errno, "mkstemp " + pattern);
  const std::string tempPath(name.data());

  const auto fail = [&](int err, const std::string& what) {
    ::unlink(tempPath.c_str());
    throw PosixError(err, what + " " + tempPath);
  };

  try {
    write(fd.get());
  } catch (...) {
    ::unlink(tempPath.c_str());
    throw;
  }
  if (::fchmod(fd.get(), static_cast<mode_t>(mode & 07777)) != 0) fail(errno, "chmod");
  if (::fsync(fd.get()) != 0) fail(errno, "fsync");
  if (fd.release() != 0) fail(errno, "close");
  if (::rename(tempPath.c_str(), file.c_str()) != 0) fail(errno, "rename to " + file.string() + " from");

  // The rename itself is durable only once the folder is synced. Failing that is not a
  // failure of the write: the new contents are in place for every reader.
  FileDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
}

void removeStaleTemporaryFiles(const fs::path& file, std::chrono::nanoseconds age) {
  const fs::path dir = file.has_parent_path() ? file.parent_path() : fs::path(".");
  const std::string stem = temporaryStem(file);
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return;
  DIR* const listing = ::fdopendir(dirFd); // owns dirFd from here
  if (listing == nullptr) {
    ::close(dirFd);
    return;
  }
  const auto olderThan = std::chrono::system_clock::now() - age;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (!isTemporaryName(name, stem)) continue;
    struct stat st {};
    if (::fstatat(::dirfd(listing), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    const auto changed =
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    if (changed < olderThan) ::unlinkat(::dirfd(listing), entry->d_name, 0);
  }
  ::closedir(listing);
}

} // namespace pd::platform::paths
