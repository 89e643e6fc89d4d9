// Feeds arbitrary datagrams to the link manager's control dispatch on an established link, as
// the receive loop hands them over (read, bounded, then handled on the main thread): every handler (handshake answers, mode requests, pings, pongs,
// load acknowledgements, stream stops) sees whatever the input holds. Any crash, sanitizer
// report or uncaught exception is a finding.

#include "link/NetworkManagerForMac.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pd::link {

// The manager lets this one type reach its dispatch; the fuzzer is its only user here.
struct NetworkManagerForMacTestAccess {
  static void dispatch(NetworkManagerForMac& manager, const std::vector<std::uint8_t>& bytes) {
    manager.receiveSink_.controlDatagram(bytes, manager.connectionGeneration_, manager.connection_.link());
  }
  // A ready connection to a known tablet whose latest request and latest ping were both number 1,
  // whatever earlier input did to the link.
  static void prepare(NetworkManagerForMac& manager) {
    platform::bonjour::BrowseResult tablet;
    tablet.endpoint = platform::net::ServiceEndpoint{"Tablet", "_velquatrin._udp", "local"};
    tablet.interfaces = {platform::net::Interface{"lo", 1, platform::net::InterfaceType::loopback}};
    if (!manager.connection_.link()) manager.connection_.open(tablet.endpoint, {}, nullptr);
    if (!manager.lastConnectedPeer_) manager.lastConnectedPeer_ = tablet;
    // A fresh channel numbers its first request 1 and accepts answers from there on.
    manager.control_ = ControlChannel(ControlChannel::Identity{});
    manager.control_.beginLink();
    manager.control_.sendRequest(nullptr);
    // Ping 1 is out and its pong's clock reading is sampled at once.
    manager.pings_.reset();
    manager.pings_.notePingSent(runtime::wallSeconds(), runtime::monotonicSeconds());
  }
};

} // namespace pd::link

namespace {

using namespace pd;

// A link that is ready and swallows what is sent.
class QuietLink final : public platform::net::DatagramLink {
public:
  void setStateHandler(StateHandler) override {}
  void start(runtime::Executor) override {}
  void cancel() override {}
  platform::net::LinkState state() const override { return platform::net::LinkState::ready; }
  void receiveMessage(ReceiveCompletion) override {}
  void send(std::vector<std::uint8_t>, SendCompletion completion) override {
    if (completion) completion(std::nullopt);
  }
  std::optional<platform::net::LinkPath> currentPath() const override { return std::nullopt; }
};

class NoBrowser final : public platform::bonjour::ServiceBrowser {
public:
  void setResultsChangedHandler(ResultsChangedHandler) override {}
  void setStateUpdateHandler(StateUpdateHandler) override {}
  void start(runtime::Executor) override {}
  void cancel() override {}
};

struct Harness {
  boost::asio::io_context context;
  runtime::MainThread::Installation installation = runtime::MainThread::installIoContext(context);
  std::shared_ptr<link::NetworkManagerForMac> manager;

  Harness() {
    platform::log::setStderrEnabled(false);
    link::NetworkManagerForMac::Dependencies dependencies;
    dependencies.makeBrowser = [](std::string_view) { return std::make_unique<NoBrowser>(); };
    dependencies.makeLink = [](const platform::net::Endpoint&, const platform::net::LinkParameters&) {
      return std::make_shared<QuietLink>();
    };
    dependencies.networkPeerID = [] { return std::string("00000000-0000-4000-8000-000000000000"); };
    dependencies.deviceName = "Fuzz";
    manager = link::NetworkManagerForMac::create(std::move(dependencies));
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Harness harness;
  link::NetworkManagerForMacTestAccess::prepare(*harness.manager);
  link::NetworkManagerForMacTestAccess::dispatch(*harness.manager, std::vector<std::uint8_t>(data, data + size));
  // What the handlers posted to the main thread runs too.
  harness.context.restart();
  harness.context.poll();
  return 0;
}
