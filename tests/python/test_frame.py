"""The call frame of the integer classes: accepted argument forms, claims
against re-entrant calls, the owner thread, what a failing bulk call leaves
behind, dicts changed while they are read, packed buffers, and the snapshot
iterators."""

import array
import gc
import threading

import pytest

from conftest import U64_MAX, IndexOf, packed, raises_exactly, requires_test_hooks
import corvale_trie._corvale as _corvale
from corvale_trie._corvale import CorvaleMap, CorvaleSet

# ---------------------------------------------------------------------------
# Accepted argument forms


def test_u64_and_bool_arguments():
    class MyInt(int):
        pass

    s = CorvaleSet()
    for key in (MyInt(7), IndexOf(8), True, 0, U64_MAX):
        assert s.insert(key) is True
    assert list(s) == [0, 1, 7, 8, U64_MAX] and next(iter(s)) == 0
    assert (True in s, False in s, 2 in s, s.contains(IndexOf(U64_MAX))) == (True, True, False, True)
    np = pytest.importorskip("numpy")
    assert s.next(1, np.bool_(True)) == 1 and s.next(1, np.False_) == 7
    assert s.range(1, 8, np.False_) == [1, 7] and s.insert(np.uint64(9)) is True
    assert CorvaleMap({np.uint64(U64_MAX): np.int8(3)}).items() == [(U64_MAX, 3)]


def test_parameters_by_keyword():
    s = CorvaleSet(iterable=[1, 2, 3])
    assert s.contains(key=2) and s.discard(key=2) and s.add(key=9)
    assert (s.count_range(start=0, end=5), s.by_count(index=1), s.contains_batch(keys=[1])) == (2, 3, [True])
    assert s.insert_many(keys=[4]) == 1 and s.update(other=[5]) is None
    assert s.next(key=1, inclusive=True) == 1 and s.range(end=4, inclusive=False) == [1, 3]
    m = CorvaleMap(items={1: 10})
    assert m.insert(key=2, val=20) is None and m.get(key=3, default=4) == 4 and m.pop(key=2, default=0) == 20
    assert m.get_batch(keys=[1]) == [10] and m.insert_many(keys=[5], values=[50]) == 1
    assert m.update(other={6: 60}) is None and m.range(start=5, end=6, inclusive=False) == [(5, 50)]


def test_sources_of_keys_and_pairs():
    assert list(CorvaleSet(x for x in (5, 4, 5))) == [4, 5]
    assert list(CorvaleSet({9: "a", 2: "b"})) == [2, 9]
    assert list(CorvaleSet(CorvaleMap({6: 0, 3: 1}))) == [3, 6]
    assert list(CorvaleSet(b"\x02\x01")) == [1, 2]  # byte values, not a packed buffer

    class Pair(tuple):
        pass

    class Tricky(dict):  # read from its storage: no overridden method runs
        def items(self):
            raise AssertionError

        __iter__ = keys = values = items

    assert CorvaleMap([Pair((7, 8)), (1, 2), (7, 9)]).items() == [(1, 2), (7, 9)]
    assert CorvaleMap(Tricky({4: 40, 2: 20})).items() == [(2, 20), (4, 40)]
    m, other = CorvaleMap({1: 1, 50: 5}), CorvaleMap({k: k * 2 for k in range(40, 80)})
    m.update(Tricky({9: 90}))
    m.update(other)  # read through its core, overwriting shared keys, leaving it unchanged
    assert m[50] == 100 and len(m) == 42 and other.items() == [(k, k * 2) for k in range(40, 80)]
    s = CorvaleSet([1])
    s.update(b"\x02\x05")
    assert s.to_list() == [1, 2, 5]
    assert s.contains_batch(b"\x05\x06") == [True, False] and s.contains_batch(range(4, 7)) == [False, True, False]
    assert CorvaleMap({5: 0}).get_batch(bytearray(b"\x05\x06")) == [0, None]


# ---------------------------------------------------------------------------
# Claims: a call that re-enters the same object from Python code run by a
# conversion or an iteration


