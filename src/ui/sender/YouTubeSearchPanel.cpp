#include "ui/sender/YouTubeSearchPanel.hpp"

#include "remotesource/VideoSearchItem.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/sender/ThumbnailLoader.hpp"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace pd::ui {

namespace {

constexpr int kRowSpacing = 6;
constexpr int kRowMargin = 6;
constexpr int kListMinHeight = 120;
constexpr int kListMaxHeight = 280;

// A result's rounded background, painted rather than styled: a style sheet per row costs more
// than the rest of the row together.
class ResultRow : public QFrame {
public:
  using QFrame::QFrame;

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    painter.fillPath(shape, palette().color(QPalette::Window));
  }
};

QPushButton* deckButton(Deck deck, QWidget* parent) {
  auto* button = new QPushButton(deck == Deck::a ? QStringLiteral("A") : QStringLiteral("B"), parent);
  button->setToolTip(qs(sendToolTip(deck)));
  button->setAccessibleDescription(qs(sendToolTip(deck)));
  setButtonTextColor(button, tintColor(deckTint(deck)));
  button->setFixedWidth(std::max(button->sizeHint().height(), 32));
  return button;
}

} // namespace

Thumbnail::Thumbnail(QWidget* parent) : QWidget(parent) { setFixedSize(kWidth, kHeight); }

void Thumbnail::setImage(QImage image) {
  image_ = std::move(image);
  update();
}

void Thumbnail::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath clip;
  clip.addRoundedRect(QRectF(rect()), 4, 4);
  painter.setClipPath(clip);
  if (image_.isNull()) {
    painter.fillRect(rect(), tintColor(Tint::gray, 0.2));
  } else {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(rect()), image_);
  }
}

