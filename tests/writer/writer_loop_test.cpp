// The writer role as a process: a whole test with readers, links planted in the directory, and a
// standard output whose reader has gone. And one seed replays the same records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "support/log_dir_test.h"
#include "support/test_logs.h"
#include "writer/writer.h"

class WriterRunTest : public LogDirTest {};

// Three writers and two readers share the directory until both readers have verified three
// logs; the marker then stops them all, and no process has reported anything but progress.
// Every byte the writers left is then parsed here on its own terms: whole, gap-free logs.
TEST_F(WriterRunTest, WritersAndReadersRunCleanAndLeaveWholeGapFreeLogs) {
  std::vector<int> pids;
  std::vector<std::string> outs;
  for (const char* role : {"W", "W", "W", "R", "R"}) {
    outs.push_back(dir + "/" + std::to_string(pids.size()) + role + ".out");
    pids.push_back(spawnLogtest({role, dir}, outs.back()));
  }
  bool verified = waitFor(
      [&] {
        return readFile(outs[3]).find("Checking log 4\n") != std::string::npos &&
               readFile(outs[4]).find("Checking log 4\n") != std::string::npos;
      },
      120);
  writeFile(stop_test_file, "");
  for (size_t i = 0; i < pids.size(); i++) {
    int status = waitExitStatus(pids[i], 30);
    // A writer that meets the marker while opening the log exits through the stop path (1).
    EXPECT_TRUE(status == 0 || (status == 1 && i < 3)) << outs[i] << " " << status;
  }
  EXPECT_TRUE(verified);
  const std::regex progress(
      "Log rename .*/log\\.[0-9]+ by writer [0-9]+|Checking log [0-9]+|Done!|"
      "Last records verified: .*");
  const std::regex account("Last record written: ([0-9]+) by writer ([1-3])");
  std::map<uint32_t, uint32_t> promised;  // each writer's last acknowledged record
  for (const std::string& out : outs) {
    std::istringstream lines(readFile(out));
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (std::regex_match(line, m, account)) {
        EXPECT_EQ(promised.count(std::stoul(m[2])), 0u) << out << ": said twice";
        promised[std::stoul(m[2])] = std::stoul(m[1]);
      } else {
        EXPECT_TRUE(std::regex_match(line, progress)) << out << ": " << line;
      }
    }
  }
  EXPECT_EQ(promised.size(), 3u);
  EXPECT_EQ("3", readFile(dir + "/next_id"));

  // Readers delete all but the last ten logs they verified; those left run on to last_log (if
  // any writer appended after the last rollover).
  const std::string info = readFile(space_lock_file);
  ASSERT_EQ(4u, info.size());
  const int next = static_cast<uint8_t>(info[0]) + 256 * static_cast<uint8_t>(info[1]);
  int first = 1;
  while (first < next && !fileExists(dir + "/log." + std::to_string(first))) {
    first++;
  }
  std::map<uint32_t, uint32_t> last_seq;
  for (int n = first; n <= next; n++) {
    const std::string name = n < next ? "log." + std::to_string(n) : "last_log";
    ParsedLog log = parseLog(readFile(dir + "/" + name));
    ASSERT_TRUE(log.ok()) << name << ": " << log.error;
    EXPECT_EQ(n < next, log.terminated) << name;
    for (const ParsedRecord& r : log.records) {
      EXPECT_TRUE(r.clientID >= 1 && r.clientID <= 3) << name << " " << r.offset;
      EXPECT_LE(r.dataLen, 10239u) << name << " " << r.offset;
      EXPECT_TRUE(r.digestOk) << name << " " << r.offset;
      // A writer's first records may be in a log already deleted.
      uint32_t& last = last_seq[r.clientID];
      if (last != 0 || first == 1) {
        EXPECT_EQ(last + 1, r.seqNo) << name << " " << r.offset;
      }
      last = r.seqNo;
    }
  }
  EXPECT_FALSE(fileExists(dir + "/log." + std::to_string(next)));
  // Each writer's account is the last record of it in the logs: nothing acknowledged is
  // missing and nothing is claimed that was not written.
  for (const auto& [client, seq] : promised) {
    if (last_seq.count(client) != 0) {
      EXPECT_EQ(last_seq[client], seq) << "client " << client;
    }
  }
}

