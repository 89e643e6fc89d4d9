#pragma once

// The connection sheet: finds tablets, connects, follows the link and closes again. It keeps
// its own small status (ConnectionState) and resumes or suspends the link's Bonjour search.

#include "ui/main/ConnectionPresentation.hpp"

#include <QDialog>
#include <QElapsedTimer>

#include <boost/signals2/connection.hpp>

#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class QVBoxLayout;
class QHBoxLayout;
class QTimer;

namespace pd::ui {

class ConnectedDeviceView;
class DiscoveredDevicesSectionView;
class ReconnectNoticeRow;

class ConnectionSetupView : public QDialog {
public:
  static constexpr int kWidth = 450;
  static constexpr int kHeight = 600;

  // `showSetup` is written false when the sheet closes itself.
  ConnectionSetupView(link::NetworkManagerForMac& manager, std::function<void(bool)> setShowSetup,
                      QWidget* parent = nullptr, AddressLookupFunction lookup = {});
  ~ConnectionSetupView() override;

  const ConnectionState& connectionState() const noexcept { return connectionState_; }
  void setConnectionState(const ConnectionState& state);
  double animationPhase() const noexcept { return animationPhase_; }
  bool isAnimating() const;

  void startSearching();
  void retry();
  void cancelReconnect();
  void closeSheet();

  // The linked tablet's panel; hidden while no tablet is linked.
  ConnectedDeviceView* connectedDeviceView() const noexcept { return connected_; }
  DiscoveredDevicesSectionView* discoveredDevices() const noexcept { return discovered_; }
  ReconnectNoticeRow* reconnectRow() const noexcept { return reconnectRow_; }
  QWidget* reconnectBlock() const noexcept { return reconnectBlock_; }
  QWidget* errorHelp() const noexcept { return errorHelp_; }
  QWidget* tips() const noexcept { return tips_; }
  QLabel* statusLine() const noexcept { return status_; }
  // The bottom bar's buttons on offer, in their order.
  std::vector<QPushButton*> barButtons() const;

  void reject() override;

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  // Which buttons the bottom bar offers, and the close button's title.
  struct BarShape {
    bool linked = false;
    bool showsClose = false;
    bool hasNotice = false;
    bool busy = false;

    friend bool operator==(const BarShape&, const BarShape&) = default;
  };

  void refresh();
  void updateErrorHelp();
  void updateBar();
  void setAnimationPhase(double phase);

  link::NetworkManagerForMac& manager_;
  std::function<void(bool)> setShowSetup_;
  AddressLookupFunction lookup_;
  ConnectionState connectionState_;
  double animationPhase_ = 0;
  bool linked_ = false;
  bool onScreen_ = false;

  QLabel* status_;
  QVBoxLayout* content_;
  QWidget* reconnectBlock_;
  ReconnectNoticeRow* reconnectRow_;
  ConnectedDeviceView* connected_;
  DiscoveredDevicesSectionView* discovered_;
  QWidget* errorHelp_ = nullptr;
  std::optional<ConnectionError> errorShown_;
  QWidget* tips_;
  QHBoxLayout* bar_;
  QPushButton* done_;
  QPushButton* close_;
  QPushButton* cancel_;
  QPushButton* search_;
  int barStretchIndex_ = 0;
  std::optional<BarShape> barShape_;
  // The searching rings: a slow, subtle motion, drawn at a modest rate so that an open sheet
  // waiting for a tablet costs little.
  QTimer* animation_;
  QElapsedTimer animationClock_;
  std::vector<boost::signals2::scoped_connection> subscriptions_;
};

} // namespace pd::ui
