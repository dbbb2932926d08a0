#!/usr/bin/env python3
"""Times a thumbnail Create run against other thumbnailing tools on the same pictures.

Called by bench/create_bench.sh or bench/run_all.sh, which install the tools,
make the picture tree and build pixelmote-batch first. Only the JPEGs of the
tree are used (the GIFs beside them are left to bench/scale_bench.py). Every
round runs, one after the other on the same warm pictures:

  pixelmote-batch create TREE --size 25 --quality 75 --jobs 1
      (followed, untimed, by `remove`, so every round does the same work);
  djpeg -scale N/8 FILE | cjpeg -quality 75 > OUT     one pipeline per file (the reference);
  djpeg -scale N/8 FILE > /dev/null                   decoding alone (the practical floor);
  gm convert -size WxH FILE -thumbnail WxH! -quality 75 OUT            one process per file;
  convert -define jpeg:size=WxH FILE -thumbnail WxH! -quality 75 OUT   one process per file;
  vipsthumbnail --size WxH FILE... -o OUT[Q=75]       one process per group of same-sized files.

W×H is a quarter of each picture's width and height, rounded half up, as
pixelmote-batch does; N/8 is the smallest libjpeg scale whose output covers
W×H, the scale pixelmote-batch decodes at. Each tool runs once before timing;
the medians of the rounds are printed with their ratio to the djpeg|cjpeg
pipeline, both as a ratio of medians and as the median of the per-round
ratios (paired). Then the peak memory (maximum resident set size) of each
tool on the largest picture alone, measured with /usr/bin/time -v.

Usage: bench/create_bench.py --tree DIR [--rounds N] [--exe PATH] [--scratch DIR]
                             [--peers-only] [--results FILE.json]
"""
import argparse
import collections
import json
import math
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZE_PERCENT = 25
QUALITY = 75


class Picture:
    def __init__(self, path, width, height, orientation, progressive):
        self.path = path
        self.width = width
        self.height = height
        self.progressive = progressive
        # EXIF orientations 5-8 turn the picture a quarter: the shown size is swapped.
        self.turned = orientation in ("LeftTop", "RightTop", "RightBottom", "LeftBottom")

    @property
    def pixels(self):
        return self.width * self.height

    def thumb_size(self, shown=False):
        w, h = thumb_side(self.width), thumb_side(self.height)
        return (h, w) if shown and self.turned else (w, h)

    @property
    def scale_eighths(self):
        """The smallest N of libjpeg's N/8 scales whose output covers the thumbnail."""
        w, h = self.thumb_size()
        for n in range(1, 9):
            if math.ceil(self.width * n / 8) >= w and math.ceil(self.height * n / 8) >= h:
                return n
        return 8


def thumb_side(length):
    # Half up, not Python's round-half-to-even: the same side as pixelmote-batch's.
    return max(1, math.floor(length * SIZE_PERCENT / 100 + 0.5))


def find_pictures(tree, prefix="t_"):
    found = []
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        for name in sorted(files):
            if name.lower().endswith(".jpg") and not name.lower().startswith(prefix):
                found.append(os.path.join(folder, name))
    return found


def describe(paths):
    """Reads every picture's size, orientation and coding once, with identify."""
    pictures = []
    for start in range(0, len(paths), 200):
        chunk = paths[start:start + 200]
        out = subprocess.run(["identify", "-ping", "-format", "%w %h %[orientation] %[interlace]\n", *chunk],
                             check=True, capture_output=True, text=True).stdout.splitlines()
        if len(out) != len(chunk):
            sys.exit(f"identify gave {len(out)} lines for {len(chunk)} pictures")
        for path, line in zip(chunk, out):
            w, h, orientation, interlace = line.split()
            pictures.append(Picture(path, int(w), int(h), orientation, interlace != "None"))
    return pictures


class Timer:
    """Wall-clock and CPU time (user + system of waited-for children) of a block."""

    def __enter__(self):
        self.cpu0 = self._cpu()
        self.t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.t0
        self.cpu = self._cpu() - self.cpu0

    @staticmethod
    def _cpu():
        r = resource.getrusage(resource.RUSAGE_CHILDREN)
        return r.ru_utime + r.ru_stime


def run(cmd, **kw):
    res = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
    if res.returncode != 0:
        sys.exit(f"failed ({res.returncode}): {' '.join(cmd)}\n{res.stderr.decode(errors='replace')}")


def out_name(scratch, index):
    return os.path.join(scratch, f"{index:04d}.jpg")


# --- the tools --------------------------------------------------------------

