#include "ui/sender/DeckCard.hpp"

#include "ui/main/ViewKit.hpp"
#include "ui/sender/DropIntake.hpp"
#include "ui/sender/QtMediaTypes.hpp"

#include <QApplication>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace pd::ui {

DeckCard::DeckCard(Deck deck, std::function<void()> onChoose, std::function<bool(const QMimeData&)> onDrop,
                   QWidget* parent)
    : QFrame(parent), deck_(deck), onDrop_(std::move(onDrop)) {
  setObjectName(QStringLiteral("deckCard"));
  setAccessibleName(qs(deckTitle(deck)));
  setAcceptDrops(true);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  const QColor accent = tintColor(deckTint(deck));

  auto* column = new QVBoxLayout(this);
  column->setSpacing(10);

  auto* titleRow = new QHBoxLayout;
  titleRow->setSpacing(6);
  dot_ = new Dot(8, tintColor(Tint::gray), this);
  titleRow->addWidget(dot_);
  auto* title = textLabel(qs(deckTitle(deck)), TextStyle::subheadline, this);
  QFont titleFont = title->font();
  titleFont.setWeight(QFont::DemiBold);
  title->setFont(titleFont);
  titleRow->addWidget(title);
  titleRow->addStretch(1);
  tempo_ = tagLabel(QString(), deckTint(deck), 0.15, this);
  applyTextStyle(tempo_, TextStyle::caption, true);
  tempo_->setObjectName(QStringLiteral("tempoBadge"));
  tempo_->hide();
  titleRow->addWidget(tempo_);
  column->addLayout(titleRow);

  choose_ = new QPushButton(symbolIcon("film"), qs(std::string(kChooseButton)), this);
  choose_->setAccessibleName(qs(std::string(kChooseButton)));
  choose_->setAccessibleDescription(qs(deckTitle(deck)));
  setButtonTextColor(choose_, accent);
  choose_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(choose_, &QPushButton::clicked, this, [onChoose = std::move(onChoose)] { onChoose(); });
  column->addWidget(choose_);

  file_ = new MiddleElidedLabel(this);
  file_->setObjectName(QStringLiteral("fileName"));
  applyTextStyle(file_, TextStyle::caption);
  column->addWidget(file_);
  hint_ = textLabel(QString(), TextStyle::caption2, this);
  hint_->setObjectName(QStringLiteral("deckHint"));
  applySecondaryStyle(hint_);
  column->addWidget(hint_);

  auto* statusRow = new QHBoxLayout;
  statusRow->setSpacing(6);
  statusSpinner_ = new Spinner(12, this);
  statusRow->addWidget(statusSpinner_, 0, Qt::AlignTop);
  status_ = textLabel(QString(), TextStyle::caption2, this);
  status_->setObjectName(QStringLiteral("deckStatus"));
  status_->setWordWrap(true);
  // Two lines from the top, as with the playback line: centred, a longer text would show its
  // middle, cut.
  status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  status_->setMaximumHeight(wrappedLinesHeight(status_, 2));
  // The status quotes file names and titles; one with nowhere to break would otherwise widen the
  // card to its length and squeeze the other deck. Such a word is cut at the card's edge instead.
  status_->setSizePolicy(QSizePolicy::Ignored, status_->sizePolicy().verticalPolicy());
  applySecondaryStyle(status_);
  statusRow->addWidget(status_, 1);
  column->addLayout(statusRow);

  playbackRow_ = new QWidget(this);
  auto* playback = new QHBoxLayout(playbackRow_);
  playback->setContentsMargins(0, 0, 0, 0);
  playback->setSpacing(6);
  playbackSpinner_ = new Spinner(12, playbackRow_);
  playbackSymbol_ = symbolLabel("checkmark.circle.fill", 12, playbackRow_);
  playbackText_ = textLabel(QString(), TextStyle::caption2, playbackRow_);
  playbackText_->setObjectName(QStringLiteral("playbackText"));
  playbackText_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  playback->addWidget(playbackSpinner_, 0, Qt::AlignTop);
  playback->addWidget(playbackSymbol_, 0, Qt::AlignTop);
  playback->addWidget(playbackText_, 1);
  column->addWidget(playbackRow_);
  playbackRow_->hide();
}

