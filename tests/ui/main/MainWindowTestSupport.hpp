#pragma once

// The main window's tests: the link manager made of the link tests' fakes, an OSC server and
// deck sink that only record, in-memory user defaults, and helpers to find widgets by text.

#include "LinkTestSupport.hpp"
#include "QtTestEnvironment.hpp"

#include "support/SenderSetup.hpp"
#include "deckinput/DeckStateSink.hpp"
#include "deckinput/OSCServerService.hpp"
#include "deckinput/OSCViewModel.hpp"
#include "platform/settings/UserDefaults.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QWidget>

namespace pd::ui::test {

class RecordingOSCServer final : public deckinput::OSCServerServiceProtocol {
public:
  boost::signals2::connection subscribeMessages(MessageHandler handler) override {
    return messages_.connect(std::move(handler));
  }
  boost::signals2::connection subscribeState(StateHandler handler) override {
    handler(state_);
    return states_.connect(std::move(handler));
  }
  void start(const deckinput::ServerConfiguration& configuration) override {
    starts.push_back(configuration);
    setState(deckinput::ServerState::running());
  }
  void stop() override {
    ++stops;
    setState(deckinput::ServerState::stopped());
  }
  void setState(deckinput::ServerState state) {
    state_ = std::move(state);
    states_(state_);
  }

  std::vector<deckinput::ServerConfiguration> starts;
  int stops = 0;

private:
  deckinput::ServerState state_ = deckinput::ServerState::stopped();
  boost::signals2::signal<void(const deckinput::OSCMessage&)> messages_;
  boost::signals2::signal<void(const deckinput::ServerState&)> states_;
};

class ManagerSink final : public deckinput::DeckStateSink {
public:
  explicit ManagerSink(link::NetworkManagerForMac& manager)
      : manager_(manager), forwarding_(manager.objectChanged().connect([this] { changed_(); })) {}
  void sendDeckState(const link::DeckState&) override {}
  bool hasConnectedPeers() const override { return !manager_.connectedPeers.get().empty(); }
  boost::signals2::signal<void()>& linkChanged() override { return changed_; }

private:
  link::NetworkManagerForMac& manager_;
  boost::signals2::signal<void()> changed_;
  boost::signals2::scoped_connection forwarding_;
};

class MainWindowFixture : public link::test::ManagerFixture {
protected:
  MainWindowFixture() {
    sink = std::make_shared<ManagerSink>(*manager);
    oscViewModel = std::make_shared<deckinput::OSCViewModel>(oscServer, sink);
    auto setup = testing::makeSenderSetup(manager);
    broadcaster = setup.broadcaster;
    senderServices = setup.services;
  }
  ~MainWindowFixture() override {
    // Widgets go before the models they observe.
    QApplication::closeAllWindows();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // The tablet the tests link, by its advertised service.
  static platform::net::Endpoint linkedTablet() {
    return platform::net::ServiceEndpoint{"Stage", "_velquatrin._udp", "local."};
  }

  // Lets Qt deliver what is queued (deferred deletes included).
  static void pump() {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
  }

  template <typename T = QAbstractButton>
  static T* findButton(QWidget* root, const QString& text) {
    for (auto* button : root->findChildren<T*>()) {
      if (button->text() == text && !button->isHidden()) return button;
    }
    return nullptr;
  }
  static QLabel* findLabel(QWidget* root, const QString& text) {
    for (auto* label : root->findChildren<QLabel*>()) {
      if (label->text() == text && label->isVisibleTo(root)) return label;
    }
    return nullptr;
  }
  static int countVisible(QWidget* root, const QString& objectName) {
    int count = 0;
    for (auto* widget : root->findChildren<QWidget*>(objectName)) {
      if (widget->isVisibleTo(root)) ++count;
    }
    return count;
  }

  platform::UserDefaults defaults;
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  std::shared_ptr<RecordingOSCServer> oscServer = std::make_shared<RecordingOSCServer>();
  std::shared_ptr<ManagerSink> sink;
  std::shared_ptr<deckinput::OSCViewModel> oscViewModel;
  std::shared_ptr<sender::LocalVideoBroadcaster> broadcaster;
  SenderServices senderServices;
};

} // namespace pd::ui::test
