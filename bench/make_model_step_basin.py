#!/usr/bin/env python3
"""Makes the model of the whole-model step benchmark: the example basin
(examples/basin) on an N x N grid (default 500 x 500) with every cell in the
model and all process modules on.

The grid covers 58 x 58 km of the example's elevation model (x 49000 ...
107000 m, y 77000 ... 135000 m, LUREF), so 116 m cells for N = 500. The
example's 1 km grids are first completed outside the basin and outside the
elevation model: missing elevations take the mean of their known neighbours
(repeated outwards), missing subbasin, land-use and soil codes those of the
nearest known cell. Then, on the N x N grid:
- elevation: bilinear from the 1 km cell centres, depressions filled (priority
  flood, a millimetre of fall per cell) so that every cell drains to the edge;
- subbasins 1 to 3, land use and soil: nearest 1 km cell;
- flow directions: the cell from which the flood reached a cell; flow
  accumulation along them; river cells drain at least 2 km2 (river_links =
  the subbasin code, width and depth grow with the catchment area);
- flow times: along the flow directions to where the path leaves the cell's
  subbasin, 1 m/s in river cells and 0.3 m/s elsewhere;
- routing description: subbasin 3 receives 1 and 2 as in the example, areas
  from the grid.
The station data are the example's (make_inputs.py). The control file is the
example's with these grids, the model time of the run, and the unsaturated
zone, surface routing, groundwater and discharge routing switched on.
MpiSpeedFactor.dat gives every instance the same speed (equal shares of the
cells).

Usage: make_model_step_basin.py OUTPUT_DIR [N] [WARMUP_STEPS] [STEPS]
  The run starts WARMUP_STEPS hourly steps before 25 February 2015, 01:00 and
  lasts WARMUP_STEPS + STEPS steps (default 6 and 24).
"""
import datetime
import heapq
import math
import os
import shutil
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
example = os.path.join(here, "..", "examples", "basin")
out = sys.argv[1]
N = int(sys.argv[2]) if len(sys.argv) > 2 else 500
WARMUP = int(sys.argv[3]) if len(sys.argv) > 3 else 6
STEPS = int(sys.argv[4]) if len(sys.argv) > 4 else 24
NODATA = -9999.0

# Window of the 1 km grids: rows 5 ... 62 (from the top), all 58 columns.
ROW0, SIZE_KM = 5, 58
CELL = SIZE_KM * 1000.0 / N


def read_grid(path):
    with open(path) as f:
        header = {}
        for _ in range(6):
            key, value = f.readline().split()
            header[key.lower()] = float(value)
        values = [float(v) for v in f.read().split()]
    n = int(header["ncols"])
    return header, [values[i:i + n] for i in range(0, len(values), n)]


def write_grid(path, values, fmt, xll, yll):
    with open(path, "w") as f:
        f.write("ncols        %d\nnrows        %d\n" % (N, N))
        f.write("xllcorner    %.1f\nyllcorner    %.1f\n" % (xll, yll))
        f.write("cellsize     %.3f\nNODATA_value -9999\n" % CELL)
        for row in values:
            f.write(" ".join(fmt % v for v in row) + "\n")


def neighbours(r, c, nr, nc):
    for dr in (-1, 0, 1):
        for dc in (-1, 0, 1):
            if (dr or dc) and 0 <= r + dr < nr and 0 <= c + dc < nc:
                yield r + dr, c + dc


def fill_by_mean(grid):
    """Missing cells take the mean of their known neighbours, ring by ring."""
    nr, nc = len(grid), len(grid[0])
    while True:
        todo = [(r, c) for r in range(nr) for c in range(nc) if grid[r][c] <= NODATA]
        if not todo:
            return grid
        new = {}
        for r, c in todo:
            known = [grid[a][b] for a, b in neighbours(r, c, nr, nc) if grid[a][b] > NODATA]
            if known:
                new[(r, c)] = sum(known) / len(known)
        for (r, c), v in new.items():
            grid[r][c] = v