NAV_READS = ["c.first()", "c.last()", "c.next(1)", "c.next_at_or_after(1)", "c.next_after(1)",
             "c.prev(1, True)", "c.prev_at_or_before(1)", "c.prev_before(1)", "c.count_below(1)",
             "c.by_count(0)", "c.count_range(0, 5)", "c.range(0)", "c.to_list()", "c.is_empty()",
             "c.mem_used()", "c.total_node_allocs()", "len(c)", "bool(c)", "repr(c)", "c.empty",
             "1 in c", "iter(c)"]
CLAIM_TABLES = {
    "set": (lambda: CorvaleSet([1, 2, 3]), "contains", "discard",
            NAV_READS + ["c.contains(1)", "c.contains_batch([1])"],
            ["c.insert(9)", "c.add(9)", "c.remove(1)", "c.discard(1)", "c.pop()", "c.clear()",
             "c.update([9])", "c.insert_many([9])"]),
    "map": (lambda: CorvaleMap({1: 10, 2: 20}), "contains_key", "remove",
            NAV_READS + ["c.contains_key(1)", "c.get_batch([1])", "c.get(1)", "c[1]", "c.items()",
                         "c.keys()", "c.values()"],
            ["c.insert(9, 9)", "c.remove(1)", "c.pop(1)", "c.clear()", "c.update({9: 9})",
             "c.insert_many([9], [9])", "c.__setitem__(9, 9)", "c.__delitem__(1)"]),
}


@pytest.mark.parametrize("kind", CLAIM_TABLES)
def test_claim_of_every_method(kind):
    """Each method is called from the key conversion of a read and of a
    change on the same object: reads nest in reads, nothing nests in a
    change, no change runs inside a read, and nothing changes."""
    make, read_name, change_name, reads, changes = CLAIM_TABLES[kind]
    c = make()
    before = c.to_list()
    read, change = getattr(c, read_name), getattr(c, change_name)
    for expr in reads:
        assert read(IndexOf(1, lambda: eval(expr, {"c": c}))) is True, expr
        with raises_exactly(RuntimeError, "Already mutably borrowed"):
            change(IndexOf(1, lambda: eval(expr, {"c": c})))
    for expr in changes:
        for outer in (read, change):
            with raises_exactly(RuntimeError, "Already borrowed"):
                outer(IndexOf(1, lambda: eval(expr, {"c": c})))
    assert c.to_list() == before


def test_claims_held_through_other_conversions():
    s, m = CorvaleSet([1, 2, 3]), CorvaleMap({1: 10})
    borrowed, mutably = "Already borrowed", "Already mutably borrowed"
    cases = [
        (lambda: IndexOf(4, lambda: s.clear()) in s, borrowed),
        (lambda: s.contains_batch([IndexOf(4, lambda: s.add(4))]), borrowed),
        (lambda: s.count_range(0, IndexOf(1, lambda: s.update([9]))), borrowed),
        (lambda: s.update([IndexOf(4, lambda: s.first())]), mutably),
        (lambda: s.insert_many([IndexOf(4, lambda: s.pop())]), borrowed),
        (lambda: s.update(len(s) for _ in [0]), mutably),  # from the source's own iteration
        (lambda: s.insert_many(s.add(9) for _ in [0]), borrowed),
        (lambda: s.update(s), mutably),
        (lambda: s.insert_many(s), mutably),
        (lambda: m[IndexOf(1, lambda: m.update({5: 5}))], borrowed),
        (lambda: m.insert(2, IndexOf(0, lambda: m.get(1))), mutably),
        (lambda: m.__setitem__(2, IndexOf(0, lambda: m.keys())), mutably),
        (lambda: m.update([(IndexOf(7, lambda: m.items()), 7)]), mutably),
        (lambda: m.update({IndexOf(7, lambda: m.remove(1)): 7}), borrowed),
        (lambda: m.insert_many([IndexOf(7, lambda: m.first())], [7]), mutably),
        (lambda: m.update(m), mutably),
        (lambda: m.insert_many(m, [1]), mutably),
    ]
    for call, message in cases:
        with raises_exactly(RuntimeError, message):
            call()
    assert s.to_list() == [1, 2, 3] and m.items() == [(1, 10)]
    assert s.range(IndexOf(2, lambda: s.by_count(0))) == [2, 3]
    assert m.get_batch([IndexOf(1, lambda: (m.to_list(), len(iter(m))))]) == [10]
    assert s.insert(4) is True and m.insert(2, 2) is None


