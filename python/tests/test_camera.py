"""Capture through a camera plug-in loaded by its factory. The plug-in is the
fake of fake_camera.cpp: known 64 x 48 frames, delivered from its own thread."""

import os
import threading

import numpy as np
import pytest

import zelcam


@pytest.fixture
def fake():
    path = os.environ.get("ZELCAM_FAKE_CAMERA")
    if not path or not os.path.exists(path):
        pytest.skip("ZELCAM_FAKE_CAMERA is not set (run the tests through ctest)")
    return path


def expected_frames(camera):
    p = np.arange(13)[:, None, None]
    y = np.arange(48)[None, :, None]
    x = np.arange(64)[None, None, :]
    return ((p * 19 + camera * 101 + x + 3 * y) & 0xFF).astype(np.uint8)


def test_a_shot_arrives_as_numpy_arrays(fake):
    with zelcam.Camera(fake) as cam:
        assert cam.revision == 25
        with pytest.raises(RuntimeError, match="open"):
            cam.shot()
        assert cam.open() == 3
        assert cam.image_size == (64, 48)
        cam.trigger_mode = 1
        assert cam.trigger_mode == 1
        cam.set_exposure(0, 5000)
        assert cam.get_exposure(0) == 5000
        cam.open_projector("127.0.0.1")
        left, right = cam.shot(timeout=2.0)
        assert left.shape == (13, 48, 64) and left.dtype == np.uint8
        assert np.array_equal(left, expected_frames(0))
        assert np.array_equal(right, expected_frames(1))
        assert cam.frame_count(0) == 13
        with pytest.raises(RuntimeError, match="refused the trigger mode"):
            cam.trigger_mode = 7
        with pytest.raises(RuntimeError, match="one instance"):
            zelcam.Camera(fake)
    zelcam.Camera(fake).release()  # free again after the with block


@pytest.mark.parametrize(
    "fault, message",
    [
        ("drop2", "no frame from camera-2 for pattern 0 within 300 ms"),
        ("big2", "camera-2 sent a frame of 72 x 48 at pattern 0, expected 64 x 48"),
        ("twice1", "camera-1 sent more than one frame for pattern 0"),
        ("only1", r"camera-2 is not open \(open\(\) returned 1\)"),
    ],
)
def test_a_misbehaving_plugin_is_reported(fake, monkeypatch, fault, message):
    monkeypatch.setenv("ZELFAKE_FAULT", fault)
    with zelcam.Camera(fake) as cam:
        cam.open()
        cam.trigger_mode = 1
        cam.open_projector("COM3")
        with pytest.raises(RuntimeError, match=message):
            cam.shot(timeout=0.3)


def test_shot_waits_without_the_gil(fake, monkeypatch):
    # camera-2 stays silent, so the shot waits its whole time-out in another
    # thread; this thread must keep running Python meanwhile.
    monkeypatch.setenv("ZELFAKE_FAULT", "drop2")
    with zelcam.Camera(fake) as cam:
        cam.open()
        cam.trigger_mode = 1
        errors = []

        def shoot():
            try:
                cam.shot(timeout=0.5)
            except RuntimeError as e:
                errors.append(str(e))

        worker = threading.Thread(target=shoot)
        worker.start()
        spins = 0
        while worker.is_alive():
            spins += 1
        worker.join()
        assert errors and "camera-2" in errors[0]
        assert spins > 1000


def test_bad_arguments(fake, tmp_path):
    with pytest.raises(ValueError, match="unknown camera plug-in"):
        zelcam.Camera("nikon")
    with pytest.raises(RuntimeError, match="cannot load libOrvCamAce.so"):
        zelcam.Camera("ace", library=tmp_path)
    with zelcam.Camera(fake) as cam:
        cam.open()
        cam.trigger_mode = 0
        with pytest.raises(RuntimeError, match="open_projector"):
            cam.shot()  # hardware trigger without a projector would wait forever
        for bad in ("COM0", "COM256", "10.0.0", "7.0.0.0", "projector"):
            with pytest.raises(ValueError):
                cam.open_projector(bad)
