// The settings window's diagnostics section over a real log ring in a scratch folder, with the
// save dialog and the file manager standing in (the dialogs are modal), on Qt's offscreen
// platform.

#include "main/MainWindowTestSupport.hpp"

#include "TestSupport.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/crypto/Random.hpp"
#include "ui/settings/AppSettingsView.hpp"

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pd::ui::test {
namespace {

namespace fs = std::filesystem;
using diagnostics::LogExporter;
using diagnostics::LogRing;
using link::test::LogWindow;

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<fs::path> exportsIn(const fs::path& folder) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() == ".ndjson") found.push_back(entry.path());
  }
  return found;
}

class AppSettingsDiagnosticsTest : public MainWindowFixture {
protected:
  AppSettingsDiagnosticsTest() {
    fs::create_directories(temporary());
    platform::log::setStderrEnabled(false);
  }
  ~AppSettingsDiagnosticsTest() override {
    view.reset();
    ring.reset();
  }

  LogRing::Config ringConfig() const {
    LogRing::Config config;
    config.root = scratch.path() / "LogRing";
    config.launchID = platform::crypto::makeUUIDString();
    config.ownSubsystem = diagnostics::Log::subsystem();
    config.platformSubsystems = LogRing::platformSubsystems();
    config.timing.flushPeriod = std::chrono::hours(1);
    return config;
  }
  // A ring whose previous launch ended as `clean` says.
  void startRing(bool previousClean) {
    {
      LogRing previous(ringConfig());
      previous.start();
      ASSERT_TRUE(previous.waitUntilIdle(std::chrono::seconds(10)));
      if (previousClean) previous.markTerminal();
    }
    ring = std::make_unique<LogRing>(ringConfig());
    ring->start();
    ASSERT_TRUE(ring->waitUntilIdle(std::chrono::seconds(10)));
  }
  fs::path temporary() const { return scratch.path() / "tmp"; }

  void makeView() {
    AppSettingsView::Dependencies dependencies;
    dependencies.chooseExportDestination = [this](QWidget*, const QString& suggested) {
      suggestedNames.push_back(suggested);
      if (ontoExport) return std::optional<fs::path>(temporary() / suggested.toStdString());
      return destination;
    };
    dependencies.reveal = [this](const fs::path& file) { revealed.push_back(file); };
    dependencies.logRing = ring.get();
    dependencies.exportEnvironment.diagnosticsDirectory = scratch.path() / "diagnostics";
    dependencies.exportEnvironment.temporaryDirectory = temporary();
    view = std::make_unique<AppSettingsView>(*manager, *oscViewModel, nullptr, std::move(dependencies));
  }
  bool visible(QWidget* widget) const { return widget->isVisibleTo(view.get()); }
  void exportAndWait(LogExporter::RingScope scope) {
    view->startExport(scope);
    runUntil([&] { return !view->isExporting(); }, std::chrono::seconds(20));
  }

  pd::testing::TempDirectory scratch;
  std::unique_ptr<LogRing> ring;
  std::optional<fs::path> destination;
  bool ontoExport = false; // the user picks the export file itself
  std::vector<QString> suggestedNames;
  std::vector<fs::path> revealed;
  std::unique_ptr<AppSettingsView> view;
};

TEST_F(AppSettingsDiagnosticsTest, TheWarningFollowsThePreviousExitEachTimeTheSectionIsShown) {
  startRing(false);
  makeView();
  EXPECT_FALSE(visible(view->uncleanExitLabel()));
  view->show();
  runUntil([&] { return view->previousExitWasUnclean(); });
  EXPECT_TRUE(visible(view->uncleanExitLabel()));
  EXPECT_EQ(view->uncleanExitLabel()->text(),
            "前回、アプリが正常終了しませんでした。調査のためログの書き出しをおすすめします。");
}

