#!/usr/bin/env python3
"""Times Report and Create in the desktop window against pixelmote-batch.

The window runs on a virtual X display (the script starts itself again under
xvfb-run), from a copy of the program in a temporary folder, so its settings
file is a fresh one there. It is driven as a person would: Alt+F, then S
(Scan Report) or C (Create Thumbnails). A run ends when the window title is
back to its idle form "Pixelmote - FOLDER" after it has shown the run's
progress; the title is watched with `xprop -spy`, so no polling competes with
the program for the cores.

Report: the tree of bench/report_bench.py (5,000 folders, 100,000 sparse
files; made once), warm, against `pixelmote-batch report TREE`. Goal: the
window within 5 x the batch command.

Create (when --photos names a photo tree, e.g. the benchmark tree of 200
camera-sized JPEGs and 20 GIFs in 15 folders): a fresh copy of the tree for
every run (the tree itself is only read), against `pixelmote-batch create
--jobs N --settings INI` with the window's settings file and N the window's
job count (the number of cores). Goal: the window within 1.2 x the batch
command.

Usage: bench/window_bench.py [--build DIR] [--tree DIR] [--photos DIR]
           [--runs N] [--batch-runs N] [--skip-report] [--timeout S]
           [--screenshot FILE]

--screenshot FILE   also take, in a run of its own, a picture of the window
                    during a Report over the large tree (at about 30 %).
Packages: xvfb xauth xdotool x11-utils imagemagick (for --screenshot).
"""
import argparse
import os
import queue
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(ROOT, "bench"))
import report_bench  # noqa: E402  (the tree maker)

IDLE_PREFIX = "Pixelmote - "
PERCENT_TITLE = re.compile(r"^Pixelmote - -?[0-9][0-9.,]*% ")
# Settings shared by the window and the batch command for Create: size 25 %,
# quality 75 %, no smoothing (knob offsets 38 and 114 of 152).
CREATE_SETTINGS = """[Image]
Type=JPG
Thumb=JPG
Column=5
Border=1
Prefix=t_
Size=38
Quality=114
Smooth=0
"""


def log(text):
    print(text, flush=True)


class TitleWatch:
    """Every change of a window's title, with the time it was seen."""

    def __init__(self, wid):
        self.changes = queue.Queue()
        self.proc = subprocess.Popen(["stdbuf", "-oL", "xprop", "-spy", "-id", wid, "_NET_WM_NAME"],
                                     stdout=subprocess.PIPE, text=True, errors="replace")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pattern = re.compile(r'^_NET_WM_NAME\([^)]*\) = "(.*)"$')
        for line in self.proc.stdout:
            t = time.perf_counter()
            m = pattern.match(line.rstrip("\n"))
            if m:
                self.changes.put((t, m.group(1).replace('\\"', '"').replace("\\\\", "\\")))

    def next(self, deadline):
        return self.changes.get(timeout=max(0.01, deadline - time.perf_counter()))

    def close(self):
        self.proc.kill()
        self.proc.wait()


