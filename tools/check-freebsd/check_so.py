"""Check a shared object linked for x86_64 FreeBSD: that it is one, what it
needs, and that every symbol it leaves to the dynamic linker is there on
FreeBSD.

    python check_so.py MODULE.so --lib STUB.so... --python LIBPYTHON.so \
        [--cmake-build DIR --target NAME]

- An x86-64 ELF64 shared object whose C library is FreeBSD's: libc.so.7 is
  needed, every version it asks for is an FBSD_ one or one the --lib
  libraries define (FreeBSD's libcxxrt and libgcc_s carry CXXABI_1.3,
  GLIBCXX_3.4 and GCC_3.0 for compatibility), nothing asks for GLIBC_.
- Its NEEDED names include libc, libkvm, libutil and libdevstat and nothing
  outside FreeBSD's base libraries (no stand-in, no libpython: an extension
  module takes the interpreter's symbols from the process).
- Every undefined symbol is defined, with the version it asks for, by one of
  the --lib libraries that the module needs (NEEDED): zig's stubs of
  FreeBSD's libc, libthr and libutil, made from FreeBSD's ABI lists, and
  stubs of libkvm and libdevstat that export exactly the functions their
  headers declare, or a real FreeBSD tree's libraries; or is part of the
  CPython C API (a Py/_Py name that LIBPYTHON exports); or is a weak
  reference nothing defines (it stays null).
- With --cmake-build: each library the symbols come from is one the target
  links by name in CMakeLists.txt (-lkvm, -lutil, ...), read from CMake's
  file API, or one the C++ compiler driver links by itself (libc, libm, and
  libc++, libcxxrt and libgcc_s when it links FreeBSD's C++ runtime).
  zig resolves against all of FreeBSD's libc components whether asked or
  not, so a library missing from CMakeLists.txt shows only here.

Each FreeBSD major release needs a build of its own: 15.0 moved libutil
from libutil.so.9 to libutil.so.10 (and versions its functions FBSD_1.8),
and a binary names the libutil it was linked against, which the other
release's loader does not find. The gates that fit each build:

- --max-version FBSD_x.y: no symbol bound to a FreeBSD version newer than
  that. A build for 14 stops at FBSD_1.7, the newest version 14.0's libc
  and libthr have, so it loads on every 14; a build for 15 at FBSD_1.8.
- --needs SONAME: NEEDED names exactly that library (libutil.so.9 for a
  build for 14, libutil.so.10 for 15), not another release's.
- --unversioned LIB: every symbol taken from LIB is bound without a
  version (14's libutil has none).

Uses binutils' readelf and nm, which read FreeBSD's ELF files as well as
Linux's. Exit status 0 when every check passes, 1 otherwise.
"""

import argparse
import glob
import json
import os
import re
import subprocess
import sys

# FreeBSD's base libraries by the name a binary records for them (libutil is
# libutil.so.9 on 14, libutil.so.10 on 15).
REQUIRED = {"libc.so.7", "libkvm.so.7", "libutil.so", "libdevstat.so.7"}
# What FreeBSD's c++ driver links without being asked (libc++ brings libcxxrt,
# the C++ ABI runtime; libgcc_s the unwinder).
IMPLICIT = {"libc.so.7", "libm.so.5", "libc++.so.1", "libcxxrt.so.1", "libgcc_s.so.1"}
BASE = REQUIRED | {"libthr.so.3", "libm.so.5", "libgcc_s.so.1", "libc++.so.1", "libcxxrt.so.1"}


def base_name(soname):
    """libutil.so.9 -> libutil.so where the version is release-dependent."""
    return "libutil.so" if soname.startswith("libutil.so.") else soname


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def dynamic_symbols(path, which, weak=None):
    """{name: set of versions ('' for none)} of the dynamic symbols nm lists;
    which is '--undefined-only' or '--defined-only'. The names of weak ones
    are added to the set weak when one is given."""
    out = {}
    for line in run("nm", "-D", which, path).splitlines():
        fields = line.split()
        sym = fields[-1] if fields else ""
        name, _, version = sym.partition("@")
        out.setdefault(name, set()).add(version.lstrip("@"))
        if weak is not None and len(fields) >= 2 and fields[-2] in ("w", "v"):
            weak.add(name)
    return out


def fbsd_version(name):
    """FBSD_1.7 -> (1, 7)."""
    m = re.fullmatch(r"FBSD_(\d+)\.(\d+)", name)
    return (int(m.group(1)), int(m.group(2))) if m else None


