#include "ui/main/ContentView.hpp"

#include "deckinput/OSCViewModel.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "settings/AppSettings.hpp"
#include "ui/main/ConnectionEventAlerts.hpp"
#include "ui/main/ConnectionSetupView.hpp"
#include "ui/main/StatusSection.hpp"
#include "ui/main/VideoSections.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/settings/FollowSetting.hpp"

#include <QAction>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace pd::ui {

namespace {

int storedTermsVersion() {
  const std::int64_t value = platform::UserDefaults::standard().integer(settings::SettingsKey::acceptedTermsVersion);
  return static_cast<int>(
      std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

} // namespace

ContentView::ContentView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                         sender::LocalVideoBroadcaster& localVideoBroadcaster, const SenderServices& senderServices,
                         QWidget* parent)
    : QWidget(parent),
      connectionManager_(connectionManager),
      oscViewModel_(oscViewModel),
      localVideoBroadcaster_(localVideoBroadcaster) {
  runtime::MainThread::assertMainThread();
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  // The main window moves the bar into its own tool bar area; alone, it sits on top.
  toolBar_ = new QToolBar(this);
  toolBar_->setMovable(false);
  toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  settingsAction_ = toolBar_->addAction(symbolIcon("gear"), QStringLiteral("アプリ設定"));
  settingsAction_->setToolTip(QStringLiteral("OSCポートやPipeWireサーバー名を変更"));
  connect(settingsAction_, &QAction::triggered, this, [this] {
    runtime::MainThread::assertMainThread();
    if (openSettings_) openSettings_();
  });
  connectionButton_ = new QToolButton(toolBar_);
  connectionButton_->setText(QStringLiteral("接続設定"));
  connectionButton_->setIcon(symbolIcon("app.connected.to.app.below.fill"));
  connectionButton_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  toolBar_->addWidget(connectionButton_);
  issueDot_ = new Dot(10, tintColor(Tint::red), connectionButton_);
  issueDot_->hide();
  connect(connectionButton_, &QToolButton::clicked, this, [this] { setShowSetup(true); });
  outer->addWidget(toolBar_);

  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  auto* column = new QWidget(scroll);
  auto* stack = new QVBoxLayout(column);
  stack->setSpacing(24);
  status_ = new StatusSection(column);
  stack->addWidget(status_);
  // Both sections in one box with only the mode's own shown: a hidden section takes no room, where
  // a stacked layout would size every page to the tallest.
  mix_ = new VideoDisplaySection(column);
  raw_ = new RawVideoDisplaySection(column);
  raw_->hide();
  stack->addWidget(mix_);
  stack->addWidget(raw_);
  // The send panel's card; the sender section lies inside it with the card's margins.
  sendPanel_ = makeCard(12, column);
  sendPanel_->setObjectName(QStringLiteral("sendPanelSlot"));
  sendPanel_->setAccessibleName(QStringLiteral("iPadへ送信"));
  sendPanel_->setMinimumHeight(24);
  auto* sendLayout = new QVBoxLayout(sendPanel_);
  sender_ = new LocalVideoSenderSection(localVideoBroadcaster_, connectionManager_, senderServices, sendPanel_);
  sendLayout->addWidget(sender_);
  stack->addWidget(sendPanel_);
  stack->addStretch(1);
  scroll->setWidget(column);
  outer->addWidget(scroll, 1);

  alerts_ = std::make_unique<ConnectionEventAlerts>(connectionManager_, [this]() -> QWidget* {
    if (sheet_ != nullptr && sheet_->isVisible()) return sheet_;
    return window();
  });

  const auto status = [this] { refreshStatus(); };
  subscriptions_.push_back(watch(connectionManager_.connectedPeers, status));
  subscriptions_.push_back(watch(connectionManager_.isLinkDegraded, status));
  subscriptions_.push_back(watch(connectionManager_.isSyphonRunning, status));
  subscriptions_.push_back(watch(connectionManager_.hasConnectionIssue, status));
  subscriptions_.push_back(watch(connectionManager_.reconnectNotice, status));
  subscriptions_.push_back(watch(oscViewModel_.serverState, status));
  const auto video = [this] { refreshVideo(); };
  subscriptions_.push_back(watch(connectionManager_.streamMode, video));
  subscriptions_.push_back(watch(connectionManager_.receivedPixelBuffer, video));
  subscriptions_.push_back(watch(connectionManager_.receivedPixelBufferA, video));
  subscriptions_.push_back(watch(connectionManager_.receivedPixelBufferB, video));
  subscriptions_.push_back(watch(connectionManager_.isVideoSilent, [this] {
    refreshStatus();
    refreshVideo();
  }));

  const auto sender = [this] { refreshSender(); };
  subscriptions_.push_back(watch(connectionManager_.connectedPeers, sender));
  subscriptions_.push_back(watch(connectionManager_.peerFeatures, sender));
  subscriptions_.push_back(watch(connectionManager_.peerVersionState, sender));
  for (auto* deck : {&localVideoBroadcaster_.deckA, &localVideoBroadcaster_.deckB}) {
    subscriptions_.push_back(watch(deck->fileName, sender));
    subscriptions_.push_back(watch(deck->status, sender));
    subscriptions_.push_back(watch(deck->bpm, sender));
    subscriptions_.push_back(watch(deck->isAnalyzing, sender));
    subscriptions_.push_back(watch(deck->playback, sender));
  }

  lastAcceptedTermsVersion_ = storedTermsVersion();
  defaultsChanged_ = followSetting(this, settings::SettingsKey::acceptedTermsVersion,
                                   [](ContentView& view) { view.termsVersionMayHaveChanged(); });

  refreshStatus();
  refreshVideo();
  refreshSender();
  alerts_->update();
  setMinimumSize(640, 600);
}

ContentView::~ContentView() {
  defaultsChanged_.disconnect();
  subscriptions_.clear();
  delete sheet_;
}

int ContentView::acceptedTermsVersion() const { return storedTermsVersion(); }

void ContentView::setCheckForUpdates(std::function<void()> check) { alerts_->setCheckForUpdates(std::move(check)); }

void ContentView::setOnModalWindow(std::function<void(QWidget*)> hook) {
  onModalWindow_ = hook;
  mix_->setOnModalWindow(hook);
  sender_->setOnModalWindow(hook);
  alerts_->setOnAlertCreated(std::move(hook));
}

bool ContentView::showsConnectionIssueDot() const { return !issueDot_->isHidden(); }

void ContentView::setShowSetup(bool show) {
  runtime::MainThread::assertMainThread();
  if (showSetup_ == show) return;
  showSetup_ = show;
  if (show) {
    auto* sheet = new ConnectionSetupView(
        connectionManager_, [this](bool value) { setShowSetup(value); }, window());
    sheet_ = sheet;
    connect(sheet, &QObject::destroyed, this, [this, sheet] {
      if (sheet_ == sheet) sheet_ = nullptr;
      // An alert that was up over the sheet went with it; it comes back over the window.
      QMetaObject::invokeMethod(
          this, [this] { alerts_->update(); }, Qt::QueuedConnection);
    });
    if (onModalWindow_) onModalWindow_(sheet);
    sheet->open();
  } else if (sheet_ != nullptr) {
    ConnectionSetupView* sheet = sheet_;
    sheet_ = nullptr;
    sheet->hide();
    sheet->deleteLater();
  }
  Q_EMIT showSetupChanged(show);
}

void ContentView::openSetupIfTermsAccepted() {
  runtime::MainThread::assertMainThread();
  if (acceptedTermsVersion() >= currentTermsVersion()) setShowSetup(true);
}

void ContentView::closeSetupForTermination() { setShowSetup(false); }

void ContentView::termsVersionMayHaveChanged() {
  const int now = storedTermsVersion();
  if (now == lastAcceptedTermsVersion_) return;
  lastAcceptedTermsVersion_ = now;
  if (now >= currentTermsVersion()) setShowSetup(true);
}

void ContentView::startServices() {
  runtime::MainThread::assertMainThread();
  servicesRunning_ = true;
  oscViewModel_.startServer(settings::AppSettings::oscConfiguration());
  connectionManager_.browseSuspendedByUser = false;
  connectionManager_.updateBrowsing("start");
}

void ContentView::stopServices() {
  runtime::MainThread::assertMainThread();
  servicesRunning_ = false;
  oscViewModel_.stopServer();
  connectionManager_.browseSuspendedByUser = true;
  connectionManager_.updateBrowsing("stop");
}

void ContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // A window coming back from minimised is not shown anew.
  if (event->spontaneous() || servicesRunning_) return;
  startServices();
  // After the window is up, so that the sheet is stacked above it.
  QTimer::singleShot(0, this, [this] {
    if (isVisible()) openSetupIfTermsAccepted();
  });
}

