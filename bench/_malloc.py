"""The allocator settings every benchmark runs under.

glibc hands freed memory back to the kernel: blocks above 32 MB are unmapped
on free, and the top of a heap is trimmed once 128 KB lie free there. Either
costs page faults on the next allocation and, with several threads, TLB
shootdowns (madvise, munmap) that stop every core the process runs on.
FreeBSD's allocator keeps freed memory for reuse, so the benchmarks tell
glibc to do the same (MALLOC_MMAP_MAX_=0, MALLOC_TRIM_THRESHOLD_ beyond
reach); otherwise they would measure glibc's trimming rather than the module.
"""

import os
import sys

KEEP_MEMORY = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}


def keep_memory(system_malloc=False):
    """Re-run this script with KEEP_MEMORY in the environment unless it is
    there already (glibc reads it at start-up only) or system_malloc says to
    leave glibc as it is. Returns a description of the setting in force."""
    if system_malloc:
        return "glibc as it is"
    if any(os.environ.get(k) != v for k, v in KEEP_MEMORY.items()):
        sys.stdout.flush()
        os.execve(sys.executable, [sys.executable, *sys.argv], {**os.environ, **KEEP_MEMORY})
    return "glibc keeping freed memory"
