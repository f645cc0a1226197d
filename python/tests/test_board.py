"""Circle board detection on a rendered board: the centres the virtual head put
there, at the grid positions calibrix gives them."""

import numpy as np
import pytest

import zelcam
from conftest import run_helper


@pytest.fixture(scope="module")
def board(tmp_path_factory):
    folder = tmp_path_factory.mktemp("board")
    run_helper("board", folder)
    return folder


def read_pgm(path):
    data = open(path, "rb").read()
    # Binary PGM: "P5", width, height, maxval, one whitespace, then the pixels.
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    at += 1
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(data[at:at + width * height], np.uint8).reshape(height, width)


def test_detection_finds_the_true_centres(board):
    image = read_pgm(board / "board.pgm")
    truth = np.loadtxt(board / "centres.txt")
    b = zelcam.CircleBoard(board / "board.yaml")
    assert (b.n_circles_x, b.n_circles_y) == (13, 19)
    centres = b.detect(image)
    assert centres.shape == (19, 13, 2) and centres.dtype == np.float32
    flat = centres.reshape(-1, 2)
    found = ~np.isnan(flat[:, 0])
    visible = truth[:, 2] == 1
    assert found.sum() >= 0.9 * visible.sum()
    assert not (found & ~visible).any()
    error = np.hypot(*(flat[found] - truth[found, :2]).T)
    assert error.max() < 0.5, error.max()
    assert found[b.origin_index]
    # The same through the settings as a dict, and the module-level helper.
    settings = b.settings
    same = zelcam.detect_circles(image, settings)
    assert np.array_equal(same, centres, equal_nan=True)
    assert b.object_points[0, 0, 2] == 0


def test_detection_failures(board):
    with pytest.raises(zelcam.DetectionError) as caught:
        zelcam.detect_circles(np.zeros((1024, 1280), np.uint8))
    assert caught.value.stage == "cv::findContours" and caught.value.n_contour == 0
    with pytest.raises(TypeError, match="uint8"):
        zelcam.detect_circles(np.zeros((64, 64), np.float32))
    with pytest.raises(KeyError, match="n_circles_z"):
        zelcam.CircleBoard({"n_circles_z": 3})
    with pytest.raises(FileNotFoundError):
        zelcam.CircleBoard(board / "absent.yaml")
