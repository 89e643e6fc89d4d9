#pragma once

// The main thread as seen by core code. In the application it is Qt's GUI thread (the app
// installs a poster that queues work on the Qt event loop); in tests and headless runs it is an
// io_context run by the test. Core code never knows which: it posts, spawns and asserts through
// this class only. No Qt and no Asio here, so models can include it freely.

#include "runtime/UniqueFunction.hpp"

#include <functional>
#include <memory>
#include <source_location>
#include <thread>

namespace boost::asio {
class io_context;
} // namespace boost::asio

namespace pd::runtime {

class Executor; // runtime/Executor.hpp

class MainThread {
public:
  // What runs main-thread work. Implementations must be thread-safe.
  class Backend {
  public:
    virtual ~Backend() = default;
    // Queues the work; it runs later on the main thread, in order.
    virtual void post(UniqueFunction<void()> work) = 0;
    virtual bool isCurrent() const noexcept = 0;
    // See detail::ExecutionTarget::trackWork.
    virtual std::shared_ptr<void> trackWork() { return {}; }
    // Called once the backend is uninstalled. Afterwards post() must drop work and nothing may
    // touch the loop behind the backend any more.
    virtual void detach() noexcept {}
  };

  // Keeps a backend installed; its destruction detaches the backend and reinstates the one that
  // was installed before it. Destroy it before the loop it refers to (declare the io_context first).
  class [[nodiscard]] Installation {
  public:
    Installation() noexcept = default;
    Installation(Installation&& other) noexcept;
    Installation& operator=(Installation&& other) noexcept;
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    ~Installation();

    void reset() noexcept;

  private:
    friend class MainThread;
    Installation(std::shared_ptr<Backend> installed, std::shared_ptr<Backend> previous) noexcept;
    std::shared_ptr<Backend> installed_;
    std::shared_ptr<Backend> previous_;
  };

  static Installation install(std::shared_ptr<Backend> backend);
  // The thread that runs context.run() is the main thread.
  static Installation installIoContext(boost::asio::io_context& context);
  // poster queues a function on the real main thread (the app wraps QMetaObject::invokeMethod with
  // Qt::QueuedConnection); mainThreadId identifies that thread. The poster may be called from any
  // thread, at the same time from several.
  static Installation installPoster(std::function<void(UniqueFunction<void()>)> poster, std::thread::id mainThreadId);

  static bool isInstalled() noexcept;

  // Usable with co_spawn, post, dispatch, strands and timers. Work sent while no backend is
  // installed is dropped.
  static Executor executor();
  static void post(UniqueFunction<void()> work);

  // False while no backend is installed.
  static bool isMainThread() noexcept;
  // Every main-thread entry point calls this. Aborts with a message naming the caller when a
  // backend is installed and the calling thread is not the main thread. Without a backend (unit
  // tests of plain logic) there is no main thread to be on, and it passes.
  static void assertMainThread(std::source_location where = std::source_location::current()) noexcept;
};

} // namespace pd::runtime
