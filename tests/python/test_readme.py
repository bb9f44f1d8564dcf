"""The examples of the README and of docs/ run as they stand and print
what they say.

Each ```python block of README.md and docs/*.md runs in a fresh
interpreter (one that imports NumPy skips where NumPy is not installed),
with a temporary directory in place of /tmp; a line
`print(...)  # text` must have printed exactly `text`. The quick start's
examples/example.py runs too. All run in the checkout's root, where the
quick start leaves its user: there `import corvale_trie` must find the
installed package."""

import glob
import io
import json
import os
import subprocess
import sys
import tokenize

import pytest

from conftest import _ROOT

DOCUMENTS = ["README.md"] + sorted(
    os.path.relpath(path, _ROOT) for path in glob.glob(os.path.join(_ROOT, "docs", "*.md")))

# Runs a block given on stdin and reports, as JSON, what each line printed.
# The block is compiled at its own line numbers of its document.
RUN_BLOCK = """
import builtins, io, json, sys
document, first_line, source = json.loads(sys.stdin.read())
printed = []
real_print = builtins.print

def recording_print(*args, **kwargs):
    out = io.StringIO()
    real_print(*args, **kwargs, file=out)
    printed.append((sys._getframe(1).f_lineno, out.getvalue()))

builtins.print = recording_print
code = compile("\\n" * (first_line - 1) + source, document, "exec")
exec(code, {"__name__": "__main__"})
real_print(json.dumps(printed))
"""


def python_blocks(document):
    """(document, line of the block's first line, source) of every python
    block of a document."""
    blocks, current = [], None
    with open(os.path.join(_ROOT, document), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if current is None and line.strip() == "```python":
                current = (number + 1, [])
            elif current is not None and line.strip() == "```":
                blocks.append((document, current[0], "".join(current[1])))
                current = None
            elif current is not None:
                current[1].append(line)
    return blocks


def promised_output(first_line, source):
    """{document line: text} for every `print(...)  # text` line of a block."""
    promised = {}
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.COMMENT and tok.line.lstrip().startswith("print("):
            promised[first_line + tok.start[0] - 1] = tok.string[1:].strip()
    return promised


def run_fresh(args, stdin=None):
    return subprocess.run([sys.executable, *args], input=stdin, capture_output=True, text=True,
                          cwd=_ROOT, timeout=300)


BLOCKS = [block for document in DOCUMENTS for block in python_blocks(document)]


def test_the_documents_have_checked_examples():
    assert "docs/performance.md" in DOCUMENTS and "docs/blob-image-file.md" in DOCUMENTS
    readme = [b for b in BLOCKS if b[0] == "README.md"]
    assert len(readme) >= 5 and len(BLOCKS) > len(readme)
    assert sum(len(promised_output(*b[1:])) for b in readme) >= 15


@pytest.mark.parametrize("document, first_line, source", BLOCKS, ids=[f"{b[0]}:{b[1]}" for b in BLOCKS])
def test_block_prints_what_it_says(document, first_line, source, tmp_path):
    if "import numpy" in source:  # the tests need NumPy only where it is installed
        pytest.importorskip("numpy")
    source = source.replace("/tmp/", f"{tmp_path}/")
    done = run_fresh(["-c", RUN_BLOCK], json.dumps([document, first_line, source]))
    assert done.returncode == 0, done.stderr
    printed = {}
    for line, text in json.loads(done.stdout.splitlines()[-1]):
        printed.setdefault(line, []).append(text.rstrip("\n"))
    for line, text in promised_output(first_line, source).items():
        assert printed.get(line) == [text], f"{document} line {line}"


def test_the_quick_start_example_runs():
    done = run_fresh([os.path.join("examples", "example.py")])
    assert done.returncode == 0, done.stderr
