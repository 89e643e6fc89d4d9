#pragma once

// The small building blocks the main window and the connection sheet share: system colours,
// theme icons for the symbol names the views use, plain-text labels, chips, dots, rounded cards and
// the watching of the link's published values.

#include "runtime/Published.hpp"
#include "ui/main/ConnectionPresentation.hpp"
#include "ui/settings/Typography.hpp"

#include <boost/signals2/connection.hpp>

#include <QColor>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QString>

#include <string>

class QAbstractButton;
class QLayout;
class QTimer;

namespace pd::ui {

QColor tintColor(Tint tint, double opacity = 1.0);
QString qs(const std::string& text);
// "rgba(r,g,b,a)" for style sheets.
QString cssColor(const QColor& color);

// The freedesktop theme's icon for a symbol name, or a small drawn stand-in when the theme
// has none.
QIcon symbolIcon(const std::string& symbol);
// A label showing the symbol's icon, named after the symbol for tests and screen readers.
QLabel* symbolLabel(const std::string& symbol, int size, QWidget* parent = nullptr);
// Shows another symbol in a label that symbolLabel made, at its size.
void setSymbol(QLabel* label, const std::string& symbol);

// Always plain text: peer texts must never be read as markup.
QLabel* textLabel(const QString& text, TextStyle style, QWidget* parent = nullptr);
// The height that `lines` wrapped lines take in the widget's font. Japanese is drawn from a
// fallback font whose lines are taller than the font's own line spacing.
int wrappedLinesHeight(const QWidget* widget, int lines);
int wrappedLinesHeight(const QFont& font, int lines);
void setTextColor(QLabel* label, const QColor& color);
// The colour of an enabled button's text; a disabled button keeps the style's dimmed text, so that
// a refused control looks refused.
void setButtonTextColor(QAbstractButton* button, const QColor& color);

// A symbol and a text on the chip's colour at low opacity.
QFrame* chipWidget(const Chip& chip, int spacing, double backgroundOpacity = 0.15, QWidget* parent = nullptr);
// A text-only badge ("推奨", "現在", "A / B 個別出力").
QLabel* tagLabel(const QString& text, Tint tint, double backgroundOpacity, QWidget* parent = nullptr);

// A filled circle.
class Dot : public QWidget {
public:
  explicit Dot(int diameter, QColor color, QWidget* parent = nullptr);
  void setColor(QColor color);
  QColor color() const { return color_; }
  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  int diameter_;
  QColor color_;
};

// A small indeterminate progress indicator: an arc that turns while the widget is shown. It
// redraws ten times a second, where a style's busy bar would repaint at the display's rate.
class Spinner : public QWidget {
public:
  explicit Spinner(int diameter, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  bool isTurning() const;

protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  int diameter_;
  int step_ = 0;
  QTimer* timer_;
};

// A rounded card on the control background colour (or `background` when given).
QFrame* makeCard(int radius, QWidget* parent = nullptr, const QColor& background = QColor());
void styleAsCard(QFrame* frame, int radius, const QColor& background = QColor());

// Runs `handler` on every change of `property` for as long as the returned connection lives.
template <typename T, typename F>
boost::signals2::scoped_connection watch(runtime::Published<T>& property, F handler) {
  return property.changed().connect([handler](const T&) { handler(); });
}

// Deletes every item of the layout, widgets included.
void clearLayout(QLayout* layout);

} // namespace pd::ui
