"""A few processes for the capture to find, so that the replay comparison
covers what an idle guest lacks: TCP listeners and connected pairs on
127.0.0.1 and ::1, UDP sockets, a UNIX socket bound to a path, threads, an
open file, a zombie child and a process of another user; on FreeBSD 15 also
an inotify descriptor and a jail descriptor (of a jail made for the scene,
removed with it).

    python3 scene.py READY_FILE    # runs until stdin closes or it is killed

Writes READY_FILE when everything is in place.
"""

import os
import socket
import sys
import tempfile
import threading


def new_descriptors():
    """An inotify descriptor watching /tmp and an owning descriptor of a jail
    made for the scene, where the release has them (15); else none."""
    if int(os.uname().release.split(".")[0]) < 15:
        return []
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from descriptors import inotify, jail_descriptor
    return [inotify()[0], jail_descriptor()[0]]


def main():
    ready = sys.argv[1]
    keep = []
    fds = new_descriptors()
    for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
        srv = socket.socket(family, socket.SOCK_STREAM)
        srv.bind((host, 0))
        srv.listen()
        cli = socket.socket(family, socket.SOCK_STREAM)
        cli.connect(srv.getsockname())
        acc, _ = srv.accept()
        udp = socket.socket(family, socket.SOCK_DGRAM)
        udp.bind((host, 0))
        keep += [srv, cli, acc, udp]
    path = os.path.join(tempfile.gettempdir(), "morvex-scene.sock")
    if os.path.exists(path):
        os.unlink(path)
    unix = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    unix.bind(path)
    unix.listen()
    keep.append(unix)
    f = tempfile.NamedTemporaryFile(dir="/tmp", prefix="morvex-scene-")
    f.write(b"scene")
    f.flush()
    stop = threading.Event()
    threads = [threading.Thread(target=stop.wait, daemon=True) for _ in range(3)]
    for t in threads:
        t.start()
    zombie = os.fork()
    if zombie == 0:
        os._exit(0)
    other = os.fork()
    if other == 0:
        os.setgroups([])
        os.setgid(1001)
        os.setuid(1001)
        os.read(0, 1)       # until the scene ends
        os._exit(0)
    with open(ready, "w") as r:
        r.write(f"{os.getpid()} {zombie} {other}\n")
    try:
        sys.stdin.read()
    finally:
        os.unlink(path)
        os.waitpid(zombie, 0)
        for fd in fds:
            os.close(fd)


if __name__ == "__main__":
    main()
