"""Malformed kernel answers: the committed corpus of the fuzz targets.

Every input of tests/fuzz/corpus (the seeds made from every machine
profile's answers, and the inputs the fuzzer minimised from the crashes it
found) is run through its target in tests/fuzz/targets.py against the module
as built here: a value of the documented shape or a documented exception,
every handle given back. `make check-fuzz` runs the same targets under
libFuzzer, AddressSanitizer and UBSan, and `make check-asan` runs this
replay under the sanitizers.
"""

import pathlib
import sys

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
import targets  # noqa: E402

CORPUS = FUZZ / "corpus"


def corpus(name):
    return sorted((CORPUS / name).iterdir()) if (CORPUS / name).is_dir() else []


def test_every_target_has_a_corpus():
    assert sorted(p.name for p in CORPUS.iterdir()) == sorted(targets.TARGETS)
    assert all(corpus(name) for name in targets.TARGETS)


@pytest.mark.parametrize("name", sorted(targets.TARGETS))
def test_corpus_replays(name):
    target = targets.TARGETS[name]
    for path in corpus(name):
        try:
            target.run(path.read_bytes())
        except AssertionError as e:
            raise AssertionError(f"{path.relative_to(FUZZ)}: {e}") from None


@pytest.mark.parametrize("name", sorted(targets.TARGETS))
def test_mutations_are_inputs(name):
    # The structure-aware mutations give inputs the target takes.
    target = targets.TARGETS[name]
    for k, path in enumerate(corpus(name)[:3]):
        data = path.read_bytes()
        for seed in range(20):
            out = target.mutate(data, len(data) + 4096, seed + 100 * k)
            if out is not None:
                target.run(out)
                data = out


# --- findings, kept as regression cases ----------------------------------------------

def test_short_process_record_reads_as_zeros(machine):
    # A process record shorter than struct kinfo_proc left the fields it did
    # not reach as the stack held them: after a look at a zombie, the state
    # of a process whose record stops before ki_stat read as "zombie".
    with fakebsd.machine(None):
        full = answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, targets.PID))
    machine({"faults": [fault("sysctl", (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, targets.PID),
                              answer=full[:64])]})
    for _ in range(3):
        assert m.proc_is_zombie(targets.ZOMBIE) is True
        assert m.proc_is_zombie(targets.PID) is False
        assert m.proc_oneshot_info(targets.PID)[1] == 0

