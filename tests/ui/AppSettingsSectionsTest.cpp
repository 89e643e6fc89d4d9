// The settings window's OSC, search and cache sections against a recording OSC server and
// in-memory defaults, on Qt's offscreen platform.

#include "main/MainWindowTestSupport.hpp"

#include "settings/AppSettings.hpp"
#include "TestSupport.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/InvidiousSettingsSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QToolButton>

#include <filesystem>
#include <fstream>

namespace pd::ui::test {
namespace {

using link::test::LogWindow;

class AppSettingsSectionsTest : public MainWindowFixture {
protected:
  static std::vector<std::string> changeLines(const LogWindow& log) {
    std::vector<std::string> found;
    for (const auto& line : log.lines()) {
      if (line.starts_with("config_change ")) found.push_back(line);
    }
    return found;
  }
  void typePort(const QString& text) {
    view.portField()->setText(text);
    QTest::keyClick(view.portField(), Qt::Key_Return);
  }
  static void pick(QComboBox* picker, const QString& data) {
    const int index = picker->findData(data);
    ASSERT_GE(index, 0);
    picker->setCurrentIndex(index);
  }

  AppSettingsView::Dependencies dependencies() {
    AppSettingsView::Dependencies made;
    made.chooseSearchFolder = [this](QWidget*) { return nextFolder; };
    return made;
  }

  std::optional<std::filesystem::path> nextFolder;
  AppSettingsView view{*manager, *oscViewModel, nullptr, dependencies()};
};

TEST_F(AppSettingsSectionsTest, PortTextIsTrimmedSignedAndRangeChecked) {
  const std::pair<const char*, std::int64_t> accepted[] = {
      {" \t9000\t ", 9000}, {"+9001", 9001}, {"08000", 8000}, {"65535", 65535}, {"1", 1}, {"0000000000009002", 9002}};
  for (const auto& [text, port] : accepted) {
    SCOPED_TRACE(text);
    typePort(QString::fromUtf8(text));
    EXPECT_EQ(defaults.integer(settings::SettingsKey::oscPort), port);
    EXPECT_FALSE(view.portError().has_value());
    EXPECT_FALSE(view.portErrorLabel()->isVisibleTo(&view));
    EXPECT_EQ(view.portField()->text(), QString::fromUtf8(text)) << "an accepted text stays as typed";
  }

  defaults.set(settings::SettingsKey::oscPort, 7000);
  for (const char* text : {"0", "-1", "-0", "+-1", "65536", "", "  ", "abc", "90.5", "9000\n", "\n9000", "9 000",
                           "\u0669\u0660\u0660\u0660", "99999999999999999999"}) {
    SCOPED_TRACE(text);
    LogWindow log;
    typePort(QString::fromUtf8(text));
    ASSERT_TRUE(view.portError().has_value());
    EXPECT_EQ(*view.portError(), QStringLiteral("1〜65535の数値を入力してください"));
    EXPECT_TRUE(view.portErrorLabel()->isVisibleTo(&view));
    EXPECT_EQ(view.portErrorLabel()->text(), *view.portError());
    EXPECT_EQ(view.portField()->text(), "7000") << "the field shows the stored port again";
    EXPECT_EQ(defaults.integer(settings::SettingsKey::oscPort), 7000);
    EXPECT_TRUE(changeLines(log).empty());
  }
}

TEST_F(AppSettingsSectionsTest, APortLineOnlyForANewValueYetTheValueIsAlwaysStored) {
  LogWindow log;
  typePort("abc");
  ASSERT_TRUE(view.portError().has_value());
  // The default port, not stored yet: applying it clears the message, stores it, logs nothing.
  typePort("8000");
  EXPECT_FALSE(view.portError().has_value());
  EXPECT_TRUE(defaults.contains(settings::SettingsKey::oscPort));
  EXPECT_TRUE(changeLines(log).empty());

  const std::int64_t before = settings::configSnapshotRevision();
  typePort("9100");
  const auto lines = changeLines(log);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0], "config_change key=oscPort from=8000 to=9100 snapshot_rev=" + std::to_string(before + 1));
}

TEST_F(AppSettingsSectionsTest, PortFieldIsRefilledFromTheStoredPortOnEveryShow) {
  EXPECT_EQ(view.portField()->text(), "8000");
  EXPECT_EQ(view.portField()->placeholderText(), "8000");
  view.portField()->setText("12");
  defaults.set(settings::SettingsKey::oscPort, 7400);
  view.show();
  EXPECT_EQ(view.portField()->text(), "7400");
  view.hide();
  defaults.set(settings::SettingsKey::oscPort, 7401);
  view.show();
  EXPECT_EQ(view.portField()->text(), "7401");
}

