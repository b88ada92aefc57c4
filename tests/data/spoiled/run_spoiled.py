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
                   [--jobs 4] [--cases <regex>] [--shard k/n] [--legal-days n] [--keep]

Exit 0 when every case ends as expected; otherwise each failed case is
listed with what it ended with.
"""
import argparse
import fcntl
import html
import os
import re
import shutil
import subprocess
import sys
import time
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
    """The basin cells of zones.asc whose point (the centre, where the
    interpolation takes a cell) lies farther than distance from every
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
            x = x0 + (c + 0.5) * size
            y = y0 + (len(rows) - r - 0.5) * size
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


def edits(*steps):
    """Several edits of one copy, in order; the first problem ends them."""
    def edit(d):
        for step in steps:
            problem = step(d)
            if problem:
                return problem
        return ""
    return edit


def case_edit(name, before, after):
    """The edit of the case name, with before in its control file made after."""
    return lambda d: next(c[1] for c in CASES if c[0] == name)(d) or spoil_control(before, after)(d)


def read_grid(path):
    """The rows of an ASCII grid (after its six header lines), as lists of numbers."""
    lines = [l for l in open(path).read().split("\n") if l.strip()]
    return [[float(v) for v in l.split()] for l in lines[6:]]


def landuse_cells(d, code):
    """Row and column (0-based) of the basin's cells of the land use code."""
    zones, landuse = read_grid(os.path.join(d, "zones.asc")), read_grid(os.path.join(d, "landuse.asc"))
    return [(r, c) for r, row in enumerate(landuse) for c, v in enumerate(row)
            if v == code and zones[r][c] > -9999]


def control_point_on_landuse(code):
    """The soil model's control point (other.txt: the cell's land-use values each step) on the
    first basin cell of the land use."""
    def edit(d):
        r, c = landuse_cells(d, code)[0]
        return spoil_control("0 0     no control point", "%d %d     control point" % (r + 1, c + 1))(d)
    return edit


def point_values(d, column):
    """The values of a column (by its header name) of the control point's out/other.txt."""
    lines = [l.split("\t") for l in open(os.path.join(d, "out", "other.txt")).read().split("\n") if l.strip()]
    i = lines[0].index(column)
    return [float(l[i]) for l in lines[1:]]


def point_always(column, value):
    def check(d):
        wrong = [v for v in point_values(d, column) if abs(v - value) > 1e-9]
        if wrong:
            return "%s of the control point is %g in %d steps, expected %g" % (column, wrong[0], len(wrong), value)
        return ""
    return check


def hourly_series(name, header, value):
    """Writes name: one line per hour of January 2015 with value (a table of
    year, month, day, hour and one value)."""
    def edit(d):
        lines = [header] + ["2015 1 %d %d %s" % (day, h, value) for day in range(1, 32) for h in range(1, 25)]
        open(os.path.join(d, name), "w").write("\n".join(lines) + "\n")
        return ""
    return edit


def hourly_series_until(name, header, value, last_day, skip=None):
    """Writes name as hourly_series does, up to the end of the given day of
    January, leaving out the hour skip ((day, hour)) when given."""
    def edit(d):
        lines = [header] + ["2015 1 %d %d %s" % (day, h, value) for day in range(1, last_day + 1)
                            for h in range(1, 25) if (day, h) != skip]
        open(os.path.join(d, name), "w").write("\n".join(lines) + "\n")
        return ""
    return edit


def table_rows(d, name, first=3):
    """The numbers of out/<name> (a reservoir or abstraction table) below its three header lines."""
    rows = []
    for line in open(os.path.join(d, "out", name)).read().split("\n")[first:]:
        if line.split():
            rows.append([float(w) for w in line.split()])
    return rows


ARGS = None


def compared_with(reference_edit, compare):
    """A check that runs a second copy of the example with reference_edit on
    the same instance count and hands the routed discharge of both (lists of
    rows) to compare, which returns what is wrong ("" when nothing)."""
    return with_reference(reference_edit,
                          lambda d, ref: compare(stat_rows(d, "discharge.stat"), stat_rows(ref, "discharge.stat")))


def legal_days(d):
    """With --legal-days, a legal copy that runs the example's week (and its
    reference) ends after that many days instead."""
    if ARGS.legal_days:
        path = os.path.join(d, "control.txt")
        text = open(path).read()
        open(path, "w").write(text.replace("24        end hour\n7         end day",
                                           "24        end hour\n%-9d end day" % ARGS.legal_days, 1))


def with_reference(reference_edit, compare):
    """A check that runs a second copy of the example with reference_edit on
    the same instance count and hands both folders to compare, which returns
    what is wrong ("" when nothing)."""
    def check(d):
        np = int(re.search(r"_np(\d+)$", d).group(1))
        ref = d + "_reference"
        shutil.rmtree(ref, ignore_errors=True)
        shutil.copytree(os.path.join(ARGS.work, "base"), ref)
        problem = reference_edit(ref)
        if problem:
            return "reference: " + problem
        legal_days(ref)
        code, output = run_fluvex(ARGS, ref, np)
        if code != 0:
            return "the reference run ended with %d:\n%s" % (code, "\n".join(output.splitlines()[-10:]))
        wrong = compare(d, ref)
        if not ARGS.keep:
            shutil.rmtree(ref, ignore_errors=True)
        return wrong
    return check


def outlet_shifted_by(shift, unless_below=0.0):
    """The outlet (last column, m3/s) differs from the reference's by shift in
    every line whose reference outlet is at least unless_below; every other
    column is equal."""
    def compare(rows, ref):
        if len(rows) != len(ref) or not rows:
            return "%d lines of routed discharge against %d of the reference" % (len(rows), len(ref))
        for a, b in zip(rows, ref):
            for k in range(4, len(a) - 1):
                if abs(a[k] - b[k]) > 1e-5 * max(1.0, abs(b[k])):
                    return "column %d of %s: %g, the reference %g" % (k + 1, a[:4], a[k], b[k])
            if b[-1] >= unless_below and abs(a[-1] - b[-1] - shift) > 1e-3:
                return "outlet of %s: %g, the reference %g: not %+g m3/s apart" % (a[:4], a[-1], b[-1], shift)
        return ""
    return compare


def same_volumes_within(low, high):
    def check(d):
        for row in table_rows(d, "reservoir_1.txt"):
            if not low <= row[6] <= high:
                return "reservoir volume %g at %s (inflow %g m3/s): not within %g ... %g" % (row[6], row[:4], row[9],
                                                                                          low, high)
        return ""
    return check


def interception_full(capacity):
    """Every basin cell of land use k holds capacity[k] mm on its leaves at the end (out/si.asc)."""
    def check(d):
        storage = read_grid(os.path.join(d, "out", "si.asc"))
        for code, expected in capacity.items():
            cells = landuse_cells(d, code)
            wrong = [storage[r][c] for r, c in cells if abs(storage[r][c] - expected) > 1e-6]
            if not cells or wrong:
                return "land use %d: %d of %d cells do not hold %g mm, e.g. %g" % (
                    code, len(wrong), len(cells), expected, wrong[0] if wrong else 0)
        return ""
    return check


def interception_takes_snow_outflow(d):
    """The leaves take the water that leaves the snow cover (the interception
    runs after the snow): the week's throughfall, interception evaporation and
    the water held on the leaves at the end (basin means, mm) add up to the
    snow cover's outflow, which in the first week of January is a quarter of
    the precipitation."""
    def week(name):
        return sum(r[-1] for r in stat_rows(d, name))
    zones, held = read_grid(os.path.join(d, "zones.asc")), read_grid(os.path.join(d, "out", "si.asc"))
    cells = [held[r][c] for r, row in enumerate(zones) for c, v in enumerate(row) if v > -9999]
    taken = week("throughfall.stat") + week("ei.stat") + sum(cells) / len(cells)
    outflow = week("snowoutflow.stat")
    if abs(taken - outflow) > 2e-3:
        return "throughfall, interception evaporation and leaf storage %.4f mm, snow outflow %.4f mm, " \
               "precipitation %.4f mm" % (taken, outflow, week("precipitation.stat"))
    return ""


# Glacier cells (row, column from 1; 2 firn, 1 ice) on the highest ground of subbasins 1 and 2.
GLACIER_CELLS = ((6, 22, 2), (7, 22, 1), (11, 25, 1), (39, 11, 1))


def static_glaciers(d):
    """The ice and firn grid of GLACIER_CELLS, the glacier section (degree-day
    method 1) and the point output of the precipitation, the snowfall and the
    rain at those cells every step (out/glacierpoints.txt)."""
    zones = [l for l in open(os.path.join(d, "zones.asc")).read().split("\n") if l.strip()]
    grid = zones[:6]
    for r, row in enumerate(zones[6:], 1):
        kinds = {c: k for rr, c, k in GLACIER_CELLS if rr == r}
        grid.append(" ".join(str(kinds.get(c, 0)) if float(v) > -9999 else "-9999"
                             for c, v in enumerate(row.split(), 1)))
    open(os.path.join(d, "ice_firn.asc"), "w").write("\n".join(grid) + "\n")
    # Cell centres: 1 km cells, lower-left corner (49000, 56000), 84 rows.
    xs = ", ".join(str(49000 + (c - 0.5) * 1000) for r, c, k in GLACIER_CELLS)
    ys = ", ".join(str(56000 + (84 - r + 0.5) * 1000) for r, c, k in GLACIER_CELLS)
    points = "".join("entity { ID = %s; Symbol = %s; Xcoords = %s; Ycoords = %s; }\n" % (name, symbol, xs, ys)
                     for name, symbol in (("precipitation", "P"), ("snow_fraction", "S"), ("rain_fraction", "R")))
    section = ("[ice_firn]\n1         glacier method\n6.0       DDFice\n4.0       DDFfirn\n3.0       DDFsnow\n"
               "2.0       MF\n0.0010    Aice_min\n0.0020    Aice_max\n0.0005    Asnow_min\n0.0010    Asnow_max\n"
               "10        kice_els\n150       kfirn_els\n40        ksnow_els\n0         initial Qice_els\n"
               "0         initial Qfirn_els\n0         initial Qsnow_els\nmfirn.asc\n0\nqfirn.stat 0\nmice.asc\n0\n"
               "qice.stat 0\nqglac.stat 0\n\n")
    return edits(spoil_control("10        number of standard grids\n",
                               "11        number of standard grids\n"
                               "$inpath//ice_firn.asc ice_firn fillcode = 0 readcode = 1\n"),
                 spoil_control("[special_output]\n0\n$step\n",
                               section + "[special_output]\n1\n$step\nnumfiles = 1;\n{\n"
                               "filename = glacierpoints.txt; header = points;\n" + points + "}\n"))(d)


def glaciers_take_precipitation(d):
    """Ice has no canopy: each glacier cell's snowfall and rain add up to its
    precipitation over the run (with the interception run before the snow too)."""
    rows = [l.split() for l in open(os.path.join(d, "out", "glacierpoints.txt")).read().split("\n")]
    n = len(GLACIER_CELLS)
    rows = [[float(w) for w in r] for r in rows if len(r) == 4 + 3 * n and r[0] == "2015"]
    for k, (r, c, kind) in enumerate(GLACIER_CELLS):
        p, snow, rain = (sum(row[4 + j * n + k] for row in rows) for j in range(3))
        if p < 1 or abs(snow + rain - p) > 1e-4 * p:
            return "glacier cell (%d, %d): snowfall %g mm and rain %g mm of precipitation %g mm in %d steps" % (
                r, c, snow, rain, p, len(rows))
    return ""


def passes_inflow(volume):
    def check(d):
        for row in table_rows(d, "reservoir_1.txt"):
            if abs(row[6] - volume) > 1e-5 * volume or abs(row[12] - row[9]) > 1e-5 * max(1.0, row[9]):
                return "at %s volume %g, inflow %g, outflow %g m3/s: not passing the inflow at %g m3" % (
                    row[:4], row[6], row[9], row[12], volume)
        return ""
    return check


def all_of(*checks):
    def check(d):
        for c in checks:
            wrong = c(d)
            if wrong:
                return wrong
        return ""
    return check


def abstracted(value):
    def check(d):
        rows = table_rows(d, "abstraction_1.txt")
        if not rows:
            return "no abstraction rows"
        wrong = [r for r in rows if abs(r[4] - value) > 1e-9]
        return "abstraction at %s: %g m3/s, not %g" % (wrong[0][:4], wrong[0][4], value) if wrong else ""
    return check


def grid_cell_text(d, grid):
    r, c = first_basin_cell(d)
    return "the grid %s (" % grid, "in row %d, column %d, a cell of the basin" % (r, c)


def write_basin_grid(name, value_at, outside="-9999"):
    """Writes grid name with the header of zones.asc: value_at(row, column)
    in the cells of the basin (1 = top, left), outside elsewhere."""
    def edit(d):
        lines = [l for l in open(os.path.join(d, "zones.asc")).read().split("\n") if l.strip()]
        header = [l for l in lines if l.split()[0][0].isalpha()]
        rows = [l.split() for l in lines if not l.split()[0][0].isalpha()]
        out = list(header)
        for r, row in enumerate(rows, 1):
            out.append(" ".join(str(value_at(r, c)) if float(v) > -9999 else outside
                                for c, v in enumerate(row, 1)))
        open(os.path.join(d, name), "w").write("\n".join(out) + "\n")
        return ""
    return edit


def basin_grid(name, value):
    """Writes the grid name: value in every cell of the basin."""
    return write_basin_grid(name, lambda r, c: value)


def grid_values(d, name):
    """The rows of the grid out/<name> (row 1 at the top) as lists of numbers."""
    lines = open(os.path.join(d, "out", name)).read().split("\n")
    return [[float(w) for w in l.split()] for l in lines if l.strip() and not l.split()[0][0].isalpha()]


# The soil model's baseflow grid (its exchange with the groundwater model,
# mm in the last step), written at the end of the run.
WRITE_BASEFLOW = spoil_control("uzgrid18.asc\n0\n", "uzgrid18.asc\n3\n")


def first_cell_closed(d):
    """The first cell of the basin exchanges no groundwater with its
    neighbours (its baseflow is 0), while the groundwater flows elsewhere."""
    r, c = first_basin_cell(d)
    rows = grid_values(d, "uzgrid18.asc")
    if abs(rows[r - 1][c - 1]) > 1e-9:
        return "the closed cell exchanges %g mm of groundwater" % rows[r - 1][c - 1]
    if not any(abs(v) > 1e-6 for row in rows for v in row if v > -9999):
        return "no cell exchanges groundwater"
    return ""


def groundwater_flows(d):
    """Layer 1's thickness is the soil column's whatever the grid held: the groundwater flows."""
    moving = sum(1 for row in grid_values(d, "uzgrid18.asc") for v in row if v > -9999 and abs(v) > 1e-6)
    return "" if moving > 100 else "the groundwater flows in %d cells only" % moving


def no_river_exchange(d):
    """No water leaves the soil for the rivers: gwex.stat holds 0 in every zone and day."""
    rows = stat_rows(d, "gwex.stat")
    if not rows:
        return "gwex.stat holds no day"
    wrong = [row for row in rows if any(v != 0 for v in row[4:])]
    return "gwex.stat: %s" % wrong[0] if wrong else ""


def table_rises(d):
    """Groundwater rising into the columns: the table of every subbasin stands
    higher at the end of the week than after its first day."""
    rows = stat_rows(d, "gwstand.stat")
    if len(rows) < 7:
        return "gwstand.stat holds %d days" % len(rows)
    if not all(b > a for a, b in zip(rows[0][4:], rows[-1][4:])):
        return "the table did not rise: %s, then %s" % (rows[0][4:], rows[-1][4:])
    return ""


def storage_constant_kept(d):
    """The state file holds the direct runoff's storage constants in minutes: 5 h and 0.06 min."""
    for f in sorted(os.listdir(os.path.join(d, "out"))):
        if f.startswith("storage.ftz"):
            for line in open(os.path.join(d, "out", f)).read().split("\n"):
                if line.endswith("(kelsqd in min)"):
                    values = [float(w) for w in line.split()[:3]]
                    return "" if values == [300, 0.06, 300] else "kelsqd in min: %s" % values
    return "no storage constants in the state file"


