"""Typed calls of every method of every class of corvale_trie.

mypy checks this file in strict mode against the package's type stubs
(scripts/test-all.sh; settings in pyproject.toml), and pytest runs every
`use_*` function (tests/python/test_stubs.py), so each call that type-checks
also runs and returns what `assert_type` says. Calls the stubs must refuse
carry the code of the error mypy gives them (`# type: ignore[code]`; with
warn_unused_ignores an ignore that is no longer needed is itself an error)
and are shown to fail at run time as well."""

import os
import pathlib
import struct
import tempfile
import types
from collections import OrderedDict
from typing import assert_type

import pytest

from corvale_trie import (
    CorvaleBlobMap,
    CorvaleBytesMap,
    CorvaleBytesMapItemIter,
    CorvaleBytesMapKeyIter,
    CorvaleBytesMapValueIter,
    CorvaleMap,
    CorvaleMapItemIter,
    CorvaleMapKeyIter,
    CorvaleMapRangeIter,
    CorvaleMapValueIter,
    CorvaleSet,
    CorvaleSetIter,
    CorvaleSetRangeIter,
    CorvaleStrMap,
    CorvaleStrMapItemIter,
    CorvaleStrMapKeyIter,
    CorvaleStrMapValueIter,
    SyncCorvaleMap,
    SyncCorvaleMapItemIter,
    SyncCorvaleMapKeyIter,
    SyncCorvaleMapRangeIter,
    SyncCorvaleMapValueIter,
    SyncCorvaleSet,
    SyncCorvaleSetIter,
    SyncCorvaleSetRangeIter,
    __version__,
)

U64_MAX = 2**64 - 1


