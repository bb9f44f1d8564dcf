#!/usr/bin/env python3
"""CorvaleBytesMap against dict with bytes keys.

    python3 bench/bytesmap_bench.py            # 1M keys of each kind
    python3 bench/bytesmap_bench.py --n 100000 # smaller

Key kinds: random bytes of 8, 16 and 64 bytes, and URL-like keys (scheme,
one of 2000 hosts, two to four path words, a numeric id and sometimes a
query; 40 to 90 bytes). Every container runs in a fresh child process.

Keys are handed to every loop as fresh bytes objects, sliced out of one
packed blob just before the timed loop: no key carries a cached hash, as
keys that arrive from files, sockets or parsers do not (a dict pays its own
hash of each key once, we pay ours on every call). Timings are nanoseconds
per key, best of three runs of a plain loop (``for k in q: m[k] = v``).

Memory is the growth of the resident set while the container is built from
the blob, divided by the key count: a dict keeps the bytes object of each
key and the int object of each value (values are 0..n-1), so both count;
our map keeps copies of the bytes in its buckets and creates no object per
entry. Our own ``mem_used()`` per key is printed beside it.
"""

from __future__ import annotations

import argparse
import gc
import json
import random
import subprocess
import sys
import time

from resident import resident_bytes

KINDS = ["8B", "16B", "64B", "url"]
NAMES = ["CorvaleBytesMap", "dict"]
OPS = ["insert", "get hit", "get miss", "removal", "iteration"]
WORDS = ("api v1 v2 users items search static img css js docs blog news shop cart "
         "product category account login assets media feed tags archive").split()


def make_blob(kind, n, seed):
    """n distinct keys of one kind, packed: (blob, offsets)."""
    rng = random.Random(seed)
    if kind.endswith("B"):
        width = int(kind[:-1])
        blob = rng.randbytes(n * width)
        return blob, list(range(0, n * width + 1, width))
    # Unique by construction (the id is a distinct number per key), written
    # straight into one buffer: no garbage of a million objects is left
    # behind to be reused by the build that is measured next.
    out, offsets = bytearray(), [0]
    start = rng.randrange(10**8)  # i -> (start + i * 48271) mod 10**8 is one-to-one
    for i in range(n):
        host = f"www.site{rng.randrange(2000)}.{rng.choice(('com', 'org', 'net', 'io'))}"
        path = "/".join(rng.choice(WORDS) for _ in range(rng.randint(2, 4)))
        query = f"?page={rng.randrange(100)}" if rng.random() < 0.3 else ""
        out += f"https://{host}/{path}/{(start + i * 48271) % 10**8}{query}".encode()
        offsets.append(len(out))
    return bytes(out), offsets


def fresh_keys(blob, offsets, order=None):
    idx = range(len(offsets) - 1) if order is None else order
    return [blob[offsets[i]:offsets[i + 1]] for i in idx]


def best_ns(prepare, loop, count, repeat=3):
    best = None
    for _ in range(repeat):
        args = prepare()
        gc.collect()
        t0 = time.perf_counter_ns()
        loop(*args)
        dt = time.perf_counter_ns() - t0
        best = dt if best is None else min(best, dt)
    return best / count


def make(name):
    if name == "dict":
        return {}
    from corvale_trie._corvale import CorvaleBytesMap

    return CorvaleBytesMap()


def fill(c, keys):
    for v, k in enumerate(keys):
        c[k] = v


def worker(job):
    name, kind, n = job["name"], job["kind"], job["n"]
    blob, offsets = make_blob(kind, n, seed=1234)
    out = {"name": name, "kind": kind, "n": n, "key_bytes": len(blob) / n}

    # Memory: the build from the blob, every key sliced as it goes.
    before = resident_bytes()
    c = make(name)
    for v in range(n):
        c[blob[offsets[v]:offsets[v + 1]]] = v
    out["rss_bpk"] = (resident_bytes() - before) / n
    if name != "dict":
        out["mem_used_bpk"] = c.mem_used() / n
    assert len(c) == n

    miss_blob, miss_offsets = make_blob(kind, n, seed=98765)  # other ids: absent keys
    order = list(range(n))
    random.Random(5).shuffle(order)
    out["insert"] = best_ns(lambda: (make(name), fresh_keys(blob, offsets)), fill, n)

    def hit(c, q):
        for k in q:
            c[k]

    def miss(c, q):
        get = c.get
        for k in q:
            get(k)

    def removal(c, q):
        for k in q:
            del c[k]

    def iteration(c):
        for k in c:
            pass

    out["get hit"] = best_ns(lambda: (c, fresh_keys(blob, offsets, order)), hit, n)
    out["get miss"] = best_ns(lambda: (c, fresh_keys(miss_blob, miss_offsets)), miss, n)
    out["iteration"] = best_ns(lambda: (c,), iteration, n)

    def filled():
        d = make(name)
        fill(d, fresh_keys(blob, offsets))
        return d, fresh_keys(blob, offsets, order)

    out["removal"] = best_ns(filled, removal, n)
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(json.loads(args.worker))
        return
    res = {}
    for kind in KINDS:
        for name in NAMES:
            job = json.dumps({"name": name, "kind": kind, "n": args.n})
            line = subprocess.run([sys.executable, __file__, "--worker", job], check=True,
                                  capture_output=True, text=True).stdout.strip().splitlines()[-1]
            res[(name, kind)] = json.loads(line)
            print(f"  done: {name} {kind}", file=sys.stderr)
    print(f"CorvaleBytesMap vs dict, {args.n:,} keys; ns per key (ours / dict in brackets, "
          "below 1: we are faster)\n")
    print("| operation | " + " | ".join(f"{k} keys" for k in KINDS) + " |")
    print("|---|" + "---:|" * len(KINDS))
    for op in OPS:
        cells = []
        for kind in KINDS:
            ours, peer = res[("CorvaleBytesMap", kind)][op], res[("dict", kind)][op]
            cells.append(f"{ours:.0f} / {peer:.0f} ({ours / peer:.2f})")
        print(f"| {op} | " + " | ".join(cells) + " |")
    cells = []
    for kind in KINDS:
        ours, peer = res[("CorvaleBytesMap", kind)], res[("dict", kind)]
        cells.append(f"{ours['rss_bpk']:.1f} / {peer['rss_bpk']:.1f} (dict {peer['rss_bpk'] / ours['rss_bpk']:.2f}x)")
    print("| bytes/key, RSS growth | " + " | ".join(cells) + " |")
    cells = []
    for kind in KINDS:
        ours = res[("CorvaleBytesMap", kind)]
        cells.append(f"{ours['mem_used_bpk']:.1f} (RSS {ours['rss_bpk'] / ours['mem_used_bpk']:.2f}x)")
    print("| our mem_used/key | " + " | ".join(cells) + " |")
    print("| mean key length | " + " | ".join(f"{res[('dict', k)]['key_bytes']:.1f}" for k in KINDS) + " |")


if __name__ == "__main__":
    main()