def fill_by_nearest(grid):
    """Missing cells take the code of the nearest known cell (breadth first)."""
    nr, nc = len(grid), len(grid[0])
    front = [(r, c) for r in range(nr) for c in range(nc) if grid[r][c] > NODATA]
    while front:
        nxt = []
        for r, c in front:
            for a, b in neighbours(r, c, nr, nc):
                if grid[a][b] <= NODATA:
                    grid[a][b] = grid[r][c]
                    nxt.append((a, b))
        front = nxt
    return grid


os.makedirs(os.path.join(out, "out"), exist_ok=True)
# The example's station data and 1 km land-use and soil grids.
inputs = os.path.join(out, "inputs_1km")
os.makedirs(inputs, exist_ok=True)
subprocess.run([sys.executable, os.path.join(example, "make_inputs.py"), inputs], check=True)
for name in ("temperature", "precipitation", "wind", "humidity", "radiation"):
    shutil.copy(os.path.join(inputs, name + ".dat"), os.path.join(out, name + ".dat"))

_, dem1 = read_grid(os.path.join(example, "dem.asc"))
_, zones1 = read_grid(os.path.join(example, "zones.asc"))
_, landuse1 = read_grid(os.path.join(inputs, "landuse.asc"))
_, soil1 = read_grid(os.path.join(inputs, "soil.asc"))
dem1, zones1, landuse1, soil1 = (fill_by_mean(dem1), fill_by_nearest(zones1), fill_by_nearest(landuse1),
                                 fill_by_nearest(soil1))

# Fine grid, row 0 at the top; position in 1 km cells of the window.
scale = SIZE_KM / N
elev = [[0.0] * N for _ in range(N)]
zone = [[0] * N for _ in range(N)]
landuse = [[0] * N for _ in range(N)]
soil = [[0] * N for _ in range(N)]
for r in range(N):
    y = (r + 0.5) * scale - 0.5 + ROW0
    r0 = min(max(int(math.floor(y)), ROW0), ROW0 + SIZE_KM - 2)
    fy = min(max(y - r0, 0.0), 1.0)
    for c in range(N):
        x = (c + 0.5) * scale - 0.5
        c0 = min(max(int(math.floor(x)), 0), SIZE_KM - 2)
        fx = min(max(x - c0, 0.0), 1.0)
        elev[r][c] = ((1 - fy) * ((1 - fx) * dem1[r0][c0] + fx * dem1[r0][c0 + 1]) +
                      fy * ((1 - fx) * dem1[r0 + 1][c0] + fx * dem1[r0 + 1][c0 + 1]))
        nr1, nc1 = ROW0 + int((r + 0.5) * scale), int((c + 0.5) * scale)
        zone[r][c] = int(zones1[nr1][nc1])
        landuse[r][c] = int(landuse1[nr1][nc1])
        soil[r][c] = int(soil1[nr1][nc1])

# Priority flood from the edge: a cell reached from a lower one drains to it.
EPS = 0.001
down = [[None] * N for _ in range(N)]
done = [[False] * N for _ in range(N)]
heap = []
for r in range(N):
    for c in range(N):
        if r in (0, N - 1) or c in (0, N - 1):
            heapq.heappush(heap, (elev[r][c], r, c))
            done[r][c] = True
order = []
while heap:
    h, r, c = heapq.heappop(heap)
    order.append((r, c))
    for a, b in neighbours(r, c, N, N):
        if done[a][b]:
            continue
        done[a][b] = True
        if elev[a][b] <= h:
            elev[a][b] = h + EPS
        down[a][b] = (r, c)
        heapq.heappush(heap, (elev[a][b], a, b))

accumulation = [[1] * N for _ in range(N)]
for r, c in reversed(order):
    if down[r][c]:
        a, b = down[r][c]
        accumulation[a][b] += accumulation[r][c]
area_km2 = CELL * CELL / 1e6
river = [[accumulation[r][c] * area_km2 >= 2.0 for c in range(N)] for r in range(N)]

