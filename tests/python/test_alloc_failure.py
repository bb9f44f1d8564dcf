"""Running out of memory in any method or slot of any class.

Every allocation that a call makes outside a change of the container (its
result objects, lists, snapshot vectors, key copies, the count of a bulk
insertion) is made to fail in turn through the testing countdown: n = 1, 2,
3... until the call gets through. Each failure must raise MemoryError and
leave the container as the copy taken before the call (contents, length and
memory counters); the call that gets through must answer, and leave the
contents, as a Python model does. (The reads of the concurrent classes are
covered with those classes' own tests.)"""

import bisect
import os
from dataclasses import dataclass, field
from typing import Callable, Optional

import pytest

from conftest import U64_MAX, fail_in_turn, packed, requires_test_hooks
from corvale_trie import _corvale
from corvale_trie._corvale import (
    CorvaleBlobMap, CorvaleBytesMap, CorvaleMap, CorvaleSet, CorvaleStrMap, SyncCorvaleMap, SyncCorvaleSet)


# ---------------------------------------------------------------------------
# The classes: how to make a filled container, read its contents and
# counters, and model it in Python


@dataclass
class Kind:
    name: str
    make: Callable
    model: Callable  # a Python model of what make() holds
    contents: Callable  # the container's contents, in the model's canonical form
    canon: Callable  # the model's contents in that form
    counters: Callable = lambda c: (len(c),)


INT_KEYS = list(range(0, 120, 3)) + [2**40 + k for k in range(5)] + [U64_MAX]  # a tree: > 31 keys


def value_of(k):
    return k * 7 % 2**64


def int_counters(c):
    return len(c), c.mem_used(), c.total_node_allocs()


SET = Kind("CorvaleSet", lambda: CorvaleSet(INT_KEYS), lambda: set(INT_KEYS), lambda c: c.to_list(), sorted,
           int_counters)
MAP = Kind("CorvaleMap", lambda: CorvaleMap({k: value_of(k) for k in INT_KEYS}),
           lambda: {k: value_of(k) for k in INT_KEYS}, lambda c: c.items(), lambda m: sorted(m.items()),
           int_counters)

STR_KEYS = [b"a", b"ab", b"abc", b"abcdefgh", b"abcdefghij", b"abcdefghijklmnopq", b"abcdefghijklmnopr",
            b"b" * 30, "\u00e9t\u00e9".encode(), b"\xff\xfe", b"zz"] + [b"k%03d" % i for i in range(40)]
STR = Kind("CorvaleStrMap", lambda: _filled(CorvaleStrMap(), STR_KEYS), lambda: {k: len(k) for k in STR_KEYS},
           lambda c: c.collect_entries(), lambda m: sorted(m.items()), lambda c: (len(c), c.mem_used()))

BYTES_KEYS = [b"", b"\x00", b"\x00\x00", b"abc", b"x" * 100, "\u00e9".encode()] + [b"k%d" % i for i in range(40)]
BYTES = Kind("CorvaleBytesMap", lambda: _filled(CorvaleBytesMap(), BYTES_KEYS),
             lambda: {k: len(k) for k in BYTES_KEYS}, lambda c: sorted(c.items()), lambda m: sorted(m.items()),
             lambda c: (len(c), c.mem_used()))


def _filled(m, keys):
    for k in keys:
        m[k] = len(k)
    return m


# The blob map: small chunks, and overwritten and removed payloads left in
# them, so that a compaction frees chunks.
BLOB_KEYS = range(1, 61)


def blob_payload(k):
    return bytes([k % 251]) * (k * 7 % 90)


def make_blob():
    m = CorvaleBlobMap(4096)
    for k in BLOB_KEYS:
        m.insert(k, b"old" * 40, k)
        m.insert(k, blob_payload(k), k)
    for k in range(100, 120):
        m.insert(k, b"gone" * 30)
        m.remove(k)
    return m


def blob_model():
    return {k: (blob_payload(k), k if len(blob_payload(k)) >= 8 else 0) for k in BLOB_KEYS}


BLOB_UNIVERSE = list(range(0, 130)) + [U64_MAX]
BLOB = Kind("CorvaleBlobMap", make_blob, blob_model,
            lambda c: {k: c.get(k) for k in BLOB_UNIVERSE if k in c}, lambda m: m,
            lambda c: (len(c), c.mem_used()))

SYNC_MAP = Kind("SyncCorvaleMap", lambda: _sync_map(), lambda: {k: value_of(k) for k in INT_KEYS},
                lambda c: sorted(c.items()), lambda m: sorted(m.items()))
SYNC_SET = Kind("SyncCorvaleSet", lambda: _sync_set(), lambda: set(INT_KEYS), lambda c: list(c), sorted)


def _sync_map():
    m = SyncCorvaleMap()
    m.update({k: value_of(k) for k in INT_KEYS})
    return m


def _sync_set():
    s = SyncCorvaleSet()
    s.update(INT_KEYS)
    return s


