#include "app/NotificationCenter.hpp"

#include <boost/signals2/signal.hpp>

#include <map>

namespace pd::app {

struct NotificationCenter::Observation::Token {
  boost::signals2::scoped_connection connection;
};

NotificationCenter::Observation::Observation(std::shared_ptr<Token> token) : token_(std::move(token)) {}
NotificationCenter::Observation::Observation(Observation&&) noexcept = default;
NotificationCenter::Observation& NotificationCenter::Observation::operator=(Observation&&) noexcept = default;
NotificationCenter::Observation::~Observation() = default;
void NotificationCenter::Observation::reset() { token_.reset(); }

struct NotificationCenter::Impl {
  std::map<std::string, boost::signals2::signal<void()>, std::less<>> signals;
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter::Observation NotificationCenter::addObserver(std::string_view name, std::function<void()> handler) {
  auto it = impl_->signals.find(name);
  if (it == impl_->signals.end()) {
    it = impl_->signals.try_emplace(std::string(name)).first;
  }
  auto token = std::make_shared<Observation::Token>();
  token->connection = it->second.connect(std::move(handler));
  return Observation(std::move(token));
}

void NotificationCenter::post(std::string_view name) {
  const auto it = impl_->signals.find(name);
  if (it != impl_->signals.end()) {
    it->second();
  }
}

} // namespace pd::app
