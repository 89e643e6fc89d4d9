#include "app/TermsSheet.hpp"

#include "ui/settings/TermsOfServiceView.hpp"

#include <QCloseEvent>
#include <QPushButton>
#include <QVBoxLayout>

namespace pd::app {

TermsSheet::TermsSheet(int currentTermsVersion, QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      currentTermsVersion_(currentTermsVersion) {
  setWindowTitle(QStringLiteral("利用規約"));
  // Window-modal: the sheet blocks its main window only, so other windows and Quit stay usable.
  setWindowModality(Qt::WindowModal);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new ui::TermsOfServiceView(currentTermsVersion_, this);
  layout->addWidget(view_);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  // Now that the button sits inside the dialog, Return reaches it as the default button.
  view_->acceptButton()->setDefault(true);
  view_->acceptButton()->setFocus();
}

bool TermsSheet::isRequired() const { return ui::TermsOfServiceView::acceptedTermsVersion() < currentTermsVersion_; }

void TermsSheet::done(int result) {
  // Reject, Escape and accept all come here; only the stored acceptance ends the sheet.
  if (isRequired()) {
    return;
  }
  QDialog::done(result);
}

void TermsSheet::closeEvent(QCloseEvent* event) {
  if (isRequired()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

} // namespace pd::app
