#include "log_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/log_format.h"

static std::string join(const std::string& dir, const std::string& name) {
  return dir + "/" + name;
}

std::string numberedLogPath(const std::string& dir, unsigned n) {
  return join(dir, NUMBERED_LOG_PREFIX + std::to_string(n));
}

// An empty or short logInfo stands for log 1; so does a leftover that holds exactly 1.
static bool logInfoHoldsLogNumber(const std::string& dir) {
  // Not through a symlink, and not blocked by a FIFO someone named logInfo.
  int fd = open(join(dir, LOG_INFO_NAME).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  uint8_t bytes[4];
  ssize_t n = read(fd, bytes, sizeof(bytes));
  close(fd);
  if (n < 4) {
    return false;
  }
  int32_t next = static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                      static_cast<uint32_t>(bytes[3]) << 24);
  return next != 1;
}

std::vector<std::string> findLeftovers(const std::string& dir) {
  std::vector<std::string> found;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    return found;
  }
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, STOP_TEST_NAME) == 0 || strcmp(e->d_name, LAST_LOG_NAME) == 0 ||
        isNumberedLog(e->d_name)) {
      found.push_back(e->d_name);
    }
  }
  closedir(d);
  std::sort(found.begin(), found.end());  // readdir's order would make messages vary
  if (logInfoHoldsLogNumber(dir)) {
    found.push_back(LOG_INFO_NAME);
  }
  return found;
}

