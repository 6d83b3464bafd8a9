"""Parameters of the mathematical types as state attributes and dictionaries."""
import ast
import math

import numpy as np
import pytest

import _vesk
import reference_math as ref
from graph_pairs import Pair, same_bits

F = np.float32

ATTRIBUTES = {
    "linear": ["w0", "w1", "bias"],
    "tanh": ["w0", "w1", "bias"],
    "gaussian": ["center0", "center1", "w0", "w1"],
    "sine": ["x0", "k"],
}
STRICT = ["linear", "tanh"]      # unknown names refused on assignment
LENIENT = ["gaussian", "sine"]   # unknown names accepted silently
KINDS = sorted(ATTRIBUTES)


def fresh(kind, gluamine=0):
    return _vesk.Interaction(kind, (2, 0, 0), gluamine)


def bit_dict(state):
    return {k: ref.bits(v) for k, v in state._to_dict().items()}


@pytest.mark.parametrize("kind", KINDS)
def test_dictionary_keys_in_list_order(kind):
    node = fresh(kind)
    state = node.state
    d = state._to_dict()
    assert list(d) == ATTRIBUTES[kind]
    assert state.__dict__ == d and state.__dict__ is not state.__dict__
    assert all(type(v) is float for v in d.values())


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "value, stored",
    [
        (0.1, 0.10000000149011612),
        (True, 1.0),
        (False, 0.0),
        (3, 3.0),
        (np.float64(1 / 3), float(F(1 / 3))),
        (np.float32(-2.5), -2.5),
        (1e300, math.inf),
        (-math.inf, -math.inf),
        (2 ** 200, math.inf),  # beyond float32
    ],
)
def test_values_are_stored_as_float32(kind, value, stored):
    node = fresh(kind)
    state = node.state
    for name in ATTRIBUTES[kind]:
        setattr(state, name, value)
        assert getattr(state, name) == stored


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("value", ["0.5", b"1", None, [1.0], 1j, 10 ** 400],
                         ids=["str", "bytes", "None", "list", "complex", "huge int"])
def test_unusable_values_are_refused_without_a_pending_error(kind, value):
    node = fresh(kind)
    state = node.state
    name = ATTRIBUTES[kind][0]
    before = bit_dict(state)
    with pytest.raises(AttributeError, match="^No such attribute '%s'$" % name):
        setattr(state, name, value)
    assert bit_dict(state) == before


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["lr", "W0", "w0 ", "x", "", "w0\u00e9"])
def test_unknown_names(kind, name):
    if name in ATTRIBUTES[kind]:
        pytest.skip("a listed name")
    node = fresh(kind)
    state = node.state
    before = bit_dict(state)
    with pytest.raises(AttributeError, match="No such attribute"):
        getattr(state, name)
    if kind in STRICT:
        with pytest.raises(AttributeError, match="No such attribute"):
            setattr(state, name, 1.0)
    else:
        setattr(state, name, 1.0)  # accepted, changes nothing
    with pytest.raises(AttributeError, match="No such attribute"):
        setattr(state, name, "1.0")
    assert bit_dict(state) == before


def test_multiply_has_no_attributes():
    node = fresh("multiply")
    state = node.state
    for action in (lambda: state.w0, lambda: setattr(state, "w0", 1.0)):
        with pytest.raises(AttributeError, match="^Interaction 'multiply' does not support attributes$"):
            action()
    assert state._to_dict() == {} and state.__dict__ == {}
    assert state._from_dict({"w0": 1.0}) is None


@pytest.mark.parametrize("kind", KINDS)
def test_own_dictionary_changes_nothing(kind):
    node = fresh(kind)
    state = node.state
    for name, value in zip(ATTRIBUTES[kind], [1 / 3, -math.pi, math.nan, 1e-40]):
        setattr(state, name, value)
    before = bit_dict(state)
    assert state._from_dict(state._to_dict()) is None
    assert bit_dict(state) == before


@pytest.mark.parametrize("kind", STRICT + LENIENT)
@pytest.mark.parametrize("value, cause, why", [("no", TypeError, "not a number"),
                                               (10 ** 400, ValueError, "its conversion to float failed")],
                         ids=["str", "huge int"])
def test_refused_value_in_from_dict_keeps_earlier_names(kind, value, cause, why):
    node = fresh(kind)
    state = node.state
    first, second = ATTRIBUTES[kind][:2]
    with pytest.raises(RuntimeError, match="^Interaction '%s' internal error setting attribute$" % kind) as info:
        state._from_dict({second: value, first: 0.5})
    assert getattr(state, first) == 0.5
    # The cause names the attribute, the type and why the value was refused.
    assert type(info.value.__cause__) is cause
    assert str(info.value.__cause__).startswith("cannot set '%s' of '%s' from a value of type '%s': %s"
                                                % (second, kind, type(value).__name__, why))


TRAIN_LAYOUT = {
    "linear": (0, 1),
    "tanh": (0, 1),
    "gaussian": (0, 1),
    "sine": (0,),
    "multiply": (0, 1),
}


def small_graph(kind, gluamine, name):
    g = _vesk.Graph(4)
    x = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
    z = _vesk.Interaction("fixed", (0, 1, 0), 0, "z")
    node = _vesk.Interaction(kind, (1, 0, 0), gluamine, name)
    y = _vesk.Interaction("fixed", (2, 0, 0), 0, "y")
    x._set_source(0, -1)
    z._set_source(0, -1)
    for ix, src in enumerate(TRAIN_LAYOUT[kind]):
        node._set_source(ix, src)
    y._set_source(0, 2)
    for i, item in enumerate((x, z, node, y)):
        g[i] = item
    return g


