// Reading /proc: lock holders, process states and mounts, from texts as the kernel writes them.
#include "proc_info.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include "system_info.h"

TEST(ProcInfoTest, FlockHoldersOfOneFileWithoutWaitersOrOtherLocks) {
  const char* locks =
      "1: FLOCK  ADVISORY  WRITE 4711 fe:00:10952705 0 EOF\n"
      "1: -> FLOCK  ADVISORY  WRITE 4712 fe:00:10952705 0 EOF\n"
      "2: POSIX  ADVISORY  WRITE 99 fe:00:10952705 0 EOF\n"
      "3: FLOCK  ADVISORY  WRITE 17 fe:00:10952706 0 EOF\n"
      "4: FLOCK  ADVISORY  WRITE 18 103:1a:10952705 0 EOF\n";
  EXPECT_EQ(flockHolders(locks, makedev(0xfe, 0), 10952705), std::vector<pid_t>{4711});
  EXPECT_EQ(flockHolders(locks, makedev(0x103, 0x1a), 10952705), std::vector<pid_t>{18});
  EXPECT_TRUE(flockHolders(locks, makedev(0xfe, 0), 1).empty());
}

TEST(ProcInfoTest, StateFollowsTheLastParenthesis) {
  EXPECT_EQ(processState("4711 (logtest) T 1 4711 4711 0 -1"), 'T');
  EXPECT_EQ(processState("4711 (a) b) (c) D 1 4711"), 'D');
  EXPECT_EQ(processState(""), '?');
  EXPECT_EQ(stateName('T'), "stopped");
  EXPECT_EQ(stateName('D'), "in uninterruptible I/O wait");
  EXPECT_EQ(stateName('S'), "sleeping");
}

TEST(SystemInfoTest, MountOfAPathIsTheDeepestMountOfItsDevice) {
  const char* mountinfo =
      "21 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "30 21 0:45 / /mnt/a\\040b rw,nosuid - fuse.glusterfs 127.0.0.2:/vol rw,user_id=0\n"
      "31 21 0:46 / /mnt/a\\040b/sub rw - tmpfs tmpfs rw,size=1024k\n"
      "32 21 0:47 / /mnt/ab rw - xfs /dev/loop0 rw\n";
  MountInfo m = mountOf(mountinfo, "/mnt/a b/logs", makedev(0, 45));
  EXPECT_EQ(m.fs_type, "fuse.glusterfs");
  EXPECT_EQ(m.source, "127.0.0.2:/vol");
  EXPECT_EQ(m.options, "rw,nosuid rw,user_id=0");
  EXPECT_EQ(mountOf(mountinfo, "/mnt/ab/x", makedev(0, 47)).fs_type, "xfs");
  // A device no line names (a btrfs subvolume): the deepest mount holding the path.
  EXPECT_EQ(mountOf(mountinfo, "/mnt/a b/sub/x", makedev(0, 99)).fs_type, "tmpfs");
  EXPECT_EQ(mountOf(mountinfo, "/srv", makedev(254, 0)).fs_type, "ext4");
}
