// The page's own script: draws one run, or several side by side, from RUNS (their JSON
// summaries, any version: what a summary lacks is left out).
(function () {
  "use strict";
  const app = document.getElementById("app");

  function el(tag, attrs, ...kids) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) node.setAttribute(k, v);
    for (const kid of kids) {
      if (kid === null || kid === undefined) continue;
      node.append(kid instanceof Node ? kid : document.createTextNode(String(kid)));
    }
    return node;
  }
  const num = (x, digits) => (typeof x === "number" ? x.toFixed(digits) : "-");
  const readers = (d) => (d.processes || []).filter((p) => p.role === "reader");
  const firstDefect = (d) => ((d.events || []).find((e) => e.event === "first_diagnostic") || {}).at_s;

  // Seconds and MB/s between consecutive points of the timeline.
  function rate(d) {
    const t = d.timeline || [];
    const out = [];
    for (let i = 1; i < t.length; i++) {
      const dt = t[i].t - t[i - 1].t;
      if (dt > 0) out.push({ x: t[i].t, y: (t[i].bytes - t[i - 1].bytes) / 1e6 / dt });
    }
    return out;
  }

  // For each reader, how long after its rename it began each log.
  function lag(d) {
    return readers(d).map((r, i) => ({
      label: r.name,
      data: (d.log_times || [])
        .filter((l) => l[1] !== null && l[2][i] !== null && l[2][i] !== undefined)
        .map((l) => ({ x: l[1], y: Math.max(0, l[2][i] - l[1]) })),
    }));
  }
  const slowestLag = (d) => Math.max(0, ...lag(d).flatMap((s) => s.data.map((p) => p.y)));

  function hostName(h) {
    return h.name === null || h.name === undefined ? "this host" : h.name;
  }

  function renamedByHost(d) {
    const t = d.timeline || [];
    return (d.hosts || []).map((h, i) => ({
      label: hostName(h),
      data: t.filter((p) => p.renamed_by_host).map((p) => ({ x: p.t, y: p.renamed_by_host[i] })),
    }));
  }

  // Vertical lines at the run's events: the first defect, the stop, a lost host.
  const eventLines = {
    id: "eventLines",
    afterDatasetsDraw(chart, args, options) {
      const x = chart.scales.x;
      const ctx = chart.ctx;
      for (const e of options.events || []) {
        if (e.event === "end" || e.event === "nemesis_end") continue;
        const px = x.getPixelForValue(e.at_s);
        ctx.save();
        ctx.strokeStyle = e.event === "first_diagnostic" ? "#c00" : "#888";
        ctx.setLineDash([4, 3]);
        ctx.beginPath();
        ctx.moveTo(px, chart.chartArea.top);
        ctx.lineTo(px, chart.chartArea.bottom);
        ctx.stroke();
        ctx.fillStyle = ctx.strokeStyle;
        ctx.fillText(e.event.replace("_", " "), px + 3, chart.chartArea.top + 10);
        ctx.restore();
      }
    },
  };

  const PALETTE = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
    "#17becf", "#7f7f7f", "#bcbd22"];

  function chart(title, id, datasets, yTitle, events) {
    datasets.forEach((s, i) => {
      s.borderColor = PALETTE[i % PALETTE.length];
      s.backgroundColor = PALETTE[i % PALETTE.length];
      s.borderWidth = 1.5;
    });
    const canvas = el("canvas", { id: id, "aria-label": title, role: "img" });
    const box = el("div", { class: "chart" }, el("h3", {}, title), canvas);
    new Chart(canvas, {
      type: "line",
      data: { datasets: datasets },
      options: {
        animation: false,
        responsive: true,
        maintainAspectRatio: false,
        parsing: true,
        elements: { point: { radius: 0 } },
        scales: {
          x: { type: "linear", title: { display: true, text: "seconds" } },
          y: { beginAtZero: true, title: { display: true, text: yTitle } },
        },
        plugins: { eventLines: { events: events || [] } },
      },
      plugins: [eventLines],
    });
    return box;
  }

  function verdictBlock(d) {
    const cls = d.verdict === "PASS" ? "pass" : d.verdict === "FAIL" ? "fail" : "none";
    const t = d.totals || {};
    const block = el(
      "section",
      { id: "verdict", class: "verdict " + cls },
      el("h1", {}, d.verdict),
      el("p", {}, `after ${num(t.seconds, 1)} s: ${t.logs_written} logs written, ` +
        `${t.logs_verified} verified by the slowest reader, ${num(t.mb_per_s, 2)} MB/s, ` +
        `~${num(t.records_per_s_estimated, 0)} records/s; stopped: ${d.stop_reason}`));
    const reasons = (d.failures || []).map((f) => el("li", { class: "reason" }, f.text));
    if (reasons.length) block.append(el("h2", {}, "Failed because"), el("ul", {}, ...reasons));
    const lost = (d.hosts_lost || []).map((f) => el("li", {}, f.text));
    if (lost.length) block.append(el("h2", {}, "Hosts lost"), el("ul", {}, ...lost));
    const warnings = (d.warnings || []).map((f) => el("li", {}, f.text));
    if (warnings.length) block.append(el("h2", {}, "Warnings"), el("ul", {}, ...warnings));
    const first = ((d.diagnostics || {}).first || []).slice(0, 10);
    if (first.length) {
      block.append(el("h2", {}, "First diagnostics"),
        el("pre", {}, first.map((l) => `${l.process}: ${l.line}`).join("\n")));
    }
    const e = d.explanation;
    if (e) {
      block.append(el("h2", {}, "Where it failed"),
        el("p", {}, e.record ? `${e.process}, ${e.log ? "log." + e.log : "last_log"}, record ${e.record}`
          : e.where || e.line),
        el("pre", { class: "dump" }, [...(e.dump || []), ...(e.hex || [])].join("\n")));
      if (e.cause) block.append(el("p", { class: "cause" }, "Likely cause: " + e.cause));
    }
    return block;
  }

  function testedBlock(d) {
    const s = d.system || {};
    const c = d.config || {};
    const rows = [
      ["Tool", d.tool_version],
      ["Host, kernel", `${s.host} (${s.kernel})`],
      ["Hosts", (c.hosts || []).length ? c.hosts.join(", ") : "this host"],
      ["Processes", `${c.writers} writers, ${c.readers} readers`],
      ...(s.mounts || []).map((m) => [m.path, `${m.fs_type} from ${m.source} (${m.options})`]),
      ["Command", (s.command_line || []).join(" ")],
    ];
    return el("section", {}, el("h2", {}, "What was tested"),
      el("table", {}, ...rows.map(([k, v]) => el("tr", {}, el("th", {}, k), el("td", {}, v)))));
  }

  function processTable(d) {
    const head = ["process", "host", "result", "cpu s", "peak MB", "start s", "end s", "logs"];
    const rows = (d.processes || []).map((p) => [
      p.name, p.host || "local", p.result,
      num((p.cpu_user_s || 0) + (p.cpu_system_s || 0), 2), num((p.max_rss_kb || 0) / 1024, 1),
      num(p.start_s, 1), num(p.end_s, 1), p.role === "writer" ? p.logs_renamed : p.logs_verified]);
    return el("section", {}, el("h2", {}, "Processes"),
      el("table", { class: "processes" }, el("tr", {}, ...head.map((h) => el("th", {}, h))),
        ...rows.map((r) => el("tr", {}, ...r.map((v) => el("td", {}, v))))));
  }

  function oneRun(run) {
    const d = run.d;
    document.title = `${d.verdict}: ${run.name}`;
    const events = d.events || [];
    app.append(verdictBlock(d), testedBlock(d),
      el("section", { class: "charts" },
        chart("MB/s", "rate", [{ label: "MB/s", data: rate(d) }], "MB/s", events),
        chart("Logs renamed per host", "hosts", renamedByHost(d), "logs", events),
        chart("Each reader's lag behind the writers", "lag", lag(d), "seconds", events)),
      processTable(d));
  }

  function compare(runs) {
    document.title = `${runs.length} runs`;
    const head = ["run", "file system", "mount options", "kernel", "processes", "verdict",
      "first defect s", "MB/s", "records/s", "slowest lag s"];
    const rows = runs.map(({ name, d }) => {
      const m = ((d.system || {}).mounts || [])[0] || {};
      const c = d.config || {};
      return [name, m.fs_type, m.options, (d.system || {}).kernel, `${c.writers} + ${c.readers}`,
        d.verdict, num(firstDefect(d), 1), num((d.totals || {}).mb_per_s, 2),
        num((d.totals || {}).records_per_s_estimated, 0), num(slowestLag(d), 1)];
    });
    app.append(el("h1", {}, `${runs.length} runs side by side`),
      el("table", { id: "runs" }, el("tr", {}, ...head.map((h) => el("th", {}, h))),
        ...rows.map((r) => el("tr", {}, ...r.map((v) => el("td", {}, v === undefined ? "-" : v))))),
      el("section", { class: "charts" },
        chart("MB/s", "rate", runs.map(({ name, d }) => ({ label: name, data: rate(d) })), "MB/s")));
  }

  if (RUNS.length === 1) oneRun(RUNS[0]);
  else compare(RUNS);
})();
