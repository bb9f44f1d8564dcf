"""A short tour of CorvaleSet, CorvaleMap and CorvaleBytesMap: the quick
start runs it from the checkout, with the installed package."""

import struct

from corvale_trie import CorvaleBytesMap, CorvaleMap, CorvaleSet

# An ordered set of 64-bit unsigned integers.
s = CorvaleSet([40, 10, 30, 20])
s.add(2**64 - 1)
print("set:", list(s), "len", len(s))
print("10 in s:", 10 in s, "| 11 in s:", 11 in s)
print("next after 20:", s.next(20), "| at or after 21:", s.next_at_or_after(21))
print("prev before 20:", s.prev(20), "| first/last:", s.first(), s.last())
print("rank of 30:", s.count_below(30), "| element #2:", s.by_count(2))
print("range [15, 35]:", s.range(15, 35))

# Bulk insertion from a packed native-endian u64 buffer.
s.insert_many(struct.pack("=3Q", 5, 6, 7))
print("after insert_many:", s.to_list())
print("membership batch:", s.contains_batch([5, 8, 40]))

# An ordered map from u64 keys to u64 values.
m = CorvaleMap({1: 100, 3: 300})
m[2] = 200
m.update([(4, 400), (1, 101)])
print("map:", m.items())
print("m[2] =", m[2], "| get(9, 0) =", m.get(9, 0))
print("next entry after 2:", m.next(2), "| keys:", m.keys(), "| values:", m.values())
print("pop(3):", m.pop(3), "->", m.to_list())

# Iterators are snapshots: later changes do not show.
it = iter(m)
m.clear()
print("snapshot keys:", list(it), "| map now empty:", m.empty)

# An unordered map from arbitrary byte keys to u64 values.
b = CorvaleBytesMap()
b[b"\x00key"] = 1
b["caf\u00e9"] = 2  # a str is its UTF-8 bytes
b.update({b"": 3})
print("bytes map:", len(b), sorted(b.items()), "| b'a' in b:", b"a" in b)