def test_a_same_class_source_in_use_is_iterated_and_refused():
    s, t = CorvaleSet([1]), CorvaleSet([2])
    with raises_exactly(RuntimeError, "Already mutably borrowed"):
        t.insert(IndexOf(3, lambda: s.update(t)))
    assert s.to_list() == [1] and t.to_list() == [2]
    s.update(t)  # and read through its core once free, leaving it unchanged
    assert s.to_list() == [1, 2] and t.to_list() == [2] and t.insert(3) is True


# ---------------------------------------------------------------------------
# Owner thread


def test_calls_from_another_thread_are_refused(owner_thread):
    owner_thread.make("s", lambda: CorvaleSet([1, 2]))
    owner_thread.make("m", lambda: CorvaleMap({1: 10}))
    owner_thread.make("si", lambda: iter(owner_thread.objects["s"]))
    owner_thread.make("mi", lambda: iter(owner_thread.objects["m"]))
    o = owner_thread.objects
    set_path, map_path = "_corvale::set::CorvaleSet", "_corvale::map::CorvaleMap"
    cases = [
        (lambda: len(o["s"]), set_path), (lambda: o["s"].insert(-1), set_path),
        (lambda: 1 in o["s"], set_path), (lambda: repr(o["s"]), set_path),
        (lambda: o["s"].empty, set_path), (lambda: bool(o["s"]), set_path),
        (lambda: o["s"].update([3]), set_path), (lambda: CorvaleSet([1]).update(o["s"]), set_path),
        (lambda: o["m"][1], map_path), (lambda: o["m"].__setitem__(2, 2), map_path),
        (lambda: o["m"].get_batch([1]), map_path), (lambda: iter(o["m"]), map_path),
        (lambda: next(o["si"]), "_corvale::set::CorvaleSetIter"),
        (lambda: iter(o["si"]), "_corvale::set::CorvaleSetIter"),
        (lambda: len(o["mi"]), "_corvale::map::CorvaleMapKeyIter"),
    ]
    for call, path in cases:
        with pytest.raises(RuntimeError) as exc_info:
            call()
        assert str(exc_info.value) == f"{path} is unsendable, but sent to another thread"
    assert owner_thread.run(lambda: (o["s"].to_list(), o["m"].items(), list(o["si"]), list(o["mi"]))) == (
        [1, 2], [(1, 10)], [1, 2], [1])


def _system_blocks_held():
    allocs, frees = _corvale._alloc_stats()
    return allocs - frees


@requires_test_hooks
def test_teardown_on_another_thread_is_reported(owner_thread, unraisable):
    gc.collect()
    baseline = _corvale._live_frames()
    blocks = _system_blocks_held()
    owner_thread.make("m", lambda: CorvaleMap((k, k) for k in range(100)))
    owner_thread.make("it", lambda: iter(CorvaleSet([1])))
    owner_thread.make("s", lambda: CorvaleSet([1]))
    m, it = owner_thread.objects.pop("m"), owner_thread.objects.pop("it")
    del m, it

    def drop_while_raising():
        victim = owner_thread.objects.pop("s")
        try:
            raise ValueError("pending")
        finally:
            del victim

    with pytest.raises(ValueError, match="pending"):  # the pending error survives the report
        drop_while_raising()
    assert unraisable == [
        (RuntimeError, f"_corvale::{path} is unsendable, but is being dropped on another thread")
        for path in ("map::CorvaleMap", "set::CorvaleSetIter", "set::CorvaleSet")
    ]
    assert _corvale._live_frames() == baseline  # the contents were freed all the same
    assert _system_blocks_held() == blocks


