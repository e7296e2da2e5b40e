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
    """Selects the pixels on the image's salient colour contours.

    An image with fewer than 9 rows or columns is too small for the block
    measure, which needs three 3x3 blocks down and across: the histogram is
    all 0, the quantile table and both thresholds are NaN, each search ends on
    its first step with a NaN dimension, and nothing is selected (the mask is
    all 255). Below 15 rows or columns no pixel is measured, so nothing is
    selected either. Any search ends on the first step whose dimension is NaN:
    where no 8x8 box of its field holds a selected cell, as in a field smaller
    than 8x8, which has no box at all.
    """

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
    """A copy of the image with the pixels where mask is 0 painted in colour.

    Raises TypeError for a colour that is not a sequence of three integers
    (str, bytes and bytearray are not colours), ValueError for a colour value
    outside 0 to 255.
    """
