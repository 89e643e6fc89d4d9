// The YouTube search panel given 200 results and scrolled to the end, beside a QListWidget given
// the same 200 titles with placeholder icons, in one run on Qt's offscreen platform. The panel
// builds rows (and asks for thumbnails) only as they come into view; the counter
// "thumbnails" is how many pictures one pass asked for. Nothing touches the network: the search
// model's state is set directly and the thumbnail loader only counts.

#include "OffscreenBenchMain.hpp"

#include "remotesource/VideoSearchItem.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "ui/sender/ThumbnailLoader.hpp"
#include "ui/sender/YouTubeSearchPanel.hpp"

#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QScrollArea>
#include <QScrollBar>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace pd;

constexpr int kResults = 200;

class CountingThumbnails final : public ui::ThumbnailLoader {
public:
  std::shared_ptr<void> load(const std::string&, QSize, std::function<void(QImage)>) override {
    ++requested;
    return {};
  }
  std::size_t requested = 0;
};

std::vector<remotesource::VideoSearchItem> results() {
  std::vector<remotesource::VideoSearchItem> items;
  for (int i = 0; i < kResults; ++i) {
    items.push_back({"video" + std::to_string(i), "Result title number " + std::to_string(i) + " of the search",
                     "Channel " + std::to_string(i % 17), 60 + i * 7,
                     "https://thumbs.example/" + std::to_string(i) + ".webp"});
  }
  return items;
}

void settle() {
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void BM_PanelApplyAndScroll(benchmark::State& state) {
  const auto items = results();
  auto thumbnails = std::make_shared<CountingThumbnails>();
  std::size_t lastPass = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto model = std::make_shared<sender::YouTubeSearchModel>(nullptr);
    const std::size_t before = thumbnails->requested;
    ui::YouTubeSearchPanel panel(model, thumbnails, [](const remotesource::VideoSearchItem&, ui::Deck) {});
    panel.resize(700, 420);
    panel.show();
    settle();
    state.ResumeTiming();
    model->results.set(items);
    QScrollBar* bar = panel.resultsArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    panel.repaint();
    settle();
    state.PauseTiming();
    lastPass = thumbnails->requested - before;
    panel.hide();
    state.ResumeTiming();
  }
  state.counters["thumbnails"] = static_cast<double>(lastPass);
}

void BM_ListWidgetApplyAndScroll(benchmark::State& state) {
  const auto items = results();
  QPixmap placeholder(96, 54);
  placeholder.fill(QColor(142, 142, 147, 51));
  const QIcon icon(placeholder);
  for (auto _ : state) {
    state.PauseTiming();
    QListWidget list;
    list.setIconSize(QSize(96, 54));
    list.resize(700, 280);
    list.show();
    settle();
    state.ResumeTiming();
    for (const auto& item : items) list.addItem(new QListWidgetItem(icon, QString::fromStdString(item.title)));
    list.scrollToBottom();
    list.repaint();
    settle();
    state.PauseTiming();
    list.hide();
    state.ResumeTiming();
  }
}

BENCHMARK(BM_PanelApplyAndScroll)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ListWidgetApplyAndScroll)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv) { return pd::bench::runOffscreenBenchmarks(argc, argv); }
