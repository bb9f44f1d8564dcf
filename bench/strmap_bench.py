#!/usr/bin/env python3
"""Benchmarks of CorvaleStrMap against the containers Python users pick for
string keys.

    python3 bench/strmap_bench.py              # 1M keys of each kind
    python3 bench/strmap_bench.py --n 100000   # smaller
    python3 bench/strmap_bench.py --markdown out.md
    python3 bench/strmap_bench.py --goals      # speed goals, one process
    python3 bench/strmap_bench.py --kinds real-paths,real-words   # real keys only
    python3 bench/strmap_bench.py --goals --keys-file names.txt  # keys of a file, one a line

--goals builds CorvaleStrMap, dict and SortedDict from the same keys in one
process, so that the machine's load weighs on all of them alike, and prints
for each key kind the ratios our time / peer's time (best of 3 rounds each):

    insert, get hit, get miss    against dict; every round probes with fresh
                                 str objects (decoded from bytes just before
                                 the round, untimed), so dict hashes each
                                 probe as it would a key just read or built
    get hit, own key objects     the same present keys, probed with the str
                                 objects the dict holds (the caller's own,
                                 whose hash the str has cached)
    get miss                     three kinds of absent key: a stored key
                                 with one more byte ("~"), a stored key with
                                 ".bak" added, and keys of the same kind held
                                 out of the maps (a tenth of the keys, at
                                 most 200,000: the maps hold the rest)
    next, prev                   against SortedDict (bisect and peekitem) on
                                 absent keys (a stored key with one more byte)
    range of 10 to 10,000 keys   m.range(a, b) with a a stored key and b the
                                 key count - 1 keys after it, against
                                 SortedDict's bisect_left(a) and
                                 items()[i:i + count]
    range per entry / iteration  a 10-key range's time per entry divided by
                                 the time per key of `for k in m` (our own
                                 ratio, no peer; both take turns like the
                                 peers), and by the time per entry of
                                 items(), which makes the same objects

Peers: dict (unordered; the speed and memory reference, with str keys as a
user holds text), dict[bytes] (the same dict with bytes keys, as a program
that reads its keys as bytes holds them), dict[held] (the same dict keyed
by bytes objects made before it, as when the keys live on elsewhere
anyway: its memory row counts only its table and values), sortedcontainers'
SortedDict (ordered; neighbours by bisect and index), datrie.Trie (a
dynamic ordered trie in C; run on 100,000 keys by default, --datrie-n, as
its one-at-a-time insertion slows down badly with size) and marisa_trie.RecordTrie (static, built once
from all pairs: the memory anchor; its insert row is the whole build).

In --goals every timing loop drops its results (a plain `for` loop), so
that no result objects pile up for the garbage collector to walk; the
child-process tables below keep theirs in a list.

Key kinds. Generated (deterministic, no key repeated, --n of each):
URL-like keys (3000 hosts, paths of 1..4 segments from a 5000-word list),
file paths (a directory tree of growing fan-out with file names and
extensions), English-like words (built from syllables) and random
16-character hex ids. Real, read from this machine when the run starts (all
of them, or a sample of --n when there are more):
    real-paths  every file path under /usr and under the running Python's
                installation (sys.base_prefix), as os.walk lists them
    real-words  the words of /usr/share/dict/words, one per line (Debian:
                apt-get install wamerican; the kind is skipped without it)
    file:PATH   the lines of the file PATH (--keys-file PATH adds the kind),
                such as Debian's package names (apt-cache pkgnames)
Keys that are not UTF-8, or hold a newline or a NUL byte, are left out.
datrie runs on the generated kinds only (its alphabet is printable ASCII).
Under each kind's table: the mean key length and the shape of our tree,
worked out from the keys (a node at the root and at every 8-byte word
boundary that two or more keys share): keys per node, and the nodes on a
key's path from the root, on average.

Every container runs in a fresh child process. The child reads the keys
(made once by the parent, kept in a temporary file) as bytes objects and
decodes each one while inserting, so the `str` keys and
`int` values a peer stores are fresh objects counted in its resident-memory
growth (values are random 64-bit integers, never cached small ints). Times
are ns per operation of the best of three repeats of a plain Python loop
over 200,000 probes (the whole map for insertion and iteration):

    insert      m[k] = v for every key, in random order
    get hit     m.get(k) for stored keys
    get miss    m.get(k) for absent keys (a stored key with one more byte)
    next        successor of an absent key (SortedDict: bisect_right and
                peekitem; datrie and marisa have no neighbour query)
    prev        predecessor of an absent key
    range of 10 keys
                m.range(a, b) with a a stored key and b the 9th key after
                it (SortedDict: bisect_left(a) and items()[i:i + 10])
    iteration   for k in m (dict: insertion order)
Memory: bytes per key of resident-set growth while building (marisa: while
loading its saved image), read after malloc_trim(0) so that free memory the
C library keeps does not count, and CorvaleStrMap.mem_used() per key.
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from resident import best_of, resident_bytes

KINDS = ["hex", "words", "urls", "paths"]
REAL_KINDS = ["real-paths", "real-words"]
WORDS_FILE = "/usr/share/dict/words"
PEERS = ["CorvaleStrMap", "dict", "dict[bytes]", "dict[held]", "SortedDict", "datrie", "marisa"]
OPS = ["insert", "get hit", "get miss", "next", "prev", "range of 10 keys", "iteration"]


def is_real(kind):
    """A kind read from this machine (all keys, or a sample of --n)."""
    return kind in REAL_KINDS or kind.startswith("file:")
PROBES = 200_000

# ---------------------------------------------------------------- key sets

ONSETS = ["", "b", "c", "d", "f", "g", "h", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w",
          "br", "ch", "cl", "dr", "fl", "gr", "pl", "pr", "sh", "st", "th", "tr", "str"]
VOWELS = ["a", "e", "i", "o", "u", "y", "ea", "ee", "ai", "ou", "io"]
CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "nd", "ng", "st", "ck", "rt", "ss"]
SUFFIXES = ["", "", "", "s", "ed", "ing", "er", "ly", "tion", "ness", "able"]


def word(rng):
    syl = rng.choices([1, 2, 3, 4], weights=[3, 5, 3, 1])[0]
    w = "".join(rng.choice(ONSETS) + rng.choice(VOWELS) + rng.choice(CODAS) for _ in range(syl))
    return w + rng.choice(SUFFIXES)


def unique(gen, n):
    seen = set()
    out = []
    while len(out) < n:
        k = gen()
        if k not in seen:
            seen.add(k)
            out.append(k)
    return out


def make_keys(kind, n, seed=20261206):
    rng = random.Random(seed)
    if kind == "hex":
        return unique(lambda: f"{rng.getrandbits(64):016x}", n)
    if kind == "words":
        return unique(lambda: word(rng), n)
    vocab = unique(lambda: word(rng), 5000)
    if kind == "urls":
        tlds = ["com", "org", "net", "io", "de", "co.uk", "fr", "edu"]
        hosts = unique(lambda: rng.choice(["www.", "", "api.", "blog."]) + word(rng) + "." + rng.choice(tlds), 3000)

        def url():
            path = "/".join(rng.choice(vocab) for _ in range(rng.randint(1, 4)))
            tail = rng.choice(["", "", ".html", f"?id={rng.randrange(100000)}"])
            return f"https://{rng.choice(hosts)}/{path}{tail}"

        return unique(url, n)
    # paths: a directory tree whose fan-out grows with depth
    fan = [6, 40, 200, 1500, 4000]
    levels = [vocab[: f] for f in fan]
    exts = [".py", ".txt", ".json", ".c", ".h", ".md", ".png", ".log"]

    def path():
        depth = rng.randint(2, 5)
        dirs = "/".join(rng.choice(levels[i]) for i in range(depth))
        return f"/{dirs}/{rng.choice(vocab)}{rng.choice(exts)}"

    return unique(path, n)


# ---------------------------------------------------------------- worker


def make_container(peer):
    if peer == "CorvaleStrMap":
        from corvale_trie._corvale import CorvaleStrMap

        return CorvaleStrMap()
    if peer in ("dict", "dict[bytes]", "dict[held]"):
        return {}
    if peer == "SortedDict":
        from sortedcontainers import SortedDict

        return SortedDict()
    if peer == "datrie":
        import datrie

        return datrie.Trie(ranges=[(" ", "~")])
    raise ValueError(peer)


def neighbour_ops(peer, m):
    if peer == "CorvaleStrMap":
        return m.next, m.prev
    if peer == "SortedDict":
        def nxt(k):
            i = m.bisect_right(k)
            return m.peekitem(i) if i < len(m) else None

        def prv(k):
            i = m.bisect_left(k)
            return m.peekitem(i - 1) if i > 0 else None

        return nxt, prv
    return None, None


def real_keys(kind, n):
    """The keys of a real kind as sorted UTF-8 bytes (a sample of n when
    there are more), or None when this machine has none."""
    if kind == "real-words" or kind.startswith("file:"):
        path = WORDS_FILE if kind == "real-words" else kind[5:]
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            found = set(f.read().split(b"\n"))
    else:
        found = set()
        for root in sorted({"/usr", sys.base_prefix}):
            for top, _dirs, files in os.walk(os.fsencode(root)):
                found.update(os.path.join(top, name) for name in files)

    def usable(k):
        try:
            k.decode()
        except UnicodeDecodeError:
            return False
        return k != b"" and b"\n" not in k and b"\0" not in k

    keys = sorted(filter(usable, found))
    if len(keys) > n:
        keys = sorted(random.Random(20261206).sample(keys, n))
    return keys


def range_of(peer, m, count=10):
    """The range query of `count` keys of an ordered container: our
    range(a, b), or SortedDict's bisect_left(a) and a slice of items() (b is
    the key count - 1 keys after a, so both give the same entries)."""
    if peer == "CorvaleStrMap":
        return m.range
    items, bisect_left = m.items(), m.bisect_left

    def sd_range(a, _b):
        i = bisect_left(a)
        return items[i:i + count]

    return sd_range


def key_bounds(order, rng, count=10):
    """(a, b) pairs of stored keys, b the key count - 1 keys after a, from
    sorted keys: PROBES / 4 of them for 10 keys, fewer for longer ranges."""
    n = len(order)
    pairs = min(PROBES // 4, max(20, 1_000_000 // count), n - count)
    return [(order[i], order[i + count - 1]) for i in rng.sample(range(n - count), pairs)]


def key_path(kind, n):
    name = "".join(c if c.isalnum() else "-" for c in kind)
    return os.path.join(tempfile.gettempdir(), f"corvale-strmap-{name}-{n}.keys")


def prepare_keys(kind, n):
    """Writes the keys of a kind, one per line, to key_path(kind, count) and
    returns the count (None: the machine has no such keys). Generated keys
    are made once and kept; real ones are read anew on every run."""
    if is_real(kind):
        keys = real_keys(kind, n)
        if keys is None:
            return None
        n = len(keys)
    elif os.path.exists(key_path(kind, n)):
        return n
    else:
        keys = [k.encode() for k in make_keys(kind, n)]
    path = key_path(kind, n)
    with open(path + ".part", "wb") as f:
        f.write(b"\n".join(keys))
    os.replace(path + ".part", path)
    return n


def read_keys(kind, n):
    with open(key_path(kind, n), "rb") as f:
        return f.read().split(b"\n")


def tree_shape(blobs):
    """(keys per node, nodes on a key's path) of the string map holding these
    keys: a node at the root and at every 8-byte word boundary that two or
    more keys pass (a key passes the boundary at 8j when it is at least 8j
    bytes long; the rest of a key no other key shares is one tail record)."""
    from collections import Counter

    shared = Counter(k[:j] for k in blobs for j in range(8, len(k) + 1, 8))
    nodes = 1 + sum(1 for c in shared.values() if c >= 2)
    path = 0
    for k in blobs:
        path += 1 + sum(1 for j in range(8, len(k) + 1, 8) if shared[k[:j]] >= 2)
    return len(blobs) / nodes, path / len(blobs)


def worker(kind, peer, n, image):
    # The keys are read as bytes objects that stay alive: no str was made
    # and freed before the baseline, so no freed object memory is there for
    # the container's own objects to reuse unseen.
    blobs = read_keys(kind, n)
    # The key objects a peer holds are made as it takes them: str, or for
    # dict[bytes] a fresh copy of the bytes (the read ones stay alive);
    # dict[held] takes the read ones, made before its baseline. Probes are
    # fresh objects of the kind the peer holds.
    probe_key = (lambda b: memoryview(b).tobytes()) if peer in ("dict[bytes]", "dict[held]") else bytes.decode
    as_key = (lambda b: b) if peer == "dict[held]" else probe_key
    rng = random.Random(7)
    rng.shuffle(blobs)
    vals = array.array("Q", (rng.getrandbits(64) | (1 << 40) for _ in range(n)))
    sample = rng.sample(range(n), min(PROBES, n))
    out = {"kind": kind, "peer": peer, "n": n, "ns": {}}
    gc.collect()
    base = resident_bytes()
    if peer == "marisa":
        import marisa_trie

        if image is None:  # build, time it and save the image
            t = time.perf_counter()
            m = marisa_trie.RecordTrie("<Q", ((b.decode(), (vals[i],)) for i, b in enumerate(blobs)))
            out["ns"]["insert"] = (time.perf_counter() - t) / n * 1e9
            path = tempfile.mktemp(suffix=".marisa")
            m.save(path)
            out["image"] = path
            print(json.dumps(out))
            return
        m = marisa_trie.RecordTrie("<Q")
        m.load(image)
        os.unlink(image)
    else:
        m = make_container(peer)
        t = time.perf_counter()
        for i, b in enumerate(blobs):
            m[as_key(b)] = vals[i]
        out["ns"]["insert"] = (time.perf_counter() - t) / n * 1e9
    gc.collect()
    out["rss_per_key"] = (resident_bytes() - base) / n
    if peer == "CorvaleStrMap":
        out["mem_used_per_key"] = m.mem_used() / n
    hits = [probe_key(blobs[i]) for i in sample]
    misses = [k + probe_key(b"~") for k in hits]
    get = m.get
    out["ns"]["get hit"] = best_of(lambda: [get(k) for k in hits]) / len(hits) * 1e9
    out["ns"]["get miss"] = best_of(lambda: [get(k) for k in misses]) / len(misses) * 1e9
    nxt, prv = neighbour_ops(peer, m)
    if nxt:
        out["ns"]["next"] = best_of(lambda: [nxt(k) for k in misses]) / len(misses) * 1e9
        out["ns"]["prev"] = best_of(lambda: [prv(k) for k in misses]) / len(misses) * 1e9
        ten = range_of(peer, m)
        bounds = key_bounds(sorted(b.decode() for b in blobs), rng)
        # Ranges are dropped as they come: kept, their lists and tuples would
        # make the cyclic collector walk ever more objects while it is timed.
        out["ns"]["range of 10 keys"] = best_of(lambda: each_pair(ten)(bounds)) / len(bounds) * 1e9
    it = m.iterkeys if peer == "marisa" else (m.keys if peer == "datrie" else m.__iter__)

    def iterate():
        for _ in it():
            pass

    out["ns"]["iteration"] = best_of(iterate, 2) / n * 1e9
    print(json.dumps(out))


# ---------------------------------------------------------------- goals


GOALS = [  # (row, peer, goal, kinds the goal holds for; None: every kind)
    ("insert", "dict", None, None),
    ("get hit", "dict", 1.3, ("urls", "paths")),
    ("get hit, own key objects", "dict", None, None),
    ("get miss", "dict", 1.5, ("urls", "paths")),
    ("get miss, key + .bak", "dict", None, None),
    ("get miss, held-out keys", "dict", None, None),
    ("next", "SortedDict", 0.25, None),
    ("prev", "SortedDict", 0.25, None),
    ("range of 10 keys", "SortedDict", 0.3, None),
    ("range of 100 keys", "SortedDict", None, None),
    ("range of 1,000 keys", "SortedDict", None, None),
    ("range of 10,000 keys", "SortedDict", None, None),
    ("range per entry / iteration per key", "ours", 1.5, None),
    # The same entries made by one items() call (str, int and tuple each, as
    # range makes them; iteration makes the str alone): for reading only.
    ("range per entry / items() per entry", "ours", None, None),
]


def each(fn):
    """A timing loop that calls fn on every probe and drops the results, so
    that no result objects pile up for the garbage collector to walk."""
    def loop(items):
        for x in items:
            fn(x)
    return loop


def each_pair(fn):
    def loop(items):
        for a, b in items:
            fn(a, b)
    return loop


def race(fns, ops, rounds=3, setup=None):
    """Best of `rounds` timings of each fn(arg) in `fns` (name -> fn), in ns
    per op (`ops`: one count for all, or name -> count). The contenders take turns within every round (the order flips
    from round to round), so that a burst of load on the shared machine
    weighs on both; setup() makes each timing's argument untimed (fresh
    probe objects)."""
    best = {name: float("inf") for name in fns}
    names = list(fns)
    for r in range(rounds):
        for name in names if r % 2 == 0 else names[::-1]:
            arg = setup() if setup else None
            gc.collect()
            t = time.perf_counter()
            fns[name](arg)
            best[name] = min(best[name], time.perf_counter() - t)
    return {name: t / (ops[name] if isinstance(ops, dict) else ops) * 1e9
            for name, t in best.items()}


def goals_kind(kind, n):
    from corvale_trie._corvale import CorvaleStrMap
    from sortedcontainers import SortedDict

    blobs = read_keys(kind, n)
    rng = random.Random(7)
    rng.shuffle(blobs)
    # Absent keys of the same kind, which share no more with the present
    # ones than keys of that kind do: held out of the maps.
    held_out = blobs[n - held_out_count(n):]
    blobs = blobs[:n - len(held_out)]
    n = len(blobs)
    vals = [rng.getrandbits(64) | (1 << 40) for _ in range(n)]
    sample = [blobs[i] for i in rng.sample(range(n), min(PROBES, n))]
    ns = {"CorvaleStrMap": {}, "dict": {}, "SortedDict": {}}
    built = {}

    def build(name, make):
        def run(keys):
            built[name] = None  # the last round's container goes first
            m = make()
            for k, v in zip(keys, vals):
                m[k] = v
            built[name] = m
        return run

    def record(row, times):
        for name, t in times.items():
            ns[name][row] = t

    record("insert", race({"CorvaleStrMap": build("CorvaleStrMap", CorvaleStrMap),
                           "dict": build("dict", dict)}, n,
                          setup=lambda: [b.decode() for b in blobs]))
    ours, d = built["CorvaleStrMap"], built["dict"]
    sd = SortedDict(d)

    hits = lambda: [b.decode() for b in sample]  # noqa: E731
    misses = lambda: [b.decode() + "~" for b in sample]  # noqa: E731
    gets = {"CorvaleStrMap": each(ours.get), "dict": each(d.get)}
    record("get hit", race(gets, len(sample), setup=hits))
    # The caller's own key objects: those the dict holds, hash cached.
    held = {k: k for k in d}
    own = [held[b.decode()] for b in sample]
    del held
    record("get hit, own key objects", race(gets, len(own), setup=lambda: own))
    record("get miss", race(gets, len(sample), setup=misses))
    record("get miss, key + .bak", race(gets, len(sample), setup=lambda: [b.decode() + ".bak" for b in sample]))
    record("get miss, held-out keys", race(gets, len(held_out), setup=lambda: [b.decode() for b in held_out]))
    nexts, prevs = {}, {}
    for name, m in (("CorvaleStrMap", ours), ("SortedDict", sd)):
        nxt, prv = neighbour_ops(name, m)
        nexts[name], prevs[name] = each(nxt), each(prv)
    record("next", race(nexts, len(sample), setup=misses))
    record("prev", race(prevs, len(sample), setup=misses))

    # Ranges of 10 to 10,000 keys from stored keys; the same bounds for both.
    for count in (10_000, 1_000, 100, 10):
        if count >= n:
            continue
        bounds = key_bounds(sd.keys(), rng, count)
        sd_range = range_of("SortedDict", sd, count)
        assert ours.range(*bounds[0]) == sd_range(*bounds[0])
        record(f"range of {count:,} keys", race({"CorvaleStrMap": each_pair(ours.range),
                                                 "SortedDict": each_pair(sd_range)}, len(bounds),
                                                setup=lambda: list(bounds)))

    def iterate(_):
        for _k in ours:
            pass

    # Our range and our iteration take turns too: the ratio of their costs
    # per entry is measured under the same load.
    own = race({"range": each_pair(ours.range), "iteration": iterate, "items": lambda _: ours.items()},
               {"range": len(bounds) * 10, "iteration": n, "items": n}, setup=lambda: list(bounds))
    ns["CorvaleStrMap"]["iteration"] = own["iteration"]
    ns["CorvaleStrMap"]["range per entry / iteration per key"] = own["range"] / own["iteration"]
    ns["CorvaleStrMap"]["range per entry / items() per entry"] = own["range"] / own["items"]
    return ns


def held_out_count(n):
    """How many of n keys --goals holds out of the maps as absent keys."""
    return min(PROBES, n // 10)


def goals(args):
    from resident import machine

    counts = key_counts(args)
    kinds = list(counts)
    lines = ["CorvaleStrMap speed goals, keys of each kind (mean length in bytes; a tenth of them, at most "
             f"{PROBES:,}, held out as absent keys): "
             + ", ".join(f"{label(kind)} {count:,} ({mean_length(kind, count):.1f} B)" for kind, count in counts.items())
             + f"; every container in one process (Python {sys.version.split()[0]}, {machine()}); our time / the "
             "peer's time, best of 3 rounds (goal met: ratio at or below the goal).", "",
             "| ratio | peer | goal | " + " | ".join(map(label, kinds)) + " |",
             "|---|---|---|" + "---:|" * len(kinds)]
    results = {}
    times = []
    for kind in kinds:
        print(f"{kind} ...", file=sys.stderr, flush=True)
        ns = goals_kind(kind, counts[kind])
        results[kind] = ns
        times.append(f"{label(kind)}: " + ", ".join(
            f"{op} {ns['CorvaleStrMap'][op]:.0f}" for op in
            ("insert", "get hit", "get miss", "next", "prev", "range of 10 keys", "iteration")))
    for row, peer, goal, only in GOALS:
        cells = []
        for kind in kinds:
            ours = results[kind]["CorvaleStrMap"][row]
            r = ours if peer == "ours" else ours / results[kind][peer][row]
            mark = "" if goal is None or (only and kind not in only) or r <= goal else " (missed)"
            cells.append(f"{r:.2f}{mark}")
        where = "" if goal is None else (f"<= {goal}" + (f" ({', '.join(only)})" if only else ""))
        lines.append(f"| {row} | {peer if peer != 'ours' else '-'} | {where} | " + " | ".join(cells) + " |")
    lines += ["", "Our times, ns per operation (range of 10 keys: per call; iteration: per key): "] + \
             [f"- {t}" for t in times]
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")


# ---------------------------------------------------------------- parent


def label(kind):
    """A kind as a table names it: a key file by its base name."""
    return "file:" + os.path.basename(kind[5:]) if kind.startswith("file:") else kind


def mean_length(kind, count):
    blobs = read_keys(kind, count)
    return sum(map(len, blobs)) / len(blobs)


def key_counts(args):
    """{kind: key count} of the kinds asked for that this machine has; the
    key files are written here, not in a child that measures memory."""
    counts = {}
    kinds = args.kinds.split(",") + ["file:" + path for path in args.keys_file]
    for kind in filter(None, kinds):
        count = prepare_keys(kind, args.n)
        if count is None:
            missing = kind[5:] if kind.startswith("file:") else f"{WORDS_FILE} (Debian: apt-get install wamerican)"
            print(f"{kind}: skipped, no {missing}", file=sys.stderr)
        else:
            counts[kind] = count
    return counts


def run_child(kind, peer, n, image=None):
    cmd = [sys.executable, __file__, "--worker", kind, peer, "--n", str(n)]
    if image:
        cmd += ["--image", image]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        print(f"  {peer} on {kind} failed: {done.stderr.strip().splitlines()[-1:]}", file=sys.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def fmt(x):
    if x is None:
        return "n/a"
    return f"{x:.3g}" if x < 100 else f"{x:.0f}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--kinds", default=",".join(KINDS + REAL_KINDS),
                    help="key kinds (empty: only those of --keys-file)")
    ap.add_argument("--keys-file", action="append", default=[],
                    help="a file of keys, one a line, run as the kind file:PATH (may be given again)")
    ap.add_argument("--peers", default=",".join(PEERS))
    ap.add_argument("--datrie-n", type=int, default=100_000,
                    help="keys for datrie, whose one-at-a-time insertion slows down with size")
    ap.add_argument("--worker", nargs=2)
    ap.add_argument("--image")
    ap.add_argument("--markdown")
    ap.add_argument("--goals", action="store_true",
                    help="the speed goals: dict, SortedDict and us in one process, as ratios")
    args = ap.parse_args()
    if args.goals:
        goals(args)
        return
    if args.worker:
        worker(args.worker[0], args.worker[1], args.n, args.image)
        return
    counts = key_counts(args)
    datrie_n = min(args.n, args.datrie_n)
    results = {}
    for kind, count in counts.items():
        if not is_real(kind):
            prepare_keys(kind, datrie_n)
        for peer in args.peers.split(","):
            if peer == "datrie" and is_real(kind):
                continue
            print(f"{kind} / {peer} ...", file=sys.stderr, flush=True)
            r = run_child(kind, peer, datrie_n if peer == "datrie" else count)
            if r and peer == "marisa":
                loaded = run_child(kind, peer, count, r["image"])
                if loaded:
                    loaded["ns"]["insert"] = r["ns"]["insert"]
                r = loaded
            results[(kind, peer)] = r
    lines = [f"CorvaleStrMap benchmark (datrie: {datrie_n:,} keys of each generated kind; "
             f"Python {sys.version.split()[0]}). Times in ns per operation; "
             "in brackets our time divided by the peer's (below 1: we are faster). "
             "Memory in bytes per key; in brackets the peer's figure divided by ours "
             "(above 1: we use less).", ""]
    peers = [p for p in args.peers.split(",") if p != "CorvaleStrMap"]
    for kind, count in counts.items():
        ours = results.get((kind, "CorvaleStrMap"))
        if not ours:
            continue
        blobs = read_keys(kind, count)
        per_node, path = tree_shape(blobs)
        mean_len = mean_length(kind, count)
        lines += [f"#### {label(kind)}", "",
                  f"{count:,} keys of {mean_len:.1f} bytes on average; our tree: one node per "
                  f"{per_node:.1f} keys, {path:.2f} nodes on a key's path.", "",
                  "| operation | CorvaleStrMap | " + " | ".join(peers) + " |",
                  "|---|---:|" + "---:|" * len(peers)]
        for op in OPS:
            row = [op, fmt(ours["ns"].get(op))]
            for p in peers:
                r = results.get((kind, p))
                v = r["ns"].get(op) if r else None
                ratio = f" ({ours['ns'][op] / v:.2f})" if v and op in ours["ns"] else ""
                row.append(fmt(v) + ratio)
            lines.append("| " + " | ".join(row) + " |")
        row = ["resident bytes/key", fmt(ours["rss_per_key"])]
        for p in peers:
            r = results.get((kind, p))
            row.append(fmt(r["rss_per_key"]) + f" ({r['rss_per_key'] / ours['rss_per_key']:.2f}x)"
                       if r else "n/a")
        lines.append("| " + " | ".join(row) + " |")
        lines.append(f"| mem_used bytes/key | {fmt(ours['mem_used_per_key'])} |" + " |" * len(peers))
        lines.append("")
    text = "\n".join(lines)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
