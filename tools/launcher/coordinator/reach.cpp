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

static std::string programOf(const std::string& rsh) {
  std::istringstream in(rsh);
  std::string first;
  in >> first;
  return first.substr(first.rfind('/') + 1);
}

static std::string joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) {
    text += (text.empty() ? "" : separator) + word;
  }
  return text;
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

// srun's template for one node ("srun -N1 -n1 --overlap -w {host} sh -c") made a step of one
// task on every node; srun passes its input to every task.
static Link srunLink(const std::string& rsh, const std::vector<std::string>& hosts,
                     const AgentArgs& base) {
  AgentArgs args = base;
  args.name_from_env = "SLURMD_NODENAME";
  Link link;
  link.hosts = hosts;
  std::string n = std::to_string(hosts.size());
  std::vector<std::string> words = remoteCommand(rsh, joined(hosts, ","), "");
  words.pop_back();
  link.argv = {words[0], "-N" + n, "-n" + n, "--ntasks-per-node=1"};
  for (size_t i = 1; i < words.size(); i++) {
    const std::string& w = words[i];
    bool count = w.compare(0, 2, "-N") == 0 || w.compare(0, 2, "-n") == 0 ||
                 w.compare(0, 8, "--nodes=") == 0 || w.compare(0, 9, "--ntasks=") == 0;
    if (!count) {
      link.argv.push_back(w);
    }
  }
  link.argv.push_back(commandLine(agentCommand(args)));
  return link;
}

std::vector<Link> planLinks(const std::string& rsh, const std::vector<std::string>& hosts,
                            const AgentArgs& base) {
  std::vector<Link> links;
  if (!hosts.empty() && !hosts[0].empty() && programOf(rsh) == "srun") {
    return {srunLink(rsh, hosts, base)};
  }
  for (const std::string& host : hosts) {
    AgentArgs args = base;
    args.name = host;
    Link link;
    link.hosts = {host};
    // pdsh hands its remote commands no input at all: its agents go on without commands.
    link.input = host.empty() || programOf(rsh) != "pdsh";
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
