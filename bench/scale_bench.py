#!/usr/bin/env python3
"""Times pixelmote-batch create across cores, with --update and on GIFs; measures its peak memory.

Called by bench/run_all.sh after the picture tree is made. Four parts, on the
same warm tree (every run starts from a tree cleaned by `remove`, untimed):

  jobs     `create --jobs 1`, `--jobs 2` (when there are more than 2 cores) and
           `--jobs <cores>`, interleaved over the rounds. Prints the medians,
           the throughput ratio to one job, and whether every run wrote the
           same status lines and the same bytes in every thumbnail and page
           as the first `--jobs 1` run.
  memory   peak resident set size (/usr/bin/time -v) of `create --jobs 1, 2, 4`
           over a folder holding only the tree's 24-megapixel JPEGs (hard
           links; baseline and progressive), the largest of three runs each;
           then `--jobs 1, 2` over the baseline and the progressive ones apart.
  update   a first `create --update` on a clean tree, then `--update` again on
           the unchanged tree (median of the rounds, at least 5), and their
           ratio; then one picture's modification time is moved on and a
           third run must replace exactly that picture's thumbnail (inode,
           modification time and bytes of every thumbnail compared). The
           picture's times are put back afterwards.
  gif      `create --source gif --jobs 1` over the tree's GIFs (reported on its
           own; the JPEG figures never include them).

Usage: bench/scale_bench.py --tree DIR --exe PATH [--rounds N] [--memory-dir DIR] [--results FILE.json]
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import create_bench as cb  # noqa: E402  (shares the picture survey and the /usr/bin/time reader)

PREFIX = "t_"
SETTINGS = ["--size", str(cb.SIZE_PERCENT), "--quality", str(cb.QUALITY)]


class Batch:
    """Runs pixelmote-batch on one tree; `sources` are the files a clean tree holds."""

    def __init__(self, exe, tree):
        self.exe, self.tree = exe, tree
        self.remove()
        self.sources = set(all_files(tree))

    def remove(self, tree=None):
        cb.run([self.exe, "remove", tree or self.tree])

    def create(self, *options, tree=None):
        """One timed create; returns (wall seconds, status lines as bytes)."""
        cmd = [self.exe, "create", tree or self.tree, *SETTINGS, *options]
        start = time.perf_counter()
        res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if res.returncode != 0:
            sys.exit(f"failed ({res.returncode}): {' '.join(cmd)}\n{res.stderr.decode(errors='replace')}")
        return wall, res.stdout

    def written(self):
        """Every file the runs wrote: relative path -> (sha256, inode, mtime in ns, size)."""
        out = {}
        for rel in all_files(self.tree):
            if rel in self.sources:
                continue
            path = os.path.join(self.tree, rel)
            st = os.stat(path)
            with open(path, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            out[rel] = (digest, st.st_ino, st.st_mtime_ns, st.st_size)
        return out


def all_files(tree):
    for folder, dirs, files in os.walk(tree):
        dirs.sort()
        for name in sorted(files):
            yield os.path.relpath(os.path.join(folder, name), tree)


def contents(written):
    return {rel: v[0] for rel, v in written.items()}


def is_thumb(rel):
    return os.path.basename(rel).startswith(PREFIX)


# --- jobs ---------------------------------------------------------------------

def jobs_part(batch, rounds, results):
    cores = os.cpu_count() or 1
    counts = [1] + ([2] if cores > 2 else []) + ([cores] if cores > 1 else [])
    print(f"\n== All cores: create --jobs {', '.join(map(str, counts))} ({cores} cores), {rounds} rounds ==", flush=True)
    batch.remove()
    batch.create("--jobs", "1")  # warm-up
    reference = None
    walls = {n: [] for n in counts}
    differing = []
    compared = 0
    for r in range(rounds):
        line = []
        for n in counts:
            batch.remove()
            wall, out = batch.create("--jobs", str(n))
            files = contents(batch.written())
            if reference is None:
                reference = (out, files)
            else:
                compared += 1
                if out != reference[0]:
                    differing.append(f"round {r + 1}, --jobs {n}: status lines differ")
                if files != reference[1]:
                    changed = sorted(set(files.items()) ^ set(reference[1].items()))
                    differing.append(f"round {r + 1}, --jobs {n}: {len(changed)} files differ, e.g. {changed[0][0]}")
            walls[n].append(wall)
            line.append(f"--jobs {n} {wall:.2f} s")
        print(f"  round {r + 1}: " + ", ".join(line), flush=True)
    batch.remove()

    thumbs = sum(1 for rel in reference[1] if is_thumb(rel))
    pages = len(reference[1]) - thumbs
    one = statistics.median(walls[1])
    results["jobs_median_wall_s"] = {str(n): statistics.median(w) for n, w in walls.items()}
    results["jobs_throughput_ratio"] = {}
    print(f"medians ({thumbs} thumbnails, {pages} pages):")
    for n in counts:
        m = statistics.median(walls[n])
        paired = statistics.median(a / b for a, b in zip(walls[1], walls[n]))
        print(f"  --jobs {n}: {m:.2f} s, throughput {one / m:.2f}x one job (paired median {paired:.2f})")
        results["jobs_throughput_ratio"][str(n)] = one / m
    if differing:
        print("OUTPUT DIFFERS from the first --jobs 1 run:\n  " + "\n  ".join(differing))
    else:
        print(f"byte-identical: all {compared} later runs wrote the same status lines and the same "
              f"{len(reference[1])} files (sha256) as the first --jobs 1 run")
    results["jobs_identical"] = not differing
    results["jobs_identity_problems"] = differing
    results["jobs_compared_runs"] = compared
    return reference


# --- memory -------------------------------------------------------------------

def make_memory_folder(tree, folder):
    """A folder of hard links to the tree's 24-megapixel JPEGs; returns their descriptions."""
    pictures = cb.describe(cb.find_pictures(tree))
    largest = max(p.pixels for p in pictures)
    chosen = [p for p in pictures if p.pixels == largest]
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for p in chosen:
        target = os.path.join(folder, os.path.basename(p.path))
        try:
            os.link(p.path, target)
        except OSError:
            shutil.copyfile(p.path, target)
    return chosen


