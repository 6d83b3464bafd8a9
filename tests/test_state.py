"""The state of every type as attributes, as a dictionary and as a tooltip,
and the InteractionState companion that carries them."""
import ast
import math
import os
import re

import numpy as np
import pytest

import _vesk
import reference_math as ref
from conftest import run_python
from graph_pairs import Pair, columns, every_type, exact, same_bits

F = np.float32
TYPES = [t.NAME for t in ref.TYPES]
# Types with number attributes, and with any attributes at all.
NUMBERS = [t.NAME for t in ref.TYPES if float in t.ATTRIBUTES.values()]
DESCRIBED = [t.NAME for t in ref.TYPES if t.ATTRIBUTES]
# Names no type has; one with a NUL is refused by every type.
UNKNOWN = ["lr", "W0", "w0 ", "x", "", "w0\u00e9", "Feature_max", "w0\0junk", "feature_min\0junk"]
# Why each kind of attribute refuses a value in a dictionary.
REFUSALS = {float: {"no": (TypeError, "not a number"), 10 ** 400: (ValueError, "its conversion to float failed")},
            bool: {"no": (TypeError, "not a bool"), 10 ** 400: (TypeError, "not a bool")}}


def names_of(kind, takes=None):
    return [n for n, t in ref.BY_NAME[kind].ATTRIBUTES.items() if takes in (None, t)]


def fresh(kind):
    return _vesk.Interaction(kind, (2, 0, 0), 0, "n")


@pytest.mark.parametrize("kind", TYPES)
def test_dictionary_form_lists_the_attributes_in_order(kind):
    node = fresh(kind)
    state = node.state
    d = state._to_dict()
    assert list(d) == names_of(kind)
    assert [type(v) for v in d.values()] == list(ref.BY_NAME[kind].ATTRIBUTES.values())
    assert exact(state.__dict__) == exact(d) and state.__dict__ is not state.__dict__
    assert set(d) | {"_to_dict", "_from_dict"} <= set(dir(state))
    for key in d:
        d[key] = None
        with pytest.raises(AttributeError, match=r"^No such attribute '%s'$" % key):
            delattr(state, key)
    assert None not in state._to_dict().values()  # a copy


@pytest.mark.parametrize("kind", NUMBERS)
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
def test_numbers_are_stored_as_float32(kind, value, stored):
    node = fresh(kind)
    for name in names_of(kind, float):
        setattr(node.state, name, value)
        assert getattr(node.state, name) == stored and type(getattr(node.state, name)) is float


@pytest.mark.parametrize("kind", DESCRIBED)
@pytest.mark.parametrize("value", ["0.5", b"1", None, [1.0], 1j, 10 ** 400, 1],
                         ids=["str", "bytes", "None", "list", "complex", "huge int", "int"])
def test_unusable_values_are_refused_without_a_pending_error(kind, value):
    node = fresh(kind)
    state = node.state
    for name, takes in ref.BY_NAME[kind].ATTRIBUTES.items():
        if takes is float and value == 1 or takes is list and isinstance(value, list):
            continue  # usable
        before = exact(state._to_dict())
        if takes is list:
            refusal = (ValueError, "^Categorical registers expects list states$")
        else:
            refusal = (AttributeError, "^No such attribute '%s'$" % name)
        with pytest.raises(refusal[0], match=refusal[1]):
            setattr(state, name, value)
        assert exact(state._to_dict()) == before


@pytest.mark.parametrize("kind", TYPES)
@pytest.mark.parametrize("name", UNKNOWN)
def test_unknown_names(kind, name):
    twin = ref.BY_NAME[kind]
    node = fresh(kind)
    state = node.state
    before = exact(state._to_dict())
    nul = "\0" in name
    message = ("^No such attribute" if twin.ATTRIBUTES or nul
               else "^Interaction '%s' does not support attributes$" % kind)
    for action in (lambda: getattr(state, name), lambda: setattr(state, name, "1.0"), lambda: delattr(state, name)):
        with pytest.raises(AttributeError, match=message):
            action()
    if twin.ATTRIBUTES and twin.UNKNOWN_NAMES == "converted, ignored" and not nul:
        setattr(state, name, 1.0)  # accepted, changes nothing
    else:
        with pytest.raises(AttributeError, match=message):
            setattr(state, name, 1.0)
    assert exact(state._to_dict()) == before


