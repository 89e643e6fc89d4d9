#pragma once

// The YouTube half of the sender section: a search field and button, a status line, and the
// results in a list 120 to 280 px tall whose rows (and their thumbnail loads) are built only when
// they scroll into view. It shows the section's search model and calls the section's send
// action; it owns neither.

#include "ui/sender/SenderPresentation.hpp"

#include <QFrame>
#include <QImage>
#include <QWidget>

#include <boost/signals2/connection.hpp>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

namespace pd::remotesource {
struct VideoSearchItem;
}
namespace pd::sender {
class YouTubeSearchModel;
}

namespace pd::ui {

class Spinner;
class ThumbnailLoader;

// A result's picture: a gray placeholder until the image arrives, then the image cropped to fill.
class Thumbnail : public QWidget {
public:
  static constexpr int kWidth = 96;
  static constexpr int kHeight = 54;
  explicit Thumbnail(QWidget* parent = nullptr);
  void setImage(QImage image);
  bool hasImage() const noexcept { return !image_.isNull(); }
  QSize sizeHint() const override { return {kWidth, kHeight}; }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QImage image_;
};

class YouTubeSearchPanel : public QWidget {
public:
  using SendAction = std::function<void(const remotesource::VideoSearchItem&, Deck)>;

  YouTubeSearchPanel(std::shared_ptr<sender::YouTubeSearchModel> model, std::shared_ptr<ThumbnailLoader> thumbnails,
                     SendAction onSend, QWidget* parent = nullptr);
  ~YouTubeSearchPanel() override;

  // True disables every row's A and B buttons; searching stays possible.
  void setSendDisabled(bool disabled);
  bool isSendDisabled() const noexcept { return sendDisabled_; }

  QLineEdit* queryField() const noexcept { return field_; }
  QPushButton* searchButton() const noexcept { return searchButton_; }
  // The status line's text ("" when nothing is shown).
  QString statusText() const;
  QScrollArea* resultsArea() const noexcept { return scroll_; }
  int builtRowCount() const noexcept { return static_cast<int>(rows_.size()); }
  // The row of the result at `index`, when it was built.
  QFrame* row(int index) const;

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  struct Row {
    QFrame* frame = nullptr;
    QPushButton* a = nullptr;
    QPushButton* b = nullptr;
    std::shared_ptr<void> thumbnailLoad;
  };
  // Rows are keyed by video id and, for an id listed twice, by its occurrence.
  using RowKey = std::pair<std::string, int>;

  void refreshButton();
  void refreshStatus();
  void refreshResults();
  void layoutRows();
  void buildVisibleRows();
  Row makeRow(const remotesource::VideoSearchItem& item);
  int rowHeight() const;

  std::shared_ptr<sender::YouTubeSearchModel> model_;
  std::shared_ptr<ThumbnailLoader> thumbnails_;
  SendAction onSend_;
  bool sendDisabled_ = false;

  QLineEdit* field_;
  QPushButton* searchButton_;
  QWidget* statusRow_;
  Spinner* spinner_;
  QLabel* statusSymbol_;
  QLabel* statusLabel_;
  QScrollArea* scroll_;
  QWidget* list_;
  std::vector<RowKey> keys_; // the model's order
  std::map<RowKey, Row> rows_;
  std::vector<boost::signals2::scoped_connection> subscriptions_;
};

} // namespace pd::ui
