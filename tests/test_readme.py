"""The README's walk-through runs as written and type-checks against the stubs."""
import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
FENCE = re.compile(r"^```python\n(.*?)^```$", re.M | re.S)


def python_blocks():
    """The README's python blocks, each padded with blank lines so that line
    numbers in errors are README line numbers."""
    with open(README) as f:
        text = f.read()
    return ["\n" * text.count("\n", 0, m.start(1)) + m.group(1) for m in FENCE.finditer(text)]


def test_walkthrough_blocks_run_in_order(tmp_path, monkeypatch):
    blocks = python_blocks()
    assert len(blocks) >= 5, "the walk-through's python blocks were not found"
    monkeypatch.chdir(tmp_path)  # the walk-through writes a file
    namespace = {"__name__": "readme"}
    for block in blocks:
        exec(compile(block, README, "exec"), namespace)
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
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.path.join(sys.prefix, ".mypy_cache"), str(source)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
