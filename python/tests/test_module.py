"""The Python module against the contours program, the reference data and
hostile input. The build passes CONTOURS_EXE and CONTOURS_TEST_DATA."""

import copy
import inspect
import json
import os
import pickle
import subprocess
import sys
import textwrap
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

import numpy as np
import pytest

import contours

DATA = Path(os.environ["CONTOURS_TEST_DATA"])
IMAGES = ["shapes", "coffee", "astronaut"]


def same_result(a, b, timed=False):
    """Every field of a and b is equal, NaN to NaN; elapsed_ms too if timed."""
    fields = ["width", "height", "selected_pixels"] + ["elapsed_ms"] * timed
    assert [getattr(a, f) for f in fields] == [getattr(b, f) for f in fields]
    for array in ("mask", "edges", "histogram", "quantile_table"):
        x, y = getattr(a, array), getattr(b, array)
        assert x.dtype == y.dtype and not x.flags.writeable and not y.flags.writeable
        assert np.array_equal(x, y, equal_nan=x.dtype.kind == "f")
    for search in ("block_search", "pixel_search"):
        x, y = getattr(a, search), getattr(b, search)
        assert x.index == y.index and np.array_equal(x.threshold, y.threshold, equal_nan=True)
        assert np.array_equal(*(np.array(s.steps, np.float64) for s in (x, y)), equal_nan=True)


@pytest.fixture(scope="module")
def shapes():
    return contours.read(DATA / "shapes.png")


@pytest.mark.parametrize("name", IMAGES)
def test_mask_and_report_equal_the_programs_and_the_reference(name, tmp_path):
    subprocess.run([os.environ["CONTOURS_EXE"], DATA / f"{name}.png"], cwd=tmp_path,
                   check=True, stdout=subprocess.DEVNULL)
    result = contours.analyse_file(str(DATA / f"{name}.png"))
    written = contours.read(tmp_path / "GC_res.bmp")
    assert result.mask.shape == written.shape[:2] and result.mask.flags.owndata
    assert np.array_equal(result.mask, written[..., 0])
    # edges is numpy's form of the same pixels, and what np.asarray gives.
    assert result.edges.dtype == bool and np.array_equal(result.edges, written[..., 0] == 0)
    assert np.asarray(result) is result.edges and np.array(result).flags.writeable
    assert np.array_equal(result.mask, contours.read(DATA / f"{name}.expected.png")[..., 0])

    expected = json.loads((DATA / f"{name}.expected.json").read_text())
    assert (result.width, result.height) == (expected["width"], expected["height"])
    assert result.selected_pixels == expected["selected_pixels"] == (result.mask == 0).sum()
    histogram = np.zeros(256, np.int32)
    for bin, count in expected["histogram_nonzero_bins"].items():
        histogram[int(bin)] = count
    assert result.histogram.dtype == np.int32 and np.array_equal(result.histogram, histogram)
    assert result.quantile_table.dtype == np.float32
    assert np.array_equal(result.quantile_table,
                          np.array(expected["quantile_table"], np.float32), equal_nan=True)
    for search in ("block", "pixel"):
        record = getattr(result, f"{search}_search")
        assert [(i, d) for i, _, d in record.steps] == [
            (step["index"], step["dimension"]) for step in expected[f"{search}_search"]]
        assert record.threshold == expected[f"{search}_threshold"] == record.steps[-1][1]
    assert f"{result.width}x{result.height}" in repr(result)
    assert str(record.threshold)[:6] in repr(result)


def test_views_and_strides_give_the_bits_of_contiguous_copies(shapes):
    padded = np.zeros((shapes.shape[0] + 3, shapes.shape[1] + 5, 4), np.uint8)
    padded[1:-2, 2:-3, :3] = shapes
    views = [shapes[5:-7, 3:-2], shapes[::2, ::3], shapes[::-1, ::-1],
             np.asfortranarray(shapes), padded[1:-2, 2:-3, :3], shapes[:1], shapes[:, :1]]
    for view in views:
        same_result(contours.analyse(view), contours.analyse(np.ascontiguousarray(view)))


