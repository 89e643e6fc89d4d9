#include "ui/main/ConnectionEventAlerts.hpp"

#include "runtime/MainThread.hpp"
#include "ui/main/ViewKit.hpp"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace pd::ui {

ConnectionEventAlerts::ConnectionEventAlerts(link::NetworkManagerForMac& manager, std::function<QWidget*()> hostWindow,
                                             QObject* parent)
    : QObject(parent), manager_(manager), hostWindow_(std::move(hostWindow)) {
  openURL_ = [](const std::string& address) {
    const QUrl url(qs(address), QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty()) QDesktopServices::openUrl(url);
  };
  subscriptions_.push_back(manager_.pendingModeRequest.changed().connect([this](const auto&) { update(); }));
  subscriptions_.push_back(manager_.versionMismatchAlert.changed().connect([this](const auto&) { update(); }));
  subscriptions_.push_back(manager_.showLegacyPeerWarning.changed().connect([this](const auto&) { update(); }));
}

ConnectionEventAlerts::~ConnectionEventAlerts() {
  for (auto& box : boxes_) delete box.data();
}

void ConnectionEventAlerts::update() {
  runtime::MainThread::assertMainThread();
  const auto& pending = manager_.pendingModeRequest.get();
  const auto& mismatch = manager_.versionMismatchAlert.get();
  sync(Kind::modeChange, pending.has_value(), modeChangeAlert(pending));
  sync(Kind::versionMismatch, mismatch.has_value(), versionMismatchAlert(mismatch));
  sync(Kind::legacyPeer, manager_.showLegacyPeerWarning.get(), legacyPeerAlert());
}

void ConnectionEventAlerts::sync(Kind kind, bool presented, const AlertContent& content) {
  auto& slot = boxes_[static_cast<std::size_t>(kind)];
  if (!presented) {
    if (slot) {
      // The manager cleared the property: the alert goes without any button's action.
      QMessageBox* box = slot.data();
      slot.clear();
      box->hide();
      box->deleteLater();
    }
    return;
  }
  const QString title = qs(content.title);
  const QString message = qs(content.message);
  QStringList labels;
  for (const auto& button : content.buttons) labels << qs(button.title);
  if (slot) {
    QStringList current;
    for (QAbstractButton* button : slot->buttons()) current << button->text();
    if (slot->text() == title && slot->informativeText() == message && current.size() == labels.size()) return;
    QMessageBox* old = slot.data();
    slot.clear();
    old->hide();
    old->deleteLater();
  }
  auto* box = new QMessageBox(hostWindow_ ? hostWindow_() : nullptr);
  box->setWindowModality(Qt::WindowModal);
  box->setIcon(QMessageBox::Warning);
  box->setWindowTitle(title);
  box->setText(title);
  box->setInformativeText(message);
  box->setTextFormat(Qt::PlainText);
  // The message carries the tablet's version text: never read it as markup.
  if (auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    informative->setTextFormat(Qt::PlainText);
  }
  for (const auto& definition : content.buttons) {
    QPushButton* button =
        box->addButton(qs(definition.title), definition.cancelRole ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    if (definition.cancelRole) box->setEscapeButton(button);
    const auto action = definition.action;
    // The button's own action writes the property; closing the box by itself writes nothing.
    QObject::disconnect(button, &QAbstractButton::clicked, nullptr, nullptr);
    QObject::connect(button, &QAbstractButton::clicked, this, [this, action] { press(action); });
  }
  // A close that does not come from a button (the window manager) changes nothing: the box
  // comes back while its property still holds.
  QObject::connect(box, &QDialog::finished, this, [this, kind, box] {
    auto& current = boxes_[static_cast<std::size_t>(kind)];
    if (current.data() == box) {
      current.clear();
      box->deleteLater();
      QMetaObject::invokeMethod(
          this, [this] { update(); }, Qt::QueuedConnection);
    }
  });
  slot = box;
  if (onAlertCreated_) onAlertCreated_(box);
  box->open();
}

void ConnectionEventAlerts::press(AlertButton::Action action) {
  runtime::MainThread::assertMainThread();
  switch (action) {
  case AlertButton::Action::approveMode: manager_.resolvePendingModeRequest(true); break;
  case AlertButton::Action::declineMode: manager_.resolvePendingModeRequest(false); break;
  case AlertButton::Action::checkForUpdates:
    manager_.versionMismatchAlert.set(std::nullopt);
    if (checkForUpdates_) checkForUpdates_();
    break;
  case AlertButton::Action::openDownloadPage:
    manager_.versionMismatchAlert.set(std::nullopt);
    if (openURL_) openURL_(kDownloadPageURL);
    break;
  case AlertButton::Action::dismissMismatch: manager_.versionMismatchAlert.set(std::nullopt); break;
  case AlertButton::Action::dismissLegacy: manager_.showLegacyPeerWarning.set(false); break;
  }
}

} // namespace pd::ui
