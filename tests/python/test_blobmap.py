"""CorvaleBlobMap: point operations, hot_meta, scans, compaction, image files."""

import contextlib
import inspect
import os
import random
import re
import resource
import shutil
import signal
import stat
import struct
import tempfile
import threading

import pytest

from corvale_trie import CorvaleBlobMap, _corvale
from conftest import SEED, U64_MAX, notes, raises_exactly, requires_test_hooks

ARENA_ERR = "Blob allocation error: {}"
CORRUPT = "Failed to load file: Corrupted blob record header"


def test_surface_docstrings_and_signatures():
    assert CorvaleBlobMap.__doc__ == (
        "A high-performance map from 64-bit integer keys to arbitrary-length byte payloads\n"
        "backed by inline polymorphic 64-bit value slots and chunked slab arenas."
    )
    assert str(inspect.signature(CorvaleBlobMap)) == "(chunk_size=None)"
    sigs = {
        "len": "()",
        "is_empty": "()",
        "contains_key": "(key)",
        "insert": "(key, data, hot_meta=0)",
        "get": "(key)",
        "get_bytes": "(key)",
        "remove": "(key)",
        "clear": "()",
        "mem_used": "()",
        "compact": "()",
        "scan_filtered": "(start_key, end_key, predicate=None, callback=None)",
        "save_to_file": "(path)",
        "load_from_file": "(path)",
    }
    m = CorvaleBlobMap()
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(m, name))) == sig, name
    assert CorvaleBlobMap.empty.__doc__ == "Property returning True if empty."
    assert CorvaleBlobMap.compact.__doc__.endswith(
        "`(live_bytes_before, live_bytes_after, total_allocated_before, total_allocated_after)`."
    )
    with pytest.raises(TypeError):
        iter(m)
    with pytest.raises(TypeError):
        for _ in m:
            pass


def test_new_map_and_point_operations():
    m = CorvaleBlobMap()
    assert len(m) == 0 and m.len() == 0 and m.empty and m.is_empty() and not m
    assert repr(m) == "CorvaleBlobMap(len=0, mem_used=0)"
    assert m.compact() == (0, 0, 0, 0)

    m[1] = b"abc"
    assert m[1] == b"abc" and m.get(1) == (b"abc", 0) and m.get_bytes(1) == b"abc"
    assert 1 in m and m.contains_key(1)
    m.insert(2, b"12345678", 5)
    assert m.get(2) == (b"12345678", 5)
    m[2] = b"12345678"
    assert m.get(2) == (b"12345678", 0)
    m.insert(3, b"xy", 2**32 - 1)
    assert m.get(3) == (b"xy", 0)
    m.insert(4, b"", 7)
    assert m.get(4) == (b"", 0)
    m.insert(5, b"12345678", 0xFFFFFF)
    assert m.get(5) == (b"12345678", 0xFFFFFF)
    m.insert(6, "\u00e9")
    assert m[6] == b"\xc3\xa9"
    ba = bytearray(b"mutable payload")
    m.insert(7, ba, hot_meta=1)
    ba[0] = 0
    assert m.get(7) == (b"mutable payload", 1)
    assert len(m) == 7 and m
    assert repr(m) == f"CorvaleBlobMap(len=7, mem_used={m.mem_used()})"
    assert m.mem_used() >= 2 * 1024 * 1024

    for op in (lambda: m[99], lambda: m.__delitem__(99)):
        with raises_exactly(KeyError, "Key 99 not found in CorvaleBlobMap"):
            op()
    assert m.remove(99) is False and m.get(99) is None and m.get_bytes(99) is None
    assert m.remove(1) is True and 1 not in m
    del m[2]
    assert 2 not in m
    m.clear()
    assert len(m) == 0 and not m and m.mem_used() == 0


