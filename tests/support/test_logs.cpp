#include "support/test_logs.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

std::string makeLogDir() {
  std::string pattern = std::filesystem::temp_directory_path() / "logtest-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  writeFile(pattern + "/logInfo", "");
  writeFile(pattern + "/next_id", "0");
  return pattern;
}

void removeTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string makePayload(uint32_t len, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string payload(len, '\0');
  for (char& c : payload) {
    c = static_cast<char>(gen());
  }
  return payload;
}

static void putLe32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

static uint32_t getLe32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; i--) {
    value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  }
  return value;
}

std::string md5Of(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), len);
}

std::string encodeHeader(uint32_t magic, uint32_t offset, uint32_t clientID, uint32_t seqNo,
                         uint32_t dataLen, const std::string& md5) {
  std::string out;
  for (uint32_t field : {magic, offset, clientID, seqNo, dataLen}) {
    putLe32(out, field);
  }
  out += md5;
  out.resize(36, '\0');
  return out;
}

std::string encodeRecord(uint32_t magic, uint32_t offset, uint32_t clientID, uint32_t seqNo,
                         const std::string& payload) {
  return encodeHeader(magic, offset, clientID, seqNo, payload.size(), md5Of(payload)) + payload;
}

LogBuilder& LogBuilder::data(uint32_t clientID, uint32_t seqNo, uint32_t len) {
  bytes += encodeRecord(0xDEADBEAF, bytes.size(), clientID, seqNo,
                        makePayload(len, clientID * 7919 + seqNo));
  return *this;
}

LogBuilder& LogBuilder::terminator(uint32_t clientID) {
  bytes += encodeHeader(0, bytes.size(), clientID, 0, 0, std::string(16, '\0'));
  return *this;
}

ParsedLog parseLog(const std::string& bytes) {
  ParsedLog log;
  size_t at = 0;
  while (at + 36 <= bytes.size()) {
    uint32_t magic = getLe32(bytes, at);
    ParsedRecord r{getLe32(bytes, at + 4), getLe32(bytes, at + 8), getLe32(bytes, at + 12),
                   getLe32(bytes, at + 16), false};
    if (r.offset != at) {
      break;
    }
    if (magic == 0 && r.dataLen == 0 && r.seqNo == 0) {
      log.terminated = at + 36 == bytes.size();
      break;
    }
    if (magic != 0xDEADBEAF || r.dataLen == 0 || at + 36 + r.dataLen > bytes.size()) {
      break;
    }
    r.digestOk = md5Of(bytes.substr(at + 36, r.dataLen)) == bytes.substr(at + 20, 16);
    log.records.push_back(r);
    at += 36 + r.dataLen;
  }
  if (at != bytes.size() && !log.terminated) {
    log.error = "no record in place at " + std::to_string(at);
  }
  return log;
}

void stdoutToStderr() {
  fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

int spawnLogtestOnFd(const std::vector<std::string>& args, int out_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(out_fd, STDOUT_FILENO);
    dup2(out_fd, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(LOGTEST_BINARY)};
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(LOGTEST_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

int spawnLogtest(const std::vector<std::string>& args, const std::string& output_path) {
  int fd = open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int pid = spawnLogtestOnFd(args, fd);
  close(fd);
  return pid;
}

bool waitFor(const std::function<bool()>& done, int seconds) {
  for (time_t end = time(nullptr) + seconds; time(nullptr) <= end; usleep(50000)) {
    if (done()) {
      return true;
    }
  }
  return done();
}

int waitExitStatus(int pid, int seconds) {
  int status = 0;
  if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runLogtest(const std::vector<std::string>& args, std::string* output) {
  char path[] = "/tmp/logtest-output-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    return -1;
  }
  close(fd);
  int status = waitExitStatus(spawnLogtest(args, path), 60);
  *output = readFile(path);
  unlink(path);
  return status;
}
