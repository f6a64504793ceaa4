#!/usr/bin/python3
"""Times gapMend against the floor (a bare GDALFillNodata call) and gdal_fillnodata.py.

Each program fills a fresh copy of the same DEM-like raster; the programs take turns, and each
figure is the median of the runs. Wall time, CPU time and peak resident memory come from GNU
time. Results go to docs/: bench.csv, bench.png and bench.md, the table that the README quotes.

Run it through bench/run.sh, which installs what it needs and builds the programs first.
"""
import argparse
import csv
import os
import platform
import shutil
import statistics
import subprocess
import time

import numpy as np
from osgeo import gdal

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "bench", "cache")
WORK = os.path.join(CACHE, "work")
DOCS = os.path.join(ROOT, "docs")
NODATA = -9999.0
TYPES = {"Float32": (gdal.GDT_Float32, np.float32), "Float64": (gdal.GDT_Float64, np.float64)}

gdal.UseExceptions()


def make_dem(path, size, type_name, void_radius, void_share, compress, seed=1):
    """Smooth terrain with round voids of one radius covering about `void_share` of it."""
    gdal_type, np_type = TYPES[type_name]
    rng = np.random.default_rng(seed)
    count = max(1, int(void_share * size * size / (np.pi * void_radius**2)))
    centre_x, centre_y = rng.uniform(0, size, count), rng.uniform(0, size, count)
    options = ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"]
    if compress:
        options += ["COMPRESS=DEFLATE", "PREDICTOR=3"]
    dataset = gdal.GetDriverByName("GTiff").Create(path + ".part", size, size, 1, gdal_type, options)
    dataset.SetGeoTransform([500000, 30, 0, 5500000, 0, -30])
    band = dataset.GetRasterBand(1)
    band.SetNoDataValue(NODATA)
    x = np.arange(size)[None, :]
    for top in range(0, size, 256):
        y = np.arange(top, min(size, top + 256))[:, None]
        z = (800 + 300 * np.sin(x / 710.0) * np.cos(y / 530.0) + 40 * np.sin(x / 47.0 + y / 61.0)
             + 7 * np.cos(x / 9.0) * np.sin(y / 11.0)).astype(np_type)
        near = np.abs(centre_y - (top + 128)) < 128 + void_radius
        for cx, cy in zip(centre_x[near], centre_y[near]):
            z[(x - cx) ** 2 + (y - cy) ** 2 < void_radius**2] = NODATA
        band.WriteArray(z, 0, top)
    dataset = None
    os.rename(path + ".part", path)


def dem(size, type_name, void_radius, void_share, compress=False):
    name = (f"dem_{type_name}_{size}_v{void_radius}_{void_share * 100:g}"
            f"{'_deflate' if compress else ''}.tif")
    path = os.path.join(CACHE, name)
    if not os.path.exists(path):
        print(f"  making {name}", flush=True)
        make_dem(path, size, type_name, void_radius, void_share, compress)
    return path


def check_pixels(source, mine, floor):
    """gapMend must leave the floor's pixels where the floor filled a gap, and the source's
    everywhere else: for Float32 that is the floor's band exactly; Float64 keeps its valid
    pixels exact where the floor rounds them through 32-bit floats."""
    bands = [gdal.Open(path) for path in (source, mine, floor)]
    for top in range(0, bands[0].RasterYSize, 1024):
        rows = min(1024, bands[0].RasterYSize - top)
        original, filled, library = (d.GetRasterBand(1).ReadAsArray(0, top, None, rows)
                                     for d in bands)
        gap = original == NODATA
        expected = np.where(gap & (library != NODATA), library, original)
        if not np.array_equal(filled.view(np.uint8), expected.view(np.uint8)):
            raise RuntimeError(f"gapMend's pixels differ from the library's on {source}")


def journal_bytes(source, build, radius, env):
    """How large gapMend's journal grows on this file: the bytes written to it, as strace sees
    them (the journal is gone once the run commits)."""
    copy = os.path.join(WORK, "journaled.tif")
    log = os.path.join(WORK, "journal.strace")
    shutil.copyfile(source, copy)
    subprocess.run(["strace", "-f", "-o", log, "-e", "trace=write", "-P", copy + ".gapmend-journal",
                    os.path.join(build, "gapMend"), copy, str(radius)],
                   cwd=WORK, stdout=subprocess.DEVNULL, env={**os.environ, **env}, check=True)
    with open(log) as lines:
        written = sum(int(line.rsplit("=", 1)[1]) for line in lines if "write(" in line)
    os.remove(copy)
    os.remove(log)
    return written


