#!/usr/bin/env python3
"""Times pixelmote-batch create over the whole photo tree against web-gallery generators.

Called by bench/run_all.sh after the picture tree is made and the generators
are installed. First `pixelmote-batch create TREE --size 25 --quality 75`
with the default number of jobs (all cores), the median of the rounds, each
on a tree cleaned by `remove` (untimed). Then each generator once, on its own
fresh copy of the tree's JPEGs under OUT/gallery-NAME/photos (the copy is not
timed; the GIFs are left out because pixelmote-batch's default create skips
them too), with the settings closest to pixelmote-batch's:

  llgal -d COPY -R --option 'thumbnail_create_command = "convert -scale <MAXW>x<MAXH> -quality 75 -- <IN> <OUT>"'
      recursive; its default 113x75 thumbnail box (it has no size in percent);
      quality 75 through its thumbnail command, otherwise the command it ships
      with; its slide pages link to the pictures where they are, as ours do.
  fgallery -s -j CORES --no-sRGB --quality 75 FOLDER OUT/ALBUM
      once per folder that holds pictures (fgallery flattens a tree into one
      album, so each run gets a folder of hard links to that folder's pictures
      alone, made untimed), summed; slim output (no copies of the originals, no
      zip); default thumbnail box 267x200; its 1600x1200 previews are part of
      every gallery it makes. --no-sRGB only spares the colour-profile tool:
      these pictures carry no profile.
  lazygal --quiet -o OUT -T 25% -q 75 -s small=0x0 COPY
      recursive; thumbnails of 25%; one image size, "0x0" = the original copied
      as it is, so no second reduction is made.

The generators call ImageMagick's `convert` through PATH: /usr/bin comes
first, so that a wrapper script earlier in PATH cannot slow them down. Each
generator's wall-clock time is printed with its ratio to pixelmote-batch's
median. A generator that is missing or fails is reported and skipped.

Usage: bench/gallery_bench.py --tree DIR --exe PATH [--rounds N] [--out DIR]
                              [--only NAME,...] [--results FILE.json]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import create_bench as cb  # noqa: E402

CORES = os.cpu_count() or 1
LLGAL_THUMBNAIL = f'thumbnail_create_command = "convert -scale <MAXW>x<MAXH> -quality {cb.QUALITY} -- <IN> <OUT>"'


def jpeg_folders(tree):
    """Relative folder -> names of the JPEGs directly in it (folders without any are left out)."""
    found = {}
    for path in cb.find_pictures(tree):
        rel = os.path.relpath(os.path.dirname(path), tree)
        found.setdefault(rel, []).append(os.path.basename(path))
    return found


def copy_jpegs(tree, dest):
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(tree, dest, ignore=lambda folder, names: [
        n for n in names if os.path.isfile(os.path.join(folder, n)) and not n.lower().endswith(".jpg")])


def count_files(root, test):
    return sum(1 for folder, _, files in os.walk(root) for n in files if test(folder, n))


class Generator:
    name = "?"
    package = "?"

    def __init__(self, base, tree, pictures):
        self.base = os.path.join(base, f"gallery-{self.name}")
        self.tree, self.pictures = tree, pictures
        self.copy = os.path.join(self.base, "photos")

    def prepare(self):
        shutil.rmtree(self.base, ignore_errors=True)
        os.makedirs(self.base)
        copy_jpegs(self.tree, self.copy)

    def commands(self):
        raise NotImplementedError

    def thumbnails(self):
        raise NotImplementedError

    def version(self):
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", self.package], capture_output=True, text=True)
        return out.stdout.strip() or "?"


class Llgal(Generator):
    name, package = "llgal", "llgal"

    def commands(self):
        return [["llgal", "-d", self.copy, "-R", "--option", LLGAL_THUMBNAIL]]

    def thumbnails(self):
        return count_files(self.copy, lambda folder, n: os.path.basename(folder) == ".llgal" and n.startswith("thumb_"))


class Fgallery(Generator):
    name, package = "fgallery", "fgallery"

    def prepare(self):
        super().prepare()
        self.runs = []
        for rel, names in sorted(jpeg_folders(self.copy).items()):
            # Side by side, not nested: fgallery takes in every folder below the
            # one it is given, makes each album folder itself and refuses one that exists.
            flat = "root" if rel == "." else rel.replace(os.sep, " - ")
            source = os.path.join(self.base, "input", flat)
            os.makedirs(source)
            for n in names:
                os.link(os.path.join(self.copy, rel, n), os.path.join(source, n))
            self.runs.append((source, os.path.join(self.base, "albums", flat)))
        os.makedirs(os.path.join(self.base, "albums"))

    def commands(self):
        return [["fgallery", "-s", "-j", str(CORES), "--no-sRGB", "--quality", str(cb.QUALITY), source, out]
                for source, out in self.runs]

    def thumbnails(self):
        return sum(len(os.listdir(os.path.join(out, "thumbs"))) for _, out in self.runs
                   if os.path.isdir(os.path.join(out, "thumbs")))


class Lazygal(Generator):
    name, package = "lazygal", "lazygal"

    def commands(self):
        out = os.path.join(self.base, "site")
        os.makedirs(out, exist_ok=True)
        return [["lazygal", "--quiet", "-o", out, "-T", f"{cb.SIZE_PERCENT}%", "-q", str(cb.QUALITY),
                 "-s", "small=0x0", self.copy]]

    def thumbnails(self):
        return count_files(os.path.join(self.base, "site"), lambda folder, n: n.endswith("_thumb.jpg"))


def generator_env():
    env = dict(os.environ)
    env["PATH"] = "/usr/bin:/bin:" + env.get("PATH", "")
    return env


def run_generator(gen):
    """Returns (wall seconds, None) or (None, what went wrong)."""
    if shutil.which(gen.name, path="/usr/bin:/bin") is None:
        return None, f"{gen.name} is not installed (package {gen.package})"
    gen.prepare()
    cmds = gen.cmds = gen.commands()
    log = os.path.join(gen.base, "log.txt")
    with open(log, "wb") as out:
        start = time.perf_counter()
        for cmd in cmds:
            res = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, env=generator_env())
            if res.returncode != 0:
                return None, f"exit status {res.returncode} from {' '.join(cmd)} (see {os.path.relpath(log, cb.ROOT)})"
        wall = time.perf_counter() - start
    made = gen.thumbnails()
    if made != gen.pictures:
        return None, f"made {made} thumbnails for {gen.pictures} pictures (see {os.path.relpath(log, cb.ROOT)})"
    return wall, None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tree", default=os.path.join(cb.ROOT, "bench", "out", "photos"))
    ap.add_argument("--exe", default=os.path.join(cb.ROOT, "build", "pixelmote-batch"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--out", default=os.path.join(cb.ROOT, "bench", "out"))
    ap.add_argument("--only", help="comma-separated generators to run (default: llgal,fgallery,lazygal)")
    ap.add_argument("--results", help="also write the figures to this JSON file (read by bench/summary.py)")
    args = ap.parse_args()
    if args.rounds < 1:
        ap.error("--rounds must be at least 1")
    tree = os.path.abspath(args.tree)

    cb.run([args.exe, "remove", tree])
    folders = jpeg_folders(tree)
    pictures = sum(len(v) for v in folders.values())
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"\n== Whole tree against gallery generators: {pictures} JPEGs in {len(folders)} folders, {CORES} cores ==")
    cmd = [args.exe, "create", tree, "--size", str(cb.SIZE_PERCENT), "--quality", str(cb.QUALITY)]
    print(f"  {' '.join(cmd)}   (default jobs), {args.rounds} rounds after a warm-up", flush=True)
    cb.run(cmd)
    walls = []
    for _ in range(args.rounds):
        cb.run([args.exe, "remove", tree])
        with cb.Timer() as t:
            cb.run(cmd)
        walls.append(t.wall)
    cb.run([args.exe, "remove", tree])
    ours = statistics.median(walls)
    print(f"  pixelmote-batch create: median {ours:.2f} s ({', '.join(f'{w:.2f}' for w in walls)})", flush=True)
    results = {"pictures": pictures, "cores": CORES, "load_at_start": os.getloadavg(), "pixelmote_s": ours,
               "generators": {}}

    wanted = (args.only or "llgal,fgallery,lazygal").split(",")
    gens = [g(args.out, tree, pictures) for g in (Llgal, Fgallery, Lazygal) if g.name in wanted]
    for gen in gens:
        print(f"  {gen.name} {gen.version()}: running ...", flush=True)
        wall, problem = run_generator(gen)
        if problem:
            print(f"  {gen.name}: FAILED: {problem}", flush=True)
            results["generators"][gen.name] = {"error": problem}
            continue
        runs = len(gen.cmds)
        print(f"  {gen.name}: {wall:.2f} s ({runs} run{'s' if runs > 1 else ''}), "
              f"{wall / ours:.1f}x pixelmote-batch's time", flush=True)
        results["generators"][gen.name] = {"wall_s": wall, "ratio": wall / ours, "runs": runs,
                                           "command": gen.cmds[0]}
    timed = {k: v for k, v in results["generators"].items() if "wall_s" in v}
    if timed:
        fastest = min(timed, key=lambda k: timed[k]["wall_s"])
        print(f"fastest generator: {fastest}, {timed[fastest]['ratio']:.1f}x pixelmote-batch's time")
        results["fastest"] = fastest
    if args.results:
        with open(args.results, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
