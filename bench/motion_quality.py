#!/usr/bin/env python3
"""The Motion daemon's detection on the scenes of bench/DetectionQuality.cpp, added as two
columns (Motion with its default settings, and tuned) to the tables the quality program
printed.

    motion_quality.py DUMP_DIR TABLES_FILE [CAMERAS_PER_RUN]
    motion_quality.py --again EARLIER_OUTPUT TABLES_FILE

DUMP_DIR is what `detection_quality --dump DUMP_DIR` wrote, TABLES_FILE what it printed
without --dump. Runs Motion (it must be installed) in a temporary folder. With --again, no
Motion runs: its columns are taken from an earlier output of this script, for new tables
after a change to our own detection (the scenes, and so Motion's verdicts, stay the same).

How Motion's verdicts are matched to the scenes' cycles: each scene becomes a raw I420 AVI
that Motion reads as a network camera (netcam_url file://...) at a fixed rate, FPS pictures a
second, each of the scene's pictures twice (Motion's reading of a file and its detection loop
run on two clocks, so with one copy a picture now and then went unseen or was seen twice; with
two, every picture is seen). A strip of STRIP rows is added below each picture that carries
the picture's cycle number in eight black or white blocks, and Motion's mask_file hides the
strip from its detection. Motion saves each picture it flags (picture_output on, PPM, no text
drawn on it), and the cycle number is read back from the saved picture's strip: a cycle counts
as flagged when Motion flagged either of its copies. Before the scene, LEAD copies of its first
picture give Motion time to start its cameras; after it, copies of its last picture (numbered
TAIL_CODE) give the last cameras time to finish before Motion is stopped. A first run with
emulate_motion (every picture counts as motion, so every picture Motion sees is saved) shows
whether Motion saw every cycle of every scene.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FPS = 8  # two copies of each picture: the scenes' 4 cycles a second
COPIES = 2
LEAD, TAIL = 40, 80
STRIP = 16
LEAD_CODE, TAIL_CODE = 254, 255
LEAD_IN = 20  # the quality program's lead-in cycles


def tuned(minimal):
    """Motion tuned like the robust detection: its pixel count at the Minimal Movement, its own
    noise tuning, its despeckle filter (erode and dilate; without its labelling, which would
    count only the largest changed area against the threshold), and its light switch detection."""
    return {"threshold": minimal, "noise_tune": "on", "despeckle_filter": "EedD",
            "lightswitch_percent": 20, "lightswitch_frames": 5}


def strip(code, width):
    block = width // 8
    row = b"".join((b"\xff" if code >> (7 - b) & 1 else b"\x00") * (3 * block) for b in range(8))
    return row * STRIP


def write_video(pictures, width, height, path):
    """The scene's raw BGR pictures, numbered in their strip, copied and framed by the lead and
    the tail, as a raw I420 AVI at FPS."""
    size = width * height * 3
    encoder = subprocess.Popen(
        ["gst-launch-1.0", "-q", "fdsrc", "fd=0", "!", "rawvideoparse", "format=bgr", f"width={width}",
         f"height={height + STRIP}", f"framerate={FPS}/1", "!", "videoconvert", "!", "video/x-raw,format=I420", "!",
         "avimux", "!", "filesink", f"location={path}"], stdin=subprocess.PIPE)
    with open(pictures, "rb") as f:
        first, last, cycle = None, None, 0
        while True:
            picture = f.read(size)
            if len(picture) < size:
                break
            if first is None:
                first = picture
                for _ in range(LEAD):
                    encoder.stdin.write(picture + strip(LEAD_CODE, width))
            for _ in range(COPIES):
                encoder.stdin.write(picture + strip(cycle, width))
            last, cycle = picture, cycle + 1
    for _ in range(TAIL):
        encoder.stdin.write(last + strip(TAIL_CODE, width))
    encoder.stdin.close()
    if encoder.wait() != 0:
        sys.exit(f"could not encode {pictures}")
    return cycle


def write_mask(width, height, path):
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width, height + STRIP))
        f.write(b"\xff" * (width * height) + b"\x00" * (width * STRIP))


def picture_code(path):
    """The cycle number in a saved PPM picture's strip."""
    with open(path, "rb") as f:
        head = f.read(64)
        fields, i = [], 0
        while len(fields) < 4:
            while head[i:i + 1].isspace():
                i += 1
            start = i
            while not head[i:i + 1].isspace():
                i += 1
            fields.append(head[start:i])
        width, height = int(fields[1]), int(fields[2])
        f.seek(i + 1 + (height - STRIP // 2) * width * 3)
        row = f.read(width * 3)
    code = 0
    for b in range(8):
        x = (width // 8) * b + width // 16
        code = code * 2 + (1 if sum(row[3 * x:3 * x + 3]) > 3 * 128 else 0)
    return code


def run_motion(folder, videos, width, height, options, cycles):
    """Motion on each scene's video at once (a camera each); the set of cycles flagged, per scene."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    # The saved pictures go to memory where there is a tmpfs: writing them to a disk kept
    # Motion from its pace at 640 x 480 when every picture was saved.
    pictures = tempfile.mkdtemp(prefix="motion-quality-", dir="/dev/shm" if os.path.isdir("/dev/shm") else folder)
    mask = os.path.join(folder, "mask.pgm")
    write_mask(width, height, mask)
    lines = ["daemon off", "setup_mode off", f"log_file {folder}/motion.log", "log_level 5", f"framerate {FPS}",
             "picture_output on", "picture_type ppm", "picture_filename %v-%Y%m%d%H%M%S-%q", 'text_left ""',
             'text_right ""', "movie_output off", "webcontrol_port 0", "stream_port 0"]
    lines += [f"{key} {value}" for key, value in options.items()]
    for n, (scene, video) in enumerate(videos):
        camera = os.path.join(folder, f"camera{scene}.conf")
        with open(camera, "w") as f:
            f.write(f"camera_id {n + 1}\ncamera_name scene{scene}\nnetcam_url file://{video}\nwidth {width}\n"
                    f"height {height + STRIP}\nmask_file {mask}\ntarget_dir {pictures}/{scene}\n")
        lines.append(f"camera {camera}")
    config = os.path.join(folder, "motion.conf")
    with open(config, "w") as f:
        f.write("\n".join(lines) + "\n")
    motion = subprocess.Popen(["motion", "-n", "-c", config], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              cwd=folder)
    time.sleep((LEAD + COPIES * cycles + TAIL / 2) / FPS)
    motion.send_signal(signal.SIGTERM)
    try:
        motion.wait(30)
    except subprocess.TimeoutExpired:
        motion.kill()
        motion.wait()
    flagged = {}
    for scene, _ in videos:
        target = os.path.join(pictures, scene)
        codes = {picture_code(os.path.join(target, p)) for p in os.listdir(target)} if os.path.isdir(target) else set()
        flagged[scene] = {c for c in codes if c < LEAD_CODE}
    shutil.rmtree(pictures)
    shutil.rmtree(folder)
    return flagged


def read_truth(path):
    rows, minimals = [], []
    with open(path) as f:
        for line in f:
            if line.startswith("# minimal"):
                minimals = [int(v) for v in line.split()[2:]]
            else:
                rows.append([int(v) for v in line.split()])
    return minimals, rows


def percent(n, of):
    return f"{100.0 * n / max(of, 1):.0f} %"


def cell(moves, rows, m, flagged):
    """The table's cell, counted as the quality program counts: see its tables' notes."""
    hits = idle_hits = truth_cycles = idle_cycles = scored = 0
    first_truth = first_flag = -1
    moved_before = started = False
    for cycle, is_scored, showing, *truths in rows[1:]:
        truth = truths[m] == 1
        if truth and not moved_before:
            moved_before = True
            if cycle > LEAD_IN:
                first_truth = cycle
        started = started or showing == 1
        if not is_scored:
            continue
        scored += 1
        idle = moves and not truth
        if moves:
            idle_cycles += idle
            truth_cycles += not idle
        if cycle in flagged:
            if idle:
                idle_hits += 1
            else:
                hits += 1
            if first_flag < 0 and started:
                first_flag = cycle
    if not moves:
        return percent(hits, scored)
    text = percent(hits, truth_cycles) if truth_cycles else "-"
    if first_truth >= 0:
        text += ", never" if first_flag < 0 else f", +{max(0, first_flag - first_truth)}"
    if idle_cycles:
        text += f" ({percent(idle_hits, idle_cycles)})"
    return text


def heading_key(line):
    heading = re.match(r"^(\d+) x (\d+), Pixel Variations \d+, Minimal Movement (\d+):", line)
    return tuple(int(v) for v in heading.groups()) if heading else None


def earlier_columns(path):
    """Motion's columns and notes in an earlier output of this script."""
    columns, notes, table = {}, [], None
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if heading_key(line):
                table = columns.setdefault(heading_key(line), {})
            elif line.startswith("| ") and not line.startswith("| scene |") and table is not None:
                cells = line.split(" | ")
                table[cells[0][2:]] = (cells[6], cells[7])
            elif re.match(r"^\d+x\d+: ", line):
                notes.append(line)
    return columns, notes


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--again":
        columns, notes = earlier_columns(sys.argv[2])
        print_tables(sys.argv[3], columns, notes)
        return
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    dump, tables = sys.argv[1], sys.argv[2]
    cameras = int(sys.argv[3]) if len(sys.argv) == 4 else 0
    work = tempfile.mkdtemp(prefix="motion-quality-")
    columns = {}  # (width, height, minimal) -> scene name -> (default cell, tuned cell)
    notes = []
    try:
        for size in sorted(os.listdir(dump), key=lambda s: int(s.split("x")[0])):
            width, height = (int(v) for v in size.split("x"))
            scenes = []
            with open(os.path.join(dump, size, "scenes.txt")) as f:
                for line in f:
                    number, kind, name = line.rstrip("\n").split(" ", 2)
                    scenes.append((number, kind == "moves", name))
            videos, cycles = [], 0
            for number, _, _ in scenes:
                video = os.path.join(work, f"{size}-{number}.avi")
                cycles = write_video(os.path.join(dump, size, f"{number}.bgr"), width, height, video)
                videos.append((number, video))
            truths = {number: read_truth(os.path.join(dump, size, f"{number}.truth")) for number, _, _ in scenes}
            minimals = truths[scenes[0][0]][0]
            runs = {"seen": {"emulate_motion": "on"}, "default": {}}
            runs.update({f"tuned {m}": tuned(m) for m in minimals})
            # Fewer cameras at once on larger pictures, so that Motion keeps its pace on two cores.
            per_run = cameras or (20 if width * height <= 320 * 240 else 13)
            results = {}
            for run, options in runs.items():
                results[run] = {}
                for start in range(0, len(videos), per_run):
                    group = videos[start:start + per_run]
                    results[run].update(run_motion(os.path.join(work, "run"), group, width, height, options, cycles))
            for video in videos:
                os.remove(video[1])
            unseen = []
            for number, _, name in scenes:
                missing = [c for c in range(LEAD_IN + 1, cycles) if c not in results["seen"][number]]
                if missing:
                    unseen.append(f"{name}: {len(missing)}")
            notes.append(f"{size}: Motion saw every scored cycle of every scene" if not unseen else
                         f"{size}: scored cycles Motion never saw (counted as not flagged): " + "; ".join(unseen))
            for m, minimal in enumerate(minimals):
                columns[(width, height, minimal)] = {
                    name: (cell(moves, truths[number][1], m, results["default"][number]),
                           cell(moves, truths[number][1], m, results[f"tuned {minimal}"][number]))
                    for number, moves, name in scenes}
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print_tables(tables, columns, notes)


def print_tables(tables, columns, notes):
    """The quality program's tables with Motion's two columns after KNN."""
    table = None
    with open(tables) as f:
        for line in f:
            line = line.rstrip("\n")
            key = heading_key(line)
            if key:
                table = columns.get(key)
                minimal = key[2]
                line += f" (Motion: its defaults, and tuned with threshold {minimal}, noise_tune, " \
                        "despeckle_filter EedD, lightswitch_percent 20)"
            elif line.startswith("| scene |"):
                line = line.replace("| KNN |", "| KNN | Motion default | Motion tuned |")
            elif line.startswith("|---"):
                line += "---|---|"
            elif line.startswith("| ") and table is not None:
                cells = line.split(" | ")
                name = cells[0][2:]
                default, tuned_cell = table.get(name, ("?", "?"))
                cells[6:6] = [default, tuned_cell]
                line = " | ".join(cells)
            print(line)
    print()
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