# ---------------------------------------------------------------------------
# Models of the ordered reads (over the sorted keys of a set or map model)


def _sorted_keys(m):
    return sorted(m)


def _entry(m, k):
    if k is None:
        return None
    return (k, m[k]) if isinstance(m, dict) else k


def m_next(m, k, inclusive=False):
    keys = _sorted_keys(m)
    i = bisect.bisect_left(keys, k) if inclusive else bisect.bisect_right(keys, k)
    return _entry(m, keys[i] if i < len(keys) else None)


def m_prev(m, k, inclusive=False):
    keys = _sorted_keys(m)
    i = bisect.bisect_right(keys, k) if inclusive else bisect.bisect_left(keys, k)
    return _entry(m, keys[i - 1] if i > 0 else None)


def m_range(m, start=None, end=None, inclusive=True):
    return [_entry(m, k) for k in _sorted_keys(m)
            if (start is None or k >= start) and (end is None or (k <= end if inclusive else k < end))]


def m_pop(m, k, *default):
    return m.pop(k, *default) if default else m.pop(k, None)


def m_set_insert(s, k):
    new = k not in s
    s.add(k)
    return new


def m_set_remove(s, k):
    present = k in s
    s.discard(k)
    return present


def m_set_pop(s):
    k = min(s)
    s.remove(k)
    return k


def m_map_insert(m, k, v):
    old = m.get(k)
    m[k] = v
    return old


def m_update(m, pairs):
    for k, v in pairs:
        m[k] = v


def m_clear(m):
    m.clear()


def twin(method, *args):
    """The answer of a fresh, undisturbed container (counters)."""
    return lambda kind, c: getattr(kind.make(), method)(*args)


def str_out(key):
    try:
        return key.decode()
    except UnicodeDecodeError:
        return key


def str_items(m):
    return [(str_out(k), v) for k, v in sorted(m.items())]


def as_str_entry(e):
    return None if e is None else (str_out(e[0]), e[1])


# ---------------------------------------------------------------------------
# The table: (kind, label, call, model(m) -> answer [changing m], prefixes)
#
# `prefixes`, for the calls that may keep part of their work when they fail
# (update, which inserts each entry as it is converted; insert_many of a
# generator, whose count is made after the insertions), lists the steps in
# order: after MemoryError the contents must be those of some prefix of them.


@dataclass
class Case:
    kind: Kind
    label: str
    call: Callable
    model: Callable
    prefixes: Optional[list] = None
    by_twin: Optional[Callable] = field(default=None)

    @property
    def id(self):
        return f"{self.kind.name}.{self.label}"


def gen(items):
    return (x for x in items)


def uniform_cases(kind, with_repr=True):
    """is_empty, the property empty, len, bool and repr, alike in every class."""
    cases = [Case(kind, "is_empty", lambda c: c.is_empty(), lambda m: not m),
             Case(kind, "empty", lambda c: c.empty, lambda m: not m),
             Case(kind, "len", len, len),
             Case(kind, "bool", bool, bool)]
    if with_repr:
        cases.append(Case(kind, "repr", repr, lambda m: f"{kind.name}(len={len(m)})"))
    return cases


def int_map_changes(kind):
    """The point changes of the two integer maps, every answer of them."""
    return [
        Case(kind, "insert new", lambda c: c.insert(10, 2**64 - 3), lambda m: m_map_insert(m, 10, 2**64 - 3)),
        Case(kind, "insert present", lambda c: c.insert(U64_MAX, 4), lambda m: m_map_insert(m, U64_MAX, 4)),
        Case(kind, "remove present", lambda c: c.remove(2**40 + 1), lambda m: m_pop(m, 2**40 + 1)),
        Case(kind, "remove absent", lambda c: c.remove(10), lambda m: m_pop(m, 10)),
        Case(kind, "pop present", lambda c: c.pop(U64_MAX, 3), lambda m: m_pop(m, U64_MAX, 3)),
        Case(kind, "pop absent", lambda c: c.pop(10, 2**64 - 5), lambda m: m_pop(m, 10, 2**64 - 5)),
        Case(kind, "setitem", lambda c: c.__setitem__(9, 5), lambda m: m.__setitem__(9, 5)),
        Case(kind, "delitem", lambda c: c.__delitem__(9), lambda m: m.__delitem__(9)),
    ]


NEW_INTS = [1, 2, 1000, 2**33, 7, 1]
NEW_PAIRS = [(1, 10), (3, 30), (2**50, 5), (1, 11)]

