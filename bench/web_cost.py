#!/usr/bin/env python3
"""What the web page costs the headless program, and how fast it answers with a full log.

    web_cost.py PROGRAM PAGE_TIMER.mjs SECONDS RUNS

CPU (user + system of the program's process tree over SECONDS, after 5 s of settling, as a
share of one core) on a 640 x 480, 25 frames a second test source that never makes an event
(so no clip is encoded): without --http, with --http and nobody connected, and with one
viewer reading the live MJPEG stream as fast as it comes. The three run RUNS times in turn,
their order rotated each time; the table gives medians.

Then a save folder whose log holds 10,000 events (written as rows, the way the program's own
tests fill it, all sharing one thumbnail): 20 requests each of the first and the last page
of /api/events (50 events), and 20 reloads of the Events page in Debian's chromium, from the
navigation's start to the first event on screen (PAGE_TIMER.mjs), beside the browser's own
floor on this machine (a bare file from the same server); medians.
"""

import datetime
import json
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from system_cost import tree_cpu  # noqa: E402

SOURCE = "videotestsrc pattern=ball is-live=true ! video/x-raw,width=640,height=480,framerate=25/1"
SETTLE = 5
EVENTS = 10_000
REQUESTS = 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    """The headless program in a folder of its own (settings and save folder), ended on leaving."""

    def __init__(self, program, folder, http, save=None):
        self.folder = folder
        self.port = free_port() if http else None
        save = save or os.path.join(folder, "save")
        os.makedirs(folder, exist_ok=True)
        os.makedirs(save, exist_ok=True)
        environment = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"))
        environment.pop("DISPLAY", None)
        command = [program, "--headless", "--source", SOURCE, "--min-movement", "2000000000", "--save-dir", save]
        if http:
            command += ["--http", f"127.0.0.1:{self.port}"]
        self.err = open(os.path.join(folder, "stderr"), "w")
        self.process = subprocess.Popen(command, env=environment, stdout=subprocess.DEVNULL, stderr=self.err)

    def url(self, route):
        return f"http://127.0.0.1:{self.port}{route}"

    def wait_ready(self):
        deadline = time.monotonic() + 30
        while True:
            try:
                with urllib.request.urlopen(self.url("/api/cameras"), timeout=5) as answer:
                    cameras = json.load(answer)["cameras"]
                    if cameras and cameras[0]["state"] == "live":
                        return cameras[0]["id"]
            except OSError:
                pass
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError(f"the program's web server did not come up (see {self.folder}/stderr)")
            time.sleep(0.2)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait(30)
        self.err.close()