@pytest.mark.parametrize("kind", KINDS + ["multiply"])
def test_saved_dictionary_reproduces_predictions(kind):
    rng = np.random.default_rng(7)
    x = {"x": rng.uniform(-1, 1, 300).astype(np.float32), "z": rng.uniform(-2, 2, 300).astype(np.float32)}
    y = (x["x"] * 0.5 - np.sin(x["z"])).astype(np.float32)
    trained = small_graph(kind, 3, "node")
    trained._query(x, y)
    trained._query(x, y)
    registers = {i: trained[i].state._to_dict() for i in (0, 1, 3)}
    saved = trained[2].state._to_dict()

    rebuilt = small_graph(kind, 3, "node")
    for i, d in registers.items():
        rebuilt[i].state._from_dict(d)
    rebuilt[2].state._from_dict(saved)
    assert bit_dict(rebuilt[2].state) == bit_dict(trained[2].state)
    probe = {"x": np.linspace(-1, 1, 50, dtype=np.float32), "z": np.linspace(-2, 2, 50, dtype=np.float32)}
    assert same_bits(rebuilt._query(probe), trained._query(probe))


@pytest.mark.parametrize("kind", KINDS)
def test_restored_node_trains_like_a_twin_started_there(kind):
    # Moments start again from zero after a restore, and the rate comes back
    # from gluamine: a twin built from the dictionary follows it to the bit.
    layout = [("in", "x"), ("in", "z"), (kind, TRAIN_LAYOUT[kind], 5), ("out", 2)]
    source = Pair(layout)
    rng = np.random.default_rng(3)
    x = {"x": rng.uniform(-1, 1, 100).astype(np.float32), "z": rng.uniform(-2, 2, 100).astype(np.float32)}
    y = np.cos(x["x"] + x["z"]).astype(np.float32)
    source.query(x, y)
    restored = Pair(layout, params={2: source.nodes[2].state._to_dict()})
    got, want = restored.query(x, y)
    assert same_bits(got, want) and restored.mismatches() == []


@pytest.mark.parametrize(
    "kind, sources, params, limit, cut",
    [
        ("linear", (0, 1), {"w0": 3e38, "w1": -3e38, "bias": 3e38}, 127, True),
        ("tanh", (0, 1), {"w0": -3e38, "w1": 3e38, "bias": 3e38}, 127, True),
        ("tanh", (0,), {"w0": -3.4e38, "bias": -3.4e38}, 127, False),
        ("gaussian", (0, 1), {"center0": 3e38, "center1": -3e38, "w0": 3e38, "w1": 3e38}, 127, True),
        # The largest floats still fit the smaller buffer of "sine".
        ("sine", (0,), {"x0": -3.4e38, "k": -3.4e38}, 99, False),
    ],
)
def test_huge_parameters_cut_the_tooltip_at_its_buffer(python_run, kind, sources, params, limit, cut):
    # In a fresh interpreter: an unbounded write would corrupt memory.
    result = python_run(f"""
        import _vesk
        node = _vesk.Interaction({kind!r}, (0, 0, 0))
        for ix, src in enumerate({sources!r}):
            node._set_source(ix, src)
        for key, value in {params!r}.items():
            setattr(node.state, key, value)
        print(repr(node._tooltip))
    """)
    assert result.returncode == 0, result.stderr
    tooltip = ast.literal_eval(result.stdout.splitlines()[0])
    values = {k: float(F(v)) for k, v in params.items()}
    form, keys = {
        "linear": ("w0: %.2f\nw1: %.2f\nbias: %.2f", ("w0", "w1", "bias")),
        "tanh": ("w0: %.2f\nw1: %.2f\nbias: %.2f", ("w0", "w1", "bias")) if len(sources) == 2
        else ("w: %.2f\nbias: %.2f", ("w0", "bias")),
        "gaussian": ("center: %.2f, %.2f\nwidth: %.2f, %.2f", ("center0", "center1", "w0", "w1")),
        "sine": ("x0: %.2f\nk: %.2f", ("x0", "k")),
    }[kind]
    full = form % tuple(values[k] for k in keys)
    assert (len(full) > limit) == cut and tooltip == full[:limit]


@pytest.mark.parametrize(
    "kind, sources",
    [
        ("multiply", (0,)),     # second source missing
        ("linear", ()),         # no source at all
        ("sine", (2,)),         # reads itself
        ("gaussian", (0, 3)),   # reads a slot above it
        ("tanh", (0, 5)),       # reads outside the graph
    ],
)
def test_graph_with_unreadable_sources_is_refused(python_run, kind, sources):
    # In a fresh interpreter: reading an unchecked slot may crash.
    result = python_run(f"""
        import numpy as np
        import _vesk
        g = _vesk.Graph(4)
        x = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
        x._set_source(0, -1)
        mid = _vesk.Interaction("linear", (1, 0, 0))
        mid._set_source(0, 0)
        node = _vesk.Interaction({kind!r}, (2, 0, 0))
        for ix, src in enumerate({sources!r}):
            node._set_source(ix, src)
        y = _vesk.Interaction("fixed", (3, 0, 0), 0, "y")
        y._set_source(0, 2)
        for i, item in enumerate((x, mid, node, y)):
            g[i] = item
        before = node.state._to_dict()
        try:
            g._query({{"x": np.ones(3, dtype=np.float32)}}, np.ones(3, dtype=np.float32))
        except Exception as exc:
            assert node.state._to_dict() == before
            print("refused:", type(exc).__name__)
        else:
            print("accepted")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused:")