def memory_part(batch, folder, results):
    chosen = make_memory_folder(batch.tree, folder)
    p0 = chosen[0]
    print(f"\n== Peak memory: create over {len(chosen)} pictures of {p0.pixels / 1e6:.0f} MP "
          f"({sum(not p.progressive for p in chosen)} baseline, {sum(p.progressive for p in chosen)} progressive, "
          f"{sum(p.turned for p in chosen)} turned by EXIF), {os.path.relpath(folder, cb.ROOT)} ==", flush=True)
    report = os.path.join(folder, "..", "memory.time")
    peaks = {}
    for n in (1, 2, 4):
        runs = []
        for _ in range(3):
            batch.remove(folder)
            runs.append(cb.timev([batch.exe, "create", folder, *SETTINGS, "--jobs", str(n)], report) / 1024)
        batch.remove(folder)
        peaks[n] = max(runs)
        growth = f", {(peaks[n] - peaks[1]) / (n - 1):+.1f} MB per extra job" if n > 1 else ""
        print(f"  --jobs {n}: {peaks[n]:.1f} MB (largest of {', '.join(f'{r:.1f}' for r in runs)}){growth}")
    results["memory_pictures"] = len(chosen)
    results["memory_peak_mb"] = {str(n): v for n, v in peaks.items()}

    # The same by coding, to tell which kind of picture sets the peaks.
    results["memory_peak_mb_by_coding"] = {}
    for kind, progressive in (("baseline", False), ("progressive", True)):
        alike = [os.path.basename(p.path) for p in chosen if p.progressive == progressive]
        if len(alike) < 2:
            continue
        subset = os.path.join(os.path.dirname(folder), os.path.basename(folder) + "-" + kind)
        shutil.rmtree(subset, ignore_errors=True)
        os.makedirs(subset)
        for name in alike:
            os.link(os.path.join(folder, name), os.path.join(subset, name))
        line = []
        for n in (1, 2):
            runs = []
            for _ in range(3):
                batch.remove(subset)
                runs.append(cb.timev([batch.exe, "create", subset, *SETTINGS, "--jobs", str(n)], report) / 1024)
            batch.remove(subset)
            line.append(f"--jobs {n} {max(runs):.1f} MB")
            results["memory_peak_mb_by_coding"][f"{kind} {n}"] = max(runs)
        shutil.rmtree(subset)
        print(f"  only the {len(alike)} {kind} pictures: " + ", ".join(line))
    os.remove(report)


# --- --update -----------------------------------------------------------------