SET_CASES = [
    *uniform_cases(SET),
    Case(SET, "in", lambda s: 9 in s, lambda m: 9 in m),
    Case(SET, "iter", lambda s: list(iter(s)), sorted),
    Case(SET, "contains", lambda s: (s.contains(9), s.contains(10)), lambda m: (9 in m, 10 in m)),
    Case(SET, "contains_batch", lambda s: s.contains_batch(NEW_INTS + INT_KEYS[:9]),
         lambda m: [k in m for k in NEW_INTS + INT_KEYS[:9]]),
    Case(SET, "insert new", lambda s: s.insert(10), lambda m: m_set_insert(m, 10)),
    Case(SET, "insert present", lambda s: s.insert(9), lambda m: m_set_insert(m, 9)),
    Case(SET, "add", lambda s: s.add(2**63), lambda m: m_set_insert(m, 2**63)),
    Case(SET, "remove", lambda s: s.remove(9), lambda m: m_set_remove(m, 9)),
    Case(SET, "discard absent", lambda s: s.discard(10), lambda m: m_set_remove(m, 10)),
    Case(SET, "pop", lambda s: s.pop(), m_set_pop),
    Case(SET, "clear", lambda s: s.clear(), m_clear),
    Case(SET, "mem_used", lambda s: s.mem_used(), None, by_twin=twin("mem_used")),
    Case(SET, "total_node_allocs", lambda s: s.total_node_allocs(), None, by_twin=twin("total_node_allocs")),
    Case(SET, "first", lambda s: s.first(), min),
    Case(SET, "last", lambda s: s.last(), max),
    Case(SET, "next", lambda s: (s.next(9), s.next(9, True), s.next(U64_MAX)),
         lambda m: (m_next(m, 9), m_next(m, 9, True), None)),
    Case(SET, "next_at_or_after", lambda s: s.next_at_or_after(10), lambda m: m_next(m, 10, True)),
    Case(SET, "next_after", lambda s: s.next_after(9), lambda m: m_next(m, 9)),
    Case(SET, "prev", lambda s: (s.prev(9), s.prev(9, True), s.prev(0)),
         lambda m: (m_prev(m, 9), m_prev(m, 9, True), None)),
    Case(SET, "prev_at_or_before", lambda s: s.prev_at_or_before(10), lambda m: m_prev(m, 10, True)),
    Case(SET, "prev_before", lambda s: s.prev_before(9), lambda m: m_prev(m, 9)),
    Case(SET, "count_below", lambda s: s.count_below(50), lambda m: sum(k < 50 for k in m)),
    Case(SET, "by_count", lambda s: s.by_count(7), lambda m: sorted(m)[7]),
    Case(SET, "count_range", lambda s: s.count_range(10, 90), lambda m: sum(10 <= k <= 90 for k in m)),
    Case(SET, "range", lambda s: (s.range(10, 90), s.range(None, 90, False)),
         lambda m: (m_range(m, 10, 90), m_range(m, None, 90, False))),
    Case(SET, "range all", lambda s: s.range(), m_range),
    Case(SET, "to_list", lambda s: s.to_list(), sorted),
    Case(SET, "update list", lambda s: s.update(NEW_INTS), lambda m: m.update(NEW_INTS), prefixes=NEW_INTS),
    Case(SET, "update set", lambda s: s.update(CorvaleSet(NEW_INTS)), lambda m: m.update(NEW_INTS)),
    Case(SET, "insert_many list", lambda s: s.insert_many(NEW_INTS), lambda m: m.update(NEW_INTS) or 6),
    Case(SET, "insert_many range", lambda s: s.insert_many(range(200, 600)),
         lambda m: m.update(range(200, 600)) or 400),
    Case(SET, "insert_many packed", lambda s: s.insert_many(packed(*NEW_INTS)),
         lambda m: m.update(NEW_INTS) or 6),
    # The count of an iterable of unknown length is made after the keys are in.
    Case(SET, "insert_many generator", lambda s: s.insert_many(gen(NEW_INTS)),
         lambda m: m.update(NEW_INTS) or 6, prefixes=NEW_INTS),
]

