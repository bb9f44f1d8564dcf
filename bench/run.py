#!/usr/bin/env python3
"""Benchmarks of corvale_trie against the containers Python users pick instead.

One command runs everything and prints one table per operation:

    python3 bench/run.py            # full run: 1M keys, 10M for the bulk rows
    python3 bench/run.py --quick    # small sizes, for a fast check
    python3 bench/run.py --engine   # also build and run the C++ engine benchmarks

Every container runs in a fresh child process (``--worker``), so that the
resident-memory growth of one does not leak into the next and no allocator
state is shared. A child builds its container, measures its memory, then
times the operations; it prints one JSON line that the parent collects.

Peers of CorvaleSet: set, sortedcontainers.SortedSet, BTrees QQTreeSet
(unsigned 64-bit, C), pyroaring.BitMap64, and for the bulk and batch rows a
sorted NumPy uint64 array (np.sort and one comparison pass to build, with
numpy's own np.unique beside it; np.searchsorted to look up).
Peers of CorvaleMap: dict, SortedDict, QQBTree, and NumPy (sorted keys with
values aligned to them).

Key distributions (the same generator as the engine benchmarks, keys.hpp):
dense (0..n-1), clustered (runs of 16..48 consecutive keys at random 64-bit
places), uniform (random 64-bit), u32 (random below 2**32).

Timings are nanoseconds per key of the best of a few repeats of a plain
Python loop (the loop a user writes: ``for k in q: k in s``), the same loop
shape for every container. The lookups ``k in s`` and ``m[k]`` run twice on
the same random present keys: with new int objects made in probe order (as
keys parsed, computed or received are), and with the caller's own key
objects, those the container was built from (the ones a set or dict holds,
which it compares by identity first), in random order. Ratios are ours / peer time: below 1 we are
faster. Memory is bytes per key of resident-set growth while the container
is built (Python int objects a peer keeps are counted: the keys come from a
packed array, so every inserted int is a fresh object), with CorvaleSet's own
``mem_used()`` beside it.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import time
from itertools import islice

from resident import machine, resident_bytes, resolved_growth

SALT = 0x5DEECE66D
MASK64 = (1 << 64) - 1

DISTS = ["dense", "clustered", "uniform", "u32"]

SET_POINT = ["CorvaleSet", "set", "SortedSet", "QQTreeSet", "BitMap64"]
MAP_POINT = ["CorvaleMap", "dict", "SortedDict", "QQBTree"]
SET_BULK = ["CorvaleSet", "numpy", "np.unique", "set", "SortedSet", "QQTreeSet", "BitMap64"]
MAP_BULK = ["CorvaleMap", "numpy", "np.unique", "dict", "SortedDict", "QQBTree"]

OURS = {"set": "CorvaleSet", "map": "CorvaleMap"}
# Probes for a query whose cost grows with the container (timed once).
SLOW_PROBES = 100


# ---------------------------------------------------------------- key sets


def _splitmix(np, seed, start, count):
    """Values start..start+count-1 of the splitmix64 stream of `seed`."""
    with np.errstate(over="ignore"):
        i = np.arange(start + 1, start + count + 1, dtype=np.uint64)
        z = np.uint64(seed) + i * np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))


def _first_unique(np, a):
    """The distinct values of `a` in order of first appearance."""
    _, idx = np.unique(a, return_index=True)
    idx.sort()
    return a[idx]


def make_keys(np, dist, n, seed=42):
    """n distinct keys of `dist` in insertion order (as bench/keys.hpp)."""
    if dist == "dense":
        return np.arange(n, dtype=np.uint64)
    drawn = 0
    out = np.empty(0, dtype=np.uint64)
    while len(out) < n:
        if dist == "clustered":
            runs = max(16, (n - len(out)) // 32 + 64)
            r = _splitmix(np, seed, drawn, 2 * runs)
            drawn += 2 * runs
            starts = r[0::2] % np.uint64(MASK64 - 64)
            lens = (np.uint64(16) + r[1::2] % np.uint64(33)).astype(np.int64)
            offs = np.arange(int(lens.sum()), dtype=np.int64) - np.repeat(np.cumsum(lens) - lens, lens)
            with np.errstate(over="ignore"):
                fresh = np.repeat(starts, lens) + offs.astype(np.uint64)
        else:
            count = (n - len(out)) + 1024
            r = _splitmix(np, seed, drawn, count)
            drawn += count
            fresh = r if dist == "uniform" else r >> np.uint64(32)
        out = _first_unique(np, np.concatenate([out, fresh]))
    return out[:n]


def probe_indices(np, n, q, seed=7):
    """q positions in 0..n-1 drawn at random (with repeats)."""
    return _splitmix(np, seed, 0, q) % np.uint64(n)


def probe_keys(np, keys, q, seed=7):
    """q present keys drawn at random (with repeats)."""
    return keys[probe_indices(np, len(keys), q, seed)]


def own_key_objects(c, karr):
    """The key objects of a caller that built `c` from a list of ints and
    keeps them, in insertion order: the very objects `c` holds where it
    holds int objects (set, dict, SortedSet, SortedDict), else a list made
    from the keys in insertion order, as the caller's list would be."""
    if isinstance(c, (set, dict)) or hasattr(c, "bisect_left"):
        held = {k: k for k in c}
        return [held[k] for k in karr]
    return karr.tolist()


def probe_points(np, keys, q, seed=11):
    """q points drawn uniformly between the smallest and the largest key."""
    lo, hi = int(keys.min()), int(keys.max())
    r = _splitmix(np, seed, 0, q)
    if hi - lo == MASK64:
        return r
    with np.errstate(over="ignore"):
        return np.uint64(lo) + r % np.uint64(hi - lo + 1)


