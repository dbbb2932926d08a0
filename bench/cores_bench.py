#!/usr/bin/python3
"""How pixelmote-batch create scales with --jobs: the run thread's CPU share, throughput and peak memory.

Run by bench/cores_bench.sh, which installs the packages, builds the program
and makes the photo tree. pixelmote-batch (and the --baseline one) is copied
into bench/out/bin first, so that a rebuild during the run cannot change it.
Every create runs with --size 25 --quality 75 on a tree of hard links to the
photo tree (bench/out/cores/tree), cleaned by `remove` (untimed) before each run.

  run thread   `create --jobs 2`: CPU of the process's main thread (the run's
               own thread, tid == pid), sampled from /proc/PID/task/PID/stat
               every ~5 ms (the last sample is read after the process ended,
               before it is reaped), against the process's CPU from wait4's
               rusage. Median of the rounds. Goal: share <= 4 %. With that
               share s, Amdahl's law predicts 1 / (s + (1 - s) / n) on n cores.
  throughput   `--jobs 1`, `--jobs 2`, `--jobs 16` in turn, round after round
               (with --baseline, the baseline's `--jobs 1` right after ours).
               Goals: jobs 1 / jobs 2 wall >= 1.9; jobs 16 wall <= 1.05 x
               jobs 2 wall; baseline: our jobs 1 <= 1.02 x its jobs 1 (ratio
               of medians). Every run of this build must write the same bytes
               (sha256) in every thumbnail and page as the first one.
  memory       peak RSS (/usr/bin/time -v, the largest of the rounds) of
               `--jobs 1, 2, 8` over the twelve largest JPEGs of the tree
               (goal at 8 jobs: <= 150 + 40 x 7 = 430 MB) and over four
               16384 x 16384 (2^28 pixels) baseline JPEGs made here once and
               kept in bench/out/cores/huge (goal at 8 jobs: < 512 MB).

Exit status: 0 every goal met, 1 a goal missed (or a create run failed),
2 usage or set-up error.
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
import create_bench as cb  # noqa: E402  (settings and the picture survey)
import scale_bench as sb  # noqa: E402  (tree walking, thumbnail names)

OUT = os.path.join(cb.ROOT, "bench", "out")
WORK = os.path.join(OUT, "cores")
SETTINGS = ["--size", str(cb.SIZE_PERCENT), "--quality", str(cb.QUALITY)]
TICK = os.sysconf("SC_CLK_TCK")
SAMPLE_S = 0.005
HUGE_SIDE = 16384
HUGE_COUNT = 4
BIG_COUNT = 12
MB = 1024  # /usr/bin/time reports kB

SHARE_GOAL = 0.04
JOBS2_GOAL = 1.9
JOBS16_GOAL = 1.05
BASELINE_GOAL = 1.02
BIG_RSS_GOAL_MB = 150 + 40 * 7
HUGE_RSS_GOAL_MB = 512


class SetupError(Exception):
    """Something the benchmark needs is missing or unusable (exit status 2)."""


class RunFailed(Exception):
    """A create run did not finish cleanly (exit status 1)."""


# --- running one create --------------------------------------------------------

def main_thread_ticks(pid):
    """utime + stime of the thread whose tid is pid, in clock ticks; None once it is gone."""
    try:
        with open(f"/proc/{pid}/task/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None
    # Fields after the name start at field 3 (state): utime is field 14, stime 15.
    return int(fields[11]) + int(fields[12])


def run_create(exe, folder, jobs, sample=False, peak=False):
    """One `create FOLDER --jobs N`; returns wall, cpu and main-thread cpu in seconds, stdout and
    with `peak` the peak RSS in kB, measured by /usr/bin/time -v.

    wait4's own ru_maxrss is no use for that: a child started from this process
    counts this process's peak (it may have made 1 GB pictures) as its own."""
    cmd = [exe, "create", folder, *SETTINGS, "--jobs", str(jobs)]
    log = os.path.join(WORK, "create.log")
    report = log + ".time"
    if peak:
        if sample:
            raise ValueError("the main thread of /usr/bin/time is not the one to sample")
        cmd = ["/usr/bin/time", "-v", "-o", report, *cmd]
    with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err)
        last = None
        if sample:
            # Poll without reaping: the zombie's stat still holds the thread's final times.
            while True:
                ticks = main_thread_ticks(proc.pid)
                if ticks is not None:
                    last = ticks
                if os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
                    ticks = main_thread_ticks(proc.pid)
                    if ticks is not None:
                        last = ticks
                    break
                time.sleep(SAMPLE_S)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
    with open(log + ".out", "rb") as f:
        stdout = f.read()
    if proc.returncode != 0:
        with open(log + ".err", "rb") as f:
            tail = f.read().decode(errors="replace")[-2000:]
        raise RunFailed(f"exit status {proc.returncode}: {' '.join(cmd)}\n{tail}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
            "main_cpu": None if last is None else last / TICK,
            "maxrss_kb": cb.max_rss_kb(report) if peak else None, "stdout": stdout}


