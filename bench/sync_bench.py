#!/usr/bin/env python3
"""Benchmarks of SyncCorvaleMap shared between Python threads.

    python3 bench/sync_bench.py           # 1M keys
    python3 bench/sync_bench.py --quick   # 100k keys, for a fast check

Containers: SyncCorvaleMap; a dict guarded by one threading.Lock (every
get, `in` and insert takes the lock, the way a user shares a dict between
threads safely); CorvaleMap used from one thread only (it is bound to its
thread), as the single-thread baseline.

Rows (throughput in million operations per second, all threads together):
  - point lookups (`get`, `in`) of present keys from 1, 2, 4 and 8 threads,
    without and with one writer thread that overwrites existing keys
    non-stop while the readers run;
  - inserts of fresh keys from 1, 2, 4 and 8 threads (each its own slice);
  - the speed of a pure-Python thread (a counting loop) running beside four
    lookup threads, relative to the same loop running alone: the point of
    lookups that release the interpreter lock.

Keys are uniform random 64-bit integers; every thread walks its own slice
of a shuffled list of present keys. Each figure is the best of three runs.
"""

from __future__ import annotations

import argparse
import random
import threading
import time

from corvale_trie._corvale import CorvaleMap, SyncCorvaleMap


class LockedDict:
    """A dict behind one lock: the shared-dict baseline."""

    def __init__(self):
        self._d = {}
        self._lock = threading.Lock()

    def get(self, k):
        with self._lock:
            return self._d.get(k)

    def __contains__(self, k):
        with self._lock:
            return k in self._d

    def insert(self, k, v):
        with self._lock:
            self._d[k] = v


def fill(kind, keys):
    if kind == "SyncCorvaleMap":
        m = SyncCorvaleMap()
        m.insert_many(keys, keys)
    elif kind == "dict+Lock":
        m = LockedDict()
        m._d = dict(zip(keys, keys))
    else:
        m = CorvaleMap(dict(zip(keys, keys)))
    return m


def run_threads(bodies):
    """Runs the bodies on threads started together; returns the wall time."""
    start = threading.Barrier(len(bodies) + 1)
    threads = [threading.Thread(target=lambda b=b: (start.wait(), b())) for b in bodies]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    return time.perf_counter() - t0


def best(fn, repeats=3):
    return min(fn() for _ in range(repeats))


def lookup_body(m, op, probes):
    if op == "get":
        get = m.get

        def body():
            for k in probes:
                get(k)
    else:

        def body():
            for k in probes:
                k in m  # noqa: B015
    return body


def lookups(m, op, keys, threads, with_writer):
    """Mops/s of `threads` lookup threads, optionally beside one writer."""
    n = len(keys)
    slices = [keys[i::threads] for i in range(threads)]

    def once():
        stop = threading.Event()
        writer = None
        if with_writer:
            insert = m.insert

            def write():
                i = 0
                while not stop.is_set():
                    k = keys[i % n]
                    insert(k, k)
                    i += 1

            writer = threading.Thread(target=write)
            writer.start()
        try:
            return run_threads([lookup_body(m, op, s) for s in slices])
        finally:
            stop.set()
            if writer:
                writer.join()

    return n / best(once) / 1e6


def single_thread(m, op, keys):
    """Mops/s of lookups on the calling thread (a thread-bound CorvaleMap)."""
    body = lookup_body(m, op, keys)

    def once():
        t0 = time.perf_counter()
        body()
        return time.perf_counter() - t0

    return len(keys) / best(once) / 1e6


def inserts(kind, keys, threads):
    slices = [keys[i::threads] for i in range(threads)]

    def once():
        m = fill(kind, [])
        insert = m.insert

        def body(s):
            return lambda: [insert(k, k) for k in s]

        return run_threads([body(s) for s in slices])

    return len(keys) / best(once) / 1e6


def python_thread_speed(m, keys, seconds):
    """Counting-loop speed beside four lookup threads / alone: the median of
    three alternating pairs of runs (alone, then beside)."""

    def count_for(deadline):
        n = 0
        while time.perf_counter() < deadline:
            n += 1
        return n

    def beside():
        stop = threading.Event()
        get = m.get

        def reader(s):
            while not stop.is_set():
                for k in s:
                    get(k)
                    if stop.is_set():
                        break

        readers = [threading.Thread(target=reader, args=(keys[i::4],)) for i in range(4)]
        for t in readers:
            t.start()
        try:
            return count_for(time.perf_counter() + seconds)
        finally:
            stop.set()
            for t in readers:
                t.join()

    ratios = sorted(beside() / count_for(time.perf_counter() + seconds) for _ in range(3))
    return ratios[1]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    n = 100_000 if args.quick else 1_000_000
    rng = random.Random(20261206)
    keys = list({rng.getrandbits(64) for _ in range(n)})
    rng.shuffle(keys)
    fresh = [rng.getrandbits(64) for _ in range(n)]
    thread_counts = [1, 2, 4, 8]

    print(f"# SyncCorvaleMap, {len(keys):,} uniform keys; Mops/s (all threads together), best of 3\n")
    maps = {kind: fill(kind, keys) for kind in ("SyncCorvaleMap", "dict+Lock", "CorvaleMap")}
    for op in ("get", "in"):
        for with_writer in (False, True):
            title = f"point lookups `{op}`" + (" beside one writer thread" if with_writer else "")
            print(f"## {title}\n")
            print("| threads | SyncCorvaleMap | dict+Lock | CorvaleMap (1 thread) |")
            print("|---:|---:|---:|---:|")
            base = None if with_writer else single_thread(maps["CorvaleMap"], op, keys)
            for t in thread_counts:
                ours = lookups(maps["SyncCorvaleMap"], op, keys, t, with_writer)
                peer = lookups(maps["dict+Lock"], op, keys, t, with_writer)
                col = f"{base:.2f}" if base is not None and t == 1 else ""
                print(f"| {t} | {ours:.2f} | {peer:.2f} | {col} |")
            print()

    print("## inserts of fresh keys\n")
    print("| threads | SyncCorvaleMap | dict+Lock |")
    print("|---:|---:|---:|")
    for t in thread_counts:
        print(f"| {t} | {inserts('SyncCorvaleMap', fresh, t):.2f} | {inserts('dict+Lock', fresh, t):.2f} |")
    print()

    print("## a pure-Python thread beside four lookup threads (speed relative to running alone)\n")
    print("| lookup threads use | relative speed |")
    print("|---|---:|")
    for kind in ("SyncCorvaleMap", "dict+Lock"):
        print(f"| {kind} `get` | {python_thread_speed(maps[kind], keys, 1.0):.2f} |")
    print()


if __name__ == "__main__":
    main()
