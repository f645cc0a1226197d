"""Run by test_camera_head.py inside a private network namespace (loopback
only): starts `zelsim serve --head cameras`, takes a shot with OrvCamAce through
zelcam.Camera in both trigger modes and with `zelscan shot` (the C++ host), and
writes what it got into the folder given as the only argument:
python_soft.npy, python_hard.npy (2 x 13 x H x W) and zelscan/cam*_*.pgm."""

import os
import subprocess
import sys
import time

import numpy as np

import zelcam

out = sys.argv[1]
bin_dir = os.environ["ZELCAM_BIN_DIR"]
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
log = open(os.path.join(out, "serve.log"), "w")
server = subprocess.Popen(
    [os.path.join(bin_dir, "zelsim"), "serve", "--scene", "plane", "--head", "cameras", "--size", "160x128",
     "--supersample", "1", "--noise", "0", "--cache", os.path.join(out, "cache"), "--tcp", "127.0.0.1:5073",
     "--no-publish"], stdout=log, stderr=subprocess.STDOUT)
try:
    for _ in range(600):
        if "ready" in open(os.path.join(out, "serve.log")).read():
            break
        time.sleep(0.05)
    else:
        sys.exit("zelsim serve did not come up")
    with zelcam.Camera("ace", log=os.path.join(out, "ace.log")) as cam:
        assert cam.open() == 3, "open did not open both cameras"
        assert cam.image_size == (160, 128)
        cam.open_projector("127.0.0.1")
        for mode, name in ((1, "soft"), (0, "hard")):
            cam.trigger_mode = mode
            left, right = cam.shot(timeout=5.0)
            np.save(os.path.join(out, f"python_{name}.npy"), np.stack([left, right]))
        cam.close()
        cam.close_projector()
    # The C++ host against the same head, in the same namespace.
    subprocess.run([os.path.join(bin_dir, "zelscan"), "shot", "--camera", "ace", "--projector", "127.0.0.1",
                    "--out", os.path.join(out, "zelscan")], check=True, capture_output=True)
finally:
    server.terminate()
    server.wait(10)
