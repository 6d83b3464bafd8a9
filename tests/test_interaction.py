"""The Interaction object: construction, sources, properties, lifetime."""
import gc
import sys

import numpy as np
import pytest

import _vesk
import reference_math as ref
from builders import graph_of, register

TYPES = [t.NAME for t in ref.TYPES]


def test_defaults_of_a_new_interaction():
    x = _vesk.Interaction("fixed", (1, 2, 3))
    assert x.type == "fixed" and x.name == ""
    assert x.sources == () and x._location == -1 and x._latticeloc == (1, 2, 3)
    assert x._gluamine == 0 and x._errcode == 0 and x._loss is None and x._linkdata is None
    assert x.state is x.state
    assert str(x) == repr(x) == "_vesk.Interaction (fixed)"
    assert _vesk.Interaction(type="fixed", latticeloc=(0, 0, 0), gluamine=7, name="n")._gluamine == 7
    assert _vesk.Interaction("fixed", (2 ** 31 - 1, -(2 ** 31), 0))._latticeloc == (2 ** 31 - 1, -(2 ** 31), 0)


@pytest.mark.parametrize("kind", TYPES)
def test_registers_are_named_and_other_types_by_their_type(kind):
    x = _vesk.Interaction(kind, (0, 0, 0), 0, "x")
    assert x.type == kind and x.name == ("x" if ref.BY_NAME[kind].REGISTER else kind)


def test_name_none_and_cut():
    assert _vesk.Interaction("fixed", (0, 0, 0), 0, None).name == ""
    assert _vesk.Interaction("fixed", (0, 0, 0), 0, "a" * 200).name == "a" * 126
    # A cut inside a two-byte character backs off to the character boundary.
    name = "a" + "\u00e9" * 100  # 1 + 200 bytes; byte 126 is the middle of a character
    assert _vesk.Interaction("fixed", (0, 0, 0), 0, name).name == "a" + "\u00e9" * 62
    assert _vesk.Interaction("fixed", (0, 0, 0), 0, "\u20ac" * 50).name == "\u20ac" * 42


TRIPLE = r"^The latticeloc must be a three item tuple$"


@pytest.mark.parametrize("args, error, message", [
    (("fixed", [0, 0, 0]), ValueError, TRIPLE), (("fixed", (0, 0)), ValueError, TRIPLE),
    (("fixed", (0, 0, 0, 0)), ValueError, TRIPLE), (("fixed", 5), ValueError, TRIPLE),
    (("fixed", "abc"), ValueError, TRIPLE),
    (("fixed", (0, 0, 2 ** 31)), OverflowError, None), (("fixed", (0, 0, -(2 ** 31) - 1)), OverflowError, None),
    (("fixed", (0, 0, 2 ** 70)), OverflowError, None), (("fixed", (0, "x", 0)), TypeError, None),
    ((), TypeError, None), ((1, (0, 0, 0)), TypeError, None), (("fixed",), TypeError, None),
    (("fixed", (0, 0, 0), "g"), TypeError, None), (("fixed", (0, 0, 0), 0, 5), TypeError, None),
])
def test_constructor_refusals(args, error, message):
    with pytest.raises(error, match=message):
        _vesk.Interaction(*args)


def test_unknown_type_leaves_no_companion():
    x = _vesk.Interaction.__new__(_vesk.Interaction)
    with pytest.raises(ValueError, match=r"^No such interaction type: 'nope'$"):
        x.__init__("nope", (1, 2, 3), 4, "n")
    assert x.type == "nope" and x._latticeloc == (1, 2, 3) and x._gluamine == 4
    with pytest.raises(RuntimeError):
        x.state
    # A long type name is cut in the record, not in the message.
    with pytest.raises(ValueError, match="No such interaction type: 'abcdefghijklmnopqrstuvwxyz'"):
        x.__init__("abcdefghijklmnopqrstuvwxyz", (0, 0, 0))
    assert x.type == "abcdefghijklmno"


def test_object_without_constructor_refuses_what_needs_a_type():
    x = _vesk.Interaction.__new__(_vesk.Interaction)
    assert x.type is None and x.sources == () and x._location == 0 and x._linkdata is None
    for attr in ("state", "_loss", "_tooltip"):
        with pytest.raises(RuntimeError):
            getattr(x, attr)
    with pytest.raises(RuntimeError):
        x._loss = "mean_squared_error"
    with pytest.raises(AttributeError):
        del x._loss
    g = _vesk.Graph(1)
    g[0] = x
    assert x.depth == -1  # sourcecount 0: a node without sources


def test_constructor_twice_releases_the_earlier_companion():
    x = _vesk.Interaction("fixed", (0, 0, 0), 0, "a")
    x._set_source(0, -1)
    old_state = x.state
    x._loss = "".join(["mean_absolute", "_error"])  # built at run time: not interned, not immortal
    loss = x._loss
    refs = sys.getrefcount(loss)
    x.__init__("fixed", (1, 1, 1), 0, "b")
    assert x.state is not old_state and x._loss is None and x.name == "b"
    assert sys.getrefcount(loss) == refs - 1
    with pytest.raises(RuntimeError):
        old_state.feature_min  # the old companion no longer reaches the interaction
    assert x.state.feature_min != x.state.feature_min  # NaN: a fresh state
    # Its sources too: the input register made again is no input register.
    assert x.__getstate__()[5:7] == _vesk.Interaction("fixed", (0, 0, 0)).__getstate__()[5:7]


def test_companion_outliving_its_interaction():
    x = _vesk.Interaction("fixed", (0, 0, 0))
    state = x.state
    del x
    gc.collect()
    for use in (lambda: state.feature_min, lambda: setattr(state, "feature_min", 1.0), lambda: state._to_dict(),
                lambda: state._from_dict({"feature_min": 1.0}), lambda: state.__dict__):
        with pytest.raises(RuntimeError):
            use()