flow_time = [[0.0] * N for _ in range(N)]
for r, c in order:
    speed = 1.0 if river[r][c] else 0.3
    if down[r][c]:
        a, b = down[r][c]
        length = CELL * (math.sqrt(2.0) if a != r and b != c else 1.0)
        flow_time[r][c] = length / speed + (flow_time[a][b] if zone[a][b] == zone[r][c] else 0.0)
    else:
        flow_time[r][c] = 0.5 * CELL / speed

xll, yll = 49000.0, 56000.0 + (84 - ROW0 - SIZE_KM) * 1000.0
write_grid(os.path.join(out, "dem.asc"), elev, "%.3f", xll, yll)
write_grid(os.path.join(out, "zones.asc"), zone, "%d", xll, yll)
write_grid(os.path.join(out, "landuse.asc"), landuse, "%d", xll, yll)
write_grid(os.path.join(out, "soil.asc"), soil, "%d", xll, yll)
write_grid(os.path.join(out, "flow_times.asc"), flow_time, "%.0f", xll, yll)
write_grid(os.path.join(out, "river_links.asc"),
           [[zone[r][c] if river[r][c] else 0 for c in range(N)] for r in range(N)], "%d", xll, yll)
write_grid(os.path.join(out, "river_width.asc"),
           [[2.0 + 2.0 * math.sqrt(accumulation[r][c] * area_km2) if river[r][c] else 0.0 for c in range(N)]
            for r in range(N)], "%.2f", xll, yll)
write_grid(os.path.join(out, "river_depth.asc"),
           [[0.5 + 0.1 * math.sqrt(accumulation[r][c] * area_km2) if river[r][c] else 0.0 for c in range(N)]
            for r in range(N)], "%.2f", xll, yll)

areas = {k: sum(row.count(k) for row in zone) * area_km2 for k in (1, 2, 3)}

# ---------------------------------------------------------------- control file
with open(os.path.join(example, "control.txt")) as f:
    lines = f.read().split("\n")


def section_span(name):
    """Lines of section name: its header up to the comments before the next one."""
    start = lines.index("[%s]" % name)
    end = start + 1
    while end < len(lines) and not lines[end].startswith("["):
        end += 1
    while end - 1 > start and (lines[end - 1].startswith("#") or not lines[end - 1].strip()):
        end -= 1
    return start, end


def replace_section(name, body):
    start, end = section_span(name)
    lines[start:end] = ["[%s]" % name] + body.strip("\n").split("\n") + [""]


def switch_on(name):
    start, _ = section_span(name)
    lines[start + 1] = "1"


# Hour stamps (1 ... 24 of a day) of the first and the last step.
def stamp(t):
    if t.hour == 0:
        t -= datetime.timedelta(hours=1)
        return "24\n%d\n%d\n%d" % (t.day, t.month, t.year)
    return "%d\n%d\n%d\n%d" % (t.hour, t.day, t.month, t.year)


first = datetime.datetime(2015, 2, 25, 1) - datetime.timedelta(hours=WARMUP)
replace_section("model_time", stamp(first) + "\n" + stamp(first + datetime.timedelta(hours=WARMUP + STEPS - 1)))
replace_section("zone_grid", "zones.asc    subbasins 1 to 3, every cell in the model")
replace_section("elevation_model", "dem.asc      elevation in m, depressions filled")
standard = [
    "zones.asc zonegrid_soilmodel fillcode = 0 readcode = 1",
    "dem.asc elevation fillcode = 0 readcode = 1",
    "landuse.asc landuse fillcode = 0 readcode = 1",
    "soil.asc soil_types fillcode = 0 readcode = 1",
    "flow_times.asc flow_times fillcode = 0 readcode = 1",
    "river_links.asc river_links fillcode = 0 readcode = 1",
    "river_width.asc river_width fillcode = 0 readcode = 1",
    "river_depth.asc river_depth fillcode = 0 readcode = 1",
    "surfstor.asc SurfStorSiltingUp fillcode = 0 readcode = 0 defaultValue = 0",
    "fixh1.asc gw_boundary_fix_h_1 fillcode = 0 readcode = 0 defaultValue = -9999",
    "fixq1.asc gw_boundary_fix_q_1 fillcode = 0 readcode = 0 defaultValue = -9999",
    "thick1.asc aquifer_thickness_1 fillcode = 0 readcode = 0 defaultValue = 10",
    "kx1.asc gw_k_x_1 fillcode = 0 readcode = 0 defaultValue = 1e-4",
    "ky1.asc gw_k_y_1 fillcode = 0 readcode = 0 defaultValue = 1e-4",
    "storage1.asc gw_storage_coeff_1 fillcode = 0 readcode = 0 defaultValue = 0.15",
    "kolmation.asc kolmation fillcode = 0 readcode = 0 defaultValue = 1e-5",
]
replace_section("standard_grids", "%d\n%s" % (len(standard), "\n".join(standard)))

