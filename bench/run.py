"""Run every benchmark script of this directory, one after another (files
starting with _ are their helpers), each with glibc keeping freed memory as
FreeBSD's allocator does (_malloc.py)."""

import os
import pathlib
import subprocess
import sys

from _malloc import KEEP_MEMORY

HERE = pathlib.Path(__file__).resolve().parent


def main():
    status = 0
    for script in sorted(HERE.glob("*.py")):
        if script.name == pathlib.Path(__file__).name or script.name.startswith("_"):
            continue
        print(f"== {script.name}", flush=True)
        status |= subprocess.run([sys.executable, str(script)],
                                 env={**os.environ, **KEEP_MEMORY}).returncode
        print(flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
