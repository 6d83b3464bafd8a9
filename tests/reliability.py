"""Helpers of the reliability tests (threads, leaks, fuzzing): graphs of
every interaction type built from a layout, a fresh copy of a graph built
from what Python can read of it, and comparisons that treat NaN as a value."""
import math
import os

import numpy as np

import _vesk

# Set by `make test-asan`: the run is under AddressSanitizer.
UNDER_ASAN = os.environ.get("VESK_TEST_ASAN") == "1"

# Every interaction type. A layout entry is (type, name) for an input
# register, else (type, sources); the last entry is the output register.
MIXED = [
    ("fixed", "x"),
    ("cat", "c"),
    ("linear", (0, 1)),
    ("tanh", (2,)),
    ("gaussian", (3, 0)),
    ("sine", (4,)),
    ("multiply", (5, 2)),
    ("fixed", (6,)),
]


def build(layout):
    g = _vesk.Graph(len(layout))
    for slot, (kind, arg) in enumerate(layout):
        if isinstance(arg, str):
            node = _vesk.Interaction(kind, (slot, 1, 0), 0, arg)
            node._set_source(0, -1)
        else:
            node = _vesk.Interaction(kind, (slot, 1, 0), slot, "y" if kind == "fixed" else None)
            for ix, src in enumerate(arg):
                node._set_source(ix, src)
        g[slot] = node
    return g


def rebuilt(graph):
    """A new graph whose slots are new interactions made from the original's
    type, lattice location, gluamine, name, sources, loss and state
    dictionary. Only meaningful for a graph that passed the query's checks,
    where an interaction without counted sources is an input register."""
    copy = _vesk.Graph(len(graph))
    for slot in range(len(graph)):
        x = graph[slot]
        registered_name = x.name if x.type in ("fixed", "cat") else None
        y = _vesk.Interaction(x.type, x._latticeloc, x._gluamine, registered_name)
        if not x.sources:
            y._set_source(0, -1)
        for ix, src in enumerate(x.sources):
            y._set_source(ix, 0)  # counts the entry, also when it is then set to -1
            y._set_source(ix, src)
        if x._loss is not None:
            y._loss = x._loss
        y.state._from_dict(x.state._to_dict())
        copy[slot] = y
    return copy


def plain(value):
    """A value with NaN made comparable and categories put in a fixed order
    (their listing order depends on the order they were filed in)."""
    if isinstance(value, float) and math.isnan(value):
        return "nan"
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        items = [plain(v) for v in value]
        if isinstance(value, list):
            items.sort(key=repr)
        return tuple(items)
    return value


def state_of(graph):
    """Everything Python can read of each slot, comparable with ==."""
    rows = []
    for slot in range(len(graph)):
        x = graph[slot]
        if x is None:
            rows.append(None)
            continue
        rows.append((x.type, x.name, x.sources, x._latticeloc, x._gluamine, plain(x._loss),
                     plain(x.state._to_dict())))
    return rows


def bits(array):
    """The exact bits of a float32 result (NaN payloads included)."""
    return np.asarray(array, dtype=np.float32).view(np.uint32).tolist()


def columns(n, seed):
    """Inputs for MIXED-like layouts: a numeric column, a categorical one and
    expected values, all of length n."""
    rng = np.random.RandomState(seed)
    x = rng.uniform(-3, 3, n).astype(np.float32)
    c = rng.choice(np.array(["red", "green", "blue", "cyan"]), n)
    y = (np.sin(x) + (c == "red")).astype(np.float64)
    return {"x": x, "c": c}, y
