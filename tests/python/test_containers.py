"""CorvaleSet and CorvaleMap against a model (a dict plus a sorted key list):
one seeded randomized differential test per class that runs every method,
slot and input kind, and the edges a random walk is unlikely to reach (the
empty container, the 31/32-key switch between a flat array and a tree, the
256-key full range at the top of the key space)."""

import array
import bisect
import random

import pytest

from conftest import SEED, U64_MAX, packed
from corvale_trie._corvale import CorvaleMap, CorvaleMapKeyIter, CorvaleSet, CorvaleSetIter


def key_source(rng, kind):
    """A key generator of one distribution; "small" keeps sizes around the
    31/32 switch, "ascending" runs through the cached insert path."""
    base, state = rng.getrandbits(64) & ~0xFFFF, [rng.getrandbits(62)]
    centers, universe = [rng.getrandbits(64) for _ in range(6)], [rng.getrandbits(64) for _ in range(40)]

    def ascending():
        state[0] += rng.choice([1, 1, 1, 2, 5, 300])
        return state[0]

    return {
        "near-zero": lambda: rng.randrange(600),
        "near-max": lambda: U64_MAX - rng.randrange(600),
        "near-2**63": lambda: 2**63 - 300 + rng.randrange(600),
        "dense": lambda: base + rng.randrange(3000),
        "clusters": lambda: rng.choice(centers) ^ rng.getrandbits(12),
        "small": lambda: rng.choice(universe),
        "ascending": ascending,
        "uniform": lambda: rng.getrandbits(64),
    }[kind]


KINDS = ["near-zero", "near-max", "near-2**63", "dense", "clusters", "small", "ascending", "uniform"]


class Model:
    """Keys in a dict and a sorted list; the set stores None values."""

    def __init__(self, is_map):
        self.is_map, self.d, self.keys = is_map, {}, []

    def put(self, k, v=None):
        if k not in self.d:
            bisect.insort(self.keys, k)
        old = self.d.get(k)
        self.d[k] = v
        return old

    def pop(self, k):
        if k in self.d:
            self.keys.pop(bisect.bisect_left(self.keys, k))
        return self.d.pop(k, None)

    def entry(self, i):
        if not 0 <= i < len(self.keys):
            return None
        k = self.keys[i]
        return (k, self.d[k]) if self.is_map else k

    def entries(self, lo=0, hi=None):
        return [self.entry(i) for i in range(lo, len(self.keys) if hi is None else max(lo, hi))]

    def ge(self, t):
        return self.entry(bisect.bisect_left(self.keys, t))

    def le(self, t):
        return self.entry(bisect.bisect_right(self.keys, t) - 1)

    def range(self, start, end, inclusive):
        hi = None if end is None else (bisect.bisect_right if inclusive else bisect.bisect_left)(self.keys, end)
        return self.entries(bisect.bisect_left(self.keys, start), hi)


U64_SOURCES = [
    list,
    lambda v: (x for x in v),
    lambda v: packed(*v),
    lambda v: bytearray(packed(*v)),
    lambda v: memoryview(packed(*v)),
    lambda v: array.array("Q", v),
]


