#include "lines.h"

void takeLines(std::string& buffer, size_t max_line, std::vector<std::string>& lines) {
  size_t start = 0;
  for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(buffer.substr(start, nl - start));
  }
  buffer.erase(0, start);
  if (buffer.size() > max_line) {
    lines.push_back(buffer);
    buffer.clear();
  }
}
