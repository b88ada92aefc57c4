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


def hourly_series(name, header, value):
    """Writes name: one line per hour of January 2015 with value (a table of
    year, month, day, hour and one value)."""
    def edit(d):
        lines = [header] + ["2015 1 %d %d %s" % (day, h, value) for day in range(1, 32) for h in range(1, 25)]
        open(os.path.join(d, name), "w").write("\n".join(lines) + "\n")
        return ""
    return edit


def edits(*steps):
    def edit(d):
        return "".join(step(d) for step in steps)
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
    def check(d):
        np = int(re.search(r"_np(\d+)$", d).group(1))
        ref = d + "_reference"
        shutil.rmtree(ref, ignore_errors=True)
        shutil.copytree(os.path.join(ARGS.work, "base"), ref)
        problem = reference_edit(ref)
        if problem:
            return "reference: " + problem
        code, output = run_fluvex(ARGS, ref, np)
        if code != 0:
            return "the reference run ended with %d:\n%s" % (code, "\n".join(output.splitlines()[-10:]))
        wrong = compare(stat_rows(d, "discharge.stat"), stat_rows(ref, "discharge.stat"))
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


# An inflow line for subbasin 3 (its mode and value in place of %s).
ZL = "ZL 1 (Q = %s, kh = 0.20, kv = 0.61, Bh = 5, Bv = 50, Th = 1, Mh = 30, Mv = 20, I = 0.0005, L = 5000, AE = 10)\n"


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
    # A storage constant not above 0 is one of 0.01 h: a channel without storage.
    ("routing_kh", spoil_control("OL 1 (kh = 0.20", "OL 1 (kh = -0.20"), 0,
     ["TG 3, channel of OL 1: kh = -0.20 is not greater than 0", "takes its default 0.01 (no storage)"],
     {"np": (1, 2), "check": compared_with(spoil_control("OL 1 (kh = 0.20", "OL 1 (kh = 0.01"),
                                           outlet_shifted_by(0.0))}),
    ("routing_twice", spoil_control("OL 2 (kh", "OL 1 (kh"), 41,
     ["subbasin 1 is listed twice as a tributary of subbasin 3"]),
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
]


def run_fluvex(args, d, np):
    """Runs control.txt in d on np instances: the exit code and the console output."""
    env = dict(os.environ, OMP_NUM_THREADS="1", OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
               OMPI_MCA_hwloc_base_binding_policy="none", OMP_WAIT_POLICY="passive")
    # The limit only ends a run that hangs; a week of the example takes seconds.
    r = subprocess.run([args.mpirun, "--oversubscribe", "-np", str(np), args.fluvex, "control.txt"], cwd=d, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=args.limit)
    return r.returncode, r.stdout.decode(errors="replace")


def run_case(args, base, case, np):
    name, edit, code, texts = case[:4]
    options = case[4] if len(case) > 4 else {}
    d = os.path.join(args.work, "%s_np%d" % (name, np))
    shutil.rmtree(d, ignore_errors=True)
    shutil.copytree(base, d)
    problem = edit(d)
    if problem:
        return name, problem
    try:
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
