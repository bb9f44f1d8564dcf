"""SyncCorvaleMap and SyncCorvaleSet: their surface (methods, signatures,
docstrings, error texts), a seeded differential test against dict/set
models, update and insert_many from every source, the snapshot iterators and
their thread binding, and a bounded multi-threaded stress test."""

import gc
import random
import subprocess
import sys
import threading
import time

import pytest

import corvale_trie._corvale as _corvale
from conftest import SEED, U64_MAX, IndexOf, fail_in_turn, notes, packed, raises_exactly, requires_test_hooks
from corvale_trie._corvale import CorvaleMap, CorvaleSet, SyncCorvaleMap, SyncCorvaleSet

CLASS_DOC = (
    "A thread-safe, concurrent 64-bit integer {} with optimistic concurrency control (OCC).\n\n"
    "Lookups, scans, and range queries execute lock-free and release the Python GIL\n"
    "via `py.detach(...)`, unlocking multithreaded read throughput across CPU cores."
)
NAV = [
    ("next", "key, inclusive=False",
     "Smallest {} with key `> key` (or `>= key` if `inclusive=True`) releasing the GIL."),
    ("prev", "key, inclusive=False",
     "Largest {} with key `< key` (or `<= key` if `inclusive=True`) releasing the GIL."),
    ("count_below", "key", "Number of keys strictly below `key` releasing the GIL."),
]
RANGE_DOC = "Range scan releasing the GIL during traversal.\n\n"
MAP_METHODS = [
    ("is_empty", "", "True when no entries are present (GIL-free read).\nTrue when empty releasing the GIL."),
    ("get", "key, default=None", "Look up `key` releasing the GIL, returning `default` (or None) if absent."),
    ("insert", "key, val", "Inserts `key -> val` releasing the GIL; returns the previous value, if any."),
    ("remove", "key",
     "Removes `key` releasing the GIL; returns its previous value, or `None` if absent.\n\n"
     "This mirrors `CorvaleMap.remove` (which returns an `Optional[int]`); use\n"
     "`del map[key]` or `pop(key)` for the KeyError-on-missing semantics."),
    ("pop", "key, default=None",
     "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, otherwise raises `KeyError`."),
    ("clear", "", "Removes all entries from the concurrent map."),
    ("first", "", "Smallest entry `(key, value)` releasing the GIL."),
    ("last", "", "Largest entry `(key, value)` releasing the GIL."),
    *[(n, p, d.format("entry")) for n, p, d in NAV],
    ("by_count", "index", "The entry `(key, value)` with `index` keys below it releasing the GIL."),
    ("count_range", "start, end", "Number of keys in the range `[start, end]` releasing the GIL."),
    ("range", "start=None, end=None, inclusive=True",
     RANGE_DOC + "`inclusive=True` (the default) includes `end`, matching `CorvaleMap.range`/\n"
     "`CorvaleSet.range`; pass `inclusive=False` for a half-open `[start, end)` range."),
    ("keys", "", "Returns all keys in ascending order."),
    ("values", "", "Returns all values in key-ascending order."),
    ("items", "", "Returns all `(key, value)` pairs in ascending order."),
    ("update", "other", "Updates the concurrent map from another mapping or iterable."),
    ("insert_many", "keys, values", "Bulk insertion from buffers (keys and values)."),
]
SET_METHODS = [
    ("is_empty", "", "True when no elements are in the set releasing the GIL.\nTrue when empty releasing the GIL."),
    ("contains", "key", "Check membership releasing the GIL."),
    ("insert", "key", "Inserts key releasing the GIL."),
    ("add", "key", "Adds `key` to the set (standard Python set method). Returns `True` if newly inserted."),
    ("remove", "key", None),
    ("discard", "key", "Removes `key` if present releasing the GIL; returns `True` if present."),
    ("clear", "", "Removes all elements from the concurrent set."),
    ("first", "", "Smallest element in the set releasing the GIL."),
    ("last", "", "Largest element in the set releasing the GIL."),
    *[(n, p, d.format("element")) for n, p, d in NAV],
    ("by_count", "index", "The element with `index` keys below it releasing the GIL."),
    ("count_range", "start, end", "Number of keys in the range `[start, end]` releasing the GIL."),
    ("range", "start=None, end=None, inclusive=True", None),
    ("update", "other", "Updates the set from another set or iterable."),
    ("insert_many", "keys", "Bulk insertion from a buffer or iterable of integers."),
]
ITERATORS = {
    "SyncCorvaleMapKeyIter": "Key iterator for [`SyncCorvaleMap`].",
    "SyncCorvaleMapValueIter": "Value iterator for [`SyncCorvaleMap`].",
    "SyncCorvaleMapItemIter": "Item iterator for [`SyncCorvaleMap`].",
    "SyncCorvaleMapRangeIter": "Range iterator for [`SyncCorvaleMap`].",
    "SyncCorvaleSetIter": "Key iterator for [`SyncCorvaleSet`].",
    "SyncCorvaleSetRangeIter": "Range iterator for [`SyncCorvaleSet`].",
}


