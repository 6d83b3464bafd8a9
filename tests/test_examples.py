"""The installed type stubs and the examples: mypy --strict over examples/,
the stubs against the module itself, and the examples run end to end."""
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import mypy_strict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")

pytest.importorskip("mypy")


def run(*args, cwd=ROOT, timeout=300):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=timeout)


def mypy(*args):
    # Run from the repository, so that its mypy settings (pyproject.toml) apply.
    return mypy_strict(*args, cwd=ROOT)


@pytest.mark.skipif(tuple(map(int, np.__version__.split(".")[:2])) < (1, 22),
                    reason="numpy 1.21's type information leaves np.save and np.load untyped")
def test_examples_pass_strict_type_checking():
    result = mypy("examples")
    assert result.returncode == 0, result.stdout + result.stderr


def test_checker_reads_the_stubs_of_the_module(tmp_path):
    # Misuse that only the stubs can reveal: had mypy found no stubs, or
    # typed _vesk as Any, these lines would pass or fail all together.
    probe = tmp_path / "probe.py"
    probe.write_text(
        textwrap.dedent(
            """\
            import numpy as np
            import _vesk
            g = _vesk.Graph("3")
            x = _vesk.Interaction("fixed", (0, 0))
            x.state.w0 = "0.5"
            p: str = g._query({"x": np.zeros(3)})
            g[0] = 1.5
            x.state.nonesuch
            first: _vesk.Interaction = g[0]
            ok: float = x.state.feature_min + len(x.state.categories) + g.edge_count
            x._set_source(0, -1)
            """
        )
    )
    result = mypy(str(probe))
    flagged = {int(n) for n in re.findall(r"probe\.py:(\d+): error", result.stdout)}
    assert flagged == {3, 4, 5, 6, 7, 8, 9}, result.stdout


def test_stubs_match_the_module():
    flags = []
    if "--ignore-disjoint-bases" in run("-m", "mypy.stubtest", "--help").stdout:
        # Marking a base class as disjoint needs a newer typing_extensions
        # than Python 3.8's mypy knows.
        flags.append("--ignore-disjoint-bases")
    result = run("-m", "mypy.stubtest", *flags, "_vesk")
    assert result.returncode == 0, result.stdout + result.stderr


def test_demo_restores_its_best_graph_in_a_new_process(tmp_path):
    result = run(os.path.join(EXAMPLES, "demo.py"), "--epochs", "2", "--out", str(tmp_path), cwd=str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "identical predictions: yes (0 of 333 differ)" in result.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "matplotlib is not installed" in result.stdout
    else:
        with open(tmp_path / "demo.png", "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def test_parallel_training_matches_one_thread():
    result = run(os.path.join(EXAMPLES, "parallel.py"), "--graphs", "4", "--samples", "5000", "--epochs", "1")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "same parameters after both runs: yes" in result.stdout


@pytest.mark.parametrize("engine", ["dask", "processes"])
def test_population_training_matches_this_process(engine):
    if engine == "dask":
        if sys.version_info < (3, 10):
            pytest.skip("the distributed extra (dask.distributed) is for Python 3.10 and later; this is %d.%d"
                        % sys.version_info[:2])
        pytest.importorskip("distributed", reason="dask.distributed is not installed (pip install .[distributed])")
    result = run(os.path.join(EXAMPLES, "population.py"), "--graphs", "12", "--epochs", "3", "--workers", "2",
                 "--engine", engine)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "bit-identical: yes (12 of 12 graphs)" in result.stdout


def test_search_finds_a_graph_better_than_the_mean(tmp_path):
    pytest.importorskip("sympy")
    result = run(os.path.join(EXAMPLES, "search.py"), "--rounds", "2", "--candidates", "8", "--keep", "2",
                 "--epochs", "4", "--out", str(tmp_path))
    assert result.returncode == 0, result.stdout + result.stderr
    error, mean = map(float, re.search(r"held-out mean absolute error: ([\d.]+) g \(predicting the mean: ([\d.]+) g\)",
                                       result.stdout).groups())
    assert error < mean
    assert (tmp_path / "winner.svg").read_text().startswith("<svg") and "formula: " in result.stdout
