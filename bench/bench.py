#!/usr/bin/python3
"""Times gapMend against the floor (a bare GDALFillNodata call) and gdal_fillnodata.py.

Each program fills a fresh copy of the same DEM-like raster; the programs take turns, and each
figure is the median of the runs. Wall time, CPU time and peak resident memory come from GNU
time. gapMend fills on every core; the threads sweep limits it to 1, 2 and 4 threads with
GDAL_NUM_THREADS. Results go to docs/: bench.csv, bench.png and bench.md, the table that the
README quotes, with the targets and the scaling model at its end.

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
SMOOTHING = 3  # the fill's smoothing passes, k in the halo of a strip
# Time and memory targets against the floor, by case: (sweep, type, size, radius) -> time limit.
# The overviews' refresh: the run on the file with 3 overview levels against the same run without.
OVERVIEWS_TARGET = 1.15
TIME_TARGETS = {("size", "Float32", 8000, 100): 0.60, ("radius", "Float32", 4000, 250): 0.75,
                ("size", "Float64", 8000, 100): 0.65, ("deflate", "Float32", 8000, 100): 0.45,
                ("tall", "Float32", 1500, 100): 0.25, ("large", "Float32", 20000, 100): 0.70}
# The tall raster: 1,500 columns and 70,000 rows, past the 65,533 rows where the library's row
# marker changes type. The large one: 20,000², or the largest square the disk holds with room.
TALL = (1500, 70000)
LARGE = 20000
MEMORY_TARGET = 1.10
# What the scaling model may predict for 16 cores at Float32 8000², against the floor.
MODEL_TARGET = 0.20
TYPES = {"Float32": (gdal.GDT_Float32, np.float32), "Float64": (gdal.GDT_Float64, np.float64)}

gdal.UseExceptions()


def make_dem(path, size, height, type_name, void_radius, void_share, compress, seed=1):
    """Smooth terrain, `size` columns by `height` rows, with round voids of one radius covering
    about `void_share` of it."""
    gdal_type, np_type = TYPES[type_name]
    rng = np.random.default_rng(seed)
    count = max(1, int(void_share * size * height / (np.pi * void_radius**2)))
    centre_x, centre_y = rng.uniform(0, size, count), rng.uniform(0, height, count)
    options = ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256"]
    if compress:
        options += ["COMPRESS=DEFLATE", "PREDICTOR=3"]
    if size * height * 4 >= 2**32:
        options.append("BIGTIFF=YES")
    dataset = gdal.GetDriverByName("GTiff").Create(path + ".part", size, height, 1, gdal_type,
                                                   options)
    dataset.SetGeoTransform([500000, 30, 0, 5500000, 0, -30])
    band = dataset.GetRasterBand(1)
    band.SetNoDataValue(NODATA)
    x = np.arange(size)[None, :]
    for top in range(0, height, 256):
        y = np.arange(top, min(height, top + 256))[:, None]
        z = (800 + 300 * np.sin(x / 710.0) * np.cos(y / 530.0) + 40 * np.sin(x / 47.0 + y / 61.0)
             + 7 * np.cos(x / 9.0) * np.sin(y / 11.0)).astype(np_type)
        near = np.abs(centre_y - (top + 128)) < 128 + void_radius
        for cx, cy in zip(centre_x[near], centre_y[near]):
            z[(x - cx) ** 2 + (y - cy) ** 2 < void_radius**2] = NODATA
        band.WriteArray(z, 0, top)
    dataset = None
    os.rename(path + ".part", path)


def dem(size, height, type_name, void_radius, void_share, compress=False, overviews=False):
    shape = f"{size}" if height == size else f"{size}x{height}"
    name = (f"dem_{type_name}_{shape}_v{void_radius}_{void_share * 100:g}"
            f"{'_deflate' if compress else ''}{'_ovr3' if overviews else ''}.tif")
    path = os.path.join(CACHE, name)
    if not os.path.exists(path) and overviews:
        print(f"  making {name}", flush=True)
        shutil.copyfile(dem(size, height, type_name, void_radius, void_share, compress),
                        path + ".part")
        subprocess.run(["gdaladdo", "-q", "-r", "average", path + ".part", "2", "4", "8"],
                       check=True)
        os.rename(path + ".part", path)
    elif not os.path.exists(path):
        print(f"  making {name}", flush=True)
        make_dem(path, size, height, type_name, void_radius, void_share, compress)
    return path


def copy_synced(source, copy):
    """A fresh copy of `source`, on the disk before any program is timed on it: otherwise the
    program that syncs its file (gapMend) would pay for flushing the copy too."""
    shutil.copyfile(source, copy)
    with open(copy, "rb+") as out:
        os.fsync(out.fileno())


def largest_square_on_disk(size, type_name):
    """`size`, or the largest square the disk holds with room to spare: the source, a copy for
    each program, the library's work files (about 10 bytes a pixel), twice over, and 5 GiB."""
    pixel_bytes = 8 if type_name == "Float64" else 4
    free = shutil.disk_usage(CACHE).free
    while size > 1000 and 2 * size * size * (3 * pixel_bytes + 10) + 5 * 2**30 > free:
        size = size * 9 // 10
    return size


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
    copy_synced(source, copy)
    subprocess.run(["strace", "-f", "-o", log, "-e", "trace=write,pwrite64", "-P", copy + ".gapmend-journal",
                    os.path.join(build, "gapMend"), copy, str(radius)],
                   cwd=WORK, stdout=subprocess.DEVNULL, env={**os.environ, **env}, check=True)
    with open(log) as lines:
        written = sum(int(line.rsplit("=", 1)[1]) for line in lines
                      if "write(" in line or "pwrite64(" in line)
    os.remove(copy)
    os.remove(log)
    return written


