"""A short report of the machine, made through _morvex_bsd's own functions.

Off FreeBSD the module runs on its stand-in platform, so this describes the
stand-in's built-in default machine.
"""

import sys

import _morvex_bsd as m


def section(title):
    print()
    print(title)
    print("-" * len(title))


def line(label, value):
    print(f"  {label:<22} {value}")


def attempt(fn, *args):
    """Call a module function; report its exception instead of stopping."""
    try:
        return fn(*args)
    except (OSError, RuntimeError, NotImplementedError) as e:
        return f"({type(e).__name__}: {e})"


def has(*names):
    return all(hasattr(m, n) for n in names)


def frame():
    section("Module")
    line("version", m.version)
    line("GIL enabled", sys._is_gil_enabled())
    line("page size", f"{m.getpagesize()} bytes")
    line("AF_LINK", m.AF_LINK)
    line("RLIM_INFINITY", m.RLIM_INFINITY)
    line("no-TCP-state status", m.MORVEX_CONN_NONE)


def process_files():
    if not has("proc_cmdline", "proc_exe", "proc_cwd", "proc_environ", "proc_num_fds",
               "proc_open_files"):
        return
    pid = 1310
    section(f"Process {pid}: command line and files")
    line("command line", attempt(lambda: " ".join(m.proc_cmdline(pid))))
    line("executable", attempt(m.proc_exe, pid))
    line("working directory", attempt(m.proc_cwd, pid))
    env = attempt(m.proc_environ, pid)
    if isinstance(env, dict):
        env = ", ".join(f"{k}={env[k]}" for k in ("USER", "SHELL", "VIRTUAL_ENV") if k in env)
    line("environment", env)
    line("descriptors", attempt(m.proc_num_fds, pid))
    files = attempt(m.proc_open_files, pid)
    if isinstance(files, list):
        for path, fd in files:
            line(f"  fd {fd}", path)
    else:
        line("open files", files)


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = []
PARTS.append(process_files)

if __name__ == "__main__":
    main()
