"""What a caller sees without running the containers: the module, its class
objects, every method's name, order, text signature and docstring, and the
exact text of every error the integer classes raise."""

import array
import importlib
import inspect
import subprocess
import sys

import pytest

import corvale_trie
import corvale_trie._corvale as _corvale
from conftest import U64_MAX, IndexOf, notes, packed
from corvale_trie._corvale import CorvaleMap, CorvaleSet

REGISTRATION_ORDER = [
    "CorvaleMap", "CorvaleSet", "SyncCorvaleMap", "SyncCorvaleSet", "CorvaleStrMap",
    "CorvaleBytesMap", "CorvaleBlobMap", "CorvaleMapKeyIter", "CorvaleMapValueIter",
    "CorvaleMapItemIter", "CorvaleMapRangeIter", "CorvaleSetIter", "CorvaleSetRangeIter",
    "SyncCorvaleMapKeyIter", "SyncCorvaleMapValueIter", "SyncCorvaleMapItemIter",
    "SyncCorvaleMapRangeIter", "SyncCorvaleSetIter", "SyncCorvaleSetRangeIter",
    "CorvaleStrMapKeyIter", "CorvaleStrMapValueIter", "CorvaleStrMapItemIter",
    "CorvaleBytesMapKeyIter", "CorvaleBytesMapValueIter", "CorvaleBytesMapItemIter",
]

ITERATOR_DOCS = {
    "CorvaleMapKeyIter": "Iterator yielding keys of [`CorvaleMap`].",
    "CorvaleMapValueIter": "Iterator yielding values of [`CorvaleMap`].",
    "CorvaleMapItemIter": "Iterator yielding `(key, value)` pairs of [`CorvaleMap`].",
    "CorvaleMapRangeIter": "Range iterator yielding `(key, value)` pairs of [`CorvaleMap`].",
    "CorvaleSetIter": "Key iterator for [`CorvaleSet`].",
    "CorvaleSetRangeIter": "Range iterator for [`CorvaleSet`].",
}

# (method, parameters of its text signature, docstring), in class order.
NAV = [
    ("next", "key, inclusive=False", "Smallest {} with key `> key` (or `>= key` if `inclusive=True`)."),
    ("next_at_or_after", "key", "Smallest {} with key `>= key`."),
    ("next_after", "key", "Smallest {} with key `> key`."),
    ("prev", "key, inclusive=False", "Largest {} with key `< key` (or `<= key` if `inclusive=True`)."),
    ("prev_at_or_before", "key", "Largest {} with key `<= key`."),
    ("prev_before", "key", "Largest {} with key `< key`."),
    ("count_below", "key", "Number of keys strictly below `key` (rank)."),
]
SET_METHODS = [
    ("is_empty", "", "True when no elements are in the set.\nTrue when empty."),
    ("contains", "key", "Returns True if key is present in the set."),
    ("contains_batch", "keys", "Checks membership for a batch of keys, returning a list of bools."),
    ("insert", "key", "Inserts `key` into the set; returns `True` if it was not present."),
    ("add", "key", "Adds `key` to the set (standard Python set method). Returns `True` if newly inserted."),
    ("remove", "key", "Removes `key` from the set; returns `True` if it was present, `False` otherwise."),
    ("discard", "key", "Removes `key` if present; returns `True` if it was present, `False` otherwise."),
    ("pop", "", "Removes and returns the smallest element in the set; raises `KeyError` if empty."),
    ("clear", "", "Removes all elements from the set."),
    ("mem_used", "", "Heap bytes used by the set allocations."),
    ("total_node_allocs", "", "Total node allocations performed by the trie engine."),
    ("first", "", "Smallest element in the set."),
    ("last", "", "Largest element in the set."),
    *[(n, p, d.format("element")) for n, p, d in NAV],
    ("by_count", "index", "The element with `index` keys below it (0-based select)."),
    ("count_range", "start, end", "Number of keys in the range `[start, end]`."),
    ("range", "start=None, end=None, inclusive=True",
     "Returns a list of elements in the range `[start, end]` (inclusive)."),
    ("to_list", "", "Returns all keys as a Python list in ascending order."),
    ("update", "other", "Updates the set from another set or iterable."),
    ("insert_many", "keys", "Bulk insertion from a buffer or iterable of integers. Zero-copy if C-contiguous."),
]
MAP_METHODS = [
    ("is_empty", "", "True when no entries are in the map.\nTrue when empty."),
    ("contains_key", "key", "Returns True if key is present in the map."),
    ("get_batch", "keys", "Looks up a batch of keys, returning a list of values (or None for absent keys)."),
    ("get", "key, default=None", "Look up `key`, returning `default` (or None) if absent."),
    ("insert", "key, val", "Inserts `key -> val`; returns the previous value, if any."),
    ("remove", "key", "Removes `key`; returns its value or None if missing."),
    ("pop", "key, default=None",
     "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, otherwise raises `KeyError`."),
    ("clear", "", "Removes all entries from the map."),
    ("mem_used", "", "Heap bytes used by the map allocations."),
    ("total_node_allocs", "", "Total node allocations performed by the trie engine."),
    ("first", "", "Smallest entry `(key, value)` in the map."),
    ("last", "", "Largest entry `(key, value)` in the map."),
    *[(n, p, d.format("entry")) for n, p, d in NAV],
    ("by_count", "index", "The entry `(key, value)` with `index` keys below it (0-based select)."),
    ("count_range", "start, end", "Number of keys in the range `[start, end]`."),
    ("range", "start=None, end=None, inclusive=True",
     "Returns a list of `(key, value)` pairs in the range `[start, end]` (inclusive)."),
    ("to_list", "", "Returns a list of all `(key, value)` pairs in ascending order."),
    ("items", "", "Returns a list of `(key, value)` pairs in ascending order."),
    ("keys", "", "Returns a list of all keys in ascending order."),
    ("values", "", "Returns a list of all values in key-ascending order."),
    ("update", "other", "Updates the map from another mapping or iterable of `(key, value)` pairs."),
    ("insert_many", "keys, values",
     "Bulk insertion from two buffers (keys and values). Zero-copy if C-contiguous buffers."),
]


