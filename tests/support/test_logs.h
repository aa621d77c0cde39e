// Test-side helpers: private log directories and an encoding of the record format of its own,
// so that tests never check the code under test with itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A fresh directory prepared for a test: empty logInfo, next_id holding "0", no StopTest.
std::string makeLogDir();
void removeTree(const std::string& path);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// Payload of len pseudo-random bytes drawn from seed.
std::string makePayload(uint32_t len, uint32_t seed);

// One record, encoded byte by byte (little-endian), digest from OpenSSL's one-shot MD5.
// MD5 of bytes from OpenSSL's one-shot call, not the code under test.
std::string md5Of(const std::string& bytes);
std::string encodeRecord(uint32_t magic, uint32_t offset, uint32_t clientID, uint32_t seqNo,
                         const std::string& payload);
std::string encodeHeader(uint32_t magic, uint32_t offset, uint32_t clientID, uint32_t seqNo,
                         uint32_t dataLen, const std::string& md5);

// Builds a log in memory; every record gets its true offset.
struct LogBuilder {
  std::string bytes;
  LogBuilder& data(uint32_t clientID, uint32_t seqNo, uint32_t len);
  LogBuilder& terminator(uint32_t clientID = 1);
};

// What a byte-level parse of one log found. error says where the first record out of place or
// malformed is; a log that has a terminator as its last 36 bytes sets
// terminated.
struct ParsedRecord {
  uint32_t offset, clientID, seqNo, dataLen;
  bool digestOk;
};
struct ParsedLog {
  bool terminated = false;
  std::string error;  // empty when every record is in place
  bool ok() const { return error.empty(); }
  std::vector<ParsedRecord> records;  // data records only
};
ParsedLog parseLog(const std::string& bytes);

// Inside a death test: sends standard output to standard error, where the matcher reads.
void stdoutToStderr();

// Starts the logtest executable in the background with standard output and error going to
// output_path; returns its PID.
int spawnLogtest(const std::vector<std::string>& args, const std::string& output_path);
// The same with both going to the open descriptor out_fd (a pipe, say). The child starts with
// SIGPIPE at its default, as from a shell, whatever the test runner does with it.
int spawnLogtestOnFd(const std::vector<std::string>& args, int out_fd);

// Polls done every 50 ms for at most seconds; true once it holds.
bool waitFor(const std::function<bool()>& done, int seconds);

// Exit status of pid, 128 + the signal that ended it, or -1 if it had not ended after seconds
// and was killed: a hung process fails its test instead of hanging the suite.
int waitExitStatus(int pid, int seconds);

// Runs the logtest executable to its end; returns its exit status as above and its merged
// standard output and error.
int runLogtest(const std::vector<std::string>& args, std::string* output);
