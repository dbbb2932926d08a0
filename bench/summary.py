#!/usr/bin/env python3
"""Prints every ratio measured by bench/run_all.sh against its goal.

Reads the files the benchmarks left in the results folder: create.json
(bench/create_bench.py), scale.json (bench/scale_bench.py), gallery.json
(bench/gallery_bench.py), report.txt (the output of bench/report_bench.py) and
load_start (/proc/loadavg when the run began). A missing file leaves its
lines out.

Usage: bench/summary.py RESULTS_DIR
"""
import json
import os
import re
import sys

PEERS = ("gm convert", "convert", "vipsthumbnail")


def load(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f) if name.endswith(".json") else f.read()


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, measured, goal="", met=None):
        self.rows.append((figure, measured, goal, "" if met is None else ("yes" if met else "NO")))

    def print(self):
        widths = [max(len(r[i]) for r in self.rows + [("figure", "measured", "goal", "met")]) for i in range(4)]
        for row in [("figure", "measured", "goal", "met")] + self.rows:
            print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: summary.py RESULTS_DIR")
    folder = sys.argv[1]
    create, scale, gallery = load(folder, "create.json"), load(folder, "scale.json"), load(folder, "gallery.json")
    report, load_start = load(folder, "report.txt"), load(folder, "load_start")
    t = Table()

    if create:
        ours = create["median_wall_s"].get("pixelmote")
        scales = ", ".join(create["djpeg_scales"])
        if ours:
            r = create["ratio_to_djpeg_cjpeg"]["pixelmote"]
            paired = create["paired_ratio_to_djpeg_cjpeg"]["pixelmote"]
            t.add(f"create --jobs 1 / djpeg -scale {scales} | cjpeg ({create['pictures']} JPEGs)",
                  f"{r:.2f} (paired {paired:.2f})", "<= 1.00", r <= 1.0)
            floor = create["median_wall_s"]["djpeg only"]
            t.add(f"create --jobs 1 / djpeg -scale {scales} alone (decode only)", f"{ours / floor:.2f}", "(information)")
            peers = {p: create["median_wall_s"][p] for p in PEERS if p in create["median_wall_s"]}
            fastest = min(peers, key=peers.get)
            t.add(f"fastest thumbnailer ({fastest}) / create --jobs 1", f"{peers[fastest] / ours:.2f}x faster",
                  ">= 1.3x", peers[fastest] / ours >= 1.3)
            for p in PEERS:
                if p in peers and p != fastest:
                    t.add(f"  {p} / create --jobs 1", f"{peers[p] / ours:.2f}x", "(information)")
        for kind in ("baseline", "progressive"):
            rss = create.get(f"largest_{kind}_rss_mb")
            if rss and rss.get("pixelmote"):
                t.add(f"peak RSS, one 24 MP {kind} picture, --jobs 1", f"{rss['pixelmote']:.1f} MB",
                      "<= 150 MB", rss["pixelmote"] <= 150)

    if scale:
        for n, ratio in scale["jobs_throughput_ratio"].items():
            if n != "1":
                goal = ">= 1.8" if scale["cores"] == 2 and n == "2" else "(scales)"
                t.add(f"throughput --jobs {n} / --jobs 1 ({scale['cores']} cores)", f"{ratio:.2f}", goal,
                      ratio >= 1.8 if goal == ">= 1.8" else None)
        t.add(f"--jobs N output = --jobs 1 output ({scale['jobs_compared_runs']} runs compared)",
              "identical" if scale["jobs_identical"] else "DIFFERS", "identical", scale["jobs_identical"])
        peaks = scale["memory_peak_mb"]
        t.add(f"peak RSS --jobs 1, {scale['memory_pictures']} pictures of 24 MP", f"{peaks['1']:.1f} MB",
              "<= 150 MB", peaks["1"] <= 150)
        for n in ("2", "4"):
            growth = (peaks[n] - peaks["1"]) / (int(n) - 1)
            t.add(f"peak RSS --jobs {n}: {peaks[n]:.1f} MB, growth per extra job", f"{growth:+.1f} MB",
                  "<= +40 MB", growth <= 40)
        for key, mb in scale.get("memory_peak_mb_by_coding", {}).items():
            kind, n = key.split()
            t.add(f"  peak RSS --jobs {n}, only the {kind} ones", f"{mb:.1f} MB", "(information)")
        t.add("create --update: first run / second run (unchanged tree)",
              f"{scale['update_ratio']:.0f}x ({scale['update_first_s']:.2f} s / "
              f"{scale['update_second_median_s'] * 1000:.1f} ms)", ">= 50x", scale["update_ratio"] >= 50)
        t.add("  second runs leave every thumbnail, page and status line as it was",
              "yes" if not scale["update_problems"] else "; ".join(scale["update_problems"]), "yes",
              not scale["update_problems"])
        t.add("  after touching one picture, thumbnails replaced", f"{len(scale['update_changed_thumbnails'])}",
              "exactly that picture's", scale["update_touch_ok"])
        if "gif_median_s" in scale:
            t.add(f"create --source gif --jobs 1, {scale['gif_count']} GIFs ({scale['gif_megapixels']:.1f} MP)",
                  f"{scale['gif_median_s'] * 1000:.0f} ms", "(information)")

    if report:
        m = re.search(r"ratio report / find: ([0-9.]+)", report)
        if m:
            r = float(m.group(1))
            t.add("report / find -iname '*.jpg' (5,000 folders, 100,000 files)", f"{r:.2f}", "<= 1.2", r <= 1.2)

    if gallery:
        gens = gallery["generators"]
        timed = {k: v for k, v in gens.items() if "wall_s" in v}
        if timed:
            fastest = min(timed, key=lambda k: timed[k]["wall_s"])
            t.add(f"fastest gallery generator ({fastest}) / create, default jobs ({gallery['pixelmote_s']:.2f} s)",
                  f"{timed[fastest]['ratio']:.1f}x", ">= 5x", timed[fastest]["ratio"] >= 5)
        for name, v in gens.items():
            if "wall_s" in v:
                t.add(f"  {name}: {v['wall_s']:.1f} s / create", f"{v['ratio']:.1f}x", "(information)")
            else:
                t.add(f"  {name}", "failed", v["error"])

    cores = (create or scale or gallery or {}).get("cores", os.cpu_count())
    with open("/proc/loadavg") as f:
        load_end = " ".join(f.read().split()[:3])
    start = " ".join(load_start.split()[:3]) if load_start else "?"
    print(f"\nSummary ({cores} cores; load average at the start {start}, at the end {load_end}):")
    t.print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
