"""Small builders for graphs of registers, and a float32 twin of the numeric
register's arithmetic."""
import numpy as np

import _vesk

F = np.float32


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


def scale_in(v, lo, hi):
    """Returns (scaled value, clamped?) in single precision."""
    v, lo, hi = F(v), F(lo), F(hi)
    if lo == hi == v:
        return F(0), False  # the middle of a range of width zero
    with np.errstate(all="ignore"):
        a = (F(2) * (v - lo)) / (hi - lo) - F(1)
    if a > 1:
        return F(1), True
    if a < -1:
        return F(-1), True
    return a, False


def scale_out(a, lo, hi):
    a, lo, hi = F(a), F(lo), F(hi)
    with np.errstate(all="ignore"):
        return ((F(1) + a) * (hi - lo)) * F(0.5) + lo
