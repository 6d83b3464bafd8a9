"""The plain-step types "gaussian" and "sine", and the parameterless "multiply"."""
import math

import numpy as np
import pytest

import _vesk
import reference_math as ref
from graph_pairs import Pair, first_difference, same_bits

F = np.float32


def one(x):
    return np.array([x], dtype=np.float32)


def absolute_error_graph(kind, params, x=1.0):
    """x -> node -> y with the absolute-error loss and y below every
    prediction, so the node receives da = +1 exactly."""
    pair = Pair([("in", "x", -1.0, 1.0), (kind, (0,)), ("out", 1, -1.0, 1.0)], params={1: params})
    pair.nodes[2]._loss = "mean_absolute_error"
    pair.native._query({"x": one(x)}, one(-1.0))
    return pair.nodes[1]


# Creation ------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["gaussian", "sine"])
def test_initial_values_follow_the_process_rand_sequence(kind):
    ref.srand(99991)
    nodes = [_vesk.Interaction(kind, (0, 0, 0)) for _ in range(4)]
    ref.srand(99991)
    twins = [ref.TWINS[kind].drawn() for _ in range(4)]
    for node, twin in zip(nodes, twins):
        assert node.state._to_dict() == {k: float(v) for k, v in twin.params().items()}


def test_sine_frequency_is_a_float_multiple_of_pi():
    multiples = {float(F(m * math.pi)) for m in (1, 2, 3)}
    for _ in range(20):
        node = _vesk.Interaction("sine", (0, 0, 0))
        assert node.state.x0 == 0.0 and node.state.k in multiples


def test_multiply_draws_nothing():
    ref.srand(5)
    _vesk.Interaction("multiply", (0, 0, 0), -3)  # any gluamine is accepted
    first = ref.rand()
    ref.srand(5)
    assert first == ref.rand()


# Gaussian ------------------------------------------------------------------


@pytest.mark.parametrize("x, center0, w0, expected", [(0.5, 0.5, 0.3, 1.0), (1.0, 0.0, 0.5, float(ref.expf(F(-2))))])
def test_gaussian_forward(x, center0, w0, expected):
    pair = Pair([("in", "x", -1.0, 1.0), ("gaussian", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"center0": center0, "w0": w0}})
    pair.native._query({"x": one(x)})
    assert pair.nodes[1].activation[0] == expected


def test_gaussian_worked_reverse_step():
    node = absolute_error_graph("gaussian", {"center0": 0.0, "w0": 0.5, "center1": 0.3, "w1": 0.2})
    lr = ref.learning_rate(0.0001, 0)
    a = ref.expf(F(-2))
    grad = (F(1) * a * F(1)) / (F(0.5) * F(0.5))  # 4 exp(-2), about 0.541
    dc0 = (F(1) * ((F(1) + F(1)) * a)) / F(0.5)
    assert grad == dc0 and abs(float(grad) - 0.541) < 1e-3
    state = node.state
    assert state.w0 == float(F(0.5) - lr * grad)
    assert state.center0 == float(F(0) - (lr * F(4)) * dc0)
    assert (state.center1, state.w1) == (float(F(0.3)), float(F(0.2)))


@pytest.mark.parametrize("start", [-1.0, 0.0, 1e-12])
def test_gaussian_width_is_floored_on_training(start):
    pair = Pair([("in", "x", -1.0, 1.0), ("gaussian", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"w0": 0.5, "w1": start}})
    pair.native._query({"x": one(0.2)}, one(0.4))
    expected = float(F(0.0001)) if start <= 0 else float(F(start))
    assert pair.nodes[1].state.w1 == expected
    assert ref.bits(F(0.0001)) == 0x38D1B717


def test_gaussian_width_driven_below_zero_reads_floor():
    # A tiny width makes the width gradient large enough that one step takes
    # the width below zero, where the floor catches it.
    pair = Pair([("in", "x", -1.0, 1.0), ("gaussian", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"center0": 0.0, "w0": 0.001}})
    pair.nodes[2]._loss = "mean_absolute_error"
    pair.native._query({"x": one(0.05)}, one(-1.0))  # da = +1 pushes w0 down
    assert pair.nodes[1].state.w0 == float(F(0.0001))


def test_gaussian_nan_width_stays_nan():
    pair = Pair([("in", "x", -1.0, 1.0), ("gaussian", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"w1": math.nan}})
    pair.native._query({"x": one(0.2)}, one(0.4))
    assert math.isnan(pair.nodes[1].state.w1)


# Sine ----------------------------------------------------------------------


def test_sine_peak_in_single_precision():
    pair = Pair([("in", "x", -1.0, 1.0), ("sine", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"x0": 0.0, "k": math.pi}})
    pair.native._query({"x": one(0.5)})
    assert pair.nodes[1].activation[0] == 1.0


