// The OSC datagram parser side by side with liblo's deserialiser, on the same bytes, in one run:
// the usual benchmark table, then for each message the ratio of liblo's time to ours (above 1:
// ours is faster), from paired rounds.
//
//   osc_bench [Google Benchmark options]

#include "deckinput/OSCParser.hpp"
#include "deckinput/OSCServerService.hpp"
#include "platform/log/Logger.hpp"

#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <lo/lo_lowlevel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes serialise(lo_message message, const char* path) {
  std::size_t size = 0;
  void* data = lo_message_serialise(message, path, nullptr, &size);
  Bytes bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  std::free(data);
  lo_message_free(message);
  return bytes;
}

// What DJ software sends most: one float to one deck field.
const Bytes& deckMessage() {
  static const Bytes bytes = [] {
    lo_message message = lo_message_new();
    lo_message_add_float(message, 128.0F);
    return serialise(message, "/deck/1/bpm");
  }();
  return bytes;
}

// Twelve arguments as DJ software sends them: integers, floats and short texts.
const Bytes& twelveArguments() {
  static const Bytes bytes = [] {
    lo_message message = lo_message_new();
    for (int i = 0; i < 4; ++i) {
      lo_message_add_int32(message, 1000 + i);
      lo_message_add_float(message, 0.25F * static_cast<float>(i));
      lo_message_add_string(message, i % 2 == 0 ? "Track Title" : "Artist");
    }
    return serialise(message, "/deck/2/metadata");
  }();
  return bytes;
}

// Twelve arguments of every kind, blobs included: each blob is a buffer of its own here, while
// liblo points into one copy of the datagram.
const Bytes& twelveWithBlobs() {
  static const Bytes bytes = [] {
    lo_message message = lo_message_new();
    const unsigned char blobData[6] = {1, 2, 3, 4, 5, 6};
    lo_blob blob = lo_blob_new(sizeof blobData, blobData);
    for (int i = 0; i < 3; ++i) {
      lo_message_add_int32(message, 1000 + i);
      lo_message_add_float(message, 0.25F * static_cast<float>(i));
      lo_message_add_string(message, i == 0 ? "Track Title" : "Artist");
      lo_message_add_blob(message, blob);
    }
    lo_blob_free(blob);
    return serialise(message, "/deck/2/metadata");
  }();
  return bytes;
}

void parseOurs(benchmark::State& state, const Bytes& bytes) {
  for (auto _ : state) {
    auto result = pd::deckinput::OSCParser::parse(bytes);
    benchmark::DoNotOptimize(result);
  }
}

// The server's entry point: the parser plus its log bookkeeping after every success.
void parseOursLogged(benchmark::State& state, const Bytes& bytes) {
  for (auto _ : state) {
    auto message = pd::deckinput::OSCServerService::parseMessage(bytes);
    benchmark::DoNotOptimize(message);
  }
}

void parseLiblo(benchmark::State& state, const Bytes& bytes) {
  Bytes copy = bytes; // liblo takes a non-const pointer
  for (auto _ : state) {
    int result = 0;
    lo_message message = lo_message_deserialise(copy.data(), copy.size(), &result);
    benchmark::DoNotOptimize(message);
    if (message == nullptr) {
      state.SkipWithError("liblo rejected the message");
      break;
    }
    lo_message_free(message);
  }
}

void deckOurs(benchmark::State& state) { parseOurs(state, deckMessage()); }
void deckOursLogged(benchmark::State& state) { parseOursLogged(state, deckMessage()); }
void deckLiblo(benchmark::State& state) { parseLiblo(state, deckMessage()); }
void twelveOurs(benchmark::State& state) { parseOurs(state, twelveArguments()); }
void twelveOursLogged(benchmark::State& state) { parseOursLogged(state, twelveArguments()); }
void twelveLiblo(benchmark::State& state) { parseLiblo(state, twelveArguments()); }
void blobsOurs(benchmark::State& state) { parseOurs(state, twelveWithBlobs()); }
void blobsOursLogged(benchmark::State& state) { parseOursLogged(state, twelveWithBlobs()); }
void blobsLiblo(benchmark::State& state) { parseLiblo(state, twelveWithBlobs()); }

BENCHMARK(deckOurs)->Name("deck_message/ours_parser");
BENCHMARK(deckOursLogged)->Name("deck_message/ours_parseMessage");
BENCHMARK(deckLiblo)->Name("deck_message/liblo");
BENCHMARK(twelveOurs)->Name("twelve_arguments/ours_parser");
BENCHMARK(twelveOursLogged)->Name("twelve_arguments/ours_parseMessage");
BENCHMARK(twelveLiblo)->Name("twelve_arguments/liblo");
BENCHMARK(blobsOurs)->Name("twelve_with_blobs/ours_parser");
BENCHMARK(blobsOursLogged)->Name("twelve_with_blobs/ours_parseMessage");
BENCHMARK(blobsLiblo)->Name("twelve_with_blobs/liblo");

// Side by side on a busy machine: rounds of a few hundred parses each, ours and liblo's in
// alternating order, and the median of the per-round ratios, so that load which comes and goes
// weighs on both alike.
template <typename Ours>
double pairedRatio(const Bytes& bytes, Ours ours) {
  using Clock = std::chrono::steady_clock;
  constexpr int kRounds = 600;
  constexpr int kPerRound = 300;
  Bytes copy = bytes;
  const auto runOurs = [&] {
    for (int i = 0; i < kPerRound; ++i) {
      auto result = ours(bytes);
      benchmark::DoNotOptimize(result);
    }
  };
  const auto runLiblo = [&] {
    for (int i = 0; i < kPerRound; ++i) {
      lo_message message = lo_message_deserialise(copy.data(), copy.size(), nullptr);
      benchmark::DoNotOptimize(message);
      lo_message_free(message);
    }
  };
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    const auto t0 = Clock::now();
    if (round % 2 == 0) {
      runOurs();
    } else {
      runLiblo();
    }
    const auto t1 = Clock::now();
    if (round % 2 == 0) {
      runLiblo();
    } else {
      runOurs();
    }
    const auto t2 = Clock::now();
    const double first = std::chrono::duration<double>(t1 - t0).count();
    const double second = std::chrono::duration<double>(t2 - t1).count();
    ratios.push_back(round % 2 == 0 ? second / first : first / second);
  }
  std::nth_element(ratios.begin(), ratios.begin() + kRounds / 2, ratios.end());
  return ratios[kRounds / 2];
}

} // namespace

int main(int argc, char** argv) {
  // Parse failures never happen here; success lines are not written at all.
  pd::platform::log::setStderrEnabled(false);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const auto parser = [](const Bytes& bytes) { return pd::deckinput::OSCParser::parse(bytes); };
  const auto parseMessage = [](const Bytes& bytes) { return pd::deckinput::OSCServerService::parseMessage(bytes); };
  std::printf("\nliblo's time / ours, median of paired rounds (above 1: ours is faster)\n");
  const std::pair<const char*, const Bytes*> messages[] = {{"deck_message", &deckMessage()},
                                                           {"twelve_arguments", &twelveArguments()},
                                                           {"twelve_with_blobs", &twelveWithBlobs()}};
  for (const auto& [name, bytes] : messages) {
    std::printf("ratio %-18s parser %.2f  parseMessage %.2f\n", name, pairedRatio(*bytes, parser),
                pairedRatio(*bytes, parseMessage));
  }
  return 0;
}
