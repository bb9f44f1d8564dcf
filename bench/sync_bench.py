#!/usr/bin/env python3
"""Benchmarks of SyncCorvaleMap shared between Python threads.

    python3 bench/sync_bench.py           # 1M keys
    python3 bench/sync_bench.py --quick   # 100k keys, for a fast check
    python3 bench/sync_bench.py --ratios  # only the one-thread cost table
    python3 bench/sync_bench.py --lookups # only the lookups without a writer

Containers: SyncCorvaleMap; a dict guarded by one threading.Lock (every
get, `in` and insert takes the lock, the way a user shares a dict between
threads safely); CorvaleMap used from one thread only (it is bound to its
thread), as the single-thread baseline.

Rows (throughput in million operations per second, all threads together):
  - point lookups (`get`, `in`) of present keys from 1, 2, 4 and 8 threads,
    without and with one writer thread that overwrites existing keys
    non-stop while the readers run (with the writer's own rate, over its
    run from just before the readers start until they are done);
  - inserts of fresh keys from 1, 2, 4 and 8 threads (each its own slice);
  - the speed of a pure-Python thread (a counting loop) running beside four
    lookup threads, relative to the same loop running alone: the point of
    lookups that release the interpreter lock;
  - the cost of one lookup on one thread, in ns per call, of
    SyncCorvaleMap.get against CorvaleMap.get and of SyncCorvaleSet `in`
    against CorvaleSet `in`, on the same keys and on a 1-key container (the
    cost of the call itself), and of `is_empty` (which reads only the count:
    the concurrent class's difference is the release and retaking of the
    interpreter lock and the claim), with the ratio sync / thread-bound.
    Measured in thread CPU time (so that other processes on the machine
    count less), the best of several interleaved passes over slices of the
    keys.

Keys are uniform random 64-bit integers; every thread walks its own slice
of a shuffled list of present keys. Each figure is the best of three runs.
"""

from __future__ import annotations

import argparse
import os
import random
import threading
import time

from resident import machine

from corvale_trie._corvale import CorvaleMap, CorvaleSet, SyncCorvaleMap, SyncCorvaleSet


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
    """(readers' Mops/s, writer's Mops/s or None) of `threads` lookup
    threads, optionally beside one writer that runs from just before the
    readers start until they are done; both from the run in which the
    readers were fastest."""
    n = len(keys)
    slices = [keys[i::threads] for i in range(threads)]

    def once():
        stop = threading.Event()
        rate = [None]  # the writer's writes per second over its whole run
        writer = None
        if with_writer:
            insert = m.insert

            def write():
                i = 0
                t0 = time.perf_counter()
                while not stop.is_set():
                    k = keys[i % n]
                    insert(k, k)
                    i += 1
                rate[0] = i / (time.perf_counter() - t0)

            writer = threading.Thread(target=write)
            writer.start()
        try:
            seconds = run_threads([lookup_body(m, op, s) for s in slices])
        finally:
            stop.set()
            if writer:
                writer.join()
        return seconds, rate[0]

    seconds, writes_per_second = min((once() for _ in range(3)), key=lambda run: run[0])
    return n / seconds / 1e6, (writes_per_second / 1e6 if with_writer else None)


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


def per_call_ns(pairs, keys, passes=7, slice_len=20_000):
    """ns per call of each (label, body) pair of lookups, best of `passes`
    over every slice of `keys`, the bodies interleaved slice by slice so
    that a busy spell of the machine hits them alike."""
    slices = [keys[i:i + slice_len] for i in range(0, len(keys), slice_len)]
    best_ns = {label: [float("inf")] * len(slices) for label, _ in pairs}
    for _ in range(passes):
        for i, sl in enumerate(slices):
            for label, body in pairs:
                t0 = time.thread_time_ns()
                body(sl)
                best_ns[label][i] = min(best_ns[label][i], time.thread_time_ns() - t0)
    return {label: sum(v) / len(keys) for label, v in best_ns.items()}


