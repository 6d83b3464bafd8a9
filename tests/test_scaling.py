"""How the numeric register maps values into [-1, 1] and back: feature
ranges and their adaptation, clamping and errcode, expected values, and
how columns are held."""
import math
import tracemalloc

import numpy as np
import pytest

from builders import graph_of, passthrough_graph, register
from conftest import run_python
from graph_pairs import Pair, same_bits
from reference_math import scale_in, scale_out

F = np.float32


def predict(g, column):
    return g._query({"x": np.asarray(column)})


def test_auto_range_widens_only():
    g = passthrough_graph(auto_adapt=False, feature_min=-1.0, feature_max=1.0)
    x = g[0]
    out = predict(g, [2.0, 4.0, 6.0])
    assert (x.state.feature_min, x.state.feature_max) == (2.0, 6.0)
    assert out.tolist() == [-1.0, 0.0, 1.0]
    predict(g, [3.0, 5.0])
    assert (x.state.feature_min, x.state.feature_max) == (2.0, 6.0)
    out = predict(g, [0.0, 10.0, 7.0])
    assert (x.state.feature_min, x.state.feature_max) == (0.0, 10.0)
    assert out.tolist() == [scale_out(scale_in(v, 0, 10), -1, 1) for v in (0.0, 10.0, 7.0)]
    assert x._errcode == 0


def test_fixed_range_default_and_clamping():
    g = passthrough_graph(auto_adapt=False, feature_min=-1.0, feature_max=1.0)
    g[0].state.auto_adapt = False
    out = predict(g, np.array([0.25, -0.5, 1.5, -2.0], dtype=np.float32))
    x = g[0]
    assert (x.state.feature_min, x.state.feature_max) == (-1.0, 1.0)
    assert out.tolist() == [float(scale_in(v, -1, 1)) for v in (0.25, -0.5, 1.5, -2.0)]
    assert out[2] == 1.0 and out[3] == -1.0 and x._errcode == 1
    predict(g, [0.0])
    assert x._errcode == 1  # never cleared


def test_range_of_width_zero():
    # A value equal to both bounds sits in the middle of [-1, 1], unflagged;
    # others clamp as ever, and the output scales to the bound.
    g = passthrough_graph(auto_adapt=False, feature_min=5.0, feature_max=5.0)
    x = g[0]
    x.state.auto_adapt = False
    x.state.feature_min = x.state.feature_max = 3.0
    out = predict(g, np.array([3.0], dtype=np.float32))
    assert out.tolist() == [5.0] and x._errcode == 0
    out = predict(g, np.array([4.0, 2.0], dtype=np.float32))
    assert out.tolist() == [5.0, 5.0] and x._errcode == 1


@pytest.mark.parametrize("case", ["input", "target", "one_row_stream"])
def test_constant_columns_train_like_the_twin(case):
    pair = Pair([("fixed", "x"), ("tanh", (0,)), ("linear", (1,)), ("fixed", (2,))])
    x = np.random.default_rng(1).normal(0, 1, 300).astype(np.float32)
    y = (x * 2 + 1).astype(np.float32)
    if case == "input":
        x[:] = 2.5
    if case == "target":
        y[:] = 7.0
    batches = [(x[k:k + 1], y[k:k + 1]) for k in range(40)] if case == "one_row_stream" else [(x, y)]
    for xs, ys in batches:
        got, want = pair.query({"x": xs}, ys)
        assert same_bits(got, want) and np.isfinite(got).all()
    assert pair.mismatches() == []
    assert all(math.isfinite(v) for node in pair.nodes[1:3] for v in node.state._to_dict().values())
    assert pair.nodes[0]._errcode == pair.nodes[3]._errcode == 0
    if case == "target":
        assert (pair.native._query({"x": x}) == 7.0).all()


def test_output_range_defaults_and_adapts_to_expected():
    g, g2 = passthrough_graph(), passthrough_graph()
    assert predict(g, [1.0, 2.0]).tolist() == [-1.0, 1.0]
    assert (g[1].state.feature_min, g[1].state.feature_max) == (-1.0, 1.0)  # defaults at output creation
    g2._query({"x": np.array([1.0, 2.0])}, np.array([5.0, 9.0]))
    # The expected array adapts the range first; NaN bounds were replaced.
    assert (g2[1].state.feature_min, g2[1].state.feature_max) == (5.0, 9.0)


@pytest.mark.parametrize("where, column", [("x", np.array(["a", "b"])), ("x", np.array([object(), 1], dtype=object)),
                                           ("x", np.array([{}, 1.0], dtype=object)), ("y", np.array(["q"]))])