class Window:
    """The program started in `folder` from a copy in `work`, its window found and focused."""

    def __init__(self, exe, work, folder, settings=None):
        self.bin = os.path.join(work, "bin")
        os.makedirs(self.bin, exist_ok=True)
        shutil.copy2(exe, os.path.join(self.bin, "pixelmote"))
        ini = os.path.join(self.bin, "pixelmote.ini")
        if settings is None:
            if os.path.exists(ini):
                os.remove(ini)
        else:
            with open(ini, "w") as f:
                f.write(settings)
        self.folder = folder
        self.log = open(os.path.join(work, "pixelmote.log"), "w")
        self.proc = subprocess.Popen([os.path.join(self.bin, "pixelmote")], cwd=folder, stdout=self.log,
                                     stderr=subprocess.STDOUT)
        found = subprocess.run(["timeout", "30", "xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                str(self.proc.pid), "--name", "^Pixelmote - "],
                               capture_output=True, text=True)
        ids = found.stdout.split()
        if not ids:
            self.close()
            sys.exit("window_bench: the main window did not appear")
        self.wid = ids[0]
        subprocess.run(["xdotool", "windowfocus", "--sync", self.wid], check=True)
        time.sleep(0.5)
        self.watch = TitleWatch(self.wid)
        time.sleep(0.2)  # xprop prints the current title first
        self._drain()

    def _drain(self):
        while True:
            try:
                self.watch.changes.get_nowait()
            except queue.Empty:
                return

    def run(self, key, timeout, on_title=None):
        """Alt+F, then `key`: seconds until the title is idle again after showing a percentage, and the
        number of titles seen."""
        idle = IDLE_PREFIX + self.folder
        subprocess.run(["xdotool", "key", "alt+f"], check=True)
        time.sleep(0.3)
        self._drain()
        start = time.perf_counter()
        subprocess.run(["xdotool", "key", key], check=True)
        deadline = start + timeout
        busy = False
        titles = 0
        while True:
            try:
                t, title = self.watch.next(deadline)
            except queue.Empty:
                sys.exit(f"window_bench: no idle title within {timeout:.0f} s ({titles} titles seen)")
            titles += 1
            if os.environ.get("WINDOW_BENCH_DEBUG"):
                log(f"    {t - start:8.3f} {title}")
            if on_title is not None:
                on_title(title)
            if PERCENT_TITLE.match(title):
                busy = True  # the folders are being worked on (the walk before shows no percentage)
            elif busy and title == idle:
                return t - start, titles

    def close(self):
        if getattr(self, "watch", None):
            self.watch.close()
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def window_run(exe, work, folder, key, timeout, settings=None, on_title=None):
    """Starts the program in `folder`, runs the command of `key`, ends the program: see Window.run."""
    w = Window(exe, work, folder, settings)
    try:
        return w.run(key, timeout, on_title)
    finally:
        w.close()


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def summary(batch_name, batch_times, window_name, window_times, goal):
    """Prints the medians, the best times and their ratios."""
    mb, mw = statistics.median(batch_times), statistics.median(window_times)
    log(f"  {batch_name}: median {mb:.3f} s, best {min(batch_times):.3f} s over {len(batch_times)} runs")
    log(f"  {window_name}: median {mw:.3f} s, best {min(window_times):.3f} s over {len(window_times)} runs")
    best = min(window_times) / min(batch_times)
    log(f"  ratio window / batch: {mw / mb:.2f} of the medians, {best:.2f} of the best times (goal <= {goal})")


def fresh_copy(source, target):
    if os.path.exists(target):
        shutil.rmtree(target)
    shutil.copytree(source, target, symlinks=True)


def screenshot(exe, work, tree, out, timeout):
    w = Window(exe, work, tree)
    taken = []

    def at_title(title):
        m = re.match(r"^Pixelmote - ([0-9.]+)% ", title)
        if not taken and m and float(m.group(1)) >= 30:
            taken.append(title)
            shot = os.path.join(work, "root.png")
            subprocess.run(["import", "-window", "root", shot], check=True)
            geometry = subprocess.run(["xwininfo", "-id", w.wid], capture_output=True, text=True).stdout
            values = dict(re.findall(r"^\s*(Absolute upper-left X|Absolute upper-left Y|Width|Height):\s+(-?\d+)",
                                     geometry, re.M))
            crop = "{}x{}+{}+{}".format(values["Width"], values["Height"], values["Absolute upper-left X"],
                                        values["Absolute upper-left Y"])
            subprocess.run(["convert", shot, "-crop", crop, "+repage", out], check=True)

    try:
        w.run("s", timeout, at_title)
    finally:
        w.close()
    log(f"screenshot: {out} (title then: {taken[0] if taken else 'none at 30 %'})")


def inside(args):
    exe = os.path.join(args.build, "pixelmote")
    batch = os.path.join(args.build, "pixelmote-batch")
    for path in (exe, batch):
        if not os.access(path, os.X_OK):
            sys.exit(f"window_bench: {path} was not built")
    work = tempfile.mkdtemp(prefix="pixelmote-window-bench.")
    jobs = os.cpu_count() or 1
    try:
        if not args.skip_report:
            report_bench.make_tree(args.tree)
            timed([batch, "report", args.tree])  # warms the cache
            b = [timed([batch, "report", args.tree]) for _ in range(args.batch_runs)]
            wtimes = []
            for _ in range(args.runs):
                seconds, titles = window_run(exe, work, args.tree, "s", args.timeout)
                wtimes.append(seconds)
                log(f"  window report: {seconds:.2f} s ({titles} title changes seen)")
            log(f"report over {args.tree}")
            summary("pixelmote-batch report", b, "window Folder > Scan Report", wtimes, 5)
            if args.screenshot:
                screenshot(exe, work, args.tree, args.screenshot, args.timeout)

        if not args.photos:
            log("create: skipped (no --photos)")
        else:
            ini = os.path.join(work, "create.ini")
            with open(ini, "w") as f:
                f.write(CREATE_SETTINGS)
            target = os.path.join(work, "photos")
            b, wtimes = [], []
            for _ in range(args.runs):
                fresh_copy(args.photos, target)
                b.append(timed([batch, "create", target, "--jobs", str(jobs), "--settings", ini]))
                fresh_copy(args.photos, target)
                settings = CREATE_SETTINGS + f"[Folder]\nPath={target}\n"
                seconds, titles = window_run(exe, work, target, "c", args.timeout, settings)
                wtimes.append(seconds)
                log(f"  batch create: {b[-1]:.2f} s, window create: {seconds:.2f} s ({titles} title changes seen)")
            log(f"create over a copy of {args.photos} ({jobs} jobs)")
            summary(f"pixelmote-batch create --jobs {jobs}", b,
                    "window Folder > Create Thumbnails", wtimes, 1.2)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.environ.get("PIXELMOTE_BUILD_DIR", os.path.join(ROOT, "build")))
    ap.add_argument("--tree", default=os.path.join(ROOT, "bench", "out", "report-tree"))
    ap.add_argument("--photos", help="photo tree for the Create comparison (copied, never written)")
    ap.add_argument("--runs", type=int, default=3, help="window runs of each command (default 3)")
    ap.add_argument("--batch-runs", type=int, default=5, help="batch Report runs (default 5)")
    ap.add_argument("--skip-report", action="store_true")
    ap.add_argument("--timeout", type=float, default=1800, help="seconds one window run may take")
    ap.add_argument("--screenshot", help="PNG of the window during a Report over the large tree")
    ap.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.build = os.path.abspath(args.build)
    args.tree = os.path.abspath(args.tree)
    if args.photos:
        args.photos = os.path.abspath(args.photos)
        if not os.path.isdir(args.photos):
            sys.exit(f"window_bench: no photo tree at {args.photos}")
    if args.screenshot:
        args.screenshot = os.path.abspath(args.screenshot)
    if args.inside:
        return inside(args)

    for tool in ("xvfb-run", "xdotool", "xprop", "xwininfo", "stdbuf"):
        if shutil.which(tool) is None:
            sys.exit(f"window_bench: {tool} is missing (packages: xvfb xauth xdotool x11-utils imagemagick)")
    log(f"load average at start: {os.getloadavg()[0]:.2f}")
    home = tempfile.mkdtemp(prefix="pixelmote-window-home.")
    runtime = os.path.join(home, "runtime")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime, HOME=home, LANG="C.UTF-8",
               LC_ALL="C.UTF-8")
    for name in ("QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_SCALE_FACTOR"):
        env.pop(name, None)
    # The program under test is copied, so a rebuild during the run changes nothing.
    frozen = os.path.join(home, "build")
    os.mkdir(frozen)
    for name in ("pixelmote", "pixelmote-batch"):
        shutil.copy2(os.path.join(args.build, name), frozen)
    cmd = ["xvfb-run", "-a", "-s", "-screen 0 1024x768x24", sys.executable, os.path.abspath(__file__), "--inside",
           "--build", frozen, "--tree", args.tree, "--runs", str(args.runs), "--batch-runs", str(args.batch_runs),
           "--timeout", str(args.timeout)]
    if args.photos:
        cmd += ["--photos", args.photos]
    if args.skip_report:
        cmd.append("--skip-report")
    if args.screenshot:
        cmd += ["--screenshot", args.screenshot]
    try:
        code = subprocess.run(cmd, env=env).returncode
    finally:
        shutil.rmtree(home, ignore_errors=True)
    log(f"load average at end: {os.getloadavg()[0]:.2f}")
    return code


if __name__ == "__main__":
    sys.exit(main())
