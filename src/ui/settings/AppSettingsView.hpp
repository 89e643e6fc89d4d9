#pragma once

// The settings window's content: a grouped form of sections, each a header, its rows and a
// footer. The sections read and write the user defaults directly; what they change takes
// effect through the link manager and the OSC view model handed in by the application.

#include <QString>
#include <QWidget>

class QFormLayout;
class QLineEdit;
class QPushButton;
class QShowEvent;

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

  // Stores the frame-sharing name trimmed, logs the effective name with the next snapshot
  // revision and renames the running output nodes to it. Every Return and every press of
  // "適用" runs it, also when nothing changed. Main thread only.
  void applySyphonServerName();

  QLineEdit* syphonServerNameField() const noexcept { return syphonServerNameField_; }
  QPushButton* syphonApplyButton() const noexcept { return syphonApplyButton_; }

protected:
  void showEvent(QShowEvent* event) override;

private:
  // A section's header, spaced off the section above it.
  void addSectionHeader(const QString& text);
  // The explanatory text under a section's rows.
  void addSectionFooter(const QString& text);

  void addSyphonSection();
  // Shows the stored name, as the field's binding reads it.
  void reloadSyphonServerName();

  link::NetworkManagerForMac& connectionManager_;
  deckinput::OSCViewModel& oscViewModel_;
  QFormLayout* form_ = nullptr;
  QLineEdit* syphonServerNameField_ = nullptr;
  QPushButton* syphonApplyButton_ = nullptr;
};

} // namespace pd::ui
