"""The decoders through the binding: the same clouds as the C++ host, byte for
byte; clear errors for bad input."""

import numpy as np
import pytest

import zelcam

SMALL = {"image_width": 320, "image_height": 256}


def assert_same_cloud(result, reference):
    points, colors, pixels = reference
    assert len(points) > 10000  # the scene decodes to a real cloud
    assert result.points.dtype == np.float32 and result.points.shape == points.shape
    assert result.colors.dtype == np.uint8 and result.colors.shape == colors.shape
    assert result.pixel_indices.dtype == np.int32 and result.pixel_indices.shape == pixels.shape
    assert result.points.tobytes() == points.tobytes()
    assert result.colors.tobytes() == colors.tobytes()
    assert result.pixel_indices.tobytes() == pixels.tobytes()


def test_phase_shift_decode_equals_the_cpp_host(scene, cpp_result):
    left, right = zelcam.read_image_set(scene)
    assert left.shape == (13, 256, 320) and left.dtype == np.uint8
    with zelcam.PhaseShiftDecoder(scene / "phsft.ini", scene / "calib") as dec:
        assert (dec.width, dec.height, dec.image_count) == (320, 256, 13)
        from_arrays = dec.decode(left, right)
        assert_same_cloud(from_arrays, cpp_result["phsft"])
        assert dec.last_exec_ms > 0
        # The folder gives the same images; the earlier result stays intact
        # (it is the caller's memory, not the decoder's).
        kept = from_arrays.points.copy()
        from_folder = dec.decode(str(scene))
        assert_same_cloud(from_folder, cpp_result["phsft"])
        assert np.array_equal(from_arrays.points, kept)
        # Settings as a dict are the INI's settings.
        dec.set_settings(SMALL)
        with pytest.raises(RuntimeError, match="load_calibration"):
            dec.decode(left, right)
        dec.load_calibration(scene / "calib")
        assert_same_cloud(dec.decode(left, right), cpp_result["phsft"])
        # Nothing decodes from black images: an empty cloud, not an error.
        empty = dec.decode(np.zeros_like(left), np.zeros_like(right))
        assert empty.points.shape == (0, 3) and empty.pixel_indices.shape == (0,)


def test_sgbm_decode_equals_the_cpp_host(scene, cpp_result):
    left, right = zelcam.read_image_set(scene, images_per_camera=1)
    assert left.shape == (256, 320)
    settings = dict(SMALL, num_disparities=64)
    with zelcam.SgbmDecoder(settings, scene / "calib") as dec:
        assert_same_cloud(dec.decode(left, right), cpp_result["sgbm"])
        assert_same_cloud(dec.decode(left[None], right[None]), cpp_result["sgbm"])
        assert_same_cloud(dec.decode(scene), cpp_result["sgbm"])
        # Matching the images the decoder rectified gives the same cloud.
        rect_left, rect_right = dec.rectified_images()
        assert rect_left.shape == (256, 320) and rect_left.any()
        assert_same_cloud(dec.decode(rect_left, rect_right, rectified=True), cpp_result["sgbm"])


def test_one_decoder_of_a_kind_per_process(scene):
    first = zelcam.PhaseShiftDecoder()
    with pytest.raises(RuntimeError, match="one decoder object of each kind"):
        zelcam.PhaseShiftDecoder()
    with zelcam.SgbmDecoder():  # the other library is independent
        pass
    first.close()
    with pytest.raises(RuntimeError, match="closed"):
        first.decode(scene)
    zelcam.PhaseShiftDecoder().close()  # free again after close()


def test_bad_input_raises_clear_errors(scene, tmp_path):
    left, right = zelcam.read_image_set(scene)
    with zelcam.PhaseShiftDecoder(SMALL, scene / "calib") as dec:
        with pytest.raises(TypeError, match="left must have dtype uint8"):
            dec.decode(left.astype(np.uint16), right)
        with pytest.raises(TypeError, match="right must be a numpy array"):
            dec.decode(left, right.tolist())
        with pytest.raises(ValueError, match=r"shape \(12, 256, 320\), expected \(13, 256, 320\)"):
            dec.decode(left[:12], right[:12])
        with pytest.raises(ValueError, match="expected"):
            dec.decode(left[0], right[0])
        wide = np.zeros((13, 256, 640), np.uint8)
        with pytest.raises(ValueError, match="C-contiguous"):
            dec.decode(wide[:, :, ::2], right)
        with pytest.raises(ValueError, match="C-contiguous"):
            dec.decode(np.asfortranarray(left), right)
        with pytest.raises(ValueError, match="SgbmDecoder"):
            dec.decode(left, right, rectified=True)
        with pytest.raises(FileNotFoundError):
            dec.decode(tmp_path / "absent")
        with pytest.raises(FileNotFoundError, match="cam0_00.pgm"):
            dec.decode(tmp_path)
        with pytest.raises(FileNotFoundError):
            dec.load_calibration(tmp_path / "absent")
        with pytest.raises(RuntimeError, match="does not load"):
            dec.load_calibration(tmp_path)
        with pytest.raises(KeyError, match="image_widht"):
            dec.set_settings({"image_widht": 320})
        with pytest.raises(FileNotFoundError):
            dec.set_settings(tmp_path / "absent.ini")
    with zelcam.SgbmDecoder(dict(SMALL, num_disparities=64)) as dec:
        with pytest.raises(RuntimeError, match="does not load"):
            dec.load_calibration(tmp_path)  # the library itself says true here
    with pytest.raises(RuntimeError, match="cannot load libOrvDecPhsft.so"):
        zelcam.PhaseShiftDecoder(library=tmp_path)
    zelcam.PhaseShiftDecoder().close()  # a failed construction keeps no claim on the decoder