def soname(path):
    m = re.search(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", run("readelf", "-d", "-W", path))
    return m.group(1) if m else os.path.basename(path)


def linked_by_name(build_dir, target):
    """Sonames' stems (libkvm, ...) of the libraries the CMake target links
    with -l, from the codemodel reply of CMake's file API."""
    reply = os.path.join(build_dir, ".cmake", "api", "v1", "reply")
    index = sorted(glob.glob(os.path.join(reply, "index-*.json")))
    if not index:
        raise SystemExit(f"check_so: no CMake file API reply in {reply}")
    with open(index[-1]) as f:
        objects = json.load(f)["objects"]
    codemodel = next(o for o in objects if o["kind"] == "codemodel")
    with open(os.path.join(reply, codemodel["jsonFile"])) as f:
        config = json.load(f)["configurations"][0]
    entry = next(t for t in config["targets"] if t["name"] == target)
    with open(os.path.join(reply, entry["jsonFile"])) as f:
        fragments = json.load(f).get("link", {}).get("commandFragments", [])
    names = set()
    for frag in fragments:
        if frag.get("role") == "libraries":
            for token in frag["fragment"].split():
                if token.startswith("-l"):
                    names.add("lib" + token[2:])
    return names


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("module")
    ap.add_argument("--lib", action="append", default=[], help="stub of a library without an ABI list")
    ap.add_argument("--python", required=True, help="libpython whose exports are the C API")
    ap.add_argument("--cmake-build", help="CMake build folder of the module (file API queried)")
    ap.add_argument("--target", default="_morvex_bsd", help="CMake target of the module")
    ap.add_argument("--max-version", help="newest FBSD_x.y version a symbol may ask for")
    ap.add_argument("--unversioned", action="append", default=[],
                    help="soname of a library whose symbols must be bound without a version")
    ap.add_argument("--needs", action="append", default=[],
                    help="soname NEEDED must name exactly (the release's libutil)")
    args = ap.parse_args(argv)
    shown = os.path.relpath(args.module)
    failures = []

    header = run("readelf", "-h", args.module)
    field = dict(re.findall(r"^\s*([^:]+):\s*(.*?)\s*$", header, flags=re.M))
    kind = f"{field.get('Class')} {field.get('Machine')} {field.get('Type', '').split(' ')[0]}"
    if (field.get("Class") != "ELF64" or "X86-64" not in field.get("Machine", "")
            or not field.get("Type", "").startswith("DYN")):
        failures.append(f"not an x86-64 ELF64 shared object: {kind}")

    dynamic = run("readelf", "-d", "-W", args.module)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    missing = sorted(REQUIRED - {base_name(n) for n in needed})
    foreign = [n for n in needed if base_name(n) not in BASE]
    if missing:
        failures.append(f"NEEDED lacks {', '.join(missing)}")
    for want in args.needs:
        if want not in needed:
            same = [n for n in needed if base_name(n) == base_name(want)]
            failures.append(f"NEEDED lacks {want}" + (f" (has {', '.join(same)}: a build for another "
                                                      f"release)" if same else ""))
    if foreign:
        failures.append(f"NEEDED names libraries FreeBSD's base does not have: {', '.join(foreign)}")

    libs = {soname(lib): dynamic_symbols(lib, "--defined-only") for lib in args.lib}
    # FreeBSD's own versions, and those its C++ runtime libraries (libcxxrt,
    # libgcc_s) define for compatibility with GNU's: CXXABI_1.3, GCC_3.0...
    defined_versions = {v for syms in libs.values() for vs in syms.values() for v in vs if v}
    versions = run("readelf", "-V", "-W", args.module)
    asked = re.findall(r"Name: (\S+)\s+Flags", versions)
    bad_versions = sorted({v for v in asked
                           if not v.startswith("FBSD_")
                           and (v.startswith("GLIBC_") or v not in defined_versions)})
    if bad_versions:
        failures.append(f"asks for symbol versions FreeBSD does not define: {', '.join(bad_versions)}")
    if not any(v.startswith("FBSD_") for v in asked):
        failures.append("binds nothing to FreeBSD's libc (no FBSD_ symbol versions)")

    weak = set()
    undefined = dynamic_symbols(args.module, "--undefined-only", weak)
    if args.max_version:
        limit = fbsd_version(args.max_version)
        if not limit:
            raise SystemExit(f"check_so: not a FreeBSD symbol version: {args.max_version}")
        newer = sorted(f"{name}@{v}" for name, vs in undefined.items() for v in vs
                       if fbsd_version(v) and fbsd_version(v) > limit)
        if newer:
            failures.append(f"binds symbols newer than {args.max_version} "
                            f"(would not load on a release that stops there): {', '.join(newer)}")
    c_api = {n for n in dynamic_symbols(args.python, "--defined-only") if re.match(r"_?Py", n)}
    # A versioned binding to a function the library defines (the version
    # names are per library: libc and libutil both have an FBSD_1.8).
    for lib in args.unversioned:
        if lib not in libs:
            raise SystemExit(f"check_so: --unversioned {lib}: no --lib has that soname")
        bound = sorted(f"{name}@{v}" for name, vs in undefined.items() for v in vs
                       if v and name in libs[lib])
        if bound:
            failures.append(f"binds {lib}'s functions to a version (it has none, so this "
                            f"would not load): {', '.join(bound)}")

    by_name = linked_by_name(args.cmake_build, args.target) if args.cmake_build else None
    counts = {}
    unresolved = []
    for name, versions in sorted(undefined.items()):
        version = sorted(versions)[0]
        # An unversioned reference binds to any definition; a versioned one
        # only to a definition of that version.
        providers = [lib for lib, syms in libs.items()
                     if name in syms and (not version or version in syms[name])]
        linked = [lib for lib in providers if lib in needed]
        if linked and by_name is not None:
            asked = [lib for lib in linked if lib in IMPLICIT or lib.split(".so")[0] in by_name]
            if not asked:
                unresolved.append(f"{name} (from {linked[0]}, which the CMake target does not link)")
                continue
            linked = asked
        if linked:
            where = linked[0]
        elif name in c_api:
            where = "CPython C API"
        elif name in weak and not providers:
            continue  # a weak reference nothing defines stays null (crtbegin's _Jv_RegisterClasses)
        else:
            shown_name = f"{name}@{version}" if version else name
            if providers:
                unresolved.append(f"{shown_name} (defined by {', '.join(providers)}, not linked)")
            else:
                unresolved.append(shown_name)
            continue
        counts[where] = counts.get(where, 0) + 1
    if unresolved:
        failures.append("undefined symbols nothing the module links on FreeBSD provides:\n"
                        + "\n".join(f"        {s}" for s in unresolved))

    print(f"  {shown}: {kind}, NEEDED {' '.join(needed)}")
    print("  undefined symbols: " + ", ".join(f"{n} from {k}" for k, n in sorted(counts.items())))
    for f in failures:
        print(f"FAIL  {f}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
