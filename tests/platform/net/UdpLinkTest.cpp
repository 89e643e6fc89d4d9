#include "platform/net/UdpLink.hpp"

#include "runtime/SerialQueue.hpp"

#include "TestSupport.hpp" // tests/platform

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace pd::platform::net {
namespace {

using namespace std::chrono_literals;

// The tablet's end: a plain UDP socket on 127.0.0.1.
class Peer {
public:
  Peer() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    timeval timeout{10, 0}; // only a failing case waits that long
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~Peer() { ::close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  std::uint16_t port() const { return port_; }
  void sendTo(std::uint16_t port, const std::string& text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ASSERT_EQ(::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(text.size()));
  }
  std::optional<std::string> receive() {
    char buffer[2048];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

private:
  int fd_;
  std::uint16_t port_ = 0;
};

// What the link reported, gathered from its queue.
class Events {
public:
  void state(const LinkStateUpdate& update) {
    std::scoped_lock lock(mutex_);
    states_.push_back(update);
    changed_.notify_all();
  }
  void datagram(std::span<const std::uint8_t> content, const std::optional<Error>& error) {
    std::scoped_lock lock(mutex_);
    if (error) {
      errors_.push_back(*error);
    } else {
      datagrams_.emplace_back(content.begin(), content.end());
    }
    changed_.notify_all();
  }
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, condition);
  }
  bool sawState(LinkState state) {
    return std::any_of(states_.begin(), states_.end(), [&](const auto& u) { return u.state == state; });
  }

  std::vector<LinkStateUpdate> states_;
  std::vector<std::string> datagrams_;
  std::vector<Error> errors_;

private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

class UdpLinkTest : public ::testing::Test {
protected:
  std::shared_ptr<UdpLink> makeLink(Endpoint remote, std::optional<Interface> interface = std::nullopt,
                                    std::shared_ptr<ServiceResolver> resolver = nullptr) {
    LinkParameters parameters;
    parameters.requiredInterface = std::move(interface);
    parameters.serviceClass = ServiceClass::interactiveVideo;
    auto link = std::make_shared<UdpLink>(std::move(remote), parameters, std::move(resolver));
    link->setStateHandler([this](const LinkStateUpdate& update) { events.state(update); });
    return link;
  }
  // Re-arms while the link is ready, holding it weakly as the link manager does.
  void receiveForever(const std::shared_ptr<UdpLink>& link) {
    link->receiveMessage(
        [this, weak = std::weak_ptr(link)](std::span<const std::uint8_t> content, const std::optional<Error>& error) {
          events.datagram(content, error);
          const auto strong = weak.lock();
          if (strong && strong->state() == LinkState::ready) receiveForever(strong);
        });
  }

  Events events;
  Peer peer;
  // Last, so it is destroyed first: what a link posted runs while the events still exist.
  runtime::SerialQueue queue{"test.udplink"};
};

// For what happens on the link's queue without an event to wait on.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST_F(UdpLinkTest, ConnectsOverLoopbackAndCarriesDatagramsBothWays) {
  auto lo = interfaceByName("lo");
  ASSERT_TRUE(lo);
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()}, lo);
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  EXPECT_EQ(events.states_.front().state, LinkState::preparing);

  const auto path = link->currentPath();
  ASSERT_TRUE(path);
  EXPECT_EQ(path->status, PathStatus::satisfied);
  EXPECT_EQ(std::get<HostPort>(*path->remoteEndpoint), (HostPort{"127.0.0.1", peer.port()}));
  const auto local = std::get<HostPort>(*path->localEndpoint);
  ASSERT_EQ(path->availableInterfaces.size(), 1u);
  EXPECT_EQ(path->availableInterfaces[0].name, "lo");

  // The completion runs on the link's queue, and may still be on its way when the peer has the bytes.
  std::atomic<int> sent{0}; // 0 pending, 1 succeeded, 2 failed
  link->send({'h', 'i'}, [&](const std::optional<Error>& error) { sent = error ? 2 : 1; });
  EXPECT_EQ(peer.receive(), "hi");

  receiveForever(link);
  peer.sendTo(local.port, "{\"type\":\"ping\"}");
  peer.sendTo(local.port, "");
  peer.sendTo(local.port, std::string(1400, 'v'));
  ASSERT_TRUE(events.waitFor([&] { return events.datagrams_.size() == 3; }));
  EXPECT_EQ(events.datagrams_[0], "{\"type\":\"ping\"}");
  EXPECT_EQ(events.datagrams_[1], "");
  EXPECT_EQ(events.datagrams_[2], std::string(1400, 'v'));
  ASSERT_TRUE(eventually([&] { return sent.load() != 0; }));
  EXPECT_EQ(sent.load(), 1);

  // The socket is connected: another sender's datagrams never arrive.
  Peer stranger;
  stranger.sendTo(local.port, "intruder");
  peer.sendTo(local.port, "after");
  ASSERT_TRUE(events.waitFor([&] { return events.datagrams_.size() == 4; }));
  EXPECT_EQ(events.datagrams_[3], "after");
}

