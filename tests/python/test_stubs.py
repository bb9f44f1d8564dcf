"""The type stubs (src/corvale_trie/_corvale.pyi) name exactly the classes,
methods and properties that the module has, the package is marked as typed,
and every typed call of tests/typing/usage.py runs as its types say (mypy in
strict mode and stubtest check the stubs themselves: scripts/test-all.sh)."""

import ast
import importlib.util
import os

import pytest

import corvale_trie
import corvale_trie._corvale as module

_PACKAGE = os.path.dirname(corvale_trie.__file__)
_USAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "typing", "usage.py")


def _usage_module():
    spec = importlib.util.spec_from_file_location("corvale_typed_usage", _USAGE)
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    return usage


def _stub_classes():
    with open(os.path.join(_PACKAGE, "_corvale.pyi"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
            classes[node.name] = names - {"__new__"}
    return classes, tree


def test_stubs_name_exactly_what_exists():
    classes, tree = _stub_classes()
    assert os.path.exists(os.path.join(_PACKAGE, "py.typed"))
    assert set(classes) == set(module.__all__) - {"__version__"}
    for name, stubbed in classes.items():
        cls = getattr(module, name)
        present = set(vars(cls)) - {"__doc__", "__module__", "__new__"}
        assert stubbed == present, name
    top = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    top |= {t.id for n in tree.body if isinstance(n, ast.Assign) for t in n.targets}
    assert {"__version__", "__all__"} <= top
    listed = next(n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert ast.literal_eval(listed) == module.__all__
    assert not {n for n in dir(module) if n.startswith("_") and not n.startswith("__")} & (set(classes) | top)


_USES = sorted(name for name in vars(_usage_module()) if name.startswith("use_"))


@pytest.mark.parametrize("name", _USES)
def test_typed_usage_runs(name):
    getattr(_usage_module(), name)()


def test_typed_usage_covers_every_class():
    with open(_USAGE, encoding="utf-8") as f:
        text = f.read()
    for name in module.__all__[1:]:
        assert f"{name}(" in text, name
