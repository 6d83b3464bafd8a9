"""The benchmark suite runs end to end on tiny sizes, and its peers compute
what the module computes.

Timings are not checked here: the suite itself is the instrument. Peers that
are not installed in the test environment must be reported as skipped. The
fused C++ loops and both numba contenders must reproduce the module bit for
bit, on the suite's graphs and on one of every kind of slot from starting
states that drive the clamps and floors the suite's own data never reach.
"""
import importlib.util
import os
import re
import subprocess
import sys

import numpy as np
import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
TINY = ["--rows", "300", "--reps", "1", "--torch-rows", "5", "--call-loops", "20",
        "--thread-rows", "50", "--thread-reps", "3", "--callgrind-rows", "20", "--heap-rows", "3000"]


def test_suite_runs_end_to_end_and_its_peers_match_the_module(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(BENCH, "suite.py"), "--full", "--out", str(tmp_path),
                           "--build-dir", str(tmp_path / "work")] + TINY, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    out, table = done.stdout, (tmp_path / "bench.md").read_text()
    assert table.strip() in out and (tmp_path / "bench.json").exists()
    numba = importlib.util.find_spec("numba") is not None
    for graph in ("G5", "G12", "G30"):
        for mode in ("train", "predict"):
            row = [line for line in table.splitlines() if line.startswith("| %s | " % graph) and " %s |" % mode in line]
            assert row and float(row[0].split("|")[4]) > 0, (graph, mode)
        for who in ("floor",) + (("numba", "numba generic") if numba else ()):
            assert "%s on %s: bit-equal to the module" % (who, graph) in out
    for peer in ("numba", "torch"):
        if importlib.util.find_spec(peer) is None:
            assert "skipped: %s" % peer in out
    # Every measurement ran or says why not.
    for part, heading in (("pickle", "| pickling a trained G30 graph"), ("compile", "## numba's compile cost"),
                          ("callgrind", "## Instructions per sample"),
                          ("threads", "| thread scaling of the module"), ("heap", "| heap allocations during")):
        assert heading in table or "- skipped: %s" % part in table, part
    assert "median of 3 pairs" in table


# Every kind of slot, one- and two-source variants of each trainable kind, a
# node feeding three others and a multiply of a node by itself.
MIXED = [
    ("in", "x0"), ("in", "x1"), ("cat", "c"), ("in", "x2"), ("gaussian", (0,)), ("linear", (4,)), ("tanh", (1, 2)),
    ("sine", (5,)), ("multiply", (6, 7)), ("gaussian", (8, 3)), ("linear", (9, 6)), ("multiply", (10, 10)),
    ("tanh", (11,)), ("linear", (12, 6)), ("out", 13),
]


def narrow(params, categories, ranges):
    """Registers' ranges a third as wide, so that inputs and targets clamp."""
    for name, (lo, hi) in ranges.items():
        ranges[name] = (lo + (hi - lo) / 3, hi - (hi - lo) / 3)


def big_weights(params, categories, ranges):
    """Weights of linear and tanh nodes tripled, so that the clamps bite."""
    for p in params.values():
        if "bias" in p:
            p["w0"], p["w1"] = 3 * p["w0"], 3 * p["w1"]


def negative_widths(params, categories, ranges):
    """Gaussian widths below zero, which the first step puts back to the
    floor (this data alone does not drive small widths there)."""
    for p in params.values():
        if "center0" in p:
            p["w0"] = p["w1"] = -1.0


def edge_categories(params, categories, ranges):
    """Category weights a step from -1 and 1, so that they clamp."""
    categories[:] = [(code, 0.9995 if code % 2 == 0 else -0.9995) for code, _ in categories]


EDGES = {"as drawn": [], "narrow ranges": [narrow], "big weights": [big_weights],
         "negative widths": [negative_widths], "edge categories": [edge_categories],
         "all at once": [narrow, big_weights, negative_widths, edge_categories]}


@pytest.fixture(scope="module")
def bench(tmp_path_factory):
    sys.path.insert(0, BENCH)  # the bench modules import each other by name
    try:
        import codegen
        import contenders
        import graphs

        floor, _ = contenders.build_floor([codegen.Plan("T", MIXED)], str(tmp_path_factory.mktemp("floor")))
        yield contenders, graphs, floor
    finally:
        sys.path.remove(BENCH)


@pytest.mark.parametrize("edge", EDGES)
def test_peers_match_the_module_on_every_kind_of_slot(bench, edge):
    contenders, graphs, floor = bench
    data, y = graphs.make_data(3000, seed=11)
    ranges = graphs.feature_ranges(data, y)
    params, categories = graphs.draw_parameters(MIXED, seed=11)
    for change in EDGES[edge]:
        change(params, categories, ranges)
    line = contenders.lineup("T", MIXED, data, y, ranges, floor, skip=("torch", "python"), drawn=(params, categories))
    assert contenders.verify(line) == {c.name: [] for c in line[1:]} and line[1].name == "floor"
    # The changed states are there to reach these paths.
    P, W = line[0].state()
    if negative_widths in EDGES[edge]:
        assert np.float32(0.0001) in P
    if edge_categories in EDGES[edge]:
        assert np.abs(W[0]).max() == 1.0


def test_every_registered_type_is_in_the_suite_the_bench_and_the_readme():
    # No API lists the types: their records name them in the sources. A new
    # type needs its twin (the suite's list), its statements in bench/ops.py
    # (the numeric register is described by its roles, "in" and "out") and
    # its row in the README's table of types.
    import _vesk
    import reference_math as ref
    from conftest import module_sources
    registered = set(re.findall(r'type_name = "(\w+)"', module_sources()))
    for name in registered:
        _vesk.Interaction(name, (0, 0, 0))
    assert registered == {t.NAME for t in ref.TYPES}
    sys.path.insert(0, BENCH)
    try:
        import ops
    finally:
        sys.path.remove(BENCH)
    assert {{"in": "fixed", "out": "fixed"}.get(name, name) for name in ops.TYPES} == registered
    with open(os.path.join(os.path.dirname(BENCH), "README.md")) as f:
        rows = re.findall(r'^\| `"(\w+)"` \| (?:none \(input register\)|\d)(?: or \d)? \|', f.read(), re.M)
        assert set(rows) == registered
