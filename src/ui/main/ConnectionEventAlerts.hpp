#pragma once

// The three alerts of the link: the tablet's mode-change request, a protocol version mismatch
// and a legacy tablet. Each is shown exactly while its property of the link manager holds and
// closes when the manager clears it; only a button's own action writes the property.

#include "ui/main/ConnectionPresentation.hpp"

#include <QMessageBox>
#include <QObject>
#include <QPointer>

#include <boost/signals2/connection.hpp>

#include <array>
#include <functional>
#include <vector>

class QWidget;

namespace pd::ui {

class ConnectionEventAlerts : public QObject {
public:
  enum class Kind : std::uint8_t { modeChange, versionMismatch, legacyPeer };

  // `hostWindow` names the window an alert opens over (the sheet while it is up).
  ConnectionEventAlerts(link::NetworkManagerForMac& manager, std::function<QWidget*()> hostWindow,
                        QObject* parent = nullptr);
  ~ConnectionEventAlerts() override;

  // Where "ダウンロードページを開く" goes; the desktop's browser by default.
  void setOpenURL(std::function<void(const std::string&)> openURL) { openURL_ = std::move(openURL); }
  // The application's check for updates, run by "アップデートを確認" when installed.
  void setCheckForUpdates(std::function<void()> check) { checkForUpdates_ = std::move(check); }
  // Called for each new alert window (the application lets Quit reach it).
  void setOnAlertCreated(std::function<void(QWidget*)> hook) { onAlertCreated_ = std::move(hook); }

  QMessageBox* alert(Kind kind) const { return boxes_[static_cast<std::size_t>(kind)].data(); }
  // Brings the alerts in line with the manager's properties.
  void update();
  // A button's own action: the only writer of the alert's property.
  void press(AlertButton::Action action);

private:
  void sync(Kind kind, bool presented, const AlertContent& content);

  link::NetworkManagerForMac& manager_;
  std::function<QWidget*()> hostWindow_;
  std::function<void(const std::string&)> openURL_;
  std::function<void(QWidget*)> onAlertCreated_;
  std::function<void()> checkForUpdates_;
  std::array<QPointer<QMessageBox>, 3> boxes_;
  std::vector<boost::signals2::scoped_connection> subscriptions_;
};

} // namespace pd::ui
