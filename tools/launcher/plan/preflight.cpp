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

#include "control/log_format.h"

// A remote check gets this long: an ssh that asks for a password never answers.
constexpr double REMOTE_TIMEOUT_S = 30;

static void refuse(const std::string& text) {
  fprintf(stderr, "logtest-run: %s\n", text.c_str());
}

static bool isNumberedLog(const char* name) {
  size_t prefix = strlen(NUMBERED_LOG_PREFIX);
  return strncmp(name, NUMBERED_LOG_PREFIX, prefix) == 0 && name[prefix] != '\0' &&
         strspn(name + prefix, "0123456789") == strlen(name + prefix);
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
static std::string tokenName() {
  return ".logtest-preflight." + std::to_string(getpid());
}

static std::string readSmallFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) {
    return "";
  }
  char buf[128];
  ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  return n > 0 ? std::string(buf, n) : "";
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

// A child opens path/logInfo and tries a non-blocking exclusive flock: 0 if it got it, 1 if
// the lock is taken, 2 if it could not try.
static int tryLockInChild(const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open((path + "/" + LOG_INFO_NAME).c_str(), O_RDWR | O_NOFOLLOW);
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

static bool checkLocalPath(const std::string& path, const std::string& first,
                           const std::string& token) {
  if (path != first && readSmallFile(path + "/" + tokenName()) != token) {
    refuse(notOneDirectory(path, first, ""));
    return false;
  }
  int got = tryLockInChild(path);
  if (got == 0) {
    refuse(lockNotExcluding(path, first, ""));
  } else if (got == 2) {
    refuse("preflight: cannot open " + path + "/" + LOG_INFO_NAME + " to try its lock");
  }
  return got == 1;
}

// One line per answer: "token ...", "logtest yes|no", "lock N|none". The lock is tried on a
// read-write descriptor: NFS grants an exclusive flock only on one.
static std::string remoteScript(const std::string& path, const std::string& logtest) {
  std::string token = shellQuote(path + "/" + tokenName());
  std::string info = shellQuote(path + "/" + LOG_INFO_NAME);
  return "printf 'token %s\\n' \"$(cat " + token + " 2>/dev/null)\"; if [ -x " +
         shellQuote(logtest) +
         " ]; then echo 'logtest yes'; else echo 'logtest no'; fi; if command -v flock "
         ">/dev/null 2>&1; then (flock -n -E 99 9; echo \"lock $?\") 9<>" +
         info + "; else echo 'lock none'; fi";
}

static std::string answer(const std::string& output, const std::string& key) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size() + 1, key + " ") == 0) {
      return line.substr(key.size() + 1);
    }
  }
  return "";
}

static std::string firstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

static bool checkRemotePlace(const Place& place, const std::string& first, const std::string& token,
                             const Launch& launch) {
  std::string where = " on " + place.host;
  std::string output;
  int status =
      runCaptured(remoteCommand(launch.rsh, place.host, remoteScript(place.path, launch.logtest)),
                  REMOTE_TIMEOUT_S, &output);
  if (answer(output, "logtest").empty()) {
    refuse("preflight" + where + (status < 0 ? ": no answer within 30 s" : ": the command failed") +
           " (" + firstLine(output) + "); check that the --rsh template runs a command there");
    return false;
  }
  if (answer(output, "token") != token) {
    refuse(notOneDirectory(place.path, first, where));
    return false;
  }
  if (answer(output, "logtest") != "yes") {
    refuse(launch.logtest + " is not an executable" + where + "; install logtest at that path");
    return false;
  }
  std::string lock = answer(output, "lock");
  if (lock == "0") {
    refuse(lockNotExcluding(place.path, first, where));
    return false;
  }
  if (lock != "99") {
    fprintf(stderr, "logtest-run: warning: the lock could not be tried%s (flock: %s)\n",
            where.c_str(), lock.c_str());
  }
  return true;
}

static std::string makeToken() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return std::to_string(getpid()) + "-" + std::to_string(ts.tv_sec) + "." +
         std::to_string(ts.tv_nsec);
}

// Holds flock on logInfo through the first path while every other path and host tries it.
static bool checkSharing(const std::vector<std::string>& paths, const std::vector<Place>& places,
                         const Launch& launch) {
  const std::string& first = paths[0];
  int lock_fd = open((first + "/" + LOG_INFO_NAME).c_str(), O_RDWR | O_NOFOLLOW);
  if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
    refuse("preflight: cannot lock " + first + "/" + LOG_INFO_NAME + ": " + strerror(errno) +
           (errno == EWOULDBLOCK ? " (is a test already running in this directory?)" : ""));
    if (lock_fd >= 0) {
      close(lock_fd);
    }
    return false;
  }
  std::string token = makeToken();
  std::string token_path = first + "/" + tokenName();
  bool ok = writeToken(token_path, token);
  for (size_t i = 0; ok && i < paths.size(); i++) {
    ok = checkLocalPath(paths[i], first, token);
  }
  for (size_t i = 0; ok && i < places.size(); i++) {
    ok = places[i].host.empty() || checkRemotePlace(places[i], first, token, launch);
  }
  unlink(token_path.c_str());
  close(lock_fd);
  return ok;
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

bool preflightSharing(const std::vector<std::string>& paths, const std::vector<Place>& places,
                      const Launch& launch, bool quiet) {
  if (!checkSharing(paths, places, launch)) {
    return false;
  }
  if (!quiet && (paths.size() > 1 || places.size() > 1)) {
    printf("Preflight: %zu path%s and %zu place%s show one directory whose lock excludes\n",
           paths.size(), paths.size() == 1 ? "" : "s", places.size(),
           places.size() == 1 ? "" : "s");
  }
  return true;
}
