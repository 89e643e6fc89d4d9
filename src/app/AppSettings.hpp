#pragma once

// The old spelling of the settings accessors, kept only for the link library until it takes
// these values through its Dependencies; nothing new includes it.

#include "settings/AppSettings.hpp"

namespace pd::app {

using settings::AppInfo;
using settings::AppSettings;
using settings::currentLaunchID;
using settings::supportedFeatures;

} // namespace pd::app
