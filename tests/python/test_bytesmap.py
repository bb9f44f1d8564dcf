"""CorvaleBytesMap and its iterators: a seeded differential test against a
dict over keys of 0 to 1000 bytes with NUL bytes (with real hashes, and with
hashes masked by the module's testing hook so that keys collide into sixteen
buckets or one), the class surface with its exact texts, update, snapshots,
claims and the owner thread."""

import inspect
import random

import pytest

import corvale_trie._corvale as _corvale
from conftest import SEED, U64_MAX, IndexOf, notes, raises_exactly, requires_test_hooks
from corvale_trie._corvale import CorvaleBytesMap, CorvaleMap

MISSING = "Key not found in CorvaleBytesMap"
BAD_KEY = "Expected bytes, bytearray, or str for key"
ITERATORS = {
    "CorvaleBytesMapKeyIter": "Key iterator for [`CorvaleBytesMap`].",
    "CorvaleBytesMapValueIter": "Value iterator for [`CorvaleBytesMap`].",
    "CorvaleBytesMapItemIter": "Item iterator for [`CorvaleBytesMap`].",
}


def capacity_for(n):
    return n if n < 3 else (n + 3) // 4 * 4


def small_map_mem(model):
    """mem_used of a map of at most 31 keys with distinct hashes: the index's
    flat array of (hash, bucket) pairs plus 48 bytes and the key per entry."""
    return (16 * capacity_for(len(model)) if model else 0) + sum(len(k) + 48 for k in model)


def random_key(rng, known):
    if known and rng.random() < 0.5:
        k = rng.choice(known)
        return k + b"\0" if rng.random() < 0.2 else k[:-1] if rng.random() < 0.2 else k
    n = rng.choice([0, rng.randrange(9), rng.randrange(65), rng.randrange(1001)])
    if rng.random() < 0.5:
        return bytes(rng.choice((0, 0, 0, rng.randrange(256))) for _ in range(n))
    return rng.randbytes(n)


def as_given(rng, key):
    """The key as a caller may pass it: bytes, bytearray, or str when it is UTF-8."""
    r = rng.random()
    if r < 0.2:
        return bytearray(key)
    if r < 0.4:
        try:
            return key.decode()
        except UnicodeDecodeError:
            pass
    return key


# (mode, hash mask): "small" stays within the flat index of at most 31
# hashes, where mem_used is exact; "one-bucket" puts every key in one bucket.
MODES = [("small", U64_MAX), ("siphash", U64_MAX), ("siphash", U64_MAX), ("sixteen-buckets", 0xF),
         ("one-bucket", 0)]


@pytest.mark.parametrize("round_", [
    pytest.param(i, marks=[requires_test_hooks] if mask != U64_MAX else []) for i, (_, mask) in enumerate(MODES)])
def test_differential_against_dict(round_):
    mode, mask = MODES[round_]
    seed = SEED + round_
    rng = random.Random(seed)
    m, model, known = CorvaleBytesMap(), {}, []
    if mask != U64_MAX:
        _corvale._bytes_map_hash_mask(m, mask)
    small = mode == "small"
    try:
        for op in range(3000):
            key = random_key(rng, known)
            given = as_given(rng, key)
            value = rng.choice([0, 1, U64_MAX, rng.getrandbits(64)])
            r = rng.randrange(100)
            if small and len(model) >= 31 and r < 45:
                r = 60
            if r < 15:
                m[given] = value
                model[key] = value
            elif r < 30:
                assert m.insert(given, value) == model.get(key)
                model[key] = value
            elif r < 45:
                pairs = [(random_key(rng, known), rng.getrandbits(64)) for _ in range(rng.randrange(4))]
                if small:
                    pairs = pairs[: max(0, 31 - len(model))]
                m.update(dict(pairs) if rng.random() < 0.5 else pairs)
                model.update(pairs)
                known += [k for k, _ in pairs]
            elif r < 55:
                assert m.remove(given) == model.pop(key, None)
            elif r < 62:
                assert m.pop(given, 7) == model.pop(key, 7)
            elif r < 68:
                if key in model:
                    del m[given]
                    del model[key]
                else:
                    with raises_exactly(KeyError, MISSING):
                        del m[given]
            elif r < 80:
                assert (given in m, m.contains_key(given), m.get(given)) == (
                    key in model, key in model, model.get(key))
            elif r < 90:
                if key in model:
                    assert m[given] == model[key]
                else:
                    with raises_exactly(KeyError, MISSING):
                        m[given]
            elif r < 91:
                m.clear()
                model.clear()
            known.append(key)
            if op % 100 == 0 or r < 1:
                assert len(m) == len(model) and bool(m) == bool(model) and m.empty == (not model)
                items = list(m.items())
                assert dict(items) == model and len(items) == len(model)
                assert list(m) == list(m.keys()) == [k for k, _ in items]
                assert list(m.values()) == [v for _, v in items]
                assert repr(m) == f"CorvaleBytesMap(len={len(model)})"
                if small:
                    assert m.mem_used() == small_map_mem(model)
                elif mask == 0:
                    assert m.mem_used() == (16 + 24 if model else 0) + sum(len(k) + 24 for k in model)
                else:  # one bucket per distinct hash: at most one per key
                    assert m.mem_used() >= sum(len(k) + (48 if mask == U64_MAX else 24) for k in model)
    except AssertionError:
        print(f"seed {seed}, {mode}")
        raise


