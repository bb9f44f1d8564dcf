#!/usr/bin/env python3
"""insert_many of uniform 64-bit keys, unordered and ascending, against the
builds a Python user would make instead.

Rows (each in a fresh child process, ``--worker``, so that the memory of one
does not count in the next):

- CorvaleSet: ``insert_many(memoryview(a))`` of a uniform ``uint64`` array
  ``a`` as drawn (unordered: the keys are put in ascending order through a
  sorted copy) and of the same keys sorted beforehand (ascending: inserted
  as they lie, no copy), and ``insert_many(a)`` of the ndarray itself, which
  is not a packed source and is iterated as integers;
- ``set(lst)`` of ``lst = a.tolist()`` made beforehand (up to 10M keys);
- NumPy: ``np.sort(a)`` and one comparison pass that drops repeats, and
  ``np.sort(a)`` alone;
- CorvaleMap: ``insert_many(memoryview(keys), memoryview(values))``,
  unordered and ascending, against ``dict(zip(ks, vs))`` of lists made
  beforehand.

Times are the best of ``--repeat`` builds (one at 100M keys), nanoseconds
per key; ratios are ours over the peer's, from the same run. Memory is the
growth of the resident set over the build, steady (after it) and peak
(during it: the sorted copy and its scratch array count there), in bytes per
key, from the first build of each row.

    python3 bench/bulk_order.py                       # 1M, 10M, 100M (set), 10M (map)
    python3 bench/bulk_order.py --sizes 1000000 --map-sizes 1000000
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time

from resident import machine, run_worker
from run import Meter  # bench/run.py: resident growth, steady and peak

SALT = 0x5DEECE66D
# set(list) and dict(zip) of more keys than this do not fit the machine.
PY_CONTAINER_MAX = 10_000_000
# The ndarray iterated as integers takes minutes beyond this.
ITERATED_MAX = 10_000_000


def uniform(np, n, seed=42):
    """n uniform 64-bit keys, made with no temporary array freed on the way
    (a freed block of up to 32 MiB would raise glibc's mmap threshold and
    move later blocks of that size into the heap)."""
    return np.random.default_rng(seed).bit_generator.random_raw(n)


def sort_dedupe(np, a):
    s = np.sort(a)
    keep = np.empty(len(s), dtype=bool)
    if len(s):
        keep[0] = True
        np.not_equal(s[1:], s[:-1], out=keep[1:])
    return s[keep]


def build(np, family, row, n):
    """The inputs (made outside the timing) and the build of one row."""
    from corvale_trie._corvale import CorvaleMap, CorvaleSet

    a = uniform(np, n)
    if row == "ascending":
        a.sort()
    if family == "set":
        if row in ("unordered", "ascending"):
            view = memoryview(a)
            return lambda: _filled(CorvaleSet(), lambda s: s.insert_many(view))
        if row == "ndarray":
            return lambda: _filled(CorvaleSet(), lambda s: s.insert_many(a))
        if row == "set(list)":
            lst = a.tolist()
            return lambda: set(lst)
        if row == "numpy":
            return lambda: sort_dedupe(np, a)
        if row == "np.sort":
            return lambda: np.sort(a)
    else:
        v = a ^ np.uint64(SALT)
        if row in ("unordered", "ascending"):
            kv, vv = memoryview(a), memoryview(v)
            return lambda: _filled(CorvaleMap(), lambda m: m.insert_many(kv, vv))
        if row == "dict(zip)":
            ks, vs = a.tolist(), v.tolist()
            return lambda: dict(zip(ks, vs))
    raise ValueError(row)


def _filled(c, fill):
    fill(c)
    return c


def worker(job):
    import numpy as np

    family, row, n, repeat = job["family"], job["row"], job["n"], job["repeat"]
    make = build(np, family, row, n)
    out = {"ns": None}
    for i in range(repeat):
        gc.collect()
        with Meter() as meter:
            t0 = time.perf_counter_ns()
            c = make()
            dt = (time.perf_counter_ns() - t0) / n
        if i == 0:
            out.update(meter.figures(n))
            if hasattr(c, "mem_used"):
                out["mem_used_bpk"] = c.mem_used() / n
        out["ns"] = dt if out["ns"] is None else min(out["ns"], dt)
        del c
    return out


def rows_of(family, n):
    if family == "set":
        rows = ["unordered", "ascending"]
        if n <= ITERATED_MAX:
            rows.append("ndarray")
        if n <= PY_CONTAINER_MAX:
            rows.append("set(list)")
        return rows + ["numpy", "np.sort"]
    return ["unordered", "ascending"] + (["dict(zip)"] if n <= PY_CONTAINER_MAX else [])


LABELS = {
    ("set", "unordered"): "`CorvaleSet.insert_many(memoryview(a))`, unordered",
    ("set", "ascending"): "... the same keys, ascending",
    ("set", "ndarray"): "`CorvaleSet.insert_many(a)`, the ndarray iterated as integers",
    ("set", "set(list)"): "`set(lst)`, the list made beforehand",
    ("set", "numpy"): "`np.sort(a)` and dedupe",
    ("set", "np.sort"): "`np.sort(a)` alone",
    ("map", "unordered"): "`CorvaleMap.insert_many(memoryview(k), memoryview(v))`, unordered",
    ("map", "ascending"): "... the same pairs, ascending",
    ("map", "dict(zip)"): "`dict(zip(ks, vs))`, the lists made beforehand",
}
PEERS = {"set": ["set(list)", "numpy"], "map": ["dict(zip)"]}


def human(n):
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else f"{n:,}"


def table(results, family, sizes, rows, cell):
    """One markdown table: a row per entry of `rows`, a column per size,
    cell(res, row, n) for every result."""
    lines = ["| " + ("keys" if family == "set" else "pairs") + " | " + " | ".join(human(n) for n in sizes) + " |",
             "|---|" + "---:|" * len(sizes)]
    for r in rows:
        cells = [cell(results[(family, r, n)], r, n) if (family, r, n) in results else "" for n in sizes]
        lines.append(f"| {LABELS[(family, r)]} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def report(results, family, sizes):
    rows = []
    for n in sizes:
        rows += [r for r in rows_of(family, n) if r not in rows]

    def time_cell(res, r, n):
        ratios = [f"{res['ns'] / results[(family, p, n)]['ns']:.2f}x {p}" for p in PEERS[family]
                  if r in ("unordered", "ascending") and (family, p, n) in results]
        return f"{res['ns']:.1f}" + (" (" + ", ".join(ratios) + ")" if ratios else "")

    def memory_cell(res, r, n):
        used = f" [{res['mem_used_bpk']:.1f}]" if "mem_used_bpk" in res else ""
        return f"{res['rss_bpk']:.1f} / {res.get('peak_bpk', float('nan')):.1f}{used}"

    return (table(results, family, sizes, rows, time_cell)
            + "\nResident growth, bytes per key: steady / peak during the build [ours: mem_used()].\n\n"
            + table(results, family, sizes, rows, memory_cell))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--sizes", default="1000000,10000000,100000000", help="set sizes")
    ap.add_argument("--map-sizes", default="10000000", help="map sizes")
    ap.add_argument("--repeat", type=int, default=3, help="builds per row below 100M keys, best taken")
    ap.add_argument("--markdown", help="also write the report to this file")
    a = ap.parse_args()
    if a.worker:
        print(json.dumps(worker(json.loads(a.worker))))
        return
    sizes = {"set": [int(x) for x in a.sizes.split(",") if x],
             "map": [int(x) for x in a.map_sizes.split(",") if x]}
    results = {}
    t0 = time.time()
    for family in ("set", "map"):
        for n in sizes[family]:
            for row in rows_of(family, n):
                job = {"family": family, "row": row, "n": n, "repeat": 1 if n >= 100_000_000 else a.repeat}
                try:
                    results[(family, row, n)] = run_worker(__file__, job)
                except RuntimeError as failed:
                    print(f"{family}/{row}/{n}: FAILED\n{str(failed)[-2000:]}", file=sys.stderr)
                    continue
                print(f"{family}/{row}/{n}: {results[(family, row, n)]}", file=sys.stderr)
    text = (f"Command: `python3 bench/bulk_order.py{' ' + ' '.join(sys.argv[1:]) if sys.argv[1:] else ''}` "
            f"({(time.time() - t0) / 60:.1f} min; {machine()}; load average at the end "
            f"{os.getloadavg()[0]:.1f}). ns per key, (x) = ours / peer time.\n\n"
            + "\n".join(report(results, f, sizes[f]) for f in ("set", "map") if sizes[f]))
    print(text)
    if a.markdown:
        open(a.markdown, "w").write(text)


if __name__ == "__main__":
    main()
