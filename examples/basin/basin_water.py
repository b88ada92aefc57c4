"""Water held in the runoff paths of a finished run of the example basin, read
from what the run leaves behind: the storage content files (the routing's
channels and reservoirs, the runoff on its way through the flow-time zones
and linear storages of the soil model and the surface routing), the channel
flow tables and the routing lines of the control file.

Every function takes the run's directory (control file, zones.asc and the
channel tables wq_table.NNN there) and its result directory.
"""
import math
import os
import struct


def _numbers(line):
    """The numbers a line starts with."""
    values = []
    for word in line.split():
        try:
            values.append(float(word))
        except ValueError:
            break
    return values


def _keyed(line, key):
    """The value of "key = value" on a routing line (the last one), or None."""
    value = None
    at = line.find(key)
    while at >= 0:
        rest = line[at + len(key):].lstrip(" \t")
        if (at == 0 or not line[at - 1].isalnum()) and rest.startswith("="):
            words = rest[1:].replace(",", " ").replace(")", " ").split()
            try:
                value = float(words[0])
            except (ValueError, IndexError):
                pass
        at = line.find(key, at + 1)
    return value


def _whole_number_after(line, marker):
    """The whole number that follows the first marker in line."""
    rest = line[line.index(marker) + len(marker):]
    digits = ""
    for ch in rest:
        if not ch.isdigit():
            break
        digits += ch
    return int(digits)


def section(path, name):
    """Lines of a section of a storage content file ([] when it has none)."""
    lines, inside = [], False
    if not os.path.exists(path):
        return lines
    with open(path) as f:
        for line in f.read().split("\n"):
            if line.startswith("["):
                if inside:
                    break
                inside = line.startswith("[" + name + "]")
                continue
            if inside:
                lines.append(line)
    return lines


def _binary(data):
    """The twelve header values and the values of a binary grid or stack file
    (doubles when the sixth header double is -9999, else floats), or None."""
    for size, code in ((8, "d"), (4, "f")):
        if len(data) >= 12 * size and struct.unpack_from("<" + code, data, 5 * size)[0] == -9999:
            n = len(data) // size
            values = struct.unpack("<%d%s" % (n, code), data[:n * size])
            return values[:12], list(values[12:])
    return None


