#!/usr/bin/env python3
"""daily_stations.py DIR: writes <name>_daily.dat beside the example's hourly station files in DIR.

One record per day stamped with hour 24 (the end of the day, as the hourly
files stamp the end of each hour): precipitation the day's sum (mm/day),
global radiation the day's sum of the hourly means (W/m2 x 1 h = Wh/m2 per
day, the unit the evapotranspiration expects per step), temperature, wind
speed and humidity the day's mean. A day with a missing hour (value <= -9999)
is missing at that station (-9999.5). The five header lines are kept.
"""
import os
import sys

d = sys.argv[1]
SUMS = {"precipitation", "radiation"}
for name in ("temperature", "precipitation", "wind", "humidity", "radiation"):
    src = os.path.join(d, name + ".dat")
    lines = open(src).read().splitlines()
    head, body = lines[:5], lines[5:]
    days = {}
    order = []
    for line in body:
        w = line.split()
        if not w:
            continue
        y, m, dd, h = (int(x) for x in w[:4])
        key = (y, m, dd)
        if key not in days:
            days[key] = []
            order.append(key)
        days[key].append([float(x) for x in w[4:]])
    with open(os.path.join(d, name + "_daily.dat"), "w") as f:
        f.write(head[0].replace("hourly", "daily") + "\n")
        for h in head[1:]:
            f.write(h + "\n")
        for key in order:
            rows = days[key]
            assert len(rows) == 24, (name, key, len(rows))
            out = []
            for s in range(len(rows[0])):
                col = [r[s] for r in rows]
                if any(v <= -9999 for v in col):
                    out.append("-9999.5")
                    continue
                v = sum(col) if name in SUMS else sum(col) / 24.0
                out.append("%.4f" % v)
            f.write("%d %d %d 24 %s\n" % (key + (" ".join(out),)))
print("daily files written in", d)
