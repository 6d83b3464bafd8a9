import os
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_python(code, *, python=None, env=None, path=None, timeout=120):
    """Runs code in a fresh interpreter (crash-prone cases must not take the
    test run down with them); path entries go first on its sys.path."""
    environment = dict(os.environ)
    if env:
        environment.update(env)
    entries = list(path or []) + [TESTS_DIR]
    if environment.get("PYTHONPATH"):
        entries.append(environment["PYTHONPATH"])
    environment["PYTHONPATH"] = os.pathsep.join(entries)
    return subprocess.run(
        [python or sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=timeout,
    )


def module_sources():
    """The text of the module's C++ sources, where facts no API shows (its
    limits, its registered types) are read."""
    folder = os.path.join(TESTS_DIR, os.pardir, "vesk_ext", "src")
    text = []
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cpp"):
            with open(os.path.join(folder, name)) as f:
                text.append(f.read())
    return "".join(text)


def mypy_strict(*paths, cwd=None):
    """mypy --strict over the paths, with its cache in the environment."""
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           os.path.join(sys.prefix, ".mypy_cache"), *paths],
                          capture_output=True, text=True, cwd=cwd, timeout=300)


@pytest.fixture
def python_run():
    return run_python
