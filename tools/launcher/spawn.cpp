#include "spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

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

std::vector<std::string> commandFor(const Options& opt, const std::string& host, char role,
                                    const std::string& path) {
  std::string role_arg(1, role);
  if (host.empty()) {
    return {opt.logtest, role_arg, path};
  }
  std::vector<std::string> words;
  std::istringstream in(opt.rsh);
  std::string word;
  while (in >> word) {
    words.push_back(replaceAll(word, "{host}", host));
  }
  words.push_back("exec " + shellQuote(opt.logtest) + " " + shellQuote(role_arg) + " " +
                  shellQuote(path));
  return words;
}

static void planRole(const Options& opt, const LogDir& dir, Role role, int count,
                     std::vector<Process>& out) {
  for (int i = 0; i < count; i++) {
    Process p;
    p.role = role;
    p.id = i + 1;
    p.path = dir.paths[i % dir.paths.size()];
    if (!opt.hosts.empty()) {
      p.host = opt.hosts[i % opt.hosts.size()];
    }
    p.argv = commandFor(opt, p.host, role == Role::Writer ? 'W' : 'R', p.path);
    out.push_back(p);
  }
}

std::vector<Process> planProcesses(const Options& opt, const LogDir& dir) {
  std::vector<Process> processes;
  planRole(opt, dir, Role::Writer, opt.writers, processes);
  planRole(opt, dir, Role::Reader, opt.readers, processes);
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
  std::vector<char*> args;
  for (const std::string& arg : p.argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  execvp(args[0], args.data());
  dprintf(STDERR_FILENO, "logtest-run: exec %s: %s\n", args[0], strerror(errno));
  _exit(127);
}

bool startProcess(Process& p, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + strerror(errno);
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
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
