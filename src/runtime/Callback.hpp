#pragma once

// Turns a callback API into something a coroutine can await:
//
//   std::string body = co_await runtime::awaitCallback<std::string>([&](auto done) {
//     client.startDownload(url, std::move(done));   // done(body) may be called from any thread
//   });
//
// start(done) runs at once on the awaiting coroutine's thread; done must be called exactly once,
// from any thread, and resumes the coroutine on its own executor. Several values come back as a
// tuple, none as void. Cancellation is the callback API's business: register a
// CancellationHandler around the await that tells it to stop and call done early.

#include "runtime/Task.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <utility>

namespace pd::runtime {

template <typename... Args, typename Start>
auto awaitCallback(Start start) {
  auto initiation = [start = std::move(start)](auto handler) mutable {
    start(detail::makeCompletion<Args...>(std::move(handler)));
  };
  return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void(Args...)>(std::move(initiation),
                                                                                           boost::asio::use_awaitable);
}

} // namespace pd::runtime
