#include "last_look.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/log_format.h"
#include "log_dir.h"

static std::vector<unsigned> numberedLogs(const std::string& dir, std::string* error) {
  std::vector<unsigned> logs;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) {
    *error = "could not list " + dir + ": " + strerror(errno);
    return logs;
  }
  while (struct dirent* e = readdir(d)) {
    if (isNumberedLog(e->d_name) && strlen(e->d_name) <= 14) {
      unsigned long n = strtoul(e->d_name + 4, nullptr, 10);
      if (n > 0 && n <= 0x7fffffffUL) {
        logs.push_back(static_cast<unsigned>(n));
      }
    }
  }
  closedir(d);
  std::sort(logs.begin(), logs.end());
  return logs;
}

static void noteHighest(PlaceLook& look, const Sequences& seqs) {
  for (const auto& [client, seq] : seqs) {
    unsigned& highest = look.highest[client];
    highest = std::max(highest, static_cast<unsigned>(seq));
  }
}

// A log gone between the listing and the read is no defect: nobody prunes now, but a
// remote host's cleanup might.
// A file gone since the listing is the readers' retention at work; one that would not open
// for another reason (a server away: ENOTCONN, EIO) leaves the look without proof.
static bool readable(PlaceLook& look, const std::string& path, std::string* bytes, uint64_t* size) {
  errno = 0;
  if (readLogFile(path, bytes, size)) {
    return true;
  }
  if (errno != 0 && errno != ENOENT && look.error.empty()) {
    look.error = "could not read " + path + ": " + strerror(errno);
  }
  return false;
}

static bool lookAtNumbered(PlaceLook& look, const std::string& dir, unsigned log, Sequences& seqs) {
  std::string bytes;
  uint64_t size = 0;
  if (!readable(look, numberedLogPath(dir, log), &bytes, &size)) {
    seqs.clear();
    return true;
  }
  LastLogCheck check = checkLogBytes(bytes, NUMBERED_LOG_PREFIX + std::to_string(log), true, seqs);
  noteHighest(look, seqs);
  look.logs++;
  look.records += check.records;
  look.first = look.first == 0 ? log : look.first;
  look.last = log;
  if (!check.defect.empty()) {
    look.defect = check.defect;
    look.defect_log = log;
    return false;
  }
  return true;
}

PlaceLook lookAtLogs(const std::string& dir) {
  PlaceLook look;
  look.path = dir;
  std::vector<unsigned> logs = numberedLogs(dir, &look.error);
  if (logs.size() > MAX_LOOKED_LOGS) {
    logs.erase(logs.begin(), logs.end() - MAX_LOOKED_LOGS);
    look.partial = true;
  }
  Sequences seqs;
  for (size_t i = 0; i < logs.size(); i++) {
    // Across a gap in the numbers nothing is known of the clients' sequences.
    if (i > 0 && logs[i] != logs[i - 1] + 1) {
      seqs.clear();
    }
    if (!lookAtNumbered(look, dir, logs[i], seqs)) {
      return look;
    }
  }
  // last_log carries on from the last numbered log only if it is the one just before.
  std::string bytes;
  uint64_t size = 0;
  if (readable(look, dir + "/" + LAST_LOG_NAME, &bytes, &size)) {
    look.last_log = checkLogBytes(bytes, LAST_LOG_NAME, false, seqs);
    look.last_log.bytes = size;
    look.records += look.last_log.records;
    noteHighest(look, seqs);
    look.defect = look.last_log.defect;
  }
  return look;
}

Json lookToJson(const PlaceLook& look) {
  Json highest = Json::array();
  for (const auto& [client, seq] : look.highest) {
    highest.push_back({client, seq});
  }
  return {{"path", look.path},
          {"logs", {look.first, look.last}},
          {"looked", look.logs},
          {"partial", look.partial},
          {"records", look.records},
          {"last_log", {look.last_log.present, look.last_log.bytes, look.last_log.records}},
          {"defect", look.defect},
          {"defect_log", look.defect_log},
          {"error", look.error},
          {"cut_at_end", look.last_log.cut_at_end},
          {"highest", highest}};
}

PlaceLook lookFromJson(const Json& j) {
  PlaceLook look;
  look.path = j.at("path").get<std::string>();
  look.first = j.at("logs").at(0).get<unsigned>();
  look.last = j.at("logs").at(1).get<unsigned>();
  look.logs = j.at("looked").get<unsigned>();
  look.partial = j.at("partial").get<bool>();
  look.records = j.at("records").get<uint64_t>();
  look.last_log.present = j.at("last_log").at(0).get<bool>();
  look.last_log.bytes = j.at("last_log").at(1).get<uint64_t>();
  look.last_log.records = j.at("last_log").at(2).get<unsigned>();
  look.defect = j.at("defect").get<std::string>();
  look.defect_log = j.at("defect_log").get<unsigned>();
  look.error = j.value("error", "");
  if (look.defect_log == 0) {
    look.last_log.defect = look.defect;
  }
  look.last_log.cut_at_end = j.at("cut_at_end").get<bool>();
  for (const Json& h : j.at("highest")) {
    look.highest[h.at(0).get<unsigned>()] = h.at(1).get<unsigned>();
  }
  return look;
}
