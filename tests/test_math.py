"""The arithmetic of every type against its float32 twin: what creation
draws, training and prediction to the bit, the clamps and floors, and
Adam's bias corrections; the module's own float functions against the C
library's stored results."""
import ctypes
import hashlib
import math

import numpy as np
import pytest

import _vesk
import reference_math as ref
from conftest import run_python
from graph_pairs import Pair, columns, every_type, exact, first_difference, same_bits

F = np.float32
TYPES = [t.NAME for t in ref.TYPES]


@pytest.mark.parametrize("kind", TYPES)
def test_creation_draws_what_the_twin_draws(kind):
    ref.srand(20240611)
    nodes = [_vesk.Interaction(kind, (0, 0, 0)) for _ in range(3)]
    next_draw = ref.rand()
    ref.srand(20240611)
    twins = [ref.BY_NAME[kind].drawn() for _ in range(3)]
    assert ref.rand() == next_draw  # as many draws, no more
    assert [exact(n.state._to_dict()) for n in nodes] == [exact(t.state()) for t in twins]
    # A negative gluamine is refused by trained types, before any draw.
    for gluamine in (-1, -1000):
        ref.srand(77)
        if ref.BY_NAME[kind].LR_BASE is None:
            assert _vesk.Interaction(kind, (0, 0, 0), gluamine)._gluamine == gluamine
        else:
            with pytest.raises(ValueError, match=r"^gluamine must not be negative \(got %d\)$" % gluamine):
                _vesk.Interaction(kind, (0, 0, 0), gluamine)
        first_after = ref.rand()
        ref.srand(77)
        assert first_after == ref.rand()


# Training against the twin --------------------------------------------------


def rounding_gluamine(twin):
    """A gluamine whose learning rate, divided in double and rounded once,
    differs from one divided in single precision."""
    base = twin.LR_BASE or 0.005
    return next(g for g in range(100) if ref.learning_rate(base, g) != F(F(base) / ref.logf(F(g + 2))))


def layouts(kind):
    twin = ref.BY_NAME[kind]
    gluamine = rounding_gluamine(twin)
    # A trained node in front of the one reading it twice shows, in its own
    # parameters, the gradient both readings pass back.
    shared = kind if twin.LR_BASE is not None else "linear"
    found = {
        "two sources": [("fixed", "x"), ("fixed", "z"), (kind, (0, 1)), ("fixed", (2,))],
        "both sources one node": [("fixed", "x"), (shared, (0,)), (kind, (1, 1), gluamine), ("fixed", (2,))],
        "fixed ranges": [("fixed", "x", (-2.0, 3.0)), ("fixed", "z", (-1.0, 1.0)), (kind, (0, 1), gluamine),
                         ("fixed", (2,), (-0.5, 2.0))],
    }
    if twin.SOURCES[0] <= 1:
        found["one source"] = [("fixed", "x"), (kind, (0,)), ("fixed", (1,))]
    if twin.SOURCES == (1, 2):
        # Longer than a run of the training plan's steps without a return to
        # the loop: the node before as the only, the second and the first
        # source; the output in the middle of a run and at its end.
        found["long"] = chain(kind, 69)
        found["long, output ending a run"] = chain(kind, 64)
    return found


def chain(kind, size):
    return [("fixed", "x"), ("fixed", "z")] + [
        (kind, [(i - 2, i - 1), (i - 1,), (i - 1, 0)][i % 3]) for i in range(2, size - 1)] + [("fixed", (size - 2,))]


CASES = [(kind, name) for kind in [t.NAME for t in ref.MATH] for name in sorted(layouts(kind))]


def data(seed, n):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 3.0, n).astype(np.float32)
    z = rng.normal(0.0, 0.7, n).astype(np.float32)
    y = (np.sin(2.0 * x) * 0.6 + 0.4 * z + 0.8).astype(np.float32)
    return {"x": x, "z": z}, y


def moderate(layout):
    """Starting states of moderate size for every trained slot: drawn tanh
    weights reach 5 and would saturate the node, where it stops learning."""
    states = {}
    for slot, (kind, *_) in enumerate(layout):
        names = list(ref.BY_NAME[kind].ATTRIBUTES)
        if ref.BY_NAME[kind].LR_BASE is not None:
            states[slot] = dict(zip(names, [0.4, -0.3, 0.2, 0.6]))
    return states


def check_training(pair, xarray_of, sizes):
    for i, n in enumerate(sizes):
        x, y = xarray_of(i, n)
        got, want = pair.query(x, y)
        assert first_difference(got, want) is None, (i, first_difference(got, want))
        assert pair.mismatches() == []
    got, want = pair.query(xarray_of(99, 50)[0])  # prediction only
    assert same_bits(got, want) and pair.mismatches() == []


@pytest.mark.parametrize("kind, layout", CASES)
def test_training_agrees_with_twin_to_the_bit_across_adam_limits(kind, layout):
    slots = layouts(kind)[layout]
    # Query sizes chosen so that queries start and end on both sides of the
    # 20- and 1000-sample limits of Adam's bias corrections.
    check_training(Pair(slots, moderate(slots)), data, [7, 30, 900, 150, 80])


