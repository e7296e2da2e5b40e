"""Colour contour analysis that chooses its own thresholds.

``analyse(image)`` selects the pixels on an image's salient colour contours,
with the results of the ``contours`` program bit for bit; ``read(path)``
decodes a file as the program does; ``analyse_file(path)`` does both;
``overlay(image, edges)`` paints a result onto its image.

Images are in RGB order by default, as scikit-image, imageio, Pillow and
matplotlib give them (``order="bgr"`` for OpenCV's arrays), and a result's
``edges`` are a boolean array, True on the contours.

>>> import contours
>>> image = contours.read("photo.png")           # (H, W, 3) uint8, RGB
>>> result = contours.analyse(image)
>>> result.edges.sum() == result.selected_pixels
True
>>> painted = contours.overlay(image, result.edges)

The functions, a Result and its Search records pickle, so they go to process
pools and clusters as they are; the analysis and the decoding release the GIL,
so a thread pool keeps every core busy. One large image is analysed on several
threads with ``threads=`` (0 for one per core); every count gives the same
result.
"""

from __future__ import annotations

import os
from typing import Any, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _contours
from ._contours import Result, Search

__version__: str = _contours.__version__
__all__ = ["analyse", "analyse_file", "read", "overlay", "Result", "Search", "__version__"]

_Order = Literal["rgb", "bgr"]
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Colour = Tuple[int, int, int]

# PIL images by mode: taken as numpy gives them, or converted first. A palette
# gives its colours, not its indices; an alpha channel is ignored, as the
# decoder ignores a file's.
_PIL_AS_IS = {"RGB", "RGBA", "RGBX", "L"}
_PIL_CONVERTED = {"1": "L", "LA": "L", "P": "RGB", "PA": "RGB", "CMYK": "RGB",
                  "YCbCr": "RGB"}


def _image(value: Any) -> np.ndarray:
    """An image as a numpy array: a PIL image in its colours, anything else as
    numpy.asarray gives it. Its dtype and shape are checked by the analysis."""
    if isinstance(value, np.ndarray):
        return value
    if isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError("image must be an array, not a path: "
                        "analyse_file(path) and read(path) take files")
    if hasattr(value, "mode") and hasattr(value, "convert"):
        mode = value.mode
        if mode in _PIL_CONVERTED:
            value = value.convert(_PIL_CONVERTED[mode])
        elif mode not in _PIL_AS_IS:
            raise TypeError(f"a PIL image in mode {mode!r} has no 8-bit RGB or grey "
                            f"pixels; convert it first, e.g. image.convert('RGB')")
    return np.asarray(value)


def analyse(image: npt.ArrayLike, order: _Order = "rgb", *, threads: int = 1) -> Result:
    """Selects the pixels on the image's salient colour contours.

    Parameters
    ----------
    image : array_like
        Anything ``numpy.asarray`` turns into a ``uint8`` array of shape
        (H, W, 3), (H, W, 4) (the fourth channel is ignored) or (H, W) (grey,
        taken as three equal channels, as the decoder takes a grey file), with
        any strides. A PIL image is taken in its colours: modes RGB, RGBA and
        L as they are, a palette as its colours, 1 and LA as grey, CMYK and
        YCbCr as PIL converts them to RGB; other modes raise TypeError.
    order : {'rgb', 'bgr'}
        The channel order: 'rgb' (scikit-image's, imageio's, Pillow's,
        matplotlib's and read()'s) or 'bgr' (OpenCV's).
    threads : int, keyword only
        Threads the analysis runs on: 1 (the default) the calling thread
        alone, 0 one per core, at most 1024. Every count gives the same
        result, bit for bit.

    Returns
    -------
    Result
        ``edges`` (bool, True on contour pixels), ``mask`` (the result file's
        image: 0 on contour pixels, 255 elsewhere), the thresholds and the
        searches. Equal, bit for bit, to what the contours program finds.

    Raises
    ------
    TypeError
        A dtype other than uint8, a PIL image of another mode, a path, a
        threads that is not an integer (a bool included).
    ValueError
        A wrong shape, an empty image, one too large for the analysis
        (2^31 pixels or more, or a side past 107374182), a bad order,
        threads below 0 or above 1024.
    MemoryError
        Its working arrays cannot be allocated.

    Notes
    -----
    The GIL is released while the analysis runs. An image with fewer than
    9 rows or columns is too small for the block measure, which needs three
    3x3 blocks down and across: the histogram is all 0, the quantile table
    and both thresholds are NaN, each search ends on its first step with a
    NaN dimension, and nothing is selected. Below 15 rows or columns no pixel
    is measured, so nothing is selected either. Any search ends on the first
    step whose dimension is NaN: where no 8x8 box of its field holds a
    selected cell, as in a field smaller than 8x8, which has no box at all.

    Examples
    --------
    >>> import numpy as np, contours
    >>> image = np.zeros((64, 64, 3), np.uint8)
    >>> image[16:48, 16:48] = (200, 40, 40)
    >>> result = contours.analyse(image)
    >>> result.edges.shape, result.edges.dtype
    ((64, 64), dtype('bool'))
    >>> bgr = image[..., ::-1]                  # as cv2.imread gives it
    >>> contours.analyse(bgr, order="bgr").selected_pixels == result.selected_pixels
    True
    """
    return _contours.analyse(_image(image), order, threads=threads)


