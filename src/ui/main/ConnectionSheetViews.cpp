#include "ui/main/ConnectionSheetViews.hpp"

#include "runtime/MainThread.hpp"
#include "ui/main/ViewKit.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace pd::ui {

using Manager = link::NetworkManagerForMac;

namespace {

QPushButton* tintedButton(const QString& text, Tint tint, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  applyTextStyle(button, TextStyle::caption);
  button->setStyleSheet(QStringLiteral("QPushButton { color: %1; }").arg(tintColor(tint).name()));
  button->setAutoDefault(false);
  return button;
}

QLabel* secondaryCaption(const QString& text, QWidget* parent) {
  auto* label = textLabel(text, TextStyle::caption, parent);
  applySecondaryStyle(label);
  return label;
}

QWidget* versionChip(const std::optional<Chip>& chip, int spacing, QWidget* parent) {
  if (!chip) return nullptr; // no chip takes no room
  return chipWidget(*chip, spacing, 0.15, parent);
}

// One route of a discovered tablet, with its "接続" button.
QFrame* routeRow(const DiscoveredRoute& route, std::function<void()> onConnect, QWidget* parent) {
  auto* row = new QFrame(parent);
  row->setObjectName(QStringLiteral("routeRow"));
  row->setAccessibleName(qs(route.id()));
  if (route.isRecommended) {
    row->setStyleSheet(QStringLiteral("QFrame#routeRow { background: rgba(52,199,89,0.05); border-radius: 8px; }"));
  }
  const Chip badge = connectionBadge(route);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(10, 8, 10, 8);
  layout->setSpacing(12);
  layout->addSpacing(20);
  auto* symbol = symbolLabel(discoveredRouteSymbol(route.interfaceType), 20, row);
  layout->addWidget(symbol);
  auto* texts = new QVBoxLayout;
  texts->setSpacing(4);
  auto* nameRow = new QHBoxLayout;
  nameRow->setSpacing(6);
  auto* name = textLabel(qs(route.displayName), TextStyle::subheadline, row);
  QFont font = name->font();
  font.setWeight(QFont::Medium);
  name->setFont(font);
  nameRow->addWidget(name);
  if (route.isRecommended) nameRow->addWidget(tagLabel(QStringLiteral("推奨"), Tint::green, 0.2, row));
  nameRow->addStretch(1);
  texts->addLayout(nameRow);
  auto* badgeRow = new QHBoxLayout;
  badgeRow->setSpacing(8);
  badgeRow->addWidget(chipWidget(badge, 3, 0.15, row));
  if (route.ipAddress) {
    auto* address = textLabel(qs(*route.ipAddress), TextStyle::caption2, row);
    applySecondaryStyle(address);
    badgeRow->addWidget(address);
  }
  badgeRow->addStretch(1);
  texts->addLayout(badgeRow);
  layout->addLayout(texts, 1);
  auto* connect = tintedButton(QStringLiteral("接続"), badge.tint, row);
  connect->setAccessibleName(QStringLiteral("接続 ") + qs(route.id()));
  QObject::connect(connect, &QPushButton::clicked, row, std::move(onConnect));
  layout->addWidget(connect);
  return row;
}

} // namespace

// Three rings that grow and fade with the phase, each a little behind the one before.
class SearchingPlaceholderView::Rings : public QWidget {
public:
  explicit Rings(QWidget* parent) : QWidget(parent) { setFixedHeight(70); }
  double phase = 0;

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = rect().center();
    for (int i = 0; i < 3; ++i) {
      const double local = std::clamp(phase - 0.2 * i, 0.0, 1.0);
      const double diameter = (40.0 + 15.0 * i) * (1.0 + 0.2 * local);
      QColor stroke = tintColor(Tint::blue, 0.2 * (1.0 - 0.7 * local));
      painter.setPen(QPen(stroke, 1));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(centre, diameter / 2, diameter / 2);
    }
    symbolIcon("magnifyingglass").paint(&painter, QRect(int(centre.x()) - 11, int(centre.y()) - 11, 22, 22));
  }
};

