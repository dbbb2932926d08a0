"""Colour fidelity of thumbnails of profile-tagged pictures (see colour_bench.sh).

Pictures: grids of flat patches in random colours inside sRGB, converted to
the tagging profile's coordinates (relative colorimetric) and saved as JPEG
(quality 95, 4:4:4) with the profile embedded. Reference: the decoded
picture converted to sRGB, box-averaged to the thumbnail's size. Thumbnails
are read as a browser does: through their embedded profile when they have
one, else as sRGB. Differences are CIEDE2000 (D65 white, 2-degree observer)
at the centre pixel of every patch.
"""
import argparse
import io
import os
import shutil
import subprocess
import sys

import numpy as np
from PIL import Image, ImageCms

PATCH = 64          # patch side in picture pixels
COLUMNS, ROWS = 10, 7
PICTURES = 8
SIZE = 25           # thumbnail size, percent


def srgb_to_lab(rgb):
    """sRGB 8-bit (..., 3) to CIELAB (D65)."""
    c = rgb.astype(np.float64) / 255.0
    lin = np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)
    m = np.array([[0.4124564, 0.3575761, 0.1804375],
                  [0.2126729, 0.7151522, 0.0721750],
                  [0.0193339, 0.1191920, 0.9503041]])
    xyz = lin @ m.T
    white = np.array([0.95047, 1.0, 1.08883])
    t = xyz / white
    f = np.where(t > (6 / 29) ** 3, np.cbrt(t), t / (3 * (6 / 29) ** 2) + 4 / 29)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]), 200 * (f[..., 1] - f[..., 2])], -1)


def ciede2000(lab1, lab2):
    L1, a1, b1 = lab1[..., 0], lab1[..., 1], lab1[..., 2]
    L2, a2, b2 = lab2[..., 0], lab2[..., 1], lab2[..., 2]
    C1, C2 = np.hypot(a1, b1), np.hypot(a2, b2)
    Cm = (C1 + C2) / 2
    G = 0.5 * (1 - np.sqrt(Cm ** 7 / (Cm ** 7 + 25 ** 7)))
    a1p, a2p = (1 + G) * a1, (1 + G) * a2
    C1p, C2p = np.hypot(a1p, b1), np.hypot(a2p, b2)
    h1p = np.degrees(np.arctan2(b1, a1p)) % 360
    h2p = np.degrees(np.arctan2(b2, a2p)) % 360
    dLp = L2 - L1
    dCp = C2p - C1p
    dh = h2p - h1p
    dh = np.where(C1p * C2p == 0, 0, np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh)))
    dHp = 2 * np.sqrt(C1p * C2p) * np.sin(np.radians(dh / 2))
    Lpm = (L1 + L2) / 2
    Cpm = (C1p + C2p) / 2
    hsum = h1p + h2p
    hpm = np.where(C1p * C2p == 0, hsum,
                   np.where(np.abs(h1p - h2p) <= 180, hsum / 2,
                            np.where(hsum < 360, (hsum + 360) / 2, (hsum - 360) / 2)))
    T = (1 - 0.17 * np.cos(np.radians(hpm - 30)) + 0.24 * np.cos(np.radians(2 * hpm))
         + 0.32 * np.cos(np.radians(3 * hpm + 6)) - 0.20 * np.cos(np.radians(4 * hpm - 63)))
    dtheta = 30 * np.exp(-(((hpm - 275) / 25) ** 2))
    Rc = 2 * np.sqrt(Cpm ** 7 / (Cpm ** 7 + 25 ** 7))
    Sl = 1 + 0.015 * (Lpm - 50) ** 2 / np.sqrt(20 + (Lpm - 50) ** 2)
    Sc = 1 + 0.045 * Cpm
    Sh = 1 + 0.015 * Cpm * T
    Rt = -np.sin(np.radians(2 * dtheta)) * Rc
    return np.sqrt((dLp / Sl) ** 2 + (dCp / Sc) ** 2 + (dHp / Sh) ** 2 + Rt * (dCp / Sc) * (dHp / Sh))