def test_a_graph_of_every_type_trains_like_its_twin():
    layout = every_type()
    check_training(Pair(layout, moderate(layout)), lambda seed, n: columns(layout, n, seed), [15, 400, 700])


@pytest.mark.parametrize("kind", [t.NAME for t in ref.MATH if issubclass(t, ref._AdamWeighted)])
@pytest.mark.parametrize("moments", [(0.01, 0.0001), (0.0, 1e-8), (-3e-39, 0.0)], ids=["both", "m2", "subnormal m1"])
def test_restored_momentum_moves_the_weight_of_an_unread_source(kind, moments):
    # A node reading one source never has a gradient for w1, but moments a
    # saved state brought still move it, sample after sample.
    pair = Pair([("fixed", "x", (-1.0, 1.0)), (kind, (0,)), ("fixed", (1,), (-1.0, 1.0))])
    node, twin = pair.nodes[1], pair.twin.nodes[1]
    saved = node.__getstate__()
    values = list(saved[-1])
    values[5:7] = moments  # w1's moments, after w0, w1, bias and w0's
    node.__setstate__(saved[:-1] + (tuple(values),))
    pair.native[1] = node
    twin.w1_adam.m1, twin.w1_adam.m2 = F(moments[0]), F(moments[1])
    x = np.linspace(-1, 1, 40).astype(F)
    for rows in (slice(0, 1), slice(1, 40)):
        got, want = pair.query({"x": x[rows]}, x[rows] * F(0.5))
        assert same_bits(got, want) and pair.mismatches() == []


@pytest.mark.parametrize("kind, start", [(t.NAME, state) for t in ref.MATH for state in t.EDGES])
@pytest.mark.parametrize("loss", sorted(ref.LOSSES))
def test_edge_states_train_like_the_twin(kind, start, loss):
    # Behind a "linear" node that starts as the identity, which shows in its
    # own parameters the gradient the node passes back.
    pair = Pair([("fixed", "x", (-1.0, 1.0)), ("linear", (0,)), (kind, (1,)), ("fixed", (2,), (-1.0, 1.0))],
                {1: {"w0": 1.0, "w1": 0.0, "bias": 0.0}, 2: start}, loss)
    x = np.array([1.0, 0.05, 0.2, -0.6, 0.75, -1.0], dtype=np.float32)
    y = np.array([-1.0, -1.0, 0.4, 0.3, 1.0, -1.0], dtype=np.float32)
    for k in range(len(x)):
        got, want = pair.query({"x": x[k:k + 1]}, y[k:k + 1])
        assert same_bits(got, want) and pair.mismatches() == [], k


@pytest.mark.parametrize(
    "kind, state, x, activation",
    [
        ("linear", {"w0": 2.0, "bias": 0.0}, 0.75, 1.0),  # 1.5, clamped
        ("linear", {"w0": 3.0, "bias": 0.0}, -1.0, -1.0),
        ("linear", {"w0": 1.0, "bias": 0.5}, 0.5, 1.0),  # exactly 1
        ("tanh", {"w0": 1.0, "bias": 0.0}, 0.0, 0.0),
        ("gaussian", {"center0": 0.5, "w0": 0.3}, 0.5, 1.0),  # at its centre
        ("sine", {"x0": 0.0, "k": math.pi}, 0.5, 1.0),  # its peak, in single precision
    ],
)
def test_landmarks(kind, state, x, activation):
    pair = Pair([("fixed", "x", (-1.0, 1.0)), (kind, (0,)), ("fixed", (1,), (-1.0, 1.0))], {1: state})
    pair.native._query({"x": np.array([x], dtype=np.float32)})
    assert pair.nodes[1].activation[0] == activation


def test_training_a_linear_node_reduces_error():
    pair = Pair([("fixed", "x"), ("linear", (0,)), ("fixed", (1,))])
    x = np.linspace(-1, 1, 400).astype(np.float32)
    y = (0.5 * x + 0.25).astype(np.float32)
    first, _ = pair.query({"x": x}, y)
    for _ in range(5):
        pair.query({"x": x}, y)
    last, _ = pair.query({"x": x})
    assert np.abs(last - y).mean() < np.abs(first - y).mean() / F(4)


# Adam -------------------------------------------------------------------------
#
# With w0 = 0, an input of 0 and a bias far above 1 a "linear" node's
# activation stays clamped at 1, and an expected value at the bottom of the
# range gives the bias the constant gradient 2 * (1 - (-1)) = 4 on every
# sample. The bias then moves by lr times the Adam step of a steady gradient,
# which shows the truncated bias corrections at samples 20 and 1000.

LR = float(ref.learning_rate(0.005, 0))


def one_sample(pair, x, y):
    return pair.query({"x": np.array([x], dtype=np.float32)}, np.array([y], dtype=np.float32))


