#!/usr/bin/env python3
"""Images per second through the Python module, four ways, on one folder of
images (bench/throughput.sh's 512 x 512 photographs, say): a thread pool of 1
and of 2, a process pool of 2 and a Dask LocalCluster of 2 single-threaded
worker processes, each mapping contours.analyse_file over every image and
collecting the results (masks included) in this process. Pools and the
cluster are started and warmed up on one image before the clock starts; each
way is timed RUNS times and its best and median runs printed as a Markdown
table.

Usage: PYTHONPATH=build/python/site bench/python_throughput.py FOLDER [RUNS]
"""

import os
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import contours


def timed(run, paths, runs):
    run(paths[:1])
    seconds = []
    for _ in range(runs):
        start = time.perf_counter()
        results = run(paths)
        seconds.append(time.perf_counter() - start)
        assert len(results) == len(paths)
    return min(seconds), statistics.median(seconds)


def main():
    folder = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    paths = sorted(os.path.join(folder, f) for f in os.listdir(folder)
                   if not f.startswith("."))
    rows = []
    for workers in (1, 2):
        with ThreadPoolExecutor(workers) as pool:
            rows.append((f"thread pool of {workers}",
                         timed(lambda p: list(pool.map(contours.analyse_file, p)), paths, runs)))
    with ProcessPoolExecutor(2) as pool:
        rows.append(("process pool of 2",
                     timed(lambda p: list(pool.map(contours.analyse_file, p)), paths, runs)))
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("(no Dask cluster: python3-distributed is not installed)", file=sys.stderr)
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            rows.append(("Dask cluster of 2 workers",
                         timed(lambda p: client.gather(
                             client.map(contours.analyse_file, p, pure=False)), paths, runs)))
    print(f"| way | images/s, best of {runs} | images/s, median |")
    print("|---|---:|---:|")
    for name, (best, median) in rows:
        print(f"| {name} | {len(paths) / best:.0f} | {len(paths) / median:.0f} |")


if __name__ == "__main__":
    main()
