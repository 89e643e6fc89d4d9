#include "ui/main/ConnectionSetupView.hpp"

#include "runtime/MainThread.hpp"
#include "ui/main/ConnectionSheetViews.hpp"
#include "ui/main/StatusSection.hpp"
#include "ui/main/ViewKit.hpp"

#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace pd::ui {

namespace {
constexpr std::chrono::milliseconds kAnimationCycle{2000};
constexpr std::chrono::milliseconds kAnimationFrameInterval{100};

} // namespace

ConnectionSetupView::ConnectionSetupView(link::NetworkManagerForMac& manager, std::function<void(bool)> setShowSetup,
                                         QWidget* parent, AddressLookupFunction lookup)
    : QDialog(parent),
      manager_(manager),
      setShowSetup_(std::move(setShowSetup)),
      lookup_(lookup ? std::move(lookup) : AddressLookupFunction([](std::string_view name) {
        return DiscoveredRoute::lookupAddress(name);
      })) {
  runtime::MainThread::assertMainThread();
  setWindowTitle(QStringLiteral("iPad接続"));
  setWindowModality(Qt::WindowModal);
  setFixedSize(kWidth, kHeight);
  linked_ = !manager_.connectedPeers.get().empty();
  connectionState_ = linked_ ? ConnectionState::connected() : ConnectionState::idle();

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QWidget(this);
  auto* headerColumn = new QVBoxLayout(header);
  headerColumn->setSpacing(4);
  headerColumn->addWidget(textLabel(QStringLiteral("iPad接続"), TextStyle::title2, header));
  applyTextStyle(headerColumn->itemAt(0)->widget(), TextStyle::title2, true);
  status_ = textLabel({}, TextStyle::subheadline, header);
  applySecondaryStyle(status_);
  headerColumn->addWidget(status_);
  column->addWidget(header);
  auto* topDivider = new QFrame(this);
  topDivider->setFrameShape(QFrame::HLine);
  column->addWidget(topDivider);

  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* holder = new QWidget(scroll);
  content_ = new QVBoxLayout(holder);
  content_->setSpacing(24);

  reconnectBlock_ = makeCard(8, holder, tintColor(Tint::orange, 0.12));
  auto* reconnectLayout = new QVBoxLayout(reconnectBlock_);
  reconnectLayout->setContentsMargins(12, 12, 12, 12);
  reconnectRow_ = new ReconnectNoticeRow(reconnectBlock_);
  reconnectLayout->addWidget(reconnectRow_);
  content_->addWidget(reconnectBlock_);
  connected_ = new ConnectedDeviceView(manager_, lookup_, holder);
  connected_->hide();
  content_->addWidget(connected_);
  discovered_ = new DiscoveredDevicesSectionView(manager_, lookup_, holder);
  content_->addWidget(discovered_);
  tips_ = new ConnectionTipsView(holder);
  content_->addWidget(tips_);
  content_->addStretch(1);
  scroll->setWidget(holder);
  column->addWidget(scroll, 1);

  auto* bottomDivider = new QFrame(this);
  bottomDivider->setFrameShape(QFrame::HLine);
  column->addWidget(bottomDivider);
  bar_ = new QHBoxLayout;
  bar_->setSpacing(12);
  bar_->setContentsMargins(12, 12, 12, 12);
  column->addLayout(bar_);
  // Every button the bar can offer is made once and shown or hidden: a button that is being
  // pressed, or holds the focus or the default, stays the same widget while the link changes.
  done_ = new QPushButton(symbolIcon("checkmark.circle.fill"), QStringLiteral("完了"), this);
  done_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  QObject::connect(done_, &QPushButton::clicked, this, [this] { closeSheet(); });
  close_ = new QPushButton(this);
  close_->setAutoDefault(false);
  QObject::connect(close_, &QPushButton::clicked, this, [this] { closeSheet(); });
  cancel_ = new QPushButton(QStringLiteral("キャンセル"), this);
  cancel_->setAutoDefault(false);
  QObject::connect(cancel_, &QPushButton::clicked, this, [this] { cancelReconnect(); });
  search_ = new QPushButton(symbolIcon("magnifyingglass"), QStringLiteral("検索開始"), this);
  QObject::connect(search_, &QPushButton::clicked, this, [this] { startSearching(); });
  bar_->addWidget(done_, 1);
  bar_->addWidget(close_);
  barStretchIndex_ = bar_->count();
  bar_->addStretch(1);
  bar_->addWidget(cancel_);
  bar_->addWidget(search_);

  animation_ = new QTimer(this);
  animation_->setInterval(kAnimationFrameInterval);
  QObject::connect(animation_, &QTimer::timeout, this, [this] {
    const auto cycle = std::chrono::duration_cast<std::chrono::milliseconds>(kAnimationCycle).count();
    setAnimationPhase(static_cast<double>(animationClock_.elapsed() % cycle) / static_cast<double>(cycle));
  });

  const auto onChange = [this] { refresh(); };
  subscriptions_.push_back(watch(manager_.connectedPeers, onChange));
  subscriptions_.push_back(watch(manager_.discoveredPeers, onChange));
  subscriptions_.push_back(watch(manager_.discoveredPeerVersions, onChange));
  subscriptions_.push_back(watch(manager_.reconnectNotice, onChange));
  subscriptions_.push_back(watch(manager_.isLinkDegraded, onChange));
  subscriptions_.push_back(watch(manager_.isVideoSilent, onChange));
  subscriptions_.push_back(watch(manager_.peerVersionState, onChange));
  subscriptions_.push_back(watch(manager_.peerAppVersion, onChange));
  refresh();
}