def no_control_files(d):
    out = os.listdir(os.path.join(d, "out"))
    written = [f for f in ("theta.txt", "hhyd.txt", "gwcontrol.txt") if f in out]
    return "control point files written: %s" % written if written else ""


# A warm start: the copy runs its first day and writes its state, which the
# second run reads.
# The state of the snow, the leaves and the surface flow, which a warm start reads with the soil's.
STATE = ("ssolid.asc", "sliquid.asc", "stotal.asc", "sdays.asc", "sage.asc", "si.asc", "si_Layer_1.asc", "srvelocity.stk")


def warm_start_state(d):
    text = open(os.path.join(d, "control.txt")).read()
    for k in (3, 4, 5, 7, 8, 13, 18):
        text = text.replace("uzgrid%d.asc\n0\n" % k, "uzgrid%d.asc\n3\n" % k)
    for f in STATE:
        text = text.replace(f + "\n0\n", f + "\n3\n")
    open(os.path.join(d, "control.txt"), "w").write(text)
    return spoil_control("24        end hour\n7         end day", "24        end hour\n1         end day")(d)


def warm_start_from_state(d):
    out = os.path.join(d, "out")
    for f in os.listdir(out):
        if f.startswith("uzgrid") or f.startswith("storage.ftz") or f in STATE:
            shutil.move(os.path.join(out, f), os.path.join(d, f))
    return edits(*[spoil_control("0" + s, "1" + s) for s in (
        "       read control parameter for storage grids", "         readgrid: the snow cover starts empty",
        "         read control parameter for storage grids (1: a warm start reads the velocities")],
        spoil_control("per leaf area (mm)\n0\n", "per leaf area (mm)\n1\n"))(d)


def warm_start_velocity_state(d):
    """The first run writes the surface routing's velocities at its end too."""
    return spoil_control("srvelocity.stk\n0\n", "srvelocity.stk\n3\n")(d) or warm_start_state(d)


def warm_start_from_velocities(stack="srvelocity.stk"):
    """The warm start reads the surface routing's velocities (its own read
    parameter 1) from the stack of the first run's out/ named stack."""
    def edit(d):
        failed = warm_start_from_state(d)
        if stack != "srvelocity.stk" and os.path.exists(os.path.join(d, stack)):
            shutil.copy(os.path.join(d, stack), os.path.join(d, "srvelocity.stk"))
        return failed
    return edit


def velocity_cell_missing(d):
    """The velocity towards direction 3 of the first cell of the basin in the
    warm start's velocity stack (ASCII: 12 header lines, then the 10 levels
    of each cell row by row) is missing."""
    path = os.path.join(d, "srvelocity.stk")
    lines = open(path).read().split("\n")
    for i in range(12, len(lines) - 10, 10):
        if float(lines[i]) > -9999:
            lines[i + 3] = "-9999"
            open(path, "w").write("\n".join(lines))
            return ""
    return "no cell of the basin in srvelocity.stk"


def warm_start_state_with_heads(d):
    """The first run writes the groundwater heads at its end too."""
    return spoil_control("gwhead.asc\n0\n", "gwhead.asc\n3\n")(d) or warm_start_state(d)


def warm_start_from_state_with_heads(d):
    """The warm start reads the groundwater heads of the first run as well."""
    out = os.path.join(d, "out")
    for f in os.listdir(out):
        if f.startswith("gwhead"):
            shutil.move(os.path.join(out, f), os.path.join(d, f))
    return warm_start_from_state(d) or spoil_control("0         grid read parameter",
                                                     "1         grid read parameter")(d)


def warm_start_tracer_state(d):
    """The first run carries a tracer (Nitrate at 5 in the water input) and
    writes its stores at its end too."""
    return (spoil_control("[substance_transport]\n0         number of tracers",
                          "[substance_transport]\n1         number of tracers\nNitrate non_radioactive "
                          "non_evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 2 gwini = 1 statcode = 1001 "
                          "gridcode = 3 path = ./ statext = sta gridext = asc")(d)
            or spoil_control("7         number of variable grids\n",
                             "8         number of variable grids\ncin1.asc concflux_tracer_1_input 0 5\n0\n0\n")(d)
            or warm_start_state(d))


def warm_start_unwritten_tracer_state(d):
    """The first run carries the tracer but its grid code writes no grids."""
    return warm_start_tracer_state(d) or spoil_control("statcode = 1001 gridcode = 3", "statcode = 1001 gridcode = 0")(d)


def warm_start_from_tracer_state(d):
    """The warm start reads the tracer stores of the first run as well."""
    out = os.path.join(d, "out")
    for f in os.listdir(out):
        if f.startswith("nit") and f.endswith(".asc"):
            shutil.move(os.path.join(out, f), os.path.join(d, f))
    return warm_start_from_state(d)


def cut_state(header, keep=0):
    """Cuts every storage content file of the warm start before the line of
    its section header (keep: after that many lines of the section)."""
    def edit(d):
        cut = False
        for f in sorted(os.listdir(d)):
            if not f.startswith("storage.ftz"):
                continue
            lines = open(os.path.join(d, f)).read().split("\n")
            at = [i for i, l in enumerate(lines) if l.startswith(header)]
            if at:
                open(os.path.join(d, f), "w").write("\n".join(lines[:at[0] + keep]) + ("\n" if keep else ""))
                cut = True
        return "" if cut else "no storage content file holds " + header
    return edit


def lake(d):
    """A lake of 3 x 3 cells (rows 14 to 16, columns 14 to 16) in place of the
    reservoir of subbasin 1, 3 m deep, its cells ponding; its read switch 0,
    as the project's lake set-ups write it."""
    inside = lambda r, c: 14 <= r <= 16 and 14 <= c <= 16
    dem = read_grid(os.path.join(d, "dem.asc"))
    top = max(dem[r - 1][c - 1] for r in range(14, 17) for c in range(14, 17)) + 3
    return edits(write_basin_grid("lake_codes.asc", lambda r, c: 1 if inside(r, c) else -9999),
                 write_basin_grid("maxpond.asc", lambda r, c: top - dem[r - 1][c - 1] if inside(r, c) else 0),
                 spoil_control("10        number of standard grids\n",
                               "12        number of standard grids\n"
                               "$inpath//lake_codes.asc lake_codes fillcode = 0 readcode = 1\n"
                               "$inpath//maxpond.asc max_ponding_storage fillcode = 0 readcode = 1\n"),
                 spoil_control("0         ponding\n", "1         ponding\n"),
                 spoil_control("0         no ponds", "1         ponds: the lake cells pond"),
                 spoil_control("[special_output]\n",
                               "[lake_model]\n1\tflow control parameter for\n1\tinitialization method for\n"
                               "0.05\tAlbedo_OpenWater for\n0.001\tz0_OpenWater for\n0\treadgrids for\n\n"
                               "[special_output]\n"))(d)


def cut_control_after(text):
    """Ends control.txt with the line that holds text, as a copy cut off."""
    def edit(d):
        path = os.path.join(d, "control.txt")
        content = open(path).read()
        a = content.find(text)
        if a < 0:
            return "not in control.txt: " + text
        open(path, "w").write(content[:content.index("\n", a) + 1])
        return ""
    return edit


def station_data_until_day(day):
    """The station files (*.dat) end with the given day of January."""
    def edit(d):
        for f in os.listdir(d):
            if not f.endswith(".dat"):
                continue
            out = []
            for line in open(os.path.join(d, f)).read().split("\n"):
                w = line.split()
                if len(w) > 3 and w[0].isdigit() and (int(w[1]), int(w[2])) > (1, day):
                    break
                out.append(line)
            open(os.path.join(d, f), "w").write("\n".join(out) + "\n")
        return ""
    return edit


def last_day_of(name, day):
    """The daily statistics file name ends with the given day of January."""
    def check(d):
        rows = stat_rows(d, name)
        if not rows or rows[-1][1:3] != [1, day]:
            return "%s ends with %s, not with %d January" % (name, rows[-1][:4] if rows else "no line", day)
        return ""
    return check


# Silting-up (the example's land use 1 tilled in July, with little cover):
# the section up to its readgrid line and the method's own lines.
SILTING = ("[SiltingUpModel]\n1\n$step\n%d        method\nsdisp.stat 0\nqdsu.stat 4024\nsdisp.asc\n0\n"
           "rainpause.asc\n0\nekin.asc\n0\ntsbb.asc\n0\nqdsu.asc\n0\n1 2 3     RainPause table: subbasin codes\n"
           "0.25 0.25 0.25   minimum rain pause (d)\n0         readgrid\n%s\n")


def silting_up(method, lines):
    return edits(spoil_control("[SiltingUpModel]\n0\n$step\n", SILTING % (method, lines)),
                 spoil_control("SR_K_ST = 5;\n  JulDays = 15 105 135 258 288;",
                               "SR_K_ST = 5; SoilTillage = 1 180;\n  JulDays = 15 105 135 258 288;"),
                 spoil_control("VCF = 0.8 0.9 0.95 0.95 0.8;", "VCF = 0.1 0.1 0.1 0.1 0.1;"))


# Dynamic glaciers on the first cell of the basin, with the given line of
# maxSnowPackToCreateGlacier and relSizeNewGlacier.
def dynamic_glacier(line53):
    section = ("[ice_firn]\n11         glacier method\n6.0       DDFice (mm/(K day))\n4.0       DDFfirn\n"
               "3.0       DDFsnow\n2.0       MF\n0.0010    Aice_min\n0.0020    Aice_max\n0.0005    Asnow_min\n"
               "0.0010    Asnow_max\n0.001     kice_els (steps)\n0.001     kfirn_els\n0.001     ksnow_els\n"
               "0         initial Qice_els\n0         initial Qfirn_els\n0         initial Qsnow_els\nmfirn.asc\n0\n"
               "qfirn.stat 0\nmice.asc\n0\nqice.stat 0\nqglac.stat 0\nqsnowglac.stat 0\n"
               "0         read grid parameter for glacier model\n"
               "3 515 5            firn_levels, firn_base (m), deltafirnper100m\n"
               "1 10               GMBEvalDay GMBEvalMonth\n"
               "0.01 1.36 2 0      VAscaling VAexponent numElevBands extraWeightFactorBand0\n"
               "firn.stk\n0\nfirnwe.stat 0\ngmb.asc\n0\ngmbold.asc\n0\ngmb1.stat 0\ngmb2.stat 0\n"
               "1.0       global debris scaling factor\nsnownoglac.stat 0\nsgsolid.asc\n0\nsgliquid.asc\n0\n"
               "sgtotal.asc\n0\nsgmelt.asc\n0\nsgsurft.asc\n0\nsgtemp.asc\n0\nsgevap.asc\n0\n" + line53 +
               "\n\n[special_output]\n")

    def edit(d):
        r0, c0 = first_basin_cell(d)
        return edits(
            write_basin_grid("glac_frac.asc", lambda r, c: 1.0 if (r, c) == (r0, c0) else 0.0),
            write_basin_grid("glac_code.asc", lambda r, c: 1 if (r, c) == (r0, c0) else -9999),
            spoil_control("10        number of standard grids\n",
                          "12        number of standard grids\n"
                          "$inpath//glac_frac.asc GlacierizedCells fillcode = 0 readcode = 1\n"
                          "$inpath//glac_code.asc GlacierCodes fillcode = 0 readcode = 1\n"),
            spoil_control("[special_output]\n", section))(d)
    return edit


# Snow method 10 (degree-day with the wind's deposition index) with the
# index of the first cell of the basin given.
def deposition_index(value):
    def edit(d):
        r0, c0 = first_basin_cell(d)
        return edits(
            write_basin_grid("depidx.asc", lambda r, c: value if (r, c) == (r0, c0) else 0),
            spoil_control("1         method: degree-day", "10        method: degree-day with a deposition index"),
            spoil_control("0         readgrid: the snow cover starts empty\n",
                          "0         readgrid: the snow cover starts empty\nstemp.asc\n0\nstemp.stat 0\nsurft.asc\n0\n"
                          "surft.stat 0\ninmass.asc\n0\ninmass.stat 0\nmobmass.asc\n0\nmobmass.stat 0\ndepos.asc\n0\n"
                          "depos.stat 0\n55        maxDepositionSlope (degrees)\n5.0       maxDepositionFactor\n"
                          "0.1       minSlideSlope (degrees)\n0.05      slideMassFrac\n1.0       LWINcorr\n"
                          "1.0       LWOUTcorr\n1.0       EnBalScaling\n"),
            spoil_control("7         number of variable grids\n",
                          "8         number of variable grids\n$inpath//depidx.asc deposition_index 0 0\n0\n1\n"))(d)
    return edit


# Snow method 8 (degree-day with slides, the shares of the four neighbours
# made from values) with the given maxDepositionSlope, and, with capacity,
# the grid max_deposition made from that value (mm).
def snow_slides(slope, capacity=None):
    variable = "".join("sf%d.asc slidefraction%d 0 %s\n0\n0\n" % (k, k, share)
                       for k, share in ((1, 0.2), (2, 0.1), (3, 0.1), (4, 0.6)))
    if capacity is not None:
        variable += "maxdep.asc max_deposition 0 %s\n0\n0\n" % capacity
    return edits(
        spoil_control("1         method: degree-day", "8         method: degree-day with slides"),
        spoil_control("0         readgrid: the snow cover starts empty\n",
                      "0         readgrid: the snow cover starts empty\nstemp.asc\n0\nstemp.stat 0\nsurft.asc\n0\n"
                      "surft.stat 0\ninmass.asc\n0\ninmass.stat 1001\nmobmass.asc\n0\nmobmass.stat 0\ndepos.asc\n0\n"
                      "depos.stat 0\n%s        maxDepositionSlope (degrees)\n5.0       maxDepositionFactor\n"
                      "0.1       minSlideSlope (degrees)\n0.05      slideMassFrac\n1.0       LWINcorr\n"
                      "1.0       LWOUTcorr\n1.0       EnBalScaling\n" % slope),
        spoil_control("7         number of variable grids\n",
                      "%d        number of variable grids\n%s" % (11 if capacity is None else 12, variable)))


def snow_slid(d):
    released = max(row[-1] for row in stat_rows(d, "inmass.stat"))
    return "" if released > 0 else "inmass.stat: no snow slid in the week"


def outlet_water_shifted_by(reference_edit, shift):
    """A check that runs a second copy with reference_edit on the same
    instance count: the water that leaves subbasin 3 in each step, its routed
    discharge (last column of discharge.stat) and its abstraction
    (abstraction_1.txt) together, differs from the reference's by shift
    [m3/s]."""
    def compare(d, ref):
        water = [[r[-1] + a[4] for r, a in zip(stat_rows(x, "discharge.stat"), table_rows(x, "abstraction_1.txt"))]
                 for x in (d, ref)]
        if len(water[0]) != len(water[1]) or not water[0]:
            return "%d steps of outlet water against %d of the reference" % (len(water[0]), len(water[1]))
        for k, (a, b) in enumerate(zip(*water)):
            if abs(a - b - shift) > 1e-3:
                return "step %d: %g m3/s leave subbasin 3, the reference %g: not %+g m3/s apart" % (k + 1, a, b, shift)
        return ""
    return with_reference(reference_edit, compare)


def no_negative_discharge(d):
    for row in stat_rows(d, "discharge.stat"):
        if min(row[4:]) < 0:
            return "a negative routed discharge at %s: %s" % (row[:4], row[4:])
    return ""


def same_grids_as(reference_edit, prefix, count):
    """A check that runs a second copy of the example with reference_edit on
    the same instance count: both write count grids out/<prefix>* (one per
    step), the same names with the same content, and some of them mark a
    cell (a value of 1)."""
    def compare(d, ref):
        names = sorted(f for f in os.listdir(os.path.join(d, "out")) if f.startswith(prefix))
        ref_names = sorted(f for f in os.listdir(os.path.join(ref, "out")) if f.startswith(prefix))
        if names != ref_names or len(names) != count:
            own = sorted(set(names) - set(ref_names))
            return "%d grids %s*, the reference %d (expected %d)%s" % (
                len(names), prefix, len(ref_names), count, ("; not in the reference: " + own[0]) if own else "")
        marked = 0
        for f in names:
            a, b = grid_values(d, f), grid_values(ref, f)
            if a != b:
                return "%s differs from the reference's" % f
            marked += any(v == 1 for row in a for v in row)
        return "" if marked else "no cell marked in any grid %s*" % prefix
    return with_reference(reference_edit, compare)


