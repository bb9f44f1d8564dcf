"""CorvaleStrMap: a seeded differential test against a sorted list of byte
strings, the class surface (methods, docstrings, iterator classes), the
documented edge cases with their exact texts, update's sources, the owner
thread, and trees deep enough to break any recursive walk."""

import bisect
import inspect
import random
import threading

import pytest

import corvale_trie._corvale as _corvale
from conftest import SEED, U64_MAX, IndexOf, notes, raises_exactly
from corvale_trie._corvale import CorvaleStrMap

NOT_FOUND = "Key not found in CorvaleStrMap"
BAD_KEY = "Expected str, bytes, or bytearray for key"
NUL = "NUL bytes are not allowed in CorvaleStrMap keys"


def py_form(b):
    try:
        return b.decode("utf-8")
    except UnicodeDecodeError:
        return b


# ---------------------------------------------------------------------------
# Differential test


class Model:
    """A sorted list of byte strings with their values."""

    def __init__(self):
        self.keys, self.vals = [], {}

    def insert(self, k, v):
        old = self.vals.get(k)
        if old is None:
            bisect.insort(self.keys, k)
        self.vals[k] = v
        return old

    def remove(self, k):
        old = self.vals.pop(k, None)
        if old is not None:
            self.keys.pop(bisect.bisect_left(self.keys, k))
        return old

    def entry(self, i):
        if 0 <= i < len(self.keys):
            k = self.keys[i]
            return (py_form(k), self.vals[k])
        return None

    def next(self, q, inclusive):
        return self.entry((bisect.bisect_left if inclusive else bisect.bisect_right)(self.keys, q))

    def prev(self, q, inclusive):
        return self.entry((bisect.bisect_right if inclusive else bisect.bisect_left)(self.keys, q) - 1)

    def range(self, start, end, inclusive):
        lo = bisect.bisect_left(self.keys, start) if start is not None else 0
        if end is None:
            hi = len(self.keys)
        else:
            hi = (bisect.bisect_right if inclusive else bisect.bisect_left)(self.keys, end)
        return [self.entry(i) for i in range(lo, max(lo, hi))]


class KeyGen:
    """Keys in the shapes the word structure cares for: shared prefixes of
    0..40 bytes, prefixes of each other around multiples of 8, the empty key,
    bytes above 0x7F (not UTF-8), long keys."""

    def __init__(self, rng):
        self.rng = rng
        self.stems = [self.raw(40, ascii=i % 2 == 0) for i in range(6)]

    def raw(self, n, ascii=True):
        r = self.rng
        return bytes(r.choice(b"abcd") if ascii else r.randint(1, 255) for _ in range(n))

    def draw(self):
        r = self.rng
        kind = r.randrange(8)
        if kind == 0:
            return b""
        if kind == 1:
            s = r.choice(self.stems)
            return s[: min(len(s), 8 * r.randint(1, 4) - 1 + r.randrange(3))]
        if kind in (2, 3):
            return r.choice(self.stems)[: r.randint(0, 40)] + self.raw(r.randrange(12), r.random() < 0.5)
        if kind == 4:
            return self.raw(r.randint(1, 20), ascii=False)
        if kind == 5:
            return self.raw(r.randint(1, 3))
        if kind == 6:
            return r.choice(self.stems) + self.raw(r.randint(40, 300))
        return self.raw(r.randrange(17))


def as_arg(rng, k):
    """The key as bytes, bytearray or (when it is UTF-8) str."""
    choice = rng.randrange(3)
    if choice == 0:
        return k
    if choice == 1:
        return bytearray(k)
    f = py_form(k)
    return f


