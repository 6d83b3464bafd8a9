"""The benchmark suite runs end to end on tiny sizes and writes its table.

Timings are not checked here: the suite itself is the instrument. Peers that
are not installed in the test environment must be reported as skipped, and
the fused C++ loops must reproduce the module's results bit for bit.
"""
import importlib.util
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE = os.path.join(ROOT, "bench", "suite.py")

TINY = [
    "--rows", "300", "--reps", "1", "--torch-rows", "5", "--python-rows", "20", "--call-loops", "20",
    "--thread-rows", "50", "--callgrind-rows", "20", "--heap-rows", "3000",
]


def test_suite_runs_and_writes_its_table(tmp_path):
    done = subprocess.run(
        [sys.executable, SUITE, "--out", str(tmp_path / "results"), "--build-dir", str(tmp_path / "build")] + TINY,
        capture_output=True, text=True, timeout=900,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    out = done.stdout

    table_path = tmp_path / "results" / "bench.md"
    assert table_path.exists()
    table = table_path.read_text()
    assert table.strip() in out  # the table is also printed

    header = [line for line in table.splitlines() if line.startswith("| graph | nodes | pass | module |")]
    assert len(header) == 1
    for graph in ("G5", "G12", "G30"):
        for mode in ("train", "predict"):
            row = [line for line in table.splitlines() if line.startswith("| %s | " % graph) and " %s |" % mode in line]
            assert row, (graph, mode)
            module_ns = float(row[0].split("|")[4])
            assert module_ns > 0

    for peer in ("numba", "torch"):
        if importlib.util.find_spec(peer) is None:
            assert "skipped: %s" % peer in out
    assert "## Targets" in table
    assert (tmp_path / "results" / "bench.json").exists()

    # The floor is only a floor if it computes what the module computes.
    if "skipped: floor" not in out:
        for graph in ("G5", "G12", "G30"):
            assert "floor on %s: bit-equal to the module" % graph in out