def test_channel_orders_and_counts_are_converted_as_the_decoder_does(shapes, tmp_path):
    # read() and analyse() default to RGB; the analysis of read() is the file's.
    reference = contours.analyse_file(DATA / "shapes.png")
    same_result(contours.analyse(shapes), reference)
    bgr = contours.read(DATA / "shapes.png", order="bgr")
    assert np.array_equal(bgr, shapes[..., ::-1]) and bgr.flags.c_contiguous
    same_result(contours.analyse(bgr, order="bgr"), reference)
    same_result(contours.analyse(shapes[..., ::-1], "bgr"), reference)
    alpha = np.random.default_rng(1).integers(0, 256, shapes.shape[:2], np.uint8)
    same_result(contours.analyse(np.dstack([shapes, alpha])), reference)
    same_result(contours.analyse(np.dstack([bgr, alpha]), "bgr"), reference)
    # A grey file, decoded to three channels, against the grey array itself.
    subprocess.run([os.environ["CONTOURS_EXE"], DATA / "coffee.png"], cwd=tmp_path,
                   check=True, stdout=subprocess.DEVNULL)
    decoded = contours.read(tmp_path / "GC_res.bmp")
    same_result(contours.analyse(decoded[..., 0]), contours.analyse(decoded))


def test_overlay_paints_exactly_the_contour_pixels_of_a_byte_or_boolean_mask(shapes):
    result = contours.analyse(shapes)
    mask = result.mask
    painted = contours.overlay(shapes, mask)
    assert np.array_equal(painted[mask == 0], np.broadcast_to([255, 0, 0], (np.sum(mask == 0), 3)))
    assert np.array_equal(painted[mask != 0], shapes[mask != 0])
    for edges in (result.edges, result, result.edges.tolist()):
        assert np.array_equal(contours.overlay(shapes, edges), painted)
    bgr = contours.overlay(shapes[..., ::-1], mask, colour=(1, 2, 3), order="bgr")
    assert np.array_equal(bgr[mask == 0][0], [1, 2, 3])
    assert np.array_equal(bgr[mask != 0], shapes[..., ::-1][mask != 0])


def test_pil_images_are_taken_in_their_colours_as_the_decoder_takes_their_files(tmp_path):
    """A PIL image was refused, and a palette would be taken as grey indices."""
    Image = pytest.importorskip("PIL.Image")
    original = Image.open(DATA / "shapes.png")
    for mode in ("RGB", "RGBA", "L", "LA", "P"):
        image = original.quantize(64) if mode == "P" else original.convert(mode)
        image.save(tmp_path / f"{mode}.png")
        same_result(contours.analyse(Image.open(tmp_path / f"{mode}.png")),
                    contours.analyse_file(tmp_path / f"{mode}.png"))
    with pytest.raises(TypeError, match="I;16"):
        contours.analyse(Image.new("I;16", (20, 20)))


def test_results_functions_and_searches_cross_pickle_copy_and_processes_whole():
    result = contours.analyse_file(DATA / "shapes.png")
    tiny = contours.analyse(np.zeros((4, 4, 3), np.uint8))  # NaN thresholds
    for original in (result, tiny):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            same_result(pickle.loads(pickle.dumps(original, protocol)), original, timed=True)
        same_result(copy.copy(original), original, timed=True)
        same_result(copy.deepcopy(original), original, timed=True)
    search = pickle.loads(pickle.dumps(result.pixel_search))
    assert repr(search) == repr(result.pixel_search) and search.steps == result.pixel_search.steps
    # A state whose mask disagrees with its sizes would read past the mask.
    make, args, state = result.__reduce__()
    with pytest.raises(ValueError):
        make(*args).__setstate__(state[:4] + (state[4][1:],) + state[5:])
    # The functions go by name, with the signatures a caller sees.
    for function in (contours.analyse, contours.analyse_file, contours.read, contours.overlay):
        assert pickle.loads(pickle.dumps(function)) is function
        assert inspect.signature(function).parameters
    # Into a fresh interpreter and back, as process pools and clusters send them.
    with ProcessPoolExecutor(1, mp_context=get_context("spawn")) as pool:
        for returned, original in zip(pool.map(copy.copy, [result, tiny]), [result, tiny]):
            same_result(returned, original, timed=True)


