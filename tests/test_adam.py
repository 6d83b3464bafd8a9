"""The Adam step, observed through the bias of a saturated "linear" node.

With w0 = 0, an input of 0 and a bias far above 1 the node's activation stays
clamped at 1, and an expected value at the bottom of the range gives the bias
the constant gradient 2 * (1 - (-1)) = 4 on every sample. The bias then moves
by lr times the Adam step of a steady gradient, which shows the truncated
bias corrections at samples 20 and 1000.
"""
import math

import numpy as np
import pytest

import reference_math as ref
from graph_pairs import Pair

LR = float(ref.learning_rate(0.005, 0))


def saturated_pair(bias=10.0):
    pair = Pair(
        [("in", "x", -1.0, 1.0), ("linear", (0,)), ("out", 1, -1.0, 1.0)],
        params={1: {"w0": 0.0, "w1": 0.0, "bias": bias}},
    )
    return pair


def one_sample(pair, x, y):
    return pair.query({"x": np.array([x], dtype=np.float32)}, np.array([y], dtype=np.float32))


@pytest.fixture(scope="module")
def steady_run():
    """Bias after every sample of 1001 single-sample training queries."""
    pair = saturated_pair()
    state = pair.nodes[1].state
    biases = [state.bias]
    mismatched = []
    for n in range(1, 1002):
        one_sample(pair, 0.0, -1.0)
        biases.append(state.bias)
        if pair.mismatches():
            mismatched.append((n, pair.mismatches()))
    return pair, biases, mismatched


def step_at(biases, n):
    return (biases[n - 1] - biases[n]) / LR


def test_steady_gradient_matches_twin_at_every_sample(steady_run):
    pair, biases, mismatched = steady_run
    assert mismatched == []
    assert pair.nodes[1].activation[0] == 1.0  # still saturated at the end


@pytest.mark.parametrize(
    "n, expected",
    [(1, 1.0), (2, 1.0), (10, 1.0), (19, 1.0), (20, 0.8784), (21, 0.8906), (999, 1.0), (1000, 1.2576)],
)
def test_steps_jump_where_the_corrections_stop(steady_run, n, expected):
    _, biases, _ = steady_run
    # The bias is near 10 and below, so its float spacing blurs the measured
    # step by well under 2e-3.
    assert step_at(biases, n) == pytest.approx(expected, abs=2e-3)


def test_zero_gradient_from_fresh_moments_leaves_parameter_exact(steady_run):
    pair, _, _ = steady_run
    # w0 had gradient x * dz = 0 throughout, w1 belongs to no source.
    assert pair.nodes[1].state.w0 == 0.0
    assert pair.nodes[1].state.w1 == 0.0


@pytest.mark.parametrize("y", [-0.9, 0.1, 0.5])
def test_first_sample_moves_by_lr_against_the_gradient(y):
    # Activation 0, so the bias gradient is 2 * (0 - y); from fresh moments
    # the step is its sign, up to the epsilon.
    pair = Pair([("in", "x", -1.0, 1.0), ("linear", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"w0": 0.0, "bias": 0.0}})
    one_sample(pair, 0.0, y)
    assert pair.nodes[1].state.bias == pytest.approx(math.copysign(LR, y), rel=1e-5, abs=0)
    assert pair.mismatches() == []


def test_momentum_moves_a_parameter_with_zero_gradient():
    pair = Pair([("in", "x", -1.0, 1.0), ("linear", (0,)), ("out", 1, -1.0, 1.0)],
                params={1: {"w0": 0.25, "bias": 0.0}})
    state = pair.nodes[1].state
    pair.query({"x": np.full(5, 0.5, dtype=np.float32)}, np.full(5, 0.9, dtype=np.float32))
    before = state.w0
    one_sample(pair, 0.0, 0.9)  # w0's gradient is x * dz = 0 now
    assert state.w0 != before
    assert pair.mismatches() == []


def test_nan_gradient_poisons_the_moments_for_good():
    pair = Pair([("in", "x", -1.0, 1.0), ("linear", (0,)), ("out", 1, -1.0, 1.0)])
    state = pair.nodes[1].state
    one_sample(pair, 0.5, 0.2)
    state.bias = math.nan
    one_sample(pair, 0.5, 0.2)
    assert math.isnan(state.w0) and math.isnan(state.bias)
    state.w0, state.bias = 0.25, 0.0
    one_sample(pair, 0.5, 0.2)
    assert math.isnan(state.w0) and math.isnan(state.bias)
    # w1 has no source: its gradient stayed 0 and its moments clean.
    assert not math.isnan(state.w1)
