#!/bin/sh
# The build cache (MORVEX_CACHE, default ~/.cache/morvex): every product
# built or fetched once lives in an entry of its own, named NAME-KEY, where
# KEY is a hash of everything the product is made from: the scripts that make
# it, the knobs they take, the checksums of the sources (from the SHA256SUMS
# files that vouch for them) and the keys of the entries it is built from.
# Change any of those and the product has a new name, so it is built anew;
# an entry is never patched. An entry is made in a temporary folder and
# renamed into place when it is complete, so a name that exists is a whole
# product; after that nothing writes into it (what is installed later goes
# into a venv or a copy).
#
# Sourced by the build scripts (cache_path, cache_make), or run:
#   sh tools/cache.sh path NAME     the entry's folder (made or not)
#   sh tools/cache.sh list          every entry the current sources name,
#                                   with its key and whether it is there
#   sh tools/cache.sh inputs NAME   what the key is made of
# NAME is one of
#   python3.13t python3.13 python3.14t python3.15t python3.14t-tsan
#                          the host's interpreters (tools/bootstrap-python.sh)
#   debian-sid             Debian's unstable chroot (tools/debian-sid.sh)
#   freebsd-REL-tree       a lab release's unpacked tree and image tools
#   freebsd-REL-libffi     libffi cross-built for it
#   freebsd-REL-python     the guest's CPython cross-built for it
#   freebsd-wheel-env      the venv that builds the FreeBSD wheels, and pip's
#                          wheel for the guests
#   freebsd-pytest-wheels  pytest's wheels for the guests
# (REL: 14.2 or 15.1.)
CACHE_TOOLS=${CACHE_TOOLS:-$(cd "$(dirname "${CACHE_SH:-$0}")" && pwd)}
CACHE_PROJECT=$(cd "$CACHE_TOOLS/.." && pwd)
CACHE=${MORVEX_CACHE:-$HOME/.cache/morvex}
CACHE_CPYTHON=${CPYTHON_SOURCES:-$CACHE_PROJECT/../shared/cpython}
case $CACHE_CPYTHON in /*) ;; *) CACHE_CPYTHON=$CACHE_PROJECT/$CACHE_CPYTHON ;; esac
CACHE_LAB=${FREEBSD_LAB:-$CACHE_PROJECT/../shared/freebsd-lab}
case $CACHE_LAB in /*) ;; *) CACHE_LAB=$CACHE_PROJECT/$CACHE_LAB ;; esac
# The guest's CPython version (the lab's GUEST_PYVER).
CACHE_GUEST_PYVER=${GUEST_PYVER:-3.14}

# The release tarball of a CPython version and its line in SHA256SUMS.
cache_cpython_tarball() {
    case $1 in 3.14) echo Python-3.14.7.tar.xz ;; 3.15) echo Python-3.15.0rc1.tar.xz ;; esac
}
cache_sum() {   # FOLDER FILE: the checksum SHA256SUMS in FOLDER gives FILE
    awk -v f="$2" '$2 == f || $2 == "*" f { print $1; found = 1 } END { if (!found) print "missing:" f }' \
        "$1/SHA256SUMS" 2>/dev/null || echo "missing:$2"
}

# What an entry's key is made of, a line each: "file PATH" lines are the
# files whose contents count, the others are knobs and sources as text.
cache_inputs() {
    lab=$CACHE_TOOLS/freebsd-lab
    case $1 in
    python3.13t|python3.13|python3.14t|python3.15t|python3.14t-tsan)
        v=${1#python}; v=${v%-tsan}; v=${v%t}
        echo "file $CACHE_TOOLS/bootstrap-python.sh"
        case $1 in *-tsan) echo "TSAN=1" ;; *t) echo "GIL=0" ;; *) echo "GIL=1" ;; esac
        echo "VERSION=$v"
        case $v in
        3.13) echo "source: Debian trixie's python3.13 source package" ;;
        *) t=$(cache_cpython_tarball "$v"); echo "source: $t $(cache_sum "$CACHE_CPYTHON" "$t")" ;;
        esac
        [ "$v" != 3.15 ] || echo "source: Debian trixie's mpdecimal source package" ;;
    debian-sid)
        echo "file $CACHE_TOOLS/debian-sid.sh" ;;
    freebsd-*-tree)
        r=${1#freebsd-}; r=${r%-tree}
        echo "file $lab/sysroot.sh"
        for f in "freebsd-$r-amd64-root.tar.xz" makefs mkimg; do
            echo "source: $f $(cache_sum "$CACHE_LAB" "$f")"
        done ;;
    freebsd-*-libffi)
        r=${1#freebsd-}; r=${r%-libffi}
        echo "file $lab/common.sh"; echo "file $lab/toolchain.sh"; echo "file $lab/libffi.sh"
        echo "FREEBSD=$r"
        echo "source: Debian trixie's libffi source package"
        echo "entry $(cache_path "freebsd-$r-tree")" ;;
    freebsd-*-python)
        r=${1#freebsd-}; r=${r%-python}
        echo "file $lab/common.sh"; echo "file $lab/toolchain.sh"; echo "file $lab/python.sh"
        echo "FREEBSD=$r"
        echo "GUEST_PYVER=$CACHE_GUEST_PYVER"
        case $CACHE_GUEST_PYVER in
        3.13) echo "source: Debian trixie's python3.13 source package" ;;
        *) t=$(cache_cpython_tarball "$CACHE_GUEST_PYVER"); echo "source: $t $(cache_sum "$CACHE_CPYTHON" "$t")" ;;
        esac
        echo "entry $(cache_path "freebsd-$r-tree")"
        echo "entry $(cache_path "freebsd-$r-libffi")"
        echo "entry $(cache_path "python${CACHE_GUEST_PYVER}t")" ;;
    freebsd-wheel-env)
        echo "file $lab/wheel-env.sh"
        grep -E '^scikit-build-core==' "$CACHE_PROJECT/requirements-dev.txt"
        echo "entry $(cache_path "python${CACHE_GUEST_PYVER}t")" ;;
    freebsd-pytest-wheels)
        echo "file $lab/pytest-wheels.sh"
        grep -E '^pytest==' "$CACHE_PROJECT/requirements-dev.txt"
        echo "GUEST_PYVER=$CACHE_GUEST_PYVER" ;;
    *) echo "cache.sh: no cache entry is named $1" >&2; return 2 ;;
    esac
}

cache_key() {
    cache_inputs "$1" >/dev/null || return 2
    cache_inputs "$1" | while IFS= read -r line; do
        case $line in
        "file "*) f=${line#file }; echo "file ${f##*/} $(sha256sum <"$f" | cut -c1-64)" ;;
        "entry "*) echo "entry ${line##*/}" ;;
        *) echo "$line" ;;
        esac
    done | sha256sum | cut -c1-16
}

