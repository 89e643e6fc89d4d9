#pragma once

// One GET with the curl CLI, as a client independent of our own HTTP code sees the answer.

#include "platform/TestSupport.hpp"

#include <cstdlib>
#include <string>
#include <utility>

namespace pd::testing {

// The status ("curl failed" when curl could not run) and the body.
inline std::pair<std::string, std::string> curlGet(const std::string& url) {
  TempDirectory folder;
  const std::string command = "curl -s -o '" + (folder / "body").string() + "' -w '%{http_code}' '" + url + "' > '" +
                              (folder / "status").string() + "'";
  if (std::system(command.c_str()) != 0) return {"curl failed", ""};
  return {readText(folder / "status"), readText(folder / "body")};
}

} // namespace pd::testing
