// The YouTube search panel over a real search model whose state the tests set, with a counting
// thumbnail loader, on Qt's offscreen platform.

#include "SenderWidgetTestSupport.hpp"

#include "remotesource/InvidiousVideoSource.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/sender/ThumbnailLoader.hpp"
#include "ui/sender/YouTubeSearchPanel.hpp"

#include <QLineEdit>
#include <QBuffer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>

namespace pd::ui::test {
namespace {

using remotesource::VideoSearchItem;

class SearchPanelTest : public SenderWidgetFixture {
protected:
  SearchPanelTest() {
    model = std::make_shared<sender::YouTubeSearchModel>(std::make_shared<remotesource::InvidiousVideoSource>(
        senderServices.instanceManager, senderServices.httpClient));
    panel = std::make_unique<YouTubeSearchPanel>(
        model, thumbnails, [this](const VideoSearchItem& item, Deck deck) { sent.emplace_back(item.videoID, deck); });
    panel->resize(700, 500);
    panel->show();
    pump();
  }
  ~SearchPanelTest() override { panel.reset(); }

  static std::vector<VideoSearchItem> items(int count) {
    std::vector<VideoSearchItem> list;
    for (int i = 0; i < count; ++i) {
      list.push_back({"v" + std::to_string(i), "Title " + std::to_string(i), "Channel " + std::to_string(i), i * 60 + 1,
                      "https://img.example/" + std::to_string(i) + ".webp"});
    }
    return list;
  }

  std::shared_ptr<sender::YouTubeSearchModel> model;
  std::unique_ptr<YouTubeSearchPanel> panel;
  std::vector<std::pair<std::string, Deck>> sent;
};

TEST_F(SearchPanelTest, RowsAndThumbnailsAreBuiltOnlyAsTheyScrollIntoView) {
  EXPECT_TRUE(panel->resultsArea()->isHidden());
  model->results.set(items(200));
  pump();
  QScrollArea* area = panel->resultsArea();
  EXPECT_FALSE(area->isHidden());
  EXPECT_GE(area->height(), 120);
  EXPECT_LE(area->height(), 280);
  const int firstScreen = panel->builtRowCount();
  EXPECT_GT(firstScreen, 0);
  EXPECT_LT(firstScreen, 10);
  EXPECT_EQ(thumbnails->requested.size(), static_cast<std::size_t>(firstScreen));
  EXPECT_EQ(thumbnails->requested.front(), "https://img.example/0.webp");
  EXPECT_EQ(panel->row(0)->accessibleName(), "Title 0");
  EXPECT_EQ(panel->row(199), nullptr);

  area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
  pump();
  ASSERT_NE(panel->row(199), nullptr);
  EXPECT_EQ(panel->row(199)->accessibleName(), "Title 199");
  EXPECT_LT(panel->builtRowCount(), 2 * firstScreen + 2);
  EXPECT_EQ(thumbnails->requested.size(), static_cast<std::size_t>(panel->builtRowCount()));
  EXPECT_EQ(thumbnails->requested.back(), "https://img.example/199.webp");
  // Rows lie in the model's order.
  EXPECT_GT(panel->row(199)->y(), panel->row(0)->y());

  // A row whose item stays keeps its picture request; a new list asks only for new rows.
  const auto before = thumbnails->requested.size();
  auto next = items(200);
  next[199].title = "Renamed";
  model->results.set(next);
  pump();
  EXPECT_EQ(panel->row(199)->accessibleName(), "Renamed");
  EXPECT_EQ(thumbnails->requested.size(), before + 1);
  EXPECT_EQ(thumbnails->requested.back(), "https://img.example/199.webp");
}

TEST_F(SearchPanelTest, RowsShowTheirFieldsAndSendThroughTheAction) {
  auto list = items(2);
  list[1].author.reset();
  list[1].lengthSeconds.reset();
  list[1].thumbnailURL.reset();
  list[0].lengthSeconds = 36000;
  model->results.set(list);
  pump();
  QFrame* first = panel->row(0);
  QFrame* second = panel->row(1);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->findChild<QLabel*>("resultDuration")->text(), "10:00:00");
  EXPECT_EQ(first->findChild<QLabel*>("resultAuthor")->text(), "Channel 0");
  EXPECT_EQ(second->findChild<QLabel*>("resultAuthor"), nullptr);
  EXPECT_EQ(second->findChild<QLabel*>("resultDuration"), nullptr);
  // Only the row with an address asked for a picture; it arrives later and replaces the gray.
  ASSERT_EQ(thumbnails->requested.size(), 1u);
  auto* picture = first->findChild<Thumbnail*>();
  EXPECT_FALSE(picture->hasImage());
  QImage image(96, 54, QImage::Format_RGB32);
  image.fill(Qt::red);
  thumbnails->pending.front()(image);
  EXPECT_TRUE(picture->hasImage());