TEST_F(AppSettingsDiagnosticsTest, ACleanPreviousExitShowsNoWarningAndALateAnswerTouchesNoView) {
  startRing(true);
  makeView();
  view->loadPreviousExitState();
  ASSERT_TRUE(ring->waitUntilIdle(std::chrono::seconds(10)));
  pump();
  EXPECT_FALSE(view->previousExitWasUnclean());
  EXPECT_FALSE(visible(view->uncleanExitLabel()));

  view->loadPreviousExitState();
  view.reset();
  ASSERT_TRUE(ring->waitUntilIdle(std::chrono::seconds(10)));
  pump(); // the answer arrives for a view that is gone
}

TEST_F(AppSettingsDiagnosticsTest, EachScopeIsExportedSavedOverTheChosenFileAndRevealed) {
  startRing(false);
  makeView();
  view->show();
  EXPECT_EQ(view->exportMenuButton()->text(), "ログを書き出す…");
  QStringList items;
  for (auto* action : view->exportMenu()->actions()) items << action->text();
  EXPECT_EQ(items, (QStringList{"今回の起動分", "直近3起動分", "保存されている全起動分"}));
  EXPECT_FALSE(visible(view->exportProgress()));
  EXPECT_FALSE(visible(view->collectingLabel()));

  const fs::path out = scratch.path() / "out" / "saved.ndjson";
  fs::create_directories(out.parent_path());
  { std::ofstream(out) << "the user's older file\n"; }
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  destination = out;
  int scopeIndex = 0;
  for (QAction* action : view->exportMenu()->actions()) {
    SCOPED_TRACE(action->text().toStdString());
    action->trigger();
    EXPECT_TRUE(view->isExporting());
    EXPECT_FALSE(view->exportMenuButton()->isEnabled());
    EXPECT_TRUE(visible(view->exportProgress()));
    EXPECT_TRUE(visible(view->collectingLabel()));
    EXPECT_EQ(view->collectingLabel()->text(), "ログを収集しています…");
    runUntil([&] { return !view->isExporting(); }, std::chrono::seconds(20));
    EXPECT_TRUE(view->exportMenuButton()->isEnabled());
    EXPECT_FALSE(visible(view->collectingLabel()));

    ++scopeIndex;
    ASSERT_EQ(revealed.size(), static_cast<std::size_t>(scopeIndex));
    EXPECT_EQ(revealed.back(), out);
    const std::string saved = readAll(out);
    EXPECT_EQ(saved.find("the user's older file"), std::string::npos);
    EXPECT_TRUE(saved.starts_with("{")) << saved.substr(0, 80);
    EXPECT_TRUE(exportsIn(temporary()).empty()) << "the export file is gone after the save";
    EXPECT_TRUE(suggestedNames.back().endsWith(".ndjson"));
    EXPECT_TRUE(suggestedNames.back().contains("-Log-"));
  }
  EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(exportsIn(out.parent_path()), std::vector<fs::path>{out}) << "no temporary copy left beside it";
  EXPECT_FALSE(view->exportError().has_value());
}

TEST_F(AppSettingsDiagnosticsTest, ACancelRemovesTheExportAndShowsNothing) {
  startRing(false);
  makeView();
  LogWindow log;
  destination.reset();
  exportAndWait(LogExporter::RingScope::currentLaunch);
  ASSERT_EQ(suggestedNames.size(), 1U);
  EXPECT_TRUE(exportsIn(temporary()).empty());
  EXPECT_TRUE(revealed.empty());
  EXPECT_FALSE(view->exportError().has_value());
  EXPECT_EQ(view->exportAlert(), nullptr);
  EXPECT_EQ(log.count("export_fail"), 0U);
}

TEST_F(AppSettingsDiagnosticsTest, SavingOntoTheExportItselfKeepsIt) {
  startRing(false);
  makeView();
  ontoExport = true;
  exportAndWait(LogExporter::RingScope::currentLaunch);
  ASSERT_EQ(revealed.size(), 1U);
  EXPECT_EQ(revealed.front(), temporary() / suggestedNames.front().toStdString());
  EXPECT_TRUE(readAll(revealed.front()).starts_with("{"));
}

