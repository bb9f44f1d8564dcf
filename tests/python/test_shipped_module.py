"""What a user's installation holds: a module built without the testing hooks
(the CMake option CORVALE_TEST_HOOKS, off by default) has no name but those
of its __all__ and the module's own dunders."""

import json
import os
import subprocess
import sys

import pytest

from conftest import HAS_TEST_HOOKS, TEST_HOOKS_REQUIRED
from corvale_trie import _corvale

# A default build of the module (scripts/test-all.sh builds one and names it
# here), for when the installed module is a test build.
DEFAULT_MODULE = os.environ.get("CORVALE_DEFAULT_MODULE")

LOAD = """
import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("_corvale", sys.argv[1])
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
print(json.dumps({"all": module.__all__, "names": sorted(vars(module))}))
"""


def names_of_default_build():
    if not HAS_TEST_HOOKS:
        return list(_corvale.__all__), sorted(vars(_corvale))
    if not DEFAULT_MODULE:
        if TEST_HOOKS_REQUIRED:
            pytest.fail("CORVALE_DEFAULT_MODULE must name a default build of the module")
        pytest.skip("the installed module is a test build and CORVALE_DEFAULT_MODULE names no default build")
    out = subprocess.run([sys.executable, "-c", LOAD, DEFAULT_MODULE], capture_output=True, text=True, check=True)
    loaded = json.loads(out.stdout)
    return loaded["all"], loaded["names"]


def test_a_default_build_has_only_its_promised_names():
    listed, names = names_of_default_build()
    assert listed == _corvale.__all__  # the same classes, in the same order
    extra = [n for n in names if n not in listed and not (n.startswith("__") and n.endswith("__"))]
    assert extra == []
    assert "__version__" in listed


@pytest.mark.skipif(not HAS_TEST_HOOKS, reason="the installed module is a default build")
def test_a_test_build_keeps_its_hooks_out_of_all():
    hooks = {"_alloc_stats", "_live_frames", "_fail_allocations_after", "_fail_file_step_after", "_bytes_map_hash_mask",
             "_interrupt_after", "_pause_at", "_fail_chown_with"}
    assert hooks <= set(vars(_corvale))
    assert not hooks & set(_corvale.__all__)