class Tree:
    """A folder of source pictures; `written()` hashes what a create added to it."""

    def __init__(self, exe, path):
        self.exe, self.path = exe, path
        self.clean()
        self.sources = set(sb.all_files(path))

    def clean(self):
        res = subprocess.run([self.exe, "remove", self.path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if res.returncode != 0:
            raise RunFailed(f"remove {self.path} failed ({res.returncode}): {res.stderr.decode(errors='replace')}")

    def written(self):
        out = {}
        for rel in sb.all_files(self.path):
            if rel not in self.sources:
                with open(os.path.join(self.path, rel), "rb") as f:
                    out[rel] = hashlib.sha256(f.read()).hexdigest()
        return out

    def thumbnails(self):
        return sum(1 for rel in self.written() if sb.is_thumb(rel))

    def create(self, exe, jobs, sample=False, peak=False):
        """A timed create on a clean tree; the result also carries the hashes of what it wrote."""
        self.clean()
        if set(sb.all_files(self.path)) != self.sources:
            raise RunFailed(f"remove did not bring {self.path} back to its pictures")
        r = run_create(exe, self.path, jobs, sample, peak)
        r["files"] = self.written()
        return r


def link_tree(src, dest, names=None):
    """dest holds hard links (copies across file systems) to src's files, or to `names` (paths) only."""
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    pairs = ([(os.path.join(src, rel), os.path.join(dest, rel)) for rel in sb.all_files(src)] if names is None
             else [(p, os.path.join(dest, os.path.basename(p))) for p in names])
    for a, b in pairs:
        os.makedirs(os.path.dirname(b), exist_ok=True)
        try:
            os.link(a, b)
        except OSError:
            shutil.copyfile(a, b)


def warm(paths):
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 20):
                pass


# --- the parts -------------------------------------------------------------------

class Goals:
    def __init__(self):
        self.rows = []

    def add(self, name, measured, target, ok):
        self.rows.append((name, measured, target, ok))

    def missed(self):
        return [r for r in self.rows if not r[3]]


class Identity:
    """Compares every run of this build with the first: same status lines, same bytes in every file."""

    def __init__(self):
        self.reference = None
        self.compared = 0
        self.problems = []

    def check(self, label, r):
        if self.reference is None:
            self.reference = (label, r["stdout"], r["files"])
            return
        self.compared += 1
        ref_label, out, files = self.reference
        if r["stdout"] != out:
            self.problems.append(f"{label}: status lines differ from {ref_label}")
        if r["files"] != files:
            changed = sorted({k for k in set(files) | set(r["files"]) if files.get(k) != r["files"].get(k)})
            self.problems.append(f"{label}: {len(changed)} files differ from {ref_label}, e.g. {changed[0]}")


def share_part(tree, exe, rounds, identity, goals, results):
    print(f"\n== Run thread's share of CPU: create --jobs 2, {rounds} run(s) ==", flush=True)
    runs = []
    for i in range(rounds):
        r = tree.create(exe, 2, sample=True)
        identity.check(f"share run {i + 1} (--jobs 2)", r)
        if r["main_cpu"] is None:
            raise RunFailed("the main thread's CPU time could not be read from /proc")
        share = r["main_cpu"] / r["cpu"] if r["cpu"] > 0 else 0.0
        runs.append((r["main_cpu"], r["cpu"], share, r["wall"]))
        print(f"  run {i + 1}: main thread {r['main_cpu']:.2f} s of {r['cpu']:.2f} s CPU = {share * 100:.1f} %, "
              f"wall {r['wall']:.2f} s", flush=True)
    main = statistics.median(x[0] for x in runs)
    total = statistics.median(x[1] for x in runs)
    s = statistics.median(x[2] for x in runs)
    amdahl = {n: 1 / (s + (1 - s) / n) for n in (4, 8, 16)}
    print(f"  median: main thread {main:.2f} s, process {total:.2f} s, share {s * 100:.1f} % (goal <= {SHARE_GOAL * 100:.0f} %)")
    print("  Amdahl's law with that share: " + ", ".join(f"{n} cores {v:.2f}x" for n, v in amdahl.items()))
    results["share"] = {"runs": [dict(zip(("main_cpu_s", "cpu_s", "share", "wall_s"), x)) for x in runs],
                        "main_cpu_s": main, "cpu_s": total, "share": s,
                        "amdahl_speedup": {str(n): v for n, v in amdahl.items()}}
    goals.add("run thread's share of CPU (--jobs 2)", f"{s * 100:.1f} %", f"<= {SHARE_GOAL * 100:.0f} %", s <= SHARE_GOAL)


def throughput_part(tree, exe, baseline, rounds, identity, goals, results):
    order = [("this", 1)] + ([("baseline", 1)] if baseline else []) + [("this", 2), ("this", 16)]
    names = ", ".join(f"{who} --jobs {n}" if baseline else f"--jobs {n}" for who, n in order)
    print(f"\n== Throughput: {names} in turn, {rounds} round(s) ==", flush=True)
    walls = {key: [] for key in order}
    base_same = []
    for i in range(rounds):
        line = []
        for who, n in order:
            r = tree.create(baseline if who == "baseline" else exe, n)
            if who == "this":
                identity.check(f"round {i + 1}, --jobs {n}", r)
            else:
                base_same.append(r["files"] == identity.reference[2] and r["stdout"] == identity.reference[1])
            walls[(who, n)].append(r["wall"])
            line.append(f"{who + ' ' if baseline else ''}--jobs {n} {r['wall']:.2f} s")
        print(f"  round {i + 1}: " + ", ".join(line), flush=True)
    med = {key: statistics.median(w) for key, w in walls.items()}
    one, two, sixteen = med[("this", 1)], med[("this", 2)], med[("this", 16)]
    files = identity.reference[2]
    thumbs = sum(map(sb.is_thumb, files))
    print(f"  medians ({thumbs} thumbnails, {len(files) - thumbs} pages): " +
          ", ".join(f"{who + ' ' if baseline else ''}--jobs {n} {m:.2f} s" for (who, n), m in med.items()))
    print(f"  jobs 1 / jobs 2: {one / two:.2f}x (goal >= {JOBS2_GOAL}); "
          f"jobs 16 / jobs 2 wall: {sixteen / two:.3f} (goal <= {JOBS16_GOAL})")
    results["throughput"] = {"median_wall_s": {f"{who} {n}": m for (who, n), m in med.items()},
                             "walls_s": {f"{who} {n}": w for (who, n), w in walls.items()},
                             "jobs1_over_jobs2": one / two, "jobs16_over_jobs2": sixteen / two,
                             "thumbnails": thumbs, "pages": len(files) - thumbs}
    goals.add("throughput jobs 2 vs jobs 1", f"{one / two:.2f}x", f">= {JOBS2_GOAL}x", one / two >= JOBS2_GOAL)
    goals.add("jobs 16 wall / jobs 2 wall", f"{sixteen / two:.3f}", f"<= {JOBS16_GOAL}", sixteen / two <= JOBS16_GOAL)
    if baseline:
        b = med[("baseline", 1)]
        print(f"  this build's jobs 1 / the baseline's jobs 1: {one / b:.3f} (goal <= {BASELINE_GOAL}); "
              f"the baseline wrote the same status lines and bytes in {sum(base_same)} of {len(base_same)} runs")
        results["throughput"]["jobs1_over_baseline_jobs1"] = one / b
        results["throughput"]["baseline_identical_runs"] = sum(base_same)
        goals.add("jobs 1 vs the baseline's jobs 1", f"{one / b:.3f}", f"<= {BASELINE_GOAL}", one / b <= BASELINE_GOAL)


def biggest_jpegs(tree, count):
    """The `count` JPEGs of the most pixels (then the most bytes) of the tree."""
    from PIL import Image
    found = []
    for path in cb.find_pictures(tree):
        with Image.open(path) as im:
            w, h = im.size
            progressive = bool(im.info.get("progressive") or im.info.get("progression"))
        found.append((w * h, os.path.getsize(path), path, w, h, progressive))
    found.sort(key=lambda x: (-x[0], -x[1], x[2]))
    if len(found) < count:
        raise SetupError(f"{tree} holds {len(found)} JPEGs, fewer than {count}")
    return found[:count]


def make_huge(folder):
    """Four 16384 x 16384 baseline JPEGs (smooth colour waves plus noise), made once and kept."""
    import numpy as np
    from PIL import Image
    Image.MAX_IMAGE_PIXELS = None
    os.makedirs(folder, exist_ok=True)
    paths = []
    for k in range(HUGE_COUNT):
        path = os.path.join(folder, f"huge-{k + 1}.jpg")
        paths.append(path)
        if os.path.exists(path):
            with Image.open(path) as im:
                if im.size == (HUGE_SIDE, HUGE_SIDE) and not im.info.get("progressive"):
                    continue
        print(f"  making {os.path.relpath(path, cb.ROOT)} ({HUGE_SIDE} x {HUGE_SIDE})", flush=True)
        rng = np.random.default_rng(1000 + k)
        big = Image.new("RGB", (HUGE_SIDE, HUGE_SIDE))
        x = np.arange(HUGE_SIDE, dtype=np.float32)
        phase = rng.uniform(0, 6.28, size=6).astype(np.float32)
        strip = 512
        for y0 in range(0, HUGE_SIDE, strip):
            y = np.arange(y0, y0 + strip, dtype=np.float32)[:, None]
            planes = []
            for c in range(3):
                wave = (np.sin(x / (900 + 400 * c) + phase[c])[None, :] * np.cos(y / (1300 + 300 * c) + phase[3 + c]))
                tilt = (x[None, :] + y) / (2 * HUGE_SIDE)
                planes.append(110 + 70 * wave + 50 * tilt)
            rgb = np.stack(planes, axis=-1) + 5 * rng.standard_normal((strip, HUGE_SIDE, 3), dtype=np.float32)
            big.paste(Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8), "RGB"), (0, y0))
        big.save(path + ".tmp", "JPEG", quality=90, subsampling=2, progressive=False)
        del big
        os.replace(path + ".tmp", path)
    return paths


