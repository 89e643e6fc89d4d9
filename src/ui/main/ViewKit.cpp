#include "ui/main/ViewKit.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QHBoxLayout>
#include <QLayout>
#include <QPainter>
#include <QPalette>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>
#include <map>

namespace pd::ui {

QColor tintColor(Tint tint, double opacity) {
  const std::uint32_t value = rgb(tint);
  QColor color(static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF),
               static_cast<int>(value & 0xFF));
  color.setAlphaF(static_cast<float>(opacity));
  return color;
}

QString qs(const std::string& text) { return QString::fromStdString(text); }

QString cssColor(const QColor& color) {
  return QStringLiteral("rgba(%1,%2,%3,%4)")
      .arg(color.red())
      .arg(color.green())
      .arg(color.blue())
      .arg(QString::number(color.alphaF(), 'f', 3));
}

namespace {

// The theme names closest to each symbol's meaning.
const std::map<std::string, const char*>& themeNames() {
  static const std::map<std::string, const char*> names = {
      {"gear", "preferences-system"},
      {"app.connected.to.app.below.fill", "network-transmit-receive"},
      {"ipad", "input-tablet"},
      {"ipad.and.iphone", "input-tablet"},
      {"ipad.slash", "input-tablet"},
      {"antenna.radiowaves.left.and.right", "network-wireless"},
      {"arrow.up.forward.app", "video-display"},
      {"wifi", "network-wireless"},
      {"wifi.router", "network-workgroup"},
      {"cable.connector", "network-wired"},
      {"network", "network-workgroup"},
      {"link", "insert-link"},
      {"questionmark.circle", "dialog-question"},
      {"questionmark.circle.fill", "dialog-question"},
      {"checkmark.circle.fill", "emblem-default"},
      {"checkmark.seal", "emblem-default"},
      {"checkmark.seal.fill", "emblem-default"},
      {"exclamationmark.triangle", "dialog-warning"},
      {"exclamationmark.triangle.fill", "dialog-warning"},
      {"xmark.circle", "process-stop"},
      {"arrow.triangle.swap", "view-refresh"},
      {"arrow.clockwise", "view-refresh"},
      {"magnifyingglass", "edit-find"},
      {"video.slash", "camera-video"},
      {"arrow.up.left.and.arrow.down.right", "view-fullscreen"},
      {"hand.tap", "input-mouse"},
      {"chevron.up", "go-up"},
      {"chevron.down", "go-down"},
      {"film", "video-x-generic"},
      {"xmark.octagon.fill", "process-stop"},
      {"arrow.triangle.2.circlepath", "view-refresh"},
  };
  return names;
}

// A neutral ring, so that a missing theme never leaves a hole in a row.
QIcon drawnIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x8E, 0x8E, 0x93), 3));
  painter.drawEllipse(QRectF(4, 4, 24, 24));
  return QIcon(pixmap);
}

} // namespace

QIcon symbolIcon(const std::string& symbol) {
  // Outside a desktop session Qt knows no theme; Adwaita's bitmaps cover every name above.
  static const bool themeChosen = [] {
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor")) {
      QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    }
    return true;
  }();
  (void)themeChosen;
  const auto& names = themeNames();
  const auto found = names.find(symbol);
  if (found == names.end()) return drawnIcon();
  static const QIcon fallback = drawnIcon();
  return QIcon::fromTheme(QString::fromLatin1(found->second), fallback);
}

QLabel* symbolLabel(const std::string& symbol, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFixedSize(size, size);
  setSymbol(label, symbol);
  return label;
}

void setSymbol(QLabel* label, const std::string& symbol) {
  const QString name = qs(symbol);
  if (label->objectName() == name) return;
  label->setPixmap(symbolIcon(symbol).pixmap(label->width(), label->height()));
  label->setObjectName(name);
  label->setAccessibleName(name);
}

QLabel* textLabel(const QString& text, TextStyle style, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  applyTextStyle(label, style);
  return label;
}

int wrappedLinesHeight(const QWidget* widget, int lines) { return wrappedLinesHeight(widget->font(), lines); }

int wrappedLinesHeight(const QFont& font, int lines) {
  QStringList sample;
  for (int i = 0; i < lines; ++i) sample << QStringLiteral("Ag国あ");
  const QRect bounds(0, 0, 4096, 4096);
  return QFontMetrics(font).boundingRect(bounds, Qt::TextWordWrap, sample.join(QLatin1Char('\n'))).height();
}

