// The coordinator's cost per host, past what one machine can start: the streams of many
// agents played into the code that takes them, for a number of simulated seconds. Each host
// runs 8 writers and 4 readers; the cluster renames 20 logs a second, so each reader's log
// changes 20 times a second (folded into one tick line per host per second); one diagnostic
// comes half way; every process reports its end at the last second.
//   coordinator_sim [HOSTS [SECONDS]]     (default 1000 hosts, 60 s)
// Prints the CPU time taken per host per simulated second and the memory per host.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "events.h"
#include "plan.h"
#include "protocol.h"
#include "watch.h"

constexpr int WRITERS_PER_HOST = 8;
constexpr int READERS_PER_HOST = 4;
constexpr int LOGS_PER_SECOND = 20;

static double cpuSeconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

static long rssKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmRSS:") == 0) {
      return atol(line.c_str() + 6);
    }
  }
  return 0;
}

static std::string line(const std::string& host, Json message) {
  message["host"] = host;
  std::string text = encodeMessage(message);
  text.pop_back();
  return text;
}

// The tick of host h in second t: the renames that fell to its writers, its readers' logs.
static std::string tickLine(const std::string& host, int h, int hosts, int t) {
  Json renamed = Json::array();
  for (int k = 0; k < LOGS_PER_SECOND; k++) {
    int log = t * LOGS_PER_SECOND + k + 1;
    if (log % hosts == h) {
      renamed.push_back({log, h + 1});
    }
  }
  Json checking = Json::array();
  for (int r = 0; r < READERS_PER_HOST; r++) {
    checking.push_back({r * hosts + h + 1, t * LOGS_PER_SECOND});
  }
  return line(host, {{"e", "tick"}, {"renamed", renamed}, {"checking", checking}, {"live", 12}});
}

static std::string endLine(const std::string& host, char role, int id) {
  return line(host, {{"e", "end"},
                     {"p", processTag(role, id)},
                     {"status", 0},
                     {"signal", nullptr},
                     {"user_s", 1.5},
                     {"system_s", 2.5},
                     {"rss_kb", 6400},
                     {"run_s", 60.0},
                     {"killed", false},
                     {"unreapable", false},
                     {"diagnostics", 0},
                     {"retry_notices", 0}});
}

int main(int argc, char** argv) {
  int hosts = argc > 1 ? atoi(argv[1]) : 1000;
  int seconds = argc > 2 ? atoi(argv[2]) : 60;
  char dir[] = "/tmp/coordinator_sim.XXXXXX";
  if (hosts < 1 || seconds < 2 || mkdtemp(dir) == nullptr) {
    fprintf(stderr, "usage: coordinator_sim [HOSTS [SECONDS]]\n");
    return 2;
  }
  std::vector<std::string> names;
  for (int h = 0; h < hosts; h++) {
    names.push_back("node" + std::to_string(h + 1));
  }
  long rss_before = rssKb();
  std::vector<Process> procs =
      planProcesses(WRITERS_PER_HOST * hosts, READERS_PER_HOST * hosts, {dir}, names);
  std::vector<Link> links(hosts);
  RunSettings settings;
  settings.dir = dir;
  settings.quiet = true;
  RunState run;
  for (int h = 0; h < hosts; h++) {
    HostRecord host;
    host.name = names[h];
    host.link = h;
    run.hosts.push_back(host);
    links[h].hosts = {names[h]};
  }
  for (const Process& p : procs) {
    if (p.role == Role::Reader) {
      run.progress.readers.push_back({processName(p), p.path + " on " + p.host});
    }
  }
  Watch w{settings, procs, links, run};
  indexProcesses(w);
  startClock();
  double cpu_before = cpuSeconds();
  size_t lines = 0;
  for (int h = 0; h < hosts; h++) {
    handleAgentLine(w, h, line(names[h], {{"e", "hello"}, {"version", "x"}, {"pid", 1}}));
    Json started = Json::array();
    for (const Process& p : procs) {
      if (p.host == names[h]) {
        started.push_back({p.role == Role::Writer ? "W" : "R", p.id, 1000 + p.id});
      }
    }
    handleAgentLine(w, h, line(names[h], {{"e", "started"}, {"procs", started}}));
    lines += 2;
  }
  for (int t = 1; t <= seconds; t++) {
    for (int h = 0; h < hosts; h++) {
      handleAgentLine(w, h, tickLine(names[h], h, hosts, t));
      lines++;
    }
    if (t == seconds / 2) {
      handleAgentLine(w, 0,
                      line(names[0], {{"e", "line"},
                                      {"p", "R1"},
                                      {"kind", "diagnostic"},
                                      {"line", "Cheksum failed for client ID 3"}}));
      lines++;
    }
  }
  for (const Process& p : procs) {
    size_t h = std::find(names.begin(), names.end(), p.host) - names.begin();
    handleAgentLine(w, h, endLine(p.host, p.role == Role::Writer ? 'W' : 'R', p.id));
    lines++;
  }
  double cpu = cpuSeconds() - cpu_before;
  long rss = rssKb() - rss_before;
  std::string marker = std::string(dir) + "/StopTest";
  unlink(marker.c_str());
  rmdir(dir);
  printf("%d hosts, %d processes, %d s simulated, %zu lines: %.3f s CPU\n", hosts,
         static_cast<int>(procs.size()), seconds, lines, cpu);
  printf("CPU per host per second: %.1f us (target under 1000 us)\n", cpu * 1e6 / hosts / seconds);
  printf("memory: %ld KiB in all, %.0f bytes per host (its 12 processes included)\n", rss,
         rss * 1024.0 / hosts);
  return 0;
}