# ------------------------------------------------------------ measurement


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Meter:
    """Resident-set growth (steady and peak) across a build. The steady
    readings come after malloc_trim (bench/resident.py): free memory that
    the heap kept from earlier work would otherwise take a small
    container's blocks unseen."""

    def __enter__(self):
        self.rss0 = resident_bytes()
        self.peak_ok = _reset_peak()
        return self

    def __exit__(self, *exc):
        self.hwm = _status("VmHWM") if self.peak_ok else 0
        self.rss1 = resident_bytes()
        return False

    def figures(self, n):
        out = {"rss_bpk": (self.rss1 - self.rss0) / n}
        if self.peak_ok:
            out["peak_bpk"] = (max(self.hwm, self.rss1) - self.rss0) / n
        return out


def resolve(out, n, build):
    """Where one build's growth does not resolve (bench/resident.py,
    RESOLUTION), reads it again over as many more builds of the container,
    held together and untimed, as it takes, and gives their mean."""
    growth, builds = resolved_growth(out["rss_bpk"] * n, build)
    if builds > 1:
        out["rss_bpk"] = growth / n
        out["rss_builds"] = builds


def best_ns(fn, count, repeat):
    """Best-of-`repeat` nanoseconds per item of fn() over `count` items."""
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        fn()
        dt = time.perf_counter_ns() - t0
        best = dt if best is None else min(best, dt)
    return best / count


# ---------------------------------------------------------------- workers


def _make_set(name):
    if name == "CorvaleSet":
        from corvale_trie._corvale import CorvaleSet

        return CorvaleSet()
    if name == "set":
        return set()
    if name == "SortedSet":
        from sortedcontainers import SortedSet

        return SortedSet()
    if name == "QQTreeSet":
        from BTrees.QQBTree import QQTreeSet

        return QQTreeSet()
    if name == "BitMap64":
        from pyroaring import BitMap64

        return BitMap64()
    raise ValueError(name)


def _make_map(name):
    if name == "CorvaleMap":
        from corvale_trie._corvale import CorvaleMap

        return CorvaleMap()
    if name == "dict":
        return {}
    if name == "SortedDict":
        from sortedcontainers import SortedDict

        return SortedDict()
    if name == "QQBTree":
        from BTrees.QQBTree import QQBTree

        return QQBTree()
    raise ValueError(name)


def make_loop(body, env):
    """A function `loop(args)` that runs `body` for each `a` in args, with
    the names of env bound as locals: every container's query is written
    inline in its loop, as a user would write it, with no wrapper call."""
    params = "".join(f", {k}={k}" for k in env)
    src = f"def loop(args{params}):\n    for a in args:\n        " + body.replace("\n", "\n        ") + "\n"
    scope = dict(env)
    exec(src, scope)
    return scope["loop"]


# Exceptions a neighbour probe of a peer raises when there is no neighbour.
NO_NEIGHBOUR = (ValueError, OverflowError, TypeError)


def _set_queries(name, s, n):
    """The order queries of a set-like container: {op: (body, env, slow)}.

    slow marks a query whose cost grows with the container (BTrees has no
    rank or select: it counts buckets; BitMap64's rank and select walk its
    containers), run on SLOW_PROBES probes only.
    """
    if name == "CorvaleSet":
        env = {"na": s.next_after, "cb": s.count_below, "bc": s.by_count}
        return {
            "next_after": ("na(a)", env, False),
            "count_below": ("cb(a)", env, False),
            "by_count": ("bc(a)", env, False),
        }
    if name == "SortedSet":
        env = {"s": s, "n": n, "br": s.bisect_right, "bl": s.bisect_left}
        return {
            "next_after": ("i = br(a)\nif i < n:\n    s[i]", env, False),
            "count_below": ("bl(a)", env, False),
            "by_count": ("s[a]", env, False),
        }
    if name == "QQTreeSet":
        env = {"mk": s.minKey, "keys": s.keys, "E": NO_NEIGHBOUR}
        return {
            "next_after": ("try:\n    mk(a + 1)\nexcept E:\n    pass", env, False),
            "count_below": ("len(keys(max=a, excludemax=True))", env, True),
            "by_count": ("keys()[a]", env, True),
        }
    if name == "BitMap64":
        env = {"b": s, "nsb": s.next_set_bit, "rank": s.rank, "E": NO_NEIGHBOUR}
        return {
            "next_after": ("try:\n    nsb(a + 1)\nexcept E:\n    pass", env, False),
            "count_below": ("rank(a - 1) if a else 0", env, True),
            "by_count": ("b[a]", env, True),
        }
    return {}


def _map_queries(name, m, n):
    if name == "CorvaleMap":
        env = {"na": m.next_after, "cb": m.count_below, "bc": m.by_count}
        return {
            "next_after": ("na(a)", env, False),
            "count_below": ("cb(a)", env, False),
            "by_count": ("bc(a)", env, False),
        }
    if name == "SortedDict":
        env = {"n": n, "br": m.bisect_right, "bl": m.bisect_left, "peek": m.peekitem}
        return {
            "next_after": ("i = br(a)\nif i < n:\n    peek(i)", env, False),
            "count_below": ("bl(a)", env, False),
            "by_count": ("peek(a)", env, False),
        }
    if name == "QQBTree":
        env = {"m": m, "mk": m.minKey, "keys": m.keys, "items": m.items, "E": NO_NEIGHBOUR}
        return {
            "next_after": ("try:\n    k = mk(a + 1)\nexcept E:\n    pass\nelse:\n    (k, m[k])", env, False),
            "count_below": ("len(keys(max=a, excludemax=True))", env, True),
            "by_count": ("items()[a]", env, True),
        }
    return {}