@requires_test_hooks
def test_the_hash_mask_hook():
    m = CorvaleBytesMap()
    _corvale._bytes_map_hash_mask(m, 0)
    m.update((bytes([i]) * i, i) for i in range(5))
    assert m.mem_used() == 16 + 24 + sum(i + 24 for i in range(5))  # one hash, one bucket
    with raises_exactly(ValueError, "the hash mask of a non-empty map cannot change"):
        _corvale._bytes_map_hash_mask(m, U64_MAX)
    with pytest.raises(TypeError):
        _corvale._bytes_map_hash_mask(CorvaleMap(), 0)
    assert "_bytes_map_hash_mask" not in _corvale.__all__


def test_keys_of_every_form():
    m = CorvaleBytesMap()
    big = bytes(range(256)) * 20
    m[b""], m[b"\0"], m[b"a"], m[b"a\0"], m[big] = 1, 2, 3, 4, 5
    assert m.mem_used() == 16 * 8 + 0 + 1 + 1 + 2 + len(big) + 5 * 48  # 5 hashes: flat capacity 8
    assert [m[k] for k in (b"", b"\0", b"a", b"a\0", big)] == [1, 2, 3, 4, 5]
    assert m["a"] == m[bytearray(b"a")] == 3 and m[bytearray()] == 1
    m["é"] = 6
    assert m["é".encode()] == 6 and len(m) == 6
    class B(bytes): pass
    class S(str): pass
    assert m[B(b"a")] == m[S("a")] == 3
    assert sorted(m) == sorted([b"", b"\0", b"a", b"a\0", big, "é".encode()])
    assert all(type(k) is bytes for k in m.keys())
    assert all(type(k) is bytes and type(v) is int for k, v in m.items())


def test_parameters_by_keyword():
    m = CorvaleBytesMap()
    assert m.insert(key=b"k", val=1) is None and m.insert(b"k", val=2) == 1
    assert m.get(key=b"k") == 2 and m.get(b"x", default=3) == 3 and m.contains_key(key="k")
    m.update(other={b"o": 4})
    assert m.pop(key=b"x", default=5) == 5 and m.pop(key=b"o") == 4 and m.remove(key=b"k") == 2
    with raises_exactly(TypeError, "CorvaleBytesMap.get() got an unexpected keyword argument 'dflt'"):
        m.get(b"k", dflt=1)
    assert not m


def test_the_hash_key_is_per_map():
    keys = [bytes([i]) * i for i in range(40)]
    orders = set()
    for _ in range(3):
        m = CorvaleBytesMap()
        m.update((k, 1) for k in keys)
        orders.add(tuple(m))
        m.clear()
        m.update((k, 1) for k in keys)
        assert tuple(m) in orders  # clear keeps the key: the same order again
    assert len(orders) == 3