MAP_CASES = [
    *uniform_cases(MAP),
    Case(MAP, "in", lambda c: 9 in c, lambda m: 9 in m),
    Case(MAP, "iter", lambda c: list(iter(c)), sorted),
    Case(MAP, "getitem", lambda c: c[U64_MAX], lambda m: m[U64_MAX]),
    Case(MAP, "contains_key", lambda c: (c.contains_key(9), c.contains_key(10)), lambda m: (9 in m, 10 in m)),
    Case(MAP, "get_batch", lambda c: c.get_batch(NEW_INTS + INT_KEYS[:9]),
         lambda m: [m.get(k) for k in NEW_INTS + INT_KEYS[:9]]),
    Case(MAP, "get", lambda c: (c.get(U64_MAX), c.get(10), c.get(10, 2**64 - 2)),
         lambda m: (m[U64_MAX], None, 2**64 - 2)),
    *int_map_changes(MAP),
    Case(MAP, "clear", lambda c: c.clear(), m_clear),
    Case(MAP, "mem_used", lambda c: c.mem_used(), None, by_twin=twin("mem_used")),
    Case(MAP, "total_node_allocs", lambda c: c.total_node_allocs(), None, by_twin=twin("total_node_allocs")),
    Case(MAP, "first", lambda c: c.first(), lambda m: _entry(m, min(m))),
    Case(MAP, "last", lambda c: c.last(), lambda m: _entry(m, max(m))),
    Case(MAP, "next", lambda c: (c.next(9), c.next(9, True), c.next_at_or_after(10), c.next_after(9)),
         lambda m: (m_next(m, 9), m_next(m, 9, True), m_next(m, 10, True), m_next(m, 9))),
    Case(MAP, "prev", lambda c: (c.prev(9), c.prev(9, True), c.prev_at_or_before(10), c.prev_before(9)),
         lambda m: (m_prev(m, 9), m_prev(m, 9, True), m_prev(m, 10, True), m_prev(m, 9))),
    Case(MAP, "count_below", lambda c: c.count_below(50), lambda m: sum(k < 50 for k in m)),
    Case(MAP, "by_count", lambda c: c.by_count(7), lambda m: _entry(m, sorted(m)[7])),
    Case(MAP, "count_range", lambda c: c.count_range(10, 90), lambda m: sum(10 <= k <= 90 for k in m)),
    Case(MAP, "range", lambda c: c.range(10, 2**41), lambda m: m_range(m, 10, 2**41)),
    Case(MAP, "to_list", lambda c: c.to_list(), lambda m: sorted(m.items())),
    Case(MAP, "items", lambda c: c.items(), lambda m: sorted(m.items())),
    Case(MAP, "keys", lambda c: c.keys(), sorted),
    Case(MAP, "values", lambda c: c.values(), lambda m: [v for _, v in sorted(m.items())]),
    Case(MAP, "update dict", lambda c: c.update(dict(NEW_PAIRS)), lambda m: m.update(dict(NEW_PAIRS))),
    Case(MAP, "update pairs", lambda c: c.update(NEW_PAIRS), lambda m: m_update(m, NEW_PAIRS),
         prefixes=NEW_PAIRS),
    Case(MAP, "update map", lambda c: c.update(CorvaleMap(NEW_PAIRS)), lambda m: m.update(dict(NEW_PAIRS))),
    Case(MAP, "insert_many", lambda c: c.insert_many([k for k, _ in NEW_PAIRS], [v for _, v in NEW_PAIRS]),
         lambda m: m_update(m, NEW_PAIRS) or 4),
    Case(MAP, "insert_many packed", lambda c: c.insert_many(packed(*range(500)), packed(*range(500, 1000))),
         lambda m: m_update(m, zip(range(500), range(500, 1000))) or 500),
]

S_NEW = "new key \u00e9"  # a str key; the map holds its UTF-8 bytes
S_LONG = b"abcdefghijklmnopqrstuvwxyz"
STR_PAIRS = [(bytearray(b"abcdefghijkl"), 1), (bytearray(b"b" * 30), 2), (bytearray(b"q"), 3),
             (bytearray(b"abcdefghij"), 4)]
STR_PAIRS_MODEL = [(bytes(k), v) for k, v in STR_PAIRS]

