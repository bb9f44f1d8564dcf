"""docs/api.md names every public member of every class, and no member that
a class does not have.

The reference's convention: each container class has a section headed
"## `Name`", and the iterator classes share the section "## Iterators".
In a section, every table row that starts with a name in backticks
("| `insert(key)` |", "| `__len__`: `len(s)` |") documents the member of
that name. Elsewhere, `Class.member` in backticks must name a member that
exists, and a class named in backticks must exist."""

import os
import re

import pytest

import corvale_trie._corvale as module
from conftest import _ROOT

REFERENCE = os.path.join(_ROOT, "docs", "api.md")
CLASSES = [name for name in module.__all__ if name != "__version__"]
ITERATORS = [name for name in CLASSES if name.endswith("Iter")]
CONTAINERS = [name for name in CLASSES if name not in ITERATORS]


def members(name):
    """What the class defines itself: methods, properties, protocol slots
    and its constructor (__new__), as the stubs list them."""
    return set(vars(getattr(module, name))) - {"__doc__", "__module__"}


def reference_text():
    with open(REFERENCE, encoding="utf-8") as f:
        return f.read()


def documented():
    """{heading of a "## " section: the names its table rows start with}."""
    sections, current = {}, None
    for line in reference_text().splitlines():
        if line.startswith("## "):
            current = sections.setdefault(line[3:].strip(), set())
        elif current is not None and (row := re.match(r"\|\s*`([A-Za-z_]\w*)", line)):
            current.add(row.group(1))
    return sections


@pytest.mark.parametrize("name", CONTAINERS + ["Iterators"])
def test_each_section_names_exactly_the_members(name):
    section = "Iterators" if name == "Iterators" else f"`{name}`"
    rows = documented().get(section)
    assert rows is not None, f"docs/api.md has no section '## {section}'"
    for cls in ITERATORS if name == "Iterators" else [name]:
        have = members(cls)
        assert not have - rows, f"{cls}: not in docs/api.md: {sorted(have - rows)}"
        assert not rows - have, f"{cls}: docs/api.md names what it lacks: {sorted(rows - have)}"


def test_names_elsewhere_exist():
    text = reference_text()
    for cls, member in re.findall(r"`((?:Sync)?Corvale\w*)\.(\w+)", text):
        assert cls in CLASSES and hasattr(getattr(module, cls), member), f"{cls}.{member}"
    for cls in re.findall(r"`((?:Sync)?Corvale\w*)`", text):
        assert cls in CLASSES, cls
    assert all(f"`{name}`" in text for name in ITERATORS)