def analyse_file(path: _Path, *, threads: int = 1) -> Result:
    """read(path) and analyse(image, threads=threads) in one call.

    The result's mask equals, byte for byte, the result file the contours
    program writes for the same file. Raises what read() and analyse() raise;
    a bad threads before the file is read.

    Examples
    --------
    >>> result = contours.analyse_file("photo.png")
    >>> print(result)
    <contours.Result 600x400, 65599 contour pixels, block threshold 4.073056, pixel threshold 4.279332>
    >>> large = contours.analyse_file("scan.tif", threads=0)   # on every core
    """
    return _contours.analyse_file(path, threads=threads)


def read(path: _Path, order: _Order = "rgb") -> np.ndarray:
    """Decodes an image file exactly as the contours program does.

    Parameters
    ----------
    path : str, bytes or os.PathLike
        The file. It is read once, so a FIFO is read as a file is; Ctrl-C
        while waiting for its writer raises KeyboardInterrupt.
    order : {'rgb', 'bgr'}
        The channel order of the array returned.

    Returns
    -------
    numpy.ndarray
        (H, W, 3) uint8, so that ``analyse(read(path))`` equals the program's
        result bit for bit.

    Raises
    ------
    OSError
        FileNotFoundError, PermissionError, IsADirectoryError, ... for a file
        that cannot be opened or read.
    ValueError
        A file that does not decode as an image (a cut JPEG included).
    MemoryError
        Its bytes or pixels cannot be allocated.

    Examples
    --------
    >>> image = contours.read("photo.png")              # for scikit-image, Pillow
    >>> image = contours.read("photo.png", order="bgr") # for cv2
    """
    return _contours.read(path, order)


def overlay(image: npt.ArrayLike, mask: npt.ArrayLike, colour: Optional[_Colour] = None,
            order: _Order = "rgb") -> np.ndarray:
    """A copy of the image with the contour pixels painted in colour.

    Parameters
    ----------
    image : array_like
        Taken as analyse() takes it.
    mask : array_like
        (H, W): a bool array, True on the pixels to paint, such as
        ``Result.edges`` (or a Result itself); or a uint8 array, 0 on the
        pixels to paint, such as ``Result.mask``.
    colour : (int, int, int), optional
        In the image's channel order, each from 0 to 255; None is red.
    order : {'rgb', 'bgr'}
        The channel order of the image, the colour and the array returned.

    Returns
    -------
    numpy.ndarray
        (H, W, 3) uint8 in the given order.

    Raises
    ------
    TypeError
        An image analyse() refuses for its type, a mask neither bool nor
        uint8, a colour that is not a sequence of three integers (str, bytes
        and bytearray are not colours).
    ValueError
        An image analyse() refuses for its shape, a mask of another shape, a
        colour value outside 0 to 255, a bad order.

    Examples
    --------
    >>> painted = contours.overlay(image, result.edges)
    >>> painted = contours.overlay(image, result.edges, colour=(0, 255, 0))
    """
    return _contours.overlay(_image(image), np.asarray(mask), colour, order)
