#include "ui/main/ContentView.hpp"

#include "runtime/MainThread.hpp"

#include <QLabel>
#include <QVBoxLayout>

namespace pd::ui {

ContentView::ContentView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                         sender::LocalVideoBroadcaster& localVideoBroadcaster, QWidget* parent)
    : QWidget(parent), connectionManager_(connectionManager), oscViewModel_(oscViewModel),
      localVideoBroadcaster_(localVideoBroadcaster) {
  auto* layout = new QVBoxLayout(this);
  auto* placeholder = new QLabel(QStringLiteral("Palendrix Display"));
  placeholder->setTextFormat(Qt::PlainText);
  placeholder->setAlignment(Qt::AlignCenter);
  placeholder->setEnabled(false);
  layout->addWidget(placeholder);
  setMinimumSize(640, 600);
}

void ContentView::setShowSetup(bool show) {
  runtime::MainThread::assertMainThread();
  if (showSetup_ == show) {
    return;
  }
  showSetup_ = show;
  Q_EMIT showSetupChanged(show);
}

void ContentView::closeSetupForTermination() { setShowSetup(false); }

} // namespace pd::ui
