"""What the module answers, and what FreeBSD's own tools say, from where
this script runs (inside a jail through jexec, or as another user):

    python3 probe.py '{"targets": [PID, ...], "as": [UID, GID, [GROUP, ...]]}'

Calls every one of the 46 functions (the per-process ones for itself and for
each target; the setters with values that change nothing), then runs ps,
mount, ifconfig, sockstat and who, and prints one JSON object:
{"me", "uid", "calls": {call: {"outcome", "answer"}}, "tools": {tool: text}}.
"as" drops to that user (real and effective ids, supplementary groups)
before anything else.
"""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import allcalls as calls  # noqa: E402
import record  # noqa: E402

TOOLS = {
    "ps": ["ps", "-ax", "-o", "pid=", "-o", "uid=", "-o", "stat=", "-o", "comm="],
    "mount": ["mount", "-p"],
    "ifconfig": ["ifconfig", "-a"],
    "sockstat": ["sockstat", "-46", "-n"],
    "sockstat_unix": ["sockstat", "-u", "-n"],
    "who": ["who"],
}


def run_tools():
    out = {}
    for name, argv in TOOLS.items():
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        text, _ = p.communicate()
        out[name] = {"pid": p.pid, "rc": p.returncode, "text": text}
    return out


def probe(m, targets):
    me = os.getpid()
    got = {}

    def one(name, args):
        word, answer = calls.outcome(name, getattr(m, name), args)
        got[record.key(name, *args)] = {"outcome": word, "answer": record.plain(answer)}
        if isinstance(answer, BaseException):
            got[record.key(name, *args)]["text"] = str(answer)[:300]
        return word, answer

    for pid in [me, *targets]:
        current = {}
        for name, args in calls.reader_calls(m, pid):
            word, answer = one(name, args)
            if word == "ok":
                current[name] = answer
        for name, args in calls.setter_calls(m, pid, current):
            one(name, args)
    for name, args in calls.system_calls(m):
        one(name, args)
    return got


def main():
    req = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    if req.get("as"):
        uid, gid, groups = req["as"]
        os.setgroups(groups)
        os.setgid(gid)
        os.setuid(uid)
    import _morvex_bsd as m
    got = probe(m, req.get("targets", []))
    tools = run_tools()
    # the module's process list again, right after ps: what both saw
    pids_after = m.pids()
    json.dump({"me": os.getpid(), "uid": os.getuid(), "calls": got, "tools": tools,
               "pids_after": pids_after}, sys.stdout)


if __name__ == "__main__":
    main()
