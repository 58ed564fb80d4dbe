# The real-kernel suite runs in the FreeBSD guest only; on any other host
# there is nothing for it to check.
import sys

collect_ignore = ["record.py"]
if not sys.platform.startswith("freebsd"):
    collect_ignore_glob = ["test_*.py"]
