from typing import Optional, Union
import os

import numpy as np
import numpy.typing as npt

from ._zelcam import (
    Camera as Camera,
    CircleBoard as CircleBoard,
    DecodeResult as DecodeResult,
    DetectionError as DetectionError,
    PhaseShiftDecoder as PhaseShiftDecoder,
    PointCloud as PointCloud,
    SgbmDecoder as SgbmDecoder,
    read_image_set as read_image_set,
    read_points as read_points,
    write_points as write_points,
)

def detect_circles(image: npt.NDArray[np.uint8],
                   settings: Union[None, str, os.PathLike[str], dict[str, float]] = None
                   ) -> npt.NDArray[np.float32]: ...
