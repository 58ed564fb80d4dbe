"""The guest's runner of deployed_rules.py, run where the configuration's
caller is (inside the jail through jexec, or dropping to a user):

    python3 rules_probe.py CONFIG '{"roles": {...}, "as": [UID, GID, [GROUPS]],
                                    "foreign": [[UID, GID, [GROUPS]], ...],
                                    "jail_root": PATH}'

roles maps each role of the table to a pid (process roles), a port
(listener roles), a mount point (mount roles) or an address (address roles);
"self" and "self_listener" are this process and a listener it opens itself.
"foreign" are credentials under which sockets are made (while still root,
with setresuid) and then held by the caller: foreign_uid_socket and
foreign_gid_socket in that order. Prints JSON: {"checked": [...rows],
"failed": [[row, got], ...], "skipped": [...rows]}.
"""

import json
import os
import socket
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import deployed_rules as rules  # noqa: E402


def _socket_as(cred):
    uid, gid, groups = cred
    # real and effective ids both (the kernel's see-checks compare the real
    # uid), the saved ones kept at root's to come back
    os.setgroups(groups)
    os.setresgid(gid, gid, 0)
    os.setresuid(uid, uid, 0)
    try:
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen()
    finally:
        os.setresuid(0, 0, 0)
        os.setresgid(0, 0, 0)
        os.setgroups([0])
    return s


def main():
    config, req = sys.argv[1], json.loads(sys.argv[2])
    roles = dict(req.get("roles", {}))
    keep = []
    for role, cred in zip(("foreign_uid_socket", "foreign_gid_socket"), req.get("foreign", [])):
        s = _socket_as(cred)
        keep.append(s)
        roles[role] = s.getsockname()[1]
    if req.get("as"):
        uid, gid, groups = req["as"]
        os.setgroups(groups)
        os.setgid(gid)
        os.setuid(uid)
    own = socket.socket()
    own.bind(("127.0.0.1", 0))
    own.listen()
    roles["self"] = os.getpid()
    roles["self_listener"] = own.getsockname()[1]
    import _morvex_bsd as m

    checked, failed, skipped = [], [], []
    for row in rules.rules(config):
        if row.target not in roles:
            skipped.append(list(row[:3]))
            continue
        target = roles[row.target]
        if row.expected in (rules.LISTED, rules.NOT_LISTED):
            seen = rules.listed(m, row.function, target)
            ok = seen == (row.expected == rules.LISTED)
            got = rules.LISTED if seen else rules.NOT_LISTED
        else:
            got = rules.outcome(m, row.function, target)
            ok = rules.holds(row.expected, got, req.get("jail_root"))
            got = [got[0], got[1], got[2] if got[0] == "refused" else repr(got[2])[:120]]
        checked.append(list(row[:3]))
        if not ok:
            failed.append([[row.config, row.target, row.function, repr(row.expected)], got])
    json.dump({"checked": checked, "failed": failed, "skipped": skipped}, sys.stdout)


if __name__ == "__main__":
    main()