SearchingPlaceholderView::SearchingPlaceholderView(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 16, 0, 16);
  column->setSpacing(12);
  rings_ = new Rings(this);
  column->addWidget(rings_);
  auto* text = textLabel(QStringLiteral("Palendrixが起動しているiPadを検索しています..."), TextStyle::subheadline, this);
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignCenter);
  applySecondaryStyle(text);
  column->addWidget(text);
}

void SearchingPlaceholderView::setPhase(double phase) {
  phase_ = phase;
  rings_->phase = phase;
  rings_->update();
}

DiscoveredDevicesSectionView::DiscoveredDevicesSectionView(Manager& manager, AddressLookupFunction lookup,
                                                           QWidget* parent)
    : QFrame(parent), manager_(manager), lookup_(std::move(lookup)) {
  styleAsCard(this, 12);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(12);
  auto* header = new QHBoxLayout;
  header->addWidget(textLabel(QStringLiteral("発見されたデバイス"), TextStyle::headline, this));
  header->addStretch(1);
  searchingIndicator_ = new QWidget(this);
  auto* indicator = new QHBoxLayout(searchingIndicator_);
  indicator->setContentsMargins(0, 0, 0, 0);
  indicator->setSpacing(6);
  auto* spinner = new Spinner(14, searchingIndicator_);
  indicator->addWidget(spinner);
  indicator->addWidget(secondaryCaption(QStringLiteral("検索中"), searchingIndicator_));
  header->addWidget(searchingIndicator_);
  column->addLayout(header);
  body_ = new QVBoxLayout;
  column->addLayout(body_);
}

void DiscoveredDevicesSectionView::setPhase(double phase) {
  phase_ = phase;
  if (placeholder_) placeholder_->setPhase(phase);
}

void DiscoveredDevicesSectionView::refresh(const ConnectionState& state) {
  runtime::MainThread::assertMainThread();
  const auto& discovered = manager_.discoveredPeers.get();
  const auto& connected = manager_.connectedPeers.get();
  const bool linked = !connected.empty();
  searchingIndicator_->setVisible(showsSearchingIndicator(state, linked));
  clearLayout(body_);
  placeholder_ = nullptr;
  content_ = devicesCardContent(hasUnconnectedPeers(discovered, connected), state, linked);
  switch (content_) {
  case DevicesCardContent::list: {
    const auto peers = visiblePeers(discovered, connected);
    const auto& versions = manager_.discoveredPeerVersions.get();
    for (std::size_t i = 0; i < peers.size(); ++i) {
      const auto& peer = peers[i];
      auto* row = new QWidget(this);
      row->setObjectName(QStringLiteral("peerRow"));
      auto* rowColumn = new QVBoxLayout(row);
      rowColumn->setContentsMargins(0, 0, 0, 0);
      rowColumn->setSpacing(8);
      auto* title = new QHBoxLayout;
      title->setContentsMargins(0, 4, 0, 4);
      title->addWidget(symbolLabel("ipad", 18, row));
      const QString name = qs(endpointDisplayName(peer.endpoint));
      title->addWidget(textLabel(name, TextStyle::headline, row));
      title->addStretch(1);
      const auto found = versions.find(peer.endpoint);
      const auto info = found == versions.end() ? std::nullopt : std::optional(found->second);
      if (QWidget* chip = versionChip(discoveredPeerVersionChip(info), 3, row)) title->addWidget(chip);
      rowColumn->addLayout(title);
      row->setAccessibleName(name);
      const auto routes = routesOf(peer, lookup_);
      if (routes.empty()) {
        auto* none = textLabel(QStringLiteral("⚠️ 利用可能な経路がありません"), TextStyle::caption, row);
        setTextColor(none, tintColor(Tint::orange));
        rowColumn->addWidget(none);
      }
      for (const auto& route : routes) {
        // The press goes to the tablet as it was listed and to this route's interface.
        rowColumn->addWidget(routeRow(route, [this, peer, interface = route.interface] {
          runtime::MainThread::assertMainThread();
          manager_.connect(peer, interface);
        }, row));
      }
      body_->addWidget(row);
      if (i + 1 < peers.size()) {
        auto* divider = new QFrame(this);
        divider->setObjectName(QStringLiteral("divider"));
        divider->setFrameShape(QFrame::HLine);
        body_->addWidget(divider);
      }
    }
    break;
  }
  case DevicesCardContent::noDevices: {
    auto* line = new QWidget(this);
    line->setObjectName(QStringLiteral("noDevices"));
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 20, 0, 20);
    layout->addStretch(1);
    layout->addWidget(symbolLabel("ipad.slash", 16, line));
    auto* text = textLabel(QStringLiteral("デバイスが見つかりません"), TextStyle::subheadline, line);
    applySecondaryStyle(text);
    layout->addWidget(text);
    layout->addStretch(1);
    body_->addWidget(line);
    break;
  }
  case DevicesCardContent::searching:
    placeholder_ = new SearchingPlaceholderView(this);
    placeholder_->setPhase(phase_);
    body_->addWidget(placeholder_);
    break;
  }
}

