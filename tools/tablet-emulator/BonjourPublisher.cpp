#include "tablet-emulator/BonjourPublisher.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

#include <stdexcept>

namespace pd::tools::tablet {

namespace {
AvahiProtocol publishProtocol(const BonjourPublisher::Config& config) {
  return config.ipv4Only ? AVAHI_PROTO_INET : AVAHI_PROTO_UNSPEC;
}
} // namespace

// Everything below except start() and the destructor runs with Avahi's poll lock held: either inside an
// Avahi callback (which holds it) or inside a public method that takes it.
struct BonjourPublisher::State {
  Config config;
  EventSink sink;
  std::string currentName;
  bool wanted = true;
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;

  struct Lock {
    AvahiThreadedPoll* poll;
    explicit Lock(AvahiThreadedPoll* p) : poll(p) {
      if (poll != nullptr) {
        avahi_threaded_poll_lock(poll);
      }
    }
    ~Lock() {
      if (poll != nullptr) {
        avahi_threaded_poll_unlock(poll);
      }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
  };

  Json txtJson() const {
    Json txt = Json::object();
    if (config.pv) {
      txt["pv"] = *config.pv;
    }
    if (config.app) {
      txt["app"] = *config.app;
    }
    return txt;
  }

  AvahiStringList* txtRecord() const {
    AvahiStringList* txt = nullptr;
    if (config.app) {
      txt = avahi_string_list_add_pair(txt, "app", config.app->c_str());
    }
    if (config.pv) {
      txt = avahi_string_list_add_pair(txt, "pv", config.pv->c_str());
    }
    return txt;
  }

  // Changes the TXT record of the published service in place: browsers see an update, not the
  // service going away and coming back.
  void updateTxt() {
    if (group == nullptr || avahi_entry_group_get_state(group) != AVAHI_ENTRY_GROUP_ESTABLISHED) {
      if (group != nullptr) {
        avahi_entry_group_reset(group);
      }
      registerService();
      return;
    }
    AvahiStringList* txt = txtRecord();
    const int rc = avahi_entry_group_update_service_txt_strlst(
        group, static_cast<AvahiIfIndex>(config.interfaceIndex), publishProtocol(config),
        static_cast<AvahiPublishFlags>(0), currentName.c_str(), config.type.c_str(), nullptr, txt);
    avahi_string_list_free(txt);
    if (rc < 0) {
      fail("update_txt", rc);
      return;
    }
    sink(Json{{"event", "bonjour_txt_updated"}, {"name", currentName}, {"txt", txtJson()}});
  }

  void fail(const char* stage, int error) {
    sink(Json{{"event", "bonjour_failed"}, {"stage", stage}, {"error", avahi_strerror(error)}});
  }

  void chooseAlternativeName() {
    char* next = avahi_alternative_service_name(currentName.c_str());
    sink(Json{{"event", "bonjour_collision"}, {"name", currentName}, {"next", next != nullptr ? next : ""}});
    if (next != nullptr) {
      currentName = next;
      avahi_free(next);
    }
  }

  void registerService() {
    if (!wanted || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
      return;
    }
    if (group == nullptr) {
      group = avahi_entry_group_new(client, &State::onGroup, this);
      if (group == nullptr) {
        fail("entry_group", avahi_client_errno(client));
        return;
      }
    }
    if (!avahi_entry_group_is_empty(group)) {
      return;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
      AvahiStringList* txt = txtRecord();
      const int rc = avahi_entry_group_add_service_strlst(group, static_cast<AvahiIfIndex>(config.interfaceIndex),
                                                          publishProtocol(config), static_cast<AvahiPublishFlags>(0),
                                                          currentName.c_str(), config.type.c_str(), nullptr, nullptr,
                                                          config.port, txt);
      avahi_string_list_free(txt);
      if (rc == AVAHI_ERR_COLLISION) {
        chooseAlternativeName();
        avahi_entry_group_reset(group);
        continue;
      }
      if (rc < 0) {
        fail("add_service", rc);
        avahi_entry_group_reset(group);
        return;
      }
      if (const int commit = avahi_entry_group_commit(group); commit < 0) {
        fail("commit", commit);
        avahi_entry_group_reset(group);
      }
      return;
    }
    fail("add_service", AVAHI_ERR_COLLISION);
  }

