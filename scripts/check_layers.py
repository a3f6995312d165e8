#!/usr/bin/env python3
"""Fails when a source file includes a folder that lies above its own.

The product's folders form one order, lowest first; a folder may include
itself and any folder below it, never one above or beside it. The tools,
fuzz targets, benchmarks and tests sit on top and may include any of them,
but nothing in the product includes them. A folder with a gate reaches the
folders below it only through the gate's headers: the window program sees
netbuf through the protocol (control/) and a few headers of texts and
interfaces, and links nothing of netbuf's logic.

--graph prints, for each folder, the folders it includes.
"""
import pathlib
import re
import sys

ORDER = ["control", "modbus", "core", "store", "access", "readerbus", "service", "pclink", "app", "host",
         "window"]
ON_TOP = ["tools", "fuzz", "bench", "tests"]
# The only headers below it that a gated folder may include.
# An entry ending in "/" lets in the whole folder.
GATES = {"window": {"control/", "host/captions.h", "core/monitor_log.h", "core/window_views.h"}}
# Single includes that cross the order, each with the reason it stays.
KNOWN = set()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/([^"]*)"', re.M)


def sources(root, folder):
    for path in sorted((root / folder).rglob("*")):
        if path.suffix in (".h", ".cpp"):
            yield path.relative_to(root).as_posix(), path.read_text(errors="replace")


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    rank = {name: i for i, name in enumerate(ORDER)}
    bad = []
    graph = {folder: set() for folder in ORDER}
    for folder in ORDER:
        gate = GATES.get(folder)
        for rel, text in sources(root, folder):
            for target, rest in INCLUDE.findall(text):
                header = target + "/" + rest
                if target in rank and target != folder:
                    graph[folder].add(target)
                if (rel, target) in KNOWN:
                    continue
                if target in ON_TOP or (target in rank and rank[target] > rank[folder]):
                    bad.append(f"{rel}: includes {target}/, which lies above {folder}/")
                elif gate is not None and target in rank and target != folder \
                        and header not in gate and target + "/" not in gate:
                    bad.append(f"{rel}: includes {header}; {folder}/ reaches the folders below "
                               f"it only through " + ", ".join(sorted(gate)))
    if "--graph" in sys.argv[1:]:
        for folder in reversed(ORDER):
            below = sorted(graph[folder], key=rank.get, reverse=True)
            print(f"{folder:10} -> " + (" ".join(below) if below else "(none)"))
    for line in bad:
        print(line, file=sys.stderr)
    if bad:
        print("allowed order, lowest first: " + " < ".join(ORDER), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
