"""CorvaleMap: construction, item protocol and point operations, navigation,
errors, iteration, bulk and batch operations, and a seeded differential test
against a model (a dict plus a sorted key list)."""

import array
import bisect
import inspect
import os
import random
import struct

import pytest

from corvale_trie._corvale import CorvaleMap, CorvaleMapKeyIter, CorvaleSet

U64_MAX = 2**64 - 1


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


def packed(*values):
    return struct.pack(f"={len(values)}Q", *values)


class IndexOf:
    """Converts through __index__, running `action` first."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


def key_error_text(key):
    return f"Key {key} not found in CorvaleMap"


# ---------------------------------------------------------------------------
# Construction


class TestConstruction:
    def test_empty_forms(self):
        for m in (CorvaleMap(), CorvaleMap(None), CorvaleMap(items=None), CorvaleMap({}), CorvaleMap([])):
            assert len(m) == 0 and not m and m.empty is True and m.is_empty() is True
            assert repr(m) == "CorvaleMap(len=0)"
            assert m.mem_used() == 0 and m.total_node_allocs() == 0

    def test_from_dict_and_pairs(self):
        m = CorvaleMap({1: 2, 3: 4})
        assert m.items() == [(1, 2), (3, 4)]
        assert m.empty is False
        assert CorvaleMap([(1, 2), (1, 5)]).items() == [(1, 5)]
        assert CorvaleMap(iter([(U64_MAX, 0), (0, U64_MAX)])).items() == [(0, U64_MAX), (U64_MAX, 0)]

        class Pair(tuple):
            pass

        assert CorvaleMap([Pair((7, 8))]).items() == [(7, 8)]

    @pytest.mark.parametrize("n", [1, 30, 31, 32, 33, 500])
    def test_flat_and_tree_roots_answer_alike(self, n):
        d = {k * 11: k for k in range(n)}
        m = CorvaleMap(d)
        assert len(m) == n
        assert m.items() == sorted(d.items())
        assert m.first() == (0, 0) and m.last() == (11 * (n - 1), n - 1)
        assert [m[k] for k in d] == list(d.values())
        assert m.get_batch([0, 1, 11 * (n - 1)]) == [0, None, n - 1]

    def test_dict_subclass_is_read_from_its_storage(self):
        class Tricky(dict):
            def items(self):
                raise AssertionError("items() must not be called")

            def __iter__(self):
                raise AssertionError("__iter__ must not be called")

            def keys(self):
                raise AssertionError("keys() must not be called")

        assert CorvaleMap(Tricky({4: 40, 2: 20})).items() == [(2, 20), (4, 40)]
        m = CorvaleMap()
        m.update(Tricky({9: 90}))
        assert m.items() == [(9, 90)]

    @pytest.mark.parametrize(
        "arg, exc_type, message",
        [
            ([[1, 2]], TypeError, "'list' object is not an instance of 'tuple'"),
            ([None], TypeError, "'None' is not an instance of 'tuple'"),
            ([(1, 2, 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
            ([(1,)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
            (5, TypeError, "'int' object is not iterable"),
            ({-1: 0}, OverflowError, "can't convert negative int to unsigned"),
            ({0: 2**64}, OverflowError, "int too big to convert"),
            ({"a": 0}, TypeError, "'str' object cannot be interpreted as an integer"),
            ([(1, 2.5)], TypeError, "'float' object cannot be interpreted as an integer"),
            (CorvaleMap({1: 2}), TypeError, "'int' object is not an instance of 'tuple'"),
            (CorvaleSet([1]), TypeError, "'int' object is not an instance of 'tuple'"),
        ],
    )
    def test_bad_items_make_no_object(self, arg, exc_type, message):
        with pytest.raises(exc_type) as exc_info:
            CorvaleMap(arg)
        assert str(exc_info.value) == message
        assert notes(exc_info) == []

    def test_iteration_error_propagates(self):
        def gen():
            yield (1, 2)
            raise LookupError("source failed")

        with pytest.raises(LookupError, match="source failed"):
            CorvaleMap(gen())

    def test_dict_changed_by_a_conversion(self):
        d = {1: 10, 2: 20, 3: 30}
        d[2] = IndexOf(20, lambda: d.__setitem__(99, 0))
        with pytest.raises(RuntimeError) as exc_info:
            CorvaleMap(d)
        assert str(exc_info.value) == "dictionary changed size during iteration"
        # A key's own conversion shrinking the dict.
        d = {1: 10, IndexOf(2, lambda: d.pop(3)): 20, 3: 30}
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            CorvaleMap(d)

    def test_dict_changed_by_the_last_conversion(self):
        d = {1: 10}
        d[2] = IndexOf(20, lambda: d.clear())
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            CorvaleMap(d)

    def test_entries_stay_alive_while_converted(self):
        # The value's conversion drops the dict's only references to the key
        # and the value being converted; both must survive the conversion.
        d = {}
        d[IndexOf(4)] = IndexOf(5, lambda: d.clear())
        with pytest.raises(RuntimeError) as exc_info:
            CorvaleMap(d)
        assert str(exc_info.value) == "dictionary changed size during iteration"

    def test_signature_and_doc(self):
        assert str(inspect.signature(CorvaleMap)) == "(items=None)"
        assert CorvaleMap.__doc__.startswith("A sparse, dynamic 64-bit unsigned integer map")


MAP_SIGNATURES = {
    "is_empty": "(self, /)",
    "contains_key": "(self, /, key)",
    "get_batch": "(self, /, keys)",
    "get": "(self, /, key, default=None)",
    "insert": "(self, /, key, val)",
    "remove": "(self, /, key)",
    "pop": "(self, /, key, default=None)",
    "clear": "(self, /)",
    "mem_used": "(self, /)",
    "total_node_allocs": "(self, /)",
    "first": "(self, /)",
    "last": "(self, /)",
    "next": "(self, /, key, inclusive=False)",
    "next_at_or_after": "(self, /, key)",
    "next_after": "(self, /, key)",
    "prev": "(self, /, key, inclusive=False)",
    "prev_at_or_before": "(self, /, key)",
    "prev_before": "(self, /, key)",
    "count_below": "(self, /, key)",
    "by_count": "(self, /, index)",
    "count_range": "(self, /, start, end)",
    "range": "(self, /, start=None, end=None, inclusive=True)",
    "to_list": "(self, /)",
    "items": "(self, /)",
    "keys": "(self, /)",
    "values": "(self, /)",
    "update": "(self, /, other)",
    "insert_many": "(self, /, keys, values)",
}


class TestSurface:
    def test_methods(self):
        own = [k for k in CorvaleMap.__dict__ if not k.startswith("__")]
        assert sorted(own) == sorted(list(MAP_SIGNATURES) + ["empty"])
        assert len(MAP_SIGNATURES) == 28

    @pytest.mark.parametrize("name, signature", list(MAP_SIGNATURES.items()))
    def test_signatures(self, name, signature):
        assert str(inspect.signature(getattr(CorvaleMap, name))) == signature

    def test_docstrings(self):
        assert CorvaleMap.pop.__doc__ == (
            "Removes `key` and returns its value. If `key` is absent, returns `default`\n"
            "if given, otherwise raises `KeyError`."
        )
        assert CorvaleMap.items.__doc__ == "Returns a list of `(key, value)` pairs in ascending order."
        assert CorvaleMap.to_list.__doc__ == "Returns a list of all `(key, value)` pairs in ascending order."
        assert CorvaleMap.empty.__doc__ == "Property returning True if empty."

    def test_keywords(self):
        m = CorvaleMap(items={1: 10})
        assert m.insert(key=2, val=20) is None
        assert m.get(key=3, default=4) == 4
        assert m.pop(key=2) == 20
        assert m.get_batch(keys=[1]) == [10]
        assert m.insert_many(keys=[5], values=[50]) == 1
        assert m.update(other={6: 60}) is None
        assert m.range(start=5, end=6, inclusive=False) == [(5, 50)]


# ---------------------------------------------------------------------------
# Item protocol and point operations


class TestPointOperations:
    def test_item_protocol(self):
        m = CorvaleMap()
        m[U64_MAX] = 0
        m[0] = U64_MAX
        assert m[U64_MAX] == 0 and m[0] == U64_MAX
        m[0] = 1
        assert m[0] == 1 and len(m) == 2
        del m[0]
        assert 0 not in m and U64_MAX in m
        for op in (lambda: m[5], lambda: m.__delitem__(5)):
            with pytest.raises(KeyError) as exc_info:
                op()
            assert exc_info.value.args == (key_error_text(5),)
        assert True not in m  # bool is the int 1

    def test_get(self):
        m = CorvaleMap({1: 0})
        assert m.get(1) == 0  # a stored 0 is not "absent"
        assert m.get(2) is None
        assert m.get(2, 7) == 7
        assert m.get(2, None) is None
        assert m.get(key=1, default=9) == 0
        with pytest.raises(TypeError) as exc_info:
            m.get(1, "x")  # the default is converted even for a present key
        assert notes(exc_info) == ["while processing 'default'"]

    def test_insert_remove(self):
        m = CorvaleMap()
        assert m.insert(5, 50) is None
        assert m.insert(5, 51) == 50
        assert m[5] == 51
        assert m.remove(5) == 51
        assert m.remove(5) is None
        assert m.contains_key(5) is False

    def test_pop(self):
        m = CorvaleMap({1: 10, 2: 0})
        assert m.pop(1) == 10
        assert m.pop(2, 99) == 0
        assert m.pop(3, 0) == 0
        for call in (lambda: m.pop(3), lambda: m.pop(3, None), lambda: m.pop(key=3)):
            with pytest.raises(KeyError) as exc_info:
                call()
            assert exc_info.value.args == (key_error_text(3),)
        m[4] = 40
        with pytest.raises(TypeError):
            m.pop(4, "x")
        assert m[4] == 40  # a bad default leaves the key

    def test_clear(self):
        m = CorvaleMap({k: k for k in range(100)})
        allocs = m.total_node_allocs()
        assert m.clear() is None
        assert (len(m), bool(m), m.empty, m.is_empty(), repr(m)) == (0, False, True, True, "CorvaleMap(len=0)")
        assert m.total_node_allocs() == allocs
        assert m.mem_used() == 0
        assert m.items() == [] and m.first() is None and m.get_batch([1]) == [None]
        m[3] = 4
        assert repr(m) == "CorvaleMap(len=1)"

    def test_flat_tree_flat(self):
        m = CorvaleMap()
        for k in range(32):
            m[k * 1000] = k
        assert [m.get(k * 1000) for k in range(32)] == list(range(32))
        for k in range(2):
            del m[k * 1000]
        assert len(m) == 30
        assert [m.get(k * 1000) for k in range(32)] == [None, None] + list(range(2, 32))
        assert m.items() == [(k * 1000, k) for k in range(2, 32)]

    def test_memory_counters(self):
        m = CorvaleMap()
        m[1] = 1
        assert m.mem_used() > 0 and m.total_node_allocs() > 0


# ---------------------------------------------------------------------------
# Navigation


class TestNavigation:
    def test_two_pairs(self):
        m = CorvaleMap({10: 100, 20: 200})
        assert m.next(10) == (20, 200)
        assert m.next(10, True) == (10, 100)
        assert m.prev(20) == (10, 100)
        assert m.prev(15, True) == (10, 100)
        assert m.next_at_or_after(11) == (20, 200)
        assert m.next_after(20) is None
        assert m.prev_at_or_before(20) == (20, 200)
        assert m.prev_before(10) is None
        assert m.count_below(20) == 1
        assert m.count_range(10, 20) == 2
        assert m.count_range(20, 10) == 0
        assert m.count_range(11, 19) == 0
        assert m.by_count(1) == (20, 200)
        assert m.by_count(2) is None
        assert m.first() == (10, 100) and m.last() == (20, 200)

    def test_ranges_and_lists(self):
        m = CorvaleMap({10: 100, 20: 200})
        assert m.range(10, 20) == [(10, 100), (20, 200)]
        assert m.range(10, 20, False) == [(10, 100)]
        assert m.range(20, 10) == []
        assert m.range(None, None) == m.to_list() == m.items()
        assert m.range(end=15) == [(10, 100)]
        assert m.range(15) == [(20, 200)]
        assert m.keys() == [10, 20] and m.values() == [100, 200]

    def test_ends_of_the_key_range(self):
        m = CorvaleMap({0: 1, U64_MAX: 2})
        assert m.next(U64_MAX) is None and m.next_after(U64_MAX) is None
        assert m.next(U64_MAX, True) == (U64_MAX, 2)
        assert m.prev(0) is None and m.prev_before(0) is None
        assert m.prev(0, inclusive=True) == (0, 1)
        assert m.count_range(0, U64_MAX) == 2
        assert m.range(end=U64_MAX) == [(0, 1), (U64_MAX, 2)]
        assert m.range(end=U64_MAX, inclusive=False) == [(0, 1)]

    def test_empty_map(self):
        m = CorvaleMap()
        for q in (m.first(), m.last(), m.next(0), m.next(0, True), m.prev(U64_MAX), m.prev(5, True),
                  m.next_after(1), m.next_at_or_after(1), m.prev_before(1), m.prev_at_or_before(1), m.by_count(0)):
            assert q is None
        assert m.count_below(5) == 0 and m.count_range(0, U64_MAX) == 0
        assert m.range() == m.to_list() == m.items() == m.keys() == m.values() == []

    @pytest.mark.parametrize("n", [31, 32])
    def test_every_probe_on_flat_and_tree(self, n):
        keys = [k * 5 for k in range(n)]
        m = CorvaleMap({k: k + 1 for k in keys})
        for t in range(0, 5 * n + 3):
            i = bisect.bisect_left(keys, t)
            j = bisect.bisect_right(keys, t)
            entry = lambda x: (x, x + 1)  # noqa: E731
            assert m.next_at_or_after(t) == (entry(keys[i]) if i < n else None)
            assert m.next_after(t) == (entry(keys[j]) if j < n else None)
            assert m.prev_at_or_before(t) == (entry(keys[j - 1]) if j > 0 else None)
            assert m.prev_before(t) == (entry(keys[i - 1]) if i > 0 else None)
            assert m.count_below(t) == i

    def test_lists_line_up(self):
        rng = random.Random(11)
        d = {rng.getrandbits(64): rng.getrandbits(64) for _ in range(700)}
        m = CorvaleMap(d)
        items = m.items()
        assert items == m.to_list() == sorted(d.items())
        assert m.keys() == [k for k, _ in items] == list(m)
        assert m.values() == [v for _, v in items]


# ---------------------------------------------------------------------------
# Errors


class TestErrors:
    @pytest.mark.parametrize(
        "call, exc_type, note",
        [
            (lambda m: m.__setitem__(2**64, 0), OverflowError, "key"),
            (lambda m: m.__setitem__(-1, 0), OverflowError, "key"),
            (lambda m: m.__setitem__(1, -1), OverflowError, "val"),
            (lambda m: m.__getitem__("1"), TypeError, "key"),
            (lambda m: m.__delitem__(-1), OverflowError, "key"),
            (lambda m: m.__contains__("1"), TypeError, "key"),
            (lambda m: m.__contains__(-1), OverflowError, "key"),
            (lambda m: m.insert(1, 2**64), OverflowError, "val"),
            (lambda m: m.insert(None, 1), TypeError, "key"),
            (lambda m: m.get(-1), OverflowError, "key"),
            (lambda m: m.get(1, -5), OverflowError, "default"),
            (lambda m: m.pop(1, 1.5), TypeError, "default"),
            (lambda m: m.remove(2**64), OverflowError, "key"),
            (lambda m: m.contains_key("k"), TypeError, "key"),
            (lambda m: m.next(5, 1), TypeError, "inclusive"),
            (lambda m: m.next(-1), OverflowError, "key"),
            (lambda m: m.prev(1, None), TypeError, "inclusive"),
            (lambda m: m.by_count(-1), OverflowError, "index"),
            (lambda m: m.count_range(1, -1), OverflowError, "end"),
            (lambda m: m.range(start=[]), TypeError, "start"),
            (lambda m: m.range(1, 2, 0), TypeError, "inclusive"),
            (lambda m: m.get_batch([1, -1]), OverflowError, "keys"),
            (lambda m: m.get_batch("12"), TypeError, "keys"),
            (lambda m: m.get_batch(None), TypeError, "keys"),
        ],
    )
    def test_conversion_errors_name_the_parameter(self, call, exc_type, note):
        m = CorvaleMap({1: 10, 2: 20})
        with pytest.raises(exc_type) as exc_info:
            call(m)
        assert notes(exc_info) == [f"while processing '{note}'"]
        assert m.items() == [(1, 10), (2, 20)]

    def test_batch_argument_messages(self):
        m = CorvaleMap()
        cases = [
            ("ab", "Can't extract `str` to `Vec`"),
            ({1}, "'set' object is not an instance of 'Sequence'"),
            (None, "'None' is not an instance of 'Sequence'"),
            (iter([1]), "'list_iterator' object is not an instance of 'Sequence'"),
        ]
        for arg, message in cases:
            with pytest.raises(TypeError) as exc_info:
                m.get_batch(arg)
            assert str(exc_info.value) == message

    def test_claims_refused_on_reentry(self):
        m = CorvaleMap({1: 10})
        cases = [
            (lambda: m.insert(IndexOf(2, lambda: m.insert(3, 3)), 0), "Already borrowed"),
            (lambda: m.insert(2, IndexOf(0, lambda: m.get(1))), "Already mutably borrowed"),
            (lambda: m.__setitem__(2, IndexOf(0, lambda: m.keys())), "Already mutably borrowed"),
            (lambda: m.__delitem__(IndexOf(1, lambda: len(m))), "Already mutably borrowed"),
            (lambda: m.pop(IndexOf(1, lambda: 1 in m)), "Already mutably borrowed"),
            (lambda: m.get(IndexOf(1, lambda: m.clear())), "Already borrowed"),
            (lambda: m[IndexOf(1, lambda: m.update({5: 5}))], "Already borrowed"),
            (lambda: m.get_batch([IndexOf(1, lambda: m.insert_many([5], [5]))]), "Already borrowed"),
            (lambda: m.update([(IndexOf(7, lambda: m.items()), 7)]), "Already mutably borrowed"),
            (lambda: m.update({IndexOf(7, lambda: m.remove(1)): 7}), "Already borrowed"),
            (lambda: m.insert_many([IndexOf(7, lambda: m.first())], [7]), "Already mutably borrowed"),
        ]
        for call, message in cases:
            with pytest.raises(RuntimeError) as exc_info:
                call()
            assert str(exc_info.value) == message
        assert m.items() == [(1, 10)]
        assert m.get_batch([IndexOf(1, lambda: m.count_below(2))]) == [10]


# ---------------------------------------------------------------------------
# Iteration


class TestIteration:
    def test_iterator_yields_keys_as_a_snapshot(self):
        m = CorvaleMap({3: 30, 1: 10})
        it = iter(m)
        assert type(it) is CorvaleMapKeyIter
        m.insert(2, 20)
        del m[3]
        assert len(it) == 2
        assert list(it) == [1, 3]
        assert list(m) == [1, 2]

    def test_iterator_outlives_the_map(self):
        m = CorvaleMap({k: 0 for k in range(40)})
        it = iter(m)
        next(it)
        del m
        assert list(it) == list(range(1, 40))


# ---------------------------------------------------------------------------
# Bulk and batch operations


class TestBulk:
    @pytest.mark.parametrize(
        "make",
        [
            list,
            tuple,
            lambda v: (x for x in v),
            lambda v: packed(*v),
            lambda v: bytearray(packed(*v)),
            lambda v: memoryview(packed(*v)),
            lambda v: array.array("Q", v),
        ],
        ids=["list", "tuple", "generator", "bytes", "bytearray", "memoryview", "array"],
    )
    def test_insert_many_sources(self, make):
        keys = [5, 0, U64_MAX, 5, 2**63]
        values = [1, 2, 3, 4, U64_MAX]
        m = CorvaleMap({9: 9})
        assert m.insert_many(make(keys), make(values)) == 5
        assert m.items() == sorted({9: 9, **dict(zip(keys, values))}.items())

    def test_insert_many_mixed_and_repeated(self):
        m = CorvaleMap()
        assert m.insert_many(packed(1, 2), [10, 20]) == 2
        assert m.insert_many([7, 7], [1, 2]) == 2
        assert m[7] == 2
        assert m.insert_many(b"", []) == 0
        assert m.insert_many(CorvaleSet([4]), [40]) == 1
        assert m.items() == [(1, 10), (2, 20), (4, 40), (7, 2)]

    def test_insert_many_failures_insert_nothing(self):
        m = CorvaleMap({1: 1})
        with pytest.raises(ValueError) as exc_info:
            m.insert_many([1, 2], [10])
        assert str(exc_info.value) == "insert_many: keys (2) and values (1) must have the same number of elements"
        with pytest.raises(ValueError) as exc_info:
            m.insert_many(packed(3), b"\x00" * 9)
        assert str(exc_info.value).startswith("insert_many: values byte buffer length (9)")
        with pytest.raises(ValueError) as exc_info:
            m.insert_many(b"\x00" * 12, [1])
        assert str(exc_info.value).startswith("insert_many: keys byte buffer length (12)")
        with pytest.raises(OverflowError) as exc_info:
            m.insert_many([3, 4], [0, -1])
        assert notes(exc_info) == []
        with pytest.raises(TypeError):
            m.insert_many(5, [1])
        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            m.insert_many(m, [1])
        assert m.items() == [(1, 1)]

    def test_update_sources(self):
        m = CorvaleMap({1: 1, 50: 5})
        other = CorvaleMap({k: k * 2 for k in range(40, 80)})
        assert m.update(other) is None
        assert m[50] == 100 and len(m) == 41
        assert other.items() == [(k, k * 2) for k in range(40, 80)]
        m.update([(1, 2), (1, 3)])
        assert m[1] == 3
        m.update({U64_MAX: 0, 0: U64_MAX})
        m.update((p for p in [(7, 70)]))
        assert m.first() == (0, U64_MAX) and m.last() == (U64_MAX, 0) and m[7] == 70

    def test_update_failures_keep_earlier_pairs(self):
        m = CorvaleMap()
        cases = [
            ([(1, 1), [2, 2]], TypeError, "'list' object is not an instance of 'tuple'"),
            ([(3, 3), (4, 4, 4)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
            (CorvaleSet([5]), TypeError, "'int' object is not an instance of 'tuple'"),
            ([None], TypeError, "'None' is not an instance of 'tuple'"),
        ]
        for arg, exc_type, message in cases:
            with pytest.raises(exc_type) as exc_info:
                m.update(arg)
            assert str(exc_info.value) == message
            assert notes(exc_info) == []
        with pytest.raises(OverflowError):
            m.update({6: 6, 7: -7})
        assert m.items() == [(1, 1), (3, 3), (6, 6)]
        with pytest.raises(RuntimeError) as exc_info:
            m.update(m)
        assert str(exc_info.value) == "Already mutably borrowed"
        assert m.items() == [(1, 1), (3, 3), (6, 6)]

    def test_update_from_a_dict_that_changes(self):
        m = CorvaleMap()
        d = {1: 10, 2: 20, 3: 30}
        d[2] = IndexOf(20, lambda: d.__setitem__(99, 0))
        with pytest.raises(RuntimeError) as exc_info:
            m.update(d)
        assert str(exc_info.value) == "dictionary changed size during iteration"
        assert m.items() == [(1, 10), (2, 20)]  # entries before the change stay
        # A same-size change that makes more entries turn up than the dict
        # held at the start; the entry being converted loses its last
        # reference in the dict meanwhile.
        m2 = CorvaleMap()
        e = {}
        e[1] = IndexOf(10, lambda: (e.pop(1), e.__setitem__(5, 50)))
        e[2] = 20
        with pytest.raises(RuntimeError) as exc_info:
            m2.update(e)
        assert str(exc_info.value) == "dictionary keys changed during iteration"
        assert m2.items() == [(1, 10), (2, 20)]

    def test_get_batch(self):
        m = CorvaleMap({5: 0, 6: 60})
        assert m.get_batch([]) == [] and m.get_batch(()) == []
        assert CorvaleMap().get_batch([1]) == [None]
        assert m.get_batch([5, 5, 7, 6]) == [0, 0, None, 60]
        assert m.get_batch(b"\x05\x06") == [0, 60]
        assert m.get_batch(range(5, 8)) == [0, 60, None]

    @pytest.mark.parametrize("stored", [0, 1, 8, 9, 31, 32, 400])
    def test_get_batch_groups(self, stored):
        d = {(k * 7) ^ (1 << 50): k for k in range(stored)}
        m = CorvaleMap(d)
        keys = list(d)
        for n in (1, 8, 9, 20, 33):
            probe = [keys[i % len(keys)] if keys and i % 3 else i for i in range(n)] + [0, U64_MAX]
            assert m.get_batch(probe) == [d.get(k) for k in probe]


# ---------------------------------------------------------------------------
# Randomized differential test


def key_source(rng, kind):
    if kind == "near-zero":
        return lambda: rng.randrange(500)
    if kind == "near-max":
        return lambda: U64_MAX - rng.randrange(500)
    if kind == "dense":
        base = rng.getrandbits(64) & ~0xFFFF
        return lambda: min(U64_MAX, base + rng.randrange(2500))
    if kind == "clusters":
        centers = [rng.getrandbits(64) for _ in range(6)]
        return lambda: (rng.choice(centers) ^ rng.getrandbits(12)) & U64_MAX
    if kind == "small":
        universe = [rng.getrandbits(64) for _ in range(40)]
        return lambda: rng.choice(universe)
    return lambda: rng.getrandbits(64)


class Model:
    def __init__(self):
        self.d = {}
        self.sorted = []

    def put(self, k, v):
        if k not in self.d:
            bisect.insort(self.sorted, k)
        old = self.d.get(k)
        self.d[k] = v
        return old

    def remove(self, k):
        if k not in self.d:
            return None
        self.sorted.pop(bisect.bisect_left(self.sorted, k))
        return self.d.pop(k)

    def entry(self, i):
        return (self.sorted[i], self.d[self.sorted[i]]) if 0 <= i < len(self.sorted) else None

    def ge(self, t):
        return self.entry(bisect.bisect_left(self.sorted, t))

    def le(self, t):
        return self.entry(bisect.bisect_right(self.sorted, t) - 1)

    def range(self, start, end, inclusive):
        lo = bisect.bisect_left(self.sorted, start)
        if end is None:
            hi = len(self.sorted)
        else:
            hi = bisect.bisect_right(self.sorted, end) if inclusive else bisect.bisect_left(self.sorted, end)
        return [(k, self.d[k]) for k in self.sorted[lo:max(lo, hi)]]


SEED = int(os.environ.get("CORVALE_TEST_SEED", "20261206"))

PAIR_SOURCES = ["list", "generator", "dict", "same-class"]
U64_SOURCES = [
    list,
    lambda v: (x for x in v),
    lambda v: packed(*v),
    lambda v: bytearray(packed(*v)),
    lambda v: memoryview(packed(*v)),
    lambda v: array.array("Q", v),
]


@pytest.mark.parametrize("kind", ["near-zero", "near-max", "dense", "clusters", "small", "uniform"])
def test_randomized_against_model(kind):
    rng = random.Random(f"{SEED}-{kind}")
    draw = key_source(rng, kind)
    m = CorvaleMap()
    model = Model()
    for step in range(1500):
        ctx = f"seed={SEED} kind={kind} step={step}"
        op = rng.randrange(100)
        k = draw()
        v = rng.choice([0, U64_MAX, rng.getrandbits(64)])
        if op < 20:
            assert m.insert(k, v) == model.put(k, v), ctx
        elif op < 28:
            m[k] = v
            model.put(k, v)
        elif op < 38:
            assert m.remove(k) == model.remove(k), ctx
        elif op < 43:
            if k in model.d:
                if rng.randrange(2):
                    del m[k]
                    model.remove(k)
                else:
                    assert m.pop(k) == model.remove(k), ctx
            else:
                with pytest.raises(KeyError):
                    m.pop(k) if rng.randrange(2) else m[k]
                assert m.pop(k, 3) == 3, ctx
        elif op < 46:
            batch = [(draw(), rng.getrandbits(64)) for _ in range(rng.randrange(50))]
            if rng.randrange(2):
                make_k = rng.choice(U64_SOURCES)
                make_v = rng.choice(U64_SOURCES)
                assert m.insert_many(make_k([p[0] for p in batch]), make_v([p[1] for p in batch])) == len(batch), ctx
            else:
                how = rng.choice(PAIR_SOURCES)
                if how == "list":
                    m.update(batch)
                elif how == "generator":
                    m.update(p for p in batch)
                elif how == "dict":
                    m.update(dict(batch))
                else:
                    m.update(CorvaleMap(batch))
            for bk, bv in batch:
                model.put(bk, bv)
        elif op < 47:
            if rng.randrange(4) == 0:
                m.clear()
                model = Model()
        elif op < 55:
            probe = [draw() for _ in range(rng.randrange(30))] + rng.sample(model.sorted, min(5, len(model.sorted)))
            assert m.get_batch(probe) == [model.d.get(x) for x in probe], ctx
            assert [m.get(x, 1) for x in probe] == [model.d.get(x, 1) for x in probe], ctx
            assert [x in m for x in probe] == [m.contains_key(x) for x in probe] == [x in model.d for x in probe], ctx
        elif op < 70:
            t = k if rng.randrange(3) else rng.choice([0, 1, U64_MAX, U64_MAX - 1])
            assert m.next_at_or_after(t) == m.next(t, True) == model.ge(t), ctx
            assert m.prev_at_or_before(t) == m.prev(t, True) == model.le(t), ctx
            assert m.next_after(t) == m.next(t) == (model.ge(t + 1) if t < U64_MAX else None), ctx
            assert m.prev_before(t) == m.prev(t, inclusive=False) == (model.le(t - 1) if t > 0 else None), ctx
        elif op < 80:
            u = draw()
            assert m.count_below(k) == bisect.bisect_left(model.sorted, k), ctx
            i = rng.randrange(len(model.sorted) + 2)
            assert m.by_count(i) == model.entry(i), ctx
            assert m.count_range(k, u) == (len(model.range(k, u, True)) if k <= u else 0), ctx
        elif op < 92:
            start = rng.choice([None, k, 0])
            end = rng.choice([None, draw(), U64_MAX])
            inclusive = rng.choice([True, False, None])
            args = {"start": start, "end": end}
            if inclusive is not None:
                args["inclusive"] = inclusive
            want = model.range(start or 0, end, True if inclusive is None else inclusive)
            assert m.range(**args) == want, ctx
        else:
            items = [(x, model.d[x]) for x in model.sorted]
            assert m.items() == m.to_list() == items, ctx
            assert m.keys() == list(m) == model.sorted, ctx
            assert m.values() == [model.d[x] for x in model.sorted], ctx
            assert m.first() == model.entry(0) and m.last() == model.entry(len(model.sorted) - 1), ctx
        assert len(m) == len(model.d), ctx
        assert bool(m) == bool(model.d) and m.is_empty() == (not model.d) == m.empty, ctx
    assert m.items() == [(x, model.d[x]) for x in model.sorted]
