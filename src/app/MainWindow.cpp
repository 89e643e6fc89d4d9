#include "app/MainWindow.hpp"

#include "app/TermsSheet.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/settings/TermsOfServiceView.hpp"

#include <QCoreApplication>
#include <QPointer>
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

  // A change can be written from any thread; the sheet follows it on the main thread. Off that
  // thread the window is never touched, not even to queue a call on it: it may be going
  // meanwhile, and a disconnection does not wait for a call already under way.
  defaultsChanged_ =
      platform::UserDefaults::standard().connectChanged([self = QPointer<MainWindow>(this)](const std::string& key) {
        if (key != ui::TermsOfServiceView::kAcceptedTermsVersionKey) return;
        QMetaObject::invokeMethod(
            qApp,
            [self] {
              if (self) self->updateTermsSheet();
            },
            Qt::AutoConnection);
      });
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