def _run_queries(queries, args_of, q, repeat, out):
    for op, (body, env, slow) in queries.items():
        args = args_of[op]
        if slow:
            args = args[:SLOW_PROBES]
        loop = make_loop(body, env)
        out[op] = best_ns(lambda: loop(args), len(args), 1 if slow else repeat)


def _read_array(path, n):
    """A packed key file read straight into one array. No temporary is made
    and freed on the way, so the heap holds no free block that a container
    built afterwards could reuse unseen by the resident-set figure."""
    a = array.array("Q", [0]) * n
    with open(path, "rb", buffering=0) as f:
        if f.readinto(memoryview(a).cast("B")) != 8 * n:
            raise SystemExit(f"short key file {path}")
    return a


def _read_buffer(path, n):
    """A packed key file read straight into one bytearray."""
    b = bytearray(8 * n)
    with open(path, "rb", buffering=0) as f:
        if f.readinto(b) != 8 * n:
            raise SystemExit(f"short key file {path}")
    return b


WARMUP = 1024


def _warm_up(build):
    """Builds and drops a small container first: the first use of a type
    touches memory once (code paths, free lists) that is no part of its
    per-key cost."""
    c = build()
    del c
    gc.collect()


def worker_point(job):
    """Point operations of one container on n keys, built one key at a time."""
    import numpy as np

    family, name, n = job["family"], job["name"], job["n"]
    q, repeat = job["queries"], job["repeat"]
    karr = _read_array(job["keys"], n)
    varr = _read_array(job["values"], n) if family == "map" else None
    out = {}

    if family == "set":

        def build(count=n):
            c = _make_set(name)
            add = c.add
            for k in islice(karr, count):  # no copy: see _read_array
                add(k)
            return c

        _warm_up(lambda: build(WARMUP))
        s = _make_set(name)
        with Meter() as meter:
            add = s.add
            t0 = time.perf_counter_ns()
            for k in karr:
                add(k)
            out["insert"] = (time.perf_counter_ns() - t0) / n
        c = s
    else:

        def build(count=n):
            c = _make_map(name)
            for k, v in islice(zip(karr, varr), count):
                c[k] = v
            return c

        _warm_up(lambda: build(WARMUP))
        m = _make_map(name)
        with Meter() as meter:
            t0 = time.perf_counter_ns()
            for k, v in zip(karr, varr):
                m[k] = v
            out["insert"] = (time.perf_counter_ns() - t0) / n
        c = m
    out.update(meter.figures(n))
    resolve(out, n, build)
    if name in OURS.values():
        out["mem_used_bpk"] = c.mem_used() / n
    if len(c) != n:
        raise SystemExit(f"{name}: {len(c)} keys after inserting {n}")

    keys = np.frombuffer(karr, dtype=np.uint64)
    drawn = probe_indices(np, n, q)
    present = keys[drawn].tolist()
    points = probe_points(np, keys, q).tolist()
    indices = (_splitmix(np, 13, 0, q) % np.uint64(n)).tolist()

    # The same lookups twice: with new int objects made in probe order (keys
    # that come from outside: parsed, computed, received), and with the
    # caller's own key objects, those the container was built from, in the
    # same (random) order.
    own = own_key_objects(c, karr)
    own_probes = [own[i] for i in drawn.tolist()]
    del own
    op = "in" if family == "set" else "getitem"
    lookup = make_loop("a in s" if family == "set" else "s[a]", {"s": c})
    out[op] = best_ns(lambda: lookup(present), q, repeat)
    out[op + "_own"] = best_ns(lambda: lookup(own_probes), q, repeat)
    own_probes.clear()
    queries = _set_queries(name, s, n) if family == "set" else _map_queries(name, m, n)
    _run_queries(queries, {"next_after": points, "count_below": points, "by_count": indices}, q, repeat, out)
    if name in OURS.values():
        # The floor under every one-argument method row: the same loop
        # calling a C method that does no work ({}.get on an empty dict).
        floor = make_loop("nop(a)", {"nop": {}.get})
        out["call_floor"] = best_ns(lambda: floor(points), q, repeat)

    if family == "set":

        def iterate():
            for _ in s:
                pass
    else:
        items = m.items

        def iterate():
            for _k, _v in items():
                pass

    out["iterate"] = best_ns(iterate, n, repeat)

    gone = np.unique(probe_keys(np, keys, min(q, n), seed=17))
    gone = gone[np.argsort(_splitmix(np, 19, 0, len(gone)))].tolist()
    if family == "set":
        rm = s.remove if name != "BitMap64" else s.discard
        t0 = time.perf_counter_ns()
        for k in gone:
            rm(k)
    else:
        t0 = time.perf_counter_ns()
        for k in gone:
            del m[k]
    out["remove"] = (time.perf_counter_ns() - t0) / len(gone)
    if len(c) != n - len(gone):
        raise SystemExit(f"{name}: {len(c)} keys after removing {len(gone)} of {n}")
    return out


def _np_first_mask(np, s):
    """True at the first of every run of equal values of the sorted array s."""
    keep = np.empty(len(s), dtype=bool)
    if len(s):
        keep[0] = True
        np.not_equal(s[1:], s[:-1], out=keep[1:])
    return keep


def _np_sorted_unique(np, a):
    """The sorted distinct values of a: np.sort and one comparison pass
    (in numpy 2.x, np.unique takes a hash-based path that is far slower)."""
    s = np.sort(a)
    return s[_np_first_mask(np, s)]


