"""insert_many reads a bytearray or a memoryview where it lies, so another
process, or a thread that does not hold the interpreter lock, can rewrite it
during the call. The keys that go in may then be those of either content or
a mix, but the call answers with the number of elements given, the
container holds at most that many keys and stays whole, and nothing is
written out of bounds (which used to crash the process). Each case runs
for a bounded time, racing many calls."""

import multiprocessing
import os
import random
import threading
import time
from multiprocessing import shared_memory

import pytest

from conftest import SEED, U64_MAX
from corvale_trie._corvale import CorvaleMap, CorvaleSet, SyncCorvaleMap, SyncCorvaleSet

CLASSES = (CorvaleSet, CorvaleMap, SyncCorvaleSet, SyncCorvaleMap)
MAPS = (CorvaleMap, SyncCorvaleMap)
N = 1 << 16  # keys a call: enough to be sorted, in runs split on the upper bits
SECONDS = 0.3  # of racing calls a case


def two_contents():
    """Keys and values (16 * N bytes): uniform, then every element 2**64-1, so
    a count taken from the first leaves one run far too small for the second."""
    rng = random.Random(f"{SEED}-races")
    return rng.randbytes(16 * N), U64_MAX.to_bytes(8, "little") * (2 * N)


def race_calls(cls, keys, values):
    """insert_many into fresh containers until SECONDS have passed."""
    deadline = time.monotonic() + SECONDS
    calls = 0
    while calls < 2 or time.monotonic() < deadline:
        c = cls()
        count = c.insert_many(keys, values) if cls in MAPS else c.insert_many(keys)
        assert count == N
        assert len(c) <= N
        calls += 1
    listed = list(c)
    assert len(listed) == len(c) and listed == sorted(set(listed))
    assert all(k in c for k in listed[:: max(1, len(listed) // 512)])


# -- another process, through shared memory ---------------------------------

def flip(name, contents):
    """In the child: rewrites the shared block with each content in turn
    until the parent sets the stop byte, or is gone."""
    parent = os.getppid()
    shm = shared_memory.SharedMemory(name)
    try:
        size = len(contents[0])
        shm.buf[size + 1] = 1  # started
        while shm.buf[size] == 0 and os.getppid() == parent:
            for c in contents:
                shm.buf[:size] = c
    finally:
        shm.close()


@pytest.fixture(scope="module")
def shared_block():
    contents = two_contents()
    size = len(contents[0])
    shm = shared_memory.SharedMemory(create=True, size=size + 2)  # data, stop byte, started byte
    child = None
    try:
        shm.buf[size:size + 2] = b"\x00\x00"
        # Spawned rather than forked: forking a process that runs threads
        # (NumPy's, say) is unsafe, and newer interpreters warn about it.
        child = multiprocessing.get_context("spawn").Process(target=flip, args=(shm.name, contents))
        child.start()
        deadline = time.monotonic() + 30
        while shm.buf[size + 1] == 0:
            assert child.is_alive() and time.monotonic() < deadline, "the child never started"
            time.sleep(0.01)
        yield shm, size
    finally:
        shm.buf[size] = 1
        if child is not None:
            child.join(5)
            if child.is_alive():
                child.kill()
                child.join()
            child.close()
        shm.close()
        shm.unlink()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_buffer_that_another_process_rewrites(shared_block, cls):
    shm, size = shared_block
    with shm.buf[: size // 2] as keys, shm.buf[size // 2 : size] as values:
        race_calls(cls, keys, values)


# -- a thread that does not hold the interpreter lock -----------------------

def read_at_start(fd, buffers):
    if hasattr(os, "preadv"):
        os.preadv(fd, buffers, 0)
    else:
        os.lseek(fd, 0, os.SEEK_SET)
        os.readv(fd, buffers)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_buffer_that_a_thread_rewrites_without_the_lock(tmp_path, cls):
    # One read of the file fills the keys and the values with each content
    # in turn, many times over, all of it with the interpreter lock released.
    a, b = two_contents()
    rounds = 12
    path = tmp_path / "contents"
    path.write_bytes((a + b) * rounds)
    keys, values = bytearray(a[: 8 * N]), bytearray(a[8 * N :])
    stop = threading.Event()
    fd = os.open(path, os.O_RDONLY)
    try:
        with memoryview(keys) as k, memoryview(values) as v:

            def rewrite():
                while not stop.is_set():
                    read_at_start(fd, [k, v] * (2 * rounds))

            writer = threading.Thread(target=rewrite)
            writer.start()
            try:
                race_calls(cls, keys, values)
            finally:
                stop.set()
                writer.join()
    finally:
        os.close(fd)
