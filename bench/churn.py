#!/usr/bin/env python3
"""Resident memory of a large container under churn, without clear().

One container of n uniform random 64-bit keys, built by ``insert_many`` from
a packed buffer; then rounds of: a random 80% of its keys removed one at a
time, and the same keys inserted again by ``insert_many`` (or, for a run
marked ``:new``, as many new uniform random keys in their place, so that
the keys move over the key space from round to round). After the build
and after each removal and each re-insertion: the growth of the process's
resident set over its start, read as-is ("raw") and after the C library gave
back what it could ("trimmed": bench/resident.py, ``malloc_trim(0)``), and
``mem_used()``. The buffers of removed keys and of their places, held for
the re-insertion, are left out of the readings after a removal. Last, the
container is cleared and read once more. Each container runs in a child
process of its own (``--worker``). The kinds are set, map, sync-set and
sync-map (SyncCorvaleSet and SyncCorvaleMap, which report no ``mem_used()``).

    python3 bench/churn.py                          # set and map of 20M keys, set of 40M; 3 rounds
    python3 bench/churn.py --runs set:40M --rounds 5
    python3 bench/churn.py --runs set:20M:new,map:20M:new --rounds 30
    python3 bench/churn.py --runs sync-map:5M,sync-map:5M:new --rounds 30
    python3 bench/churn.py --markdown out.md

A 40M set's worker peaks near 1.5 GB, a 20M map's near 1.4 GB.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

from resident import print_tables, resident_bytes, run_worker, worker_setup

SEED = 20260
SHARE = 0.8  # of the keys removed and re-inserted in each round
KINDS = {"set": "CorvaleSet", "map": "CorvaleMap", "sync-set": "SyncCorvaleSet", "sync-map": "SyncCorvaleMap"}


def raw_resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def worker(spec):
    worker_setup()
    import numpy as np
    import corvale_trie

    job = json.loads(spec)
    kind, n, rounds, new = job["kind"], job["n"], job["rounds"], job.get("new", False)
    is_map = kind.endswith("map")
    rng = np.random.default_rng(SEED + n)
    a = rng.integers(0, 2**64 - 1, size=n, dtype=np.uint64, endpoint=True)
    v = (a * np.uint64(0x9E3779B97F4A7C15)) if is_map else None
    c = getattr(corvale_trie, KINDS[kind])()
    mem_used = getattr(c, "mem_used", lambda: None)
    start = resident_bytes()

    def reading(step, held=0):
        raw = raw_resident() - start - held
        return {"step": step, "raw": raw, "trimmed": resident_bytes() - start - held, "mem_used": mem_used()}

    def insert(keys, values):
        if is_map:
            c.insert_many(memoryview(keys), memoryview(values))
        else:
            c.insert_many(memoryview(keys))

    insert(a, v)
    out = [reading("built")]
    for r in range(1, rounds + 1):
        idx = rng.choice(n, size=int(n * SHARE), replace=False)
        gone = a[idx]
        gone_values = v[idx] if is_map else None
        remove = c.remove
        for i in range(0, len(gone), 1 << 20):  # a million Python ints at a time
            for k in gone[i : i + (1 << 20)].tolist():
                remove(k)
        out.append(reading(f"round {r}: removed", idx.nbytes + gone.nbytes + (gone_values.nbytes if is_map else 0)))
        if new:  # new keys in the removed ones' places (a repeat of a live key: 1 in 2**44 at 20M)
            gone[:] = rng.integers(0, 2**64 - 1, size=len(gone), dtype=np.uint64, endpoint=True)
            a[idx] = gone
            if is_map:
                gone_values[:] = gone * np.uint64(0x9E3779B97F4A7C15)
                v[idx] = gone_values
        del idx
        insert(gone, gone_values)
        del gone, gone_values
        out.append(reading(f"round {r}: {'new keys inserted' if new else 're-inserted'}"))
    c.clear()
    out.append(reading("cleared"))
    print(json.dumps(out))


def mb(n):
    x = n / 1e6
    return f"{x:,.0f}" if x >= 100 else f"{x:.1f}"


def parse_run(text):
    kind, size, *mode = text.split(":")
    if mode not in ([], ["new"]) or kind not in KINDS:
        raise SystemExit(f"--runs: {text!r}: kind:size or kind:size:new, kind one of {', '.join(KINDS)}")
    mult = {"k": 1000, "M": 1_000_000}.get(size[-1:], 1)
    return kind, int(float(size.rstrip("kM")) * mult), bool(mode)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument(
        "--runs",
        default="set:20M,map:20M,set:40M",
        help="kind:size, or kind:size:new to insert new keys in the removed ones' places; comma-separated"
        " (default set:20M,map:20M,set:40M)",
    )
    ap.add_argument("--rounds", type=int, default=3, help="rounds of removal and re-insertion (default 3)")
    ap.add_argument("--markdown", help="also write the table to this file")
    args = ap.parse_args()
    if args.worker:
        worker(args.worker)
        return
    t0 = time.time()
    lines = [
        f"Resident growth in MB, trimmed (after `malloc_trim(0)`) / raw, and [`mem_used()`]; each round removes"
        f" {SHARE:.0%} of the keys one at a time and inserts them again with `insert_many` (new keys: as many new"
        " random keys instead). (x built) and last: a trimmed reading over the built one.",
    ]
    for text in args.runs.split(","):
        kind, n, new = parse_run(text)
        rows = run_worker(__file__, {"kind": kind, "n": n, "rounds": args.rounds, "new": new})
        print(f"{kind} {n:,}{' new keys' if new else ''}: {rows}", file=sys.stderr, flush=True)
        title = f"{KINDS[kind]}, {n:,} keys{', new keys each round' if new else ''}"
        lines += ["", f"| {title} | MB |", "|---|---:|"]
        for row in rows:
            lines.append(
                f"| {row['step']} | {mb(row['trimmed'])} / {mb(row['raw'])}"
                f" [{'-' if row['mem_used'] is None else mb(row['mem_used'])}]"
                f" ({row['trimmed'] / rows[0]['trimmed']:.2f}x built) |"
            )
        lines.append(f"| last round / built | {rows[-2]['trimmed'] / rows[0]['trimmed']:.2f}x |")
    print_tables(lines, t0, args.markdown)


if __name__ == "__main__":
    main()