class Viewer(threading.Thread):
    """One browser's worth of live MJPEG: reads the stream as it comes and counts its pictures."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url = url
        self.pictures = 0
        self.stopping = False

    def run(self):
        try:
            with urllib.request.urlopen(self.url, timeout=10) as stream:
                while not self.stopping:
                    line = stream.readline()
                    if not line:
                        break
                    if line.lower().startswith(b"content-type: image/jpeg"):
                        self.pictures += 1
        except OSError:
            pass  # the program ended under it


def cpu_case(program, case, seconds):
    folder = tempfile.mkdtemp(prefix=f"web-cost-{case}-")
    try:
        with Program(program, folder, http=case != "without") as run:
            viewer = None
            if case == "without":
                time.sleep(SETTLE)
            else:
                camera = run.wait_ready()
                if case == "viewer":
                    viewer = Viewer(run.url(f"/api/cameras/{camera}/live.mjpeg"))
                    viewer.start()
                time.sleep(SETTLE)
            before, start = tree_cpu(run.process.pid), time.monotonic()
            pictures = viewer.pictures if viewer else 0
            time.sleep(seconds)
            share = (tree_cpu(run.process.pid) - before) / (time.monotonic() - start)
            rate = (viewer.pictures - pictures) / seconds if viewer else None
            if viewer:
                viewer.stopping = True
            return share, rate
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def local_text(ms):
    moment = datetime.datetime.fromtimestamp(ms / 1000).astimezone()
    return moment.isoformat(timespec="milliseconds")


def utc_text(ms):
    return datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc).isoformat(timespec="milliseconds")


def fill_log(program, folder, save):
    """Lets the program make its log, then writes EVENTS ended events into it, one a minute."""
    with Program(program, folder, http=False, save=save):
        log = os.path.join(save, "events.sqlite")
        deadline = time.monotonic() + 30
        while not os.path.exists(log) and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(1)
    thumbnail = os.path.join(save, "shared.jpg")
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=1", "!",
                    "video/x-raw,width=320,height=240", "!", "jpegenc", "!", "filesink", f"location={thumbnail}"],
                   check=True)
    first = int(time.time() * 1000) - EVENTS * 60_000
    with sqlite3.connect(log) as db:
        db.executemany(
            "INSERT INTO events (state, start_ms, start_local, start_utc, end_ms, end_local, end_utc, peak_count, "
            "peak_percent, moving_cycles, centre_path, thumbnail, clip) "
            "VALUES ('ended', ?, ?, ?, ?, ?, ?, ?, 1.5, 3, '', ?, '')",
            ((start, local_text(start), utc_text(start), start + 4000, local_text(start + 4000),
              utc_text(start + 4000), 1000 + i, thumbnail)
             for i, start in ((i, first + i * 60_000) for i in range(EVENTS))))


def median_ms(url):
    times = []
    for _ in range(REQUESTS):
        start = time.perf_counter()
        with urllib.request.urlopen(url, timeout=30) as answer:
            body = json.load(answer)
        times.append((time.perf_counter() - start) * 1000)
    assert body["total"] == EVENTS, body["total"]
    return statistics.median(times)


def full_log(program, timer, folder):
    save = os.path.join(folder, "save")
    os.makedirs(save)
    fill_log(program, os.path.join(folder, "fill"), save)
    with Program(program, os.path.join(folder, "serve"), http=True, save=save) as run:
        run.wait_ready()
        first = median_ms(run.url("/api/events?limit=50"))
        last = median_ms(run.url(f"/api/events?offset={EVENTS - 50}&limit=50"))
        page = subprocess.run(["node", timer, run.url("/events"), str(REQUESTS)], check=True, capture_output=True,
                              text=True, env=dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "browser")))
        shown, floor = (float(v) for v in page.stdout.split())
        return first, last, shown, floor


def main():
    program, timer, seconds, runs = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    loads = os.getloadavg()
    cases = ["without", "idle", "viewer"]
    shares = {case: [] for case in cases}
    rates = []
    for run in range(runs):
        for case in cases[run % 3:] + cases[:run % 3]:
            share, rate = cpu_case(program, case, seconds)
            shares[case].append(share)
            if rate is not None:
                rates.append(rate)
            print(f"  run {run + 1} {case:8}: {share * 100:5.1f} % of a core"
                  + (f", {rate:.1f} pictures a second seen" if rate is not None else ""), flush=True)
    without, idle, viewer = (statistics.median(shares[c]) for c in cases)

    folder = tempfile.mkdtemp(prefix="web-cost-log-")
    try:
        first, last, page, floor = full_log(program, timer, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print()
    print(f"Medians of {runs} run(s), {seconds:.0f} s each, 640 x 480 at 25 frames a second; "
          f"{REQUESTS} requests with {EVENTS:,} events in the log; the machine's load at the start "
          f"{loads[0]:.1f}, at the end {os.getloadavg()[0]:.1f} (on {os.cpu_count()} cores).")
    rows = [
        ("CPU without --http", "", f"{without * 100:.1f} % of a core"),
        ("CPU with --http, nobody connected", "ratio ~1", f"{idle * 100:.1f} % ({idle / without:.2f}x)"),
        ("one viewer of live.mjpeg, extra CPU", "<= 5 %",
         f"+{(viewer - idle) * 100:.1f} % of a core ({statistics.median(rates):.1f} pictures/s)"),
        ("Events page to the first event", "<= 100 ms",
         f"{page:.0f} ms (a bare file {floor:.0f} ms: the browser's floor here)"),
        ("/api/events, first 50", "<= 20 ms", f"{first:.1f} ms"),
        ("/api/events, last 50", "<= 20 ms", f"{last:.1f} ms"),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"{'':{width}}  {'goal':10} result")
    for what, goal, result in rows:
        print(f"{what:{width}}  {goal:10} {result}")


if __name__ == "__main__":
    main()
