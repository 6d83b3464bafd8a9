"""The InteractionState companion: routing of attribute access, the
dictionary form and its refusals."""
import pytest

import _vesk
from conftest import registered


@pytest.fixture
def state():
    interaction = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
    yield interaction.state  # the companion reaches its interaction only while it lives
    del interaction


def test_dict_forms_are_fresh_copies(state):
    a, b = state.__dict__, state._to_dict()
    assert a == b or str(a) == str(b)  # NaN values compare unequal
    assert list(a) == ["feature_min", "feature_max", "auto_adapt"]
    assert a is not b and state.__dict__ is not a
    a["auto_adapt"] = False
    assert state.auto_adapt is True


def test_dir_lists_the_attributes(state):
    names = dir(state)
    assert {"feature_min", "feature_max", "auto_adapt", "_to_dict", "_from_dict"} <= set(names)


def test_underscore_names_go_to_the_generic_machinery(state):
    with pytest.raises(AttributeError):
        state._x = 1
    with pytest.raises(AttributeError):
        state.__dict__ = {}
    with pytest.raises(AttributeError):
        state._missing
    assert state.__class__.__name__ == "InteractionState"


def test_deleting_an_attribute_fails(state):
    with pytest.raises(AttributeError, match=r"^No such attribute 'feature_min'$"):
        del state.feature_min
    with pytest.raises(AttributeError, match=r"^No such attribute 'nothing'$"):
        del state.nothing


def test_names_with_nul_are_refused(state):
    with pytest.raises(AttributeError):
        getattr(state, "feature_min\0junk")
    with pytest.raises(AttributeError):
        setattr(state, "feature_min\0junk", 1.0)
    assert state.feature_min != state.feature_min  # unchanged NaN


@pytest.mark.parametrize("argument", [[("feature_min", 1.0)], None, "x", 5])
def test_from_dict_needs_a_dict(state, argument):
    with pytest.raises(ValueError, match=r"^Argument must be dict$"):
        state._from_dict(argument)


def test_from_dict_edge_cases(state):
    assert state._from_dict({}) is None
    assert state._from_dict({"unrelated": 1, 7: 2}) is None
    assert state.feature_min != state.feature_min

    class D(dict):
        pass

    state._from_dict(D(feature_max=2.5))
    assert state.feature_max == 2.5
    with pytest.raises(TypeError):
        state._from_dict()
    with pytest.raises(TypeError):
        state._to_dict(1)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("kind, name", [("linear", "w0"), ("gaussian", "unknown"), ("fixed", "feature_max"),
                                        ("cat", "categories")])
def test_interrupts_and_memory_errors_in_a_conversion_propagate(kind, name, error):
    class Raising:
        def __float__(self):
            raise error

        def __hash__(self):
            raise error

    node = _vesk.Interaction(kind, (0, 0, 0))
    state = node.state
    value = [(Raising(), 1.0)] if kind == "cat" else Raising()
    with pytest.raises(error):
        setattr(state, name, value)
    if name in state._to_dict():
        with pytest.raises(error):
            state._from_dict({name: value})


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


def test_docs():
    state_type = type(_vesk.Interaction("fixed", (0, 0, 0)).state)
    assert state_type.__doc__.startswith("The InteractionState object encapsulates the state of a single Interaction")
    assert state_type._to_dict.__doc__ == ("Get the state as a dict. This internal function is used for "
                                           "serialization of the interaction.")
    assert state_type._from_dict.__doc__ == ("Update the state from a dict. This internal function is used for "
                                             "deserialization of an interaction.")


@pytest.mark.skipif(not registered("multiply"), reason="multiply not registered")
def test_type_without_attributes():
    m = _vesk.Interaction("multiply", (0, 0, 0))
    s = m.state
    for action in (lambda: s.w0, lambda: setattr(s, "w0", 1.0)):
        with pytest.raises(AttributeError, match=r"^Interaction 'multiply' does not support attributes$"):
            action()
    assert s._to_dict() == {} and s.__dict__ == {}
    assert s._from_dict({"w0": 1.0}) is None