# ---------------------------------------------------------------------------
# Surface

METHODS = [
    ("is_empty", "", "True when no entries are in the map.\nTrue when empty."),
    ("contains_key", "key", "Returns True if key exists in the map."),
    ("get", "key, default=None", "Look up `key`, returning `default` (or None) if absent."),
    ("insert", "key, val", "Inserts `key -> val`; returns previous value, if any."),
    ("remove", "key", "Removes `key`; returns its value or None if missing."),
    ("pop", "key, default=None",
     "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, otherwise raises `KeyError`."),
    ("clear", "", "Removes all entries and releases memory."),
    ("mem_used", "", "Heap bytes used by the hash trie and buckets."),
    ("keys", "", "Returns an iterator of all byte keys."),
    ("values", "", "Returns an iterator of all values."),
    ("items", "", "Returns an iterator of `(key, value)` pairs."),
    ("update", "other", "Updates the map from another mapping or iterable of `(key, value)` pairs."),
]


def test_class_surface():
    names = _corvale.__all__
    assert names.index("CorvaleBytesMap") > names.index("CorvaleSet")
    assert [n for n in names if n.startswith("CorvaleBytesMap")] == ["CorvaleBytesMap", *ITERATORS]
    assert names[-3:] == list(ITERATORS)
    cls = CorvaleBytesMap
    assert (cls.__name__, cls.__module__, cls.__base__) == ("CorvaleBytesMap", "corvale_trie._corvale", object)
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ == ("A sparse, dynamic, unordered map from arbitrary byte keys (including NUL bytes) "
                           "to 64-bit unsigned integers")
    assert {k for k in cls.__dict__ if k.startswith("__")} == {
        "__doc__", "__module__", "__new__", "__repr__", "__iter__", "__bool__", "__len__", "__getitem__",
        "__setitem__", "__delitem__", "__contains__"}
    assert [k for k in cls.__dict__ if not k.startswith("__")] == [n for n, _, _ in METHODS] + ["empty"]
    for name, params, doc in METHODS:
        method = getattr(cls, name)
        assert method.__text_signature__ == f"($self{', ' if params else ''}{params})", name
        assert method.__doc__ == doc, name
        assert str(inspect.signature(method)) == f"(self, /{', ' if params else ''}{params})"
    assert cls.empty.__doc__ == "Property returning True if empty."
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    for name, doc in ITERATORS.items():
        it_cls = getattr(_corvale, name)
        assert (it_cls.__doc__, it_cls.__module__) == (doc, "corvale_trie._corvale")
        assert set(it_cls.__dict__) == {"__doc__", "__module__", "__new__", "__iter__", "__next__", "__len__"}
        with raises_exactly(TypeError, f"cannot create 'corvale_trie._corvale.{name}' instances"):
            it_cls()
    m = CorvaleBytesMap()
    assert [type(x).__name__ for x in (iter(m), m.keys(), m.values(), m.items())] == [
        "CorvaleBytesMapKeyIter", "CorvaleBytesMapKeyIter", "CorvaleBytesMapValueIter", "CorvaleBytesMapItemIter"]


