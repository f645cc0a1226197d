#!/usr/bin/env python3
"""Decode time through the Python binding against the decoder's own exec, in
the same run and the same process.

    PYTHONPATH=build/dev/python python3 bench/python_bench.py [--scene DIR] [--runs N]

For each decoder: "exec" is the decoder's exec call alone, timed in C++ around
the call (what a C++ host pays); "decode()" is the whole Python call: argument
checks, exec, and the one copy of the output arrays into numpy memory. The
ratio decode() / exec is the binding's cost (target: at most 1.05). Without
--scene the full-size demo scene is rendered first (one sample per pixel).
Prints medians over the runs, after one warm-up run, and for reference the
exec time `zelscan decode` (the C++ host) reports for the same scene.
"""

import argparse
import re
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelcam


def render(folder):
    here = os.path.dirname(os.path.abspath(zelcam.__file__))
    zelsim = os.path.join(here, "..", "..", "bin", "zelsim")
    if not os.path.exists(zelsim):
        sys.exit("python_bench: zelsim not found beside the package; give --scene")
    subprocess.run([zelsim, "render", "--scene", "demo", "--out", folder, "--supersample", "1", "--quiet"],
                   check=True)


def cpp_host_exec(kind, scene, tmp):
    """exec time of the C++ host program (zelscan decode), one run in its own process."""
    here = os.path.dirname(os.path.abspath(zelcam.__file__))
    zelscan = os.path.join(here, "..", "..", "bin", "zelscan")
    if not os.path.exists(zelscan):
        return None
    done = subprocess.run([zelscan, "decode", "--decoder", kind, "--calib", os.path.join(scene, "calib"),
                           "--images", scene, "--out", os.path.join(tmp, kind + ".ply")],
                          capture_output=True, text=True)
    match = re.search(r"points in (\d+) ms", done.stdout)
    return float(match.group(1)) if match else None


def measure(dec, left, right, runs):
    dec.decode(left, right)  # warm-up: first-touch of the decoder's buffers
    walls, execs, count = [], [], 0
    for _ in range(runs):
        start = time.perf_counter()
        result = dec.decode(left, right)
        walls.append((time.perf_counter() - start) * 1000)
        execs.append(dec.last_exec_ms)
        count = len(result.points)
    return statistics.median(walls), statistics.median(execs), min(w - e for w, e in zip(walls, execs)), count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scene", help="a rendered demo scene (zelsim render --scene demo)")
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="python_bench_") as tmp:
        scene = args.scene
        if scene is None:
            scene = os.path.join(tmp, "scene")
            render(scene)
        calib = os.path.join(scene, "calib")
        print(f"python_bench: scene {scene}, {args.runs} runs per decoder (medians)")
        for name, kind, make, per_camera in (("phase-shift", "phsft", zelcam.PhaseShiftDecoder, 13),
                                             ("SGBM", "sgbm", zelcam.SgbmDecoder, 1)):
            left, right = zelcam.read_image_set(scene, per_camera)
            with make(calibration=calib) as dec:
                wall, exec_ms, least_overhead, n = measure(dec, left, right, args.runs)
            out_mib = n * 19 / 2**20
            print(f"  {name:<12} {n:8d} points ({out_mib:5.1f} MiB out): exec {exec_ms:7.1f} ms, "
                  f"decode() {wall:7.1f} ms, ratio {wall / exec_ms:.3f} "
                  f"(binding {wall - exec_ms:+.1f} ms median, {least_overhead:.1f} ms least)")
            host = cpp_host_exec(kind, scene, tmp)
            if host is not None:
                print(f"  {'':<12} C++ host (zelscan decode, own process, one run): exec {host:.0f} ms")


if __name__ == "__main__":
    main()
