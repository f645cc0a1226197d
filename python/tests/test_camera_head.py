"""A shot from the live virtual head (`zelsim serve`) through OrvCamAce arrives
as numpy arrays equal to what the C++ host (`zelscan shot`) gets, in software
and hardware trigger. Runs in a private network namespace of its own."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import zelcam


@pytest.mark.head
def test_shot_from_the_virtual_head(tmp_path):
    bin_dir = os.path.join(os.path.dirname(zelcam.__file__), "..", "..", "bin")
    lib = os.path.join(os.path.dirname(zelcam.__file__), "..", "..", "lib", "libOrvCamAce.so")
    needed = [os.path.join(bin_dir, "zelsim"), os.path.join(bin_dir, "zelscan"), lib]
    if not all(os.path.exists(p) for p in needed) or not shutil.which("unshare"):
        pytest.skip("needs zelsim, zelscan, libOrvCamAce.so and unshare")
    if subprocess.run(["unshare", "-rn", "true"]).returncode != 0:
        pytest.skip("cannot make a private network namespace here")
    env = dict(os.environ, ZELCAM_BIN_DIR=bin_dir)
    done = subprocess.run(["unshare", "-rn", sys.executable, os.path.join(os.path.dirname(__file__), "head_shot.py"),
                           str(tmp_path)], env=env, capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stdout + done.stderr + (tmp_path / "serve.log").read_text()
    soft = np.load(tmp_path / "python_soft.npy")
    hard = np.load(tmp_path / "python_hard.npy")
    assert soft.shape == (2, 13, 128, 160) and soft.dtype == np.uint8
    assert np.array_equal(soft, hard)
    # The same images as the C++ host's, byte for byte, in the same order.
    cpp = np.stack([zelcam.read_image_set(tmp_path / "zelscan")[c] for c in range(2)])
    assert np.array_equal(soft, cpp)
    # The patterns differ from each other: black below white, fringes vary.
    assert soft[0, 0].mean() < soft[0, 1].mean()
    assert len({soft[0, k].tobytes() for k in range(13)}) == 13
    # Through the stereo head, which streams all the time: in software trigger
    # the default settle time gives each pattern's own image, the same as the
    # frames the projector fires in hardware trigger.
    ktds_soft = np.load(tmp_path / "ktds_soft.npy")
    assert ktds_soft.shape[:2] == (2, 13) and len({ktds_soft[0, k].tobytes() for k in range(13)}) == 13
    assert np.array_equal(ktds_soft, np.load(tmp_path / "ktds_hard.npy"))
