#!/usr/bin/env python3
"""Second half of make_watershed.sh: turns the grids exported by GRASS GIS into
the example's subbasin grid, flow-time grid and channel values.

Usage: derive_network.py <directory of the GRASS grids> <output directory>

Reads dir.asc, subbasin.asc and stream.asc (r.watershed) and dem.asc.
Writes
- zones.asc: subbasin codes 1..n, numbered from upstream to downstream (the
  subbasin of the basin outlet has the largest code); cells outside the
  basin are missing (-9999);
- flow_times.asc: travel time of each cell's water to the outlet of its
  subbasin in seconds, following the flow directions; 1.0 m/s in stream
  cells and 0.3 m/s elsewhere; the outlet cell counts half its own flow
  length, so every cell of the basin has a flow time above 0;
- routing.txt: one "TG" line per subbasin that receives tributaries and one
  "OL" line per tributary, with the channel from the cell the tributary
  drains into down to the outlet of the receiving subbasin.
"""
import math
import os
import sys

src, out = sys.argv[1], sys.argv[2]
here = os.path.dirname(os.path.abspath(__file__))

STREAM_VELOCITY = 1.0    # m/s
HILLSLOPE_VELOCITY = 0.3  # m/s
MIN_SLOPE = 0.0005
SUBCHANNELS = 13


def read_grid(path):
    with open(path) as f:
        header = {}
        for _ in range(6):
            key, value = f.readline().split()
            header[key.lower()] = float(value)
        values = [float(v) for v in f.read().split()]
    return header, values


def write_grid(path, header, values, fmt):
    ncols = int(header["ncols"])
    with open(path, "w") as f:
        f.write("ncols        %d\n" % ncols)
        f.write("nrows        %d\n" % int(header["nrows"]))
        f.write("xllcorner    %.1f\n" % header["xllcorner"])
        f.write("yllcorner    %.1f\n" % header["yllcorner"])
        f.write("cellsize     %.1f\n" % header["cellsize"])
        f.write("NODATA_value -9999\n")
        for r in range(0, len(values), ncols):
            f.write(" ".join(fmt % v if v > -9999 else "-9999" for v in values[r:r + ncols]) + "\n")


header, dem = read_grid(os.path.join(here, "dem.asc"))
_, drain = read_grid(os.path.join(src, "dir.asc"))
_, basin = read_grid(os.path.join(src, "subbasin.asc"))
_, stream = read_grid(os.path.join(src, "stream.asc"))
ncols, nrows, cs = int(header["ncols"]), int(header["nrows"]), header["cellsize"]

# r.watershed's drainage directions, counted anticlockwise from north-east;
# (row, column) offsets with rows counted from the top.
OFFSETS = {1: (-1, 1), 2: (-1, 0), 3: (-1, -1), 4: (0, -1), 5: (1, -1), 6: (1, 0), 7: (1, 1), 8: (0, 1)}


def downstream(i):
    """Index of the cell that cell i drains into, or None outside the grid or basin."""
    d = int(abs(drain[i]))
    if d not in OFFSETS:
        return None
    r, c = divmod(i, ncols)
    rr, cc = r + OFFSETS[d][0], c + OFFSETS[d][1]
    if not (0 <= rr < nrows and 0 <= cc < ncols):
        return None
    j = rr * ncols + cc
    return j if basin[j] > -9999 else None


def step_length(i):
    d = int(abs(drain[i]))
    return cs * (math.sqrt(2.0) if d in (1, 3, 5, 7) else 1.0)


cells = [i for i in range(len(basin)) if basin[i] > -9999]
# Cells draining through each cell, itself included, counted along the flow
# directions (r.watershed marks the accumulation at the basin's edge as
# possibly incomplete, so it is not used); a loop would be a fault of the
# flow directions.
upstream = [0] * len(basin)
for i in cells:
    j, steps = i, 0
    while j is not None:
        upstream[j] += 1
        j = downstream(j)
        steps += 1
        assert steps <= len(cells), "flow directions loop at cell %d" % i