RouteChangeView::RouteChangeView(Manager& manager, AddressLookupFunction lookup, std::function<void()> fold,
                                 QWidget* parent)
    : QFrame(parent), manager_(manager), lookup_(std::move(lookup)), fold_(std::move(fold)) {
  styleAsCard(this, 8, palette().color(QPalette::Base));
  auto* column = new QVBoxLayout(this);
  column->setSpacing(8);
  column->addWidget(secondaryCaption(QStringLiteral("利用可能な経路"), this));
  body_ = new QVBoxLayout;
  body_->setSpacing(8);
  column->addLayout(body_);
  refresh();
}

void RouteChangeView::refresh() {
  runtime::MainThread::assertMainThread();
  clearLayout(body_);
  const auto current = manager_.currentRoute();
  const auto& discovered = manager_.discoveredPeers.get();
  const auto fresh = current ? std::find_if(discovered.begin(), discovered.end(),
                                            [&](const auto& peer) { return peer.endpoint == current->peer.endpoint; })
                             : discovered.end();
  if (!current || fresh == discovered.end()) {
    body_->addWidget(secondaryCaption(QStringLiteral("経路情報を取得できません"), this));
    return;
  }
  const auto routes = routesOf(*fresh, lookup_);
  if (routes.empty()) {
    body_->addWidget(secondaryCaption(QStringLiteral("利用可能な経路がありません"), this));
    return;
  }
  for (const auto& route : routes) {
    const bool isCurrent = route.interface.name == current->interface.name;
    const Chip badge = connectionBadge(route);
    auto* row = new QFrame(this);
    row->setObjectName(QStringLiteral("routeOption"));
    row->setAccessibleName(qs(route.id()));
    if (isCurrent) {
      row->setStyleSheet(QStringLiteral("QFrame#routeOption { background: rgba(52,199,89,0.05); border-radius: 8px; }"));
    }
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(12);
    layout->addWidget(symbolLabel(linkedRouteSymbol(route.interfaceType), 20, row));
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(6);
    nameRow->addWidget(textLabel(qs(route.displayName), TextStyle::subheadline, row));
    if (isCurrent) {
      nameRow->addWidget(tagLabel(QStringLiteral("現在"), Tint::green, 0.2, row));
    } else if (route.isRecommended) {
      nameRow->addWidget(tagLabel(QStringLiteral("推奨"), Tint::blue, 0.2, row));
    }
    nameRow->addStretch(1);
    texts->addLayout(nameRow);
    QString detail = qs(badge.text);
    if (route.ipAddress) detail += QStringLiteral(" (") + qs(*route.ipAddress) + QStringLiteral(")");
    auto* detailLabel = textLabel(detail, TextStyle::caption2, row);
    applySecondaryStyle(detailLabel);
    texts->addWidget(detailLabel);
    layout->addLayout(texts, 1);
    if (isCurrent) {
      layout->addWidget(symbolLabel("checkmark.circle.fill", 18, row));
    } else {
      auto* button = tintedButton(QStringLiteral("切替"), badge.tint, row);
      button->setAccessibleName(QStringLiteral("切替 ") + qs(route.id()));
      QObject::connect(button, &QPushButton::clicked, row, [this, peer = *fresh, interface = route.interface] {
        runtime::MainThread::assertMainThread();
        manager_.selectInterface(peer, interface);
        if (fold_) fold_();
      });
      layout->addWidget(button);
    }
    body_->addWidget(row);
  }
}