def on_thread(fn):
    """Runs fn() on a new thread; returns its result or raises its error."""
    out = {}

    def run():
        try:
            out["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - handed back to the caller
            out["error"] = exc

    t = threading.Thread(target=run)
    t.start()
    t.join()
    if "error" in out:
        raise out["error"]
    return out.get("value")


# ---------------------------------------------------------------------------
# Surface


@pytest.mark.parametrize("cls, kind, table, slots", [
    (SyncCorvaleMap, "map", MAP_METHODS, ["__repr__", "__iter__", "__bool__", "__len__", "__getitem__",
                                          "__setitem__", "__delitem__", "__contains__"]),
    (SyncCorvaleSet, "set", SET_METHODS, ["__repr__", "__iter__", "__bool__", "__len__", "__contains__"]),
], ids=["map", "set"])
def test_class_surface(cls, kind, table, slots):
    name = cls.__name__
    assert (cls.__qualname__, cls.__module__, cls.__base__) == (name, "corvale_trie._corvale", object)
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ == CLASS_DOC.format(kind)
    assert {k for k in cls.__dict__ if k.startswith("__")} == {"__doc__", "__module__", "__new__", *slots}
    assert [k for k in cls.__dict__ if not k.startswith("__")] == [n for n, _, _ in table] + ["empty"]
    for method, params, doc in table:
        fn = getattr(cls, method)
        assert fn.__text_signature__ == f"($self{', ' if params else ''}{params})", method
        if doc is not None:
            assert fn.__doc__ == doc, method
    assert cls.empty.__doc__ == "Property returning True if empty."
    with raises_exactly(TypeError, f"{name}.__new__() takes 0 positional arguments but 1 was given"):
        cls([1])
    with pytest.raises(TypeError):
        cls(items=1)
    assert repr(cls()) == f"{name}(len=0)"


@pytest.mark.parametrize("name", list(ITERATORS))
def test_iterator_classes(name):
    cls = getattr(_corvale, name)
    assert (cls.__name__, cls.__module__, cls.__doc__) == (name, "corvale_trie._corvale", ITERATORS[name])
    assert set(cls.__dict__) == {"__doc__", "__module__", "__new__", "__iter__", "__next__", "__len__"}
    with raises_exactly(TypeError, f"cannot create 'corvale_trie._corvale.{name}' instances"):
        cls()


def test_empty_containers():
    m, s = SyncCorvaleMap(), SyncCorvaleSet()
    for c in (m, s):
        assert not c and len(c) == 0 and c.is_empty() and c.empty
        assert c.first() is None and c.last() is None and c.by_count(0) is None
        assert c.next(0) is None and c.prev(5) is None
        assert c.count_range(0, U64_MAX) == 0 and list(c.range()) == [] and list(c) == []
    it = iter(m)
    assert len(it) == 0 and next(it, "end") == "end"


@pytest.mark.parametrize("cls", [SyncCorvaleMap, SyncCorvaleSet])
def test_argument_errors(cls):
    c = cls()
    with pytest.raises(OverflowError) as exc_info:
        -1 in c  # noqa: B015 - raises instead of answering False
    assert notes(exc_info) == ["while processing 'key'"]
    with pytest.raises(OverflowError):
        2**64 in c  # noqa: B015
    with pytest.raises(TypeError) as exc_info:
        c.next(1, inclusive=1)
    assert notes(exc_info) == ["while processing 'inclusive'"]
    with pytest.raises(TypeError) as exc_info:
        c.count_range(1, "x")
    assert notes(exc_info) == ["while processing 'end'"]
    with pytest.raises(OverflowError) as exc_info:
        c.by_count(-1)
    assert notes(exc_info) == ["while processing 'index'"]
    assert len(c) == 0


def test_map_edge_cases():
    m = SyncCorvaleMap()
    with raises_exactly(KeyError, "Key 3 not found in SyncCorvaleMap"):
        m[3]
    with raises_exactly(KeyError, "Key 3 not found in SyncCorvaleMap"):
        del m[3]
    with raises_exactly(KeyError, "Key 3 not found in SyncCorvaleMap"):
        m.pop(3)
    with raises_exactly(KeyError, "Key 3 not found in SyncCorvaleMap"):
        m.pop(3, None)
    assert m.get(3) is None and m.get(3, 5) == 5 and m.get(3, None) is None
    m[3] = 30
    for key in (3, 4):
        with pytest.raises(TypeError) as exc_info:
            m.get(key, "x")
        assert notes(exc_info) == ["while processing 'default'"]
    assert m.pop(4, 7) == 7 and len(m) == 1
    with pytest.raises(OverflowError) as exc_info:
        m.pop(3, -1)
    assert notes(exc_info) == ["while processing 'default'"] and m[3] == 30
    with pytest.raises(TypeError) as exc_info:
        m[5] = "v"
    assert notes(exc_info) == ["while processing 'val'"] and 5 not in m
    assert m.insert(3, 31) == 30 and m.remove(3) == 31 and m.remove(3) is None
    m[U64_MAX] = 1
    m[0] = 2
    assert m.next(U64_MAX) is None and m.next(U64_MAX, inclusive=True) == (U64_MAX, 1)
    assert m.prev(0) is None and m.prev(0, True) == (0, 2)
    m[10] = 3
    assert m.count_range(5, 3) == 0 and m.count_range(10, 10) == 1 and m.count_range(9, 9) == 0
    assert m.count_range(0, U64_MAX) == len(m) == 3
    assert m.count_range(1, 11) == 1  # end absent
    assert list(m.range(3, 10)) == [(10, 3)] and list(m.range(3, 10, inclusive=False)) == []
    assert list(m.range(10, 5)) == [] and list(m.range(end=None, inclusive=False)) == list(m.items())
    assert m.by_count(len(m)) is None and m.by_count(0) == m.first()
    assert repr(m) == "SyncCorvaleMap(len=3)" and m.count_below(IndexOf(11)) == 2


def test_set_edge_cases():
    s = SyncCorvaleSet()
    assert s.insert(1) is True and s.insert(1) is False and s.add(2) is True
    assert s.remove(9) is False and s.discard(9) is False and s.discard(2) is True
    s.insert(U64_MAX)
    assert s.next(U64_MAX) is None and s.next(1, inclusive=True) == 1 and s.prev(0) is None
    assert list(s.range()) == [1, U64_MAX]
    assert list(s.range(1, 1)) == [1] and list(s.range(1, 1, inclusive=False)) == []
    assert list(s.range(5, 3)) == [] and s.count_range(5, 3) == 0
    assert s.by_count(len(s)) is None and s.contains(1) and 1 in s


def test_insert_many():
    m = SyncCorvaleMap()
    assert m.insert_many([1, 1], [5, 6]) == 2 and m[1] == 6 and len(m) == 1
    with raises_exactly(ValueError, "insert_many: keys (1) and values (2) must have the same number of elements"):
        m.insert_many([7], [2, 3])
    with raises_exactly(ValueError, "insert_many: keys byte buffer length (12) is not a multiple of 8; "
                                    "a packed u64 buffer must contain whole 8-byte elements"):
        m.insert_many(b"x" * 12, [1])
    assert m.insert_many(packed(8, 9), memoryview(packed(80, 90))) == 2 and m[9] == 90
    assert list(m) == [1, 8, 9]

    s = SyncCorvaleSet()
    with raises_exactly(ValueError, "insert_many: keys byte buffer length (12) is not a multiple of 8; "
                                    "a packed u64 buffer must contain whole 8-byte elements"):
        s.insert_many(b"x" * 12)
    assert len(s) == 0
    assert s.insert_many([1, 1, 2]) == 3 and list(s) == [1, 2]
    assert s.insert_many(bytearray(packed(5, U64_MAX))) == 2 and s.last() == U64_MAX
    with pytest.raises(OverflowError):
        s.insert_many([10, -1, 11])
    assert 10 in s and 11 not in s  # the keys before the failure stay


def test_update_sources():
    m = SyncCorvaleMap()
    m.update({1: 2})
    m.update([(3, 4)])
    m.update(CorvaleMap({5: 6}))
    other = SyncCorvaleMap()
    other[7] = 8
    m.update(other)
    m.update(m)  # from itself: unchanged, no deadlock
    assert list(m.items()) == [(1, 2), (3, 4), (5, 6), (7, 8)]
    m.update([(1, 1), (1, 9)])
    assert m[1] == 9
    with pytest.raises(TypeError):
        m.update({10: 2, 11: "x"})
    with raises_exactly(ValueError, "expected tuple of length 2, but got tuple of length 1"):
        m.update([(10, 2), (11,)])
    with pytest.raises(TypeError):
        m.update([[10, 2]])
    with pytest.raises(TypeError):
        m.update(5)
    assert 10 not in m and len(m) == 4

    with raises_exactly(RuntimeError, "dictionary changed size during iteration"):
        m.update(_mutating_dict())
    assert 30 not in m and len(m) == 4

    s = SyncCorvaleSet()
    s.update([3, 1])
    s.update(CorvaleSet([5]))
    t = SyncCorvaleSet()
    t.insert(7)
    s.update(t)
    s.update(s)
    assert list(s) == [1, 3, 5, 7]
    with pytest.raises(OverflowError):
        s.update([9, -1])
    assert 9 not in s and len(s) == 4


def _mutating_dict():
    """A dict whose second value's __index__ adds an entry to it."""
    d = {}
    d[30] = 1
    d[31] = IndexOf(2, lambda: d.__setitem__(32, 0))
    d[33] = 3
    return d


def test_update_from_a_plain_container_of_another_thread(owner_thread):
    owner_thread.make("map", lambda: CorvaleMap({1: 2}))
    owner_thread.make("set", lambda: CorvaleSet([1]))
    m, s = SyncCorvaleMap(), SyncCorvaleSet()
    with raises_exactly(RuntimeError, "_corvale::map::CorvaleMap is unsendable, but sent to another thread"):
        m.update(owner_thread.objects["map"])
    with raises_exactly(RuntimeError, "_corvale::set::CorvaleSet is unsendable, but sent to another thread"):
        s.update(owner_thread.objects["set"])
    assert len(m) == 0 and len(s) == 0


def test_snapshot_iterators_and_their_thread():
    m = SyncCorvaleMap()
    for k in (3, 1, 2):
        m[k] = k * 10
    items = m.items()
    m[5] = 50
    del m[1]
    assert len(items) == 3 and iter(items) is items
    assert list(items) == [(1, 10), (2, 20), (3, 30)] and list(items) == [] and len(items) == 0
    assert list(m.values()) == [20, 30, 50] and list(m.keys()) == [2, 3, 5]
    rng = m.range(2, 5, inclusive=False)
    assert type(rng).__name__ == "SyncCorvaleMapRangeIter" and list(rng) == [(2, 20), (3, 30)]
    keys = iter(m)
    with raises_exactly(RuntimeError,
                        "_corvale::sync::SyncCorvaleMapKeyIter is unsendable, but sent to another thread"):
        on_thread(lambda: next(keys))
    assert next(keys) == 2
    s = SyncCorvaleSet()
    s.insert_many([4, 2])
    sit = iter(s)
    with raises_exactly(RuntimeError, "_corvale::sync::SyncCorvaleSetIter is unsendable, but sent to another thread"):
        on_thread(lambda: len(sit))
    assert list(sit) == [2, 4] and type(s.range()).__name__ == "SyncCorvaleSetRangeIter"


def test_made_on_one_thread_used_and_released_on_another(unraisable):
    gc.collect()  # earlier tests' thread-bound garbage goes on this thread, not on the workers
    holder = {"m": on_thread(SyncCorvaleMap), "s": on_thread(SyncCorvaleSet)}
    holder["m"][1] = 2
    holder["s"].add(1)
    on_thread(lambda: holder["m"].update({3: 4}))
    assert on_thread(lambda: holder["m"][3]) == 4 and on_thread(lambda: 1 in holder["s"])
    on_thread(holder.clear)
    assert unraisable == []


# ---------------------------------------------------------------------------
# Differential test against models


def test_differential_against_models():
    rng = random.Random(SEED)
    for trial in range(6):
        m, s = SyncCorvaleMap(), SyncCorvaleSet()
        dm, ds = {}, set()
        base = rng.choice([0, 2**40, U64_MAX - 5000])
        for step in range(3000):
            k = min(base + rng.randrange(4000), U64_MAX)
            op = rng.randrange(10)
            ctx = f"seed {SEED} trial {trial} step {step} op {op} key {k}"
            if op < 4:
                v = rng.randrange(2**64)
                assert m.insert(k, v) == dm.get(k), ctx
                dm[k] = v
                assert s.insert(k) == (k not in ds), ctx
                ds.add(k)
            elif op < 6:
                assert m.remove(k) == dm.pop(k, None), ctx
                assert s.discard(k) == (k in ds), ctx
                ds.discard(k)
            elif op < 8:
                assert m.get(k) == dm.get(k) and (k in s) == (k in ds), ctx
            else:
                keys = sorted(ds)
                below = sum(1 for x in keys if x < k)
                assert s.count_below(k) == below and m.count_below(k) == sum(1 for x in dm if x < k), ctx
                hi = min(k + rng.randrange(100), U64_MAX)
                assert s.count_range(k, hi) == sum(1 for x in keys if k <= x <= hi), ctx
                assert m.count_range(k, hi) == sum(1 for x in dm if k <= x <= hi), ctx
                nxt = [x for x in keys if x > k]
                assert s.next(k) == (nxt[0] if nxt else None), ctx
                if below < len(keys):
                    assert s.by_count(below) == keys[below], ctx
        assert len(m) == len(dm) and len(s) == len(ds)
        assert list(m.items()) == sorted(dm.items()) and list(s) == sorted(ds)
        assert list(m.range(base + 100, base + 2000)) == sorted(
            (k, v) for k, v in dm.items() if base + 100 <= k <= base + 2000)


# ---------------------------------------------------------------------------
# Threads


def value_of(key):
    return (key * 0x9E3779B97F4A7C15 ^ 0x5555) % 2**64


KEY_SHAPES = {
    "dense": lambda rng, n: list(range(10_000, 10_000 + n)),
    "clustered": lambda rng, n: sorted({rng.choice([0, 2**32, 2**56]) + rng.randrange(3 * n)
                                        for _ in range(n)}),
    "random": lambda rng, n: sorted({rng.randrange(2**64) for _ in range(n)}),
    "ascending": lambda rng, n: [2**48 + 3 * i for i in range(n)],
}


@pytest.mark.parametrize("shape", list(KEY_SHAPES))
def test_threads_insert_remove_look_up_count_and_iterate(shape):
    rng = random.Random(f"{SEED}-{shape}")
    keys = KEY_SHAPES[shape](rng, 6000)
    stable, churn, absent = keys[0::4], keys[1::4] + keys[2::4], keys[3::4]
    m, s = SyncCorvaleMap(), SyncCorvaleSet()
    m.insert_many(stable, [value_of(k) for k in stable])
    s.update(stable)
    deadline = time.monotonic() + 1.5
    errors = []
    writers_done = threading.Event()

    def writer(part):
        try:
            mine = churn[part::2]
            for _ in range(2):  # ascending inserts, then removals
                for k in mine:
                    m[k] = value_of(k)
                    s.add(k)
                for k in mine:
                    del m[k]
                    s.remove(k)
                if time.monotonic() > deadline:
                    break
            for k in mine[::3]:
                m.insert(k, value_of(k))
                s.insert(k)
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    def reader(seed):
        r = random.Random(seed)
        try:
            while not writers_done.is_set():
                for _ in range(200):
                    k = r.choice(stable)
                    if m.get(k) != value_of(k) or k not in s:
                        errors.append(f"stable key {k} lost")
                    k = r.choice(absent)
                    if k in m or k in s:
                        errors.append(f"phantom key {k}")
                    k = r.choice(churn)
                    v = m.get(k)
                    if v is not None and v != value_of(k):
                        errors.append(f"key {k} has value {v}")
                    if not len(stable) <= len(m) <= len(stable) + len(churn):
                        errors.append(f"len {len(m)}")
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    def scanner():
        try:
            while not writers_done.is_set():
                snap = list(m.keys())
                if snap != sorted(set(snap)) or not set(stable) <= set(snap):
                    errors.append("map snapshot not sorted or missing stable keys")
                ks = list(s.range(stable[0], stable[-1]))
                if ks != sorted(set(ks)):
                    errors.append("set range not sorted")
                lo = stable[len(stable) // 2]
                if s.count_range(stable[0], lo) < len(stable) // 2 + 1:
                    errors.append("count_range below the stable keys")
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    writers = [threading.Thread(target=writer, args=(p,)) for p in range(2)]
    others = [threading.Thread(target=reader, args=(i,)) for i in range(3)] + [threading.Thread(target=scanner)]
    for t in writers + others:
        t.start()
    for t in writers:
        t.join()
    writers_done.set()
    for t in others:
        t.join()
    assert errors == []
    final = set(stable) | {k for part in range(2) for k in churn[part::2][::3]}
    assert len(m) == len(s) == len(final)
    assert list(m.keys()) == sorted(final) and list(s) == sorted(final)
    assert all(m[k] == value_of(k) for k in final)
    assert s.count_range(0, U64_MAX) == len(final) and m.by_count(len(final) - 1) == (max(final), value_of(max(final)))


# ---------------------------------------------------------------------------
# Out of memory in a read

_KEYS = list(range(0, 2000, 3)) + [2**40 + k for k in range(300)] + [U64_MAX]
# Reads both classes have (an update from the container itself reads it
# whole under its writer mutex, then overwrites every key with itself).
_SHARED_READS = [
    ("repr", repr),
    ("first", lambda c: c.first()),
    ("last", lambda c: c.last()),
    ("next", lambda c: c.next(10)),
    ("prev", lambda c: c.prev(2**40, inclusive=True)),
    ("count_below", lambda c: c.count_below(2**40 + 100)),
    ("by_count", lambda c: c.by_count(700)),
    ("count_range", lambda c: c.count_range(5, 2**41)),
    ("range", lambda c: c.range(5, 900)),
    ("range-all", lambda c: c.range()),
    ("iter", iter),
    ("update-from-itself", lambda c: c.update(c)),
]
_MAP_READS = [
    ("get", lambda m: m.get(2**40 + 5)),
    ("get-default", lambda m: m.get(1, 2**63)),
    ("getitem", lambda m: m[U64_MAX]),
    ("contains", lambda m: 2**40 + 7 in m),
    ("keys", lambda m: m.keys()),
    ("values", lambda m: m.values()),
    ("items", lambda m: m.items()),
    *_SHARED_READS,
]
_SET_READS = [
    ("contains", lambda s: 2**40 + 7 in s),
    ("contains-method", lambda s: s.contains(U64_MAX)),
    *_SHARED_READS,
]
# Reads that make no object and allocate nothing: never refused.
_COUNT_READS = [len, bool, lambda c: c.is_empty(), lambda c: c.empty]


def _filled(kind):
    if kind == "map":
        m = SyncCorvaleMap()
        m.insert_many(_KEYS, [k * 7 % 2**64 for k in _KEYS])
        return m
    s = SyncCorvaleSet()
    s.insert_many(_KEYS)
    return s


def _content(c):
    return list(c.items()) if isinstance(c, SyncCorvaleMap) else list(c)


def _plain(result):
    """An iterator result as its list; any other result as it is."""
    return list(result) if type(result).__name__.endswith("Iter") else result


@requires_test_hooks
@pytest.mark.parametrize("kind, call", [("map", c) for _, c in _MAP_READS] + [("set", c) for _, c in _SET_READS],
                         ids=[f"map-{n}" for n, _ in _MAP_READS] + [f"set-{n}" for n, _ in _SET_READS])
def test_allocation_failure_in_a_read_raises_memory_error_and_leaves_the_container_usable(kind, call):
    """Every allocation of a read (its snapshot vector, its result objects,
    the iterator object, the thread's first registration with the container
    for a lookup), in turn, is made to fail: each gives MemoryError, the
    container keeps its content, and the next calls of every kind work (a
    failed read must not poison the writer mutex)."""
    want = _plain(call(_filled(kind)))
    got, c, failures = fail_in_turn(lambda: _filled(kind), call, lambda c: (_content(c), c.first(), len(c)),
                                    lambda before: [before])
    assert _plain(got) == want
    assert failures >= 1
    before = _content(c)
    # Writers and every read still get the mutex.
    probe = 2**50 + 1
    if kind == "map":
        c[probe] = 9
        assert c.get(probe) == 9 and c.pop(probe) == 9
    else:
        assert c.add(probe) and probe in c and c.discard(probe)
    assert _content(c) == before and _plain(call(c)) == want


@requires_test_hooks
@pytest.mark.parametrize("cls", [SyncCorvaleMap, SyncCorvaleSet])
def test_counts_allocate_nothing(cls):
    c = _filled("map" if cls is SyncCorvaleMap else "set")
    for read in _COUNT_READS:
        _corvale._fail_allocations_after(1)
        try:
            got = read(c)
        finally:
            _corvale._fail_allocations_after(0)
        assert got == read(c)


@requires_test_hooks
def test_lookups_of_a_thread_allocate_only_at_its_first_lookup():
    """A thread registers with a container at its first lookup; later
    lookups allocate nothing (an armed countdown is not consumed; only a
    found value would make an object)."""
    m, s = _filled("map"), _filled("set")

    def look_up():
        assert m.get(3) == 21 and 2**40 + 1 in s  # registers
        _corvale._fail_allocations_after(1)
        try:
            for k in _KEYS:
                assert k in m and (k in s) and m.get(k ^ 2**62) is None
        finally:
            _corvale._fail_allocations_after(0)

    look_up()
    on_thread(look_up)


# Daemon threads still inside calls (with the interpreter lock released)
# when the interpreter exits: the exit is clean. Each child keeps four
# threads busy in updates, which run almost wholly without the lock; a
# fault here aborted about half of such exits.
_DAEMONS_AT_EXIT = """
import threading, time
from corvale_trie import SyncCorvaleMap
target = SyncCorvaleMap()
source = SyncCorvaleMap()
source.update({k: k for k in range(1, 400_000, 2)})
def work():
    while True:
        target.update(source)
for _ in range(4):
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.2)
print("exiting")
"""


def test_daemon_threads_inside_calls_at_exit():
    for _ in range(8):
        done = subprocess.run([sys.executable, "-c", _DAEMONS_AT_EXIT], capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


def test_clear_gives_memory_back():
    # Resident memory, read after malloc_trim in a process of its own, of a
    # container filled with 1M keys of one shape after another and cleared
    # each time: within a few MB of the empty container's. Lookups from
    # another thread between the rounds take part in the collector's epochs.
    script = """
import array, ctypes, random, threading
import corvale_trie._corvale as m
libc = ctypes.CDLL(None)
page = __import__("os").sysconf("SC_PAGE_SIZE")
def resident():
    libc.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page / 2**20
rng = random.Random(7)
n = 1_000_000
shapes = [
    array.array("Q", range(n)),
    array.array("Q", (rng.getrandbits(64) for _ in range(n))),
    array.array("Q", ((rng.getrandbits(16) << 48) | rng.getrandbits(12) for _ in range(n))),
    array.array("Q", (i << 20 for i in range(n))),
]
values = array.array("Q", range(n))
for cls in (m.SyncCorvaleSet, m.SyncCorvaleMap):
    c = cls()
    fill = (lambda k: c.insert_many(k)) if cls is m.SyncCorvaleSet else (lambda k: c.insert_many(k, values))
    probe = c.contains if cls is m.SyncCorvaleSet else c.get
    empty = resident()
    for r, keys in enumerate(shapes * 2):
        fill(keys)
        built = resident()
        t = threading.Thread(target=lambda: [probe(k) for k in keys[:1000]])
        t.start(); t.join()
        c.clear()
        print(cls.__name__, r, round(built - empty, 1), round(resident() - empty, 1))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    rows = [line.split() for line in out.stdout.splitlines()]
    assert len(rows) == 16, out.stdout
    for name in ("SyncCorvaleSet", "SyncCorvaleMap"):
        assert max(float(built) for n, _, built, _ in rows if n == name) > 10, out.stdout
    assert all(float(after) < 4 for *_, after in rows), out.stdout