# Outlet of every GRASS basin: its cell that drains out of it.
outlets = {}
for i in cells:
    j = downstream(i)
    if j is None or basin[j] != basin[i]:
        assert basin[i] not in outlets, "two outlets of basin %d" % basin[i]
        outlets[basin[i]] = i
# Codes 1..n from the smallest to the largest accumulation at the outlet.
order = sorted(outlets, key=lambda b: upstream[outlets[b]])
code = {b: k + 1 for k, b in enumerate(order)}
zones = [code[b] if b > -9999 else -9999 for b in basin]
write_grid(os.path.join(out, "zones.asc"), header, zones, "%d")


def velocity(i):
    return STREAM_VELOCITY if stream[i] > -9999 else HILLSLOPE_VELOCITY


flow_time = [-9999.0] * len(basin)


def travel(i):
    """Seconds from the centre of cell i to the outlet edge of its subbasin."""
    path = []
    while flow_time[i] <= -9999:
        path.append(i)
        j = downstream(i)
        if j is None or basin[j] != basin[i]:
            flow_time[i] = 0.5 * step_length(i) / velocity(i)
            path.pop()
            break
        i = j
    for k in reversed(path):
        flow_time[k] = step_length(k) / velocity(k) + flow_time[downstream(k)]
    return flow_time[path[0]] if path else flow_time[i]


for i in cells:
    travel(i)
write_grid(os.path.join(out, "flow_times.asc"), header, [round(t) if t > -9999 else -9999 for t in flow_time], "%d")

# Channels: a tributary's water enters the receiving subbasin in the cell its
# outlet drains into and runs along the flow path to that subbasin's outlet.
lines = []
area = {b: upstream[outlets[b]] * cs * cs / 1e6 for b in outlets}  # km2 upstream of each outlet
for b in order:
    tributaries = [t for t in order if downstream(outlets[t]) is not None and basin[downstream(outlets[t])] == b]
    if not tributaries:
        continue
    lines.append("TG %d (area = %.0f, rel = 1)" % (code[b], area[b]))
    for t in tributaries:
        entry = downstream(outlets[t])
        i, length = entry, 0.0
        while i != outlets[b]:
            length += step_length(i)
            i = downstream(i)
        slope = max(MIN_SLOPE, (dem[entry] - dem[outlets[b]]) / max(length, cs))
        length += 0.5 * step_length(outlets[b])
        ae = area[t]
        # Hydraulic geometry of a low mountain river: main channel width and
        # depth grow with the catchment area. The routing splits a channel
        # into sub-channels, each a linear storage of the main channel and
        # one of the flood plains with the storage constants kh and kv (h);
        # for specific discharges of 1 to 1000 l/s/km2 it makes SUBCHANNELS
        # of these channels (see the wq_table files it writes). The cascade
        # of main-channel storages holds the water for the travel time at
        # 1 m/s, the flood plains for three times as long.
        kh = length / STREAM_VELOCITY / 3600.0 / SUBCHANNELS
        lines.append("OL %d (kh = %.2f, kv = %.2f, Bh = %.1f, Bv = %.0f, Th = %.2f, Mh = 30, Mv = 20, I = %.4f, "
                     "L = %.0f, AE = %.0f)" % (code[t], kh, 3 * kh, 1.5 * ae ** 0.45, 15 * ae ** 0.45,
                                               0.3 * ae ** 0.3, slope, length, ae))
with open(os.path.join(out, "routing.txt"), "w") as f:
    f.write("\n".join(lines) + "\n")
for b in order:
    print("subbasin %d: %d cells, outlet at row %d column %d, %.0f km2 upstream, longest flow time %.1f h" %
          (code[b], sum(1 for i in cells if basin[i] == b), outlets[b] // ncols + 1, outlets[b] % ncols + 1, area[b],
           max(flow_time[i] for i in cells if basin[i] == b) / 3600))
