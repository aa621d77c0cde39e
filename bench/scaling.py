#!/usr/bin/env python3
"""The numbers behind bench/scaling, and its plot.

  scaling.py run BUILD DIR WRITERS SECONDS OUT
      one logtest-run with one reader on the empty directory DIR; OUT gets its JSON summary's
      totals, each writer's records, counted from the logs while the run goes on, and what the
      model needs: the plain locked append's time on DIR's file system (append_bench), taken
      just before and just after the run, and the mean of the pauses as the kernel gives them
  scaling.py plot LABEL PNG RUN...
      the table on standard output and the two panels in PNG, from the files that run wrote
      (gnuplot's data files go beside them)

Each writer's records are the highest sequence number it left in any log: sequence numbers
run 1, 2, 3, ... per writer without gaps. Readers delete all but the last ten logs, and a writer
with an even ID that sleeps four seconds at the stop may have its last record in a log long
deleted, so the logs are read as they appear, before any reader deletes them, and once more at
the end (the last numbered logs and last_log). Every record of a writer seen means its count is
exact; the table says so.
"""
import json
import os
import re
import signal
import struct
import subprocess
import sys
import time

HEADER = struct.Struct("<5I16s")  # magic, offset, clientID, seqNo, dataLen, md5
RECORD_MAGIC = 0xDEADBEAF

# The writer's designed pauses: before each append usleep(0 to 999 us), and writers with an even
# client ID sleep 4 s before 2 appends in 100.
MEAN_PAUSE_S = 499.5e-6
EVEN_EXTRA_PAUSE_S = 0.02 * 4


def append_cost(build, directory):
    """Seconds of one plain locked append (open, flock, open, fstat, write, fsync, close, close)
    on directory's file system. A disk shared with others drifts, so each run measures it
    before and after."""
    out = subprocess.run(
        [f"{build}/bench/append_bench", "--benchmark_min_time=1", "--benchmark_format=json"],
        env=dict(os.environ, LOGTEST_BENCH_DIR=directory),
        capture_output=True, text=True, check=True).stdout
    run = json.loads(out)["benchmarks"][0]
    if run.get("error_occurred"):
        sys.exit(f"append_bench on {directory}: {run.get('error_message')}")
    return run["plain_us"] * 1e-6


def kernel_pause():
    """Mean seconds that a pause drawn like the writer's (0 to 999 us) really lasts: the
    kernel's timer slack and wake-up latency come on top (plus some interpreter time here)."""
    draws = [(i * 7919) % 1000 for i in range(2000)]
    start = time.monotonic()
    for us in draws:
        time.sleep(us * 1e-6)
    return (time.monotonic() - start) / len(draws)


class Tally:
    """Per client ID the highest sequence number seen and how many records carried it."""

    def __init__(self):
        self.highest = {}
        self.records = {}
        self.tried = set()
        self.read = set()

    def add_file(self, path):
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return False
        offset = 0
        while offset + HEADER.size <= len(data):
            magic, _, client, seq, length, _ = HEADER.unpack_from(data, offset)
            if magic != RECORD_MAGIC:  # the terminator; or damage, which the reader reports
                break
            self.highest[client] = max(self.highest.get(client, 0), seq)
            self.records[client] = self.records.get(client, 0) + 1
            offset += HEADER.size + length
        return True

    def add_new_logs(self, directory):
        numbers = [int(m.group(1)) for m in map(re.compile(r"log\.(\d+)$").match,
                                                os.listdir(directory)) if m]
        for n in sorted(numbers):
            if n not in self.tried:
                self.tried.add(n)
                if self.add_file(f"{directory}/log.{n}"):
                    self.read.add(n)

    def exact(self):
        """True if no numbered log went unread and every record of every writer was seen."""
        every_log = not self.read or len(self.read) == max(self.read)
        return every_log and all(self.records[c] == self.highest[c] for c in self.highest)


def run(build, directory, writers, seconds, out):
    cost_before = append_cost(build, directory)
    pause = kernel_pause()
    summary = f"{out}.summary.json"
    with open(f"{out}.log", "w") as log:
        launcher = subprocess.Popen(
            [f"{build}/logtest-run", "-t", str(seconds), "-w", str(writers), "-r", "1",
             "--quiet", "--json", summary, directory], stdout=log, stderr=subprocess.STDOUT)
        tally = Tally()
        try:
            while launcher.poll() is None:
                tally.add_new_logs(directory)
                time.sleep(0.05)
        except KeyboardInterrupt:
            # Stop the test (if Ctrl-C reached the launcher as well, this second interrupt only
            # cuts its grace time short) and let it end its processes before anything they use
            # is unmounted.
            launcher.send_signal(signal.SIGINT)
            launcher.wait()
            raise
    tally.add_new_logs(directory)
    tally.add_file(f"{directory}/last_log")
    cost_after = append_cost(build, directory)
    with open(summary) as f:
        s = json.load(f)
    if s["verdict"] != "PASS":
        sys.exit(f"logtest-run with {writers} writers: {s['verdict']}; see {out}.log")
    cpu = sum((p["cpu_user_s"] or 0) + (p["cpu_system_s"] or 0) for p in s["processes"])
    result = {
        "writers": writers,
        "append_cost_s": (cost_before + cost_after) / 2,
        "append_cost_before_after_s": [cost_before, cost_after],
        "kernel_pause_s": pause,
        "cores_used": cpu / s["elapsed_s"],
        "cpu_us_per_record": cpu / max(1, sum(tally.highest.values())) * 1e6,
        "seconds": s["totals"]["seconds"],
        "records_per_s_estimated": s["totals"]["records_per_s_estimated"],
        "mb_per_s": s["totals"]["mb_per_s"],
        "records_per_writer": {str(c): n for c, n in sorted(tally.highest.items())},
        "exact": tally.exact(),
    }
    with open(out, "w") as f:
        json.dump(result, f)


