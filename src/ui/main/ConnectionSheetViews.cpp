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
  auto* text =
      textLabel(QStringLiteral("Palendrixが起動しているiPadを検索しています..."), TextStyle::subheadline, this);
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
  Listed listed;
  listed.content = devicesCardContent(hasUnconnectedPeers(discovered, connected), state, linked);
  if (listed.content == DevicesCardContent::list) {
    listed.peers = visiblePeers(discovered, connected);
    const auto& versions = manager_.discoveredPeerVersions.get();
    for (const auto& peer : listed.peers) {
      const auto found = versions.find(peer.endpoint);
      listed.versions.push_back(found == versions.end() ? std::nullopt : std::optional(found->second));
    }
  }
  content_ = listed.content;
  if (listed_ == listed) return;
  rebuild(listed);
  listed_ = std::move(listed);
}

void DiscoveredDevicesSectionView::rebuild(const Listed& listed) {
  clearLayout(body_);
  placeholder_ = nullptr;
  switch (listed.content) {
  case DevicesCardContent::list: {
    const auto& peers = listed.peers;
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
      if (QWidget* chip = versionChip(discoveredPeerVersionChip(listed.versions[i]), 3, row)) title->addWidget(chip);
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
        rowColumn->addWidget(routeRow(
            route,
            [this, peer, interface = route.interface] {
              runtime::MainThread::assertMainThread();
              manager_.connect(peer, interface);
            },
            row));
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
  Listed listed;
  listed.current = manager_.currentRoute();
  if (const auto& current = listed.current) {
    const auto& discovered = manager_.discoveredPeers.get();
    const auto fresh = std::find_if(discovered.begin(), discovered.end(),
                                    [&](const auto& peer) { return peer.endpoint == current->peer.endpoint; });
    if (fresh != discovered.end()) listed.fresh = *fresh;
  }
  if (listed_ == listed) return;
  listed_ = std::move(listed);
  clearLayout(body_);
  const auto& current = listed_->current;
  const auto& fresh = listed_->fresh;
  if (!current || !fresh) {
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
      row->setStyleSheet(
          QStringLiteral("QFrame#routeOption { background: rgba(52,199,89,0.05); border-radius: 8px; }"));
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
  warning_->hide();
  header->addWidget(warning_);
  dot_ = new Dot(8, tintColor(Tint::green), this);
  header->addWidget(dot_);
  column_->addLayout(header);

  cardFrame_ = new QFrame(this);
  auto* card = new QHBoxLayout(cardFrame_);
  card->addWidget(symbolLabel("ipad", 32, cardFrame_));
  texts_ = new QVBoxLayout;
  texts_->setSpacing(6);
  name_ = textLabel({}, TextStyle::headline, cardFrame_);
  texts_->addWidget(name_);
  ready_ = secondaryCaption(QStringLiteral("接続済み • 映像受信準備完了"), cardFrame_);
  texts_->addWidget(ready_);
  routeKind_ = new QWidget(cardFrame_);
  auto* kind = new QHBoxLayout(routeKind_);
  kind->setContentsMargins(0, 0, 0, 0);
  kind->setSpacing(6);
  routeKindSymbol_ = symbolLabel(linkedRouteSymbol(platform::net::InterfaceType::other), 12, routeKind_);
  kind->addWidget(routeKindSymbol_);
  routeKindName_ = secondaryCaption({}, routeKind_);
  kind->addWidget(routeKindName_);
  kind->addStretch(1);
  texts_->addWidget(routeKind_);
  routeBadge_ = new QWidget(cardFrame_);
  auto* badgeRow = new QHBoxLayout(routeBadge_);
  badgeRow->setContentsMargins(0, 0, 0, 0);
  badgeRow->setSpacing(4);
  routeBadgeSymbol_ = symbolLabel("network", 12, routeBadge_);
  badgeRow->addWidget(routeBadgeSymbol_);
  routeBadgeText_ = textLabel({}, TextStyle::caption2, routeBadge_);
  routeBadgeText_->setObjectName(QStringLiteral("routeBadge"));
  badgeRow->addWidget(routeBadgeText_);
  badgeRow->addStretch(1);
  texts_->addWidget(routeBadge_);
  routeKind_->hide();
  routeBadge_->hide();
  card->addLayout(texts_, 1);
  statusSymbol_ = symbolLabel(linkHealth(false, false).statusSymbol, 24, cardFrame_);
  card->addWidget(statusSymbol_);
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
}

void ConnectedDeviceView::disconnect() {
  runtime::MainThread::assertMainThread();
  manager_.stop(false); // frame sharing keeps running
}

void ConnectedDeviceView::toggleRouteOptions() {
  runtime::MainThread::assertMainThread();
  showRouteOptions_ = !showRouteOptions_;
  if (showRouteOptions_) {
    routeChange_ = new RouteChangeView(
        manager_, lookup_,
        [this] {
          if (showRouteOptions_) toggleRouteOptions();
        },
        this);
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
  showHealth(linkHealth(manager_.isLinkDegraded.get(), manager_.isVideoSilent.get()));
  name_->setText(qs(connectedPeerName(manager_.connectedPeers.get())));
  showChip(peerVersionChip(manager_.peerVersionState.get(), manager_.peerAppVersion.get()));
  showRoute(manager_.currentRoute());
  if (routeChange_ != nullptr) routeChange_->refresh();
}

void ConnectedDeviceView::reset() {
  runtime::MainThread::assertMainThread();
  if (showRouteOptions_) toggleRouteOptions();
  // A later link shows everything afresh, the route's address looked up again.
  health_.reset();
  chipShown_.reset();
  routeShown_.reset();
}

void ConnectedDeviceView::showHealth(const LinkHealth& health) {
  if (health_ == health) return;
  health_ = health;
  warning_->setVisible(health.warning.has_value());
  warning_->setText(qs(health.warning.value_or(std::string())));
  dot_->setColor(tintColor(health.color));
  setProperty("linkTint", static_cast<int>(health.color));
  // A style sheet repolishes the whole card: set only when the colour changes.
  if (!cardTint_ || *cardTint_ != health.color) {
    styleAsCard(cardFrame_, 10, tintColor(health.color, 0.1));
    cardTint_ = health.color;
  }
  setSymbol(statusSymbol_, health.statusSymbol);
}

void ConnectedDeviceView::showChip(const std::optional<Chip>& chip) {
  if (chipShown_ && *chipShown_ == chip) return;
  chipShown_ = chip;
  if (chip_ != nullptr) {
    chip_->hide();
    chip_->setParent(nullptr);
    chip_->deleteLater();
  }
  chip_ = versionChip(chip, 4, cardFrame_);
  if (chip_ != nullptr) texts_->insertWidget(texts_->indexOf(name_) + 1, chip_, 0, Qt::AlignLeft);
}

void ConnectedDeviceView::showRoute(const std::optional<Manager::Route>& current) {
  if (routeShown_ && *routeShown_ == current) return;
  routeShown_ = current;
  ready_->setVisible(!current);
  routeKind_->setVisible(current.has_value());
  routeBadge_->setVisible(current.has_value());
  if (!current) return;
  const DiscoveredRoute route = DiscoveredRoute::make(current->interface, lookup_(current->interface.name));
  setSymbol(routeKindSymbol_, linkedRouteSymbol(route.interfaceType));
  routeKindName_->setText(qs(route.displayName));
  const Chip badge = connectionBadge(route);
  setSymbol(routeBadgeSymbol_, badge.symbol);
  QString text = qs(badge.text);
  if (route.ipAddress) text += QStringLiteral(" • ") + qs(*route.ipAddress);
  routeBadgeText_->setText(text);
  routeBadgeText_->setProperty("tint", static_cast<int>(badge.tint));
  setTextColor(routeBadgeText_, tintColor(badge.tint));
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
