#include "spawn.h"

#include <gtest/gtest.h>

#include <cstdio>

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

TEST(SpawnTest, QuotedWordsReachTheShellUnchanged) {
  const char* words[] = {"plain",       "two words", "it's", "''", "$HOME `id` $(id) \\ \" * ? ~",
                         "line\nbreak", ""};
  for (const char* word : words) {
    EXPECT_EQ(throughShell(shellQuote(word)), word) << word;
  }
}

TEST(SpawnTest, LocalCommandIsLogtestItself) {
  Options opt;
  opt.logtest = "/opt/lt/logtest";
  EXPECT_EQ(commandFor(opt, "", 'W', "/d"),
            (std::vector<std::string>{"/opt/lt/logtest", "W", "/d"}));
}

TEST(SpawnTest, RemoteCommandFollowsTheTemplate) {
  Options opt;
  opt.logtest = "/opt/lt/logtest";
  opt.rsh = "  srun -N1  -w {host} --comment=on-{host} sh -c ";
  std::vector<std::string> expected = {"srun",
                                       "-N1",
                                       "-w",
                                       "node7",
                                       "--comment=on-node7",
                                       "sh",
                                       "-c",
                                       "exec '/opt/lt/logtest' 'R' '/mnt/it'\\''s here'"};
  EXPECT_EQ(commandFor(opt, "node7", 'R', "/mnt/it's here"), expected);
}

TEST(SpawnTest, RolesAndPathsGoRoundRobin) {
  Options opt;
  opt.writers = 3;
  opt.readers = 2;
  opt.logtest = "/lt";
  opt.hosts = {"a", "b"};
  opt.rsh = "ssh {host}";
  LogDir dir;
  dir.paths = {"/m1", "/m2", "/m3"};
  std::vector<Process> ps = planProcesses(opt, dir);
  ASSERT_EQ(ps.size(), 5u);
  const char* names[] = {"writer 1", "writer 2", "writer 3", "reader 1", "reader 2"};
  const char* hosts[] = {"a", "b", "a", "a", "b"};
  const char* paths[] = {"/m1", "/m2", "/m3", "/m1", "/m2"};
  for (size_t i = 0; i < ps.size(); i++) {
    EXPECT_EQ(processName(ps[i]), names[i]);
    EXPECT_EQ(ps[i].host, hosts[i]);
    EXPECT_EQ(ps[i].path, paths[i]);
  }
  EXPECT_EQ(ps[3].argv.back(), "exec '/lt' 'R' '/m1'");
}