def _bulk_build_set(np, name, buf):
    if name == "CorvaleSet":
        from corvale_trie._corvale import CorvaleSet

        s = CorvaleSet()
        s.insert_many(buf)
        return s
    if name == "numpy":
        return _np_sorted_unique(np, np.frombuffer(buf, dtype=np.uint64))
    if name == "np.unique":
        return np.unique(np.frombuffer(buf, dtype=np.uint64))
    if name == "BitMap64":
        from pyroaring import BitMap64

        return BitMap64(array.array("Q", buf))
    lst = np.frombuffer(buf, dtype=np.uint64).tolist()
    if name == "set":
        return set(lst)
    if name == "SortedSet":
        from sortedcontainers import SortedSet

        return SortedSet(lst)
    if name == "QQTreeSet":
        from BTrees.QQBTree import QQTreeSet

        return QQTreeSet(lst)
    raise ValueError(name)


def _bulk_build_map(np, name, kbuf, vbuf):
    if name == "CorvaleMap":
        from corvale_trie._corvale import CorvaleMap

        m = CorvaleMap()
        m.insert_many(kbuf, vbuf)
        return m
    ka = np.frombuffer(kbuf, dtype=np.uint64)
    va = np.frombuffer(vbuf, dtype=np.uint64)
    if name == "numpy":
        order = np.argsort(ka, kind="stable")
        sk = ka[order]
        keep = _np_first_mask(np, sk)
        return sk[keep], va[order][keep]
    if name == "np.unique":
        uk, first = np.unique(ka, return_index=True)
        return uk, va[first]
    pairs = zip(ka.tolist(), va.tolist())
    if name == "dict":
        return dict(pairs)
    if name == "SortedDict":
        from sortedcontainers import SortedDict

        return SortedDict(pairs)
    if name == "QQBTree":
        from BTrees.QQBTree import QQBTree

        return QQBTree(dict(pairs))
    raise ValueError(name)


def worker_bulk(job):
    """Bulk build from a packed buffer and one batch lookup, on n keys."""
    import numpy as np

    family, name, n = job["family"], job["name"], job["n"]
    q, repeat = job["queries"], job["repeat"]
    kbuf = _read_buffer(job["keys"], n)
    vbuf = _read_buffer(job["values"], n) if family == "map" else None
    small_k, small_v = kbuf[: 8 * WARMUP], (vbuf[: 8 * WARMUP] if vbuf else None)
    if family == "set":
        _warm_up(lambda: _bulk_build_set(np, name, small_k))
    else:
        _warm_up(lambda: _bulk_build_map(np, name, small_k, small_v))
    out = {}
    with Meter() as meter:
        t0 = time.perf_counter_ns()
        c = _bulk_build_set(np, name, kbuf) if family == "set" else _bulk_build_map(np, name, kbuf, vbuf)
        out["insert_many"] = (time.perf_counter_ns() - t0) / n
    out.update(meter.figures(n))
    resolve(out, n, lambda: _bulk_build_set(np, name, kbuf) if family == "set" else _bulk_build_map(np, name, kbuf, vbuf))
    if name in OURS.values():
        out["mem_used_bpk"] = c.mem_used() / n

    if name == "np.unique":  # the same lookups as the numpy row
        return out
    probes = probe_keys(np, np.frombuffer(kbuf, dtype=np.uint64), q)
    if name == "numpy":
        qa = probes  # numpy's own form: a uint64 array
        if family == "set":
            sk = c

            def batch():
                i = np.searchsorted(sk, qa)
                np.minimum(i, len(sk) - 1, out=i)
                return sk[i] == qa
        else:
            sk, sv = c

            def batch():
                i = np.searchsorted(sk, qa)
                np.minimum(i, len(sk) - 1, out=i)
                return np.where(sk[i] == qa, sv[i], 0)
    else:
        ql = probes.tolist()  # the other containers take a list of ints
        if name == "CorvaleSet":
            cb = c.contains_batch

            def batch():
                return cb(ql)
        elif name == "CorvaleMap":
            gb = c.get_batch

            def batch():
                return gb(ql)
        else:
            look = c.__contains__ if family == "set" else c.get

            def batch():
                return list(map(look, ql))

    out["batch"] = best_ns(batch, q, repeat)
    return out


def worker_main(job_text):
    job = json.loads(job_text)
    fn = worker_point if job["kind"] == "point" else worker_bulk
    res = fn(job)
    print(json.dumps(res))


# ------------------------------------------------------------------ parent


def run_jobs(jobs, env, verbose):
    results = {}
    for i, job in enumerate(jobs, 1):
        label = f"{job['kind']}/{job['family']}/{job['name']}/{job['dist']}/{job['n']}"
        t0 = time.time()
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)],
            capture_output=True,
            text=True,
            env=env,
        )
        took = time.time() - t0
        if proc.returncode != 0:
            print(f"[{i}/{len(jobs)}] {label}: FAILED ({took:.1f}s)\n{proc.stderr.strip()[-2000:]}", file=sys.stderr)
            continue
        res = json.loads(proc.stdout.strip().splitlines()[-1])
        results[(job["kind"], job["family"], job["name"], job["dist"], job["n"])] = res
        if verbose:
            print(f"[{i}/{len(jobs)}] {label}: {took:.1f}s", file=sys.stderr)
    return results


def fmt_ns(v):
    if v is None:
        return "n/a"
    if v >= 100_000:
        return f"{v / 1000:,.0f} us"
    if v >= 100:
        return f"{v:,.0f}"
    return f"{v:.1f}"


