#include "links.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "lines.h"
#include "spawn.h"

// Longest line kept whole; a longer one is split.
constexpr size_t MAX_LINE = 64 * 1024;

bool startLink(Link& link, double now, std::string* error) {
  if (!startCommand(link.argv, &link.pid, &link.out_fd, link.input ? &link.in_fd : nullptr,
                    error)) {
    return false;
  }
  link.started_s = now;
  return true;
}

std::vector<std::string> readLinkLines(Link& link) {
  std::vector<std::string> lines;
  char buf[16384];
  while (link.out_fd >= 0) {
    ssize_t n = read(link.out_fd, buf, sizeof(buf));
    if (n > 0) {
      link.partial.append(buf, n);
      takeLines(link.partial, MAX_LINE, lines);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      if (!link.partial.empty()) {
        lines.push_back(link.partial);
        link.partial.clear();
      }
      close(link.out_fd);
      link.out_fd = -1;
      link.closed = true;
    } else if (errno == EAGAIN) {
      break;
    }
  }
  return lines;
}

void sendCommand(Link& link, const Json& command) {
  if (link.in_fd < 0) {
    return;
  }
  std::string line = command.dump() + "\n";
  ssize_t n = write(link.in_fd, line.data(), line.size());
  if (n < 0 && errno == EPIPE) {
    close(link.in_fd);
    link.in_fd = -1;
  }
}

bool reapLink(Link& link) {
  if (link.reaped || link.pid <= 0) {
    return link.reaped;
  }
  int status = 0;
  pid_t got = waitpid(link.pid, &status, WNOHANG);
  if (got == link.pid || (got < 0 && errno == ECHILD)) {
    link.reaped = true;
    link.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return link.reaped;
}

void killLink(Link& link, int sig) {
  if (link.pid > 0 && !link.reaped && kill(-link.pid, sig) != 0) {
    kill(link.pid, sig);
  }
}