for name in ("radiation_correction", "evapotranspiration", "snow_model", "interception_model", "unsatzon_model"):
    switch_on(name)
# Exfiltration of the groundwater into the river cells (1; 2 would also let
# rivers infiltrate, on one instance only).
start, _ = section_span("unsatzon_model")
assert "surface water interaction" in lines[start + 4], lines[start + 4]
lines[start + 4] = "1         surface water interaction: exfiltration into the rivers"
replace_section("SurfaceRoutingModel", """1
$step
1         method: flow paths split by aspect
qdsr.stat 4024
qisr.stat 0
qbsr.stat 0
qgsr.stat 4024
srvelocity.asc
0
srfluxes.asc
0
0.001     maximum iteration error for the wake length (m)
20        maximum iterations for the wake length
0.001     maximum iteration error for the velocity (m/s)
20        maximum iterations for the velocity
60        minimum sub time step (s)
900       maximum sub time step (s)
0.05      minimum flow depth for crop roughness (m)
1.0       concentration factor
0         read control parameter for storage grids
srstorage.stat 2024""")
replace_section("groundwater_flow", """1
$step
1         method: over-relaxation
200       maxiter
0.0001    maxerror_allowed (m)
1.0       alpha
1.5       sor-parameter
0         grid read parameter: heads from the groundwater distance
1         number of layers
0 0       no control point
gwcontrol.txt
0         no ponds
gwhead1.asc
0
gwflowx1.asc
0
gwflowy1.asc
0
gwbalance1.asc
0""")
channel = "kh = 2.65, kv = 7.95, Th = 1.93, Mh = 30, Mv = 20, I = 0.0005, L = 9536"
routing = """TG 3 (area = %.1f, rel = 1)
OL 1 (%s, Bh = 24.4, Bv = 244, AE = %.1f)
OL 2 (%s, Bh = 25.2, Bv = 252, AE = %.1f)""" % (areas[1] + areas[2] + areas[3], channel, areas[1], channel, areas[2])
replace_section("routing_model", """1
$step
0.1 1000 20 1	qmin qmax intervals subintervals
discharge.stat 2001	discharge of every step
none.txt
0
0
""" + routing + "\nend of the routing descriptions")
replace_section("special_output", "0\n$step")
with open(os.path.join(out, "control.txt"), "w") as f:
    f.write("\n".join(lines))
# The instances of a benchmark run share one machine, so they take equal
# shares of the cells: the same run time for every instance in
# MpiSpeedFactor.dat. The program's speed test at start-up would divide the
# cells by one short timing of each instance, which on a shared machine
# varies from run to run by more than its cores differ.
with open(os.path.join(out, "MpiSpeedFactor.dat"), "w") as f:
    f.write("1\n")
print("%s: %d x %d cells of %.1f m, subbasins %s km2, %d river cells, longest flow time %.0f h" %
      (out, N, N, CELL, " ".join("%.0f" % areas[k] for k in (1, 2, 3)), sum(map(sum, river)),
       max(map(max, flow_time)) / 3600))