def test_set_source_counts():
    x = _vesk.Interaction("fixed", (0, 0, 0))
    for ix in (2, -1, 7):
        with pytest.raises(ValueError, match=r"^Source index %i is out of range$" % ix):
            x._set_source(ix, 0)
        assert x.sources == ()
    x._set_source(0, -1)
    assert x.sources == ()
    y = _vesk.Interaction("fixed", (0, 0, 0))
    y._set_source(1, 4)
    assert y.sources == (0, 4)
    z = _vesk.Interaction("fixed", (0, 0, 0))
    z._set_source(0, 3)
    z._set_source(1, 4)
    z._set_source(1, -1)
    assert z.sources == (3, -1)
    z._set_source(0, -1)
    assert z.sources == (-1, -1)
    with pytest.raises(TypeError):
        z._set_source(0)
    with pytest.raises(TypeError):
        z._set_source(ix=0, src=1)


def test_depth():
    a, b = register("a"), register("b")
    c = register("c", source=0)
    c._set_source(1, 1)
    d = register("d", source=2)
    g = graph_of(a, b, c, d)
    assert [g[i].depth for i in range(4)] == [-1, -1, 0, 1]
    unconnected = _vesk.Interaction("fixed", (0, 0, 0))
    _kept = graph_of(register("a"), unconnected)  # the graph holds what the checks read
    assert unconnected.sources == () and unconnected.depth == -1
    n = 100000  # a long chain
    g = graph_of(register("x"), *[register("r", source=i - 1) for i in range(1, n)])
    assert g[n - 1].depth == n - 2
    assert g[n // 2].depth == n // 2 - 1


@pytest.mark.parametrize("sources, message", [((5,), "not a filled slot"), ((-3,), "not a filled slot"),
                                             ((1,), "not a filled slot"), ((2,), "cycle")])
def test_depth_refuses_bad_sources(sources, message):
    g = _vesk.Graph(3)
    g[0] = register("a")
    x = _vesk.Interaction("fixed", (0, 0, 0))
    for i, s in enumerate(sources):
        x._set_source(i, s)
    g[2] = x
    with pytest.raises(RuntimeError, match=message):
        x.depth


def test_activation_shares_the_slot_and_keeps_the_interaction_alive():
    x = register("x", auto_adapt=False)
    y = register("y", (1, 0, 0), source=0)
    g = graph_of(x, y)
    assert x.activation.dtype == np.float32 and x.activation.shape == (0,)
    g._query({"x": np.array([0.25, 0.5], dtype=np.float32)})
    arr = x.activation
    assert arr.shape == (1,) and arr[0] == np.float32(0.5) and arr.flags.c_contiguous and arr.flags.writeable
    g._query({"x": np.array([-0.75], dtype=np.float32)})
    assert arr[0] == np.float32(-0.75)  # shared storage, not a copy
    del g, x, y
    gc.collect()
    assert arr[0] == np.float32(-0.75)  # the interaction lives as the array's base
    assert isinstance(arr.base, _vesk.Interaction)


def test_loss_property():
    x = _vesk.Interaction("fixed", (0, 0, 0))
    assert x._loss is None
    x._loss = "mean_absolute_error"
    assert x._loss == "mean_absolute_error"
    b = b"categorical_cross_entropy"
    x._loss = b
    assert x._loss is b
    with pytest.raises(AttributeError):
        del x._loss
    assert x._loss is b


@pytest.mark.parametrize("kind", [t.NAME for t in ref.TYPES if t.LOSS is not None])
def test_loss_refused_on_types_without_loss(kind):
    x = _vesk.Interaction(kind, (0, 0, 0))
    error, message = ref.BY_NAME[kind].LOSS
    for value in ("mean_squared_error", b"mean_absolute_error", None):
        with pytest.raises(error, match="^%s$" % (message % kind if "%s" in message else message)):
            x._loss = value
    assert x._loss is None


def test_linkdata():
    x = _vesk.Interaction("fixed", (0, 0, 0))
    payload = {"k": 1}
    refs = sys.getrefcount(payload)
    x._linkdata = payload
    assert sys.getrefcount(payload) == refs + 1
    assert x._linkdata is payload
    x._linkdata = None
    assert x._linkdata is None and sys.getrefcount(payload) == refs
    x._linkdata = payload
    del x._linkdata
    assert x._linkdata is None and sys.getrefcount(payload) == refs
    x._linkdata = payload
    del x
    gc.collect()
    assert sys.getrefcount(payload) == refs


def test_read_only_properties_no_subclasses_and_documentation():
    x = _vesk.Interaction("fixed", (0, 0, 0), 0, "temperature")
    for prop in ("sources", "_location", "_latticeloc", "state", "type", "_gluamine", "name", "_tooltip",
                 "activation", "depth", "_errcode", "anything"):
        with pytest.raises(AttributeError):
            setattr(x, prop, 1)
    with pytest.raises(TypeError):
        type("Sub", (_vesk.Interaction,), {})
    Ix = _vesk.Interaction
    assert Ix.sources.__doc__ == "Get the indices of the predecessors of this interaction within the graph."
    assert Ix._latticeloc.__doc__ == "Get interaction location within the Mirelund."
    assert Ix.depth.__doc__ == "Get the depth of this interaction within it's graph."
    assert Ix._set_source.__doc__ == "Set a source."
    assert Ix.__doc__.startswith("A graph is a collection of Interactions linked together.")
    assert Ix.state.__doc__.startswith("Get internal state of interaction, such as the weigths")
