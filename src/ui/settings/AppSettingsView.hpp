#pragma once

// The settings window's content. For now the window and its empty form; the sections follow.

#include <QWidget>

class QFormLayout;

namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::deckinput {
class OSCViewModel;
}

namespace pd::ui {

class AppSettingsView : public QWidget {
  Q_OBJECT

public:
  static constexpr int kWidth = 480;

  AppSettingsView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                  QWidget* parent = nullptr);

  QFormLayout* form() const noexcept { return form_; }

private:
  link::NetworkManagerForMac& connectionManager_;
  deckinput::OSCViewModel& oscViewModel_;
  QFormLayout* form_ = nullptr;
};

} // namespace pd::ui
