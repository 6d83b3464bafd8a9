"""The Graph object: slots, mapping protocol, back-pointers, hash, edges."""
import ctypes
import gc

import pytest

import _vesk
import reference_math as ref
from builders import graph_of, register


def node(type_name="fixed", loc=(0, 0, 0), sources=()):
    x = _vesk.Interaction(type_name, loc)
    for i, s in enumerate(sources):
        x._set_source(i, s)
    return x


def test_default_graph():
    g = _vesk.Graph()
    assert len(g) == 10
    assert [g[i] for i in range(10)] == [None] * 10
    assert g.edge_count == 0
    assert str(g) == repr(g) == "_vesk.Graph (10 interactions)"
    assert _vesk.Graph(size=3).__len__() == 3
    assert _vesk.Graph.__doc__ == "Vesk Graph"
    assert _vesk.Graph.edge_count.__doc__ == "Get the total number of edges in this graph."

    class Sub(_vesk.Graph):
        pass

    s = Sub(4)
    s[3] = node()
    s.extra = 1
    assert len(s) == 4 and isinstance(s[3], _vesk.Interaction) and s.extra == 1


@pytest.mark.parametrize("size", [0, -1, -7])
def test_graph_without_slots(size):
    g = _vesk.Graph(size)
    assert hash(g) == 0 and g.edge_count == 0
    assert str(g) == "_vesk.Graph (%i interactions)" % size
    for i in (0, -1, 1):
        with pytest.raises(IndexError, match=r"^Index out of bounds\. Size is %i$" % size):
            g[i]
        with pytest.raises(IndexError, match=r"^Index %i out of bounds\. Size is %i$" % (i, size)):
            g[i] = node()
    if size < 0:
        with pytest.raises(ValueError, match=r"__len__\(\) should return >= 0"):
            len(g)
    else:
        assert len(g) == 0


@pytest.mark.parametrize("args", [("x",), (1.5,), (2 ** 31,), (-(2 ** 31) - 1,), (1, 2)])
def test_bad_size_argument(args):
    with pytest.raises((TypeError, OverflowError)):
        _vesk.Graph(*args)


def test_indices():
    g = _vesk.Graph(10)
    a, b = node(), node()
    g[9] = a
    g[0] = b
    assert g[-1] is a and g[-10] is b and g[9] is a
    for i in (10, -11):
        with pytest.raises(IndexError, match=r"^Index out of bounds\. Size is 10$"):
            g[i]
    for i in (-1, 10, 2 ** 40):
        with pytest.raises(IndexError, match=r"^Index %i out of bounds\. Size is 10$" % i):
            g[i] = node()
    with pytest.raises(IndexError, match=r"^Index -1 out of bounds\. Size is 10$"):
        del g[-1]
    with pytest.raises(TypeError):
        g["a"]
    with pytest.raises(TypeError):
        g["a"] = node()
    assert g[9] is a


@pytest.mark.parametrize("value", [1.5, "x", None, _vesk.Graph(1), object()])
def test_only_interactions_are_assigned(value):
    g = _vesk.Graph(2)
    with pytest.raises(ValueError, match=r"^Graph items must be of type _vesk\.Interaction$"):
        g[0] = value
    assert g[0] is None


def test_iterates_over_slots_and_identity_equality():
    g = _vesk.Graph(3)
    x, y = node(), node()
    g[0] = x
    g[2] = x
    assert list(g) == [x, None, x] and list(reversed(g)) == [x, None, x]
    assert x in g and y not in g
    it = iter(g)
    assert next(it) is x
    g[1] = y  # as a sequence's iterator, it sees a change to a later slot
    assert list(it) == [y, x]
    assert list(_vesk.Graph(0)) == [] and [n for n in _vesk.Graph(-2)] == []
    h = _vesk.Graph(3)
    assert hash(_vesk.Graph(2)) == hash(_vesk.Graph(2)) and g != h and g == g


def test_back_pointers_follow_assignment():
    g = _vesk.Graph(3)
    x = node()
    with pytest.raises(RuntimeError, match="because it's not in a graph"):
        x.activation
    g[1] = x
    assert x._location == 1 and g[1] is x
    assert x.activation.shape == (0,)
    del g[1]
    assert g[1] is None and x._location == 1
    with pytest.raises(RuntimeError):
        x.depth
    del g[1]  # deleting an empty slot is no error

    g[2] = x
    g[2] = node()  # overwriting releases the old one
    with pytest.raises(RuntimeError):
        x.activation
    g[0] = x
    g.__init__(5)  # so does constructing the graph again
    assert len(g) == 5 and g[0] is None
    with pytest.raises(RuntimeError):
        x.activation
    g[1] = x
    del g  # and so does the graph's end
    gc.collect()
    message = r"^Cannot compute depth of interaction 'fixed' because it's not in a graph$"
    with pytest.raises(RuntimeError, match=message):
        x.depth
    assert x._location == 1


