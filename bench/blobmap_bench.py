#!/usr/bin/env python3
"""CorvaleBlobMap against dict[int, bytes] (+ pickle), sqlite3 and lmdb.

    python3 bench/blobmap_bench.py                 # 1M entries; 16 B, 100 B, 1 kB payloads
    python3 bench/blobmap_bench.py --n 200000      # smaller
    python3 bench/blobmap_bench.py --sizes 100
    python3 bench/blobmap_bench.py --goals         # the load goals as ratios (below)
    python3 bench/blobmap_bench.py --saves         # the save, flushed, against pickle.dump
    python3 bench/blobmap_bench.py --saves --payloads lines.jsonl   # a file's lines as payloads

--goals measures the two load goals, each as a ratio of two times taken in
one process (best of --rounds rounds, 3 by default), at every payload size,
once alone and once with --ballast GiB (2 by default) of other containers
alive (lists of int objects, which the cyclic collector tracks):
  load / read        load_from_file of the image against one plain read of
                     the same file into a bytes object; goal: at most 1.5
  load+gets / pickle load_from_file plus get_bytes of 100,000 keys against
                     pickle.load of a dict of the same payloads plus dict.get
                     of the same keys; goal: below 1
beside the load alone against pickle.load alone (no goal), from the same
rounds.
Each (size, ballast) pair runs in a fresh child process (``--goal-worker``).

--saves measures the save as users get it, at every payload size in a fresh
child process (``--save-worker``), best of --rounds rounds, each save
replacing the file the round before wrote:
  save               save_to_file: a new file, flushed (fsync), renamed over
                     the old one, the directory flushed
  pickle.dump        pickle.dump (protocol 5) of a dict of the same payloads
                     into the file opened "wb", nothing flushed (as above)
  pickle.dump + sync pickle.dump flushed as the save is: into a new file in
                     the same directory, os.fsync, os.replace over the old
                     one, os.fsync of the directory
each in the benchmark's temporary directory (BENCH_TMP, on a disk) and
again in --shm-dir (a tmpfs, /dev/shm by default), where a flush writes
nothing to a disk: there the times are those of writing alone. The file
system type of each directory is printed with the table. With --payloads
FILE, the payloads are the lines of FILE instead (one entry a line, their
newlines dropped), in one row.

Each (container, payload size) runs in a fresh child process (``--worker``)
that prints one JSON line. Keys are 1M distinct pseudo-random integers below
2**63 (sqlite's INTEGER PRIMARY KEY is signed), payloads slices of one random
buffer, created in the insertion loop for every container alike.

Operations (nanoseconds per entry unless noted):
  insert   every entry (sqlite: executemany in one transaction; lmdb: one
           write transaction, 8-byte big-endian keys)
  get      every key, payload returned as bytes
  scan     the entries whose key lies in the lowest tenth of the key range,
           as (key, payload) tuples: CorvaleBlobMap.scan_filtered without a
           predicate, SELECT ... WHERE key <= hi, an lmdb cursor from the
           start, and for dict a pass over all items (it has no order)
  save     the whole map to a file (ms): save_to_file (which flushes the
           file and its directory), pickle.dump (protocol 5, nothing
           flushed), sqlite backup of the in-memory database into a file,
           lmdb env.copy
  load     the whole map back from that file (ms): load_from_file,
           pickle.load, sqlite backup from the file into a new in-memory
           database, lmdb open of the copy plus a read of every value (lmdb
           maps its file, so a load that reads nothing would be free)
  read     reading the blob map's image file into one bytes object (ms):
           the floor for a load
  remove   half of the keys
  compact  after that removal (ms): compact(), sqlite VACUUM; dict and lmdb
           have nothing to compare
  rss      resident-set growth per entry while the container is built
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import shutil
import sqlite3
import struct
import subprocess
import sys
import tempfile
import time

CONTAINERS = ["CorvaleBlobMap", "dict", "sqlite3", "lmdb"]
MULT = 0x9E3779B97F4A7C15
MASK63 = (1 << 63) - 1


def _rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def _keys(n):
    # i * odd constant mod 2**64 is a bijection; dropping the top bit keeps
    # them distinct with overwhelming likelihood, and duplicates are removed.
    keys = list(dict.fromkeys(((i * MULT) & ((1 << 64) - 1)) >> 1 for i in range(n)))
    return keys


def _timed(fn):
    gc.collect()
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


class Blob:
    def __init__(self, tmp):
        from corvale_trie import CorvaleBlobMap

        self.cls = CorvaleBlobMap
        self.m = CorvaleBlobMap()
        self.path = os.path.join(tmp, "blob.img")

    def insert(self, keys, buf, size):
        ins = self.m.insert
        for i, k in enumerate(keys):
            o = i & 4095
            ins(k, buf[o : o + size])

    def get(self, keys):
        g = self.m.get_bytes
        for k in keys:
            g(k)

    def scan(self, hi):
        return len(self.m.scan_filtered(0, hi))

    def save(self):
        self.m.save_to_file(self.path)

    def load(self):
        self.m = self.cls.load_from_file(self.path)

    def remove(self, keys):
        r = self.m.remove
        for k in keys:
            r(k)

    def compact(self):
        self.m.compact()


class Dict:
    def __init__(self, tmp):
        self.d = {}
        self.path = os.path.join(tmp, "dict.pickle")

    def insert(self, keys, buf, size):
        d = self.d
        for i, k in enumerate(keys):
            o = i & 4095
            d[k] = buf[o : o + size]

    def get(self, keys):
        g = self.d.get
        for k in keys:
            g(k)

    def scan(self, hi):
        return len([(k, v) for k, v in self.d.items() if k <= hi])

    def save(self):
        with open(self.path, "wb") as f:
            pickle.dump(self.d, f, protocol=5)

    def load(self):
        with open(self.path, "rb") as f:
            self.d = pickle.load(f)

    def remove(self, keys):
        d = self.d
        for k in keys:
            del d[k]

    compact = None


class Sqlite:
    def __init__(self, tmp):
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE TABLE t (key INTEGER PRIMARY KEY, payload BLOB)")
        self.path = os.path.join(tmp, "sqlite.db")

    def insert(self, keys, buf, size):
        with self.db:
            self.db.executemany(
                "INSERT INTO t VALUES (?, ?)",
                ((k, buf[(i & 4095) : (i & 4095) + size]) for i, k in enumerate(keys)),
            )

    def get(self, keys):
        ex = self.db.execute
        for k in keys:
            ex("SELECT payload FROM t WHERE key = ?", (k,)).fetchone()

    def scan(self, hi):
        return len(self.db.execute("SELECT key, payload FROM t WHERE key <= ?", (hi,)).fetchall())

    def save(self):
        if os.path.exists(self.path):
            os.remove(self.path)
        dst = sqlite3.connect(self.path)
        self.db.backup(dst)
        dst.close()

    def load(self):
        src = sqlite3.connect(self.path)
        db = sqlite3.connect(":memory:")
        src.backup(db)
        src.close()
        self.db = db

    def remove(self, keys):
        with self.db:
            self.db.executemany("DELETE FROM t WHERE key = ?", ((k,) for k in keys))

    def compact(self):
        self.db.execute("VACUUM")


class Lmdb:
    def __init__(self, tmp):
        import lmdb

        self.lmdb = lmdb
        self.dir = os.path.join(tmp, "lmdb")
        self.copy = os.path.join(tmp, "lmdb-copy")
        os.makedirs(self.dir)
        self.env = lmdb.open(self.dir, map_size=1 << 34, sync=False, metasync=False, writemap=True)

    def insert(self, keys, buf, size):
        pack = struct.Struct(">Q").pack
        with self.env.begin(write=True) as txn:
            put = txn.put
            for i, k in enumerate(keys):
                o = i & 4095
                put(pack(k), buf[o : o + size])

    def get(self, keys):
        pack = struct.Struct(">Q").pack
        with self.env.begin(buffers=False) as txn:
            g = txn.get
            for k in keys:
                g(pack(k))

    def scan(self, hi):
        unpack = struct.Struct(">Q").unpack
        out = []
        with self.env.begin() as txn:
            for kb, v in txn.cursor():
                k = unpack(kb)[0]
                if k > hi:
                    break
                out.append((k, v))
        return len(out)

    def save(self):
        shutil.rmtree(self.copy, ignore_errors=True)
        os.makedirs(self.copy)
        self.env.copy(self.copy)

    def load(self):
        env = self.lmdb.open(self.copy, map_size=1 << 34, readonly=True, lock=False)
        total = 0
        with env.begin() as txn:
            for _, v in txn.cursor():
                total += len(v)
        self.loaded = env

    def remove(self, keys):
        pack = struct.Struct(">Q").pack
        with self.env.begin(write=True) as txn:
            for k in keys:
                txn.delete(pack(k))

    compact = None


KINDS = {"CorvaleBlobMap": Blob, "dict": Dict, "sqlite3": Sqlite, "lmdb": Lmdb}


def worker(name, n, size):
    keys = _keys(n)
    buf = os.urandom(4096 + size)
    hi = MASK63 // 10
    out = {"container": name, "size": size, "n": len(keys)}
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as tmp:
        c = KINDS[name](tmp)
        gc.collect()
        rss0 = _rss()
        out["insert"] = _timed(lambda: c.insert(keys, buf, size)) / len(keys) * 1e9
        gc.collect()
        out["rss"] = (_rss() - rss0) / len(keys)
        if name == "CorvaleBlobMap":
            out["mem_used"] = c.m.mem_used() / len(keys)
        out["get"] = _timed(lambda: c.get(keys)) / len(keys) * 1e9
        found = []
        out["scan"] = _timed(lambda: found.append(c.scan(hi))) / max(found[0] if found else 1, 1) * 1e9
        out["scanned"] = found[0]
        out["save"] = _timed(c.save) * 1e3
        out["load"] = _timed(c.load) * 1e3
        if name == "CorvaleBlobMap":
            out["file"] = os.path.getsize(c.path)

            def read():
                with open(c.path, "rb") as f:
                    f.read()

            out["read"] = _timed(read) * 1e3
        half = keys[::2]
        out["remove"] = _timed(lambda: c.remove(half)) / len(half) * 1e9
        if c.compact:
            out["compact"] = _timed(c.compact) * 1e3
    print(json.dumps(out))


def goal_worker(n, size, ballast_gib, rounds):
    import random

    from corvale_trie import CorvaleBlobMap

    # The ballast first, so that every container below lives beside it.
    ballast = [list(range(i, i + 1000)) for i in range(0, ballast_gib * (1 << 30) // 40, 1000)]
    keys = _keys(n)
    buf = os.urandom(4096 + size)
    probe = random.Random(1).sample(keys, min(100_000, len(keys)))
    out = {"size": size, "n": len(keys), "ballast": ballast_gib, "probes": len(probe)}
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as tmp:
        image = os.path.join(tmp, "blob.img")
        pickled = os.path.join(tmp, "dict.pickle")
        m = CorvaleBlobMap()
        for i, k in enumerate(keys):
            o = i & 4095
            m.insert(k, buf[o : o + size])
        m.save_to_file(image)
        del m
        d = {}
        for i, k in enumerate(keys):
            o = i & 4095
            d[k] = buf[o : o + size]
        with open(pickled, "wb") as f:
            pickle.dump(d, f, protocol=5)
        del d
        out["file"] = os.path.getsize(image)
        best = {}

        def keep(name, seconds):
            best[name] = min(best.get(name, seconds), seconds)

        def read():
            with open(image, "rb") as f:
                f.read()

        def unpickle():
            with open(pickled, "rb") as f:
                return pickle.load(f)

        def load_and_get(name, load, getter):
            # The load alone, and the load followed by the gets.
            gc.collect()
            t = time.perf_counter()
            c = load()
            t_load = time.perf_counter() - t
            g = getattr(c, getter)
            for k in probe:
                g(k)
            keep(name, t_load)
            keep(name + "_gets", time.perf_counter() - t)

        for _ in range(rounds):
            keep("read", _timed(read))
            load_and_get("load", lambda: CorvaleBlobMap.load_from_file(image), "get_bytes")
            load_and_get("pickle", unpickle, "get")
    del ballast
    out.update({k: v * 1e3 for k, v in best.items()})
    print(json.dumps(out))


def _pickle_synced(d, path):
    """pickle.dump of d flushed as save_to_file flushes its image."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        pickle.dump(d, f, protocol=5)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    dir_fd = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def _fs_type(path):
    """The type of the file system that holds `path` (Linux), or "?"."""
    best, kind = "", "?"
    try:
        with open("/proc/self/mounts") as f:
            for line in f:
                mount, fs = line.split()[1:3]
                if (path == mount or path.startswith(mount.rstrip("/") + "/")) and len(mount) > len(best):
                    best, kind = mount, fs
    except OSError:
        pass
    return kind