TEST_F(AppSettingsDiagnosticsTest, ASaveFailureLogsShowsTheAlertAndKeepsTheExport) {
  startRing(false);
  makeView();
  view->show();
  LogWindow log;
  // A missing folder whose name reads as markup: the message names it as it is.
  destination = scratch.path() / "<b>missing" / "saved.ndjson";
  exportAndWait(LogExporter::RingScope::recent3);

  const auto lines = log.lines();
  const auto failure = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.starts_with("export_fail scope=save"); });
  ASSERT_NE(failure, lines.end());
  EXPECT_TRUE(failure->starts_with("export_fail scope=save err_domain=POSIX err_code=2 error=")) << *failure;
  ASSERT_TRUE(view->exportError().has_value());
  QMessageBox* alert = view->exportAlert();
  ASSERT_NE(alert, nullptr);
  EXPECT_TRUE(alert->isVisible());
  EXPECT_EQ(alert->text(), "ログの書き出しに失敗しました");
  EXPECT_EQ(alert->informativeText(), *view->exportError());
  auto* message = alert->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->textFormat(), Qt::PlainText);
  EXPECT_TRUE(message->text().contains("<b>missing")) << message->text().toStdString();
  ASSERT_EQ(suggestedNames.size(), 1U);
  EXPECT_EQ(exportsIn(temporary()), std::vector<fs::path>{temporary() / suggestedNames.front().toStdString()})
      << "the export stays for the next export to clear";
  EXPECT_TRUE(revealed.empty());

  ASSERT_EQ(alert->buttons().size(), 1);
  EXPECT_EQ(alert->buttons().front()->text(), "OK");
  alert->buttons().front()->click();
  pump();
  EXPECT_FALSE(view->exportError().has_value());
}

TEST_F(AppSettingsDiagnosticsTest, AnExportFailureShowsTheAlertWithoutALineOfTheView) {
  startRing(false);
  makeView();
  view->show();
  // The temporary folder is a file: the exporter cannot write there.
  fs::remove_all(temporary());
  std::ofstream(temporary()) << "in the way";
  LogWindow log;
  exportAndWait(LogExporter::RingScope::all);
  EXPECT_TRUE(view->exportError().has_value());
  EXPECT_NE(view->exportAlert(), nullptr);
  EXPECT_EQ(log.count("export_fail scope=all"), 1U);
  EXPECT_EQ(log.count("export_fail scope=save"), 0U);
  EXPECT_TRUE(suggestedNames.empty());
}

TEST_F(AppSettingsDiagnosticsTest, AnExportEndingAfterTheViewIsGoneTouchesNothing) {
  startRing(false);
  makeView();
  LogWindow log;
  view->startExport(LogExporter::RingScope::currentLaunch);
  view.reset();
  runUntil([&] { return log.has("export_complete") || log.has("export_fail"); }, std::chrono::seconds(20));
  pump();
  EXPECT_TRUE(suggestedNames.empty());
}

TEST_F(AppSettingsDiagnosticsTest, EveryMarkWritesOneLineAndOneFlushAndTheLabelStays) {
  startRing(false);
  makeView();
  EXPECT_EQ(view->markButton()->text(), "今の不具合をマークする");
  LogWindow log;
  const auto flushesBefore = ring->callCounts().flush;
  view->markButton()->click();
  EXPECT_EQ(view->markButton()->text(), "マークしました");
  view->markButton()->click();
  EXPECT_TRUE(view->markButton()->isEnabled());
  EXPECT_EQ(view->markButton()->text(), "マークしました");
  EXPECT_EQ(log.count("user_mark"), 2U);
  EXPECT_EQ(ring->callCounts().flush, flushesBefore + 2);
  ASSERT_TRUE(ring->waitUntilIdle(std::chrono::seconds(10)));
  // The mark reached the launch's segment on disk.
  std::string segments;
  for (const auto& entry : fs::directory_iterator(ring->launchDirectory())) segments += readAll(entry.path());
  EXPECT_NE(segments.find("user_mark"), std::string::npos);
}

} // namespace
} // namespace pd::ui::test
