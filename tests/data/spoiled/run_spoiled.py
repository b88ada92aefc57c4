#!/usr/bin/env python3
"""Runs spoiled copies of the example basin through fluvex.

Each copy runs the first week of the example on 2 instances with one input
spoiled: a value of a section of control.txt, of a table entry or of an input
grid. A copy whose input is invalid has to end with its FATAL entry (the
error code, the text naming the user's control file or grid and the value,
never the preprocessed control.txt.$$$); a copy whose input is legal has to
end with exit 0, no FATAL entry and no value in its result files that is no
number. Several copies run side by side (--jobs).

    run_spoiled.py --fluvex <binary> --mpirun <mpirun> --example <dir> --work <dir>
                   [--jobs 4] [--cases <regex>] [--keep]

Exit 0 when every case ends as expected; otherwise each failed case is
listed with what it ended with.
"""
import argparse
import html
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

WEEK = ("24        end hour\n31        end day\n12        end month",
        "24        end hour\n7         end day\n1         end month")


def spoil_control(before, after):
    def edit(d):
        path = os.path.join(d, "control.txt")
        text = open(path).read()
        if before not in text:
            return "not in control.txt: " + before
        open(path, "w").write(text.replace(before, after, 1))
        return ""
    return edit


def cut_section(header, last_line):
    """Removes a section from its header to the line last_line (included)."""
    def edit(d):
        path = os.path.join(d, "control.txt")
        text = open(path).read()
        a = text.find(header)
        b = text.find(last_line, a)
        if a < 0 or b < 0:
            return "section not in control.txt: " + header
        open(path, "w").write(text[:a] + text[b + len(last_line):])
        return ""
    return edit


def first_basin_cell(d):
    """Row and column (1 = top, left) of the first cell of zones.asc with a zone."""
    lines = open(os.path.join(d, "zones.asc")).read().split("\n")
    rows = [l.split() for l in lines if l.strip() and not l.split()[0][0].isalpha()]
    for r, row in enumerate(rows, 1):
        for c, v in enumerate(row, 1):
            if float(v) > -9999:
                return r, c
    return None


def spoil_grid_cell(grid, value):
    """Writes value into the first cell of the basin in grid."""
    def edit(d):
        cell = first_basin_cell(d)
        path = os.path.join(d, grid)
        lines = open(path).read().split("\n")
        header = [i for i, l in enumerate(lines) if l.strip() and l.split()[0][0].isalpha()]
        r, c = cell
        i = header[-1] + r
        words = lines[i].split()
        words[c - 1] = value
        lines[i] = " ".join(words)
        open(path, "w").write("\n".join(lines))
        return ""
    return edit


def station_missing_on_day(file, day, every=False):
    """The values of the first station (every station) on the given day of January: missing."""
    def edit(d):
        path = os.path.join(d, file)
        out = []
        for line in open(path).read().split("\n"):
            w = line.split()
            if len(w) > 5 and w[0] == "2015" and w[1] == "1" and w[2] == str(day):
                for k in range(4, len(w) if every else 5):
                    w[k] = "12000"  # beyond +-9999: missing
                line = " ".join(w)
            out.append(line)
        open(path, "w").write("\n".join(out))
        return ""
    return edit


def station_value(file, day, hour, station, value):
    """The value of one station (1 = the first) of a station file on a day and hour of January."""
    def edit(d):
        path = os.path.join(d, file)
        out = []
        for line in open(path).read().split("\n"):
            w = line.split()
            if len(w) > 5 and w[:4] == ["2015", "1", str(day), str(hour)]:
                w[3 + station] = value
                line = " ".join(w)
            out.append(line)
        open(path, "w").write("\n".join(out))
        return ""
    return edit


def both(*edits):
    def edit(d):
        return "".join(e(d) for e in edits)
    return edit


def station_records(d, file, day):
    """hour -> the values of a station file on a day of January."""
    records = {}
    for line in open(os.path.join(d, file)).read().split("\n")[5:]:
        w = line.split()
        if len(w) > 4 and w[:3] == ["2015", "1", str(day)]:
            records[int(w[3])] = [float(x) for x in w[4:]]
    return records


