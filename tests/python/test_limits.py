"""What the containers do not do that a dict or set user might expect: no
comparison of contents, no pickling or copying, no None default for a
map's pop, no path objects but str."""

import copy
import os
import pickle

import pytest

from conftest import notes, raises_exactly
from corvale_trie import (CorvaleBlobMap, CorvaleBytesMap, CorvaleMap, CorvaleSet, CorvaleStrMap,
                          SyncCorvaleMap, SyncCorvaleSet)

CLASSES = [CorvaleSet, CorvaleMap, SyncCorvaleSet, SyncCorvaleMap, CorvaleStrMap, CorvaleBytesMap,
           CorvaleBlobMap]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_containers_compare_by_identity_and_are_not_pickled_or_copied(cls):
    a, b = cls(), cls()
    assert a == a and a != b and not (a == b)
    assert hash(a) == hash(a) and {a: 1, b: 2}[b] == 2
    try:
        for refuse in (pickle.dumps, copy.copy, copy.deepcopy):
            with raises_exactly(TypeError, f"cannot pickle 'corvale_trie._corvale.{cls.__name__}' object"):
                refuse(a)
    finally:
        # copyreg caches the slot names it looked for on the class: the
        # surface tests expect the class dictionary as the module made it.
        if "__slotnames__" in cls.__dict__:
            del cls.__slotnames__
    assert not hasattr(a, "copy") and a != set() and a != {}


def test_map_pop_default_none_is_no_default():
    m = CorvaleMap({1: 10})
    for call in (lambda: m.pop(2, None), lambda: m.pop(2, default=None), lambda: m.pop(2)):
        with raises_exactly(KeyError, "Key 2 not found in CorvaleMap"):
            call()
    assert m.pop(2, 0) == 0 and m.pop(1, None) == 10 and len(m) == 0


def test_paths_must_be_str(tmp_path):
    m = CorvaleBlobMap()
    m[1] = b"abc"
    path = tmp_path / "blobs.img"
    for given in (path, os.fsencode(path)):
        kind = type(given).__name__
        for call in (lambda: m.save_to_file(given), lambda: CorvaleBlobMap.load_from_file(given)):
            with raises_exactly(TypeError, f"'{kind}' object is not an instance of 'str'") as exc_info:
                call()
            assert notes(exc_info) == ["while processing 'path'"]
    assert not path.exists()
    assert m.save_to_file(str(path)) > 0 and CorvaleBlobMap.load_from_file(str(path))[1] == b"abc"