  void withdrawService(const char* reason) {
    if (group != nullptr) {
      avahi_entry_group_reset(group);
      sink(Json{{"event", "bonjour_withdrawn"}, {"name", currentName}, {"reason", reason}});
    }
  }

  void reconnect(AvahiClient* failed) {
    avahi_client_free(failed); // the entry group goes with it
    client = nullptr;
    int error = 0;
    AvahiClient* fresh =
        avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, &State::onClient, this, &error);
    if (fresh == nullptr) {
      fail("client", error);
      return;
    }
    client = fresh;
  }

  static void onGroup(AvahiEntryGroup* g, AvahiEntryGroupState groupState, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    self->group = g;
    switch (groupState) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      self->sink(Json{{"event", "bonjour_published"},
                      {"name", self->currentName},
                      {"type", self->config.type},
                      {"port", self->config.port},
                      {"interfaceIndex", self->config.interfaceIndex},
                      {"txt", self->txtJson()}});
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      self->chooseAlternativeName();
      avahi_entry_group_reset(g);
      self->registerService();
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      self->fail("entry_group", avahi_client_errno(avahi_entry_group_get_client(g)));
      break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING: break;
    }
  }

  static void onClient(AvahiClient* c, AvahiClientState clientState, void* userdata) {
    auto* self = static_cast<State*>(userdata);
    self->client = c; // also reached from inside avahi_client_new, before it returns
    switch (clientState) {
    case AVAHI_CLIENT_S_RUNNING: self->registerService(); break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
      // The host name changed or collided: our records go and come back once the server runs again.
      if (self->group != nullptr) {
        avahi_entry_group_reset(self->group);
      }
      break;
    case AVAHI_CLIENT_CONNECTING:
      // The daemon is gone or not there yet; the client reconnects by itself and the group
      // it owned died with the connection.
      self->group = nullptr;
      self->sink(Json{{"event", "bonjour_waiting"}, {"reason", "daemon_unavailable"}});
      break;
    case AVAHI_CLIENT_FAILURE: {
      const int error = avahi_client_errno(c);
      self->group = nullptr;
      if (error == AVAHI_ERR_DISCONNECTED) {
        // The daemon went away (a restart, a test that stops it): a client that has failed
        // stays failed, so make a new one, which waits for the daemon and publishes again.
        self->reconnect(c);
      } else {
        self->fail("client", error);
      }
      break;
    }
    }
  }
};

BonjourPublisher::BonjourPublisher(Config config, EventSink sink) : state_(std::make_unique<State>()) {
  state_->config = std::move(config);
  state_->sink = std::move(sink);
  state_->currentName = state_->config.name;
}

BonjourPublisher::~BonjourPublisher() {
  if (state_->poll != nullptr) {
    avahi_threaded_poll_stop(state_->poll);
    if (state_->client != nullptr) {
      avahi_client_free(state_->client); // frees the entry group with it
    }
    avahi_threaded_poll_free(state_->poll);
  }
}

void BonjourPublisher::start() {
  if (state_->poll != nullptr) {
    return;
  }
  state_->poll = avahi_threaded_poll_new();
  if (state_->poll == nullptr) {
    throw std::runtime_error("avahi: cannot create the poll thread");
  }
  int error = 0;
  AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(state_->poll), AVAHI_CLIENT_NO_FAIL, &State::onClient,
                                         state_.get(), &error);
  if (client == nullptr) {
    avahi_threaded_poll_free(state_->poll);
    state_->poll = nullptr;
    throw std::runtime_error(std::string("avahi: ") + avahi_strerror(error));
  }
  state_->client = client;
  if (avahi_threaded_poll_start(state_->poll) < 0) {
    throw std::runtime_error("avahi: cannot start the poll thread");
  }
}

void BonjourPublisher::withdraw() {
  State::Lock lock(state_->poll);
  state_->wanted = false;
  state_->withdrawService("requested");
}

void BonjourPublisher::publish() {
  State::Lock lock(state_->poll);
  state_->wanted = true;
  state_->registerService();
}

void BonjourPublisher::setTxt(const std::string& key, std::optional<std::string> value) {
  State::Lock lock(state_->poll);
  if (key == "pv") {
    state_->config.pv = std::move(value);
  } else if (key == "app") {
    state_->config.app = std::move(value);
  } else {
    return;
  }
  if (state_->wanted) {
    state_->updateTxt();
  }
}

} // namespace pd::tools::tablet
