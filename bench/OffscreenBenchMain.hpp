#pragma once

// The main of a widget benchmark: Qt's offscreen platform unless the caller chose one, so the
// figures do not depend on an X server, and one QApplication for every benchmark of the program.

#include <QApplication>
#include <QtGlobal>

#include <benchmark/benchmark.h>

namespace pd::bench {

inline int runOffscreenBenchmarks(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

} // namespace pd::bench