def run_once(command, env):
    """Runs one command; returns wall seconds, CPU seconds and peak resident MiB.

    GNU time measures CPU and memory: a process forked from this Python would start its peak
    resident size at Python's own, so the kernel's accounting of a direct child would overstate
    small runs. Wall time is taken here, finer than GNU time's hundredths of a second.
    """
    report = os.path.join(WORK, "time.txt")
    timed = ["/usr/bin/time", "-f", "%U %S %M", "-o", report] + command
    start = time.perf_counter()
    finished = subprocess.run(timed, cwd=WORK, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              env={**os.environ, **env})
    wall = time.perf_counter() - start
    if finished.returncode != 0:
        raise RuntimeError(f"{command} failed ({finished.returncode}): {finished.stderr.decode()}")
    with open(report) as text:
        user, system, peak_kib = text.read().split()[-3:]
    return wall, float(user) + float(system), int(peak_kib) / 1024.0


def programs(build, radius):
    listed = [("gapMend", lambda f: [os.path.join(build, "gapMend"), f, str(radius)]),
              ("floor", lambda f: [os.path.join(build, "fill_floor"), f, str(radius)])]
    peer = shutil.which("gdal_fillnodata.py")
    if peer:
        out = os.path.join(WORK, "peer_out.tif")
        listed.append(("gdal_fillnodata.py",
                       lambda f: [peer, "-q", "-md", str(radius), "-si", "3", f, out]))
    return listed


def measure(source, radius, build, repeats, env):
    """Medians for each program over `repeats` alternating runs on fresh copies, and for each
    the size of the file it leaves, relative to the source. The first round also checks
    gapMend's pixels against the floor's."""
    samples, growth = {}, {}
    for round_number in range(repeats):
        for name, command in programs(build, radius):
            copy = os.path.join(WORK, f"input_{name}.tif")
            output = os.path.join(WORK, "peer_out.tif") if name == "gdal_fillnodata.py" else copy
            shutil.copyfile(source, copy)
            samples.setdefault(name, []).append(run_once(command(copy), env))
            growth[name] = os.path.getsize(output) / os.path.getsize(source)
        if round_number == 0:
            check_pixels(source, *(os.path.join(WORK, f"input_{n}.tif") for n in ("gapMend", "floor")))
        for leftover in os.listdir(WORK):
            if leftover.endswith(".tif"):
                os.remove(os.path.join(WORK, leftover))
    return {name: [statistics.median(s[i] for s in runs) for i in range(3)] + [growth[name]]
            for name, runs in samples.items()}


def sweep(args):
    """The two sweeps (raster size at a fixed void share, radius on large voids), then the
    special cases: a DEFLATE file with voids in about a third of its blocks, and a small cache."""
    rows = []
    cases = [("size", size, type_name, 20, 0.05, 100, False, {})
             for type_name in ("Float32", "Float64") for size in args.sizes]
    cases += [("radius", args.radius_size, "Float32", 150, 0.15, radius, False, {})
              for radius in args.radii]
    big = max(args.sizes)
    cases += [("deflate", big, "Float32", 20, 0.0075, 100, True, {}),
              ("cache256", big, "Float32", 20, 0.05, 100, False, {"GDAL_CACHEMAX": "256"})]
    for sweep_name, size, type_name, void_radius, share, radius, compress, env in cases:
        source = dem(size, type_name, void_radius, share, compress)
        print(f"{sweep_name}: {type_name} {size}x{size}, voids r={void_radius}px "
              f"{share:.2%}, radius {radius}", flush=True)
        result = measure(source, radius, args.build, args.repeats, env)
        journal = journal_bytes(source, args.build, radius, env)
        floor_wall, _, floor_rss, _ = result["floor"]
        for name, (wall, cpu, rss, grown) in result.items():
            rows.append({"sweep": sweep_name, "type": type_name, "size": size,
                         "pixels": size * size, "void_radius": void_radius,
                         "void_share": share, "radius": radius, "program": name,
                         "wall_s": round(wall, 3), "cpu_s": round(cpu, 3),
                         "peak_rss_mib": round(rss, 1),
                         "wall_vs_floor": round(wall / floor_wall, 3),
                         "rss_vs_floor": round(rss / floor_rss, 3),
                         "file_growth": round(grown, 3),
                         "journal_kib": round(journal / 1024, 1) if name == "gapMend" else ""})
            print(f"  {name:20s} wall {wall:8.2f} s  cpu {cpu:8.2f} s  rss {rss:8.1f} MiB  "
                  f"x{wall / floor_wall:.3f} time  x{rss / floor_rss:.3f} memory  "
                  f"file x{grown:.3f}", flush=True)
        print(f"  gapMend's journal: {journal / 1024:.1f} KiB", flush=True)
    return rows


