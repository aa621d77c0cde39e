#include "children.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "spawn.h"

[[noreturn]] static void execChild(const Child& c, const std::string& logtest,
                                   const std::vector<std::string>& env, int out_fd) {
  setpgid(0, 0);
  signal(SIGPIPE, SIG_DFL);  // ignored in the agent; an ignored signal survives exec
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(out_fd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  for (const std::string& var : env) {
    putenv(const_cast<char*>(var.c_str()));  // the child's own copy, alive until exec
  }
  std::string role(1, c.role);
  execl(logtest.c_str(), logtest.c_str(), role.c_str(), c.path.c_str(), nullptr);
  dprintf(STDERR_FILENO, "logtest-run: exec %s: %s\n", logtest.c_str(), strerror(errno));
  _exit(127);
}

bool startChild(Child& c, const std::string& logtest, const std::vector<std::string>& env,
                std::string* error) {
  int fds[2];
  pid_t pid = forkWithPipe(fds, error);
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    execChild(c, logtest, env, fds[1]);
  }
  // Both sides set the group, so it is in place whichever runs first.
  setpgid(pid, pid);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  c.pid = pid;
  c.out_fd = fds[0];
  return true;
}

static double seconds(const struct timeval& tv) {
  return tv.tv_sec + tv.tv_usec / 1e6;
}

ExitInfo exitInfoOf(int wait_status, const struct rusage& usage) {
  ExitInfo e;
  e.signalled = WIFSIGNALED(wait_status);
  e.status = e.signalled ? 0 : WEXITSTATUS(wait_status);
  e.signal = e.signalled ? WTERMSIG(wait_status) : 0;
  e.user_s = seconds(usage.ru_utime);
  e.system_s = seconds(usage.ru_stime);
  e.rss_kb = usage.ru_maxrss;
  return e;
}

static Child* childWithPid(std::vector<Child>& children, pid_t pid) {
  for (Child& c : children) {
    if (c.pid == pid && !c.reaped) {
      return &c;
    }
  }
  return nullptr;
}

std::vector<Child*> reapChildren(std::vector<Child>& children, double now) {
  std::vector<Child*> ended;
  for (;;) {
    int status = 0;
    struct rusage usage {};
    pid_t pid = wait4(-1, &status, WNOHANG, &usage);
    if (pid <= 0) {
      return ended;
    }
    if (Child* c = childWithPid(children, pid)) {
      c->reaped = true;
      c->exit = exitInfoOf(status, usage);
      c->end_s = now;
      ended.push_back(c);
    }
  }
}

void signalChildren(std::vector<Child>& children, int sig) {
  for (Child& c : children) {
    if (!c.reaped && c.pid > 0) {
      c.killed = true;
      if (kill(-c.pid, sig) != 0) {
        kill(c.pid, sig);
      }
    }
  }
}
