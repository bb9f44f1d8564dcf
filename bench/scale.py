#!/usr/bin/env python3
"""How the cost of CorvaleSet and CorvaleMap grows with uniform 64-bit keys.

For each size (1M, 10M and 100M keys by default), in one run:

- ``insert_many`` of a packed buffer, unordered (``s.insert_many(memoryview(a))``,
  ``m.insert_many(memoryview(k), memoryview(v))``) and pre-sorted (the same
  keys ascending, the map's values following their keys), into an empty
  container;
- ``contains_batch`` (set) or ``get_batch`` (map) of a list of present keys
  (2M keys, or all of them when there are fewer), in random order, and the
  loop over the same list that it replaces (``[k in s for k in keys]``,
  ``[m.get(k) for k in keys]``);
- resident bytes per key: the growth of the process's resident set over the
  container's build (bench/resident.py: collect, ``malloc_trim``, statm);

beside NumPy's sort at every size (a copy sorted in place and a comparison
pass that drops repeats; for the map ``np.argsort(kind="stable")``, both
arrays taken in that order and the last of equal keys kept), warm: into
buffers made beforehand; and, at the peer size (10M), ``set(list)`` /
``dict(zip(klist, vlist))`` from lists made beforehand, the same loop over
them, and their resident bytes per key (the table and the int objects it
holds).

Every container kind and size runs in a child process of its own
(``--worker``), so that one's memory does not move the other's readings.
Every time is the best of ``--reps`` repetitions (3 by default): the
builds too, each into a new container once the one before is dropped (the
resident bytes are read after the first); read the ratios, which compare
figures of one run.

    python3 bench/scale.py                        # 1M, 10M, 100M (about 10 minutes here)
    python3 bench/scale.py --sizes 1M,10M         # other sizes (k and M suffixes)
    python3 bench/scale.py --quick                # smoke run: 20k and 200k keys
    python3 bench/scale.py --markdown out.md      # also write the tables to a file

A 100M map holds about 2 GB and its worker peaks near 7 GB with its
arrays; run the 100M size on a machine with room for that.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

from resident import best_of, print_tables, resident_bytes, run_worker, worker_setup

QUERIES = 2_000_000
SEED = 20260
GOALS = [
    # (label, kind, size, numerator, denominator, bound)
    ("insert_many unordered vs set(list)", "set", 10_000_000, "unordered", "peer_build", 0.6),
    ("insert_many unordered vs NumPy sort + dedupe", "set", 10_000_000, "unordered", "np_sort", 6.0),
    ("insert_many unordered vs dict(zip)", "map", 10_000_000, "unordered", "peer_build", 0.8),
    ("contains_batch vs `in` loop", "set", 100_000_000, "batch", "loop", 0.25),
]

# ---------------------------------------------------------------- worker


def keys_of(np, n):
    rng = np.random.default_rng(SEED + n)
    return rng.integers(0, 2**64 - 1, size=n, dtype=np.uint64, endpoint=True)


def query_list(a):
    """QUERIES present keys in random order (the first keys of a uniform
    array are a random sample), as Python ints."""
    if len(a) >= QUERIES:
        return a[:QUERIES].tolist()
    q = a.tolist()
    return (q * (QUERIES // len(q) + 1))[:QUERIES]


def work_ours(kind, n, reps):
    import numpy as np
    from corvale_trie import CorvaleMap, CorvaleSet

    is_map = kind == "map"
    a = keys_of(np, n)
    v = (a * np.uint64(0x9E3779B97F4A7C15)) if is_map else None
    out = {}
    # NumPy's sort and dedupe of the same keys (for the map, the pairs), warm:
    # into buffers made and touched beforehand (argsort's index array is the
    # one allocation left).
    buf = np.empty_like(a)
    mask = np.ones(n, dtype=bool)
    kept = np.empty_like(a)
    if is_map:
        vbuf, vkept = np.empty_like(a), np.empty_like(a)

        def np_sort():
            order = np.argsort(a, kind="stable")
            np.take(a, order, out=buf)
            np.take(v, order, out=vbuf)
            np.not_equal(buf[1:], buf[:-1], out=mask[:-1])  # the last of equal keys
            m = np.count_nonzero(mask)
            return np.compress(mask, buf, out=kept[:m]), np.compress(mask, vbuf, out=vkept[:m])

    else:

        def np_sort():
            np.copyto(buf, a)
            buf.sort()
            np.not_equal(buf[1:], buf[:-1], out=mask[1:])  # the first of equal keys
            m = np.count_nonzero(mask)
            return np.compress(mask, buf, out=kept[:m])

    for arr in (buf, kept) + ((vbuf, vkept) if is_map else ()):
        arr.fill(0)
    out["np_sort"] = best_of(np_sort, reps) / n
    if is_map:
        sorted_keys, sorted_values = (x.copy() for x in np_sort())
        del vbuf, vkept
    else:
        sorted_keys, sorted_values = np_sort().copy(), None
    del buf, kept, mask
    q = query_list(a)

    def build(keys, values):
        """A new container filled from the buffers, and the seconds it took."""
        c = CorvaleMap() if is_map else CorvaleSet()
        start = time.perf_counter()
        if is_map:
            c.insert_many(memoryview(keys), memoryview(values))
        else:
            c.insert_many(memoryview(keys))
        return c, time.perf_counter() - start

    r0 = resident_bytes()
    c, best = build(a, v)
    out["bytes_per_key"] = (resident_bytes() - r0) / len(c)
    for _ in range(reps - 1):
        del c
        c, t = build(a, v)
        best = min(best, t)
    out["unordered"] = best / n
    batch = c.get_batch if is_map else c.contains_batch
    out["batch"] = best_of(lambda: batch(q), reps) / len(q)
    out["loop"] = best_of(lambda: [c.get(k) for k in q] if is_map else [k in c for k in q], reps) / len(q)
    del c, batch
    # Pre-sorted, each time into a new container.
    out["sorted"] = min(build(sorted_keys, sorted_values)[1] for _ in range(reps)) / n
    return out


def work_peer(kind, n, reps):
    import numpy as np

    is_map = kind == "map"
    a = keys_of(np, n)
    q = query_list(a)
    r0 = resident_bytes()
    klist = a.tolist()
    vlist = (a * np.uint64(0x9E3779B97F4A7C15)).tolist() if is_map else None
    c, best = None, float("inf")
    for _ in range(reps):
        c = None  # the one before is dropped first
        start = time.perf_counter()
        c = dict(zip(klist, vlist)) if is_map else set(klist)
        best = min(best, time.perf_counter() - start)
    del klist, vlist
    grown = resident_bytes() - r0
    return {
        "peer_build": best / n,
        "peer_bytes_per_key": grown / len(c),
        "peer_loop": best_of(lambda: [c.get(k) for k in q] if is_map else [k in c for k in q], reps) / len(q),
    }


def worker(spec):
    worker_setup()
    job = json.loads(spec)
    fn = work_peer if job.pop("peer") else work_ours
    print(json.dumps(fn(**job)))


# ---------------------------------------------------------------- parent


def run(job):
    return run_worker(__file__, job)


def size_name(n):
    if n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    if n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)


def parse_size(text):
    text = text.strip()
    mult = {"k": 1000, "K": 1000, "M": 1_000_000}.get(text[-1:], 1)
    return int(float(text.rstrip("kKM")) * mult)


def ns(x):
    v = x * 1e9
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def ratio(x, y):
    r = x / y
    return f"{r:.2f}" if r < 10 else f"{r:.1f}"


def table(lines, kind, sizes, peer_size, res):
    """One table of a kind: our rows, the peers' beside them, the ratios."""
    ours = {n: res[(kind, n, False)] for n in sizes}
    peer = res.get((kind, peer_size, True))
    name, peer_name = ("CorvaleSet", "set") if kind == "set" else ("CorvaleMap", "dict")
    batch = "contains_batch" if kind == "set" else "get_batch"
    peer_build = "`set(list)`" if kind == "set" else "`dict(zip(klist, vlist))`"
    np_name = "NumPy `np.sort` + dedupe" if kind == "set" else "NumPy stable `argsort` + take + dedupe"

    def row(label, fn, only=None):
        cells = []
        for n in sizes:
            if only is not None and n != only:
                cells.append("")
            else:
                cells.append(fn(n))
        lines.append(f"| {label} | " + " | ".join(cells) + " |")

    lines += ["", f"| {name}, ns/key | " + " | ".join(size_name(n) for n in sizes) + " |"]
    lines.append("|---|" + "---:|" * len(sizes))
    row("`insert_many`, unordered", lambda n: ns(ours[n]["unordered"]))
    row("`insert_many`, pre-sorted", lambda n: ns(ours[n]["sorted"]))
    row(np_name, lambda n: ns(ours[n]["np_sort"]))
    row("unordered / NumPy", lambda n: ratio(ours[n]["unordered"], ours[n]["np_sort"]) + "x")
    if peer:
        row(peer_build, lambda n: ns(peer["peer_build"]), peer_size)
        row(f"unordered / `{peer_name}`", lambda n: ratio(ours[n]["unordered"], peer["peer_build"]) + "x", peer_size)
    row(f"`{batch}`, {QUERIES // 1_000_000}M present keys", lambda n: ns(ours[n]["batch"]))
    loop = "`in` loop" if kind == "set" else "`get` loop"
    row(f"{loop}, same keys", lambda n: ns(ours[n]["loop"]))
    row(f"`{batch}` / {loop}", lambda n: ratio(ours[n]["batch"], ours[n]["loop"]) + "x")
    if peer:
        row(f"{loop} on `{peer_name}`", lambda n: ns(peer["peer_loop"]), peer_size)
        row(f"`{batch}` / {loop} on `{peer_name}`", lambda n: ratio(ours[n]["batch"], peer["peer_loop"]) + "x", peer_size)
    row("resident bytes/key", lambda n: f"{ours[n]['bytes_per_key']:.1f}")
    if peer:
        row(f"`{peer_name}` resident bytes/key", lambda n: f"{peer['peer_bytes_per_key']:.1f}", peer_size)


