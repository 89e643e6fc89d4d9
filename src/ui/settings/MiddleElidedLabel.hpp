#pragma once

// One line of plain text cut in the middle to the width the layout gives it, so that both ends
// of a long path or host name stay readable; the whole text stays in the tooltip and for
// assistive tools.

#include <QLabel>
#include <QResizeEvent>

#include <algorithm>

namespace pd::ui {

class MiddleElidedLabel final : public QLabel {
public:
  explicit MiddleElidedLabel(QWidget* parent = nullptr) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    // The row decides the width; the text never widens it.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }

  void setFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
  }
  const QString& fullText() const noexcept { return full_; }

protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    elide();
  }
  void changeEvent(QEvent* event) override {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) elide();
  }

private:
  void elide() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(0, contentsRect().width()))); }

  QString full_;
};

} // namespace pd::ui