TEST_F(UdpLinkTest, BytesStayIntactWhileTheNextReceiveIsAlreadyArmed) {
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()});
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  const auto port = std::get<HostPort>(*link->currentPath()->localEndpoint).port;
  // Both datagrams are queued in the kernel before the first receive, so the re-armed receive
  // finds the second at once.
  peer.sendTo(port, "first datagram");
  peer.sendTo(port, "SECOND");
  std::this_thread::sleep_for(20ms);
  std::function<void(std::span<const std::uint8_t>, const std::optional<Error>&)> handle;
  handle = [&](std::span<const std::uint8_t> content, const std::optional<Error>& error) {
    const std::string before(content.begin(), content.end());
    if (events.datagrams_.empty()) {
      link->receiveMessage([&](std::span<const std::uint8_t> c, const std::optional<Error>& e) { handle(c, e); });
      std::this_thread::sleep_for(10ms); // time for a receive that wrote into this buffer to do so
    }
    EXPECT_EQ(std::string(content.begin(), content.end()), before);
    events.datagram(content, error);
  };
  link->receiveMessage([&](std::span<const std::uint8_t> c, const std::optional<Error>& e) { handle(c, e); });
  ASSERT_TRUE(events.waitFor([&] { return events.datagrams_.size() == 2; }));
  EXPECT_EQ(events.datagrams_[0], "first datagram");
  EXPECT_EQ(events.datagrams_[1], "SECOND");
}

TEST_F(UdpLinkTest, BytesStayIntactWhenTheReceiveArmedInsideAWaitedCompletionFindsSeveralWaiting) {
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()});
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  const auto port = std::get<HostPort>(*link->currentPath()->localEndpoint).port;
  // The first receive waits for its datagram through the event loop; its completion puts two more
  // in the socket before asking for the next, so they are taken at once, each completion asking
  // for the one after while the first still reads its bytes.
  int calls = 0;
  std::function<void(std::span<const std::uint8_t>, const std::optional<Error>&)> handle;
  handle = [&](std::span<const std::uint8_t> content, const std::optional<Error>& error) {
    const std::string before(content.begin(), content.end());
    if (++calls == 1) {
      peer.sendTo(port, "SECOND");
      peer.sendTo(port, "third!");
    }
    if (calls < 3) {
      link->receiveMessage([&](std::span<const std::uint8_t> c, const std::optional<Error>& e) { handle(c, e); });
    }
    EXPECT_EQ(std::string(content.begin(), content.end()), before);
    events.datagram(content, error);
  };
  link->receiveMessage([&](std::span<const std::uint8_t> c, const std::optional<Error>& e) { handle(c, e); });
  std::this_thread::sleep_for(20ms); // the receive now waits in the event loop
  peer.sendTo(port, "first datagram");
  ASSERT_TRUE(events.waitFor([&] { return events.datagrams_.size() == 3; }));
  EXPECT_THAT(events.datagrams_, ::testing::UnorderedElementsAre("first datagram", "SECOND", "third!"));
}

