#pragma once

// The text styles of the windows, as sizes relative to the body font of the desktop, so that
// a user's larger font setting scales every style alike.

#include <QFont>

class QWidget;

namespace pd::ui {

enum class TextStyle { largeTitle, title2, headline, body, callout, caption, title, title3, subheadline, caption2 };

// The style's font, derived from `base` (the application font by default).
QFont styledFont(TextStyle style);
QFont styledFont(TextStyle style, const QFont& base);

// Sets the widget's font to the style, optionally bold.
void applyTextStyle(QWidget* widget, TextStyle style, bool bold = false);

// Dims the widget's text to the palette's secondary tone (explanatory text under a heading).
void applySecondaryStyle(QWidget* widget);

} // namespace pd::ui