TEST_F(AppSettingsSectionsTest, RestartStopsAndStartsOnTheStoredConfigurationAlsoAfterARefusal) {
  defaults.set(settings::SettingsKey::oscPort, 7100);
  pick(view.hostPicker(), "0.0.0.0");
  EXPECT_TRUE(oscServer->starts.empty()) << "picking a host restarts nothing";

  view.portField()->setText("70000");
  view.restartButton()->click();
  EXPECT_TRUE(view.portError().has_value());
  EXPECT_EQ(oscServer->stops, 1);
  ASSERT_EQ(oscServer->starts.size(), 1U);
  EXPECT_EQ(oscServer->starts[0], (settings::ServerConfiguration{7100, "0.0.0.0"}));

  view.portField()->setText(" 9300 ");
  view.restartButton()->click();
  ASSERT_EQ(oscServer->starts.size(), 2U);
  EXPECT_EQ(oscServer->starts[1], (settings::ServerConfiguration{9300, "0.0.0.0"}));
  EXPECT_EQ(oscServer->stops, 2);
}

TEST_F(AppSettingsSectionsTest, StatusRowShowsTheStoredAddressOnlyWhileRunning) {
  const auto green = [&] { return view.statusDot()->property("running").toBool(); };
  EXPECT_EQ(view.statusText()->text(), "停止中");
  EXPECT_FALSE(green());

  oscServer->setState(deckinput::ServerState::running());
  EXPECT_EQ(view.statusText()->text(), "稼働中 127.0.0.1:8000");
  EXPECT_TRUE(green());
  EXPECT_TRUE(view.statusDot()->styleSheet().contains(QColor(Qt::green).name()));

  // The server keeps its old host until a restart; the row already shows the stored one.
  pick(view.hostPicker(), "0.0.0.0");
  EXPECT_EQ(view.statusText()->text(), "稼働中 0.0.0.0:8000");
  EXPECT_TRUE(oscServer->starts.empty());

  for (auto state : {deckinput::ServerState::starting(), deckinput::ServerState::failed("bind: in use"),
                     deckinput::ServerState::stopped()}) {
    oscServer->setState(state);
    EXPECT_EQ(view.statusText()->text(), "停止中");
    EXPECT_FALSE(green());
    EXPECT_TRUE(view.statusDot()->styleSheet().contains(QColor(Qt::gray).name()));
  }
}

TEST_F(AppSettingsSectionsTest, ChangesWriteConsecutiveRevisionsAboveTheLaunchSnapshot) {
  const std::int64_t launch = settings::nextConfigSnapshotRevision();
  view.show();
  LogWindow log;
  EXPECT_TRUE(changeLines(log).empty()) << "showing the form writes nothing";

  pick(view.hostPicker(), "0.0.0.0");
  pick(view.hostPicker(), "0.0.0.0"); // no change, no line
  pick(view.searchSourcePicker(), "localFiles");
  view.cacheToggle()->click();
  view.cacheToggle()->click();
  view.cacheLimitStepper()->stepUp();
  typePort("9000");

  const auto r = [launch](int n) { return " snapshot_rev=" + std::to_string(launch + n); };
  EXPECT_EQ(changeLines(log), (std::vector<std::string>{
                                  "config_change key=oscHost from=127.0.0.1 to=0.0.0.0" + r(1),
                                  "config_change key=ipadSearchSource from=youtube to=localFiles" + r(2),
                                  "config_change key=relayCacheEnabled from=true to=false" + r(3),
                                  "config_change key=relayCacheEnabled from=false to=true" + r(4),
                                  "config_change key=relayCacheLimitGB from=20 to=25" + r(5),
                                  "config_change key=oscPort from=8000 to=9000" + r(6),
                              }));
  EXPECT_EQ(defaults.string(settings::SettingsKey::oscHost), "0.0.0.0");
  EXPECT_EQ(defaults.string(settings::SettingsKey::ipadSearchSource), "localFiles");
  EXPECT_EQ(defaults.object(settings::SettingsKey::relayCacheEnabled), nlohmann::json(true));
  EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), 25);
}