def fmt_ratio(r):
    if r < 0.1:
        return f"{r:.2g}"
    if r >= 100:
        return f"{r:,.0f}"
    if r >= 10:
        return f"{r:.1f}"
    return f"{r:.2f}"


def table(title, note, header, rows):
    lines = [f"### {title}", ""]
    if note:
        lines += [note, ""]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
    for r in rows:
        lines.append("| " + " | ".join(r) + " |")
    lines.append("")
    return "\n".join(lines)


def op_table(results, kind, family, names, n, op, title, note, floor=False):
    """Rows: containers; columns: distributions; a peer's cell carries ours/peer.

    floor adds the row of the bare loop with an empty one-argument C call,
    measured in our worker: the part of every row that no container can
    remove.
    """
    ours = OURS[family]
    rows = []
    for name in names:
        row = [name if name != ours else f"**{name}**"]
        any_val = False
        for d in DISTS:
            r = results.get((kind, family, name, d, n), {})
            v = r.get(op)
            if v is None:
                row.append("n/a")
                continue
            any_val = True
            mine = results.get((kind, family, ours, d, n), {}).get(op)
            if name == ours or mine is None:
                row.append(fmt_ns(v))
            else:
                row.append(f"{fmt_ns(v)} ({fmt_ratio(mine / v)}x)")
        if any_val:
            rows.append(row)
    if rows and floor:
        row = ["(loop + empty C call)"]
        for d in DISTS:
            v = results.get((kind, family, ours, d, n), {}).get("call_floor")
            row.append(fmt_ns(v))
        rows.append(row)
    if not rows:
        return ""
    return table(title, note, ["ns/key"] + DISTS, rows)


def mem_table(results, kind, family, names, n, title):
    ours = OURS[family]
    rows = []
    for name in names:
        if not any((kind, family, name, d, n) in results for d in DISTS):
            continue
        row = [name if name != ours else f"**{name}**"]
        for d in DISTS:
            r = results.get((kind, family, name, d, n))
            if r is None:
                row.append("n/a")
                continue
            mine = results.get((kind, family, ours, d, n), {}).get("rss_bpk")
            cell = f"{r['rss_bpk']:.2f}" if r["rss_bpk"] < 1 else f"{r['rss_bpk']:.1f}"
            if "peak_bpk" in r:
                cell += f" / {r['peak_bpk']:.2f}" if r["peak_bpk"] < 1 else f" / {r['peak_bpk']:.0f}"
            if name == ours:
                cell += f" [mem_used {r['mem_used_bpk']:.2f}]" + below_mem_used(r)
            elif mine is not None and mine > 0:
                cell += f" ({fmt_ratio(r['rss_bpk'] / mine)}x ours)"
            row.append(cell)
        rows.append(row)
    note = (
        "Bytes per key: resident-set growth while the container is built / peak growth during the build;"
        " ours also shows its `mem_used()` counter; (Nx ours) = the peer's steady growth over ours."
        " Steady growth is read after `malloc_trim(0)`; where one container grows the resident set by less than"
        " 1 MiB, it is read again over new builds held together until they grow it by 1 MiB (at most 64 builds),"
        " and the mean is given (the peak: from the first build alone)."
    )
    return table(title, note, ["bytes/key"] + DISTS, rows)


def below_mem_used(r):
    """A mark on our resident figure where it fell below our own mem_used(),
    which no reading that resolves can do."""
    if "mem_used_bpk" in r and r["rss_bpk"] < r["mem_used_bpk"]:
        return " **below mem_used: the reading did not resolve**"
    return ""


def human(n):
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else (f"{n // 1000}k" if n % 1000 == 0 else str(n))


def report(results, n, bulk_n, engine_rows):
    out = []
    N, B = human(n), human(bulk_n)
    ratio_note = "(x) = ours / peer time, below 1 we are faster."
    point_ops = [
        ("insert", "insert one key at a time", "`for k in keys: s.add(k)` / `m[k] = v`"),
        ("in", "`k in s`", "present keys in random order, new int objects made in probe order"),
        ("in_own", "`k in s`, the caller's own key objects", "the same keys, probed with the int objects the container was built from (those it holds, where it holds them)"),
        ("getitem", "`m[k]`", "present keys in random order, new int objects made in probe order"),
        ("getitem_own", "`m[k]`, the caller's own key objects", "the same keys, probed with the int objects the map was built from (those it holds, where it holds them)"),
        ("next_after", "next_after / successor", "SortedSet/SortedDict: bisect_right + index; QQTree*: minKey(k+1); BitMap64: next_set_bit(k+1); targets uniform in [min, max]"),
        ("count_below", "count_below / rank", "SortedSet: bisect_left; BitMap64: rank(k-1), linear in its containers; QQTree*: len(keys(max=k, excludemax=True)), linear in k"),
        ("by_count", "by_count / select", "SortedSet: s[i]; BitMap64: b[i], linear in its containers; QQTree*: keys()[i], linear in i"),
        ("iterate", "iteration", "`for k in s` / `for k, v in m.items()`"),
        ("remove", "removal", "distinct present keys in random order"),
    ]
    for family, names in (("set", SET_POINT), ("map", MAP_POINT)):
        out.append(f"## {OURS[family]}, {N} keys\n")
        for op, what, how in point_ops:
            t = op_table(
                results, "point", family, names, n, op, f"{what} ({N} keys)", f"{how}. {ratio_note}",
                floor=op in ("next_after", "count_below", "by_count"),
            )
            if t:
                out.append(t)
        out.append(mem_table(results, "point", family, names, n, f"memory, built one key at a time ({N} keys)"))
    for family, names in (("set", SET_BULK), ("map", MAP_BULK)):
        out.append(f"## {OURS[family]}, bulk rows, {B} keys\n")
        how = (
            "from a packed native-endian uint64 buffer: ours `insert_many(buf)`; numpy `np.sort` + one"
            " comparison pass (np.unique: numpy's own, hash-based in numpy 2.x); "
            "BitMap64 from `array('Q', buf)`; the others from `np.frombuffer(buf).tolist()`"
        )
        out.append(op_table(results, "bulk", family, names, bulk_n, "insert_many", f"insert_many from a packed buffer ({B} keys)", f"{how}. {ratio_note}"))
        how = (
            "present keys; ours `contains_batch(list)` / `get_batch(list)`; numpy `np.searchsorted` on a uint64 array of the"
            " queries; the others `list(map(c.__contains__ / c.get, list))`"
        )
        out.append(op_table(results, "bulk", family, names, bulk_n, "batch", f"contains_batch / get_batch ({B} keys)", f"{how}. {ratio_note}"))
        out.append(mem_table(results, "bulk", family, names, bulk_n, f"memory, bulk built ({B} keys)"))
    if engine_rows:
        out.append(engine_rows)
    return "\n".join(out)


