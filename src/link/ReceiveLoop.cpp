#include "link/ReceiveLoop.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/ManagerText.hpp"

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using platform::log::Level;
using ConnectionState = platform::net::LinkState;

namespace {

constexpr std::uint8_t kControlMessageFirstByte = 0x7B; // '{'

} // namespace

void ReceiveLoop::start(const std::weak_ptr<ReceiveLoop>& self, const LinkPointer& connection,
                        std::uint64_t generation) {
  const auto loop = self.lock();
  if (!loop) return;
  loop->receives_ = 0;
  loop->receiveNext(self, connection, generation);
}

void ReceiveLoop::receiveNext(const std::weak_ptr<ReceiveLoop>& self, const LinkPointer& connection,
                              std::uint64_t generation) {
  ++receives_;
  logThrottled(Log::network(), Level::debug, "recv_loop", lineRule(1000), "recv_loop occurrences=%ld");
  connection->receiveMessage([self, weakConnection = std::weak_ptr(connection),
                              generation](std::span<const std::uint8_t> content, const std::optional<Error>& error) {
    if (const auto loop = self.lock()) loop->handle(self, weakConnection, generation, content, error);
  });
}

void ReceiveLoop::handle(const std::weak_ptr<ReceiveLoop>& self,
                         const std::weak_ptr<platform::net::DatagramLink>& weakConnection, std::uint64_t generation,
                         std::span<const std::uint8_t> content, const std::optional<Error>& error) {
  if (generation != sink_.currentGeneration()) {
    logThrottled(Log::network(), Level::debug, "recv_drop_stale_generation", lineRule(30),
                 "recv_drop reason=stale_generation gen=%llu occurrences=%ld", generation);
    sink_.staleDatagram();
    return;
  }
  const LinkPointer connection = weakConnection.lock();
  if (!connection) return;

  if (error) {
    // Our own cancel ends the read: the link was given up on purpose, nothing failed.
    if (connection->state() == ConnectionState::cancelled) return;
    failureCounted_ = true;
    logThrottled("udp_recv_fail", lineRule(60), [&](std::int64_t count) {
      const auto fields = LogErrorFields::fields(*error, true);
      Log::network().error("udp_recv_fail err_domain=%{public}s err_code=%ld error=%s occurrences=%ld", fields.domain,
                           fields.code, fields.detail, count);
    });
  } else if (content.empty()) {
    logThrottled(Log::network(), Level::debug, "recv_empty", lineRule(100),
                 "recv_empty state=%{public}s occurrences=%ld", platform::net::toString(connection->state()));
  } else {
    sink_.inbound();
    // Only this loop counts the key, so the throttle needs asking only after a failure.
    if (failureCounted_) {
      failureCounted_ = false;
      if (const auto after = LogThrottle::shared().reset("udp_recv_fail"); after && *after >= 2) {
        Log::network().notice("udp_recv_recovered after=%ld", *after);
      }
    }
    if (content.front() == kControlMessageFirstByte) {
      sink_.controlDatagram(content, generation, connection);
    } else {
      sink_.videoDatagram(content);
    }
    if (connection->state() != ConnectionState::ready) {
      logThrottled(Log::network(), Level::debug, "recv_rearm_skip", lineRule(10),
                   "recv_rearm_skip state=%{public}s occurrences=%ld", platform::net::toString(connection->state()));
      return;
    }
  }
  if (connection->state() == ConnectionState::ready) receiveNext(self, connection, generation);
}

} // namespace pd::link