TEST_F(UdpLinkTest, ItsSocketDoesNotPassToProgramsStartedLater) {
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()});
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  const auto port = std::get<HostPort>(*link->currentPath()->localEndpoint).port;
  EXPECT_EQ(testing::closeOnExecOfSocketsOn(port), std::vector<bool>{true});
}

TEST_F(UdpLinkTest, NothingTravelsBeforeStart) {
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()});
  std::optional<Error> sendError;
  link->send({'x'}, [&](const std::optional<Error>& error) { sendError = error; });
  ASSERT_TRUE(sendError);
  EXPECT_EQ(sendError->code(), ENOTCONN);
  link->receiveMessage([&](auto content, const auto& error) { events.datagram(content, error); });
  ASSERT_EQ(events.errors_.size(), 1u);
  EXPECT_EQ(events.errors_[0].code(), ENOTCONN);
}

TEST_F(UdpLinkTest, RefusalIsAPassingErrorAndTheLinkStaysReady) {
  std::uint16_t port = 0;
  {
    Peer gone;
    port = gone.port();
  }
  auto link = makeLink(HostPort{"127.0.0.1", port});
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  receiveForever(link);
  link->send({'x'}, nullptr); // answered by ICMP port unreachable
  ASSERT_TRUE(events.waitFor([&] { return !events.errors_.empty(); }));
  EXPECT_EQ(events.errors_.front().code(), ECONNREFUSED);
  EXPECT_EQ(link->state(), LinkState::ready);
}

TEST_F(UdpLinkTest, CancelEndsAnOutstandingReceiveAndEveryLaterOne) {
  auto link = makeLink(HostPort{"127.0.0.1", peer.port()});
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  link->receiveMessage([&](auto content, const auto& error) { events.datagram(content, error); });
  link->cancel();
  ASSERT_TRUE(events.waitFor([&] { return events.errors_.size() == 1 && events.sawState(LinkState::cancelled); }));
  EXPECT_EQ(events.errors_[0].code(), ECANCELED);
  link->receiveMessage([&](auto content, const auto& error) { events.datagram(content, error); });
  ASSERT_TRUE(events.waitFor([&] { return events.errors_.size() == 2; }));
  EXPECT_EQ(events.errors_[1].code(), ECANCELED);
  EXPECT_EQ(link->state(), LinkState::cancelled);
}

// Answers with what the test chose, on the executor, as the Bonjour resolver does; without an
// answer it holds the request until answer() is called.
class ScriptedResolver final : public ServiceResolver {
public:
  explicit ScriptedResolver(std::optional<Result> answer = std::nullopt) : answer_(std::move(answer)) {}
  std::unique_ptr<Operation> resolve(const ServiceEndpoint& service, const std::optional<Interface>& interface,
                                     runtime::Executor executor, Completion completion) override {
    std::scoped_lock lock(mutex_);
    asked = service;
    askedInterface = interface;
    alive_ = std::make_shared<bool>(true);
    executor_ = executor;
    held_ = std::make_shared<Completion>(std::move(completion));
    if (answer_) post(*answer_);
    return std::make_unique<Handle>(alive_);
  }
  void answer(Result result) {
    std::scoped_lock lock(mutex_);
    post(std::move(result));
  }
  bool wasAsked() {
    std::scoped_lock lock(mutex_);
    return asked.has_value();
  }
  std::optional<ServiceEndpoint> asked;
  std::optional<Interface> askedInterface;

private:
  void post(Result result) {
    executor_->execute([alive = alive_, held = held_, result = std::move(result)]() mutable {
      if (*alive && *held) (*held)(std::move(result));
    });
  }
  struct Handle final : Operation {
    explicit Handle(std::shared_ptr<bool> a) : alive(std::move(a)) {}
    ~Handle() override { *alive = false; }
    std::shared_ptr<bool> alive;
  };
  std::mutex mutex_;
  std::optional<Result> answer_;
  std::shared_ptr<bool> alive_;
  std::optional<runtime::Executor> executor_;
  std::shared_ptr<Completion> held_;
};

