"""Packed u64 buffers given to insert_many: bytes, bytearray and memoryview
objects of every layout are read as native-endian u64 elements in their
logical order (what memoryview.tobytes gives); C-contiguous ones are read
in place, the others copied once; buffers are let go when the call ends,
whatever its outcome."""

import array
import random
import struct

import pytest

from conftest import SEED, U64_MAX, packed, raises_exactly, requires_test_hooks
from corvale_trie import _corvale
from corvale_trie._corvale import CorvaleMap, CorvaleSet, SyncCorvaleMap, SyncCorvaleSet

PACKED = ("insert_many: {} byte buffer length ({}) is not a multiple of 8; "
          "a packed u64 buffer must contain whole 8-byte elements")


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


def interleaved(data, filler=b"\xee"):
    """A strided memoryview (step 2, 1-byte items) whose logical bytes are `data`."""
    spread = bytearray(2 * len(data))
    spread[::2] = data
    spread[1::2] = filler * len(data)
    return memoryview(spread)[::2]


def unaligned(data, offset=3):
    return memoryview(bytearray(b"\x00" * offset + data))[offset:]


def cast(data, fmt, rows=1):
    """A view of `data` with items of format `fmt` in `rows` rows, when its
    length allows that shape (else a plain byte view)."""
    item = struct.calcsize(fmt)
    if not data or len(data) % (item * rows):
        return memoryview(data)
    shape = [rows, len(data) // item // rows] if rows > 1 else [len(data) // item]
    return memoryview(data).cast(fmt, shape)


def reversed_view(data):
    """A negative-stride view: its logical bytes are data[::-1] reversed back."""
    return memoryview(bytes(data[::-1]))[::-1]


# Every layout a packed source can have, as a function of its logical bytes.
LAYOUTS = {
    "bytes": bytes,
    "bytes subclass": MyBytes,
    "bytearray": bytearray,
    "bytearray subclass": MyByteArray,
    "memoryview": memoryview,
    "memoryview of bytearray": lambda d: memoryview(bytearray(d)),
    "unaligned memoryview": unaligned,
    "strided memoryview": interleaved,
    "negative-stride memoryview": reversed_view,
    "memoryview of 4-byte items": lambda d: cast(d, "I"),
    "memoryview of doubles": lambda d: cast(d, "d"),
    "2-D memoryview": lambda d: cast(d, "H", rows=2),
}
# Layouts that are read in place (the others are copied once).
IN_PLACE = {"bytes", "bytes subclass", "bytearray", "memoryview", "memoryview of bytearray",
            "unaligned memoryview", "memoryview of 4-byte items", "memoryview of doubles", "2-D memoryview"}

SET_CLASSES = [CorvaleSet, SyncCorvaleSet]
MAP_CLASSES = [CorvaleMap, SyncCorvaleMap]


def contents(c):
    return list(c.items()) if isinstance(c, (CorvaleMap, SyncCorvaleMap)) else sorted(c)


def test_every_layout_reads_its_logical_bytes():
    rng = random.Random(SEED)
    for trial in range(300):
        ctx = f"seed {SEED}, trial {trial}"
        n = rng.choice([0, 1, 2, 7, 31, 32, 33, rng.randrange(200)])
        keys = [rng.choice([0, U64_MAX, rng.randrange(64), rng.getrandbits(64)]) for _ in range(n)]
        values = [rng.getrandbits(64) for _ in range(n)]
        klay, vlay = rng.choice(list(LAYOUTS)), rng.choice(list(LAYOUTS))
        kbuf, vbuf = LAYOUTS[klay](packed(*keys)), LAYOUTS[vlay](packed(*values))
        assert bytes(memoryview(kbuf)) == packed(*keys), (ctx, klay)
        cls = rng.choice(SET_CLASSES)
        s = cls()
        assert s.insert_many(kbuf) == n, (ctx, klay)
        assert contents(s) == sorted(set(keys)), (ctx, klay)
        cls = rng.choice(MAP_CLASSES)
        m = cls()
        assert m.insert_many(kbuf, vbuf) == n, (ctx, klay, vlay)
        assert contents(m) == sorted(dict(zip(keys, values)).items()), (ctx, klay, vlay)


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("cls", SET_CLASSES + MAP_CLASSES)
def test_lengths_that_are_not_whole_elements_insert_nothing(cls, layout):
    for size in (1, 3, 4, 7, 9, 12, 15, 17):
        data = bytes(range(1, size + 1))
        source = LAYOUTS[layout](data)
        size = len(bytes(memoryview(source)))  # a layout that needs whole items keeps the raw view
        c = cls()
        c.insert_many(packed(9), packed(9)) if cls in MAP_CLASSES else c.insert_many(packed(9))
        if cls in MAP_CLASSES:
            with raises_exactly(ValueError, PACKED.format("keys", size)):
                c.insert_many(source, packed(1))
            with raises_exactly(ValueError, PACKED.format("values", size)):
                c.insert_many(packed(1), source)
        else:
            with raises_exactly(ValueError, PACKED.format("keys", size)):
                c.insert_many(source)
        assert contents(c) == ([(9, 9)] if cls in MAP_CLASSES else [9]), (layout, size)


def test_buffers_are_let_go_after_every_call():
    grown = bytearray(packed(1, 2))
    view = memoryview(bytearray(packed(3, 4)))
    short = bytearray(b"abc")
    s, m = CorvaleSet(), CorvaleMap()
    s.insert_many(grown)
    m.insert_many(grown, view)
    with pytest.raises(ValueError):
        s.insert_many(short)
    with pytest.raises(ValueError):
        m.insert_many(grown, short)
    with pytest.raises(ValueError):  # different lengths
        m.insert_many(grown, view[8:])
    grown += packed(5)  # a held buffer would refuse the resize (BufferError)
    short.clear()
    view.release()
    assert s.to_list() == [1, 2] and m.to_list() == [(1, 3), (2, 4)]
    released = memoryview(packed(1))
    released.release()
    for c in (CorvaleSet(), SyncCorvaleSet()):
        with raises_exactly(ValueError, "operation forbidden on released memoryview object"):
            c.insert_many(released)


def test_map_keys_are_taken_before_its_values_are_iterated():
    """Iterating the values runs Python code; it neither sees the keys buffer
    held nor changes the keys already taken."""
    for cls in MAP_CLASSES:
        keys = bytearray(packed(1, 2))

        def values():
            keys[:8] = packed(99)
            keys.extend(packed(3))
            yield 10
            yield 20

        m = cls()
        assert m.insert_many(keys, values()) == 2
        assert list(m.items()) == [(1, 10), (2, 20)]
        assert m.insert_many(iter([5]), memoryview(keys)[8:16]) == 1 and m.get(5) == 2


def test_array_objects_are_iterated_not_read_as_buffers():
    s = CorvaleSet()
    assert s.insert_many(array.array("I", [7, 5, 7])) == 3 and s.to_list() == [5, 7]
    assert s.insert_many(memoryview(array.array("I", [7, 5]))) == 1
    assert s.to_list() == [5, 7, struct.unpack("=Q", struct.pack("=2I", 7, 5))[0]]


def allocations_of(call):
    """How many of the module's own allocations (C++ and result objects)
    call() makes, found by failing the n-th one for n = 1, 2, ..."""
    for n in range(1, 64):
        _corvale._fail_allocations_after(n)
        try:
            call()
        except MemoryError:
            continue
        finally:
            _corvale._fail_allocations_after(0)
        return n - 1
    pytest.fail("the call never got through")


@requires_test_hooks
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_contiguous_buffers_are_read_in_place(layout):
    """A C-contiguous packed buffer costs no allocation of its size: keys
    that are already present are inserted with exactly the allocations of an
    empty buffer; any other layout is copied once."""
    keys = list(range(0, 4000, 7))
    data = packed(*keys)
    for cls in SET_CLASSES + MAP_CLASSES:
        c = cls()
        pair = cls in MAP_CLASSES
        c.insert_many(data, data) if pair else c.insert_many(data)
        empty = allocations_of(lambda: c.insert_many(b"", b"") if pair else c.insert_many(b""))
        source = LAYOUTS[layout](data)
        if pair:
            taken = allocations_of(lambda: c.insert_many(source, packed(*keys)))
        else:
            taken = allocations_of(lambda: c.insert_many(source))
        assert taken == empty + (0 if layout in IN_PLACE else 1), (cls.__name__, layout)
        assert contents(c) == ([(k, k) for k in keys] if pair else keys)


def test_multidimensional_views_are_read_in_c_order():
    """Views of more than one dimension that are not C-contiguous (a
    transposed, Fortran-ordered array; a slice of every other column) give
    their elements in C order, as memoryview.tobytes does."""
    np = pytest.importorskip("numpy")
    grid = np.arange(1, 25, dtype=np.uint64).reshape(4, 6)
    for view in (memoryview(grid), memoryview(grid.T), memoryview(grid[:, ::2]), memoryview(grid.T[1:, ::3])):
        expected = list(struct.unpack(f"={view.nbytes // 8}Q", view.tobytes()))
        for cls in MAP_CLASSES:
            m = cls()
            assert m.insert_many(view, range(len(expected))) == len(expected)
            assert list(m.items()) == sorted(zip(expected, range(len(expected))))
        s = CorvaleSet()
        assert s.insert_many(view) == len(expected) and s.to_list() == sorted(expected)


@requires_test_hooks
def test_map_keys_are_copied_only_when_they_could_change():
    """Iterating a map's values runs Python code: keys held from a bytearray
    or memoryview (whatever it views) are copied first (one allocation), keys
    in a bytes object, which nothing can change, are not."""
    keys = list(range(0, 4000, 7))
    for cls in MAP_CLASSES:
        m = cls()
        m.insert_many(packed(*keys), packed(*keys))
        for make, extra in ((bytes, 0), (MyBytes, 0), (bytearray, 1), (memoryview, 1)):
            source = make(packed(*keys))
            values = list(keys)
            # the values list: its vector and its growth, the same for every kind of keys
            iterated = allocations_of(lambda: m.insert_many(packed(*keys), values))
            assert allocations_of(lambda: m.insert_many(source, values)) == iterated + extra, (cls.__name__, make)
