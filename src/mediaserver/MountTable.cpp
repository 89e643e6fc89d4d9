#include "mediaserver/MountTable.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <mutex>

namespace pd::mediaserver {

namespace {

std::string decodeOctalEscapes(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](std::size_t k) { return field[k] >= '0' && field[k] <= '7'; };
    if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

class ProcessMounts {
public:
  std::string volumeOf(std::string_view path) {
    std::scoped_lock lock(mutex_);
    refreshIfChanged();
    return MountTable::longestPrefix(points_, path);
  }

private:
  void refreshIfChanged() {
    if (fd_ < 0) {
      fd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) {
        return;
      }
      read();
      return;
    }
    pollfd watch{fd_, POLLPRI, 0};
    if (::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLERR | POLLPRI)) != 0) {
      read();
    }
  }

  void read() {
    std::string text;
    std::array<char, 16384> buffer{};
    if (::lseek(fd_, 0, SEEK_SET) < 0) {
      return;
    }
    while (true) {
      const auto n = ::read(fd_, buffer.data(), buffer.size());
      if (n <= 0) {
        break;
      }
      text.append(buffer.data(), static_cast<std::size_t>(n));
    }
    points_ = MountTable::parseMountPoints(text);
  }

  std::mutex mutex_;
  int fd_ = -1;
  std::vector<std::string> points_;
};

} // namespace

std::vector<std::string> MountTable::parseMountPoints(std::string_view mountinfo) {
  std::vector<std::string> points;
  while (!mountinfo.empty()) {
    const auto newline = mountinfo.find('\n');
    auto line = mountinfo.substr(0, newline);
    mountinfo = newline == std::string_view::npos ? std::string_view() : mountinfo.substr(newline + 1);
    // Fields: id, parent id, major:minor, root, mount point, ...
    for (int field = 0; field < 4; ++field) {
      const auto space = line.find(' ');
      line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    const auto point = line.substr(0, line.find(' '));
    if (!point.empty() && point.front() == '/') {
      points.push_back(decodeOctalEscapes(point));
    }
  }
  return points;
}

std::string MountTable::longestPrefix(const std::vector<std::string>& mountPoints, std::string_view path) {
  std::string_view best = "/";
  for (const auto& point : mountPoints) {
    std::string_view candidate = point;
    while (candidate.size() > 1 && candidate.back() == '/') {
      candidate.remove_suffix(1);
    }
    if (candidate.size() <= best.size() || candidate.size() > path.size() || !path.starts_with(candidate)) {
      continue;
    }
    if (path.size() == candidate.size() || path[candidate.size()] == '/') {
      best = candidate;
    }
  }
  return std::string(best);
}

std::string MountTable::volumeOf(std::string_view normalPath) {
  static ProcessMounts* const mounts = new ProcessMounts();
  return mounts->volumeOf(normalPath);
}

} // namespace pd::mediaserver