class Pixelmote:
    label = "pixelmote"

    def __init__(self, exe, tree, pictures):
        self.exe, self.tree, self.count = exe, tree, len(pictures)

    def clean(self):
        run([self.exe, "remove", self.tree])

    def create_cmd(self, tree):
        return [self.exe, "create", tree, "--size", str(SIZE_PERCENT), "--quality", str(QUALITY), "--jobs", "1"]

    def timed(self):
        with Timer() as t:
            run(self.create_cmd(self.tree))
        made = sum(1 for f in find_all(self.tree) if os.path.basename(f).lower().startswith("t_"))
        if made != self.count:
            sys.exit(f"pixelmote-batch create wrote {made} thumbnails for {self.count} pictures")
        self.clean()
        return t


def find_all(tree):
    for folder, _, files in os.walk(tree):
        for name in files:
            yield os.path.join(folder, name)


def djpeg_cmd(p):
    return ["djpeg", "-scale", f"{p.scale_eighths}/8", p.path]


class DjpegCjpeg:
    label = "djpeg|cjpeg"

    def __init__(self, pictures, scratch):
        self.pictures, self.scratch = pictures, scratch

    def timed(self):
        with Timer() as t:
            for i, p in enumerate(self.pictures):
                with open(out_name(self.scratch, i), "wb") as out:
                    d = subprocess.Popen(djpeg_cmd(p), stdout=subprocess.PIPE)
                    c = subprocess.Popen(["cjpeg", "-quality", str(QUALITY)], stdin=d.stdout, stdout=out)
                    d.stdout.close()
                    if c.wait() != 0 or d.wait() != 0:
                        sys.exit(f"djpeg|cjpeg failed on {p.path}")
        return t


class DjpegOnly:
    label = "djpeg only"

    def __init__(self, pictures):
        self.pictures = pictures

    def timed(self):
        with Timer() as t:
            for p in self.pictures:
                run(djpeg_cmd(p))
        return t


class GmConvert:
    label = "gm convert"

    def __init__(self, pictures, scratch):
        self.pictures, self.scratch = pictures, scratch

    @staticmethod
    def cmd(p, out):
        # -size before the file is GraphicsMagick's hint to decode the JPEG at a reduced scale.
        w, h = p.thumb_size()
        return ["gm", "convert", "-size", f"{w}x{h}", p.path, "-thumbnail", f"{w}x{h}!",
                "-quality", str(QUALITY), out]

    def timed(self):
        with Timer() as t:
            for i, p in enumerate(self.pictures):
                run(self.cmd(p, out_name(self.scratch, i)))
        return t


class Convert:
    label = "convert"

    def __init__(self, pictures, scratch, exe):
        self.pictures, self.scratch, self.exe = pictures, scratch, exe

    def cmd(self, p, out):
        w, h = p.thumb_size()
        return [self.exe, "-define", f"jpeg:size={w}x{h}", p.path, "-thumbnail", f"{w}x{h}!",
                "-quality", str(QUALITY), out]

    def timed(self):
        with Timer() as t:
            for i, p in enumerate(self.pictures):
                run(self.cmd(p, out_name(self.scratch, i)))
        return t


class Vips:
    label = "vipsthumbnail"

    def __init__(self, pictures, scratch):
        self.scratch = scratch
        # vipsthumbnail takes one --size per process: group the files by thumbnail size
        # (the shown size, as it turns pictures by their EXIF orientation), and keep
        # output names unique within a group, as they come from the input names.
        self.groups = []
        by_size = {}
        for p in pictures:
            size = p.thumb_size(shown=True)
            groups = by_size.setdefault(size, [])
            stem = os.path.splitext(os.path.basename(p.path))[0]
            group = next((g for g in groups if stem not in g[1]), None)
            if group is None:
                group = ([], set())
                groups.append(group)
            group[0].append(p.path)
            group[1].add(stem)
        for size, groups in sorted(by_size.items()):
            for n, (paths, _) in enumerate(groups):
                out_dir = os.path.join(scratch, f"{size[0]}x{size[1]}-{n}")
                os.makedirs(out_dir, exist_ok=True)
                self.groups.append(self.cmd(size, paths, out_dir))

    @staticmethod
    def cmd(size, paths, out_dir):
        return ["vipsthumbnail", "--size", f"{size[0]}x{size[1]}", *paths,
                "-o", os.path.join(out_dir, f"%s.jpg[Q={QUALITY}]")]

    def timed(self):
        with Timer() as t:
            for cmd in self.groups:
                run(cmd)
        return t


# --- peak memory --------------------------------------------------------------

