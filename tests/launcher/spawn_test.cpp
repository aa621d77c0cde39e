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
  Launch launch{"/opt/lt/logtest", "ssh {host}", {}};
  EXPECT_EQ(commandFor(launch, "", 'W', "/d"),
            (std::vector<std::string>{"/opt/lt/logtest", "W", "/d"}));
}

TEST(SpawnTest, RemoteCommandFollowsTheTemplate) {
  Launch launch{"/opt/lt/logtest", "  srun -N1  -w {host} --comment=on-{host} sh -c ", {}};
  std::vector<std::string> expected = {
      "srun",
      "-N1",
      "-w",
      "node7",
      "--comment=on-node7",
      "sh",
      "-c",
      "echo 'logtest-run: remote command started'; exec '/opt/lt/logtest' 'R' "
      "'/mnt/it'\\''s here'"};
  EXPECT_EQ(commandFor(launch, "node7", 'R', "/mnt/it's here"), expected);
}

TEST(SpawnTest, RolesAndPathsGoRoundRobin) {
  std::vector<Process> ps =
      planProcesses(3, 2, {"/m1", "/m2", "/m3"}, {"a", "b"}, {"/lt", "ssh {host}", {"F=1"}});
  ASSERT_EQ(ps.size(), 5u);
  const char* names[] = {"writer 1", "writer 2", "writer 3", "reader 1", "reader 2"};
  const char* hosts[] = {"a", "b", "a", "a", "b"};
  const char* paths[] = {"/m1", "/m2", "/m3", "/m1", "/m2"};
  for (size_t i = 0; i < ps.size(); i++) {
    EXPECT_EQ(processName(ps[i]), names[i]);
    EXPECT_EQ(ps[i].host, hosts[i]);
    EXPECT_EQ(ps[i].path, paths[i]);
  }
  const std::string started = "echo 'logtest-run: remote command started'; ";
  EXPECT_EQ(ps[3].argv.back(), started + "exec '/lt' 'R' '/m1'");
  // Writers alone get the variables, remotely in their command line.
  EXPECT_EQ(ps[0].argv.back(), started + "exec env 'F=1' '/lt' 'W' '/m1'");
  EXPECT_TRUE(ps[3].env.empty());
  EXPECT_EQ(remoteCommandLine(ps[3]), ps[3].argv.back());
}

TEST(SpawnTest, CapturedCommandsEndOrAreKilledInTime) {
  std::string out;
  EXPECT_EQ(runCaptured({"sh", "-c", "echo hi; echo err >&2; exit 3"}, 10, &out), 3);
  EXPECT_EQ(out, "hi\nerr\n");
  out.clear();
  EXPECT_EQ(runCaptured({"sh", "-c", "echo started; exec sleep 30"}, 0.5, &out), -1);
  EXPECT_EQ(out, "started\n");
  EXPECT_EQ(runCaptured({"/nonexistent/command"}, 10, &out), 127);
}
