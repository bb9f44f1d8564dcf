"""The README's examples run as they stand and print what they say.

Each ```python block of README.md runs in a fresh interpreter, with a
temporary directory in place of /tmp; a line `print(...)  # text` must have
printed exactly `text`. The quick start's examples/example.py runs too. Both
run in the checkout's root, where the quick start leaves its user: there
`import corvale_trie` must find the installed package."""

import io
import json
import os
import subprocess
import sys
import tokenize

import pytest

from conftest import _ROOT

README = os.path.join(_ROOT, "README.md")

# Runs a block given on stdin and reports, as JSON, what each line printed.
# The block is compiled at its own line numbers of README.md.
RUN_BLOCK = """
import builtins, io, json, sys
first_line, source = json.loads(sys.stdin.read())
printed = []
real_print = builtins.print

def recording_print(*args, **kwargs):
    out = io.StringIO()
    real_print(*args, **kwargs, file=out)
    printed.append((sys._getframe(1).f_lineno, out.getvalue()))

builtins.print = recording_print
code = compile("\\n" * (first_line - 1) + source, "README.md", "exec")
exec(code, {"__name__": "__main__"})
real_print(json.dumps(printed))
"""


def python_blocks():
    """(line of the block's first line, source) of every python block."""
    blocks, current = [], None
    with open(README, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if current is None and line.strip() == "```python":
                current = (number + 1, [])
            elif current is not None and line.strip() == "```":
                blocks.append((current[0], "".join(current[1])))
                current = None
            elif current is not None:
                current[1].append(line)
    return blocks


def promised_output(first_line, source):
    """{README line: text} for every `print(...)  # text` line of a block."""
    promised = {}
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.COMMENT and tok.line.lstrip().startswith("print("):
            promised[first_line + tok.start[0] - 1] = tok.string[1:].strip()
    return promised


def run_fresh(args, stdin=None):
    return subprocess.run([sys.executable, *args], input=stdin, capture_output=True, text=True,
                          cwd=_ROOT, timeout=300)


BLOCKS = python_blocks()


def test_the_readme_has_checked_examples():
    assert len(BLOCKS) >= 5
    assert sum(len(promised_output(*b)) for b in BLOCKS) >= 15


@pytest.mark.parametrize("first_line, source", BLOCKS, ids=[f"line{b[0]}" for b in BLOCKS])
def test_block_prints_what_it_says(first_line, source, tmp_path):
    source = source.replace("/tmp/", f"{tmp_path}/")
    done = run_fresh(["-c", RUN_BLOCK], json.dumps([first_line, source]))
    assert done.returncode == 0, done.stderr
    printed = {}
    for line, text in json.loads(done.stdout.splitlines()[-1]):
        printed.setdefault(line, []).append(text.rstrip("\n"))
    for line, text in promised_output(first_line, source).items():
        assert printed.get(line) == [text], f"README.md line {line}"


def test_the_quick_start_example_runs():
    done = run_fresh([os.path.join("examples", "example.py")])
    assert done.returncode == 0, done.stderr