def test_column_that_cannot_be_cast(where, column):
    g = passthrough_graph()
    message = {"x": "input x", "y": "expected y"}[where]
    with pytest.raises(ValueError) as refused:
        g._query({"x": column}) if where == "x" else g._query({"x": np.array([1.0])}, column)
    assert str(refused.value) == "%s could not be cast to type of register (float32)" % message


class Number:
    """Converted through __float__ alone, which raises `fails` when given."""

    def __init__(self, v, fails=None):
        self.v, self.fails = v, fails

    def __float__(self):
        if self.fails:
            raise self.fails("no float")
        return float(self.v)


@pytest.mark.parametrize("column, lo, hi", [
    (np.array(["1.5", "2", "1.75"]), 1.5, 2.0),
    (np.array([Number(2), Number(7), Number(3.25), 4.5], dtype=object), 2.0, 7.0),
])
def test_range_and_values_from_strings_and_objects(column, lo, hi):
    g = passthrough_graph()
    out = predict(g, column)
    assert (g[0].state.feature_min, g[0].state.feature_max) == (lo, hi)
    assert out.tolist() == [scale_out(scale_in(float(v), lo, hi), -1.0, 1.0) for v in column]


@pytest.mark.parametrize("fails, raised", [(ArithmeticError, ValueError), (KeyboardInterrupt, KeyboardInterrupt),
                                           (SystemExit, SystemExit), (MemoryError, MemoryError)])
@pytest.mark.parametrize("where", ["x", "y"])
def test_failed_conversion(fails, raised, where):
    # Interrupts and exhausted memory pass through a conversion unchanged;
    # any other failure is the register's refusal.
    g = passthrough_graph()
    bad = np.array([Number(2), Number(7, fails)], dtype=object)
    with pytest.raises(raised) as err:
        g._query({"x": bad}) if where == "x" else g._query({"x": np.array([1.0, 3.0])}, bad)
    assert str(err.value) == ("no float" if raised is fails else
                              "%s %s could not be cast to type of register (float32)" % (
                                  {"x": "input", "y": "expected"}[where], where))
    assert math.isnan(g[0 if where == "x" else 1].state.feature_max)
    assert predict(g, [1.0, 3.0]).tolist() == [-1.0, 1.0]  # nothing left pending or held


@pytest.mark.parametrize("clamping_first", [True, False])
def test_errcode_counts_only_samples_that_ran(clamping_first):
    # Sample 1 clamps in one register and is non-finite in another: the
    # clamp counts only if its register ran that sample before the failure.
    clamping = register("a", auto_adapt=False)
    failing = register("b", auto_adapt=False)
    first, second = (clamping, failing) if clamping_first else (failing, clamping)
    y = register("y", (2, 0, 0), source=0, auto_adapt=False)
    g = graph_of(first, second, y)
    with pytest.raises(RuntimeError, match="Nan found in input array in register 'b'"):
        g._query({"a": np.array([0.5, 5.0, 0.0]), "b": np.array([0.1, np.nan, 0.0])})
    assert clamping._errcode == (1 if clamping_first else 0)
    assert clamping.activation[0] == (1.0 if clamping_first else 0.5)


@pytest.mark.parametrize("n", [255, 256, 257, 1000])
@pytest.mark.parametrize("bad_at", [None, 0, 254, 256, 700])
def test_long_training_matches_the_twin(n, bad_at):
    # Expected values are scaled in chunks too: each reaches the loss as its
    # own scaled value, and a non-finite one stops training at its sample;
    # values past it, out of range as they are, set no error flag.
    pair = Pair([("cat", "c"), ("fixed", (0,), (-2.0, 3.0))])
    expected = np.linspace(-3.0, 4.0, n).astype(np.float32)  # beyond the range at both ends
    codes = np.zeros(n, dtype=np.int64)
    ran = n if bad_at is None or bad_at >= n else bad_at
    if ran < n:
        expected[bad_at] = np.inf
        with pytest.raises(RuntimeError, match="Nan found in expected array"):
            pair.native._query({"c": codes}, expected)
        pair.twin.query({"c": codes[:max(ran, 1)]}, expected[:max(ran, 1)] if ran else None)
    else:
        got, want = pair.query({"c": codes}, expected)
        assert same_bits(got, want)
    assert pair.mismatches() == []
    assert pair.nodes[1]._errcode == (1 if ran > 0 else 0)


