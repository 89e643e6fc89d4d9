#include "ui/main/StatusSection.hpp"

#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "ui/main/ViewKit.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

namespace pd::ui {

// The 60-point disc with the indicator's symbol over it.
class StatusIndicatorView::Disc : public QWidget {
public:
  explicit Disc(QWidget* parent) : QWidget(parent) { setFixedSize(60, 60); }
  void set(const std::string& symbol, QColor color) {
    icon_ = symbolIcon(symbol);
    color_ = color;
    update();
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor fill = color_;
    fill.setAlphaF(0.2f);
    painter.setBrush(fill);
    painter.drawEllipse(rect());
    icon_.paint(&painter, QRect(18, 18, 24, 24));
  }

private:
  QIcon icon_;
  QColor color_;
};

StatusIndicatorView::StatusIndicatorView(QWidget* parent) : QWidget(parent) {
  auto* column = new QVBoxLayout(this);
  column->setSpacing(8);
  column->setAlignment(Qt::AlignHCenter);
  disc_ = new Disc(this);
  column->addWidget(disc_, 0, Qt::AlignHCenter);
  title_ = textLabel({}, TextStyle::caption, this);
  applySecondaryStyle(title_);
  column->addWidget(title_, 0, Qt::AlignHCenter);
  dot_ = new Dot(10, tintColor(Tint::gray), this);
  column->addWidget(dot_, 0, Qt::AlignHCenter);
  triangle_ = symbolLabel("exclamationmark.triangle.fill", 10, this);
  column->addWidget(triangle_, 0, Qt::AlignHCenter);
  triangle_->hide();
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void StatusIndicatorView::setModel(const StatusIndicatorModel& model) {
  model_ = model;
  const QColor color = tintColor(model.color());
  disc_->set(model.icon, color);
  title_->setText(qs(model.title));
  const auto mark = model.mark();
  dot_->setVisible(mark != StatusIndicatorModel::Mark::warningTriangle);
  dot_->setColor(color);
  triangle_->setVisible(mark == StatusIndicatorModel::Mark::warningTriangle);
  setAccessibleName(qs(model.title));
  setAccessibleDescription(qs(model.accessibilityValue()));
}

ReconnectNoticeRow::ReconnectNoticeRow(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
  auto* row = new QHBoxLayout(this);
  row->setSpacing(8);
  row->setContentsMargins(0, 0, 0, 0);
  auto* spinner = new Spinner(16, this);
  row->addWidget(spinner);
  cause_ = textLabel({}, TextStyle::callout, this);
  QFont font = cause_->font();
  font.setWeight(QFont::Medium);
  cause_->setFont(font);
  row->addWidget(cause_);
  retry_ = textLabel({}, TextStyle::callout, this);
  applySecondaryStyle(retry_);
  row->addWidget(retry_);
  row->addStretch(1);
  timer_->setInterval(1000);
  QObject::connect(timer_, &QTimer::timeout, this, [this] { tick(); });
}

void ReconnectNoticeRow::setNotice(const link::NetworkManagerForMac::ReconnectNotice& notice) {
  notice_ = notice;
  cause_->setText(qs(reconnectCauseText(notice.cause)));
  tick();
}

QString ReconnectNoticeRow::causeText() const { return cause_->text(); }
QString ReconnectNoticeRow::retryText() const { return retry_->text(); }
bool ReconnectNoticeRow::isTicking() const { return timer_->isActive(); }

void ReconnectNoticeRow::tick() {
  runtime::MainThread::assertMainThread();
  retry_->setText(qs(reconnectRetryText(notice_, runtime::Clock::current().wall())));
  setAccessibleName(cause_->text() + QLatin1Char(' ') + retry_->text());
}

void ReconnectNoticeRow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  tick();
  timer_->start();
}

void ReconnectNoticeRow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_->stop();
}

StatusSection::StatusSection(QWidget* parent) : QFrame(parent) {
  styleAsCard(this, 12);
  auto* column = new QVBoxLayout(this);
  column->setSpacing(16);
  auto* heading = textLabel(QStringLiteral("システムステータス"), TextStyle::headline, this);
  column->addWidget(heading);
  auto* row = new QHBoxLayout;
  row->setSpacing(20);
  for (auto& indicator : indicators_) {
    indicator = new StatusIndicatorView(this);
    row->addWidget(indicator, 1);
  }
  column->addLayout(row);
  reconnectRow_ = new ReconnectNoticeRow(this);
  column->addWidget(reconnectRow_);
  reconnectRow_->hide();
  update(StatusInputs{}, std::nullopt);
}

void StatusSection::update(const StatusInputs& inputs,
                           const std::optional<link::NetworkManagerForMac::ReconnectNotice>& notice) {
  runtime::MainThread::assertMainThread();
  const auto models = statusIndicators(inputs);
  for (std::size_t i = 0; i < models.size(); ++i) indicators_[i]->setModel(models[i]);
  if (notice) {
    reconnectRow_->setNotice(*notice);
    reconnectRow_->show();
  } else {
    reconnectRow_->hide();
  }
}

} // namespace pd::ui
