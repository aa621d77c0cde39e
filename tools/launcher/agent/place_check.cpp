#include "place_check.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "claim.h"
#include "file_text.h"

// On a read-write descriptor: NFS grants an exclusive flock only on one.
static std::string tryLock(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    return std::string("open: ") + strerror(errno);
  }
  std::string result = "free";
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    result = errno == EWOULDBLOCK ? "held" : std::string("flock: ") + strerror(errno);
  }
  close(fd);
  return result;
}

PlaceCheck checkPlace(const std::string& path, const std::string& token_name) {
  PlaceCheck check;
  check.path = path;
  check.token = readTokenFile(path + "/" + token_name);
  check.lock = tryLock(path + "/" + CLAIM_NAME);
  return check;
}
