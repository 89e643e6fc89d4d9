// The thumbnail loader over the real HTTP client against the fake video API on loopback: a picture
// is fetched, decoded off the GUI thread and delivered on it; an error status, an oversized body,
// a stalled server and a dropped handle deliver nothing.

#include "QtTestEnvironment.hpp"

#include "platform/http/HttpClient.hpp"
#include "support/FakeRemote.hpp"
#include "ui/sender/ThumbnailLoader.hpp"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace pd::ui {
namespace {

using namespace std::chrono_literals;

std::string pngBytes(QSize size) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::green);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes.toStdString();
}

// The body as the fake's raw fault wants it: each byte one character U+0000..U+00FF.
std::string latin1(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size())).toStdString();
}

class ThumbnailLoaderTest : public ::testing::Test {
protected:
  ThumbnailLoaderTest() {
    client = std::make_shared<platform::http::Client>(remote.clientConfiguration());
    ThumbnailLimits limits;
    limits.maxBytes = 64 * 1024;
    limits.totalTimeout = 1500ms;
    limits.idleTimeout = 1000ms;
    loader = makeHttpThumbnailLoader(client, limits);
  }

  // Runs the GUI thread's queue until `done` holds or the time is up; says whether it holds.
  static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds wait) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < wait.count()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
  }
  // Runs the GUI thread's queue until an image came or the time is up.
  std::optional<QImage> load(const std::string& url, std::chrono::milliseconds wait, bool keepHandle = true) {
    std::optional<QImage> delivered;
    auto handle = loader->load(url, QSize(96, 54), [&delivered](QImage image) { delivered = std::move(image); });
    if (!keepHandle) handle.reset();
    runUntil([&] { return delivered.has_value(); }, wait);
    return delivered;
  }

  testing::FakeRemote remote;
  std::shared_ptr<platform::http::Client> client;
  std::shared_ptr<ThumbnailLoader> loader;
};

TEST_F(ThumbnailLoaderTest, FetchesDecodesAndCropsOffTheGuiThread) {
  remote.command({{"fault", "raw"},
                  {"host", "img.remote.test"},
                  {"path", "/vi/a"},
                  {"status", 200},
                  {"body", latin1(pngBytes(QSize(320, 240)))}});
  const auto image = load("https://img.remote.test/vi/a/mq.png", 5s);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->size(), QSize(96, 54));
  EXPECT_EQ(image->pixelColor(10, 10), QColor(Qt::green));
}

TEST_F(ThumbnailLoaderTest, FailuresAndDroppedHandlesDeliverNothing) {
  remote.command({{"fault", "status"}, {"host", "img.remote.test"}, {"path", "/vi/missing"}, {"status", 404}});
  EXPECT_FALSE(load("https://img.remote.test/vi/missing/mq.png", 500ms));
  remote.command({{"fault", "over_cap"}, {"host", "img.remote.test"}, {"path", "/vi/huge"}, {"bytes", 200000}});
  EXPECT_FALSE(load("https://img.remote.test/vi/huge/mq.png", 1s));
  // A server that stalls for half a minute: the transfer ends at its own time limit, long before.
  remote.command({{"fault", "stall"}, {"host", "img.remote.test"}, {"path", "/vi/stall"}, {"seconds", 30}});
  std::optional<QImage> stalled;
  const auto handle =
      loader->load("https://img.remote.test/vi/stall/mq.png", QSize(96, 54), [&](QImage image) { stalled = image; });
  ASSERT_TRUE(runUntil([&] { return client->activeTransfers() > 0; }, 5s));
  EXPECT_TRUE(runUntil([&] { return client->activeTransfers() == 0; }, 15s))
      << "the stalled transfer outlived its time limit";
  QApplication::processEvents();
  EXPECT_FALSE(stalled);
  // A row that goes before its picture arrives never sees it.
  remote.command({{"fault", "raw"},
                  {"host", "img.remote.test"},
                  {"path", "/vi/late"},
                  {"status", 200},
                  {"body", latin1(pngBytes(QSize(64, 36)))}});
  EXPECT_FALSE(load("https://img.remote.test/vi/late/mq.png", 500ms, false));
  // Nothing but http(s) is asked for at all.
  EXPECT_EQ(loader->load("file:///etc/hostname", QSize(96, 54), [](QImage) {}), nullptr);
}

} // namespace
} // namespace pd::ui
