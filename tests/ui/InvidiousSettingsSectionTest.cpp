// The video-API instances section over a real instance manager (without a network session, so
// its health checks end at once), on Qt's offscreen platform.

#include "main/MainWindowTestSupport.hpp"

#include "platform/http/HttpClient.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "settings/AppSettings.hpp"
#include "ui/settings/InvidiousSettingsSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace pd::ui::test {
namespace {

using link::test::LogWindow;
using remotesource::InvidiousInstance;
using remotesource::InvidiousInstanceManager;
using remotesource::ProxyPolicy;

const QString kFormat = QStringLiteral("ホスト名の形式が正しくありません（例: invidious.example.org、host:port も可）");

class InvidiousSettingsSectionTest : public MainWindowFixture {
protected:
  std::shared_ptr<InvidiousInstanceManager> makeManager(nlohmann::json stored) {
    InvidiousInstanceManager::Dependencies dependencies;
    dependencies.storedUserInstances = [stored] { return std::optional<nlohmann::json>(stored); };
    dependencies.storedDefaultFallbackEnabled = [] { return std::optional<nlohmann::json>(); };
    return InvidiousInstanceManager::make(std::move(dependencies));
  }
  void add(const QString& text, ProxyPolicy policy = ProxyPolicy::automatic) {
    section->hostField()->setText(text);
    section->newPolicyPicker()->setCurrentIndex(section->newPolicyPicker()->findData(static_cast<int>(policy)));
    section->addButton()->click();
  }
  std::vector<std::string> hosts() const {
    std::vector<std::string> list;
    for (const auto& entry : section->instances()) list.push_back(entry.host);
    return list;
  }
  void showAndLoad() {
    section->show();
    runUntil([&] { return section->isLoaded(); });
  }
  // Runs the main loop until the manager has logged `count` lines with the prefix since `log`.
  void waitForLines(const LogWindow& log, const std::string& prefix, std::size_t count) {
    runUntil([&] { return log.count(prefix) >= count; });
  }
  std::optional<nlohmann::json> storedList() const {
    return defaults.object(settings::SettingsKey::invidiousUserInstances);
  }

