#!/usr/bin/python3
"""Times what keeping the whole file true to its filled band costs, on a shared machine.

Two pairs of runs of gapMend, each on a fresh copy, the two of a pair taking turns, repeated:
the benchmark's Float32 8000² DEM (radius 100) without and with 3 overview levels (gdaladdo -r
average 2 4 8), and its 4000² DEM as a DEFLATE GTiff and as a DEFLATE COG of the same band, which
gapMend rewrites whole after the fill. Prints the minimum and median wall times and their ratios
as a markdown table for docs/design.md, with the load average, since the machine may be shared.
   bench/whole_file.py [--build build] [--repeats 5]
The DEMs are those of bench/bench.py, made in bench/cache/ when missing.
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import OVERVIEWS_TARGET, WORK, copy_synced, dem  # noqa: E402


def cog_of(path):
    cog = path[:-4] + "_cog.tif"
    if not os.path.exists(cog):
        subprocess.run(["gdal_translate", "-q", "-of", "COG", "-co", "COMPRESS=DEFLATE",
                        "-co", "PREDICTOR=YES", path, cog + ".part"], check=True)
        os.rename(cog + ".part", cog)
    return cog


def wall(binary, source, radius):
    copy = os.path.join(WORK, "whole_file.tif")
    copy_synced(source, copy)
    start = time.monotonic()
    subprocess.run([binary, copy, str(radius)], check=True, stdout=subprocess.DEVNULL)
    took = time.monotonic() - start
    os.remove(copy)
    return took


def pair(binary, first, second, radius, repeats):
    times = ([], [])
    for _ in range(repeats):
        for i, source in enumerate((first, second)):
            times[i].append(wall(binary, source, radius))
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    os.makedirs(WORK, exist_ok=True)
    binary = os.path.abspath(os.path.join(args.build, "gapMend"))
    plain4 = dem(4000, 4000, "Float32", 20, 0.05, compress=True)
    cases = [("Float32 8000², 3 overview levels / none", dem(8000, 8000, "Float32", 20, 0.05),
              dem(8000, 8000, "Float32", 20, 0.05, overviews=True)),
             ("Float32 4000² DEFLATE, COG / GTiff", plain4, cog_of(plain4))]
    print(f"load average {os.getloadavg()[0]:.2f} at the start, {args.repeats} runs each, "
          "wall seconds\n")
    print("| case | without: min, median | with: min, median | ratio of mins, medians |")
    print("|---|---|---|---|")
    ratios = []
    for name, first, second in cases:
        without, with_ = pair(binary, first, second, 100, args.repeats)
        lo = (min(without), statistics.median(without))
        hi = (min(with_), statistics.median(with_))
        ratios.append(hi[1] / lo[1])
        print(f"| {name} | {lo[0]:.2f}, {lo[1]:.2f} | {hi[0]:.2f}, {hi[1]:.2f} | "
              f"{hi[0] / lo[0]:.3f}, {ratios[-1]:.3f} |", flush=True)
    verdict = "met" if ratios[0] <= OVERVIEWS_TARGET else "missed"
    print(f"\noverviews: median ratio {ratios[0]:.3f} against at most {OVERVIEWS_TARGET:.2f}, "
          f"{verdict}; load average {os.getloadavg()[0]:.2f} at the end")

if __name__ == "__main__":
    main()