def memory_part(exe, tree, rounds, skip_huge, goals, results):
    print(f"\n== Peak memory (/usr/bin/time -v, largest of {rounds} run(s)) ==", flush=True)
    big = biggest_jpegs(tree, BIG_COUNT)
    sets = [("twelve largest JPEGs", os.path.join(WORK, "largest-12"), [b[2] for b in big], BIG_RSS_GOAL_MB,
             lambda mb: mb <= BIG_RSS_GOAL_MB, f"<= {BIG_RSS_GOAL_MB} MB")]
    sizes = sorted({f"{b[3]}x{b[4]}" for b in big})
    print(f"  the twelve largest JPEGs of the tree ({', '.join(sizes)}; {sum(b[5] for b in big)} progressive): "
          + ", ".join(os.path.relpath(b[2], tree) for b in big))
    if not skip_huge:
        huge = make_huge(os.path.join(WORK, "huge"))
        sets.append((f"four {HUGE_SIDE} x {HUGE_SIDE} JPEGs", os.path.join(WORK, "huge-run"), huge, HUGE_RSS_GOAL_MB,
                     lambda mb: mb < HUGE_RSS_GOAL_MB, f"< {HUGE_RSS_GOAL_MB} MB"))
    results["memory"] = {"largest_jpegs": [os.path.relpath(b[2], tree) for b in big]}
    for label, folder, pictures, _, ok, target in sets:
        link_tree(None, folder, pictures)
        warm(pictures)
        t = Tree(exe, folder)
        identity = Identity()
        peaks = {}
        for n in (1, 2, 8):
            rss = []
            for _ in range(rounds):
                r = t.create(exe, n, peak=True)
                identity.check(f"--jobs {n}", r)
                made = sum(map(sb.is_thumb, r["files"]))
                if made != len(pictures):
                    raise RunFailed(f"create --jobs {n} over {folder} wrote {made} thumbnails for {len(pictures)} pictures")
                rss.append(r["maxrss_kb"] / MB)
            peaks[n] = max(rss)
            print(f"  {label}, --jobs {n}: {peaks[n]:.1f} MB ({', '.join(f'{x:.1f}' for x in rss)})", flush=True)
        t.clean()
        same = not identity.problems
        print(f"  {label}: every run wrote the same bytes: {'yes' if same else 'NO: ' + '; '.join(identity.problems)}")
        results["memory"][label] = {"peak_mb": {str(n): v for n, v in peaks.items()}, "identical": same}
        goals.add(f"peak RSS, {label}, --jobs 8", f"{peaks[8]:.1f} MB", target, ok(peaks[8]))
        goals.add(f"same output at every --jobs, {label}", "yes" if same else "no", "yes", same)
    if skip_huge:
        print("  (the 2^28-pixel pictures were skipped: --skip-huge)")


