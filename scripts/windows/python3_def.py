"""Writes python3.def: the exports of Windows CPython's python3.dll that the stable ABI of 3.10 promises, from the
abi3info package (generated from CPython's Misc/stable_abi.toml). dlltool turns it into the import library
python3.lib, so that a module links against the stable ABI alone without a Windows interpreter at hand.

    python python3_def.py OUT.def
"""

import sys

import abi3info
from abi3info.models import PyVersion

BASELINE = PyVersion(3, 10)


def on_windows(entry) -> bool:
    return entry.ifdef is None or entry.ifdef.windows is True


def main(out: str) -> None:
    functions = sorted(s.name for s, f in abi3info.FUNCTIONS.items() if f.added <= BASELINE and on_windows(f))
    data = sorted(s.name for s, d in abi3info.DATAS.items() if d.added <= BASELINE and on_windows(d))
    with open(out, "w") as f:
        f.write("LIBRARY python3.dll\nEXPORTS\n")
        f.writelines(f"  {name}\n" for name in functions)
        f.writelines(f"  {name} DATA\n" for name in data)
    print(f"python3.def: {len(functions)} functions, {len(data)} data (stable ABI {BASELINE})")


if __name__ == "__main__":
    main(sys.argv[1])
