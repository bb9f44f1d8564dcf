#!/usr/bin/env python3
"""Lookups of a SyncCorvaleSet while another thread clears it.

    python3 bench/sync_clear.py                   # 4M keys; 1 and 4 lookup threads; 3 runs
    python3 bench/sync_clear.py --n 1000000 --threads 2 --runs 5

A SyncCorvaleSet of n uniform random 64-bit keys is built by insert_many;
then the lookup threads look up present keys (``k in s``) one after the
other, while the main thread calls ``s.clear()``. Every lookup is timed in
wall time (perf_counter_ns) and in the thread's CPU time (thread_time_ns).
A lookup that starts while a write is under way waits for it to end,
spinning, so the longest lookup of each thread shows how long, and how
much CPU, such a wait takes. Printed per run: the clear's wall time and,
for each lookup thread, its longest lookup's wall and CPU time in ms. Each
run is a fresh child process.

    python3 bench/sync_clear.py --memory          # which call after a clear() gives memory back

--memory: a SyncCorvaleMap or SyncCorvaleSet of 2M keys is cleared while two
threads look keys up; once they stopped, one call is made (a removal of an
absent key, an insertion, ...), and the process's resident growth is read
after ``malloc_trim(0)`` before and after that call, in MB. A container
whose clear() met a lookup hands its nodes to the C library only at its
first write after the lookups left: the reading shows which calls are
writes. Each (class, call) runs --runs times, each in a fresh process.
"""

import argparse
import contextlib
import json
import os
import random
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident import machine, resident_bytes  # noqa: E402


def worker(n, nthreads):
    from corvale_trie import SyncCorvaleSet

    rng = random.Random(20260 + n)
    packed = rng.randbytes(8 * n)
    probe = [int.from_bytes(packed[8 * i:8 * i + 8], sys.byteorder) for i in range(0, n, max(1, n // 1000))]
    s = SyncCorvaleSet()
    s.insert_many(packed)
    del packed
    stop = threading.Event()
    started = threading.Barrier(nthreads + 1)
    longest = [(0, 0)] * nthreads

    def look(slot):
        best = (0, 0)
        started.wait()
        i = 0
        while not stop.is_set():
            k = probe[i % len(probe)]
            i += 1
            w0, c0 = time.perf_counter_ns(), time.thread_time_ns()
            _ = k in s
            w, c = time.perf_counter_ns() - w0, time.thread_time_ns() - c0
            if w > best[0]:
                best = (w, c)
        longest[slot] = best

    threads = [threading.Thread(target=look, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    started.wait()
    time.sleep(0.05)
    t0 = time.perf_counter_ns()
    s.clear()
    clear_ns = time.perf_counter_ns() - t0
    time.sleep(0.05)
    stop.set()
    for t in threads:
        t.join()
    print(json.dumps({"n": n, "threads": nthreads, "clear_ms": clear_ns / 1e6,
                      "longest_lookup_ms": [round(w / 1e6, 1) for w, _ in longest],
                      "its_cpu_ms": [round(c / 1e6, 1) for _, c in longest]}))


@contextlib.contextmanager
def looking_up(c, threads=2):
    """Threads that look keys up in `c`, one after another, until the block ends."""
    stop = threading.Event()

    def look():
        k = 0
        while not stop.is_set():
            k += 1
            _ = k in c

    running = [threading.Thread(target=look) for _ in range(threads)]
    for t in running:
        t.start()
    try:
        yield
    finally:
        stop.set()
        for t in running:
            t.join()


CALLS = {"map": ["remove", "pop-default", "del", "setitem"], "set": ["remove", "discard", "add"]}


def memory_worker(kind, call):
    import corvale_trie as ct

    def mb():
        return resident_bytes() / 1e6

    n = 2_000_000
    packed = random.Random(20260 + n).randbytes(8 * n)
    c = ct.SyncCorvaleMap() if kind == "map" else ct.SyncCorvaleSet()
    base = mb()
    c.insert_many(packed, packed) if kind == "map" else c.insert_many(packed)
    built = mb() - base
    with looking_up(c):
        time.sleep(0.1)
        c.clear()
    before = mb() - base
    absent = 12345  # not among the keys, which are uniform random 64-bit numbers
    try:
        {"remove": lambda: c.remove(absent), "pop-default": lambda: c.pop(absent, 0),
         "discard": lambda: c.discard(absent), "setitem": lambda: c.__setitem__(1, 1),
         "add": lambda: c.add(1), "del": lambda: c.__delitem__(absent)}[call]()
    except KeyError:
        pass
    print(json.dumps({"class": type(c).__name__, "call": call, "built": round(built, 1),
                      "cleared, readers gone": round(before, 1), "after the call": round(mb() - base, 1)}))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=4_000_000)
    ap.add_argument("--threads", default="1,4")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--memory", action="store_true")
    ap.add_argument("--worker", nargs=2, type=int, help=argparse.SUPPRESS)
    ap.add_argument("--memory-worker", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(*args.worker)
    if args.memory_worker:
        return memory_worker(*args.memory_worker)
    started = time.time()
    for run in range(1, args.runs + 1):
        if args.memory:
            for kind, calls in CALLS.items():
                for call in calls:
                    p = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-worker", kind, call],
                                       capture_output=True, text=True, cwd="/")
                    if p.returncode:
                        raise RuntimeError(p.stderr)
                    print(f"run {run}: {p.stdout.strip()}", flush=True)
            continue
        for k in args.threads.split(","):
            p = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", str(args.n), k],
                               capture_output=True, text=True, cwd="/")
            if p.returncode:
                raise RuntimeError(p.stderr)
            print(f"run {run}: {p.stdout.strip()}", flush=True)

    print(f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}, "
          f"CPUs {sorted(os.sched_getaffinity(0))}; {machine()})")


if __name__ == "__main__":
    main()
