// The line format between the coordinator and the agent it starts on each host: one JSON
// object per line, every one carrying "lt": AGENT_PROTOCOL, so that a line from the remote
// shell itself (a refused connection, a login banner, pdsh's prefix) is never taken for one.
//
// Agent to coordinator (standard output), each with "e" and "host":
//   hello     {"version", "pid", "checks": [{"path", "token", "logtest", "lock"}]}: the agent
//             runs and has looked at its paths (lock: "held", "free" or why it could not try)
//   started   {"procs": [["W", 3, PID], ...]}: processes forked
//   line      {"p": "W3", "kind": "diagnostic"|"retry"|"account", "line"}: forwarded at once,
//             the first MAX_FORWARDED_LINES of each kind per process (the end counts them all),
//             and the one line of account a process gives at its end
//   tick      {"renamed": [[LOG, WRITER], ...], "checking": [[READER, LOG], ...], "live"}: once
//             a second, what changed since the last one
//   end       {"p", "status", "signal", "user_s", "system_s", "rss_kb", "run_s", "killed",
//             "unreapable", "diagnostics", "retry_notices"}: once, when the process is reaped
//   diagnosis {"holders": [...], "states": [["sleeping", "W3"], ...]}: asked for by a stall
//   bye       {}: every process has ended; without input the agent exits, with input it
//             waits for look or quit, or for its input to end
//   look      {"places": [...]}: the last look through each of its paths (judge/last_look.h)
// Coordinator to agent (standard input), each with "c":
//   readers, writers       start that role's processes
//   stop {"grace"}         StopTest exists: processes alive after grace seconds are killed
//   look                   once every process everywhere has ended: look at what is left
//   diagnose, quit, hb     hb once a second: an agent that hears nothing for AGENT_SILENCE_S
//                          takes the coordinator for lost
#pragma once

#include <nlohmann/json.hpp>
#include <string>

constexpr int AGENT_PROTOCOL = 1;

// Either side that hears nothing from the other for this long takes it for lost.
constexpr double AGENT_SILENCE_S = 10;

// Lines of each kind forwarded per process; the rest are counted.
constexpr int MAX_FORWARDED_LINES = 20;

using Json = nlohmann::ordered_json;

// The object as one line, "lt" first, newline included.
std::string encodeMessage(const Json& message);

// The object in a line, which may carry a prefix of the remote shell's ("h3: "); false for
// any line that is not one of ours.
bool decodeMessage(const std::string& line, Json* message, size_t* prefix_end);

// "W3" for writer 3.
std::string processTag(char role, int id);
bool parseProcessTag(const std::string& tag, char* role, int* id);