@requires_test_hooks
def test_cycle_collected_on_another_thread_is_freed(unraisable):
    """The cyclic collector running on another thread frees a list that
    held a container and an iterator: both are reported and freed."""
    gc.collect()
    gc.disable()
    baseline = _corvale._live_frames()
    blocks = _system_blocks_held()
    try:
        box = [CorvaleMap((k, k) for k in range(5000)), iter(CorvaleSet(range(0, 10**6, 7)))]
        box.append(box)
        del box
        assert _corvale._live_frames() == baseline + 2
        worker = threading.Thread(target=gc.collect)
        worker.start()
        worker.join()
    finally:
        gc.enable()
    assert _corvale._live_frames() == baseline
    assert _system_blocks_held() == blocks
    assert sorted(unraisable) == [
        (RuntimeError, f"_corvale::{path} is unsendable, but is being dropped on another thread")
        for path in ("map::CorvaleMap", "set::CorvaleSetIter")
    ]


# ---------------------------------------------------------------------------
# What a failing call leaves behind


def test_failing_calls_keep_only_what_came_before():
    class Boom(Exception):
        pass

    def gen(*items):
        yield from items
        raise Boom

    for make in (lambda: CorvaleSet(gen(1, 2)), lambda: CorvaleMap(gen((1, 2)))):
        with pytest.raises(Boom):
            make()
    s = CorvaleSet()
    with pytest.raises(OverflowError):
        s.insert_many([1, -1, 2])
    with pytest.raises(Boom):
        s.insert_many(gen(3))
    with pytest.raises(OverflowError):
        s.update([4, 2**64, 5])
    with pytest.raises(Boom):
        s.update(gen(6))
    assert s.to_list() == [1, 3, 4, 6]
    m = CorvaleMap()
    for bad in ([(1, 1), [2, 2]], [(3, 3), (4, 4, 4)], {6: 6, 7: -7}, gen((8, 8))):
        with pytest.raises((TypeError, ValueError, OverflowError, Boom)):
            m.update(bad)
    for keys, values in (([10, 11], [0, -1]), ([12, 13], [1]), (gen(14), [1]), (packed(15), bytes(9))):
        with pytest.raises((OverflowError, ValueError, Boom)):
            m.insert_many(keys, values)  # converted in full first: nothing inserted
    assert m.items() == [(1, 1), (3, 3), (6, 6), (8, 8)]
    assert m.insert_many([7, 7], [1, 2]) == 2 and m[7] == 2


def test_dict_changed_while_it_is_read():
    changed, keys_changed = "dictionary changed size during iteration", "dictionary keys changed during iteration"
    d = {1: 10, 2: 20, 3: 30}
    d[2] = IndexOf(20, lambda: d.__setitem__(99, 0))
    with raises_exactly(RuntimeError, changed):
        CorvaleMap(d)
    d = {1: 10, IndexOf(2, lambda: d.pop(3)): 20, 3: 30}  # a key's conversion shrinks it
    with raises_exactly(RuntimeError, changed):
        CorvaleMap(d)
    d = {}
    d[IndexOf(4)] = IndexOf(5, lambda: d.clear())  # drops the entry being converted
    with raises_exactly(RuntimeError, changed):
        CorvaleMap(d)
    m = CorvaleMap()
    d = {1: 10, 2: 20, 3: 30}
    d[2] = IndexOf(20, lambda: d.__setitem__(99, 0))
    with raises_exactly(RuntimeError, changed):
        m.update(d)
    assert m.items() == [(1, 10), (2, 20)]  # entries before the change stay
    e = {}
    e[1] = IndexOf(10, lambda: (e.pop(1), e.__setitem__(5, 50)))  # same size, new entry
    e[2] = 20
    with raises_exactly(RuntimeError, keys_changed):
        m.update(e)
    assert m.items() == [(1, 10), (2, 20)]


