#pragma once

// The parts of the connection sheet: the discovered tablets with their ranked routes, the
// linked tablet's panel with its route change, the error help and the connection tips. Each
// rebuilds what it shows from the link manager's published state when refresh() is called.

#include "ui/main/ConnectionPresentation.hpp"

#include <QFrame>

#include <functional>

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
  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  QWidget* searchingIndicator_;
  QVBoxLayout* body_;
  SearchingPlaceholderView* placeholder_ = nullptr;
  DevicesCardContent content_ = DevicesCardContent::noDevices;
  double phase_ = 0;
};

class RouteChangeView : public QFrame {
public:
  RouteChangeView(link::NetworkManagerForMac& manager, AddressLookupFunction lookup, std::function<void()> fold,
                  QWidget* parent = nullptr);
  void refresh();

private:
  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  std::function<void()> fold_;
  QVBoxLayout* body_;
};

class ConnectedDeviceView : public QFrame {
public:
  ConnectedDeviceView(link::NetworkManagerForMac& manager, AddressLookupFunction lookup, QWidget* parent = nullptr);
  void refresh();
  bool showRouteOptions() const noexcept { return showRouteOptions_; }
  void toggleRouteOptions();
  void disconnect();
  QPushButton* routeButton() const noexcept { return routeButton_; }
  QPushButton* disconnectButton() const noexcept { return disconnectButton_; }

private:
  link::NetworkManagerForMac& manager_;
  AddressLookupFunction lookup_;
  bool showRouteOptions_ = false;
  QLabel* warning_;
  Dot* dot_;
  QVBoxLayout* cardBody_;
  QHBoxLayout* card_;
  QFrame* cardFrame_;
  QPushButton* disconnectButton_;
  QPushButton* routeButton_;
  RouteChangeView* routeChange_ = nullptr;
  QVBoxLayout* column_;
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
