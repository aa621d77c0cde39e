#include "output_lines.h"

#include <cstdlib>
#include <cstring>

#include "control/log_format.h"
#include "log_dir.h"

// Digits only, the whole of text, and a value a log number can take.
static bool parseNumber(const std::string& text, unsigned* n) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  unsigned long value = strtoul(text.c_str(), nullptr, 10);
  if (value > 0x7fffffffUL) {
    return false;
  }
  *n = static_cast<unsigned>(value);
  return true;
}

static bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// "Log rename %s/log.%d by writer %d": the path may hold blanks, so split at the last
// " by writer ".
static bool parseRename(const std::string& line, unsigned* n) {
  const char* prefix = "Log rename ";
  size_t by = line.rfind(" by writer ");
  if (!startsWith(line, prefix) || by == std::string::npos || by < strlen(prefix)) {
    return false;
  }
  unsigned writer;
  if (!parseNumber(line.substr(by + strlen(" by writer ")), &writer)) {
    return false;
  }
  std::string path = line.substr(0, by);
  std::string tail = std::string("/") + NUMBERED_LOG_PREFIX;
  size_t at = path.rfind(tail);
  return at != std::string::npos && parseNumber(path.substr(at + tail.size()), n);
}

// "Rechecking for log terminator record, cnt = %d." or "Partial read, retrying."
static bool isRetryNotice(const std::string& line) {
  const char* prefix = "Rechecking for log terminator record, cnt = ";
  unsigned count;
  if (startsWith(line, prefix) && line.back() == '.') {
    return parseNumber(line.substr(strlen(prefix), line.size() - strlen(prefix) - 1), &count);
  }
  return line == "Partial read, retrying.";
}

// "Last record written: %d by writer %d"
static bool parseLastWritten(const std::string& line, OutputLine& out) {
  const char* prefix = "Last record written: ";
  size_t by = line.find(" by writer ");
  return startsWith(line, prefix) && by != std::string::npos &&
         parseNumber(line.substr(strlen(prefix), by - strlen(prefix)), &out.number) &&
         parseNumber(line.substr(by + strlen(" by writer ")), &out.writer);
}

// "Last records verified: 4424 by writer 1, 4116 by writer 2", or ": none".
static bool parseLastVerified(const std::string& line, OutputLine& out) {
  const char* prefix = "Last records verified: ";
  if (!startsWith(line, prefix)) {
    return false;
  }
  std::string rest = line.substr(strlen(prefix));
  if (rest == "none") {
    return true;
  }
  for (size_t at = 0; at <= rest.size();) {
    size_t end = rest.find(", ", at);
    std::string item = rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
    size_t by = item.find(" by writer ");
    unsigned seq, client;
    if (by == std::string::npos || !parseNumber(item.substr(0, by), &seq) ||
        !parseNumber(item.substr(by + strlen(" by writer ")), &client)) {
      return false;
    }
    out.verified[client] = seq;
    at = end == std::string::npos ? rest.size() + 1 : end + 2;
  }
  return true;
}

OutputLine classifyLine(const std::string& line) {
  OutputLine out;
  if (line == "Done!") {
    out.kind = LineKind::Done;
  } else if (isRetryNotice(line)) {
    out.kind = LineKind::RetryNotice;
  } else if (startsWith(line, "Checking log ") &&
             parseNumber(line.substr(strlen("Checking log ")), &out.number)) {
    out.kind = LineKind::CheckingLog;
  } else if (parseRename(line, &out.number)) {
    out.kind = LineKind::LogRenamed;
  } else if (parseLastWritten(line, out)) {
    out.kind = LineKind::LastWritten;
  } else if (parseLastVerified(line, out)) {
    out.kind = LineKind::LastVerified;
  } else {
    out = OutputLine{};  // a near miss is a diagnostic like any other line
  }
  return out;
}