@pytest.mark.parametrize("round_", range(3))
def test_randomized_against_sorted_list(round_):
    seed = SEED + round_
    rng = random.Random(seed)
    gen = KeyGen(rng)
    m, model = CorvaleStrMap(), Model()
    ctx = f"seed {seed}"
    for step in range(6000 if round_ == 0 else 2500):
        k = gen.draw()
        arg = as_arg(rng, k)
        op = rng.randrange(10)
        if op < 5:
            v = rng.choice([0, U64_MAX, rng.getrandbits(64)])
            assert m.insert(arg, v) == model.insert(k, v), ctx
        elif op < 7:
            assert m.remove(arg) == model.remove(k), ctx
        elif op < 8:
            assert m.pop(arg, 7) == (model.remove(k) if k in model.vals else 7), ctx
        else:
            assert m.get(arg) == model.vals.get(k), ctx
            assert (arg in m) == (k in model.vals), ctx
        assert m.next(arg) == m.next_after(arg) == model.next(k, False), ctx
        assert m.next(arg, inclusive=True) == m.next_at_or_after(arg) == model.next(k, True), ctx
        assert m.prev(arg) == m.prev_before(arg) == model.prev(k, False), ctx
        assert m.prev(arg, True) == m.prev_at_or_before(arg) == model.prev(k, True), ctx
        if step % 50 == 0:
            lo, hi = gen.draw(), gen.draw()
            incl = rng.random() < 0.5
            assert m.range(lo, hi, incl) == model.range(lo, hi, incl), ctx
            assert m.range(end=hi) == model.range(None, hi, True), ctx
            assert m.range(lo) == model.range(lo, None, True), ctx
        if step % 500 == 0:
            check_listings(m, model, ctx)
    check_listings(m, model, ctx)
    assert m.mem_used() > 0
    # Down to empty: every pruned node gives its bytes back.
    keys = list(model.keys)
    rng.shuffle(keys)
    for k in keys:
        assert m.remove(k) == model.remove(k), ctx
    assert len(m) == 0 and m.mem_used() == 0 and m.first() is None and m.last() is None


def check_listings(m, model, ctx):
    entries = [model.entry(i) for i in range(len(model.keys))]
    assert len(m) == len(model.keys), ctx
    assert m.items() == entries, ctx
    assert m.keys() == [k for k, _ in entries] == list(m), ctx
    assert m.values() == [v for _, v in entries], ctx
    assert m.collect_entries() == [(k, model.vals[k]) for k in model.keys], ctx
    assert m.range() == entries, ctx
    assert m.first() == model.entry(0) and m.last() == model.entry(len(model.keys) - 1), ctx


def test_many_keys_and_their_memory():
    rng = random.Random(SEED)
    m = CorvaleStrMap()
    keys = {f"{rng.getrandbits(64):016x}".encode() for _ in range(20000)}
    keys |= {b"word%d" % i for i in range(3000)}
    for i, k in enumerate(sorted(keys)):
        m[k] = i
    assert len(m) == len(keys) and m.keys() == sorted(k.decode() for k in keys)
    probe = sorted(keys)
    for q in [b"", b"0", b"7fff", b"word", b"word1", b"word9999", b"zz"]:
        i = bisect.bisect_left(probe, q)
        assert m.next_at_or_after(q) == ((probe[i].decode(), i) if i < len(probe) else None)
    assert m.mem_used() > 0
    m.clear()
    assert (len(m), m.mem_used(), m.keys()) == (0, 0, [])
    m["again"] = 1
    assert m.items() == [("again", 1)]


# ---------------------------------------------------------------------------
# Class surface

