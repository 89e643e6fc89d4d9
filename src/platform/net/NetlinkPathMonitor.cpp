#include "platform/net/PathMonitor.hpp"

#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <optional>

namespace pd::platform::net {

namespace {

bool isUsableAddress(const ::sockaddr* address) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    const auto ip = ntohl(reinterpret_cast<const ::sockaddr_in*>(address)->sin_addr.s_addr);
    return (ip & 0xFFFF0000u) != 0xA9FE0000u; // 169.254/16
  }
  if (address->sa_family == AF_INET6) {
    const auto& ip = reinterpret_cast<const ::sockaddr_in6*>(address)->sin6_addr;
    return !IN6_IS_ADDR_LINKLOCAL(&ip) && !IN6_IS_ADDR_LOOPBACK(&ip);
  }
  return false;
}

class NetlinkPathMonitor final : public PathMonitor {
public:
  // The monitor is owned through a unique_ptr by its user, the state below by the queue's work.
  struct Core : std::enable_shared_from_this<Core> {
    runtime::SerialQueue queue{"tech.quelbo.PalendrixDisplay.pathmonitor"};
    std::optional<boost::asio::posix::stream_descriptor> socket;
    Handler handler;
    std::optional<PathStatus> last;
    std::array<char, 16384> buffer{};

    void open() {
      const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
      if (fd < 0) return; // no netlink: the first status is all the user gets
      ::sockaddr_nl local{};
      local.nl_family = AF_NETLINK;
      local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
      if (::bind(fd, reinterpret_cast<::sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return;
      }
      // The event loop can refuse the descriptor (the kernel's limit of watched ones): then the
      // first status is all the user gets, as without netlink.
      boost::system::error_code ec;
      socket.emplace(queue.executor());
      socket->assign(fd, ec);
      if (ec) {
        socket.reset();
        ::close(fd);
      }
    }

    void report() {
      const auto status = currentPathStatus();
      if (last == status) return;
      last = status;
      if (handler) handler(status);
    }

    void wait() {
      if (!socket) return;
      socket->async_wait(boost::asio::posix::descriptor_base::wait_read, [weak = weak_from_this()](
                                                                             const boost::system::error_code& error) {
        auto self = weak.lock();
        if (!self || error || !self->socket) return;
        // The messages only say that something changed; the interfaces are read afresh.
        while (::recv(self->socket->native_handle(), self->buffer.data(), self->buffer.size(), 0) > 0) {}
        self->report();
        self->wait();
      });
    }
  };

  NetlinkPathMonitor() : core_(std::make_shared<Core>()) {}

  ~NetlinkPathMonitor() override {
    auto core = core_;
    core_->queue.syncWithTimeout([core] { core->socket.reset(); }, std::chrono::seconds(5));
    core_->queue.shutdown();
  }

  void start(Handler handler) override {
    auto core = core_;
    core_->queue.post([core, handler = std::move(handler)]() mutable {
      core->handler = std::move(handler);
      core->open(); // before the first read, so no change between the two goes unseen
      core->report();
      core->wait();
    });
  }

private:
  std::shared_ptr<Core> core_;
};

} // namespace

PathStatus currentPathStatus() {
  ::ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return PathStatus::unsatisfied;
  bool satisfied = false;
  for (auto* entry = list; entry != nullptr && !satisfied; entry = entry->ifa_next) {
    const auto flags = entry->ifa_flags;
    if ((flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || (flags & IFF_LOOPBACK) != 0) continue;
    satisfied = isUsableAddress(entry->ifa_addr);
  }
  ::freeifaddrs(list);
  return satisfied ? PathStatus::satisfied : PathStatus::unsatisfied;
}

std::unique_ptr<PathMonitor> makeNetlinkPathMonitor() { return std::make_unique<NetlinkPathMonitor>(); }

} // namespace pd::platform::net