def save_worker(n, size, rounds, shm_dir, payload_file=None):
    from corvale_trie import CorvaleBlobMap

    if payload_file:
        with open(payload_file, "rb") as f:
            lines = f.read().splitlines()
        keys = _keys(len(lines))
        size = sum(map(len, lines)) / len(lines)
        payload_of = lines.__getitem__
    else:
        keys = _keys(n)
        buf = os.urandom(4096 + size)
        # A new bytes object for every entry, as pickle would write a
        # shared one once.
        payload_of = lambda i: buf[i & 4095 : (i & 4095) + size]  # noqa: E731
    m = CorvaleBlobMap()
    d = {}
    for i, k in enumerate(keys):
        payload = payload_of(i)
        m.insert(k, payload)
        d[k] = payload
    out = {"size": size, "n": len(keys)}
    for where, parent in (("disk", os.environ.get("BENCH_TMP")), ("tmpfs", shm_dir)):
        with tempfile.TemporaryDirectory(dir=parent) as tmp:
            out[where + "_fs"] = _fs_type(os.path.realpath(tmp))
            image = os.path.join(tmp, "blob.img")
            pickled = os.path.join(tmp, "dict.pickle")

            def dump():
                with open(pickled, "wb") as f:
                    pickle.dump(d, f, protocol=5)

            runs = {"save": lambda: m.save_to_file(image), "pickle": dump,
                    "pickle_sync": lambda: _pickle_synced(d, pickled)}
            for _ in range(rounds):
                for name, fn in runs.items():
                    t = _timed(fn) * 1e3
                    out[f"{where}_{name}"] = min(out.get(f"{where}_{name}", t), t)
            out["file"] = os.path.getsize(image)
            out["pickle_file"] = os.path.getsize(pickled)
    print(json.dumps(out))


