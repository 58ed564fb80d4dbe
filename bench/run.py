"""Run every benchmark script of this directory, one after another."""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main():
    status = 0
    for script in sorted(HERE.glob("*.py")):
        if script.name == pathlib.Path(__file__).name:
            continue
        print(f"== {script.name}", flush=True)
        status |= subprocess.run([sys.executable, str(script)]).returncode
        print(flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