class Index:
    """Any object with __index__ is an integer argument."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def packed(*values: int) -> bytes:
    return struct.pack(f"={len(values)}Q", *values)


def use_module() -> None:
    assert_type(__version__, str)
    assert __version__ == "0.4.1"


def use_corvale_set() -> None:
    assert_type(CorvaleSet(), CorvaleSet)
    assert_type(CorvaleSet(None), CorvaleSet)
    s = CorvaleSet(iterable=[3, 1, Index(2), True])
    assert_type(len(s), int)
    assert_type(bool(s), bool)
    assert_type(2 in s, bool)
    assert_type(repr(s), str)
    assert_type(s.empty, bool)
    assert_type(s.is_empty(), bool)
    assert_type(s.contains(Index(3)), bool)
    assert_type(s.contains_batch([1, 7]), list[bool])
    assert s.contains_batch((1, 7)) == [True, False]
    assert s.contains_batch(range(2)) == [False, True] and s.contains_batch(b"\x01") == [True]
    assert_type(s.insert(U64_MAX), bool)
    assert_type(s.add(9), bool)
    assert_type(s.remove(9), bool)
    assert_type(s.discard(9), bool)
    assert_type(s.first(), int | None)
    assert_type(s.last(), int | None)
    assert_type(s.next(1), int | None)
    assert_type(s.next(1, inclusive=True), int | None)
    assert_type(s.next_at_or_after(1), int | None)
    assert_type(s.next_after(1), int | None)
    assert_type(s.prev(3, True), int | None)
    assert_type(s.prev_at_or_before(3), int | None)
    assert_type(s.prev_before(3), int | None)
    assert_type(s.count_below(3), int)
    assert_type(s.by_count(0), int | None)
    assert_type(s.count_range(0, 3), int)
    assert_type(s.range(), list[int])
    assert s.range(start=1, end=3, inclusive=False) == [1, 2] and s.range(None, 2) == [1, 2]
    assert_type(s.to_list(), list[int])
    assert_type(s.mem_used(), int)
    assert_type(s.total_node_allocs(), int)
    assert_type(s.update(CorvaleSet([4])), None)
    s.update({5: "a dict gives its keys"})
    s.update(k for k in [6])
    assert_type(s.insert_many(packed(7, 8)), int)
    assert s.insert_many(bytearray(packed(9))) == 1 and s.insert_many(memoryview(packed(10))) == 1
    assert s.insert_many([11, Index(12)]) == 2 and s.insert_many(iter(range(13, 15))) == 2
    it = iter(s)
    assert_type(it, CorvaleSetIter)
    assert_type(iter(it), CorvaleSetIter)
    assert_type(next(it), int)
    assert_type(len(it), int)
    assert_type(list(it), list[int])
    assert_type(s.pop(), int)
    assert_type(s.clear(), None)

    with pytest.raises(TypeError):
        CorvaleSet("12")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        CorvaleSet(5)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.insert("1")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        "1" in s  # type: ignore[operator]
    with pytest.raises(TypeError):
        s.contains_batch(iter([1]))  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.contains_batch({1, 2})  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.contains_batch("12")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.next(1, 1)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.range(start="a")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.update("ab")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.insert_many("12")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        s.insert_many([1.5])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        s.pop(1)  # type: ignore[call-arg]


def use_corvale_map() -> None:
    assert_type(CorvaleMap(), CorvaleMap)
    assert_type(CorvaleMap({1: 10}), CorvaleMap)
    assert_type(CorvaleMap(OrderedDict([(1, 10)])), CorvaleMap)
    assert_type(CorvaleMap([(1, 10), (Index(2), Index(20))]), CorvaleMap)
    assert_type(CorvaleMap({1: 10}.items()), CorvaleMap)
    m = CorvaleMap(items=((k, k * 10) for k in range(1, 4)))
    assert_type(m[1], int)
    m[4] = 40
    m[Index(5)] = Index(50)
    del m[5]
    assert_type(4 in m, bool)
    assert_type(len(m), int)
    assert_type(bool(m), bool)
    assert_type(repr(m), str)
    assert_type(m.empty, bool)
    assert_type(m.is_empty(), bool)
    assert_type(m.contains_key(1), bool)
    assert_type(m.get(1), int | None)
    assert_type(m.get(1, None), int | None)
    assert_type(m.get(9, 0), int)
    assert m.get(9, default=7) == 7 and m.get(9) is None
    assert_type(m.get_batch([1, 9]), list[int | None])
    assert m.get_batch((1, 9)) == [10, None]
    assert_type(m.insert(6, 60), int | None)
    assert_type(m.remove(6), int | None)
    assert_type(m.pop(4), int)
    assert m.pop(9, 0) == 0
    assert_type(m.first(), tuple[int, int] | None)
    assert_type(m.last(), tuple[int, int] | None)
    assert_type(m.next(1, True), tuple[int, int] | None)
    assert_type(m.next_at_or_after(1), tuple[int, int] | None)
    assert_type(m.next_after(1), tuple[int, int] | None)
    assert_type(m.prev(3), tuple[int, int] | None)
    assert_type(m.prev_at_or_before(3), tuple[int, int] | None)
    assert_type(m.prev_before(3), tuple[int, int] | None)
    assert_type(m.count_below(3), int)
    assert_type(m.by_count(0), tuple[int, int] | None)
    assert_type(m.count_range(1, 3), int)
    assert_type(m.range(1, 2), list[tuple[int, int]])
    assert m.range(end=2, inclusive=False) == [(1, 10)]
    assert_type(m.to_list(), list[tuple[int, int]])
    assert_type(m.items(), list[tuple[int, int]])
    assert_type(m.keys(), list[int])
    assert_type(m.values(), list[int])
    assert_type(m.mem_used(), int)
    assert_type(m.total_node_allocs(), int)
    assert_type(m.update(CorvaleMap({7: 70})), None)
    m.update({8: 80})
    m.update([(9, 90)])
    m.update(iter([(Index(10), True)]))
    assert_type(m.insert_many(packed(11, 12), [110, 120]), int)
    assert m.insert_many(bytearray(packed(13)), memoryview(packed(130))) == 1
    it = iter(m)
    assert_type(it, CorvaleMapKeyIter)
    assert_type(next(it), int)
    assert_type(len(it), int)
    assert_type(m.clear(), None)

    with pytest.raises(TypeError):
        CorvaleMap(CorvaleMap({1: 2}))  # type: ignore[arg-type]
    proxy = types.MappingProxyType({1: 2})  # a mapping, but no dict: iterated, it gives its keys
    with pytest.raises(TypeError):
        CorvaleMap(proxy)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        CorvaleMap([[1, 2]])  # type: ignore[list-item]
    with pytest.raises(ValueError):
        CorvaleMap([(1, 2, 3)])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        CorvaleMap({"a": 1})  # type: ignore[type-var]
    with pytest.raises(TypeError):
        m["a"]  # type: ignore[index]
    with pytest.raises(TypeError):
        m[1] = "a"  # type: ignore[assignment]
    with pytest.raises(TypeError):
        m.get(1, "a")  # type: ignore[call-overload]
    with pytest.raises(TypeError):
        m.get_batch(iter([1]))  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        m.update(CorvaleSet([1]))  # type: ignore[arg-type]
    shared = SyncCorvaleMap()
    shared[1] = 2
    with pytest.raises(TypeError):
        m.update(shared)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        m.insert_many([1], "a")  # type: ignore[arg-type]


def use_sync_corvale_map() -> None:
    m = SyncCorvaleMap()
    assert_type(m, SyncCorvaleMap)
    m[1] = 10
    m[Index(2)] = 20
    assert_type(m[1], int)
    del m[2]
    assert_type(1 in m, bool)
    assert_type(len(m), int)
    assert_type(bool(m), bool)
    assert_type(repr(m), str)
    assert_type(m.empty, bool)
    assert_type(m.is_empty(), bool)
    assert_type(m.get(1), int | None)
    assert_type(m.get(9, 5), int)
    assert_type(m.insert(3, 30), int | None)
    assert_type(m.remove(3), int | None)
    assert_type(m.pop(9, 0), int)
    assert_type(m.first(), tuple[int, int] | None)
    assert_type(m.last(), tuple[int, int] | None)
    assert_type(m.next(0, inclusive=True), tuple[int, int] | None)
    assert_type(m.prev(5), tuple[int, int] | None)
    assert_type(m.count_below(5), int)
    assert_type(m.by_count(0), tuple[int, int] | None)
    assert_type(m.count_range(0, 5), int)
    assert_type(m.range(), SyncCorvaleMapRangeIter)
    assert list(m.range(start=1, end=1)) == [(1, 10)]
    assert_type(m.keys(), SyncCorvaleMapKeyIter)
    assert_type(m.values(), SyncCorvaleMapValueIter)
    assert_type(m.items(), SyncCorvaleMapItemIter)
    assert_type(next(m.items()), tuple[int, int])
    assert_type(iter(m), SyncCorvaleMapKeyIter)
    assert_type(m.update(m), None)
    m.update(CorvaleMap({4: 40}))
    m.update({5: 50})
    m.update([(6, 60)])
    assert_type(m.insert_many(packed(7), packed(70)), int)
    assert m.insert_many([8], bytearray(packed(80))) == 1
    assert_type(m.clear(), None)

    with pytest.raises(TypeError):
        SyncCorvaleMap({1: 2})  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        m.update(CorvaleSet([1]))  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        m.update([[1, 2]])  # type: ignore[list-item]
    with pytest.raises(AttributeError):
        m.contains_key(1)  # type: ignore[attr-defined]


def use_sync_corvale_set() -> None:
    s = SyncCorvaleSet()
    assert_type(s, SyncCorvaleSet)
    assert_type(s.insert(1), bool)
    assert_type(s.add(Index(2)), bool)
    assert_type(s.remove(2), bool)
    assert_type(s.discard(2), bool)
    assert_type(s.contains(1), bool)
    assert_type(1 in s, bool)
    assert_type(len(s), int)
    assert_type(bool(s), bool)
    assert_type(repr(s), str)
    assert_type(s.empty, bool)
    assert_type(s.is_empty(), bool)
    assert_type(s.first(), int | None)
    assert_type(s.last(), int | None)
    assert_type(s.next(0), int | None)
    assert_type(s.prev(5, True), int | None)
    assert_type(s.count_below(5), int)
    assert_type(s.by_count(0), int | None)
    assert_type(s.count_range(0, 5), int)
    assert_type(s.range(0, 5), SyncCorvaleSetRangeIter)
    it = iter(s)
    assert_type(it, SyncCorvaleSetIter)
    assert_type(next(it), int)
    assert_type(s.update(s), None)
    s.update(CorvaleSet([3]))
    s.update([4, Index(5)])
    assert_type(s.insert_many(packed(6)), int)
    assert s.insert_many(range(7, 9)) == 2
    assert_type(s.clear(), None)

    with pytest.raises(TypeError):
        s.update(["a"])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        s.range(inclusive=None)  # type: ignore[arg-type]
    with pytest.raises(AttributeError):
        s.pop()  # type: ignore[attr-defined]
    with pytest.raises(AttributeError):
        s.contains_batch([1])  # type: ignore[attr-defined]


def use_corvale_str_map() -> None:
    m = CorvaleStrMap()
    assert_type(m, CorvaleStrMap)
    m["a"] = 1
    m[b"ab"] = Index(2)
    m[bytearray(b"b")] = 3
    m[b"\xff"] = 4
    assert_type(m["a"], int)
    del m[b"\xff"]
    assert_type("a" in m, bool)
    assert_type(len(m), int)
    assert_type(bool(m), bool)
    assert_type(repr(m), str)
    assert_type(m.empty, bool)
    assert_type(m.is_empty(), bool)
    assert_type(m.contains_key(bytearray(b"a")), bool)
    assert_type(m.get("a"), int | None)
    assert_type(m.get("zz", 0), int)
    assert_type(m.insert("c", 5), int | None)
    assert_type(m.remove("c"), int | None)
    assert_type(m.pop("zz", 0), int)
    assert_type(m.first(), tuple[str | bytes, int] | None)
    assert_type(m.last(), tuple[str | bytes, int] | None)
    assert_type(m.next("a"), tuple[str | bytes, int] | None)
    assert_type(m.next_at_or_after(b"a"), tuple[str | bytes, int] | None)
    assert_type(m.next_after("a"), tuple[str | bytes, int] | None)
    assert_type(m.prev("b", inclusive=True), tuple[str | bytes, int] | None)
    assert_type(m.prev_at_or_before("b"), tuple[str | bytes, int] | None)
    assert_type(m.prev_before("b"), tuple[str | bytes, int] | None)
    assert_type(m.range("a", b"b", False), list[tuple[str | bytes, int]])
    assert m.range(end="ab") == [("a", 1), ("ab", 2)]
    assert_type(m.items(), list[tuple[str | bytes, int]])
    assert_type(m.keys(), list[str | bytes])
    assert_type(m.values(), list[int])
    assert_type(m.collect_entries(), list[tuple[bytes, int]])
    assert_type(m.mem_used(), int)
    it = iter(m)
    assert_type(it, CorvaleStrMapKeyIter)
    assert_type(next(it), str | bytes)
    assert_type(m.update({"d": 6}), None)
    m.update({b"e": 7})
    m.update([("f", 8), (b"g", Index(9)), (bytearray(b"h"), 10)])
    assert_type(m.clear(), None)

    with pytest.raises(TypeError):
        m[1]  # type: ignore[index]
    with pytest.raises(TypeError):
        m[memoryview(b"a")] = 1  # type: ignore[index]
    with pytest.raises(TypeError):
        m.insert("a", "b")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        m.update({1: 2})  # type: ignore[type-var]
    with pytest.raises(TypeError):
        other = CorvaleStrMap()
        other["x"] = 1
        m.update(other)  # type: ignore[arg-type]


def use_corvale_bytes_map() -> None:
    m = CorvaleBytesMap()
    assert_type(m, CorvaleBytesMap)
    m[b"a\x00b"] = 1
    m["é"] = Index(2)
    m[bytearray(b"c")] = 3
    assert_type(m[b"c"], int)
    del m[b"c"]
    assert_type(b"a\x00b" in m, bool)
    assert_type(len(m), int)
    assert_type(bool(m), bool)
    assert_type(repr(m), str)
    assert_type(m.empty, bool)
    assert_type(m.is_empty(), bool)
    assert_type(m.contains_key("é"), bool)
    assert_type(m.get(b"a\x00b"), int | None)
    assert_type(m.get(b"zz", 0), int)
    assert_type(m.insert(b"d", 4), int | None)
    assert_type(m.remove(b"d"), int | None)
    assert_type(m.pop(b"zz", 0), int)
    assert_type(m.mem_used(), int)
    assert_type(m.keys(), CorvaleBytesMapKeyIter)
    assert_type(next(m.keys()), bytes)
    assert_type(m.values(), CorvaleBytesMapValueIter)
    assert_type(m.items(), CorvaleBytesMapItemIter)
    assert_type(next(m.items()), tuple[bytes, int])
    assert_type(iter(m), CorvaleBytesMapKeyIter)
    assert_type(m.update({b"e": 5}), None)
    m.update({"f": 6})
    m.update([(b"g", 7), ("h", Index(8))])
    assert_type(m.clear(), None)

    with pytest.raises(TypeError):
        m[memoryview(b"a")]  # type: ignore[index]
    with pytest.raises(TypeError):
        m[1] = 1  # type: ignore[index]
    with pytest.raises(TypeError):
        other = CorvaleBytesMap()
        other[b"x"] = 1
        m.update(other)  # type: ignore[arg-type]


def use_corvale_blob_map() -> None:
    assert_type(CorvaleBlobMap(), CorvaleBlobMap)
    m = CorvaleBlobMap(chunk_size=4096)
    m[1] = b"abc"
    m[2] = bytearray(b"0123456789")
    m[Index(3)] = "é"
    assert_type(m[1], bytes)
    del m[3]
    assert_type(1 in m, bool)
    assert_type(len(m), int)
    assert_type(bool(m), bool)
    assert_type(repr(m), str)
    assert_type(m.empty, bool)
    assert_type(m.is_empty(), bool)
    assert_type(m.len(), int)
    assert_type(m.contains_key(1), bool)
    assert_type(m.insert(4, b"payload!", hot_meta=7), None)
    assert_type(m.get(4), tuple[bytes, int] | None)
    assert m.get(4) == (b"payload!", 7)
    assert_type(m.get_bytes(4), bytes | None)
    assert_type(m.remove(4), bool)
    assert_type(m.mem_used(), int)
    assert_type(m.compact(), tuple[int, int, int, int])
    seen: list[int] = []
    assert_type(m.scan_filtered(0, 10), list[tuple[int, bytes, int]])
    assert m.scan_filtered(0, 10, lambda key, meta: key > 1) == [(2, b"0123456789", 0)]
    assert m.scan_filtered(0, 10, None, lambda key, payload, meta: seen.append(key)) == []
    assert seen == [1]  # the callback's None ends the scan
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "blob.img")
        assert_type(m.save_to_file(path), int)
        assert_type(CorvaleBlobMap.load_from_file(path), CorvaleBlobMap)
        assert_type(m.load_from_file(path), CorvaleBlobMap)
        with pytest.raises(TypeError):
            m.save_to_file(pathlib.Path(path))  # type: ignore[arg-type]
    assert_type(m.clear(), None)

    with pytest.raises(TypeError):
        m[1] = memoryview(b"x")  # type: ignore[assignment]
    with pytest.raises(TypeError):
        m.insert(1, 5)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        list(m)  # type: ignore[call-overload]
    with pytest.raises(TypeError):
        m.get(1, None)  # type: ignore[call-arg]


def use_iterator_classes() -> None:
    s = CorvaleSet([1])
    m = CorvaleMap({1: 2})
    iterators = (iter(s), iter(m), iter(SyncCorvaleSet()), iter(CorvaleStrMap()), iter(CorvaleBytesMap()))
    for it in iterators:
        assert iter(it) is it and len(it) >= 0
    with pytest.raises(TypeError):
        CorvaleSetIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleSetRangeIter(s)  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        CorvaleMapKeyIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleMapValueIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleMapItemIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleMapRangeIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleMapKeyIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleMapValueIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleMapItemIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleMapRangeIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleSetIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        SyncCorvaleSetRangeIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleStrMapKeyIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleStrMapValueIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleStrMapItemIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleBytesMapKeyIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleBytesMapValueIter()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        CorvaleBytesMapItemIter()  # type: ignore[call-arg]
