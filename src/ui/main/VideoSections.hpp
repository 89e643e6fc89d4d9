#pragma once

// The video of the main window: the mixed stream with its badges and full-screen view, or the
// two raw deck streams side by side, each with a placeholder while it has no frame. Video
// views are made when the first frame of their stream arrives, so an idle window opens fast.

#include "platform/media/VideoFrame.hpp"

#include <QDialog>
#include <QFrame>
#include <QPointer>

#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QStackedLayout;

namespace pd::ui::video {
class VideoView;
}

namespace pd::ui {

class Dot;

class LiveBadge : public QFrame {
public:
  LiveBadge(bool onVideo, QWidget* parent = nullptr);
  void setVideoSilent(bool silent);
  QString word() const;
  QColor dotColor() const;

private:
  bool onVideo_;
  Dot* dot_;
  QLabel* word_;
};

// A 16:9 area holding either a video view (made on the first frame) or a placeholder.
class VideoPane : public QWidget {
public:
  VideoPane(std::string streamTag, QWidget* placeholder, QWidget* parent = nullptr);
  void setFrame(platform::media::VideoFramePtr frame);
  video::VideoView* videoView() const noexcept { return view_; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override { return width * 9 / 16; }

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  std::string streamTag_;
  QStackedLayout* stack_;
  QWidget* placeholder_;
  video::VideoView* view_ = nullptr;
};

class FullScreenVideoView : public QDialog {
public:
  explicit FullScreenVideoView(QWidget* parent);
  void setFrame(const platform::media::VideoFramePtr& frame);
  void setVideoSilent(bool silent);
  QPushButton* closeButton() const noexcept { return close_; }
  video::VideoView* videoView() const noexcept { return view_; }

private:
  video::VideoView* view_;
  LiveBadge* badge_;
  QPushButton* close_;
};

class VideoDisplaySection : public QFrame {
public:
  explicit VideoDisplaySection(QWidget* parent = nullptr);
  void update(const platform::media::VideoFramePtr& frame, bool isVideoSilent);

  bool showingFullScreen() const noexcept { return fullScreen_ != nullptr; }
  FullScreenVideoView* fullScreenView() const noexcept { return fullScreen_.data(); }
  QPushButton* fullScreenButton() const noexcept { return fullScreenButton_; }
  VideoPane* pane() const noexcept { return pane_; }
  void openFullScreen();
  // The full-screen view belongs to the mixed stream: it goes when the window leaves that mode.
  void closeFullScreen();
  // Called with the full-screen view each time one opens, modal over the window.
  void setOnModalWindow(std::function<void(QWidget*)> hook) { onModalWindow_ = std::move(hook); }

private:
  platform::media::VideoFramePtr frame_;
  bool silent_ = false;
  LiveBadge* headerBadge_;
  QPushButton* fullScreenButton_;
  QWidget* videoBlock_;
  VideoPane* pane_;
  LiveBadge* overlayBadge_;
  QLabel* resolution_;
  QLabel* method_;
  QFrame* placeholder_;
  QLabel* placeholderHeadline_;
  QLabel* placeholderCaption_;
  QPointer<FullScreenVideoView> fullScreen_;
  std::function<void(QWidget*)> onModalWindow_;
};

class RawStreamPreview : public QWidget {
public:
  RawStreamPreview(const QString& title, QColor accent, std::string streamTag, QWidget* parent = nullptr);
  void update(const platform::media::VideoFramePtr& frame, bool isVideoSilent);
  VideoPane* pane() const noexcept { return pane_; }
  Dot* dot() const noexcept { return dot_; }
  LiveBadge* badge() const noexcept { return badge_; }
  QLabel* sizeLabel() const noexcept { return size_; }
  QLabel* placeholderText() const noexcept { return placeholderText_; }

private:
  QColor accent_;
  Dot* dot_;
  LiveBadge* badge_;
  QLabel* size_;
  QLabel* placeholderText_;
  VideoPane* pane_;
};

class RawVideoDisplaySection : public QFrame {
public:
  explicit RawVideoDisplaySection(QWidget* parent = nullptr);
  void update(const platform::media::VideoFramePtr& frameA, const platform::media::VideoFramePtr& frameB,
              bool isVideoSilent);
  RawStreamPreview* previewA() const noexcept { return a_; }
  RawStreamPreview* previewB() const noexcept { return b_; }
  LiveBadge* headerBadge() const noexcept { return headerBadge_; }

private:
  LiveBadge* headerBadge_;
  RawStreamPreview* a_;
  RawStreamPreview* b_;
};

} // namespace pd::ui
