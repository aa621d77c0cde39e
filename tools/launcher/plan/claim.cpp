#include "claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

static std::string whoWeAre() {
  char host[256] = "?";
  gethostname(host, sizeof(host) - 1);
  time_t now = time(nullptr);
  char at[16];
  strftime(at, sizeof(at), "%H:%M:%S", localtime(&now));
  return "the test started by PID " + std::to_string(getpid()) + " on " + host + " at " + at;
}

// What the holder wrote; a holder that has not written yet is still a holder.
static std::string holderOf(int fd) {
  char text[512];
  ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
  std::string holder = n > 0 ? std::string(text, n) : "";
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) {
    holder.pop_back();
  }
  return holder.empty() ? "another test that is just starting" : holder;
}

// The name still leads to the file we locked: the last holder may have removed it between our
// open and our lock, and a lock on a removed file claims nothing.
static bool stillNamed(int fd, const std::string& path) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

bool claimDirectory(const std::string& dir, Claim& claim, std::string* error) {
  claim.path = dir + "/" + CLAIM_NAME;
  for (int attempt = 0; attempt < 10; attempt++) {
    int fd = open(claim.path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
      *error = "cannot claim " + dir + " for this test: " + claim.path + ": " + strerror(errno);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int lock_errno = errno;
      *error = lock_errno == EWOULDBLOCK
                   ? dir + " is in use by " + holderOf(fd)
                   : "cannot lock " + claim.path + ": " + strerror(lock_errno);
      close(fd);
      return false;
    }
    if (!stillNamed(fd, claim.path)) {
      close(fd);
      continue;
    }
    std::string me = whoWeAre() + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, me.data(), me.size(), 0) != ssize_t(me.size())) {
      *error = "cannot write " + claim.path + ": " + strerror(errno);
      unlink(claim.path.c_str());
      close(fd);
      return false;
    }
    claim.fd = fd;
    return true;
  }
  *error = "cannot claim " + dir + ": its claim file keeps changing";
  return false;
}

void releaseClaim(Claim& claim) {
  if (claim.fd < 0) {
    return;
  }
  // Removed while still locked: whoever opened it meanwhile finds it unnamed and tries again.
  unlink(claim.path.c_str());
  close(claim.fd);
  claim.fd = -1;
}
