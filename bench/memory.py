#!/usr/bin/env python3
"""Resident memory of corvale_trie containers, as a user sees it.

Every row runs in a fresh child process (``--worker``) that measures the
growth of its resident set (``/proc/self/statm``) after asking the C library
to give back what it keeps (``malloc_trim(0)``); blocks of 128 KiB and more
always come from mmap (a fixed ``M_MMAP_THRESHOLD``), so that the numpy
temporaries of the large rows do not stay in the heap among the container's
blocks:

- small: many containers of n keys each (dense: n consecutive keys;
  clustered: runs of 16..48 consecutive keys at random places; random:
  uniform 64-bit keys), built one key at a time; bytes per container against
  the container's own size (``sys.getsizeof``) plus its ``mem_used()``, and
  against ``set``/``dict`` holding the same keys as fresh int objects;
- large: one container of 1M or 10M keys (bulk ``insert_many`` from a packed
  buffer, and one key at a time for 1M): growth over ``mem_used()``;
- clear: 2M random keys, ``clear()``, then a refill with 2M dense keys;
- churn: 8 rounds of 400,000 inserted keys (alternately random and spread:
  evenly spaced by 997 from a random base) and the removal of 90% of all keys;
  what the container holds at the end (what its ``clear()`` then gives back)
  over the peak ``mem_used()``;
- drop: what is left after a container of 2M random keys is deleted;
- objects: 20,000 containers of n uniform 64-bit keys each (n = 0 to 32;
  with --sizes, fewer containers from 129 keys on, 2,560,000 keys in all),
  ``set``, ``dict``, ``CorvaleSet`` and ``CorvaleMap``, resident bytes per
  container in two cases: the key objects (and a dict's value objects) made
  for the container and counted with it, and key objects made before the
  reading, living elsewhere (a dict's values are the keys themselves).

    python3 bench/memory.py                 # everything (about a minute: 50 to 76 s here)
    python3 bench/memory.py --only small    # one section
    python3 bench/memory.py --only small --sizes 1-12   # other container sizes
    python3 bench/memory.py --only objects  # small containers, key objects counted or not
    python3 bench/memory.py --markdown out.md
"""

from __future__ import annotations

import argparse
import json
import random
import sys
import time

from resident import print_tables, resident_bytes, resolved_growth, run_worker, worker_setup

SMALL_NS = [0, 1, 2, 5, 10, 31, 32, 100, 1000, 10000]
DISTS = ["dense", "clustered", "random"]
SMALL_KINDS = ["CorvaleSet", "set", "CorvaleMap", "dict"]
MASK64 = (1 << 64) - 1

# ---------------------------------------------------------------- helpers


def small_keys(rng, dist, n):
    """The keys of one small container, made one at a time (no list of int
    objects stays behind in the interpreter's own allocator)."""
    if dist == "dense":
        base = rng.getrandbits(63)
        yield from range(base, base + n)
    elif dist == "random":
        for _ in range(n):
            yield rng.getrandbits(64)
    else:
        left = n
        while left > 0:
            run = min(rng.randint(16, 48), left)
            base = rng.getrandbits(63)
            yield from range(base, base + run)
            left -= run


