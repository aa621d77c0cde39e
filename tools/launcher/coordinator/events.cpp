#include "events.h"

#include <algorithm>
#include <cstdio>

#include "output_lines.h"

// The first diagnostic stops the test at once: the sooner the others stop, the more of the log
// that holds the defect is left as it was for the explanation.
static void noteDiagnostic(Watch& w, Process& p, const std::string& line) {
  beginStop(w, StopReason::Diagnostic);
  p.diagnostics++;
  w.run.diagnostic_count++;
  if (w.run.diagnostics.size() < MAX_KEPT_DIAGNOSTICS) {
    w.run.diagnostics.push_back({processName(p), line, elapsed()});
  }
  if (w.opt.quiet || p.diagnostics > MAX_ECHOED_LINES + 1) {
    return;
  }
  clearStatus(w);
  if (p.diagnostics == MAX_ECHOED_LINES + 1) {
    printf("%s: ... (further lines are counted, not shown)\n", processName(p).c_str());
  } else {
    printf("%s: %s\n", processName(p).c_str(), line.c_str());
  }
  fflush(stdout);
}

// Shown once per process as it comes; the summary says how many followed.
static void noteRetry(Watch& w, Process& p, const std::string& line) {
  p.retry_notices++;
  w.run.retry_notice_count++;
  if (w.run.retry_notices.size() < MAX_KEPT_RETRY_NOTICES) {
    w.run.retry_notices.push_back({processName(p), line, elapsed()});
  }
  if (!w.opt.quiet && p.retry_notices == 1) {
    clearStatus(w);
    printf("%s: %s (retrying; not a failure unless it gives up)\n", processName(p).c_str(),
           line.c_str());
    fflush(stdout);
  }
}

// A writer's account must come from a writer, a reader's from a reader.
static void noteAccount(Watch& w, Process& p, const std::string& line) {
  OutputLine out = classifyLine(line);
  if (p.role == Role::Writer && out.kind == LineKind::LastWritten) {
    p.last_written = out.number;
    p.client = out.writer;
  } else if (p.role == Role::Reader && out.kind == LineKind::LastVerified) {
    p.told_verified = true;
    p.verified = out.verified;
  } else {
    noteDiagnostic(w, p, line);
  }
}

// The process a host's agent names by its tag; null for one not planned on that host.
static Process* processOf(Watch& w, const HostRecord& host, const Json& tag) {
  char role;
  int id;
  if (!tag.is_string() || !parseProcessTag(tag.get<std::string>(), &role, &id)) {
    return nullptr;
  }
  const std::vector<Process*>& index = role == 'W' ? w.writers : w.readers;
  Process* p = static_cast<size_t>(id) <= index.size() ? index[id - 1] : nullptr;
  return p != nullptr && p->host == host.name ? p : nullptr;
}

static void noteEnd(Watch& w, Process& p, const Json& m) {
  if (p.reaped) {
    return;
  }
  p.reaped = true;
  p.end_s = elapsed();
  p.exit.signalled = m["signal"].is_number();
  p.exit.signal = p.exit.signalled ? m["signal"].get<int>() : 0;
  p.exit.status = m["status"].is_number() ? m["status"].get<int>() : 0;
  p.exit.user_s = m.value("user_s", 0.0);
  p.exit.system_s = m.value("system_s", 0.0);
  p.exit.rss_kb = m.value("rss_kb", 0L);
  p.killed_by_launcher = m.value("killed", false);
  p.unreapable = m.value("unreapable", false);
  // Lines past those forwarded were only counted.
  int diagnostics = m.value("diagnostics", 0);
  if (diagnostics > p.diagnostics) {
    w.run.diagnostic_count += diagnostics - p.diagnostics;
    p.diagnostics = diagnostics;
  }
  int retries = m.value("retry_notices", 0);
  if (retries > p.retry_notices) {
    w.run.retry_notice_count += retries - p.retry_notices;
    p.retry_notices = retries;
  }
  if (!w.stopping) {
    processEndedEarly(w, p);
  }
  if (p.role == Role::Reader) {
    bool clean = !p.killed_by_launcher && !p.exit.signalled && p.exit.status == 0;
    noteReaderEnd(w.run.progress, p.id - 1, clean);
  }
}

static void noteTick(Watch& w, HostRecord& host, const Json& m) {
  double now = elapsed();
  host.live = m.value("live", host.live);
  for (const Json& r : m.value("renamed", Json::array())) {
    host.logs_renamed++;
    unsigned log = r.at(0).get<unsigned>();
    Process* p = processOf(w, host, "W" + std::to_string(r.at(1).get<int>()));
    std::string writer = p != nullptr ? processName(*p) : "a writer";
    if (p != nullptr) {
      p->logs_renamed++;
    }
    noteRenamed(w.run.sizes, log);
    noteRename(w.run.progress, log, writer, now);
  }
  for (const Json& c : m.value("checking", Json::array())) {
    Process* p = processOf(w, host, "R" + std::to_string(c.at(0).get<int>()));
    if (p != nullptr) {
      p->last_checking = c.at(1).get<unsigned>();
      noteChecking(w.run.progress, p->id - 1, p->last_checking, now);
    }
  }
}

