#!/usr/bin/env python3
"""Checks the dynamic symbol tables of the installed libraries.

Each must define what callers use and nothing else (no internals, no std:: template instances),
and carry no RPATH or RUNPATH: an installed library finds its dependencies where the system keeps
them, never in a build tree. Its Debian package's symbols file (packaging/PACKAGE/symbols) must
list exactly what it exports, under its SONAME, so that dependent packages get the right versions.
Usage: check_exports.py LIBRARY...
"""
import os
import re
import subprocess
import sys

# Per library: what it may export beside VexoError, by demangled name (typeinfo and vtables
# included). What it must export is its symbols file, which lists exactly what it exports.
INTERFACES = {
    "libvexodlfilehosting": r"vexodl::filehosting::(Handler|host::(Base|Vexo|Pyload|"
                            r"GetDomainSocketHandler|GetCommandlineHandler))\b",
    "libvexodlvexohost": r"vexodl::vexohost::Handler\b",
    "libvexodlpyload": r"vexodl::pyload::(Utils|rpc::(Base|DomainSocketHandler|CommandlineHandler))\b",
}


def readelf(library, *options):
    return subprocess.run(["readelf", "-W", *options, library],
                          check=True, capture_output=True, text=True).stdout.splitlines()


def exports(library, *options):
    symbols = []
    for line in readelf(library, "--dyn-syms", *options):
        fields = line.split(None, 7)  # Num: Value Size Type Bind Vis Ndx Name
        if (len(fields) == 8 and fields[0].rstrip(":").isdigit() and fields[6] != "UND"
                and fields[4] != "LOCAL" and fields[3] not in ("SECTION", "FILE")):
            symbols.append(re.sub(r"@.*$", "", fields[7]))
    return symbols


def symbols_file_problems(library, dynamic):
    soname = next(re.search(r"\[(.*)\]", line).group(1) for line in dynamic if "(SONAME)" in line)
    package = soname.split(".so.")[0] + soname.split(".so.")[1]
    path = os.path.normpath(os.path.join(os.path.dirname(__file__), "../../packaging", package,
                                         "symbols"))
    with open(path, encoding="utf-8") as file:
        header, *lines = file.read().splitlines()
    problems = [] if header == f"{soname} {package} #MINVER#" else [f"{path} starts {header!r}"]
    listed = {line.split()[0].split("@")[0] for line in lines if line.startswith(" ")}
    exported = set(exports(library))
    problems += [f"{path} lacks {s}" for s in sorted(exported - listed)]
    problems += [f"{path} lists {s}, which is not exported" for s in sorted(listed - exported)]
    return problems


def problems_of(library):
    allowed = re.compile(r"^(typeinfo for |typeinfo name for |vtable for )?(" +
                         INTERFACES[os.path.basename(library).split(".")[0]] +
                         r"|vexodl::VexoError\b)")
    symbols = exports(library, "--demangle")
    dynamic = readelf(library, "--dynamic")
    problems = [line.strip() for line in dynamic if "PATH)" in line]
    problems += ["exported but not part of the interface: " + s
                 for s in sorted(symbols) if not allowed.match(s)]
    problems += symbols_file_problems(library, dynamic)
    return [f"{library}: {p}" for p in problems]


def main():
    problems = [p for library in sys.argv[1:] for p in problems_of(library)]
    print("\n".join(problems + [f"{len(sys.argv) - 1} libraries, {len(problems)} problems"]))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
