#!/usr/bin/env python3
"""Checks the dynamic symbol table of an installed libvexodlfilehosting.

It must define what callers use (Handler, the host classes, the two channel factories and
VexoError's type information) and nothing else: no internals, no std:: template instances. And it
must carry no RPATH or RUNPATH: an installed library finds its dependencies where the system
keeps them, never in a build tree.
Usage: check_exports.py LIBRARY
"""
import re
import subprocess
import sys

ALLOWED = re.compile(
    r"^((typeinfo for |typeinfo name for |vtable for )?"
    r"(vexodl::filehosting::(Handler|host::(Base|Vexo|Pyload|GetDomainSocketHandler|"
    r"GetCommandlineHandler))\b|vexodl::VexoError\b))")

REQUIRED = [
    "vexodl::filehosting::Handler::Handler()",
    "vexodl::filehosting::Handler::~Handler()",
    "vexodl::filehosting::Handler::List()",
    "vexodl::filehosting::Handler::List(Json::Value&)",
    "vexodl::filehosting::Handler::Get(Json::Value&,",
    "vexodl::filehosting::Handler::Set(",
    "vexodl::filehosting::Handler::Verify(",
    "vexodl::filehosting::Handler::Create(",
    "vexodl::filehosting::Handler::GetCorrespondingHost(",
    "vexodl::filehosting::host::Base::toJson(Json::Value&)",
    "vexodl::filehosting::host::Vexo::ListSupportedHosts()",
    "vexodl::filehosting::host::Vexo::fromJson(Json::Value const&)",
    "vexodl::filehosting::host::Pyload::ListSupportedHosts()",
    "vexodl::filehosting::host::Pyload::SaveAccountImp(",
    "vexodl::filehosting::host::Pyload::VerifyAccountImp(",
    "vexodl::filehosting::host::GetDomainSocketHandler()",
    "vexodl::filehosting::host::GetCommandlineHandler()",
    "typeinfo for vexodl::VexoError",
    "typeinfo for vexodl::filehosting::host::Base",
    "typeinfo for vexodl::filehosting::host::Vexo",
    "typeinfo for vexodl::filehosting::host::Pyload",
    "vtable for vexodl::filehosting::host::Pyload",
]


def defined_symbols(library):
    out = subprocess.run(["readelf", "-W", "--dyn-syms", "--demangle", library],
                         check=True, capture_output=True, text=True).stdout
    symbols = []
    for line in out.splitlines():
        # Num: Value Size Type Bind Vis Ndx Name
        fields = line.split(None, 7)
        if len(fields) < 8 or not fields[0].rstrip(":").isdigit():
            continue
        kind, bind, ndx, name = fields[3], fields[4], fields[6], fields[7]
        if ndx == "UND" or bind == "LOCAL" or kind in ("SECTION", "FILE"):
            continue
        symbols.append(re.sub(r"@.*$", "", name))
    return symbols


def search_paths(library):
    out = subprocess.run(["readelf", "-W", "--dynamic", library],
                         check=True, capture_output=True, text=True).stdout
    return [line.strip() for line in out.splitlines() if "(RPATH)" in line or "(RUNPATH)" in line]


def main():
    paths = search_paths(sys.argv[1])
    for line in paths:
        print("installed library has a search path:", line)
    symbols = defined_symbols(sys.argv[1])
    stray = sorted(s for s in symbols if not ALLOWED.match(s))
    missing = [r for r in REQUIRED if not any(s.startswith(r) for s in symbols)]
    for s in stray:
        print("exported but not part of the interface:", s)
    for r in missing:
        print("missing from the dynamic symbol table:", r)
    print(f"{len(symbols)} exported symbols, {len(stray)} stray, {len(missing)} missing")
    return 1 if stray or missing or paths else 0


if __name__ == "__main__":
    sys.exit(main())