def test_bad_input_leaves_the_map_unchanged():
    m = CorvaleBlobMap()
    m.insert(1, b"original", 3)
    with raises_exactly(RuntimeError, ARENA_ERR.format("hot_meta exceeds the 24-bit ArenaMeta field")):
        m.insert(1, b"12345678", 2**24)
    with raises_exactly(OverflowError, "out of range integral type conversion attempted") as e:
        m.insert(1, b"ab", 2**32)
    assert notes(e) == ["while processing 'hot_meta'"]
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        m.insert(1, b"ab", -1)
    with pytest.raises(OverflowError) as e:
        m.insert(1, b"ab", 2**70)
    assert notes(e) == ["while processing 'hot_meta'"]
    with pytest.raises(TypeError) as e:
        m.insert(1, b"ab", None)
    assert notes(e) == ["while processing 'hot_meta'"]
    # hot_meta is converted before data, and data carries no note.
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        m.insert(1, memoryview(b"x"), -1)
    for bad in (memoryview(b"abc"), 5, None, [1]):
        with raises_exactly(TypeError, "Expected bytes, bytearray, or str for key") as e:
            m.insert(1, bad)
        assert notes(e) == []
        with raises_exactly(TypeError, "Expected bytes, bytearray, or str for key"):
            m[1] = bad
    for bad_key, exc in ((-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.5, TypeError)):
        with pytest.raises(exc) as e:
            m.insert(bad_key, b"x")
        assert notes(e) == ["while processing 'key'"]
        with pytest.raises(exc):
            bad_key in m
    assert m.get(1) == (b"original", 3) and len(m) == 1

    small = CorvaleBlobMap(0)
    small.insert(1, b"a" * (4096 - 8))
    with raises_exactly(RuntimeError, ARENA_ERR.format("Arena memory allocation failed")):
        small.insert(2, b"a" * (4096 - 7))
    assert 2 not in small
    with pytest.raises(OverflowError) as e:
        CorvaleBlobMap(-1)
    assert notes(e) == ["while processing 'chunk_size'"]
    big = CorvaleBlobMap(2**40)
    big.insert(0, b"x" * 16)
    assert big.mem_used() >= 0x40000000
    with raises_exactly(RuntimeError, ARENA_ERR.format("Arena growth exceeded the addressable/allowed ceiling")):
        big.insert(1, b"x" * (0x40000000 - 8))


def test_compaction_accounting():
    m = CorvaleBlobMap(4096)
    for k in range(10):
        m.insert(k, bytes([k]) * 100, k)
    for k in range(10):
        m.insert(k, bytes([k]) * 100, k)  # every first record is now dead
    m.insert(20, b"inline")
    live, live_after, total, total_after = m.compact()
    assert live == live_after == 10 * 108
    assert total == 4096 and total_after == 4096
    assert all(m.get(k) == (bytes([k]) * 100, k) for k in range(10))
    for k in range(5):
        m.remove(k)
    assert m.compact() == (5 * 108, 5 * 108, 4096, 4096)
    for k in range(5, 10):
        m.insert(k, b"tiny")
    assert m.compact() == (0, 0, 4096, 0)
    assert m.get(20) == (b"inline", 0)