// Others may write the directory: a link planted under a shared file's name must stop a
// writer (running as root) before it reads or writes whatever the link points at.
TEST_F(WriterRunTest, SymlinkedSharedFileStopsTheWriterAndLeavesItsTargetAlone) {
  const std::string original = "root:x:0:0:root:/root:/bin/bash\n0\n";
  const struct {
    const char* name;
    const char* label;
  } cases[] = {
      {"last_log", "fopen(last_log)"},
      {"next_id", "open(space_lock_file)"},
      {"logInfo", "open(space_lock_file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    removeTree(dir);
    dir = makeLogDir();
    std::string target = dir + "/passwd";
    writeFile(target, original);
    unlink((dir + "/" + c.name).c_str());
    ASSERT_EQ(0, symlink(target.c_str(), (dir + "/" + c.name).c_str()));
    std::string out;
    EXPECT_EQ(1, runLogtest({"W", dir}, &out));
    // A writer that got its ID still gives its account: it wrote nothing.
    std::string account =
        std::string(c.name) == "next_id" ? "" : "Last record written: 0 by writer 1\n";
    EXPECT_EQ(std::string(c.label) + ": Too many levels of symbolic links\n" + account, out);
    EXPECT_EQ(original, readFile(target));
    EXPECT_TRUE(fileExists(dir + "/StopTest"));
    EXPECT_FALSE(fileExists(dir + "/log.1"));
  }
  // A FIFO in its place takes no record and holds no writer.
  removeTree(dir);
  dir = makeLogDir();
  ASSERT_EQ(0, mkfifo((dir + "/last_log").c_str(), 0644));
  std::string out;
  EXPECT_EQ(1, runLogtest({"W", dir}, &out));
  EXPECT_EQ("fopen(last_log): not a regular file\nLast record written: 0 by writer 1\n", out);
}

// A writer whose standard output has lost its reader still completes the rollover it began
// (its rename line goes nowhere), so the numbered log exists, then stops at the marker.
TEST_F(WriterRunTest, WriterWithClosedOutputStillRollsOverAndStops) {
  LogBuilder full;
  for (uint32_t seq = 1; full.bytes.size() <= LOG_SIZE_LIMIT; seq++) {
    full.data(99, seq, 10000);
  }
  writeFile(dir + "/last_log", full.bytes);
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  close(fds[0]);
  int pid = spawnLogtestOnFd({"W", dir}, fds[1]);
  close(fds[1]);
  EXPECT_TRUE(waitFor([&] { return fileExists(dir + "/log.1"); }, 10));
  writeFile(dir + "/StopTest", "");
  int status = waitExitStatus(pid, 30);
  EXPECT_TRUE(status == 0 || status == 1) << status;
  ParsedLog log1 = parseLog(readFile(dir + "/log.1"));
  EXPECT_TRUE(log1.ok() && log1.terminated) << log1.error;
  EXPECT_EQ(std::string("\2\0\0\0", 4), readFile(dir + "/logInfo"));
}

// The records are those that random() after srandom(seed) made: the length, then a word per
// whole 8 bytes, the tail left from earlier records. Logs of one seed stay comparable.
TEST(WriterRecordTest, SeedReplaysTheRecordsOfRandom) {
  for (unsigned int seed : {0u, 1u, 4242u, 4194303u, 4294967295u}) {
    static uint8_t payload[PAYLOAD_BUFFER_SIZE];
    std::string expected(PAYLOAD_BUFFER_SIZE, '\0');
    memset(payload, 0, sizeof(payload));
    seedDraws(seed);
    srandom(seed);
    for (int record = 0; record < 40; record++) {
      LogRecordHeader header{};
      prepareRecord(header, payload);
      uint32_t len = static_cast<uint32_t>(random() % PAYLOAD_BUFFER_SIZE);
      len = len == 0 ? 1 : len;
      for (uint32_t i = 0; i < len / 8; i++) {
        uint64_t word = static_cast<uint64_t>(random());
        memcpy(&expected[8 * i], &word, sizeof(word));
      }
      ASSERT_EQ(len, header.dataLen) << "seed " << seed << ", record " << record;
      ASSERT_EQ(expected.substr(0, len), std::string(reinterpret_cast<char*>(payload), len));
      ASSERT_EQ(md5Of(expected.substr(0, len)),
                std::string(reinterpret_cast<char*>(header.md5), sizeof(header.md5)));
    }
  }
}
