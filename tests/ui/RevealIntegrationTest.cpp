// Revealing a saved export: the file manager on a private session bus is asked to show the
// file's address. The bus is this test program's own, so nothing else may use D-Bus here.

#include "QtTestEnvironment.hpp"
#include "TestSupport.hpp"
#include "support/ChildProcess.hpp"

#include "ui/settings/SettingsDialogs.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace pd::ui::test {
namespace {

using namespace std::chrono_literals;

// Answers org.freedesktop.FileManager1.ShowItems and keeps what it was asked to show.
class FakeFileManager final : public QDBusVirtualObject {
public:
  QString introspect(const QString&) const override {
    return QStringLiteral(R"(<interface name="org.freedesktop.FileManager1"><method name="ShowItems">)"
                          R"(<arg type="as" direction="in"/><arg type="s" direction="in"/></method></interface>)");
  }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != QStringLiteral("org.freedesktop.FileManager1") ||
        message.member() != QStringLiteral("ShowItems") || message.arguments().size() != 2) {
      return false;
    }
    shown += message.arguments().at(0).toStringList();
    connection.send(message.createReply());
    return true;
  }
  QStringList shown;
};

TEST(RevealIntegration, TheFileManagerOnTheSessionBusIsAskedToShowTheSavedFile) {
  if (!std::filesystem::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon";
  pd::testing::TempDirectory folder;
  pd::testing::ChildProcess bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address=1",
                                                         "--address=unix:dir=" + folder.path().string()});
  const auto address = bus.readLine(10s);
  ASSERT_TRUE(address.has_value()) << "the private bus did not start";
  qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(*address));

  FakeFileManager fileManager;
  QDBusConnection fake = QDBusConnection::connectToBus(QString::fromStdString(*address), QStringLiteral("fake-fm"));
  ASSERT_TRUE(fake.isConnected());
  ASSERT_TRUE(fake.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager));
  ASSERT_TRUE(fake.registerService(QStringLiteral("org.freedesktop.FileManager1")));

  const std::filesystem::path saved = folder.path() / "Palendrix Log #1.ndjson";
  std::ofstream(saved) << "{}\n";
  revealInFileManager(saved);
  QElapsedTimer waited;
  waited.start();
  while (fileManager.shown.isEmpty() && waited.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

  ASSERT_EQ(fileManager.shown.size(), 1);
  EXPECT_EQ(fileManager.shown.front(),
            QUrl::fromLocalFile(QString::fromStdString(saved.string())).toString(QUrl::FullyEncoded));
  EXPECT_TRUE(fileManager.shown.front().endsWith(QStringLiteral("Palendrix%20Log%20%231.ndjson")));
  fake.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
  QDBusConnection::disconnectFromBus(QStringLiteral("fake-fm"));
}

} // namespace
} // namespace pd::ui::test
