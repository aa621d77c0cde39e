// "Would it have caught my bug?": every fault of the injector in turn on the user's own
// directory, each a run of logtest-run of its own, and a table of what each came to.
#pragma once

#include <string>

#include "options.h"

struct SelfTestRow {
  std::string fault;
  bool expect_pass = true;
  std::string verdict;      // "PASS", "FAIL", ... or "" if the run gave no summary
  double seconds = -1;      // to the first diagnostic (FAIL) ; -1 if none
  std::string first_line;   // "reader 1: Cheksum failed for client ID 3", or "code: finding"
  std::string cause;        // the likely cause the explanation named
  unsigned long fired = 0;  // times the fault acted, from the injector's report
  unsigned long records = 0;
  bool as_expected = false;
};

// Runs every row and prints the table; returns the exit status: 0 when every row behaved.
int runSelfTest(const Options& opt);
