#include "platform/instance/LaunchID.hpp"

#include "platform/crypto/Random.hpp"

namespace pd::platform::instance {

const std::string& currentLaunchID() {
  static const std::string id = crypto::makeUUIDString();
  return id;
}

} // namespace pd::platform::instance
