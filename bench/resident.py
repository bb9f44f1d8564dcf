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
first. `resolved_growth` reads a container that one build does not
resolve over several. `print_tables` ends such a script's run; `best_of`
times a call;
`trim` and `raw_resident_bytes` are the two halves of `resident_bytes`;
`machine` names the processor and NumPy's build for a report's heading."""

import ctypes
import gc
import json
import os
import subprocess
import sys
import time

_PAGE = os.sysconf("SC_PAGE_SIZE")


def trim():
    """Collects the garbage and has the C library give back the free memory it keeps."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc: nothing to trim
        pass


def raw_resident_bytes():
    """Resident bytes of this process as they stand, nothing given back first."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def resident_bytes():
    """Resident bytes of this process, once the C library gave back what it could."""
    trim()
    return raw_resident_bytes()


# Below this growth a resident reading does not resolve a container: the
# reading moves by whole pages, and a few pages' worth of a container's
# blocks can land on memory that was resident before (malloc_trim returns
# only whole free pages; the interpreter keeps its own arenas). One reading
# at 586451d thus gave 1M dense keys 0.03 resident bytes a key, below their
# 0.065 of mem_used().
RESOLUTION = 1 << 20
# At most this many builds of one container are read together.
MAX_COPIES = 64


def resolved_growth(growth, build):
    """(growth, builds): the resident growth `growth` of one build of a
    container as it is where it resolves (RESOLUTION or more); else the mean
    growth over new builds (`build()` makes one, untimed) held together until
    they grow the resident set by RESOLUTION, or MAX_COPIES of them."""
    if growth >= RESOLUTION:
        return growth, 1
    before = resident_bytes()
    held = []
    while True:
        held.append(build())
        total = resident_bytes() - before
        if total >= RESOLUTION or len(held) == MAX_COPIES:
            return total / len(held), len(held)


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


def machine():
    """The processor's model name (and x86 family/model, which tell apart
    processors of one name), whether it has AVX-512, and NumPy's version
    with the best vector level it dispatches to here (NumPy heeds
    NPY_DISABLE_CPU_FEATURES, which a run can set to try a lower one)."""
    info = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                info.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    name = info.get("model name", os.uname().machine)
    if "cpu family" in info:
        name += f" (family {info['cpu family']}, model {info.get('model', '?')})"
    flags = info.get("flags", "").split()
    text = name + (", AVX-512" if "avx512f" in flags else ", no AVX-512" if flags else "")
    try:
        import numpy

        from numpy._core._multiarray_umath import __cpu_features__ as found

        levels = [lv for lv in ("X86_V2", "X86_V3", "X86_V4", "AVX512_ICL", "AVX512_SPR") if found.get(lv)]
        text += f"; numpy {numpy.__version__}" + (f" dispatching up to {levels[-1]}" if levels else "")
    except ImportError:
        pass
    return text


def print_tables(lines, started, markdown=None, note=""):
    """Prints the markdown `lines` with the run's time and load average (and
    `note`), and writes them to the file `markdown` when one is named."""
    lines += ["", f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}{note}; {machine()})"]
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
