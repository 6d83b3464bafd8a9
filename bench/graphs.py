"""The benchmark graphs, their synthetic data and their starting parameters.

A layout lists the slots of a graph in order:

    ("in", name)          numeric input register ("fixed", no source)
    ("cat", name)         categorical input register ("cat", no source)
    (type, sources)       mathematical node, gluamine 0
    ("out", source)       numeric output register, named "y"

Every contender starts from the same parameters: they are drawn from a seeded
generator, set on the module's nodes and read back through their states (so
every value is the float32 the module holds), and handed to the others. The
registers keep a fixed feature range taken from the data (auto_adapt off), the
same for every contender.
"""
import numpy as np

# Parameter names of each trainable type, in the order of its state dictionary.
PARAMS = {
    "linear": ("w0", "w1", "bias"),
    "tanh": ("w0", "w1", "bias"),
    "gaussian": ("center0", "center1", "w0", "w1"),
    "sine": ("x0", "k"),
    "multiply": (),
}
ADAM_TYPES = ("linear", "tanh")
LR_BASE = {"linear": 0.005, "tanh": 0.005, "gaussian": 0.0001, "sine": 0.01}
CATEGORIES = 20
COLUMNS = ("x0", "x1", "x2")


def _g5():
    return [
        ("in", "x0"),
        ("in", "x1"),
        ("linear", (0, 1)),
        ("tanh", (2,)),
        ("out", 3),
    ]


def _g12():
    return [
        ("in", "x0"),
        ("in", "x1"),
        ("in", "x2"),
        ("cat", "c"),
        ("linear", (0, 1)),
        ("tanh", (2, 3)),
        ("gaussian", (4, 5)),
        ("sine", (6,)),
        ("multiply", (5, 5)),  # both sources the same node
        ("linear", (7, 8)),
        ("tanh", (9, 4)),
        ("out", 10),
    ]


def _g30():
    """Four registers, a chain of 25 mixed nodes, the output."""
    layout = [("in", "x0"), ("in", "x1"), ("in", "x2"), ("cat", "c")]
    cycle = ("linear", "tanh", "gaussian", "sine", "multiply")
    for j in range(25):
        i = len(layout)
        prev = i - 1
        kind = cycle[j % 5]
        odd_round = (j // 5) % 2 == 1
        if kind == "linear":
            sources = (prev, j % 4)
        elif kind == "tanh":
            sources = (prev, i - 3) if odd_round else (prev,)
        elif kind == "gaussian":
            sources = (prev, i - 2) if odd_round else (prev,)
        elif kind == "sine":
            sources = (prev,)
        else:
            sources = (prev, i - 2) if odd_round else (prev, prev)
        layout.append((kind, sources))
    layout.append(("out", len(layout) - 1))
    return layout


GRAPHS = {"G5": _g5(), "G12": _g12(), "G30": _g30()}


def make_data(rows, seed=20240601):
    """Seeded synthetic rows: three numeric columns, one categorical column of
    int64 codes and a target, all numeric columns float32."""
    rng = np.random.default_rng(seed)
    x0 = rng.uniform(0.0, 10.0, rows).astype(np.float32)
    x1 = rng.normal(0.0, 1.0, rows).astype(np.float32)
    x2 = rng.uniform(-1.0, 1.0, rows).astype(np.float32)
    c = rng.integers(0, CATEGORIES, rows).astype(np.int64)
    effect = rng.uniform(-0.5, 0.5, CATEGORIES)
    noise = rng.normal(0.0, 0.1, rows)
    y = np.sin(x0 / 3.0) + 0.5 * np.tanh(x1) * x2 + effect[c] + noise
    return {"x0": x0, "x1": x1, "x2": x2, "c": c}, y.astype(np.float32)


def feature_ranges(columns, y):
    """(min, max) of every numeric column and of the target, as floats."""
    ranges = {name: (float(columns[name].min()), float(columns[name].max())) for name in COLUMNS}
    ranges["y"] = (float(y.min()), float(y.max()))
    return ranges


def draw_parameters(layout, seed=7):
    """Well-conditioned starting values per slot, and the category weights."""
    rng = np.random.default_rng(seed)
    params = {}
    for slot, entry in enumerate(layout):
        kind = entry[0]
        if kind == "linear":
            params[slot] = {"w0": rng.uniform(-0.8, 0.8), "w1": rng.uniform(-0.8, 0.8), "bias": rng.uniform(-0.1, 0.1)}
        elif kind == "tanh":
            params[slot] = {"w0": rng.uniform(-1.0, 1.0), "w1": rng.uniform(-1.0, 1.0), "bias": rng.uniform(-0.2, 0.2)}
        elif kind == "gaussian":
            params[slot] = {
                "center0": rng.uniform(-0.5, 0.5),
                "center1": rng.uniform(-0.5, 0.5),
                "w0": rng.uniform(0.5, 1.5),
                "w1": rng.uniform(0.5, 1.5),
            }
        elif kind == "sine":
            params[slot] = {"x0": rng.uniform(-0.5, 0.5), "k": rng.uniform(1.0, 3.0)}
    categories = [(code, float(np.float32(rng.uniform(-0.5, 0.5)))) for code in range(CATEGORIES)]
    return params, categories


def build_module_graph(vesk, layout, params, categories, ranges):
    """A fresh module graph with the given starting state; returns it and its
    nodes."""
    graph = vesk.Graph(len(layout))
    nodes = []
    for slot, entry in enumerate(layout):
        kind = entry[0]
        where = (slot + 1, 0, 0)
        if kind in ("in", "cat"):
            node = vesk.Interaction("fixed" if kind == "in" else "cat", where, 0, entry[1])
            node._set_source(0, -1)
            if kind == "in":
                node.state.auto_adapt = False
                node.state.feature_min, node.state.feature_max = ranges[entry[1]]
            else:
                node.state.categories = list(categories)
        elif kind == "out":
            node = vesk.Interaction("fixed", where, 0, "y")
            node._set_source(0, entry[1])
            node.state.auto_adapt = False
            node.state.feature_min, node.state.feature_max = ranges["y"]
        else:
            node = vesk.Interaction(kind, where, 0, "n%d" % slot)
            for ix, src in enumerate(entry[1]):
                node._set_source(ix, src)
            if slot in params:
                node.state._from_dict(params[slot])
        graph[slot] = node
        nodes.append(node)
    return graph, nodes


def read_state(layout, nodes):
    """The parameters and category weights the module's nodes hold now."""
    params = {}
    categories = None
    for slot, (entry, node) in enumerate(zip(layout, nodes)):
        if entry[0] in PARAMS and PARAMS[entry[0]]:
            params[slot] = dict(node.state._to_dict())
        elif entry[0] == "cat":
            categories = sorted(node.state.categories)
    return params, categories


def starting_state(vesk, layout, ranges, seed=7):
    """The parameters every contender starts from, as the module holds them."""
    params, categories = draw_parameters(layout, seed)
    _, nodes = build_module_graph(vesk, layout, params, categories, ranges)
    params, held = read_state(layout, nodes)
    return params, (held if held is not None else list(categories))


def count_types(layout):
    kinds = {}
    for entry in layout:
        kinds[entry[0]] = kinds.get(entry[0], 0) + 1
    return kinds
