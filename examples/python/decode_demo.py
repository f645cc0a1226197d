#!/usr/bin/env python3
"""Decodes the demo scene of the virtual head with the phase-shift decoder and
saves the cloud and a depth image.

    PYTHONPATH=build/dev/python python3 examples/python/decode_demo.py [SCENE] [--out DIR]

SCENE is a folder written by `zelsim render --scene demo` (13 patterns per
camera and calib/); without it the scene is rendered first into DIR/scene
(with one sample per pixel, a few seconds). Writes DIR/cloud.ply and the depth
image: DIR/depth.png through matplotlib when it is installed
(python3-matplotlib), otherwise DIR/depth.pgm (8-bit, near = bright, far = dark
grey, 0 = no point).
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

import zelcam


def find_zelsim():
    here = os.path.dirname(os.path.abspath(zelcam.__file__))
    for candidate in (os.path.join(here, "..", "..", "bin", "zelsim"), "build/dev/bin/zelsim"):
        if os.path.exists(candidate):
            return candidate
    sys.exit("decode_demo: zelsim not found; give a rendered scene folder")


def depth_image(result, width, height):
    depth = np.full(width * height, np.nan, np.float32)
    depth[result.pixel_indices] = result.points[:, 2]
    return depth.reshape(height, width)


def save_depth(depth, out_dir):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        path = os.path.join(out_dir, "depth.pgm")
        valid = ~np.isnan(depth)
        grey = np.zeros(depth.shape, np.uint8)
        if valid.any():
            near, far = np.nanpercentile(depth, [1, 99])
            scaled = (far - depth[valid]) / max(far - near, 1e-6)
            # far 64 .. near 255, so that the farthest points still differ from "no point" (0)
            grey[valid] = np.clip(64 + 191 * scaled, 64, 255).astype(np.uint8)
        with open(path, "wb") as f:
            f.write(b"P5\n%d %d\n255\n" % (depth.shape[1], depth.shape[0]))
            f.write(grey.tobytes())
        print(f"decode_demo: matplotlib is not installed (python3-matplotlib): wrote {path} instead of a PNG")
        return path
    path = os.path.join(out_dir, "depth.png")
    plt.figure(figsize=(8, 6.4))
    plt.imshow(depth, cmap="viridis_r")
    plt.colorbar(label="z (mm)")
    plt.title("demo scene, phase-shift decoder")
    plt.savefig(path, dpi=100)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scene", nargs="?", help="folder of a rendered pattern scene")
    parser.add_argument("--out", default="zelcam-python-demo", help="output folder")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    scene = args.scene
    if scene is None:
        scene = os.path.join(args.out, "scene")
        print("decode_demo: rendering the demo scene ...")
        subprocess.run([find_zelsim(), "render", "--scene", "demo", "--out", scene, "--supersample", "1",
                        "--quiet"], check=True)

    left, right = zelcam.read_image_set(scene)
    with zelcam.PhaseShiftDecoder(calibration=os.path.join(scene, "calib")) as dec:
        start = time.perf_counter()
        result = dec.decode(left, right)
        wall = (time.perf_counter() - start) * 1000
        print(f"decode_demo: {len(result.points)} points, exec {dec.last_exec_ms:.0f} ms, "
              f"decode() {wall:.0f} ms")
        width, height = dec.width, dec.height

    cloud = os.path.join(args.out, "cloud.ply")
    zelcam.write_points(cloud, result.points, result.colors)
    print(f"decode_demo: wrote {cloud}")
    depth = depth_image(result, width, height)
    print(f"decode_demo: z from {np.nanmin(depth):.0f} to {np.nanmax(depth):.0f} mm; wrote {save_depth(depth, args.out)}")


if __name__ == "__main__":
    main()