def test_one_interaction_in_two_slots():
    g = _vesk.Graph(3)
    x = node()
    before = ctypes.c_ssize_t.from_address(id(x)).value
    g[0] = x
    g[2] = x
    assert x._location == 2
    assert ctypes.c_ssize_t.from_address(id(x)).value == before + 2
    del g[0]
    assert g[2] is x
    with pytest.raises(RuntimeError):
        x.activation  # cleared although slot 2 still holds it
    g[2] = x  # re-assignment to its own slot keeps the back-pointer
    assert x.activation.shape == (0,) and x._location == 2
    g[2] = x
    assert x.activation.shape == (0,)
    del g
    gc.collect()
    assert ctypes.c_ssize_t.from_address(id(x)).value == before


def lattice(x):
    return x[0] + 100 * x[1] + 10000 * x[2]


def wrap32(v):
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v >= 1 << 31 else v


def reference_hash(slots):
    """slots: list of (type initial, latticeloc, sourcecount, sources) or None."""
    total = 0
    for s in slots:
        if s is None:
            continue
        initial, loc, count, sources = s
        total += ord(initial)
        for k in range(min(count, 2)):
            src = sources[k]
            if src == -1 or not 0 <= src < len(slots) or slots[src] is None:
                continue
            a, b = wrap32(lattice(slots[src][1])), wrap32(lattice(loc))
            total += wrap32(a * b) if k == 0 else wrap32(b * a)
    total = (total + (1 << 63)) % (1 << 64) - (1 << 63)
    return -2 if total == -1 else total


def build(slots):
    g = _vesk.Graph(len(slots))
    for i, s in enumerate(slots):
        if s is not None:
            g[i] = node(s[0], s[1], s[3][:s[2]])
    return g


def hashed_slots(slots):
    return [None if s is None else (s[0][0], s[1], s[2], s[3]) for s in slots]


@pytest.mark.parametrize(
    "slots",
    [
        [("fixed", (1, 0, 0), 0, ()), ("fixed", (2, 0, 0), 1, (0,)), ("fixed", (3, 0, 0), 1, (1,))],
        [("fixed", (99, 99, 99), 0, ()), ("cat", (99, 99, 99), 1, (0,))],  # the product wraps
        [("cat", (-5, 7, 2 ** 30), 0, ()), ("fixed", (2 ** 31 - 1, -(2 ** 31), 3), 2, (0, 0))],
        [None, ("fixed", (1, 2, 3), 2, (0, 5)), ("fixed", (4, 5, 6), 2, (-1, 1))],  # skipped links
        [("fixed", (1, 1, 1), 2, (-7, 1))],
        # A chain of every type: each adds its initial.
        [(t.NAME, (i + 1, i, 0), 1 if i else 0, (i - 1,)) for i, t in enumerate(ref.TYPES)],
    ],
)
def test_hash_matches_reference(slots):
    assert hash(build(slots)) == reference_hash(hashed_slots(slots))


def test_hash_minus_one_is_remapped():
    # One register whose own initial (102) plus a self-link product of -103
    # would sum to -1: L * L = -103 has no solution, so reach -1 through
    # a two-node sum instead, searched in a small range.
    target = -1 - 102 - 102
    found = None
    for a in range(1, 3000):
        for b in range(-3000, 0):
            if wrap32(a * b) == target:
                found = (a, b)
                break
        if found:
            break
    assert found
    slots = [("fixed", (found[0], 0, 0), 0, ()), ("fixed", (found[1], 0, 0), 1, (0,))]
    assert reference_hash(hashed_slots(slots)) == hash(build(slots)) == -2


def test_hash_ignores_names_and_order_of_visit():
    a = graph_of(register("x", (1, 0, 0)), register("y", (2, 0, 0), source=0))
    b = graph_of(register("other", (1, 0, 0)), register("names", (2, 0, 0), source=0))
    assert hash(a) == hash(b) == 102 + 102 + 1 * 2


def test_edge_count():
    g = _vesk.Graph(4)
    g[0] = node(sources=(-1,))
    g[1] = node(sources=(0,))
    g[2] = node(sources=(0, 1))
    x = node()
    x._set_source(1, 2)  # sources (0, 2): entry 0 keeps its initial 0
    g[3] = x
    assert g.edge_count == 0 + 1 + 2 + 2
    x._set_source(1, -1)
    assert g.edge_count == 4
