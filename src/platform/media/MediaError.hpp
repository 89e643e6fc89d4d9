#pragma once

#include "runtime/Error.hpp"

#include <string>

namespace pd::platform::media {

// A failure reported by FFmpeg. Code: FFmpeg's error number (negative; AVERROR(e) is -e for an
// errno value e); detail: the context and FFmpeg's description. Where the number is an errno
// value, the error is thrown with the matching PosixError nested beneath it.
class MediaError : public Error {
public:
  MediaError(int averror, const std::string& context);
};

} // namespace pd::platform::media