TEST_F(AppSettingsSectionsTest, StepperRunsFiveToAHundredByFiveAndWaitsWhileTheCacheIsOff) {
  auto* stepper = view.cacheLimitStepper();
  EXPECT_EQ(stepper->text(), "容量の上限: 20 GB");
  EXPECT_TRUE(stepper->isEnabled());
  EXPECT_EQ(view.cacheToggle()->text(), "YouTube の動画をディスクにキャッシュする");

  for (int i = 0; i < 30; ++i) stepper->stepDown();
  EXPECT_EQ(stepper->value(), 5);
  EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), 5);
  for (int i = 0; i < 30; ++i) stepper->stepUp();
  EXPECT_EQ(stepper->text(), "容量の上限: 100 GB");

  view.cacheToggle()->click();
  EXPECT_FALSE(stepper->isEnabled());
  EXPECT_EQ(stepper->value(), 100) << "kept while disabled";
  EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), 100);

  // A stored limit beyond the range is shown at its end without a line; the toggle follows
  // the stored flag on the next show.
  LogWindow log;
  defaults.set(settings::SettingsKey::relayCacheLimitGB, 250);
  view.show();
  EXPECT_EQ(stepper->value(), 100);
  EXPECT_FALSE(stepper->isEnabled());
  EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), 250);
  EXPECT_TRUE(changeLines(log).empty());
}

TEST_F(AppSettingsSectionsTest, ALimitTypedOrStoredOffTheStepsIsTakenAtTheNearestStep) {
  auto* stepper = view.cacheLimitStepper();
  int shown = 20;
  for (const auto& [typed, step] :
       std::vector<std::pair<QString, int>>{{"37", 35}, {"38", 40}, {"12", 10}, {"98", 100}, {"7", 5}, {"55", 55}}) {
    SCOPED_TRACE(typed.toStdString());
    LogWindow log;
    stepper->selectAll();
    QTest::keyClicks(stepper, typed);
    QTest::keyClick(stepper, Qt::Key_Return);
    EXPECT_EQ(stepper->value(), step);
    EXPECT_EQ(stepper->text(), QStringLiteral("容量の上限: %1 GB").arg(step));
    EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), step);
    const auto lines = changeLines(log);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(lines[0].starts_with("config_change key=relayCacheLimitGB from=" + std::to_string(shown) +
                                     " to=" + std::to_string(step) + " snapshot_rev="))
        << lines[0];
    shown = step;
  }

  // A limit stored off the steps is shown at the nearest one without a line, and the next step
  // goes on from there.
  LogWindow log;
  defaults.set(settings::SettingsKey::relayCacheLimitGB, 37);
  view.show();
  EXPECT_EQ(stepper->value(), 35);
  EXPECT_TRUE(changeLines(log).empty());
  stepper->stepUp();
  EXPECT_EQ(defaults.integer(settings::SettingsKey::relayCacheLimitGB), 40);
}

TEST_F(AppSettingsSectionsTest, FolderRowOnlyForLocalFilesAndItsLinesNeverNameThePath) {
  pd::testing::TempDirectory scratch;
  view.show();
  EXPECT_FALSE(view.searchFolderRow()->isVisible());
  pick(view.searchSourcePicker(), "localFiles");
  ASSERT_TRUE(view.searchFolderRow()->isVisible());
  EXPECT_EQ(view.searchFolderLabel()->accessibleName(), "フォルダが未選択です");
  EXPECT_EQ(view.searchFolderButton()->text(), "フォルダを選ぶ...");

  LogWindow log;
  nextFolder.reset(); // cancelled
  view.searchFolderButton()->click();
  EXPECT_FALSE(defaults.contains(settings::SettingsKey::ipadSearchFolder));
  EXPECT_TRUE(changeLines(log).empty());

  const auto first = scratch.path() / "Clips";
  const auto second = scratch.path() / "More Clips";
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second);
  nextFolder = first;
  view.searchFolderButton()->click();
  nextFolder = second;
  view.searchFolderButton()->click();
  EXPECT_EQ(defaults.string(settings::SettingsKey::ipadSearchFolder), second.string());
  EXPECT_EQ(view.searchFolderLabel()->accessibleName(), QString::fromStdString(second.string()));
  const auto lines = changeLines(log);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_TRUE(lines[0].starts_with("config_change key=ipadSearchFolder from=unset to=set snapshot_rev="));
  EXPECT_TRUE(lines[1].starts_with("config_change key=ipadSearchFolder from=set to=set snapshot_rev="));
  for (const auto& line : log.lines()) EXPECT_EQ(line.find("Clips"), std::string::npos) << line;

  pick(view.searchSourcePicker(), "youtube");
  EXPECT_FALSE(view.searchFolderRow()->isVisible());
  EXPECT_EQ(defaults.string(settings::SettingsKey::ipadSearchFolder), second.string()) << "kept for later";
}

