#!/usr/bin/env python3
"""Cost of `range` by where its start lies.

    python3 bench/range_position.py            # 1M and 10M keys
    python3 bench/range_position.py --quick    # 100k keys

For CorvaleSet and CorvaleMap built from n keys (uniform random 64-bit and
dense, the generator of bench/run.py), times `range(start, end)` returning 10
keys whose first is the smallest key (bottom), the median key (middle) or the
10th largest key (top), next to `count_range` over the same span. A range
starts from a cursor positioned at its start, so the three positions should
cost about the same. Prints one Markdown table; microseconds per call, best
of several repeats.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the key generator)


def best_us(fn, calls, repeat=5):
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        dt = (time.perf_counter_ns() - t0) / calls / 1000
        best = dt if best is None else min(best, dt)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    import numpy as np

    from corvale_trie._corvale import CorvaleMap, CorvaleSet

    sizes = [100_000] if args.quick else [1_000_000, 10_000_000]
    print("| container | keys | distribution | range bottom | range middle | range top | count_range top |")
    print("|---|---:|---|---:|---:|---:|---:|")
    for n in sizes:
        for dist in ("uniform", "dense"):
            keys = run.make_keys(np, dist, n)
            ordered = np.sort(keys)
            for name in ("CorvaleSet", "CorvaleMap"):
                if name == "CorvaleSet":
                    c = CorvaleSet()
                    c.insert_many(keys.tobytes())
                else:
                    c = CorvaleMap()
                    c.insert_many(keys.tobytes(), keys.tobytes())
                cells = []
                for i in (0, n // 2, n - 10):
                    lo, hi = int(ordered[i]), int(ordered[i + 9])
                    assert len(c.range(lo, hi)) == 10
                    cells.append(best_us(lambda: c.range(lo, hi), 2000))
                cells.append(best_us(lambda: c.count_range(lo, hi), 2000))
                row = " | ".join(f"{v:.2f}" for v in cells)
                print(f"| {name} | {n:,} | {dist} | {row} |", flush=True)
                del c


if __name__ == "__main__":
    main()