def test_scan_filtered_contract():
    m = CorvaleBlobMap()
    for k in range(10):
        m.insert(k * 10, bytes([65 + k]) * (k + 4), k)  # keys 0..30 inline (hot_meta reads 0)
    full = m.scan_filtered(0, U64_MAX)
    assert [t[0] for t in full] == list(range(0, 100, 10))
    assert full[0] == (0, b"AAAA", 0) and full[5] == (50, b"F" * 9, 5)
    assert m.scan_filtered(50, 40) == [] and m.scan_filtered(50, 50) == [(50, b"F" * 9, 5)]

    calls = []
    assert m.scan_filtered(0, 99, lambda k, h: calls.append((k, h)) or False, lambda *a: 1 / 0) == []
    assert calls == [(k * 10, k if k >= 4 else 0) for k in range(10)]

    seen = []
    assert m.scan_filtered(0, 99, callback=lambda k, p, h: seen.append(k)) == []
    assert seen == [0]
    seen.clear()
    assert m.scan_filtered(15, 75, None, lambda k, p, h: seen.append((k, p, h)) or True) == []
    assert [s[0] for s in seen] == [20, 30, 40, 50, 60, 70]
    assert isinstance(seen[0][1], bytes)

    pred_calls, cb_calls = [], []

    def pred(k, h):
        pred_calls.append(k)
        if len(pred_calls) == 3:
            raise ValueError("third")
        return True

    with raises_exactly(ValueError, "third"):
        m.scan_filtered(0, 99, pred, lambda k, p, h: cb_calls.append(k) or True)
    assert pred_calls == [0, 10, 20] and cb_calls == [0, 10]

    with pytest.raises(TypeError):
        m.scan_filtered(0, 99, 5)
    assert m.scan_filtered(200, 300, 5, 5) == []

    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    with raises_exactly(ZeroDivisionError, "truth"):
        m.scan_filtered(0, 99, lambda k, h: Falsy())
    with raises_exactly(ZeroDivisionError, "truth"):
        m.scan_filtered(0, 99, callback=lambda k, p, h: Falsy())

    before = (len(m), m.mem_used(), m.scan_filtered(0, U64_MAX))

    def mutate(k, p, h):
        assert m.get(k) == (p, h) and k in m and len(m) == 10
        assert m.scan_filtered(k, k) == [(k, p, h)]
        m.insert(1000, b"no")

    with raises_exactly(RuntimeError, "Already borrowed"):
        m.scan_filtered(0, 99, callback=mutate)
    for mutation in (lambda: m.remove(0), m.clear, m.compact, lambda: m.__setitem__(0, b"x"),
                     lambda: m.__delitem__(0)):
        def cb(k, p, h, mutation=mutation):
            with raises_exactly(RuntimeError, "Already borrowed"):
                mutation()
            return True

        m.scan_filtered(0, 99, callback=cb)
    assert (len(m), m.mem_used(), m.scan_filtered(0, U64_MAX)) == before

    with pytest.raises(OverflowError) as e:
        m.scan_filtered(-1, 5)
    assert notes(e) == ["while processing 'start_key'"]
    with pytest.raises(TypeError):
        m.scan_filtered(1.5, 5)
    with pytest.raises(TypeError):
        m.scan_filtered(1)


def test_image_files(tmp_path):
    m = CorvaleBlobMap(4096)
    m.insert(2, b"hi")
    m.insert(9, b"x" * 100, 5)
    m.insert(10, b"dead" * 10)
    m.remove(10)
    path = str(tmp_path / "img")
    total = m.save_to_file(path)
    data = (tmp_path / "img").read_bytes()
    assert total == len(data) == 64 + 16 * 2 + 24 + 160
    assert data[:8] == b"CORVALE\0"
    assert struct.unpack_from("<IIQQQQQQ", data, 8) == (1, 0, 2, 64, 96, total, 4096, 1)
    assert struct.unpack_from("<QQQQ", data, 64) == (2, 0x696802, 9, (5 << 40) | 0x10)

    loaded = CorvaleBlobMap.load_from_file(path)
    again = m.load_from_file(path)
    assert again is not m and len(m) == 2
    for x in (loaded, again):
        assert len(x) == 2 and x.get(2) == (b"hi", 0) and x.get(9) == (b"x" * 100, 5)
        assert x.mem_used() - 4096 >= 0
    loaded.insert(11, b"y" * 20)
    assert loaded.get(11) == (b"y" * 20, 0)

    empty = str(tmp_path / "empty")
    assert CorvaleBlobMap().save_to_file(empty) == 64
    assert len(CorvaleBlobMap.load_from_file(empty)) == 0

    with raises_exactly(OSError, "Failed to save file: No such file or directory (os error 2)") as e:
        m.save_to_file(str(tmp_path / "missing" / "img"))
    assert e.value.errno is None
    with raises_exactly(OSError, "Failed to save file: file name contained an unexpected NUL byte"):
        m.save_to_file(path + "\0x")
    if os.access("/dev/full", os.W_OK):
        with raises_exactly(OSError, "Failed to save file: No space left on device (os error 28)"):
            m.save_to_file("/dev/full")
    with pytest.raises(TypeError) as e:
        m.save_to_file(5)
    assert notes(e) == ["while processing 'path'"]

    short = tmp_path / "short"
    short.write_bytes(b"0123456789")
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    truncated = tmp_path / "truncated"
    truncated.write_bytes(data[:-20])
    for bad in (str(tmp_path / "none"), str(short), str(tmp_path), fifo, "/dev/zero", path + "\0", str(truncated)):
        with raises_exactly(OSError, CORRUPT) as e:
            CorvaleBlobMap.load_from_file(bad)
        assert e.value.errno is None
    with pytest.raises(TypeError):
        CorvaleBlobMap.load_from_file(b"bytes path")


