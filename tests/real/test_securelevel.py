"""kern.securelevel raised to 1: what root may still read of init. The level
cannot be lowered until the next boot, so this runs after every other check
of the guest (conftest.py orders it last)."""

import allcalls as calls
import guestlib as g

import _morvex_bsd as m

# reads that need the right to debug init, which the kernel refuses at a
# securelevel above 0 even to root (p_candebug)
DEBUG_READS = {"proc_environ", "proc_cwd", "proc_num_fds", "proc_open_files",
               "proc_memory_maps", "proc_net_connections"}


def read_init():
    return {name: calls.outcome(name, getattr(m, name), args)[0]
            for name, args in calls.reader_calls(m, 1)}


def test_init_at_securelevel_1():
    before = read_init()
    assert before == {n: "ok" for n in before}
    g.subprocess.run(["sysctl", "kern.securelevel=1"], check=True)
    assert g.sysctl("kern.securelevel") == "1"
    after = read_init()
    print("init at securelevel 1, read by root:", after)
    g.save("securelevel.json", after)
    # (init is a system process (P_SYSTEM): its environment is answered
    # empty without a read, at any securelevel)
    want = {n: ("PermissionError(EPERM)" if n in DEBUG_READS - {"proc_environ"} else "ok")
            for n in after}
    assert after == want
    assert m.proc_environ(1) == {}


def test_deployed_rules_at_securelevel_1():
    assert g.sysctl("kern.securelevel") == "1"
    got = g.run_rules("securelevel", {"init": 1})
    assert got["checked"] and got["failed"] == []
