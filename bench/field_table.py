"""The table of bench/field from the JSON summaries of its runs: one row per file system,
client option set and nemesis, and with -o a page with every run's first defect and cause.
  field_table.py RUNS_DIR RUNS KERNEL VERSIONS OUT.md ROW...
"""
import datetime
import json
import os
import statistics
import sys

runs_dir, runs, kernel, versions, out_md = sys.argv[1:6]
rows = sys.argv[6:]
runs = int(runs)
version_of = {}
for line in versions.splitlines():
    package, version = line.split(" ", 1)
    version_of[{"glusterfs-client": "gluster", "moosefs-client": "moosefs",
                "ceph-fuse": "cephfs"}.get(package, package)] = version.split("-")[0].split("+")[0]
FS_NAME = {"gluster": "GlusterFS", "moosefs": "MooseFS", "cephfs": "CephFS"}


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def first_defect(d):
    """Seconds from the writers' start, the first diagnostic or finding, and the likely cause
    of a FAIL. The JSON's times run from the launcher's start, a second or two earlier."""
    writers_s = d["stop_s"] - d["totals"]["seconds"]
    diags = d["diagnostics"]["first"]
    if diags:
        at, line = diags[0]["at_s"], f"{diags[0]['process']}: {diags[0]['line']}"
    elif d["failures"]:
        at, line = d["stop_s"], d["failures"][0]["text"]
    else:
        at, line = d["stop_s"], d["verdict"]
    cause = (d.get("explanation") or {}).get("cause") or ""
    return at - writers_s, line, cause


def span(values, unit=""):
    if not values:
        return "-"
    lo, hi = min(values), max(values)
    return f"{lo:.1f}{unit}" if hi - lo < 0.05 else f"{lo:.1f} to {hi:.1f}{unit}"


table = []
details = []
for row in rows:
    fs, option_set, *rest = row.split("/")
    nemesis = rest[0] if rest else "none"
    name = row.replace("/", "-")
    results = [load(os.path.join(runs_dir, f"{name}.{i}.json")) for i in range(1, runs + 1)]
    base = load(os.path.join(runs_dir, f"{name}.ext4.json"))
    verdicts = [d["verdict"] if d else "no summary" for d in results]
    fails = [first_defect(d) for d in results if d and d["verdict"] == "FAIL"]
    rates = [d["totals"]["mb_per_s"] for d in results if d and d["verdict"] == "PASS"]
    rate = statistics.median(rates) if rates else None
    base_rate = base["totals"]["mb_per_s"] if base and base["verdict"] == "PASS" else None
    ratio = f"{rate / base_rate:.2f}" if rate and base_rate else "-"
    counts = ", ".join(f"{verdicts.count(v)} {v}" for v in sorted(set(verdicts)))
    defect = fails[0][1] if fails else ""
    cause = fails[0][2] if fails else ""
    table.append([FS_NAME.get(fs, fs), version_of.get(fs, "?"), f"`{option_set}`", nemesis, counts,
                  span([f[0] for f in fails], " s"), f"`{defect}`" if defect else "",
                  cause, f"{rate:.2f}" if rate else "-", ratio])
    for i, d in enumerate(results, 1):
        if not d:
            details.append(f"- {row} run {i}: no summary")
            continue
        n = d.get("nemesis") or {}
        actions = ", ".join(f"{a['start_s']:.0f} s (status {a['status']})"
                            for a in n.get("actions", []))
        text = f"- {row} run {i}: {d['verdict']}, {d['totals']['mb_per_s']:.2f} MB/s"
        if actions:
            text += f"; nemesis at {actions}"
        if d["verdict"] == "FAIL":
            at, line, why = first_defect(d)
            text += f"; first defect at {at:.1f} s: `{line}`"
            if why:
                text += f"; likely cause: {why}"
            if n.get("before_first_defect"):
                text += f"; {n['before_first_defect']}"
        details.append(text)

HEADER = ["File system", "Version", "Client options", "Nemesis", "Verdicts",
          "First defect after", "First defect", "Likely cause", "MB/s", "Ratio to ext4"]
lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in r) + " |" for r in table]
print("\n".join(lines))
if out_md != "/dev/null":
    with open(out_md, "w") as f:
        f.write(f"# The field's truth table, {datetime.date.today()}\n\n")
        f.write(f"Made by `bench/field` on kernel {kernel}, {runs} runs a row, each "
                "`-w 4 -r 4` across the hosts of a simulated cluster, one client each. "
                "MB/s is the median of the runs that passed; the ratio sets it against local "
                "ext4 run with the same processes just before the row. A first defect counts "
                "from the writers' start; the nemesis actions, as the JSON gives them, from "
                "the launcher's, a second or two earlier.\n\n")
        f.write("\n".join(lines) + "\n\n## Every run\n\n" + "\n".join(details) + "\n")
