"""The benchmark graphs, their synthetic data and their starting state.

A layout lists the slots of a graph in order:

    ("in", name)          numeric input register ("fixed", no source)
    ("cat", name)         categorical input register ("cat", no source)
    (type, sources)       mathematical node, gluamine 0
    ("out", source)       numeric output register, named "y"

Every contender starts from the same state: parameters drawn from a seeded
generator, set on the module's nodes and read back (so that each is the
float32 the module holds), and registers with a fixed feature range taken
from the data (auto_adapt off).
"""
import _vesk
import numpy as np

from codegen import CATEGORIES, sources
from ops import TYPES

COLUMNS = ("x0", "x1", "x2")


def _g30():
    """Four registers, a chain of 25 mixed nodes, the output."""
    layout = [("in", "x0"), ("in", "x1"), ("in", "x2"), ("cat", "c")]
    for j in range(25):
        i, kind, odd_round = len(layout), ("linear", "tanh", "gaussian", "sine", "multiply")[j % 5], (j // 5) % 2
        second = {"linear": j % 4, "tanh": i - 3, "gaussian": i - 2, "multiply": i - 2 if odd_round else i - 1}
        if kind == "linear" or kind == "multiply" or (odd_round and kind in second):
            layout.append((kind, (i - 1, second[kind])))
        else:
            layout.append((kind, (i - 1,)))
    return layout + [("out", len(layout) - 1)]


GRAPHS = {
    "G5": [("in", "x0"), ("in", "x1"), ("linear", (0, 1)), ("tanh", (2,)), ("out", 3)],
    "G12": [("in", "x0"), ("in", "x1"), ("in", "x2"), ("cat", "c"), ("linear", (0, 1)), ("tanh", (2, 3)),
            ("gaussian", (4, 5)), ("sine", (6,)), ("multiply", (5, 5)),  # both sources the same node
            ("linear", (7, 8)), ("tanh", (9, 4)), ("out", 10)],
    "G30": _g30(),
}


def make_data(rows, seed=20240601):
    """Seeded rows: three float32 columns, a column of int64 category codes
    and a float32 target."""
    rng = np.random.default_rng(seed)
    x0 = rng.uniform(0.0, 10.0, rows).astype(np.float32)
    x1 = rng.normal(0.0, 1.0, rows).astype(np.float32)
    x2 = rng.uniform(-1.0, 1.0, rows).astype(np.float32)
    c = rng.integers(0, CATEGORIES, rows).astype(np.int64)
    effect = rng.uniform(-0.5, 0.5, CATEGORIES)
    y = np.sin(x0 / 3.0) + 0.5 * np.tanh(x1) * x2 + effect[c] + rng.normal(0.0, 0.1, rows)
    return {"x0": x0, "x1": x1, "x2": x2, "c": c}, y.astype(np.float32)


def feature_ranges(columns, y):
    """(min, max) of every numeric column and of the target, as floats."""
    ranges = {name: (float(columns[name].min()), float(columns[name].max())) for name in COLUMNS}
    ranges["y"] = (float(y.min()), float(y.max()))
    return ranges


def draw_parameters(layout, seed=7):
    """Well-conditioned starting values per trainable slot, and the category
    weights."""
    rng = np.random.default_rng(seed)
    params = {}
    for slot, entry in enumerate(layout):
        t = TYPES[entry[0]]
        if t.params:
            params[slot] = {p: rng.uniform(lo, hi) for p, (lo, hi) in zip(t.params, t.draw)}
    categories = [(code, float(np.float32(rng.uniform(-0.5, 0.5)))) for code in range(CATEGORIES)]
    return params, categories


def build_module_graph(layout, params, categories, ranges):
    """A fresh module graph in the given state; returns it and its nodes."""
    graph = _vesk.Graph(len(layout))
    nodes = []
    for slot, entry in enumerate(layout):
        kind = entry[0]
        name = {"in": entry[1], "cat": entry[1], "out": "y"}.get(kind, "n%d" % slot)
        node = _vesk.Interaction({"in": "fixed", "out": "fixed"}.get(kind, kind), (slot + 1, 0, 0), 0, name)
        for ix, src in enumerate(sources(entry) or (-1,)):
            node._set_source(ix, src)
        if kind in ("in", "out"):
            node.state.auto_adapt = False
            node.state.feature_min, node.state.feature_max = ranges[name]
        elif kind == "cat":
            node.state.categories = list(categories)
        elif slot in params:
            node.state._from_dict(params[slot])
        graph[slot] = node
        nodes.append(node)
    return graph, nodes


def starting_state(layout, ranges, drawn=None):
    """The parameters and category weights every contender starts from (those
    drawn, by default draw_parameters'), as the module holds them."""
    params, categories = drawn or draw_parameters(layout)
    _, nodes = build_module_graph(layout, params, categories, ranges)
    held = {slot: dict(nodes[slot].state._to_dict()) for slot in params}
    cats = [sorted(n.state.categories) for e, n in zip(layout, nodes) if e[0] == "cat"]
    return held, (cats[0] if cats else categories)
