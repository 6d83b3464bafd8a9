"""Every page of the documentation (the README and docs/*.md) runs as
pasted: a page's python blocks, concatenated into one file, run as a script
(`__main__`, so that a block starting a pool needs its guard, as in a
user's script), print what their comments say, and type-check against the
stubs.

    python tests/test_readme.py --first   runs the README's first example alone
"""
import glob
import json
import os
import re
import subprocess
import sys

import pytest

from conftest import mypy_strict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(ROOT, "README.md")
PAGES = [README] + sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
FENCE = re.compile(r"^```python\n(.*?)^```$", re.M | re.S)

# Runs a script as `python script` would (runpy sets it up as __main__,
# which a pool's processes import again by its path), with print recording
# each call of the script's own lines by line number; the record goes to a
# JSON file when the script ends, whatever way.
RUNNER = r"""
import atexit, builtins, io, json, runpy, sys
script, record_path = sys.argv[1], sys.argv[2]
sys.argv = [script]
printed, plain_print = {}, builtins.print
def record(*args, **kwargs):
    frame = sys._getframe(1)
    if frame.f_code.co_filename == script and "file" not in kwargs:
        out = io.StringIO()
        plain_print(*args, file=out, **kwargs)
        printed[frame.f_lineno] = out.getvalue().rstrip("\n")
    plain_print(*args, **kwargs)
def save():
    with open(record_path, "w") as f:
        json.dump(printed, f)
atexit.register(save)
builtins.print = record
runpy.run_path(script, run_name="__main__")
"""


def python_blocks(page=README):
    """A page's python blocks, each padded with blank lines so that line
    numbers in errors are the page's line numbers."""
    with open(page) as f:
        text = f.read()
    return ["\n" * text.count("\n", 0, m.start(1)) + m.group(1) for m in FENCE.finditer(text)]


def script_of(blocks):
    """The blocks as one module, the page's line numbers kept: later blocks
    overwrite the padding."""
    lines = []
    for block in blocks:
        for number, line in enumerate(block.split("\n")):
            if line:
                lines.extend([""] * (number + 1 - len(lines)))
                lines[number] = line
    return "\n".join(lines) + "\n"


def expected_prints(blocks, page):
    """Every print states its output in a comment on its line ("..." stands
    for any text)."""
    expected = {}
    for block in blocks:
        for number, line in enumerate(block.split("\n"), 1):
            if re.match(r"\s*print\(", line):
                assert "  # " in line, "%s line %d: a print without its output" % (page, number)
                expected[number] = line.split("  # ", 1)[1]
    return expected


def run_and_check(blocks, page, folder, timeout=600):
    """Runs the page as a script in folder and checks what each print printed."""
    script = os.path.join(str(folder), "page_%s.py" % re.sub(r"\W", "_", os.path.relpath(page, ROOT)))
    with open(script, "w") as f:
        f.write(script_of(blocks))
    record = os.path.join(str(folder), "printed.json")
    run = subprocess.run([sys.executable, "-c", RUNNER, script, record], cwd=str(folder),
                         capture_output=True, text=True, timeout=timeout)
    assert run.returncode == 0, "%s did not run as pasted:\n%s%s" % (page, run.stdout[-3000:], run.stderr[-5000:])
    with open(record) as f:
        printed = {int(k): v for k, v in json.load(f).items()}
    expected = expected_prints(blocks, page)
    assert sorted(printed) == sorted(expected), "prints that did not run"
    for number, pattern in expected.items():
        wanted = ".*".join(map(re.escape, pattern.split("...")))
        assert re.fullmatch(wanted, printed[number], re.S), "%s line %d printed %r" % (page, number, printed[number])


def test_the_readme_has_its_walkthrough():
    assert len(python_blocks()) >= 5, "the walk-through's python blocks were not found"


@pytest.mark.parametrize("page", [p for p in PAGES if python_blocks(p)], ids=lambda p: os.path.relpath(p, ROOT))
def test_every_page_runs_as_pasted(page, tmp_path):
    run_and_check(python_blocks(page), page, tmp_path)
    if page == README:
        assert (tmp_path / "graph.json").exists()


@pytest.mark.parametrize("page", [p for p in PAGES if python_blocks(p)], ids=lambda p: os.path.relpath(p, ROOT))
def test_every_page_passes_strict_type_checking(page, tmp_path):
    pytest.importorskip("mypy")
    source = tmp_path / "page.py"
    source.write_text(script_of(python_blocks(page)))
    result = mypy_strict(str(source))
    assert result.returncode == 0, result.stdout + result.stderr


if __name__ == "__main__" and sys.argv[1:] == ["--first"]:
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        run_and_check(python_blocks()[:1], README, folder)
    print("the README's first example printed what it shows")
