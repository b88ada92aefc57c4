#!/usr/bin/env python3
"""Draws the example's results as PNG pictures into the result directory:

- hydrograph.png: discharge at the basin outlet (m3/s) with the basin's daily
  precipitation (mm) hanging from the top;
- water_balance.png: the annual water balance of the basin in mm: the
  precipitation and where it went (evapotranspiration with the interception
  evaporation in it, discharge at the outlet, the abstraction, and the change
  of the water stored in the snow cover, the soil with its groundwater, on
  the surface (surface routing) and in the reservoir; what remains is stored
  in the channels and the interception).

Reads the statistics files named in control.txt, the reservoir and abstraction
tables and the soil water that the soil module writes to modell_0.log; a term
whose file is not there (its module switched off) is left out and named on the
terminal. Needs python3-matplotlib.

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

def read_table(name):
    """Rows of numbers of a reservoir or abstraction table (three header lines), or None."""
    path = os.path.join(out, name)
    if not os.path.exists(path):
        print("not drawn: %s (no such file)" % path)
        return None
    with open(path) as f:
        return [[float(w) for w in line.split()] for line in f.readlines()[3:] if line.strip()]


def soil_water(when):
    """Mean soil water (m) of the basin at "model-start" or "model-end", or None."""
    path = os.path.join(os.path.dirname(os.path.abspath(out)), "modell_0.log")
    key = "mean soil water content for all cells at %s: " % when
    value = None
    if os.path.exists(path):
        with open(path) as f:
            for line in f:  # the log grows run by run: the last line counts
                if line.startswith(key):
                    value = float(line[len(key):].split()[0])
    return value


terms = []
if precipitation:
    terms.append(("precipitation", sum(precipitation[1])))
# The real evapotranspiration includes the evaporation of intercepted water.
etr, ei = read_stat("etr.stat"), read_stat("ei.stat")
if etr:
    label = "evapo-\ntranspiration"
    if ei:
        label += "\n(interception %.0f)" % sum(ei[1])
    terms.append((label, -sum(etr[1])))
# Hourly discharge and abstraction (m3/s) and volumes (m3) to mm over the
# basin's area, the cells of zones.asc.
with open(os.path.join(here, "zones.asc")) as f:
    header = dict(f.readline().split()[:2] for _ in range(6))
    cells = sum(1 for v in f.read().split() if float(v) > -9999)
area = cells * float(header["cellsize"]) ** 2
if discharge:
    terms.append(("discharge", -sum(q * 3600.0 for q in discharge[1]) / area * 1000.0))
abstraction = read_table("abstraction_1.txt")
if abstraction:
    terms.append(("abstraction", -sum(r[4] * 3600.0 for r in abstraction) / area * 1000.0))
start, end = soil_water("model-start"), soil_water("model-end")
if start is not None and end is not None:
    terms.append(("soil and\ngroundwater\nstorage change", -(end - start) * 1000.0))
# Storage: the daily means of the first and the last day.
snow = read_stat("snowstorage.stat")
if snow and snow[1]:
    terms.append(("snow storage\nchange", -(snow[1][-1] - snow[1][0])))
# The surface starts dry; its water at the end: the last day's mean.
surface = read_stat("surfstorage.stat")
if surface and surface[1]:
    terms.append(("surface\nstorage\nchange", -surface[1][-1]))
reservoir = read_table("reservoir_1.txt")
if reservoir:
    # Volume after the last step less the volume before the first (V - dV).
    terms.append(("reservoir\nstorage change", -(reservoir[-1][6] - (reservoir[0][6] - reservoir[0][25])) / area * 1000.0))
if len(terms) > 2:
    terms.append(("channels and\ninterception\n(the rest)", -sum(t[1] for t in terms)))
if terms:
    fig, ax = plt.subplots(figsize=(11, 5))
    labels = [t[0] for t in terms]
    values = [t[1] for t in terms]
    ax.bar(labels, values, color=["tab:blue" if v >= 0 else "tab:orange" for v in values])
    for k, v in enumerate(values):
        ax.annotate("%.1f" % v if abs(v) < 10 else "%.0f" % v, (k, v), ha="center",
                    va="bottom" if v >= 0 else "top")
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_ylabel("mm in the year (input +, output -)")
    ax.set_title("Example basin: annual water balance")
    fig.tight_layout()
    fig.savefig(os.path.join(out, "water_balance.png"), dpi=120)
    print("drawn: %s" % os.path.join(out, "water_balance.png"))
