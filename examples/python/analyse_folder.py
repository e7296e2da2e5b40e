#!/usr/bin/python3
"""Analyses every image of a folder on a pool of threads and reports each
result and the throughput.

    analyse_folder.py FOLDER [--threads N] [--repeat K]

The analysis releases the GIL, so N threads keep N cores busy. --repeat
analyses the folder K times over, for a steadier images-per-second figure.
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import contours

SUFFIXES = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()

    paths = sorted(p for p in args.folder.iterdir() if p.suffix.lower() in SUFFIXES)
    work = paths * args.repeat

    def analyse(path):
        try:
            return path, contours.analyse_file(path)
        except (OSError, ValueError, MemoryError) as error:
            return path, error

    start = time.perf_counter()
    with ThreadPoolExecutor(args.threads) as pool:
        outcomes = list(pool.map(analyse, work))
    seconds = time.perf_counter() - start

    for path, outcome in outcomes[:len(paths)]:
        print(f"{path.name}: {outcome}")
    print(f"{len(work)} images in {seconds:.2f} s on {args.threads} threads: "
          f"{len(work) / seconds:.2f} images/s")


if __name__ == "__main__":
    main()
