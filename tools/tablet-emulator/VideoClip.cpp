#include "tablet-emulator/VideoClip.hpp"

#include "tablet-emulator/VideoDatagram.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pd::tools::tablet {

VideoClip prepareClip(ByteSpan annexB, std::size_t payloadSize) {
  VideoClip clip;
  const auto units = groupAccessUnits(splitAnnexB(annexB));
  for (const AccessUnit& unit : units) {
    if (!unit.hasPicture) {
      ++clip.skippedWithoutPicture;
      continue;
    }
    Bytes bytes = toLengthPrefixed(unit);
    if (checkFragmentable(bytes.size(), payloadSize) != FragmentResult::Error::none) {
      ++clip.skippedOversize;
      continue;
    }
    const bool keyframe = unit.isRandomAccess && unit.hasParameterSets;
    if (clip.accessUnits.empty()) {
      clip.startsWithKeyframe = keyframe;
    }
    clip.keyframes += keyframe ? 1 : 0;
    clip.largestAccessUnit = std::max(clip.largestAccessUnit, bytes.size());
    clip.accessUnits.push_back(std::move(bytes));
  }
  return clip;
}

Bytes readFileBounded(const std::string& path, std::size_t maxBytes) {
  auto fail = [&](const char* what, int err) {
    throw std::runtime_error(path + ": " + what + (err != 0 ? std::string(": ") + std::strerror(err) : ""));
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fail("cannot open", errno);
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    fail("cannot stat", errno);
  }
  if (!S_ISREG(info.st_mode)) {
    fail("not a regular file", 0);
  }
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > maxBytes) {
    fail("file too large", 0);
  }
  Bytes data(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t got = ::read(fd, data.data() + done, data.size() - done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail("read failed", errno);
    }
    if (got == 0) {
      data.resize(done); // the file shrank while we read it
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  return data;
}

} // namespace pd::tools::tablet