  QPushButton* b = findButton<QPushButton>(second, "B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->toolTip(), "Player B へ送る");
  EXPECT_EQ(findButton<QPushButton>(second, "A")->toolTip(), "Player A へ送る");
  QTest::mouseClick(b, Qt::LeftButton);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], std::make_pair(std::string("v1"), Deck::b));

  panel->setSendDisabled(true);
  EXPECT_FALSE(b->isEnabled());
  // Searching stays possible.
  panel->queryField()->setText("x");
  EXPECT_TRUE(panel->searchButton()->isEnabled());
  // Rows built while disabled are disabled too.
  model->results.set(items(200));
  pump();
  panel->resultsArea()->verticalScrollBar()->setValue(panel->resultsArea()->verticalScrollBar()->maximum());
  pump();
  EXPECT_FALSE(findButton<QPushButton>(panel->row(199), "A")->isEnabled());
}

// The first pixel row that holds any text, in a title label's picture.
int firstInkRow(QLabel* label) {
  const QImage image = label->grab().toImage();
  const QRgb background = label->palette().color(QPalette::Window).rgb();
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixel(x, y) != background) return y;
    }
  }
  return -1;
}

// A title longer than its two lines shows its beginning, whole, where a short one starts.
TEST_F(SearchPanelTest, ALongTitleShowsItsFirstTwoLinesFromTheTop) {
  auto list = items(2);
  list[0].title = "Title";
  list[1].title.clear();
  for (int i = 0; i < 60; ++i) list[1].title += "Title ";
  model->results.set(list);
  pump();
  auto* shortTitle = panel->row(0)->findChild<QLabel*>("resultTitle");
  auto* longTitle = panel->row(1)->findChild<QLabel*>("resultTitle");
  ASSERT_TRUE(shortTitle && longTitle);
  ASSERT_GT(longTitle->heightForWidth(longTitle->width()), longTitle->height()); // more than fits
  const int top = firstInkRow(shortTitle);
  ASSERT_GT(top, 0);
  EXPECT_EQ(firstInkRow(longTitle), top);
}

// Japanese lines are taller than the font's own line spacing; a two-line title must still fit.
TEST_F(SearchPanelTest, ATwoLineJapaneseTitleShowsBothLinesWhole) {
  auto list = items(1);
  list[0].title =
      "【公式】とても長い日本語のタイトルがここに入ります。二行にわたるタイトルが欠けずに読めるかを確かめます。";
  model->results.set(list);
  pump();
  auto* title = panel->row(0)->findChild<QLabel*>("resultTitle");
  const auto linesHeight = [title](int width) {
    return title->fontMetrics().boundingRect(QRect(0, 0, width, 10000), Qt::TextWordWrap, title->text()).height();
  };
  const int needed = linesHeight(title->width());
  ASSERT_GT(needed, linesHeight(10000)); // it wraps
  ASSERT_LT(needed, 3 * linesHeight(10000));
  EXPECT_GE(title->height(), needed);
}

