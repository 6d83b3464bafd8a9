"""The README's walk-through runs as written, prints what its comments say,
and type-checks against the stubs.

    python tests/test_readme.py --first   runs the first example alone
"""
import io
import os
import re
import sys

import pytest

from conftest import mypy_strict

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
FENCE = re.compile(r"^```python\n(.*?)^```$", re.M | re.S)


def python_blocks():
    """The README's python blocks, each padded with blank lines so that line
    numbers in errors are README line numbers."""
    with open(README) as f:
        text = f.read()
    return ["\n" * text.count("\n", 0, m.start(1)) + m.group(1) for m in FENCE.finditer(text)]


def run_and_check(blocks):
    """Runs the blocks in order in one namespace. Every print states its
    output in a comment on its line ("..." stands for any text); the output
    of each is checked against it."""
    printed = {}

    def record(*args, **kwargs):
        out = io.StringIO()
        print(*args, file=out, **kwargs)
        printed[sys._getframe(1).f_lineno] = out.getvalue().rstrip("\n")

    namespace = {"__name__": "readme", "print": record}
    for block in blocks:
        exec(compile(block, README, "exec"), namespace)
    expected = {}
    for block in blocks:
        for number, line in enumerate(block.split("\n"), 1):
            if re.match(r"\s*print\(", line):
                assert "  # " in line, "README line %d: a print without its output" % number
                expected[number] = line.split("  # ", 1)[1]
    assert sorted(printed) == sorted(expected), "prints that did not run"
    for number, pattern in expected.items():
        wanted = ".*".join(map(re.escape, pattern.split("...")))
        assert re.fullmatch(wanted, printed[number], re.S), "README line %d printed %r" % (number, printed[number])
    return namespace


def test_walkthrough_blocks_run_in_order(tmp_path, monkeypatch):
    blocks = python_blocks()
    assert len(blocks) >= 5, "the walk-through's python blocks were not found"
    monkeypatch.chdir(tmp_path)  # the walk-through writes a file
    run_and_check(blocks)
    assert (tmp_path / "graph.json").exists()


def test_walkthrough_passes_strict_type_checking(tmp_path):
    pytest.importorskip("mypy")
    source = tmp_path / "readme_walkthrough.py"
    # One module, README line numbers kept: later blocks overwrite the padding.
    lines = []
    for block in python_blocks():
        for number, line in enumerate(block.split("\n")):
            if line:
                lines.extend([""] * (number + 1 - len(lines)))
                lines[number] = line
    source.write_text("\n".join(lines) + "\n")
    result = mypy_strict(str(source))
    assert result.returncode == 0, result.stdout + result.stderr


if __name__ == "__main__" and sys.argv[1:] == ["--first"]:
    run_and_check(python_blocks()[:1])
    print("the README's first example printed what it shows")
