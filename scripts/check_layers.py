#!/usr/bin/env python3
"""Fails when a source file includes a folder that lies above its own.

The product's folders form one order, lowest first; a folder may include
itself and any folder below it, never one above or beside it. The tools,
fuzz targets, benchmarks and tests sit on top and may include any of them,
but nothing in the product includes them.
"""
import pathlib
import re
import sys

ORDER = ["modbus", "core", "store", "access", "readerbus", "service", "pclink", "app", "host",
         "window"]
ON_TOP = ["tools", "fuzz", "bench", "tests"]
# Single includes that cross the order, each with the reason it stays.
KNOWN = set()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    rank = {name: i for i, name in enumerate(ORDER)}
    bad = []
    for folder in ORDER:
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            rel = path.relative_to(root).as_posix()
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if (rel, target) in KNOWN:
                    continue
                if target in ON_TOP or (target in rank and rank[target] > rank[folder]):
                    bad.append(f"{rel}: includes {target}/, which lies above {folder}/")
    for line in bad:
        print(line, file=sys.stderr)
    if bad:
        print("allowed order, lowest first: " + " < ".join(ORDER), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
