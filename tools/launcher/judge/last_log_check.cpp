#include "last_log_check.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/log_format.h"

namespace {

// The largest last_log writers can leave: a data record appended at LOG_SIZE_LIMIT, then a
// terminator.
constexpr uint64_t MAX_LOG_BYTES = LOG_SIZE_LIMIT + 2 * sizeof(LogRecordHeader) + MAX_PAYLOAD_LEN;

struct Walk {
  const std::string& bytes;
  const std::string& name;
  bool numbered;
  Sequences& last_seq;
  uint32_t offset = 0;  // of the header at hand
  int record = 0;
  LastLogCheck result = {};
};

std::string where(const Walk& w) {
  return " at offset " + std::to_string(w.offset) + " in log size " +
         std::to_string(w.bytes.size()) + ", record = " + std::to_string(w.record);
}

bool fail(Walk& w, const std::string& text, bool cut = false) {
  w.result.defect = w.name + ": " + text;
  w.result.cut_at_end = cut;
  return false;
}

bool digestMatches(const LogRecordHeader& h, const char* payload) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(payload, h.dataLen, digest, &len, EVP_md5(), nullptr);
  return len == sizeof(h.md5) && memcmp(digest, h.md5, sizeof(h.md5)) == 0;
}

bool checkSequence(Walk& w, const LogRecordHeader& h) {
  if (h.clientID == 0) {
    return fail(w, "Invalid client ID 0" + where(w));
  }
  auto it = w.last_seq.find(h.clientID);
  // A client not seen before carries on from logs no longer here: any number will do.
  if (it != w.last_seq.end() && h.seqNo != it->second + 1) {
    return fail(w, "Unexpected sequence numer for client ID " + std::to_string(h.clientID) +
                       ", expected: " + std::to_string(it->second + 1) +
                       " found: " + std::to_string(h.seqNo) + where(w));
  }
  w.last_seq[h.clientID] = h.seqNo;
  return true;
}

// One record at w.offset; false at the first defect.
bool checkRecord(Walk& w) {
  uint32_t remaining = static_cast<uint32_t>(w.bytes.size()) - w.offset;
  if (remaining < sizeof(LogRecordHeader)) {
    return fail(w,
                "Unexpected EOF, record = " + std::to_string(w.record) + ", size = " +
                    std::to_string(remaining) + ", offset = " + std::to_string(w.offset),
                true);
  }
  LogRecordHeader h;
  memcpy(&h, w.bytes.data() + w.offset, sizeof(h));
  remaining -= sizeof(h);
  bool terminator = h.magic == 0 && h.dataLen == 0;
  if (terminator && remaining == 0 && h.offset == w.offset) {
    w.result.terminated = true;
    return true;
  }
  if (terminator && w.numbered) {
    return fail(w, "Error: Data found beyond last record (" + std::to_string(w.record) +
                       "), record = " + std::to_string(w.record + 1) +
                       ", size = " + std::to_string(remaining) +
                       ", offset = " + std::to_string(w.offset + sizeof(h)));
  }
  if (h.magic != RECORD_MAGIC) {
    return fail(w, "Bad header" + where(w));
  }
  if (h.offset != w.offset) {
    return fail(w, "Unexpected record offset, record = " + std::to_string(w.record) +
                       ", offset = " + std::to_string(w.offset) +
                       ", expected offset = " + std::to_string(h.offset));
  }
  if (h.dataLen == 0 || h.dataLen > PAYLOAD_BUFFER_SIZE) {
    return fail(w, "Record too long, dataLen = " + std::to_string(h.dataLen) + where(w));
  }
  if (h.dataLen > remaining) {
    return fail(w, "Unexpected EOF, missing data" + where(w), true);
  }
  if (!checkSequence(w, h)) {
    return false;
  }
  if (!digestMatches(h, w.bytes.data() + w.offset + sizeof(h))) {
    return fail(w, "Cheksum failed for client ID " + std::to_string(h.clientID) + where(w));
  }
  w.result.records++;
  w.offset += sizeof(h) + h.dataLen;
  return true;
}

}  // namespace

LastLogCheck checkLogBytes(const std::string& bytes, const std::string& name, bool numbered,
                           Sequences& seqs) {
  Walk w{bytes, name, numbered, seqs};
  w.result.present = true;
  w.result.bytes = bytes.size();
  if (bytes.size() > MAX_LOG_BYTES) {
    fail(w, "more than the " + std::to_string(MAX_LOG_BYTES) +
                " bytes any writer leaves: an append went past the size limit, so the size a "
                "writer saw under the lock was stale");
    return w.result;
  }
  while (w.offset < bytes.size()) {
    w.record++;
    uint32_t before = w.offset;
    if (!checkRecord(w) || w.offset == before) {
      break;  // a defect, or the closing terminator
    }
  }
  // Whole records up to the end, and no terminator after them: the reader's words for it.
  if (numbered && w.result.defect.empty() && !w.result.terminated) {
    fail(w, "Small log file, size = " + std::to_string(bytes.size()) +
                ", min size = " + std::to_string(LOG_SIZE_LIMIT));
  }
  return w.result;
}

LastLogCheck checkLastLogBytes(const std::string& bytes) {
  Sequences seqs;
  return checkLogBytes(bytes, LAST_LOG_NAME, false, seqs);
}

bool readLogFile(const std::string& path, std::string* bytes, uint64_t* size) {
  // O_NONBLOCK: a FIFO planted under a log's name must not hold the launcher.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  // One byte past the largest sound log is enough to know it is too large.
  bytes->assign(MAX_LOG_BYTES + 1, '\0');
  size_t got = 0;
  for (ssize_t n;
       got < bytes->size() && (n = read(fd, &(*bytes)[got], bytes->size() - got)) != 0;) {
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  *size = static_cast<uint64_t>(st.st_size);
  close(fd);
  return true;
}

LastLogCheck checkLastLog(const std::string& path) {
  std::string bytes;
  uint64_t size = 0;
  if (!readLogFile(path, &bytes, &size)) {
    return {};
  }
  LastLogCheck check = checkLastLogBytes(bytes);
  check.bytes = size;
  return check;
}