def precipitation_within_stations(day, hour, station):
    """The basin's precipitation (hourly statistics) lies within the least and
    the greatest value of the other stations in the spoiled hour, and the
    day's within the sums of the hourly least and greatest valid values: the
    interpolation weighs station values, so the spoiled value has to be
    missing, not a number."""
    def check(d):
        records = station_records(d, "precipitation.dat", day)
        basin = {int(r[3]): r[-1] for r in stat_rows(d, "precipitation.stat") if r[1] == 1 and r[2] == day}
        if sorted(basin) != sorted(records):
            return "precipitation.stat holds no hourly lines of %d January" % day
        low = high = 0
        for h, values in records.items():
            valid = [v for i, v in enumerate(values, 1) if v > -9999 and not (h == hour and i == station)]
            low += min(valid)
            high += max(valid)
            if h == hour and not min(valid) - 0.001 <= basin[h] <= max(valid) + 0.001:
                return "the basin's precipitation of %d January %d h is %g mm, the other stations measured %g ... %g" % (
                    day, h, basin[h], min(valid), max(valid))
        total = sum(basin.values())
        if not low - 0.03 <= total <= high + 0.03:
            return "the basin's precipitation of %d January is %g mm, the stations' range %g ... %g" % (
                day, total, low, high)
        return ""
    return check


def cells_beyond(d, file, distance):
    """The basin cells of zones.asc whose point (the lower left corner, where
    the interpolation takes a cell) lies farther than distance from every
    station of a station file."""
    header = {}
    rows = []
    for line in open(os.path.join(d, "zones.asc")).read().split("\n"):
        w = line.split()
        if w and w[0][0].isalpha():
            header[w[0].lower()] = float(w[1])
        elif w:
            rows.append([float(x) for x in w])
    lines = open(os.path.join(d, file)).read().split("\n")
    xs = [float(x) for x in lines[2].split()[4:]]
    ys = [float(y) for y in lines[3].split()[4:]]
    size, x0, y0 = header["cellsize"], header["xllcorner"], header["yllcorner"]
    beyond = set()
    for r, row in enumerate(rows):
        for c, zone in enumerate(row):
            x = x0 + c * size
            y = y0 + (len(rows) - r - 1) * size
            if zone > -9999 and all((x - a) ** 2 + (y - b) ** 2 > distance ** 2 for a, b in zip(xs, ys)):
                beyond.add((r, c))
    return beyond, sum(1 for row in rows for z in row if z > -9999)


def beyond_radius_text(distance):
    def text(d):
        beyond, cells = cells_beyond(d, "precipitation.dat", distance)
        return "holds no value in %d of %d basin cells from 1.1.2015 1 h on" % (len(beyond), cells)
    return text


def daily_sums_missing_beyond(distance):
    """Cells that no station reaches are missing in every daily sum grid; on a
    day without station gaps the daily statistics line (the sum of the hourly
    basin means) equals the mean of the daily sums of the reached cells."""
    def check(d):
        beyond, cells = cells_beyond(d, "precipitation.dat", distance)
        days = [r for r in stat_rows(d, "precipitation.stat") if r[1] == 1]
        for r in days:
            name = os.path.join(d, "out", "prec_1501.%02ds" % r[2])
            grid = [[float(x) for x in l.split()] for l in open(name).read().split("\n")[6:] if l.split()]
            kept = [v for row in grid for v in row if v > -9999]
            wrong = [(i, j) for i, j in beyond if grid[i][j] > -9999]
            if wrong:
                return "%s holds %g in row %d, column %d, which no station reaches" % (
                    os.path.basename(name), grid[wrong[0][0]][wrong[0][1]], wrong[0][0] + 1, wrong[0][1] + 1)
            if len(kept) == cells - len(beyond) and abs(sum(kept) / len(kept) - r[-1]) > 0.002:
                return "precipitation.stat gives %g mm for %d January, the mean of the daily sums is %g mm" % (
                    r[-1], r[2], sum(kept) / len(kept))
        return ""
    return check


def stat_rows(d, name):
    """The data lines of out/<name> (a statistics file): lists of numbers, the
    year, month, day and hour first; a value written as nan stays nan."""
    rows = []
    for line in open(os.path.join(d, "out", name)).read().split("\n")[3:]:
        words = line.split()
        if not words or line.startswith("#"):
            continue
        try:
            rows.append([float(w) for w in words])
        except ValueError:
            continue
    return rows


def grid_cell_text(d, grid):
    r, c = first_basin_cell(d)
    return "the grid %s (" % grid, "in row %d, column %d, a cell of the basin" % (r, c)