ConnectionSetupView::~ConnectionSetupView() = default;

void ConnectionSetupView::setConnectionState(const ConnectionState& state) {
  runtime::MainThread::assertMainThread();
  connectionState_ = state;
  refresh();
}

bool ConnectionSetupView::isAnimating() const { return animation_->isActive(); }

void ConnectionSetupView::setAnimationPhase(double phase) {
  animationPhase_ = phase;
  discovered_->setPhase(phase);
}

void ConnectionSetupView::startSearching() {
  runtime::MainThread::assertMainThread();
  connectionState_ = ConnectionState::searching();
  manager_.browseSuspendedByUser = false;
  manager_.updateBrowsing("start");
  animationClock_.start();
  animation_->start();
  refresh();
}

void ConnectionSetupView::retry() {
  connectionState_ = ConnectionState::idle();
  startSearching();
}

void ConnectionSetupView::cancelReconnect() {
  runtime::MainThread::assertMainThread();
  manager_.cancelConnection();
  connectionState_ = ConnectionState::idle();
  animation_->stop();
  setAnimationPhase(0);
  refresh();
}

void ConnectionSetupView::closeSheet() {
  runtime::MainThread::assertMainThread();
  if (setShowSetup_) setShowSetup_(false);
}

void ConnectionSetupView::reject() {
  // Escape is the close button's shortcut, so it works only where that button is offered.
  if (linked_ || !sheetShowsCloseButton(connectionState_, manager_.reconnectNotice.get().has_value())) return;
  closeSheet();
}

void ConnectionSetupView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous() || onScreen_) return;
  onScreen_ = true;
  linked_ = !manager_.connectedPeers.get().empty();
  if (!linked_) startSearching();
}

void ConnectionSetupView::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (event->spontaneous()) return;
  onScreen_ = false;
  animation_->stop();
}

void ConnectionSetupView::refresh() {
  runtime::MainThread::assertMainThread();
  const bool linked = !manager_.connectedPeers.get().empty();
  if (onScreen_ && linked != linked_) {
    if (linked) {
      connectionState_ = ConnectionState::connected();
      animation_->stop();
      setAnimationPhase(0);
    } else {
      connectionState_ = ConnectionState::disconnected();
    }
  }
  linked_ = linked;
  const auto& notice = manager_.reconnectNotice.get();

  status_->setText(qs(connectionState_.description()));
  reconnectBlock_->setVisible(!linked && notice.has_value());
  if (notice) reconnectRow_->setNotice(*notice);

  connected_->setVisible(linked);
  if (linked) {
    connected_->refresh();
  } else {
    connected_->reset();
  }
  discovered_->refresh(connectionState_);
  updateErrorHelp();
  tips_->setVisible(!linked);
  updateBar();
}

void ConnectionSetupView::updateErrorHelp() {
  const auto error = connectionState_.isError() ? std::optional(connectionState_.error) : std::nullopt;
  if (error == errorShown_) return;
  errorShown_ = error;
  if (errorHelp_ != nullptr) {
    errorHelp_->hide();
    errorHelp_->setParent(nullptr);
    errorHelp_->deleteLater(); // it may hold the retry button whose click led here
    errorHelp_ = nullptr;
  }
  if (error) {
    errorHelp_ = new ErrorHelpView(
        *error, [this] { retry(); }, discovered_->parentWidget());
    content_->insertWidget(content_->indexOf(discovered_) + 1, errorHelp_);
  }
}

void ConnectionSetupView::updateBar() {
  BarShape shape;
  shape.linked = linked_;
  shape.hasNotice = manager_.reconnectNotice.get().has_value();
  shape.showsClose = !linked_ && sheetShowsCloseButton(connectionState_, shape.hasNotice);
  shape.busy = !linked_ && sheetIsBusy(connectionState_, shape.hasNotice);
  if (barShape_ == shape) return;
  barShape_ = shape;
  done_->setVisible(shape.linked);
  close_->setVisible(shape.showsClose);
  close_->setText(qs(sheetCloseButtonTitle(shape.hasNotice)));
  cancel_->setVisible(!shape.linked && shape.busy);
  search_->setVisible(!shape.linked && !shape.busy);
  // The lone "完了" spans the bar; otherwise the stretch parts the close button from the rest.
  bar_->setStretch(barStretchIndex_, shape.linked ? 0 : 1);
  if (shape.linked) {
    done_->setDefault(true);
  } else if (!shape.busy) {
    search_->setDefault(true);
  }
}

std::vector<QPushButton*> ConnectionSetupView::barButtons() const {
  std::vector<QPushButton*> buttons;
  for (int i = 0; i < bar_->count(); ++i) {
    auto* button = qobject_cast<QPushButton*>(bar_->itemAt(i)->widget());
    if (button != nullptr && !button->isHidden()) buttons.push_back(button);
  }
  return buttons;
}

} // namespace pd::ui
