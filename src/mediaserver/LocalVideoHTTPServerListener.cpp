// Waiting for a port, the listener and its restarts.

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "mediaserver/LocalVideoHTTPServerImpl.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace pd::mediaserver {

namespace asio = boost::asio;
using diagnostics::Log;
using platform::net::TcpConnection;
using platform::net::TcpListener;

// ---- Waiting for a port ----

runtime::Awaitable<std::uint16_t> LocalVideoHTTPServer::ensureReady() {
  std::weak_ptr<Impl> weak = impl_;
  auto executor = impl_->queueExecutor;
  auto initiation = [weak, executor](auto handler) {
    auto work = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    Impl::ReadyWaiter waiter = [handler = std::move(handler), work](std::exception_ptr error,
                                                                    std::uint16_t port) mutable {
      asio::post(work, [handler = std::move(handler), error, port]() mutable { std::move(handler)(error, port); });
    };
    executor.execute([weak, waiter = std::move(waiter)]() mutable {
      if (auto self = weak.lock()) {
        self->ensureReadyOnQueue(std::move(waiter));
      } else {
        waiter(std::make_exception_ptr(HTTPServerError(HTTPServerError::Case::deallocated)), 0);
      }
    });
  };
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  auto port = co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, std::uint16_t)>(
      std::move(initiation), asio::use_awaitable);
  co_return port;
}

void LocalVideoHTTPServer::Impl::ensureReadyOnQueue(ReadyWaiter waiter) {
  if (port) {
    waiter(nullptr, *port);
    return;
  }
  readyWaiters.push_back(std::move(waiter));
  if (!listener) {
    std::optional<std::uint16_t> preferred;
    if (pendingRestart) {
      preferred = *pendingRestart;
    }
    pendingRestart.reset();
    ++restartGeneration;
    startListener(preferred);
  }
}

// ---- Listener ----

void LocalVideoHTTPServer::Impl::startListener(std::optional<std::uint16_t> preferred) {
  TcpListener::Timing listenerTiming;
  listenerTiming.connection.drainTimeout = timing.drainTimeout;
  listenerTiming.connection.sendDeadline = timing.sendDeadline;
  std::shared_ptr<TcpListener> made;
  if (preferred) {
    try {
      made = TcpListener::create(queueExecutor, *preferred, listenerTiming);
      listenerOnPreferredPort = true;
    } catch (const std::exception&) {
      // The port is taken: any port will do.
    }
  }
  if (!made) {
    try {
      made = TcpListener::create(queueExecutor, 0, listenerTiming);
      listenerOnPreferredPort = false;
    } catch (...) {
      const auto error = std::current_exception();
      auto waiters = std::exchange(readyWaiters, {});
      for (auto& waiter : waiters) {
        waiter(error, 0);
      }
      return;
    }
  }
  listener = made;
  std::weak_ptr<Impl> weak = weak_from_this();
  std::weak_ptr<TcpListener> weakListener = made;
  made->start(
      [weak](std::shared_ptr<TcpConnection> connection) {
        if (auto self = weak.lock()) {
          self->accept(connection);
        }
      },
      [weak, weakListener](std::error_code error) {
        auto self = weak.lock();
        auto which = weakListener.lock();
        if (self && which) {
          self->listenerFailed(which, error);
        }
      });
  // The socket is bound and listening once made: it is ready now.
  listenerReady(made);
}

void LocalVideoHTTPServer::Impl::listenerReady(const std::shared_ptr<TcpListener>& which) {
  const std::uint16_t p = which->port();
  const auto previous = lastPort;
  port = p;
  lastPort = p;
  if (previous && *previous != p && onPortChange) {
    onPortChange(p);
  }
  Log::localvideo().notice("http_server_start port=%hu", p);
  auto waiters = std::exchange(readyWaiters, {});
  for (auto& waiter : waiters) {
    waiter(nullptr, p);
  }
}

void LocalVideoHTTPServer::Impl::listenerFailed(const std::shared_ptr<TcpListener>& which, std::error_code error) {
  if (which != listener) {
    return;
  }
  const auto failure = std::make_exception_ptr(std::system_error(error, "listener"));
  const auto fields = diagnostics::LogErrorFields::fields(failure, true);
  Log::localvideo().fault("http_server_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                          fields.detail);
  const bool hadBeenReady = port.has_value();
  which->cancel();
  listener.reset();
  port.reset();
  std::optional<std::uint16_t> retryPort;
  if (listenerOnPreferredPort && !hadBeenReady) {
    retryPort = std::nullopt;
  } else {
    retryPort = lastPort;
    auto waiters = std::exchange(readyWaiters, {});
    for (auto& waiter : waiters) {
      waiter(failure, 0);
    }
  }
  pendingRestart = retryPort;
  ++restartGeneration;
  const auto generation = restartGeneration;
  auto timer = std::make_shared<asio::steady_timer>(queueExecutor, timing.restartDelay);
  timer->async_wait([weak = weak_from_this(), timer, retryPort, generation](std::error_code timerError) {
    if (auto self = weak.lock(); self && !timerError) {
      self->restartListener(retryPort, generation);
    }
  });
}

void LocalVideoHTTPServer::Impl::restartListener(std::optional<std::uint16_t> preferred, std::int64_t generation) {
  if (listener || !pendingRestart || restartGeneration != generation) {
    return;
  }
  pendingRestart.reset();
  Log::localvideo().notice("http_server_restart port=%hu", preferred.value_or(0));
  startListener(preferred);
}

} // namespace pd::mediaserver