# name, edit, expected code (0: the run goes on), texts the output must hold
# and, optionally, a dict of further settings:
#   "check": a function of the run directory that returns what is wrong with
#            the results ("" when they show the value's meaning);
#   "np":    the instance counts to run the copy on (default (2,)).
# A text that is a function of the run directory is computed there.
CASES = [
    # Land-use and soil tables.
    ("soil_ksat_nan", spoil_control("ksat = 2.89e-6 2.89e-6 2.89e-6", "ksat = 2.89e-6 nan 2.89e-6"), 29,
     ["ksat = nan", "control file control.txt, lines"]),
    ("soil_theta_sat", spoil_control("theta_sat = 0.41 0.41 0.41", "theta_sat = 0.41 1.41 0.41"), 29,
     ["theta_sat = 1.41"]),
    ("soil_alpha_zero", spoil_control("alpha = 7.5 7.5 7.5", "alpha = 7.5 7.5 0"), 29, ["alpha = 0"]),
    ("landuse_lai", spoil_control("LAI = 2.0 3.0 8.0 8.0 2.0", "LAI = 2.0 -3.0 8.0 8.0 2.0"), 29, ["LAI = -3"]),
    ("landuse_juldays", spoil_control("JulDays = 15 110 140 280 310", "JulDays = 15 140 110 280 310"), 29,
     ["\"JulDays\": day 110"]),
    ("soil_theta_res", spoil_control("theta_res = 0.067 0.089 0.089", "theta_res = -0.067 0.089 0.089"), 29,
     ["theta_res = -0.067"]),
    ("landuse_albedo", spoil_control("Albedo = 0.20 0.20 0.20 0.20 0.20", "Albedo = 0.20 1.20 0.20 0.20 0.20"), 29,
     ["Albedo = 1.2"]),
    ("landuse_z0", spoil_control("Z0 = 0.02 0.05 0.10 0.10 0.02", "Z0 = 0.02 -0.05 0.10 0.10 0.02"), 29,
     ["Z0 = -0.05"]),
    ("landuse_cover", spoil_control("VCF = 0.8 0.9 0.95 0.95 0.8", "VCF = 0.8 1.2 0.95 0.95 0.8"), 29,
     ["VCF = 1.2"]),
    ("landuse_root_depth", spoil_control("RootDepth = 0.2 0.3 0.4 0.4 0.2", "RootDepth = 0.2 -0.3 0.4 0.4 0.2"),
     29, ["RootDepth = -0.3"]),
    ("landuse_rsc_nan", spoil_control("rsc = 80 60 60 60 80", "rsc = 80 nan 60 60 80"), 29,
     ['key "rsc" needs 5 values']),
    ("landuse_interception", spoil_control("IntercepCap = 0.3;", "IntercepCap = -0.3;"), 29,
     ["IntercepCap = -0.3"]),
    # Routing, reservoir and abstraction.
    ("routing_area", spoil_control("L = 9536, AE = 492)", "L = 9536, AE = -492)"), 17,
     ["TG 3, channel of OL 1: AE = -492 is not valid", "control file control.txt, line "]),
    ("routing_kh", spoil_control("OL 1 (kh = 0.20", "OL 1 (kh = -0.20"), 17, ["kh = -0.2"]),
    ("routing_twice", spoil_control("OL 2 (kh", "OL 1 (kh"), 41,
     ["subbasin 1 is listed twice as a tributary of subbasin 3"]),
    ("routing_qmin", spoil_control("1 1000 20 12\tqmin", "2000 1000 20 12\tqmin"), 17, ["qmin"]),
    ("reservoir_start_volume", spoil_control("V0 = 45e6", "V0 = 45e9"), 35,
     ["V0 = 45000000000 [m3] lies above the largest volume"]),
    ("abstraction_share", spoil_control("abstraction_1.txt 1.0 0.5 0.5 m3/s", "abstraction_1.txt 1.0 1.5 0.5 m3/s"),
     17, ["the share 1.5 of abstraction 1 has to lie within 0 ... 1"]),
    ("rule_negative", spoil_control("55e6  15   8", "55e6  15   -8"), 34, ["is negative"]),
    # Snow.
    ("snow_c0", spoil_control("2.5       C0:", "-2.5      C0:"), 17,
     ["C0 for snow_model: -2.5 (control file control.txt, line ", "a melt factor has to be 0 or more"]),
    ("snow_cwh", spoil_control("0.1       CWH:", "1.5       CWH:"), 17, ["CWH for snow_model: 1.5"]),
    ("snow_transzone", spoil_control("1.0       transzone:", "-1.0      transzone:"), 17,
     ["transzone for snow_model: -1"]),
    ("snow_albedo", spoil_control("0.9       ALBsnow_max", "1.9       ALBsnow_max"), 17,
     ["ALBsnow_max for snow_model: 1.9"]),
    # Soil model's subbasin table.
    ("soil_kelsqd", spoil_control("5 5 5   kelsqd", "5 -5 5   kelsqd"), 10,
     ["kelsqd[2] = -5 in the section [unsatzon_model] (control file control.txt, line ",
      "a storage constant has to be 0 or more"]),
    ("soil_kelsqi_nan", spoil_control("48 48 48   kelsqi", "48 48 nan   kelsqi"), 10,
     ["error reading kelsqi[3] for unsatzon_model", "(control file control.txt, line "]),
    ("soil_channel_density",
     spoil_control("0.0015 0.0015 0.0015   channel", "-0.0015 0.0015 0.0015   channel"), 10,
     ["channel network density[1] = -0.0015"]),
    ("soil_snowrunoff", spoil_control("0 0 0   SnowRunoff_fraction", "0 1.5 0   SnowRunoff_fraction"), 10,
     ["SnowRunoff_fraction[2] = 1.5"]),
    ("soil_section_missing",
     cut_section("[unsatzon_model]", "storage.ftz   storage content file\n"), 33,
     ["the surface routing routes the runoff of the soil model, which is off: the section [unsatzon_model] is "
      "missing in the control file control.txt"]),
    # Groundwater.
    ("gw_k_hole", spoil_grid_cell("gw_k.asc", "-9999"), 33,
     [lambda d: grid_cell_text(d, "gw_k_x_1")[0], lambda d: grid_cell_text(d, "gw_k_x_1")[1],
      "holds no value (nodata)"]),
    ("gw_k_zero", spoil_grid_cell("gw_k.asc", "0"), 33,
     [lambda d: grid_cell_text(d, "gw_k_x_1")[1], "holds 0", "a hydraulic conductivity has to be above 0"]),
    ("river_bed_leakage", spoil_control("kolmation.asc kolmation 0 4e-6", "kolmation.asc kolmation 0 -4e-6"), 33,
     ["the grid kolmation", "holds -4e-06", "a river cell of the basin"]),
    # Legal inputs: the run goes on.
    ("station_missing_day", station_missing_on_day("temperature.dat", 3), 0, []),
    ("stations_all_missing_day", station_missing_on_day("precipitation.dat", 3, True), 0,
     ["precipitation: no valid station value in ./precipitation.dat for 3.1.2015 1 h"]),
    ("partial_last_day", spoil_control("24        end hour\n7         end day", "12        end hour\n7         end day"),
     0, []),
    # Station values: the nodata marker (+-9999 with the section's 9999) is
    # missing, the other stations serve the hour; a negative precipitation has
    # no meaning; cells beyond the search radius of every station are missing.
    ("precipitation_9999", both(station_value("precipitation.dat", 1, 18, 1, "9999"),
                                spoil_control("precipitation.stat 4024", "precipitation.stat 4001")), 0, [],
     {"check": precipitation_within_stations(1, 18, 1)}),
    ("precipitation_minus_9999", both(station_value("precipitation.dat", 1, 18, 1, "-9999"),
                                      spoil_control("precipitation.stat 4024", "precipitation.stat 4001")), 0, [],
     {"check": precipitation_within_stations(1, 18, 1)}),
    ("precipitation_negative", station_value("precipitation.dat", 1, 18, 1, "-5"), 49,
     ["error reading ./precipitation.dat, line 23 (precipitation): station 1 of 6 (x 69500, y 129500) holds -5"]),
    ("precipitation_radius", spoil_control("100000    maximum distance (m)\n0.0       anisotropy slope\n"
                                           "1.0       anisotropy ratio\n0         lower limit\n200 ",
                                           "5000      maximum distance (m)\n0.0       anisotropy slope\n"
                                           "1.0       anisotropy ratio\n0         lower limit\n200 "), 0,
     [beyond_radius_text(5000)], {"check": daily_sums_missing_beyond(5000)}),
    ("precipitation_gap_day", station_missing_on_day("precipitation.dat", 3, True), 0,
     ["the grid precipitation holds no value in 1129 of 1129 basin cells from 3.1.2015 1 h on",
      "the grid precipitation holds a value in every basin cell again from 4.1.2015 1 h on"],
     {"check": lambda d: "" if [r[-1] for r in stat_rows(d, "precipitation.stat") if r[2] == 3] == [-9999] else
      "precipitation.stat holds no missing value for 3 January, when no station measured"}),
]


