#!/usr/bin/env python3
"""Makes the example's land-use and soil grids from dem.asc, the groundwater
grids from them, the river network (the channel grids) from dem.asc and
zones.asc, and a year of hourly station data for six stations. (The subbasin
grid zones.asc and the flow times come from make_watershed.sh.)

The data are synthetic but realistic in range and seasonality for a low
mountain basin at 50 degrees north: temperature with its annual and daily cycle
and a lapse rate of 0.65 K per 100 m, precipitation from a wet/dry weather
chain shared by the stations (more with altitude), wind speed, relative
humidity and global radiation from the sun's position and the cloudiness.
A fixed seed makes every run write the same files.

Usage: make_inputs.py [output directory]   (default: the script's directory)
"""
import heapq
import math
import os
import random
import sys

SEED = 20150101
YEAR = 2015
LATITUDE = 49.75

here = os.path.dirname(os.path.abspath(__file__))
out = sys.argv[1] if len(sys.argv) > 1 else here


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
ncols, nrows = int(header["ncols"]), int(header["nrows"])
x0, y0, cs = header["xllcorner"], header["yllcorner"], header["cellsize"]
rng = random.Random(SEED)

# Land use: forest (2) on the steeper and higher ground, settlements (3) in a
# few valley cells, grassland and fields (1) elsewhere. Soil: a shallow loam
# (2) on the uplands above 400 m, sandy loam (3) on the steep sandstone
# slopes below, silt loam (1) elsewhere.
landuse, soil = [], []
for i, h in enumerate(dem):
    if h <= -9999:
        landuse.append(-9999)
        soil.append(-9999)
        continue
    r, c = divmod(i, ncols)
    neighbours = [dem[rr * ncols + cc] for rr in (r - 1, r, r + 1) for cc in (c - 1, c, c + 1)
                  if 0 <= rr < nrows and 0 <= cc < ncols and dem[rr * ncols + cc] > -9999]
    relief = max(neighbours) - min(neighbours)
    if relief > 60 or h > 430:
        landuse.append(2)
    elif h < 230 and rng.random() < 0.25:
        landuse.append(3)
    else:
        landuse.append(1)
    soil.append(2 if h > 400 else 3 if relief > 60 else 1)
write_grid(os.path.join(out, "landuse.asc"), header, landuse, "%d")
write_grid(os.path.join(out, "soil.asc"), header, soil, "%d")

# Groundwater: the saturated part of the soil and regolith column forms one
# aquifer layer (its thickness comes from the soil table). Conductivity (m/s)
# of the weathered rock under each soil: marl and loess under the silt loam
# are tight (1e-6), the fractured slate regolith of the uplands passes more
# (5e-6), the Luxembourg sandstone is the basin's main aquifer (3e-5). The
# specific yield is no input: the soil model sets it from the soil layer
# that holds the table.
conductivity = {1: 1e-6, 2: 5e-6, 3: 3e-5}
write_grid(os.path.join(out, "gw_k.asc"), header, [conductivity[s] if s > -9999 else -9999 for s in soil], "%g")

# River network: the steepest of the eight downslope neighbours (D8) of each
# basin cell on dem.asc, the number of cells that drain through each cell,
# and a river wherever that number reaches RIVER_THRESHOLD. The 1 km grid
# holds closed depressions (46 basin cells without a lower neighbour, most of
# them on the valley floors); they drain over their lowest rim, as in
# r.watershed's least-cost search: the cells are taken from a priority queue
# by their elevation, raised to the rim through which they were reached,
# starting at the basin outlet; each cell drains to the neighbour taken
# before it with the largest drop per metre of that raised elevation, on a
# flat to the neighbour that reached it, so every flow path ends at the
# outlet. A cell without a lower neighbour holds a river too, whatever drains
# through it: the depressions come from resampling the elevation model, a
# brook drains them in the landscape, and as land cells they would gather
# their neighbours' surface water into lakes that grow year by year.
#
# A river cell holds one channel: its link is the cell's subbasin code, its
# bed 2 m below the cell's mean surface, its width that of the routing
# channels of derive_network.py, 1.5 m x (km2 upstream)^0.45 (3.1 m at
# 5 km2, 35 m at the outlet). The groundwater drains into it through a bed of
# leakage coefficient 4e-6 1/s (control.txt): with the table 0.6 m deep,
# 4e-6 x 1.4 m x 3.1 m / 1000 m = 1.7e-8 m/s, 1.5 mm a day, in the
# smallest rivers. The other cells hold no channel (width and depth 0, no
# link): their water reaches the rivers over the surface and through the
# groundwater.
RIVER_THRESHOLD = 5  # cells of 1 km2
RIVER_BED_DEPTH = 2.0  # m below the cell's mean surface
_, zones = read_grid(os.path.join(here, "zones.asc"))
basin = [z > -9999 for z in zones]
NEIGHBOURS = [(-1, 0), (-1, 1), (0, 1), (1, 1), (1, 0), (1, -1), (0, -1), (-1, -1)]


