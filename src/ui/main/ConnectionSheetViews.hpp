#pragma once

// The parts of the connection sheet: the discovered tablets with their ranked routes, the
// linked tablet's panel with its route change, the error help and the connection tips. Each
// follows the link manager's published state when refresh() is called, changing its widgets in
// place: a list is built again only when what it lists changes, so that a button being pressed,
// the keyboard focus and the default button survive the frequent publishes of link health and
// video silence, and the machine's interfaces are not looked up again for them.

#include "ui/main/ConnectionPresentation.hpp"

#include <QFrame>

#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;
class QHBoxLayout;

namespace pd::ui {

class Dot;

// The three rings and the search text; `phase` runs from 0 to 1 while searching.
class SearchingPlaceholderView : public QWidget {
public:
  explicit SearchingPlaceholderView(QWidget* parent = nullptr);
  void setPhase(double phase);
  double phase() const noexcept { return phase_; }

private:
  class Rings;
  Rings* rings_;
  double phase_ = 0;
};

class DiscoveredDevicesSectionView : public QFrame {
public:
  DiscoveredDevicesSectionView(link::NetworkManagerForMac& manager, AddressLookupFunction lookup,
                               QWidget* parent = nullptr);
  void refresh(const ConnectionState& state);
  void setPhase(double phase);
  DevicesCardContent content() const noexcept { return content_; }

private:
  // What the body was built from.
  struct Listed {
    DevicesCardContent content = DevicesCardContent::noDevices;
    std::vector<platform::bonjour::BrowseResult> peers;
    std::vector<std::optional<link::NetworkManagerForMac::PeerVersionInfo>> versions;

    friend bool operator==(const Listed&, const Listed&) = default;
  };
  void rebuild(const Listed& listed);

  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  QWidget* searchingIndicator_;
  QVBoxLayout* body_;
  SearchingPlaceholderView* placeholder_ = nullptr;
  DevicesCardContent content_ = DevicesCardContent::noDevices;
  std::optional<Listed> listed_;
  double phase_ = 0;
};

class RouteChangeView : public QFrame {
public:
  RouteChangeView(link::NetworkManagerForMac& manager, AddressLookupFunction lookup, std::function<void()> fold,
                  QWidget* parent = nullptr);
  void refresh();

private:
  // What the list was built from: the route in use and the tablet's latest browse result.
  struct Listed {
    std::optional<link::NetworkManagerForMac::Route> current;
    std::optional<platform::bonjour::BrowseResult> fresh;

    friend bool operator==(const Listed&, const Listed&) = default;
  };

  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  std::function<void()> fold_;
  QVBoxLayout* body_;
  std::optional<Listed> listed_;
};

// The linked tablet's panel. It shows nothing until the first refresh(); reset() folds the
// route options and forgets what it showed, for when the link is gone.
class ConnectedDeviceView : public QFrame {
public:
  ConnectedDeviceView(link::NetworkManagerForMac& manager, AddressLookupFunction lookup, QWidget* parent = nullptr);
  void refresh();
  void reset();
  bool showRouteOptions() const noexcept { return showRouteOptions_; }
  void toggleRouteOptions();
  void disconnect();
  QPushButton* routeButton() const noexcept { return routeButton_; }
  QPushButton* disconnectButton() const noexcept { return disconnectButton_; }

private:
  void showHealth(const LinkHealth& health);
  void showChip(const std::optional<Chip>& chip);
  void showRoute(const std::optional<link::NetworkManagerForMac::Route>& current);

  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  bool showRouteOptions_ = false;
  QLabel* warning_;
  Dot* dot_;
  QFrame* cardFrame_;
  QVBoxLayout* texts_;
  QLabel* name_;
  QWidget* chip_ = nullptr;
  QLabel* ready_;
  QWidget* routeKind_;
  QLabel* routeKindSymbol_;
  QLabel* routeKindName_;
  QWidget* routeBadge_;
  QLabel* routeBadgeSymbol_;
  QLabel* routeBadgeText_;
  QLabel* statusSymbol_;
  QPushButton* disconnectButton_;
  QPushButton* routeButton_;
  RouteChangeView* routeChange_ = nullptr;
  QVBoxLayout* column_;
  // What is shown; none until shown once after construction or reset().
  std::optional<LinkHealth> health_;
  std::optional<Tint> cardTint_;
  std::optional<std::optional<Chip>> chipShown_;
  std::optional<std::optional<link::NetworkManagerForMac::Route>> routeShown_;
};

class ErrorHelpView : public QFrame {
public:
  ErrorHelpView(const ConnectionError& error, std::function<void()> onRetry, QWidget* parent = nullptr);
  QPushButton* retryButton() const noexcept { return retry_; }

private:
  QPushButton* retry_;
};

class ConnectionTipsView : public QFrame {
public:
  explicit ConnectionTipsView(QWidget* parent = nullptr);
};

} // namespace pd::ui