void setTextColor(QLabel* label, const QColor& color) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::Text, color);
  label->setPalette(palette);
}

void setButtonTextColor(QAbstractButton* button, const QColor& color) {
  QPalette palette = button->palette();
  palette.setColor(QPalette::Active, QPalette::ButtonText, color);
  palette.setColor(QPalette::Inactive, QPalette::ButtonText, color);
  button->setPalette(palette);
}

QFrame* chipWidget(const Chip& chip, int spacing, double backgroundOpacity, QWidget* parent) {
  auto* frame = new QFrame(parent);
  frame->setObjectName(QStringLiteral("chip"));
  frame->setProperty("tint", static_cast<int>(chip.tint));
  frame->setStyleSheet(QStringLiteral("QFrame#chip { background: %1; border-radius: 4px; }")
                           .arg(cssColor(tintColor(chip.tint, backgroundOpacity))));
  auto* row = new QHBoxLayout(frame);
  row->setContentsMargins(6, 2, 6, 2);
  row->setSpacing(spacing);
  row->addWidget(symbolLabel(chip.symbol, 12));
  auto* text = textLabel(qs(chip.text), TextStyle::caption2);
  setTextColor(text, tintColor(chip.tint));
  row->addWidget(text);
  frame->setAccessibleName(qs(chip.text));
  return frame;
}

QLabel* tagLabel(const QString& text, Tint tint, double backgroundOpacity, QWidget* parent) {
  auto* label = textLabel(text, TextStyle::caption2, parent);
  QFont font = label->font();
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  label->setProperty("tint", static_cast<int>(tint));
  label->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; border-radius: 4px; padding: 2px 6px; }")
                           .arg(cssColor(tintColor(tint, backgroundOpacity)), cssColor(tintColor(tint))));
  return label;
}

Dot::Dot(int diameter, QColor color, QWidget* parent) : QWidget(parent), diameter_(diameter), color_(color) {
  setFixedSize(diameter, diameter);
}

void Dot::setColor(QColor color) {
  if (color_ == color) return;
  color_ = color;
  update();
}

QSize Dot::sizeHint() const { return {diameter_, diameter_}; }

void Dot::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(color_);
  painter.drawEllipse(rect());
}

QFrame* makeCard(int radius, QWidget* parent, const QColor& background) {
  auto* card = new QFrame(parent);
  styleAsCard(card, radius, background);
  return card;
}

void styleAsCard(QFrame* frame, int radius, const QColor& background) {
  frame->setObjectName(QStringLiteral("card"));
  const QColor color = background.isValid() ? background : QApplication::palette().color(QPalette::AlternateBase);
  frame->setStyleSheet(
      QStringLiteral("QFrame#card { background: %1; border-radius: %2px; }").arg(cssColor(color)).arg(radius));
}

void clearLayout(QLayout* layout) {
  while (QLayoutItem* item = layout->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      // Not deleted at once: the widget may be the button whose click led here.
      widget->hide();
      widget->setParent(nullptr);
      widget->deleteLater();
    } else if (QLayout* child = item->layout()) {
      clearLayout(child);
    }
    delete item;
  }
}

Spinner::Spinner(int diameter, QWidget* parent) : QWidget(parent), diameter_(diameter), timer_(new QTimer(this)) {
  setFixedSize(diameter, diameter);
  timer_->setInterval(100);
  QObject::connect(timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % 12;
    update();
  });
}

QSize Spinner::sizeHint() const { return {diameter_, diameter_}; }

bool Spinner::isTurning() const { return timer_->isActive(); }

void Spinner::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  timer_->start();
}

void Spinner::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_->stop();
}

void Spinner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal pen = std::max<qreal>(1.5, diameter_ / 8.0);
  const QRectF box = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
  painter.setPen(QPen(palette().color(QPalette::Mid), pen));
  painter.drawEllipse(box);
  painter.setPen(QPen(palette().color(QPalette::Text), pen, Qt::SolidLine, Qt::RoundCap));
  // Qt angles are in sixteenths of a degree, counter-clockwise; the arc turns clockwise.
  painter.drawArc(box, (90 - step_ * 30) * 16, -90 * 16);
}

} // namespace pd::ui
