# Stops (SIGSTOP) a process at a moment it holds the flock of the file argv[1], and prints
# its PID; the caller sends SIGCONT. Every host of a simulated cluster shares this kernel, so
# a writer of any of them is found here.
import os, signal, sys, time
st = os.stat(sys.argv[1])
want = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
def holder():
    for line in open("/proc/locks"):
        w = line.split()
        if w[1] == "FLOCK" and w[5] == want:
            return int(w[4])
for _ in range(20000):
    pid = holder()
    if pid:
        os.kill(pid, signal.SIGSTOP)
        if holder() == pid:
            print(pid)
            sys.exit(0)
        os.kill(pid, signal.SIGCONT)
    time.sleep(0.001)
sys.exit("never caught a writer holding the lock")