def fill_seconds(source, build, radius, repeats):
    """The median wall time of gapMend's fill in strips, between its first two phase marks
    (CPL_DEBUG=gapMend with CPL_TIMESTAMP=ON), and of the whole run, on fresh synced copies: the
    scaling model's two parts."""
    copy = os.path.join(WORK, "phases.tif")
    fills, walls = [], []
    for _ in range(repeats):
        copy_synced(source, copy)
        start = time.perf_counter()
        finished = subprocess.run([os.path.join(build, "gapMend"), copy, str(radius)], cwd=WORK,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True,
                                  env={**os.environ, "CPL_DEBUG": "gapMend",
                                       "CPL_TIMESTAMP": "ON"})
        walls.append(time.perf_counter() - start)
        marks = [float(line.split(",")[1].split(":")[0])
                 for line in finished.stderr.decode().splitlines() if ": gapMend: " in line]
        fills.append(marks[1] - marks[0])
        os.remove(copy)
    return statistics.median(fills), statistics.median(walls)


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


def programs(build, radius, threads, peer, bare):
    """(name, command, environment, source) of each program: gapMend on every core, or on each
    count of `threads` when given; gapMend on `bare`, the same band without its overviews, when
    given (None: every program fills `source`); the floor; and the peer when asked for and
    installed."""
    gapmend = lambda f: [os.path.join(build, "gapMend"), f, str(radius)]
    listed = [(f"gapMend {n} thread{'s' if n > 1 else ''}", gapmend, {"GDAL_NUM_THREADS": str(n)},
               None) for n in threads] or [("gapMend", gapmend, {}, None)]
    if bare:
        listed.append(("gapMend without overviews", gapmend, {}, bare))
    listed.append(("floor", lambda f: [os.path.join(build, "fill_floor"), f, str(radius)], {},
                   None))
    peer_program = shutil.which("gdal_fillnodata.py") if peer else None
    if peer_program:
        out = os.path.join(WORK, "peer_out.tif")
        listed.append(("gdal_fillnodata.py",
                       lambda f: [peer_program, "-q", "-md", str(radius), "-si", "3", f, out], {},
                       None))
    return listed


