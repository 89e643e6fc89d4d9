#include "platform/bonjour/AvahiBrowser.hpp"

#include "platform/bonjour/AvahiAsioPoll.hpp"
#include "platform/bonjour/BonjourError.hpp"
#include "platform/bonjour/BrowseResultGatherer.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>

#include <mutex>
#include <utility>

namespace pd::platform::bonjour {

namespace asio = boost::asio;

BonjourError::BonjourError(int code) : Error("BonjourError", code, avahi_strerror(code)) {}

namespace {

net::Interface interfaceFor(AvahiIfIndex index) {
  const auto unsignedIndex = static_cast<std::uint32_t>(index);
  if (auto interface = net::interfaceByIndex(unsignedIndex)) return *interface;
  return net::Interface{"if" + std::to_string(unsignedIndex), unsignedIndex, net::InterfaceType::other};
}

TxtRecord txtFrom(AvahiStringList* list) {
  TxtRecord record;
  for (AvahiStringList* item = list; item != nullptr; item = avahi_string_list_get_next(item)) {
    const auto* text = reinterpret_cast<const char*>(avahi_string_list_get_text(item));
    if (!record.add(std::string_view(text, avahi_string_list_get_size(item)))) break;
  }
  return record;
}

} // namespace

struct AvahiBrowser::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(std::string type) : serviceType(std::move(type)) {}
  // The shutdown that cancel() posts has normally run by now. When the queue was closed first,
  // it was dropped, and nothing of the queue runs any more (its pending waits on the library's
  // descriptors were dropped with it), so the library's objects are let go of here instead.
  ~Impl() {
    if (poll) poll->stopWaiting();
    shutdown();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  const std::string serviceType;

  std::mutex mutex; // guards the four fields below
  ResultsChangedHandler resultsHandler;
  StateUpdateHandler stateHandler;
  std::optional<runtime::Executor> executor;
  bool cancelRequested = false;

  // The executor's thread only.
  std::unique_ptr<detail::AvahiAsioPoll> poll;
  AvahiClient* client = nullptr;
  AvahiServiceBrowser* browser = nullptr;
  std::vector<std::pair<BrowseResultGatherer::InstanceKey, AvahiServiceResolver*>> resolvers;
  BrowseResultGatherer gatherer;
  std::optional<BrowserState> lastReported;
  bool finished = false;

  void report(BrowserState state, std::optional<Error> error = std::nullopt) {
    if (finished && state != BrowserState::cancelled) return;
    if (lastReported == state && state == BrowserState::ready) return;
    lastReported = state;
    StateUpdateHandler handler;
    {
      std::scoped_lock lock(mutex);
      handler = stateHandler;
    }
    if (handler) handler(BrowserStateUpdate{state, std::move(error)});
  }

  void publish(const std::vector<BrowseChange>& changes) {
    if (changes.empty() || finished) return;
    ResultsChangedHandler handler;
    {
      std::scoped_lock lock(mutex);
      handler = resultsHandler;
    }
    if (handler) handler(gatherer.results(), changes);
  }

  void freeLookups() {
    for (auto& [key, resolver] : resolvers) avahi_service_resolver_free(resolver);
    resolvers.clear();
    if (browser != nullptr) {
      avahi_service_browser_free(browser);
      browser = nullptr;
    }
  }

  void begin() {
    if (finished) return;
    std::optional<runtime::Executor> queue;
    {
      std::scoped_lock lock(mutex);
      queue = executor;
    }
    poll = std::make_unique<detail::AvahiAsioPoll>(*queue);
    int error = 0;
    // NO_FAIL: without a daemon the client waits for one instead of failing at once.
    AvahiClient* made = avahi_client_new(poll->api(), AVAHI_CLIENT_NO_FAIL, &Impl::clientCallback, this, &error);
    if (made == nullptr) {
      poll.reset();
      report(BrowserState::failed, BonjourError(error));
      finished = true;
      return;
    }
    client = made;
  }

  void onClientState(AvahiClient* c, AvahiClientState state) {
    if (finished) return;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      if (browser == nullptr) createBrowser(c);
      break;
    case AVAHI_CLIENT_CONNECTING:
      // The daemon is gone or not yet there: what it told us no longer holds.
      freeLookups();
      publish(gatherer.clear());
      report(BrowserState::waiting, BonjourError(AVAHI_ERR_NO_DAEMON));
      lastReported.reset();
      break;
    case AVAHI_CLIENT_FAILURE:
      freeLookups();
      publish(gatherer.clear());
      report(BrowserState::failed, BonjourError(avahi_client_errno(c)));
      finished = true;
      break;
    }
  }