TEST_F(UdpLinkTest, SendsHandedOverWhilePreparingGoOutOnceReady) {
  auto resolver = std::make_shared<ScriptedResolver>();
  auto link = makeLink(ServiceEndpoint{"Tab", "_velquatrin._udp", "local"}, interfaceByName("lo"), resolver);
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::preparing); }));
  link->send({'e', 'a', 'r', 'l', 'y'}, nullptr);
  link->send({'n', 'e', 'x', 't'}, nullptr);
  // The preparing state is reported before the resolver is reached on the link's queue.
  ASSERT_TRUE(eventually([&] { return resolver->wasAsked(); }));
  resolver->answer(ResolvedService{"127.0.0.1", peer.port(), 1});
  EXPECT_EQ(peer.receive(), "early");
  EXPECT_EQ(peer.receive(), "next");
}

TEST_F(UdpLinkTest, ServiceIsResolvedOnTheRequiredInterface) {
  auto lo = interfaceByName("lo");
  auto resolver = std::make_shared<ScriptedResolver>(ResolvedService{"127.0.0.1", peer.port(), lo->index});
  const ServiceEndpoint service{"Tab", "_velquatrin._udp", "local"};
  auto link = makeLink(service, lo, resolver);
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready); }));
  EXPECT_EQ(resolver->asked, service);
  EXPECT_EQ(resolver->askedInterface, lo);
  link->send({'o', 'k'}, nullptr);
  EXPECT_EQ(peer.receive(), "ok");
}

TEST_F(UdpLinkTest, UnresolvableServiceWaits) {
  auto resolver = std::make_shared<ScriptedResolver>(Error("BonjourError", -12, "Timeout reached"));
  auto link = makeLink(ServiceEndpoint{"Gone", "_velquatrin._udp", "local"}, interfaceByName("lo"), resolver);
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::waiting); }));
  const auto waiting = std::find_if(events.states_.begin(), events.states_.end(),
                                    [](const auto& u) { return u.state == LinkState::waiting; });
  ASSERT_TRUE(waiting->error);
  EXPECT_EQ(waiting->error->code(), -12);
  EXPECT_FALSE(link->currentPath());
}

TEST_F(UdpLinkTest, LinkLocalPeerGetsTheInterfaceAsItsScope) {
  // A connected UDP socket sends nothing, so any interface with a link-local address will do;
  // without the scope the kernel refuses a link-local peer outright.
  std::optional<Interface> withLinkLocal;
  for (const auto& interface : listInterfaces()) {
    for (const auto& address : interfaceAddresses(interface.name)) {
      if (address.family == InterfaceAddress::Family::ipv6 && address.address.rfind("fe80", 0) == 0) {
        withLinkLocal = interface;
      }
    }
  }
  if (!withLinkLocal) GTEST_SKIP() << "no interface with an IPv6 link-local address";
  auto resolver = std::make_shared<ScriptedResolver>(ResolvedService{"fe80::1", 9, withLinkLocal->index});
  auto link = makeLink(ServiceEndpoint{"Cable", "_velquatrin._udp", "local"}, withLinkLocal, resolver);
  link->start(queue.executor());
  ASSERT_TRUE(events.waitFor([&] { return events.sawState(LinkState::ready) || events.sawState(LinkState::failed); }));
  ASSERT_TRUE(events.sawState(LinkState::ready)) << events.states_.back().error->detail();
  const auto remote = std::get<HostPort>(*link->currentPath()->remoteEndpoint);
  EXPECT_EQ(remote.host, "fe80::1%" + withLinkLocal->name);
}

TEST(UdpLinkErrorsTest, OnlyErrorsThatLeaveTheSocketUselessAreFatal) {
  for (const int fatal : {EBADF, ENOTSOCK, ENODEV, ENXIO, EINVAL}) EXPECT_TRUE(UdpLink::isFatalSocketError(fatal));
  for (const int passing : {ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ENETDOWN, ENOBUFS, EINTR, EAGAIN, EMSGSIZE}) {
    EXPECT_FALSE(UdpLink::isFatalSocketError(passing));
  }
}

} // namespace
} // namespace pd::platform::net