def check_queries(c, model, rng, draw, ctx):
    """Every read of either class against the model."""
    t = draw() if rng.randrange(3) else rng.choice([0, 1, U64_MAX - 1, U64_MAX])
    assert c.next_at_or_after(t) == c.next(t, True) == model.ge(t), ctx
    assert c.prev_at_or_before(t) == c.prev(t, inclusive=True) == model.le(t), ctx
    assert c.next_after(t) == c.next(t) == c.next(t, False) == (model.ge(t + 1) if t < U64_MAX else None), ctx
    assert c.prev_before(t) == c.prev(t) == (model.le(t - 1) if t > 0 else None), ctx
    u = draw()
    assert c.count_below(t) == bisect.bisect_left(model.keys, t), ctx
    assert c.count_range(t, u) == (len(model.range(t, u, True)) if t <= u else 0), ctx
    i = rng.choice([rng.randrange(len(model.keys) + 2), U64_MAX])
    assert c.by_count(i) == model.entry(i), ctx
    start, end = rng.choice([None, t, 0]), rng.choice([None, u, U64_MAX])
    inclusive = rng.choice([True, False, None])
    args = {k: v for k, v in (("start", start), ("end", end)) if v is not None or rng.randrange(2)}
    if inclusive is not None:
        args["inclusive"] = inclusive
    assert c.range(**args) == model.range(start or 0, end, inclusive is not False), ctx
    # The scan starts where its start key lies: starts at, just below and
    # just above stored keys, with short and open ends.
    for k in rng.sample(model.keys, min(4, len(model.keys))):
        for s0 in (k - 1, k, k + 1):
            if 0 <= s0 <= U64_MAX:
                e0 = min(U64_MAX, s0 + rng.choice([0, 1, 300]))
                assert c.range(s0, e0) == model.range(s0, e0, True), (ctx, s0, e0)
                assert c.range(s0, e0, False) == model.range(s0, e0, False), (ctx, s0, e0)
    probe = [draw() for _ in range(rng.randrange(30))] + rng.sample(model.keys, min(9, len(model.keys)))
    if model.is_map:
        assert c.get_batch(probe) == [model.d.get(x) for x in probe], ctx
        assert [c.get(x, 1) for x in probe] == [model.d.get(x, 1) for x in probe], ctx
        assert [c.get(x) for x in probe] == [model.d.get(x) for x in probe], ctx
        assert [x in c for x in probe] == [c.contains_key(x) for x in probe] == [x in model.d for x in probe], ctx
    else:
        assert c.contains_batch(probe) == [x in c for x in probe] == [x in model.d for x in probe], ctx
        assert [c.contains(x) for x in probe] == [x in model.d for x in probe], ctx
    if rng.randrange(4) == 0:
        it = iter(c)
        assert type(it) is (CorvaleMapKeyIter if model.is_map else CorvaleSetIter)
        assert len(it) == len(model.keys) and list(it) == model.keys and len(it) == 0, ctx
        assert c.to_list() == model.entries(), ctx
        assert c.first() == model.entry(0) and c.last() == model.entry(len(model.keys) - 1), ctx
        if model.is_map:
            assert c.items() == model.entries() and c.keys() == model.keys, ctx
            assert c.values() == [model.d[k] for k in model.keys], ctx


def set_step(s, model, rng, draw, ctx):
    op, k = rng.randrange(100), draw()
    if op < 30:
        assert (s.insert(k) if op % 2 else s.add(k)) == (k not in model.d), ctx
        model.put(k)
    elif op < 45:
        assert (s.remove(k) if op % 2 else s.discard(k)) == (k in model.d), ctx
        model.pop(k)
    elif op < 50:
        if model.keys:
            assert s.pop() == model.keys[0], ctx
            model.pop(model.keys[0])
        else:
            with pytest.raises(KeyError):
                s.pop()
    elif op < 55:
        batch = [draw() for _ in range(rng.randrange(60))]
        make = rng.choice(U64_SOURCES + [CorvaleSet, lambda v: CorvaleMap((x, 0) for x in v)])
        source = make(batch)
        if op % 2:
            assert s.insert_many(source) == (len(batch) if make in U64_SOURCES else len(source)), ctx
        else:
            assert s.update(list(batch) if isinstance(source, (bytes, bytearray, memoryview)) else source) is None
        for x in batch:
            model.put(x)
    elif op < 56:
        allocs = s.total_node_allocs()
        assert s.clear() is None and s.total_node_allocs() == allocs, ctx
        model.__init__(False)
    else:
        check_queries(s, model, rng, draw, ctx)


def map_step(m, model, rng, draw, ctx):
    op, k = rng.randrange(100), draw()
    v = rng.choice([0, U64_MAX, rng.getrandbits(64)])
    if op < 20:
        assert m.insert(k, v) == model.put(k, v), ctx
    elif op < 28:
        m[k] = v
        model.put(k, v)
    elif op < 38:
        assert m.remove(k) == model.pop(k), ctx
    elif op < 45:
        if k in model.d:
            if op % 2:
                assert m[k] == model.d[k] and m.pop(k, 7) == model.pop(k), ctx
            else:
                del m[k]
                model.pop(k)
        else:
            with pytest.raises(KeyError):
                m.pop(k) if op % 2 else m[k]
            assert m.pop(k, 3) == 3, ctx
    elif op < 50:
        batch = [(draw(), rng.choice([0, rng.getrandbits(64)])) for _ in range(rng.randrange(50))]
        how = rng.randrange(6)
        if how < 2:
            ks, vs = [p[0] for p in batch], [p[1] for p in batch]
            assert m.insert_many(rng.choice(U64_SOURCES)(ks), rng.choice(U64_SOURCES)(vs)) == len(batch)
        else:
            source = [batch, (p for p in batch), dict(batch), CorvaleMap(batch)][how - 2]
            assert m.update(source) is None, ctx
        for bk, bv in batch:
            model.put(bk, bv)
    elif op < 51:
        allocs = m.total_node_allocs()
        assert m.clear() is None and m.total_node_allocs() == allocs, ctx
        model.__init__(True)
    else:
        check_queries(m, model, rng, draw, ctx)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("cls", [CorvaleSet, CorvaleMap], ids=["set", "map"])