# --- main ------------------------------------------------------------------------------

def machine_line(when):
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{when}: {os.cpu_count()} cores, load average {load}"


def copy_exe(src, dest):
    if not (os.path.isfile(src) and os.access(src, os.X_OK)):
        raise SetupError(f"{src} is not an executable file")
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    shutil.copy2(src, dest + ".tmp")
    os.replace(dest + ".tmp", dest)
    return dest


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=3, help="runs of each measurement (default 3)")
    ap.add_argument("--tree", default=os.path.join(OUT, "photo-tree"), help="photo tree (default bench/out/photo-tree)")
    ap.add_argument("--batch", default=os.path.join(cb.ROOT, "build", "pixelmote-batch"), help="pixelmote-batch to measure")
    ap.add_argument("--baseline", help="a second pixelmote-batch whose --jobs 1 time ours is compared with")
    ap.add_argument("--skip-huge", action="store_true", help="skip the 2^28-pixel pictures")
    ap.add_argument("--results", default=os.path.join(OUT, "results", "cores.json"))
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")

    print(machine_line("at start"), flush=True)
    goals = Goals()
    results = {"cores": os.cpu_count(), "rounds": args.rounds, "load_at_start": os.getloadavg()}
    try:
        try:
            import numpy  # noqa: F401  (makes the 2^28-pixel pictures)
            import PIL.Image  # noqa: F401  (reads picture sizes, makes pictures)
        except ImportError as e:
            raise SetupError(f"{e.name} is missing: run bench/cores_bench.sh, which installs python3-pil and python3-numpy")
        tree_src = os.path.abspath(args.tree)
        if not os.path.isdir(tree_src):
            raise SetupError(f"no photo tree at {tree_src}")
        os.makedirs(WORK, exist_ok=True)
        exe = copy_exe(os.path.abspath(args.batch), os.path.join(OUT, "bin", "pixelmote-batch"))
        baseline = (copy_exe(os.path.abspath(args.baseline), os.path.join(OUT, "bin", "baseline", "pixelmote-batch"))
                    if args.baseline else None)
        results.update({"batch": os.path.abspath(args.batch), "baseline": args.baseline and os.path.abspath(args.baseline),
                        "tree": tree_src})
        tree_dir = os.path.join(WORK, "tree")
        link_tree(tree_src, tree_dir)
        tree = Tree(exe, tree_dir)
        pictures = [os.path.join(tree_dir, rel) for rel in tree.sources]
        if not any(p.lower().endswith(".jpg") for p in pictures):
            raise SetupError(f"no JPEGs in {tree_src}")
        warm(pictures)
        print(f"tree: {tree_src} ({len(pictures)} files), linked into {os.path.relpath(tree_dir, cb.ROOT)}; "
              f"settings {' '.join(SETTINGS)}", flush=True)

        identity = Identity()
        share_part(tree, exe, args.rounds, identity, goals, results)
        throughput_part(tree, exe, baseline, args.rounds, identity, goals, results)
        tree.clean()
        same = not identity.problems
        print(f"  output: all {identity.compared} later runs of this build wrote the same status lines and "
              f"{len(identity.reference[2])} files (sha256) as the first" if same
              else "  OUTPUT DIFFERS:\n    " + "\n    ".join(identity.problems))
        results["identical"] = same
        results["identity_problems"] = identity.problems
        goals.add("same output at every --jobs, photo tree", "yes" if same else "no", "yes", same)
        memory_part(exe, tree_src, args.rounds, args.skip_huge, goals, results)
    except SetupError as e:
        print(f"cores_bench: {e}", file=sys.stderr)
        return 2
    except RunFailed as e:
        print(f"cores_bench: a run failed: {e}", file=sys.stderr)
        goals.add("every create run finished", "no", "yes", False)

    print("\n== Goals ==")
    width = max(len(r[0]) for r in goals.rows)
    for name, measured, target, ok in goals.rows:
        print(f"  {name:<{width}}  {measured:>10}  {target:>10}  {'met' if ok else 'MISSED'}")
    print(machine_line("at end"))
    results["load_at_end"] = os.getloadavg()
    results["goals"] = [{"name": n, "measured": m, "goal": t, "met": ok} for n, m, t, ok in goals.rows]
    os.makedirs(os.path.dirname(os.path.abspath(args.results)), exist_ok=True)
    with open(args.results, "w") as f:
        json.dump(results, f, indent=1)
    print(f"figures written to {os.path.relpath(os.path.abspath(args.results), cb.ROOT)}")
    return 1 if goals.missed() else 0


if __name__ == "__main__":
    sys.exit(main())
