#!/usr/bin/env python3
"""How many 640 x 480, 25 frames a second cameras one process keeps up with on this machine:
the headless program (one run with N cameras, 4 evaluations a second each, robust detection,
3 s of pre-event buffer) against Motion (one daemon with N camera files), both on the same
looping MJPEG stream served over HTTP on 127.0.0.1 (every camera its own connection).

    cameras_per_core.py PROGRAM SERVER CLIP.avi [SECONDS]

Kept up, for N cameras: ours, when every camera had at least 90 % of its evaluations in the
measured SECONDS (from the --log-cycles lines) and its event's clip holds at least 90 % of
the stream's frames over the clip's span; Motion, when every camera's movie holds at least
90 % of them (Motion looks at every frame, so a daemon that falls behind drops frames). N
goes 1, 2, 4, 8 ... until one fails, then halves the gap to the last good one. CPU is the
process tree's user + system time over the measured SECONDS, per camera, as a share of one
core; the server's own is measured apart.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from system_cost import FPS, clip_frames, newest_clip, start_server, takes_jpeg, tree_cpu  # noqa: E402

PERIOD_MS = 250
WANTED = 0.9


def ours_command(program, folder, url, decode, n):
    config = os.path.join(folder, "cameras.conf")
    with open(config, "w") as f:
        f.write("[General]\nformat=Video settings 1\n[evaluation]\n")
        f.write(f"capturingPeriod={PERIOD_MS}\n[events]\nbeforeSeconds=3\nafterSeconds=3\ngapSeconds=10\n")
        f.write("[cameras]\nnames=" + ", ".join(f"cam{i}" for i in range(n)) + "\n")
        for i in range(n):
            tail = f" ! {decode}" if decode else " ! image/jpeg"
            f.write(f"[camera.cam{i}]\nsource=\"souphttpsrc location={url}?camera={i} is-live=true "
                    f"do-timestamp=true ! multipartdemux{tail}\"\n")
    return [program, "--headless", "--config", config, "--log-cycles", "--detection", "robust",
            "--save-dir", os.path.join(folder, "out")]


def motion_command(folder, url, n):
    main = os.path.join(folder, "motion.conf")
    with open(main, "w") as f:
        f.write(f"daemon off\nsetup_mode off\nlog_file {folder}/motion.log\nlog_level 5\n"
                "webcontrol_port 0\nwebcontrol_localhost on\nstream_port 0\nstream_localhost on\n")
        for i in range(n):
            camera = os.path.join(folder, f"camera{i}.conf")
            os.makedirs(os.path.join(folder, "out", f"cam{i}"))
            with open(camera, "w") as c:
                c.write(f"camera_id {i + 1}\ncamera_name cam{i}\nnetcam_url {url}?camera={i}\n"
                        f"width 640\nheight 480\nframerate {FPS}\npre_capture {3 * FPS}\n"
                        f"post_capture {3 * FPS}\nevent_gap 10\nmovie_output on\nmovie_max_time 0\n"
                        f"movie_codec mkv\npicture_output off\ntarget_dir {folder}/out/cam{i}\n")
            f.write(f"camera {camera}\n")
    return ["motion", "-n", "-c", main]


def run(kind, n, program, url, decode, seconds, server_pid):
    folder = tempfile.mkdtemp(prefix=f"cameras-per-core-{kind}-")
    os.makedirs(os.path.join(folder, "config"))
    os.makedirs(os.path.join(folder, "out"), exist_ok=True)
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, "config"))
    env.pop("CAPTURE_SOURCES", None)
    command = ours_command(program, folder, url, decode, n) if kind == "ours" else motion_command(folder, url, n)
    lines = []
    process = subprocess.Popen(command, env=env, cwd=folder, stdout=subprocess.PIPE,
                               stderr=open(os.path.join(folder, "stderr"), "w"), text=True)
    threading.Thread(target=lambda: lines.extend(process.stdout), daemon=True).start()

    def camera_folders():
        return [os.path.join(folder, "out", f"cam{i}") if n > 1 or kind == "motion" else os.path.join(folder, "out")
                for i in range(n)]

    def recording():
        if kind == "ours":
            started = {json.loads(line).get("camera", "") for line in list(lines) if '"event":"start"' in line}
            return len(started) == n
        return all(os.path.isdir(f) and newest_clip(f) for f in camera_folders())

    deadline = time.monotonic() + 60 + n
    while not recording() and time.monotonic() < deadline and process.poll() is None:
        time.sleep(0.2)
    result = {"n": n, "cpu": None, "server": None, "cycles": None, "frames": None, "kept": False}
    if recording():
        cpu0, server0, wall0, first = tree_cpu(process.pid), tree_cpu(server_pid), time.monotonic(), len(lines)
        time.sleep(seconds)
        wall = time.monotonic() - wall0
        cpu, server, window = tree_cpu(process.pid) - cpu0, tree_cpu(server_pid) - server0, list(lines)[first:]
        result["cpu"] = 100 * cpu / wall / n
        result["server"] = 100 * server / wall
        if kind == "ours":
            counts = {}
            for line in window:
                if '"verdict"' in line:
                    name = json.loads(line).get("camera", "")
                    counts[name] = counts.get(name, 0) + 1
            expected = wall * 1000 / PERIOD_MS
            result["cycles"] = min(counts.values(), default=0) / expected if len(counts) == n else 0.0
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=60 + 2 * n)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if result["cpu"] is not None:
        shares = []
        for f in camera_folders():
            clip = newest_clip(f) if os.path.isdir(f) else None
            frames, span, _ = clip_frames(clip) if clip else (0, 0.0, "")
            shares.append(frames / max(1, round(span * FPS)))
        result["frames"] = min(shares)
        result["kept"] = result["frames"] >= WANTED and (kind != "ours" or result["cycles"] >= WANTED)
    shutil.rmtree(folder, ignore_errors=True)
    return result


def largest(kind, program, url, decode, seconds, server_pid, most):
    results, good, bad, n = {}, 0, None, 1
    while True:
        r = run(kind, n, program, url, decode, seconds, server_pid)
        results[n] = r
        cycles = "" if r["cycles"] is None else f", evaluations {100 * r['cycles']:.0f} %"
        frames = "" if r["frames"] is None else f", clip frames {100 * r['frames']:.0f} %"
        cpu = "" if r["cpu"] is None else f", {r['cpu']:.1f} % of a core per camera (server {r['server']:.0f} %)"
        print(f"  {kind} N={n}: {'kept up' if r['kept'] else 'fell behind'}{cycles}{frames}{cpu}", flush=True)
        if r["kept"]:
            good = n
        else:
            bad = n
        if bad is None:
            if n >= most:
                break
            n = min(most, n * 2)
        elif bad - good <= 1:
            break
        else:
            n = (good + bad) // 2
    return good, results


def main():
    program, server, avi = sys.argv[1:4]
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 20
    most = int(os.environ.get("CAMERAS_PER_CORE_MOST", "64"))
    serving, url = start_server(server, avi)
    try:
        decode = None if takes_jpeg(program, url) else "jpegdec"
        print(f"stream {url} (640 x 480, {FPS} frames a second); ours takes "
              f"{'JPEG as it comes' if decode is None else 'decoded frames'}; {seconds:.0f} s measured per run",
              flush=True)
        found = {}
        for kind in ("ours", "motion"):
            found[kind] = largest(kind, program, url, decode, seconds, serving.pid, most)
        cores = os.cpu_count()
        print(f"\n| program | cameras kept up on {cores} cores | per core | CPU per camera at that N |")
        print("|---|---|---|---|")
        for kind, (n, results) in found.items():
            cpu = results[n]["cpu"] if n else None
            print(f"| {kind} | {n} | {n / cores:.1f} | {'-' if cpu is None else f'{cpu:.1f} %'} |")
        o, m = found["ours"][0], found["motion"][0]
        if m:
            print(f"\ncameras per core, ours / Motion: {o / m:.2f}x (goal: at least 2x)")
    finally:
        serving.terminate()
        serving.wait()


if __name__ == "__main__":
    main()