def max_rss_kb(report_file):
    with open(report_file) as f:
        m = re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read())
    if not m:
        sys.exit(f"no maximum resident set size in {report_file}")
    return int(m.group(1))


def timev(cmd, report, **kw):
    """Runs cmd under /usr/bin/time -v and returns its maximum resident set size in kB."""
    run(["/usr/bin/time", "-v", "-o", report, *cmd], **kw)
    return max_rss_kb(report)


def pipeline_rss(picture, scratch):
    """Peaks of djpeg and cjpeg, each measured on its own while they run as one pipeline."""
    rd, rc = os.path.join(scratch, "djpeg.time"), os.path.join(scratch, "cjpeg.time")
    with open(os.path.join(scratch, "pipe.jpg"), "wb") as out:
        d = subprocess.Popen(["/usr/bin/time", "-v", "-o", rd, *djpeg_cmd(picture)], stdout=subprocess.PIPE)
        c = subprocess.Popen(["/usr/bin/time", "-v", "-o", rc, "cjpeg", "-quality", str(QUALITY)],
                             stdin=d.stdout, stdout=out)
        d.stdout.close()
        if c.wait() != 0 or d.wait() != 0:
            sys.exit(f"djpeg|cjpeg failed on {picture.path}")
    return max_rss_kb(rd), max_rss_kb(rc)


def memory_report(pixelmote, magick, picture, kind, scratch, results):
    # pixelmote-batch works on folders: give it a folder holding only this picture.
    alone = os.path.join(scratch, f"largest-{kind}")
    shutil.rmtree(alone, ignore_errors=True)
    os.makedirs(alone)
    target = os.path.join(alone, os.path.basename(picture.path))
    try:
        os.link(picture.path, target)
    except OSError:
        shutil.copyfile(picture.path, target)
    report = os.path.join(scratch, "pixelmote.time")
    ours = timev(pixelmote.create_cmd(alone), report) if pixelmote else None
    shutil.rmtree(alone)
    d, c = pipeline_rss(picture, scratch)
    gm = timev(GmConvert.cmd(picture, os.path.join(scratch, "gm.jpg")), report)
    im = timev(magick.cmd(picture, os.path.join(scratch, "magick.jpg")), report)
    w, h = picture.thumb_size(shown=True)
    vips_dir = os.path.join(scratch, "vips-largest")
    os.makedirs(vips_dir, exist_ok=True)
    vi = timev(Vips.cmd((w, h), [picture.path], vips_dir), report)

    mb = lambda kb: f"{kb / 1024:.1f} MB"
    print(f"\nPeak memory (max RSS) on the largest {kind} picture, "
          f"{picture.width}x{picture.height} ({picture.pixels / 1e6:.0f} MP), {os.path.relpath(picture.path, ROOT)}:")
    if ours is not None:
        print(f"  pixelmote-batch create --jobs 1: {mb(ours)}")
    print(f"  djpeg -scale {picture.scale_eighths}/8 | cjpeg:        {mb(d + c)} (djpeg {mb(d)} + cjpeg {mb(c)}, running together)")
    print(f"  gm convert:                      {mb(gm)}")
    print(f"  convert:                         {mb(im)}")
    print(f"  vipsthumbnail:                   {mb(vi)}")
    results[f"largest_{kind}_rss_mb"] = {"pixelmote": ours and ours / 1024, "djpeg|cjpeg": (d + c) / 1024,
                                         "gm convert": gm / 1024, "convert": im / 1024, "vipsthumbnail": vi / 1024}


# --- main -------------------------------------------------------------------

