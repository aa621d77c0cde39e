#include "accounting.h"

#include <algorithm>
#include <map>

std::string groupedNumber(unsigned long n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<size_t>(at), ",");
  }
  return digits;
}

static std::string placeName(const PlaceLook& look) {
  return look.path + (look.host.empty() ? "" : " on " + look.host);
}

// The last record the readers verified of each client; false if a reader gave no account.
static bool readersVerified(const std::vector<Process>& processes,
                            std::map<unsigned, unsigned>* verified) {
  for (const Process& p : processes) {
    if (p.role != Role::Reader) {
      continue;
    }
    if (!p.told_verified) {
      return false;
    }
    for (const auto& [client, seq] : p.verified) {
      (*verified)[client] = std::max((*verified)[client], seq);
    }
  }
  return true;
}

static std::string missingText(const Process& w, unsigned found, const PlaceLook& look,
                               bool name_place) {
  unsigned long wrote = static_cast<unsigned long>(w.last_written);
  std::string end =
      found == 0 ? "the logs hold none of its records" : "the logs end at " + groupedNumber(found);
  unsigned long missing = wrote - found;
  return "client " + std::to_string(w.client) + " (" + processName(w) + ") wrote records up to " +
         groupedNumber(wrote) + "; " + end + (name_place ? " through " + placeName(look) : "") +
         ": " + groupedNumber(missing) + " acknowledged record" + (missing == 1 ? " is" : "s are") +
         " missing";
}

std::vector<Finding> judgeAcknowledged(const std::vector<Process>& processes,
                                       const std::vector<PlaceLook>& looks) {
  std::map<unsigned, unsigned> verified;
  if (!readersVerified(processes, &verified)) {
    return {};
  }
  std::vector<Finding> found;
  for (const Process& w : processes) {
    if (w.role != Role::Writer || w.last_written <= 0) {
      continue;
    }
    // The place that holds the least of it speaks for the client.
    const PlaceLook* worst = nullptr;
    unsigned worst_seen = 0;
    for (const PlaceLook& look : looks) {
      if (!look.defect.empty() || look.partial || !look.error.empty()) {
        continue;
      }
      auto it = look.highest.find(w.client);
      unsigned seen = std::max(verified[w.client], it == look.highest.end() ? 0 : it->second);
      if (seen < w.last_written && (worst == nullptr || seen < worst_seen)) {
        worst = &look;
        worst_seen = seen;
      }
    }
    if (worst != nullptr) {
      found.push_back({"records_lost", missingText(w, worst_seen, *worst, looks.size() > 1)});
    }
  }
  return found;
}

static bool writerKilled(const std::vector<Process>& processes) {
  for (const Process& p : processes) {
    if (p.role == Role::Writer && (p.killed_by_launcher || p.exit.signalled)) {
      return true;
    }
  }
  return false;
}

// A log a reader already reported a defect in: the look finds the same damage again.
static bool reportedByReader(const std::vector<Process>& processes, unsigned log) {
  for (const Process& p : processes) {
    if (p.role == Role::Reader && p.diagnostics > 0 && p.last_checking == log) {
      return true;
    }
  }
  return false;
}

void judgeLooks(const std::vector<Process>& processes, const std::vector<PlaceLook>& looks,
                std::vector<Finding>& failures, std::vector<Finding>& warnings) {
  for (const PlaceLook& look : looks) {
    if (!look.error.empty()) {
      warnings.push_back(
          {"last_look_unread",
           "the last look " +
               std::string(looks.size() > 1 ? "through " + placeName(look) + " " : "") +
               "proves nothing of the records left: " + look.error});
    }
    if (look.defect.empty() ||
        (look.defect_log != 0 && reportedByReader(processes, look.defect_log))) {
      continue;
    }
    std::string text = look.defect + (looks.size() > 1 ? " (through " + placeName(look) + ")" : "");
    if (look.defect_log == 0 && look.last_log.cut_at_end && writerKilled(processes)) {
      warnings.push_back({"last_log_cut", text + " (a writer was killed)"});
    } else {
      failures.push_back({look.defect_log == 0 ? "last_log" : "last_look", text});
    }
  }
}