@pytest.mark.parametrize("kind", TYPES)
def test_own_dictionary_changes_nothing(kind):
    node = fresh(kind)
    state = node.state
    values = {float: [1 / 3, -math.pi, math.nan, 1e-40], bool: [False], list: [[("a", 1 / 3), (2, math.nan)]]}
    for name, takes in ref.BY_NAME[kind].ATTRIBUTES.items():
        setattr(state, name, values[takes].pop(0))
    before = exact(state._to_dict())
    assert state._from_dict(state._to_dict()) is None and state._from_dict({"unrelated": 1, 7: 2}) is None
    assert exact(state._to_dict()) == before


@pytest.mark.parametrize("kind", [t.NAME for t in ref.TYPES if len(t.ATTRIBUTES) > 1])
@pytest.mark.parametrize("value", ["no", 10 ** 400], ids=["str", "huge int"])
def test_refused_value_in_from_dict_keeps_earlier_names(kind, value):
    node = fresh(kind)
    state = node.state
    first, *later = names_of(kind)
    for name in later:
        with pytest.raises(RuntimeError, match="^Interaction '%s' internal error setting attribute$" % kind) as info:
            state._from_dict({name: value, first: 0.5})
        assert getattr(state, first) == 0.5
        state._from_dict({first: 0.0})
        # The cause names the attribute, the type and why the value was refused.
        cause, why = REFUSALS[ref.BY_NAME[kind].ATTRIBUTES[name]][value]
        assert type(info.value.__cause__) is cause
        assert str(info.value.__cause__).startswith("cannot set '%s' of '%s' from a value of type '%s': %s"
                                                    % (name, kind, type(value).__name__, why))


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("kind", DESCRIBED)
def test_interrupts_and_memory_errors_in_a_conversion_propagate(kind, error):
    class Raising:
        def __float__(self):
            raise error

        def __hash__(self):
            raise error

        __bool__ = __float__

    node = fresh(kind)
    state = node.state
    name, takes = next(iter(ref.BY_NAME[kind].ATTRIBUTES.items()))
    value = [(Raising(), 1.0)] if takes is list else Raising()
    with pytest.raises(error):
        setattr(state, name, value)
    with pytest.raises(error):
        state._from_dict({name: value})
    # Names a type lacks are converted by some types, refused at once by others.
    if ref.BY_NAME[kind].UNKNOWN_NAMES.startswith("converted"):
        with pytest.raises(error):
            state.unknown = Raising()
    else:
        with pytest.raises(AttributeError):
            state.unknown = Raising()


def test_saved_dictionaries_restore_a_graph_that_trains_like_its_twin():
    # Restored from the dictionaries, every slot predicts to the bit as the
    # original; Adam's moments start again from zero and the rates come back
    # from gluamine, so a twin started from the same dictionaries trains as
    # the restored graph does.
    layout = every_type()
    layout = [(kind, what, 5) if not ref.BY_NAME[kind].REGISTER else (kind, what) for kind, what in layout]
    original = Pair(layout)
    x, y = columns(layout, 300, seed=3)
    original.query(x, y)
    original.query(x, y)
    restored = Pair(layout, {slot: node.state._to_dict() for slot, node in enumerate(original.nodes)})
    assert [exact(n.state._to_dict()) for n in restored.nodes] == [exact(n.state._to_dict()) for n in original.nodes]
    probe, _ = columns(layout, 50, seed=4)
    assert same_bits(restored.native._query(probe), original.native._query(probe))
    got, want = restored.query(x, y)
    assert same_bits(got, want) and restored.mismatches() == []


