#!/usr/bin/env python3
"""Counts wrong answers of lock-free lookups under a writer that makes a
branch switch kind above a leaf whose keys shift in place.

    taskset -c 0,1 python3 bench/sync_pattern_check.py            # 60 s per class
    taskset -c 0,1 python3 bench/sync_pattern_check.py --seconds 5

The pattern: nine stable keys (1<<56) | 100*i (i = 1..9) in one leaf with
room for a tenth; X = (1<<56) | 50 inserted below them (every key of the
leaf shifts in place) and removed again; A = (3<<56) | 5 and B = (4<<56) | 5
toggled so that the root branch becomes a BranchL7 and a BranchL3 again on
every round; 40 more stable keys under top byte 2 keep the container a
tree. One writer thread loops add A, add B, add X, discard B, discard A,
discard X (SyncCorvaleSet; SyncCorvaleMap: c[k] = 1 and del c[k]), while
six reader threads probe the stable keys (`in`, `get`). A stable key must
always be present, with its own value (the map stores k for key k).

Not a test: it runs for minutes and its outcome depends on the scheduler.
It prints, per class, the lookups made and the wrong answers, and exits
with status 1 when any answer was wrong.
"""

from __future__ import annotations

import argparse
import sys
import threading
import time

from corvale_trie._corvale import SyncCorvaleMap, SyncCorvaleSet

STABLE = [(1 << 56) | (100 * i) for i in range(1, 10)] + [(2 << 56) | (0x0101 * i + 1) for i in range(40)]
X = (1 << 56) | 50
A = (3 << 56) | 5
B = (4 << 56) | 5


def run(cls, seconds: float, readers: int) -> tuple[int, int]:
    c = cls()
    is_map = cls is SyncCorvaleMap
    for k in STABLE:
        if is_map:
            c[k] = k
        else:
            c.add(k)
    stop = threading.Event()
    counts = [[0, 0] for _ in range(readers)]  # lookups, wrong answers

    def writer():
        if is_map:
            while not stop.is_set():
                c[A] = 1
                c[B] = 1
                c[X] = 1
                del c[B]
                del c[A]
                del c[X]
        else:
            while not stop.is_set():
                c.add(A)
                c.add(B)
                c.add(X)
                c.discard(B)
                c.discard(A)
                c.discard(X)

    def reader(slot):
        n = wrong = 0
        while not stop.is_set():
            for k in STABLE:
                if is_map:
                    if c.get(k) != k:
                        wrong += 1
                elif k not in c:
                    wrong += 1
            n += len(STABLE)
        counts[slot] = [n, wrong]

    threads = [threading.Thread(target=writer)] + [
        threading.Thread(target=reader, args=(i,)) for i in range(readers)
    ]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    return sum(n for n, _ in counts), sum(w for _, w in counts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--readers", type=int, default=6)
    args = parser.parse_args()
    bad = False
    for cls in (SyncCorvaleSet, SyncCorvaleMap):
        lookups, wrong = run(cls, args.seconds, args.readers)
        print(f"{cls.__name__}: {lookups} lookups of stable keys in {args.seconds:g} s, {wrong} wrong")
        bad = bad or wrong != 0
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