TEST_F(AppSettingsSectionsTest, AFolderNamedByBytesThatAreNotUTF8IsRefusedAndTheStoredOneKept) {
  pd::testing::TempDirectory scratch;
  const auto good = scratch.path() / "Good";
  const auto raw = scratch.path() / std::string("Clips-\xff\xfe");
  std::filesystem::create_directories(good);
  std::filesystem::create_directories(raw);
  view.show();
  pick(view.searchSourcePicker(), "localFiles");
  nextFolder = good;
  view.searchFolderButton()->click();

  // As the folder comes from the raw bytes, and as Qt's dialog decodes it (with U+FFFD).
  for (const std::string& chosen : {raw.string(), (scratch.path() / "Clips-\xEF\xBF\xBD\xEF\xBF\xBD").string()}) {
    LogWindow log;
    nextFolder = std::filesystem::path(chosen);
    view.searchFolderButton()->click();
    EXPECT_EQ(defaults.string(settings::SettingsKey::ipadSearchFolder), good.string());
    EXPECT_TRUE(changeLines(log).empty());
    EXPECT_EQ(log.count("config_change_fail key=ipadSearchFolder from=set reason=invalid_utf8"), 1U);
    EXPECT_TRUE(view.searchFolderError()->isVisibleTo(&view));
    EXPECT_EQ(view.searchFolderError()->text(), "フォルダ名に使えない文字が含まれています");
  }
  nextFolder = good;
  view.searchFolderButton()->click();
  EXPECT_FALSE(view.searchFolderError()->isVisibleTo(&view)) << "a good folder clears the message";
}

TEST_F(AppSettingsSectionsTest, EverySectionGetsTheHeightItsTextNeedsAsRowsComeAndGo) {
  const auto needed = [](QLabel* label) {
    return label->wordWrap() ? label->heightForWidth(label->width()) : label->minimumSizeHint().height();
  };
  const auto squashed = [&] {
    std::vector<QLabel*> found;
    for (auto* label : view.findChildren<QLabel*>()) {
      if (label->isVisibleTo(&view) && !label->text().isEmpty() && label->height() < needed(label)) {
        found.push_back(label);
      }
    }
    return found;
  };
  auto* section = view.invidiousSection();
  const auto sectionFits = [&] { return section->height() >= section->heightForWidth(section->width()); };
  // Rows that come, and a window that grows on a tall screen, reach each widget through a chain
  // of posted layout requests (row, section, form) interleaved with the X server's expose
  // events: the end state is waited for, not assumed after one turn of the loop.
  const auto expectFitted = [&] {
    if (QTest::qWaitFor([&] { return squashed().empty() && sectionFits(); }, 5000)) return;
    for (QLabel* label : squashed()) {
      ADD_FAILURE() << label->text().toStdString() << " is " << label->height() << " high, needs " << needed(label);
    }
    EXPECT_GE(section->height(), section->heightForWidth(section->width()));
  };
  view.show();
  expectFitted();
  const int before = view.scrollArea()->widget()->height();
  for (const char* host : {"a.example", "b.example", "c.example"}) {
    view.invidiousSection()->hostField()->setText(host);
    view.invidiousSection()->addButton()->click();
  }
  pick(view.searchSourcePicker(), "localFiles");
  expectFitted();
  EXPECT_GT(view.scrollArea()->widget()->height(), before);
}

TEST_F(AppSettingsSectionsTest, InstanceRowsComeAndGoInTheSameTurnAsTheChange) {
  // A row that waited for a later turn to show left the form laid out without it: under X the
  // window could keep the lower height, or the section its squashed rows, with no pass to come.
  const auto shownRows = [&] {
    QStringList hosts;
    for (auto* row : view.invidiousSection()->findChildren<QWidget*>(QStringLiteral("instanceRow"))) {
      if (row->isVisibleTo(&view)) hosts << row->property("host").toString();
    }
    return hosts.join(' ').toStdString();
  };
  view.show();
  pump();
  std::string expected;
  for (const char* host : {"a.example", "b.example", "c.example"}) {
    view.invidiousSection()->hostField()->setText(host);
    view.invidiousSection()->addButton()->click();
    expected += expected.empty() ? host : std::string(" ") + host;
    EXPECT_EQ(shownRows(), expected);
  }
  auto* remove = view.invidiousSection()->row("b.example")->findChild<QToolButton*>(QStringLiteral("removeInstance"));
  ASSERT_NE(remove, nullptr);
  remove->click();
  EXPECT_EQ(shownRows(), "a.example c.example");
}

