#include "signal_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

static int pipe_fds[2] = {-1, -1};

static void onSignal(int sig) {
  int saved_errno = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  (void)!write(pipe_fds[1], &byte, 1);
  errno = saved_errno;
}

int signalPipe(std::initializer_list<int> signals) {
  if (pipe_fds[0] < 0) {
    signal(SIGPIPE, SIG_IGN);
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      return -1;
    }
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : signals) {
    sigaction(sig, &sa, nullptr);
  }
  return pipe_fds[0];
}

int nextSignal(int fd) {
  unsigned char sig;
  return read(fd, &sig, 1) == 1 ? sig : 0;
}