def test_threads_from_the_first_call_give_the_results_of_one_thread():
    # In a fresh interpreter that has not imported numpy, so that the first
    # calls into the module come from the pool's threads at once; a deadlock
    # ends as a timeout.
    script = textwrap.dedent(f"""
        import sys
        from concurrent.futures import ThreadPoolExecutor
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import contours
        paths = [{str(DATA)!r} + f"/{{name}}.png" for name in {IMAGES!r}] * 2
        with ThreadPoolExecutor(2) as pool:
            threaded = list(pool.map(contours.analyse_file, paths))
        from test_module import same_result
        for result, path in zip(threaded, paths):
            same_result(result, contours.analyse_file(path))
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=120)


def test_every_thread_count_gives_the_bits_of_one_and_bad_counts_raise(shapes):
    for name in IMAGES:
        one = contours.analyse_file(DATA / f"{name}.png")
        for threads in (1, 2, 3, 0, np.int64(2)):
            same_result(contours.analyse_file(DATA / f"{name}.png", threads=threads), one)
    one = contours.analyse(shapes[::-1])  # a strided view, analysed through a copy
    same_result(contours.analyse(shapes[::-1], threads=2), one)
    image = np.zeros((20, 20, 3), np.uint8)
    for threads in (-1, 1025, -10**30, 10**30):
        with pytest.raises(ValueError, match="threads must be 0"):
            contours.analyse(image, threads=threads)
    for threads in (2.0, "2", None, True):
        with pytest.raises(TypeError, match="threads must be an integer"):
            contours.analyse(image, threads=threads)
    with pytest.raises(ValueError):  # before the file is looked for
        contours.analyse_file(DATA / "missing.png", threads=-1)
    with pytest.raises(TypeError):  # keyword only
        contours.analyse(image, "rgb", 2)


def huge(rows, cols):
    return np.broadcast_to(np.zeros(3, np.uint8), (rows, cols, 3))


@pytest.mark.parametrize("call, error", [
    (lambda: contours.analyse([[1, 2, 3]]), TypeError),
    (lambda: contours.analyse(np.zeros((4, 4, 3), np.float32)), TypeError),
    (lambda: contours.analyse(np.zeros((4, 4, 3), bool)), TypeError),
    (lambda: contours.analyse(str(DATA / "shapes.png")), TypeError),
    (lambda: contours.analyse(np.zeros((4, 4, 2), np.uint8)), ValueError),
    (lambda: contours.analyse(np.zeros(12, np.uint8)), ValueError),
    (lambda: contours.analyse(np.zeros((0, 4, 3), np.uint8)), ValueError),
    (lambda: contours.analyse(np.zeros((4, 4, 3), np.uint8), order="hsv"), ValueError),
    (lambda: contours.analyse(huge(1 << 16, 1 << 15)), ValueError),
    (lambda: contours.analyse(huge(1, 107374183)), ValueError),
    (lambda: contours.read(DATA / "missing.png"), FileNotFoundError),
    (lambda: contours.read(DATA / "README.md"), ValueError),
    (lambda: contours.analyse_file(DATA), IsADirectoryError),
    (lambda: contours.overlay(np.zeros((4, 4, 3), np.uint8), np.zeros((4, 5), np.uint8)),
     ValueError),
    (lambda: contours.overlay(np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4))), TypeError),
    (lambda: contours.overlay(np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4), np.uint8),
                              colour=(0, 0, 256)), ValueError),
])
def test_bad_input_raises_a_python_exception(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("colour, error", [
    ((0, 0, 10**30), ValueError), ((-1, 0, 0), ValueError), ((0, -10**30, 0), ValueError),
    (b"abc", TypeError), (bytearray(b"abc"), TypeError), ("abc", TypeError), (7, TypeError),
    ((0, 0), TypeError), ((0, 0, 0, 0), TypeError), ((0, 0, 1.0), TypeError),
    ((0, 0, "1"), TypeError), (np.array([1, 2, 3], np.uint8), None), ([1, 2, np.int64(3)], None),
])
def test_colour_not_three_integers_or_out_of_range_raises_the_documented_error(colour, error):
    image, mask = np.zeros((2, 2, 3), np.uint8), np.zeros((2, 2), np.uint8)
    if error is None:
        assert np.array_equal(contours.overlay(image, mask, colour)[0, 0], [1, 2, 3])
    else:
        with pytest.raises(error):
            contours.overlay(image, mask, colour)


@pytest.mark.parametrize("shape", [(1, 1), (8, 8), (8, 100), (100, 1)])
def test_too_small_images_give_nan_thresholds_spelled_as_python_spells_them(shape):
    result = contours.analyse(np.full(shape + (3,), 200, np.uint8))
    assert (result.mask == 255).all() and np.isnan(result.quantile_table).all()
    for search in (result.block_search, result.pixel_search):
        assert np.isnan(search.threshold) and np.isnan(search.steps[-1][2])
        assert "threshold=nan" in repr(search) and "-nan" not in repr(result)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime's own memory hides the module's")
def test_thin_images_allocate_no_working_arrays_per_row_or_column():
    # Peak memory of one analysis, in a fresh interpreter, against a square
    # image of the same pixel count; arrays sized by one side of a thin image
    # cost tens of bytes a pixel.
    script = textwrap.dedent("""
        import resource, sys, numpy as np, contours
        shape = tuple(map(int, sys.argv[1:])) + (3,)
        image = np.random.default_rng(0).integers(0, 256, shape, np.uint8)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        contours.analyse(image)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    def peak(*shape):
        return int(subprocess.run([sys.executable, "-c", script, *map(str, shape)],
                                  check=True, capture_output=True, text=True).stdout)
    square = peak(2048, 2048)
    for shape in [(1, 1 << 22), (1 << 22, 1), (3, (1 << 22) // 3)]:
        assert peak(*shape) < 2 * square + 8192, shape


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer runtime reserves more address space than any limit")
def test_scarce_memory_raises_memory_error_and_leaves_the_module_working():
    script = textwrap.dedent(f"""
        import resource, numpy as np, contours
        packed = np.zeros((8000, 8000, 3), np.uint8)
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20),) * 2)
        for image in (packed, packed[:, :, ::-1]):  # read in place, copied
            try:
                contours.analyse(image, order="bgr")
                raise SystemExit("no MemoryError")
            except MemoryError as error:
                assert str(error) == "not enough memory for a 8000 x 8000 analysis", error
        contours.analyse_file({str(DATA / "shapes.png")!r})
    """)
    subprocess.run([sys.executable, "-c", script], check=True)


def test_fifo_is_read_once_like_the_file_and_ctrl_c_ends_the_wait(tmp_path, shapes):
    """A FIFO was opened twice (a second open waited for ever for a writer that
    had gone); and Ctrl-C while waiting for a writer gave a bare ValueError."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'cat "$0" > "$1"', DATA / "shapes.png", fifo])
    assert np.array_equal(contours.read(fifo), shapes)
    writer.wait()
    script = textwrap.dedent(f"""
        import os, signal, threading, contours
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            contours.read({str(fifo)!r})
        except KeyboardInterrupt:
            raise SystemExit(0)
        raise SystemExit("no KeyboardInterrupt")
    """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=60)
