#!/usr/bin/python3
"""Thumbnail fidelity: luma PSNR of pixelmote-batch's thumbnails and
vipsthumbnail's against an exact area average of the fully decoded photo, on
a set of photos as they are ("aligned": sizes multiples of 8) and the same
photos cropped losslessly to sizes that are not; optionally the one-core
Create time of this build against a baseline binary, and whether the two
write the same bytes.

Run by bench/fidelity_bench.sh, which installs the tools and finds the photos.
Needs Debian's python3-pil and python3-numpy, jpegtran and vipsthumbnail.
"""

import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
from PIL import Image

PREFIX = "t_"


def pick_photos(tree, count):
    """`count` JPEGs spread evenly over the sorted list of the tree's JPEGs."""
    found = []
    for folder, _, names in os.walk(tree):
        for name in names:
            if name.lower().endswith(".jpg") and not name.startswith(PREFIX):
                found.append(os.path.join(folder, name))
    found.sort()
    if not found:
        sys.exit(f"fidelity_bench: no JPEG photos under {tree}")
    if count >= len(found):
        return found
    step = len(found) / count
    return [found[int(i * step)] for i in range(count)]


def cropped_side(side, cut):
    """side - cut, made odd by one more pixel off: never a multiple of 8."""
    s = side - cut
    return s if s % 2 else s - 1


def make_sets(photos, scratch):
    """Copies of the photos (aligned) and lossless crops of them (cropped)."""
    aligned = os.path.join(scratch, "aligned")
    cropped = os.path.join(scratch, "cropped")
    os.makedirs(aligned, exist_ok=True)
    os.makedirs(cropped, exist_ok=True)
    names = []
    for i, src in enumerate(photos):
        name = f"p{i:03d}.jpg"
        names.append(name)
        a = os.path.join(aligned, name)
        if not os.path.exists(a):
            shutil.copyfile(src, a)
        c = os.path.join(cropped, name)
        if not os.path.exists(c):
            with Image.open(a) as im:
                w, h = im.size
            cw, ch = cropped_side(w, 3), cropped_side(h, 5)
            subprocess.run(["jpegtran", "-copy", "none", "-crop", f"{cw}x{ch}+0+0", "-outfile", c + ".tmp", a],
                           check=True)
            os.replace(c + ".tmp", c)
    return {"aligned": aligned, "cropped": cropped}, names


def fresh_copy(src_dir, names, dest):
    """A folder of hard links to the pictures, without thumbnails or pages."""
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    for n in names:
        os.link(os.path.join(src_dir, n), os.path.join(dest, n))


def run_ours(exe, folder, size, quality, jobs):
    subprocess.run([exe, "create", folder, "--size", str(size), "--quality", str(quality), "--jobs", str(jobs)],
                   check=True, stdout=subprocess.DEVNULL)


def run_vips(folder, names, sizes, quality):
    for n in names:
        w, h = sizes[n]
        out = os.path.join(folder, "v_" + n)
        subprocess.run(["vipsthumbnail", os.path.join(folder, n), "-s", f"{w}x{h}!", "-o", f"{out}[Q={quality}]"],
                       check=True)


def luma(rgb):
    """BT.601 luma of an H x W x 3 array, as float64."""
    rgb = rgb.astype(np.float64)
    return 0.299 * rgb[..., 0] + 0.587 * rgb[..., 1] + 0.114 * rgb[..., 2]


def area_average_axis(a, out, axis):
    """Exact area average of `a` along `axis` into `out` equal cells: pixels
    are constant over their unit square, so the sum over [p, q) is the
    linear interpolation of the cumulative sum at q minus that at p."""
    a = np.moveaxis(a, axis, 0)
    n = a.shape[0]
    c = np.concatenate([np.zeros((1,) + a.shape[1:]), np.cumsum(a, axis=0, dtype=np.float64)])
    edges = np.arange(out + 1, dtype=np.float64) * (n / out)
    i = np.minimum(np.floor(edges).astype(np.int64), n - 1)
    f = (edges - i)[:, None] if a.ndim > 1 else edges - i
    at = c[i] + f * (c[i + 1] - c[i])
    result = (at[1:] - at[:-1]) / (n / out)
    return np.moveaxis(result, 0, axis)


def exact_reference(y_full, size):
    w, h = size
    return area_average_axis(area_average_axis(y_full, h, 0), w, 1)


def psnr(a, b):
    mse = float(np.mean((a - b) ** 2))
    return float("inf") if mse == 0 else 10.0 * np.log10(255.0 ** 2 / mse)


def read_luma(path):
    with Image.open(path) as im:
        return luma(np.asarray(im.convert("RGB")))


