// Once every process has ended, the launcher looks at what is left of the test through every
// path: each numbered log still on disk and last_log, checked as a reader checks them, each
// client's sequence running on from one log to the next and into last_log. Damage that came
// after the readers had moved on (a page written back late) shows here, and so does each
// client's last record: the writers' promises are held against it.
#pragma once

#include <map>
#include <string>

#include "last_log_check.h"
#include "protocol.h"

// More numbered logs than this (readers that stopped early leave them all) are not all read:
// the newest are, and the look says it is partial.
constexpr unsigned MAX_LOOKED_LOGS = 1000;

struct PlaceLook {
  std::string host;  // "" for this host
  std::string path;
  unsigned first = 0, last = 0;  // the numbered logs looked at; 0 when none
  unsigned logs = 0;
  bool partial = false;     // older numbered logs were left unread
  std::string error;        // the directory or a log could not be read: the look proves nothing
  uint64_t records = 0;     // data records found sound
  LastLogCheck last_log;    // last_log's own part
  std::string defect;       // the first, "log.17: Cheksum failed ..."; empty when sound
  unsigned defect_log = 0;  // its numbered log; 0 when in last_log
  std::map<unsigned, unsigned> highest;  // the last record found of each client ID
};

PlaceLook lookAtLogs(const std::string& dir);

// For the agents' answer, and back.
Json lookToJson(const PlaceLook& look);
PlaceLook lookFromJson(const Json& j);