  void createBrowser(AvahiClient* c) {
    browser = avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceType.c_str(), nullptr,
                                        static_cast<AvahiLookupFlags>(0), &Impl::browseCallback, this);
    if (browser == nullptr) {
      report(BrowserState::failed, BonjourError(avahi_client_errno(c)));
      finished = true;
      return;
    }
    report(BrowserState::ready);
  }

  void onBrowse(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                const char* type, const char* domain) {
    if (finished) return;
    switch (event) {
    case AVAHI_BROWSER_NEW: {
      if (name == nullptr || type == nullptr || domain == nullptr || interface < 0) return;
      BrowseResultGatherer::InstanceKey key{interface, protocol, name, type, domain};
      if (gatherer.contains(key)) return;
      bool accepted = false;
      auto changes = gatherer.add(key, interfaceFor(interface), &accepted);
      if (!accepted) return;
      AvahiServiceResolver* resolver =
          avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                     static_cast<AvahiLookupFlags>(0), &Impl::resolveCallback, this);
      if (resolver == nullptr) {
        auto more = gatherer.resolutionFailed(key);
        changes.insert(changes.end(), more.begin(), more.end());
      } else {
        resolvers.emplace_back(std::move(key), resolver);
      }
      publish(changes);
      break;
    }
    case AVAHI_BROWSER_REMOVE: {
      if (name == nullptr || type == nullptr || domain == nullptr) return;
      BrowseResultGatherer::InstanceKey key{interface, protocol, name, type, domain};
      dropResolver(key);
      publish(gatherer.remove(key));
      break;
    }
    case AVAHI_BROWSER_FAILURE:
      freeLookups();
      publish(gatherer.clear());
      report(BrowserState::failed, BonjourError(avahi_client_errno(client)));
      finished = true;
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
    case AVAHI_BROWSER_CACHE_EXHAUSTED: break;
    }
  }

  void dropResolver(const BrowseResultGatherer::InstanceKey& key) {
    for (auto it = resolvers.begin(); it != resolvers.end(); ++it) {
      if (it->first == key) {
        avahi_service_resolver_free(it->second);
        resolvers.erase(it);
        return;
      }
    }
  }

  void onResolve(AvahiServiceResolver* resolver, AvahiResolverEvent event, AvahiStringList* txt) {
    if (finished) return;
    BrowseResultGatherer::InstanceKey key;
    bool found = false;
    for (const auto& [known, r] : resolvers) {
      if (r == resolver) {
        key = known;
        found = true;
        break;
      }
    }
    if (!found) return;
    if (event == AVAHI_RESOLVER_FOUND) {
      publish(gatherer.setTxtRecord(key, txtFrom(txt)));
      return;
    }
    // A failed resolver is finished; the service still shows, without a TXT record.
    dropResolver(key);
    publish(gatherer.resolutionFailed(key));
  }

  void shutdown() {
    finished = true;
    freeLookups();
    if (client != nullptr) {
      avahi_client_free(client);
      client = nullptr;
    }
    poll.reset();
  }

  // Called from the library's C code: no exception may leave them. What fails here (memory)
  // leaves the browser without that one event.
  static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) noexcept {
    try {
      static_cast<Impl*>(userdata)->onClientState(c, state);
    } catch (...) {}
  }
  static void browseCallback(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                             AvahiLookupResultFlags, void* userdata) noexcept {
    try {
      static_cast<Impl*>(userdata)->onBrowse(interface, protocol, event, name, type, domain);
    } catch (...) {}
  }
  static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                              const char*, const char*, const char*, const char*, const AvahiAddress*, uint16_t,
                              AvahiStringList* txt, AvahiLookupResultFlags, void* userdata) noexcept {
    try {
      static_cast<Impl*>(userdata)->onResolve(resolver, event, txt);
    } catch (...) {}
  }
};

AvahiBrowser::AvahiBrowser(std::string serviceType) : impl_(std::make_shared<Impl>(std::move(serviceType))) {}

AvahiBrowser::~AvahiBrowser() { cancel(); }

void AvahiBrowser::setResultsChangedHandler(ResultsChangedHandler handler) {
  std::scoped_lock lock(impl_->mutex);
  impl_->resultsHandler = std::move(handler);
}

void AvahiBrowser::setStateUpdateHandler(StateUpdateHandler handler) {
  std::scoped_lock lock(impl_->mutex);
  impl_->stateHandler = std::move(handler);
}

void AvahiBrowser::start(runtime::Executor queue) {
  {
    std::scoped_lock lock(impl_->mutex);
    if (impl_->executor || impl_->cancelRequested) return;
    impl_->executor = queue;
  }
  asio::post(asio::any_io_executor(queue), [impl = impl_] { impl->begin(); });
}

void AvahiBrowser::cancel() {
  std::optional<runtime::Executor> executor;
  {
    std::scoped_lock lock(impl_->mutex);
    if (impl_->cancelRequested) return;
    impl_->cancelRequested = true;
    executor = impl_->executor;
  }
  if (!executor) return;
  // Always posted, never run inline: cancel() may come from inside one of the library's
  // callbacks, which must not free the client under its own feet.
  asio::post(asio::any_io_executor(*executor), [impl = impl_] {
    impl->shutdown();
    impl->report(BrowserState::cancelled);
  });
}

} // namespace pd::platform::bonjour
