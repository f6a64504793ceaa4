#!/usr/bin/python3
"""Where the time of a fill goes: the fill call, its smoothing passes and the write-back, and what
GDAL_CACHEMAX and CPL_TMPDIR change. Uses the cached rasters of bench/bench.py (run it first);
writes docs/breakdown.md. Each figure is the median of three runs, each in a fresh process.
"""
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

from osgeo import gdal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "bench", "cache", "work")
CASES = [("dem_Float32_8000_v20_5.tif", 100), ("dem_Float32_4000_v150_15.tif", 250),
         ("dem_Float64_4000_v20_5.tif", 100)]
VARIANTS = [("as gapMend calls it", 3, {}),
            ("no smoothing passes", 0, {}),
            ("GDAL_CACHEMAX=256", 3, {"GDAL_CACHEMAX": "256"}),
            ("CPL_TMPDIR=/dev/shm", 3, {"CPL_TMPDIR": "/dev/shm"})]


def one_run(path, radius, smoothing):
    """In a child process: the phases of one in-place fill, as JSON on standard output."""
    start = time.perf_counter()
    dataset = gdal.Open(path, gdal.GA_Update)
    band = dataset.GetRasterBand(1)
    opened = time.perf_counter()
    gdal.FillNodata(band, band.GetMaskBand(), radius, smoothing)
    filled = time.perf_counter()
    band = dataset = None  # the close: writes band 1 back
    closed = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"fill": filled - opened, "close": closed - filled,
                      "total": closed - start, "peak": peak}))


def measure(source, radius, smoothing, env):
    runs = []
    for _ in range(3):
        copy = os.path.join(WORK, "breakdown.tif")
        shutil.copyfile(source, copy)
        out = subprocess.run([sys.executable, __file__, copy, str(radius), str(smoothing)],
                             env={**os.environ, **env}, cwd=WORK, capture_output=True, check=True)
        runs.append(json.loads(out.stdout))
        os.remove(copy)
    return {key: statistics.median(r[key] for r in runs) for key in runs[0]}


def main():
    os.makedirs(WORK, exist_ok=True)
    lines = ["| raster, radius | variant | fill call s | close (write-back) s | total s | peak MiB |",
             "|---|---|---:|---:|---:|---:|"]
    for name, radius in CASES:
        source = os.path.join(ROOT, "bench", "cache", name)
        for variant, smoothing, env in VARIANTS:
            r = measure(source, radius, smoothing, env)
            lines.append(f"| {name}, {radius} | {variant} | {r['fill']:.2f} | {r['close']:.2f} | "
                         f"{r['total']:.2f} | {r['peak']:.0f} |")
            print(lines[-1], flush=True)
    with open(os.path.join(ROOT, "docs", "breakdown.md"), "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    if len(sys.argv) == 4:
        one_run(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
    else:
        main()
