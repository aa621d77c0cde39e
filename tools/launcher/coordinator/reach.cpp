#include "reach.h"

#include <sstream>

#include "self.h"

std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

static std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> remoteCommand(const std::string& rsh, const std::string& host,
                                       const std::string& command_line) {
  std::vector<std::string> words;
  std::istringstream in(rsh);
  std::string word;
  while (in >> word) {
    words.push_back(replaceAll(word, "{host}", host));
  }
  words.push_back(command_line);
  return words;
}

// pdsh hands its remote commands no input at all: its agents go on without commands.
static bool passesInput(const std::string& rsh) {
  std::istringstream in(rsh);
  std::string first;
  in >> first;
  return first.substr(first.rfind('/') + 1) != "pdsh";
}

static std::vector<std::string> agentCommand(const AgentArgs& args) {
  std::vector<std::string> argv = {programPath(), "agent"};
  for (const std::string& word : agentArgWords(args)) {
    argv.push_back(word);
  }
  return argv;
}

static std::string commandLine(const std::vector<std::string>& argv) {
  std::string line = "exec";
  for (const std::string& word : argv) {
    line += " " + shellQuote(word);
  }
  return line;
}

std::vector<Link> planLinks(const std::string& rsh, const std::vector<std::string>& hosts,
                            const AgentArgs& base) {
  std::vector<Link> links;
  for (const std::string& host : hosts) {
    AgentArgs args = base;
    args.name = host;
    Link link;
    link.host = host;
    link.input = host.empty() || passesInput(rsh);
    args.no_input = !link.input;
    // Each agent gets its own part of the plan only: a command line stays short on any cluster.
    args.plan.clear();
    for (const auto& item : base.plan) {
      if (item.first == host) {
        args.plan.push_back(item);
      }
    }
    link.argv = agentCommand(args);
    if (!host.empty()) {
      link.argv = remoteCommand(rsh, host, commandLine(link.argv));
    }
    links.push_back(link);
  }
  return links;
}
