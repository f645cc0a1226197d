"""Point files to and from numpy: every format round-trips, bad input is refused
without leaving a file behind."""

import gc

import numpy as np
import pytest

import zelcam


@pytest.fixture
def cloud():
    rng = np.random.default_rng(7)
    points = (rng.standard_normal((500, 3)) * 300).astype(np.float32)
    colors = rng.integers(0, 256, (500, 3), dtype=np.uint8)
    triangles = rng.integers(0, 500, (40, 3), dtype=np.int32)
    return points, colors, triangles


@pytest.mark.parametrize(
    "name, fmt, decimals, keeps_triangles",
    [
        ("c.ply", None, None, True),       # binary PLY: exact
        ("c.ply", "ply.asc", 3, True),     # ASCII PLY: "%.3f"
        ("c.3d", None, None, False),       # 3D dump: exact, no faces
        ("c.txt", None, 4, False),         # text rows: "%.4f"
        ("c.csv", None, 4, False),
        ("c.any", "3d", None, False),      # the format decides, not the extension
    ],
)
def test_every_format_round_trips(tmp_path, cloud, name, fmt, decimals, keeps_triangles):
    points, colors, triangles = cloud
    path = tmp_path / name
    zelcam.write_points(path, points, colors, triangles, format=fmt)
    if name.endswith(".any"):  # a .any file is not readable by extension
        with pytest.raises(ValueError, match="unknown point file extension"):
            zelcam.read_points(path)
        path = path.rename(tmp_path / "c.3d")
    got = zelcam.read_points(path)
    assert got.points.dtype == np.float32 and got.points.shape == (500, 3)
    if decimals is None:
        assert got.points.tobytes() == points.tobytes()
    else:
        assert np.allclose(got.points, points, rtol=0, atol=0.51 * 10.0 ** -decimals + 1e-3)
    assert np.array_equal(got.colors, colors)
    if keeps_triangles:
        assert np.array_equal(got.triangles, triangles)
    else:
        assert got.triangles.shape == (0, 3)


def test_read_arrays_outlive_everything_else(tmp_path, cloud):
    points, colors, _ = cloud
    zelcam.write_points(tmp_path / "c.ply", points)  # no colours: white
    got = zelcam.read_points(tmp_path / "c.ply")
    p, c = got.points, got.colors
    del got
    gc.collect()
    assert np.array_equal(p, points)
    assert (c == 255).all()
    # float64 points are narrowed to float32 on writing.
    zelcam.write_points(tmp_path / "d.ply", points.astype(np.float64), colors)
    assert zelcam.read_points(tmp_path / "d.ply").points.tobytes() == points.tobytes()


def test_bad_input_writes_nothing(tmp_path, cloud):
    points, colors, triangles = cloud
    target = tmp_path / "c.ply"
    with pytest.raises(ValueError, match="no points"):
        zelcam.write_points(target, np.zeros((0, 3), np.float32))
    with pytest.raises(ValueError, match="unknown point file extension"):
        zelcam.write_points(tmp_path / "c.xyz", points)
    with pytest.raises(ValueError, match="format must be"):
        zelcam.write_points(target, points, format="ply")
    with pytest.raises(ValueError, match="names point 500"):
        zelcam.write_points(target, points, colors, np.array([[0, 1, 500]], np.int32))
    with pytest.raises(ValueError, match=r"shape \(500, 2\)"):
        zelcam.write_points(target, points[:, :2].copy())
    with pytest.raises(ValueError, match=r"colors has shape \(499, 3\)"):
        zelcam.write_points(target, points, colors[:499])
    with pytest.raises(TypeError, match="colors must have dtype uint8"):
        zelcam.write_points(target, points, colors.astype(np.int32))
    with pytest.raises(ValueError, match="C-contiguous"):
        zelcam.write_points(target, np.asfortranarray(points))
    assert not target.exists()
    with pytest.raises(OSError, match="cannot write"):
        zelcam.write_points(tmp_path / "no" / "such" / "c.ply", points)
    # A write that cannot complete leaves no partial file behind: here the
    # name is taken by a folder, so the finished file cannot be put there.
    (tmp_path / "taken.ply").mkdir()
    with pytest.raises(OSError, match="cannot write"):
        zelcam.write_points(tmp_path / "taken.ply", points)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["taken.ply"]
    with pytest.raises(FileNotFoundError):
        zelcam.read_points(tmp_path / "absent.ply")
    # A file the reader cannot make sense of loads as an empty cloud.
    (tmp_path / "junk.ply").write_bytes(b"\x00garbage\xff" * 10)
    assert zelcam.read_points(tmp_path / "junk.ply").points.shape == (0, 3)