STR_CASES = [
    *uniform_cases(STR),
    Case(STR, "in", lambda c: ("ab" in c, b"ac" in c), lambda m: (b"ab" in m, b"ac" in m)),
    Case(STR, "iter", lambda c: list(iter(c)), lambda m: [str_out(k) for k in sorted(m)]),
    Case(STR, "getitem", lambda c: c[bytearray(b"abcdefghijklmnopq")], lambda m: m[b"abcdefghijklmnopq"]),
    Case(STR, "setitem", lambda c: c.__setitem__(S_LONG, 5), lambda m: m.__setitem__(S_LONG, 5)),
    Case(STR, "delitem", lambda c: c.__delitem__("abcdefghij"), lambda m: m.__delitem__(b"abcdefghij")),
    Case(STR, "contains_key", lambda c: (c.contains_key("abc"), c.contains_key("abd")),
         lambda m: (b"abc" in m, b"abd" in m)),
    Case(STR, "get", lambda c: (c.get("b" * 30), c.get("x"), c.get("x", 2**64 - 2)),
         lambda m: (m[b"b" * 30], None, 2**64 - 2)),
    Case(STR, "insert new str", lambda c: c.insert(S_NEW, 8), lambda m: m_map_insert(m, S_NEW.encode(), 8)),
    Case(STR, "insert new long", lambda c: c.insert(S_LONG, 8), lambda m: m_map_insert(m, S_LONG, 8)),
    Case(STR, "insert present tail", lambda c: c.insert(b"abcdefghijklmnopq", 2**64 - 1),
         lambda m: m_map_insert(m, b"abcdefghijklmnopq", 2**64 - 1)),
    Case(STR, "insert present short", lambda c: c.insert(bytearray(b"ab"), 0),
         lambda m: m_map_insert(m, b"ab", 0)),
    Case(STR, "remove present", lambda c: c.remove("abcdefghijklmnopr"), lambda m: m_pop(m, b"abcdefghijklmnopr")),
    Case(STR, "remove absent", lambda c: c.remove("abcdefghijklmnops"), lambda m: m_pop(m, b"abcdefghijklmnops")),
    Case(STR, "pop present", lambda c: c.pop(b"\xff\xfe"), lambda m: m_pop(m, b"\xff\xfe")),
    Case(STR, "pop absent", lambda c: c.pop("nope", 2**64 - 5), lambda m: m_pop(m, b"nope", 2**64 - 5)),
    Case(STR, "clear", lambda c: c.clear(), m_clear),
    Case(STR, "mem_used", lambda c: c.mem_used(), None, by_twin=twin("mem_used")),
    Case(STR, "first last", lambda c: (c.first(), c.last()),
         lambda m: (as_str_entry(_entry(m, min(m))), as_str_entry(_entry(m, max(m))))),
    Case(STR, "next", lambda c: (c.next("ab"), c.next("ab", True), c.next_at_or_after("abcd"), c.next_after("zz")),
         lambda m: tuple(as_str_entry(e) for e in (m_next(m, b"ab"), m_next(m, b"ab", True),
                                                    m_next(m, b"abcd", True), m_next(m, b"zz")))),
    Case(STR, "prev", lambda c: (c.prev("ab"), c.prev("ab", True), c.prev_at_or_before("abcd"), c.prev_before("a")),
         lambda m: tuple(as_str_entry(e) for e in (m_prev(m, b"ab"), m_prev(m, b"ab", True),
                                                    m_prev(m, b"abcd", True), m_prev(m, b"a")))),
    Case(STR, "collect_entries", lambda c: c.collect_entries(), lambda m: sorted(m.items())),
    Case(STR, "keys", lambda c: c.keys(), lambda m: [str_out(k) for k in sorted(m)]),
    Case(STR, "values", lambda c: c.values(), lambda m: [v for _, v in sorted(m.items())]),
    Case(STR, "items", lambda c: c.items(), str_items),
    Case(STR, "range", lambda c: c.range("ab", "abcdefghz"),
         lambda m: [as_str_entry(e) for e in m_range(m, b"ab", b"abcdefghz")]),
    Case(STR, "update dict", lambda c: c.update({"q": 1, b"abc": 2}), lambda m: m.update({b"q": 1, b"abc": 2})),
    # bytearray keys are copied as each pair is converted: the pairs before a
    # failing copy stay inserted.
    Case(STR, "update pairs", lambda c: c.update(STR_PAIRS), lambda m: m_update(m, STR_PAIRS_MODEL),
         prefixes=STR_PAIRS_MODEL),
]

BYTES_PAIRS = [(bytearray(b"\x00new"), 1), (bytearray(b"abc"), 2), (bytearray(b""), 3)]
BYTES_PAIRS_MODEL = [(bytes(k), v) for k, v in BYTES_PAIRS]

BYTES_CASES = [
    *uniform_cases(BYTES),
    Case(BYTES, "in", lambda c: (b"\x00" in c, b"\x01" in c), lambda m: (b"\x00" in m, b"\x01" in m)),
    Case(BYTES, "iter", lambda c: sorted(iter(c)), sorted),
    Case(BYTES, "getitem", lambda c: c[b"x" * 100], lambda m: m[b"x" * 100]),
    Case(BYTES, "setitem", lambda c: c.__setitem__("\u00e9", 5), lambda m: m.__setitem__("\u00e9".encode(), 5)),
    Case(BYTES, "delitem", lambda c: c.__delitem__(b""), lambda m: m.__delitem__(b"")),
    Case(BYTES, "contains_key", lambda c: (c.contains_key(b""), c.contains_key(b"?")),
         lambda m: (b"" in m, b"?" in m)),
    Case(BYTES, "get", lambda c: (c.get(b"abc"), c.get(b"?"), c.get(b"?", 2**64 - 2)),
         lambda m: (m[b"abc"], None, 2**64 - 2)),
    Case(BYTES, "insert new", lambda c: c.insert(bytearray(b"\x00\x01"), 2**64 - 1),
         lambda m: m_map_insert(m, b"\x00\x01", 2**64 - 1)),
    Case(BYTES, "insert present", lambda c: c.insert(b"k7", 2**64 - 1), lambda m: m_map_insert(m, b"k7", 2**64 - 1)),
    Case(BYTES, "remove present", lambda c: c.remove(b"\x00\x00"), lambda m: m_pop(m, b"\x00\x00")),
    Case(BYTES, "remove absent", lambda c: c.remove(b"\x00\x00\x00"), lambda m: m_pop(m, b"\x00\x00\x00")),
    Case(BYTES, "pop present", lambda c: c.pop(b"x" * 100, 1), lambda m: m_pop(m, b"x" * 100, 1)),
    Case(BYTES, "pop absent", lambda c: c.pop(b"?", 2**64 - 5), lambda m: m_pop(m, b"?", 2**64 - 5)),
    Case(BYTES, "clear", lambda c: c.clear(), m_clear),
    # (Every bytes map hashes under keys of its own: no twin holds the same.)
    Case(BYTES, "mem_used", lambda c: c.mem_used(), None, by_twin=lambda kind, c: c.mem_used()),
    Case(BYTES, "keys", lambda c: sorted(c.keys()), sorted),
    Case(BYTES, "values", lambda c: sorted(c.values()), lambda m: sorted(m.values())),
    Case(BYTES, "items", lambda c: sorted(c.items()), lambda m: sorted(m.items())),
    Case(BYTES, "update dict", lambda c: c.update({b"q": 1, "abc": 2}), lambda m: m.update({b"q": 1, b"abc": 2})),
    Case(BYTES, "update pairs", lambda c: c.update(BYTES_PAIRS), lambda m: m_update(m, BYTES_PAIRS_MODEL),
         prefixes=BYTES_PAIRS_MODEL),
]


