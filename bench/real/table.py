"""The real-kernel benchmark's table, from the JSON the guest wrote.

    python table.py BENCH.json

Goals: the module at most 1.5 times the floor, the tool at least 20 times
the module, two threads at least 1.8 times one (functions without a lock by
design: proc_environ and swap_mem take kvm_lock, users utxent_lock). A
figure that misses its goal is marked with '*'."""

import json
import sys

LOCKED = {"proc_environ": "kvm_lock", "swap_mem": "kvm_lock", "users": "utxent_lock"}


def us(seconds):
    return f"{seconds * 1e6:,.0f}" if seconds >= 1e-4 else f"{seconds * 1e6:.1f}"


def main(path, host_load=None):
    data = json.load(open(path))
    data["host_load"] = host_load
    print(f"FreeBSD {data['release']} amd64 (QEMU, TCG, {data['ncpu']} vCPUs), "
          f"Python {data['python']}{'' if data['gil'] else ' free-threaded'}, {data['date']}; "
          f"{data['sockets']} TCP sockets open")
    call = data.get("call_s")
    if call:
        print(f"A call of the module from Python (getpagesize) takes {us(call)} µs here; "
              "\"less call\" is module/floor with that taken off the module's time.")
    if "control_threads" in data:
        print(f"Two threads running a loop of pure Python (no module) do {data['control_threads']:.2f} "
              f"times what one does here ({data['control_threads_cpu']:.2f} per CPU second): "
              "the most two threads can give in this guest.")
    if data.get("host_load"):
        print(f"Load average of the host running QEMU: {data['host_load']}.")
    print()
    print("| function | module µs | floor µs | module/floor (less call) | tool | tool/module | 2 threads/1 (cpu) |")
    print("|---|---:|---:|---:|---|---:|---:|")
    missed = 0
    for r in data["rows"]:
        mod = r["module_s"]
        if "floor_s" in r:
            ratio = mod / r["floor_s"]
            floor = f"{us(r['floor_s'])} | {ratio:.2f}{'*' if ratio > 1.5 else ''}"
            if call:
                floor += f" ({max(mod - call * r.get('calls', 1), 0) / r['floor_s']:.2f})"
            missed += ratio > 1.5
        else:
            floor = f"— | — ({r.get('floor_error', '')[:40]})"
        if "tool_s" in r:
            ratio = r["tool_s"] / mod
            tool = f"`{r['tool']}` | {ratio:,.0f}{'*' if ratio < 20 else ''}"
            missed += ratio < 20
        else:
            tool = f"`{r['tool']}` failed | —"
        lock = LOCKED.get(r["name"])
        short = r["threads"] < 1.8 and not lock
        missed += short
        threads = f"{r['threads']:.2f}{'*' if short else ''} ({r['threads_cpu']:.2f})"
        if lock:
            threads += f" [{lock}]"
        print(f"| {r['name']} | {us(mod)} | {floor} | {tool} | {threads} |")
    print()
    print(f"{missed} figure(s) miss their goal (*): module/floor <= 1.5, tool/module >= 20, "
          "2 threads/1 >= 1.8 without a lock by design")
    for r in data["rows"]:
        if "tool_error" in r:
            print(f"  {r['name']}: {r['tool']}: {r['tool_error'][:200]}")


if __name__ == "__main__":
    main(sys.argv[1], " ".join(sys.argv[2:]) or None)