# ---------------------------------------------------------------------------
# Packed u64 buffers (insert_many only) and iterables of integers


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


@pytest.mark.parametrize("make", [bytes, bytearray, MyBytes, MyByteArray, memoryview,
                                  lambda b: memoryview(bytearray(b)), lambda b: memoryview(b).cast("B")])
def test_packed_sources_are_native_endian_u64(make):
    values = [5, 0, U64_MAX, 5, 2**63]
    s = CorvaleSet()
    assert s.insert_many(make(packed(*values))) == 5 and s.to_list() == [0, 5, 2**63, U64_MAX]
    assert s.insert_many(make(b"")) == 0 and len(s) == 4
    m = CorvaleMap()
    assert m.insert_many(make(packed(*values)), make(packed(*range(5)))) == 5
    assert m.to_list() == [(0, 1), (5, 3), (2**63, 4), (U64_MAX, 2)]


def test_buffers_are_copied_and_other_buffers_iterated():
    wide = array.array("Q", [1, 2, 3, 4])
    s = CorvaleSet()
    assert s.insert_many(memoryview(wide)[::2]) == 2 and s.to_list() == [1, 3]  # strided view: logical bytes
    assert s.insert_many(array.array("I", [7, 5, 7])) == 3 and s.to_list() == [1, 3, 5, 7]  # iterated
    source = bytearray(packed(1, 2, 3))
    m = CorvaleMap()
    m.insert_many(source, iter([10, 20, 30]))
    source[:] = b""
    assert m.to_list() == [(1, 10), (2, 20), (3, 30)]


# ---------------------------------------------------------------------------
# Snapshot iterators


def test_snapshot_iterators():
    s = CorvaleSet(list(range(0, 100, 3)) + [U64_MAX])
    it = iter(s)
    assert iter(it) is it and len(it) == 35 and next(it) == 0
    s.insert(1)
    s.remove(3)
    assert len(it) == 34 and bool(it)
    s.clear()
    assert next(it) == 3 and len(it) == 33
    del s
    assert list(it) == list(range(6, 100, 3)) + [U64_MAX]
    for _ in range(2):  # exhaustion is final
        assert len(it) == 0 and not it
        with pytest.raises(StopIteration):
            next(it)
    m = CorvaleMap({5: 50, 2: 20, U64_MAX: 0})
    mit, other = iter(m), iter(m)
    m[1] = 10
    del m[5]
    del m
    assert next(other) == 2 and list(mit) == [2, 5, U64_MAX] and list(other) == [5, U64_MAX]


_UNDER_A_LIMIT = r"""
import array, resource
from corvale_trie._corvale import CorvaleSet

def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

s = CorvaleSet()
s.insert_many(array.array("Q", range(0, 6_000_000, 3)))  # 2M keys; their list needs 80 MB
big = array.array("Q", [3]).tobytes() * (40 << 20)  # 320 MB of a key already present
before = len(s)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (48 << 20), hard))
outcomes = []
for call in (lambda: s.to_list(), lambda: list(s), lambda: s.range(),
             lambda: s.insert_many(memoryview(big)[::2]),  # strided: its 160 MB are gathered into a copy
             lambda: s.insert_many(big)):  # contiguous: read in place, no copy
    try:
        call()
        outcomes.append("ok")
    except MemoryError:
        outcomes.append("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(outcomes, len(s) == before)
"""


def test_out_of_memory_under_an_address_space_limit(tmp_path):
    """The reported case: under an address-space limit, lists of results,
    snapshot iterators, ranges and a buffer copy raise MemoryError instead of
    ending the process, and the set is unchanged; a contiguous buffer far
    larger than the memory left is read where it lies."""
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", _UNDER_A_LIMIT], capture_output=True, text=True, timeout=120,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("]")[1].strip() == "True"
    assert done.stdout.split("]")[0] + "]" == str(["MemoryError"] * 4 + ["ok"]), done.stdout
