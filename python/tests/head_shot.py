"""Run by test_camera_head.py inside a private network namespace (loopback
only): starts `zelsim serve --head cameras`, takes a shot with OrvCamAce through
zelcam.Camera in both trigger modes and with `zelscan shot` (the C++ host), and
writes what it got into the folder given as the only argument:
python_soft.npy, python_hard.npy (2 x 13 x H x W) and zelscan/cam*_*.pgm.
Then it serves the stereo head (`--head stereo`) and shoots through OrvCamKtds
in both trigger modes (software with the default settle time): ktds_soft.npy,
ktds_hard.npy."""

import os
import subprocess
import sys
import time

import numpy as np

import zelcam

out = sys.argv[1]
bin_dir = os.environ["ZELCAM_BIN_DIR"]
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def serve(head, *extra):
    log = open(os.path.join(out, "serve.log"), "w")
    server = subprocess.Popen(
        [os.path.join(bin_dir, "zelsim"), "serve", "--scene", "plane", "--head", head, "--size", "160x128",
         "--supersample", "1", "--noise", "0", "--cache", os.path.join(out, "cache"), "--no-publish", *extra],
        stdout=log, stderr=subprocess.STDOUT)
    for _ in range(600):
        if "ready" in open(os.path.join(out, "serve.log")).read():
            return server
        time.sleep(0.05)
    server.terminate()
    sys.exit("zelsim serve did not come up")


server = serve("cameras", "--tcp", "127.0.0.1:5073")
try:
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

# The stereo head streams all the time; shot() waits its default settle time
# before each capture, so every image is of the pattern just shown.
server = serve("stereo")
try:
    with zelcam.Camera("ktds", log=os.path.join(out, "ktds.log")) as cam:
        assert cam.open(130) == 3, "open did not open both halves of the head"
        cam.open_projector()
        for mode, name in ((1, "soft"), (0, "hard")):
            cam.trigger_mode = mode
            left, right = cam.shot(timeout=5.0)
            np.save(os.path.join(out, f"ktds_{name}.npy"), np.stack([left, right]))
        cam.close()
        cam.close_projector()
finally:
    server.terminate()
    server.wait(10)
