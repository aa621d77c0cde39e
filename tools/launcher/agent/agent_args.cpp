#include <cstdlib>

#include "agent.h"
#include "protocol.h"

static bool parseNumber(const std::string& text, double* value) {
  char* end = nullptr;
  *value = strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && *value >= 0 && *value <= 86400;
}

// "W3=/mnt/a/dir": the role, the id and the path, which may hold any byte but a NUL.
static bool parseProcess(const std::string& word, AgentProcess* p) {
  size_t eq = word.find('=');
  return eq != std::string::npos && parseProcessTag(word.substr(0, eq), &p->role, &p->id) &&
         eq + 1 < word.size() && (p->path = word.substr(eq + 1), true);
}

static bool takeOption(const std::vector<std::string>& args, size_t& i, AgentArgs& out) {
  const std::string& word = args[i];
  if (word == "--no-input") {
    out.no_input = true;
    return true;
  }
  if (i + 1 >= args.size()) {
    return false;
  }
  const std::string& value = args[++i];
  double number = 0;
  if (word == "--name") {
    out.name = value;
  } else if (word == "--name-from-env") {
    out.name_from_env = value;
  } else if (word == "--version") {
    out.version = value;
  } else if (word == "--logtest") {
    out.logtest = value;
  } else if (word == "--token") {
    out.token = value;
  } else if (word == "--env") {
    out.writer_env.push_back(value);
  } else if (word == "--grace" && parseNumber(value, &number)) {
    out.grace = static_cast<int>(number);
  } else if (word == "--writers-after" && parseNumber(value, &number)) {
    out.writers_after_s = number;
  } else {
    return false;
  }
  return true;
}

bool parseAgentArgs(const std::vector<std::string>& args, AgentArgs& out, std::string* error) {
  std::string host;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& word = args[i];
    AgentProcess p;
    if (word.compare(0, 2, "--") == 0) {
      if (!takeOption(args, i, out)) {
        *error = "agent: bad option " + word;
        return false;
      }
    } else if (!word.empty() && word[0] == '@') {
      host = word.substr(1);
    } else if (parseProcess(word, &p)) {
      out.plan.push_back({host, p});
    } else {
      *error = "agent: bad process " + word;
      return false;
    }
  }
  if (out.logtest.empty()) {
    *error = "agent: no --logtest";
    return false;
  }
  return true;
}

std::vector<std::string> agentArgWords(const AgentArgs& a) {
  std::vector<std::string> words = {"--version", a.version, "--logtest",
                                    a.logtest,   "--grace", std::to_string(a.grace)};
  if (!a.name.empty()) {
    words.insert(words.end(), {"--name", a.name});
  }
  if (!a.name_from_env.empty()) {
    words.insert(words.end(), {"--name-from-env", a.name_from_env});
  }
  if (!a.token.empty()) {
    words.insert(words.end(), {"--token", a.token});
  }
  if (a.no_input) {
    words.insert(words.end(), {"--no-input", "--writers-after", std::to_string(a.writers_after_s)});
  }
  for (const std::string& var : a.writer_env) {
    words.insert(words.end(), {"--env", var});
  }
  std::string host = "\n";  // no host name holds a newline
  for (const auto& [h, p] : a.plan) {
    if (h != host) {
      words.push_back("@" + h);
      host = h;
    }
    words.push_back(processTag(p.role, p.id) + "=" + p.path);
  }
  return words;
}
