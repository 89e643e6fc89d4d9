#pragma once

// The main window's content. A shell for now: it holds the three long-lived models it will
// show, its connection-sheet flag and the terms gate's values.

#include <QWidget>

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

class ContentView : public QWidget {
  Q_OBJECT

public:
  static constexpr int kCurrentTermsVersion = 2;

  ContentView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
              sender::LocalVideoBroadcaster& localVideoBroadcaster, QWidget* parent = nullptr);

  int currentTermsVersion() const noexcept { return kCurrentTermsVersion; }

  // Whether the connection sheet is open.
  bool showSetup() const noexcept { return showSetup_; }
  void setShowSetup(bool show);

  // Closes the connection sheet before the application relaunches into an update.
  void closeSetupForTermination();

Q_SIGNALS:
  void showSetupChanged(bool showSetup);

private:
  link::NetworkManagerForMac& connectionManager_;
  deckinput::OSCViewModel& oscViewModel_;
  sender::LocalVideoBroadcaster& localVideoBroadcaster_;
  bool showSetup_ = false;
};

} // namespace pd::ui