# ---------------------------------------------------------------------------
# Module and class objects


def test_module_attributes():
    assert _corvale.__version__ == corvale_trie.__version__ == "0.4.1"
    assert corvale_trie.__all__ == _corvale.__all__
    assert _corvale.__doc__ == "The `_corvale` PyO3 module."
    names = _corvale.__all__
    assert names[0] == "__version__" and len(names) == len(set(names))
    assert {"CorvaleMap", "CorvaleSet", *ITERATOR_DOCS} <= set(names)
    assert names[1:] == [n for n in REGISTRATION_ORDER if n in names]
    assert all(name in dir(_corvale) for name in names)


def test_second_import_shares_the_class_objects(monkeypatch):
    first = sys.modules["corvale_trie._corvale"]
    monkeypatch.delitem(sys.modules, "corvale_trie._corvale")
    monkeypatch.setattr(corvale_trie, "_corvale", first)
    try:
        second = importlib.import_module("corvale_trie._corvale")
        assert second is not first and second.__all__ == first.__all__
        assert second.__all__ is not first.__all__
        assert all(getattr(second, n) is getattr(first, n) for n in first.__all__[1:])
        assert isinstance(second.CorvaleSet([1]), first.CorvaleSet)
    finally:
        sys.modules["corvale_trie._corvale"] = first


def test_a_second_interpreter_cannot_load_the_module(tmp_path):
    try:
        import _xxsubinterpreters as sub

        run = sub.run_string
    except ImportError:
        sub = pytest.importorskip("_interpreters")
        run = sub.exec
    result = tmp_path / "result.txt"
    code = (
        f"import sys\nsys.path[:] = {sys.path!r}\n"
        "try:\n    import corvale_trie._corvale\n    outcome = 'imported'\n"
        "except ImportError:\n    outcome = 'ImportError'\n"
        f"with open({str(result)!r}, 'w') as f:\n    f.write(outcome)\n"
    )
    interp = sub.create()
    try:
        run(interp, code)
    finally:
        sub.destroy(interp)
    assert result.read_text() == "ImportError"
    assert list(CorvaleSet([2, 1])) == [1, 2]  # still fine here


@pytest.mark.parametrize("name", ["CorvaleMap", "CorvaleSet", *ITERATOR_DOCS])
def test_class_objects(name):
    cls = getattr(_corvale, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "corvale_trie._corvale")
    assert cls.__base__ is object
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if name in ITERATOR_DOCS:
        assert cls.__doc__ == ITERATOR_DOCS[name]
        assert set(cls.__dict__) == {"__doc__", "__module__", "__new__", "__iter__", "__next__", "__len__"}
        for args, kwargs in (((), {}), ((1,), {}), (([1],), {"items": 2})):
            with pytest.raises(TypeError) as exc_info:
                cls(*args, **kwargs)
            assert str(exc_info.value) == f"cannot create 'corvale_trie._corvale.{name}' instances"


