"""insert_many from a packed buffer inserts many unordered keys in ascending
order through a sorted copy (from SORT_MIN keys on, when they are neither
ascending already nor runs of neighbours; engine/sort.hpp). Whatever the order of the keys and the
path taken, the container and the count are those of the key-by-key
insertion of the same keys from a list, and a map keeps the value given
last for a repeated key. A sorted copy that cannot be had raises
MemoryError and inserts nothing."""

import random

import pytest

from conftest import SEED, U64_MAX, fail_in_turn, packed, requires_test_hooks
from corvale_trie._corvale import CorvaleMap, CorvaleSet, SyncCorvaleMap, SyncCorvaleSet

SORT_MIN = 1024  # engine/sort.hpp
SETS = (CorvaleSet, SyncCorvaleSet)
MAPS = (CorvaleMap, SyncCorvaleMap)

LAYOUTS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "unaligned": lambda b: memoryview(bytearray(b"\x00\x00\x00" + b))[3:],
    "strided": lambda b: memoryview(bytes(x for byte in b for x in (byte, 0xEE)))[::2],  # copied first
}


def keys_of(shape, n, rng):
    if shape == "duplicates":  # few distinct keys, each many times
        return [rng.randrange(max(1, n // 8)) * 0x0101_0101 for _ in range(n)]
    if shape == "u32":
        return [rng.getrandbits(32) for _ in range(n)]
    if shape == "runs":  # runs of consecutive keys at random places: they go in as given
        keys = []
        while len(keys) < n:
            start = rng.getrandbits(64) - 64
            keys += range(start, start + 40)
        return keys[:n]
    keys = [rng.getrandbits(64) for _ in range(n - 2)] + [0, U64_MAX] if n >= 2 else [U64_MAX] * n
    rng.shuffle(keys)
    if shape == "ascending":
        keys.sort()
    elif shape == "descending":
        keys.sort(reverse=True)
    return keys


def contents(c):
    return list(c.items()) if isinstance(c, MAPS) else list(c)


@pytest.mark.parametrize("shape", ["random", "ascending", "descending", "duplicates", "u32", "runs"])
def test_every_order_gives_the_container_of_the_key_by_key_insertion(shape):
    rng = random.Random(f"{SEED}-{shape}")
    for n in (5, SORT_MIN - 1, SORT_MIN, SORT_MIN + 1, 20_000):
        keys = keys_of(shape, n, rng)
        values = [rng.getrandbits(64) for _ in keys]  # a repeated key gets a new value each time
        before = [rng.getrandbits(64) for _ in range(40)] + keys[: n // 2 : 7]  # some keys already present
        layout = rng.choice(list(LAYOUTS))
        ctx = f"seed {SEED}, {shape}, n={n}, {layout}"
        for cls in SETS:
            ours, by_key = cls(), cls()
            ours.insert_many(before)
            by_key.insert_many(before)
            assert ours.insert_many(LAYOUTS[layout](packed(*keys))) == n == by_key.insert_many(keys), ctx
            assert contents(ours) == contents(by_key) == sorted(set(before) | set(keys)), ctx
        model = dict(zip(before, before))
        model.update(zip(keys, values))
        for cls in MAPS:
            # packed keys with packed or listed values go in sorted; listed keys as given
            for ks, vs in ((LAYOUTS[layout](packed(*keys)), packed(*values)), (packed(*keys), values),
                           (keys, packed(*values))):
                ours = cls()
                ours.insert_many(before, before)
                assert ours.insert_many(ks, vs) == n, ctx
                assert contents(ours) == sorted(model.items()), ctx


@requires_test_hooks
@pytest.mark.parametrize("cls", SETS + MAPS, ids=lambda c: c.__name__)
def test_a_sorted_copy_that_cannot_be_had_inserts_nothing(cls):
    """Every allocation of the call is failed in turn: each failure leaves the
    container as it was. The unordered keys need at least two allocations
    more than the same keys ascending, which go in with no copy."""
    rng = random.Random(SEED)
    keys = [rng.getrandbits(64) for _ in range(10_000)]
    before = keys[::5]

    def make():
        c = cls()
        c.insert_many(before, before) if cls in MAPS else c.insert_many(before)
        return c

    def run(data):
        call = (lambda c: c.insert_many(data, data)) if cls in MAPS else (lambda c: c.insert_many(data))
        return fail_in_turn(make, call, contents, lambda state: [state])

    answer, c, failures = run(packed(*keys))
    assert answer == len(keys)
    assert contents(c) == ([(k, k) for k in sorted(keys)] if cls in MAPS else sorted(keys))
    assert failures >= run(packed(*sorted(keys)))[2] + 2
