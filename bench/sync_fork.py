#!/usr/bin/env python3
"""What a child forked while other threads look keys up finds in a
SyncCorvaleMap.

    python3 bench/sync_fork.py                    # 1M keys, 4 lookup threads, 12 forks
    python3 bench/sync_fork.py --forks 30

A SyncCorvaleMap of n uniform random keys is built; lookup threads then
look keys up without a pause (lookups take no lock) while the main thread
forks, --forks times, 50 ms apart. Each child, which has only the forking
thread, reads its resident memory growth over the reading before the
fork, clears the map, and reads it again after ``malloc_trim(0)``; then it
inserts n new keys and removes them again, --rounds times, and reads it
once more. A lookup thread that was inside a lookup at the fork leaves its
reader slot taken in the child, where no thread will ever leave it: the
child's collector then frees nothing, so its clear() gives nothing back
and its churn grows without bound. Printed: one line per child, in MB.
"""

import argparse
import json
import os
import random
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident import machine, resident_bytes as rss  # noqa: E402


def child(m, n, rounds, w):
    start = rss()
    m.clear()
    cleared = rss()
    out = {"clear_gave_back": round((start - cleared) / 1e6, 1)}
    rng = random.Random(os.getpid())
    for _ in range(rounds):
        packed = rng.randbytes(8 * n)
        m.insert_many(packed, packed)
        for i in range(0, 8 * n, 8):
            m.remove(int.from_bytes(packed[i:i + 8], sys.byteorder))
    out["churn_grew"] = round((rss() - cleared) / 1e6, 1)
    os.write(w, json.dumps(out).encode())
    os._exit(0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--forks", type=int, default=12)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    from corvale_trie import SyncCorvaleMap

    started = time.time()
    rng = random.Random(20260)
    packed = rng.randbytes(8 * args.n)
    probe = [int.from_bytes(packed[i:i + 8], sys.byteorder) for i in range(0, 8 * args.n, 8 * 997)]
    base = rss()
    m = SyncCorvaleMap()
    m.insert_many(packed, packed)
    del packed
    print(f"map of {args.n:,} keys: {(rss() - base) / 1e6:.1f} MB", flush=True)
    stop = threading.Event()

    def look():
        while not stop.is_set():
            for k in probe:
                _ = k in m

    threads = [threading.Thread(target=look, daemon=True) for _ in range(args.threads)]
    for t in threads:
        t.start()
    for i in range(args.forks):
        time.sleep(0.05)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(r)
            child(m, args.n, args.rounds, w)
        os.close(w)
        data = b""
        while chunk := os.read(r, 4096):
            data += chunk
        os.close(r)
        os.waitpid(pid, 0)
        print(f"fork {i + 1}: {data.decode()}", flush=True)
    stop.set()
    for t in threads:
        t.join()

    print(f"({time.time() - started:.0f} s, load average {os.getloadavg()[0]:.1f}, "
          f"CPUs {sorted(os.sched_getaffinity(0))}; {machine()})")


if __name__ == "__main__":
    main()
