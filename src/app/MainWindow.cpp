#include "app/MainWindow.hpp"

#include "app/TermsSheet.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/settings/FollowSetting.hpp"
#include "ui/settings/TermsOfServiceView.hpp"

#include <QTimer>
#include <QToolBar>

namespace pd::app {

MainWindow::MainWindow(ui::ContentView* content, int currentTermsVersion) : content_(content) {
  // The main window is named after the product line, as the window shows it; the app menu keeps the app name.
  setWindowTitle(QStringLiteral("Palendrix Zuvudiv"));
  setCentralWidget(content_);
  addToolBar(content_->toolBar());
  termsSheet_ = new TermsSheet(currentTermsVersion, this);

  prepareForTermination_ = NotificationCenter::defaultCenter().addObserver(
      kPrepareForTerminationNotification, [this] { content_->closeSetupForTermination(); });

  defaultsChanged_ = ui::followSetting(this, ui::TermsOfServiceView::kAcceptedTermsVersionKey,
                                       [](MainWindow& window) { window.updateTermsSheet(); });
}

MainWindow::~MainWindow() = default;

void MainWindow::updateTermsSheet() {
  runtime::MainThread::assertMainThread();
  const bool presented = isVisible() && termsSheet_->isRequired();
  if (presented && !termsSheet_->isVisible()) {
    termsSheet_->open();
    termsSheet_->view()->setFocus();
  } else if (!presented && termsSheet_->isVisible()) {
    termsSheet_->hide();
  }
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // After the window itself is up, so that the sheet is stacked above it.
  QTimer::singleShot(0, this, [this] { updateTermsSheet(); });
}

void MainWindow::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  updateTermsSheet();
}

} // namespace pd::app
