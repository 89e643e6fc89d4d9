#include "ui/settings/AppSettingsView.hpp"

#include "diagnostics/Log.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "settings/AppSettings.hpp"
#include "ui/settings/Typography.hpp"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <string>

namespace pd::ui {

namespace {

constexpr int kSectionSpacing = 14;

// The field's binding: the stored text, or the default name while nothing is stored.
std::string storedSyphonServerName() {
  return platform::UserDefaults::standard()
      .string(settings::SettingsKey::syphonServerName)
      .value_or(std::string(settings::AppSettings::kDefaultSyphonServerName));
}

} // namespace

AppSettingsView::AppSettingsView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                                 QWidget* parent)
    : QWidget(parent), connectionManager_(connectionManager), oscViewModel_(oscViewModel) {
  setWindowTitle(QStringLiteral("設定"));
  setFixedWidth(kWidth);
  form_ = new QFormLayout(this);
  form_->setContentsMargins(20, 20, 20, 20);
  form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  setMinimumHeight(120);

  // Sections in their order on screen.
  addSyphonSection();
}

void AppSettingsView::addSectionHeader(const QString& text) {
  auto* header = new QLabel(text, this);
  header->setTextFormat(Qt::PlainText);
  header->setObjectName(QStringLiteral("sectionHeader"));
  applyTextStyle(header, TextStyle::headline);
  if (form_->rowCount() > 0) header->setContentsMargins(0, kSectionSpacing, 0, 0);
  form_->addRow(header);
}

void AppSettingsView::addSectionFooter(const QString& text) {
  auto* footer = new QLabel(text, this);
  footer->setTextFormat(Qt::PlainText);
  footer->setObjectName(QStringLiteral("sectionFooter"));
  footer->setWordWrap(true);
  applyTextStyle(footer, TextStyle::caption);
  applySecondaryStyle(footer);
  form_->addRow(footer);
}

void AppSettingsView::addSyphonSection() {
  // The output is a PipeWire node here, so the header names PipeWire; the stored key keeps its name.
  addSectionHeader(QStringLiteral("PipeWire出力"));

  const QString defaultName = QString::fromUtf8(settings::AppSettings::kDefaultSyphonServerName);
  syphonServerNameField_ = new QLineEdit(this);
  syphonServerNameField_->setPlaceholderText(defaultName);
  syphonServerNameField_->setAccessibleName(QStringLiteral("サーバー名"));
  syphonApplyButton_ = new QPushButton(QStringLiteral("適用"), this);
  syphonApplyButton_->setAutoDefault(false);

  auto* row = new QWidget(this);
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  rowLayout->addWidget(syphonServerNameField_, 1);
  rowLayout->addWidget(syphonApplyButton_);
  form_->addRow(QStringLiteral("サーバー名"), row);
  if (auto* label = qobject_cast<QLabel*>(form_->labelForField(row))) label->setBuddy(syphonServerNameField_);

  reloadSyphonServerName();
  // Every edit is stored as typed; the running nodes take a new name only when applied.
  connect(syphonServerNameField_, &QLineEdit::textEdited, this, [](const QString& text) {
    platform::UserDefaults::standard().set(settings::SettingsKey::syphonServerName, text.toStdString());
  });
  connect(syphonServerNameField_, &QLineEdit::returnPressed, this, [this] { applySyphonServerName(); });
  connect(syphonApplyButton_, &QPushButton::clicked, this, [this] { applySyphonServerName(); });

  addSectionFooter(QStringLiteral("VJソフト側に表示されるサーバー名です。空欄にすると「") + defaultName +
                   QStringLiteral("」に戻ります。"));
}

void AppSettingsView::reloadSyphonServerName() {
  const QString stored = QString::fromStdString(storedSyphonServerName());
  // Left alone when equal, so the cursor stays where the user put it.
  if (syphonServerNameField_->text() != stored) syphonServerNameField_->setText(stored);
}

void AppSettingsView::applySyphonServerName() {
  runtime::MainThread::assertMainThread();
  platform::UserDefaults::standard().set(settings::SettingsKey::syphonServerName,
                                         settings::trimmingWhitespaceAndNewlines(storedSyphonServerName()));
  reloadSyphonServerName();

  const std::string effective = settings::AppSettings::syphonServerName();
  // A line the log does not write takes no revision.
  const auto& log = diagnostics::Log::app();
  if (log.isEnabled(platform::log::Level::notice)) {
    log.notice("config_change key=syphonServerName to=%{public}s snapshot_rev=%ld", effective,
               settings::nextConfigSnapshotRevision());
  }
  connectionManager_.renameSyphonServers(effective);
}

void AppSettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  reloadSyphonServerName();
}

} // namespace pd::ui
