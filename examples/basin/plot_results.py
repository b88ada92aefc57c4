#!/usr/bin/env python3
"""Draws the example's results as PNG pictures into the result directory:

- hydrograph.png: discharge at the basin outlet (m3/s) with the basin's daily
  precipitation (mm) hanging from the top;
- water_balance.png: the water balance of the basin from 2 January to 31
  December in mm: the precipitation and where it went (evapotranspiration
  with the interception evaporation in it, discharge at the outlet, the
  abstraction, and the change of the water stored in the soil with its
  groundwater, the snow cover, the leaves, on the surface, in the reservoir,
  the channels and the runoff on its way to them), and the residual that no
  term explains. It needs the run of the first day in out/day1/ (run.sh).

Reads the statistics files named in control.txt, the daily grids of the
precipitation and the real evapotranspiration, the reservoir and abstraction
tables, the soil's water content at the end and the storage content files
(basin_water.py); a term whose file is not there (its module switched off) is
left out and named on the terminal. The balance takes its fluxes from the
daily grids, not from the statistics files, whose few decimals would leave a
residual of their rounding (0.007 mm in the year). Grids are read as ASCII or
binary files; the six digits of ASCII grids still leave about 1e-8 of the
precipitation, double grids (WriteAsciiGrids = 0 and WriteDoubleGrids = 1 in
control.txt) about 1e-9, the decimals of the discharge table. Needs
python3-matplotlib.

Usage: plot_results.py [result directory]   (default: out/ beside the script)
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "out")


def read_stat(name):
    """Dates and the last column (the basin value) of a statistics file, or None."""
    path = os.path.join(out, name)
    if not os.path.exists(path):
        print("not drawn: %s (no such file)" % path)
        return None
    dates, values = [], []
    with open(path) as f:
        for i, line in enumerate(f):
            words = line.split()
            if i < 3 or len(words) < 5:
                continue
            year, month, day, hour = (int(w) for w in words[:4])
            dates.append((year, month, day, hour))
            values.append(float(words[-1]))
    return dates, values


def as_datetime(d):
    import datetime
    return datetime.datetime(d[0], d[1], d[2]) + datetime.timedelta(hours=d[3])


precipitation = read_stat("precipitation.stat")
discharge = read_stat("discharge.stat")

if discharge:
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(10, 6),
                                      gridspec_kw={"height_ratios": [1, 2.5]})
    if precipitation:
        top.bar([as_datetime(d) for d in precipitation[0]], precipitation[1], width=1.0, color="tab:blue")
    top.invert_yaxis()
    top.set_ylabel("precipitation\n(mm/day)")
    bottom.plot([as_datetime(d) for d in discharge[0]], discharge[1], color="black", linewidth=0.8)
    bottom.set_ylabel("discharge at the outlet (m3/s)")
    bottom.set_ylim(bottom=0)
    fig.suptitle("Example basin: simulated discharge at the outlet")
    fig.tight_layout()
    fig.savefig(os.path.join(out, "hydrograph.png"), dpi=120)
    print("drawn: %s" % os.path.join(out, "hydrograph.png"))

def read_table(name, directory=None):
    """Rows of numbers of a reservoir or abstraction table (three header lines), or None."""
    path = os.path.join(directory or out, name)
    if not os.path.exists(path):
        print("not drawn: %s (no such file)" % path)
        return None
    with open(path) as f:
        return [[float(w) for w in line.split()] for line in f.readlines()[3:] if line.strip()]


def soil_water(when, nth_last=1):
    """Mean soil water (m) of the basin at "model-start" or "model-end" of the
    nth last run logged in modell_0.log, or None."""
    path = os.path.join(os.path.dirname(os.path.abspath(out)), "modell_0.log")
    key = "mean soil water content for all cells at %s: " % when
    values = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:  # the log grows run by run
                if line.startswith(key):
                    values.append(float(line[len(key):].split()[0]))
    return values[-nth_last] if len(values) >= nth_last else None


# The balance from the second day to the end: run.sh runs the first day alone
# into out/day1/ before the year, so that every store can be read at the end
# of both runs (a cold start fills the channels before the first step).
# Fluxes are summed over the lines of the year after the first day; stores
# are taken at the end of each run; what does not add up is the residual.
first_day = os.path.join(out, "day1")
terms = []
residual = None
if os.path.isdir(first_day) and precipitation and discharge:
    import basin_water

    def after(stat, last):
        return [v for d, v in zip(stat[0], stat[1]) if d > last]

    def last_date(stat):
        return stat[0][-1] if stat and stat[0] else (0, 0, 0, 0)

    day1_precipitation = read_stat(os.path.join("day1", "precipitation.stat"))
    day1_discharge = read_stat(os.path.join("day1", "discharge.stat"))
    end_of_day1 = last_date(day1_discharge)

    def daily_grids(name, stat):
        """Sum of the basin means of the daily grids name_YYMM.DDs of the days
        after the first (the days of the statistics file); without them the
        statistics file's sum, with a note."""
        days = [d for d in stat[0] if d > last_date(day1_precipitation)]
        paths = [os.path.join(out, "%s_%02d%02d.%02ds" % (name, d[0] % 100, d[1], d[2])) for d in days]
        missing = [p for p in paths if not os.path.exists(p)]
        if missing:
            print("from the statistics file (rounded): %s, %s and %d more are not there"
                  % (name, missing[0], len(missing) - 1))
            return sum(after(stat, last_date(day1_precipitation)))
        return sum(basin_water.basin_mean(here, p) for p in paths)

    terms.append(("precipitation", daily_grids("prec", precipitation)))
    # The real evapotranspiration includes the evaporation of intercepted water.
    etr, ei = read_stat("etr.stat"), read_stat("ei.stat")
    if etr:
        label = "evapo-\ntranspiration"
        if ei:
            label += "\n(interception %.0f)" % sum(after(ei, last_date(day1_precipitation)))
        terms.append((label, -daily_grids("etr", etr)))
    cells, cell_m2 = basin_water.zone_cells(here)
    n_cells = sum(cells.values())
    area = n_cells * cell_m2

    def mm(m3):
        return m3 / area * 1000.0

    # Hourly discharge and abstraction (m3/s) at the basin outlet.
    terms.append(("discharge", -mm(sum(q * 3600.0 for q in after(discharge, end_of_day1)))))
    abstraction = read_table("abstraction_1.txt")
    if abstraction:
        terms.append(("abstraction",
                      -mm(sum(r[4] * 3600.0 for r in abstraction if tuple(int(w) for w in r[:4]) > end_of_day1))))
    stores = []
    start, end = basin_water.soil_water(here, first_day), basin_water.soil_water(here, out)
    if start is not None and end is not None:
        stores.append(("soil and\ngroundwater", end - start))
    else:
        # The log's figure has six decimals of a metre.
        print("soil water from modell_0.log (rounded to 0.001 mm): uzgrid3.asc or uzgrid5.asc not written")
        start, end = soil_water("model-end", 2), soil_water("model-end", 1)
        if start is not None and end is not None:
            stores.append(("soil and\ngroundwater", (end - start) * 1000.0))
    # Snow, intercepted water and the water on the surface: the grids that
    # the example writes at the end of each run.
    for name, label in (("stotal.asc", "snow cover"), ("si.asc", "intercepted\nwater"),
                        ("surfstor.asc", "water on\nthe surface")):
        a, b = os.path.join(first_day, name), os.path.join(out, name)
        if os.path.exists(a) and os.path.exists(b):
            stores.append((label, basin_water.basin_mean(here, b) - basin_water.basin_mean(here, a)))
        else:
            print("not in the balance: %s (write code 3 in control.txt writes it)" % name)
    stores.append(("reservoir", mm(basin_water.reservoir_volume(out) - basin_water.reservoir_volume(first_day))))
    stores.append(("channels", mm(basin_water.channel_water(here, out) - basin_water.channel_water(here, first_day))))
    # The soil's runoff waits in its flow-time zones and, without the surface
    # routing (whose section the storage content file then lacks), in its
    # linear storages; the surface routing drains the soil's storages at once
    # and holds its own.
    soil_storages = not basin_water.section(os.path.join(out, "storage.ftz_0"), "SurfaceRoutingModel")
    stores.append(("runoff on\nits way", (basin_water.runoff_in_transit(here, out, "SurfaceRoutingModel", True)
                                           - basin_water.runoff_in_transit(here, first_day, "SurfaceRoutingModel", True)
                                           + basin_water.runoff_in_transit(here, out, "unsatzon_model", soil_storages)
                                           - basin_water.runoff_in_transit(here, first_day, "unsatzon_model",
                                                                           soil_storages))
                   / n_cells))
    terms += [(label + "\nstorage change", -v) for label, v in stores]
    residual = sum(t[1] for t in terms)
    terms.append(("residual", residual))
    first = next(d for d in precipitation[0] if d > last_date(day1_precipitation))
    period = "%d-%02d-%02d to %d-%02d-%02d" % (first[:3] + precipitation[0][-1][:3])
    print("water balance of %s (mm over the basin; input +, output and storage gain -):" % period)
    for label, v in terms[:-1]:
        print("  %-40s %10.3f" % (label.replace("\n", " "), v))
    print("  %-40s %10.2g (%.1g of the precipitation)" % ("residual", residual, abs(residual) / terms[0][1]))
else:
    print("not drawn: %s (the balance needs the first day's run in out/day1/, see run.sh)"
          % os.path.join(out, "water_balance.png"))
if terms:
    fig, ax = plt.subplots(figsize=(13, 5))
    labels = [t[0] for t in terms]
    values = [t[1] for t in terms]
    ax.bar(labels, values, color=["tab:blue" if v >= 0 else "tab:orange" for v in values])
    for k, v in enumerate(values):
        text = "%.2f" % v if abs(v) < 10 else "%.0f" % v
        if labels[k] == "residual":
            text = "%.1g" % v
        ax.annotate(text, (k, v), ha="center", va="bottom" if v >= 0 else "top")
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_ylabel("mm, %s\n(input +, output and storage gain -)" % period)
    ax.set_title("Example basin: water balance (the residual is what no term explains)")
    ax.tick_params(axis="x", labelsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "water_balance.png"), dpi=120)
    print("drawn: %s" % os.path.join(out, "water_balance.png"))
