#include "ui/settings/Typography.hpp"

#include <QApplication>
#include <QPalette>
#include <QWidget>

namespace pd::ui {

namespace {
// Points of each style against a 13-point body, the proportions the layouts were drawn with.
double relativeSize(TextStyle style) {
  switch (style) {
  case TextStyle::largeTitle: return 26.0 / 13.0;
  case TextStyle::title2: return 17.0 / 13.0;
  case TextStyle::headline:
  case TextStyle::body: return 1.0;
  case TextStyle::callout: return 12.0 / 13.0;
  case TextStyle::caption: return 10.0 / 13.0;
  case TextStyle::title: return 22.0 / 13.0;
  case TextStyle::title3: return 15.0 / 13.0;
  case TextStyle::subheadline: return 11.0 / 13.0;
  case TextStyle::caption2: return 9.5 / 13.0;
  }
  return 1.0;
}
} // namespace

QFont styledFont(TextStyle style) { return styledFont(style, QApplication::font()); }

QFont styledFont(TextStyle style, const QFont& base) {
  QFont font = base;
  const double basePoints = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
  font.setPointSizeF(basePoints * relativeSize(style));
  if (style == TextStyle::headline) {
    font.setWeight(QFont::DemiBold);
  }
  return font;
}

void applyTextStyle(QWidget* widget, TextStyle style, bool bold) {
  QFont font = styledFont(style, widget->font());
  if (bold) {
    font.setBold(true);
  }
  widget->setFont(font);
}

void applySecondaryStyle(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
  palette.setColor(QPalette::Text, palette.color(QPalette::PlaceholderText));
  widget->setPalette(palette);
}

} // namespace pd::ui