// Shows only where the whole form fits without scrolling: the offscreen screen is lower than the
// form, so a test entry of its own runs this case on a tall X screen.
TEST_F(AppSettingsSectionsTest, WrappedTextsKeepTheHeightTheyNeedWhileTheRedMessageComesAndGoes) {
  const auto squashed = [&] {
    std::vector<QLabel*> found;
    for (auto* label : view.findChildren<QLabel*>()) {
      if (label->isVisibleTo(&view) && label->wordWrap() && label->height() < label->heightForWidth(label->width())) {
        found.push_back(label);
      }
    }
    return found;
  };
  const auto windowFitsForm = [&] {
    return view.scrollArea()->verticalScrollBar()->isVisible() ||
           (view.height() == view.form()->totalHeightForWidth(AppSettingsView::kWidth) &&
            view.scrollArea()->widget()->size() == view.size());
  };
  // Layout passes follow one another through posted events, and on X the window's new height
  // comes back from the server: the end state is waited for, not counted in turns of the loop.
  const auto expectFitted = [&](const char* when) {
    (void)QTest::qWaitFor([&] { return squashed().empty() && windowFitsForm(); }, 10000);
    SCOPED_TRACE(when);
    for (QLabel* label : squashed()) {
      ADD_FAILURE() << label->text().left(12).toStdString() << " is " << label->height() << " high, needs "
                    << label->heightForWidth(label->width()) << " at " << label->width();
    }
    QWidget* form = view.scrollArea()->widget();
    if (!view.scrollArea()->verticalScrollBar()->isVisible()) {
      EXPECT_EQ(view.height(), view.form()->totalHeightForWidth(AppSettingsView::kWidth));
      EXPECT_EQ(form->size(), view.size());
    }
  };
  view.show();
  expectFitted("shown");
  typePort("0");
  ASSERT_TRUE(view.portErrorLabel()->isVisibleTo(&view));
  expectFitted("port refused");
  typePort("9000");
  ASSERT_FALSE(view.portErrorLabel()->isVisibleTo(&view));
  expectFitted("port taken");
}

// The X server's notice of a height asked for earlier, arriving after a later one was fitted, is
// played by resizing the window from outside, which the server reports the same way.
TEST_F(AppSettingsSectionsTest, AHeightTheXServerReportsLateGivesWayToTheFittedOne) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) GTEST_SKIP() << "needs an X server";
  struct SpontaneousResizes : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Resize && event->spontaneous()) ++count;
      return false;
    }
  } reports;
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  const int fitted = view.minimumHeight();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view.height() == fitted && view.maximumHeight() == fitted; }, 5000));
  view.installEventFilter(&reports);
  ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowsize"), QString::number(view.winId()),
                                                          QString::number(view.width()), QString::number(fitted - 20)}),
            0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return reports.count > 0; }, 5000)) << "the server reported no size";
  EXPECT_TRUE(QTest::qWaitFor([&] { return view.height() == fitted; }, 5000))
      << view.height() << " high, fitted " << fitted;
  QWidget* viewport = view.scrollArea()->viewport();
  EXPECT_TRUE(view.scrollArea()->verticalScrollBar()->isVisible() ||
              view.scrollArea()->widget()->height() <= viewport->height())
      << "the form's end lies below the window's edge";
}