static bool removeFiles(const std::string& dir, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::string path = join(dir, name);
    if (remove(path.c_str()) != 0 && errno != ENOENT) {
      fprintf(stderr, "logtest-run: remove(%s): %s\n", path.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

static std::string describe(const std::vector<std::string>& names) {
  std::string text;
  size_t logs = 0;
  for (const std::string& name : names) {
    if (isNumberedLog(name.c_str())) {
      logs++;
    } else {
      text += (text.empty() ? "" : ", ") + name;
    }
  }
  if (logs > 0) {
    text += (text.empty() ? "" : ", ") + std::to_string(logs) + " numbered log(s)";
  }
  return text;
}

// What a counter file holds, for a refusal: its first bytes, printable.
static std::string shownBytes(const std::string& bytes) {
  std::string shown;
  for (char c : bytes.substr(0, 24)) {
    shown += c >= 32 && c < 127 ? std::string(1, c)
                                : "\\x" + std::string(1, "0123456789abcdef"[(c >> 4) & 15]) +
                                      "0123456789abcdef"[c & 15];
  }
  return "\"" + shown + (bytes.size() > 24 ? "...\"" : "\"");
}

// False for anything but a regular file: the preflight names the rest.
static bool readSmallFile(const std::string& path, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  char buf[64];
  ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  bytes->assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return true;
}

// Writers read next_id as a decimal count of the client IDs handed out, and logInfo as nothing
// or a 4-byte log number: anything else would fail the run for the directory's sake.
static std::string counterProblem(const std::string& dir) {
  std::string bytes;
  if (readSmallFile(join(dir, NEXT_ID_NAME), &bytes)) {
    size_t digits = std::min(bytes.find_first_not_of("0123456789"), bytes.size());
    bool only_digits =
        digits != 0 && bytes.find_first_not_of(" \t\r\n", digits) == std::string::npos;
    if (!only_digits || digits > 10 || strtoll(bytes.c_str(), nullptr, 10) >= INT32_MAX) {
      return join(dir, NEXT_ID_NAME) + " holds " + shownBytes(bytes) +
             ", not a count of client IDs (digits, below 2147483647)";
    }
  }
  if (readSmallFile(join(dir, LOG_INFO_NAME), &bytes) && !bytes.empty() && bytes.size() != 4) {
    return join(dir, LOG_INFO_NAME) + " holds " + std::to_string(bytes.size()) +
           " bytes, not a log number (4 bytes) or nothing";
  }
  return "";
}

static bool checkLeftovers(const std::string& dir) {
  std::vector<std::string> leftovers = findLeftovers(dir);
  if (!leftovers.empty()) {
    fprintf(stderr, "logtest-run: %s holds files of an earlier test (%s); --clean removes them\n",
            dir.c_str(), describe(leftovers).c_str());
    return false;
  }
  std::string problem = counterProblem(dir);
  if (!problem.empty()) {
    fprintf(stderr, "logtest-run: %s; --clean starts it afresh\n", problem.c_str());
    return false;
  }
  return true;
}

// --clean: the earlier test's files go, and the counters start afresh, so that a repeated run
// is the same run (a writer's client ID decides whether it pauses).
static bool cleanLeftovers(const std::string& dir, bool quiet) {
  std::vector<std::string> leftovers = findLeftovers(dir);
  std::vector<std::string> removed = leftovers;
  for (const char* name : {LOG_INFO_NAME, NEXT_ID_NAME}) {
    struct stat st;
    if (lstat(join(dir, name).c_str(), &st) == 0 &&
        std::find(removed.begin(), removed.end(), name) == removed.end()) {
      removed.push_back(name);
    }
  }
  if (!quiet && !leftovers.empty()) {
    printf("Removing files of an earlier test from %s: %s; logInfo and next_id start afresh\n",
           dir.c_str(), describe(leftovers).c_str());
  }
  return removeFiles(dir, removed);
}

// O_EXCL: a file that is already there is kept as it is.
static bool createIfMissing(const std::string& dir, const char* name, const char* content) {
  std::string path = join(dir, name);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      return true;
    }
    fprintf(stderr, "logtest-run: create %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  size_t len = strlen(content);
  bool ok = write(fd, content, len) == static_cast<ssize_t>(len);
  if (!ok) {
    fprintf(stderr, "logtest-run: write %s: %s\n", path.c_str(), strerror(errno));
  }
  return close(fd) == 0 && ok;
}

static bool checkIsDirectory(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    fprintf(stderr, "logtest-run: %s: %s (the log directory must exist)\n", dir.c_str(),
            strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    fprintf(stderr, "logtest-run: %s is not a directory\n", dir.c_str());
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    fprintf(stderr, "logtest-run: %s: cannot create files in it: %s\n", dir.c_str(),
            strerror(errno));
    return false;
  }
  return true;
}

static bool makeTemporaryDir(LogDir& dir) {
  const char* tmp = getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/logtest-run.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    fprintf(stderr, "logtest-run: mkdtemp(%s): %s\n", templ.c_str(), strerror(errno));
    return false;
  }
  dir.paths = {templ};
  dir.temporary = true;
  return true;
}

bool checkLogDir(const std::vector<std::string>& dirs, bool clean, LogDir& dir) {
  if (dirs.empty()) {
    return makeTemporaryDir(dir);
  }
  dir.paths = dirs;
  for (const std::string& path : dir.paths) {
    if (!checkIsDirectory(path)) {
      return false;
    }
  }
  return clean || checkLeftovers(dir.paths[0]);
}

bool setUpLogDir(const LogDir& dir, bool clean, bool quiet) {
  if (clean && !dir.temporary && !cleanLeftovers(dir.paths[0], quiet)) {
    return false;
  }
  return createIfMissing(dir.paths[0], LOG_INFO_NAME, "") &&
         createIfMissing(dir.paths[0], NEXT_ID_NAME, "0");
}

bool prepareLogDir(const std::vector<std::string>& dirs, bool clean, bool quiet, LogDir& dir) {
  return checkLogDir(dirs, clean, dir) && setUpLogDir(dir, clean, quiet);
}

MarkerResult raiseStopMarker(const std::string& dir) {
  std::string path = join(dir, STOP_TEST_NAME);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd >= 0) {
    close(fd);
    return MarkerResult::Raised;
  }
  if (errno == EEXIST) {
    return MarkerResult::AlreadyThere;
  }
  fprintf(stderr, "logtest-run: create %s: %s\n", path.c_str(), strerror(errno));
  return MarkerResult::Failed;
}

bool stopMarkerExists(const std::string& dir) {
  struct stat st;
  return stat(join(dir, STOP_TEST_NAME).c_str(), &st) == 0;
}

bool removeTestFiles(const std::string& dir, bool with_id_files) {
  std::vector<std::string> names = findLeftovers(dir);
  if (with_id_files) {
    names.push_back(LOG_INFO_NAME);
    names.push_back(NEXT_ID_NAME);
  }
  return removeFiles(dir, names);
}

bool removeTestDir(const std::string& dir) {
  if (!removeTestFiles(dir, true)) {
    return false;
  }
  if (rmdir(dir.c_str()) != 0) {
    fprintf(stderr, "logtest-run: rmdir(%s): %s; left in place\n", dir.c_str(), strerror(errno));
    return false;
  }
  return true;
}
