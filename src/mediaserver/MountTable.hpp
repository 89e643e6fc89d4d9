#pragma once

// The process's mount points, read from /proc/self/mountinfo and read again only when the kernel
// reports that the table changed (a zero-timeout poll on the open file), so a lookup costs no
// file system access on the serving path.

#include <string>
#include <string_view>
#include <vector>

namespace pd::mediaserver {

class MountTable {
public:
  // The mount points of a mountinfo text, octal escapes ("\040" for a space) decoded. Lines that
  // do not have the field are skipped.
  static std::vector<std::string> parseMountPoints(std::string_view mountinfo);
  // The longest mount point that is the path or one of its ancestors; "/" when none is. The path
  // must be absolute and lexically normal.
  static std::string longestPrefix(const std::vector<std::string>& mountPoints, std::string_view path);

  // The process-wide table; thread-safe.
  static std::string volumeOf(std::string_view normalPath);
};

} // namespace pd::mediaserver
