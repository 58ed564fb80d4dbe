# Set-up and checks. Every target bootstraps what it needs: the free-threaded
# interpreter (built once into a cache outside the repo), the virtual
# environment and the module build; each step is skipped when it is done.
# Every product in the cache is an entry named by a hash of its inputs
# (tools/cache.sh): a changed build script or source gives a new entry.

CACHE      ?= $(or $(MORVEX_CACHE),$(HOME)/.cache/morvex)
export MORVEX_CACHE := $(CACHE)
CPYTHON_SOURCES ?= ../shared/cpython
export CPYTHON_SOURCES := $(abspath $(CPYTHON_SOURCES))
entry       = $(shell MORVEX_CACHE='$(CACHE)' CPYTHON_SOURCES='$(CPYTHON_SOURCES)' sh tools/cache.sh path $(1))
PYTHON_FT  := $(call entry,python3.13t)/bin/python3.13t
PYTHON_GIL := $(call entry,python3.13)/bin/python3.13

# PY selects the interpreter of test, demo, build, bench, check-threads,
# check-leaks and check-sweep (each with a venv of its own):
#   ft (the default, also 3.13t)  the free-threaded CPython 3.13, built from
#                  Debian's python3.13 source package (.venv)
#   gil            CPython 3.13 with the GIL, from the same source (.venv-gil)
#   3.14t, 3.15t   free-threaded CPython 3.14.7 and 3.15.0rc1, built from the
#                  release tarballs in CPYTHON_SOURCES, checked against its
#                  SHA256SUMS (.venv-3.14t, .venv-3.15t); the module is
#                  built with warnings as errors
#   3.14, 3.15     `make test` only: Debian's CPython 3.14 or 3.15 (with the
#                  GIL) in a Debian unstable chroot kept in the cache
#                  (tools/test-debian-python.sh; venvs .venv-3.14, .venv-3.15)
# The other checks use the free-threaded 3.13 (check-tsan: 3.14t's
# ThreadSanitizer build).
PY ?= ft
WERROR     :=
ifneq ($(filter ft 3.13t,$(PY)),)
PYTHON     := $(PYTHON_FT)
VENV       := .venv
else ifeq ($(PY),gil)
PYTHON     := $(PYTHON_GIL)
VENV       := .venv-gil
else ifneq ($(filter 3.14t 3.15t,$(PY)),)
PYTHON     := $(call entry,python$(PY))/bin/python$(PY)
VENV       := .venv-$(PY)
WERROR     := -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON
else ifneq ($(filter 3.14 3.15,$(PY)),)
DEBIAN_PY  := $(PY)
ifneq ($(filter-out test clean,$(or $(MAKECMDGOALS),test)),)
$(error PY=$(PY) (Debian's build with the GIL) is for `make test` only; PY=$(PY)t is the free-threaded one)
endif
else
$(error PY is ft (free-threaded 3.13, the default), gil, 3.14t, 3.15t, or for `make test` 3.14 or 3.15)
endif
VPY        := $(VENV)/bin/python
SOURCES    := $(shell find src standin -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \) 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: all demo test build check-freebsd check-real-freebsd real-freebsd-shell wheel-freebsd bench-real-freebsd check-headers check-asan check-leaks check-fuzz fuzz-build fuzz-long fuzz-coverage check-threads check-tsan check-tsan-ci check-sweep bench ci-cold clean

all: test

$(PYTHON_FT):
	MORVEX_CACHE=$(CACHE) sh tools/bootstrap-python.sh

$(PYTHON_GIL):
	MORVEX_CACHE=$(CACHE) GIL=1 sh tools/bootstrap-python.sh

# 3.14t and 3.15t, from the release tarballs.
$(call entry,python3.14t)/bin/python3.14t:
	MORVEX_CACHE=$(CACHE) VERSION=3.14 sh tools/bootstrap-python.sh

$(call entry,python3.15t)/bin/python3.15t:
	MORVEX_CACHE=$(CACHE) VERSION=3.15 sh tools/bootstrap-python.sh

$(VENV)/.ready: $(PYTHON) requirements-dev.txt
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(VPY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps $(WERROR) .
	touch $@

build: $(VENV)/.built

# `make demo PROFILE=<name>` reports on one of the stand-in's machine
# profiles instead of the default server: unprivileged, jail, vm, large.
# `make demo CAPTURE=<file>` replays a capture of a FreeBSD machine.
demo: build
	@$(VPY) tools/demo.py $(if $(CAPTURE),--capture $(abspath $(CAPTURE)),$(PROFILE))

ifeq ($(DEBIAN_PY),)
test: build
	$(VPY) -m pytest -q tests
else
test:
	sh tools/test-debian-python.sh $(DEBIAN_PY)
endif

# The module built for x86_64 FreeBSD through CMakeLists.txt with zig as the
# compiler (its FreeBSD branch, FreeBSD's headers), linked, and the shared
# object checked: FreeBSD's ELF, the libraries it needs, every undefined symbol
# provided on FreeBSD. Plus every record layout of the stand-in pinned to
# FreeBSD's by static_asserts. For FreeBSD 14.0 and 15.0 (FREEBSD_RELEASES=14
# or 15 for one); the 14 binary, the one that serves both, binds no symbol
# version above FBSD_1.7 and libutil's functions unversioned.
check-freebsd: build
	mkdir -p build
	$(VPY) -c "import _fakebsd; print(_fakebsd.layout_asserts())" > build/layout_asserts.cpp
	CMAKE=$(CURDIR)/$(VENV)/bin/cmake LAYOUT_ASSERTS=build/layout_asserts.cpp bash tools/check-freebsd/run.sh

# The module on real FreeBSD kernels: a FreeBSD 14.2 and a FreeBSD 15.1 guest
# under QEMU (pure emulation), one after the other, made from the lab in
# FREEBSD_LAB (each release's installed tree, makefs and mkimg), with
# CPython 3.14t (from CPYTHON_SOURCES, built with the host's 3.14t), libffi
# and the module cross-built for each release with
# clang-19 (cached as entries freebsd-RELEASE-*); each runs the real-kernel
# suite (tests/real) and brings its results back into
# build/real-freebsd/RELEASE/out. FREEBSD=14.2 or FREEBSD=15.1 boots one
# (the module is built for both: each guest tries the other's build).
# real-freebsd-shell boots one release's guest for a look around (root, no
# password; FREEBSD=15.1 for 15, else 14.2).
FREEBSD_LAB ?= ../shared/freebsd-lab
export FREEBSD_LAB

check-real-freebsd: $(VENV)/.ready
	CMAKE=$(CURDIR)/$(VENV)/bin/cmake FREEBSD="$(FREEBSD)" sh tools/freebsd-lab/run.sh

real-freebsd-shell: $(VENV)/.ready
	CMAKE=$(CURDIR)/$(VENV)/bin/cmake FREEBSD="$(or $(FREEBSD),14.2)" sh tools/freebsd-lab/run.sh shell

# The source distribution and the FreeBSD wheel built from it through
# pyproject.toml (cross-built against the lab's tree, tagged as the guest's
# CPython tags wheels), checked by tools/wheel/check_dist.py; into
# build/real-freebsd/RELEASE/dist, for 14.2 and 15.1 (FREEBSD= names one).
# check-real-freebsd builds them too and installs the wheel with pip in each
# guest.
wheel-freebsd: $(VENV)/.ready
	MORVEX_CACHE=$(CACHE) VERSION=3.14 sh tools/bootstrap-python.sh
	for r in $(or $(FREEBSD),14.2 15.1); do for s in host-packages sysroot libffi python wheel; do \
		FREEBSD=$$r CMAKE=$(CURDIR)/$(VENV)/bin/cmake sh tools/freebsd-lab/$$s.sh || exit 1; done; done
	ls -l build/real-freebsd/*/dist

# The module's speed on the real kernel, as ratios: against a C program making
# the same calls (the floor), against FreeBSD's tools, two threads against one.
# In the FreeBSD 15.1 guest (FREEBSD=14.2 for 14.2's). BENCH_ARGS:
# bench/real/bench_guest.py's options (--seconds, --rounds, names).
bench-real-freebsd: $(VENV)/.ready
	CMAKE=$(CURDIR)/$(VENV)/bin/cmake FREEBSD="$(or $(FREEBSD),15.1)" sh tools/freebsd-lab/bench.sh $(BENCH_ARGS)

# The module and the control module against the headers of the newest CPython
# releases Debian packages (3.14, 3.15), free-threaded: warnings are errors.
check-headers:
	sh tools/check-headers.sh

# Every module function, on its success path and on each failure path the
# stand-in drives, called in rounds of LEAK_CALLS calls: no growth of the
# interpreter's blocks, the C heap, the resident memory or any reference
# count, and every platform handle given back. (The suite runs the same
# cases with a few dozen calls each.)
LEAK_CALLS ?= 10000

check-leaks: build
	MORVEX_LEAK_CALLS=$(LEAK_CALLS) $(VPY) -m pytest -q -p no:cacheprovider tests/gates/test_leaks.py

check-asan: $(VENV)/.ready
	sh tools/check-asan.sh

# Malformed kernel answers: the libFuzzer targets of tests/fuzz (one per
# parser of kernel data, under AddressSanitizer and UBSan), built with
# Debian's clang, which the build installs when missing. Each target replays
# its committed corpus, then fuzzes for FUZZ_SECONDS; two run at once. A crash
# fails the check and is minimised into the corpus as a regression input.
# `make fuzz-long TARGET=<name> SECONDS=<n>` runs one target for longer
# (`python tests/fuzz/targets.py --list` names them); `make fuzz-coverage`
# tells the module's coverage by each target's corpus.
FUZZ_SECONDS ?= 90

fuzz-build: build
	sh tools/fuzz/build.sh

check-fuzz: fuzz-build
	sh tools/fuzz/run.sh check $(FUZZ_SECONDS)

# The targets under the sanitizers over their committed corpora only, no
# fuzzing: what CI runs.
check-fuzz-replay: fuzz-build
	sh tools/fuzz/run.sh replay

fuzz-long: fuzz-build
	sh tools/fuzz/run.sh long $(TARGET) $(or $(SECONDS),600)

# The module's edges each target's corpus covers (after check-fuzz or fuzz-long).
fuzz-coverage:
	sh tools/fuzz/coverage.sh $(TARGET)

# The suite with every test run in 4 threads at once, twice in each thread
# (the thread stress test, which swaps the process-wide machine, runs alone).
check-threads: build
	$(VPY) -m pytest -q -p no:cacheprovider --parallel-threads=4 --iterations=2 tests

# The suite, thread stress included, under ThreadSanitizer with a
# free-threaded 3.14 built for it (from the release sources in
# CPYTHON_SOURCES, once into the cache, like the others).
check-tsan:
	sh tools/check-tsan.sh

# The same for CI, on the tests that exist for concurrency: libkvm's lock
# (test_kvm_lock), the utmpx walk and its lock (test_users, the stand-in's
# per-thread walk), the thread stress gate (machines swapped under callers),
# and of the 4-thread suite the files whose every test installs and drops a
# machine of its thread while other threads read theirs (test_standin) and
# whose calls re-read when the kernel's answer grows between the size query
# and the fetch (test_net_connections).
TSAN_CI_TESTS := tests/test_kvm_lock.py tests/test_users.py tests/test_standin.py \
	tests/test_standin_libc.py::test_utmpx_iterator_per_thread tests/gates/test_stress.py \
	tests/test_net_connections.py

check-tsan-ci:
	sh tools/check-tsan.sh $(TSAN_CI_TESTS)

# Every module function on every machine profile, for every process of the
# profile (the suite samples the large profile's 10,000 processes). On the
# large profile the writes (each copies the whole machine) stay sampled on
# SWEEP_SETTERS processes, and proc_net_connections (each call reads the
# whole TCP list) on every SWEEP_NET_EVERY-th process.
SWEEP_SETTERS ?= 30
SWEEP_NET_EVERY ?= 10

check-sweep: build
	MORVEX_SWEEP_PROCS=all MORVEX_SWEEP_SETTERS=$(SWEEP_SETTERS) \
		MORVEX_SWEEP_NET_EVERY=$(SWEEP_NET_EVERY) $(VPY) -m pytest -q -s \
		-p no:cacheprovider tests/gates/test_sweep.py tests/test_capture.py

bench: build
	$(VPY) bench/run.py

# CI as a new machine runs it: .ci/run in a fresh clone of this commit with
# an empty, temporary cache (tools/ci-cold.sh); a log file, the step table at
# the end. About an hour on two cores: run it in the background.
ci-cold:
	sh tools/ci-cold.sh

clean:
	rm -rf build .venv .venv-gil .venv-asan .venv-tsan .venv-3.14 .venv-3.14t .venv-3.15 .venv-3.15t .venv-debian-3.14t .venv-debian-3.15t