# Tooltips --------------------------------------------------------------------


@pytest.mark.parametrize("kind", TYPES)
def test_tooltips_are_cut_at_the_types_buffer(kind):
    # In a fresh interpreter: an unbounded write of huge values would
    # corrupt memory.
    twin = ref.BY_NAME[kind]
    cases = [(sources, values) for sources in [(), (0,), (0, 1)]
             for values in ([0.25, 3.0, -1.5, 0.125], [-3.4e38, 3.4e38, -3e38, 3e38])]
    result = run_python(f"""
        import _vesk
        for sources, values in {cases!r}:
            node = _vesk.Interaction({kind!r}, (0, 0, 0), 0, "temperature")
            for ix, src in enumerate(sources):
                node._set_source(ix, src)
            for name, value in zip({names_of(kind, float)!r}, values):
                setattr(node.state, name, value)
            print(repr((node._tooltip, node.state._to_dict())))
    """)
    assert result.returncode == 0, result.stderr
    for line, (sources, _) in zip(result.stdout.splitlines(), cases):
        tooltip, state = ast.literal_eval(line.replace("nan", "None"))
        full = twin.from_state(state, sources=sources, name="temperature").tooltip()
        assert tooltip == full[:twin.TOOLTIP_SIZE - 1], (sources, state)


def test_stubs_list_each_types_attributes():
    stubs = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "vesk_ext", "src", "_vesk.pyi")
    with open(stubs) as f:
        text = f.read()
    listed = {}
    for kinds, names in re.findall(r'^\s+- ("[^:]+): (.+)$', text, re.M):
        for kind in re.findall(r'"(\w+)"', kinds):
            listed[kind] = [] if names == "none" else names.split(", ")
    assert listed == {t.NAME: list(t.ATTRIBUTES) for t in ref.TYPES}
    declared = set(re.findall(r"^    (\w+): ", text, re.M))
    assert {n for t in ref.TYPES for n in t.ATTRIBUTES} <= declared


# The companion ------------------------------------------------------------------


@pytest.fixture
def state():
    interaction = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
    yield interaction.state  # the companion reaches its interaction only while it lives
    del interaction


def test_state_type_is_not_constructible_nor_exported(state):
    state_type = type(state)
    assert state_type.__module__ == "_vesk" and state_type.__name__ == "InteractionState"
    with pytest.raises(TypeError):
        state_type()
    with pytest.raises(TypeError):
        state_type.__new__(state_type)
    assert not hasattr(_vesk, "InteractionState")
    assert state_type.__doc__.startswith("The InteractionState object encapsulates the state of a single Interaction")
    assert state_type._to_dict.__doc__ == ("Get the state as a dict. This internal function is used for "
                                           "serialization of the interaction.")
    assert state_type._from_dict.__doc__ == ("Update the state from a dict. This internal function is used for "
                                             "deserialization of an interaction.")


def test_underscore_names_go_to_the_generic_machinery(state):
    for use in (lambda: setattr(state, "_x", 1), lambda: setattr(state, "__dict__", {}), lambda: state._missing):
        with pytest.raises(AttributeError):
            use()


def test_from_dict_edge_cases(state):
    assert state._from_dict({}) is None
    for argument in ([("feature_min", 1.0)], None, "x", 5):
        with pytest.raises(ValueError, match=r"^Argument must be dict$"):
            state._from_dict(argument)

    class D(dict):
        pass

    state._from_dict(D(feature_max=2.5))
    assert state.feature_max == 2.5
    with pytest.raises(TypeError):
        state._from_dict()
    with pytest.raises(TypeError):
        state._to_dict(1)


def test_from_dict_survives_a_value_that_changes_the_dict(state):
    d = {}

    class Sneaky(float):
        def __float__(self):
            d.clear()
            return 3.0

    d["feature_min"] = Sneaky(1.0)
    d["feature_max"] = 9.0
    state._from_dict(d)
    assert state.feature_min in (1.0, 3.0) and state.feature_max != state.feature_max