def run_case(args, base, case, np):
    name, edit, code, texts = case[:4]
    options = case[4] if len(case) > 4 else {}
    d = os.path.join(args.work, "%s_np%d" % (name, np))
    shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(base, d)
    problem = edit(d)
    if problem:
        return name, problem
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_hwloc_base_binding_policy="none", OMP_WAIT_POLICY="passive")
    # The limit only ends a run that hangs; a week of the example takes seconds.
    try:
        r = subprocess.run([args.mpirun, "--oversubscribe", "-np", str(np), args.fluvex, "control.txt"], cwd=d, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=args.limit)
    except subprocess.TimeoutExpired:
        return name, "still running after %d s" % args.limit
    output = r.stdout.decode(errors="replace")
    diags = ""
    for f in sorted(os.listdir(d)):
        if re.match(r"Fluvex_Diag_\d+\.xml$", f):
            diags += open(os.path.join(d, f), errors="replace").read()
    # The console copy of a message can be lost when an instance ends the
    # others at once (mpirun drops what it has not forwarded yet); the
    # diagnostics files keep it, with the quotes and brackets written as
    # XML entities.
    everything = output + html.unescape(diags)
    failures = []
    if r.returncode != code:
        failures.append("exit code %d, expected %d" % (r.returncode, code))
    for t in texts:
        t = t(d) if callable(t) else t
        if t not in everything:
            failures.append("no text \"%s\"" % t)
    if "$$$" in everything:
        failures.append("names control.txt.$$$")
    # FATAL entries stand in the diagnostics files as lines of level 0; the
    # program's own report of the code it ends with follows them.
    fatal = [l for l in re.findall(r'<line level="0" description= "([^\n]*)"/>', diags)
             if not re.match(r"(exceptions in |Exception \d+ caught|Program aborted)", l)]
    if code != 0 and not fatal:
        failures.append("no FATAL entry")
    if code == 0:
        if fatal:
            failures.append("a FATAL entry in a run that went on: " + fatal[0])
        out = os.path.join(d, "out")
        for f in sorted(os.listdir(out)):
            path = os.path.join(out, f)
            if not os.path.isfile(path):
                continue
            text = open(path, "rb").read().decode(errors="replace").lower()
            if re.search(r"(?<![a-z_])(-?nan|-?inf)(?![a-z_])", text):
                failures.append("%s holds a value that is no number" % f)
        stats = [f for f in os.listdir(out) if f.endswith(".stat")]
        if not stats:
            failures.append("no statistics written")
        if name == "partial_last_day":
            # The last day ends at 12 h: the daily files mark their last line partial.
            marked = [f for f in stats if "# partial: 12 of 24 steps" in open(os.path.join(out, f)).read()]
            if not marked:
                failures.append("no daily statistics file marks the last 12 hours partial")
        if "check" in options:
            wrong = options["check"](d)
            if wrong:
                failures.append(wrong)
    if failures:
        tail = "\n".join(output.splitlines()[-15:])
        return name, "; ".join(failures) + "\n--- end of its output:\n" + tail
    if not args.keep:
        shutil.rmtree(d, ignore_errors=True)
    return name, ""


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--fluvex", required=True)
    p.add_argument("--mpirun", required=True)
    p.add_argument("--example", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--jobs", type=int, default=4)
    p.add_argument("--cases", default="")
    p.add_argument("--limit", type=int, default=600)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()

    base = os.path.join(args.work, "base")
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    for f in os.listdir(args.example):
        if os.path.isfile(os.path.join(args.example, f)):
            shutil.copy(os.path.join(args.example, f), base)
    made = subprocess.run([sys.executable, "make_inputs.py", "."], cwd=base, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    if made.returncode != 0:
        print(made.stdout.decode(errors="replace"))
        return 2
    if spoil_control(*WEEK)(base):
        print("the example's end date is not in its control.txt")
        return 2
    os.makedirs(os.path.join(base, "out"), exist_ok=True)

    runs = [(c, np) for c in CASES if re.search(args.cases, c[0])
            for np in (c[4].get("np", (2,)) if len(c) > 4 else (2,))]
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        results = list(pool.map(lambda r: run_case(args, base, *r), runs))
    results = [("%s on %d" % (n, np), why) for (n, why), (_, np) in zip(results, runs)]
    failed = [(n, why) for n, why in results if why]
    for n, why in results:
        print("%-32s %s" % (n, "ok" if not why else "FAILED"))
    for n, why in failed:
        print("\n== %s: %s" % (n, why))
    print("\n%d of %d spoiled copies ended as expected" % (len(results) - len(failed), len(results)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