def to_srgb(image, icc, srgb):
    """`image` (RGB, in the space of `icc` bytes, or sRGB when None) as sRGB."""
    if not icc:
        return image.convert("RGB")
    source = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    return ImageCms.profileToProfile(image.convert("RGB"), source, srgb,
                                     renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC)


def make_pictures(folder, icc_path, tag):
    """The pictures, converted to and tagged with the profile at `icc_path`;
    with `tag` false, the same colours as untagged sRGB pictures (a control:
    what JPEG compression alone costs)."""
    rng = np.random.default_rng(13)
    srgb = ImageCms.createProfile("sRGB")
    tagged = ImageCms.ImageCmsProfile(icc_path)
    icc = open(icc_path, "rb").read()
    for n in range(PICTURES):
        colours = rng.integers(10, 246, size=(ROWS, COLUMNS, 3), dtype=np.uint8)
        pixels = np.repeat(np.repeat(colours, PATCH, axis=0), PATCH, axis=1)
        picture = Image.fromarray(pixels, "RGB")
        path = os.path.join(folder, f"p{n:02d}.jpg")
        if not tag:
            picture.save(path, quality=95, subsampling=0)
            continue
        picture = ImageCms.profileToProfile(picture, srgb, tagged,
                                            renderingIntent=ImageCms.Intent.RELATIVE_COLORIMETRIC)
        picture.save(path, quality=95, subsampling=0, icc_profile=icc)


def measure(folder, thumb_ext, srgb):
    errors = []
    for name in sorted(os.listdir(folder)):
        if not name.startswith("p") or not name.endswith(".jpg"):
            continue
        with Image.open(os.path.join(folder, name)) as picture:
            reference = to_srgb(picture, picture.info.get("icc_profile"), srgb)
        with Image.open(os.path.join(folder, "t_" + name[:-4] + "." + thumb_ext)) as thumb:
            shown = to_srgb(thumb, thumb.info.get("icc_profile") if thumb_ext == "jpg" else None, srgb)
        reference = reference.resize(shown.size, Image.Resampling.BOX)
        ref, got = np.asarray(reference), np.asarray(shown)
        sx = shown.size[0] / (COLUMNS * PATCH)
        sy = shown.size[1] / (ROWS * PATCH)
        for r in range(ROWS):
            for c in range(COLUMNS):
                x, y = int((c + 0.5) * PATCH * sx), int((r + 0.5) * PATCH * sy)
                errors.append(ciede2000(srgb_to_lab(ref[y, x]), srgb_to_lab(got[y, x])))
    return np.array(errors)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--batch", required=True)
    parser.add_argument("--profile", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    srgb = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB"))
    print(f"{PICTURES} pictures of {COLUMNS} x {ROWS} patches tagged with {os.path.basename(args.profile)}; "
          f"thumbnails at {SIZE} %; CIEDE2000 at patch centres")
    print(f"program: {args.batch}")
    worst_all = 0.0
    for quality in (75, 90):
        for ext, tag in (("jpg", True), ("gif", True), ("jpg", False)):
            folder = os.path.join(args.work, f"tree-{ext}-{quality}-{'tagged' if tag else 'srgb'}")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            make_pictures(folder, args.profile, tag)
            subprocess.run([args.batch, "create", folder, "--thumb", ext, "--size", str(SIZE),
                            "--quality", str(quality)], check=True, stdout=subprocess.DEVNULL)
            e = measure(folder, ext, srgb)
            label = f"{ext.upper()} thumbnails of {'tagged' if tag else 'untagged sRGB (control)'} pictures"
            missed = tag and e.max() >= 3
            if tag:
                worst_all = max(worst_all, float(e.max()))
            print(f"  quality {quality:3d}  {label:50s} worst {e.max():5.2f}  mean {e.mean():5.2f}"
                  f"  ({len(e)} patches){'   goal (worst < 3) missed' if missed else ''}")
    return 0 if worst_all < 3 else 1


if __name__ == "__main__":
    sys.exit(main())