static void noteHello(HostRecord& host, const Json& m) {
  host.hello_s = elapsed();
  host.version = m.value("version", "");
  host.agent_pid = m.value("pid", -1);
  host.logtest = m.value("logtest", false);
  for (const Json& c : m.value("checks", Json::array())) {
    host.places.push_back({c.value("path", ""), c.value("token", ""), c.value("lock", "")});
  }
}

static void noteStarted(Watch& w, HostRecord& host, const Json& m) {
  for (const Json& s : m.value("procs", Json::array())) {
    Process* p =
        processOf(w, host, s.at(0).get<std::string>() + std::to_string(s.at(1).get<int>()));
    if (p != nullptr) {
      p->pid = s.at(2).get<pid_t>();
      p->start_s = elapsed();
      // Agents without input start their writers on their own, seconds after the command:
      // the duration counts from the first writer that actually started.
      if (p->role == Role::Writer && !w.first_writer_seen) {
        w.first_writer_seen = true;
        w.run.progress.writers_s = std::max(w.run.progress.writers_s, p->start_s);
      }
    }
  }
  host.readers_up = true;  // agents start their readers first
}

static void noteDiagnosis(HostRecord& host, const Json& m) {
  host.diagnosed = true;
  for (const Json& h : m.value("holders", Json::array())) {
    host.lock_holders.push_back({h.at(0).get<pid_t>(), h.at(1).get<std::string>()});
  }
  for (const Json& s : m.value("states", Json::array())) {
    host.writer_states.push_back({s.at(0).get<std::string>(), s.at(1).get<std::string>()});
  }
}

// An agent leaves once its processes have ended; one that leaves before (it lost the
// coordinator while waiting for the start) took its host out of the test.
static void noteBye(Watch& w, HostRecord& host) {
  for (const Process& p : w.procs) {
    if (p.host == host.name && !p.reaped) {
      loseHost(w, host, "its agent ended before its processes did");
      return;
    }
  }
  host.bye = true;
}

static void handleMessage(Watch& w, HostRecord& host, const Json& m) {
  host.heard_s = elapsed();
  std::string e = m.value("e", "");
  if (e == "hello") {
    noteHello(host, m);
  } else if (e == "started") {
    noteStarted(w, host, m);
  } else if (e == "tick") {
    noteTick(w, host, m);
  } else if (e == "line") {
    if (Process* p = processOf(w, host, m["p"])) {
      std::string line = m.value("line", "");
      std::string kind = m.value("kind", "");
      if (kind == "account") {
        noteAccount(w, *p, line);
      } else {
        kind == "retry" ? noteRetry(w, *p, line) : noteDiagnostic(w, *p, line);
      }
    }
  } else if (e == "end") {
    if (Process* p = processOf(w, host, m["p"])) {
      noteEnd(w, *p, m);
    }
  } else if (e == "diagnosis") {
    noteDiagnosis(host, m);
  } else if (e == "bye") {
    noteBye(w, host);
  } else if (e == "look") {
    for (const Json& place : m.at("places")) {
      w.run.looks.push_back(lookFromJson(place));
      w.run.looks.back().host = host.name;
    }
    host.looked = true;
  }
}

// The host a line of the link's shell speaks of: one of its hosts named in it, else its first
// host that has not answered yet, else its first.
static HostRecord& shellHost(Watch& w, size_t link, const std::string& line) {
  const std::vector<std::string>& names = w.links[link].hosts;
  for (const std::string& name : names) {
    if (!name.empty() && line.find(name) != std::string::npos) {
      return w.run.hosts[w.host_index[name]];
    }
  }
  for (const std::string& name : names) {
    if (w.run.hosts[w.host_index[name]].hello_s < 0) {
      return w.run.hosts[w.host_index[name]];
    }
  }
  return w.run.hosts[w.host_index[names[0]]];
}

// Anything else a link carries is its remote shell's: a refusal, a banner, pdsh's report of an
// exit status. It is kept for the report, and never counted as the test's.
void handleAgentLine(Watch& w, size_t link, const std::string& line) {
  Json m;
  size_t prefix;
  if (decodeMessage(line, &m, &prefix)) {
    auto it = w.host_index.find(m.value("host", std::string("\n")));
    if (it != w.host_index.end() && w.run.hosts[it->second].link == link) {
      try {
        handleMessage(w, w.run.hosts[it->second], m);
        return;
      } catch (const nlohmann::json::exception& e) {
        // An agent of another version, or a line garbled on its way: the report keeps it.
      }
    }
  }
  HostRecord& host = shellHost(w, link, line);
  if (!line.empty() && host.shell_lines.size() < MAX_SHELL_LINES) {
    host.shell_lines.push_back(line);
  }
}
