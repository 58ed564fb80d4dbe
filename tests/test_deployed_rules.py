"""The rules of tests/real/deployed_rules.py (what a jailed caller, a hidden
user, the owner of or root on a no-trace process and root at securelevel 1
may list and read) run against the stand-in's profiles; the guest runs the
same rows on a FreeBSD kernel."""

import errno
import importlib.util
import pathlib

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import i32, profiles

_spec = importlib.util.spec_from_file_location(
    "deployed_rules", pathlib.Path(__file__).parent / "real" / "deployed_rules.py")
rules = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(rules)

ROOT = {"caller": {"uid": 0}}

# configuration -> (profile, change to it, the jail's root as the host names
# it, role -> pid / port / mount point / address)
SETUPS = {
    "jail": ("jail", {}, "/jails/www", {
        "self": 3105, "peer": 2410, "outsider": 701,
        "peer_listener": 80, "outsider_listener": 5432,
        "jail_root": "/", "host_mount": "/home",
        "own_address": "192.168.1.30", "host_address": "192.168.1.20",
    }),
    "jail_host": ("jail", ROOT, None, {"jailed": 2410, "jailed_listener": 80}),
    "hidden": ("hardened", {}, None, {
        "self": 1310, "peer": 1207, "outsider": 701,
        "self_listener": 8000, "outsider_listener": 22,
        "foreign_uid_socket": 8001, "foreign_gid_socket": 8002,
    }),
    "notrace_owner": ("hardened", {"sysctl": {"security.bsd.unprivileged_proc_debug": i32(1)}},
                      None, {"notrace": profiles.ALICE_AGENT}),
    "notrace_root": ("hardened", ROOT, None, {"notrace": profiles.ROOT_AGENT}),
    "securelevel": ("hardened", ROOT, None, {"init": 1}),
}


def test_every_configuration_has_a_setup():
    assert set(SETUPS) == set(rules.CONFIGS)
    for config, (_, _, _, roles) in SETUPS.items():
        assert {r.target for r in rules.rules(config)} <= set(roles), config


@pytest.mark.parametrize("config", sorted(rules.CONFIGS))
def test_rules(no_leaks, config):
    profile, change, jail_root, roles = SETUPS[config]
    broken = []
    for row in rules.rules(config):
        # The setters change the machine: each row starts from the profile.
        with fakebsd.machine(change, profile=profile):
            key = roles[row.target]
            if row.expected in (rules.LISTED, rules.NOT_LISTED):
                got = rules.LISTED if rules.listed(m, row.function, key) else rules.NOT_LISTED
                ok = got == row.expected
            else:
                got = rules.outcome(m, row.function, key)
                ok = rules.holds(row.expected, got, jail_root)
                got = got[:2] + ((got[2] if got[0] == "refused" else ()),)
        if not ok:
            broken.append((row.target, row.function, row.expected, got))
    assert not broken


@pytest.mark.parametrize("err,taken", [(None, True), (errno.ENOMEM, True), (errno.EPERM, False),
                                       (errno.EIO, False)])
def test_environment_the_kernel_could_not_read(no_leaks, err, taken):
    """A readable environment's row also takes kern.proc.env's ENOMEM (the
    forced EACCES naming it), and no other refusal."""
    profile, change, _, roles = SETUPS["hidden"]
    (row,) = [r for r in rules.rules("hidden") if (r.target, r.function) == ("self", "proc_environ")]
    faults = [] if err is None else [fakebsd.fault("kvm_getenvv", roles["self"], errno=err)]
    with fakebsd.machine({**change, "faults": faults}, profile=profile):
        got = rules.outcome(m, row.function, roles["self"])
    assert rules.holds(row.expected, got) is taken, got
