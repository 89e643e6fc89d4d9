#pragma once

// One QApplication for a whole GoogleTest program (the offscreen platform unless the
// environment or preferTheDisplay chose another), made before the first test and kept until the last.

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace pd::testing {

class QtTestEnvironment : public ::testing::Environment {
public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
      qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { application_.reset(); }

private:
  int argc_ = 1;
  char name_[16] = "qt-tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

// For programs whose views draw with OpenGL: a real X server (Xvfb in the test runner) is used
// where there is one. Called from a static initialiser, before the application is made.
inline bool preferTheDisplay() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "xcb");
  }
  return true;
}

// Registers the environment from a static initialiser of one test source.
inline const bool kQtEnvironmentRegistered = [] {
  ::testing::AddGlobalTestEnvironment(new QtTestEnvironment);
  return true;
}();

} // namespace pd::testing