def np_keys(np, dist, n, seed):
    rng = np.random.default_rng(seed)
    if dist == "dense":
        return np.arange(n, dtype=np.uint64) + np.uint64(rng.integers(0, 1 << 62))
    if dist == "random":
        return rng.integers(0, MASK64, size=n, dtype=np.uint64, endpoint=True)
    if dist == "spread":
        return np.arange(n, dtype=np.uint64) * np.uint64(997) + np.uint64(rng.integers(0, 1 << 62))
    # clustered: runs of 16..48 consecutive keys at random 62-bit places
    lens = rng.integers(16, 49, size=n // 16 + 1)
    starts = rng.integers(0, 1 << 62, size=len(lens), dtype=np.uint64)
    out = np.repeat(starts, lens) + (np.arange(lens.sum()) - np.repeat(np.cumsum(lens) - lens, lens)).astype(np.uint64)
    return out[:n]


def make(kind):
    import corvale_trie

    return getattr(corvale_trie, kind)()


# ---------------------------------------------------------------- workers


def build_small(kind, keys, value=lambda k: k):
    """A set, dict, CorvaleSet or CorvaleMap of the key objects `keys`,
    built one key at a time (small containers, and the large ones built
    key by key); a map's value of key k is value(k)."""
    if kind == "set":
        return set(keys)
    if kind == "dict":
        return {k: value(k) for k in keys}
    c = make(kind)
    if kind == "CorvaleSet":
        for k in keys:
            c.add(k)
    else:
        for k in keys:
            c[k] = value(k)
    return c


def work_small(kind, dist, n):
    count = min(20000, max(50, 1_000_000 // max(n, 1)))
    rng = random.Random(hash((kind, dist, n)) & 0xFFFF)
    held = [None] * count
    before = resident_bytes()
    for i in range(count):
        held[i] = build_small(kind, small_keys(rng, dist, n))
    after = resident_bytes()
    out = {"per": (after - before) / count, "count": count}
    if kind.startswith("Corvale"):
        out["mem_used"] = sum(c.mem_used() for c in held) / count
        out["size"] = sys.getsizeof(held[0])
    return out


OBJECT_KINDS = ["set", "dict", "CorvaleSet", "CorvaleMap"]
OBJECT_COUNT = 20_000
OBJECT_KEYS = 2_560_000  # keys in all at most: fewer containers from 129 keys on


def object_count(n):
    return min(OBJECT_COUNT, OBJECT_KEYS // max(n, 1))


def work_objects(kind, n, counted):
    """Resident bytes per container of object_count(n) containers of n
    uniform 64-bit keys. counted: each container's key objects (and a dict's value
    objects, other random ints) are made as it is built, and count with it;
    else the keys are made before the first reading and live on elsewhere,
    and a dict's values are the keys themselves."""
    rng = random.Random(hash((kind, n, counted)) & 0xFFFF)
    draw = rng.getrandbits
    count = object_count(n)
    held = [None] * count
    elsewhere = None if counted else [draw(64) for _ in range(count * n)]
    before = resident_bytes()
    for i in range(count):
        if counted:
            held[i] = build_small(kind, (draw(64) for _ in range(n)), lambda _k: draw(64))
        else:
            held[i] = build_small(kind, elsewhere[i * n:(i + 1) * n])
    return {"per": (resident_bytes() - before) / count, "size": sys.getsizeof(held[0]), "count": count}


def build_bulk(kind, keys):
    c = make(kind)
    if kind == "CorvaleSet":
        c.insert_many(keys)
    else:
        c.insert_many(keys, keys)
    return c


def work_large(kind, dist, n, mode):
    import numpy as np

    keys = np_keys(np, dist, n, 7)
    plain = keys.tolist() if mode == "one" else None

    def build():
        return build_bulk(kind, keys) if mode == "bulk" else build_small(kind, plain)

    before = resident_bytes()
    c = build()
    growth = resident_bytes() - before
    # A container of dense keys holds a few hundred kB at most: its growth
    # is read over enough builds to resolve (bench/resident.py).
    growth, builds = resolved_growth(growth, build)
    return {"growth": growth, "mem_used": c.mem_used(), "builds": builds}


def work_clear(kind):
    import numpy as np

    first = np_keys(np, "random", 2_000_000, 11)
    second = np_keys(np, "dense", 2_000_000, 12)
    before = resident_bytes()
    c = build_bulk(kind, first)
    out = {"full": resident_bytes() - before, "full_mem": c.mem_used()}
    c.clear()
    out["cleared"] = resident_bytes() - before
    out["cleared_mem"] = c.mem_used()
    if kind == "CorvaleSet":
        c.insert_many(second)
    else:
        c.insert_many(second, second)
    out["refilled"] = resident_bytes() - before
    out["refilled_mem"] = c.mem_used()
    del c
    out["dropped"] = resident_bytes() - before
    return out


def work_churn(kind):
    import numpy as np

    rng = np.random.default_rng(5)
    c = make(kind)
    live = np.zeros(0, dtype=np.uint64)
    before = resident_bytes()
    peak = 0
    for r in range(8):
        keys = np_keys(np, "random" if r % 2 == 0 else "spread", 400_000, 100 + r)
        if kind == "CorvaleSet":
            c.insert_many(keys)
        else:
            c.insert_many(keys, keys)
        live = np.unique(np.concatenate([live, keys]))
        peak = max(peak, c.mem_used())
        gone = rng.permutation(len(live))[: len(live) * 9 // 10]
        # Removed in slices, so that the int objects of one slice reuse the
        # memory of the previous one.
        for i in range(0, len(gone), 4096):
            if kind == "CorvaleSet":
                for k in live[gone[i : i + 4096]].tolist():
                    c.discard(k)
            else:
                for k in live[gone[i : i + 4096]].tolist():
                    del c[k]
        live = np.delete(live, gone)
    end = resident_bytes()
    out = {"growth": end - before, "peak_mem": peak, "mem_used": c.mem_used(), "keys": len(live)}
    # What the container itself holds: what its clear() gives back (the
    # growth also counts the benchmark's int objects and numpy temporaries).
    c.clear()
    out["held"] = end - resident_bytes()
    return out


def worker(spec):
    worker_setup()
    # Loaded before any reading: the module's own pages (about 0.7 MB) are
    # no part of a container.
    import corvale_trie  # noqa: F401
    job = json.loads(spec)
    fn = {"small": work_small, "large": work_large, "clear": work_clear, "churn": work_churn,
          "objects": work_objects}[job.pop("section")]
    print(json.dumps(fn(**job)))


# ---------------------------------------------------------------- parent


def run(job):
    return run_worker(__file__, job)


def fmt(x):
    return f"{x:,.0f}"


def heading(lines, title, note):
    lines += ["", title, "", note]


def table_head(lines, columns, left=1):
    lines += ["", "| " + " | ".join(columns) + " |", "|" + "---|" * left + "---:|" * (len(columns) - left)]


def section_small(lines, sizes=None):
    heading(
        lines,
        "### Many small containers, built one key at a time",
        "Resident bytes per container. Ours: growth [object size + `mem_used()`] and the limit "
        "1.25 x (object + `mem_used`) + 64; peers hold the same keys as fresh int objects "
        "(their ints counted).",
    )
    for dist in DISTS:
        lines += ["", f"#### {dist}"]
        table_head(lines, ["n", "CorvaleSet", "limit", "set", "CorvaleMap", "limit", "dict"], left=0)
        for n in sizes or SMALL_NS:
            r = {k: run({"section": "small", "kind": k, "dist": dist, "n": n}) for k in SMALL_KINDS}
            cells = []
            for ours, peer in (("CorvaleSet", "set"), ("CorvaleMap", "dict")):
                o, p = r[ours], r[peer]
                limit = 1.25 * (o["size"] + o["mem_used"]) + 64
                mark = "" if o["per"] <= limit else " **over**"
                if o["per"] < o["size"] + o["mem_used"]:
                    mark += " **below object + mem_used: the reading did not resolve**"
                if n >= 32 and o["per"] >= p["per"]:
                    mark += " **>= peer**"
                cells += [
                    f"{fmt(o['per'])} [{o['size']} + {fmt(o['mem_used'])}]{mark}",
                    fmt(limit),
                    fmt(p["per"]),
                ]
            lines.append(f"| {n} | " + " | ".join(cells) + " |")
            print(lines[-1], file=sys.stderr)


def section_objects(lines, sizes=None):
    heading(
        lines,
        f"### Small containers: key objects counted or not ({OBJECT_COUNT:,} containers, at most {OBJECT_KEYS:,} keys)",
        "Resident bytes per container of n uniform 64-bit keys, built one key at a time. Counted: each container's"
        " key objects (and a dict's value objects, other random ints) are made for it and count with it. Elsewhere:"
        " the key objects were made before the reading and live on elsewhere (a dict's values are the keys"
        " themselves); only the container counts. In brackets: `sys.getsizeof` of one container.",
    )
    columns = [f"{kind}, {case}" for kind in OBJECT_KINDS for case in ("counted", "elsewhere")]
    table_head(lines, ["n", *columns], left=0)
    for n in sizes if sizes is not None else range(0, 33):
        cells = []
        for kind in OBJECT_KINDS:
            for counted in (True, False):
                r = run({"section": "objects", "kind": kind, "n": n, "counted": counted})
                cells.append(f"{fmt(r['per'])} [{r['size']}]")
        lines.append(f"| {n} | " + " | ".join(cells) + " |")
        print(lines[-1], file=sys.stderr)


def section_large(lines):
    heading(
        lines,
        "### Large containers",
        "Resident growth while the container is built, over its `mem_used()` (limit 1.15). A container that grows the"
        " resident set by less than 1 MiB is read again over new builds held together until they grow it by 1 MiB"
        " (at most 64; their count in brackets), and the growth per container is given.",
    )
    table_head(lines, ["container", "keys", "build", "dense", "clustered", "random"])
    for kind in ("CorvaleSet", "CorvaleMap"):
        for n, mode in ((1_000_000, "one"), (1_000_000, "bulk"), (10_000_000, "bulk")):
            cells = []
            for dist in DISTS:
                r = run({"section": "large", "kind": kind, "dist": dist, "n": n, "mode": mode})
                note = f" ({r['builds']} builds)" if r["builds"] > 1 else ""
                if r["growth"] < r["mem_used"]:
                    note += " **below mem_used: the reading did not resolve**"
                cells.append(f"{r['growth'] / 2**20:.2f} MB / {r['mem_used'] / 2**20:.2f} MB = {r['growth'] / max(r['mem_used'], 1):.2f}{note}")
            label = "one at a time" if mode == "one" else "insert_many"
            lines.append(f"| {kind} | {n:,} | {label} | " + " | ".join(cells) + " |")
            print(lines[-1], file=sys.stderr)


def section_clear(lines):
    heading(
        lines,
        "### Clear, refill, churn, drop",
        "Resident growth over the start (MB) and `mem_used()` (MB) in brackets. Clear: 2M random keys, "
        "`clear()`, refill with 2M dense keys, then `del`. Churn: 8 rounds of 400,000 keys (random and "
        "spread in turn) each followed by the removal of 90% of all keys; held: what a final `clear()` gives back "
        "(the process growth, which also counts the benchmark's own ints and arrays, in brackets).",
    )
    table_head(
        lines,
        ["container", "2M random", "cleared", "refilled, 2M dense", "dropped", "churn: held (growth) [peak / live mem_used]", "held / peak"],
    )
    mb = lambda x: f"{x / 2**20:.2f}"  # noqa: E731
    for kind in ("CorvaleSet", "CorvaleMap"):
        c = run({"section": "clear", "kind": kind})
        h = run({"section": "churn", "kind": kind})
        lines.append(
            f"| {kind} | {mb(c['full'])} [{mb(c['full_mem'])}] | {mb(c['cleared'])} [{mb(c['cleared_mem'])}] | "
            f"{mb(c['refilled'])} [{mb(c['refilled_mem'])}] | {mb(c['dropped'])} | "
            f"{mb(h['held'])} ({mb(h['growth'])}) [{mb(h['peak_mem'])} / {mb(h['mem_used'])}] | {h['held'] / h['peak_mem']:.2f} |"
        )
        print(lines[-1], file=sys.stderr)


def parse_sizes(text):
    """'1-12' or '1,5,31' (or both, comma-separated) as a list of sizes."""
    sizes = []
    for part in text.split(","):
        lo, _, hi = part.partition("-")
        sizes += range(int(lo), int(hi or lo) + 1)
    return sizes


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--only", help="comma-separated sections: small,large,clear,objects (default: all but objects)")
    ap.add_argument("--sizes", help="container sizes of the small and objects sections, e.g. 1-12 or 1,5,31 (default: %s; objects: 0-32)" % ",".join(map(str, SMALL_NS)))
    ap.add_argument("--markdown", help="also write the tables to this file")
    args = ap.parse_args()
    if args.worker:
        worker(args.worker)
        return
    sections = args.only.split(",") if args.only else ["small", "large", "clear"]
    t0 = time.time()
    lines = []
    sizes = parse_sizes(args.sizes) if args.sizes else None
    for s in sections:
        if s == "small":
            section_small(lines, sizes)
        elif s == "objects":
            section_objects(lines, sizes)
        else:
            {"large": section_large, "clear": section_clear}[s](lines)
    print_tables(lines, t0, args.markdown)


if __name__ == "__main__":
    main()
