"""Colour contour analysis that chooses its own thresholds."""

import os
from typing import Literal

import numpy as np
import numpy.typing as npt

__version__: str

_Order = Literal["bgr", "rgb"]
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class Search:
    """One threshold search: the steps it evaluated and where it ended."""

    @property
    def steps(self) -> list[tuple[int, float, float]]: ...
    @property
    def index(self) -> int: ...
    @property
    def threshold(self) -> float: ...

class Result:
    """What one analysis found."""

    @property
    def mask(self) -> npt.NDArray[np.uint8]: ...
    @property
    def selected_pixels(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def elapsed_ms(self) -> int: ...
    @property
    def histogram(self) -> npt.NDArray[np.int32]: ...
    @property
    def quantile_table(self) -> npt.NDArray[np.float32]: ...
    @property
    def block_search(self) -> Search: ...
    @property
    def pixel_search(self) -> Search: ...

def analyse(image: npt.NDArray[np.uint8], order: _Order = "bgr") -> Result:
    """Selects the pixels on the image's salient colour contours."""

def read(path: _Path) -> npt.NDArray[np.uint8]:
    """Decodes an image file exactly as the contours program does (BGR order)."""

def analyse_file(path: _Path) -> Result:
    """read(path) and analyse() in one call."""

def overlay(
    image: npt.NDArray[np.uint8],
    mask: npt.NDArray[np.uint8],
    colour: tuple[int, int, int] | None = None,
    order: _Order = "bgr",
) -> npt.NDArray[np.uint8]:
    """A copy of the image with the pixels where mask is 0 painted in colour."""
