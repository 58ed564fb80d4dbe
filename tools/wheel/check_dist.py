"""Checks of the FreeBSD wheel and the source distribution.

    check_dist.py --wheel W --sdist S --soabi cpython-313t --platform freebsd-14.2-RELEASE-amd64
                  --project DIR --pip PYTHON

The wheel: named and tagged for the guest's CPython (interpreter and ABI from
the SOABI, the platform as sysconfig.get_platform() gives it there); holds
the module (a FreeBSD x86-64 ELF object named with the SOABI), its type stubs
as the stub package `_morvex_bsd-stubs`, the metadata, and nothing else (no
stand-in); metadata (name, version, Requires-Python, the tag) as
pyproject.toml says; every file's RECORD hash right.
The sdist: the project's tracked files that a FreeBSD build uses (src/,
CMakeLists.txt, pyproject.toml, README.md) and PKG-INFO, nothing else.
pip (PYTHON -m pip) takes the wheel for the guest's tags and refuses it for
the same CPython with the GIL, for a Linux platform, and for this host.
Exits 1 on the first list of failures printed."""

import argparse
import base64
import email.parser
import hashlib
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile

# FreeBSD-side files of a build; everything under these is the build's.
SDIST_PARTS = ("CMakeLists.txt", "pyproject.toml", "README.md", "src")
STANDIN_MARKS = ("fakebsd", "standin", "_fakebsd")


def normalized(name):
    return name.replace("-", "_").lower()


def tags_for(soabi, platform):
    # cpython-313t -> cp313, cp313t
    impl, ver = soabi.split("-")[:2]
    assert impl == "cpython", soabi
    digits = ver.rstrip("t")
    return f"cp{digits}", f"cp{ver}", platform.replace("-", "_").replace(".", "_").lower()


def tracked_files(project):
    try:
        out = subprocess.run(["git", "-C", str(project), "ls-files", "--", *SDIST_PARTS],
                             capture_output=True, text=True, check=True).stdout
        return set(out.split("\n")) - {""}
    except (OSError, subprocess.CalledProcessError):
        return {str(p.relative_to(project)) for part in SDIST_PARTS
                for p in ([project / part] if (project / part).is_file() else (project / part).rglob("*"))
                if p.is_file() and "__pycache__" not in p.parts}