def line_of(d, text):
    """The number of the first line of control.txt that starts with text."""
    for i, line in enumerate(open(os.path.join(d, "control.txt")).read().split("\n"), 1):
        if line.startswith(text):
            return i
    return 0


# Meteorological sections: copies of a station file, a regression file, a
# section's lines, the diagnostics of a run.
def station_file_copy(name, value):
    """Writes name: precipitation.dat with every record value v of station k (1 = the first) as value(v, k)."""
    def edit(d):
        lines = open(os.path.join(d, "precipitation.dat")).read().split("\n")
        for i in range(5, len(lines)):
            w = lines[i].split()
            if len(w) > 4:
                lines[i] = " ".join(w[:4] + [value(float(v), k) for k, v in enumerate(w[4:], 1)])
        open(os.path.join(d, name), "w").write("\n".join(lines))
        return ""
    return edit


def regression_file(name, values, spoiled=None):
    """Writes name: a text regression file with the eleven values every hour of January 2015, the
    eleven values spoiled[1] in the hour spoiled[0] ((day, hour))."""
    def edit(d):
        lines = ["jr mo tg hh a1 b1 h1 a2 b2 h2 a3 b3 c0 cx cy"]
        for day in range(1, 32):
            for h in range(1, 25):
                v = spoiled[1] if spoiled and (day, h) == spoiled[0] else values
                lines.append("2015 1 %d %d %s" % (day, h, " ".join(str(x) for x in v)))
        open(os.path.join(d, name), "w").write("\n".join(lines) + "\n")
        return ""
    return edit


def in_section(header, before, after):
    """Replaces the first before after the section header of control.txt."""
    def edit(d):
        path = os.path.join(d, "control.txt")
        text = open(path).read()
        a = text.find(header)
        b = text.find(before, a)
        if a < 0 or b < 0:
            return "not in %s of control.txt: %s" % (header, before)
        open(path, "w").write(text[:b] + after + text[b + len(before):])
        return ""
    return edit


def diagnostics_without(text):
    """The run's diagnostics hold no text."""
    def check(d):
        for f in sorted(os.listdir(d)):
            if re.match(r"Fluvex_Diag_\d+\.xml$", f) and text in html.unescape(open(os.path.join(d, f)).read()):
                return "the diagnostics say \"%s\"" % text
        return ""
    return check


def hourly_precipitation(value, spoiled_hour):
    """The basin's hourly precipitation (precipitation.stat hourly) is value in every hour of
    January but the spoiled one ((day, hour)), which is missing."""
    def check(d):
        for r in stat_rows(d, "precipitation.stat"):
            if (int(r[2]), int(r[3])) == spoiled_hour:
                if r[-1] > -9999:
                    return "precipitation of %s: %g mm, expected missing" % (r[:4], r[-1])
            elif abs(r[-1] - value) > 1e-6:
                return "precipitation of %s: %g mm, expected %g" % (r[:4], r[-1], value)
        return ""
    return check


PRECIPITATION_METHOD = "1         method: inverse distance weighting\n$inpath//precipitation.dat"
TEMPERATURE_METHOD = ("10        method: elevation-dependent regression from the station data\n$inpath//temperature.dat\n"
                      "1000 1200 50 0 20    lower inversion, upper inversion, tolerance, overlap, cluster range")
METHOD6 = "6         method: bilinear gradients and residuals\n$inpath//zero.dat\n$inpath//residual.dat"
METHOD12 = "12        method: nearest station with a lapse rate\n$inpath//temperature.dat\n%s"


def RESIDUAL(v, k):
    """Residuals of method 6: a thousandth of the station's precipitation (per m of elevation)."""
    return "%g" % (v / 1000) if -9999 < v < 9999 else "%g" % v


# The radiation correction with terrain shading (method 1), its shading grid
# written every step under a dated name; two days (the sweeps take time).
SHADING = (spoil_control("3         method: slope radiation only", "1         method: shading and slope radiation"),
           spoil_control("shape.asc shading grid\n0 ", "shape.asc shading grid\n2 "),
           spoil_control("7         end day", "2         end day"))


# An inflow line for subbasin 3 (its mode and value in place of %s).
ZL = "ZL 1 (Q = %s, kh = 0.20, kv = 0.61, Bh = 5, Bv = 50, Th = 1, Mh = 30, Mv = 20, I = 0.0005, L = 5000, AE = 10)\n"


# The external program's groundwater table ([ExternalCoupling], one
# instance): the table 0.2 m below the surface of every basin cell, read once
# at the start (period "Y") and kept (rename code 2); the run writes its
# basin's table every hour.
def external_table(depth):
    def edit(d):
        dem = read_grid(os.path.join(d, "dem.asc"))
        open(os.path.join(d, "sem_gw.txt"), "w").write("")
        return edits(write_basin_grid("gwtable.asc", lambda r, c: "%.4f" % (dem[r - 1][c - 1] - depth)),
                     spoil_control("gwstand.stat 2024", "gwstand.stat 2001"),
                     spoil_control("[special_output]\n",
                                   "[ExternalCoupling]\n1         coupling mode\nsem_gw.txt\n100       wait interval\n"
                                   "Y         coupling period\n60        time step of the external model\n"
                                   "1         number external grids (to read)\ngwtable.asc GWTableExtern 0 2\n"
                                   "0         number external grids (to write)\n0         number external Stats\n"
                                   "inform.txt   informing semaphore file\ndone      its content\n\n"
                                   "[special_output]\n"))(d)
    return edit


def table_at(depth):
    """The basin's table of the first hour lies within 0.1 m of the external
    one (the soil finds the table of a layer the external table filled in part
    from its water content, and the hour's rain and baseflow move it), far
    above the example's own (0.4 m on the first day)."""
    def check(d):
        rows = stat_rows(d, "gwstand.stat")
        if not rows:
            return "gwstand.stat holds no hour"
        first = rows[0][-1]
        return "" if abs(first + depth) < 0.1 else "the table of the first hour is %g m, expected %g" % (first, -depth)
    return check


# Mirror images: the basin turned north to south (every grid's rows in the
# opposite order, the stations' y mirrored with them), so that every cell
# finds its neighbours in the mirrored directions (north-east for
# south-east, ...). The slope correction of the radiation is off in both
# runs (north and south slopes swap), and a storm of 30 mm in each of the
# hours 12 and 13 on 3 January on every station puts water on the surface.
def mirrored_north_south(d):
    header = {}
    for f in sorted(os.listdir(d)):
        if not f.endswith(".asc"):
            continue
        lines = [l for l in open(os.path.join(d, f)).read().split("\n") if l.strip()]
        open(os.path.join(d, f), "w").write("\n".join(lines[:6] + lines[6:][::-1]) + "\n")
        if f == "zones.asc":
            header = {l.split()[0].lower(): float(l.split()[1]) for l in lines[:6]}
    # A station's y (the fourth header line) keeps its distance to the point
    # of each cell (its centre, where the stations' values are interpolated):
    # y' = 2 y0 + nrows size - y.
    mirror = 2 * header["yllcorner"] + header["nrows"] * header["cellsize"]
    for f in sorted(os.listdir(d)):
        if not f.endswith(".dat"):
            continue
        lines = open(os.path.join(d, f)).read().split("\n")
        w = lines[3].split() if len(lines) > 4 else []
        if w[:4] != ["YY", "MM", "DD", "HH"]:
            continue
        lines[3] = " ".join(w[:4] + ["%.1f" % (mirror - float(y)) for y in w[4:]])
        open(os.path.join(d, f), "w").write("\n".join(lines))
    return ""


def surface_flow(method):
    """Flowpath method, no slope correction of the radiation, the storm of 3 January."""
    return edits(spoil_control("4         method: one receiver per cell, water levels included", method + " method"),
                 spoil_control("[radiation_correction]\n1\n", "[radiation_correction]\n0\n"),
                 *[station_value("precipitation.dat", 3, h, k, "30") for h in (12, 13) for k in range(1, 7)])


def same_discharge(rows, ref):
    """Every column of the routed discharge equals the reference's within 1e-4 (relative, 1 m3/s at least)."""
    if len(rows) != len(ref) or not rows:
        return "%d lines of routed discharge against %d of the reference" % (len(rows), len(ref))
    for a, b in zip(rows, ref):
        for k in range(4, len(a)):
            if abs(a[k] - b[k]) > 1e-4 * max(1.0, abs(b[k])):
                return "column %d of %s: %g, the reference %g" % (k + 1, a[:4], a[k], b[k])
    return ""


# Heat transfer in the soil (explicit method) with the given line of the
# dry-soil heat capacity and conductivity in place of their defaults.
def heat_transfer(capacity="800", conductivity="0.58"):
    section = ("[heat_transfer]\n1         heat transfer on\n1         method (explicit)\n0\n0\n"
               "12.0      dTModLowBoundBase\n-0.007    dTModLapseRate\n%s       dTModCDrySoil\n"
               "1500      dTModRhoDrySoil\n%s      dTModLamDrySoil\n1e-10     dTModKmin\n0.5562    dTModLamWat\n"
               "2.33      dTModLamIce\n4187      dTModCWater\n1940      dTModCIce20\n2090      dTModCIce0\n"
               "334000    dTModLatHeat\n1000      dTModRhoWater\n1.22      dTModFactor\n0.5       dTModSEForStat\n"
               "60        dTModShortestStep\n1800      dTModLongestStep\n1.0       dTModNFactorFreezing\n"
               "1.0       dTModNFactorThawing\nsoiltemp.txt\nsoiltemp.stat 0\nsoiltemp.stk\n0\nthawdepth.asc\n0\n\n"
               "[special_output]\n") % (capacity, conductivity)
    return spoil_control("[special_output]\n", section)


# The precipitation's post-processing: the lines from the scaling factor's
# value to the scenario switch.
PRECIPITATION_SCALING = "1.0       scaling factor\nprecipitation.stat 4024"
PRECIPITATION_LIMITS = ("0         lower limit\n200       upper limit\n0         replacement below the lower limit\n"
                        "200       replacement above the upper limit\n0         scenarios off\n\n[wind_speed]")


def precipitation_post_processing(scaling, lower, scenario):
    return edits(spoil_control(PRECIPITATION_SCALING, scaling + "       scaling factor\nprecipitation.stat 4024"),
                 spoil_control(PRECIPITATION_LIMITS,
                               lower + "      lower limit\n200       upper limit\n0         replacement below the "
                               "lower limit\n200       replacement above the upper limit\n" + scenario +
                               "\n[wind_speed]"))


def daily_precipitation_within(less):
    """The basin's daily precipitation (precipitation.stat, the last column)
    lies within that of the example less "less" mm and that of the example,
    never below 0, and is less on some day: each hour takes at most less / 24
    from each cell and no cell below 0."""
    def compare(d, ref):
        rows, refs = stat_rows(d, "precipitation.stat"), stat_rows(ref, "precipitation.stat")
        if len(rows) != len(refs) or not rows:
            return "%d days of precipitation against %d of the example" % (len(rows), len(refs))
        for a, b in zip(rows, refs):
            if not (a[-1] >= 0 and b[-1] - less - 1e-3 <= a[-1] <= b[-1] + 1e-3):
                return "precipitation of %s: %g mm, the example's %g mm: not within %g ... %g" % (
                    a[:4], a[-1], b[-1], max(0, b[-1] - less), b[-1])
        return "" if any(a[-1] < b[-1] - 1e-3 for a, b in zip(rows, refs)) else "no day with less precipitation"
    return with_reference(spoil_control("", ""), compare)


def no_precipitation(d):
    wrong = [r for r in stat_rows(d, "precipitation.stat") if r[-1] != 0]
    return "precipitation of %s: %g mm, expected 0" % (wrong[0][:4], wrong[0][-1]) if wrong else ""


def renodata(path, value):
    """Rewrites a grid with another NODATA_value, its missing cells written with it."""
    out = []
    for line in open(path).read().split("\n"):
        w = line.split()
        if w and w[0].lower() == "nodata_value":
            line = "NODATA_value " + value
        elif w and not w[0][0].isalpha():
            line = " ".join(value if x == "-9999" else x for x in w)
        out.append(line)
    open(path, "w").write("\n".join(out))


def grids_nodata(value):
    """Every input grid (*.asc) with another NODATA_value, its missing cells written with it."""
    def edit(d):
        for f in sorted(os.listdir(d)):
            if not f.endswith(".asc"):
                continue
            path = os.path.join(d, f)
            renodata(path, value)
        return ""
    return edit


def same_statistic(name, positive=False, tolerance=1e-6, floor=1e-3):
    """A compare of with_reference: every column of the statistics file name
    equals the reference's within tolerance (relative, of floor at least);
    with positive, the reference's sum is above 0 (the file shows something)."""
    def compare(d, ref):
        rows, want = stat_rows(d, name), stat_rows(ref, name)
        if len(rows) != len(want) or not rows:
            return "%d lines of %s against %d of the reference" % (len(rows), name, len(want))
        if positive and not sum(r[-1] for r in want) > 0:
            return "the reference's %s holds nothing" % name
        for a, b in zip(rows, want):
            if a[:4] != b[:4]:
                return "%s: the line %s against %s of the reference" % (name, a[:4], b[:4])
            for k in range(4, len(a)):
                if not abs(a[k] - b[k]) <= tolerance * max(floor, abs(b[k])):
                    return "column %d of %s %s: %g, the reference %g" % (k + 1, name, a[:4], a[k], b[k])
        return ""
    return compare


def silting_formulas(energy, capacity):
    return silting_up(3, "SiltingUpExpressions {\nX = 10; Y = 2; Z = 0.01; W = %s;\nV = %s;\n}" % (energy, capacity))


# Misreads of numbers, grids and the control file's grammar (issue 84).
def grid_rows(grid, change):
    """Changes the value rows of an ASCII grid: change(index, words) gives the
    new words of the row of that index (0 = the first row)."""
    def edit(d):
        path = os.path.join(d, grid)
        lines = open(path).read().split("\n")
        header = [i for i, l in enumerate(lines) if l.strip() and l.split()[0][0].isalpha()]
        first = header[-1] + 1
        for i in range(first, len(lines)):
            if lines[i].strip():
                lines[i] = " ".join(change(i - first, lines[i].split()))
        open(path, "w").write("\n".join(lines))
        return ""
    return edit


def grid_ncols(d, grid):
    for line in open(os.path.join(d, grid)).read().split("\n"):
        w = line.split()
        if w and w[0].lower() == "ncols":
            return int(w[1])
    return 0


def zones_nodata(value):
    """zones.asc with another NODATA_value, its missing cells written with it
    (the other grids keep -9999)."""
    def edit(d):
        path = os.path.join(d, "zones.asc")
        renodata(path, value)
        return ""
    return edit


def same_statistics(d, ref):
    """Every statistics file of the run equals the reference's (1e-9 relative)."""
    names = sorted(f for f in os.listdir(os.path.join(ref, "out")) if f.endswith(".stat"))
    if not names:
        return "the reference wrote no statistics"
    for name in names:
        wrong = same_statistic(name, tolerance=1e-9, floor=1e-6)(d, ref)
        if wrong:
            return wrong
    return ""


def written_grids_nodata(d):
    """Every ASCII grid the run wrote marks its missing cells with -9999."""
    out = os.path.join(d, "out")
    for f in sorted(os.listdir(out)):
        path = os.path.join(out, f)
        if not os.path.isfile(path):
            continue
        head = open(path, "rb").read(200).decode(errors="replace").lower().split("\n")
        for line in head[:6]:
            w = line.split()
            if w and w[0] == "nodata_value" and float(w[1]) != -9999:
                return "%s is written with NODATA_value %s" % (f, w[1])
    return ""