def test_sine_worked_step():
    node = absolute_error_graph("sine", {"x0": 0.0, "k": 1.0}, x=0.0)
    assert node.state.x0 == -float(ref.learning_rate(0.01, 0))
    assert node.state.k == 1.0


def test_sine_ignores_a_second_source():
    layout = [("in", "x"), ("in", "z"), ("sine", (0, 1)), ("out", 2)]
    pair = Pair(layout)
    x, y = {"x": np.linspace(-1, 1, 60, dtype=np.float32), "z": np.linspace(5, 9, 60, dtype=np.float32)}, \
        np.linspace(0, 1, 60, dtype=np.float32)
    # The twin reads only the first source; the second holds values far
    # outside the first's range, so any use of it would show.
    got, want = pair.query(x, y)
    assert same_bits(got, want) and pair.mismatches() == []


# Multiply ------------------------------------------------------------------


@pytest.mark.parametrize("a, b", [(0.75, -0.5), (0.5, 0.5), (-1.0, 0.25)])
def test_multiply_forward(a, b):
    pair = Pair([("in", "x", -1.0, 1.0), ("in", "z", -1.0, 1.0), ("multiply", (0, 1)), ("out", 2, -1.0, 1.0)])
    pair.native._query({"x": one(a), "z": one(b)})
    assert pair.nodes[2].activation[0] == float(F(a) * F(b))


def test_multiply_square_gradient_reaches_the_shared_source():
    # The linear node feeds both sides of the product; its bias moves with
    # the sum of both shares, which only the twin's doubled gradient matches
    # to the bit over many samples.
    pair = Pair([("in", "x"), ("linear", (0,)), ("multiply", (1, 1)), ("out", 2)])
    for seed in range(3):
        rng = np.random.default_rng(seed)
        x = rng.uniform(-1, 1, 200).astype(np.float32)
        got, want = pair.query({"x": x}, (x * x * 0.3).astype(np.float32))
        assert first_difference(got, want) is None
        assert pair.mismatches() == []


# Training against the twin --------------------------------------------------

# gluamine 9 ("gaussian") and 17 ("sine") are among the values where a learning
# rate divided in single precision would differ from the one divided in
# double and rounded.
LAYOUTS = {
    "gaussian one source": [("in", "x"), ("gaussian", (0,)), ("out", 1)],
    "gaussian two sources": [("in", "x"), ("in", "z"), ("gaussian", (0, 1), 9), ("out", 2)],
    "gaussian on one node twice": [("in", "x"), ("tanh", (0,)), ("gaussian", (1, 1)), ("out", 2)],
    "sine": [("in", "x"), ("sine", (0,), 17), ("out", 1)],
    "sine after linear": [("in", "x", -3.0, 3.0), ("linear", (0,)), ("sine", (1,)), ("out", 2, 0.0, 2.0)],
    "multiply of two nodes": [("in", "x"), ("in", "z"), ("tanh", (0, 1)), ("gaussian", (0, 1)),
                              ("multiply", (2, 3)), ("sine", (4,)), ("out", 5)],
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_training_agrees_with_twin_to_the_bit(layout):
    ref.srand(31337)
    pair = Pair(LAYOUTS[layout], params=None)
    for i, n in enumerate([15, 400, 700]):
        rng = np.random.default_rng(100 + i)
        x = {"x": rng.uniform(-1.5, 2.0, n).astype(np.float32), "z": rng.normal(0, 1, n).astype(np.float32)}
        y = (np.exp(-x["x"] ** 2) + 0.2 * np.cos(3 * x["z"])).astype(np.float32)
        got, want = pair.query(x, y)
        assert first_difference(got, want) is None, (i, first_difference(got, want))
        assert pair.mismatches() == []
    got, want = pair.query({"x": np.linspace(-1, 1, 30).astype(np.float32),
                            "z": np.zeros(30, dtype=np.float32)})
    assert same_bits(got, want)


# Tooltips ------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, sources, params, text",
    [
        ("gaussian", (0,), {"center0": 0.125, "w0": 2.0}, "center: 0.12\nwidth: 2.00"),
        ("gaussian", (0, 1), {"center0": 0.5, "center1": -1.0, "w0": 2.0, "w1": 0.25},
         "center: 0.50, -1.00\nwidth: 2.00, 0.25"),
        ("sine", (0, 1), {"x0": -0.5, "k": 3.0}, "x0: -0.50\nk: 3.00"),
        ("multiply", (0, 1), {}, "multiply"),
    ],
)
def test_tooltips(kind, sources, params, text):
    node = _vesk.Interaction(kind, (0, 0, 0))
    for ix, src in enumerate(sources):
        node._set_source(ix, src)
    for key, value in params.items():
        setattr(node.state, key, value)
    assert node._tooltip == text
