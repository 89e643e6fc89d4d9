#pragma once

// The main window's first block: the tablet link, the OSC server and frame sharing as three
// indicators, and while a reconnect is pending a row that counts down to the next attempt.

#include "ui/main/ConnectionPresentation.hpp"

#include <QFrame>

#include <optional>

class QLabel;
class QTimer;

namespace pd::ui {

class Dot;

class StatusIndicatorView : public QWidget {
public:
  explicit StatusIndicatorView(QWidget* parent = nullptr);
  void setModel(const StatusIndicatorModel& model);
  const StatusIndicatorModel& model() const noexcept { return model_; }

private:
  class Disc;
  StatusIndicatorModel model_;
  Disc* disc_;
  QLabel* title_;
  Dot* dot_;
  QLabel* triangle_;
};

// Refreshed once a second while it is on screen.
class ReconnectNoticeRow : public QWidget {
public:
  explicit ReconnectNoticeRow(QWidget* parent = nullptr);
  void setNotice(const link::NetworkManagerForMac::ReconnectNotice& notice);
  QString causeText() const;
  QString retryText() const;
  bool isTicking() const;
  // Redraws with the wall clock's now, as the once-a-second tick does.
  void tick();

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  link::NetworkManagerForMac::ReconnectNotice notice_;
  QLabel* cause_;
  QLabel* retry_;
  QTimer* timer_;
};

class StatusSection : public QFrame {
public:
  explicit StatusSection(QWidget* parent = nullptr);
  void update(const StatusInputs& inputs, const std::optional<link::NetworkManagerForMac::ReconnectNotice>& notice);

  StatusIndicatorView* indicator(int index) const { return indicators_.at(static_cast<std::size_t>(index)); }
  ReconnectNoticeRow* reconnectRow() const noexcept { return reconnectRow_; }

private:
  std::array<StatusIndicatorView*, 3> indicators_{};
  ReconnectNoticeRow* reconnectRow_;
};

} // namespace pd::ui