NEG, BIG = "can't convert negative int to unsigned", "int too big to convert"
NOT_INT = "'{}' object cannot be interpreted as an integer"
ERRORS = [
    (lambda m: CorvaleBytesMap(1), TypeError, "CorvaleBytesMap.__new__() takes 0 positional arguments but 1 was given", None),
    (lambda m: CorvaleBytesMap(items={}), TypeError,
     "CorvaleBytesMap.__new__() got an unexpected keyword argument 'items'", None),
    (lambda m: m[1], TypeError, BAD_KEY, None),
    (lambda m: m[memoryview(b"a")], TypeError, BAD_KEY, None),
    (lambda m: None in m, TypeError, BAD_KEY, None),
    (lambda m: m.contains_key(1.5), TypeError, BAD_KEY, None),
    (lambda m: m.remove([]), TypeError, BAD_KEY, None),
    (lambda m: m["\ud800"], UnicodeEncodeError, None, None),
    (lambda m: m[b"zz"], KeyError, MISSING, None),
    (lambda m: m.__delitem__(b"zz"), KeyError, MISSING, None),
    (lambda m: m.__delitem__(5), TypeError, BAD_KEY, None),
    (lambda m: m.pop(b"zz"), KeyError, MISSING, None),
    (lambda m: m.pop(b"zz", None), KeyError, MISSING, None),
    (lambda m: m.pop(3, 5), TypeError, BAD_KEY, None),
    (lambda m: m.__setitem__(b"k", -1), OverflowError, NEG, "val"),
    (lambda m: m.__setitem__(7, -1), OverflowError, NEG, "val"),  # the value is converted first
    (lambda m: m.__setitem__(7, 1), TypeError, BAD_KEY, None),
    (lambda m: m.insert(b"k", 2**64), OverflowError, BIG, "val"),
    (lambda m: m.insert(b"k", "1"), TypeError, NOT_INT.format("str"), "val"),
    (lambda m: m.get(b"a", "x"), TypeError, NOT_INT.format("str"), "default"),  # even for a present key
    (lambda m: m.get(3, -1), OverflowError, NEG, "default"),
    (lambda m: m.pop(b"a", 1.0), TypeError, NOT_INT.format("float"), "default"),
    (lambda m: m.update({b"x": 1, b"y": 2, 3: 3}), TypeError, BAD_KEY, None),
    (lambda m: m.update({b"x": -1}), OverflowError, NEG, None),
    (lambda m: m.update([(b"x", 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3", None),
    (lambda m: m.update([[b"x", 1]]), TypeError, "'list' object is not an instance of 'tuple'", None),
    (lambda m: m.update([(5, "v")]), TypeError, NOT_INT.format("str"), None),  # the value before the key
    (lambda m: m.update([(5, 1)]), TypeError, BAD_KEY, None),
    (lambda m: m.update(5), TypeError, "'int' object is not iterable", None),
    (lambda m: m.update(m), RuntimeError, "Already mutably borrowed", None),
    (lambda m: m.get(), TypeError, "CorvaleBytesMap.get() missing 1 required positional argument: 'key'", None),
    (lambda m: m.insert(b"k"), TypeError, "CorvaleBytesMap.insert() missing 1 required positional argument: 'val'", None),
    (lambda m: m.keys(1), TypeError, "CorvaleBytesMap.keys() takes no arguments (1 given)", None),
]


@pytest.mark.parametrize("call, exc_type, message, note", ERRORS)
def test_error_texts(call, exc_type, message, note):
    m = CorvaleBytesMap()
    m[b"a"], m[b"\0"] = 1, 2
    before = dict(m.items())
    with pytest.raises(exc_type) as exc_info:
        call(m)
    if message is not None:
        assert exc_info.value.args == (message,)
    assert notes(exc_info) == ([f"while processing '{note}'"] if note else [])
    if "update({b" in inspect.getsource(call) and exc_type is TypeError:
        before.update({b"x": 1, b"y": 2})  # a failing update keeps what came before
    assert dict(m.items()) == before
    assert m.insert(b"z", 9) is None and m.pop(b"z") == 9  # claims given back


def test_update_sources():
    m = CorvaleBytesMap()
    m.update({b"a": 1, "b": IndexOf(2)})
    m.update([(bytearray(b"c"), 3), (b"a", 10)])
    m.update(iter([]))
    m.update(((bytes([i]), i) for i in range(3)))
    assert dict(m.items()) == {b"a": 10, b"b": 2, b"c": 3, b"\0": 0, b"\1": 1, b"\2": 2}
    other = CorvaleBytesMap()
    other[b"k"] = 1
    with raises_exactly(TypeError, "'bytes' object is not an instance of 'tuple'"):
        m.update(other)  # a mapping that is no dict is iterated: it yields its keys
    with raises_exactly(TypeError, "'int' object is not an instance of 'tuple'"):
        m.update(CorvaleMap({1: 2}))
    assert len(m) == 6 and dict(other.items()) == {b"k": 1}
    d = {b"1": 10, b"2": 20, b"3": 30}
    d[b"2"] = IndexOf(20, lambda: d.__setitem__(b"99", 0))
    with raises_exactly(RuntimeError, "dictionary changed size during iteration"):
        m.update(d)
    assert m[b"1"] == 10 and m[b"2"] == 20 and b"3" not in m


def test_snapshot_iterators():
    m = CorvaleBytesMap()
    assert len(m.keys()) == 0 and list(m.items()) == [] and repr(m) == "CorvaleBytesMap(len=0)"
    m.update((bytes(i), i) for i in range(50))
    keys, values, items = m.keys(), m.values(), m.items()
    assert iter(keys) is keys
    first = next(keys)
    m.clear()
    assert len(keys) == 49 and len(values) == 50
    rest = list(keys)
    assert sorted([first, *rest]) == sorted(bytes(i) for i in range(50))
    assert len(keys) == 0 and next(keys, None) is None and next(keys, None) is None
    assert list(values) == [len(k) for k in [first, *rest]]
    assert list(items) == [(k, len(k)) for k in [first, *rest]]
    assert not m and m.is_empty() and m.mem_used() == 0


def test_claims():
    m = CorvaleBytesMap()
    m[b"a"] = 1
    reads = ["m.get(b'a')", "m[b'a']", "b'a' in m", "m.contains_key(b'a')", "len(m)", "bool(m)", "repr(m)",
             "m.empty", "m.is_empty()", "m.mem_used()", "m.keys()", "m.values()", "m.items()", "iter(m)"]
    changes = ["m.insert(b'b', 1)", "m.remove(b'a')", "m.pop(b'a')", "m.clear()", "m.update({b'b': 1})",
               "m.__setitem__(b'b', 1)", "m.__delitem__(b'a')"]
    for expr in reads:
        assert m.get(b"a", IndexOf(0, lambda: eval(expr, {"m": m}))) == 1, expr
        with raises_exactly(RuntimeError, "Already mutably borrowed"):
            m.insert(b"a", IndexOf(0, lambda: eval(expr, {"m": m})))
    for expr in changes:
        for outer in (m.get, m.insert):
            with raises_exactly(RuntimeError, "Already borrowed"):
                outer(b"a", IndexOf(0, lambda: eval(expr, {"m": m})))
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        m.update([(b"x", IndexOf(1, lambda: list(m)))])
    assert dict(m.items()) == {b"a": 1}
    it = m.items()
    assert m.insert(b"b", IndexOf(2, lambda: next(it))) is None  # an iterator is an object of its own
    assert dict(m.items()) == {b"a": 1, b"b": 2} and len(it) == 0


def test_owner_thread(owner_thread, unraisable):
    owner_thread.make("m", lambda: CorvaleBytesMap())
    o = owner_thread.objects
    owner_thread.run(lambda: o["m"].update({b"a": 1}))
    for name in ("keys", "values", "items"):
        owner_thread.make(name, lambda name=name: getattr(o["m"], name)())
    path = "_corvale::bytesmap::{} is unsendable, but sent to another thread"
    cases = [(lambda: len(o["m"]), "CorvaleBytesMap"), (lambda: o["m"].insert(b"a", -1), "CorvaleBytesMap"),
             (lambda: o["m"][b"a"], "CorvaleBytesMap"), (lambda: o["m"].empty, "CorvaleBytesMap"),
             (lambda: next(o["keys"]), "CorvaleBytesMapKeyIter"),
             (lambda: len(o["values"]), "CorvaleBytesMapValueIter"),
             (lambda: iter(o["items"]), "CorvaleBytesMapItemIter")]
    for call, cls in cases:
        with raises_exactly(RuntimeError, path.format(cls)):
            call()
    assert owner_thread.run(lambda: (o["m"][b"a"], list(o["items"]))) == (1, [(b"a", 1)])
    for name in ("m", "keys", "items", "values"):
        del o[name]
    assert unraisable == [
        (RuntimeError, f"_corvale::bytesmap::{cls} is unsendable, but is being dropped on another thread")
        for cls in ("CorvaleBytesMap", "CorvaleBytesMapKeyIter", "CorvaleBytesMapItemIter",
                    "CorvaleBytesMapValueIter")]
