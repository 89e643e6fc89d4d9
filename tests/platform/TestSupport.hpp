#pragma once

// Scratch folders and environment overrides for the platform tests.

#include "runtime/Error.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <locale.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pd::testing {

// A fresh folder under the build's temporary area, removed with everything in it.
class TempDirectory {
public:
  TempDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/pdtest-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
  }
  ~TempDirectory() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
  std::filesystem::path path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the life of the scope.
class ScopedEnvironment {
public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    apply(value);
  }
  ~ScopedEnvironment() { apply(previous_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
  void apply(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> previous_;
};

// A locale compiled for the test from glibc's sources into a private folder, found through
// LOCPATH while this lives, so that tests need not find one installed. made() is false where
// localedef or the sources (package locales) are missing.
class CompiledLocale {
public:
  CompiledLocale(const std::string& source, const std::string& charmap) : name_(source + "." + charmap) {
    const std::string command =
        "localedef -i " + source + " -f " + charmap + " '" + (folder_ / name_).string() + "' >/dev/null 2>&1";
    made_ = std::system(command.c_str()) == 0;
  }
  const std::string& name() const noexcept { return name_; }
  bool made() const noexcept { return made_; }

private:
  TempDirectory folder_;
  ScopedEnvironment path_{"LOCPATH", folder_.path().string()};
  std::string name_;
  bool made_ = false;
};

// Puts the calling thread in a compiled locale, so that C-library calls which follow the locale
// behave as for a user of it. available() is false where it could not be made.
class ScopedThreadLocale {
public:
  ScopedThreadLocale(const std::string& source, const std::string& charmap) : compiled_(source, charmap) {
    if (!compiled_.made()) return;
    locale_ = ::newlocale(LC_ALL_MASK, compiled_.name().c_str(), nullptr);
    if (locale_ != nullptr) previous_ = ::uselocale(locale_);
  }
  ~ScopedThreadLocale() {
    if (locale_ == nullptr) return;
    ::uselocale(previous_);
    ::freelocale(locale_);
  }
  ScopedThreadLocale(const ScopedThreadLocale&) = delete;
  ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

  bool available() const noexcept { return locale_ != nullptr; }

private:
  CompiledLocale compiled_;
  locale_t locale_ = nullptr;
  locale_t previous_ = nullptr;
};

inline void writeText(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::string text(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

inline std::vector<std::string> fileNames(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Leaves the process no free descriptor for the life of the scope, whoever runs it (root
// included): the soft limit is cut to just above the descriptors open now and the rest is
// filled. Every open, accept or socket call then fails with EMFILE.
class ExhaustedDescriptors {
public:
  ExhaustedDescriptors() {
    if (::getrlimit(RLIMIT_NOFILE, &previous_) != 0) throw std::runtime_error("getrlimit failed");
    int highest = 2;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    rlimit tight = previous_;
    // At least one filler, so that releaseOne() has something to give back.
    tight.rlim_cur = static_cast<rlim_t>(highest) + 2;
    if (::setrlimit(RLIMIT_NOFILE, &tight) != 0) throw std::runtime_error("setrlimit failed");
    fillers_.reserve(64);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
  }
  ~ExhaustedDescriptors() {
    for (int fd : fillers_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &previous_);
  }
  ExhaustedDescriptors(const ExhaustedDescriptors&) = delete;
  ExhaustedDescriptors& operator=(const ExhaustedDescriptors&) = delete;

  void releaseOne() {
    ::close(fillers_.back());
    fillers_.pop_back();
  }

private:
  rlimit previous_{};
  std::vector<int> fillers_;
};

// The close-on-exec flag of each socket of this process bound to port, in descriptor order: a
// program this process starts inherits the sockets without it.
inline std::vector<bool> closeOnExecOfSocketsOn(std::uint16_t port) {
  std::vector<std::pair<int, bool>> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
    std::uint16_t bound = 0;
    if (address.ss_family == AF_INET) {
      bound = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    } else if (address.ss_family == AF_INET6) {
      bound = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    if (bound == port) found.emplace_back(fd, (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
  }
  std::sort(found.begin(), found.end());
  std::vector<bool> flags;
  for (const auto& [fd, flag] : found) flags.push_back(flag);
  return flags;
}

// The errno of the PosixError that f throws; 0 when it throws none.
inline int errnoOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const PosixError& e) {
    return e.errnum();
  }
  return 0;
}

} // namespace pd::testing