ConnectedDeviceView::ConnectedDeviceView(Manager& manager, AddressLookupFunction lookup, QWidget* parent)
    : QFrame(parent), manager_(manager), lookup_(std::move(lookup)) {
  styleAsCard(this, 12);
  column_ = new QVBoxLayout(this);
  column_->setSpacing(12);
  auto* header = new QHBoxLayout;
  header->addWidget(textLabel(QStringLiteral("接続済み"), TextStyle::headline, this));
  header->addStretch(1);
  warning_ = secondaryCaption({}, this);
  header->addWidget(warning_);
  dot_ = new Dot(8, tintColor(Tint::green), this);
  header->addWidget(dot_);
  column_->addLayout(header);

  cardFrame_ = new QFrame(this);
  card_ = new QHBoxLayout(cardFrame_);
  cardBody_ = nullptr;
  column_->addWidget(cardFrame_);

  auto* actions = new QHBoxLayout;
  actions->setSpacing(12);
  disconnectButton_ = new QPushButton(symbolIcon("xmark.circle"), QStringLiteral("切断"), this);
  disconnectButton_->setStyleSheet(QStringLiteral("QPushButton { color: %1; }").arg(tintColor(Tint::red).name()));
  disconnectButton_->setAutoDefault(false);
  routeButton_ = new QPushButton(symbolIcon("arrow.triangle.swap"), QStringLiteral("経路変更"), this);
  routeButton_->setAutoDefault(false);
  actions->addWidget(disconnectButton_, 1);
  actions->addWidget(routeButton_, 1);
  column_->addLayout(actions);
  QObject::connect(disconnectButton_, &QPushButton::clicked, this, [this] { disconnect(); });
  QObject::connect(routeButton_, &QPushButton::clicked, this, [this] { toggleRouteOptions(); });
  refresh();
}

void ConnectedDeviceView::disconnect() {
  runtime::MainThread::assertMainThread();
  manager_.stop(false); // frame sharing keeps running
}

void ConnectedDeviceView::toggleRouteOptions() {
  runtime::MainThread::assertMainThread();
  showRouteOptions_ = !showRouteOptions_;
  if (showRouteOptions_) {
    routeChange_ = new RouteChangeView(manager_, lookup_, [this] {
      if (showRouteOptions_) toggleRouteOptions();
    }, this);
    column_->addWidget(routeChange_);
  } else if (routeChange_ != nullptr) {
    routeChange_->hide();
    routeChange_->setParent(nullptr);
    routeChange_->deleteLater();
    routeChange_ = nullptr;
  }
  routeButton_->setIcon(symbolIcon(showRouteOptions_ ? "chevron.up" : "chevron.down"));
  routeButton_->setProperty("chevron", showRouteOptions_ ? QStringLiteral("up") : QStringLiteral("down"));
}