cache_path() {
    k=$(cache_key "$1") || return 2
    echo "$CACHE/$1-$k"
}

# cache_make NAME COMMAND...: makes the entry NAME unless it is there.
# COMMAND builds the product into the folder CACHE_OUT (which it creates;
# its parent is a fresh temporary folder it may use as it likes) and may
# name CACHE_ENTRY, the entry's final folder, where something must know it
# (an interpreter's prefix). The finished product gets a manifest,
# .cache-entry (the inputs, the time, and what COMMAND wrote to
# $CACHE_OUT.versions: versions of sources taken from an archive), and is
# renamed into place. Two makes of one entry wait for each other; a failed
# one leaves nothing behind. COMMAND runs under set -e: call cache_make as a
# command of its own, not on the left of || or && (where the shell would
# switch set -e off inside it).
cache_make() {
    _cm_name=$1; shift
    _cm_entry=$(cache_path "$_cm_name") || return 2
    [ -d "$_cm_entry" ] && return 0
    mkdir -p "$CACHE/.tmp"
    (
        set -e
        exec 8>"$_cm_entry.lock"
        flock 8
        [ -d "$_cm_entry" ] && exit 0
        _cm_tmp=$(mktemp -d "$CACHE/.tmp/${_cm_entry##*/}.XXXXXX")
        trap 'rm -rf "$_cm_tmp"' EXIT
        trap 'exit 1' INT TERM HUP
        CACHE_ENTRY=$_cm_entry CACHE_OUT=$_cm_tmp/out
        export CACHE_ENTRY CACHE_OUT
        "$@"
        [ -d "$CACHE_OUT" ] || { echo "cache.sh: $_cm_name: the build made no $CACHE_OUT" >&2; exit 1; }
        {
            echo "entry: ${_cm_entry##*/}"
            echo "made: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
            cache_inputs "$_cm_name" | sed 's/^/input: /'
            [ ! -f "$CACHE_OUT.versions" ] || sed 's/^/version: /' "$CACHE_OUT.versions"
        } >"$CACHE_OUT/.cache-entry"
        mv -T "$CACHE_OUT" "$_cm_entry"
    )
}

if [ -z "${CACHE_SH:-}" ]; then
    case ${1:-} in
    path) cache_path "${2:?usage: cache.sh path NAME}" ;;
    inputs) cache_inputs "${2:?usage: cache.sh inputs NAME}" ;;
    list)
        for n in python3.13t python3.13 python3.14t python3.15t python3.14t-tsan debian-sid \
                 freebsd-14.2-tree freebsd-14.2-libffi freebsd-14.2-python \
                 freebsd-15.1-tree freebsd-15.1-libffi freebsd-15.1-python \
                 freebsd-wheel-env freebsd-pytest-wheels; do
            p=$(cache_path "$n")
            if [ -d "$p" ]; then s=made; else s=-; fi
            printf '%-24s %s  %s\n' "$n" "${p##*-}" "$s"
        done ;;
    *) echo "usage: sh tools/cache.sh path NAME | inputs NAME | list" >&2; exit 2 ;;
    esac
fi
