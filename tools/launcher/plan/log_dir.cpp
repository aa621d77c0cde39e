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

static bool dealWithLeftovers(const std::string& dir, bool clean, bool quiet) {
  std::vector<std::string> leftovers = findLeftovers(dir);
  if (leftovers.empty()) {
    return true;
  }
  if (!clean) {
    fprintf(stderr, "logtest-run: %s holds files of an earlier test (%s); --clean removes them\n",
            dir.c_str(), describe(leftovers).c_str());
    return false;
  }
  if (!quiet) {
    printf("Removing files of an earlier test from %s: %s\n", dir.c_str(),
           describe(leftovers).c_str());
  }
  return removeFiles(dir, leftovers);
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

bool prepareLogDir(const std::vector<std::string>& dirs, bool clean, bool quiet, LogDir& dir) {
  if (dirs.empty()) {
    if (!makeTemporaryDir(dir)) {
      return false;
    }
  } else {
    dir.paths = dirs;
    for (const std::string& path : dir.paths) {
      if (!checkIsDirectory(path)) {
        return false;
      }
    }
    if (!dealWithLeftovers(dir.paths[0], clean, quiet)) {
      return false;
    }
  }
  return createIfMissing(dir.paths[0], LOG_INFO_NAME, "") &&
         createIfMissing(dir.paths[0], NEXT_ID_NAME, "0");
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