void DeckCard::update(const DeckCardState& state) {
  const QColor accent = tintColor(deckTint(deck_));
  dot_->setColor(state.fileName ? accent : tintColor(Tint::gray));
  if (const auto badge = ui::tempoBadge(state.bpm)) {
    tempo_->setText(qs(*badge));
    tempo_->show();
  } else {
    tempo_->hide();
  }
  choose_->setVisible(state.tab == SourceTab::localFile);
  choose_->setEnabled(state.isSendingAllowed);
  file_->setVisible(state.fileName.has_value());
  hint_->setVisible(!state.fileName.has_value());
  if (state.fileName) file_->setFullText(qs(*state.fileName));
  hint_->setText(qs(std::string(deckHint(state.tab))));
  statusSpinner_->setVisible(state.isAnalyzing);
  status_->setText(qs(deckStatusText(state.status)));

  const PlaybackLine line = playbackLine(state.playback, state.failureReason);
  playbackRow_->setVisible(line.shown);
  playbackSpinner_->setVisible(line.spinner);
  playbackSymbol_->setVisible(!line.symbol.empty());
  if (!line.symbol.empty()) setSymbol(playbackSymbol_, line.symbol);
  playbackText_->setText(qs(line.text));
  playbackText_->setWordWrap(line.lineLimit != 0);
  playbackText_->setMaximumHeight(line.lineLimit == 0 ? QWIDGETSIZE_MAX
                                                      : wrappedLinesHeight(playbackText_, line.lineLimit));
  if (line.tint) setTextColor(playbackText_, tintColor(*line.tint));
  else applySecondaryStyle(playbackText_);
  playbackRow_->setAccessibleName(qs(line.text));
  fitWrappedHeights();
}

void DeckCard::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  fitWrappedHeights();
}

// Height-for-width is lost on the way through the scroll area that holds the window's sections:
// a wrapped line would get the height of one line. Each is given what its lines need at its
// width, up to its limit. Measured from the text, not the label, whose answer grows with the
// minimum set here and so would never shrink back.
void DeckCard::fitWrappedHeights() {
  for (QLabel* label : {status_, playbackText_}) {
    int wanted = 0;
    if (label->wordWrap() && !label->text().isEmpty()) {
      const QMargins margins = label->contentsMargins();
      const QRect area(0, 0, std::max(label->contentsRect().width(), 1), QWIDGETSIZE_MAX);
      const int lines = label->fontMetrics().boundingRect(area, Qt::TextWordWrap, label->text()).height();
      wanted = std::min(lines + margins.top() + margins.bottom(), label->maximumHeight());
    }
    if (label->minimumHeight() != wanted) label->setMinimumHeight(wanted);
  }
}

void DeckCard::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // The border is drawn inside the card's shape, so half a pen in from the edge.
  const qreal width = dropTargeted_ ? 2.0 : 1.0;
  const QRectF box = QRectF(rect()).adjusted(width / 2, width / 2, -width / 2, -width / 2);
  QPainterPath shape;
  shape.addRoundedRect(box, 10, 10);
  painter.fillPath(shape, QApplication::palette().color(QPalette::Window));
  QPen pen;
  pen.setWidthF(width);
  if (dropTargeted_) {
    pen.setColor(tintColor(deckTint(deck_)));
  } else {
    pen.setColor(tintColor(Tint::gray, 0.25));
    pen.setDashPattern({4.0, 4.0}); // in pen widths; the pen is 1 px wide
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
  }
  painter.setPen(pen);
  painter.drawPath(shape);
}

void DeckCard::setDropTargeted(bool targeted) {
  if (dropTargeted_ == targeted) return;
  dropTargeted_ = targeted;
  QWidget::update();
}

// The zone answers every drag that offers a file or a video, whatever the gate says: the drop
// itself is judged when it lands. It takes a copy only, whatever the source proposes: a source
// that deletes its original after a move would lose the user's file.
void DeckCard::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData() == nullptr || !offersFileOrVideo(*event->mimeData()) ||
      !event->possibleActions().testFlag(Qt::CopyAction)) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  setDropTargeted(true);
}

void DeckCard::dragLeaveEvent(QDragLeaveEvent* event) {
  QFrame::dragLeaveEvent(event);
  setDropTargeted(false);
}

void DeckCard::dropEvent(QDropEvent* event) {
  setDropTargeted(false);
  if (event->mimeData() != nullptr && event->possibleActions().testFlag(Qt::CopyAction) && onDrop_ &&
      onDrop_(*event->mimeData())) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

bool offersFileOrVideo(const QMimeData& data) {
  const QtMediaTypes types;
  for (const QString& format : data.formats()) {
    if (format == QLatin1String(kUriListFormat.data(), static_cast<qsizetype>(kUriListFormat.size()))) return true;
    if (types.isVideo(format.toStdString())) return true;
  }
  return false;
}

} // namespace pd::ui