void ContentView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous() || !servicesRunning_) return;
  stopServices();
}

void ContentView::refreshStatus() {
  runtime::MainThread::assertMainThread();
  StatusInputs inputs;
  inputs.isIPadConnected = oscViewModel_.hasConnectedPeer();
  inputs.isIPadLinkDegraded = connectionManager_.isLinkDegraded.get();
  inputs.isOSCRunning = oscViewModel_.serverState.get().isRunning();
  inputs.isSyphonRunning = connectionManager_.isSyphonRunning.get();
  inputs.isVideoSilent = connectionManager_.isVideoSilent.get();
  status_->update(inputs, connectionManager_.reconnectNotice.get());
  const bool issue = connectionManager_.hasConnectionIssue.get();
  issueDot_->setVisible(issue);
  if (issue) {
    issueDot_->move(connectionButton_->width() - issueDot_->width(), 0);
    issueDot_->raise();
  }
  connectionButton_->setAccessibleDescription(issue ? QStringLiteral("接続に問題があります") : QString());
}

void ContentView::refreshSender() {
  runtime::MainThread::assertMainThread();
  sender_->setIPadConnected(oscViewModel_.hasConnectedPeer());
}

void ContentView::refreshVideo() {
  runtime::MainThread::assertMainThread();
  const bool silent = connectionManager_.isVideoSilent.get();
  if (connectionManager_.streamMode.get() == link::StreamMode::raw) {
    mix_->closeFullScreen();
    mix_->hide();
    raw_->show();
    raw_->update(connectionManager_.receivedPixelBufferA.get(), connectionManager_.receivedPixelBufferB.get(), silent);
  } else {
    raw_->hide();
    mix_->show();
    mix_->update(connectionManager_.receivedPixelBuffer.get(), silent);
  }
}

} // namespace pd::ui