void ConnectedDeviceView::refresh() {
  runtime::MainThread::assertMainThread();
  const LinkHealth health = linkHealth(manager_.isLinkDegraded.get(), manager_.isVideoSilent.get());
  warning_->setVisible(health.warning.has_value());
  warning_->setText(qs(health.warning.value_or(std::string())));
  dot_->setColor(tintColor(health.color));
  setProperty("linkTint", static_cast<int>(health.color));

  clearLayout(card_);
  styleAsCard(cardFrame_, 10, tintColor(health.color, 0.1));
  card_->addWidget(symbolLabel("ipad", 32, cardFrame_));
  auto* texts = new QVBoxLayout;
  texts->setSpacing(6);
  texts->addWidget(textLabel(qs(connectedPeerName(manager_.connectedPeers.get())), TextStyle::headline, cardFrame_));
  if (QWidget* chip = versionChip(peerVersionChip(manager_.peerVersionState.get(), manager_.peerAppVersion.get()), 4,
                                  cardFrame_)) {
    texts->addWidget(chip, 0, Qt::AlignLeft);
  }
  const auto current = manager_.currentRoute();
  if (!current) {
    texts->addWidget(secondaryCaption(QStringLiteral("接続済み • 映像受信準備完了"), cardFrame_));
  } else {
    const DiscoveredRoute route = DiscoveredRoute::make(current->interface, lookup_(current->interface.name));
    auto* kind = new QHBoxLayout;
    kind->setSpacing(6);
    kind->addWidget(symbolLabel(linkedRouteSymbol(route.interfaceType), 12, cardFrame_));
    kind->addWidget(secondaryCaption(qs(route.displayName), cardFrame_));
    kind->addStretch(1);
    texts->addLayout(kind);
    const Chip badge = connectionBadge(route);
    auto* badgeRow = new QHBoxLayout;
    badgeRow->setSpacing(4);
    badgeRow->addWidget(symbolLabel(badge.symbol, 12, cardFrame_));
    QString text = qs(badge.text);
    if (route.ipAddress) text += QStringLiteral(" • ") + qs(*route.ipAddress);
    auto* badgeText = textLabel(text, TextStyle::caption2, cardFrame_);
    badgeText->setObjectName(QStringLiteral("routeBadge"));
    badgeText->setProperty("tint", static_cast<int>(badge.tint));
    setTextColor(badgeText, tintColor(badge.tint));
    badgeRow->addWidget(badgeText);
    badgeRow->addStretch(1);
    texts->addLayout(badgeRow);
  }
  card_->addLayout(texts, 1);
  card_->addWidget(symbolLabel(health.statusSymbol, 24, cardFrame_));
  if (routeChange_ != nullptr) routeChange_->refresh();
}

ErrorHelpView::ErrorHelpView(const ConnectionError& error, std::function<void()> onRetry, QWidget* parent)
    : QFrame(parent) {
  styleAsCard(this, 12, tintColor(Tint::orange, 0.1));
  auto* column = new QVBoxLayout(this);
  column->setSpacing(12);
  auto* heading = new QHBoxLayout;
  heading->addWidget(symbolLabel("exclamationmark.triangle.fill", 16, this));
  heading->addWidget(textLabel(QStringLiteral("接続に問題があります"), TextStyle::headline, this));
  heading->addStretch(1);
  column->addLayout(heading);
  auto* message = textLabel(qs(error.description()), TextStyle::subheadline, this);
  message->setObjectName(QStringLiteral("errorText"));
  message->setWordWrap(true);
  applySecondaryStyle(message);
  column->addWidget(message);
  auto* suggestions = new QVBoxLayout;
  suggestions->setSpacing(6);
  for (const auto& suggestion : errorSuggestions(error)) {
    auto* line = secondaryCaption(QStringLiteral("• ") + qs(suggestion), this);
    line->setObjectName(QStringLiteral("suggestion"));
    line->setWordWrap(true);
    suggestions->addWidget(line);
  }
  column->addLayout(suggestions);
  retry_ = new QPushButton(symbolIcon("arrow.clockwise"), QStringLiteral("再試行"), this);
  retry_->setAutoDefault(false);
  column->addWidget(retry_);
  QObject::connect(retry_, &QPushButton::clicked, this, [retry = std::move(onRetry)] {
    if (retry) retry();
  });
}

ConnectionTipsView::ConnectionTipsView(QWidget* parent) : QFrame(parent) {
  styleAsCard(this, 12);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(12);
  auto* heading = textLabel(QStringLiteral("接続のヒント"), TextStyle::headline, this);
  applySecondaryStyle(heading);
  column->addWidget(heading);
  for (const auto& tip : connectionTips()) {
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    row->addWidget(symbolLabel(tip.icon, 16, this), 0, Qt::AlignTop);
    auto* text = secondaryCaption(qs(tip.text), this);
    text->setWordWrap(true);
    row->addWidget(text, 1);
    column->addLayout(row);
  }
}

} // namespace pd::ui
