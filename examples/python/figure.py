#!/usr/bin/python3
"""Saves a side-by-side figure of an image, its contours painted over it,
and the result mask.

    figure.py IMAGE FIGURE.png

Needs matplotlib (python3-matplotlib); the contours module itself does not.
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import contours  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    image = contours.read(sys.argv[1])  # RGB, as matplotlib shows it
    result = contours.analyse(image)
    panels = [("input", image),
              ("contours", contours.overlay(image, result.edges)),
              (f"mask: {result.selected_pixels} pixels", result.mask)]

    figure, axes = plt.subplots(1, 3, figsize=(15, 5 * image.shape[0] / image.shape[1] + 0.6))
    for axis, (title, picture) in zip(axes, panels):
        axis.imshow(picture, cmap="gray" if picture.ndim == 2 else None, vmin=0, vmax=255)
        axis.set_title(title)
        axis.axis("off")
    figure.tight_layout()
    figure.savefig(sys.argv[2], dpi=100)
    print(f"{sys.argv[2]}: {result}")


if __name__ == "__main__":
    main()
