// Base fixture: every test starts as a fresh process of a private, prepared log directory would.
// The process-wide paths point into it; no client ID is taken, no record numbered, no writer
// expected. A failed test keeps its directory for a look at what was left.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "control/test_control.h"
#include "support/test_logs.h"
#include "verifier/verifier.h"
#include "writer/writer.h"

class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeLogDir();
    initLogPaths(dir.c_str());
    my_id = 0;
    seq_n = 0;
    resetExpectedSeq();
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