@pytest.mark.parametrize("bad_at", [None, 0, 7, 8, 255, 256, 300, 599])
@pytest.mark.parametrize("clamp_at", [None, 3, 256, 520])
def test_long_columns_match_the_twin(bad_at, clamp_at):
    # Values are scaled in chunks and blocks; clamped and non-finite values
    # anywhere must still act exactly at their own sample.
    column = np.linspace(-0.9, 0.9, 600).astype(np.float32)
    if clamp_at is not None:
        column[clamp_at] = 4.0
    if bad_at is not None:
        column[bad_at] = np.nan
    g = passthrough_graph(auto_adapt=False, feature_min=-3.0, feature_max=2.0)
    x = g[0]
    x.state.auto_adapt = False
    x.state.feature_min, x.state.feature_max = -1.0, 1.0
    expect = [float(scale_out(scale_in(v, -1, 1), -3.0, 2.0)) for v in column[:bad_at]]
    if bad_at is None:
        assert g._query({"x": column}).tolist() == expect
    else:
        with pytest.raises(RuntimeError, match="Nan found in input array"):
            g._query({"x": column})
        if expect:
            assert g[1].activation[0] == np.float32(scale_in(column[bad_at - 1], -1, 1))
    ran = len(column) if bad_at is None else bad_at
    assert x._errcode == (1 if clamp_at is not None and clamp_at < ran else 0)


def test_values_the_samples_refuse_set_no_bound():
    # The range covers the finite values of the whole yarray, its unread
    # tail included; a fresh register's NaN leaves no NaN bound.
    g = passthrough_graph()
    g._query({"x": np.array([0.5, 0.5])}, np.array([3.0, 1.0, -np.inf, 9.0, np.nan]))
    assert (g[1].state.feature_min, g[1].state.feature_max) == (1.0, 9.0)


class Refusing(np.ndarray):
    def __array_finalize__(self, obj):
        if self.dtype != object:
            raise RuntimeError("not for float32")


def test_masked_and_subclassed_columns():
    g = passthrough_graph()
    data = np.array([1.0, 2.0, 3.0])
    hidden = np.ma.masked_array(data, mask=[False, True, False])
    with pytest.raises(ValueError, match=r"^input x hides values behind a mask$"):
        g._query({"x": hidden})
    with pytest.raises(ValueError, match=r"^expected y hides values behind a mask$"):
        g._query({"x": data}, hidden)
    # Refused before its first sample, the query widened no range.
    assert math.isnan(g[0].state.feature_max) and math.isnan(g[1].state.feature_max)
    want = g._query({"x": data}, data).tolist()
    for mask in (np.ma.nomask, [False] * 3):
        shown = np.ma.masked_array(data, mask=mask)
        assert g._query({"x": shown}, shown).tolist() == want
    # A cast makes a base-class array: a subclass's hooks never see it.
    objects = np.array([Number(1.0), Number(2.0), Number(3.0)], dtype=object).view(Refusing)
    assert g._query({"x": objects}, objects).tolist() == want


def traced(call):
    """The call's result, and the traced memory it held at its end and at its peak."""
    tracemalloc.start()
    try:
        result = call()
        return result, tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("fails", [False, True])
def test_columns_are_read_in_place_and_not_kept(fails):
    # A query grows memory by its output alone, and keeps nothing of a column.
    g = passthrough_graph()
    x, y = np.linspace(-1.0, 1.0, 400_000), np.linspace(0.0, 1.0, 400_000)
    if fails:
        y[-1] = np.nan

    def query():
        try:
            return g._query({"x": x}, y)
        except RuntimeError:
            return np.zeros(0, np.float32)

    out, (held, peak) = traced(query)
    assert held - out.nbytes < 64 * 1024 and peak < 400_000 * 4 + 64 * 1024  # a float32 copy: 1.6 MB


def test_a_long_broadcast_yarray_is_read_where_used():
    g = passthrough_graph()
    y = np.broadcast_to(np.float64(3.0), (2 ** 29,))
    _, (_, peak) = traced(lambda: g._query({"x": np.arange(4.0)}, y))
    assert peak < 64 * 1024 and (g[1].state.feature_min, g[1].state.feature_max) == (3.0, 3.0)


def test_reshaping_a_column_while_it_is_read():
    # Another thread flips the column's shape during queries: each query
    # reads the shape it was handed, or refuses a 2-d one, and never crashes.
    done = run_python("""
        import sys, threading
        import numpy as np
        from builders import graph_of, register
        sys.setswitchinterval(1e-6)
        # Eight registers read the column: eight chances per query.
        g = graph_of(*[register("x", (k, 0, 0)) for k in range(8)], register("y", (9, 0, 0), source=7))
        col, stop = np.linspace(-1.0, 1.0, 65536), []
        def flip():
            while not stop:
                col.shape = (1, 65536)
                col.shape = (65536,)
        threading.Thread(target=flip).start()
        for _ in range(400):
            try:
                assert len(g._query({"x": col})) == 65536
            except ValueError as e:
                assert str(e) == "Element x in X is not 1-dimensional", e
        stop.append(1)
    """)
    assert done.returncode == 0, done.stderr
