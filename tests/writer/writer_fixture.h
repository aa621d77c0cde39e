// Each writer test starts as a fresh writer process would: no client ID, no record numbered.
#pragma once

#include "support/log_dir_test.h"
#include "writer/writer.h"

class WriterTest : public LogDirTest {
 protected:
  void SetUp() override {
    LogDirTest::SetUp();
    my_id = 0;
    seq_n = 0;
  }
};