def summary(results, n, bulk_n):
    """One compact table of CorvaleSet: a row per operation, our ns/key and
    in brackets our time as a fraction of each listed peer's."""
    N, B = human(n), human(bulk_n)
    point_peers = ["set", "SortedSet", "QQTreeSet", "BitMap64"]
    bulk_peers = ["numpy", "set", "BitMap64"]
    row_defs = [
        ("insert one at a time", "point", n, "insert", point_peers),
        ("`k in s`, new key objects", "point", n, "in", point_peers),
        ("`k in s`, the caller's own key objects", "point", n, "in_own", point_peers),
        ("next_after", "point", n, "next_after", ["SortedSet", "QQTreeSet", "BitMap64"]),
        ("count_below", "point", n, "count_below", ["SortedSet", "QQTreeSet", "BitMap64"]),
        ("by_count", "point", n, "by_count", ["SortedSet", "QQTreeSet", "BitMap64"]),
        ("iteration", "point", n, "iterate", point_peers),
        ("removal", "point", n, "remove", point_peers),
        (f"insert_many, packed ({B})", "bulk", bulk_n, "insert_many", bulk_peers),
        (f"contains_batch ({B})", "bulk", bulk_n, "batch", bulk_peers),
    ]
    rows = []
    for label, kind, nn, op, peers in row_defs:
        row = [label, " / ".join(peers)]
        for d in DISTS:
            mine = results.get((kind, "set", "CorvaleSet", d, nn), {}).get(op)
            if mine is None:
                row.append("n/a")
                continue
            rs = []
            for p in peers:
                v = results.get((kind, "set", p, d, nn), {}).get(op)
                rs.append(fmt_ratio(mine / v) if v else "-")
            row.append(f"{fmt_ns(mine)} ({' / '.join(rs)})")
        rows.append(row)
    peers = point_peers
    row = ["bytes/key, RSS growth", " / ".join(peers)]
    for d in DISTS:
        r = results.get(("point", "set", "CorvaleSet", d, n))
        if r is None:
            row.append("n/a")
            continue
        mine = max(r["rss_bpk"], 1e-9)
        rs = []
        for p in peers:
            v = results.get(("point", "set", p, d, n), {}).get("rss_bpk")
            rs.append(fmt_ratio(v / mine) + "x" if v is not None else "-")
        row.append(f"{r['rss_bpk']:.2f} ({' / '.join(rs)}){below_mem_used(r)}")
    rows.append(row)
    note = (
        f"CorvaleSet, {N} keys ({B} for the bulk rows). Time rows: ns per key, and in brackets our time"
        " divided by each listed peer's (below 1: we are faster). Memory row: bytes per key of resident-set"
        " growth, and in brackets each peer's figure divided by ours (above 1: we use less). numpy is a sorted"
        " uint64 array (np.sort + dedupe to build, np.searchsorted to look up)."
    )
    return table("Summary", note, ["operation", "peers", *DISTS], rows)