def goals(lines, res):
    rows = []
    for label, kind, n, num, den, bound in GOALS:
        ours = res.get((kind, n, False))
        if ours is None:
            continue
        other = res.get((kind, n, True)) if den.startswith("peer") else ours
        if other is None:
            continue
        r = ours[num] / other[den]
        rows.append(f"| {label} ({size_name(n)}) | {r:.2f}x (<= {bound}x) | {'met' if r <= bound else 'MISSED'} |")
    if rows:
        lines += ["", "| goal | measured | |", "|---|---:|---|"] + rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--sizes", default="1M,10M,100M", help="comma-separated key counts (k and M suffixes; default 1M,10M,100M)")
    ap.add_argument("--peer-size", default="10M", help="the size at which set/dict run beside ours (default 10M)")
    ap.add_argument("--kinds", default="set,map", help="set, map or both (default set,map)")
    ap.add_argument("--reps", type=int, default=3, help="repetitions of every timed build, lookup and sort (default 3)")
    ap.add_argument("--quick", action="store_true", help="smoke run: 20k and 200k keys, peers at 200k, 2 repetitions")
    ap.add_argument("--markdown", help="also write the tables to this file")
    args = ap.parse_args()
    if args.worker:
        worker(args.worker)
        return
    if args.quick:
        args.sizes, args.peer_size, args.reps = "20k,200k", "200k", 2
    sizes = [parse_size(s) for s in args.sizes.split(",")]
    peer_size = parse_size(args.peer_size)
    kinds = args.kinds.split(",")
    t0 = time.time()
    res = {}
    for kind in kinds:
        for n in sizes:
            res[(kind, n, False)] = run({"peer": False, "kind": kind, "n": n, "reps": args.reps})
            print(f"{kind} {size_name(n)}: {res[(kind, n, False)]}", file=sys.stderr, flush=True)
        if peer_size in sizes:
            res[(kind, peer_size, True)] = run({"peer": True, "kind": kind, "n": peer_size, "reps": args.reps})
            print(f"{kind} {size_name(peer_size)} peer: {res[(kind, peer_size, True)]}", file=sys.stderr, flush=True)
    lines = [
        f"Uniform random 64-bit keys. Lookups: {QUERIES:,} present keys (or all of them, repeated, when there are"
        f" fewer) in random order; time rows in ns per key, best of {args.reps} (builds, lookups and sorts alike,"
        f" each build into a new container); ratio rows within this run.",
    ]
    for kind in kinds:
        table(lines, kind, sizes, peer_size, res)
    goals(lines, res)
    try:
        commit = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=os.path.dirname(os.path.abspath(__file__))
        ).stdout.strip()
    except OSError:
        commit = ""
    print_tables(lines, t0, args.markdown, ", commit " + commit if commit else "")


if __name__ == "__main__":
    main()
