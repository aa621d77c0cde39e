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
#include <sstream>

#include "output_lines.h"

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

static std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> remoteCommand(const std::string& rsh, const std::string& host,
                                       const std::string& command_line) {
  std::vector<std::string> words;
  std::istringstream in(rsh);
  std::string word;
  while (in >> word) {
    words.push_back(replaceAll(word, "{host}", host));
  }
  words.push_back(command_line);
  return words;
}

std::vector<std::string> commandFor(const Launch& launch, const std::string& host, char role,
                                    const std::string& path, const std::vector<std::string>& env) {
  std::string role_arg(1, role);
  if (host.empty()) {
    return {launch.logtest, role_arg, path};
  }
  // The echo tells the launcher that the remote side is up: readers are waited for.
  std::string line = "echo " + shellQuote(REMOTE_STARTED_LINE) + "; exec ";
  if (!env.empty()) {
    line += "env ";
    for (const std::string& var : env) {
      line += shellQuote(var) + " ";
    }
  }
  return remoteCommand(
      launch.rsh, host,
      line + shellQuote(launch.logtest) + " " + shellQuote(role_arg) + " " + shellQuote(path));
}

std::string remoteCommandLine(const Process& p) {
  return p.host.empty() || p.argv.empty() ? "" : p.argv.back();
}

static void planRole(Role role, int count, const std::vector<std::string>& paths,
                     const std::vector<std::string>& hosts, const Launch& launch,
                     std::vector<Process>& out) {
  for (int i = 0; i < count; i++) {
    Process p;
    p.role = role;
    p.id = i + 1;
    p.path = paths[i % paths.size()];
    if (!hosts.empty()) {
      p.host = hosts[i % hosts.size()];
    }
    if (role == Role::Writer) {
      p.env = launch.writer_env;
    }
    p.argv = commandFor(launch, p.host, role == Role::Writer ? 'W' : 'R', p.path, p.env);
    out.push_back(p);
  }
}

std::vector<Process> planProcesses(int writers, int readers, const std::vector<std::string>& paths,
                                   const std::vector<std::string>& hosts, const Launch& launch) {
  std::vector<Process> processes;
  planRole(Role::Writer, writers, paths, hosts, launch, processes);
  planRole(Role::Reader, readers, paths, hosts, launch, processes);
  return processes;
}

[[noreturn]] static void execChild(const Process& p, int out_fd) {
  setpgid(0, 0);
  signal(SIGPIPE, SIG_DFL);  // ignored in the launcher; an ignored signal survives exec
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(out_fd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  // A remote process gets its variables in its command line, not its rsh client.
  for (size_t i = 0; p.host.empty() && i < p.env.size(); i++) {
    putenv(const_cast<char*>(p.env[i].c_str()));  // the child's own copy, alive until exec
  }
  std::vector<char*> args;
  for (const std::string& arg : p.argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  execvp(args[0], args.data());
  dprintf(STDERR_FILENO, "logtest-run: exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

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

bool startProcess(Process& p, std::string* error) {
  int fds[2];
  pid_t pid = forkWithPipe(fds, error);
  if (pid < 0) {
    return false;
  }
  if (pid == 0) {
    execChild(p, fds[1]);
  }
  // Both sides set the group, so it is in place whichever runs first.
  setpgid(pid, pid);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  p.pid = pid;
  p.out_fd = fds[0];
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
  Process p;
  p.argv = argv;
  std::string error;
  if (!startProcess(p, &error)) {
    *output = error;
    return -1;
  }
  double deadline = monotonicSeconds() + timeout_s;
  bool ended = collect(p.out_fd, deadline, output);
  close(p.out_fd);
  int status = 0;
  // Its output can end before it does; it still gets no more than the time it was given.
  while (ended && waitpid(p.pid, &status, WNOHANG) == 0) {
    ended = monotonicSeconds() < deadline;
    usleep(10000);
  }
  if (!ended) {
    kill(-p.pid, SIGKILL);
    waitpid(p.pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
