#!/usr/bin/env python3
"""The report's pages opened in a real browser (headless Chromium through Selenium): one PASS,
one FAIL with its explanation, and three runs side by side. Each must run without a script
error, draw its charts with the points of its JSON, show the verdict and the reasons, and fit
a phone-sized window.

  report_test.py LOGTEST_RUN LOGTEST SCREENSHOT.png

SCREENSHOT.png gets the FAIL's page, as the README shows it.
"""
import json
import os
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

launcher, logtest, screenshot = sys.argv[1:4]
work = tempfile.mkdtemp(prefix="report_test.")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def run(name, *args):
    """A short run of its own; returns its JSON summary's path."""
    summary = f"{work}/{name}.json"
    logs = f"{work}/{name}"
    os.mkdir(logs)
    subprocess.run([launcher, "--quiet", "--logtest", logtest, "--json", summary, *args, logs],
                   stdout=subprocess.DEVNULL, check=False)
    return summary


def report(*files):
    out = f"{work}/{len(files)}-{os.path.basename(files[0])}.html"
    done = subprocess.run([launcher, "report", *files, "-o", out], capture_output=True, text=True)
    check(done.returncode == 0, f"report of {files}: {done.stderr}")
    return out


def browser():
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1000,1400"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def points(page, chart_id):
    return page.execute_script(
        "const c = Chart.getChart(arguments[0]);"
        "return c ? c.data.datasets.map(s => s.data.length) : null;", chart_id)


def expected_rate(d):
    t = d["timeline"]
    return len([i for i in range(1, len(t)) if t[i]["t"] > t[i - 1]["t"]])


def expected_lag(d):
    readers = [p for p in d["processes"] if p["role"] == "reader"]
    return [len([l for l in d["log_times"] if l[1] is not None and len(l[2]) > i and
                 l[2][i] is not None]) for i in range(len(readers))]


def open_page(page, path):
    page.get("file://" + path)
    errors = [e for e in page.get_log("browser") if e["level"] == "SEVERE"]
    check(not errors, f"{path}: script errors {errors}")


def check_one(page, summary, path):
    d = json.load(open(summary))
    open_page(page, path)
    check(page.find_element("css selector", "#verdict h1").text == d["verdict"],
          f"{path}: the verdict is not first")
    reasons = [e.text for e in page.find_elements("css selector", ".reason")]
    check(reasons == [f["text"] for f in d["failures"]], f"{path}: reasons {reasons}")
    check(points(page, "rate") == [expected_rate(d)], f"{path}: MB/s points {points(page, 'rate')}")
    check(points(page, "hosts") == [len(d["timeline"])], f"{path}: host points")
    check(points(page, "lag") == expected_lag(d), f"{path}: lag points {points(page, 'lag')}")
    return d


def fits_a_phone(page, path):
    page.set_window_size(390, 844)
    open_page(page, path)
    wide = page.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
    check(wide <= 1, f"{path}: {wide} px wider than a phone's window")
    page.set_window_size(1000, 1400)


passed = run("pass", "-t", "3", "-w", "2", "-r", "2")
failed = run("fail", "--inject", "bit-flip", "-t", "20", "-w", "2", "-r", "1")
other = run("other", "-t", "2", "-w", "1", "-r", "1")
page = browser()
try:
    check_one(page, passed, report(passed))
    fail_page = report(failed)
    d = check_one(page, failed, fail_page)
    check(d["verdict"] == "FAIL", "the injected run did not fail")
    cause = page.find_element("css selector", ".cause").text
    check(cause == "Likely cause: " + d["explanation"]["cause"], f"cause shown: {cause}")
    page.save_screenshot(screenshot)
    fits_a_phone(page, fail_page)

    three = report(passed, failed, other)
    open_page(page, three)
    rows = page.find_elements("css selector", "#runs tr")
    check(len(rows) == 4, f"{len(rows) - 1} rows for 3 runs")
    runs = [json.load(open(f)) for f in (passed, failed, other)]
    check(points(page, "rate") == [expected_rate(d) for d in runs], "the runs' throughput")
    fits_a_phone(page, three)
finally:
    page.quit()

# Not a run's JSON: a message, exit status 2, and no page.
bogus = f"{work}/bogus.json"
open(bogus, "w").write('{"tool": "something else"}')
done = subprocess.run([launcher, "report", bogus, "-o", f"{work}/bogus.html"],
                      capture_output=True, text=True)
check(done.returncode == 2 and "is not the JSON summary" in done.stderr, done.stderr)
check(not os.path.exists(f"{work}/bogus.html"), "a page was written for a file that is no run")

if failures:
    print("kept", work)
    sys.exit(1)
subprocess.run(["rm", "-rf", work], check=False)
