"""zelcam: the structured-light stereo 3-D camera from Python.

Decoders
    PhaseShiftDecoder, SgbmDecoder -- the decoder libraries (libOrvDecPhsft.so,
    libOrvDecSgbm.so) loaded through their factories, as any host loads them.
    decode(left, right) takes numpy uint8 images (13 x H x W per camera for the
    phase-shift decoder, H x W for SGBM) or a folder as `zelscan decode` reads it,
    and returns DecodeResult(points, colors, pixel_indices). One decoder object of
    each kind per process: the libraries keep their working buffers, calibration
    and logger process-wide.

Point files
    read_points(path) -> PointCloud(points, colors, triangles) and
    write_points(path, points, colors=None, triangles=None, format=None) for PLY
    (binary and ASCII), .3d, .csv and .txt, exactly as the viewer reads and
    writes them.

Calibration
    CircleBoard(settings).detect(image) -> (n_circles_y, n_circles_x, 2) circle
    centres found by calibrix's detection; NaN where a circle was not found.

Capture
    Camera(plugin) drives a camera plug-in (IZelcam3D) through its factory;
    Camera.shot() returns the 13 pattern images of both cameras as numpy arrays.

From a build tree:  PYTHONPATH=build/dev/python python3 -c "import zelcam"
Installed under PREFIX: PYTHONPATH=PREFIX/lib/python3/dist-packages (not needed
for the Debian package). The libraries are searched in $ZELCAM_LIB_DIR, beside
this package, in the installed library folder, in the build tree's lib folder
and on the loader's path; each class also takes library=.

Errors: bad arrays raise TypeError (not an array, wrong dtype) or ValueError
(shape, layout); nothing is converted silently. Failures of a library raise
RuntimeError with the library's own error line.
"""

from ._zelcam import (
    Camera,
    CircleBoard,
    DecodeResult,
    DetectionError,
    PhaseShiftDecoder,
    PointCloud,
    SgbmDecoder,
    read_image_set,
    read_points,
    write_points,
)

__all__ = [
    "Camera",
    "CircleBoard",
    "DecodeResult",
    "DetectionError",
    "PhaseShiftDecoder",
    "PointCloud",
    "SgbmDecoder",
    "detect_circles",
    "read_image_set",
    "read_points",
    "write_points",
]


# The classes live in the extension module; they belong to this package.
for _name in ("Camera", "CircleBoard", "PhaseShiftDecoder", "SgbmDecoder", "DetectionError"):
    globals()[_name].__module__ = __name__
del _name


def detect_circles(image, settings=None):
    """Detects the circle board in one image with a fresh CircleBoard(settings).

    Returns the (n_circles_y, n_circles_x, 2) float32 centres, NaN where a circle
    was not found. See CircleBoard.detect.
    """
    return CircleBoard(settings).detect(image)
