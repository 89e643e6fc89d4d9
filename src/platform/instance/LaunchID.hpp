#pragma once

#include <string>

namespace pd::platform::instance {

// This launch's id: an upper-case UUID (36 characters), made once per process on first use;
// every thread reads the same value. It lives this low because the log ring names the
// launch's folder after it before anything above diagnostics exists.
const std::string& currentLaunchID();

} // namespace pd::platform::instance
