"""Queries on several threads: graphs that share nothing run side by side and
give exactly the sequential results; while a query holds a graph, every
change to the graph or its interactions from another thread is refused and
reads go on working."""
import copy
import pickle
import threading

import numpy as np
import pytest

import _vesk
import graph_pairs
import reference_math as ref
from graph_pairs import build, every_type
from reliability import MIXED, bits, rebuilt, state_of

LAYOUTS = [MIXED, every_type(fewest=True)] * 2


def columns(n, seed):
    return graph_pairs.columns(MIXED, n, seed)


def train_then_predict(graph, seed):
    xarray, y = columns(200_000, seed)
    trained = graph._query(xarray, y)
    predicted = graph._query(xarray)
    return bits(trained), bits(predicted), state_of(graph)


def test_four_graphs_on_four_threads_match_sequential_runs():
    graphs = [build(layout) for layout in LAYOUTS]
    twins = [rebuilt(g) for g in graphs]
    results = [None] * len(graphs)
    start = threading.Barrier(len(graphs))

    def run(i):
        start.wait()
        results[i] = train_then_predict(graphs[i], seed=i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(graphs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, twin in enumerate(twins):
        assert results[i] == train_then_predict(twin, seed=i), "graph %i" % i


class Blocker:
    """A column value whose conversion (to float, or its hash as a category)
    waits until released: a query converting it holds its graph, with every
    interaction in it, for as long as the test needs."""

    def __init__(self):
        self.entered = threading.Event()
        self.released = threading.Event()

    def _wait(self):
        self.entered.set()
        assert self.released.wait(60)

    def __float__(self):
        self._wait()
        return 0.5

    def __hash__(self):
        self._wait()
        return 7


def held_query(graph, xarray, yarray):
    """Starts graph._query on a thread and returns once it is inside,
    blocked on a Blocker; returns the thread and the result holder."""
    result = {}

    def run():
        try:
            result["out"] = bits(graph._query(xarray, yarray))
        except Exception as e:  # reported by the test through `result`
            result["error"] = e

    t = threading.Thread(target=run)
    t.start()
    return t, result


def blocked_columns(blocking_register):
    blocker = Blocker()
    x = np.array([0.25, -0.5, 0.75], dtype=object)
    c = np.array(["red", "blue", "red"], dtype=object)
    # First in its column: nothing of it is converted or filed before the hold.
    if blocking_register == "fixed":
        x[0] = blocker
    else:
        c[0] = blocker
    return {"fixed": x, "cat": c}, np.array([1.0, 0.0, 0.5]), blocker


@pytest.mark.parametrize("blocking_register", ["fixed", "cat"])
def test_changes_are_refused_and_reads_allowed_while_a_query_runs(blocking_register):
    g = build(MIXED)
    x, c, lin, y = g[0], g[1], g[2], g[7]
    param = list(ref.BY_NAME[lin.type].ATTRIBUTES)[0]
    # A fixed range: no reduction over the object column, no default range
    # filled in while the query holds the graph.
    g[0].state._from_dict({"auto_adapt": False, "feature_min": -1.0, "feature_max": 1.0})
    sharing = build(MIXED)
    sharing[2] = lin
    disjoint = build(MIXED)
    disjoint_in, disjoint_y = columns(50, seed=3)
    disjoint_twin = rebuilt(disjoint)
    twin = rebuilt(g)
    reads = {
        "len": lambda: len(g),
        "slots": lambda: [g[i] for i in range(len(g))],
        "hash": lambda: hash(g),
        "edges": lambda: g.edge_count,
        "str": lambda: str(g),
        "sources": lambda: lin.sources,
        "depth": lambda: lin.depth,
        "tooltip": lambda: lin._tooltip,
        "state": lambda: state_of(g),
        "parameter": lambda: getattr(lin.state, param),
        "categories": lambda: c.state.categories,
        "loss": lambda: y._loss,
    }
    read_before = {name: read() for name, read in reads.items()}
    saved_graph, saved_lin = g.__getstate__(), lin.__getstate__()

    xarray, yarray, blocker = blocked_columns(blocking_register)
    t, result = held_query(g, xarray, yarray)
    try:
        assert blocker.entered.wait(60)
        changes = {
            "query": lambda: g._query(*columns(3, seed=0)),
            "query sharing an interaction": lambda: sharing._query(*columns(3, seed=0)),
            "assign slot": lambda: g.__setitem__(0, _vesk.Interaction("fixed", (0, 0, 0), 0, "fixed")),
            "delete slot": lambda: g.__delitem__(7),
            "graph __init__": lambda: g.__init__(8),
            "_set_source": lambda: lin._set_source(1, 0),
            "interaction __init__": lambda: lin.__init__(lin.type, (2, 1, 0), 2),
            "register state": lambda: setattr(x.state, "feature_min", -9.0),
            "math state": lambda: setattr(lin.state, param, 0.0),
            "math _from_dict": lambda: lin.state._from_dict({param: 0.0}),
            "categories": lambda: setattr(c.state, "categories", []),
            "categories _from_dict": lambda: c.state._from_dict({"categories": []}),
            "output _loss": lambda: setattr(y, "_loss", "mean_absolute_error"),
            "cat _loss": lambda: setattr(c, "_loss", "mean_absolute_error"),
            # Copying or pickling would read a state the loop is changing.
            "pickle graph": lambda: pickle.dumps(g),
            "copy graph": lambda: copy.copy(g),
            "deepcopy graph": lambda: copy.deepcopy(g),
            "pickle interaction": lambda: pickle.dumps(lin),
            "graph __setstate__": lambda: g.__setstate__(saved_graph),
            "interaction __setstate__": lambda: lin.__setstate__(saved_lin),
        }
        refused = {}
        for name, change in changes.items():
            with pytest.raises(RuntimeError) as info:
                change()
            refused[name] = str(info.value)
        read_during = {name: read() for name, read in reads.items()}
        assert bits(disjoint._query(disjoint_in, disjoint_y)) == bits(disjoint_twin._query(disjoint_in, disjoint_y))
        assert t.is_alive()  # everything above ran while the query held the graph
    finally:
        blocker.released.set()
        t.join()
    assert read_during == read_before
    # The released blocker converts at once: the twin gets the same columns.
    assert result == {"out": bits(twin._query(xarray, yarray))}
    assert state_of(g) == state_of(twin)
    # Everything is free again once the query is over.
    lin._set_source(1, 1)
    g[7] = y


def test_constructor_refuses_a_query_started_while_it_converts_its_arguments():
    # The lattice location's conversion runs Python code; a query that starts
    # on another thread meanwhile holds the interaction, and the constructor
    # must then refuse rather than rebuild it under the running query.
    g = build(MIXED)
    g[0].state._from_dict({"auto_adapt": False, "feature_min": -1.0, "feature_max": 1.0})
    lin = g[2]
    kind = lin.type
    twin = rebuilt(g)
    xarray, yarray, blocker = blocked_columns("fixed")
    held = {}

    class StartsQuery:
        def __index__(self):
            held["thread"], held["result"] = held_query(g, xarray, yarray)
            assert blocker.entered.wait(60)
            return 5

    try:
        with pytest.raises(RuntimeError, match="while a query on its graph runs"):
            lin.__init__("cat", (StartsQuery(), 0, 0), 0, "lin")
    finally:
        blocker.released.set()
        if "thread" in held:
            held["thread"].join()
    assert lin.type == kind and lin._latticeloc == (2, 1, 0)
    assert held["result"] == {"out": bits(twin._query(xarray, yarray))}


@pytest.mark.parametrize("write", ["attribute", "dict"])
def test_a_query_started_during_a_state_write_is_refused(write):
    # A state write converts its value with Python code; a query started on
    # another thread meanwhile must not run while the write is pending.
    g = build(MIXED)
    x = g[0]
    errors = []

    class StartsQuery:
        def __float__(self):
            t = threading.Thread(target=lambda: errors.append(run_and_catch(g)))
            t.start()
            t.join()
            return -5.0

    def run_and_catch(graph):
        try:
            graph._query(*columns(3, 0))
        except RuntimeError as e:
            return str(e)
        return None

    if write == "attribute":
        x.state.feature_min = StartsQuery()
    else:
        x.state._from_dict({"feature_min": StartsQuery()})
    assert errors == ["Interaction 0 is being changed"]
    assert x.state.feature_min == -5.0
    g._query(*columns(3, 0))  # free again once the write is over
