"""Packed u64 buffers and iterables of integers, as the bulk insertion methods
take them: bytes, bytearray and memoryview are read as native-endian u64
elements; every other object (array.array included) is iterated."""

import array
import random
import struct

import pytest

from corvale_trie._corvale import CorvaleMap, CorvaleSet

U64_MAX = 2**64 - 1


def packed(*values):
    return struct.pack(f"={len(values)}Q", *values)


def length_message(label, n):
    return (
        f"insert_many: {label} byte buffer length ({n}) is not a multiple of 8; "
        "a packed u64 buffer must contain whole 8-byte elements"
    )


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


class TestPackedSources:
    @pytest.mark.parametrize(
        "make",
        [
            bytes,
            bytearray,
            MyBytes,
            MyByteArray,
            lambda b: memoryview(b),
            lambda b: memoryview(bytearray(b)),
        ],
        ids=["bytes", "bytearray", "bytes-subclass", "bytearray-subclass", "memoryview", "memoryview-rw"],
    )
    def test_packed_sources_are_native_endian_u64(self, make):
        values = [5, 0, U64_MAX, 5, 2**63]
        s = CorvaleSet()
        assert s.insert_many(make(packed(*values))) == len(values)
        assert list(s) == sorted(set(values))
        m = CorvaleMap()
        assert m.insert_many(make(packed(*values)), make(packed(*range(len(values))))) == len(values)
        assert m.to_list() == sorted({k: i for i, k in enumerate(values)}.items())

    def test_empty_buffer(self):
        s = CorvaleSet([1])
        assert s.insert_many(b"") == 0
        assert s.insert_many(bytearray()) == 0
        assert s.insert_many(memoryview(b"")) == 0
        assert list(s) == [1]
        assert CorvaleMap().insert_many(b"", []) == 0

    @pytest.mark.parametrize("n", [1, 3, 7, 9, 12, 15])
    def test_length_not_a_multiple_of_8(self, n):
        s = CorvaleSet([1])
        for source in (bytes(n), bytearray(n), memoryview(bytes(n))):
            with pytest.raises(ValueError) as exc_info:
                s.insert_many(source)
            assert str(exc_info.value) == length_message("keys", n)
            assert not getattr(exc_info.value, "__notes__", None)
        assert list(s) == [1]

    def test_labels_of_the_map_arguments(self):
        m = CorvaleMap({1: 1})
        with pytest.raises(ValueError) as exc_info:
            m.insert_many(bytes(12), bytes(16))
        assert str(exc_info.value) == length_message("keys", 12)
        with pytest.raises(ValueError) as exc_info:
            m.insert_many(bytes(16), bytes(3))
        assert str(exc_info.value) == length_message("values", 3)
        with pytest.raises(ValueError) as exc_info:
            m.insert_many(packed(1, 2), [10])
        assert str(exc_info.value) == (
            "insert_many: keys (2) and values (1) must have the same number of elements"
        )
        assert m.to_list() == [(1, 1)]

    def test_memoryview_reads_its_logical_bytes(self):
        assert array.array("I").itemsize == 4
        narrow = memoryview(array.array("I", [1, 2, 3]))  # 12 bytes
        with pytest.raises(ValueError) as exc_info:
            CorvaleSet().insert_many(narrow)
        assert str(exc_info.value) == length_message("keys", 12)

        wide = array.array("Q", [1, 2, 3, 4])
        s = CorvaleSet()
        assert s.insert_many(memoryview(wide)) == 4
        assert list(s) == [1, 2, 3, 4]
        strided = memoryview(wide)[::2]  # not contiguous: copied element by element
        s = CorvaleSet()
        assert s.insert_many(strided) == 2
        assert list(s) == [1, 3]
        s = CorvaleSet()
        assert s.insert_many(memoryview(packed(9, 8)).cast("B")) == 2
        assert list(s) == [8, 9]

    def test_buffer_is_copied_before_inserting(self):
        source = bytearray(packed(1, 2, 3))
        m = CorvaleMap()
        m.insert_many(source, packed(10, 20, 30))
        source[:] = b""
        assert m.to_list() == [(1, 10), (2, 20), (3, 30)]


class TestIterablesOfIntegers:
    def test_array_array_is_iterated_not_read_as_a_buffer(self):
        s = CorvaleSet()
        assert s.insert_many(array.array("Q", [1, 2, 3])) == 3
        assert list(s) == [1, 2, 3]
        # 4-byte items are still whole integers: nothing about multiples of 8.
        s = CorvaleSet()
        assert s.insert_many(array.array("I", [7, 5, 7])) == 3
        assert list(s) == [5, 7]

    def test_bytes_buffer_versus_bytes_iteration(self):
        # Packed buffers are only read by insert_many; update iterates bytes.
        s = CorvaleSet()
        s.update(b"\x01\x02")
        assert list(s) == [1, 2]

    @pytest.mark.parametrize(
        "items, exc_type, message",
        [
            ([1, -1, 2], OverflowError, "can't convert negative int to unsigned"),
            ([1, 2**64], OverflowError, "int too big to convert"),
            ([1, 2.0], TypeError, "'float' object cannot be interpreted as an integer"),
            ("12", TypeError, "'str' object cannot be interpreted as an integer"),
            (5, TypeError, "'int' object is not iterable"),
        ],
    )
    def test_conversion_errors_have_no_note(self, items, exc_type, message):
        with pytest.raises(exc_type) as exc_info:
            CorvaleMap().insert_many(items, items)
        assert str(exc_info.value) == message
        assert not getattr(exc_info.value, "__notes__", None)
        s = CorvaleSet()
        with pytest.raises(exc_type):
            s.insert_many(items)
        assert list(s) == ([1] if isinstance(items, list) else [])

    def test_iteration_error_propagates_unchanged(self):
        class Boom(Exception):
            pass

        def gen():
            yield 1
            yield 2
            raise Boom("stop")

        with pytest.raises(Boom, match="stop"):
            CorvaleMap().insert_many(gen(), [1, 2])
        s = CorvaleSet()
        with pytest.raises(Boom):
            s.insert_many(gen())
        assert list(s) == [1, 2]

    def test_map_converts_both_arguments_before_inserting(self):
        m = CorvaleMap()
        with pytest.raises(OverflowError):
            m.insert_many([1, 2], [3, -4])
        assert len(m) == 0
        assert m.insert_many(packed(7, 7), [1, 2]) == 2
        assert m.to_list() == [(7, 2)]

    def test_randomized_packed_and_iterated_agree(self):
        seed = 4103
        rng = random.Random(seed)
        for round_ in range(20):
            n = rng.choice([0, 1, 8, 31, 32, 33, 200])
            keys = [rng.choice([rng.getrandbits(64), rng.getrandbits(9), U64_MAX, 0]) for _ in range(n)]
            values = [rng.getrandbits(64) for _ in range(n)]
            a, b = CorvaleSet(), CorvaleSet()
            assert a.insert_many(packed(*keys)) == n
            assert b.insert_many(iter(keys)) == n
            assert list(a) == list(b) == sorted(set(keys)), f"seed {seed} round {round_}"
            m1, m2 = CorvaleMap(), CorvaleMap()
            m1.insert_many(array.array("Q", keys).tobytes(), memoryview(array.array("Q", values)))
            m2.insert_many(keys, values)
            assert m1.to_list() == m2.to_list() == sorted(dict(zip(keys, values)).items()), (
                f"seed {seed} round {round_}"
            )
