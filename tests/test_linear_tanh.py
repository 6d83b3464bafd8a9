"""The Adam-trained weighted sums: "linear" (clamped) and "tanh"."""
import numpy as np
import pytest

import _vesk
import reference_math as ref
from graph_pairs import Pair, first_difference, same_bits

F = np.float32
TYPES = ["linear", "tanh"]


def make(kind, gluamine=0, lattice=(1, 0, 0)):
    return _vesk.Interaction(kind, lattice, gluamine)


# Creation ------------------------------------------------------------------


@pytest.mark.parametrize("kind", TYPES)
def test_initial_values_follow_the_process_rand_sequence(kind):
    ref.srand(20240611)
    nodes = [make(kind) for _ in range(3)]
    ref.srand(20240611)
    twins = [ref.TWINS[kind].drawn() for _ in range(3)]
    for node, twin in zip(nodes, twins):
        assert node.state._to_dict() == {k: float(v) for k, v in twin.params().items()}
    if kind == "linear":
        assert all(n.state.bias == 0.0 and -0.5 <= n.state.w0 <= 0.5 for n in nodes)
    else:
        assert all(-5.0 <= v <= 5.0 for n in nodes for v in n.state._to_dict().values())


@pytest.mark.parametrize("kind", TYPES + ["gaussian", "sine"])
@pytest.mark.parametrize("gluamine", [-1, -2, -1000])
def test_negative_gluamine_is_refused_before_any_draw(kind, gluamine):
    ref.srand(77)
    with pytest.raises(ValueError, match=r"gluamine must not be negative \(got %d\)" % gluamine):
        _vesk.Interaction(kind, (0, 0, 0), gluamine)
    first_after = ref.rand()
    ref.srand(77)
    assert first_after == ref.rand()


# Forward -------------------------------------------------------------------


def forward_only(kind, x, params):
    pair = Pair([("in", "x", -1.0, 1.0), (kind, (0,)), ("out", 1, -1.0, 1.0)], params={1: params})
    pair.native._query({"x": np.array([x], dtype=np.float32)})
    return pair.nodes[1].activation[0]


@pytest.mark.parametrize(
    "x, params, expected",
    [
        (0.75, {"w0": 2.0, "bias": 0.0}, 1.0),   # 1.5 clamped
        (-1.0, {"w0": 3.0, "bias": 0.0}, -1.0),  # -3 clamped
        (0.5, {"w0": 1.0, "bias": 0.5}, 1.0),    # exactly 1
        (0.5, {"w0": 1.0, "bias": 0.25}, 0.75),
    ],
)
def test_linear_clamps_its_sum(x, params, expected):
    assert forward_only("linear", x, params) == expected


def test_tanh_of_zero_sum_is_zero():
    assert forward_only("tanh", 0.0, {"w0": 1.0, "bias": 0.0}) == 0.0


# Training against the twin --------------------------------------------------

# gluamine 13 is one of the values where a learning rate divided in single
# precision would differ from the one divided in double and rounded.
LAYOUTS = {
    "one source": lambda k: [("in", "x"), (k, (0,)), ("out", 1)],
    "two sources": lambda k: [("in", "x"), ("in", "z"), (k, (0, 1)), ("out", 2)],
    "chained, both sources one node": lambda k: [("in", "x"), (k, (0,)), (k, (1, 1), 3), ("out", 2)],
    "fixed ranges, gluamine 13": lambda k: [("in", "x", -2.0, 3.0), ("in", "z", -1.0, 1.0),
                                            (k, (0, 1), 13), ("out", 2, -0.5, 2.0)],
    # Longer than a run of steps without a return to the loop: the node
    # before as the only, the second and the first source; the output in
    # the middle of a run and at its end.
    "long": lambda k: chain(k, 69),
    "long, output ending a run": lambda k: chain(k, 64),
}


def chain(kind, size):
    return [("in", "x"), ("in", "z")] + [
        (kind, [(i - 2, i - 1), (i - 1,), (i - 1, 0)][i % 3]) for i in range(2, size - 1)] + [("out", size - 2)]