METHODS = [
    ("is_empty", "", "True when no strings are stored.\nTrue when empty."),
    ("contains_key", "key", "Returns True if key is present in the map."),
    ("get", "key, default=None", "Look up `key`, returning `default` (or None) if absent."),
    ("insert", "key, val", "Inserts `key -> val`; returns previous value, if any."),
    ("remove", "key", "Removes `key`; returns its value or None if missing."),
    ("pop", "key, default=None",
     "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, otherwise raises `KeyError`."),
    ("clear", "", "Removes all strings and frees allocated trie nodes."),
    ("mem_used", "", "Heap bytes used by the prefix trie."),
    ("first", "", "Smallest entry `(key, value)` in byte-lexicographical order.\n\n"
                  "The key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    ("last", "", "Largest entry `(key, value)` in byte-lexicographical order.\n\n"
                 "The key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    ("next", "key, inclusive=False", "Smallest entry with key `> key` (or `>= key` if `inclusive=True`).\n\n"
                                     "The key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    ("next_at_or_after", "key", "Smallest entry with key `>= key`."),
    ("next_after", "key", "Smallest entry with key `> key`."),
    ("prev", "key, inclusive=False", "Largest entry with key `< key` (or `<= key` if `inclusive=True`).\n\n"
                                     "The key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    ("prev_at_or_before", "key", "Largest entry with key `<= key`."),
    ("prev_before", "key", "Largest entry with key `< key`."),
    ("collect_entries", "", "Collects every entry as `(raw_key_bytes, value)` in lexicographical order."),
    ("keys", "", "Returns all keys in lexicographical order (`str` for UTF-8, `bytes` otherwise)."),
    ("values", "", "Returns an iterator of all values in key order."),
    ("items", "", "Returns all `(key, value)` pairs in lexicographical order (key `str` for UTF-8, `bytes` otherwise)."),
    ("range", "start=None, end=None, inclusive=True",
     "Range scan over string keys returning a list of `(key, value)` pairs.\n\n"
     "Each key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys."),
    ("update", "other", "Updates the map from another mapping or iterable of `(key, value)` pairs."),
]

ITER_DOCS = {
    "CorvaleStrMapKeyIter": "Key iterator for [`CorvaleStrMap`].\n\n"
                            "Keys are stored as raw bytes and yielded as `str` (valid UTF-8) or `bytes` (otherwise).",
    "CorvaleStrMapValueIter": "Value iterator for [`CorvaleStrMap`].",
    "CorvaleStrMapItemIter": "Item iterator for [`CorvaleStrMap`].",
}


def test_class_surface():
    cls = CorvaleStrMap
    assert (cls.__module__, cls.__qualname__, cls.__text_signature__) == ("corvale_trie._corvale", "CorvaleStrMap", "()")
    assert cls.__doc__.startswith(
        "A sorted map from NUL-free byte strings / UTF-8 strings to 64-bit unsigned integers")
    assert "byte-lexicographical" in cls.__doc__ and "8-byte word boundaries" in cls.__doc__
    assert [k for k in cls.__dict__ if not k.startswith("__")] == [n for n, _, _ in METHODS] + ["empty"]
    assert {k for k in cls.__dict__ if k.startswith("__")} == {
        "__doc__", "__module__", "__new__", "__repr__", "__iter__", "__bool__", "__len__",
        "__getitem__", "__setitem__", "__delitem__", "__contains__"}
    for name, params, doc in METHODS:
        method = getattr(cls, name)
        assert method.__text_signature__ == f"($self{', ' if params else ''}{params})", name
        assert method.__doc__ == doc, name
    assert str(inspect.signature(cls.range)) == "(self, /, start=None, end=None, inclusive=True)"
    assert cls.empty.__doc__ == "Property returning True if empty."
    names = _corvale.__all__
    assert names.index("CorvaleSet") < names.index("CorvaleStrMap")
    last_before = "SyncCorvaleSetRangeIter" if "SyncCorvaleSetRangeIter" in names else "CorvaleSetRangeIter"
    assert names[names.index(last_before) + 1:][:3] == list(ITER_DOCS)
    for name, doc in ITER_DOCS.items():
        it = getattr(_corvale, name)
        assert it.__doc__ == doc
        with raises_exactly(TypeError, f"cannot create 'corvale_trie._corvale.{name}' instances"):
            it()
    with pytest.raises(TypeError, match=r"CorvaleStrMap.__new__\(\) takes 0 positional arguments"):
        CorvaleStrMap({})
    with raises_exactly(TypeError, "CorvaleStrMap.insert() missing 1 required positional argument: 'val'"):
        CorvaleStrMap().insert("a")


# ---------------------------------------------------------------------------
# Edge cases with exact texts


def test_empty_map():
    m = CorvaleStrMap()
    for call in (m.first, m.last, lambda: m.next("a"), lambda: m.prev("a"), lambda: m.next_after(""),
                 lambda: m.prev_at_or_before("zz"), lambda: m.next_at_or_after(""), lambda: m.prev_before("a")):
        assert call() is None
    assert m.keys() == m.values() == m.items() == m.collect_entries() == m.range() == []
    it = iter(m)
    assert len(it) == 0 and list(it) == []
    assert (m.mem_used(), repr(m), m.empty, m.is_empty(), bool(m), len(m)) == (0, "CorvaleStrMap(len=0)", True, True, False, 0)
    for call in (lambda: m.next(1), lambda: m.prev(None), lambda: m.get(memoryview(b"a"))):
        with raises_exactly(TypeError, BAD_KEY):
            call()


def test_key_forms():
    m = CorvaleStrMap()
    m["a"] = 1
    m[b"a"] = 2
    assert m.items() == [("a", 2)]
    m[bytearray(b"\xff")] = 3
    m[b"caf\xc3\xa9"] = 4
    m[b"\xed\xa0\x80"] = 5  # an encoded surrogate is not valid UTF-8
    assert m.keys() == ["a", "café", b"\xed\xa0\x80", b"\xff"]
    assert m.collect_entries() == [(b"a", 2), (b"caf\xc3\xa9", 4), (b"\xed\xa0\x80", 5), (b"\xff", 3)]
    assert m["café"] == 4 and m[bytearray(b"caf\xc3\xa9")] == 4
    with pytest.raises(UnicodeEncodeError):
        m["\ud800"] = 1
    assert len(m) == 4


def test_empty_key_and_neighbours():
    m = CorvaleStrMap()
    m[""] = 5
    assert m.first() == ("", 5)
    assert m.prev("", inclusive=True) == ("", 5) and m.prev("") is None
    m.update([("a", 1), ("ab", 2), ("b", 3)])
    assert m.next("") == ("a", 1)
    assert m.next("a") == ("ab", 2) and m.next("a", inclusive=True) == ("a", 1)
    assert m.prev("b") == ("ab", 2) and m.next_after("b") is None and m.prev_before("a") == ("", 5)
    assert m.next("aa") == ("ab", 2)
    del m[""]
    assert m.prev_before("a") is None
    r = m.range
    assert r("a", "b") == [("a", 1), ("ab", 2), ("b", 3)]
    assert r("a", "b", inclusive=False) == [("a", 1), ("ab", 2)]
    assert r("a", "a", inclusive=False) == [] and r("b", "a") == []
    assert r(end="ab") == [("a", 1), ("ab", 2)] and r(start="aa") == [("ab", 2), ("b", 3)]
    assert r("a", inclusive=False) == [("a", 1), ("ab", 2), ("b", 3)]


def test_keys_across_word_boundaries():
    m = CorvaleStrMap()
    m.update({"ab": 1, "abcdefgh": 2, "abcdefghij": 3})
    assert m.next("abcdefgh", True) == ("abcdefgh", 2) and m.next("abcdefgh") == ("abcdefghij", 3)
    assert m.prev("abcdefgh") == ("ab", 1)
    m["tttttttttail"] = 4  # a key in a tail record
    assert m.next("tttttttttail", True) == m.prev("tttttttttail", True) == ("tttttttttail", 4)
    assert m.prev("tttttttttail") == ("abcdefghij", 3)
    assert m.next("ttttttttta") == ("tttttttttail", 4) and m.prev("ttttttttta") == ("abcdefghij", 3)
    assert m.prev("tttttttttailx") == m.prev("tttttttttailx", True) == ("tttttttttail", 4)
    assert m.next("tttttttttailx") is None
    assert m.get("tttttttttai") is None and m.remove("tttttttttailx") is None and len(m) == 4


def bounds_around(keys):
    """Bounds on every key, between keys (a key followed by 0x01, a key with
    its last byte raised), below them (a proper prefix, the last byte
    lowered), below all (empty) and above all."""
    out = [b"", b"\xff" * 50]
    for k in keys:
        out += [k, k + b"\x01"]
        if k:
            out += [k[:-1], k[:-1] + bytes([max(k[-1] - 1, 1)]), k[:-1] + bytes([min(k[-1] + 1, 255)])]
    return out


@pytest.mark.parametrize("size", [1, 4, 5, 31, 32, 400])
def test_range_from_every_start(size):
    """range against the sorted-list model for starts and ends on, between,
    below and above the stored keys (keys of 0..40+ bytes sharing prefixes
    across 8-byte boundaries, prefixes of each other), as every key form."""
    seed = SEED + size
    rng = random.Random(seed)
    gen = KeyGen(rng)
    m, model = CorvaleStrMap(), Model()
    for k in {gen.draw() for _ in range(size)}:
        v = rng.getrandbits(64)
        m.insert(k, v)
        model.insert(k, v)
    ctx = f"seed {seed}"
    starts = bounds_around(model.keys)
    for start in starts:
        ends = [rng.choice(starts), start, start + b"\x01"]
        i = bisect.bisect_left(model.keys, start)
        if i + 9 < len(model.keys):
            ends.append(model.keys[i + 9])  # a range of 10 keys
        for end in ends:
            incl = rng.random() < 0.5
            got = m.range(as_arg(rng, start), as_arg(rng, end), incl)
            assert got == model.range(start, end, incl), ctx
        assert m.range(start) == model.range(start, None, True), ctx
        assert m.range(end=start, inclusive=False) == model.range(None, start, False), ctx


def test_point_operation_errors_leave_the_map_unchanged():
    m = CorvaleStrMap()
    m.update({"a": 1, "b": 2})
    assert m.pop("zz", 0) == 0 and m.get("zz", None) is None
    for call in (lambda: m.pop("zz", None), lambda: m.pop("zz"), lambda: m["zz"], lambda: m.__delitem__("zz")):
        with raises_exactly(KeyError, NOT_FOUND):
            call()
    with pytest.raises(TypeError) as exc_info:
        m.get("a", "x")
    assert notes(exc_info) == ["while processing 'default'"]
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as exc_info:
            m["c"] = bad
        assert notes(exc_info) == ["while processing 'val'"]
    with pytest.raises(OverflowError) as exc_info:
        m.insert(1, -1)  # the value is converted before the key
    assert notes(exc_info) == ["while processing 'val'"]
    with pytest.raises(TypeError) as exc_info:
        m.next("a", inclusive=1)
    assert notes(exc_info) == ["while processing 'inclusive'"]
    with pytest.raises(TypeError) as exc_info:
        m.range(1, 2, inclusive="yes")
    assert notes(exc_info) == ["while processing 'inclusive'"]
    with raises_exactly(TypeError, BAD_KEY) as exc_info:
        m[1] = 1
    assert notes(exc_info) == []
    with raises_exactly(TypeError, BAD_KEY):
        1 in m
    for bad in ("a\0", b"\0", bytearray(b"x\0y")):
        with raises_exactly(ValueError, NUL):
            m.insert(bad, 1)
        with raises_exactly(ValueError, NUL):
            m.next(bad)
    with raises_exactly(ValueError, NUL):
        m.range("a", "b\0")
    m.insert("x", IndexOf(9))
    assert m.items() == [("a", 1), ("b", 2), ("x", 9)]


def test_update_sources():
    m = CorvaleStrMap()
    with raises_exactly(TypeError, "'str' object cannot be interpreted as an integer"):
        m.update([("d", 4), ("e", "x")])
    assert m.items() == [("d", 4)]
    with raises_exactly(ValueError, "expected tuple of length 2, but got tuple of length 1"):
        m.update([("f",)])
    with raises_exactly(TypeError, "'list' object is not an instance of 'tuple'"):
        m.update([["f", 1]])
    with raises_exactly(RuntimeError, "Already borrowed"):
        m.update(m)
    assert m.update(CorvaleStrMap()) is None
    other = CorvaleStrMap()
    other["k"] = 1
    with raises_exactly(TypeError, "'str' object is not an instance of 'tuple'"):
        m.update(other)
    with pytest.raises(TypeError):
        m.update(5)
    m.update({"g": 7, b"h": 8})
    m.update(x for x in [(bytearray(b"i"), 9)])
    assert m.items() == [("d", 4), ("g", 7), ("h", 8), ("i", 9)]


def test_update_from_a_dict_that_changes_while_converted():
    m = CorvaleStrMap()
    key = b"k" * 100
    d = {}
    # The value's conversion empties the dict: the key bytes stay owned by
    # the call, the pair is inserted, and the walk stops before the next.
    d[key] = IndexOf(1, action=d.clear)
    d[b"other"] = 2
    with raises_exactly(RuntimeError, "dictionary changed size during iteration"):
        m.update(d)
    assert m.items() == [(key.decode(), 1)]
    grow = {}
    grow["a"] = IndexOf(3, action=lambda: grow.__setitem__("zz", 4))
    with raises_exactly(RuntimeError, "dictionary changed size during iteration"):
        m.update(grow)
    assert m.get("a") == 3 and "zz" not in m


def test_reentrant_calls_are_refused():
    m = CorvaleStrMap()
    m["a"] = 1
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        m.insert("b", IndexOf(1, action=lambda: len(m)))
    with raises_exactly(RuntimeError, "Already borrowed"):
        m.get("a", IndexOf(1, action=lambda: m.first()))
    seen = []
    m.get("a", IndexOf(1, action=lambda: seen.append(m.get("a"))))  # shared inside shared
    assert seen == [1] and m.items() == [("a", 1)]


def test_iterators_are_snapshots():
    m = CorvaleStrMap()
    m.update({"b": 2, "a": 1, b"\xfe": 3})
    it = iter(m)
    m["c"] = 4
    del m["a"]
    assert type(it).__name__ == "CorvaleStrMapKeyIter" and iter(it) is it and len(it) == 3
    assert next(it) == "a" and len(it) == 2
    assert list(it) == ["b", b"\xfe"] and len(it) == 0
    with pytest.raises(StopIteration):
        next(it)
    assert len(it) == 0
    del m
    assert list(it) == []
    assert isinstance(CorvaleStrMap().values(), list)


def test_calls_from_another_thread_are_refused(owner_thread):
    owner_thread.make("m", lambda: CorvaleStrMap())
    owner_thread.run(lambda: owner_thread.objects["m"].insert("a", 1))
    owner_thread.make("it", lambda: iter(owner_thread.objects["m"]))
    o = owner_thread.objects
    path = "_corvale::strmap::CorvaleStrMap"
    for call, where in [
        (lambda: len(o["m"]), path), (lambda: o["m"]["a"], path), (lambda: o["m"].insert("b", 2), path),
        (lambda: o["m"].first(), path), (lambda: "a" in o["m"], path), (lambda: o["m"].empty, path),
        (lambda: iter(o["m"]), path), (lambda: repr(o["m"]), path),
        (lambda: next(o["it"]), path + "KeyIter"), (lambda: len(o["it"]), path + "KeyIter"),
    ]:
        with raises_exactly(RuntimeError, f"{where} is unsendable, but sent to another thread"):
            call()
    assert owner_thread.run(lambda: (o["m"].items(), list(o["it"]))) == ([("a", 1)], ["a"])


# ---------------------------------------------------------------------------
# Depth


def deep_trees():
    m = CorvaleStrMap()
    big = b"x" * (1 << 20)
    m[big] = 1
    assert m[big] == 1 and m.next(b"x") == (big.decode(), 1) and m.prev(big + b"y") == (big.decode(), 1)
    assert m.mem_used() >= (1 << 20)
    # Two long keys that differ in their last byte hang through a chain of
    # one node per 8 bytes.
    twin = b"x" * ((1 << 18) - 1) + b"y"
    m[twin] = 2
    m[twin[:-1] + b"z"] = 3
    assert m.next(twin) == (twin[:-1].decode() + "z", 3) and m.prev(twin) == (big.decode(), 1)
    assert [v for _, v in m.items()] == [1, 2, 3]
    del m  # teardown walks the chain without recursion
    m = CorvaleStrMap()
    key = bytearray()
    for i in range(20000):
        key.append(97 + i % 26)
        m[key] = i
    assert len(m) == 20000 and m.last() == (key.decode(), 19999)
    assert m.prev(bytes(key)) == (key[:-1].decode(), 19998)
    assert m.range(bytes(key[:-2]))[0][1] == 19997
    del m


def test_long_keys_and_deep_trees():
    # On a thread with a small stack: a walk that recursed once per node of
    # a 32,768-node chain would overflow it.
    old = threading.stack_size(512 * 1024)
    try:
        failures = []

        def run():
            try:
                deep_trees()
            except BaseException as exc:  # reported on the test's thread
                failures.append(exc)

        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    if failures:
        raise failures[0]


def test_teardown_on_another_thread_is_reported(owner_thread, unraisable):
    owner_thread.make("m", lambda: CorvaleStrMap())
    owner_thread.run(lambda: owner_thread.objects["m"].update({"a" * 20: 1, "b": 2}))
    owner_thread.make("it", lambda: iter(owner_thread.objects["m"]))
    m, it = owner_thread.objects.pop("m"), owner_thread.objects.pop("it")
    del m, it
    assert unraisable == [
        (RuntimeError, f"_corvale::strmap::{name} is unsendable, but is being dropped on another thread")
        for name in ("CorvaleStrMap", "CorvaleStrMapKeyIter")
    ]