def test_randomized_against_model(cls, kind):
    rng = random.Random(f"{SEED}-{cls.__name__}-{kind}")
    draw = key_source(rng, kind)
    is_map = cls is CorvaleMap
    c, model, step_fn = cls(), Model(is_map), (map_step if is_map else set_step)
    allocs = 0
    for step in range(1500):
        ctx = f"seed={SEED} class={cls.__name__} kind={kind} step={step}"
        step_fn(c, model, rng, draw, ctx)
        n = len(model.keys)
        assert (len(c), bool(c), c.is_empty(), c.empty) == (n, n > 0, n == 0, n == 0), ctx
        assert repr(c) == f"{cls.__name__}(len={n})", ctx
        assert (c.mem_used() == 0) == (n == 0) and c.total_node_allocs() >= allocs, ctx
        allocs = c.total_node_allocs()
    assert c.to_list() == model.entries()
    # A copy made through the constructor answers alike.
    assert cls(model.d.items() if is_map else model.keys).to_list() == model.entries()


@pytest.mark.parametrize("cls", [CorvaleSet, CorvaleMap], ids=["set", "map"])
def test_empty_container(cls):
    for c in (cls(), cls(None), cls([]), cls(()), cls(iter([]))):
        assert (len(c), bool(c), c.empty, c.is_empty(), repr(c)) == (0, False, True, True, f"{cls.__name__}(len=0)")
        assert (c.mem_used(), c.total_node_allocs()) == (0, 0)
        assert [c.first(), c.last(), c.next(0), c.next(0, True), c.prev(U64_MAX), c.prev(U64_MAX, True),
                c.next_after(1), c.next_at_or_after(1), c.prev_before(1), c.prev_at_or_before(1),
                c.by_count(0)] == [None] * 11
        assert (c.count_below(U64_MAX), c.count_range(0, U64_MAX)) == (0, 0)
        assert c.range() == c.to_list() == list(c) == []
        if cls is CorvaleMap:
            assert c.get_batch([0, U64_MAX]) == [None, None] and c.get(0, 5) == 5
        else:
            assert c.contains_batch([0, U64_MAX]) == [False, False]
        it = iter(c)
        assert len(it) == 0 and not it
        with pytest.raises(StopIteration):
            next(it)


@pytest.mark.parametrize("n", [30, 31, 32, 143])
@pytest.mark.parametrize("cls", [CorvaleSet, CorvaleMap], ids=["set", "map"])
def test_every_probe_on_flat_and_tree_roots(cls, n):
    keys = list(range(0, 7 * n, 7))
    c = CorvaleMap((k, k + 1) for k in keys) if cls is CorvaleMap else CorvaleSet(keys)
    entry = (lambda x: (x, x + 1)) if cls is CorvaleMap else (lambda x: x)
    for t in range(0, 7 * n + 3):
        i, j = bisect.bisect_left(keys, t), bisect.bisect_right(keys, t)
        assert c.next_at_or_after(t) == (entry(keys[i]) if i < n else None)
        assert c.next_after(t) == (entry(keys[j]) if j < n else None)
        assert c.prev_at_or_before(t) == (entry(keys[j - 1]) if j > 0 else None)
        assert c.prev_before(t) == (entry(keys[i - 1]) if i > 0 else None)
        assert c.count_below(t) == i


def test_full_range_at_the_top_of_the_key_space():
    keys = list(range(2**64 - 256, 2**64))
    s = CorvaleSet(keys + [0])
    assert s.contains_batch(keys + [2**64 - 257, 1]) == [True] * 256 + [False, False]
    assert list(s) == s.to_list() == s.range() == [0] + keys
    assert s.range(2**64 - 10) == keys[-10:] and s.range(end=U64_MAX, inclusive=False) == [0] + keys[:-1]
    assert s.by_count(256) == U64_MAX and s.by_count(257) is None and s.count_below(U64_MAX) == 256
    assert s.count_range(2**64 - 256, U64_MAX) == 256
    assert s.next_after(U64_MAX - 1) == U64_MAX and s.next_after(U64_MAX) is None
    assert s.prev_before(2**64 - 256) == 0 and s.next_after(0) == 2**64 - 256
    for k in keys[::17]:
        assert s.remove(k) is True and k not in s and s.next_at_or_after(k) == (k + 1 if k < U64_MAX else None)
        assert s.insert(k) is True
    assert s.to_list() == [0] + keys
    assert [s.pop() for _ in range(257)] == [0] + keys and s.is_empty()
