#!/usr/bin/env python3
"""Checks the dynamic symbol tables of the installed libraries against their Debian packages'
symbols files (packaging/PACKAGE/symbols): each file lists, under the library's SONAME, exactly
what the library exports, so that nothing internal is exported, nothing that callers use (such as
VexoError's type information) is hidden, and dependent packages get the right versions.
Usage: check_exports.py LIBRARY...
"""
import os
import re
import subprocess
import sys


def readelf(library, option):
    return subprocess.run(["readelf", "-W", option, library],
                          check=True, capture_output=True, text=True).stdout.splitlines()


def problems_of(library):
    exported = set()
    for line in readelf(library, "--dyn-syms"):
        fields = line.split(None, 7)  # Num: Value Size Type Bind Vis Ndx Name
        if (len(fields) == 8 and fields[0].rstrip(":").isdigit() and fields[6] != "UND"
                and fields[4] != "LOCAL" and fields[3] not in ("SECTION", "FILE")):
            exported.add(re.sub(r"@.*$", "", fields[7]))
    soname = next(re.search(r"\[(.*)\]", line).group(1)
                  for line in readelf(library, "--dynamic") if "(SONAME)" in line)
    package = soname.split(".so.")[0] + soname.split(".so.")[1]
    path = os.path.normpath(os.path.join(os.path.dirname(__file__), "../../packaging", package,
                                         "symbols"))
    with open(path, encoding="utf-8") as file:
        header, *lines = file.read().splitlines()
    problems = [] if header == f"{soname} {package} #MINVER#" else [f"{path} starts {header!r}"]
    listed = {line.split()[0].split("@")[0] for line in lines if line.startswith(" ")}
    problems += [f"{path} lacks {s}" for s in sorted(exported - listed)]
    problems += [f"{path} lists {s}, which is not exported" for s in sorted(listed - exported)]
    return [f"{library}: {p}" for p in problems]


problems = [p for library in sys.argv[1:] for p in problems_of(library)]
print("\n".join(problems + [f"{len(sys.argv) - 1} libraries, {len(problems)} problems"]))
sys.exit(1 if problems else 0)