def test_class_objects_are_immutable():
    # Run apart: a class that took a new __new__ would stay broken for the
    # tests after this one (an object made without its core crashes).
    script = f"""
import corvale_trie._corvale as m
flags = {{"base": 1 << 10, "gc": 1 << 14, "sequence": 1 << 5, "mapping": 1 << 6}}
for name in {REGISTRATION_ORDER!r}:
    cls = getattr(m, name)
    assert cls.__flags__ & (1 << 8), name
    assert not [f for f, bit in flags.items() if cls.__flags__ & bit], name
    for change in (lambda: setattr(cls, "__new__", staticmethod(lambda c, *a, **k: object.__new__(c))),
                   lambda: setattr(cls, "extra", 1), lambda: delattr(cls, "__doc__")):
        try:
            change()
        except TypeError as e:
            assert "immutable type" in str(e) and name in str(e), (name, e)
        else:
            raise AssertionError(name)
s, d = m.SyncCorvaleSet(), m.SyncCorvaleMap()
s.insert_many([3, 1])
d[1] = 2
print(len(s), sorted(s), d[1], len(m.CorvaleSet([5])))
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr, out.stdout) == (0, "", "2 [1, 3] 2 1\n")


@pytest.mark.parametrize("cls, table, slots, text, first_line", [
    (CorvaleSet, SET_METHODS, ["__repr__", "__iter__", "__bool__", "__len__", "__contains__"],
     "(iterable=None)", "A sparse, dynamic 64-bit unsigned integer set"),
    (CorvaleMap, MAP_METHODS, ["__repr__", "__iter__", "__bool__", "__len__", "__getitem__",
                               "__setitem__", "__delitem__", "__contains__"],
     "(items=None)", "A sparse, dynamic 64-bit unsigned integer map"),
], ids=["set", "map"])
def test_methods_signatures_and_docstrings(cls, table, slots, text, first_line):
    assert cls.__text_signature__ == text
    assert cls.__doc__.startswith(first_line + " (") and cls.__doc__.endswith(").")
    assert {k for k in cls.__dict__ if k.startswith("__")} == {"__doc__", "__module__", "__new__", *slots}
    assert [k for k in cls.__dict__ if not k.startswith("__")] == [name for name, _, _ in table] + ["empty"]
    for name, params, doc in table:
        method = getattr(cls, name)
        assert method.__text_signature__ == f"($self{', ' if params else ''}{params})", name
        assert method.__doc__ == doc, name
        assert str(inspect.signature(method)) == f"(self, /{', ' if params else ''}{params})"
    assert cls.empty.__doc__ == "Property returning True if empty."


# ---------------------------------------------------------------------------
# Exact error texts. Each row runs on s = CorvaleSet([1, 2, 3]) and
# m = CorvaleMap({1: 10, 2: 20}); no failing call may change either.

NEG, BIG = "can't convert negative int to unsigned", "int too big to convert"
NOT_INT = "'{}' object cannot be interpreted as an integer"
NOT_BOOL = "'{}' object is not an instance of 'bool'"
NOT_SEQ = "'{}' object is not an instance of 'Sequence'"
NOT_TUPLE = "'{}' object is not an instance of 'tuple'"
TUPLE_LEN = "expected tuple of length 2, but got tuple of length {}"
PACKED = ("insert_many: {} byte buffer length ({}) is not a multiple of 8; "
          "a packed u64 buffer must contain whole 8-byte elements")


def boom():
    raise LookupError("boom")


def released_view():
    view = memoryview(packed(1))
    view.release()
    return view


ERRORS = [
    # u64 conversion of named parameters: the interpreter's text plus a note.
    (lambda s, m: s.insert(-1), OverflowError, NEG, "key"),
    (lambda s, m: s.add(2**64), OverflowError, BIG, "key"),
    (lambda s, m: s.remove("1"), TypeError, NOT_INT.format("str"), "key"),
    (lambda s, m: s.discard(1.0), TypeError, NOT_INT.format("float"), "key"),
    (lambda s, m: s.contains(None), TypeError, NOT_INT.format("NoneType"), "key"),
    (lambda s, m: -1 in s, OverflowError, NEG, "key"),
    (lambda s, m: "1" in m, TypeError, NOT_INT.format("str"), "key"),
    (lambda s, m: m[2**64], OverflowError, BIG, "key"),
    (lambda s, m: m.__setitem__(3, -1), OverflowError, NEG, "val"),
    (lambda s, m: m.__setitem__(-1, "x"), OverflowError, NEG, "key"),
    (lambda s, m: m.__delitem__(2.0), TypeError, NOT_INT.format("float"), "key"),
    (lambda s, m: m.insert(3, 2**64), OverflowError, BIG, "val"),
    (lambda s, m: m.get(1, "x"), TypeError, NOT_INT.format("str"), "default"),
    (lambda s, m: m.pop(1, -5), OverflowError, NEG, "default"),
    (lambda s, m: s.by_count(-1), OverflowError, NEG, "index"),
    (lambda s, m: s.count_range(-1, "x"), OverflowError, NEG, "start"),
    (lambda s, m: m.count_range(1, "x"), TypeError, NOT_INT.format("str"), "end"),
    (lambda s, m: s.range("a", -1, 5), TypeError, NOT_INT.format("str"), "start"),
    (lambda s, m: m.range(0, -1, 5), OverflowError, NEG, "end"),
    (lambda s, m: m.next(-1, 1), OverflowError, NEG, "key"),
    (lambda s, m: m.next_at_or_after(None), TypeError, NOT_INT.format("NoneType"), "key"),
    (lambda s, m: m.insert(3, IndexOf(2, boom)), LookupError, "boom", "val"),  # __index__'s own error
    # Boolean parameters: exactly True or False.
    (lambda s, m: s.next(5, 1), TypeError, NOT_BOOL.format("int"), "inclusive"),
    (lambda s, m: s.prev(5, inclusive=0), TypeError, NOT_BOOL.format("int"), "inclusive"),
    (lambda s, m: m.next(5, None), TypeError, "'None' is not an instance of 'bool'", "inclusive"),
    (lambda s, m: m.range(1, 2, "yes"), TypeError, NOT_BOOL.format("str"), "inclusive"),
    (lambda s, m: s.range(inclusive=None), TypeError, "'None' is not an instance of 'bool'", "inclusive"),
    # Batch keys: a sequence of integers, not str.
    (lambda s, m: s.contains_batch("12"), TypeError, "Can't extract `str` to `Vec`", "keys"),
    (lambda s, m: s.contains_batch({1}), TypeError, NOT_SEQ.format("set"), "keys"),
    (lambda s, m: m.get_batch(None), TypeError, "'None' is not an instance of 'Sequence'", "keys"),
    (lambda s, m: m.get_batch(iter([1])), TypeError, NOT_SEQ.format("list_iterator"), "keys"),
    (lambda s, m: m.get_batch({1: 2}), TypeError, NOT_SEQ.format("dict"), "keys"),
    (lambda s, m: m.get_batch([1, -1]), OverflowError, NEG, "keys"),
    # Missing keys.
    (lambda s, m: CorvaleSet().pop(), KeyError, "pop from an empty CorvaleSet", None),
    (lambda s, m: m[5], KeyError, "Key 5 not found in CorvaleMap", None),
    (lambda s, m: m.__delitem__(U64_MAX), KeyError, f"Key {U64_MAX} not found in CorvaleMap", None),
    (lambda s, m: m.pop(3), KeyError, "Key 3 not found in CorvaleMap", None),
    (lambda s, m: m.pop(3, None), KeyError, "Key 3 not found in CorvaleMap", None),
    # Items converted inside a body carry no note.
    (lambda s, m: CorvaleSet([1, -1]), OverflowError, NEG, None),
    (lambda s, m: CorvaleSet([1, "x"]), TypeError, NOT_INT.format("str"), None),
    (lambda s, m: CorvaleSet(5), TypeError, "'int' object is not iterable", None),
    (lambda s, m: CorvaleMap([[1, 2]]), TypeError, NOT_TUPLE.format("list"), None),
    (lambda s, m: CorvaleMap([None]), TypeError, "'None' is not an instance of 'tuple'", None),
    (lambda s, m: CorvaleMap([(1, 2, 3)]), ValueError, TUPLE_LEN.format(3), None),
    (lambda s, m: CorvaleMap([(1,)]), ValueError, TUPLE_LEN.format(1), None),
    (lambda s, m: CorvaleMap({0: 2**64}), OverflowError, BIG, None),
    (lambda s, m: CorvaleMap(CorvaleMap({1: 2})), TypeError, NOT_TUPLE.format("int"), None),
    (lambda s, m: CorvaleMap().update(CorvaleSet([5])), TypeError, NOT_TUPLE.format("int"), None),
    (lambda s, m: CorvaleSet().update(["4"]), TypeError, NOT_INT.format("str"), None),
    (lambda s, m: CorvaleSet().insert_many("12"), TypeError, NOT_INT.format("str"), None),
    (lambda s, m: CorvaleSet().insert_many(7), TypeError, "'int' object is not iterable", None),
    (lambda s, m: m.insert_many([3], [-1]), OverflowError, NEG, None),
    # Packed buffers: whole 8-byte elements, labelled by argument.
    (lambda s, m: s.insert_many(b"abc"), ValueError, PACKED.format("keys", 3), None),
    (lambda s, m: s.insert_many(bytearray(15)), ValueError, PACKED.format("keys", 15), None),
    (lambda s, m: s.insert_many(memoryview(array.array("I", [1, 2, 3]))), ValueError,
     PACKED.format("keys", 12), None),
    (lambda s, m: m.insert_many(bytes(12), bytes(16)), ValueError, PACKED.format("keys", 12), None),
    (lambda s, m: m.insert_many(bytes(16), memoryview(bytes(9))), ValueError, PACKED.format("values", 9), None),
    (lambda s, m: m.insert_many([1, 2], packed(10)), ValueError,
     "insert_many: keys (2) and values (1) must have the same number of elements", None),
    (lambda s, m: s.insert_many(released_view()), ValueError,
     "operation forbidden on released memoryview object", None),
    # Signatures.
    (lambda s, m: s.insert(), TypeError, "CorvaleSet.insert() missing 1 required positional argument: 'key'", None),
    (lambda s, m: s.insert(1, 2), TypeError, "CorvaleSet.insert() takes 1 positional arguments but 2 were given", None),
    (lambda s, m: s.add(1, key=2), TypeError, "CorvaleSet.add() got multiple values for argument 'key'", None),
    (lambda s, m: s.discard(k=2), TypeError, "CorvaleSet.discard() got an unexpected keyword argument 'k'", None),
    (lambda s, m: s.range(1, 2, True, 4), TypeError,
     "CorvaleSet.range() takes from 0 to 3 positional arguments but 4 were given", None),
    (lambda s, m: m.next(), TypeError, "CorvaleMap.next() missing 1 required positional argument: 'key'", None),
    (lambda s, m: m.insert(), TypeError,
     "CorvaleMap.insert() missing 2 required positional arguments: 'key' and 'val'", None),
    (lambda s, m: m.insert_many(values=[1]), TypeError,
     "CorvaleMap.insert_many() missing 1 required positional argument: 'keys'", None),
    (lambda s, m: m.get(1, 2, 3), TypeError,
     "CorvaleMap.get() takes from 1 to 2 positional arguments but 3 were given", None),
    (lambda s, m: CorvaleSet([1], [2]), TypeError,
     "CorvaleSet.__new__() takes from 0 to 1 positional arguments but 2 were given", None),
    (lambda s, m: CorvaleMap(iterable=[]), TypeError,
     "CorvaleMap.__new__() got an unexpected keyword argument 'iterable'", None),
    (lambda s, m: s.is_empty(1), TypeError, "CorvaleSet.is_empty() takes no arguments (1 given)", None),
]


@pytest.mark.parametrize("call, exc_type, message, note", ERRORS)
def test_error_texts(call, exc_type, message, note):
    s, m = CorvaleSet([1, 2, 3]), CorvaleMap({1: 10, 2: 20})
    with pytest.raises(exc_type) as exc_info:
        call(s, m)
    assert exc_info.value.args == (message,)
    assert notes(exc_info) == ([f"while processing '{note}'"] if note else [])
    assert s.to_list() == [1, 2, 3] and m.items() == [(1, 10), (2, 20)]
    assert s.insert(7) and s.remove(7) and m.insert(7, 7) is None and m.pop(7) == 7  # claims given back