def targets(results, n, bulk_n, engine):
    """Each target of the benchmark with its measured ratio in this run."""
    rows = []

    def get(kind, family, name, d, nn, op):
        return results.get((kind, family, name, d, nn), {}).get(op)

    def ratio_row(label, d, mine, peer, limit, faster=False):
        if mine is None or peer is None:
            rows.append([label, d, "n/a", "missing data"])
            return
        if faster:  # peer time / ours >= limit
            r = peer / mine
            ok = r >= limit
            rows.append([label, d, f"{r:.2f}x faster (>= {limit}x)", "met" if ok else "MISSED"])
        else:  # ours / peer <= limit
            r = mine / peer
            ok = r <= limit
            rows.append([label, d, f"{r:.2f}x (<= {limit}x)", "met" if ok else "MISSED"])

    for d in DISTS:
        lim = 1.2 if d in ("dense", "clustered") else 2.0
        ratio_row("`in` vs set", d, get("point", "set", "CorvaleSet", d, n, "in"), get("point", "set", "set", d, n, "in"), lim)
    for d in DISTS:
        mine = get("point", "set", "CorvaleSet", d, n, "next_after")
        ratio_row("next_after vs QQTreeSet.minKey", d, mine, get("point", "set", "QQTreeSet", d, n, "next_after"), 4, True)
        ratio_row("next_after vs SortedSet bisect+index", d, mine, get("point", "set", "SortedSet", d, n, "next_after"), 15, True)
    for d in DISTS:
        lim = 1.3 if d in ("dense", "clustered") else 2.0
        ratio_row("insert one at a time vs set.add", d, get("point", "set", "CorvaleSet", d, n, "insert"), get("point", "set", "set", d, n, "insert"), lim)
    for d in DISTS:
        lim = 2.0 if d == "uniform" else 1.0
        mine = get("bulk", "set", "CorvaleSet", d, bulk_n, "insert_many")
        ratio_row("insert_many (packed) vs np.unique", d, mine, get("bulk", "set", "np.unique", d, bulk_n, "insert_many"), lim)
        ratio_row("insert_many (packed) vs np.sort + dedupe", d, mine, get("bulk", "set", "numpy", d, bulk_n, "insert_many"), lim)
        ratio_row("contains_batch vs np.searchsorted", d, get("bulk", "set", "CorvaleSet", d, bulk_n, "batch"), get("bulk", "set", "numpy", d, bulk_n, "batch"), lim)
    for d in ("dense", "clustered"):
        mine = get("point", "set", "CorvaleSet", d, n, "rss_bpk")
        for peer in ("set", "SortedSet", "QQTreeSet"):
            p = get("point", "set", peer, d, n, "rss_bpk")
            if mine is None or p is None:
                rows.append([f"memory vs {peer}", d, "n/a", "missing data"])
                continue
            r = p / max(mine, 1e-9)
            bm = get("point", "set", "BitMap64", d, n, "rss_bpk")
            extra = f"; ours {mine:.2f} B/key, BitMap64 {bm:.2f}" if bm is not None else ""
            rows.append([f"memory vs {peer}", d, f"{r:,.0f}x fewer B/key (>= 10x){extra}", "met" if r >= 10 else "MISSED"])
    for op in ("find", "successor"):
        for d in ("dense", "clustered"):
            e = engine.get((op, "set", d))
            if e is None:
                continue
            mine, absl = e.get("corvale"), e.get("absl")
            ratio_row(f"engine {op} vs absl::btree_set ({human(e['n'])})", d, mine, absl, 1.0)
    return table("Targets", "Ratios measured in this run (a benchmark, not a test).", ["target", "distribution", "measured", ""], rows)


# ------------------------------------------------------------------ engine


def tools_path():
    """PATH with this interpreter's scripts directory first, so that the cmake
    and ninja of bench/requirements.txt are found in a virtual environment
    that was not activated (`.venv/bin/python bench/run.py --engine`)."""
    return os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")])


