#pragma once

// One line of plain text cut in the middle to the width the layout gives it, so that both ends
// of a long path, host or file name stay readable; the whole text stays in the tooltip and for
// assistive tools. The settings window and the deck cards share this one class: two of the same
// name would leave the program with only one of them.

#include <QLabel>
#include <QResizeEvent>
#include <QTextDocument>

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
    if (full_ == text) return;
    full_ = text;
    // A tooltip reads a text that looks like markup as markup, and these texts come from outside
    // (file and folder names, video titles): such a one is escaped, so it shows as written.
    setToolTip(Qt::mightBeRichText(text)
                   ? QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>")
                   : text);
    setAccessibleName(text);
    elide();
  }
  const QString& fullText() const noexcept { return full_; }
  // Any width down to none, so that a long text never holds its row open; one line high.
  QSize minimumSizeHint() const override { return {0, fontMetrics().height()}; }

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
