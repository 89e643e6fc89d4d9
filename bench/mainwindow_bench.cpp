// Opening the main window to its first painted frame: the window, its content (status, video
// placeholder, send panel slot, toolbar) and the first paint, with the link manager made of
// stand-ins so that nothing touches the network. Runs on Qt's offscreen platform.

#include "OffscreenBenchMain.hpp"

#include "receiver/LinkDeckStateSink.hpp"
#include "app/MainWindow.hpp"
#include "support/SenderSetup.hpp"
#include "deckinput/OSCServerService.hpp"
#include "deckinput/OSCViewModel.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/log/Logger.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "ui/main/ContentView.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>

#include <memory>

namespace {

using namespace pd;

class IdleBrowser final : public platform::bonjour::ServiceBrowser {
public:
  void setResultsChangedHandler(ResultsChangedHandler) override {}
  void setStateUpdateHandler(StateUpdateHandler) override {}
  void start(runtime::Executor) override {}
  void cancel() override {}
};

class IdleOSCServer final : public deckinput::OSCServerServiceProtocol {
public:
  boost::signals2::connection subscribeMessages(MessageHandler) override { return {}; }
  boost::signals2::connection subscribeState(StateHandler handler) override {
    handler(deckinput::ServerState::stopped());
    return {};
  }
  void start(const deckinput::ServerConfiguration&) override {}
  void stop() override {}
};

// Sees the first paint of a window.
class PaintWatcher : public QObject {
public:
  bool painted = false;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = true;
    return QObject::eventFilter(watched, event);
  }
};

void BM_OpenMainWindowToFirstPaint(benchmark::State& state) {
  boost::asio::io_context context;
  auto installation = runtime::MainThread::installIoContext(context);
  platform::log::setStderrEnabled(false);
  platform::UserDefaults defaults;
  platform::ScopedStandardUserDefaults useDefaults(defaults);
  defaults.set("acceptedTermsVersion", std::int64_t{2});

  link::NetworkManagerForMac::Dependencies deps = link::NetworkManagerForMac::systemDependencies();
  deps.makeBrowser = [](std::string_view) { return std::make_unique<IdleBrowser>(); };
  auto manager = link::NetworkManagerForMac::create(std::move(deps));
  auto sink = std::make_shared<receiver::LinkDeckStateSink>(manager);
  auto oscViewModel = std::make_shared<deckinput::OSCViewModel>(std::make_shared<IdleOSCServer>(), sink);
  auto sender = testing::makeSenderSetup(manager);
  auto broadcaster = sender.broadcaster;

  for (auto _ : state) {
    QElapsedTimer timer;
    timer.start();
    auto* content = new ui::ContentView(*manager, *oscViewModel, *broadcaster, sender.services);
    app::MainWindow window(content, ui::ContentView::kCurrentTermsVersion);
    window.resize(960, 680);
    PaintWatcher watcher;
    window.installEventFilter(&watcher);
    window.show();
    while (!watcher.painted) QApplication::processEvents(QEventLoop::AllEvents, 5);
    state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
    state.PauseTiming();
    window.hide();
    window.removeEventFilter(&watcher);
    QApplication::processEvents();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_OpenMainWindowToFirstPaint)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) { return pd::bench::runOffscreenBenchmarks(argc, argv); }