def version(cmd):
    try:
        res = subprocess.run(cmd, capture_output=True, text=True)
        text = (res.stdout or res.stderr).strip().splitlines()
        return text[0] if text else "?"
    except OSError:
        return "missing"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tree", default=os.path.join(ROOT, "bench", "out", "photos"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--exe", default=os.path.join(ROOT, "build", "pixelmote-batch"))
    ap.add_argument("--scratch", default=os.path.join(ROOT, "bench", "out", "scratch"))
    ap.add_argument("--peers-only", action="store_true", help="leave pixelmote-batch out")
    ap.add_argument("--results", help="also write the figures to this JSON file (read by bench/summary.py)")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")

    tree = os.path.abspath(args.tree)
    args.scratch = os.path.abspath(args.scratch)  # vipsthumbnail reads a relative -o from each picture's folder
    # Debian's own convert, so a wrapper earlier in PATH adds no start-up cost.
    magick_exe = "/usr/bin/convert" if os.access("/usr/bin/convert", os.X_OK) else shutil.which("convert")

    pixelmote = None if args.peers_only else Pixelmote(args.exe, tree, [])
    if pixelmote:
        pixelmote.clean()  # thumbnails left by an interrupted run
    pictures = describe(find_pictures(tree))
    if not pictures:
        sys.exit(f"no pictures under {tree}")
    if pixelmote:
        pixelmote.count = len(pictures)

    shutil.rmtree(args.scratch, ignore_errors=True)
    dirs = {name: os.path.join(args.scratch, name) for name in ("djpeg", "gm", "convert", "vips", "memory")}
    for d in dirs.values():
        os.makedirs(d)
    magick = Convert(pictures, dirs["convert"], magick_exe)
    vips = Vips(pictures, dirs["vips"])
    tools = ([pixelmote] if pixelmote else []) + [DjpegCjpeg(pictures, dirs["djpeg"]), DjpegOnly(pictures),
                                                  GmConvert(pictures, dirs["gm"]), magick, vips]

    mp = sum(p.pixels for p in pictures) / 1e6
    print(f"{len(pictures)} pictures, {mp:.0f} megapixels "
          f"({sum(p.progressive for p in pictures)} progressive, {sum(p.turned for p in pictures)} with EXIF turn), "
          f"{os.cpu_count()} cores")
    print(f"  {version(['djpeg', '-version'])}; {version(['gm', 'version'])}; {version([magick_exe, '-version'])}; "
          f"{version(['vips', '--version'])}")
    scales = collections.Counter(p.scale_eighths for p in pictures)
    print("  djpeg scale (smallest N/8 covering the 25% thumbnail): "
          + ", ".join(f"{n}/8 for {k} pictures" for n, k in sorted(scales.items())))
    print(f"  vipsthumbnail: {len(vips.groups)} processes, one per thumbnail size")
    print(f"warming up (one run of each), then {args.rounds} rounds ...", flush=True)
    for tool in tools:
        tool.timed()

    walls = {t.label: [] for t in tools}
    cpus = {t.label: [] for t in tools}
    for r in range(args.rounds):
        line = []
        for tool in tools:
            t = tool.timed()
            walls[tool.label].append(t.wall)
            cpus[tool.label].append(t.cpu)
            line.append(f"{tool.label} {t.wall:.2f} s")
        print(f"  round {r + 1}: " + ", ".join(line), flush=True)

    ref = statistics.median(walls["djpeg|cjpeg"])
    ref_cpu = statistics.median(cpus["djpeg|cjpeg"])
    results = {"pictures": len(pictures), "megapixels": mp, "rounds": args.rounds, "cores": os.cpu_count(),
               "djpeg_scales": {f"{n}/8": k for n, k in sorted(scales.items())},
               "median_wall_s": {}, "median_cpu_s": {}, "ratio_to_djpeg_cjpeg": {}, "paired_ratio_to_djpeg_cjpeg": {}}
    print(f"\nMedians over {args.rounds} rounds (wall clock; CPU = user + system of the tool's processes):")
    for tool in tools:
        wall, cpu = statistics.median(walls[tool.label]), statistics.median(cpus[tool.label])
        print(f"  {tool.label:14s} {wall:7.2f} s   CPU {cpu:7.2f} s   {mp / wall:6.0f} MP/s")
        results["median_wall_s"][tool.label] = wall
        results["median_cpu_s"][tool.label] = cpu
    # Wall clock is what a user waits for; CPU time is steadier on a busy machine
    # and leaves out the help of a second core (the pipeline's two processes, threads).
    print()
    for tool in tools:
        if tool.label != "djpeg|cjpeg":
            wall, cpu = statistics.median(walls[tool.label]), statistics.median(cpus[tool.label])
            paired = statistics.median(a / b for a, b in zip(walls[tool.label], walls["djpeg|cjpeg"]))
            print(f"{tool.label} / djpeg|cjpeg: {wall / ref:.2f}   (paired median {paired:.2f}; "
                  f"CPU time: {cpu / ref_cpu:.2f})")
            results["ratio_to_djpeg_cjpeg"][tool.label] = wall / ref
            results["paired_ratio_to_djpeg_cjpeg"][tool.label] = paired

    largest = max(p.pixels for p in pictures)
    for kind, progressive in (("baseline", False), ("progressive", True)):
        candidates = [p for p in pictures if p.pixels == largest and p.progressive == progressive]
        if candidates:
            memory_report(pixelmote, magick, candidates[0], kind, dirs["memory"], results)
    if args.results:
        with open(args.results, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
