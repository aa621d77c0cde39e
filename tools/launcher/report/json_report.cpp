#include "json_report.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>

#include "file_text.h"
#include "nemesis.h"
#include "status_line.h"

// Keys in the order the man page documents them.
using json = nlohmann::ordered_json;

// Three decimals are all a second or a rate needs, and diffs of two summaries stay readable.
static double rounded(double value) {
  return std::round(value * 1000) / 1000;
}

static json orNull(bool present, const json& value) {
  return present ? value : json(nullptr);
}

static std::string isoTime(time_t when) {
  char text[32];
  struct tm tm;
  gmtime_r(&when, &tm);
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

static json findings(const std::vector<Finding>& list) {
  json out = json::array();
  for (const Finding& f : list) {
    out.push_back({{"code", f.code}, {"text", f.text}});
  }
  return out;
}

static json notes(const std::vector<OutputNote>& kept, unsigned count) {
  json first = json::array();
  for (const OutputNote& n : kept) {
    first.push_back({{"process", n.process}, {"at_s", rounded(n.at_s)}, {"line", n.line}});
  }
  return {{"count", count}, {"first", first}};
}

static json config(const Options& opt) {
  return {{"writers", opt.writers},
          {"readers", opt.readers},
          {"duration_s", opt.duration},
          {"grace_s", opt.grace},
          {"stall_timeout_s", opt.stall_timeout},
          {"preflight", !opt.no_preflight},
          {"dirs", opt.dirs},
          {"hosts", opt.hosts},
          {"rsh", orNull(!opt.hosts.empty(), opt.rsh)},
          {"logtest", opt.logtest},
          {"keep", opt.keep},
          {"clean", opt.clean}};
}

static json systemInfo(const Report& r) {
  json mounts = json::array();
  for (const MountInfo& m : r.system.mounts) {
    mounts.push_back({{"path", m.path},
                      {"fs_type", orNull(!m.fs_type.empty(), m.fs_type)},
                      {"source", orNull(!m.fs_type.empty(), m.source)},
                      {"options", orNull(!m.fs_type.empty(), m.options)}});
  }
  return {{"host", r.system.host},
          {"kernel", r.system.kernel},
          {"command_line", r.command_line},
          {"mounts", mounts}};
}

static json process(const Process& p, const ProcessEnd& end, const RunState& run,
                    const std::string& logtest) {
  bool writer = p.role == Role::Writer;
  bool measured = p.reaped && !p.unreapable;
  json verified = nullptr;
  if (!writer) {
    verified = verifiedUpTo(run.progress.readers[p.id - 1]);
  }
  return {{"name", processName(p)},
          {"role", roleName(p.role)},
          {"id", p.id},
          {"host", orNull(!p.host.empty(), p.host)},
          {"path", p.path},
          {"pid", p.pid},
          {"argv", {logtest, p.role == Role::Writer ? "W" : "R", p.path}},
          {"result", end.result},
          {"exit_status", orNull(end.exit_status >= 0, end.exit_status)},
          {"signal", orNull(end.signal != 0, end.signal)},
          {"ended_early", p.ended_early},
          {"killed_by_launcher", p.killed_by_launcher},
          {"may_still_run", end.may_still_run},
          {"start_s", orNull(p.start_s >= 0, rounded(p.start_s))},
          {"end_s", orNull(p.reaped, rounded(p.end_s))},
          {"lost", p.lost},
          {"last_record_written", orNull(p.last_written >= 0, p.last_written)},
          {"cpu_user_s", orNull(measured, rounded(p.exit.user_s))},
          {"cpu_system_s", orNull(measured, rounded(p.exit.system_s))},
          {"max_rss_kb", orNull(measured, p.exit.rss_kb)},
          {"logs_renamed", orNull(writer, p.logs_renamed)},
          {"logs_verified", verified},
          {"retry_notices", p.retry_notices},
          {"diagnostics", p.diagnostics}};
}

static json hosts(const RunState& run) {
  json out = json::array();
  for (const HostRecord& h : run.hosts) {
    out.push_back({{"name", orNull(!h.name.empty(), h.name)},
                   {"command", h.command},
                   {"agent_pid", h.agent_pid},
                   {"up_s", orNull(h.hello_s >= 0, rounded(h.hello_s))},
                   {"lost", h.lost},
                   {"lost_s", orNull(h.lost, rounded(h.lost_s))},
                   {"lost_why", orNull(h.lost, h.lost_why)},
                   {"shell_lines", h.shell_lines}});
  }
  return out;
}

static json totals(const RunState& run) {
  double seconds = testedSeconds(run);
  Rates r = ratesFor(run.sizes.total, seconds);
  return {{"logs_written", logsWritten(run.sizes)},
          {"logs_verified", slowestReaderVerified(run)},
          {"bytes", run.sizes.total},
          {"logs_sized_by_estimate", run.sizes.estimated_logs},
          {"seconds", rounded(seconds)},
          {"mb_per_s", rounded(r.mb_per_s)},
          {"records_estimated", static_cast<uint64_t>(r.records)},
          {"records_per_s_estimated", rounded(r.records_per_s)}};
}

static json lastLog(const LastLogCheck& check) {
  return {{"present", check.present},
          {"bytes", check.bytes},
          {"records_verified", check.records},
          {"defect", orNull(!check.defect.empty(), check.defect)}};
}

static json lastLook(const std::vector<PlaceLook>& looks) {
  json places = json::array();
  for (const PlaceLook& look : looks) {
    places.push_back({{"host", orNull(!look.host.empty(), look.host)},
                      {"path", look.path},
                      {"first_log", orNull(look.logs > 0, look.first)},
                      {"last_log", orNull(look.logs > 0, look.last)},
                      {"logs_checked", look.logs},
                      {"partial", look.partial},
                      {"records_verified", look.records},
                      {"defect", orNull(!look.defect.empty(), look.defect)},
                      {"error", orNull(!look.error.empty(), look.error)}});
  }
  return places;
}

static json explanation(const Explanation& e) {
  if (!e.found) {
    return nullptr;
  }
  return {{"process", e.process},
          {"line", e.line},
          {"log", e.log},
          {"record", e.record},
          {"offset", orNull(e.offset != UNKNOWN_OFFSET, e.offset)},
          {"dump", e.dump},
          {"hex", e.hex},
          {"cause", orNull(!e.cause.empty(), e.cause)},
          {"note", orNull(!e.note.empty(), e.note)},
          {"where", orNull(!e.where.empty(), e.where)}};
}

static json injection(const Injection& in) {
  if (in.spec.empty()) {
    return nullptr;
  }
  bool reported = in.report.writers > 0;
  return {{"fault", in.spec},
          {"writers_reporting", in.report.writers},
          {"records", orNull(reported, in.report.records)},
          {"fired", orNull(reported, in.report.fired)}};
}

static json nemesis(const RunState& run) {
  if (run.nemesis.empty() && run.nemesis_actions.empty()) {
    return nullptr;
  }
  json actions = json::array();
  for (const NemesisAction& a : run.nemesis_actions) {
    actions.push_back({{"start_s", rounded(a.start_s)},
                       {"hold_s", orNull(a.seconds > 0, a.seconds)},
                       {"end_s", orNull(a.end_s >= 0, rounded(a.end_s))},
                       {"status", orNull(a.status >= 0, a.status)}});
  }
  std::string before = nemesisBeforeDefect(run);
  json at = json::array();
  for (const NemesisSlot& s : run.nemesis_at) {
    at.push_back({{"start_s", s.start_s}, {"hold_s", orNull(s.seconds > 0, s.seconds)}});
  }
  return {{"command", run.nemesis},
          {"every_s", orNull(run.nemesis_at.empty(), run.nemesis_every)},
          {"at", orNull(!run.nemesis_at.empty(), at)},
          {"actions", actions},
          {"before_first_defect", orNull(!before.empty(), before)}};
}

static json timeline(const RunState& run) {
  json points = json::array();
  for (const TimelinePoint& t : run.timeline) {
    points.push_back({{"t", t.t},
                      {"bytes", t.bytes},
                      {"logs_written", t.logs_written},
                      {"logs_verified", t.logs_verified},
                      {"renamed_by_host", t.renamed_by_host},
                      {"live_by_host", t.live_by_host},
                      {"verified_by_reader", t.verified_by_reader}});
  }
  return points;
}

// The latest logs: when each was renamed and when each reader began it; the difference is how
// far that reader ran behind the writers.
static json logTimes(const Progress& progress) {
  std::map<unsigned, json> logs;
  for (const auto& [log, rename] : progress.renames) {
    logs[log] = {log, rounded(rename.at_s), json::array(), rename.writer};
  }
  for (const auto& [log, begun] : progress.begun) {
    json& entry = logs[log];
    if (entry.is_null()) {
      entry = {log, nullptr, json::array(), nullptr};
    }
    for (double at : begun) {
      entry[2].push_back(orNull(at >= 0, rounded(at)));
    }
  }
  json out = json::array();
  for (auto& [log, entry] : logs) {
    out.push_back(std::move(entry));
  }
  return out;
}

// What a picture marks on its time axis.
static json events(const Report& r) {
  json out = json::array();
  if (!r.run.diagnostics.empty()) {
    out.push_back({{"at_s", rounded(r.run.diagnostics[0].at_s)}, {"event", "first_diagnostic"}});
  }
  if (r.run.stop_s > 0) {
    out.push_back({{"at_s", rounded(r.run.stop_s)}, {"event", "stop"}});
  }
  for (const HostRecord& h : r.run.hosts) {
    if (h.lost) {
      out.push_back({{"at_s", rounded(h.lost_s)}, {"event", "host_lost"}});
    }
  }
  for (const RunEvent& e : r.run.events) {
    out.push_back({{"at_s", rounded(e.at_s)}, {"event", e.event}});
  }
  std::stable_sort(out.begin(), out.end(), [](const json& a, const json& b) {
    return a["at_s"].get<double>() < b["at_s"].get<double>();
  });
  out.push_back({{"at_s", rounded(r.run.end_s)}, {"event", "end"}});
  return out;
}

// The document as text: two-space indents, bytes that are not UTF-8 replaced by U+FFFD.
std::string jsonReport(const Report& r, const Options& opt) {
  json processes = json::array();
  for (size_t i = 0; i < r.processes.size(); i++) {
    processes.push_back(process(r.processes[i], r.verdict.ends[i], r.run, opt.logtest));
  }
  json doc = {
      {"version", JSON_SUMMARY_VERSION},
      {"tool", "logtest-run"},
      {"tool_version", r.system.version},
      {"started", isoTime(r.run.started)},
      {"system", systemInfo(r)},
      {"config", config(opt)},
      {"verdict", verdictName(r.verdict.kind)},
      {"exit_status", exitStatusFor(r.verdict)},
      {"stop_reason", stopReasonName(r.run.stop_reason)},
      {"marker_raised_by_launcher", r.run.launcher_raised_marker},
      {"stop_s", rounded(r.run.stop_s)},
      {"elapsed_s", rounded(r.run.end_s)},
      {"failures", findings(r.verdict.failures)},
      {"warnings", findings(r.verdict.warnings)},
      {"hosts_lost", findings(r.verdict.lost)},
      {"diagnostics", notes(r.run.diagnostics, r.run.diagnostic_count)},
      {"explanation", explanation(r.explanation)},
      {"injection", injection(r.injection)},
      {"retry_notices", notes(r.run.retry_notices, r.run.retry_notice_count)},
      {"directory",
       {{"path", r.dir.paths[0]},
        {"paths", r.dir.paths},
        {"temporary", r.dir.temporary},
        {"kept", r.dir_kept}}},
      {"hosts", hosts(r.run)},
      {"processes", processes},
      {"totals", totals(r.run)},
      {"last_log", lastLog(r.run.looks.empty() ? LastLogCheck{} : r.run.looks[0].last_log)},
      {"last_look", lastLook(r.run.looks)},
      {"timeline", timeline(r.run)},
      {"log_times", logTimes(r.run.progress)},
      {"events", events(r)},
      {"nemesis", nemesis(r.run)},
  };
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

static std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

bool checkOutputTarget(const std::string& option, const std::string& path,
                       const std::vector<std::string>& dirs, std::string* error) {
  std::string parent = realPath(directoryOf(path));
  if (parent.empty() || access(parent.c_str(), W_OK | X_OK) != 0) {
    *error = option + " " + path + ": " + strerror(errno) + " (its directory must take a new file)";
    return false;
  }
  for (const std::string& dir : dirs) {
    std::string inside = realPath(dir);
    if (!inside.empty() && (parent == inside || parent.rfind(inside + "/", 0) == 0)) {
      *error = option + " " + path + " lies in the directory under test " + dir +
               ": put the summary elsewhere";
      return false;
    }
  }
  return true;
}
