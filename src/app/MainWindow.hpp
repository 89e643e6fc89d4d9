#pragma once

// The main window: ContentView under the terms sheet, which is up while the window is shown
// and the stored accepted terms version is below the current one.

#include "app/NotificationCenter.hpp"

#include <QMainWindow>

#include <boost/signals2/connection.hpp>

namespace pd::ui {
class ContentView;
}

namespace pd::app {

class TermsSheet;

class MainWindow : public QMainWindow {
  Q_OBJECT

public:
  MainWindow(ui::ContentView* content, int currentTermsVersion);
  ~MainWindow() override;

  ui::ContentView* contentView() const noexcept { return content_; }
  TermsSheet* termsSheet() const noexcept { return termsSheet_; }

  // Brings the sheet in line with its presentation condition.
  void updateTermsSheet();

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  ui::ContentView* content_;
  TermsSheet* termsSheet_;
  NotificationCenter::Observation prepareForTermination_;
  boost::signals2::scoped_connection defaultsChanged_;
};

} // namespace pd::app