def one_thread_costs(keys):
    """Rows (what, plain ns, sync ns, ratio) of one thread's lookups."""

    def gets(m):
        get = m.get

        def body(sl):
            for k in sl:
                get(k)
        return body

    def ins(c):
        def body(sl):
            for k in sl:
                k in c  # noqa: B015
        return body

    def is_empty(c):
        call = c.is_empty

        def body(sl):
            for _ in sl:
                call()
        return body

    rows = []
    for size, ks in ((f"{len(keys):,} keys", keys), ("1 key", None)):
        if ks is None:
            ks = [keys[0]] * min(len(keys), 200_000)
            contents = [keys[0]]
        else:
            contents = keys
        plain_map = CorvaleMap(dict(zip(contents, contents)))
        sync_map = SyncCorvaleMap()
        sync_map.insert_many(contents, contents)
        plain_set = CorvaleSet(contents)
        sync_set = SyncCorvaleSet()
        sync_set.insert_many(contents)
        bodies = [("map", gets(plain_map)), ("sync map", gets(sync_map)),
                  ("set", ins(plain_set)), ("sync set", ins(sync_set))]
        if ks is not keys:  # the call alone, with no walk and no key
            bodies += [("set is_empty", is_empty(plain_set)), ("sync set is_empty", is_empty(sync_set))]
        ns = per_call_ns(bodies, ks)
        rows.append((f"`get`, {size}", ns["map"], ns["sync map"]))
        rows.append((f"`in`, {size}", ns["set"], ns["sync set"]))
        if "set is_empty" in ns:
            rows.append(("`is_empty` (set)", ns["set is_empty"], ns["sync set is_empty"]))
    return [(what, a, b, b / a) for what, a, b in rows]


def print_one_thread_costs(keys):
    print("## one thread: cost of a lookup, concurrent class against thread-bound class\n")
    print("| lookup | CorvaleMap / CorvaleSet ns | SyncCorvaleMap / SyncCorvaleSet ns | ratio |")
    print("|---|---:|---:|---:|")
    for what, a, b, r in one_thread_costs(keys):
        print(f"| {what} | {a:.0f} | {b:.0f} | {r:.2f} |")
    print()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--ratios", action="store_true", help="only the one-thread cost table")
    ap.add_argument("--lookups", action="store_true", help="only the point lookups without a writer")
    args = ap.parse_args()
    n = 100_000 if args.quick else 1_000_000
    rng = random.Random(20261206)
    keys = list({rng.getrandbits(64) for _ in range(n)})
    rng.shuffle(keys)
    fresh = [rng.getrandbits(64) for _ in range(n)]
    thread_counts = [1, 2, 4, 8]
    if args.ratios:
        print_one_thread_costs(keys)
        return

    print(f"# SyncCorvaleMap, {len(keys):,} uniform keys; Mops/s (all threads together), best of 3\n")
    maps = {kind: fill(kind, keys) for kind in ("SyncCorvaleMap", "dict+Lock", "CorvaleMap")}
    for op in ("get", "in"):
        for with_writer in (False,) if args.lookups else (False, True):
            title = f"point lookups `{op}`" + (" beside one writer thread" if with_writer else "")
            print(f"## {title}\n")
            if with_writer:
                print("| threads | SyncCorvaleMap readers | its writer | dict+Lock readers | its writer |")
                print("|---:|---:|---:|---:|---:|")
            else:
                print("| threads | SyncCorvaleMap | dict+Lock | CorvaleMap (1 thread) |")
                print("|---:|---:|---:|---:|")
                base = single_thread(maps["CorvaleMap"], op, keys)
            for t in thread_counts:
                ours, our_writer = lookups(maps["SyncCorvaleMap"], op, keys, t, with_writer)
                peer, peer_writer = lookups(maps["dict+Lock"], op, keys, t, with_writer)
                if with_writer:
                    print(f"| {t} | {ours:.2f} | {our_writer:.2f} | {peer:.2f} | {peer_writer:.2f} |")
                else:
                    col = f"{base:.2f}" if t == 1 else ""
                    print(f"| {t} | {ours:.2f} | {peer:.2f} | {col} |")
            print()

    if args.lookups:
        print_machine()
        return
    print("## inserts of fresh keys\n")
    print("| threads | SyncCorvaleMap | dict+Lock |")
    print("|---:|---:|---:|")
    for t in thread_counts:
        print(f"| {t} | {inserts('SyncCorvaleMap', fresh, t):.2f} | {inserts('dict+Lock', fresh, t):.2f} |")
    print()

    print_one_thread_costs(keys)

    print("## a pure-Python thread beside four lookup threads (speed relative to running alone)\n")
    print("| lookup threads use | relative speed |")
    print("|---|---:|")
    for kind in ("SyncCorvaleMap", "dict+Lock"):
        print(f"| {kind} `get` | {python_thread_speed(maps[kind], keys, 1.0):.2f} |")
    print()
    print_machine()


def print_machine():
    # The thread rows turn on how soon the system runs a thread that the
    # interpreter lock was handed to: on the cores the process may use and
    # on what else runs there.
    print(f"({machine()}; {len(os.sched_getaffinity(0))} of {os.cpu_count()} CPUs usable;"
          f" load average at the end {os.getloadavg()[0]:.1f})")


if __name__ == "__main__":
    main()
