// Base fixture: every test gets a private, prepared log directory, and the process-wide paths
// point into it. A failed test keeps its directory for a look at what was left.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control/test_control.h"
#include "support/test_logs.h"

class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeLogDir();
    initLogPaths(dir.c_str());
  }
  void TearDown() override {
    if (HasFailure()) {
      fprintf(stderr, "kept %s\n", dir.c_str());
    } else {
      removeTree(dir);
    }
  }
  std::string dir;
};
