#!/usr/bin/env python3
"""The headless program against the Motion daemon on one MJPEG stream while each records an
event: CPU over a fixed time, peak resident memory, and how many of the source's frames
reach the clip. Run through bench/system_cost.sh, which makes the inputs and builds.

    system_cost.py PROGRAM SERVER.py RUNS SECONDS LABEL=FILE.avi ...

Each case runs both programs RUNS times in turn (A B, then B A, ...) and prints medians.
"""

import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

TICK = os.sysconf("SC_CLK_TCK")
FPS = 25
CLIP_SUFFIXES = (".webm", ".mkv", ".mp4", ".avi", ".mov")


def proc_table():
    """pid -> (ppid, cpu ticks including reaped children)."""
    table = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                text = f.read()
        except OSError:
            continue
        fields = text[text.rfind(")") + 2:].split()
        # fields[0] is field 3 of stat (state): ppid is 4, utime..cstime are 14..17.
        table[int(name)] = (int(fields[1]), sum(int(v) for v in fields[11:15]))
    return table


def tree(pid, table):
    found, todo = set(), [pid]
    while todo:
        p = todo.pop()
        if p in found or p not in table:
            continue
        found.add(p)
        todo.extend(c for c, (pp, _) in table.items() if pp == p)
    return found


def tree_cpu(pid):
    table = proc_table()
    return sum(table[p][1] for p in tree(pid, table)) / TICK


def tree_peak_kib(pid):
    peak = 0
    for p in tree(pid, proc_table()):
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def clip_frames(path):
    """(frames, span in seconds from the first frame's start to the last frame's end, "WxH")."""
    # Both kinds of clip are Matroska (WebM is too); demuxing alone keeps each frame's own time.
    demux = "matroskademux" if path.endswith((".webm", ".mkv")) else "parsebin"
    out = subprocess.run(["gst-launch-1.0", "-v", "filesrc", f"location={path}", "!", demux, "!",
                          "fakesink", "silent=false", "sync=false"],
                         capture_output=True, text=True, timeout=600).stdout
    stamps = []
    for m in re.finditer(r"last-message = chain .*?pts: (\d+):(\d+):(\d+\.\d+)", out):
        stamps.append(int(m[1]) * 3600 + int(m[2]) * 60 + float(m[3]))
    size = re.search(r"width=\(int\)(\d+), height=\(int\)(\d+)", out)
    size = f"{size[1]}x{size[2]}" if size else "?"
    if not stamps:
        return 0, 0.0, size
    stamps.sort()
    return len(stamps), stamps[-1] - stamps[0] + 1.0 / FPS, size


def newest_clip(folder):
    clips = [os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(CLIP_SUFFIXES)]
    return max(clips, key=os.path.getmtime) if clips else None


def motion_config(folder, url, size):
    width, height = size.split("x")
    path = os.path.join(folder, "motion.conf")
    with open(path, "w") as f:
        f.write(f"""daemon off
setup_mode off
log_file {folder}/motion.log
log_level 6
netcam_url {url}
width {width}
height {height}
framerate {FPS}
pre_capture {3 * FPS}
post_capture {3 * FPS}
event_gap 10
movie_output on
movie_max_time 0
movie_codec mkv
picture_output off
target_dir {folder}/out
webcontrol_port 0
webcontrol_localhost on
stream_port 0
stream_localhost on
""")
    return path


