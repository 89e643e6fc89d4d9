#pragma once

// Brings SIGTERM, SIGINT and SIGHUP to the main thread as one request to terminate; one that
// the process was started with ignored stays ignored. The handler only writes the signal's
// number into a pipe; the GUI thread reads it there and calls the callback, so the termination
// path runs with the whole program available.

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace pd::app {

class TerminationSignals : public QObject {
  Q_OBJECT

public:
  using Handler = std::function<void(int signalNumber)>;

  // Installs the handlers; one instance per process. Throws pd::PosixError.
  explicit TerminationSignals(Handler onSignal, QObject* parent = nullptr);
  // Restores the previous dispositions.
  ~TerminationSignals() override;

private:
  void drain();

  Handler onSignal_;
  QSocketNotifier* notifier_ = nullptr;
};

} // namespace pd::app
