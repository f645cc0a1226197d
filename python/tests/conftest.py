"""Shared fixtures: a small rendered scene of the virtual head and the C++ host's
decode of it, made once per test session by the test helper."""

import os
import subprocess

import numpy as np
import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "head: shots from the live virtual head (slow; own network namespace)")


def _helper():
    path = os.environ.get("ZELCAM_TEST_HELPER")
    if not path or not os.path.exists(path):
        pytest.skip("ZELCAM_TEST_HELPER is not set (run the tests through ctest)")
    return path


def run_helper(*args):
    done = subprocess.run([_helper(), *map(str, args)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="session")
def scene(tmp_path_factory):
    """Folder with the quarter-size demo scene, calib/, phsft.ini and sgbm.ini."""
    folder = tmp_path_factory.mktemp("scene")
    run_helper("render", folder)
    return folder


def read_reference(path):
    raw = open(path, "rb").read()
    n = int(np.frombuffer(raw[:4], np.int32)[0])
    at = 4
    points = np.frombuffer(raw[at:at + 12 * n], np.float32).reshape(n, 3)
    at += 12 * n
    colors = np.frombuffer(raw[at:at + 3 * n], np.uint8).reshape(n, 3)
    at += 3 * n
    pixels = np.frombuffer(raw[at:at + 4 * n], np.int32)
    assert at + 4 * n == len(raw)
    return points, colors, pixels


@pytest.fixture(scope="session")
def cpp_result(scene):
    """The C++ host's decode of the scene, per decoder: (points, colors, pixel_indices)."""
    results = {}
    for kind in ("phsft", "sgbm"):
        out = scene / f"reference_{kind}.bin"
        run_helper("decode", kind, scene, scene / f"{kind}.ini", out)
        results[kind] = read_reference(out)
    return results