def test_thread_binding():
    m = CorvaleBlobMap()
    errors = []

    def other():
        try:
            len(m)
        except RuntimeError as e:
            errors.append(str(e))
        try:
            m.insert(1, b"x")
        except RuntimeError as e:
            errors.append(str(e))

    t = threading.Thread(target=other)
    t.start()
    t.join()
    assert errors == ["_corvale::blobmap::CorvaleBlobMap is unsendable, but sent to another thread"] * 2


def test_differential_against_dict(tmp_path):
    rng = random.Random(SEED)
    m = CorvaleBlobMap(rng.choice([0, 5000, None]))
    model = {}
    path = str(tmp_path / "round")

    def check():
        assert len(m) == len(model)
        for k, (p, h) in model.items():
            assert m.get(k) == (p, h), k
        assert m.scan_filtered(0, U64_MAX) == [(k, p, h) for k, (p, h) in sorted(model.items())]

    for step in range(4000):
        op = rng.random()
        k = rng.randrange(2**64) if rng.random() < 0.2 else rng.randrange(300)
        if op < 0.5:
            n = rng.choice([0, 3, 7, 8, 9, 50, 200, rng.randrange(1000)])
            p = rng.randbytes(n)
            h = rng.randrange(2**24)
            m.insert(k, p, h)
            model[k] = (p, h if n >= 8 else 0)
        elif op < 0.7:
            assert m.remove(k) == (model.pop(k, None) is not None)
        elif op < 0.85:
            got = m.get(k)
            assert got == model.get(k)
        elif op < 0.95:
            lo, hi = sorted((rng.randrange(300), rng.randrange(300)))
            mod = rng.randrange(1, 4)
            stop = rng.randrange(1, 10)
            got = []
            m.scan_filtered(lo, hi, lambda k, h: h % mod == 0,
                            lambda k, p, h: got.append((k, p, h)) or len(got) < stop)
            want = [(kk, p, h) for kk, (p, h) in sorted(model.items()) if lo <= kk <= hi and h % mod == 0]
            assert got == want[:stop]
        elif op < 0.98:
            live_before, live_after, _, _ = m.compact()
            assert live_before == live_after == sum(len(p) + 8 for p, _ in model.values() if len(p) >= 8)
        else:
            m.save_to_file(path)
            m = CorvaleBlobMap.load_from_file(path)
            check()
    check()


def _image(chunk_size, entries, chunk):
    """An image with one chunk record holding `chunk`, built field by field."""
    used = len(chunk)
    padded = chunk + b"\0" * (-used % 16)
    total = 64 + 16 * len(entries) + 24 + len(padded)
    head = b"CORVALE\0" + struct.pack("<IIQQQQQQ", 1, 0, len(entries), 64, 64 + 16 * len(entries),
                                      total, chunk_size, 1)
    index = b"".join(struct.pack("<QQ", k, s) for k, s in entries)
    return head + index + struct.pack("<QQII", chunk_size, used, 1, 0) + padded


