"""The module across process boundaries: process pools and a real Dask
cluster of a scheduler and two worker processes on 127.0.0.1, whose results
must be the bytes the contours program writes. The build passes CONTOURS_EXE,
CONTOURS_TEST_DATA and CONTOURS_EXAMPLES."""

import json
import multiprocessing
import os
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import contours

DATA = Path(os.environ["CONTOURS_TEST_DATA"])
EXAMPLES = Path(os.environ["CONTOURS_EXAMPLES"])
PATHS = [str(DATA / f"{name}.png") for name in ("shapes", "coffee", "astronaut")]
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def same_fields(a, b):
    assert np.array_equal(a.mask, b.mask) and np.array_equal(a.edges, b.edges)
    assert np.array_equal(a.histogram, b.histogram)
    assert np.array_equal(a.quantile_table, b.quantile_table, equal_nan=True)
    for search in ("block_search", "pixel_search"):
        x, y = getattr(a, search), getattr(b, search)
        assert np.array_equal(np.array(x.steps, float), np.array(y.steps, float), equal_nan=True)
        assert x.index == y.index
    assert (a.width, a.height, a.selected_pixels) == (b.width, b.height, b.selected_pixels)


def test_process_pools_map_the_module_functions_as_written():
    """Functions and results did not pickle, so no process pool ran them."""
    here = [contours.analyse_file(p) for p in PATHS]
    with ProcessPoolExecutor(2) as pool:
        for mine, theirs in zip(here, pool.map(contours.analyse_file, PATHS)):
            same_fields(mine, theirs)
    images = [contours.read(p) for p in PATHS]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        for mine, theirs in zip(here, pool.map(contours.analyse, images)):
            same_fields(mine, theirs)


def start(command, log):
    """A cluster process, its chatter in a log file (a pipe would fill and stall it)."""
    with open(log, "wb") as out:
        return subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)


@pytest.mark.skipif(SANITIZED, reason="workers under the sanitizer runtime are too slow "
                                      "for the cluster's time-outs")
def test_dask_folder_on_a_two_worker_cluster_writes_the_programs_bytes(tmp_path):
    distributed = pytest.importorskip(
        "distributed", reason="python3-distributed is not installed: no cluster to start")
    scheduler_file = tmp_path / "scheduler.json"
    processes = [start([sys.executable, "-m", "distributed.cli.dask_scheduler",
                        "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                        "--scheduler-file", scheduler_file], tmp_path / "scheduler.log")]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() and processes[0].poll() is None \
                and time.monotonic() < deadline:
            time.sleep(0.1)
        if not scheduler_file.exists():
            log = (tmp_path / "scheduler.log").read_text(errors="replace")
            pytest.skip(f"the scheduler did not start on 127.0.0.1: {log[-500:]}")
        address = None
        while address is None and time.monotonic() < deadline:
            try:  # the file may be caught half written
                address = json.loads(scheduler_file.read_text())["address"]
            except (ValueError, KeyError):
                time.sleep(0.1)
        for _ in range(2):
            processes.append(start([sys.executable, "-m", "distributed.cli.dask_worker",
                                    address, "--nworkers", "1", "--nthreads", "1",
                                    "--host", "127.0.0.1", "--no-dashboard"],
                                   tmp_path / f"worker{len(processes)}.log"))
        with distributed.Client(address, timeout=60) as client:
            try:
                client.wait_for_workers(2, timeout=120)
            except Exception as error:
                pytest.skip(f"the two workers did not join the scheduler: {error}")

        images = tmp_path / "images"
        images.mkdir()
        for path in PATHS:
            (images / Path(path).name).write_bytes(Path(path).read_bytes())
        out = tmp_path / "out"
        run = subprocess.run([sys.executable, EXAMPLES / "dask_folder.py", images, out,
                              "--scheduler", address],
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stdout + run.stderr
        assert "3 images, 0 failed" in run.stdout
        for path in PATHS:
            subprocess.run([os.environ["CONTOURS_EXE"], path], cwd=tmp_path, check=True,
                           stdout=subprocess.DEVNULL)
            name = Path(path).name
            assert (out / f"{name}.bmp").read_bytes() == (tmp_path / "GC_res.bmp").read_bytes(), name
    finally:
        for process in reversed(processes):
            process.terminate()
        for process in processes:
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