def neighbours(i):
    r, c = divmod(i, ncols)
    for dr, dc in NEIGHBOURS:
        if 0 <= r + dr < nrows and 0 <= c + dc < ncols and basin[(r + dr) * ncols + c + dc]:
            yield (r + dr) * ncols + c + dc, cs * math.hypot(dr, dc)


# The outlet: the lowest basin cell next to a cell outside the basin.
outlet = min((i for i in range(len(zones)) if basin[i] and len(list(neighbours(i))) < 8), key=lambda i: dem[i])
raised = {outlet: dem[outlet]}
queue = [(dem[outlet], 0, outlet)]
reached_from = {}
downstream = {}
order = []
while queue:
    h, _, i = heapq.heappop(queue)
    if i != outlet:
        drops = [((h - raised[j]) / d, j) for j, d in neighbours(i) if j in downstream or j == outlet]
        steepest = max(drops)
        downstream[i] = steepest[1] if steepest[0] > 0 else reached_from[i]
    order.append(i)
    for j, _ in neighbours(i):
        if j not in raised:
            raised[j] = max(dem[j], h)
            reached_from[j] = i
            heapq.heappush(queue, (raised[j], len(raised), j))
assert len(order) == sum(basin), "basin cells that do not drain to the outlet"
upstream = [0] * len(zones)
for i in reversed(order):  # every cell comes after the cell it drains to
    upstream[i] += 1
    if i != outlet:
        upstream[downstream[i]] += upstream[i]
river = [basin[i] and (upstream[i] >= RIVER_THRESHOLD or all(dem[j] >= dem[i] for j, _ in neighbours(i)))
         for i in range(len(zones))]
write_grid(os.path.join(out, "river_links.asc"), header, [zones[i] if river[i] else -9999 for i in range(len(zones))],
           "%d")
write_grid(os.path.join(out, "river_depth.asc"), header,
           [(RIVER_BED_DEPTH if river[i] else 0) if basin[i] else -9999 for i in range(len(zones))], "%g")
write_grid(os.path.join(out, "river_width.asc"), header,
           [(1.5 * upstream[i] ** 0.45 if river[i] else 0) if basin[i] else -9999 for i in range(len(zones))], "%.1f")

# Six stations on valid cells spread over the basin (row, column from the top).
station_cells = [(10, 20), (26, 14), (40, 30), (46, 50), (62, 25), (74, 40)]
stations = []
for r, c in station_cells:
    h = dem[r * ncols + c]
    assert h > -9999, (r, c)
    stations.append({"name": "st%d%d" % (r, c), "alt": h,
                     "x": x0 + (c + 0.5) * cs, "y": y0 + (nrows - r - 0.5) * cs})


def days_in_year(year):
    return 366 if (year % 4 == 0 and year % 100 != 0) or year % 400 == 0 else 365