def run_engine(root, quick, env):
    """Builds bench/engine_bench (Release) and runs it; returns (markdown, figures)."""
    build = os.path.join(root, "build", "engine-bench")
    cmake = shutil.which("cmake", path=env["PATH"])
    cfg = [cmake, "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DCORVALE_BUILD_BENCH=ON"]
    if shutil.which("ninja", path=env["PATH"]):
        cfg += ["-G", "Ninja"]
    subprocess.run(cfg, check=True, stdout=subprocess.DEVNULL, env=env)
    subprocess.run([cmake, "--build", build, "-j", str(os.cpu_count() or 4), "--target", "engine_bench"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    exe = os.path.join(build, "bench", "engine_bench")
    # The set and map families only: the concurrent lookups (family sync)
    # have their own report (bench/sync_bench.py, engine_bench --family=sync).
    benchmarks = []
    for family in ("set", "map"):
        args = [exe, "--benchmark_format=json", "--benchmark_min_time=0.2", f"--family={family}"]
        if quick:
            args.append("--quick")
        proc = subprocess.run(args, check=True, capture_output=True, text=True, env=env)
        benchmarks += json.loads(proc.stdout)["benchmarks"]
    cells = {}  # (op, family, dist, n) -> {adapter: ns/key, "bpk_"+adapter: bytes/key}
    for b in benchmarks:
        if b.get("error_occurred"):
            continue
        parts = b["name"].split("/")
        op, family, adapter, dist, n = parts[0], parts[1], parts[2], parts[3], int(parts[4])
        unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        ns = b["real_time"] * unit / b["keys"]
        c = cells.setdefault((op, family, dist, n), {})
        c[adapter] = ns
        if "bytes_per_key" in b:
            c["bpk_" + adapter] = b["bytes_per_key"]
    sizes = sorted({k[3] for k in cells})
    out = []
    figures = {}
    for family in ("set", "map"):
        peers = ("std", "absl")
        for op in ("insert", "find", "successor", "iterate"):
            rows = []
            for n in sizes:
                for d in DISTS:
                    c = cells.get((op, family, d, n))
                    if not c or "corvale" not in c:
                        continue
                    row = [f"{d} {human(n)}", f"{c['corvale']:.1f}"]
                    for p in peers:
                        row.append(f"{c[p]:.1f} ({fmt_ratio(c['corvale'] / c[p])}x)" if p in c else "n/a")
                    rows.append(row)
                    if family == "set" and n == max(sizes):
                        figures[(op, family, d)] = {"corvale": c["corvale"], "absl": c.get("absl"), "n": n}
            if rows:
                out.append(table(f"engine {family} {op}", "ns per key; (x) = corvale / peer time.", ["keys", "corvale", f"std::{family}", f"absl::btree_{family}"], rows))
        rows = []
        for n in sizes:
            for d in DISTS:
                c = cells.get(("insert", family, d, n))
                if not c or "bpk_corvale" not in c:
                    continue
                row = [f"{d} {human(n)}", f"{c['bpk_corvale']:.2f}"]
                for p in peers:
                    v = c.get("bpk_" + p)
                    row.append(f"{v:.1f} ({fmt_ratio(v / max(c['bpk_corvale'], 1e-9))}x ours)" if v is not None else "n/a")
                rows.append(row)
        if rows:
            out.append(table(f"engine {family} bytes per key", "corvale: mem_used(); peers: malloc'd bytes (usable size + header) through a counting allocator.", ["keys", "corvale", f"std::{family}", f"absl::btree_{family}"], rows))
    return "## Engine (C++, Google Benchmark)\n\n" + "\n".join(out), figures


# -------------------------------------------------------------------- main


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", help="small sizes (100k keys, 300k bulk) for a fast check")
    ap.add_argument("--n", type=int, help="keys for the point rows (default 1000000)")
    ap.add_argument("--bulk-n", type=int, help="keys for the bulk rows (default 10000000)")
    ap.add_argument("--queries", type=int, help="probes per query row (default 200000)")
    ap.add_argument("--repeat", type=int, default=3, help="repeats of each query loop, best taken (default 3)")
    ap.add_argument("--dists", default="dense,clustered,uniform,u32", help="comma-separated distributions")
    ap.add_argument("--only", help="comma-separated container names to run (e.g. CorvaleSet,set)")
    ap.add_argument("--skip-point", action="store_true", help="skip the point rows")
    ap.add_argument("--skip-bulk", action="store_true", help="skip the bulk rows")
    ap.add_argument("--engine", action="store_true", help="also build and run the C++ engine benchmarks")
    ap.add_argument("--markdown", help="also write the report to this file")
    ap.add_argument("--json", help="also write the raw results to this file")
    ap.add_argument("-v", "--verbose", action="store_true", help="print each job as it finishes")
    a = ap.parse_args()
    global DISTS
    if a.worker:
        worker_main(a.worker)
        return

    n = a.n or (100_000 if a.quick else 1_000_000)
    bulk_n = a.bulk_n or (300_000 if a.quick else 10_000_000)
    q = a.queries or (50_000 if a.quick else 200_000)
    bulk_q = min(bulk_n, 1_000_000)
    dists = [d for d in a.dists.split(",") if d]
    only = set(a.only.split(",")) if a.only else None
    DISTS = dists

    import importlib.util

    have = {m: importlib.util.find_spec(m) is not None for m in ("sortedcontainers", "BTrees", "pyroaring", "numpy")}
    if not have["numpy"]:
        raise SystemExit("numpy is required (pip install -r bench/requirements.txt)")
    if importlib.util.find_spec("corvale_trie") is None:
        raise SystemExit("corvale_trie is not installed (python3 -m pip install .)")
    needs = {"SortedSet": "sortedcontainers", "SortedDict": "sortedcontainers", "QQTreeSet": "BTrees", "QQBTree": "BTrees", "BitMap64": "pyroaring"}

    def usable(name):
        return (only is None or name in only) and have.get(needs.get(name, "numpy"), True)

    jobs = []
    if not a.skip_point:
        for family, names in (("set", SET_POINT), ("map", MAP_POINT)):
            for d in dists:
                for name in names:
                    if usable(name):
                        jobs.append({"kind": "point", "family": family, "name": name, "dist": d, "n": n, "queries": q, "repeat": a.repeat})
    if not a.skip_bulk:
        for family, names in (("set", SET_BULK), ("map", MAP_BULK)):
            for d in dists:
                for name in names:
                    if usable(name):
                        jobs.append({"kind": "bulk", "family": family, "name": name, "dist": d, "n": bulk_n, "queries": bulk_q, "repeat": a.repeat})

    import numpy as np
    import tempfile

    env = dict(os.environ)
    if a.engine:
        # Checked before the Python rows run, not after them.
        env["PATH"] = tools_path()
        if not shutil.which("cmake", path=env["PATH"]):
            raise SystemExit("--engine needs cmake (python3 -m pip install -r bench/requirements.txt)")
    # numpy's BLAS threads would spin beside the timed loops; nothing here uses them.
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.setdefault(var, "1")
    t0 = time.time()
    tmp = tempfile.mkdtemp(prefix="corvale-bench-")
    try:
        # Key files, made once per distribution and size: a worker reads its
        # keys straight into one array, so no temporaries of the generator
        # are freed in it before it measures its memory.
        for d in dists:
            for nn in sorted({j["n"] for j in jobs if j["dist"] == d}):
                keys = make_keys(np, d, nn)
                kpath = os.path.join(tmp, f"{d}-{nn}.keys")
                vpath = os.path.join(tmp, f"{d}-{nn}.values")
                keys.tofile(kpath)
                (keys ^ np.uint64(SALT)).tofile(vpath)
                del keys
                for j in jobs:
                    if j["dist"] == d and j["n"] == nn:
                        j["keys"], j["values"] = kpath, vpath
        results = run_jobs(jobs, env, a.verbose)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    engine_md, engine_fig = "", {}
    if a.engine:
        engine_md, engine_fig = run_engine(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), a.quick, env)
    took = time.time() - t0

    head = [
        "# corvale_trie benchmarks",
        "",
        f"Command: `python3 bench/run.py{' ' + ' '.join(sys.argv[1:]) if sys.argv[1:] else ''}` "
        f"({len(jobs)} child processes, {took / 60:.1f} min).",
        f"Machine: {machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}, "
        f"load average at the end {os.getloadavg()[0]:.1f}.",
        "",
    ]
    body = report(results, n, bulk_n, engine_md)
    tgt = targets(results, n, bulk_n, engine_fig)
    summ = summary(results, n, bulk_n)
    text = "\n".join(head) + "\n" + summ + "\n" + tgt + "\n" + body
    print(text)
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write(text + "\n")
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"|".join(map(str, k)): v for k, v in results.items()}, f, indent=1)


if __name__ == "__main__":
    main()