def spoil_control_bytes(before, after):
    """Like spoil_control, with after given as bytes (control characters, bytes that are no UTF-8)."""
    def edit(d):
        path = os.path.join(d, "control.txt")
        text = open(path, "rb").read()
        if before.encode() not in text:
            return "not in control.txt: " + before
        open(path, "wb").write(text.replace(before.encode(), after, 1))
        return ""
    return edit


def diagnostics_well_formed(d):
    """"" when every diagnostics file parses as XML, else a text that no output holds."""
    import xml.etree.ElementTree as ET
    for f in sorted(os.listdir(d)):
        if re.match(r"Fluvex_Diag_\d+\.xml$", f):
            try:
                ET.parse(os.path.join(d, f))
            except ET.ParseError as e:
                return "(%s is no well-formed XML: %s)" % (f, e)
    return ""


def grammar_variants(d):
    """A byte-order mark before a $set in the first line, "$inpath/zones.asc"
    with one slash, and a comment of 2 000 characters: the example's run."""
    path = os.path.join(d, "control.txt")
    text = open(path).read()
    text = text.replace("$set $inpath  = ./\n", "", 1)
    text = text.replace("$inpath//zones.asc    subbasins", "$inpath/zones.asc    subbasins", 1)
    text = text.replace("[output_list]\n", "# " + "long comment " * 154 + "\n[output_list]\n", 1)
    open(path, "wb").write(b"\xef\xbb\xbf$set $inpath  = ./\n" + text.encode())
    return ""


