"""Small builders for graphs of registers, and columns of objects."""
import numpy as np

import _vesk


def register(name, loc=(0, 0, 0), source=-1, **state):
    """A "fixed" register; source -1 makes it an input register."""
    r = _vesk.Interaction("fixed", loc, 0, name)
    r._set_source(0, source)
    for key, value in state.items():
        setattr(r.state, key, value)
    return r


def graph_of(*interactions):
    g = _vesk.Graph(len(interactions))
    for i, interaction in enumerate(interactions):
        g[i] = interaction
    return g


def passthrough_graph(**output_state):
    """x (input) -> y (output)."""
    return graph_of(register("x"), register("y", (1, 0, 0), source=0, **output_state))


def objects(values):
    """A column of objects, filled one by one so that tuples stay items."""
    column = np.empty(len(values), dtype=object)
    for i, value in enumerate(values):
        column[i] = value
    return column


def unaligned(a):
    """A copy of a one-dimensional array at an odd address."""
    raw = bytearray(a.nbytes + 1)
    out = np.frombuffer(raw, dtype=a.dtype, offset=1, count=len(a))
    out[:] = a
    return out
