"""Shared helpers and fixtures of the Python tests.

The tests exercise the installed package: its sources live in src/, so
`python -m pytest` run from the repository root imports the installed
package, never the sources beside it.
"""

import contextlib
import gc
import os
import struct
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from corvale_trie import _corvale

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

U64_MAX = 2**64 - 1

# The testing hooks (_fail_allocations_after, _fail_file_step_after,
# _fail_chown_with, _pause_at, _interrupt_after,
# _live_frames, _alloc_stats, _bytes_map_hash_mask) exist only in a module built with the
# CMake option CORVALE_TEST_HOOKS=ON. Every test that calls one carries the
# mark requires_test_hooks, and is skipped on a default build. The test
# command (scripts/test-all.sh) runs the tests on a build with the hooks,
# with CORVALE_REQUIRE_TEST_HOOKS=1, under which their absence is an error,
# and once on a default build, with CORVALE_REQUIRE_TEST_HOOKS=0, under
# which their presence is (a test that uses a hook without the mark fails
# there).
HAS_TEST_HOOKS = hasattr(_corvale, "_fail_allocations_after")
TEST_HOOKS_REQUIRED = os.environ.get("CORVALE_REQUIRE_TEST_HOOKS") == "1"
TEST_HOOKS_REFUSED = os.environ.get("CORVALE_REQUIRE_TEST_HOOKS") == "0"
requires_test_hooks = pytest.mark.skipif(
    not HAS_TEST_HOOKS and not TEST_HOOKS_REQUIRED,
    reason="the installed module was built without CORVALE_TEST_HOOKS=ON, so its testing hooks are absent")


def pytest_sessionstart(session):
    if TEST_HOOKS_REQUIRED and not HAS_TEST_HOOKS:
        pytest.exit("CORVALE_REQUIRE_TEST_HOOKS=1 but the installed module has no testing hooks: "
                    "install it with --config-settings=cmake.define.CORVALE_TEST_HOOKS=ON", returncode=1)
    if TEST_HOOKS_REFUSED and HAS_TEST_HOOKS:
        pytest.exit(f"CORVALE_REQUIRE_TEST_HOOKS=0 but the module imported ({_corvale.__file__}) "
                    "has its testing hooks: a default build must be the one imported", returncode=1)


def pytest_collection_finish(session):
    # What the collection made lives to the end: kept out of the collections
    # below, which then cost a fraction of a millisecond.
    gc.collect()
    gc.freeze()


@pytest.fixture(autouse=True)
def collect_cycles_on_the_main_thread():
    """Collects a test's cyclic garbage on the main thread when it ends.

    Such garbage often holds thread-bound containers: an exception caught by
    pytest.raises keeps the test's frame, and with it the frame's containers,
    in a cycle. The collector runs on whichever thread happens to trigger it,
    so left alone it could tear them down on a worker thread of a later test,
    where they are reported as dropped on another thread."""
    yield
    gc.collect()


# Seed of the randomized tests; CORVALE_TEST_SEED explores others.
SEED = int(os.environ.get("CORVALE_TEST_SEED", "20261206"))


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


@contextlib.contextmanager
def raises_exactly(exc_type, message):
    """pytest.raises that also checks the exception's single argument."""
    with pytest.raises(exc_type) as exc_info:
        yield exc_info
    assert exc_info.value.args == (message,)


def packed(*values):
    """The native-endian packed u64 encoding of `values`."""
    return struct.pack(f"={len(values)}Q", *values)


class IndexOf:
    """Converts to `value` through __index__, running `action` first."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


class OwnerThread:
    """A thread that creates objects, runs calls on them and finally drops
    them, so that thread-bound objects are torn down on their own thread."""

    def __init__(self):
        self.objects = {}
        self._pool = ThreadPoolExecutor(max_workers=1)

    def run(self, fn):
        """Runs fn() on the owner thread and returns its result."""
        return self._pool.submit(fn).result()

    def make(self, name, factory):
        """Creates objects[name] = factory() on the owner thread."""
        self.run(lambda: self.objects.__setitem__(name, factory()))

    def close(self):
        self.run(self.objects.clear)
        self._pool.shutdown()


@pytest.fixture
def owner_thread():
    worker = OwnerThread()
    try:
        yield worker
    finally:
        worker.close()


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what the interpreter reports through sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value))))
    return seen


def fail_in_turn(make, call, state, allowed):
    """Runs call(c) on c = make() with its n-th allocation failing, for
    n = 1, 2, ... On MemoryError the state of c must be one of allowed(before)
    (c is made afresh when it changed). Returns the answer of the call that
    got through, its container and the number of failures."""
    c = make()
    before = state(c)
    failures = 0
    for n in range(1, 100000):
        _corvale._fail_allocations_after(n)
        try:
            answer = call(c)
        except MemoryError:
            _corvale._fail_allocations_after(0)
            now = state(c)
            assert now in allowed(before), f"allocation {n} failed and the container changed"
            if now != before:
                c = make()
            failures += 1
            continue
        finally:
            _corvale._fail_allocations_after(0)
        return answer, c, failures
    pytest.fail("the call never got through")