# name, edit, expected code (0: the run goes on), texts the output must hold
# and, optionally, a dict of further settings:
#   "check": a function of the run directory that returns what is wrong with
#            the results ("" when they show the value's meaning);
#   "np":    the instance counts to run the copy on (default: 1 and 2 for a
#            copy that ends with its error, which it does at set-up; 2 for a
#            copy that runs its week);
#   "first": an edit after which the copy runs once (to exit 0) before the
#            case's own edit (the state of a warm start);
#   "open":  the open issue whose fault the copy still shows: it fails only
#            when the copy ends as expected (the mark goes with the fix).
# A text that is a function of the run directory is computed there.
CASES = [
    # Land-use and soil tables.
    ("soil_ksat_nan", spoil_control("ksat = 2.89e-6 2.89e-6 2.89e-6", "ksat = 2.89e-6 nan 2.89e-6"), 29,
     ["ksat = nan", "control file control.txt, lines"]),
    ("soil_theta_sat", spoil_control("theta_sat = 0.41 0.41 0.41", "theta_sat = 0.41 1.41 0.41"), 29,
     ["theta_sat = 1.41"]),
    ("soil_alpha_zero", spoil_control("alpha = 7.5 7.5 7.5", "alpha = 7.5 7.5 0"), 29, ["alpha = 0"]),
    ("landuse_juldays", spoil_control("JulDays = 15 110 140 280 310", "JulDays = 15 140 110 280 310"), 29,
     ["\"JulDays\": day 110"]),
    ("soil_theta_res", spoil_control("theta_res = 0.067 0.089 0.089", "theta_res = -0.067 0.089 0.089"), 29,
     ["theta_res = -0.067"]),
    ("landuse_albedo", spoil_control("Albedo = 0.20 0.20 0.20 0.20 0.20", "Albedo = 0.20 1.20 0.20 0.20 0.20"), 29,
     ["Albedo = 1.2"]),
    ("landuse_z0", spoil_control("Z0 = 0.02 0.05 0.10 0.10 0.02", "Z0 = 0.02 -0.05 0.10 0.10 0.02"), 29,
     ["Z0 = -0.05"]),
    ("landuse_rsc_nan", spoil_control("rsc = 80 60 60 60 80", "rsc = 80 nan 60 60 80"), 29,
     ['key "rsc" needs 5 values']),
    # Routing, reservoir and abstraction.
    ("routing_area", spoil_control("L = 9536, AE = 492)", "L = 9536, AE = -492)"), 17,
     ["TG 3, channel of OL 1: AE = -492 is not valid", "control file control.txt, line "]),
    # A storage constant not above 0 is one of 0.01 h: a channel without storage.
    ("routing_kh", spoil_control("OL 1 (kh = 0.20", "OL 1 (kh = -0.20"), 0,
     ["TG 3, channel of OL 1: kh = -0.20 is not greater than 0", "takes its default 0.01 (no storage)"],
     {"np": (1, 2), "check": compared_with(spoil_control("OL 1 (kh = 0.20", "OL 1 (kh = 0.01"),
                                           outlet_shifted_by(0.0))}),
    ("routing_twice", spoil_control("OL 2 (kh", "OL 1 (kh"), 41,
     ["subbasin 1 is listed twice as a tributary of subbasin 3"]),
    # Descriptions the reading would leave out, a value without its "=".
    ("routing_blank_line", spoil_control("0\tZeitoffset\n", "0\tZeitoffset\n\n"), 17,
     ["the routing description line \"TG 1 (area = 492, rel = 1)\" (control file control.txt, line ",
      "is not read: the routing descriptions end at the first line"]),
    ("routing_lower_case", spoil_control("TG 1 (area", "tg 1 (area"), 17,
     ["the routing description line \"tg 1 (area = 492, rel = 1)\" (control file control.txt, line "]),
    ("routing_loose_ampersand", spoil_control("OL 1 (kh", "SUMTRIB 1 &2 (kh"), 17,
     ["TG 3, SUMTRIB 1: the \"&\" stands behind the end of the list of codes", "control file control.txt, line "]),
    ("routing_missing_equal", spoil_control("OL 1 (kh = 0.20", "OL 1 (kh 0.20"), 17,
     ["TG 3, channel of OL 1: the number 0.20 stands without \"=\" before it: value 1 of 10 of the line, the "
      "storage constant of the main channel [h], is expected as \"kh = <value>\"", "control file control.txt, line "]),
    ("routing_inflow_twice", spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "constant 5" +
                                           ZL % "constant 1"), 42,
     ["inflow ZL 1 is given twice: routing description 2, control file control.txt, line "]),
    ("routing_qmin", spoil_control("1 1000 20 12\tqmin", "2000 1000 20 12\tqmin"), 17, ["qmin"]),
    # Above the rule's last row a reservoir (no lake) passes its inflow.
    ("reservoir_start_volume", spoil_control("V0 = 45e6", "V0 = 45e9"), 0,
     ["V0 = 45000000000 [m3] lies above the largest volume 60000000", "above it the reservoir passes its inflow"],
     {"np": (1, 2), "check": passes_inflow(45e9)}),
    ("abstraction_share", spoil_control("abstraction_1.txt 1.0 0.5 0.5 m3/s", "abstraction_1.txt 1.0 1.5 0.5 m3/s"),
     17, ["the share 1.5 of abstraction 1 has to lie within 0 ... 1"]),
    ("rule_negative", spoil_control("55e6  15   8", "55e6  15   -8"), 34, ["is negative"]),
    # Routing values that stand for a default or have a meaning of their own.
    ("routing_channel_zero",
     spoil_control("OL 2 (kh = 0.20, kv = 0.61, Bh = 25.2, Bv = 252, Th = 1.97, Mh = 30, Mv = 20, I = 0.0005, L = 9536",
                   "OL 2 (kh = 0, kv = 0, Bh = 0, Bv = 0, Th = 0, Mh = 0, Mv = 0, I = 0, L = 0"), 0,
     ["TG 3, channel of OL 2: kh = 0 is not greater than 0", "kv = 0 is not greater than 0",
      "the width of the flood plains [m] takes its default 0.1", "the slope [1/1] takes its default 0.00099856",
      "L = 0 is not greater than 0: the channel length [m] takes its default 1 "],
     {"np": (1, 2), "check": compared_with(
         spoil_control("OL 2 (kh = 0.20, kv = 0.61, Bh = 25.2, Bv = 252, Th = 1.97, Mh = 30, Mv = 20, I = 0.0005, "
                       "L = 9536", "OL 2 (kh = 0.01, kv = 0.01, Bh = 0.1, Bv = 0.1, Th = 0.1, Mh = 1, Mv = 1, "
                       "I = 0.00099856, L = 1"), outlet_shifted_by(0.0))}),
    ("routing_area_zero", spoil_control("TG 3 (area = 1129,", "TG 3 (area = 0,"), 0,
     ["Basin 3: area in contr.file: 0 <-> zone-grid 1129 (adjusted to the latter)"],
     {"np": (1, 2), "check": compared_with(spoil_control("", ""), outlet_shifted_by(0.0))}),
    # A step of the rule at 45e6 m3, nothing below and 50 m3/s above, holds
    # the reservoir within one sub-step's release (50 m3/s x 300 s) below it.
    ("rule_step", spoil_control("0     0    0\n20e6  1    1\n45e6  6    2\n55e6  15   8\n60e6  100  100\n",
                                "0     0    0\n20e6  0    0\n45e6  0    0\n45e6  50   50\n60e6  50   50\n"), 0, [],
     {"np": (1, 2), "check": same_volumes_within(45e6 - 15000, 45e6)}),
    ("rule_day", spoil_control("5 15 196\n", "5 15 400\n"), 34,
     ["the day 400 of rule column 2 is no day of the year (1 ... 366)", "control file control.txt, line "]),
    ("reservoir_target_cap", spoil_control("60e6  100  100\n", "60e6  100  100\nTargetCap = 0 -2\n"), 0,
     ["for reservoir 1: TargetCap = 0 of column 1", "TargetCap = -2 of column 2",
      "is not above 0: the release of that column has no cap"],
     {"check": compared_with(spoil_control("", ""), outlet_shifted_by(0.0))}),
    # Negative inflows withdraw water, from a constant or a file alike.
    ("inflow_constant_negative", spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "constant -0.5"),
     0, ["TG 3, inflow ZL 1: the constant value -0.5 [m3/s] is negative: the inflow withdraws"],
     {"np": (1, 2), "check": compared_with(spoil_control("L = 9536, AE = 529)\n",
                                                          "L = 9536, AE = 529)\n" + ZL % "constant 0"),
                                            outlet_shifted_by(-0.5, unless_below=3.0))}),
    ("inflow_file_negative", edits(spoil_control("L = 9536, AE = 529)\n",
                                                 "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
                                   hourly_series("inflow.txt", "YY MM DD HH Q", "-0.5")), 0,
     ["inflow ZL 1 of subbasin 3: inflow.txt holds the negative flow -0.500000 [m3/s] for 1.1.2015, 1. h"],
     {"np": (1, 2), "check": compared_with(spoil_control("L = 9536, AE = 529)\n",
                                                          "L = 9536, AE = 529)\n" + ZL % "constant -0.5"),
                                            outlet_shifted_by(0.0))}),
    # A negative value of a from_file abstraction gives that water to the river.
    ("abstraction_from_file_negative",
     edits(spoil_control("mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s",
                         "mode = from_file input_file = series.txt column = 0 output = abstraction_1.txt"),
           hourly_series("series.txt", "YY MM DD HH Q", "-0.3")), 0,
     ["abstraction 1: series.txt holds the negative value -0.300000 [m3/s] for 1.1.2015, 1. h"],
     {"np": (1, 2), "check": all_of(abstracted(-0.3), compared_with(
         edits(spoil_control("mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s",
                             "mode = from_file input_file = series.txt column = 0 output = abstraction_1.txt"),
               hourly_series("series.txt", "YY MM DD HH Q", "0")), outlet_shifted_by(0.3)))}),
    # A negative inflow withdraws its water from the river at the outlet, at
    # most what the river holds (a constant or a file alike); no channel
    # carries negative water, no routed discharge is below 0.
    ("inflow_file_negative_2", edits(spoil_control("L = 9536, AE = 529)\n",
                                                   "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
                                     hourly_series("inflow.txt", "YY MM DD HH Q", "-2")), 0,
     ["inflow ZL 1 of subbasin 3: inflow.txt holds the negative flow -2.000000 [m3/s] for 1.1.2015, 1. h"],
     {"np": (1, 2), "check": all_of(no_negative_discharge, outlet_water_shifted_by(
         edits(spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
               hourly_series("inflow.txt", "YY MM DD HH Q", "0")), -2.0))}),
    ("inflow_file_negative_beyond_river", edits(spoil_control("L = 9536, AE = 529)\n",
                                                              "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
                                                hourly_series("inflow.txt", "YY MM DD HH Q", "-100")), 0,
     ["routing subbasin 3: a negative inflow (ZL) took"], {"check": no_negative_discharge}),
    ("inflow_constant_negative_beyond_river",
     spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "constant -100"), 0,
     ["routing subbasin 3: a negative inflow (ZL) took"], {"check": no_negative_discharge}),
    # Internal inflows and abstractions in the order of routing: an internal
    # inflow described before the subbasin of its abstraction (subbasin 2,
    # which does not drain into subbasin 1) would take the water of the step
    # before; so would a rule's TargetCap that compares with a tributary
    # described after the abstraction. Where the inflow's subbasin drains into
    # the abstraction's (1 into 3) no order helps: a WARNING says so.
    ("internal_inflow_before_abstraction",
     edits(spoil_control("TG 1 (area = 492, rel = 1)\n", "TG 1 (area = 492, rel = 1)\n" + ZL % "intern "),
           spoil_control("TG 3 (area = 1129", "TG 2 (area = 0, rel = 1)\nAL 1 (mode = intern 0 0.5 1 m3/s)\n"
                                             "TG 3 (area = 1129")), 41,
     ["routing description 1 (TG 1) takes its internal inflow ZL 1 from abstraction AL 1 of routing description 2 "
      "(TG 2), which is routed after it: describe subbasin 2 before subbasin 1"]),
    ("internal_inflow_target_cap_before_tributary",
     edits(spoil_control("TG 1 (area = 492, rel = 1)\n", "TG 2 (area = 0, rel = 1)\nAL 1 (mode = intern_with_rule)\n"
                                                         "TG 1 (area = 492, rel = 1)\n"),
           spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "intern "),
           spoil_control("60e6  100  100\n", "60e6  100  100\n\n[abstraction_rule_abstraction_1]\n2\n0 0.5\n"
                                              "1e9 0.5\nTargetCap = 5\n")), 41,
     ["abstraction AL 1 of routing description 1 (TG 2) caps its water by the flow of subbasin 1 (the first "
      "tributary of TG 3, which its internal inflow ZL 1 joins), which routing description 2 (TG 1) routes after it: "
      "describe subbasin 1 before subbasin 2"]),
    # A TargetCap compares the abstraction with the flow of the receiving
    # subbasin's first tributary (subbasin 1, about 5.8 m3/s): a cap of 8 m3/s
    # leaves the rule's 0.5 m3/s, as no cap does.
    ("internal_inflow_target_cap_tributary_area",
     edits(spoil_control("dTmin = 300)\n", "dTmin = 300)\nTG 2 (area = 0, rel = 1)\nAL 1 (mode = intern_with_rule)\n"),
           spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "intern "),
           spoil_control("60e6  100  100\n", "60e6  100  100\n\n[abstraction_rule_abstraction_1]\n2\n0 0.5\n"
                                              "1e9 0.5\nTargetCap = 8\n")), 0, [],
     {"np": (2,), "check": compared_with(
         edits(spoil_control("dTmin = 300)\n", "dTmin = 300)\nTG 2 (area = 0, rel = 1)\nAL 1 (mode = intern_with_rule)\n"),
               spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "intern "),
               spoil_control("60e6  100  100\n", "60e6  100  100\n\n[abstraction_rule_abstraction_1]\n2\n0 0.5\n"
                                                  "1e9 0.5\n")), outlet_shifted_by(0.0))}),
    ("internal_inflow_upstream_of_abstraction",
     edits(spoil_control("TG 1 (area = 492, rel = 1)\n", "TG 1 (area = 492, rel = 1)\n" + ZL % "intern "),
           spoil_control("mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s", "mode = intern 1.0 0.5 0.5 m3/s")), 0,
     ["routing description 1 (TG 1) takes its internal inflow ZL 1 from abstraction AL 1 of routing description 2 "
      "(TG 3), which is routed after it: subbasin 1 flows into subbasin 3, so no order of the descriptions routes "
      "the abstraction first"]),
    # Snow.
    ("snow_c0", spoil_control("2.5       C0:", "-2.5      C0:"), 17,
     ["C0 for snow_model: -2.5 (control file control.txt, line ", "a melt factor has to be 0 or more"]),
    ("snow_cwh", spoil_control("0.1       CWH:", "1.5       CWH:"), 17, ["CWH for snow_model: 1.5"]),
    ("snow_transzone", spoil_control("1.0       transzone:", "-1.0      transzone:"), 17,
     ["transzone for snow_model: -1"]),
    ("snow_albedo", spoil_control("0.9       ALBsnow_max", "1.9       ALBsnow_max"), 17,
     ["ALBsnow_max for snow_model: 1.9"]),
    # Soil model's subbasin table.
    ("soil_kelsqd", spoil_control("5 5 5   kelsqd", "5 -5 5   kelsqd"), 0,
     ["kelsqd[2] = -5 in the section [unsatzon_model] (control file control.txt, line ",
      "is below 0.001 h: the storage constant 0.06 minutes (no delay) is used"],
     {"check": storage_constant_kept, "np": (1, 2)}),
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
    ("gw_k_hole", edits(spoil_grid_cell("gw_k.asc", "-9999"), WRITE_BASEFLOW), 0,
     [lambda d: grid_cell_text(d, "gw_k_x_1")[0], lambda d: grid_cell_text(d, "gw_k_y_1")[0],
      lambda d: "holds no value (nodata) in row %d, column %d, a cell of the basin: its faces" % first_basin_cell(d)],
     {"check": first_cell_closed, "np": (1, 2)}),
    ("gw_k_zero", edits(spoil_grid_cell("gw_k.asc", "0"), WRITE_BASEFLOW), 0, [],
     {"check": first_cell_closed, "np": (1, 2)}),
    ("river_bed_leakage", spoil_control("kolmation.asc kolmation 0 4e-6", "kolmation.asc kolmation 0 -4e-6"), 0,
     ["the grid kolmation (kolmation.asc) holds -4e-06 in row ",
      "a river cell of the basin without a leakage coefficient above 0 exchanges no water with its river"],
     {"check": no_river_exchange, "np": (1, 2)}),
    # Soil and groundwater values with a meaning of their own run with it;
    # conductivities that are negative and a warm start without a state end
    # the run.
    ("soil_qb_rising", edits(spoil_control("0.6 0.6 0.6   QB-Red", "-0.6 -0.6 -0.6   QB-Red"),
                             spoil_control("[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n")), 0,
     ["QB-Red.Faktor[1] = -0.6 in the section [unsatzon_model] (control file control.txt, line 551) is negative: "
      "without the groundwater model it is groundwater rising into the soil column"],
     {"check": table_rises, "np": (1, 2)}),
    ("river_bed_zero", spoil_control("kolmation.asc kolmation 0 4e-6", "kolmation.asc kolmation 0 0"), 0,
     ["the grid kolmation (kolmation.asc) holds 0 in row "], {"check": no_river_exchange, "np": (1, 2)}),
    ("river_bed_missing", spoil_control("kolmation.asc kolmation 0 4e-6", "kolmation.asc kolmation 0 -9999"), 0,
     ["the grid kolmation (kolmation.asc) holds no value (nodata) in row "],
     {"check": no_river_exchange, "np": (1, 2)}),
    # A river bed without depth or width exchanges nothing with its river.
    ("river_depth_negative", spoil_control("$inpath//river_depth.asc river_depth 0 0\n0\n1\n",
                                           "$inpath//river_depth.asc river_depth 0 -1\n0\n0\n"), 0,
     ["the grid river_depth (./river_depth.asc) holds -1 in row ",
      "a river cell of the basin without a depth below the surface above 0 exchanges no water with its river"],
     {"check": no_river_exchange, "np": (1, 2)}),
    ("river_width_zero", spoil_control("$inpath//river_width.asc river_width 0 0\n0\n1\n",
                                       "$inpath//river_width.asc river_width 0 0\n0\n0\n"), 0,
     ["the grid river_width (./river_width.asc) holds 0 in row ",
      "without a width above 0 exchanges no water with its river"],
     {"check": no_river_exchange, "np": (1, 2)}),
    ("gw_layer1_storage_thickness",
     edits(spoil_control("defaultValue = 0.1", "defaultValue = -1"), basin_grid("thick.asc", "-5"),
           spoil_control("$inpath//zones.asc aquifer_thickness_1", "thick.asc aquifer_thickness_1"), WRITE_BASEFLOW),
     0, [], {"check": groundwater_flows, "np": (1, 2)}),
    # Another method number solves no layer (the faces still carry water at
    # the heads of the step's start); maxiter 0 makes one sweep.
    ("gw_method_other", edits(spoil_control("1         method: over-relaxation", "3         method: other"),
                              WRITE_BASEFLOW), 0,
     ["method 3 is neither 1 (over-relaxation) nor 2 (line solver): no layer is solved"],
     {"check": groundwater_flows, "np": (1, 2)}),
    ("gw_maxiter_zero", edits(spoil_control("50        maxiter", "0         maxiter"), WRITE_BASEFLOW), 0, [],
     {"check": groundwater_flows, "np": (1, 2)}),
    # A second layer whose drainable porosity (below its top) is no share.
    ("gw_drainable_porosity_above_one",
     edits(spoil_control("1         number of layers", "2         number of layers"),
           spoil_control("gwbalance.asc\n0\n",
                         "gwbalance.asc\n0\ngwhead2.asc\n3\ngwflowx2.asc\n0\ngwflowy2.asc\n0\ngwbalance2.asc\n0\n"),
           spoil_control("10        number of standard grids\n",
                         "18        number of standard grids\n"
                         "k2.asc gw_k_x_2 fillcode = 0 readcode = 0 defaultValue = 1e-5\n"
                         "k2.asc gw_k_y_2 fillcode = 0 readcode = 0 defaultValue = 1e-5\n"
                         "s2.asc gw_storage_coeff_2 fillcode = 0 readcode = 0 defaultValue = 0.001\n"
                         "sy2.asc gw_drainable_porosity_2 fillcode = 0 readcode = 0 defaultValue = 1.5\n"
                         "t2.asc aquifer_thickness_2 fillcode = 0 readcode = 0 defaultValue = 10\n"
                         "kol.asc gw_kolmation_1 fillcode = 0 readcode = 0 defaultValue = 1e-7\n"
                         "h2.asc gw_boundary_fix_h_2 fillcode = 0 readcode = 0 defaultValue = -9999\n"
                         "q2.asc gw_boundary_fix_q_2 fillcode = 0 readcode = 0 defaultValue = -9999\n")), 33,
     ["the grid gw_drainable_porosity_2", "holds 1.5", "a drainable porosity has to lie within (0 ... 1]"]),
    ("gw_k_negative", spoil_grid_cell("gw_k.asc", "-3e-05"), 33,
     [lambda d: grid_cell_text(d, "gw_k_x_1")[1], "holds -3e-05",
      "a hydraulic conductivity has to be 0 or more (m/s)"]),
    ("soil_clay_ksat", spoil_control("0         clay layer\n1e-8", "1         clay layer\n-1e-6"), 17,
     [" k_sat. for clay  -1e-06 of unsatzon_model (control file control.txt, line ",
      "a saturated conductivity has to be 0 or more (m/s)"]),
    ("soil_permafrost_ksat",
     edits(spoil_control("10        number of standard grids\n",
                         "12        number of standard grids\n"
                         "thawcoeff.asc ThawCoeffPermaFrost fillcode = 0 readcode = 0 defaultValue = 0.05\n"
                         "thaw.asc PermafrostThawDepth fillcode = 0 readcode = 0 defaultValue = -1\n"),
           spoil_control("[special_output]", "[permafrost]\n1\n3 Min_Snow_Age_Refreeze\n5 Max_SWE_SnowFree\n"
                         "thaw.stat 0\n-1e-6     reduced k_sat (in m/s)\n\n[special_output]")), 17,
     ["reduced k_sat (in m/s) in [permafrost] -1e-06 of unsatzon_model (control file control.txt, line ",
      "a saturated conductivity has to be 0 or more (m/s)"]),
    ("control_cell_outside", edits(spoil_control("0 0     no control point", "1 1     control point"),
                                   spoil_control("0 0       no control point", "1 1       control point")), 0,
     ["in modul unsatzon_model:\nthe control point (row 1, column 1) lies outside the basin",
      "in modul groundwater_flow:\nthe control point (row 1, column 1) lies outside the basin"],
     {"check": no_control_files}),
    ("warm_state_hole", edits(warm_start_from_state, spoil_grid_cell("uzgrid18.asc", "-9999")), 33,
     [lambda d: "the state grid uzgrid18.asc (baseflow) of the warm start holds no value (nodata) in row %d, "
                "column %d, a cell of the basin" % first_basin_cell(d)],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_gw_head_hole", edits(warm_start_from_state_with_heads, spoil_grid_cell("gwhead.asc", "-9999")), 33,
     [lambda d: "the state grid gwhead.asc (heads of layer 1) of the warm start holds no value (nodata) in row %d, "
                "column %d, a cell of the basin" % first_basin_cell(d)],
     {"first": warm_start_state_with_heads, "np": (1, 2)}),
    ("warm_surface_tracer_hole", edits(warm_start_from_tracer_state, spoil_grid_cell("nitSurfa.asc", "-9999")), 33,
     [lambda d: "the state grid ./nitSurfa.asc (tracer 1 of the water on the surface) of the warm start holds no value "
                "(nodata) in row %d, column %d, a cell of the basin" % first_basin_cell(d)],
     {"first": warm_start_tracer_state, "np": (1, 2)}),
    ("warm_groundwater_tracer_hole", edits(warm_start_from_tracer_state, spoil_grid_cell("nit1grou.asc", "-9999")), 33,
     [lambda d: "the state grid ./nit1grou.asc (tracer 1 of layer 1) of the warm start holds no value (nodata) in row "
                "%d, column %d, a cell of the basin" % first_basin_cell(d)],
     {"first": warm_start_tracer_state, "np": (1, 2)}),
    # A warm start after a run that wrote none of the tracer's grids names the
    # tracer and the grid code that writes them (not a file it retried).
    ("warm_tracer_state_unwritten", warm_start_from_tracer_state, 21,
     ["the warm start reads the state of tracer 1 (nit) from ./nit",
      "set gridcode = 3 for this tracer in [substance_transport] of the run that writes the state"],
     {"first": warm_start_unwritten_tracer_state, "np": (1, 2)}),
    # A warm start keeps the groundwater model's switch: the routing's state
    # names the river-link lines that do not fit.
    # (The message says so first, not as a tracer code it could not read.)
    ("warm_gw_switched_off",
     edits(warm_start_from_state, spoil_control("[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n")), 71,
     ["FATAL: the state holds river-link lines (riverflow_table), written with the groundwater model on, and "
      "[groundwater_flow] is off in this run"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_gw_switched_on",
     edits(warm_start_from_state, spoil_control("[groundwater_flow]\n0\n", "[groundwater_flow]\n1\n")), 71,
     ["FATAL: the river-link lines (riverflow_table), which a run with the groundwater model on writes, are missing"],
     {"first": edits(spoil_control("[groundwater_flow]\n1\n", "[groundwater_flow]\n0\n"), warm_start_state),
      "np": (1, 2)}),
    # A storage content file cut short: before a module's section, or within
    # one, ends the run naming the section or saying that the file ends.
    ("warm_state_cut_before_soil", edits(warm_start_from_state, cut_state("[unsatzon_model]")), 71,
     ["FATAL: error looking for the section [unsatzon_model] in "], {"first": warm_start_state, "np": (1, 2)}),
    ("warm_state_cut_before_surface", edits(warm_start_from_state, cut_state("[SurfaceRoutingModel]")), 71,
     ["FATAL: error looking for the section [SurfaceRoutingModel] in ", "the storage content file ends before it"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_state_cut_in_soil", edits(warm_start_from_state, cut_state("[unsatzon_model]", 5)), 71,
     ["FATAL: error in storage file content reading ", ": the file ends early (a storage content file cut short)"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_state_cut_in_surface", edits(warm_start_from_state, cut_state("[SurfaceRoutingModel]", 5)), 71,
     ["FATAL: error in storage file content reading ", ": the file ends early (a storage content file cut short)"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_state_cut_before_sunshine", edits(warm_start_from_state, cut_state("[evapotranspiration]")), 71,
     ["FATAL: error in storage file content reading the section [evapotranspiration] in ",
      "the relative sunshine of the day so far is part of the state"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_state_cut_in_sunshine", edits(warm_start_from_state, cut_state("[evapotranspiration]", 3)), 71,
     ["FATAL: error in storage file content reading the section [evapotranspiration] in ",
      ": the file ends early at the relative sunshine of row "], {"first": warm_start_state, "np": (1, 2)}),
    # With glaciers the snow model's section holds their runoff storages.
    ("warm_state_cut_before_snow", edits(warm_start_from_state, cut_state("[snow_model]")), 71,
     ["FATAL: error looking for the section [snow_model] in ", "the storage content file ends before it"],
     {"first": edits(static_glaciers, warm_start_state), "np": (1, 2)}),
    ("warm_state_cut_in_snow", edits(warm_start_from_state, cut_state("[snow_model]", 3)), 71,
     ["FATAL: (snow model) error in storage file content reading Qfirn_slr of subbasin 1 in ",
      ": the file ends early (a storage content file cut short)"],
     {"first": edits(static_glaciers, warm_start_state), "np": (1, 2)}),
    # The surface routing's velocities, each sub-time-step's start, continue
    # with its own read parameter: read from the stack the first run wrote,
    # missing (the first run wrote none) or of other levels (the soil's
    # uzgrid3.asc), or start anew with a WARNING.
    ("warm_velocities_continued", warm_start_from_velocities(), 0, [],
     {"first": warm_start_velocity_state, "np": (1, 2)}),
    ("warm_velocities_not_written", warm_start_from_velocities(), 21,
     ["FATAL: in modul SurfaceRoutingModel: the warm start reads the velocities of the surface flow from ",
      "srvelocity.stk, which does not exist. The velocity stack is written at the end of a run with write code 3"],
     {"first": edits(warm_start_state, spoil_control("srvelocity.stk\n3\n", "srvelocity.stk\n0\n")), "np": (1, 2)}),
    ("warm_velocities_of_other_levels", warm_start_from_velocities("uzgrid3.asc"), 13,
     ["FATAL: wrong number of levels in stack srvelocity.stk (numlevels 10, it must be 9)"],
     {"first": warm_start_velocity_state, "np": (1, 2)}),
    ("warm_velocities_cell_missing", edits(warm_start_from_velocities(), velocity_cell_missing), 33,
     ["the state stack srvelocity.stk (the velocities of the surface flow) of the warm start holds no value (nodata) "
      "in row ", " at level 3, a cell of the basin"],
     {"first": warm_start_velocity_state, "np": (1, 2)}),
    # A module whose read switch says otherwise than the storage read parameter
    # would start anew in a warm start: the run ends naming both.
    ("warm_velocities_start_anew", edits(warm_start_from_state, spoil_control("1         read control parameter for "
                                                                              "storage grids (1", "0         read control parameter for storage grids (1")), 17,
     ["FATAL: the read control parameter for storage grids in [SurfaceRoutingModel] is 0 but the read control "
      "parameter for storage grids of the unsaturated zone is 1: a warm start reads the velocities"],
     {"first": warm_start_state, "np": (1, 2)}),
    ("warm_groundwater_read_zero", warm_start_from_state, 17,
     ["FATAL: the grid read parameter in [groundwater_flow] is 0 but the read control parameter for storage grids "
      "of the unsaturated zone is 1: a warm start reads the heads of the layers below the first"],
     {"first": edits(case_edit("gw_drainable_porosity_above_one", "Value = 1.5", "Value = 0.05"), warm_start_state),
      "np": (1, 2)}),
    ("warm_snow_read_zero", edits(warm_start_from_state, spoil_control("1         readgrid: the", "0         readgrid")),
     17, ["FATAL: readgrid in [snow_model] is 0 but the read control parameter"], {"first": warm_start_state}),
    ("warm_lake_read_zero", warm_start_from_state, 17,
     ["FATAL: readgrids for [lake_model] is 0 but the read control parameter for storage grids of the unsaturated "
      "zone is 1"],
     {"first": edits(lake, warm_start_state, spoil_control("uzgrid21.asc\n0\n", "uzgrid21.asc\n3\n")),
      "np": (1, 2)}),
    # Legal inputs: the run goes on.
    # The external groundwater table of a basin that does not reach the
    # raster's first and last rows is read and imposed (issue 61).
    ("external_groundwater_table", external_table(0.2), 0, [], {"check": table_at(0.2), "np": (1,)}),
    ("station_missing_day", station_missing_on_day("temperature.dat", 3), 0, []),
    ("stations_all_missing_day", station_missing_on_day("precipitation.dat", 3, True), 0,
     ["precipitation: no valid station value in ./precipitation.dat for 3.1.2015 1 h"]),
    ("partial_last_day", spoil_control("24        end hour\n7         end day", "12        end hour\n7         end day"),
     0, []),
    # Land-use and interception values: the ones without a meaning end the
    # run, the others run with their meaning.
    ("landuse_interception_nan", spoil_control("IntercepCap = 0.3;", "IntercepCap = nan;"), 29,
     ["IntercepCap = nan: it has to be a number"]),
    ("interception_thickness", spoil_control("0.3       storage capacity", "-0.3      storage capacity"), 17,
     ["maximum water layer thickness for interception_model: -0.3 (control file control.txt, line ",
      "it has to be 0 or more"]),
    ("landuse_crop_distance", spoil_control("SR_K_ST = 5;", "SR_K_ST = 5; SR_cultivation = nonconserving; "
                                            "SR_CropDistX = 0;"), 29,
     ["SR_CropDistX = 0: it has to be greater than 0", "control file control.txt, lines"]),
    # A negative IntercepCap (-1 when absent) holds the leaf area index times the interception model's
    # maximum water layer thickness (0.7 mm here): in January grassland has
    # LAI 1 and the forest 2, so with no interception evaporation (method 3)
    # a week of rain fills their leaves to 0.7 and 1.4 mm. Method 3 runs after
    # the snow and takes its outflow, not the precipitation the snow took.
    ("landuse_interception",
     edits(spoil_control("IntercepCap = 0.3;", "IntercepCap = -0.5;"), spoil_control("IntercepCap = 0.5;", ""),
           spoil_control("1         method\ntf.asc", "3         method\ntf.asc"),
           spoil_control("0.3       storage capacity", "0.7       storage capacity")), 0, [],
     {"check": all_of(interception_full({1: 0.7, 2: 1.4}), interception_takes_snow_outflow), "np": (1, 2)}),
    # Static glaciers take the whole precipitation, also where the interception
    # runs before the snow (method 11) and its throughfall feeds the snow.
    ("glaciers_interception_first",
     edits(static_glaciers, spoil_control("1         method\ntf.asc", "11        method\ntf.asc")), 0, [],
     {"check": glaciers_take_precipitation, "np": (1, 2)}),
    # A negative day ends the fixpoint list: grassland's list ends after day
    # 135, so from then to day 15 of the next year LAI runs from 3.0 to 3.0
    # (not towards the 1.0 of day 288).
    ("landuse_juldays_end",
     edits(spoil_control("JulDays = 15 105 135 258 288", "JulDays = 15 105 135 -1 288"),
           spoil_control("LAI = 1.0 2.0 4.0 4.0 1.0", "LAI = 3.0 2.0 3.0 4.0 1.0"), control_point_on_landuse(1)),
     0, ["\"JulDays\": day -1 (fixpoint 4 of 5) is negative and ends the list"],
     {"check": point_always("LAI_1", 3.0), "np": (1, 2)}),
    # The crop rows are read by the nonconserving cultivation only.
    ("landuse_crop_distance_unused",
     spoil_control("SR_K_ST = 5;", "SR_K_ST = 5; SR_CropDistX = 0; SR_CropDistY = -1;"), 0, [], {"np": (1, 2)}),
    # A roughness length of 0 is taken as 0.01 m.
    ("landuse_z0_zero",
     edits(spoil_control("Z0 = 0.02 0.05 0.10 0.10 0.02", "Z0 = 0 0.05 0.10 0.10 0"), control_point_on_landuse(1)),
     0, ["Z0 = 0 (fixpoint 1 of 5, and 1 more): a roughness length of 0 m is taken as 0.01 m"],
     {"check": point_always("Z0_1", 0.01), "np": (1, 2)}),
    # Snow, surface, silting-up and time-frame values without meaning, and
    # errors that name the file, line or cell (issue 58).
    ("glacier_max_snow_negative", dynamic_glacier("-100 0.25         maxSnowPackToCreateGlacier relSizeNewGlacier"),
     80, ["maxSnowPackToCreateGlacier must be 0 or more (mm water equivalent), here -100 in [ice_firn] (control "
          "file control.txt, line "]),
    ("snow_deposition_below_minus_one", deposition_index(-2), 33,
     ["the grid deposition_index (./depidx.asc) holds -2 in row ", "a deposition index has to be -1 or more"]),
    # A maxDepositionSlope of 0 is a slope: with a grid max_deposition the
    # slides take their capacity from the grid and run; without one the
    # capacity would divide by it (error 405; an exit status keeps its low byte).
    ("snow_slides_deposition_slope_zero_with_grid", snow_slides("0", 5), 0, [], {"check": snow_slid}),
    ("snow_slides_deposition_slope_zero", snow_slides("0"), 405 % 256,
     ["maxDepositionSlope not within parameter bounds of (0...90] Here: 0 (control file control.txt, line ",
      "it divides the maximum deposition of a cell when no grid max_deposition is given"]),
    ("silting_method2_a_negative", silting_up(2, "-65.0 A\n12.2 B\n0.52 C\n-0.64 D\n0.013 E\n-1.03 F\n0.7 G\n-0.19 H"),
     17, ["parameter A for method 2 (I_0) SiltingUpModel: -65 (control file control.txt, line ",
          "it has to be a number of 0 or more"]),
    ("silting_method2_e_negative", silting_up(2, "65.0 A\n12.2 B\n0.52 C\n-0.64 D\n-0.013 E\n-1.03 F\n0.7 G\n-0.19 H"),
     17, ["parameter E for method 2 (C_v) SiltingUpModel: -0.013"]),
    ("silting_capacity_below_zero",
     silting_up(3, "SiltingUpExpressions {\nX = 10; Y = 2; Z = 0.01; W = 20;\nV = -20 * R / 60;\n}"), 0,
     ["the infiltration capacity V of the SiltingUpExpressions (V=-20*R/60) is -20 in row ",
      "a value below 0: it is taken as 0 (all water runs off)"]),
    # Another method number is method 1, with a warning.
    ("silting_method_other", silting_up(7, ""), 0, ["SiltingUpModel: method 7 (control file control.txt, line ",
                                                     ") is none of 1, 2 and 3: it runs as method 1"],
     {"check": with_reference(silting_up(1, ""), same_statistic("qdsu.stat"))}),
    # An infinite capacity takes all the water: no silting-up runoff, as
    # with the largest number.
    ("silting_capacity_infinite", silting_formulas("20", "1 / 0"), 0, [],
     {"check": with_reference(silting_formulas("20", "1e300"), same_statistic("qdsu.stat"))}),
    # The kinetic energy by the intensity without its guard for small
    # intensities: log10(0) in dry hours. The cell's energy of such an hour
    # is skipped, which is what a dry hour adds anyway (the reference takes
    # the logarithm of P + 1e-9 mm/h, finite in every hour).
    ("silting_energy_not_finite", silting_formulas("11.89 + 8.73 * LOG10(P)", "(0.1 + 0.5 * EXP(-0.05 * Q)) * R / 60"),
     0, ["the kinetic energy per mm of rain W of the SiltingUpExpressions (W=11.89+8.73*LOG10(P)) is -inf in row ",
         "no finite number: the cell's rain adds no kinetic energy in that step"],
     {"check": with_reference(silting_formulas("11.89 + 8.73 * LOG10(P + 1e-9)",
                                               "(0.1 + 0.5 * EXP(-0.05 * Q)) * R / 60"),
                              same_statistic("qdsu.stat", positive=True))}),
    ("surface_velocity_iterations_zero",
     spoil_control("10        maximum iterations for the velocity", "0         maximum iterations for the velocity"),
     17, ["maximum iteration steps for velocity in SurfaceRoutingModel: 0 (control file control.txt, line ",
          "it has to be 1 or more"]),
    # Any flow control but 0 switches the surface routing on; a wake-length
    # limit of 0 means no iteration; a maximum sub time step below 0 is the
    # whole step.
    ("surface_flow_control_negative",
     edits(surface_flow("4"), spoil_control("[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n-1\n")), 0, [],
     {"check": compared_with(surface_flow("4"), same_discharge)}),
    ("surface_wake_iterations_zero",
     edits(surface_flow("4"), spoil_control("10        maximum iterations for the wake length",
                                            "0         maximum iterations for the wake length")), 0, []),
    ("surface_max_substep_negative",
     edits(surface_flow("4"), spoil_control("3600      maximum sub time step (s)", "-1        maximum sub time step (s)")),
     0, ["longest allowed subtimestep changed from -1 to 3600"],
     {"check": compared_with(surface_flow("4"), same_discharge)}),
    ("end_before_start", spoil_control("2015      end year", "2014      end year"), 17,
     ["[model_time]: the end 7.1.2014 24 h lies before the start 1.1.2015 1 h (control file control.txt, lines "]),
    ("end_after_data", station_data_until_day(3), 0,
     ["the run stopped early, after the step of 3.1.2015 24 h, before the end 7.1.2015 24 h given in [model_time] "
      "of control.txt: the data of temperature in ./temperature.dat end there"],
     {"check": last_day_of("precipitation.stat", 3), "np": (1, 2)}),
    ("step_shorter_than_flow_times", spoil_control("$set $step    = 60", "$set $step    = 7"), 61,
     ["the first time zone of subbasin 1 has no cells!",
      "time steps of 7 min to reach the outlet; the time step of [unsatzon_model] in control.txt has to be at "
      "least the shortest flow time of every subbasin"]),
    ("control_file_cut", cut_control_after("kelsqd: storage constant"), 17,
     ["error in control file, [irrigation]; (EOF) not found!",
      "(searched to the end of the control file control.txt, line ", "which ends in the section [unsatzon_model] of line "]),
    ("zone_code_not_in_soil_table", spoil_grid_cell("zones.asc", "4"), 10,
     ["error reading code[3] for unsatzon_model",
      lambda d: "the line of subbasin codes has to list the codes of the zone grid ./zones.asc up to its largest "
                "code, 4 (found in row %d, column %d)" % first_basin_cell(d)]),
    # Station values: the nodata marker (+-9999 with the section's 9999) is
    # missing, the other stations serve the hour; a negative precipitation has
    # no meaning; cells beyond the search radius of every station are missing.
    ("precipitation_9999", edits(station_value("precipitation.dat", 1, 18, 1, "9999"),
                                spoil_control("precipitation.stat 4024", "precipitation.stat 4001")), 0, [],
     {"check": precipitation_within_stations(1, 18, 1)}),
    ("precipitation_minus_9999", edits(station_value("precipitation.dat", 1, 18, 1, "-9999"),
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
    # Meteorological sections (issue 84). Method 6 with every station of its
    # first file at 0 keeps its second file times the elevation: the same
    # field as a first file with 1e-9 at one station (no uniform field).
    ("precipitation_method6_first_file_uniform",
     edits(station_file_copy("zero.dat", lambda v, k: "0"), station_file_copy("residual.dat", RESIDUAL),
           in_section("[precipitation]", PRECIPITATION_METHOD, METHOD6)), 0, [],
     {"check": with_reference(edits(station_file_copy("zero.dat", lambda v, k: "1e-9" if k == 1 else "0"),
                                    station_file_copy("residual.dat", RESIDUAL),
                                    in_section("[precipitation]", PRECIPITATION_METHOD, METHOD6)),
                              same_statistic("precipitation.stat", positive=True))}),
    # +-9999 in a regression record is missing, as in a station file: the
    # hour's temperature is missing (not the lower limit's -50), the hour's
    # precipitation too (not the upper limit's 200 mm); the other hours are
    # the regression's constant 15 C and 1 mm.
    ("temperature_regression_record_minus_9999",
     edits(regression_file("tregr.txt", [15, 0, 0, 15, 0, 0, 15, 0, -10000, 0, 0], ((2, 3), [-9999] * 11)),
           in_section("[temperature]", TEMPERATURE_METHOD, "2         method: regression\n$inpath//temperature.dat\n"
                      "$inpath//tregr.txt")), 0,
     ["the regression record of 2.1.2015 3 h in ./tregr.txt, line 28 (temperature) holds the missing value -9999 as "
      "its value 1", "the grid temperature holds no value in 1129 of 1129 basin cells from 2.1.2015 3 h on",
      "the grid temperature holds a value in every basin cell again from 2.1.2015 4 h on"]),
    ("precipitation_regression_record_9999",
     edits(regression_file("pregr.txt", [1, 0, 0, 1, 0, 0, 1, 0, -10000, 0, 0], ((2, 3), [9999] * 11)),
           in_section("[precipitation]", PRECIPITATION_METHOD + "\nnone ",
                      "2         method: regression\n$inpath//precipitation.dat\n$inpath//pregr.txt "),
           spoil_control("precipitation.stat 4024", "precipitation.stat 4001")), 0,
     ["the regression record of 2.1.2015 3 h in ./pregr.txt, line 28 (precipitation) holds the missing value 9999"],
     {"check": hourly_precipitation(1.0, (2, 3))}),
    # A multiplicative scenario without rows leaves the values as they are.
    ("precipitation_scenario_multiply_no_rows", precipitation_post_processing("1.0", "0", "1\n0\n0"), 0,
     ["SzenNum in precipitation is 0 (control file control.txt, line ",
      "no scenario rows are read, the values of precipitation stay as they are"],
     {"check": with_reference(spoil_control("", ""), same_statistic("precipitation.stat", positive=True))}),
    # A negative nodata names the same bound as its absolute value.
    ("precipitation_nodata_negative", in_section("[precipitation]", "9999      nodata", "-9999     nodata"), 0,
     ["the nodata value in precipitation is -9999 (control file control.txt, line ", "; 9999 is taken"],
     {"check": with_reference(spoil_control("", ""), same_statistic("precipitation.stat", positive=True))}),
    # Blank lines and indented comments before the lines read whole.
    ("meteo_blank_lines_and_comments",
     edits(in_section("[precipitation]", PRECIPITATION_METHOD, PRECIPITATION_METHOD.replace("\n", "\n\n   # stations\n")),
           in_section("[temperature]", "temperature.dat\n", "temperature.dat\n\n\t# inversions\n")), 0, [],
     {"check": with_reference(spoil_control("", ""), lambda d, ref: same_statistic("precipitation.stat", True)(d, ref) or
                              same_statistic("temperature.stat")(d, ref))}),
    # The bilinear method's inverse-distance fall-back keeps its reach in dry
    # hours as in wet ones: the cells beyond it stay missing.
    ("precipitation_bilinear_radius",
     edits(in_section("[precipitation]", "1         method: inverse distance weighting", "5         method: bilinear"),
           in_section("[precipitation]", "100000    maximum distance (m)", "5000      maximum distance (m)")), 0,
     [beyond_radius_text(5000)],
     {"check": all_of(daily_sums_missing_beyond(5000),
                      diagnostics_without("the grid precipitation holds a value in every basin cell again"))}),
    # A weight of 100 is nearly the nearest station's value, in every cell.
    ("precipitation_idw_weight_100", in_section("[precipitation]", "2.0       idw weight", "100       idw weight"), 0,
     [], {"check": all_of(diagnostics_without("the grid precipitation holds no value"),
                          with_reference(in_section("[precipitation]", "1         method: inverse distance weighting",
                                                    "4         method: nearest station"),
                                         same_statistic("precipitation.stat", True, tolerance=0.05, floor=0.1)))}),
    # Values without a meaning, named with their line.
    ("temperature_anisotropy_ratio",
     in_section("[temperature]", "1.0       anisotropy: ratio", "1.5       anisotropy: ratio"), 54,
     [lambda d: "ellipse has to lie above 0 and at most at 1 (here: 1.5 in the section of temperature, control file "
                "control.txt, line %d)" % line_of(d, "1.5       anisotropy")]),
    ("temperature_inversion_nan", in_section("[temperature]", "1000 1200 50 0 20", "1000 nan 50 0 20"), 49,
     [lambda d: "the regression parameter <upper inversion> of temperature is nan (control file control.txt, line %d)"
                % line_of(d, "1000 nan 50 0 20")]),
    ("temperature_cluster_range_inf", in_section("[temperature]", "1000 1200 50 0 20", "1000 1200 50 0 inf"), 49,
     [lambda d: "the regression parameter <cluster range> of temperature is inf (control file control.txt, line %d)"
                % line_of(d, "1000 1200 50 0 inf")]),
    # The lapse-rate line of method 12 and the mapping line of method 9: no
    # NaN, no infinity, no number cut by a decimal comma.
    ("temperature_method12_lapse_rate_nan",
     in_section("[temperature]", TEMPERATURE_METHOD, METHOD12 % "nan       lapse rate (K/m)"), 49,
     [lambda d: "the lapse rate of temperature is nan (control file control.txt, line %d)"
                % line_of(d, "nan       lapse rate")]),
    ("temperature_method12_upper_lapse_rate_inf",
     in_section("[temperature]", TEMPERATURE_METHOD, METHOD12 % "-0.0065 1100 inf   lapse rates below and above"), 49,
     [lambda d: "the fixed lapse rate above the inversion of temperature is inf (control file control.txt, line %d)"
                % line_of(d, "-0.0065 1100 inf")]),
    ("temperature_method12_decimal_comma",
     in_section("[temperature]", TEMPERATURE_METHOD, METHOD12 % "-0,0065   lapse rate (K/m)"), 49,
     [lambda d: "the lapse rate of temperature is unreadable: \"-0,0065\" (control file control.txt, line %d)"
                % line_of(d, "-0,0065   lapse rate")]),
    ("precipitation_method9_mapping_inf",
     in_section("[precipitation]", PRECIPITATION_METHOD + "\nnone      regression file (not used by this method)",
                "9         method: grids\n$inpath//grids.txt\n8.916787e-5 0.0767528404 127 6e-6 inf   mapping"),
     49, [lambda d: "the GIF-Mapping parameter x2 of precipitation is inf (control file control.txt, line %d)"
                    % line_of(d, "8.916787e-5 0.0767528404 127 6e-6 inf")]),
    # A nodata of 0 would make every value missing, each dry hour's 0 too.
    ("precipitation_nodata_zero", in_section("[precipitation]", "9999      nodata", "0         nodata"), 17,
     [lambda d: "the nodata value in precipitation is 0 (control file control.txt, line %d)"
                % line_of(d, "0         nodata")]),
    # Methods 3 and 11 blend the inverse-distance value with a share of 0 ... 1.
    ("temperature_idw_fraction_above_one",
     edits(in_section("[temperature]", TEMPERATURE_METHOD, TEMPERATURE_METHOD.replace("10        method", "11        method")),
           in_section("[temperature]", "0.5       idw fraction", "1.5       idw fraction")), 17,
     [lambda d: "the idw fraction in temperature is 1.5 (control file control.txt, line %d): method 11 weighs"
                % line_of(d, "1.5       idw fraction")]),
    # The surface routing drains mirror images of the basin alike: the flow
    # of a cell does not depend on the numbers of its directions (methods 1
    # and 3 split it over several receivers).
    ("surface_flow_mirrored_method_1", edits(surface_flow("1"), mirrored_north_south), 0, [],
     {"np": (1, 2), "check": compared_with(surface_flow("1"), same_discharge)}),
    ("surface_flow_mirrored_method_3", edits(surface_flow("3"), mirrored_north_south), 0, [],
     {"check": compared_with(surface_flow("3"), same_discharge)}),
    # Routing: a from_file abstraction whose series ends before the run's
    # last step, or skips a step, ends the run at set-up.
    ("abstraction_from_file_ends_early",
     edits(spoil_control("mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s",
                         "mode = from_file input_file = series.txt column = 0 output = abstraction_1.txt"),
           hourly_series_until("series.txt", "YY MM DD HH Q", "0.3", 3)), 39,
     ["error reading from series.txt for abstraction 1",
      "reached end of file after 3.1.2015, 24. h, before the run's last step 7.1.2015, 24. h "
      "(the series must cover the whole run)"]),
    ("abstraction_from_file_skips_a_step",
     edits(spoil_control("mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s",
                         "mode = from_file input_file = series.txt column = 0 output = abstraction_1.txt"),
           hourly_series_until("series.txt", "YY MM DD HH Q", "0.3", 31, skip=(5, 24))), 36,
     ["error comparing dates in series.txt for abstraction 1", "read: 6.1.2015, 1. h,",
      "should be: 5.1.2015, 24. h. (the series must hold one record per step of the run)"]),
    # A TargetCap of 0 of an abstraction's rule caps nothing, as one not
    # given: the abstraction from the reservoir to an internal inflow of
    # subbasin 3 takes its 2 m3/s every step.
    ("abstraction_target_cap_zero",
     edits(spoil_control("SP 1 (file = reservoir_1.txt",
                         "AL 1 (mode = intern_with_rule_from_reservoir)\nSP 1 (file = reservoir_1.txt"),
           spoil_control("AL 1 (mode = extern abstraction_1.txt 1.0 0.5 0.5 m3/s)\n", ""),
           spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL.replace("Q = %s,", "Q = intern (")),
           spoil_control("[special_output]\n",
                         "[abstraction_rule_abstraction_1]\n2\n0     2\n1e9   2\nTargetCap = 0\n\n[special_output]\n")),
     0, ["for abstraction 1: TargetCap = 0 of column 1", "is not above 0: the abstraction of that column has no cap"],
     {"check": lambda d: "" if [r[30] for r in table_rows(d, "reservoir_1.txt")] == [2.0] * 168 else
      "reservoir_1.txt: Abstr[m3s] is not 2 in each of the 168 steps"}),
    # Radiation correction, evapotranspiration and interception (issue 64). A
    # correction recomputed every 24 hourly steps writes the shading of each
    # hour in its own step, as one recomputed every step does: one grid per
    # step of the two days, each that of its own hour.
    ("shading_kept_for_a_day",
     edits(*SHADING, spoil_control("1         the correction is recomputed every step",
                                   "24        the correction is recomputed every 24th step")), 0, [],
     {"check": same_grids_as(edits(*SHADING), "shape_", 2 * 24)}),
    # The evapotranspiration's section errors name the user's control file and line.
    ("evapotranspiration_haude_factors",
     spoil_control("0.22 0.22 0.22 0.29 0.29 0.28 0.26 0.25 0.23 0.22 0.22 0.22",
                   "0.22 0.22 0.22 0.29 none"), 45,
     ["there have to be 12 (monthly) values for the fh-parameter",
      lambda d: "4 values read before control file control.txt, line %d)" % line_of(d, "0.22 0.22 0.22 0.29 none")]),
    # A method that is none of the four is named as such (not by the
    # sunshine or daily-step rules of the methods).
    ("evapotranspiration_method_5", spoil_control("1         method: Penman-Monteith", "5         method: other"), 46,
     [lambda d: "the method 5 (control file control.txt, line %d) is not 1 (Penman-Monteith), 2 (Hamon), "
      "3 (Wendling) or 4 (Haude)" % line_of(d, "5         method: other")]),
    ("evapotranspiration_amplitude_fraction", spoil_control("0.6 0.1\n", "0.6 none\n"), 10,
     ["error reading fraction for temperature amplitude for day/night",
      lambda d: "(control file control.txt, line %d)" % line_of(d, "0.6 none")]),
    ("evapotranspiration_diffuse_fraction", spoil_control("0.05 0.3 0.4 0.25\n", "0.04 0.3 0.4 0.26\n"), 10,
     ["fraction of diffuse radiation is too small: 0.04",
      lambda d: "(section [evapotranspiration], control file control.txt, line %d)" % line_of(d, "0.04 0.3 0.4")]),
    ("evapotranspiration_sunshine_coefficients",
     spoil_control("0.072 -0.808 1.749 -0.239\n", "0.3 0 0 0\n"), 10,
     ["There must be at minimum a linear relationship",
      lambda d: "(section [evapotranspiration], control file control.txt, line %d)" % line_of(d, "0.3 0 0 0")]),
    # Routing: an extern inflow file that ends before the run's last step, or
    # skips a step, ends the run at set-up, as a from_file abstraction's
    # series does; an inflow mode word with a "," right behind it is no mode.
    ("inflow_file_ends_early",
     edits(spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
           hourly_series_until("inflow.txt", "YY MM DD HH Q", "2", 3)), 39,
     ["error reading from inflow.txt for inflow ZL 1 of subbasin 3",
      "reached end of file after 3.1.2015, 24. h, before the run's last step 7.1.2015, 24. h "
      "(the series must cover the whole run)"]),
    ("inflow_file_skips_a_step",
     edits(spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "extern inflow.txt 0 5"),
           hourly_series_until("inflow.txt", "YY MM DD HH Q", "2", 31, skip=(5, 24))), 36,
     ["error comparing dates in inflow.txt for inflow ZL 1 of subbasin 3", "read: 6.1.2015, 1. h,",
      "should be: 5.1.2015, 24. h. (the series must hold one record per step of the run)"]),
    ("inflow_mode_with_comma",
     spoil_control("L = 9536, AE = 529)\n", "L = 9536, AE = 529)\n" + ZL % "intern"), 42,
     ["the modus \"intern,\" is not supported for inflow 1",
      lambda d: "control file control.txt, line %d): expected after \"=\" one of the words \"constant\" followed "
                "by the flow [m3/s]" % line_of(d, "ZL 1 (Q = intern,"),
      "\",\" is written right behind \"intern\": put a blank between them (\"intern ,\")"]),
    # Meaningless heat, groundwater and glacier values end the run; defined
    # ones run with their meaning (issue 75).
    ("heat_conductivity_negative", heat_transfer(conductivity="-0.58"), 17,
     ["[heat_transfer]: dTModLamDrySoil = -0.58 (control file control.txt, line ",
      "a conductivity, heat capacity, density, latent heat or factor has to be greater than 0"]),
    ("heat_capacity_negative", heat_transfer(capacity="-800"), 17,
     ["[heat_transfer]: dTModCDrySoil = -800 (control file control.txt, line "]),
    ("heat_capacity_nan", heat_transfer(capacity="nan"), 17,
     ["[heat_transfer]: dTModCDrySoil = nan (control file control.txt, line ", "); it has to be a number"]),
    ("heat_share_above_one", edits(heat_transfer(), spoil_control("0.5       dTModSEForStat", "1.5       dTModSEForStat")),
     17, ["[heat_transfer]: dTModSEForStat = 1.5 (control file control.txt, line ",
          "a share of the unfrozen water has to lie within 0 ... 1"]),
    ("gw_over_relaxation_three", spoil_control("0         sor-parameter: adaptive", "3.0       sor-parameter"), 17,
     ["sor-parameter 3 (control file control.txt, line ",
      "a fixed over-relaxation factor has to lie between 0 and 2 (0 or less: adaptive)"]),
    ("glacier_storage_constant_negative", edits(static_glaciers, spoil_control("10        kice_els", "-10       kice_els")),
     80, ["[ice_firn] of snow_model: kice_els must be 0 or more (storage constant in steps; 0: no storage), here -10 "
          "(control file control.txt, line "]),
    # A storage constant of 0 passes the input; a radiation maximum below its
    # minimum turns the year's sinusoid round.
    ("glacier_storage_constant_zero", edits(static_glaciers, spoil_control("10        kice_els", "0         kice_els")),
     0, [], {"np": (1, 2)}),
    ("glacier_radiation_max_below_min",
     edits(static_glaciers, spoil_control("1         glacier method", "2         glacier method"),
           spoil_control("0.0010    Aice_min\n0.0020    Aice_max", "0.0020    Aice_min\n0.0010    Aice_max")), 0, []),
    # A mass balance date that never comes: no yearly update.
    ("glacier_update_date_none",
     edits(dynamic_glacier("150 0.25         maxSnowPackToCreateGlacier relSizeNewGlacier"),
           spoil_control("1 10               GMBEvalDay GMBEvalMonth", "31 4               GMBEvalDay GMBEvalMonth"),
           spoil_control("[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n")), 0,
     ["the glacier mass balance evaluation date GMBEvalDay 31, GMBEvalMonth 4 is no day of the year (control file "
      "control.txt, line ", "the glaciers get no yearly update"]),
    # The volume-area relation needs a factor and an exponent above 0.
    *[("glacier_volume_area_" + name,
       edits(dynamic_glacier("150 0.25         maxSnowPackToCreateGlacier relSizeNewGlacier"),
             spoil_control("0.01 1.36 2 0      VAscaling", line + "      VAscaling"),
             spoil_control("[SurfaceRoutingModel]\n1\n", "[SurfaceRoutingModel]\n0\n")), 80,
       ["FATAL: " + key + " of the volume-area relation V = VAscaling x A^VAexponent must be above 0, here " + value +
        " in [ice_firn] (control file control.txt, line "])
      for name, line, key, value in (("factor_zero", "0 1.36 2 0   ", "VAscaling", "0"),
                                     ("factor_negative", "-28.5 1.36 2 0", "VAscaling", "-28.5"),
                                     ("exponent_zero", "28.5 0 2 0   ", "VAexponent", "0"))],
    # Leaf area, cover and root depth out of range: the grids clamp them. In
    # the first week of January grassland is between its fixpoints 5 and 1.
    ("landuse_lai", edits(spoil_control("LAI = 1.0 2.0 4.0 4.0 1.0", "LAI = -1.0 2.0 4.0 4.0 -1.0"),
                          control_point_on_landuse(1)), 0,
     ["LAI = -1 (fixpoint 1 of 5, and 1 more): a leaf area index below 0 is taken as 0"],
     {"check": point_always("LAI_1", 0.0)}),
    ("landuse_cover", edits(spoil_control("VCF = 0.8 0.9 0.95 0.95 0.8", "VCF = 1.2 0.9 0.95 0.95 1.2"),
                            control_point_on_landuse(1)), 0,
     ["VCF = 1.2 (fixpoint 1 of 5, and 1 more): a vegetation cover outside 0 ... 1 is taken as the nearer of 0 and 1"],
     {"check": point_always("VCF_1", 1.0)}),
    ("landuse_root_depth", edits(spoil_control("RootDepth = 0.2 0.3 0.4 0.4 0.2", "RootDepth = -0.2 0.3 0.4 0.4 -0.2"),
                                 control_point_on_landuse(1)), 0,
     ["RootDepth = -0.2 (fixpoint 1 of 5, and 1 more): a root depth below 0 is taken as 0.01 m"],
     {"check": point_always("ROOT_1", 0.01)}),
    # No scenario rows: method 1 adds nothing.
    ("precipitation_scenario_no_rows", precipitation_post_processing("1.0", "0", "1\n1\n-1"), 0,
     ["SzenNum in precipitation is -1 (control file control.txt, line ",
      "no scenario rows are read, the values of precipitation stay as they are"],
     {"check": with_reference(spoil_control("", ""), lambda d, ref: "" if stat_rows(d, "precipitation.stat") ==
                               stat_rows(ref, "precipitation.stat") else "the precipitation differs from the example's")}),
    # Precipitation that the post-processing makes negative is taken as 0:
    # a scenario that takes 0.5 mm from every hour, and a scaling by -1
    # below a lowered lower limit (no precipitation at all).
    ("precipitation_scenario_negative",
     precipitation_post_processing("1.0", "0", "1\n1\n1\n75000 90000" + " -0.5" * 12), 0,
     ["the grid precipitation is negative in 1129 of 1129 basin cells on 1.1.2015 1 h", "a negative water amount has no meaning, such cells take 0"],
     {"check": daily_precipitation_within(12.0)}),
    ("precipitation_scaling_negative", precipitation_post_processing("-1.0", "-1000", "0"), 0,
     ["(scaling factor -1, lower limit -1000 replaced by 0)"], {"check": no_precipitation, "np": (1, 2)}),
    # Input and set-up (issue 73). An hour without a valid temperature station
    # leaves the regression's field missing (method 10), as the inverse
    # distances do, instead of passing the hour before off as this one.
    ("temperature_regression_hour_without_stations",
     edits(*[station_value("temperature.dat", 2, 3, s, "12000") for s in range(1, 7)]), 0,
     ["temperature: no valid station value in ./temperature.dat for 2.1.2015 3 h",
      lambda d: "the grid temperature holds no value in %d of %d basin cells from 2.1.2015 3 h on" % (
          (sum(1 for row in read_grid(os.path.join(d, "zones.asc")) for v in row if v > -9999),) * 2),
      "the grid temperature holds a value in every basin cell again from 2.1.2015 4 h on"]),
    # A comment written right after a value ends it without eating its last
    # digit: the radiation's upper limit stays 1400 W/m2.
    ("comment_right_after_value", spoil_control("1400      upper limit\n", "1400# upper limit\n"), 0, [],
     {"check": with_reference(lambda d: "", same_statistic("radiation.stat", tolerance=1e-9, floor=1.0))}),
    # The land-use grid of one vegetation layer keeps its name "landuse" for
    # the HRU definitions of a SpinUp.
    ("spinup_hru_of_landuse",
     spoil_control("[special_output]\n", "[SpinUp]\n1\n0\n1\n1\nlanduse 1 linear\n\n[special_output]\n"), 0, []),
    # Grids whose nodata is not -9999: the control file's -9999 (no fixed
    # groundwater head or inflow) still means none.
    ("grids_nodata_32768", grids_nodata("-32768"), 0, [],
     {"check": compared_with(lambda d: "", same_discharge)}),
    # Misreads of numbers, grids and the control file's grammar (issue 84):
    # each ends with a FATAL naming the file and line (or row), or gives the
    # example's results. A decimal comma is no decimal point, wherever a
    # number is read.
    ("decimal_comma_precipitation_scaling", spoil_control(PRECIPITATION_SCALING, "0,5       scaling factor\n"
                                                          "precipitation.stat 4024"), 17,
     ['unreadable value "0,5" in the control file control.txt, line 147']),
    ("decimal_comma_latitude", spoil_control("49.75     geographic latitude", "49,75     geographic latitude"), 17,
     ['unreadable value "49,75" in the control file control.txt, line 27']),
    ("decimal_comma_idw_weight", spoil_control("2.0       idw weight", "2,5       idw weight"), 17,
     ['unreadable value "2,5" in the control file control.txt, line 129']),
    ("decimal_comma_gw_alpha", spoil_control("0.5       alpha", "0,5       alpha"), 17,
     ['unreadable value "0,5" in the control file control.txt, line ']),
    ("landuse_text_value", spoil_control("TReduWet = 0.95; LimitReduWet", "TReduWet = abc; LimitReduWet"), 29,
     ['"TReduWet" = "abc" is no number (control file control.txt, line 239)']),
    ("landuse_decimal_comma", spoil_control("IntercepCap = 0.3;", "IntercepCap = 0,3;"), 29,
     ['"IntercepCap" = "0,3" is no number (control file control.txt, line ']),
    ("grid_decimal_comma", spoil_grid_cell("dem.asc", "300,5"), 22, ['"300,5" is no number']),
    ("glacier_decimal_comma", dynamic_glacier("150 0,25         maxSnowPackToCreateGlacier relSizeNewGlacier"), 80,
     ['unreadable value "0,25" for dynamic glacier modelling (control file control.txt, line ']),
    ("routing_decimal_comma", spoil_control("L = 9536, AE = 492)", "L = 9536, AE = 492,5)"), 17,
     ['the value of the catchment area [km2] after "=" cannot be read: "492,5" is no number (a decimal comma is no '
      'decimal point) in routing description 2 (control file control.txt, line 666']),
    # Each grid row holds ncols values.
    ("grid_row_extra_value", grid_rows("river_width.asc", lambda r, w: w + ["0"] if r == 19 else w), 22,
     [lambda d: "river_width.asc: row 20 holds %d values, the header gives ncols %d" % (
         grid_ncols(d, "river_width.asc") + 1, grid_ncols(d, "river_width.asc"))]),
    ("grid_row_short", grid_rows("river_width.asc", lambda r, w: w[:-1] if r == 83 else w), 22,
     [lambda d: "river_width.asc: row 84 holds %d values, the header gives ncols %d" % (
         grid_ncols(d, "river_width.asc") - 1, grid_ncols(d, "river_width.asc"))]),
    ("grid_rows_all_long", grid_rows("dem.asc", lambda r, w: w + ["300"]), 22,
     [lambda d: "dem.asc: row 1 holds %d values" % (grid_ncols(d, "dem.asc") + 1)]),
    # The zone grid's NODATA_value marks its own missing cells only: the run
    # is the example's, its grids are written with -9999, and river_links.asc
    # with -9999 fits the zone grid of -32768.
    ("zones_nodata_minus_one", zones_nodata("-1"), 0, [],
     {"check": all_of(written_grids_nodata, with_reference(lambda d: "", same_statistics))}),
    ("zones_nodata_32768", zones_nodata("-32768"), 0, [],
     {"check": all_of(written_grids_nodata, with_reference(lambda d: "", same_statistics))}),
    # Table codes and keys.
    ("landuse_code_twice", spoil_control("3 settlement method", "2 settlement method"), 29,
     ["the code 2 is given twice in [landuse_table] (control file control.txt, lines 245-251, and control file "
      "control.txt, lines 252-258)"]),
    ("soil_code_twice", edits(spoil_control("3         soil types", "4         soil types"),
                              spoil_control("\n\n# Precipitation correction", "\n" + "3 sandy_loam method = MultipleHorizons {\n"
                                            "  layers = 3 4 3;\n  ksat = 1e-5 1e-5 1e-5;  theta_sat = 0.4 0.4 0.4;  "
                                            "theta_res = 0.06 0.06 0.06;\n  alpha = 7 7 7;  Par_n = 1.9 1.9 1.9;  "
                                            "thickness = 0.1 0.3 0.5;\n}\n\n# Precipitation correction")), 30,
     ["the code 3 is given twice in [soil_table] (control file control.txt, lines 280-285, and control file "
      "control.txt, lines 286-290)"]),
    ("landuse_unknown_and_repeated_keys",
     edits(spoil_control("IntercepCap = 0.5; SR_K_ST = 3;", "IntercepCapp = 0.5; SR_K_ST = 3;"),
           spoil_control("IntercepCap = 0.2; SR_K_ST = 30;", "IntercepCap = 0.2; SR_K_ST = 30; SR_K_ST = 31;")), 0,
     ['landuse table code 2: the key "IntercepCapp" is no land-use parameter and is ignored (control file '
      'control.txt, lines 245-251)',
      'landuse table code 3: the key "SR_K_ST" is given twice; the first value is read (control file control.txt, '
      'lines 252-258)']),
    # Values without a meaning.
    ("et_transmissivity_text", spoil_control("0.7 0.05\n1200", "abc 0.05\n1200"), 10,
     ['the line of the mean transmissivity and its amplitude needs 2 numbers; 0 read, then "abc", which is no '
      'number (control file control.txt, line 363)']),
    ("et_transmissivity_nan", spoil_control("0.7 0.05\n1200", "nan 0.05\n1200"), 10, ['then "nan", which is no number']),
    ("et_transmissivity_huge", spoil_control("0.7 0.05\n1200", "1e30 0.05\n1200"), 10,
     ["the mean transmissivity 1e+30 and its amplitude 0.05 (control file control.txt, line 363) give values outside "
      "0 ... 1"]),
    ("et_transmissivity_negative", spoil_control("0.7 0.05\n1200", "-1 0.05\n1200"), 10,
     ["the mean transmissivity -1 and its amplitude 0.05"]),
    ("gw_alpha_above_one", spoil_control("0.5       alpha", "1.5       alpha"), 17,
     ["alpha 1.5 (control file control.txt, line 620): the weight of the new heads against the old ones has to lie "
      "within 0 ... 1"]),
    ("gw_alpha_huge", spoil_control("0.5       alpha", "1e30      alpha"), 17, ["alpha 1e+30 (control file"]),
    ("longitude_huge", spoil_control("6.1       geographic longitude", "1e30      geographic longitude"), 17,
     ["the geographic longitude in [coordinates] (control file control.txt, line 28: 1e+30) has to lie within"]),
    ("meridian_huge", spoil_control("15        reference meridian", "1e30      reference meridian"), 17,
     ["the reference meridian in [coordinates] (control file control.txt, line 29: "]),
    ("time_shift_huge", spoil_control("0         time shift", "1e30      time shift"), 17,
     ["in [coordinates] (control file control.txt, line 30: ", "has to lie within -24 ... 24 hours"]),
    ("soil_thickness_huge", spoil_control("thickness = 0.1 0.2 0.4", "thickness = 0.1 1e30 0.4"), 29,
     ["thickness (1e+30 m) must be less than 100 m"]),
    ("soil_ksat_huge", spoil_control("ksat = 2.89e-6 2.89e-6 2.89e-6", "ksat = 2.89e-6 1e30 2.89e-6"), 29,
     ["ksat = 1e+30: a saturated conductivity above 1 m/s has no soil (m/s)"]),
    ("channel_length_huge", spoil_control("L = 9536, AE = 492", "L = 1e30, AE = 492"), 17,
     ["L = 1e30 is not valid: the channel length [m] has to be less than 1e7 m (value 9 of 10 of the line; routing "
      "description 2, control file control.txt, line 666)"]),
    ("substeps_not_whole", spoil_control("[special_output]\n", "[soil_surface_groundwater_substeps]\n2.5\n\n"
                                         "[special_output]\n"), 17,
     ['sub step counter from [soil_surface_groundwater_substeps]; not found! (control file control.txt, line 684: '
      '"2.5" is unreadable)']),
    # Control characters and bytes that are no UTF-8 echoed from the file
    # keep the diagnostics well-formed XML.
    ("echoed_control_characters", spoil_control_bytes("49.75     geographic latitude",
                                                           b"49\x01\xff\xfe\xef\xbf\xbf75 latitude"),
     17, ['unreadable value "49', diagnostics_well_formed]),
    ("grammar_variants", grammar_variants, 0, [], {"check": compared_with(lambda d: "", same_discharge)}),
    # Each step takes one record: a module's interval is the records' spacing.
    ("step_a_day_on_hourly_records", spoil_control("$set $step    = 60", "$set $step    = 1440"), 17,
     ["the time interval of radiation_correction is 1440 minutes (control file control.txt, line 314), the records "
      "of ./temperature.dat (temperature) are 1 h (60 minutes) apart"]),
    ("gw_three_layers", spoil_control("1         number of layers", "3         number of layers"), 17,
     ["the number of layers is 3 (control file control.txt, line 623), but the section ends before the grids of "
      "layer 2 (control file control.txt, line 654: [routing_model] where the name of grid with hydraulic heads"]),
    ("landuse_altdep_huge", spoil_control("AltDep = 0 0.025", "AltDep = 0 2.5"), 152,
     ["the entry of land use 1 (control file control.txt, lines 238-244): JulDays 105 + AltDep 2.5 per m"]),
    ("landuse_treduwet_text", spoil_control("TReduWet = 0.95;", "TReduWet = abc;"), 29,
     ["\"TReduWet\" = \"abc\" is no number (control file control.txt, line 239)"]),
]


class HeldCores:
    """Cores held for a run, as the tests of the build hold them (HeldCores of
    tests/support/testutil.h): with FLUVEX_TEST_CORES ("directory count") the
    runs of every test side by side hold at most count cores, one per
    instance, queueing at a gate; without it none."""

    def __init__(self, n):
        self.files = []
        words = os.environ.get("FLUVEX_TEST_CORES", "").split()
        if len(words) != 2 or int(words[1]) < 1:
            return
        d, count = words[0], int(words[1])
        os.makedirs(d, exist_ok=True)
        n = min(n, count)
        with open(os.path.join(d, "gate"), "a") as gate:
            fcntl.flock(gate, fcntl.LOCK_EX)
            while len(self.files) < n:
                for k in range(count):
                    if len(self.files) == n:
                        break
                    f = open(os.path.join(d, "core%d" % k), "a")
                    try:
                        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                        self.files.append(f)
                    except OSError:
                        f.close()
                if len(self.files) < n:
                    time.sleep(0.02)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for f in self.files:
            f.close()


def run_fluvex(args, d, np):
    """Runs control.txt in d on np instances: the exit code and the console output."""
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_hwloc_base_binding_policy="none", OMP_WAIT_POLICY="passive")
    # The many short runs give way to the example's year-long runs, the
    # longest chain of the suite, when ctest runs them side by side. The limit
    # only ends a run that hangs; a week of the example takes seconds.
    # One instance runs as an MPI singleton without mpirun and its daemon
    # (they cost more CPU than a copy that ends at its first check), in a
    # session directory of its own beside the copy.
    command = [args.mpirun, "--oversubscribe", "-np", str(np), args.fluvex, "control.txt"]
    session = d.rstrip("/") + ".mpi"
    if np == 1:
        command = [args.fluvex, "control.txt"]
        env.update(OMPI_MCA_ess_singleton_isolated="1", OMPI_MCA_orte_tmpdir_base=session)
    try:
        with HeldCores(np):
            r = subprocess.run(["nice", "-n", "10"] + command, cwd=d, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=args.limit)
    finally:
        if np == 1:
            shutil.rmtree(session, ignore_errors=True)
    return r.returncode, r.stdout.decode(errors="replace")


def run_case(args, base, case, np):
    name, edit, code, texts = case[:4]
    options = case[4] if len(case) > 4 else {}
    d = os.path.join(args.work, "%s_np%d" % (name, np))
    shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(base, d)
    try:
        if "first" in options:
            problem = options["first"](d)
            if problem:
                return name, problem
            returncode, _ = run_fluvex(args, d, np)
            if returncode != 0:
                return name, "the first run ended with %d" % returncode
        problem = edit(d)
        if problem:
            return name, problem
        if code == 0:
            legal_days(d)
        returncode, output = run_fluvex(args, d, np)
    except subprocess.TimeoutExpired:
        return name, "still running after %d s" % args.limit
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
    if returncode != code:
        failures.append("exit code %d, expected %d" % (returncode, code))
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
        if "check" in options and returncode == code:
            try:
                wrong = options["check"](d)
            except (OSError, ValueError, IndexError) as e:
                wrong = "its results cannot be read: %s" % e
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
    # k/n: every n-th run from the k-th on (k from 0), so that several
    # runners share the copies side by side.
    p.add_argument("--shard", default="0/1")
    p.add_argument("--limit", type=int, default=600)
    # The legal copies run the first days of the week only (a sample under
    # the sanitizers, whose steps take ten times longer).
    p.add_argument("--legal-days", type=int, default=0)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    global ARGS
    ARGS = args

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
    # Equal weights for the instances: no run spends its first seconds on
    # the speed test.
    with open(os.path.join(base, "MpiSpeedFactor.dat"), "w") as f:
        f.write("1\n")

    runs = [(c, np) for c in CASES if re.search(args.cases, c[0])
            for np in (c[4] if len(c) > 4 else {}).get("np", (1, 2) if c[2] != 0 else (2,))]
    k, n = (int(v) for v in args.shard.split("/"))
    runs = runs[k::n]
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        results = list(pool.map(lambda r: run_case(args, base, *r), runs))
    known = []
    for i, ((n, why), (c, np)) in enumerate(zip(results, runs)):
        issue = (c[4] if len(c) > 4 else {}).get("open")
        if issue and why:
            known.append("%s on %d: known fault of issue %d: %s" % (n, np, issue, why))
            why = ""
        elif issue:
            why = "ends as expected now: remove its mark of issue %d" % issue
        results[i] = (n, why)
    for line in known:
        print(line)
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
