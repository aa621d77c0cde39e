#include "spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

pid_t forkWithPipe(int fds[2], std::string* error) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return -1;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
  }
  return pid;
}

[[noreturn]] static void execCommand(const std::vector<std::string>& argv, int out_fd, int in_fd) {
  setpgid(0, 0);
  signal(SIGPIPE, SIG_DFL);  // ignored in the launcher; an ignored signal survives exec
  if (in_fd < 0) {
    in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (in_fd < 0 || dup2(in_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(out_fd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  execvp(args[0], args.data());
  dprintf(STDERR_FILENO, "logtest-run: exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

bool startCommand(const std::vector<std::string>& argv, pid_t* pid, int* out_fd, int* in_fd,
                  std::string* error) {
  int in[2] = {-1, -1};
  if (in_fd != nullptr && pipe2(in, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  int out[2];
  *pid = forkWithPipe(out, error);
  if (*pid < 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  if (*pid == 0) {
    execCommand(argv, out[1], in[0]);
  }
  // Both sides set the group, so it is in place whichever runs first.
  setpgid(*pid, *pid);
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  *out_fd = out[0];
  if (in_fd != nullptr) {
    close(in[0]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    *in_fd = in[1];
  }
  return true;
}

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Reads the child's output until it closes or the time is up; false when the time ran out.
static bool collect(int fd, double deadline, std::string* output) {
  char buf[4096];
  for (;;) {
    double left = deadline - monotonicSeconds();
    if (left <= 0) {
      return false;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left * 1000) + 1) <= 0) {
      continue;
    }
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
      output->append(buf, n);
    } else if (n == 0 || errno != EAGAIN) {
      return true;
    }
  }
}

int runCaptured(const std::vector<std::string>& argv, double timeout_s, std::string* output) {
  pid_t pid;
  int out_fd;
  std::string error;
  if (!startCommand(argv, &pid, &out_fd, nullptr, &error)) {
    *output = error;
    return -1;
  }
  double deadline = monotonicSeconds() + timeout_s;
  bool ended = collect(out_fd, deadline, output);
  close(out_fd);
  int status = 0;
  // Its output can end before it does; it still gets no more than the time it was given.
  while (ended && waitpid(pid, &status, WNOHANG) == 0) {
    ended = monotonicSeconds() < deadline;
    usleep(10000);
  }
  if (!ended) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
