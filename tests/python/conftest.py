"""Shared fixtures of the Python tests.

The tests exercise the installed package. `python -m pytest` run from the
repository root puts the root on sys.path, where the source directory
corvale_trie/ (which holds no compiled module) would shadow the installed
package; the root is taken off the path in that case.
"""

import os
import sys
import threading
import queue

import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _has_compiled_module(package_dir):
    try:
        names = os.listdir(package_dir)
    except OSError:
        return False
    return any(n.startswith("_corvale.") and n.endswith((".so", ".pyd")) for n in names)


if not _has_compiled_module(os.path.join(_ROOT, "corvale_trie")):
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]


class OwnerThread:
    """A thread that owns objects: it creates them, runs calls on them and,
    at the end of a test, drops them, so that thread-bound objects are torn
    down on the thread that made them."""

    def __init__(self):
        self.objects = {}
        self._calls = queue.Queue()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            item = self._calls.get()
            if item is None:
                return
            fn, done, finished = item
            item = None
            try:
                done.append((True, fn()))
            except BaseException as exc:  # handed back to the caller
                done.append((False, exc))
            fn = None
            finished.set()

    def run(self, fn):
        """Runs fn() on the owner thread and returns its result."""
        done = []
        finished = threading.Event()
        self._calls.put((fn, done, finished))
        finished.wait()
        ok, value = done.pop()
        if not ok:
            raise value
        return value

    def make(self, name, factory):
        """Creates objects[name] = factory() on the owner thread."""
        self.run(lambda: self.objects.__setitem__(name, factory()))

    def close(self):
        self.run(self.objects.clear)
        self._calls.put(None)
        self._thread.join()


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
