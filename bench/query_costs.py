#!/usr/bin/env python3
"""What the counting and range calls cost by container size and span, and
the ways from a container to a NumPy array.

    python3 bench/query_costs.py                  # counts at 1M and 10M keys; NumPy at 10M
    python3 bench/query_costs.py --sizes 100000 --numpy-n 1000000

Counts: a CorvaleSet and a CorvaleMap of n uniform random 64-bit keys (built
by insert_many), each in a fresh child process. Times in microseconds per
call, best of 5 repeats of a loop of calls on keys spread over the
container: ``len``; ``count_below`` and ``by_count``; ``count_range`` over
10 keys, 1% of the keys and all of them; ``range`` returning 10, 1,000 and
100,000 keys (also shown per key returned).

NumPy: the fastest ways we know from a container of 10M keys to a
``uint64`` array (and from a map to its key and value arrays), best of 3,
in seconds, beside the same from a ``set`` and from pyroaring's
``BitMap64`` (its ``to_array``), each in a fresh child process.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident import machine  # noqa: E402


def best(fn, calls=1, repeat=5):
    b = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(calls):
            fn()
        b = min(b, (time.perf_counter() - t) / calls)
    return b


def counts(kind, n):
    from corvale_trie import CorvaleMap, CorvaleSet

    rng = random.Random(20260 + n)
    packed = rng.randbytes(8 * n)
    c = CorvaleSet() if kind == "set" else CorvaleMap()
    c.insert_many(packed) if kind == "set" else c.insert_many(packed, packed)
    del packed
    keys = sorted(c.by_count(rng.randrange(n)) for _ in range(200))
    if kind == "map":
        keys = [k for k, _ in keys]
    at = lambda i: c.by_count(i) if kind == "set" else c.by_count(i)[0]  # noqa: E731
    out = {"kind": kind, "n": n}
    us = lambda fn, calls: round(best(fn, calls) * 1e6, 3)  # noqa: E731
    out["len"] = us(lambda: len(c), 10000)
    out["count_below"] = us(lambda: [c.count_below(k) for k in keys], 50) / len(keys)
    out["by_count"] = us(lambda: [c.by_count(i) for i in range(0, n, n // 200)], 50) / 200
    for span in (10, n // 100, n):
        lo, hi = at((n - span) // 2), at((n - span) // 2 + span - 1)
        assert c.count_range(lo, hi) == span
        out[f"count_range {span}"] = us(lambda: c.count_range(lo, hi), 2000)
    for span in (10, 1000, 100_000):
        lo, hi = at(n // 3), at(n // 3 + span - 1)
        assert len(c.range(lo, hi)) == span
        out[f"range {span}"] = us(lambda: c.range(lo, hi), max(1, 100_000 // span))
    print(json.dumps({k: round(v, 3) if isinstance(v, float) else v for k, v in out.items()}))


def to_numpy(kind, n):
    import numpy as np

    rng = random.Random(20260 + n)
    packed = rng.randbytes(8 * n)
    a = np.frombuffer(packed, dtype=np.uint64)
    rows = {}
    if kind == "set":
        from corvale_trie import CorvaleSet

        s = CorvaleSet()
        s.insert_many(packed)
        rows["np.fromiter(s, np.uint64, count=len(s))"] = lambda: np.fromiter(s, np.uint64, count=len(s))
        rows["np.fromiter(s, np.uint64)"] = lambda: np.fromiter(s, np.uint64)
        rows["np.array(s.to_list(), dtype=np.uint64)"] = lambda: np.array(s.to_list(), dtype=np.uint64)
        rows["np.fromiter(s.range(), np.uint64, count=len(s))"] = lambda: np.fromiter(s.range(), np.uint64, count=len(s))
    elif kind == "map":
        from corvale_trie import CorvaleMap

        m = CorvaleMap()
        m.insert_many(packed, packed)
        rows["np.array(m.keys(), dtype=np.uint64), the same of m.values()"] = lambda: (
            np.array(m.keys(), dtype=np.uint64), np.array(m.values(), dtype=np.uint64))
        rows["np.fromiter(m, np.uint64, count=len(m)) and np.array(m.values(), ...)"] = lambda: (
            np.fromiter(m, np.uint64, count=len(m)), np.array(m.values(), dtype=np.uint64))
        rows["np.array(m.items(), dtype=np.uint64): one (n, 2) array"] = lambda: np.array(m.items(), dtype=np.uint64)
    elif kind == "set-peer":
        py = set(a.tolist())
        rows["set: np.fromiter(py_set, np.uint64, count=len(py_set)) (unsorted)"] = lambda: np.fromiter(py, np.uint64, count=len(py))
        rows["set: np.sort of that"] = lambda: np.sort(np.fromiter(py, np.uint64, count=len(py)))
    elif kind == "bitmap64":
        from pyroaring import BitMap64

        bm = BitMap64(a)
        rows["BitMap64: np.frombuffer(bm.to_array(), np.uint64)"] = lambda: np.frombuffer(bm.to_array(), np.uint64)
    out = {name: round(best(fn, 1, 3), 3) for name, fn in rows.items()}
    print(json.dumps({"kind": kind, "n": n, "seconds": out}))


def child(mode, kind, n):
    p = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", mode, kind, str(n)],
                       capture_output=True, text=True, cwd="/")
    if p.returncode:
        raise RuntimeError(p.stderr)
    return p.stdout.strip().splitlines()[-1]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1000000,10000000")
    ap.add_argument("--numpy-n", type=int, default=10_000_000)
    ap.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        mode, kind, n = args.worker
        return (counts if mode == "counts" else to_numpy)(kind, int(n))
    started = time.time()
    for n in map(int, args.sizes.split(",")):
        for kind in ("set", "map"):
            print(child("counts", kind, n), flush=True)
    for kind in ("set", "map", "set-peer", "bitmap64"):
        print(child("numpy", kind, args.numpy_n), flush=True)
    print(f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}, "
          f"CPUs {sorted(os.sched_getaffinity(0))}; {machine()})")


if __name__ == "__main__":
    main()
