#pragma once

// The window-modal sheet that covers the main window with the terms of service until the
// current terms version is accepted. The user cannot dismiss it: Escape, the close button and
// every reject are ignored while the stored version is below the current one.

#include <QDialog>

namespace pd::ui {
class TermsOfServiceView;
}

namespace pd::app {

class TermsSheet : public QDialog {
  Q_OBJECT

public:
  TermsSheet(int currentTermsVersion, QWidget* mainWindow);

  ui::TermsOfServiceView* view() const noexcept { return view_; }

  // The presentation condition: the stored accepted version is below the current one.
  bool isRequired() const;

  void done(int result) override;

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  int currentTermsVersion_;
  ui::TermsOfServiceView* view_ = nullptr;
};

} // namespace pd::app