def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(l.split(":", 1)[1].strip() for l in info if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} cores, {memory:.0f} GiB, {platform.system()} "
            f"{platform.release()}, GDAL {gdal.__version__}")


def write_results(rows):
    os.makedirs(DOCS, exist_ok=True)
    with open(os.path.join(DOCS, "bench.csv"), "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    with open(os.path.join(DOCS, "bench.md"), "w") as out:
        out.write(f"Machine: {machine()}\n\n")
        out.write("| case | program | wall s | CPU s | peak MiB | time / floor | memory / floor "
                  "| file size after / before | journal KiB |\n")
        out.write("|---|---|---:|---:|---:|---:|---:|---:|---:|\n")
        for r in rows:
            case = {"size": f"{r['type']} {r['size']}² r={r['radius']}",
                    "radius": f"{r['type']} {r['size']}² large voids, r={r['radius']}",
                    "deflate": f"{r['type']} {r['size']}² DEFLATE, voids in ~1/3 of blocks",
                    "cache256": f"{r['type']} {r['size']}² GDAL_CACHEMAX=256"}[r["sweep"]]
            out.write(f"| {case} | {r['program']} | {r['wall_s']:.2f} | {r['cpu_s']:.2f} | "
                      f"{r['peak_rss_mib']:.0f} | {r['wall_vs_floor']:.3f} | "
                      f"{r['rss_vs_floor']:.3f} | {r['file_growth']:.3f} | {r['journal_kib']} |\n")
    plot(rows)


def plot(rows):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, (by_size, by_radius) = plt.subplots(1, 2, figsize=(12, 4.8))
    for program in dict.fromkeys(r["program"] for r in rows):
        for type_name, style in (("Float32", "-o"), ("Float64", "--s")):
            points = [r for r in rows if r["sweep"] == "size" and r["program"] == program
                      and r["type"] == type_name]
            if points:
                by_size.plot([r["pixels"] for r in points], [r["wall_s"] for r in points], style,
                             label=f"{program} {type_name}")
        points = [r for r in rows if r["sweep"] == "radius" and r["program"] == program]
        by_radius.plot([r["radius"] for r in points], [r["wall_s"] for r in points], "-o",
                       label=program)
    by_size.set(xscale="log", yscale="log", xlabel="pixels", ylabel="wall time (s)",
                title="Time against raster size (5% voids, radius 100)")
    by_radius.set(xlabel="max search radius (pixels)", ylabel="wall time (s)",
                  title="Time against radius (Float32, 15% large voids)")
    for axes in (by_size, by_radius):
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize=8)
    figure.suptitle(f"gapMend benchmark - {machine()}", fontsize=9)
    figure.tight_layout()
    figure.savefig(os.path.join(DOCS, "bench.png"), dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 2000, 4000, 8000])
    parser.add_argument("--radii", type=int, nargs="+", default=[50, 100, 250, 500])
    parser.add_argument("--radius-size", type=int, default=4000)
    args = parser.parse_args()
    os.makedirs(WORK, exist_ok=True)
    if not shutil.which("gdal_fillnodata.py"):
        print("gdal_fillnodata.py is not installed (python3-gdal): the peer is skipped")
    write_results(sweep(args))
    print(f"Wrote {DOCS}/bench.csv, bench.png and bench.md")


if __name__ == "__main__":
    main()
