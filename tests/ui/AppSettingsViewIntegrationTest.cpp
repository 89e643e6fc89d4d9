// The settings window renames the frame-sharing nodes of a private PipeWire daemon in place.

#include "QtTestEnvironment.hpp"
#include "SyphonIntegrationFixture.hpp"
#include "TestSupport.hpp"
#include "main/MainWindowTestSupport.hpp"

#include "settings/AppSettings.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "ui/settings/AppSettingsView.hpp"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <string>
#include <vector>

namespace pd::ui::test {
namespace {

using link::test::TA;

class AppSettingsViewIntegrationTest : public link::test::SyphonIntegrationFixture {
protected:
  pd::testing::TempDirectory folder;
  platform::UserDefaults defaults{folder / "defaults.json"};
  platform::ScopedStandardUserDefaults useDefaults{defaults};

  // The "id N," words of the daemon's node listing, in order.
  static std::vector<std::string> nodeIds() {
    std::vector<std::string> ids;
    const std::string listing = pd::testing::runTool("pw-cli ls Node");
    for (std::size_t at = listing.find("\tid "); at != std::string::npos; at = listing.find("\tid ", at + 1)) {
      ids.push_back(listing.substr(at + 1, listing.find(',', at) - at - 1));
    }
    return ids;
  }
};

TEST_F(AppSettingsViewIntegrationTest, ApplyingANewNameRenamesBothNodesInPlace) {
  const auto [nodeA, nodeB] = shareRawDecks();
  ASSERT_NE(nodeA, 0U);
  ASSERT_NE(nodeB, 0U);
  const std::vector<std::string> nodesBefore = nodeIds();

  auto sink = std::make_shared<ManagerSink>(*manager_);
  deckinput::OSCViewModel oscViewModel(std::make_shared<RecordingOSCServer>(), sink);
  AppSettingsView view(*manager_, oscViewModel, nullptr);
  view.show();
  view.syphonServerNameField()->selectAll();
  QTest::keyClicks(view.syphonServerNameField(), "Stage Left");
  QTest::mouseClick(view.syphonApplyButton(), Qt::LeftButton);

  const auto named = [](std::uint32_t id, const std::string& name) {
    return pd::testing::runTool("pw-cli info " + std::to_string(id)).find("node.name = \"" + name + "\"") !=
           std::string::npos;
  };
  // The node's own properties carry the new name; the registry's listing keeps the names the
  // nodes were announced with, so it serves only to show that no node was added.
  EXPECT_TRUE(waitFor([&] { return named(nodeA, "Stage Left A") && named(nodeB, "Stage Left B"); }))
      << pd::testing::runTool("pw-cli info " + std::to_string(nodeA));
  EXPECT_EQ(nodeIds(), nodesBefore) << "renamed in place, nothing added";
  for (const std::uint32_t id : {nodeA, nodeB}) {
    EXPECT_NE(std::find(nodesBefore.begin(), nodesBefore.end(), "id " + std::to_string(id)), nodesBefore.end());
  }
  EXPECT_EQ(TA::syphonNodeId(*manager_, 1), nodeA);
  EXPECT_EQ(TA::syphonNodeId(*manager_, 2), nodeB);

  // The name is in the file, for the next launch.
  platform::UserDefaults reread(folder / "defaults.json");
  EXPECT_EQ(reread.string(settings::SettingsKey::syphonServerName), "Stage Left");
}

} // namespace
} // namespace pd::ui::test
