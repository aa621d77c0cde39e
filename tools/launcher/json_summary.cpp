#include "json_summary.h"

#include <cstdint>
#include <ctime>
#include <utility>

#include "status_line.h"

// Length of the well-formed UTF-8 sequence at text[i], or 0: no overlong forms, no
// surrogates, nothing above U+10FFFF.
static size_t utf8Length(const std::string& text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint8_t c = byte(i);
  size_t n = c < 0x80                 ? 1
             : c >= 0xc2 && c <= 0xdf ? 2
             : c >= 0xe0 && c <= 0xef ? 3
             : c >= 0xf0 && c <= 0xf4 ? 4
                                      : 0;
  if (n == 0 || i + n > text.size()) {
    return 0;
  }
  for (size_t k = i + 1; k < i + n; k++) {
    if ((byte(k) & 0xc0) != 0x80) {
      return 0;
    }
  }
  uint8_t second = n > 1 ? byte(i + 1) : 0;
  bool bad = (c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
             (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f);
  return bad ? 0 : n;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    size_t n = utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      i++;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      i++;
    } else if (c < 0x20) {
      char esc[8];
      snprintf(esc, sizeof(esc), "\\u%04x", c);
      out += esc;
      i++;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out + "\"";
}

// Values are rendered to text first; objects and arrays only arrange them.
using Fields = std::vector<std::pair<std::string, std::string>>;

static std::string object(const Fields& fields, const std::string& indent = "") {
  std::string inner = indent + "  ";
  std::string out = "{";
  for (size_t i = 0; i < fields.size(); i++) {
    out += (i == 0 ? "\n" : ",\n") + inner + jsonString(fields[i].first) + ": " + fields[i].second;
  }
  return out + "\n" + indent + "}";
}

static std::string array(const std::vector<std::string>& items, const std::string& indent = "") {
  if (items.empty()) {
    return "[]";
  }
  std::string out = "[";
  for (size_t i = 0; i < items.size(); i++) {
    out += (i == 0 ? "\n" : ",\n") + indent + "  " + items[i];
  }
  return out + "\n" + indent + "]";
}

static std::string strings(const std::vector<std::string>& items, const std::string& indent) {
  std::vector<std::string> quoted;
  for (const std::string& item : items) {
    quoted.push_back(jsonString(item));
  }
  return array(quoted, indent);
}

static std::string number(double value) {
  char text[64];
  snprintf(text, sizeof(text), "%.3f", value);
  return text;
}

static std::string boolean(bool value) {
  return value ? "true" : "false";
}

static std::string isoTime(time_t when) {
  char text[32];
  struct tm tm;
  gmtime_r(&when, &tm);
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return jsonString(text);
}

static std::string config(const Options& opt) {
  return object({{"writers", std::to_string(opt.writers)},
                 {"readers", std::to_string(opt.readers)},
                 {"duration_s", std::to_string(opt.duration)},
                 {"grace_s", std::to_string(opt.grace)},
                 {"dirs", strings(opt.dirs, "    ")},
                 {"hosts", strings(opt.hosts, "    ")},
                 {"rsh", opt.hosts.empty() ? "null" : jsonString(opt.rsh)},
                 {"logtest", jsonString(opt.logtest)},
                 {"keep", boolean(opt.keep)},
                 {"clean", boolean(opt.clean)}},
                "  ");
}

static Fields endFields(const Process& p, const RunState& run) {
  bool exited = p.reaped && WIFEXITED(p.wait_status);
  bool signalled = p.reaped && WIFSIGNALED(p.wait_status);
  return {{"result", jsonString(processResult(p, run))},
          {"exit_status", exited ? std::to_string(WEXITSTATUS(p.wait_status)) : "null"},
          {"signal", signalled ? std::to_string(WTERMSIG(p.wait_status)) : "null"},
          {"ended_early", boolean(p.ended_early)},
          {"killed_by_launcher", boolean(p.killed_by_launcher)}};
}

// Usage of a remote process would be that of its rsh client: null.
static Fields usageFields(const Process& p) {
  bool local = p.host.empty() && p.reaped;
  const struct rusage& u = p.usage;
  return {{"cpu_user_s", local ? number(u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6) : "null"},
          {"cpu_system_s", local ? number(u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6) : "null"},
          {"max_rss_kb", local ? std::to_string(u.ru_maxrss) : "null"}};
}

static std::string process(const Process& p, const RunState& run) {
  bool writer = p.role == Role::Writer;
  Fields fields = {
      {"name", jsonString(processName(p))}, {"role", jsonString(roleName(p.role))},
      {"id", std::to_string(p.id)},         {"host", p.host.empty() ? "null" : jsonString(p.host)},
      {"path", jsonString(p.path)},         {"pid", std::to_string(p.pid)},
      {"argv", strings(p.argv, "      ")}};
  for (auto& f : endFields(p, run)) {
    fields.push_back(f);
  }
  for (auto& f : usageFields(p)) {
    fields.push_back(f);
  }
  fields.push_back({"logs_renamed", writer ? std::to_string(p.logs_renamed) : "null"});
  fields.push_back({"logs_verified", writer ? "null" : std::to_string(logsVerified(p))});
  fields.push_back({"retry_notices", std::to_string(p.retry_notices)});
  fields.push_back({"diagnostics", std::to_string(p.diagnostics)});
  return object(fields, "    ");
}

static std::string totals(const std::vector<Process>& processes, const RunState& run) {
  double seconds = measuredSeconds(run);
  Rates r = ratesFor(run.sizes.total, seconds);
  return object({{"logs_written", std::to_string(logsWritten(run.sizes))},
                 {"logs_verified", std::to_string(slowestReaderVerified(processes))},
                 {"bytes", std::to_string(run.sizes.total)},
                 {"logs_sized_by_estimate", std::to_string(run.sizes.estimated_logs)},
                 {"seconds", number(seconds)},
                 {"mb_per_s", number(r.mb_per_s)},
                 {"records_estimated", std::to_string(static_cast<uint64_t>(r.records))},
                 {"records_per_s_estimated", number(r.records_per_s)}},
                "  ");
}

static std::string lines(const std::vector<Diagnostic>& kept, unsigned count) {
  std::vector<std::string> lines;
  for (const Diagnostic& d : kept) {
    lines.push_back("{\"process\": " + jsonString(d.process) + ", \"at_s\": " + number(d.at_s) +
                    ", \"line\": " + jsonString(d.line) + "}");
  }
  return object({{"count", std::to_string(count)}, {"first", array(lines, "    ")}}, "  ");
}

static std::string timeline(const RunState& run) {
  std::vector<std::string> points;
  for (const TimelinePoint& t : run.timeline) {
    points.push_back("{\"t\": " + std::to_string(t.t) + ", \"bytes\": " + std::to_string(t.bytes) +
                     ", \"logs_written\": " + std::to_string(t.logs_written) +
                     ", \"logs_verified\": " + std::to_string(t.logs_verified) + "}");
  }
  return array(points, "  ");
}

bool writeJsonSummary(FILE* out, const Options& opt, const LogDir& dir,
                      const std::vector<Process>& processes, const RunState& run,
                      const Outcome& outcome) {
  std::vector<std::string> procs;
  for (const Process& p : processes) {
    procs.push_back(process(p, run));
  }
  bool pass = outcome.failures.empty();
  std::string doc = object({
      {"version", std::to_string(JSON_SUMMARY_VERSION)},
      {"tool", jsonString("logtest-run")},
      {"started", isoTime(run.started)},
      {"config", config(opt)},
      {"verdict", jsonString(pass ? "PASS" : "FAIL")},
      {"exit_status", std::to_string(pass ? EXIT_PASS : EXIT_FAIL)},
      {"stop_reason", jsonString(stopReasonName(run.stop_reason))},
      {"marker_raised_by_launcher", boolean(run.launcher_raised_marker)},
      {"stop_s", number(run.stop_s)},
      {"elapsed_s", number(run.end_s)},
      {"failures", strings(outcome.failures, "  ")},
      {"diagnostics", lines(run.diagnostics, run.diagnostic_count)},
      {"retry_notices", lines(run.retry_notices, run.retry_notice_count)},
      {"directory", object({{"path", jsonString(dir.paths[0])},
                            {"paths", strings(dir.paths, "    ")},
                            {"temporary", boolean(dir.temporary)},
                            {"kept", boolean(outcome.dir_kept)}},
                           "  ")},
      {"processes", array(procs, "  ")},
      {"totals", totals(processes, run)},
      {"timeline", timeline(run)},
  });
  return fputs((doc + "\n").c_str(), out) >= 0 && fflush(out) == 0;
}