TEST_F(SearchPanelTest, SearchButtonAndStatusLineFollowTheModel) {
  EXPECT_FALSE(panel->searchButton()->isEnabled());
  EXPECT_EQ(panel->queryField()->placeholderText(), "曲名・アーティスト、または YouTube の URL");
  model->query.set(" \t ");
  EXPECT_EQ(panel->queryField()->text(), " \t ");
  EXPECT_FALSE(panel->searchButton()->isEnabled());
  model->query.set(" song ");
  EXPECT_TRUE(panel->searchButton()->isEnabled());
  EXPECT_EQ(panel->statusText(), "");

  model->results.set(items(3));
  model->isSearching.set(true);
  EXPECT_FALSE(panel->searchButton()->isEnabled());
  EXPECT_EQ(panel->statusText(), "検索中...");
  // The old list stays visible under the spinner.
  EXPECT_FALSE(panel->resultsArea()->isHidden());
  // Searching wins over an error and over nothing found.
  model->errorMessage.set("接続できませんでした");
  model->searchedWithoutResults.set(true);
  EXPECT_EQ(panel->statusText(), "検索中...");
  model->isSearching.set(false);
  EXPECT_EQ(panel->statusText(), "接続できませんでした");
  model->errorMessage.set(std::nullopt);
  model->results.set({});
  EXPECT_EQ(panel->statusText(), "見つかりませんでした");
  EXPECT_TRUE(panel->resultsArea()->isHidden());
}

// The picture as a PNG file's bytes; empty when it cannot be encoded.
std::string pngBytes(const QImage& image) {
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) return {};
  return std::string(png.constData(), static_cast<std::size_t>(png.size()));
}

TEST(ThumbnailLimitsTest, OnlyHttpAddressesAndBoundedPicturesAreTaken) {
  EXPECT_TRUE(isFetchableThumbnailURL("https://i.example/vi/x/mqdefault.jpg"));
  EXPECT_TRUE(isFetchableThumbnailURL("HTTP://i.example/x.webp"));
  EXPECT_FALSE(isFetchableThumbnailURL("file:///etc/passwd"));
  EXPECT_FALSE(isFetchableThumbnailURL("ftp://i.example/x.jpg"));
  EXPECT_FALSE(isFetchableThumbnailURL("https:///x.jpg"));
  EXPECT_FALSE(isFetchableThumbnailURL("https://i.example/a b.jpg"));
  EXPECT_FALSE(isFetchableThumbnailURL("https://"));

  // A 4:3 picture fills 16:9 cropped in the middle.
  QImage source(400, 300, QImage::Format_RGB32);
  source.fill(Qt::blue);
  const std::string bytes = pngBytes(source);
  ASSERT_FALSE(bytes.empty());
  const QImage decoded = decodeThumbnail(bytes, QSize(96, 54), 4096 * 4096);
  EXPECT_EQ(decoded.size(), QSize(96, 54));
  EXPECT_EQ(decoded.pixelColor(48, 27), QColor(Qt::blue));
  EXPECT_TRUE(decodeThumbnail(bytes, QSize(96, 54), 400 * 300 - 1).isNull());
  EXPECT_TRUE(decodeThumbnail("not an image", QSize(96, 54), 4096 * 4096).isNull());
}

TEST(ThumbnailLimitsTest, ASliverWithinThePixelBoundShowsItsMiddleAndNeverGrowsPastTheFill) {
  // One pixel across and a million down, white with a black band in the middle. Covering a row
  // at three device pixels to the point (288 px across) at its own shape would take 288 million
  // rows, over 300 GB, where its middle is all that shows.
  QImage source(1, 1'000'000, QImage::Format_RGB32);
  source.fill(Qt::white);
  for (int y = 499'990; y < 500'010; ++y) source.setPixel(0, y, qRgb(0, 0, 0));
  const std::string bytes = pngBytes(source);
  ASSERT_FALSE(bytes.empty());
  const QImage decoded = decodeThumbnail(bytes, QSize(288, 162), 4096 * 4096);
  ASSERT_EQ(decoded.size(), QSize(288, 162));
  EXPECT_EQ(decoded.pixelColor(0, 0), QColor(Qt::black));
  EXPECT_EQ(decoded.pixelColor(287, 161), QColor(Qt::black));
}

} // namespace
} // namespace pd::ui::test