def blob_insert(m, k, payload, meta):
    m[k] = (bytes(payload), meta if len(payload) >= 8 else 0)


def blob_scan(m, start, end, keep=lambda k, meta: True):
    return [(k, m[k][0], m[k][1]) for k in sorted(m) if start <= k <= end and keep(k, m[k][1])]


def collecting_scan(c):
    seen = []
    c.scan_filtered(5, 50, lambda k, meta: k % 2 == 0, lambda k, p, meta: seen.append((k, p, meta)) is None)
    return seen


BLOB_CASES = [
    Case(BLOB, "len()", lambda c: c.len(), len),
    *uniform_cases(BLOB, with_repr=False),
    Case(BLOB, "in", lambda c: (5 in c, 105 in c), lambda m: (5 in m, 105 in m)),
    Case(BLOB, "repr", lambda c: repr(c).split(",")[0], lambda m: f"CorvaleBlobMap(len={len(m)}"),
    Case(BLOB, "getitem", lambda c: c[12], lambda m: m[12][0]),
    Case(BLOB, "setitem", lambda c: c.__setitem__(12, b"z" * 20), lambda m: blob_insert(m, 12, b"z" * 20, 0)),
    Case(BLOB, "delitem", lambda c: c.__delitem__(12), lambda m: m.__delitem__(12)),
    Case(BLOB, "contains_key", lambda c: (c.contains_key(1), c.contains_key(0)), lambda m: (1 in m, 0 in m)),
    Case(BLOB, "insert new", lambda c: c.insert(U64_MAX, bytearray(b"p" * 40), 2**24 - 1),
         lambda m: blob_insert(m, U64_MAX, b"p" * 40, 2**24 - 1)),
    Case(BLOB, "insert present", lambda c: c.insert(13, "abc"), lambda m: blob_insert(m, 13, b"abc", 0)),
    Case(BLOB, "get", lambda c: (c.get(12), c.get(13), c.get(0)), lambda m: (m[12], m[13], None)),
    Case(BLOB, "get_bytes", lambda c: (c.get_bytes(12), c.get_bytes(0)), lambda m: (m[12][0], None)),
    Case(BLOB, "remove", lambda c: (c.remove(12), c.remove(12)), lambda m: (m.pop(12) is not None, False)),
    Case(BLOB, "clear", lambda c: c.clear(), m_clear),
    Case(BLOB, "mem_used", lambda c: c.mem_used(), None, by_twin=twin("mem_used")),
    Case(BLOB, "compact", lambda c: c.compact(), None, by_twin=twin("compact")),
    Case(BLOB, "scan_filtered", lambda c: c.scan_filtered(0, U64_MAX), lambda m: blob_scan(m, 0, U64_MAX)),
    Case(BLOB, "scan_filtered predicate", lambda c: c.scan_filtered(5, 50, lambda k, meta: meta % 3 == 0),
         lambda m: blob_scan(m, 5, 50, lambda k, meta: meta % 3 == 0)),
    Case(BLOB, "scan_filtered callback", collecting_scan,
         lambda m: blob_scan(m, 5, 50, lambda k, meta: k % 2 == 0)),
]

