#!/usr/bin/env python3
"""Resident memory before and after clear(), and after malloc_trim(0).

    python3 bench/clear_memory.py                 # 5M keys, every case, 3 runs
    python3 bench/clear_memory.py --n 1000000 --runs 1

Each case runs in a fresh child process with the C library's default
settings (no mallopt, unlike the other scripts' workers), as a user's
process has them. The process's resident set is read from /proc/self/statm
before the build, after it, after clear() (or after the last key was
removed), and once more after ``ctypes.CDLL(None).malloc_trim(0)``; every
figure is the growth over the reading before the build, in MB.

Cases: the plain script below (PLAIN_SCRIPT: a CorvaleSet built key by key
at the top level of a script, which prints its readings as it goes); a
CorvaleSet or CorvaleMap built key by key from uniform random
64-bit keys, or by insert_many from a packed buffer; a CorvaleSet built
key by key from a list of the keys made beforehand and kept, and one
built key by key after which the process makes a dict of 1,000 strings; SyncCorvaleSet and
SyncCorvaleMap built by insert_many; a set of 3/5 as many keys built key
by key whose keys are then removed one at a time; a CorvaleStrMap of
16-character hex ids, a CorvaleBytesMap of random 16-byte keys and a
CorvaleBlobMap of 100-byte payloads, built key by key; and a SyncCorvaleMap
cleared while two threads look keys up, read after the readers stopped,
after a removal of an absent key and after the first write (``m[1] = 1``).
"""

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident import machine, raw_resident_bytes as rss, trim  # noqa: E402
from sync_clear import looking_up  # noqa: E402

# What a user who checks the claim writes first. Whether a cleared set's
# memory goes back without a trim turns on where the small blocks the
# process allocates after the build land in the heap: in scripts like this
# one, a line more or less (a gc.collect() before the build, a
# random.Random instance for the keys) changes the outcome.
PLAIN_SCRIPT = """
import ctypes, json, random
from corvale_trie import CorvaleSet

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

base = rss()
s = CorvaleSet()
for _ in range(KEYS):
    s.add(random.getrandbits(64))
built = rss()
print("built", (built - base) / 1e6)
s.clear()
cleared = rss()
print("cleared", (cleared - base) / 1e6)
ctypes.CDLL(None).malloc_trim(0)
mb = lambda x: round((x - base) / 1e6, 1)
print(json.dumps({"case": "plain-script", "n": KEYS, "built": mb(built), "cleared": mb(cleared), "trimmed": mb(rss())}))
"""

CASES = ["plain-script", "set-add", "set-add-from-list", "set-add-then-dict", "set-bulk", "map-add", "map-bulk", "sync-set-bulk",
         "sync-map-bulk", "set-remove-all", "sync-map-readers", "strmap-add", "bytesmap-add", "blobmap-add"]


def worker(case, n):
    import corvale_trie as ct

    if case == "set-remove-all":
        n = n * 3 // 5
    rng = random.Random(20260 + n)
    packed = rng.randbytes(8 * n) if "bulk" in case or "readers" in case else None
    keys = [rng.getrandbits(64) for _ in range(n)] if case == "set-add-from-list" else None
    gc.collect()
    base = rss()
    mb = lambda: round((rss() - base) / 1e6, 1)  # noqa: E731
    out = {"case": case, "n": n}
    if case in ("set-add", "set-remove-all", "set-add-then-dict"):
        c = ct.CorvaleSet()
        for _ in range(n):
            c.add(rng.getrandbits(64))
        if case == "set-add-then-dict":
            other = {i: str(i) for i in range(1000)}  # a little memory the process allocates afterwards
    elif case == "set-add-from-list":
        c = ct.CorvaleSet()
        for k in keys:
            c.add(k)
    elif case == "map-add":
        c = ct.CorvaleMap()
        for i in range(n):
            c[rng.getrandbits(64)] = i
    elif case == "strmap-add":
        c = ct.CorvaleStrMap()
        for i in range(n):
            c["%016x" % rng.getrandbits(64)] = i
    elif case == "bytesmap-add":
        c = ct.CorvaleBytesMap()
        for i in range(n):
            c[rng.randbytes(16)] = i
    elif case == "blobmap-add":
        c = ct.CorvaleBlobMap()
        payload = bytes(100)
        for _ in range(n):
            c[rng.getrandbits(64)] = payload
    elif case in ("set-bulk", "sync-set-bulk"):
        c = ct.CorvaleSet() if case == "set-bulk" else ct.SyncCorvaleSet()
        c.insert_many(packed)
    else:
        c = ct.CorvaleMap() if case == "map-bulk" else ct.SyncCorvaleMap()
        c.insert_many(packed, packed)
    out["built"] = mb()
    if case == "set-remove-all":
        rng = random.Random(20260 + n)
        for _ in range(n):
            c.remove(rng.getrandbits(64))
        assert len(c) == 0
    elif case == "sync-map-readers":
        with looking_up(c):
            time.sleep(0.2)
            c.clear()
            out["cleared_with_readers"] = mb()
        out["readers_gone"] = mb()
        trim()
        out["readers_gone_trimmed"] = mb()
        c.remove(12345)
        trim()
        out["absent_removed_trimmed"] = mb()
        c[1] = 1
        out["first_write"] = mb()
        trim()
        out["first_write_trimmed"] = mb()
        print(json.dumps(out))
        return
    else:
        c.clear()
    out["cleared"] = mb()
    trim()
    out["trimmed"] = mb()
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=5_000_000)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker[0], int(args.worker[1]))
    started = time.time()
    for run in range(1, args.runs + 1):
        for case in args.cases.split(","):
            argv = (["-c", PLAIN_SCRIPT.replace("KEYS", str(args.n))] if case == "plain-script"
                    else [os.path.abspath(__file__), "--worker", case, str(args.n)])
            p = subprocess.run([sys.executable, *argv], capture_output=True, text=True, cwd="/")
            if p.returncode:
                raise RuntimeError(p.stderr)
            print(f"run {run}: {p.stdout.strip().splitlines()[-1]}", flush=True)

    print(f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}; {machine()})")


if __name__ == "__main__":
    main()
