#!/usr/bin/env python3
"""Every section and key the control-file reader accepts appears in docs/.

The names come from the readers themselves: the section headers they search
for, the module names that are their sections, and the keys of the keyed
lines and table blocks (their lists of known keys, their KeyValue/ReadScalar
calls). Each name has to appear in backquotes in docs/*.md (a section as
`[name]`). Usage: control_names.py <repository> [--list]
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
SOURCES = ["application", "framework", "meteo", "radiation_et", "snow", "soil", "surface", "routing", "parameters"]
# "[...]" literals that are no control-file sections: message markers,
# state-file sections and the placeholders of messages.
NOT_SECTIONS = {"end-entry", "%d", "moduleName", "name", "section", "SPLINERES",
                "glacier shares of the soil columns"}


def text(path):
    return (root / path).read_text(errors="replace")


def sources():
    for folder in SOURCES:
        for f in sorted((root / folder).rglob("*")):
            if f.suffix in (".cpp", ".h"):
                yield f.relative_to(root).as_posix(), f.read_text(errors="replace")


sections, keys = set(), set()
for path, src in sources():
    for m in re.finditer(r'"\[([A-Za-z_][A-Za-z0-9_% -]*)\]', src):
        if m.group(1) not in NOT_SECTIONS:
            sections.add(m.group(1).replace("%d", "N"))
    for m in re.finditer(r'teilmodellklasse\(diagnostics, "([A-Za-z_]+)"', src):
        sections.add(m.group(1))
    for m in re.finditer(r'modulname = "([a-z_]+)";', src):
        if "_" in m.group(1) and m.group(1) != "tracer_ini_class":
            sections.add(m.group(1))
    # Keyed lines: the grid lists' items, the reservoirs' items, the table
    # blocks' scalar and per-layer keys, the routing descriptions' elements.
    for pattern in (r'KeyValue(?:Stream)?\((?:rest|text), "([A-Za-z_0-9]+)"',
                    r'(?:ReadScalar|ReadLayerValues|RequiredDouble|OptionalValue|Series|ConvertDouble|Has|FindValueText)'
                    r'\("([A-Za-z_][A-Za-z_0-9*-]*)"',
                    r'IntegerAfter\((?:s|text), "([A-Z]+)"',
                    r'readSwitch\([A-Za-z]+, "([A-Za-z]+)"',
                    r'line\.find\("([A-Z][A-Za-z]+Directory)"\)'):
        keys.update(re.findall(pattern, src))

# The lists of known keys of the land-use table and of the channels.
landuse = text("parameters/landusetable.cpp")
known = re.search(r"known = \{(.*?)\};", landuse, re.S).group(1)
keys.update(re.findall(r'"([^"]+)"', known))
channel = text("routing/abfluss_descriptions.cpp")
keys.update(re.findall(r'\{"([A-Za-z]+)", "the ', channel))
soil = text("parameters/soiltable.cpp")
keys.update(re.findall(r'std::pair\{"([A-Za-z_]+)"', soil))
keys.add("SU_PARnn")  # SU_PAR00 ... SU_PAR10, one entry in the docs
keys.update(re.findall(r'KeyValue\(text, "([A-Za-z0-9]+)"\)', text("routing/sp_class.cpp")))
# The tracers' items, the special output's items, the tuning keys, the
# superposition's count and the operating rules' key lines.
keys.update(re.findall(r'(?:valueOf|readInt|readText|line\.find)\("([a-z_]+)"', text("application/tracerini.cpp")))
keys.update(re.findall(r'(?:WordItem|ListItem<\w+>)\(diag, \w+, "(\w+)"', text("framework/specialoutput.cpp")))
keys.update(re.findall(r'text\.find\("([a-z_]+)"\)', text("soil/unsatzon_config.cpp")))
keys.update(re.findall(r'line\.find\("(\w+)"\)', text("meteo/superposition.cpp")))
keys.update(re.findall(r'"(\w+)"', re.search(r"keys\[\] = \{(.*?)\};", text("routing/rules.cpp")).group(1)))

docs = "\n".join(p.read_text() for p in sorted((root / "docs").rglob("*.md")))
quoted = set(re.findall(r"`([^`\n]+)`", docs))
words = set()
for q in quoted:
    words.update(re.split(r"[\s=;,()]+", q))

if "--list" in sys.argv:
    print("\n".join(sorted("[" + s + "]" for s in sections) + sorted(keys)))
    sys.exit(0)
missing = sorted("[" + s + "]" for s in sections if "[" + s + "]" not in words)
missing += sorted(k for k in keys if k not in words)
for name in missing:
    print(f"not described in docs/*.md (in backquotes): {name}")
print(f"{len(sections)} sections and {len(keys)} keys read by the program, {len(missing)} undescribed")
sys.exit(1 if missing else 0)