def test_broken_records_have_no_payload_anywhere(tmp_path):
    good = struct.pack("<II", 8, 1) + b"GOODGOOD"
    stale = struct.pack("<II", 8, 2) + b"BADBADBA"  # generation 2 in a chunk of generation 1
    slot = lambda off, meta: 0x10 | (off // 16) << 8 | meta << 40  # noqa: E731
    entries = [(1, slot(0, 3)), (2, slot(16, 4)), (3, 0x0809)]  # 3: unknown tag
    path = tmp_path / "img"
    path.write_bytes(_image(4096, entries, good + stale))
    m = CorvaleBlobMap.load_from_file(str(path))
    assert len(m) == 3 and 2 in m and m.contains_key(3)
    for k in (2, 3):
        assert m.get(k) is None and m.get_bytes(k) is None
        with raises_exactly(KeyError, f"Key {k} not found in CorvaleBlobMap"):
            m[k]
    seen = []
    assert m.scan_filtered(0, 10, lambda k, h: seen.append((k, h)) or True) == [(1, b"GOODGOOD", 3)]
    assert seen == [(1, 3), (2, 4), (3, 0)]
    assert m.compact() == (16, 16, 4096, 4096)  # key 1 moves to 0, key 2's old offset 16 is empty
    m.insert(5, b"NEWNEWNEW!")  # lands at offset 16 in the fresh arena
    assert m.get(2) is None and m.get(5) == (b"NEWNEWNEW!", 0)
    m.save_to_file(str(path))
    m = CorvaleBlobMap.load_from_file(str(path))
    assert m.get(2) is None and m.get(1) == (b"GOODGOOD", 3) and len(m) == 4
    assert m.remove(2) and m.compact()[0] == 16 + 18

    # A repeated key: the later record wins and only it counts as live.
    path.write_bytes(_image(4096, [(7, slot(0, 1)), (7, slot(16, 2))], good + struct.pack("<II", 3 + 8, 1) + b"later-entry"))
    m = CorvaleBlobMap.load_from_file(str(path))
    assert len(m) == 1 and m.get(7) == (b"later-entry", 2)
    assert m.compact()[0] == 19


def _records_image(chunk_size, entries, records):
    """An image of one chunk holding `records` (payloads, back to back) and
    the index `entries` of (key, record number, hot_meta) in file order;
    a record number of None stands for an inline payload of its key's low byte."""
    chunk = b""
    offsets = []
    for p in records:
        offsets.append(len(chunk))
        rec = struct.pack("<II", len(p), 1) + p
        chunk += rec + b"\0" * (-len(rec) % 16)
    slots = []
    for k, r, meta in entries:
        if r is None:
            slots.append((k, 1 | (k & 0xFF) << 8))
        else:
            slots.append((k, 0x10 | (offsets[r] // 16) << 8 | meta << 40))
    return _image(chunk_size, slots, chunk)


def test_loader_keeps_file_order_semantics(tmp_path):
    """Ascending, shuffled and repeated index records: the loaded map is the
    one that inserting the records in file order gives (the later record of a
    key wins; its index node memory equals a CorvaleMap's built by inserting
    the keys in that order), and only the records it keeps count as live."""
    from corvale_trie import CorvaleMap

    rng = random.Random(SEED ^ 0x10AD)
    path = tmp_path / "img"
    for round_ in range(40):
        n = rng.choice([1, 5, 31, 32, 33, 300, 2000])
        if rng.random() < 0.5:
            keys = sorted({rng.randrange(2**64) for _ in range(n)})
        else:
            base = rng.randrange(2**64 - 10 * n)
            keys = sorted(rng.sample(range(base, base + 10 * n), n))
        n = len(keys)
        records = [rng.randbytes(rng.randrange(8, 60)) for _ in range(n)]
        entries = [(k, i if rng.random() < 0.8 else None, rng.randrange(2**24)) for i, k in enumerate(keys)]
        cut = rng.randrange(n + 1)  # from here on the records are out of order and repeat
        tail = entries[cut:]
        for _ in range(rng.randrange(3) * len(tail) // 2):
            tail.append(rng.choice(entries))
        rng.shuffle(tail)
        entries = entries[:cut] + tail
        path.write_bytes(_records_image(4096 * 64, entries, records))

        model = {}
        order = CorvaleMap()
        for k, r, meta in entries:
            model[k] = (records[r], meta) if r is not None else (bytes([k & 0xFF]), 0)
            order.insert(k, 0)
        m = CorvaleBlobMap.load_from_file(str(path))
        assert len(m) == len(model), round_
        assert m.mem_used() == 4096 * 64 + order.mem_used(), round_
        assert m.scan_filtered(0, U64_MAX) == [(k, p, h) for k, (p, h) in sorted(model.items())]
        live = sum(len(p) + 8 for p, _ in model.values() if len(p) >= 8)
        assert m.compact()[:2] == (live, live), round_


def test_large_file_with_a_bad_header_is_rejected(tmp_path):
    """A sparse file of 4 GiB is judged by its header: a wrong magic, or an
    index that cannot fit, is rejected without the file being read."""
    m = CorvaleBlobMap(4096)
    m.insert(1, b"a" * 30, 3)
    path = tmp_path / "img"
    m.save_to_file(str(path))
    good = path.read_bytes()
    big = tmp_path / "big"
    for head in (b"X" + good[1:], good[:16] + struct.pack("<Q", 2**28) + good[24:]):
        with open(big, "wb") as f:
            f.write(head)
            f.truncate(4 << 30)
        with raises_exactly(OSError, CORRUPT):
            CorvaleBlobMap.load_from_file(str(big))
    with open(big, "wb") as f:
        f.write(good)
        f.truncate(4 << 30)
    assert CorvaleBlobMap.load_from_file(str(big)).get(1) == (b"a" * 30, 3)


# ---------------------------------------------------------------------------
# A save replaces the file: old image or new, never a mix


def _open_fds():
    return len(os.listdir("/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"))


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _two_maps():
    old, new = CorvaleBlobMap(4096), CorvaleBlobMap(4096)
    old.insert(1, b"the old image " * 5, 3)
    for k in range(60):
        new.insert(k * 977, bytes([k]) * (k * 37 % 900), k)
    return old, new


@contextlib.contextmanager
def _umask(mask):
    before = os.umask(mask)
    try:
        yield
    finally:
        os.umask(before)


def _as_unprivileged(fn):
    """fn(), as a user that file permissions bind: in a child process that
    drops root to uid/gid 65534 when the tests run as root."""
    if os.geteuid() != 0:
        return fn()
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report fn's outcome and leave at once
        try:
            os.setgid(65534)
            os.setuid(65534)
            out = repr(fn())
        except BaseException as e:  # noqa: BLE001 (reported to the parent)
            out = "raised " + repr(e)
        os.write(w, out.encode())
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        out = f.read()
    os.waitpid(pid, 0)
    return out


def test_save_keeps_mode_owner_links_and_other_hard_links(tmp_path):
    old, new = _two_maps()
    fresh = tmp_path / "fresh.img"
    with _umask(0o027):
        assert new.save_to_file(str(fresh)) == fresh.stat().st_size
    assert stat.S_IMODE(fresh.stat().st_mode) == 0o640
    new_image = fresh.read_bytes()

    # An existing file: its bits stay whatever the umask, a hard link to it
    # keeps the old image, and (for root) its owner and group stay.
    path = tmp_path / "image.img"
    old.save_to_file(str(path))
    old_image = path.read_bytes()
    os.link(path, tmp_path / "hard")
    os.chmod(path, 0o2604)
    if os.geteuid() == 0:
        os.chown(path, 65534, 65534)
    with _umask(0o077):
        new.save_to_file(str(path))
    st = path.stat()
    assert stat.S_IMODE(st.st_mode) == 0o2604 and st.st_nlink == 1 and path.read_bytes() == new_image
    assert os.geteuid() != 0 or (st.st_uid, st.st_gid) == (65534, 65534)
    assert (tmp_path / "hard").read_bytes() == old_image

    # A symbolic link (relative, through a second one) stays a link; the
    # file it leads to is replaced in its own directory; a dangling link
    # makes the file it names.
    sub = tmp_path / "sub"
    sub.mkdir()
    old.save_to_file(str(sub / "real.img"))
    os.symlink("sub/real.img", tmp_path / "link1")
    os.symlink("link1", tmp_path / "link2")
    os.symlink(str(sub / "later.img"), tmp_path / "dangling")
    for link, real in (("link2", "real.img"), ("dangling", "later.img")):
        new.save_to_file(str(tmp_path / link))
        assert os.path.islink(tmp_path / link) and (sub / real).read_bytes() == new_image
    assert sorted(os.listdir(sub)) == ["later.img", "real.img"]

    # Names up to the longest a directory holds, in ASCII and in UTF-8.
    for name in ("n" * 255, "\u00e9" * 127):
        for m in (old, new):
            m.save_to_file(str(tmp_path / name))
        assert (tmp_path / name).read_bytes() == new_image
    assert sorted(os.listdir(tmp_path)) == sorted(["fresh.img", "image.img", "hard", "sub", "link1", "link2",
                                                   "dangling", "n" * 255, "\u00e9" * 127])


def test_a_path_that_is_not_a_regular_file_is_written_in_place(tmp_path):
    _, new = _two_maps()
    new.save_to_file(str(tmp_path / "regular"))
    image = (tmp_path / "regular").read_bytes()
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(_read(fifo)))
    reader.start()
    assert new.save_to_file(fifo) == len(image)
    reader.join()
    assert got == [image] and stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert new.save_to_file("/dev/null") == len(image) and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    with raises_exactly(OSError, "Failed to save file: Is a directory (os error 21)"):
        new.save_to_file(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == ["fifo", "regular"]


def _refusals():
    old, new = _two_maps()
    d = tempfile.mkdtemp()
    path = os.path.join(d, "img")
    out = []
    try:
        old.save_to_file(path)
        image = _read(path)
        for file_mode, dir_mode in ((0o444, 0o755), (0o644, 0o555)):
            os.chmod(path, file_mode)
            os.chmod(d, dir_mode)
            try:
                new.save_to_file(path)
            except OSError as e:
                out.append(str(e))
            os.chmod(d, 0o755)
            out.append(_read(path) == image and os.listdir(d) == ["img"])
    finally:
        shutil.rmtree(d)
    return out


def test_refusals_keep_the_old_image():
    """A file the caller may not write is refused as before; so is a file in
    a directory the caller may not write, which cannot be replaced."""
    denied = "Failed to save file: Permission denied (os error 13)"
    assert str(_as_unprivileged(_refusals)) == str([denied, True, denied, True])


@pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="no file-size limit signal")
def test_file_size_limit_at_every_offset_keeps_the_old_image(tmp_path):
    old, new = _two_maps()
    new.save_to_file(str(tmp_path / "img"))
    total = os.path.getsize(tmp_path / "img")
    old.save_to_file(str(tmp_path / "img"))
    old_image = (tmp_path / "img").read_bytes()
    fds = _open_fds()
    rng = random.Random(SEED)
    limits = sorted({0, 1, 63, 64, 65, 4096, total - 1} | {rng.randrange(total) for _ in range(60)})
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    try:
        for limit in limits:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
            try:
                with raises_exactly(OSError, "Failed to save file: File too large (os error 27)"):
                    new.save_to_file(str(tmp_path / "img"))
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
            assert os.listdir(tmp_path) == ["img"] and _open_fds() == fds, limit
            assert (tmp_path / "img").read_bytes() == old_image, limit
    finally:
        signal.signal(signal.SIGXFSZ, handler)
    assert CorvaleBlobMap.load_from_file(str(tmp_path / "img")).get(1) == old.get(1)


@pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="no file-size limit signal")
def test_a_killed_save_leaves_its_named_new_file(tmp_path):
    old, new = _two_maps()
    path = str(tmp_path / "img")
    old.save_to_file(path)
    image = _read(path)
    pid = os.fork()
    if pid == 0:  # killed by SIGXFSZ at the first write past 100 bytes
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, resource.RLIM_INFINITY))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        new.save_to_file(path)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGXFSZ
    left = sorted(os.listdir(tmp_path))
    assert left[1:] == ["img"] and re.fullmatch(rf"\.img\.corvale-save-{pid}-[0-9a-f]{{8}}", left[0])
    assert _read(path) == image and os.path.getsize(tmp_path / left[0]) == 100


# ---------------------------------------------------------------------------
# Each file step of a save or a load failing in turn (testing hook)


def _fail_steps_in_turn(call, after_failure=lambda: None):
    """call() with its n-th file step failing, n = 1, 2, ... until it gets
    through: its answer and, for each failure, what it raised and what
    after_failure() returned then."""
    failures = []
    for n in range(1, 10000):
        _corvale._fail_file_step_after(n)
        try:
            answer = call()
        except (OSError, MemoryError) as e:
            _corvale._fail_file_step_after(0)
            failures.append((e, after_failure()))
            continue
        finally:
            _corvale._fail_file_step_after(0)
        return answer, failures
    pytest.fail("the call never got through")


# (where the save goes, the fewest file steps it takes)
SAVE_STEPS = [("new file", 8), ("existing file", 12), ("symbolic link", 14), ("in place", 3)]


@requires_test_hooks
@pytest.mark.parametrize("where, steps", SAVE_STEPS, ids=[s[0] for s in SAVE_STEPS])
def test_a_save_failing_at_each_file_step_keeps_the_old_image(tmp_path, where, steps):
    """Every failure leaves the old image and no other file or descriptor,
    but the last, the directory's flush, or the close of a file written in
    place: the new image is in place then."""
    old, new = _two_maps()
    new.save_to_file(str(tmp_path / "new"))
    new_image = (tmp_path / "new").read_bytes()
    os.remove(tmp_path / "new")
    if where != "new file":
        old.save_to_file(str(tmp_path / "img"))
    if where == "symbolic link":
        os.symlink("img", tmp_path / "link")
    target = {"symbolic link": tmp_path / "link", "in place": "/dev/null"}.get(where, tmp_path / "img")

    def files():
        return {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path) if name != "link"}

    before, fds = files(), _open_fds()

    def save():  # from the state before each time
        for name in set(os.listdir(tmp_path)) - set(before) - {"link"}:
            os.remove(tmp_path / name)
        for name, data in before.items():
            (tmp_path / name).write_bytes(data)
        return new.save_to_file(str(target))

    total, failures = _fail_steps_in_turn(save, lambda: (files(), _open_fds()))
    assert total == len(new_image) and len(failures) >= steps
    io_error = "Failed to save file: Input/output error (os error 5)"
    assert [str(e) for e, _ in failures] == [io_error] * len(failures)
    after = [state for _, state in failures]
    notes = [getattr(e, "__notes__", []) for e, _ in failures]
    assert notes == [[]] * (len(failures) - 1) + [["the new image is in place"]]
    if where == "in place":
        assert after == [(before, fds)] * len(failures)
    else:
        assert after == [(before, fds)] * (len(failures) - 1) + [({**before, "img": new_image}, fds)]
        assert os.path.islink(tmp_path / "link") == (where == "symbolic link")


@requires_test_hooks
def test_a_load_failing_at_each_file_step(tmp_path):
    """The read window that cannot be had is MemoryError; every other failed
    step of a load reads as a damaged file; none leaves a descriptor or an
    object."""
    _, new = _two_maps()
    path = str(tmp_path / "img")
    new.save_to_file(path)
    before = _open_fds(), _corvale._live_frames()
    loaded, failures = _fail_steps_in_turn(lambda: CorvaleBlobMap.load_from_file(path),
                                           lambda: (_open_fds(), _corvale._live_frames()))
    # open, fstat, the lock, fstat once it is held, the window, then at least one read
    assert [(type(e), e.args) for e, _ in failures[:5]] == [(OSError, (CORRUPT,))] * 4 + [(MemoryError, ())]
    assert len(failures) >= 6 and all(e.args == (CORRUPT,) for e, _ in failures[5:])
    assert [state for _, state in failures] == [before] * len(failures)
    assert loaded.scan_filtered(0, U64_MAX) == new.scan_filtered(0, U64_MAX)