YouTubeSearchPanel::YouTubeSearchPanel(std::shared_ptr<sender::YouTubeSearchModel> model,
                                       std::shared_ptr<ThumbnailLoader> thumbnails, SendAction onSend, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), thumbnails_(std::move(thumbnails)), onSend_(std::move(onSend)) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(10);

  auto* searchRow = new QHBoxLayout;
  searchRow->setSpacing(8);
  field_ = new QLineEdit(this);
  field_->setPlaceholderText(qs(std::string(kSearchPlaceholder)));
  field_->setAccessibleName(qs(std::string(kSearchPlaceholder)));
  field_->setClearButtonEnabled(false);
  searchButton_ = new QPushButton(qs(std::string(kSearchButton)), this);
  searchRow->addWidget(field_, 1);
  searchRow->addWidget(searchButton_);
  column->addLayout(searchRow);

  statusRow_ = new QWidget(this);
  auto* status = new QHBoxLayout(statusRow_);
  status->setContentsMargins(0, 0, 0, 0);
  status->setSpacing(6);
  spinner_ = new Spinner(14, statusRow_);
  statusSymbol_ = symbolLabel("exclamationmark.triangle.fill", 14, statusRow_);
  statusLabel_ = textLabel(QString(), TextStyle::caption, statusRow_);
  statusLabel_->setWordWrap(true);
  status->addWidget(spinner_);
  status->addWidget(statusSymbol_);
  status->addWidget(statusLabel_, 1);
  column->addWidget(statusRow_);

  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("youtubeResults"));
  scroll_->setAccessibleName(QStringLiteral("検索結果"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  scroll_->setWidgetResizable(false);
  list_ = new QWidget;
  scroll_->setWidget(list_);
  column->addWidget(scroll_);

  // Every change of the text, typed or set through the accessibility bus, is the query.
  connect(field_, &QLineEdit::textChanged, this,
          [this](const QString& text) { model_->query.set(text.toStdString()); });
  // Return searches whether or not a search runs; the model cancels the one before.
  connect(field_, &QLineEdit::returnPressed, this, [this] { model_->search(); });
  connect(searchButton_, &QPushButton::clicked, this, [this] { model_->search(); });
  connect(scroll_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { buildVisibleRows(); });

  subscriptions_.push_back(watch(model_->query, [this] {
    const QString text = qs(model_->query.get());
    if (field_->text() != text) field_->setText(text);
    refreshButton();
  }));
  subscriptions_.push_back(watch(model_->isSearching, [this] {
    refreshButton();
    refreshStatus();
  }));
  subscriptions_.push_back(watch(model_->errorMessage, [this] { refreshStatus(); }));
  subscriptions_.push_back(watch(model_->searchedWithoutResults, [this] { refreshStatus(); }));
  subscriptions_.push_back(watch(model_->results, [this] { refreshResults(); }));

  field_->setText(qs(model_->query.get()));
  refreshButton();
  refreshStatus();
  refreshResults();
}

YouTubeSearchPanel::~YouTubeSearchPanel() { subscriptions_.clear(); }

void YouTubeSearchPanel::setSendDisabled(bool disabled) {
  if (sendDisabled_ == disabled) return;
  sendDisabled_ = disabled;
  for (auto& [key, row] : rows_) {
    row.a->setEnabled(!disabled);
    row.b->setEnabled(!disabled);
  }
}

QString YouTubeSearchPanel::statusText() const { return statusRow_->isHidden() ? QString() : statusLabel_->text(); }

QFrame* YouTubeSearchPanel::row(int index) const {
  if (index < 0 || index >= static_cast<int>(keys_.size())) return nullptr;
  const auto found = rows_.find(keys_[static_cast<std::size_t>(index)]);
  return found == rows_.end() ? nullptr : found->second.frame;
}

void YouTubeSearchPanel::refreshButton() {
  searchButton_->setEnabled(isSearchButtonEnabled(model_->query.get(), model_->isSearching.get()));
}

void YouTubeSearchPanel::refreshStatus() {
  statusRow_->setVisible(true);
  spinner_->hide();
  statusSymbol_->hide();
  if (model_->isSearching.get()) {
    spinner_->show();
    statusLabel_->setText(QStringLiteral("検索中..."));
    applySecondaryStyle(statusLabel_);
  } else if (const auto& message = model_->errorMessage.get()) {
    statusSymbol_->show();
    statusLabel_->setText(qs(*message));
    setTextColor(statusLabel_, tintColor(Tint::orange));
  } else if (model_->searchedWithoutResults.get()) {
    statusLabel_->setText(QStringLiteral("見つかりませんでした"));
    applySecondaryStyle(statusLabel_);
  } else {
    statusLabel_->clear();
    statusRow_->setVisible(false);
  }
}

int YouTubeSearchPanel::rowHeight() const {
  // Measured with Japanese, whose fallback font has taller lines than the font's own.
  const int text =
      wrappedLinesHeight(styledFont(TextStyle::callout), 2) + 2 + wrappedLinesHeight(styledFont(TextStyle::caption), 1);
  return std::max(Thumbnail::kHeight, text) + 2 * kRowMargin;
}

void YouTubeSearchPanel::refreshResults() {
  const auto& results = model_->results.get();
  std::vector<RowKey> keys;
  keys.reserve(results.size());
  std::map<std::string, int> seen;
  for (const auto& item : results) keys.emplace_back(item.videoID, seen[item.videoID]++);

  // A row stays when its key is still listed with the same item; the others go.
  std::map<RowKey, const remotesource::VideoSearchItem*> items;
  for (std::size_t i = 0; i < keys.size(); ++i) items[keys[i]] = &results[i];
  for (auto it = rows_.begin(); it != rows_.end();) {
    const auto found = items.find(it->first);
    if (found == items.end() || it->second.frame->property("item").toString() != qs(found->second->toJSON())) {
      it->second.frame->deleteLater();
      it->second.frame->hide();
      it = rows_.erase(it);
    } else {
      ++it;
    }
  }
  keys_ = std::move(keys);
  scroll_->setVisible(!results.empty());
  const int count = static_cast<int>(keys_.size());
  const int content = count == 0 ? 0 : count * rowHeight() + (count - 1) * kRowSpacing;
  scroll_->setFixedHeight(std::clamp(content, kListMinHeight, kListMaxHeight));
  layoutRows();
}

void YouTubeSearchPanel::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutRows();
}

void YouTubeSearchPanel::layoutRows() {
  const int count = static_cast<int>(keys_.size());
  const int height = rowHeight();
  const int width = scroll_->viewport()->width();
  list_->resize(width, count == 0 ? 0 : count * height + (count - 1) * kRowSpacing);
  for (int i = 0; i < count; ++i) {
    const auto found = rows_.find(keys_[static_cast<std::size_t>(i)]);
    if (found != rows_.end()) found->second.frame->setGeometry(0, i * (height + kRowSpacing), width, height);
  }
  buildVisibleRows();
}