def data(seed, n):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-2.0, 3.0, n).astype(np.float32)
    z = rng.normal(0.0, 0.7, n).astype(np.float32)
    y = (np.sin(2.0 * x) * 0.6 + 0.4 * z + 0.8).astype(np.float32)
    return {"x": x, "z": z}, y


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("kind", TYPES)
def test_training_agrees_with_twin_to_the_bit_across_adam_limits(kind, layout):
    ref.srand(4242)
    slots = LAYOUTS[layout](kind)
    # Drawn tanh weights reach 5 and would often saturate the node, where it
    # stops learning; moderate ones keep every step visible.
    params = {i: {"w0": 0.4, "w1": -0.3, "bias": 0.2} for i, s in enumerate(slots) if s[0] == "tanh"}
    pair = Pair(slots, params)
    # Query sizes chosen so that queries start and end on both sides of the
    # 20- and 1000-sample limits of the bias corrections.
    for i, n in enumerate([7, 30, 900, 150, 80]):
        x, y = data(i, n)
        got, want = pair.query(x, y)
        assert first_difference(got, want) is None, (i, first_difference(got, want))
        assert pair.mismatches() == []
    x, _ = data(99, 50)
    got, want = pair.query(x)  # prediction only
    assert same_bits(got, want)
    assert pair.mismatches() == []


def test_training_a_linear_node_reduces_error():
    pair = Pair([("in", "x"), ("linear", (0,)), ("out", 1)])
    x = np.linspace(-1, 1, 400).astype(np.float32)
    y = (0.5 * x + 0.25).astype(np.float32)
    first, _ = pair.query({"x": x}, y)
    for _ in range(5):
        pair.query({"x": x}, y)
    last, _ = pair.query({"x": x})
    assert np.abs(last - y).mean() < np.abs(first - y).mean() / F(4)


def test_tanh_saturated_at_one_passes_nothing_back():
    # Activation exactly 1: dz is 0, so with fresh moments neither the tanh
    # node nor the linear node feeding it moves.
    pair = Pair([("in", "x", -1.0, 1.0), ("linear", (0,)), ("tanh", (1,)), ("out", 2, -1.0, 1.0)],
                params={1: {"w0": 1.0, "bias": 0.0}, 2: {"w0": 100.0, "w1": 0.5, "bias": 0.0}})
    before = [pair.nodes[i].state._to_dict() for i in (1, 2)]
    got, _ = pair.query({"x": np.array([1.0], dtype=np.float32)}, np.array([-1.0], dtype=np.float32))
    assert pair.nodes[2].activation[0] == 1.0
    assert [pair.nodes[i].state._to_dict() for i in (1, 2)] == before


@pytest.mark.parametrize("kind", TYPES)
def test_one_source_node_ignores_w1(kind):
    base = {"w0": 0.5, "bias": 0.1}
    a = forward_only(kind, 0.5, dict(base, w1=0.0))
    b = forward_only(kind, 0.5, dict(base, w1=123.0))
    assert a == b


# Tooltips ------------------------------------------------------------------


@pytest.mark.parametrize("kind", TYPES)
@pytest.mark.parametrize(
    "sources, text",
    [((0,), "w: 0.25\nbias: -1.50"), ((0, 1), "w0: 0.25\nw1: 3.00\nbias: -1.50"), ((), "w0: 0.25\nw1: 3.00\nbias: -1.50")],
)
def test_tooltip_forms(kind, sources, text):
    node = make(kind)
    for ix, src in enumerate(sources):
        node._set_source(ix, src)
    node.state.w0, node.state.w1, node.state.bias = 0.25, 3.0, -1.5
    assert node._tooltip == text


# Graph hash ----------------------------------------------------------------


def test_graph_hash_with_a_linear_node():
    def graph(lin_lattice):
        g = _vesk.Graph(3)
        a = _vesk.Interaction("fixed", (1, 0, 0), 0, "x")
        a._set_source(0, -1)
        b = _vesk.Interaction("linear", lin_lattice)
        b._set_source(0, 0)
        c = _vesk.Interaction("fixed", (3, 0, 0), 0, "y")
        c._set_source(0, 1)
        g[0], g[1], g[2] = a, b, c
        return g

    assert hash(graph((2, 0, 0))) == 320
    assert hash(graph((0, 1, 0))) == 712
