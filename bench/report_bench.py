#!/usr/bin/env python3
"""Times a Report run against find over the same warm tree.

Makes (once) a deterministic tree of 5,000 folders and 100,000 files, then
runs `pixelmote-batch report DIR` and `find DIR -iname '*.jpg' -printf
'%s\\n'` alternately, several times each, and prints the medians and their
ratio. Usage: bench/report_bench.py [--tree DIR] [--runs N] [--exe PATH]
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_tree(root, folders=5000, files=100000, seed=1):
    marker = os.path.join(root, ".complete")
    if os.path.exists(marker):
        return
    rnd = random.Random(seed)
    paths = []
    # 50 top folders, each with 9 sub-folders holding 10 leaves: 50 + 450 + 4500 = 5,000.
    for a in range(50):
        top = os.path.join(root, f"album{a:02d}")
        paths.append(top)
        for b in range(9):
            mid = os.path.join(top, f"Event {b}")
            paths.append(mid)
            for c in range(10):
                paths.append(os.path.join(mid, f"day.{c}"))
    assert len(paths) == folders
    for p in paths:
        os.makedirs(p, exist_ok=True)
    per_folder = files // folders
    for i, p in enumerate(paths):
        for k in range(per_folder):
            r = rnd.random()
            if r < 0.70:
                name = f"IMG_{i:05d}_{k:02d}.jpg"
            elif r < 0.80:
                name = f"DSC{i:05d}{k:02d}.JPG"
            elif r < 0.90:
                name = f"t_IMG_{i:05d}_{k:02d}.jpg"
            elif r < 0.95:
                name = f"anim{k}.gif"
            else:
                name = f"notes{k}.txt"
            with open(os.path.join(p, name), "wb") as f:
                f.truncate(rnd.randint(1, 6_000_000))  # sparse: sizes without the disk
    open(marker, "w").close()


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tree", default=os.path.join(ROOT, "bench", "out", "report-tree"))
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--exe", default=os.path.join(ROOT, "build", "pixelmote-batch"))
    args = ap.parse_args()

    os.makedirs(args.tree, exist_ok=True)
    t0 = time.perf_counter()
    make_tree(args.tree)
    print(f"tree: {args.tree} (ready in {time.perf_counter() - t0:.1f} s)")

    ours = [args.exe, "report", args.tree, "--jobs", "1"]
    find = ["find", args.tree, "-iname", "*.jpg", "-printf", "%s\\n"]
    timed(ours)  # warm the cache
    timed(find)
    a, b = [], []
    for _ in range(args.runs):
        a.append(timed(ours))
        b.append(timed(find))
    ma, mb = statistics.median(a), statistics.median(b)
    print(f"pixelmote-batch report: median {ma * 1000:.0f} ms over {args.runs} runs")
    print(f"find -iname '*.jpg' -printf '%s\\n': median {mb * 1000:.0f} ms")
    print(f"ratio report / find: {ma / mb:.2f}")


if __name__ == "__main__":
    sys.exit(main())
