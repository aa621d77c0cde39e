#include "reach.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "plan.h"
#include "self.h"
// What a POSIX shell makes of text, as one printf argument.
static std::string throughShell(const std::string& quoted) {
  std::string command = "printf %s " + quoted;
  FILE* sh = popen(command.c_str(), "r");
  std::string out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), sh)) > 0) {
    out.append(buf, n);
  }
  pclose(sh);
  return out;
}

TEST(ReachTest, QuotedWordsReachTheShellUnchanged) {
  const char* words[] = {"plain",       "two words", "it's", "''", "$HOME `id` $(id) \\ \" * ? ~",
                         "line\nbreak", ""};
  for (const char* word : words) {
    EXPECT_EQ(throughShell(shellQuote(word)), word) << word;
  }
}

static AgentArgs planFor(const std::vector<std::string>& hosts) {
  AgentArgs args;
  args.version = "logtest-run 9";
  args.logtest = "/opt/lt/logtest";
  args.writer_env = {"F=1"};
  for (const Process& p : planProcesses(3, 2, {"/m1", "/mnt/it's here"}, hosts)) {
    args.plan.push_back({p.host, {p.role == Role::Writer ? 'W' : 'R', p.id, p.path}});
  }
  return args;
}

TEST(ReachTest, RolesAndPathsGoRoundRobin) {
  std::vector<Process> ps = planProcesses(3, 2, {"/m1", "/m2", "/m3"}, {"a", "b"});
  ASSERT_EQ(ps.size(), 5u);
  const char* names[] = {"writer 1", "writer 2", "writer 3", "reader 1", "reader 2"};
  const char* hosts[] = {"a", "b", "a", "a", "b"};
  const char* paths[] = {"/m1", "/m2", "/m3", "/m1", "/m2"};
  for (size_t i = 0; i < ps.size(); i++) {
    EXPECT_EQ(processName(ps[i]), names[i]);
    EXPECT_EQ(ps[i].host, hosts[i]);
    EXPECT_EQ(ps[i].path, paths[i]);
  }
  EXPECT_EQ(hostsOf(ps), (std::vector<std::string>{"a", "b"}));
}

// One link per host, whatever its processes; each agent's command line carries its part of the
// plan only, and survives the remote shell intact.
TEST(ReachTest, OneAgentPerHostThroughTheTemplate) {
  AgentArgs base = planFor({"node7", "node8"});
  std::vector<Link> links =
      planLinks("  ssh -o X=1  {host} -l on-{host} ", {"node7", "node8"}, base);
  ASSERT_EQ(links.size(), 2u);
  const Link& l = links[0];
  EXPECT_TRUE(l.input);
  std::vector<std::string> head(l.argv.begin(), l.argv.end() - 1);
  EXPECT_EQ(head, (std::vector<std::string>{"ssh", "-o", "X=1", "node7", "-l", "on-node7"}));
  std::string line = l.argv.back();
  ASSERT_EQ(line.compare(0, 5, "exec "), 0) << line;
  // The shell hands the words to the agent as they were planned.
  FILE* sh = popen(("printf '%s\\n' " + line.substr(5)).c_str(), "r");
  std::vector<std::string> words;
  char buf[512];
  while (fgets(buf, sizeof(buf), sh) != nullptr) {
    words.push_back(std::string(buf, strlen(buf) - 1));
  }
  pclose(sh);
  ASSERT_GE(words.size(), 2u);
  EXPECT_EQ(words[0], programPath());
  EXPECT_EQ(words[1], "agent");
  AgentArgs parsed;
  std::string error;
  ASSERT_TRUE(parseAgentArgs({words.begin() + 2, words.end()}, parsed, &error)) << error;
  EXPECT_EQ(parsed.name, "node7");
  EXPECT_EQ(parsed.writer_env, base.writer_env);
  ASSERT_EQ(parsed.plan.size(), 3u);  // writers 1 and 3, reader 1
  EXPECT_EQ(parsed.plan[1].second.path, "/m1");
  EXPECT_EQ(parsed.plan[2].second.role, 'R');
}

// srun starts every agent in one job step, one task per node; each finds its part by its name.
TEST(ReachTest, SrunStartsOneStepForAllHosts) {
  AgentArgs base = planFor({"node7", "node8"});
  std::vector<Link> links =
      planLinks("srun -N1 -n1 --overlap -w {host} sh -c", {"node7", "node8"}, base);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_TRUE(links[0].input);
  EXPECT_EQ(links[0].hosts, (std::vector<std::string>{"node7", "node8"}));
  std::vector<std::string> head(links[0].argv.begin(), links[0].argv.end() - 1);
  EXPECT_EQ(head, (std::vector<std::string>{"srun", "-N2", "-n2", "--ntasks-per-node=1",
                                            "--overlap", "-w", "node7,node8", "sh", "-c"}));
  const std::string& line = links[0].argv.back();
  EXPECT_NE(line.find("'--name-from-env' 'SLURMD_NODENAME'"), std::string::npos) << line;
  EXPECT_NE(line.find("'@node7'"), std::string::npos) << line;
  EXPECT_NE(line.find("'@node8'"), std::string::npos) << line;
}

TEST(ReachTest, PdshCarriesNoInputAndThisHostIsAChild) {
  AgentArgs base = planFor({"a"});
  std::vector<Link> links = planLinks("pdsh -S -N -w {host}", {"a"}, base);
  EXPECT_FALSE(links[0].input);
  EXPECT_NE(links[0].argv.back().find("'--no-input'"), std::string::npos);
  base = planFor({});
  links = planLinks("ssh {host}", {""}, base);
  EXPECT_TRUE(links[0].input);
  EXPECT_EQ(links[0].argv[0], programPath());
}

TEST(ReachTest, AgentArgumentsAreCheckedWordByWord) {
  std::string error;
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--logtest", "/lt", "X1=/d"}, {"--logtest", "/lt", "W0=/d"}, {"--grace"}, {"W1=/d"}}) {
    AgentArgs args;
    EXPECT_FALSE(parseAgentArgs(bad, args, &error)) << bad.back();
  }
  AgentArgs args;
  EXPECT_TRUE(parseAgentArgs({"--logtest", "/lt", "@h", "W1=/a=b"}, args, &error));
  EXPECT_EQ(args.plan[0].second.path, "/a=b");
}