SYNC_CASES = [
    *int_map_changes(SYNC_MAP),
    Case(SYNC_MAP, "clear", lambda c: c.clear(), m_clear),
    Case(SYNC_MAP, "update pairs", lambda c: c.update(NEW_PAIRS), lambda m: m_update(m, NEW_PAIRS)),
    Case(SYNC_MAP, "update sync", lambda c: c.update(_sync_map_of(NEW_PAIRS)),
         lambda m: m.update(dict(NEW_PAIRS))),
    Case(SYNC_MAP, "insert_many", lambda c: c.insert_many(packed(*range(300)), list(range(300))),
         lambda m: m_update(m, zip(range(300), range(300))) or 300),
    Case(SYNC_SET, "insert add", lambda c: (c.insert(10), c.add(9)), lambda m: (m_set_insert(m, 10), m_set_insert(m, 9))),
    Case(SYNC_SET, "remove discard", lambda c: (c.remove(9), c.discard(10)),
         lambda m: (m_set_remove(m, 9), m_set_remove(m, 10))),
    Case(SYNC_SET, "clear", lambda c: c.clear(), m_clear),
    Case(SYNC_SET, "update", lambda c: c.update(NEW_INTS), lambda m: m.update(NEW_INTS)),
    Case(SYNC_SET, "update sync", lambda c: c.update(_sync_set_of(NEW_INTS)), lambda m: m.update(NEW_INTS)),
    Case(SYNC_SET, "insert_many list", lambda c: c.insert_many(list(range(300))),
         lambda m: m.update(range(300)) or 300),
    Case(SYNC_SET, "insert_many packed", lambda c: c.insert_many(packed(*NEW_INTS)),
         lambda m: m.update(NEW_INTS) or 6),
    Case(SYNC_SET, "insert_many generator", lambda c: c.insert_many(gen(NEW_INTS)),
         lambda m: m.update(NEW_INTS) or 6, prefixes=NEW_INTS),
]


def _sync_map_of(pairs):
    m = SyncCorvaleMap()
    m.update(pairs)
    return m


def _sync_set_of(keys):
    s = SyncCorvaleSet()
    s.update(keys)
    return s


CASES = SET_CASES + MAP_CASES + STR_CASES + BYTES_CASES + BLOB_CASES + SYNC_CASES


def prefix_states(kind, steps):
    """The contents after each prefix of `steps` (keys, or (key, value)
    pairs) applied to the model of kind.make()."""
    m = kind.model()
    states = [kind.canon(m)]
    for step in steps:
        if isinstance(m, dict):
            m[step[0]] = step[1]
        else:
            m.add(step)
        states.append(kind.canon(m))
    return states


@requires_test_hooks
@pytest.mark.parametrize("case", CASES, ids=lambda case: case.id)
def test_a_failing_allocation_changes_nothing(case):
    kind = case.kind

    def state(c):
        return kind.contents(c), kind.counters(c)

    if case.prefixes is None:
        allowed = lambda before: [before]  # noqa: E731
    else:
        contents = prefix_states(kind, case.prefixes)
        allowed = lambda before: [(s, None) for s in contents]  # noqa: E731

        def state(c):  # noqa: F811  (contents only: a partial update moves the counters)
            now = kind.contents(c)
            return (now, None) if now in contents else (now, kind.counters(c))

    answer, c, _ = fail_in_turn(kind.make, case.call, state, allowed)
    model = kind.model()
    expected = case.by_twin(kind, c) if case.by_twin else case.model(model)
    assert answer == expected
    assert kind.contents(c) == kind.canon(model if case.by_twin is None else kind.model())


class Recorder:
    """Stands for a container and records the names of the methods called."""

    def __init__(self, target, seen):
        self._target = target
        self._seen = seen

    def __getattr__(self, name):
        self._seen.add(name)
        return getattr(self._target, name)


def test_every_method_of_every_class_is_in_the_table():
    readers_of_concurrent = {"is_empty", "empty", "get", "first", "last", "next", "prev", "count_below",
                             "by_count", "count_range", "range", "keys", "values", "items", "contains"}
    for kind in (SET, MAP, STR, BYTES, BLOB, SYNC_MAP, SYNC_SET):
        seen = set()
        for case in CASES:
            if case.kind is kind:
                try:
                    case.call(Recorder(kind.make(), seen))
                except TypeError:  # a slot, which the recorder does not have
                    pass
        cls = getattr(_corvale, kind.name)
        methods = {n for n in dir(cls) if not n.startswith("_")} - {"load_from_file", "save_to_file"}  # below
        if kind in (SYNC_MAP, SYNC_SET):
            methods -= readers_of_concurrent
        assert methods <= seen, (kind.name, methods - seen)


# ---------------------------------------------------------------------------
# Constructors: a failure leaves no object (and no core) behind


def write_image(tmp_path):
    path = str(tmp_path / "image.bin")
    make_blob().save_to_file(path)
    return path


CONSTRUCTORS = [
    ("CorvaleSet", lambda _: CorvaleSet(range(0, 3000, 7)), lambda c: c.to_list(), list(range(0, 3000, 7))),
    ("CorvaleMap", lambda _: CorvaleMap(dict(NEW_PAIRS)), lambda c: c.items(), sorted(dict(NEW_PAIRS).items())),
    ("CorvaleStrMap", lambda _: CorvaleStrMap(), len, 0),
    ("CorvaleBytesMap", lambda _: CorvaleBytesMap(), len, 0),
    ("CorvaleBlobMap", lambda _: CorvaleBlobMap(chunk_size=8192), len, 0),
    ("SyncCorvaleMap", lambda _: SyncCorvaleMap(), len, 0),
    ("SyncCorvaleSet", lambda _: SyncCorvaleSet(), len, 0),
    ("CorvaleBlobMap.load_from_file", lambda path: CorvaleBlobMap.load_from_file(path),
     lambda c: {k: c.get(k) for k in BLOB_UNIVERSE if k in c}, blob_model()),
]


