#include "preflight.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "claim.h"
#include "control/log_format.h"
#include "file_text.h"

// A remote check gets this long: an ssh that asks for a password never answers.
constexpr double REMOTE_TIMEOUT_S = 30;

static void refuse(const std::string& text) {
  fprintf(stderr, "logtest-run: %s\n", text.c_str());
}

static std::string linkTarget(const std::string& path) {
  char target[4096];
  ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
  return n < 0 ? "?" : std::string(target, n);
}

// The message for each problem with the names in or derived from dir; empty when none.
static std::vector<std::string> checkNames(const std::string& dir) {
  std::vector<std::string> problems;
  if (dir.size() > MAX_LOG_PATH_LEN) {
    problems.push_back(dir.substr(0, 60) + "... is " + std::to_string(dir.size()) +
                       " bytes long: the names logtest derives from it would not fit its " +
                       std::to_string(PATH_BUFFER_SIZE - 1) + " bytes; use a path of at most " +
                       std::to_string(MAX_LOG_PATH_LEN) +
                       " bytes (a symlink or bind mount to the directory will do)");
    return problems;
  }
  std::vector<std::string> names = {LOG_INFO_NAME, NEXT_ID_NAME, LAST_LOG_NAME, STOP_TEST_NAME};
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (isNumberedLog(e->d_name)) {
        names.push_back(e->d_name);
      }
    }
    closedir(d);
  }
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      problems.push_back(path + " is a symlink (to " + linkTarget(path) +
                         "): logtest refuses to follow it; remove it");
    } else if (!S_ISREG(st.st_mode) && name != STOP_TEST_NAME) {
      // A FIFO named last_log or next_id would block a writer that holds a lock: every writer
      // would wait for ever.
      problems.push_back(path +
                         " is not a regular file: logtest would block on it or refuse "
                         "it; remove it");
    }
  }
  return problems;
}

// A name of its own per run, so two launchers on one directory do not read each other's.
std::string preflightTokenName() {
  return ".logtest-preflight." + std::to_string(getpid());
}

static bool writeToken(const std::string& path, const std::string& token) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0) {
    refuse("preflight: create " + path + ": " + strerror(errno));
    return false;
  }
  bool ok = write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size());
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    refuse("preflight: write " + path + ": " + strerror(errno));
  }
  return ok;
}

static std::string notOneDirectory(const std::string& path, const std::string& first,
                                   const std::string& where) {
  return path + where + " does not show the file just written through " + first +
         ": the paths are not one directory, or this client does not see the other's changes; "
         "give paths to one shared directory (--no-preflight starts anyway)";
}

static std::string lockNotExcluding(const std::string& path, const std::string& first,
                                    const std::string& where) {
  return "flock through " + path + where + " does not exclude flock through " + first +
         ": locks are local to each mount; the writers' appends would interleave and the test "
         "would report corruption that the locking causes (--no-preflight starts anyway)";
}

// A child opens path's claim file and tries a non-blocking exclusive flock: 0 if it got it, 1
// if the lock is taken, 2 if it could not try.
static int tryLockInChild(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open((path + "/" + CLAIM_NAME).c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
      _exit(2);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      _exit(0);
    }
    _exit(errno == EWOULDBLOCK ? 1 : 2);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return 2;
  }
  return WEXITSTATUS(status);
}

// The checks of every local path, while the lock is held through the first.
static bool checkLocalPath(const std::string& path, const std::string& first,
                           const std::string& token) {
  if (path != first && readTokenFile(path + "/" + preflightTokenName()) != token) {
    refuse(notOneDirectory(path, first, ""));
    return false;
  }
  int got = tryLockInChild(path);
  if (got == 0) {
    refuse(lockNotExcluding(path, first, ""));
  } else if (got == 2) {
    refuse("preflight: cannot open " + path + "/" + CLAIM_NAME + " to try its lock");
  }
  return got == 1;
}

static std::string makeToken() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "." +
         std::to_string(ts.tv_nsec);
}

bool beginPreflight(const std::vector<std::string>& paths, PreflightLock& lock) {
  const std::string& first = paths[0];
  lock.token = makeToken();
  lock.token_name = preflightTokenName();
  lock.token_path = first + "/" + lock.token_name;
  if (!writeToken(lock.token_path, lock.token)) {
    lock.token_path.clear();
    return false;
  }
  for (const std::string& path : paths) {
    if (!checkLocalPath(path, first, lock.token)) {
      endPreflight(lock);
      return false;
    }
  }
  return true;
}

void endPreflight(PreflightLock& lock) {
  if (!lock.token_path.empty()) {
    unlink(lock.token_path.c_str());
    lock.token_path.clear();
  }
}

static bool judgePlace(const HostRecord& host, const PlaceAnswer& place, const std::string& first,
                       const std::string& token) {
  std::string where = " on " + host.name;
  if (place.token != token) {
    refuse(notOneDirectory(place.path, first, where));
    return false;
  }
  if (place.lock == "free") {
    refuse(lockNotExcluding(place.path, first, where));
    return false;
  }
  if (place.lock != "held") {
    fprintf(stderr, "logtest-run: warning: the lock could not be tried%s (%s)\n", where.c_str(),
            place.lock.c_str());
  }
  return true;
}

bool judgeAgentAnswers(const std::vector<HostRecord>& hosts, const std::string& first,
                       const PreflightLock& lock, bool quiet) {
  size_t places = 0;
  for (const HostRecord& host : hosts) {
    for (const PlaceAnswer& place : host.places) {
      if (!host.name.empty() && !judgePlace(host, place, first, lock.token)) {
        return false;
      }
      places++;
    }
  }
  if (!quiet && places > 1) {
    printf("Preflight: %zu place%s show one directory whose lock excludes\n", places,
           places == 1 ? "" : "s");
  }
  return true;
}

bool preflightNames(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::vector<std::string> problems = checkNames(path);
    for (const std::string& problem : problems) {
      refuse(problem);
    }
    if (!problems.empty()) {
      return false;
    }
  }
  return true;
}
