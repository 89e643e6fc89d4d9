#pragma once

// One deck's card in the sender section: what was sent, the broadcaster's status line, the
// tempo, the tablet's load answer, the choose button of the local-file tab, and the drop zone,
// whose border turns solid in the deck's colour while a drag hovers over it.

#include "ui/sender/SenderPresentation.hpp"
#include "ui/settings/MiddleElidedLabel.hpp"

#include <QFrame>
#include <QLabel>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QMimeData;
class QPushButton;

namespace pd::ui {

class Dot;
class Spinner;

// Everything a card shows, read from the broadcaster's deck and the section.
struct DeckCardState {
  std::optional<std::string> fileName;
  std::string status;
  std::optional<std::int64_t> bpm;
  bool isAnalyzing = false;
  PlaybackCase playback = PlaybackCase::none;
  std::optional<std::string> failureReason;
  SourceTab tab = SourceTab::youtube;
  bool isSendingAllowed = false;
};

class DeckCard : public QFrame {
public:
  DeckCard(Deck deck, std::function<void()> onChoose, std::function<bool(const QMimeData&)> onDrop,
           QWidget* parent = nullptr);

  void update(const DeckCardState& state);

  Deck deck() const noexcept { return deck_; }
  bool isDropTargeted() const noexcept { return dropTargeted_; }
  Dot* dot() const noexcept { return dot_; }
  QLabel* tempoBadge() const noexcept { return tempo_; }
  QPushButton* chooseButton() const noexcept { return choose_; }
  MiddleElidedLabel* fileLabel() const noexcept { return file_; }
  QLabel* hintLabel() const noexcept { return hint_; }
  QLabel* statusLabel() const noexcept { return status_; }
  Spinner* statusSpinner() const noexcept { return statusSpinner_; }
  QWidget* playbackRow() const noexcept { return playbackRow_; }
  QLabel* playbackLabel() const noexcept { return playbackText_; }
  QLabel* playbackSymbol() const noexcept { return playbackSymbol_; }
  Spinner* playbackSpinner() const noexcept { return playbackSpinner_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  void setDropTargeted(bool targeted);
  void fitWrappedHeights();

  Deck deck_;
  std::function<bool(const QMimeData&)> onDrop_;
  bool dropTargeted_ = false;
  Dot* dot_;
  QLabel* tempo_;
  QPushButton* choose_;
  MiddleElidedLabel* file_;
  QLabel* hint_;
  Spinner* statusSpinner_;
  QLabel* status_;
  QWidget* playbackRow_;
  Spinner* playbackSpinner_;
  QLabel* playbackSymbol_;
  QLabel* playbackText_;
};

// Whether a drag offers what a card accepts: a uri-list or a video format.
bool offersFileOrVideo(const QMimeData& data);

} // namespace pd::ui
