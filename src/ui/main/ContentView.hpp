#pragma once

// The main window's content: the status section, the video of the current stream mode and the
// send panel in a scrolling column, a toolbar with the settings and connection buttons, the
// connection sheet and the link's alerts. While the window is shown it runs the OSC server and
// Bonjour browsing, and it opens the connection sheet by itself once the terms are accepted.

#include "ui/sender/LocalVideoSenderSection.hpp"

#include <QWidget>

#include <boost/signals2/connection.hpp>

#include <functional>
#include <memory>
#include <vector>

class QToolBar;
class QToolButton;
class QAction;

namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::deckinput {
class OSCViewModel;
}
namespace pd::sender {
class LocalVideoBroadcaster;
}

namespace pd::ui {

class ConnectionEventAlerts;
class ConnectionSetupView;
class Dot;
class RawVideoDisplaySection;
class StatusSection;
class VideoDisplaySection;

class ContentView : public QWidget {
  Q_OBJECT

public:
  static constexpr int kCurrentTermsVersion = 2;

  ContentView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
              sender::LocalVideoBroadcaster& localVideoBroadcaster, const SenderServices& senderServices,
              QWidget* parent = nullptr);
  ~ContentView() override;

  link::NetworkManagerForMac& connectionManager() const noexcept { return connectionManager_; }
  deckinput::OSCViewModel& oscViewModel() const noexcept { return oscViewModel_; }
  sender::LocalVideoBroadcaster& localVideoBroadcaster() const noexcept { return localVideoBroadcaster_; }

  int currentTermsVersion() const noexcept { return kCurrentTermsVersion; }
  // The stored "acceptedTermsVersion" (0 when absent).
  int acceptedTermsVersion() const;

  // Whether the connection sheet is open.
  bool showSetup() const noexcept { return showSetup_; }
  void setShowSetup(bool show);

  void openSetupIfTermsAccepted();
  // Closes the connection sheet before the application relaunches into an update.
  void closeSetupForTermination();
  void startServices();
  void stopServices();

  // What the application plugs in: its settings window, its check for updates, and a hook
  // that lets Quit reach every sheet, alert and chooser this view opens.
  void setOpenSettings(std::function<void()> open) { openSettings_ = std::move(open); }
  void setCheckForUpdates(std::function<void()> check);
  void setOnModalWindow(std::function<void(QWidget*)> hook);

  QToolBar* toolBar() const noexcept { return toolBar_; }
  QAction* settingsAction() const noexcept { return settingsAction_; }
  QToolButton* connectionButton() const noexcept { return connectionButton_; }
  bool showsConnectionIssueDot() const;
  StatusSection* statusSection() const noexcept { return status_; }
  VideoDisplaySection* videoSection() const noexcept { return mix_; }
  RawVideoDisplaySection* rawVideoSection() const noexcept { return raw_; }
  QWidget* sendPanelSlot() const noexcept { return sendPanel_; }
  LocalVideoSenderSection* senderSection() const noexcept { return sender_; }
  ConnectionSetupView* connectionSheet() const noexcept { return sheet_; }
  ConnectionEventAlerts& alerts() const noexcept { return *alerts_; }
  bool servicesRunning() const noexcept { return servicesRunning_; }

Q_SIGNALS:
  void showSetupChanged(bool showSetup);

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  void refreshStatus();
  void refreshVideo();
  void refreshSender();
  void termsVersionMayHaveChanged();

  link::NetworkManagerForMac& connectionManager_;
  deckinput::OSCViewModel& oscViewModel_;
  sender::LocalVideoBroadcaster& localVideoBroadcaster_;
  bool showSetup_ = false;
  bool servicesRunning_ = false;
  int lastAcceptedTermsVersion_ = 0;

  QToolBar* toolBar_;
  QAction* settingsAction_;
  QToolButton* connectionButton_;
  Dot* issueDot_;
  StatusSection* status_;
  VideoDisplaySection* mix_;
  RawVideoDisplaySection* raw_;
  QWidget* sendPanel_;
  LocalVideoSenderSection* sender_;
  // Parented to the window, which may delete it first: cleared when it goes.
  ConnectionSetupView* sheet_ = nullptr;
  std::unique_ptr<ConnectionEventAlerts> alerts_;
  std::function<void()> openSettings_;
  std::function<void(QWidget*)> onModalWindow_;
  std::vector<boost::signals2::scoped_connection> subscriptions_;
  boost::signals2::scoped_connection defaultsChanged_;
};

} // namespace pd::ui
