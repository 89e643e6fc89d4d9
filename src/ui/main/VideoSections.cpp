#include "ui/main/VideoSections.hpp"

#include "runtime/MainThread.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/video/VideoView.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QResizeEvent>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace pd::ui {

using platform::media::VideoFramePtr;

LiveBadge::LiveBadge(bool onVideo, QWidget* parent) : QFrame(parent), onVideo_(onVideo) {
  setObjectName(QStringLiteral("liveBadge"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(8, 4, 8, 4);
  row->setSpacing(4);
  dot_ = new Dot(8, tintColor(Tint::red), this);
  row->addWidget(dot_);
  word_ = textLabel({}, onVideo ? TextStyle::caption2 : TextStyle::caption, this);
  QFont font = word_->font();
  font.setBold(true);
  word_->setFont(font);
  row->addWidget(word_);
  setVideoSilent(false);
}

void LiveBadge::setVideoSilent(bool silent) {
  const auto look = liveBadge(silent);
  dot_->setColor(tintColor(look.dot));
  word_->setText(qs(look.word));
  if (onVideo_) setTextColor(word_, Qt::white);
  const QColor background = onVideo_ ? QColor(0, 0, 0, 178) : tintColor(look.dot, 0.18);
  setStyleSheet(QStringLiteral("QFrame#liveBadge { background: rgba(%1,%2,%3,%4); border-radius: 8px; }")
                    .arg(background.red())
                    .arg(background.green())
                    .arg(background.blue())
                    .arg(QString::number(background.alphaF(), 'f', 2)));
  setAccessibleName(qs(look.accessibilityLabel));
}

QString LiveBadge::word() const { return word_->text(); }
QColor LiveBadge::dotColor() const { return dot_->color(); }

VideoPane::VideoPane(std::string streamTag, QWidget* placeholder, QWidget* parent)
    : QWidget(parent), streamTag_(std::move(streamTag)), stack_(new QStackedLayout(this)), placeholder_(placeholder) {
  QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  stack_->addWidget(placeholder_);
}

void VideoPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Height-for-width is lost on the way through the scroll area that holds the window's
  // sections, so the 16:9 height is fixed here; it follows the width, which the layout alone
  // decides.
  const int wanted = heightForWidth(width());
  if (minimumHeight() != wanted || maximumHeight() != wanted) setFixedHeight(wanted);
}

void VideoPane::setFrame(VideoFramePtr frame) {
  if (!frame) {
    stack_->setCurrentWidget(placeholder_);
    if (view_) view_->setFrame(nullptr);
    return;
  }
  if (!view_) {
    view_ = new video::VideoView(streamTag_, this);
    stack_->addWidget(view_);
  }
  view_->setFrame(std::move(frame));
  stack_->setCurrentWidget(view_);
}

namespace {

// Holds an overlay `inset` points in from the top and left edges of the area it lies over.
QWidget* insetOverlay(QWidget* overlay, int inset, QWidget* parent) {
  auto* holder = new QWidget(parent);
  auto* layout = new QHBoxLayout(holder);
  layout->setContentsMargins(inset, inset, 0, 0);
  layout->addWidget(overlay);
  return holder;
}

} // namespace

FullScreenVideoView::FullScreenVideoView(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("全画面表示"));
  setWindowModality(Qt::WindowModal);
  setAttribute(Qt::WA_DeleteOnClose);
  setStyleSheet(QStringLiteral("QDialog { background: black; }"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  auto* bar = new QHBoxLayout;
  bar->setContentsMargins(12, 8, 12, 0);
  bar->addStretch(1);
  close_ = new QPushButton(QStringLiteral("閉じる"), this);
  // White text needs a dark ground of its own: the style's light button face left it unreadable.
  close_->setStyleSheet(QStringLiteral(
      "QPushButton { color: white; background: rgba(255,255,255,0.16); border: 1px solid rgba(255,255,255,0.45);"
      " border-radius: 6px; padding: 4px 14px; }"
      " QPushButton:pressed { background: rgba(255,255,255,0.3); }"));
  close_->setAutoDefault(false);
  bar->addWidget(close_);
  column->addLayout(bar);
  auto* area = new QWidget(this);
  auto* grid = new QGridLayout(area);
  grid->setContentsMargins(0, 0, 0, 0);
  view_ = new video::VideoView("fs", area);
  grid->addWidget(view_, 0, 0);
  badge_ = new LiveBadge(true);
  grid->addWidget(insetOverlay(badge_, 12, area), 0, 0, Qt::AlignTop | Qt::AlignLeft);
  column->addWidget(area, 1);
  QObject::connect(close_, &QPushButton::clicked, this, &QDialog::reject);
  if (parent != nullptr) resize(parent->window()->size());
}

void FullScreenVideoView::setFrame(const VideoFramePtr& frame) {
  view_->setFrame(frame);
  view_->setVisible(frame != nullptr);
  badge_->setVisible(frame != nullptr);
}

void FullScreenVideoView::setVideoSilent(bool silent) { badge_->setVideoSilent(silent); }

namespace {

// Adds a title-over-value badge to the row and returns its value label.
QLabel* infoBadge(const QString& title, QHBoxLayout* row, QWidget* parent) {
  auto* card = makeCard(8, parent);
  auto* column = new QVBoxLayout(card);
  column->setContentsMargins(0, 8, 0, 8);
  column->setSpacing(4);
  auto* titleLabel = textLabel(title, TextStyle::caption2, card);
  applySecondaryStyle(titleLabel);
  column->addWidget(titleLabel, 0, Qt::AlignHCenter);
  auto* value = textLabel({}, TextStyle::caption, card);
  QFont font = value->font();
  font.setWeight(QFont::Medium);
  value->setFont(font);
  column->addWidget(value, 0, Qt::AlignHCenter);
  card->setAccessibleName(title);
  row->addWidget(card, 1);
  return value;
}

} // namespace

VideoDisplaySection::VideoDisplaySection(QWidget* parent) : QFrame(parent) {
  styleAsCard(this, 12);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(16);

  auto* header = new QHBoxLayout;
  header->addWidget(textLabel(QStringLiteral("受信映像"), TextStyle::headline, this));
  header->addStretch(1);
  headerBadge_ = new LiveBadge(false, this);
  header->addWidget(headerBadge_);
  fullScreenButton_ = new QPushButton(symbolIcon("arrow.up.left.and.arrow.down.right"), QStringLiteral("全画面"), this);
  applyTextStyle(fullScreenButton_, TextStyle::caption);
  header->addWidget(fullScreenButton_);
  column->addLayout(header);
  QObject::connect(fullScreenButton_, &QPushButton::clicked, this, [this] { openFullScreen(); });

  videoBlock_ = new QWidget(this);
  auto* blockColumn = new QVBoxLayout(videoBlock_);
  blockColumn->setContentsMargins(0, 0, 0, 0);
  blockColumn->setSpacing(16);
  auto* videoArea = new QWidget(videoBlock_);
  auto* grid = new QGridLayout(videoArea);
  grid->setContentsMargins(0, 0, 0, 0);
  auto* black = new QWidget(videoArea);
  black->setStyleSheet(QStringLiteral("background: black;"));
  pane_ = new VideoPane("0", black, videoArea);
  grid->addWidget(pane_, 0, 0);
  grid->addWidget(insetOverlay(overlayBadge_ = new LiveBadge(true), 8, videoArea), 0, 0, Qt::AlignTop | Qt::AlignLeft);
  blockColumn->addWidget(videoArea);
  auto* badges = new QHBoxLayout;
  resolution_ = infoBadge(QStringLiteral("解像度"), badges, videoBlock_);
  infoBadge(QStringLiteral("コーデック"), badges, videoBlock_)->setText(QStringLiteral("H.265/HEVC"));
  method_ = infoBadge(QStringLiteral("表示方式"), badges, videoBlock_);
  blockColumn->addLayout(badges);
  column->addWidget(videoBlock_);

  placeholder_ = makeCard(12, this);
  placeholder_->setFixedHeight(400);
  auto* inner = new QVBoxLayout(placeholder_);
  inner->setSpacing(16);
  inner->setAlignment(Qt::AlignCenter);
  inner->addWidget(symbolLabel("video.slash", 60, placeholder_), 0, Qt::AlignHCenter);
  placeholderHeadline_ = textLabel({}, TextStyle::headline, placeholder_);
  inner->addWidget(placeholderHeadline_, 0, Qt::AlignHCenter);
  placeholderCaption_ = textLabel({}, TextStyle::caption, placeholder_);
  placeholderCaption_->setAlignment(Qt::AlignCenter);
  applySecondaryStyle(placeholderCaption_);
  inner->addWidget(placeholderCaption_, 0, Qt::AlignHCenter);
  column->addWidget(placeholder_);

  update(nullptr, false);
}

void VideoDisplaySection::update(const VideoFramePtr& frame, bool isVideoSilent) {
  runtime::MainThread::assertMainThread();
  frame_ = frame;
  silent_ = isVideoSilent;
  const bool hasFrame = frame != nullptr;
  headerBadge_->setVisible(hasFrame);
  fullScreenButton_->setVisible(hasFrame);
  videoBlock_->setVisible(hasFrame);
  placeholder_->setVisible(!hasFrame);
  headerBadge_->setVideoSilent(isVideoSilent);
  overlayBadge_->setVideoSilent(isVideoSilent);
  if (hasFrame) {
    pane_->setFrame(frame);
    resolution_->setText(qs(resolutionText(frame->width(), frame->height())));
    const bool openGL = pane_->videoView() != nullptr && pane_->videoView()->usesOpenGL();
    method_->setText(openGL ? QStringLiteral("OpenGL") : QStringLiteral("QPainter"));
  } else {
    pane_->setFrame(nullptr);
    const auto text = videoPlaceholder(isVideoSilent);
    placeholderHeadline_->setText(qs(text.headline));
    if (text.headlineOrange) {
      setTextColor(placeholderHeadline_, tintColor(Tint::orange));
    } else {
      placeholderHeadline_->setPalette(QPalette());
      applySecondaryStyle(placeholderHeadline_);
    }
    placeholderCaption_->setText(qs(text.caption));
  }
  if (fullScreen_) {
    fullScreen_->setFrame(frame);
    fullScreen_->setVideoSilent(isVideoSilent);
  }
}

void VideoDisplaySection::openFullScreen() {
  runtime::MainThread::assertMainThread();
  if (fullScreen_) return;
  auto* view = new FullScreenVideoView(window());
  view->setFrame(frame_);
  view->setVideoSilent(silent_);
  fullScreen_ = view;
  if (onModalWindow_) onModalWindow_(view);
  view->open();
}

void VideoDisplaySection::closeFullScreen() {
  if (fullScreen_) fullScreen_->close();
}

RawStreamPreview::RawStreamPreview(const QString& title, QColor accent, std::string streamTag, QWidget* parent)
    : QWidget(parent), accent_(accent) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(8);
  auto* header = new QHBoxLayout;
  header->setSpacing(6);
  dot_ = new Dot(8, tintColor(Tint::gray), this);
  header->addWidget(dot_);
  auto* titleLabel = textLabel(title, TextStyle::subheadline, this);
  QFont font = titleLabel->font();
  font.setWeight(QFont::Medium);
  titleLabel->setFont(font);
  header->addWidget(titleLabel);
  header->addStretch(1);
  badge_ = new LiveBadge(false, this);
  header->addWidget(badge_);
  size_ = textLabel({}, TextStyle::caption2, this);
  applySecondaryStyle(size_);
  header->addWidget(size_);
  column->addLayout(header);

  auto* placeholder = new QFrame(this);
  placeholder->setObjectName(QStringLiteral("rawPlaceholder"));
  placeholder->setStyleSheet(
      QStringLiteral("QFrame#rawPlaceholder { background: rgba(0,0,0,0.3); border-radius: 8px; }"));
  auto* inner = new QVBoxLayout(placeholder);
  inner->setSpacing(8);
  inner->setAlignment(Qt::AlignCenter);
  inner->addWidget(symbolLabel("video.slash", 32, placeholder), 0, Qt::AlignHCenter);
  placeholderText_ = textLabel({}, TextStyle::caption, placeholder);
  inner->addWidget(placeholderText_, 0, Qt::AlignHCenter);
  pane_ = new VideoPane(std::move(streamTag), placeholder, this);
  column->addWidget(pane_);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  setAccessibleName(title);
  update(nullptr, false);
}

void RawStreamPreview::update(const VideoFramePtr& frame, bool isVideoSilent) {
  const bool hasFrame = frame != nullptr;
  dot_->setColor(hasFrame ? accent_ : tintColor(Tint::gray));
  badge_->setVisible(hasFrame);
  badge_->setVideoSilent(isVideoSilent);
  size_->setVisible(hasFrame);
  if (hasFrame) size_->setText(qs(resolutionText(frame->width(), frame->height())));
  placeholderText_->setText(qs(rawPreviewPlaceholder(isVideoSilent)));
  if (isVideoSilent) {
    setTextColor(placeholderText_, tintColor(Tint::orange));
  } else {
    placeholderText_->setPalette(QPalette());
    applySecondaryStyle(placeholderText_);
  }
  pane_->setFrame(frame);
}

RawVideoDisplaySection::RawVideoDisplaySection(QWidget* parent) : QFrame(parent) {
  styleAsCard(this, 12);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(16);
  auto* header = new QHBoxLayout;
  header->addWidget(textLabel(QStringLiteral("受信映像（Rawモード）"), TextStyle::headline, this));
  header->addWidget(tagLabel(QStringLiteral("A / B 個別出力"), Tint::purple, 0.15, this));
  header->addStretch(1);
  headerBadge_ = new LiveBadge(false, this);
  header->addWidget(headerBadge_);
  column->addLayout(header);
  auto* row = new QHBoxLayout;
  row->setSpacing(16);
  row->setAlignment(Qt::AlignTop);
  a_ = new RawStreamPreview(QStringLiteral("Player A"), tintColor(Tint::blue), "1", this);
  b_ = new RawStreamPreview(QStringLiteral("Player B"), tintColor(Tint::orange), "2", this);
  row->addWidget(a_, 1);
  row->addWidget(b_, 1);
  column->addLayout(row);
  update(nullptr, nullptr, false);
}

void RawVideoDisplaySection::update(const VideoFramePtr& frameA, const VideoFramePtr& frameB, bool isVideoSilent) {
  runtime::MainThread::assertMainThread();
  headerBadge_->setVisible(frameA != nullptr || frameB != nullptr);
  headerBadge_->setVideoSilent(isVideoSilent);
  a_->update(frameA, isVideoSilent);
  b_->update(frameB, isVideoSilent);
}

} // namespace pd::ui
