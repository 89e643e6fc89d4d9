// The settings window's diagnostics section: the warning after an unclean exit, the log export
// and its save, and the mark button.

#include "diagnostics/ExportSaver.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogRing.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Task.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/Typography.hpp"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include <system_error>

namespace pd::ui {

using diagnostics::LogExporter;

namespace {

QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
  return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

void removeQuietly(const std::filesystem::path& file) {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

} // namespace

diagnostics::LogRing& AppSettingsView::logRing() const {
  return dependencies_.logRing != nullptr ? *dependencies_.logRing : diagnostics::LogRing::shared();
}

void AppSettingsView::addDiagnosticsSection() {
  addSectionHeader(QStringLiteral("診断"));

  auto* unclean = new QWidget(this);
  unclean->setObjectName(QStringLiteral("uncleanExitRow"));
  auto* uncleanLayout = new QHBoxLayout(unclean);
  uncleanLayout->setContentsMargins(0, 0, 0, 0);
  auto* icon = new QLabel(unclean);
  const int iconSize = fontMetrics().height();
  icon->setPixmap(themeIcon("dialog-warning", QStyle::SP_MessageBoxWarning, this).pixmap(iconSize, iconSize));
  uncleanLayout->addWidget(icon, 0, Qt::AlignTop);
  uncleanExitLabel_ = new QLabel(
      QStringLiteral("前回、アプリが正常終了しませんでした。調査のためログの書き出しをおすすめします。"), unclean);
  uncleanExitLabel_->setTextFormat(Qt::PlainText);
  uncleanExitLabel_->setWordWrap(true);
  applyTextStyle(uncleanExitLabel_, TextStyle::caption);
  QPalette orange = uncleanExitLabel_->palette();
  orange.setColor(QPalette::WindowText, QColor(255, 149, 0));
  uncleanExitLabel_->setPalette(orange);
  uncleanLayout->addWidget(uncleanExitLabel_, 1);
  form_->addRow(unclean);

  auto* exportRow = new QWidget(this);
  auto* exportLayout = new QHBoxLayout(exportRow);
  exportLayout->setContentsMargins(0, 0, 0, 0);
  exportMenuButton_ = new QPushButton(QStringLiteral("ログを書き出す…"), exportRow);
  exportMenuButton_->setAutoDefault(false);
  exportMenu_ = new QMenu(exportMenuButton_);
  const std::pair<const char*, LogExporter::RingScope> items[] = {
      {"今回の起動分", LogExporter::RingScope::currentLaunch},
      {"直近3起動分", LogExporter::RingScope::recent3},
      {"保存されている全起動分", LogExporter::RingScope::all},
  };
  for (const auto& [text, scope] : items) {
    QAction* action = exportMenu_->addAction(QString::fromUtf8(text));
    connect(action, &QAction::triggered, this, [this, scope = scope] { startExport(scope); });
  }
  exportMenuButton_->setMenu(exportMenu_);
  exportLayout->addWidget(exportMenuButton_);
  exportProgress_ = new QProgressBar(exportRow);
  exportProgress_->setRange(0, 0);
  exportProgress_->setTextVisible(false);
  exportProgress_->setFixedSize(48, 10);
  exportProgress_->setAccessibleName(QStringLiteral("ログを収集しています…"));
  exportLayout->addWidget(exportProgress_, 0, Qt::AlignVCenter);
  exportLayout->addStretch(1);
  form_->addRow(exportRow);

  markButton_ = new QPushButton(this);
  markButton_->setAutoDefault(false);
  connect(markButton_, &QPushButton::clicked, this, [this] { markCurrentProblem(); });
  form_->addRow(markButton_);

  collectingLabel_ = new QLabel(QStringLiteral("ログを収集しています…"), this);
  collectingLabel_->setTextFormat(Qt::PlainText);
  applyTextStyle(collectingLabel_, TextStyle::caption);
  applySecondaryStyle(collectingLabel_);
  form_->addRow(collectingLabel_);

  addSectionFooter(
      QStringLiteral("過去の起動分（クラッシュした起動を含む）も選択できます。曲名・動画URL・ファイルパスなどの個人"
                     "情報は、記録時に自動で秘匿されます。不具合の報告時に書き出したファイルを開発者へお渡しく"
                     "ださい。"));
  updateDiagnosticsRows();
}

void AppSettingsView::updateDiagnosticsRows() {
  uncleanExitLabel_->parentWidget()->setVisible(previousExitWasUnclean_);
  exportMenuButton_->setEnabled(!isExporting_);
  exportProgress_->setVisible(isExporting_);
  collectingLabel_->setVisible(isExporting_);
  if (userMarkFeedback_) {
    markButton_->setText(QStringLiteral("マークしました"));
    markButton_->setIcon(themeIcon("emblem-ok", QStyle::SP_DialogApplyButton, this));
  } else {
    markButton_->setText(QStringLiteral("今の不具合をマークする"));
    markButton_->setIcon(themeIcon("flag", QStyle::SP_FileDialogInfoView, this));
  }
}

void AppSettingsView::loadPreviousExitState() {
  runtime::MainThread::assertMainThread();
  logRing().previousExitWasUnclean([self = QPointer(this)](bool unclean) {
    // Answered on the ring's queue; only the main thread touches the view, and only while it lives.
    runtime::MainThread::post([self, unclean] {
      AppSettingsView* view = self.data();
      if (view == nullptr) return;
      view->previousExitWasUnclean_ = unclean;
      view->updateDiagnosticsRows();
    });
  });
}

void AppSettingsView::setExporting(bool exporting) {
  isExporting_ = exporting;
  updateDiagnosticsRows();
}

void AppSettingsView::startExport(LogExporter::RingScope scope) {
  runtime::MainThread::assertMainThread();
  if (isExporting_) return;
  setExporting(true);
  runtime::spawnDetached(
      runtime::MainThread::executor(),
      [self = QPointer(this), scope, environment = dependencies_.exportEnvironment]() -> runtime::Awaitable<void> {
        std::optional<LogExporter::ExportResult> result;
        std::optional<QString> failure;
        try {
          result = co_await LogExporter::exportRing(scope, environment);
        } catch (const std::exception& error) {
          // The exporter has written its own line.
          failure = QString::fromStdString(error.what());
        }
        finishExport(self, std::move(result), std::move(failure));
      });
}

void AppSettingsView::finishExport(const QPointer<AppSettingsView>& self,
                                   std::optional<LogExporter::ExportResult> result, std::optional<QString> failure) {
  AppSettingsView* view = self.data();
  if (view == nullptr) return;
  view->setExporting(false);
  if (result) {
    view->saveExport(*result);
  } else {
    view->setExportError(std::move(failure));
  }
}

void AppSettingsView::saveExport(const LogExporter::ExportResult& result) {
  runtime::MainThread::assertMainThread();
  const auto destination =
      dependencies_.chooseExportDestination(this, QString::fromStdString(result.suggestedFileName));
  if (!destination || destination->empty()) {
    removeQuietly(result.url);
    return;
  }
  try {
    diagnostics::ExportSaver::saveReplacing(result.url, *destination);
  } catch (const std::exception& error) {
    // The export stays in the temporary folder; the next export clears it.
    const auto fields = diagnostics::LogErrorFields::fields(error, true);
    diagnostics::Log::app().error("export_fail scope=save err_domain=%{public}s err_code=%ld error=%s", fields.domain,
                                  fields.code, fields.detail);
    setExportError(QString::fromStdString(error.what()));
    return;
  }
  // Saved onto the export itself, the file is the user's now.
  std::error_code sameFile;
  if (!std::filesystem::equivalent(result.url, *destination, sameFile)) removeQuietly(result.url);
  dependencies_.reveal(*destination);
}

void AppSettingsView::setExportError(std::optional<QString> error) {
  exportError_ = std::move(error);
  if (!exportError_) return;
  if (exportAlert_) exportAlert_->deleteLater();
  auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("ログの書き出しに失敗しました"),
                                QStringLiteral("ログの書き出しに失敗しました"), QMessageBox::NoButton, this);
  alert->setInformativeText(*exportError_);
  alert->setTextFormat(Qt::PlainText);
  // The message carries the chosen folder's name: never read it as markup.
  if (auto* informative = alert->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    informative->setTextFormat(Qt::PlainText);
  }
  alert->addButton(QStringLiteral("OK"), QMessageBox::RejectRole);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  // Any way the alert goes away clears the error.
  connect(alert, &QMessageBox::finished, this, [this] { exportError_.reset(); });
  exportAlert_ = alert;
  if (onModalWindow_) onModalWindow_(alert);
  alert->open();
}

void AppSettingsView::markCurrentProblem() {
  runtime::MainThread::assertMainThread();
  diagnostics::Log::app().notice("user_mark");
  logRing().requestFlush();
  userMarkFeedback_ = true;
  updateDiagnosticsRows();
}

} // namespace pd::ui
