// Three real writer processes share a directory; afterwards every byte they left is parsed here
// on its own terms and must form whole, gap-free logs. And one seed replays the same records.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>

#include "support/log_dir_test.h"
#include "support/test_logs.h"
#include "writer/writer.h"

class WriterRunTest : public LogDirTest {};

TEST_F(WriterRunTest, ThreeWritersLeaveWholeGapFreeLogs) {
  std::vector<int> pids;
  for (int i = 0; i < 3; i++) {
    pids.push_back(spawnLogtest({"W", dir}, dir + "/writer" + std::to_string(i) + ".out"));
  }
  // Enough for a few rollovers even on a slow disk; fast ones make dozens.
  waitFor([&] { return fileExists(dir + "/log.3"); }, 60);
  sleep(1);
  writeFile(dir + "/StopTest", "");
  for (int pid : pids) {
    int status = waitExitStatus(pid, 30);
    // 0 when the marker was seen at the top of the loop, 1 when seen while opening the log.
    EXPECT_TRUE(status == 0 || status == 1) << status;
  }
  for (int i = 0; i < 3; i++) {
    std::string out = readFile(dir + "/writer" + std::to_string(i) + ".out");
    std::string rest = out;
    while (rest.rfind("Log rename ", 0) == 0) {
      rest = rest.substr(rest.find('\n') + 1);
    }
    EXPECT_TRUE(rest.empty() || rest == "Done!\n") << out;
  }
  EXPECT_EQ("3", readFile(dir + "/next_id"));

  std::map<uint32_t, uint32_t> last_seq;
  int logs = 0;
  auto check = [&](const std::string& name, bool numbered) {
    std::string bytes = readFile(dir + "/" + name);
    ParsedLog log = parseLog(bytes);
    ASSERT_TRUE(log.ok) << name << ": " << log.error;
    EXPECT_EQ(numbered, log.terminated) << name;
    if (numbered) {
      EXPECT_GE(bytes.size(), 1024037u) << name;
      EXPECT_LE(bytes.size(), 1034311u) << name;
      EXPECT_LE(log.records.back().offset, 1024000u) << name;
    }
    for (const ParsedRecord& r : log.records) {
      EXPECT_TRUE(r.clientID >= 1 && r.clientID <= 3) << name << " " << r.offset;
      EXPECT_EQ(last_seq[r.clientID] + 1, r.seqNo) << name << " " << r.offset;
      EXPECT_TRUE(r.dataLen >= 1 && r.dataLen <= 10239) << name << " " << r.offset;
      EXPECT_TRUE(r.digestOk) << name << " " << r.offset;
      last_seq[r.clientID] = r.seqNo;
    }
  };
  for (int n = 1; fileExists(dir + "/log." + std::to_string(n)); n++) {
    check("log." + std::to_string(n), true);
    logs++;
  }
  if (fileExists(dir + "/last_log")) {
    check("last_log", false);
  }
  EXPECT_GE(logs, 3);
  std::string info = readFile(dir + "/logInfo");
  ASSERT_EQ(4u, info.size());
  EXPECT_EQ(logs + 1, static_cast<uint8_t>(info[0]) + 256 * static_cast<uint8_t>(info[1]));
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
    ASSERT_EQ(0, mkdir((dir + "/elsewhere").c_str(), 0755));
    std::string target = dir + "/elsewhere/passwd";
    writeFile(target, original);
    unlink((dir + "/" + c.name).c_str());
    ASSERT_EQ(0, symlink(target.c_str(), (dir + "/" + c.name).c_str()));
    std::string out;
    EXPECT_EQ(1, runLogtest({"W", dir}, &out));
    EXPECT_EQ(std::string(c.label) + ": Too many levels of symbolic links\n", out);
    EXPECT_EQ(original, readFile(target));
    EXPECT_TRUE(fileExists(dir + "/StopTest"));
    EXPECT_FALSE(fileExists(dir + "/log.1"));
  }
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
  EXPECT_TRUE(log1.ok && log1.terminated) << log1.error;
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