def saves(args):
    rows = []
    sizes = [0] if args.payloads else [int(s) for s in args.sizes.split(",")]
    for size in sizes:
        extra = [os.path.abspath(args.payloads)] if args.payloads else []
        row = _child(["--save-worker", args.n, size, args.rounds, args.shm_dir, *extra], f"saves {size} B")
        if row:
            rows.append(row)
    if not rows:
        return
    what = f"the lines of {args.payloads}" if args.payloads else "entries"
    print(f"n = {rows[0]['n']:,} {what}; best of {args.rounds} rounds; ms; disk: {rows[0]['disk_fs']}, "
          f"tmpfs: {rows[0]['tmpfs_fs']}\n")
    print("| payload | image MB | pickle MB | where | save | pickle.dump | pickle.dump + sync "
          "| save / pickle.dump | save / pickle.dump + sync |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        for where in ("disk", "tmpfs"):
            save, dump, synced = r[where + "_save"], r[where + "_pickle"], r[where + "_pickle_sync"]
            print(f"| {r['size']:.0f} B | {r['file'] / 1e6:,.0f} | {r['pickle_file'] / 1e6:,.0f} | {where} | "
                  f"{save:,.1f} | {dump:,.1f} | {synced:,.1f} | {save / dump:.2f} | {save / synced:.2f} |")


def _child(argv, label):
    """Runs this script with `argv` in a fresh process; its JSON line, or None."""
    r = subprocess.run([sys.executable, __file__, *map(str, argv)], capture_output=True, text=True)
    if r.returncode != 0:
        print(f"{label}: failed\n{r.stderr}", file=sys.stderr)
        return None
    print(f"# {label} done", file=sys.stderr)
    return json.loads(r.stdout.strip().splitlines()[-1])


def goals(args):
    rows = []
    for size in [int(s) for s in args.sizes.split(",")]:
        for ballast in (0, args.ballast):
            row = _child(["--goal-worker", args.n, size, ballast, args.rounds], f"{size} B, ballast {ballast} GiB")
            if row:
                rows.append(row)
    print(f"n = {args.n:,} entries, {rows[0]['probes'] if rows else 0:,} gets; best of {args.rounds} rounds; ms\n")
    print("| payload | other containers | image MB | read | load | load / read (goal <= 1.5) "
          "| pickle.load | load / pickle.load "
          "| load + gets | pickle.load + gets | ratio (goal < 1) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print(
            f"| {r['size']} B | {r['ballast']} GiB | {r['file'] / 1e6:,.0f} | {r['read']:,.1f} | {r['load']:,.1f} | "
            f"{r['load'] / r['read']:.2f} | {r['pickle']:,.1f} | {r['load'] / r['pickle']:.2f} | "
            f"{r['load_gets']:,.1f} | {r['pickle_gets']:,.1f} | "
            f"{r['load_gets'] / r['pickle_gets']:.2f} |"
        )


def fmt(v, digits=0):
    if v is None:
        return "-"
    return f"{v:,.{digits}f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--sizes", default="16,100,1024")
    ap.add_argument("--worker", nargs=3)
    ap.add_argument("--goals", action="store_true")
    ap.add_argument("--ballast", type=int, default=2, help="GiB of other containers (--goals)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--goal-worker", nargs=4)
    ap.add_argument("--saves", action="store_true")
    ap.add_argument("--shm-dir", default="/dev/shm", help="a directory on a tmpfs (--saves)")
    ap.add_argument("--payloads", help="a file whose lines are the payloads (--saves)")
    ap.add_argument("--save-worker", nargs="+")
    args = ap.parse_args()
    if args.save_worker:
        n, size, rounds = (int(x) for x in args.save_worker[:3])
        save_worker(n, size, rounds, *args.save_worker[3:])
        return
    if args.saves:
        saves(args)
        return
    if args.goal_worker:
        n, size, ballast, rounds = (int(x) for x in args.goal_worker)
        goal_worker(n, size, ballast, rounds)
        return
    if args.goals:
        goals(args)
        return
    if args.worker:
        worker(args.worker[0], int(args.worker[1]), int(args.worker[2]))
        return
    rows = []
    for size in [int(s) for s in args.sizes.split(",")]:
        for name in CONTAINERS:
            row = _child(["--worker", name, args.n, size], f"{name} {size} B")
            if row:
                rows.append(row)
    cols = [
        ("insert", "insert ns", 0),
        ("get", "get ns", 0),
        ("scan", "scan ns/hit", 0),
        ("remove", "remove ns", 0),
        ("compact", "compact ms", 0),
        ("save", "save ms", 0),
        ("load", "load ms", 0),
        ("read", "read ms", 0),
        ("rss", "rss B/entry", 1),
    ]
    print(f"n = {args.n:,} entries\n")
    print("| payload | container | " + " | ".join(c[1] for c in cols) + " |")
    print("|---" * (len(cols) + 2) + "|")
    for r in rows:
        cells = [fmt(r.get(k), d) for k, _, d in cols]
        print(f"| {r['size']} B | {r['container']} | " + " | ".join(cells) + " |")
    print()
    print("Ratios of CorvaleBlobMap (peer / ours: above 1 means we are better):\n")
    print("| payload | peer | rss | save | load | load / read of the image |")
    print("|---|---|---|---|---|---|")
    for size in sorted({r["size"] for r in rows}):
        ours = next((r for r in rows if r["size"] == size and r["container"] == "CorvaleBlobMap"), None)
        if not ours:
            continue
        for r in rows:
            if r["size"] != size or r is ours:
                continue
            print(
                f"| {size} B | {r['container']} | {r['rss'] / ours['rss']:.2f} | "
                f"{r['save'] / ours['save']:.2f} | {r['load'] / ours['load']:.2f} | "
                f"{ours['load'] / ours['read']:.2f} |"
            )


if __name__ == "__main__":
    main()