class Run:
    """One program watching the stream: started, measured while it records, ended, its clip counted."""

    def __init__(self, kind, program, source, url, size, seconds, busy):
        self.kind, self.seconds = kind, seconds
        self.folder = tempfile.mkdtemp(prefix=f"system-cost-{kind}-")
        os.makedirs(os.path.join(self.folder, "out"))
        os.makedirs(os.path.join(self.folder, "config"))
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.folder, "config"))
        env.pop("CAPTURE_SOURCES", None)
        if kind == "ours":
            command = [program, "--headless", "--source", source, "--save-dir", os.path.join(self.folder, "out"),
                       "--detection", "robust"]
        else:
            # Motion scales a network camera's pictures to its width and height (640 x 480
            # unless told), so it is told the stream's own size.
            command = ["motion", "-n", "-c", motion_config(self.folder, url, size)]
        self.busy = subprocess.Popen(["sh", "-c", "while :; do :; done"]) if busy else None
        self.lines, self.started = [], threading.Event()
        self.process = subprocess.Popen(command, env=env, cwd=self.folder, stdout=subprocess.PIPE,
                                        stderr=open(os.path.join(self.folder, "stderr"), "w"), text=True)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.process.stdout:
            self.lines.append(line)
            if '"event":"start"' in line:
                self.started.set()

    def recording(self):
        if self.kind == "ours":
            return self.started.is_set()
        return newest_clip(os.path.join(self.folder, "out")) is not None

    def measure(self, server_pid):
        result = {"cpu": None, "peak": None, "frames": 0, "expected": 0, "clip": None, "server": None,
                  "finish": None}
        deadline = time.monotonic() + 60
        while not self.recording() and time.monotonic() < deadline and self.process.poll() is None:
            time.sleep(0.1)
        if self.recording():
            cpu0, server0, wall0 = tree_cpu(self.process.pid), tree_cpu(server_pid), time.monotonic()
            peak = 0
            while time.monotonic() - wall0 < self.seconds and self.process.poll() is None:
                time.sleep(0.5)
                peak = max(peak, tree_peak_kib(self.process.pid))
            wall = time.monotonic() - wall0
            result["cpu"] = 100 * (tree_cpu(self.process.pid) - cpu0) / wall
            result["server"] = 100 * (tree_cpu(server_pid) - server0) / wall
            result["peak"] = peak
        else:
            print(f"  {self.kind}: no event was recorded within 60 s (see {self.folder}/stderr)", flush=True)
        stop = time.monotonic()
        self.end()
        result["finish"] = time.monotonic() - stop
        if result["peak"] is not None:
            result["peak"] = max(result["peak"], self.max_rss) / 1024.0
        clip = self.clip()
        if clip:
            frames, span, size = clip_frames(clip)
            result.update(frames=frames, expected=round(span * FPS), clip=f"{os.path.basename(clip)} ({size})")
        return result

    def end(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            _, status, usage = os.wait4(self.process.pid, 0)
            self.max_rss = usage.ru_maxrss
        except ChildProcessError:
            self.max_rss = 0
        self.process.returncode = 0
        if self.busy:
            self.busy.kill()
            self.busy.wait()

    def clip(self):
        for line in reversed(self.lines):
            try:
                files = json.loads(line).get("files", [])
            except ValueError:
                continue
            for f in files:
                if f.endswith(CLIP_SUFFIXES) and os.path.exists(f):
                    return f
        return newest_clip(os.path.join(self.folder, "out"))

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def start_server(server, avi):
    process = subprocess.Popen([sys.executable, server, avi, "0", str(FPS)], stdout=subprocess.PIPE, text=True)
    port = int(process.stdout.readline().split()[1])
    return process, f"http://127.0.0.1:{port}/"


def ours_source(url, decode):
    base = f"souphttpsrc location={url} is-live=true do-timestamp=true ! multipartdemux"
    return f"{base} ! {decode}" if decode else f"{base} ! image/jpeg"


def takes_jpeg(program, url):
    """Whether the program evaluates a source that hands it JPEG pictures undecoded."""
    folder = tempfile.mkdtemp(prefix="system-cost-probe-")
    env = dict(os.environ, XDG_CONFIG_HOME=folder)
    env.pop("CAPTURE_SOURCES", None)
    process = subprocess.Popen([program, "--headless", "--log-cycles", "--save-dir", folder, "--source",
                                ours_source(url, None)], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    timer = threading.Timer(10, process.terminate)
    timer.start()
    evaluated = bool(process.stdout.readline())
    timer.cancel()
    process.terminate()
    process.wait()
    shutil.rmtree(folder, ignore_errors=True)
    return evaluated


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def text(value, form):
    return form % value if value is not None else "-"


def main():
    program, server, runs, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    inputs = [a.split("=", 1) for a in sys.argv[5:]]
    limits = {"1920x1080": 120, "640x480": 60}
    decode = os.environ.get("SYSTEM_COST_DECODE")
    rows = []
    for label, avi in inputs:
        server_process, url = start_server(server, avi)
        try:
            if decode is None:
                decode = "" if takes_jpeg(program, url) else "jpegdec"
                print(f"our program is given {'the JPEG pictures as they come' if not decode else 'decoded frames (it does not take image/jpeg)'}:"
                      f" --source \"{ours_source(url, decode)}\"", flush=True)
            for busy in (False, True):
                results = {"ours": [], "motion": []}
                for run in range(runs):
                    order = ("ours", "motion") if run % 2 == 0 else ("motion", "ours")
                    for kind in order:
                        r = Run(kind, program, ours_source(url, decode), url, label, seconds, busy)
                        try:
                            m = r.measure(server_process.pid)
                        finally:
                            r.remove()
                        print(f"  {label} {'busy' if busy else 'idle'} run {run + 1} {kind:6}: "
                              f"cpu {text(m['cpu'], '%.1f')} %  peak {text(m['peak'], '%.1f')} MB  "
                              f"clip {m['clip']} {m['frames']}/{m['expected']} frames  "
                              f"server {text(m['server'], '%.1f')} %  ended in {m['finish']:.1f} s", flush=True)
                        results[kind].append(m)
                rows.append((label, busy, results))
        finally:
            server_process.terminate()
            server_process.wait()

    print()
    print(f"Medians of {runs} run(s) each, {seconds:.0f} s measured while an event records; CPU = user+sys of the "
          "process tree, one core = 100 %; clip = frames in the clip / the source's frames over the clip's span.")
    head = (f"{'input':10} {'load':5} {'program':7} {'CPU %':>7} {'peak MB':>8} {'clip frames':>13} {'clip %':>7}"
            f" {'server CPU %':>13}")
    print(head)
    print("-" * len(head))
    verdicts = []
    for label, busy, results in rows:
        figures = {}
        for kind in ("ours", "motion"):
            ms = results[kind]
            shares = [100.0 * m["frames"] / m["expected"] if m["expected"] else 0.0 for m in ms]
            f = {"cpu": median([m["cpu"] for m in ms]), "peak": median([m["peak"] for m in ms]),
                 "share": median(shares), "frames": median([m["frames"] for m in ms]),
                 "expected": median([m["expected"] for m in ms]), "server": median([m["server"] for m in ms])}
            figures[kind] = f
            print(f"{label:10} {'busy' if busy else 'idle':5} {('Video' if kind == 'ours' else 'Motion'):7} "
                  f"{text(f['cpu'], '%7.1f')} {text(f['peak'], '%8.1f')} "
                  f"{text(f['frames'], '%6.0f')}/{text(f['expected'], '%-6.0f')} {text(f['share'], '%6.1f')}%"
                  f" {text(f['server'], '%13.1f')}")
        o, m = figures["ours"], figures["motion"]
        # The ratio of each run's pair, so that a drift of the machine's speed cancels out.
        pairs = [a["cpu"] / b["cpu"] for a, b in zip(results["ours"], results["motion"])
                 if a["cpu"] is not None and b["cpu"]]
        cpu_ratio = median(pairs)
        peak_ratio = o["peak"] / m["peak"] if o["peak"] and m["peak"] else None
        print(f"{label:10} {'busy' if busy else 'idle':5} {'ratio':7} {text(cpu_ratio, '%6.2fx')} "
              f"{text(peak_ratio, '%7.2fx')}   (Video / Motion)")
        if not busy:
            verdicts.append((f"CPU at {label} at most 0.5x Motion's", cpu_ratio is not None and cpu_ratio <= 0.5,
                             text(cpu_ratio, "%.2fx")))
            verdicts.append((f"peak memory at {label} at most {limits.get(label, 0)} MB",
                             o["peak"] is not None and o["peak"] <= limits.get(label, 0), text(o["peak"], "%.1f MB")))
        verdicts.append((f"clip holds >= 98 % of the source's frames at {label}, {'busy' if busy else 'idle'}",
                         o["share"] is not None and o["share"] >= 98, text(o["share"], "%.1f %%")))
    print()
    print("Targets for Video:")
    for what, met, figure in verdicts:
        print(f"  {'met    ' if met else 'NOT met'}  {what}: {figure}")


if __name__ == "__main__":
    main()