def _read(path, text_start, kind):
    """The bytes of a grid or stack file and, when it is binary (it does not
    start with text_start), its header and values."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(text_start):
        return data, None
    binary = _binary(data)
    if binary is None:
        raise ValueError("%s: neither an ASCII nor a binary %s" % (path, kind))
    return data, binary


def grid_values(path):
    """Values (row by row) and nodata value of a grid file: ASCII, or binary
    with doubles or floats (WriteAsciiGrids = 0 in control.txt)."""
    data, binary = _read(path, b"ncol", "grid")
    if binary:
        return binary[1], binary[0][5]
    words = data.decode().split()
    header = dict(zip(words[0:12:2], words[1:12:2]))
    nodata = float(header.get("NODATA_value", header.get("nodata_value", -9999)))
    return [float(v) for v in words[12:]], nodata


def basin_mean(run, path):
    """Mean of a grid over the basin's cells (those of zones.asc); a missing
    cell counts 0."""
    zones, znodata = grid_values(os.path.join(run, "zones.asc"))
    grid, gnodata = grid_values(path)
    total = cells = 0
    for z, v in zip(zones, grid):
        if z != znodata and z > -9999:
            cells += 1
            if v != gnodata and v > -9999:
                total += v
    return total / cells


def soil_water(run, out):
    """Mean water (mm) of the soil column with its groundwater over the basin
    at the end of the run: the water content of each layer (uzgrid3.asc)
    times its thickness (the layer boundaries in m, uzgrid5.asc), both stacks
    written at the end; None when one of them is not there."""
    def stack(name):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            return None
        data, binary = _read(path, b"stack", "stack")
        if binary:
            return int(binary[0][11]), binary[1]
        words = data.decode().split()
        header = dict(zip(words[0:24:2], words[1:24:2]))
        return int(float(header["numlevels"])), [float(v) for v in words[24:]]
    theta, bounds = stack("uzgrid3.asc"), stack("uzgrid5.asc")
    if theta is None or bounds is None:
        return None
    levels, t = theta
    b = bounds[1]
    zones, nodata = grid_values(os.path.join(run, "zones.asc"))
    total = cells = 0
    for i, z in enumerate(zones):
        if z == nodata or z <= -9999:
            continue
        cells += 1
        k0 = i * (levels + 1)
        if t[k0 + 1] <= -9999:
            continue
        total += sum(t[k0 + k] * abs(b[k0 + k - 1] - b[k0 + k]) for k in range(1, levels + 1))
    return 1000.0 * total / cells


def zone_cells(run):
    """Cells of each subbasin code of zones.asc and the cell area (m2)."""
    with open(os.path.join(run, "zones.asc")) as f:
        header = dict(f.readline().split()[:2] for _ in range(6))
        nodata = float(header.get("NODATA_value", header.get("nodata_value", -9999)))
        cells = {}
        for v in f.read().split():
            if float(v) != nodata and float(v) > -9999:
                code = int(round(float(v)))
                cells[code] = cells.get(code, 0) + 1
    return cells, float(header["cellsize"]) ** 2


def _routing_lines(run):
    with open(os.path.join(run, "control.txt")) as f:
        lines = f.read().split("\n")
    first = next(i for i, l in enumerate(lines) if l.startswith("[routing_model]"))
    table = _numbers(lines[first + 3])  # qmin qmax intervals subintervals
    subbasins = []
    for raw in lines[first + 1:]:
        if raw.startswith("["):
            break
        line = raw.strip()
        if line.startswith("end of the routing"):
            break
        if line.startswith("SUMTRIB"):
            raise ValueError("SUMTRIB channels are not read here")
        kind = line[:2]
        if kind == "TG":
            subbasins.append({"code": int(line[2:].split()[0]), "area": _keyed(line, "area"),
                              "rel": _keyed(line, "rel"), "tributaries": [], "inflows": []})
        elif kind in ("OL", "ZL"):
            channel = {"code": int(line[2:].split()[0]), "kh": _keyed(line, "kh"), "kv": _keyed(line, "kv"),
                       "ae": _keyed(line, "AE")}
            subbasins[-1]["tributaries" if kind == "OL" else "inflows"].append(channel)
    return int(table[3]), subbasins


def _flow_table(path):
    """Delays per discharge class (sub-intervals) and the number of sub-channels."""
    delta, n = [], 0
    with open(path) as f:
        for line in f:
            if line.startswith("number of sub-channels"):
                n = int(float(line[line.rfind(":") + 1:]))
                continue
            words = line.split()
            numbers = _numbers(line)
            if len(numbers) == 12 and len(words) == 12:
                delta.append(int(numbers[10]))
    return delta, n


def _routing_state(lines):
    """Per routed subbasin: flow histories by entry and channel states."""
    blocks, entry, i = [], 0, 0
    while i < len(lines):
        line = lines[i]
        if "(routing subbasin with tributaries" in line:
            blocks.append({"code": int(_numbers(line)[0]), "history": {}, "channels": {}})
        elif blocks and "(tracer/flow index and " in line:
            head = _numbers(line)
            entry = int(head[1])
            q = []
            while i + 1 < len(lines) and "(" not in lines[i + 1] and lines[i + 1].strip():
                i += 1
                q += _numbers(lines[i])
            if i + 1 < len(lines) and not lines[i + 1].strip():
                i += 1
            if head[0] == 0:
                blocks[-1]["history"][entry] = q
        elif blocks and (".Qaus[subchannel " in line or ".qvzuq[subchannel " in line):
            c = _whole_number_after(line, "local tributary ")
            k = _whole_number_after(line, "[subchannel ")
            channel = blocks[-1]["channels"].setdefault(c, {"entry": entry, "out": {}, "flood": {}, "delay": {}})
            values = _numbers(line)
            if ".Qaus[" in line:
                half = len(values) // 2
                channel["out"][k], channel["flood"][k] = values[:half], values[half:]
            elif len(values) == 2:
                channel["delay"][k] = int(values[1])
        i += 1
    return blocks


def channel_water(run, out):
    """Water (m3) in the routing channels at the end of the run: per sub-channel
    the water in transit in its translation queue and the water of its two
    linear storages (main channel and flood plain, from their outflows)."""
    ns, subbasins = _routing_lines(run)
    cells, cell_m2 = zone_cells(run)
    codes = sorted(cells)
    by_code = {s["code"]: s for s in subbasins}

    def routed_area(tg, depth=0):
        def total(s, depth):
            n = cells.get(s["code"], 0)
            for t in s["tributaries"]:
                own = by_code.get(t["code"])
                n += total(own, depth + 1) if own and own is not s and depth < len(subbasins) else cells.get(t["code"], 0)
            return n
        area, from_cells = tg["area"], total(tg, 0) * cell_m2 / 1e6
        if abs(area - from_cells) > 0.001:
            area = from_cells
        return area / tg["rel"]

    m3 = 0.0
    for state in _routing_state(section(os.path.join(out, "storage.ftz_0"), "routing_model")):
        tg = by_code[state["code"]]
        for c, channel in state["channels"].items():
            tributary = c <= len(tg["tributaries"])
            line = tg["tributaries"][c - 1] if tributary else tg["inflows"][c - 1 - len(tg["tributaries"])]
            name = "wq_table.%03d" % channel["entry"] if tributary else "wq_tabZL.%03d" % line["code"]
            delta, n = _flow_table(os.path.join(run, name))
            history = state["history"][channel["entry"]]
            stride = max(delta) + ns
            if len(history) != n * stride + ns:
                raise ValueError("flow history of entry %d does not fit %s" % (channel["entry"], name))
            # Storage constants from the routing line (the table rounds them).
            kh = math.exp(-1 / (line["kh"] if line["kh"] > 0 else 0.01))
            kv = math.exp(-1 / (line["kv"] if line["kv"] > 0 else 0.01))
            mm = 0.0
            for k in range(1, n + 1):
                out_k, flood = channel["out"][k], channel["flood"][k]
                # A linear storage with recession factor f that gave out holds f/(1-f) x out.
                mm += sum(kh / (1 - kh) * (o - fl) + kv / (1 - kv) * fl for o, fl in zip(out_k, flood)) / ns
                # The last input, delayed by d, still in transit at positions b+ns+1 ... b+ns+d.
                b = (k - 1) * stride
                mm += sum(history[m - 1] for m in range(b + ns + 1, b + ns + channel["delay"][k] + 1)) / ns
            if not tributary:
                area = line["ae"] if line["ae"] > 0 else 0.000001
            elif line["code"] in by_code:
                area = routed_area(by_code[line["code"]])
            else:
                area = cells.get(line["code"], 0) * cell_m2 / 1e6
            if tributary and codes.index(line["code"]) + 1 != channel["entry"]:
                raise ValueError("channel %d of subbasin %d is fed by entry %d" % (c, state["code"], channel["entry"]))
            m3 += mm * area * 1000
    return m3


def reservoir_volume(out):
    """Volume (m3) of the reservoirs at the end of the run."""
    return sum(_numbers(l)[0] for l in section(os.path.join(out, "storage.ftz_0"), "routing_model")
               if "(reservoir " in l)


def runoff_in_transit(run, out, name, linear_storages, step_minutes=60):
    """Runoff (m3 over the cell area, i.e. mm x cells) on its way through the
    flow-time zones (and, when asked, the linear storages) of the section
    `name` of every instance's storage content file."""
    soil = section(os.path.join(out, "storage.ftz_0"), "unsatzon_model")
    codes = kd = ki = []
    for line in soil:
        if "(code)" in line:
            codes = _numbers(line)
        if "(kelsqd in min)" in line:
            kd = _numbers(line)
        if "(kelsqi in min)" in line:
            ki = _numbers(line)
    cells, _ = zone_cells(run)
    total, rank = 0.0, 0
    while os.path.exists(os.path.join(out, "storage.ftz_%d" % rank)):
        lines = section(os.path.join(out, "storage.ftz_%d" % rank), name)
        rank += 1
        tracer, i = -1, 0
        while i < len(lines):
            if "(0=runoff" in lines[i]:
                tracer = int(_numbers(lines[i])[0])
            if tracer != 0 or "maxzeit)" not in lines[i]:
                i += 1
                continue
            head = _numbers(lines[i])
            s, zones = int(head[0]) - 1, int(head[1])
            n = cells.get(int(codes[s]), 0)
            # The first zone was drained at the end of the last step.
            held = sum(_numbers(lines[i + 2 * z - 1])[1] + _numbers(lines[i + 2 * z])[1] for z in range(2, zones + 1))
            if n:
                held /= n
            if linear_storages:
                qd, qi = _numbers(lines[i + 2 * zones + 1])[0], _numbers(lines[i + 2 * zones + 2])[0]
                ed = math.exp(-step_minutes / kd[s]) if kd[s] > 0 else 0.0
                ei = math.exp(-step_minutes / ki[s]) if ki[s] > 0 else 0.0
                held += qd * ed / (1 - ed) + qi * ei / (1 - ei)
            total += held * n
            i += 2 * zones + 3
    return total