def measure(source, radius, build, repeats, env, threads=(), peer=True, bare=None):
    """Medians for each program over `repeats` alternating runs on fresh synced copies, and for each
    the size of the file it leaves, relative to the source. The first round also checks
    every gapMend's pixels against the floor's."""
    samples, growth = {}, {}
    for round_number in range(repeats):
        for name, command, own_env, own in programs(build, radius, threads, peer, bare):
            copy = os.path.join(WORK, f"input_{name.replace(' ', '_')}.tif")
            output = os.path.join(WORK, "peer_out.tif") if name == "gdal_fillnodata.py" else copy
            copy_synced(own or source, copy)
            samples.setdefault(name, []).append(run_once(command(copy), {**env, **own_env}))
            growth[name] = os.path.getsize(output) / os.path.getsize(own or source)
        if round_number == 0:
            floor = os.path.join(WORK, "input_floor.tif")
            for name in samples:
                if name.startswith("gapMend"):
                    check_pixels(source, os.path.join(WORK, f"input_{name.replace(' ', '_')}.tif"),
                                 floor)
        for leftover in os.listdir(WORK):
            if leftover.endswith(".tif"):
                os.remove(os.path.join(WORK, leftover))
    return {name: [statistics.median(s[i] for s in runs) for i in range(3)] + [growth[name]]
            for name, runs in samples.items()}


def sweep(args):
    """The two sweeps (raster size at a fixed void share, radius on large voids), then the
    special cases: a DEFLATE file with voids in about a third of its blocks, a small cache, the
    threads, and the size sweep's largest Float32 file with 3 overview levels (gdaladdo -r
    average 2 4 8), which gapMend refreshes."""
    rows = []
    cases = [("size", size, size, type_name, 20, 0.05, 100, False, {})
             for type_name in ("Float32", "Float64") for size in args.sizes]
    cases += [("radius", args.radius_size, args.radius_size, "Float32", 150, 0.15, radius, False,
               {}) for radius in args.radii]
    big = max(args.sizes)
    cases += [("deflate", big, big, "Float32", 20, 0.0075, 100, True, {}),
              ("cache256", big, big, "Float32", 20, 0.05, 100, False, {"GDAL_CACHEMAX": "256"}),
              ("threads", big, big, "Float32", 20, 0.05, 100, False, {}),
              ("overviews", big, big, "Float32", 20, 0.05, 100, False, {}),
              ("tall", *TALL, "Float32", 20, 0.05, 100, False, {})]
    if not args.only or "large" in args.only:
        large = largest_square_on_disk(LARGE, "Float32")
        cases.append(("large", large, large, "Float32", 20, 0.05, 100, False, {}))
    if args.only:
        cases = [c for c in cases if c[0] in args.only]
    for sweep_name, size, height, type_name, void_radius, share, radius, compress, env in cases:
        source = dem(size, height, type_name, void_radius, share, compress,
                     sweep_name == "overviews")
        load = os.getloadavg()[0]
        print(f"{sweep_name}: {type_name} {size}x{height}, voids r={void_radius}px "
              f"{share:.2%}, radius {radius} (load {load:.2f})", flush=True)
        threads = args.threads if sweep_name == "threads" else ()
        # With overviews, gapMend also fills the same band without them, in turn with the
        # others: the ratio of the two is a pair measured side by side.
        bare = dem(size, height, type_name, void_radius, share, compress) \
            if sweep_name == "overviews" else None
        result = measure(source, radius, args.build, args.repeats, env, threads,
                         peer=not args.no_peer and sweep_name not in ("threads", "overviews"),
                         bare=bare)
        journal = journal_bytes(source, args.build, radius, env)
        fill = fill_seconds(source, args.build, radius, args.repeats) if sweep_name == "threads" \
            else None
        floor_wall, _, floor_rss, _ = result["floor"]
        for name, (wall, cpu, rss, grown) in result.items():
            rows.append({"sweep": sweep_name, "type": type_name, "size": size,
                         "height": height, "pixels": size * height, "void_radius": void_radius,
                         "void_share": share, "radius": radius, "program": name,
                         "wall_s": round(wall, 3), "cpu_s": round(cpu, 3),
                         "peak_rss_mib": round(rss, 1),
                         "wall_vs_floor": round(wall / floor_wall, 3),
                         "rss_vs_floor": round(rss / floor_rss, 3),
                         "file_growth": round(grown, 3),
                         "journal_kib": round(journal / 1024, 1) if name == "gapMend" else "",
                         "fill_s": round(fill[0], 3) if fill and name == "floor" else "",
                         "run_s": round(fill[1], 3) if fill and name == "floor" else "",
                         "load": round(load, 2)})
            print(f"  {name:20s} wall {wall:8.2f} s  cpu {cpu:8.2f} s  rss {rss:8.1f} MiB  "
                  f"x{wall / floor_wall:.3f} time  x{rss / floor_rss:.3f} memory  "
                  f"file x{grown:.3f}", flush=True)
        print(f"  gapMend's journal: {journal / 1024:.1f} KiB", flush=True)
    return rows


