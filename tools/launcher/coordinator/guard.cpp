#include "guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "spawn.h"

// Keeps only the pipe's read end and standard error: any other descriptor the guard held (a
// pipe from a process, the JSON file) would outlive the launcher.
static void keepOnly(int fd) {
  int null_fd = open("/dev/null", O_RDWR);
  dup2(null_fd, STDIN_FILENO);
  dup2(null_fd, STDOUT_FILENO);
  // Agents' input pipes above all: a guard holding one would hide the launcher's death from
  // that agent. A cluster can have more hosts than 1,024 descriptors.
  if (fd > 3) {
    close_range(3, fd - 1, 0);
  }
  close_range(fd + 1, ~0U, 0);
}

// A byte means the launcher ended normally; end of file without one means it died.
[[noreturn]] static void guardMain(int fd, const std::string& marker_path) {
  setpgid(0, 0);  // a Ctrl-C at the terminal is the launcher's to handle
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    signal(sig, SIG_IGN);
  }
  keepOnly(fd);
  char byte;
  ssize_t n;
  do {
    n = read(fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  if (n == 1) {
    _exit(0);
  }
  int marker = open(marker_path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (marker < 0) {
    dprintf(STDERR_FILENO, "logtest-run guard: create %s: %s\n", marker_path.c_str(),
            strerror(errno));
    _exit(1);
  }
  close(marker);
  _exit(0);
}

bool startGuard(const std::string& marker_path, Guard& guard, std::string* error) {
  int fds[2];
  // No process the launcher starts later may hold the write end: the pipe is close-on-exec.
  pid_t pid = forkWithPipe(fds, error);
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    close(fds[1]);
    guardMain(fds[0], marker_path);
  }
  close(fds[0]);
  guard.pid = pid;
  guard.fd = fds[1];
  return true;
}

void dismissGuard(Guard& guard) {
  if (guard.pid <= 0) {
    return;
  }
  char byte = 0;
  (void)!write(guard.fd, &byte, 1);
  close(guard.fd);
  waitpid(guard.pid, nullptr, 0);
  guard.pid = -1;
}
