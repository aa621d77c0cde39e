#include "self_test.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>

#include "control/log_format.h"
#include "file_text.h"
#include "injection.h"
#include "log_dir.h"
#include "self.h"
#include "spawn.h"

static const FaultRow* faultNamed(const std::string& name) {
  for (const FaultRow& f : faults()) {
    if (name == f.name) {
      return &f;
    }
  }
  return nullptr;
}

// The first failure: a process's diagnostic, or else the launcher's own first finding, which
// for what it finds after the run (records missing, late damage) comes at the run's end.
static void firstFailure(const nlohmann::json& d, SelfTestRow& row) {
  const nlohmann::json& first = d["diagnostics"]["first"];
  if (!first.empty()) {
    row.seconds = first[0]["at_s"];
    row.first_line =
        first[0]["process"].get<std::string>() + ": " + first[0]["line"].get<std::string>();
    return;
  }
  const nlohmann::json& failures = d["failures"];
  if (failures.empty()) {
    return;
  }
  std::string code = failures[0].value("code", "");
  bool after_run = code == "records_lost" || code == "last_look" || code == "last_log";
  row.seconds = d.value(after_run ? "elapsed_s" : "stop_s", -1.0);
  row.first_line = code + ": " + failures[0].value("text", "");
}

// Judges a row from the JSON summary of its run; the row's fault must be filled in.
static void judgeSelfTestRow(const std::string& json_text, SelfTestRow& row) {
  const FaultRow* fault = faultNamed(row.fault);
  nlohmann::json d = nlohmann::json::parse(json_text, nullptr, false);
  if (fault == nullptr || d.is_discarded() || !d.contains("verdict")) {
    return;
  }
  row.expect_pass = fault->expect_pass;
  row.verdict = d["verdict"];
  firstFailure(d, row);
  const nlohmann::json& explanation = d["explanation"];
  if (explanation.is_object() && explanation["cause"].is_string()) {
    row.cause = explanation["cause"];
  }
  const nlohmann::json& injection = d["injection"];
  if (injection.is_object()) {
    row.fired = injection.value("fired", 0UL);
    row.records = injection.value("records", 0UL);
  }
  // A fault that never acted tested nothing, whatever the verdict; "none" must act on nothing
  // while records go through it.
  bool exercised = row.fault == "none" ? row.fired == 0 && row.records > 0 : row.fired > 0;
  bool verdict_right = row.verdict == (fault->expect_pass ? "PASS" : "FAIL");
  bool line_right =
      fault->expect_pass || std::regex_search(row.first_line, std::regex(fault->first_line));
  bool cause_right = fault->expect_pass || std::regex_search(row.cause, std::regex(fault->cause));
  row.as_expected = exercised && verdict_right && line_right && cause_right;
}

static SelfTestRow runRow(const FaultRow& fault, const Options& opt, const std::string& dir,
                          const std::string& json_file) {
  SelfTestRow row;
  row.fault = fault.name;
  std::vector<std::string> argv = {programPath(),
                                   "--quiet",
                                   "--inject",
                                   fault.name,
                                   "--clean",
                                   "--logtest",
                                   opt.logtest,
                                   "-t",
                                   std::to_string(fault.seconds),
                                   "-w",
                                   "3",
                                   "-r",
                                   "2",
                                   "--json",
                                   json_file,
                                   dir};
  // Hidden from the readers of a second path to the same directory.
  if (fault.fault == Fault::HiddenRename) {
    argv.push_back(dir + "/.");
  }
  std::string output;
  // Grace, and a rename the injector holds back for seconds, on top of the run itself.
  runCaptured(argv, fault.seconds + opt.grace + 60, &output);
  judgeSelfTestRow(readFileText(json_file), row);
  // Emptied, not removed, so that the name stays ours for the next row.
  if (truncate(json_file.c_str(), 0) != 0) {
    perror("logtest-run: --self-test: truncate");
  }
  if (row.verdict.empty()) {
    row.first_line = output.substr(0, output.find('\n'));  // why there is no summary
  }
  return row;
}

// A diagnostic longer than its column is cut; the JSON of a run by hand has it whole.
constexpr size_t FIRST_LINE_COLUMN = 72;

static std::string column(const std::string& text) {
  if (text.empty()) {
    return "-";
  }
  return text.size() <= FIRST_LINE_COLUMN ? text : text.substr(0, FIRST_LINE_COLUMN - 3) + "...";
}

static void printRow(const SelfTestRow& r) {
  char seconds[16] = "-";
  if (r.seconds >= 0) {
    snprintf(seconds, sizeof(seconds), "%.1f", r.seconds);
  }
  printf("%-13s %-8s %-10s %7s  %-9s %-*s  %s\n", r.fault.c_str(), r.expect_pass ? "PASS" : "FAIL",
         r.verdict.empty() ? "none" : r.verdict.c_str(), seconds, r.as_expected ? "yes" : "NO",
         static_cast<int>(FIRST_LINE_COLUMN), column(r.first_line).c_str(),
         r.cause.empty() ? "-" : r.cause.c_str());
  fflush(stdout);
}

static bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int runSelfTest(const Options& opt) {
  // What it makes in a directory of the user's it removes again, so that it can run there
  // again: logInfo and next_id only if it made them.
  bool had_id_files = !opt.dirs.empty() && (exists(opt.dirs[0] + "/" + LOG_INFO_NAME) ||
                                            exists(opt.dirs[0] + "/" + NEXT_ID_NAME));
  LogDir dir;
  if (!prepareLogDir(opt.dirs, opt.clean, true, dir)) {
    return EXIT_USAGE;
  }
  if (findInjector().empty()) {
    fprintf(stderr,
            "logtest-run: --self-test needs liblogtest-inject.so beside logtest-run or "
            "in ../lib/logtest/\n");
    return EXIT_USAGE;
  }
  // Each row's summary goes to a file of our own, never into the directory under test.
  const char* tmp = getenv("TMPDIR");
  std::string json_file =
      std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/logtest-self-test.XXXXXX";
  int json_fd = mkstemp(&json_file[0]);
  if (json_fd < 0) {
    perror("logtest-run: --self-test: mkstemp");
    return EXIT_USAGE;
  }
  close(json_fd);
  printf("Self-test on %s: every fault of the injector in turn, 3 writers and 2 readers\n",
         dir.paths[0].c_str());
  printf("%-13s %-8s %-10s %7s  %-9s %-*s  %s\n", "fault", "expected", "verdict", "seconds",
         "as meant", static_cast<int>(FIRST_LINE_COLUMN), "first diagnostic", "likely cause");
  int behaved = 0;
  for (const FaultRow& fault : faults()) {
    SelfTestRow row = runRow(fault, opt, dir.paths[0], json_file);
    printRow(row);
    behaved += row.as_expected;
  }
  int rows = static_cast<int>(faults().size());
  printf("Self-test: %d of %d faults behaved as expected%s\n", behaved, rows,
         behaved == rows ? "" : "; see the rows marked NO");
  unlink(json_file.c_str());
  if (dir.temporary) {
    removeTestDir(dir.paths[0]);
  } else {
    removeTestFiles(dir.paths[0], !had_id_files);
  }
  return behaved == rows ? EXIT_PASS : EXIT_FAIL;
}