def check_wheel(path, meta, soabi, platform, project, errors):
    name, version = normalized(meta["name"]), meta["version"]
    py, abi, plat = tags_for(soabi, platform)
    tag = f"{py}-{abi}-{plat}"
    want_name = f"{name}-{version}-{tag}.whl"
    if path.name != want_name:
        errors.append(f"wheel named {path.name}, want {want_name}")
    dist_info = f"{name}-{version}.dist-info"
    module = f"_morvex_bsd.{soabi}.so"
    stubs = "_morvex_bsd-stubs/__init__.pyi"
    with zipfile.ZipFile(path) as z:
        names = set(z.namelist())
        want = {module, stubs, f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD"}
        extra = {n for n in names - want if not n.startswith(f"{dist_info}/licenses/")}
        if extra:
            errors.append(f"wheel holds what it should not: {sorted(extra)}")
        if want - names:
            errors.append(f"wheel lacks {sorted(want - names)}")
        for n in names:
            if any(mark in n.lower() for mark in STANDIN_MARKS):
                errors.append(f"wheel holds a piece of the stand-in: {n}")
        if stubs in names and z.read(stubs) != (project / "src/_morvex_bsd.pyi").read_bytes():
            errors.append("the wheel's stubs are not src/_morvex_bsd.pyi")
        if module in names:
            elf = z.read(module)
            # ELF64, little-endian, OS ABI FreeBSD (9), shared object, x86-64.
            if elf[:4] != b"\x7fELF" or elf[4] != 2 or elf[5] != 1 or elf[7] != 9:
                errors.append(f"{module} is not a 64-bit FreeBSD ELF object (ident {elf[:8]!r})")
            elif int.from_bytes(elf[16:18], "little") != 3 or int.from_bytes(elf[18:20], "little") != 62:
                errors.append(f"{module} is not an x86-64 shared object")
            if b"libfakebsd" in elf or b"fbsd_" in elf:
                errors.append(f"{module} names the stand-in's library or symbols")
        if f"{dist_info}/METADATA" in names:
            md = email.parser.Parser().parsestr(z.read(f"{dist_info}/METADATA").decode())
            for field, value in (("Name", meta["name"]), ("Version", version),
                                 ("Requires-Python", meta["requires-python"])):
                if md.get(field) != value:
                    errors.append(f"METADATA {field} is {md.get(field)!r}, want {value!r}")
        if f"{dist_info}/WHEEL" in names:
            wh = email.parser.Parser().parsestr(z.read(f"{dist_info}/WHEEL").decode())
            if wh.get_all("Tag") != [tag]:
                errors.append(f"WHEEL Tag is {wh.get_all('Tag')}, want [{tag!r}]")
            if wh.get("Root-Is-Purelib") != "false":
                errors.append("WHEEL says Root-Is-Purelib is not false")
        if f"{dist_info}/RECORD" in names:
            for line in z.read(f"{dist_info}/RECORD").decode().splitlines():
                file, digest, _size = line.rsplit(",", 2)
                if not digest:
                    continue
                algo, _, value = digest.partition("=")
                got = base64.urlsafe_b64encode(hashlib.new(algo, z.read(file)).digest()).rstrip(b"=")
                if got.decode() != value:
                    errors.append(f"RECORD hash of {file} is wrong")
    return tag


def check_sdist(path, meta, project, errors):
    name, version = normalized(meta["name"]), meta["version"]
    top = f"{name}-{version}"
    if path.name != f"{top}.tar.gz":
        errors.append(f"sdist named {path.name}, want {top}.tar.gz")
    with tarfile.open(path) as t:
        files = {m.name.removeprefix(top + "/") for m in t.getmembers() if m.isfile()}
        outside = [m.name for m in t.getmembers() if not m.name.startswith(top + "/") and m.name != top]
        pkg_info = t.extractfile(f"{top}/PKG-INFO").read().decode() if f"PKG-INFO" in files else ""
    if outside:
        errors.append(f"sdist members outside {top}/: {outside}")
    want = tracked_files(project) | {"PKG-INFO"}
    if files - want:
        errors.append(f"sdist holds what a FreeBSD build does not use: {sorted(files - want)}")
    if want - files:
        errors.append(f"sdist lacks {sorted(want - files)}")
    md = email.parser.Parser().parsestr(pkg_info)
    for field, value in (("Name", meta["name"]), ("Version", version),
                         ("Requires-Python", meta["requires-python"])):
        if md.get(field) != value:
            errors.append(f"PKG-INFO {field} is {md.get(field)!r}, want {value!r}")


def pip_takes(pip_python, wheel, platform, version, abi):
    """Whether pip, told it installs for (platform, version, abi), takes the wheel."""
    with tempfile.TemporaryDirectory() as dest:
        r = subprocess.run([pip_python, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                            "--no-index", "--find-links", str(wheel.parent), "--only-binary=:all:",
                            "--no-deps", "--dest", dest, "--platform", platform,
                            "--python-version", version, "--implementation", "cp", "--abi", abi,
                            "morvex-bsd"], capture_output=True, text=True)
        return r.returncode == 0 and any(pathlib.Path(dest).glob("*.whl"))


def check_pip(pip_python, wheel, soabi, platform, errors):
    py, abi, plat = tags_for(soabi, platform)
    version = f"{py[2]}.{py[3:]}"
    cases = [
        ("the guest's CPython", plat, abi, True),
        ("the same CPython with the GIL", plat, abi.rstrip("t"), False),
        ("a Linux platform", "linux_x86_64", abi, False),
        ("another FreeBSD release", "freebsd_13_4_release_amd64", abi, False),
    ]
    for what, p, a, takes in cases:
        got = pip_takes(pip_python, wheel, p, version, a)
        if got != takes:
            errors.append(f"pip {'takes' if got else 'refuses'} the wheel for {what} ({p}, {a})")
    # And an install on this very host, as it is.
    with tempfile.TemporaryDirectory() as target:
        r = subprocess.run([pip_python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                            "--no-index", "--no-deps", "--target", target, str(wheel)],
                           capture_output=True, text=True)
        if r.returncode == 0 or "is not a supported wheel on this platform" not in r.stderr:
            errors.append(f"pip on this host does not refuse the wheel as unsupported: {r.stderr[-300:]}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--wheel", type=pathlib.Path, required=True)
    ap.add_argument("--sdist", type=pathlib.Path, required=True)
    ap.add_argument("--soabi", required=True)
    ap.add_argument("--platform", required=True)
    ap.add_argument("--project", type=pathlib.Path, required=True)
    ap.add_argument("--pip", required=True, help="a Python with pip, for the install checks")
    args = ap.parse_args()
    meta = tomllib.loads((args.project / "pyproject.toml").read_text())["project"]
    errors = []
    tag = check_wheel(args.wheel, meta, args.soabi, args.platform, args.project, errors)
    check_sdist(args.sdist, meta, args.project, errors)
    check_pip(args.pip, args.wheel, args.soabi, args.platform, errors)
    for e in errors:
        print(f"check_dist: {e}", file=sys.stderr)
    if errors:
        return 1
    print(f"check_dist: {args.wheel.name} ({tag}) and {args.sdist.name} are right")
    return 0


if __name__ == "__main__":
    sys.exit(main())
