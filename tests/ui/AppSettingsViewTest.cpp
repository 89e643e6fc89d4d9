// The settings window's widgets against a link manager made of fakes, on Qt's offscreen platform.

#include "main/MainWindowTestSupport.hpp"

#include "settings/AppSettings.hpp"
#include "ui/settings/AppSettingsView.hpp"

#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>

#include <charconv>
#include <optional>

namespace pd::ui::test {
namespace {

using link::test::LogWindow;
using link::test::TA;

const std::vector<std::pair<std::uint8_t, std::string>> kRaw = {{1, "Palendrix Zuvudiv A"}, {2, "Palendrix Zuvudiv B"}};
constexpr std::string_view kChangePrefix = "config_change key=syphonServerName to=";

class AppSettingsViewTest : public MainWindowFixture {
protected:
  AppSettingsViewTest() {
    // The raw mode's two servers, so that a rename shows in their names.
    TA::stopSyphonServers(*manager);
    pump();
    videoOut->forget();
    TA::configureSyphon(*manager, kRaw);
  }

  std::optional<std::string> stored() { return defaults.string(settings::SettingsKey::syphonServerName); }
  std::vector<std::optional<std::string>> serverNames() {
    TA::onSyphonQueue(*manager, [](link::NetworkManagerForMac&) {});
    pump();
    return {videoOut->server(0).name, videoOut->server(1).name};
  }
  // The effective name and revision of every frame-sharing config_change line in the window.
  static std::vector<std::pair<std::string, std::int64_t>> changes(const LogWindow& log) {
    std::vector<std::pair<std::string, std::int64_t>> found;
    for (const auto& line : log.lines()) {
      if (line.rfind(kChangePrefix, 0) != 0) continue;
      const auto revAt = line.rfind(" snapshot_rev=");
      if (revAt == std::string::npos) continue;
      std::int64_t rev = -1;
      const char* digits = line.data() + revAt + 14;
      std::from_chars(digits, line.data() + line.size(), rev);
      found.emplace_back(line.substr(kChangePrefix.size(), revAt - kChangePrefix.size()), rev);
    }
    return found;
  }

  AppSettingsView view{*manager, *oscViewModel, nullptr};
  QLineEdit* field = view.syphonServerNameField();
};

TEST_F(AppSettingsViewTest, SectionShowsTheStoredNameAndNamesTheOutputItReallyUses) {
  EXPECT_EQ(field->text(), "Palendrix Zuvudiv") << "nothing stored reads as the default";
  EXPECT_EQ(field->placeholderText(), "Palendrix Zuvudiv");
  EXPECT_EQ(field->accessibleName(), "サーバー名");
  EXPECT_EQ(view.syphonApplyButton()->text(), "適用");
  EXPECT_NE(findLabel(&view, "PipeWire出力"), nullptr);
  EXPECT_NE(findLabel(&view, "VJソフト側に表示されるサーバー名です。空欄にすると「Palendrix Zuvudiv」に戻ります。"),
            nullptr);
  EXPECT_FALSE(stored().has_value()) << "showing the form stores nothing";

  // A name stored while the window was away is shown when it comes back.
  defaults.set(settings::SettingsKey::syphonServerName, "Booth");
  view.show();
  EXPECT_EQ(field->text(), "Booth");
}

TEST_F(AppSettingsViewTest, EachEditIsStoredAsTypedAndRenamesNothingUntilApplied) {
  field->clear();
  QTest::keyClicks(field, "St");
  EXPECT_EQ(stored(), "St");
  QTest::keyClicks(field, "age ");
  EXPECT_EQ(stored(), "Stage ") << "blanks stay while typing";
  QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_EQ(stored(), "Stage");
  EXPECT_EQ(serverNames(), (std::vector<std::optional<std::string>>{"Palendrix Zuvudiv A", "Palendrix Zuvudiv B"}));
}

TEST_F(AppSettingsViewTest, ReturnStoresTheNameTrimmedAndRenamesTheServers) {
  LogWindow log;
  field->clear();
  QTest::keyClicks(field, "  Stage Left  ");
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(stored(), "Stage Left");
  EXPECT_EQ(field->text(), "Stage Left");
  ASSERT_EQ(changes(log).size(), 1U);
  EXPECT_EQ(changes(log)[0].first, "Stage Left");
  EXPECT_EQ(serverNames(), (std::vector<std::optional<std::string>>{"Stage Left A", "Stage Left B"}));
}

TEST_F(AppSettingsViewTest, ANameOfBlanksFallsBackToTheDefaultName) {
  // Line breaks cannot be typed into the field; they arrive through the stored value.
  for (const char* blanks : {"   \n", "\u3000\u3000", " \t\u3000\n"}) {
    SCOPED_TRACE(blanks);
    defaults.set(settings::SettingsKey::syphonServerName, "Stage");
    view.applySyphonServerName();
    ASSERT_EQ(serverNames()[0], "Stage A");

    LogWindow log;
    defaults.set(settings::SettingsKey::syphonServerName, blanks);
    view.syphonApplyButton()->click();
    EXPECT_EQ(stored(), "") << "stored as empty, not as the default";
    EXPECT_EQ(field->text(), "");
    ASSERT_EQ(changes(log).size(), 1U);
    EXPECT_EQ(changes(log)[0].first, "Palendrix Zuvudiv");
    EXPECT_EQ(serverNames(), (std::vector<std::optional<std::string>>{"Palendrix Zuvudiv A", "Palendrix Zuvudiv B"}));
  }
}

TEST_F(AppSettingsViewTest, EveryApplyTakesTheNextRevisionAlsoWhenNothingChanged) {
  const std::int64_t launch = settings::nextConfigSnapshotRevision();
  LogWindow log;
  view.syphonApplyButton()->click();
  view.syphonApplyButton()->click();
  const auto lines = changes(log);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], std::make_pair(std::string("Palendrix Zuvudiv"), launch + 1));
  EXPECT_EQ(lines[1], std::make_pair(std::string("Palendrix Zuvudiv"), launch + 2));
  // Applying an absent name stores the default it showed.
  EXPECT_EQ(stored(), "Palendrix Zuvudiv");
}

} // namespace
} // namespace pd::ui::test
