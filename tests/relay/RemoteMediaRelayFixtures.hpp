#pragma once

// The relay against the fake remote, with what its tests share: a media whose address can be
// refreshed.

#include "RelayTestSupport.hpp"

#include <atomic>

namespace pd::relay {
namespace {

using runtime::test::Latch;
using runtime::test::waitUntilFinished;

constexpr std::int64_t kChunk = 4096;

struct RefreshFixture : RelayFixture {
  std::shared_ptr<std::atomic<int>> refreshes = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<Latch> hold; // when set, the refresh waits for it
  std::string url;

  std::shared_ptr<RemoteMedia> refreshable(remotesource::MediaIdentity fresh, std::string freshURL = "") {
    url = media("exp", 3 * kChunk);
    auto m = describe(url, 3 * kChunk);
    m->identity = remotesource::MediaIdentity{22, 3 * kChunk, std::nullopt};
    if (freshURL.empty()) freshURL = url + "?fresh=1";
    m->refresh = [count = refreshes, hold = hold, fresh, freshURL]() -> runtime::Awaitable<RemoteMediaRefresh> {
      count->fetch_add(1);
      if (hold) {
        while (!hold->isOpen()) co_await runtime::sleep(2ms);
      }
      co_return RemoteMediaRefresh{freshURL, fresh, std::nullopt};
    };
    return m;
  }
};

} // namespace
} // namespace pd::relay