def saturated_linear(bias=10.0):
    return Pair([("fixed", "x", (-1.0, 1.0)), ("linear", (0,)), ("fixed", (1,), (-1.0, 1.0))],
                {1: {"w0": 0.0, "w1": 0.0, "bias": bias}})


@pytest.fixture(scope="module")
def steady_run():
    """Bias after every sample of 1001 single-sample training queries, each
    checked against the twin."""
    pair = saturated_linear()
    state = pair.nodes[1].state
    biases = [state.bias]
    mismatched = []
    for n in range(1, 1002):
        one_sample(pair, 0.0, -1.0)
        biases.append(state.bias)
        if pair.mismatches():
            mismatched.append((n, pair.mismatches()))
    assert pair.nodes[1].activation[0] == 1.0  # still saturated at the end
    assert mismatched == []  # the twin agrees at every sample
    return biases


@pytest.mark.parametrize(
    "n, expected",
    [(1, 1.0), (2, 1.0), (10, 1.0), (19, 1.0), (20, 0.8784), (21, 0.8906), (999, 1.0), (1000, 1.2576)],
)
def test_steps_jump_where_the_corrections_stop(steady_run, n, expected):
    biases = steady_run
    # The bias is near 10 and below, so its float spacing blurs the measured
    # step by well under 2e-3.
    assert (biases[n - 1] - biases[n]) / LR == pytest.approx(expected, abs=2e-3)


def test_nan_gradient_poisons_the_moments_for_good():
    pair = Pair([("fixed", "x", (-1.0, 1.0)), ("linear", (0,)), ("fixed", (1,), (-1.0, 1.0))])
    state = pair.nodes[1].state
    one_sample(pair, 0.5, 0.2)
    state.bias = math.nan
    one_sample(pair, 0.5, 0.2)
    assert math.isnan(state.w0) and math.isnan(state.bias)
    # A state write sets the parameters, not the moments.
    state.w0, state.bias = 0.25, 0.0
    one_sample(pair, 0.5, 0.2)
    assert math.isnan(state.w0) and math.isnan(state.bias)
    # w1 has no source: its gradient stayed 0 and its moments clean.
    assert not math.isnan(state.w1)


# The module's own float functions ------------------------------------------


# (the probe's function, lanes, which n of its results): the scalar forms,
# sinf's and cosf's from the training step's sincosf, and the lane forms.
FLOAT_FORMS = {"tanhf": [(0, 0, 0), (0, 1, 0)], "expf": [(1, 0, 0), (1, 1, 0)], "sinf": [(3, 0, 0), (2, 1, 0)],
               "cosf": [(3, 0, 1)]}


@pytest.mark.parametrize("function", sorted(FLOAT_FORMS))
def test_every_form_of_the_float_functions_gives_the_library_bits(function):
    probe = ctypes.CDLL(_vesk.__file__).vesk_float_math_probe
    probe.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    x = ref.branch_inputs()
    n, disagreeing = len(x), ref.LIBRARY_DISAGREES[function]
    positions = np.searchsorted(x.view(np.uint32), list(disagreeing))
    checked = 0
    for cpu_set in (0, 1):  # the baseline set; the AVX2/FMA set, where this CPU has it
        for f, lanes, part in FLOAT_FORMS[function]:
            out = np.empty(2 * n, dtype=np.float32)
            if probe(cpu_set, f, lanes, x.ctypes.data, out.ctypes.data, n) != 0:
                assert cpu_set == 1
                continue
            got = out[part * n:(part + 1) * n]
            assert dict(zip(disagreeing, got.view(np.uint32)[positions].tolist())) == disagreeing, (cpu_set, f, lanes)
            assert hashlib.sha256(got.tobytes()).hexdigest() == ref.LIBRARY_DIGESTS[function], (cpu_set, f, lanes)
            checked += 1
    assert checked >= len(FLOAT_FORMS[function]) and n > 4_000_000


def test_the_probe_refuses_counts_it_cannot_take():
    # A negative count, one whose results would not fit in memory, and null
    # arrays are refused before any is read or written (in a child: a count
    # let through would crash it); a count of 0 touches nothing.
    proc = run_python('''
        import ctypes, numpy as np, _vesk
        probe = ctypes.CDLL(_vesk.__file__).vesk_float_math_probe
        probe.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
        x, out = np.ones(4, np.float32), np.zeros(8, np.float32)
        arrays = (x.ctypes.data, out.ctypes.data)
        for n, where in ((-1, arrays), (-2 ** 63, arrays), (2 ** 62, arrays), (2 ** 63 - 1, arrays), (1, (None, None)),
                         (1, (x.ctypes.data, None)), (0, (None, None))):
            for f, lanes in ((0, 1), (3, 0), (1, 0), (2, 1)):
                assert probe(0, f, lanes, *where, n) == (0 if n == 0 else -1), (n, f, lanes)
        assert not out.any()
        print("refused")
    ''')
    assert proc.stdout == "refused\n", proc.stderr
