#!/usr/bin/python3
"""The Python package's overhead on a raster run: tarnivale_ai.run_raster_inference in this process against
the same TarnivaleAI_RunRasterInference call made from C (bench/flat_raster_run.c --paced, a process kept
warm beside this one), on the same request file, interleaved run by run (the order alternates every round, so
drift of a shared machine favours neither side).

    PYTHONPATH=python /usr/bin/python3 bench/python_bench.py [--size 2048] [--rounds 10]

Environment: TARNIVALE_AI_LIBRARY (else the package's lookup), TARNIVALE_TEST_MODEL_DIR (default
build/test-models), BENCH_DRIVER (default build/bench/flat_raster_run), BENCH_MODEL (default raster_cnn.onnx),
BENCH_THREADS (intraOpThreads, default 0: ONNX Runtime's choice). Target: Python / C <= 1.02 (medians).
"""

import argparse
import ctypes
import json
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np
from osgeo import gdal, osr

import tarnivale_ai
from tarnivale_ai._progress import ProgressRelay
from tarnivale_ai._text import read_utf16, request_utf16, utf16

REPOSITORY = pathlib.Path(__file__).resolve().parents[1]


def write_scene(path, size):
    """A three-band Byte scene, tiled like a real one, in UTM 33N."""
    dataset = gdal.GetDriverByName("GTiff").Create(str(path), size, size, 3, gdal.GDT_Byte,
                                                   ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"])
    dataset.SetGeoTransform((500000, 10, 0, 4100000, 0, -10))
    crs = osr.SpatialReference()
    crs.ImportFromEPSG(32633)
    dataset.SetProjection(crs.ExportToWkt())
    rows, columns = np.mgrid[0:size, 0:size]
    for band in range(1, 4):
        dataset.GetRasterBand(band).WriteArray(((columns * band + rows) % 256).astype(np.uint8))
    dataset = None


class FlatDriver:
    """The C driver, one timed call per line written to it (its own untimed first call made at start)."""

    def __init__(self, driver, request_file, runs):
        self.process = subprocess.Popen([driver, "--paced", str(request_file), str(runs)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def run(self):
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line.startswith("run "):
            raise RuntimeError(f"flat_raster_run failed: {line!r}")
        return tuple(float(value) for value in line.split()[1:3])

    def close(self):
        self.process.stdin.close()
        summary = self.process.stdout.read().strip()
        if self.process.wait() != 0:
            raise RuntimeError("flat_raster_run failed")
        return summary


def python_time(request, progress=None):
    """Wall-clock and CPU seconds (all of this process's threads, the library's included) of one run."""
    start, cpu_start = time.perf_counter(), time.process_time()
    tarnivale_ai.run_raster_inference(request, progress)
    return time.perf_counter() - start, time.process_time() - cpu_start


def own_work_seconds(request, result, repeats=2000):
    """The package's own work around one call, without the call: the request encoded, the C callback made,
    the answer (the same text as a real one) read back and parsed."""
    answer = utf16(json.dumps(result))
    start = time.perf_counter()
    for _ in range(repeats):
        request_utf16(request)
        ProgressRelay(None)
        json.loads(read_utf16(ctypes.addressof(answer)))
    return (time.perf_counter() - start) / repeats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--rounds", type=int, default=10, help="timed runs of each side")
    arguments = parser.parse_args()
    models = os.environ.get("TARNIVALE_TEST_MODEL_DIR", str(REPOSITORY / "build" / "test-models"))
    driver = os.environ.get("BENCH_DRIVER", str(REPOSITORY / "build" / "bench" / "flat_raster_run"))
    model = os.environ.get("BENCH_MODEL", "raster_cnn.onnx")

    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        write_scene(scratch / "scene.tif", arguments.size)
        request = {"modelPath": os.path.join(models, model), "rasterPath": str(scratch / "scene.tif"),
                   "outputPath": str(scratch / "classes.tif"),
                   "intraOpThreads": int(os.environ.get("BENCH_THREADS", "0")),
                   "normalization": {"mean": [127.5], "standardDeviation": [64.0]}}
        request_file = scratch / "request.json"
        request_file.write_text(json.dumps(request))

        flat_driver = FlatDriver(driver, request_file, arguments.rounds)
        first = tarnivale_ai.run_raster_inference(request)  # set-up and page cache, as the driver's own first call
        print(f"{tarnivale_ai.library_path()}: {arguments.size}² × 3, {model}, {first['processedTiles']} tiles")
        flat, package, with_progress = [], [], []
        for round_number in range(arguments.rounds):
            sides = [lambda: flat.append(flat_driver.run()),
                     lambda: package.append(python_time(request)),
                     lambda: with_progress.append(python_time(request, lambda *_: None))]
            for side in sides if round_number % 2 == 0 else reversed(sides):
                side()
            print(f"  round {round_number + 1} (wall / CPU s): C {flat[-1][0]:.3f} / {flat[-1][1]:.3f}, "
                  f"Python {package[-1][0]:.3f} / {package[-1][1]:.3f}, "
                  f"Python with progress {with_progress[-1][0]:.3f} / {with_progress[-1][1]:.3f}", flush=True)
        print(f"driver: {flat_driver.close()}")

    print(f"{'median (mean) seconds':<32} {'wall-clock':>15} {'CPU':>15} {'wall ratio':>10} {'CPU ratio':>10}")
    for name, runs in (("C (flat_raster_run)", flat), ("Python", package),
                       ("Python, progress callback", with_progress)):
        wall, cpu = ([run[index] for run in runs] for index in (0, 1))
        print(f"{name:<32} {statistics.median(wall):7.3f} ({statistics.mean(wall):.3f}) "
              f"{statistics.median(cpu):7.3f} ({statistics.mean(cpu):.3f}) "
              f"{statistics.median(wall) / statistics.median(run[0] for run in flat):10.3f} "
              f"{statistics.median(cpu) / statistics.median(run[1] for run in flat):10.3f}")
    own = own_work_seconds(request, first)
    print(f"the package's own work per call: {own * 1e6:.0f} µs, "
          f"{own / statistics.median(run[0] for run in flat) * 100:.4f} % of the C median")
    print("target: Python / C <= 1.02 (medians)")


if __name__ == "__main__":
    main()
