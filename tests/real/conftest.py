# The real-kernel suite runs in the FreeBSD guest only; on any other host
# there is nothing for it to check.
import sys

collect_ignore = ["record.py", "probe.py", "allcalls.py", "nofile.py", "guestlib.py"]
if not sys.platform.startswith("freebsd"):
    collect_ignore_glob = ["test_*.py"]


def pytest_collection_modifyitems(items):
    # kern.securelevel cannot be lowered again until the next boot: those
    # checks come after every other one
    items.sort(key=lambda item: "securelevel" in item.nodeid)
