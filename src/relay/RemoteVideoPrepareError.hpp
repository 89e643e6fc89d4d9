#pragma once

#include "runtime/Error.hpp"

#include <string>

namespace pd::relay {

// A loopback read of the own HTTP server answered with a status other than 200 or 206 (the
// payload), or with no HTTP answer at all (-1). Domain "RemoteVideoPrepareError", code 0.
class RemoteVideoPrepareError : public Error {
public:
  static RemoteVideoPrepareError sidxFetchFailed(long status) { return RemoteVideoPrepareError(status); }

  long status() const noexcept { return status_; }
  friend bool operator==(const RemoteVideoPrepareError& a, const RemoteVideoPrepareError& b) noexcept {
    return a.status_ == b.status_;
  }

private:
  explicit RemoteVideoPrepareError(long status)
      : Error("RemoteVideoPrepareError", 0, "sidxFetchFailed(status: " + std::to_string(status) + ")"),
        status_(status) {}
  long status_;
};

} // namespace pd::relay