void YouTubeSearchPanel::buildVisibleRows() {
  if (keys_.empty() || scroll_->isHidden()) return;
  const int step = rowHeight() + kRowSpacing;
  const int top = scroll_->verticalScrollBar()->value();
  const int bottom = top + std::max(scroll_->viewport()->height(), 1);
  const int first = std::max(0, top / step);
  const int last = std::min(static_cast<int>(keys_.size()) - 1, (bottom - 1) / step);
  const auto& results = model_->results.get();
  for (int i = first; i <= last; ++i) {
    const auto& key = keys_[static_cast<std::size_t>(i)];
    if (rows_.contains(key)) continue;
    Row row = makeRow(results[static_cast<std::size_t>(i)]);
    row.frame->setGeometry(0, i * step, scroll_->viewport()->width(), rowHeight());
    row.frame->show();
    rows_.emplace(key, std::move(row));
  }
}

YouTubeSearchPanel::Row YouTubeSearchPanel::makeRow(const remotesource::VideoSearchItem& item) {
  Row row;
  row.frame = new ResultRow(list_);
  row.frame->setObjectName(QStringLiteral("resultRow"));
  row.frame->setAccessibleName(qs(item.title));
  row.frame->setProperty("item", qs(item.toJSON()));
  auto* layout = new QHBoxLayout(row.frame);
  layout->setContentsMargins(kRowMargin, kRowMargin, kRowMargin, kRowMargin);
  layout->setSpacing(10);

  auto* thumbnail = new Thumbnail(row.frame);
  layout->addWidget(thumbnail, 0, Qt::AlignVCenter);
  if (item.thumbnailURL && thumbnails_) {
    const qreal scale = std::clamp<qreal>(devicePixelRatioF(), 1.0, 3.0);
    QPointer<Thumbnail> target(thumbnail);
    row.thumbnailLoad = thumbnails_->load(
        *item.thumbnailURL,
        QSize(static_cast<int>(Thumbnail::kWidth * scale), static_cast<int>(Thumbnail::kHeight * scale)),
        [target](QImage image) {
          if (target) target->setImage(std::move(image));
        });
  }

  auto* text = new QVBoxLayout;
  text->setSpacing(2);
  auto* title = textLabel(qs(item.title), TextStyle::callout, row.frame);
  title->setObjectName(QStringLiteral("resultTitle"));
  title->setWordWrap(true);
  // Held to two lines from the top: centred, a longer title would show its middle, cut.
  title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  title->setMaximumHeight(wrappedLinesHeight(title, 2));
  text->addWidget(title);
  if (item.author || item.lengthSeconds) {
    auto* meta = new QHBoxLayout;
    meta->setSpacing(6);
    if (item.author) {
      auto* author = textLabel(qs(*item.author), TextStyle::caption, row.frame);
      author->setObjectName(QStringLiteral("resultAuthor"));
      applySecondaryStyle(author);
      meta->addWidget(author);
    }
    if (item.lengthSeconds) {
      if (const auto duration = formatDuration(*item.lengthSeconds)) {
        // Desktop fonts draw digits at one width, so the column of durations does not jitter.
        auto* label = textLabel(qs(*duration), TextStyle::caption, row.frame);
        label->setObjectName(QStringLiteral("resultDuration"));
        applySecondaryStyle(label);
        meta->addWidget(label);
      }
    }
    meta->addStretch(1);
    text->addLayout(meta);
  }
  layout->addLayout(text, 1);
  layout->addSpacing(8);

  row.a = deckButton(Deck::a, row.frame);
  row.b = deckButton(Deck::b, row.frame);
  row.a->setEnabled(!sendDisabled_);
  row.b->setEnabled(!sendDisabled_);
  const remotesource::VideoSearchItem copy = item;
  connect(row.a, &QPushButton::clicked, this, [this, copy] { onSend_(copy, Deck::a); });
  connect(row.b, &QPushButton::clicked, this, [this, copy] { onSend_(copy, Deck::b); });
  layout->addWidget(row.a, 0, Qt::AlignVCenter);
  layout->addWidget(row.b, 0, Qt::AlignVCenter);
  return row;
}

} // namespace pd::ui
