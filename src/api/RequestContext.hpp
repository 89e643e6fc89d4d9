#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pd::api {

// What every route and commit of one API request shares: its operation id for the log lines, and
// the session generation read when its token was accepted. A request that carries no generation is
// treated as one whose session has changed.
struct RequestContext {
  std::string op;
  std::optional<std::int64_t> generation;
};

} // namespace pd::api
