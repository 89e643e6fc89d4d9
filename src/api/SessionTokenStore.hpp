#pragma once

// The session token the tablet must present with every API request, and its generation. The
// two change together, so a reader that needs both takes them in one snapshot.

#include <cstdint>
#include <mutex>
#include <string>

namespace pd::api {

class SessionTokenStore {
public:
  struct Snapshot {
    std::string token;
    std::int64_t generation = 0;
  };

  // A fresh token (32 lower-case hexadecimal digits) at generation 0.
  SessionTokenStore();
  SessionTokenStore(const SessionTokenStore&) = delete;
  SessionTokenStore& operator=(const SessionTokenStore&) = delete;

  // Any thread.
  Snapshot current() const;
  std::int64_t generation() const;
  // Replaces the token and raises the generation in one step; answers the new pair.
  Snapshot rotate();

private:
  mutable std::mutex lock_;
  std::string token_;
  std::int64_t generation_ = 0;
};

} // namespace pd::api