def model(writers, cost, pause=MEAN_PAUSE_S):
    """Records per second the design allows: each writer offers one append per (mean pause +
    append cost), and the lock lets at most one append through per plain locked append."""
    offered = sum(1 / (pause + (EVEN_EXTRA_PAUSE_S if i % 2 == 0 else 0) + cost)
                  for i in range(1, writers + 1))
    return min(offered, 1 / cost)


def table_row(r, measured, limit, kernels):
    """One line of the table: the rates, their ratios, what the model was made of, the spread."""
    ids = r["records_per_writer"]
    odd = [v for c, v in ids.items() if int(c) % 2 == 1]
    even = [v for c, v in ids.items() if int(c) % 2 == 0]
    counted = sum(ids.values()) / r["seconds"]
    costs = "/".join(f"{c * 1e6:.0f}" for c in r["append_cost_before_after_s"])
    return (f"{r['writers']:7d} {measured:10.0f} {counted:10.0f} {limit:8.0f}"
            f" {measured / limit:6.2f} {kernels:9.0f} {measured / kernels:6.2f}"
            f" {r['append_cost_s'] * 1e6:10.1f} {costs:12s} {r['kernel_pause_s'] * 1e6:9.1f}"
            f" {r['cores_used']:6.2f} {r['cpu_us_per_record']:7.0f}  {span(odd):14s}"
            f"  {span(even):15s}  {'exact' if r['exact'] else 'lower bound'}")


def plot(label, png, run_files):
    runs = [json.load(open(p)) for p in run_files]
    base = os.path.join(os.path.dirname(run_files[0]), label)
    print(f"{label}: records/s from logtest-run's JSON summary; counted/s from the records in "
          f"the logs; model with the designed pauses (499.5 us) and with the kernel's")
    print("writers  records/s  counted/s    model  ratio  kernel's  ratio  append us before/after"
          "  pause us  cores  cpu us  per odd writer  per even writer  counts")
    with open(f"{base}.rates.dat", "w") as rates, open(f"{base}.writers.dat", "w") as each:
        for r in runs:
            n, cost = r["writers"], r["append_cost_s"]
            limit, kernels = model(n, cost), model(n, cost, r["kernel_pause_s"])
            measured = r["records_per_s_estimated"]
            rates.write(f"{n} {measured} {limit} {kernels}\n")
            for c, v in r["records_per_writer"].items():
                each.write(f"{n} {v} {int(c) % 2}\n")
            print(table_row(r, measured, limit, kernels))
    seconds = f"{runs[0]['seconds']:.0f} s"
    gnuplot = f"""
set terminal pngcairo size 900,900 font ",10"
set output "{png}"
set multiplot layout 2,1 title "logtest on {label}: {seconds} per point, one reader"
set logscale x 2
set xrange [0.8:40]
set xtics (1, 2, 4, 8, 16, 32)
set xlabel "writers"
set grid
set key bottom right
set ylabel "records per second"
set yrange [0:*]
plot "{base}.rates.dat" using 1:3 with lines lw 2 dt 2 \\
       title "model: designed pauses; at most one append per plain locked append", \\
     "" using 1:4 with lines lw 1 dt 3 title "model with the pauses as the kernel gives them", \\
     "" using 1:2 with linespoints lw 2 pt 7 title "measured (logtest-run --json)"
set logscale y
set yrange [*:*]
set ylabel "records per writer in {seconds}"
set key top right
plot "{base}.writers.dat" using ($1*0.97):($3 == 1 ? $2 : 1/0) with points pt 7 \\
       title "odd client IDs", \\
     "" using ($1*1.03):($3 == 0 ? $2 : 1/0) with points pt 6 \\
       title "even client IDs (4 s sleeps by design)"
unset multiplot
"""
    subprocess.run(["gnuplot"], input=gnuplot, text=True, check=True)


def span(values):
    if not values:
        return "-"
    return f"{min(values)}-{max(values)}" if min(values) != max(values) else str(values[0])


def main(argv):
    if len(argv) == 6 and argv[0] == "run":
        run(argv[1], argv[2], int(argv[3]), int(argv[4]), argv[5])
    elif len(argv) >= 4 and argv[0] == "plot":
        plot(argv[1], argv[2], argv[3:])
    else:
        sys.exit(__doc__)


def interrupted(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, interrupted)
    try:
        main(sys.argv[1:])
    except KeyboardInterrupt:
        sys.exit(130)