def shape_of(r):
    """A case's raster: 8000² for a square, 1500 x 70000 (columns x rows) for another shape."""
    height = r.get("height") or r["size"]
    return f"{r['size']}²" if height == r["size"] else f"{r['size']} x {height}"


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


def halo_rows(radius):
    """Rows a strip's window adds: floor(R) + k above and floor(R) + k + 1 below."""
    return 2 * radius + 2 * SMOOTHING + 1


def strips_speedup(height, radius, threads):
    """The fill's own speed-up on `threads` cores, from the rows processed:
    height + (strips - 1)(2R + 2k + 1), shared by the threads. Two strips a thread, or one where
    the halos of two would cost more than a tenth, as src/strips.cpp plans them."""
    if threads < 2:
        return 1.0
    halo = halo_rows(radius)
    one_each = -(-height // threads) + halo
    two_each = 2 * (-(-height // (2 * threads)) + halo)
    per_thread = 2 if two_each * 10 <= one_each * 11 else 1
    strips = max(2, min(per_thread * threads, height // halo))
    return min(threads, strips) * height / (height + (strips - 1) * halo_rows(radius))


def scaling_model(rows):
    """From the phases of gapMend's run on every core of this machine (the threads sweep): the
    part that runs on one thread (the open, the working copy, the write-back, the journal, the
    syncs) and the fill in strips, as one core would take it; then the predicted time and speed-up
    over the floor on more cores. The phases are kept on the floor's row of the sweep. Returns
    those two parts, the floor's time, and a line for each count of cores."""
    by_name = {r["program"]: r for r in rows if r["sweep"] == "threads"}
    floor = by_name.get("floor")
    if not floor or floor.get("fill_s") in (None, ""):
        return []
    height, radius, cores = floor["size"], floor["radius"], os.cpu_count()
    fill = float(floor["fill_s"]) * strips_speedup(height, radius, cores)  # on one core
    serial = float(floor["run_s"]) - float(floor["fill_s"])
    lines = []
    for count in (1, 2, 4, 8, 16):
        predicted = serial + fill / strips_speedup(height, radius, count)
        lines.append((count, strips_speedup(height, radius, count), predicted,
                      floor["wall_s"] / predicted))
    return serial, fill, floor["wall_s"], lines


def write_targets(out, rows):
    out.write(f"\n## Targets against the floor\n\n| case | gapMend / floor | target | met |\n"
              "|---|---:|---:|---|\n")
    for (sweep_name, type_name, size, radius), limit in TIME_TARGETS.items():
        for r in rows:
            # The large case keeps its target at whatever size the disk allowed.
            if (r["sweep"], r["type"], r["radius"], r["program"]) == (
                    sweep_name, type_name, radius, "gapMend") and (
                    r["size"] == size or sweep_name == "large"):
                out.write(f"| time, {sweep_name} {type_name} {shape_of(r)} r={radius} | "
                          f"{r['wall_vs_floor']:.3f} | {limit:.2f} | "
                          f"{'yes' if r['wall_vs_floor'] <= limit else 'no'} |\n")
    for r in rows:
        if r["program"] == "gapMend" and (r["sweep"] == "large" or (
                r["sweep"] in ("size", "cache256") and r["size"] == 8000)):
            out.write(f"| peak memory, {r['sweep']} {r['type']} {shape_of(r)} | "
                      f"{r['rss_vs_floor']:.3f} | {MEMORY_TARGET:.2f} | "
                      f"{'yes' if r['rss_vs_floor'] <= MEMORY_TARGET else 'no'} |\n")


def write_overviews_target(out, rows):
    pair = {r["program"]: r for r in rows if r["sweep"] == "overviews"}
    if "gapMend" in pair and "gapMend without overviews" in pair:
        ratio = pair["gapMend"]["wall_s"] / pair["gapMend without overviews"]["wall_s"]
        out.write(f"| time, Float32 8000² r=100 with 3 overview levels / without | {ratio:.3f} | "
                  f"{OVERVIEWS_TARGET:.2f} | {'yes' if ratio <= OVERVIEWS_TARGET else 'no'} |\n")


def write_model(out, rows):
    model = scaling_model(rows)
    if not model:
        return
    serial, fill, floor, lines = model
    out.write(f"\n## Scaling model (Float32 8000², radius 100)\n\n"
              f"From the phases of gapMend's run on every core: {serial:.2f} s that runs on one "
              f"thread (the open, the working copy, the write-back, the journal, the syncs) and "
              f"{fill:.2f} s of fill on one core, that runs in strips, "
              f"which process height + (strips - 1)(2R + 2k + 1) rows in all, two strips a "
              f"thread (one where two strips' halos would cost more than a tenth).\n\n| cores | fill speed-up | predicted s | predicted floor / gapMend |\n"
              "|---:|---:|---:|---:|\n")
    for cores, gain, predicted, speedup in lines:
        out.write(f"| {cores} | {gain:.2f} | {predicted:.2f} | {speedup:.2f} |\n")
    sixteen = 1 / lines[-1][3]
    out.write(f"\nOn 16 cores gapMend would take {sixteen:.3f} of the floor's time (target at most "
              f"{MODEL_TARGET:.2f}): the {serial:.2f} s on one thread alone is "
              f"{serial / floor:.3f} of it.\n")


def kept_rows(measured):
    """The rows of the last docs/bench.csv for the cases this run does not measure again."""
    case = lambda r: (r["sweep"], r["type"], int(r["size"]), int(r.get("height") or r["size"]),
                      int(r["radius"]))
    again = {case(r) for r in measured}
    try:
        with open(os.path.join(DOCS, "bench.csv"), newline="") as old:
            rows = [r for r in csv.DictReader(old) if case(r) not in again]
    except FileNotFoundError:
        return []
    for r in rows:
        r["height"] = r.get("height") or r["size"]
        for key, value in r.items():
            if key not in ("sweep", "type", "program") and value != "":
                r[key] = float(value) if "." in value else int(value)
    return rows


def write_results(rows):
    os.makedirs(DOCS, exist_ok=True)
    with open(os.path.join(DOCS, "bench.csv"), "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(dict.fromkeys(k for r in rows for k in r)),
                                restval="")
        writer.writeheader()
        writer.writerows(rows)
    with open(os.path.join(DOCS, "bench.md"), "w") as out:
        out.write(f"Machine: {machine()}\n\n")
        out.write("| case | program | wall s | CPU s | peak MiB | time / floor | memory / floor "
                  "| file size after / before | journal KiB |\n")
        out.write("|---|---|---:|---:|---:|---:|---:|---:|---:|\n")
        for r in rows:
            case = {"size": f"{r['type']} {r['size']}² r={r['radius']}",
                    "tall": f"{r['type']} {shape_of(r)} (tall) r={r['radius']}",
                    "large": f"{r['type']} {shape_of(r)} r={r['radius']}",
                    "radius": f"{r['type']} {r['size']}² large voids, r={r['radius']}",
                    "deflate": f"{r['type']} {r['size']}² DEFLATE, voids in ~1/3 of blocks",
                    "cache256": f"{r['type']} {r['size']}² GDAL_CACHEMAX=256",
                    "threads": f"{r['type']} {r['size']}² r={r['radius']}, threads",
                    "overviews": f"{r['type']} {r['size']}² r={r['radius']}, 3 overview levels"
                    }[r["sweep"]]
            out.write(f"| {case} | {r['program']} | {r['wall_s']:.2f} | {r['cpu_s']:.2f} | "
                      f"{r['peak_rss_mib']:.0f} | {r['wall_vs_floor']:.3f} | "
                      f"{r['rss_vs_floor']:.3f} | {r['file_growth']:.3f} | {r['journal_kib']} |\n")
        out.write("\nLoad average (1 min) at the start of each case: " +
                  ", ".join(f"{r['sweep']} {r['type']} {shape_of(r)} r={r['radius']}: {r['load']}"
                            for r in rows if r["program"] == "floor") + "\n")
        write_targets(out, rows)
        write_overviews_target(out, rows)
        write_model(out, rows)
    plot(rows)


def plot(rows):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, (by_size, by_radius, by_threads) = plt.subplots(1, 3, figsize=(17, 4.8))
    for program in dict.fromkeys(r["program"] for r in rows):
        for type_name, style in (("Float32", "-o"), ("Float64", "--s")):
            points = [r for r in rows if r["sweep"] == "size" and r["program"] == program
                      and r["type"] == type_name]
            if points:
                by_size.plot([r["pixels"] for r in points], [r["wall_s"] for r in points], style,
                             label=f"{program} {type_name}")
        points = [r for r in rows if r["sweep"] == "radius" and r["program"] == program]
        if points:
            by_radius.plot([r["radius"] for r in points], [r["wall_s"] for r in points], "-o",
                           label=program)
    threads = [r for r in rows if r["sweep"] == "threads" and r["program"].startswith("gapMend")]
    if threads:
        counts = [int(r["program"].split()[1]) for r in threads]
        by_threads.plot(counts, [1 / r["wall_vs_floor"] for r in threads], "-o",
                        label="gapMend, measured")
        model = scaling_model(rows)
        if model:
            by_threads.plot([c for c, *_ in model[3]], [s for *_, s in model[3]], ":",
                            label="model")
        by_threads.axhline(1.0, color="grey", lw=0.8, label="floor (one call)")
    by_threads.set(xscale="log", xlabel="threads (GDAL_NUM_THREADS)", ylabel="floor time / time",
                   title="Speed-up over the floor (Float32 8000², radius 100)")
    by_threads.set_xticks([1, 2, 4, 8, 16], ["1", "2", "4", "8", "16"])
    by_size.set(xscale="log", yscale="log", xlabel="pixels", ylabel="wall time (s)",
                title="Time against raster size (5% voids, radius 100)")
    by_radius.set(xlabel="max search radius (pixels)", ylabel="wall time (s)",
                  title="Time against radius (Float32, 15% large voids)")
    for axes in (by_size, by_radius, by_threads):
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
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2, 4],
                        help="gapMend's thread counts in the threads sweep")
    parser.add_argument("--no-peer", action="store_true", help="skip gdal_fillnodata.py")
    parser.add_argument("--only", nargs="+",
                        choices=["size", "radius", "deflate", "cache256", "threads", "overviews",
                                 "tall", "large"],
                        help="run only these sweeps; docs/ keeps the rows of the cases not measured again")
    args = parser.parse_args()
    os.makedirs(WORK, exist_ok=True)
    if not shutil.which("gdal_fillnodata.py"):
        print("gdal_fillnodata.py is not installed (python3-gdal): the peer is skipped")
    rows = sweep(args)
    if args.only:
        order = ["size", "radius", "deflate", "cache256", "threads", "overviews", "tall", "large"]
        rows = sorted(kept_rows(rows) + rows,
                      key=lambda r: (order.index(r["sweep"]), r["type"], r["size"], r["radius"]))
    write_results(rows)
    print(f"Wrote {DOCS}/bench.csv, bench.png and bench.md")


if __name__ == "__main__":
    main()
