#!/usr/bin/env python3
"""Analyses every image in a folder on a Dask cluster.

    dask_folder.py INPUT_DIR OUTPUT_DIR [--scheduler tcp://HOST:PORT] [--workers N]

Without --scheduler, a LocalCluster of one single-threaded worker process per
core runs on this machine. With it, the images go to a running cluster:

    dask scheduler                       # on one machine; prints tcp://HOST:8786
    dask worker tcp://HOST:8786          # on each of the others
    dask_folder.py photos results --scheduler tcp://HOST:8786

The workers read the images themselves, so INPUT_DIR must be reachable at the
same path on every worker (a shared file system); the results come back to
this process, which writes them. Each result goes to OUTPUT_DIR under the name
contours-batch gives it (photos/beach.jpg gives OUTPUT_DIR/beach.jpg.bmp, a
second beach.jpg beach.jpg.2.bmp), the very bytes contours writes to
GC_res.bmp; an earlier file of that name is replaced. A table of every image
follows on standard output, sorted by path: path, width x height, analysis
time, selected pixels and the result file, or the path and its error, then
a line with the count and the images per second. Status
0 when every image was analysed and written, 1 otherwise.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import contours


def images_under(folder):
    """Every regular file under folder, hidden files and folders skipped."""
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found += [Path(root, f) for f in files
                  if not f.startswith(".") and Path(root, f).is_file()]
    return sorted(found)


def result_names(paths, output):
    """The result file of each input, numbered as contours-batch numbers them."""
    taken = {}
    names = []
    for path in paths:
        count = taken[path.name] = taken.get(path.name, 0) + 1
        suffix = ".bmp" if count == 1 else f".{count}.bmp"
        names.append(output / (path.name + suffix))
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", type=Path, help="folder of images")
    parser.add_argument("output", type=Path, help="folder for the results")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help="a running Dask scheduler (default: a LocalCluster here)")
    parser.add_argument("--workers", type=int, default=os.cpu_count(),
                        help="worker processes of the LocalCluster (default: one per core)")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster, as_completed, progress

    paths = images_under(args.input)
    names = result_names(paths, args.output)
    args.output.mkdir(parents=True, exist_ok=True)
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                               processes=True, dashboard_address=None)
        client = Client(cluster)

    start = time.perf_counter()
    # Paths as text: every worker opens the image itself.
    futures = client.map(contours.analyse_file, [str(p) for p in paths], pure=False)
    index = {future.key: i for i, future in enumerate(futures)}
    if sys.stdout.isatty():
        progress(futures)
        print()
    rows = [None] * len(paths)
    for future in as_completed(futures):
        i = index[future.key]
        try:
            result = future.result()
            result.save(names[i])
            rows[i] = (f"{result.width}x{result.height}", f"{result.elapsed_ms} ms",
                       f"{result.selected_pixels} selected",
                       str(names[i]))
        except Exception as error:  # the image's own failure; the others go on
            rows[i] = (f"error: {error}",)
        future.release()
    elapsed = time.perf_counter() - start

    failed = 0
    for path, row in zip(paths, rows):
        print("\t".join((str(path),) + row))
        failed += row[0].startswith("error: ")
    rate = len(paths) / elapsed if elapsed > 0 else 0.0
    print(f"{len(paths)} images, {failed} failed, {elapsed:.2f} s ({rate:.1f} images/s) "
          f"on {len(client.scheduler_info()['workers'])} workers")
    client.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