@requires_test_hooks
@pytest.mark.parametrize("name, construct, contents, expected", CONSTRUCTORS, ids=[c[0] for c in CONSTRUCTORS])
def test_a_failing_constructor_leaves_nothing(tmp_path, name, construct, contents, expected):
    path = write_image(tmp_path)
    baseline = _corvale._live_frames()
    made, _, _ = fail_in_turn(lambda: None, lambda _: construct(path), lambda _: _corvale._live_frames(),
                              lambda before: [baseline])
    assert contents(made) == expected


@requires_test_hooks
def test_save_to_file_answers_after_a_failure(tmp_path):
    path = str(tmp_path / "image.bin")
    total, m, failures = fail_in_turn(make_blob, lambda c: c.save_to_file(path), BLOB.contents,
                                      lambda before: [before])
    assert total == os.path.getsize(path) and failures >= 1
    assert BLOB.contents(CorvaleBlobMap.load_from_file(path)) == BLOB.contents(m) == blob_model()


@requires_test_hooks
@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="no /proc/self/fd to count open descriptors")
def test_a_failed_save_keeps_the_old_image_and_no_descriptor(tmp_path):
    """Saving over an existing image with each allocation failing in turn:
    every MemoryError leaves as many descriptors open as before and the old
    image byte for byte (and no other file); the save that gets through puts
    a new file in place of the old one, and its image loads back."""
    path = tmp_path / "image.bin"
    old = CorvaleBlobMap(8192)
    old.insert(5, b"old image " * 30, 9)
    old.save_to_file(str(path))
    old_image = path.read_bytes()
    inode = path.stat().st_ino

    def outside(_):
        return len(os.listdir("/proc/self/fd")), path.read_bytes(), os.listdir(tmp_path)

    total, m, failures = fail_in_turn(make_blob, lambda c: c.save_to_file(str(path)), outside,
                                      lambda before: [before])
    new_image = path.read_bytes()
    assert failures >= 2 and total == len(new_image) and new_image != old_image
    assert path.stat().st_ino != inode and os.listdir(tmp_path) == ["image.bin"]
    assert BLOB.contents(CorvaleBlobMap.load_from_file(str(path))) == blob_model()


# ---------------------------------------------------------------------------
# Iterators: a failing next step stays where it was


# (class, container, its iterator, the items in order: None for the bytes
# map, whose order is its own and is read off a first iterator)
ITERATORS = [
    ("CorvaleSetIter", SET.make, iter, sorted(INT_KEYS)),
    ("CorvaleMapKeyIter", MAP.make, iter, sorted(INT_KEYS)),
    ("CorvaleStrMapKeyIter", STR.make, iter, [str_out(k) for k in sorted(STR_KEYS)]),
    ("CorvaleBytesMapKeyIter", BYTES.make, lambda c: c.keys(), None),
    ("CorvaleBytesMapValueIter", BYTES.make, lambda c: c.values(), None),
    ("CorvaleBytesMapItemIter", BYTES.make, lambda c: c.items(), None),
]


@requires_test_hooks
@pytest.mark.parametrize("name, make, iterate, expected", ITERATORS, ids=[i[0] for i in ITERATORS])
def test_a_failing_next_step_stays_in_place(name, make, iterate, expected):
    c = make()
    if expected is None:
        expected = list(iterate(c))
    it = iterate(c)
    assert type(it).__name__ == name
    got = []
    for _ in range(len(expected)):
        item, _, _ = fail_in_turn(lambda: it, next, len, lambda before: [before])
        got.append(item)
    assert got == expected and len(it) == 0
    with pytest.raises(StopIteration):
        next(it)


# ---------------------------------------------------------------------------
# The concurrent map's compare-and-change answers under contention


def test_concurrent_pops_answer_exactly_the_values_they_removed():
    """Writers keep overwriting a few keys with fresh values while poppers
    take them out: every value written is popped at most once, and the
    values popped plus those left are exactly the values written that were
    not overwritten."""
    import threading

    m = SyncCorvaleMap()
    keys = range(4)
    rounds = 3000
    written = [[] for _ in range(2)]
    popped = [[] for _ in range(2)]
    overwritten = [[] for _ in range(2)]

    def writer(w):
        for i in range(rounds):
            v = (w << 32) | i
            old = m.insert(i % len(keys), v)
            written[w].append(v)
            if old is not None:
                overwritten[w].append(old)

    def popper(p):
        for i in range(rounds):
            v = m.remove(i % len(keys))
            if v is not None:
                popped[p].append(v)

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(2)]
    threads += [threading.Thread(target=popper, args=(p,)) for p in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    all_written = sorted(written[0] + written[1])
    taken = popped[0] + popped[1] + overwritten[0] + overwritten[1] + list(m.values())
    assert sorted(taken) == all_written
