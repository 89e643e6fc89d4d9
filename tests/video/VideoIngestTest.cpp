// The receive side of the video pipeline on its own: per-stream statistics and the stale-epoch
// accounting, on a clock the test moves.

#include "video/VideoIngest.hpp"

#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "support/LogWindow.hpp"
#include "tablet-emulator/VideoDatagram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pd::video::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using pd::testing::LogWindow;
using Source = StaleEpochSource;

Bytes singleFragment(std::uint64_t sequence, std::uint8_t stream, const Bytes& payload = {}) {
  auto result = tools::tablet::fragmentAccessUnit(payload, stream, sequence, 1'265);
  return result.datagrams.at(0);
}

class VideoIngestTest : public ::testing::Test {
protected:
  VideoIngestTest()
      : ingest({[this](std::uint8_t stream, double) { accepted.push_back(stream); }, [this] { ++flushes; }}) {}

  void handle(const Bytes& datagram) { ingest.handleDatagram(datagram, runtime::monotonicSeconds(), 100); }

  runtime::ManualClock clock;
  runtime::ScopedClock installed{clock};
  std::vector<std::uint8_t> accepted;
  int flushes = 0;
  VideoIngest ingest;
};

TEST_F(VideoIngestTest, StreamStatisticsComeEveryTenSecondsAndWithEveryFlush) {
  ingest.installDecoders({}, {1, 2});
  EXPECT_EQ(flushes, 1);
  LogWindow log;
  handle(singleFragment(1, 1)); // starts the clock only
  handle(singleFragment(1, 2, {1, 2}));
  const auto beyond = tools::tablet::fragmentAccessUnit(Bytes(3000, 1), 2, 3, 1'265);
  handle(beyond.datagrams.at(0)); // a partial frame, swept below
  handle(singleFragment(1, 0)); // an inactive stream is neither accepted nor counted
  EXPECT_EQ(accepted, (std::vector<std::uint8_t>{1, 2, 2}));
  EXPECT_FALSE(log.has("stream_stats"));

  clock.advance(std::chrono::milliseconds(4'000));
  handle(singleFragment(4, 1)); // sweeps seq 3 of stream 2
  clock.advance(std::chrono::milliseconds(6'000));
  handle(singleFragment(5, 1));
  EXPECT_EQ(log.count("stream_stats"), 2u);
  EXPECT_TRUE(log.has("stream_stats stream=1 frames=3 dropped=0 thermal="));
  EXPECT_TRUE(log.has("stream_stats stream=2 frames=1 dropped=1 thermal="));
  const auto lines = log.lines();
  const auto first =
      std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("stream_stats"); });
  EXPECT_TRUE(first->starts_with("stream_stats stream=1"));

  // The flush writes what is there at once and restarts the interval reference.
  handle(singleFragment(6, 2));
  ingest.flushStreamStats();
  EXPECT_TRUE(log.has("stream_stats stream=2 frames=1 dropped=0"));
  EXPECT_EQ(log.count("stream_stats"), 3u);
  clock.advance(std::chrono::milliseconds(700));
  handle(singleFragment(7, 2));
  ingest.flushStreamStats();
  ingest.flushStreamStats(); // empty: writes nothing
  EXPECT_EQ(log.count("stream_stats"), 4u);
  EXPECT_EQ(flushes, 4);
}

TEST_F(VideoIngestTest, StaleEpochCountsAreReportedAtOnceThenEveryTenSecondsInSourceOrder) {
  LogWindow log;
  ingest.recordStaleEpochDrop(Source::syphon, 2);
  EXPECT_EQ(log.count("stale_epoch_stats"), 1u);
  clock.advance(std::chrono::seconds(3));
  ingest.recordStaleEpochDrop(Source::syphonLate, 1);
  ingest.recordStaleEpochDrop(Source::recv, std::nullopt);
  ingest.recordStaleEpochDrop(Source::display, 2);
  ingest.recordStaleEpochDrop(Source::display, 1);
  ingest.recordStaleEpochDrop(Source::json, std::nullopt);
  ingest.recordStaleEpochDrop(Source::json, std::nullopt);
  EXPECT_EQ(log.count("stale_epoch_stats"), 1u);
  EXPECT_EQ(ingest.unreportedStaleEpochDrops({Source::json, std::nullopt}), 2);
  clock.advance(std::chrono::seconds(7));
  ingest.recordStaleEpochDrop(Source::syphon, 2);
  EXPECT_EQ(ingest.unreportedStaleEpochDrops({Source::json, std::nullopt}), 0);

  std::vector<std::string> written;
  for (const auto& line : log.lines())
    if (line.starts_with("stale_epoch_stats")) written.push_back(line);
  EXPECT_EQ(written, (std::vector<std::string>{
                         "stale_epoch_stats source=syphon stream=2 dropped=1",
                         "stale_epoch_stats source=display stream=1 dropped=1",
                         "stale_epoch_stats source=display stream=2 dropped=1",
                         "stale_epoch_stats source=json dropped=2",
                         "stale_epoch_stats source=recv dropped=1",
                         "stale_epoch_stats source=syphon stream=2 dropped=1",
                         "stale_epoch_stats source=syphon_late stream=1 dropped=1",
                     }));
}

} // namespace
} // namespace pd::video::test
