#include "file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

std::string readFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string readTokenFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  char buf[128];
  ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  return n > 0 ? std::string(buf, n) : "";
}