def update_part(batch, rounds, full_run, results):
    print("\n== create --update ==", flush=True)
    batch.remove()
    first, first_out = batch.create("--update")
    made = batch.written()
    again = []
    problems = []
    for _ in range(max(5, rounds)):
        wall, out = batch.create("--update")
        again.append(wall)
        now = batch.written()
        if out != first_out:
            problems.append("a second run printed other status lines than the first")
        touched = [rel for rel in made if is_thumb(rel) and now.get(rel) != made[rel]]
        if touched or contents(now) != contents(made):
            problems.append(f"a second run changed {len(touched)} thumbnails / the pages' bytes")
    second = statistics.median(again)
    same_as_full = first_out == full_run[0] and contents(made) == full_run[1]
    print(f"  first run on a clean tree: {first:.2f} s; second run on the unchanged tree: median {second * 1000:.1f} ms "
          f"of {len(again)} (each {', '.join(f'{w * 1000:.0f}' for w in again)} ms)")
    print(f"  ratio first / second: {first / second:.0f}x")
    print(f"  status lines and files of the first --update run "
          f"{'are' if same_as_full else 'are NOT'} byte-identical to a plain create's")
    print(f"  every later run: {'same status lines, no thumbnail rewritten' if not problems else '; '.join(sorted(set(problems)))}")

    # Move one picture's modification time on, as `touch` does.
    pictures = sorted(rel for rel in batch.sources if rel.lower().endswith(".jpg"))
    picked = pictures[0]
    path = os.path.join(batch.tree, picked)
    st = os.stat(path)
    before = batch.written()
    try:
        os.utime(path, ns=(time.time_ns(), max(time.time_ns(), st.st_mtime_ns + 1_000_000_000)))
        third, _ = batch.create("--update")
        after = batch.written()
    finally:
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
    expected = os.path.join(os.path.dirname(picked), PREFIX + os.path.basename(picked))
    changed = sorted(rel for rel in before if is_thumb(rel) and after.get(rel) != before[rel])
    how = {}
    for rel in changed:
        b, a = before[rel], after.get(rel)
        how[rel] = ("gone" if a is None else
                    ", ".join(k for k, i in (("bytes", 0), ("inode", 1), ("mtime", 2)) if a[i] != b[i]))
    pages_rewritten = sorted(rel for rel in before if not is_thumb(rel) and after.get(rel, (None,) * 4)[2] != before[rel][2])
    pages_changed = sorted(rel for rel in before if not is_thumb(rel) and after.get(rel, (None,))[0] != before[rel][0])
    ok = changed == [expected]
    print(f"  after touching {picked}: --update took {third:.2f} s and replaced {len(changed)} of "
          f"{sum(map(is_thumb, before))} thumbnails: " + ("; ".join(f"{r} ({how[r]})" for r in changed) or "none")
          + (" -- as expected" if ok else f" -- EXPECTED only {expected}"))
    print(f"  pages: {len(pages_rewritten)} rewritten, {len(pages_changed)} with other bytes")
    batch.remove()
    results.update({"update_first_s": first, "update_second_median_s": second, "update_ratio": first / second,
                    "update_same_as_full_run": same_as_full, "update_problems": sorted(set(problems)),
                    "update_touched": picked, "update_changed_thumbnails": changed, "update_touch_ok": ok})


# --- GIFs ---------------------------------------------------------------------

def gif_part(batch, rounds, results):
    gifs = [rel for rel in batch.sources if rel.lower().endswith(".gif")]
    if not gifs:
        print("\n== no GIFs in the tree ==")
        return
    out = subprocess.run(["identify", "-format", "%w %h\n", *(os.path.join(batch.tree, g + "[0]") for g in gifs)],
                         check=True, capture_output=True, text=True).stdout.split()
    mp = sum(int(w) * int(h) for w, h in zip(out[::2], out[1::2])) / 1e6
    print(f"\n== GIFs: create --source gif --jobs 1 over the tree's {len(gifs)} GIFs ({mp:.1f} MP) ==", flush=True)
    batch.remove()
    batch.create("--source", "gif", "--jobs", "1")
    walls = []
    for _ in range(rounds):
        batch.remove()
        wall, _ = batch.create("--source", "gif", "--jobs", "1")
        walls.append(wall)
        thumbs = sum(1 for rel in batch.written() if is_thumb(rel))
        if thumbs != len(gifs):
            sys.exit(f"create --source gif wrote {thumbs} thumbnails for {len(gifs)} GIFs")
    batch.remove()
    m = statistics.median(walls)
    print(f"  median {m * 1000:.0f} ms over {rounds} rounds ({', '.join(f'{w * 1000:.0f}' for w in walls)} ms), "
          f"{len(gifs)} thumbnails, {mp / m:.0f} MP/s")
    results.update({"gif_count": len(gifs), "gif_megapixels": mp, "gif_median_s": m})


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tree", default=os.path.join(cb.ROOT, "bench", "out", "photos"))
    ap.add_argument("--exe", default=os.path.join(cb.ROOT, "build", "pixelmote-batch"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--memory-dir", default=os.path.join(cb.ROOT, "bench", "out", "memory-24mp"))
    ap.add_argument("--results", help="also write the figures to this JSON file (read by bench/summary.py)")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")

    batch = Batch(args.exe, os.path.abspath(args.tree))
    results = {"cores": os.cpu_count(), "rounds": args.rounds, "load_at_start": os.getloadavg()}
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    full_run = jobs_part(batch, args.rounds, results)
    memory_part(batch, os.path.abspath(args.memory_dir), results)
    update_part(batch, args.rounds, full_run, results)
    gif_part(batch, args.rounds, results)
    if args.results:
        with open(args.results, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