  std::shared_ptr<InvidiousInstanceManager> manager_ = makeManager(
      nlohmann::json::array({{{"host", "a.example"}, {"proxy", "auto"}}, {{"host", "b.example"}, {"proxy", "proxy"}}}));
  std::unique_ptr<InvidiousSettingsSection> section = std::make_unique<InvidiousSettingsSection>(manager_);
};

TEST_F(InvidiousSettingsSectionTest, AnEntryAddedBeforeTheLoadIsNotSavedAndTheLoadReplacesIt) {
  LogWindow log;
  EXPECT_FALSE(section->isLoaded());
  EXPECT_TRUE(section->fallbackToggle()->isChecked());
  add("early.example");
  EXPECT_EQ(hosts(), std::vector<std::string>{"early.example"});
  section->fallbackToggle()->click();

  showAndLoad();
  EXPECT_EQ(hosts(), (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_EQ(section->instances()[1].proxy, ProxyPolicy::proxyOnly);
  EXPECT_TRUE(section->fallbackToggle()->isChecked()) << "nothing stored: the manager's default";
  pump();
  EXPECT_EQ(log.count("user_instances_update"), 0U);
  EXPECT_EQ(log.count("default_fallback_set"), 0U);
  EXPECT_FALSE(storedList().has_value());
  ASSERT_NE(section->row("b.example"), nullptr);
  auto* picker = section->row("b.example")->findChild<QComboBox*>();
  EXPECT_EQ(picker->currentText(), "プロキシ経由のみ");
  EXPECT_EQ(picker->toolTip(), InvidiousSettingsSection::policyHelp(ProxyPolicy::proxyOnly));
}

TEST_F(InvidiousSettingsSectionTest, ChecksRunInOrderAndTheirMessageStaysUntilAnAddSucceeds) {
  showAndLoad();
  EXPECT_EQ(section->hostField()->placeholderText(), "invidious.example.org");

  // Blank: the button is off, yet Return still runs the add, which fails the validity check.
  section->hostField()->setText(" \t ");
  EXPECT_FALSE(section->addButton()->isEnabled());
  QTest::keyClick(section->hostField(), Qt::Key_Return);
  EXPECT_EQ(section->inputError(), kFormat);

  const std::pair<const char*, QString> refused[] = {
      {"bad host", kFormat},
      {"a.example:0", kFormat},
      {"https://user@evil.example", kFormat},
      {"INV.NADEKO.NET/", QStringLiteral("標準のインスタンスです（追加しなくても使われます）")},
      {" https://A.Example/ ", QStringLiteral("すでに追加されています")},
  };
  for (const auto& [text, message] : refused) {
    SCOPED_TRACE(text);
    add(QString::fromUtf8(text), ProxyPolicy::directOnly);
    EXPECT_EQ(section->inputError(), message);
    EXPECT_TRUE(section->errorLabel()->isVisibleTo(section.get()));
    EXPECT_EQ(section->errorLabel()->text(), message);
    EXPECT_EQ(section->hostField()->text(), QString::fromUtf8(text)) << "what was typed stays";
    EXPECT_EQ(section->newPolicyPicker()->currentData().toInt(), static_cast<int>(ProxyPolicy::directOnly));
    EXPECT_EQ(hosts(), (std::vector<std::string>{"a.example", "b.example"}));
  }
  QTest::keyClicks(section->hostField(), "x");
  EXPECT_TRUE(section->inputError().has_value()) << "typing does not clear it";

  LogWindow log;
  add("HTTPS://Host.Example:8443//", ProxyPolicy::directOnly);
  EXPECT_FALSE(section->inputError().has_value());
  EXPECT_FALSE(section->errorLabel()->isVisibleTo(section.get()));
  EXPECT_EQ(section->hostField()->text(), "");
  EXPECT_EQ(section->newPolicyPicker()->currentData().toInt(), static_cast<int>(ProxyPolicy::automatic));
  EXPECT_EQ(hosts(), (std::vector<std::string>{"a.example", "b.example", "host.example:8443"}));
  waitForLines(log, "user_instances_update", 1);
  EXPECT_EQ(storedList(), nlohmann::json::parse(R"([{"host":"a.example","proxy":"auto"},)"
                                                R"({"host":"b.example","proxy":"proxy"},)"
                                                R"({"host":"host.example:8443","proxy":"direct"}])"));
}

TEST_F(InvidiousSettingsSectionTest, RemovePolicyAndToggleSaveInTheOrderMadeWithTheValueOfTheirMoment) {
  showAndLoad();
  LogWindow log;
  auto* picker = section->row("a.example")->findChild<QComboBox*>();
  const int direct = picker->findData(static_cast<int>(ProxyPolicy::directOnly));
  picker->setCurrentIndex(direct);
  EXPECT_EQ(picker->toolTip(), InvidiousSettingsSection::policyHelp(ProxyPolicy::directOnly));
  section->row("b.example")->findChild<QToolButton*>("removeInstance")->click();
  section->row("a.example")->findChild<QToolButton*>("removeInstance")->click();
  EXPECT_TRUE(section->instances().empty());
  for (int i = 0; i < 5; ++i) section->fallbackToggle()->click();
  EXPECT_FALSE(section->fallbackToggle()->isChecked());

  waitForLines(log, "default_fallback_set", 5);
  std::vector<std::string> saves;
  for (const auto& line : log.lines()) {
    if (line.starts_with("user_instances_update") || line.starts_with("default_fallback_set")) saves.push_back(line);
  }
  EXPECT_EQ(saves,
            (std::vector<std::string>{"user_instances_update count=2", "user_instances_update count=1",
                                      "user_instances_update count=0", "default_fallback_set enabled=false",
                                      "default_fallback_set enabled=true", "default_fallback_set enabled=false",
                                      "default_fallback_set enabled=true", "default_fallback_set enabled=false"}));
  EXPECT_EQ(storedList(), nlohmann::json::array());
  EXPECT_EQ(defaults.object(settings::SettingsKey::invidiousDefaultFallbackEnabled), nlohmann::json(false));
}

// A loopback port that takes connections and never answers: every probe to it runs into its time limit.
class SilentListener {
public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<::sockaddr*>(&address), length) != 0 || ::listen(fd_, 64) != 0 ||
        ::getsockname(fd_, reinterpret_cast<::sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  std::shared_ptr<platform::http::Client> client() const {
    platform::http::Client::Configuration configuration;
    configuration.connectTo = {":443:127.0.0.1:" + std::to_string(port_)};
    configuration.connectFilter = [](const ::sockaddr& address) {
      return address.sa_family == AF_INET &&
             reinterpret_cast<const ::sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    };
    return std::make_shared<platform::http::Client>(configuration);
  }

private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(InvidiousSettingsSectionTest, ShowingAgainWhileSavesWaitKeepsTheLastEditOnScreenAndInStorage) {
  SilentListener silent;
  InvidiousInstanceManager::Dependencies dependencies;
  const auto stored =
      nlohmann::json::array({{{"host", "a.example"}, {"proxy", "auto"}}, {{"host", "b.example"}, {"proxy", "proxy"}}});
  dependencies.storedUserInstances = [stored] { return std::optional<nlohmann::json>(stored); };
  dependencies.session = silent.client();
  dependencies.timing.probeTimeout = std::chrono::milliseconds(500);
  manager_ = InvidiousInstanceManager::make(std::move(dependencies));
  section = std::make_unique<InvidiousSettingsSection>(manager_);
  showAndLoad();
  LogWindow log;

  // The add's save waits for its health check; the removal's save waits behind it.
  add("c.example");
  waitForLines(log, "user_instances_update", 1);
  section->row("b.example")->findChild<QToolButton*>("removeInstance")->click();
  section->hide();
  section->show();
  waitForLines(log, "user_instances_update", 2);
  EXPECT_EQ(hosts(), (std::vector<std::string>{"a.example", "c.example"}));

  auto* picker = section->row("a.example")->findChild<QComboBox*>();
  picker->setCurrentIndex(picker->findData(static_cast<int>(ProxyPolicy::directOnly)));
  waitForLines(log, "user_instances_update", 3);
  runUntil([&] { return log.count("health_check healthy=") >= 3; });
  pump();
  EXPECT_EQ(hosts(), (std::vector<std::string>{"a.example", "c.example"}));
  EXPECT_EQ(storedList(), nlohmann::json::parse(R"([{"host":"a.example","proxy":"direct"},)"
                                                R"({"host":"c.example","proxy":"auto"}])"));
}

TEST_F(InvidiousSettingsSectionTest, SavesRunToTheEndAfterTheSectionIsGoneAndHoldTheManagerMeanwhile) {
  showAndLoad();
  LogWindow log;
  add("late.example");
  section.reset();
  std::weak_ptr<InvidiousInstanceManager> watched = manager_;
  manager_.reset();
  EXPECT_FALSE(watched.expired()) << "the pending save holds the manager";
  waitForLines(log, "user_instances_update", 1);
  runUntil([&] { return watched.expired(); });
  EXPECT_EQ(storedList(), nlohmann::json::parse(R"([{"host":"a.example","proxy":"auto"},)"
                                                R"({"host":"b.example","proxy":"proxy"},)"
                                                R"({"host":"late.example","proxy":"auto"}])"));
}

} // namespace
} // namespace pd::ui::test
