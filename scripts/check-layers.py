"""Fails when an #include of src/ or sim/ goes the wrong way between the driver's layers.

The layers and what each may include come from the tavro_layer(...) lines of CMakeLists.txt (a layer may include
itself, the layers it names after DEPENDS and, through them, theirs). On top of them, src/ext (the Python
surface) may include every layer. The simulator (sim/) sits below the seam: it may include the seam, core and
platform layers only, and its Python module also the binding's headers that the two modules share. Tests may
include anything and are not checked.

Usage: python3 scripts/check-layers.py        (from anywhere; prints each wrong include, exits 1 if any)
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOP = "ext"  # src/ext: the Python surface, above every layer
SIM_LAYERS = {"usb", "core", "platform"}
SIM_SHARED = {"sim/python": {"ext/capsule.hpp", "ext/pyref.hpp"}}  # binding headers the simulator module shares

LAYER_LINE = re.compile(r"^\s*tavro_layer\((\w+)\s+(\S+)(.*)\)", re.M)
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layers_from_cmake():
    """{name: (folder relative to the root, set of layers it may include)}."""
    declared = {}
    for name, folder, rest in LAYER_LINE.findall((ROOT / "CMakeLists.txt").read_text()):
        words = rest.split()
        deps = set(words[words.index("DEPENDS") + 1 :]) if "DEPENDS" in words else set()
        declared[name] = (folder, deps)
    if not declared:
        sys.exit("check-layers: no tavro_layer(...) lines in CMakeLists.txt")
    for name, (_, deps) in declared.items():
        for dep in deps:
            if dep not in declared:
                sys.exit(f"check-layers: layer {name} depends on {dep}, which is not declared")

    def below(name, seen=()):
        if name in seen:
            sys.exit(f"check-layers: the layers form a cycle through {name}")
        out = set()
        for dep in declared[name][1]:
            out |= {dep} | below(dep, seen + (name,))
        return out

    layers = {name: (folder, {name} | below(name)) for name, (folder, _) in declared.items()}
    layers[TOP] = ("src/" + TOP, set(layers) | {TOP})
    return layers


def layer_of(path, layers):
    """The layer whose folder holds `path` (the deepest one), or None."""
    best = None
    for name, (folder, _) in layers.items():
        if path.parent == ROOT / folder and (best is None or len(folder) > len(layers[best][0])):
            best = name
    return best


def main():
    layers = layers_from_cmake()
    wrong = []
    for path in sorted(list((ROOT / "src").rglob("*.[ch]pp")) + list((ROOT / "sim").rglob("*.[ch]pp"))):
        rel = path.relative_to(ROOT).as_posix()
        in_sim = rel.startswith("sim/")
        own = None if in_sim else layer_of(path, layers)
        if not in_sim and own is None:
            wrong.append(f"{rel}: in no layer (declare its folder with tavro_layer in CMakeLists.txt)")
            continue
        allowed = SIM_LAYERS if in_sim else layers[own][1]
        shared = next((files for folder, files in SIM_SHARED.items() if rel.startswith(folder + "/")), set())
        text = path.read_text()
        for match in INCLUDE.finditer(text):
            target = match.group(1)
            if not (ROOT / "src" / target).is_file():
                continue  # the simulator's own headers, or a file next to the includer
            theirs = layer_of(ROOT / "src" / target, layers)
            if theirs in allowed or target in shared:
                continue
            line = text.count("\n", 0, match.start()) + 1
            where = "the simulator" if in_sim else f"layer {own}"
            what = f"layer {theirs}" if theirs else "a file in no layer"
            wrong.append(f'{rel}:{line}: #include "{target}": {where} may not include {what}')
    for w in wrong:
        print(w, file=sys.stderr)
    print(
        f"==> layer check: {len(layers)} layers; {len(wrong)} wrong include(s)"
        if wrong
        else f"==> layer check: {len(layers)} layers, every include goes down"
    )
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