TEST_F(AppSettingsSectionsTest, OnAScreenLowerThanTheFormTheWindowFitsAndEverySectionScrollsIntoView) {
  // Twelve instances make the form taller than a laptop's screen.
  for (int i = 1; i <= 12; ++i) {
    view.invidiousSection()->hostField()->setText(QStringLiteral("instance-%1.example").arg(i));
    view.invidiousSection()->addButton()->click();
  }
  view.show();
  pump();
  const QRect available = view.screen()->availableGeometry();
  const int formHeight = view.form()->totalHeightForWidth(AppSettingsView::kWidth);
  SCOPED_TRACE("screen " + std::to_string(available.width()) + "x" + std::to_string(available.height()) + ", form " +
               std::to_string(formHeight));
  EXPECT_TRUE(available.contains(view.frameGeometry()));
  const int frame = view.frameGeometry().height() - view.height();
  EXPECT_EQ(view.height(), std::min(formHeight, available.height() - frame));
  EXPECT_EQ(view.scrollArea()->verticalScrollBar()->isVisible(), view.height() < formHeight);

  QWidget* viewport = view.scrollArea()->viewport();
  EXPECT_TRUE(view.rect().contains(QRect(viewport->mapTo(&view, QPoint(0, 0)), viewport->size())));
  std::vector<QWidget*> wanted;
  for (auto* header : view.findChildren<QLabel*>(QStringLiteral("sectionHeader"))) wanted.push_back(header);
  wanted.push_back(view.cacheLimitStepper());
  wanted.push_back(view.markButton());
  wanted.push_back(view.findChildren<QLabel*>(QStringLiteral("sectionFooter")).back());
  ASSERT_EQ(wanted.size(), 9U) << "six section headers and the cache and diagnostics rows";
  for (QWidget* widget : wanted) {
    SCOPED_TRACE(widget->accessibleName().isEmpty() ? widget->objectName().toStdString()
                                                    : widget->accessibleName().toStdString());
    view.scrollArea()->ensureWidgetVisible(widget, 0, 0);
    pump();
    EXPECT_TRUE(viewport->rect().contains(QRect(widget->mapTo(viewport, QPoint(0, 0)), widget->size())));
  }
}

TEST_F(AppSettingsSectionsTest, ALongFolderPathAndALongInstanceHostAreCutInTheMiddleToTheRowAndReadWhole) {
  const std::string path = "/home/someone/" + std::string(300, 'x') + "/Videos/Clips";
  const std::string host =
      std::string(60, 'h') + "." + std::string(60, 'o') + "." + std::string(60, 's') + ".example:8443";
  defaults.set(settings::SettingsKey::ipadSearchSource, "localFiles");
  defaults.set(settings::SettingsKey::ipadSearchFolder, path);
  view.invidiousSection()->hostField()->setText(QString::fromStdString(host));
  view.invidiousSection()->addButton()->click();
  view.show();
  pump();
  QWidget* row = view.invidiousSection()->row(QString::fromStdString(host));
  ASSERT_NE(row, nullptr);

  const struct {
    QLabel* label;
    std::string whole;
    QString head;
    QString tail;
  } cases[] = {
      {view.searchFolderLabel(), path, "/home/", "Clips"},
      {row->findChild<QLabel*>(QStringLiteral("instanceHost")), host, "hhhh", ".example:8443"},
  };
  for (const auto& [label, whole, head, tail] : cases) {
    SCOPED_TRACE(whole);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->accessibleName().toStdString(), whole);
    EXPECT_EQ(label->toolTip().toStdString(), whole);
    EXPECT_TRUE(label->text().startsWith(head)) << label->text().toStdString();
    EXPECT_TRUE(label->text().endsWith(tail)) << label->text().toStdString();
    EXPECT_TRUE(label->text().contains(QChar(0x2026)));
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    EXPECT_GT(label->width(), 100);
  }
}

// The deck cards of the main window cut their file names with a label of the same kind; the
// folder label must keep its own behaviour beside them in one program.
TEST_F(AppSettingsSectionsTest, AFolderLabelIsCutAgainToItsWidthWhenItsFontGrows) {
  const std::string path = "/home/someone/" + std::string(300, 'x') + "/Videos/Clips";
  defaults.set(settings::SettingsKey::ipadSearchSource, "localFiles");
  defaults.set(settings::SettingsKey::ipadSearchFolder, path);
  view.show();
  pump();
  QLabel* label = view.searchFolderLabel();
  ASSERT_NE(label, nullptr);
  const int width = label->width();
  ASSERT_GT(width, 100);
  const QString before = label->text();

  QFont larger = label->font();
  larger.setPointSizeF(larger.pointSizeF() * 3);
  label->setFont(larger);
  ASSERT_EQ(label->width(), width) << "the row decides the width, not the text";
  EXPECT_NE(label->text().toStdString(), before.toStdString());
  EXPECT_TRUE(label->text().startsWith("/ho")) << label->text().toStdString();
  EXPECT_TRUE(label->text().contains(QChar(0x2026)));
  EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), width) << label->text().toStdString();
}

} // namespace
} // namespace pd::ui::test
