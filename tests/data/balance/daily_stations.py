#!/usr/bin/env python3
"""daily_stations.py DIR [DAYS]: writes <name>_daily.dat (or, for DAYS > 1,
<name>_<DAYS>days.dat, one record per DAYS days stamped with the last day's
hour 24, sums and means over the DAYS days, days of an incomplete group at
the end of the year left out) beside the example's hourly station files in DIR.

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
n = int(sys.argv[2]) if len(sys.argv) > 2 else 1
suffix = "_daily" if n == 1 else "_%ddays" % n
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
    with open(os.path.join(d, name + suffix + ".dat"), "w") as f:
        f.write(head[0].replace("hourly", "daily" if n == 1 else "per %d days" % n) + "\n")
        for h in head[1:]:
            f.write(h + "\n")
        for first in range(0, len(order) - n + 1, n):
            rows = []
            for key in order[first:first + n]:
                assert len(days[key]) == 24, (name, key, len(days[key]))
                rows += days[key]
            key = order[first + n - 1]
            out = []
            for s in range(len(rows[0])):
                col = [r[s] for r in rows]
                if any(v <= -9999 for v in col):
                    out.append("-9999.5")
                    continue
                v = sum(col) if name in SUMS else sum(col) / len(col)
                out.append("%.4f" % v)
            f.write("%d %d %d 24 %s\n" % (key + (" ".join(out),)))
print("daily files written in", d)