def fidelity(sets, names, args):
    """{(set, size, tool): [psnr per photo]}"""
    results = {}
    for set_name, src in sets.items():
        work = {}
        for size in args.sizes:
            folder = os.path.join(args.scratch, "run", f"{set_name}-{size}")
            fresh_copy(src, names, folder)
            run_ours(args.exe, folder, size, args.quality, args.jobs)
            sizes = {}
            for n in names:
                with Image.open(os.path.join(folder, PREFIX + n)) as im:
                    sizes[n] = im.size
            run_vips(folder, names, sizes, args.quality)
            work[size] = (folder, sizes)
        for n in names:
            # One full decode per photo; luma is linear in RGB, so averaging
            # the luma is averaging the pixels.
            y_full = read_luma(os.path.join(src, n)).astype(np.float32)
            for size in args.sizes:
                folder, sizes = work[size]
                ref = exact_reference(y_full, sizes[n])
                for tool, prefix in (("pixelmote", PREFIX), ("vipsthumbnail", "v_")):
                    got = read_luma(os.path.join(folder, prefix + n))
                    if got.shape != ref.shape:
                        sys.exit(f"fidelity_bench: {tool} made {got.shape} for {n}, want {ref.shape}")
                    results.setdefault((set_name, size, tool), []).append(psnr(got, ref))
            del y_full
    return results


def report_fidelity(results, args):
    print(f"Luma PSNR against an exact area average of the full decode (dB; {args.count} photos, quality {args.quality})")
    print(f"{'set':<8} {'size':>4}  {'pixelmote':>10} {'vipsthumbnail':>14} {'difference':>11}  {'worst (ours)':>12}")
    verdicts = []
    for set_name in ("aligned", "cropped"):
        for size in args.sizes:
            ours = results[(set_name, size, "pixelmote")]
            vips = results[(set_name, size, "vipsthumbnail")]
            mo, mv = statistics.mean(ours), statistics.mean(vips)
            print(f"{set_name:<8} {size:>3}%  {mo:>10.2f} {mv:>14.2f} {mo - mv:>+11.2f}  {min(ours):>12.2f}")
            goal = 0.0 if set_name == "aligned" else -0.25
            verdicts.append((f"{set_name} {size}%: ours - vips >= {goal:+.2f} dB", mo - mv >= goal))
    for text, ok in verdicts:
        print(f"  {'met    ' if ok else 'MISSED '} {text}")


def thumbnails_digest(folder):
    """{thumbnail name: sha256}"""
    out = {}
    for n in sorted(os.listdir(folder)):
        if n.startswith(PREFIX):
            with open(os.path.join(folder, n), "rb") as f:
                out[n] = hashlib.sha256(f.read()).hexdigest()
    return out


def speed(sets, names, args):
    """Create --jobs 1 over the aligned set, this build and the baseline
    alternating, `rounds` rounds each."""
    folder = os.path.join(args.scratch, "speed")
    fresh_copy(sets["aligned"], names, folder)
    exes = {"this build": args.exe, "baseline": args.baseline}
    times = {k: [] for k in exes}
    digests = {}
    order = list(exes)
    for r in range(args.rounds):
        for label in (order if r % 2 == 0 else order[::-1]):
            exe = exes[label]
            subprocess.run([exe, "remove", folder], check=True, stdout=subprocess.DEVNULL)
            start = time.perf_counter()
            run_ours(exe, folder, 25, args.quality, 1)
            times[label].append(time.perf_counter() - start)
            digests[label] = thumbnails_digest(folder)
    subprocess.run([args.exe, "remove", folder], check=True, stdout=subprocess.DEVNULL)
    new, old = statistics.median(times["this build"]), statistics.median(times["baseline"])
    print(f"Create --jobs 1, {len(names)} aligned photos at 25 %, median of {args.rounds} alternating rounds:")
    print(f"  this build {new:.2f} s, baseline {old:.2f} s, ratio {new / old:.3f} "
          f"({'within' if new / old <= 1.02 else 'OVER'} 1.02)")
    print("  rounds (this build): " + " ".join(f"{t:.2f}" for t in times["this build"]))
    print("  rounds (baseline):   " + " ".join(f"{t:.2f}" for t in times["baseline"]))
    same = sum(1 for n, d in digests["this build"].items() if digests["baseline"].get(n) == d)
    print(f"  thumbnails byte-identical to the baseline's: {same} of {len(digests['this build'])}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--photos", required=True, help="folder tree of JPEG photos")
    p.add_argument("--count", type=int, default=40, help="photos taken from the tree (default 40)")
    p.add_argument("--sizes", default="25,10", help="thumbnail sizes in percent (default 25,10)")
    p.add_argument("--quality", type=int, default=75)
    p.add_argument("--jobs", type=int, default=2, help="jobs for the fidelity renders")
    p.add_argument("--exe", required=True, help="pixelmote-batch of this build")
    p.add_argument("--baseline", help="pixelmote-batch to time this build against")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--scratch", required=True)
    p.add_argument("--skip-fidelity", action="store_true")
    args = p.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",") if s]

    photos = pick_photos(args.photos, args.count)
    args.count = len(photos)
    sets, names = make_sets(photos, args.scratch)
    if not args.skip_fidelity:
        report_fidelity(fidelity(sets, names, args), args)
    if args.baseline:
        speed(sets, names, args)


if __name__ == "__main__":
    main()