def month_day(year, doy):
    lengths = [31, 29 if days_in_year(year) == 366 else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    m = 0
    while doy > lengths[m]:
        doy -= lengths[m]
        m += 1
    return m + 1, doy


def clear_sky_radiation(doy, hour):
    """Mean global radiation (W/m2) of the hour ending at `hour`, cloudless."""
    decl = math.radians(23.44) * math.sin(2 * math.pi * (284 + doy) / 365.0)
    lat = math.radians(LATITUDE)
    solar_hour = hour - 0.5 - 0.4  # mid-hour, 6 degrees east of the time zone meridian
    sin_h = (math.sin(lat) * math.sin(decl) +
             math.cos(lat) * math.cos(decl) * math.cos(math.radians(15 * (solar_hour - 12))))
    if sin_h <= 0.0:
        return 0.0
    # Beam and diffuse light through a clear atmosphere: the transmissivity
    # falls with the air mass the light passes (Meinel and Meinel 1976).
    return 1367.0 * sin_h * 0.7 ** ((1.0 / max(sin_h, 0.05)) ** 0.678)


series = {name: [] for name in ("temperature", "precipitation", "wind", "humidity", "radiation")}
dates = []
wet = False
temperature_anomaly = 0.0
wind_level = 3.0
cloud = 0.5
for doy in range(1, days_in_year(YEAR) + 1):
    month, day = month_day(YEAR, doy)
    temperature_anomaly = 0.8 * temperature_anomaly + rng.gauss(0, 1.5)
    wind_level = max(0.5, 0.7 * wind_level + 0.3 * rng.lognormvariate(1.0, 0.45))
    for hour in range(1, 25):
        dates.append((YEAR, month, day, hour))
        # Wet spells: about 14 % of the hours are wet, in spells of some hours.
        wet = rng.random() < (0.85 if wet else 0.025)
        # Cloud cover (0 to 1) relaxes to its seasonal mean, about 0.75 in
        # winter and 0.6 in summer near 50 N, and thickens in wet spells.
        season = 0.675 + 0.075 * math.cos(2 * math.pi * (doy - 15) / 365.0)
        cloud = min(1.0, max(0.0, cloud + 0.05 * (season - cloud) + (0.05 if wet else -0.008) +
                             rng.gauss(0, 0.05)))
        annual = 9.0 - 8.5 * math.cos(2 * math.pi * (doy - 15) / 365.0)
        daily = 4.0 * (1 - 0.6 * cloud) * math.cos(2 * math.pi * (hour - 15) / 24.0)
        # Cloud cover reduces the clear-sky radiation after Kasten and Czeplak (1980).
        sky = clear_sky_radiation(doy, hour) * (1 - 0.75 * cloud ** 3.4)
        base_rain = rng.gammavariate(0.8, 0.85) if wet else 0.0
        rows = {name: [] for name in series}
        for s in stations:
            t = annual + daily + temperature_anomaly - 0.0065 * (s["alt"] - 300) + rng.gauss(0, 0.3)
            p = base_rain * (1 + 0.0015 * (s["alt"] - 300)) * rng.uniform(0.6, 1.4) if wet else 0.0
            u = wind_level * (1 + 0.002 * (s["alt"] - 300)) * rng.uniform(0.8, 1.2)
            rh = min(100.0, max(25.0, 72 + 15 * cloud - 2.0 * daily + rng.gauss(0, 3)))
            rows["temperature"].append("%.1f" % t)
            rows["precipitation"].append("%.1f" % max(0.0, p))
            rows["wind"].append("%.1f" % u)
            rows["humidity"].append("%.0f" % rh)
            rows["radiation"].append("%.0f" % (sky * rng.uniform(0.9, 1.1)))
        for name in series:
            series[name].append(rows[name])

# One data point is missing in the precipitation record of the first station
# on 3 January at 12:00, to show how missing values are written.
missing_index = dates.index((YEAR, 1, 3, 12))
series["precipitation"][missing_index][0] = "-9999.5"

units = {"temperature": "air temperature in deg C", "precipitation": "precipitation in mm per hour",
         "wind": "wind speed in m/s", "humidity": "relative humidity in %",
         "radiation": "global radiation in W/m2"}
for name, rows in series.items():
    with open(os.path.join(out, name + ".dat"), "w") as f:
        f.write("%s, hourly, %d (synthetic, make_inputs.py seed %d)\n" % (units[name], YEAR, SEED))
        f.write("YY MM DD HH " + " ".join("%.0f" % s["alt"] for s in stations) + "\n")
        f.write("YY MM DD HH " + " ".join("%.0f" % s["x"] for s in stations) + "\n")
        f.write("YY MM DD HH " + " ".join("%.0f" % s["y"] for s in stations) + "\n")
        f.write("YY MM DD HH " + " ".join(s["name"] for s in stations) + "\n")
        for date, values in zip(dates, rows):
            f.write("%d %d %d %d %s\n" % (date + (" ".join(values),)))
