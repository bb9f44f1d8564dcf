"""Resident memory as the benchmarks read it.

The garbage is collected and the C library hands back the free memory it
keeps (glibc's malloc_trim(0)) before the resident set is read, so that
free blocks left by earlier work (a dict's or list's old tables, freed
objects) neither hide nor add to what a container holds. Linux only
(/proc/self/statm). Imported by the scripts beside it, which run it from
their own directory (sys.path[0]).

Scripts that read it measure each container in a child process of their
own: `run_worker` starts the script again with ``--worker`` and a JSON job
and reads the JSON line it prints last; the child calls `worker_setup`
first. `print_tables` ends such a script's run; `best_of` times a call."""

import ctypes
import gc
import json
import os
import subprocess
import sys
import time

_PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    """Resident bytes of this process, once the C library gave back what it could."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: nothing to trim
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def worker_setup():
    """Blocks of 128 KiB and more (numpy arrays, big lists) always from mmap,
    so that the benchmark's own temporaries do not stay in the heap among
    the container's blocks (glibc raises this threshold by itself
    otherwise, after the first such block is freed)."""
    try:
        ctypes.CDLL("libc.so.6").mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD
    except OSError:
        pass


def run_worker(script, job):
    """Runs `script` --worker with `job` (JSON) in a child process, NumPy's
    math libraries on one thread, and returns the JSON of the last line it
    printed."""
    env = dict(os.environ)
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.setdefault(var, "1")
    out = subprocess.run(
        [sys.executable, os.path.abspath(script), "--worker", json.dumps(job)],
        capture_output=True,
        text=True,
        cwd="/",
        env=env,
    )
    if out.returncode != 0:
        raise RuntimeError(f"{job}: {out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def print_tables(lines, started, markdown=None, note=""):
    """Prints the markdown `lines` with the run's time and load average (and
    `note`), and writes them to the file `markdown` when one is named."""
    lines += ["", f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}{note})"]
    text = "\n".join(lines) + "\n"
    print(text)
    if markdown:
        with open(markdown, "w") as f:
            f.write(text)


def best_of(fn, repeats=3):
    """Best wall time in seconds of `repeats` calls of fn."""
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best
