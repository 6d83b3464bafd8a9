"""A state machine builds graphs of every type with valid and invalid links,
assigns, deletes and overwrites slots, sets sources, states and losses, drops
references in any order and queries with arbitrary arrays. It checks that
every failure is an exception of a documented class, that a failed call
changes nothing it must not, that no reference to a column or a value passed
in is kept or lost, and that a graph that ran gives the same predictions as a
fresh copy built from what Python can read of it.

The machine runs in a child interpreter, so that a crash fails the test
instead of ending the run; the steps of the example being run are written to
a log that the failure report quotes. VESK_FUZZ_EXAMPLES sets the number of
examples (`make fuzz` runs a long, randomised session)."""
import collections
import faulthandler
import os
import re
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule, run_state_machine_as_test

import _vesk
import reference_math as ref
from builders import objects
from conftest import run_python
from graph_pairs import exact
from reliability import UNDER_ASAN, bits, rebuilt

# What any call may raise; numpy's own errors derive from these.
DOCUMENTED = (ValueError, RuntimeError, IndexError, AttributeError, TypeError, OverflowError, MemoryError)
# Refusals that only a query in progress can cause: nothing here runs
# concurrently, so one of these means a query left its graph marked.
GUARD = re.compile("already being queried|in use by a query|while a query on its graph runs|while they are in use")
# Failures inside the sample loop, after which trained parameters may differ.
IN_LOOP = re.compile("^Nan found in (input|expected) array in register|holds no input array|has no input left")

TYPES = [t.NAME for t in ref.TYPES]
MATH = [t.NAME for t in ref.MATH]
REGISTERS = [t.NAME for t in ref.TYPES if t.REGISTER]
OUTPUTS = [t.NAME for t in ref.TYPES if t.OUTPUT]
NAN, INF = float("nan"), float("inf")


class Unconvertible:
    """A number whose conversion fails."""

    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise TypeError("no index")


KEYS = ["a", "b", "c", 1, 1.0, True, -1, -2, (1, 2), None, b"a", 2 ** 70, NAN]
NUMBERS = [0.0, -0.0, 0.5, -1.0, 1.0, 3.0, 1e30, -1e30, 1e300, NAN, INF, -INF, 2, True, False, 10 ** 40,
           np.float32(0.25), np.int8(3)]
ODD_VALUES = [None, "text", b"bytes", [], (), {}, [("a",)], [("a", 1.0, 2)], [["k", 0.5]], [("k", "heavy")],
              [([1], 0.5)], (("k", 0.5),), Unconvertible()]
ATTRS = sorted({name for t in ref.TYPES for name in t.ATTRIBUTES}) + ["lr", "nope", "_private", "__dict__"]
LOSSES = ["mean_absolute_error", "mean_squared_error", "categorical_cross_entropy", b"mean_squared_error",
          "MEAN_SQUARED_ERROR", "", 3, None]
NAMES = ["x", "c", "y", "x", "c", "", None, "\u00e9", "n" * 130]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.5, -7.0, 1e30, -1e30, 3.5e38, 1e-45, NAN, INF, -INF]

kinds = st.sampled_from(TYPES * 3 + ["nope", "Tanh", "", "fixed "])
names = st.sampled_from(NAMES)
places = st.one_of(st.tuples(*[st.integers(-3, 120)] * 3),
                   st.sampled_from([(1, 2), [1, 2, 3], (2 ** 40, 0, 0), (1.5, 0, 0), (Unconvertible(), 0, 0)]))
values = st.one_of(st.sampled_from(NUMBERS), st.sampled_from(ODD_VALUES),
                   st.lists(st.tuples(st.sampled_from(KEYS), st.sampled_from(NUMBERS)), max_size=4))
picks = st.integers(0, 1 << 16)
# References the module holds to these objects come and go; it must never
# drop one it does not hold.
CONSTANTS = [v for v in KEYS + NUMBERS + ODD_VALUES
             if not isinstance(v, (str, bool, type(None))) and not (isinstance(v, int) and abs(v) < 1000)]
BASELINE = [sys.getrefcount(v) for v in CONSTANTS]


def tag(obj):
    return "%s@%x" % (type(obj).__name__, id(obj))


def attempt(call):
    """(True, result) or (False, exception); an exception outside the
    documented classes propagates and fails the example."""
    try:
        return True, call()
    except DOCUMENTED as e:
        assert not GUARD.search(str(e)), e
        return False, e


def look(read):
    ok, value = attempt(read)
    return value if ok else ("raises", type(value).__name__, str(value))


def view(x):
    """Everything Python can read of an interaction."""
    return tuple(look(read) for read in (
        lambda: x.type, lambda: x.name, lambda: x.sources, lambda: x._location, lambda: x._latticeloc,
        lambda: x._gluamine, lambda: x._loss, lambda: x._errcode, lambda: exact(x.state._to_dict())))


def slots(g):
    return [g[i] for i in range(len(g))]


def held(g):
    """The slots of a graph; none for a graph whose size is negative."""
    ok, found = attempt(lambda: slots(g))
    return found if ok else []


def column(data, n, clean=False):
    """A column of n values of any dtype and layout, or something that is not
    a one-dimensional array at all; a clean one is numeric and finite."""
    kinds = ["float", "float", "int"] if clean else ["float"] * 6 + [
        "int", "objects", "keys", "strings", "complex", "datetime", "list", "0-d", "2-d"]
    kind = data.draw(st.sampled_from(kinds))
    floats = st.floats(-10, 10, width=32)
    if not clean:
        floats = st.one_of(floats, st.sampled_from(SPECIAL))
    if kind in ("float", "list", "0-d", "2-d", "complex"):
        values = data.draw(st.lists(floats, min_size=n, max_size=n))
    elif kind in ("int", "datetime"):
        values = data.draw(st.lists(st.integers(-5, 300), min_size=n, max_size=n))
    elif kind == "objects":
        values = data.draw(st.lists(st.sampled_from(NUMBERS + [None]), min_size=n, max_size=n))
    elif kind == "keys":
        values = data.draw(st.lists(st.sampled_from(KEYS + [[1], {}]), min_size=n, max_size=n))
    else:
        values = data.draw(st.lists(st.sampled_from(["1.5", "a", "nan", "-2"]), min_size=n, max_size=n))
    if kind == "list":
        return values
    if kind == "0-d":
        return np.array(values[0] if values else 0.5)
    if kind in ("objects", "keys"):
        array = objects(values)
    elif kind == "float":
        array = np.array(values, dtype=np.float64).astype(data.draw(st.sampled_from(
            ["float32", "float64", ">f8", ">f4"] if clean else ["float32", "float64", "float16", ">f8", ">f4"])))
    elif kind == "int":
        array = np.array(values).astype(data.draw(st.sampled_from(["int8", "int64", "uint16", ">i4", "bool"])))
    elif kind == "complex":
        array = np.array(values, dtype=np.complex64) + 1j
    elif kind == "datetime":
        array = np.array(values, dtype="datetime64[s]")
    else:
        array = np.array(values)
    if kind == "2-d":
        return array.reshape(1, -1)
    layout = data.draw(st.sampled_from(["plain", "strided", "reversed", "swapped", "unaligned", "readonly",
                                        "masked"]))
    numeric = array.dtype.kind in "biufc"
    if layout == "strided":
        array = np.repeat(array, 2)[::2]
    elif layout == "reversed":
        array = array[::-1]
    elif layout == "swapped" and numeric:
        array = array.byteswap().view(array.dtype.newbyteorder())
    elif layout == "unaligned" and numeric:
        raw = np.frombuffer(b"\0" + array.tobytes(), dtype=np.uint8)[1:]
        array = raw.view(array.dtype)
    elif layout == "readonly":
        array.setflags(write=False)
    elif layout == "masked" and numeric:
        # Not for object or text arrays: numpy itself loses a reference to
        # its memory handler when such a masked array is printed, then cast.
        array = np.ma.masked_array(array, mask=[k % 2 == 1 for k in range(n)])
    return array


def register_names(g):
    found = []
    for x in held(g):
        if x is not None and x.type in REGISTERS and x.name not in found:
            found.append(x.name)
    return found


def input_lengths(g, xarray):
    """Lengths of the columns the input registers took (for a graph that ran,
    a slot without counted sources is an input register)."""
    return {len(xarray[x.name]) for x in slots(g) if not x.sources or x.sources[0] == -1}


def outcome(call):
    ok, value = attempt(call)
    return ("ok", bits(value)) if ok else ("raises", type(value), str(value))


class GraphMachine(RuleBasedStateMachine):
    examples = 0
    tally = collections.Counter()  # query outcomes, for the summary
    log_path = os.environ.get("VESK_FUZZ_LOG")

    def __init__(self):
        super().__init__()
        GraphMachine.examples += 1
        self.nodes, self.graphs, self.states, self.activations = [], [], [], []
        self.linked = []  # for each graph: built with links that pass the checks
        self.log_file = open(self.log_path, "w") if self.log_path else None

    def teardown(self):
        if self.log_file:
            self.log_file.close()

    def log(self, *parts):
        if self.log_file:
            self.log_file.write(" ".join(tag(p) if isinstance(p, (_vesk.Graph, _vesk.Interaction)) else repr(p)
                                         for p in parts) + "\n")
            self.log_file.flush()

    def everything(self):
        """Views of every graph and every interaction reachable from Python."""
        nodes = {id(x): x for x in self.nodes}
        for g in self.graphs:
            for x in held(g):
                if isinstance(x, _vesk.Interaction):
                    nodes[id(x)] = x
        graphs = [[id(x) for x in held(g)] for g in self.graphs]
        return graphs, {key: view(x) for key, x in nodes.items()}

    def intact_unless_it_works(self, call, *what):
        """Runs a call that, when it fails, must leave everything as it was."""
        self.log(*what)
        before = self.everything()
        ok, result = attempt(call)
        if not ok:
            assert self.everything() == before, (what, result)
        return ok, result

    # -- building ------------------------------------------------------------

    @precondition(lambda self: len(self.nodes) < 12)
    @rule(kind=kinds, place=places, gluamine=st.integers(-2, 6), name=names, input_register=st.booleans())
    def new_interaction(self, kind, place, gluamine, name, input_register):
        ok, x = attempt(lambda: _vesk.Interaction(kind, place, gluamine, name))
        self.log("new", x, kind, place, gluamine, name, input_register)
        if ok:
            if input_register:
                x._set_source(0, -1)
            self.nodes.append(x)

    @precondition(lambda self: len(self.nodes) < 12)
    @rule()
    def new_unconstructed(self):
        self.nodes.append(_vesk.Interaction.__new__(_vesk.Interaction))
        self.log("new unconstructed", self.nodes[-1])

    @precondition(lambda self: len(self.graphs) < 4)
    @rule(size=st.integers(-2, 7))
    def new_graph(self, size):
        g = _vesk.Graph(size)
        self.log("graph", g, size)
        self.graphs.append(g)
        self.linked.append(False)

    @precondition(lambda self: len(self.graphs) < 4)
    @rule(data=st.data())
    def new_linked_graph(self, data):
        """A graph whose links pass the query's checks: inputs first, every
        node reading lower slots, an output register last."""
        size = data.draw(st.integers(2, 7))
        g = _vesk.Graph(size)
        for slot in range(size):
            if slot == 0 or (slot < size - 1 and data.draw(st.integers(0, 4)) == 0):
                x = _vesk.Interaction(data.draw(st.sampled_from(REGISTERS)), (slot, 0, 0), 0,
                                      data.draw(st.sampled_from(["x", "c", "z"])))
                x._set_source(0, -1)
            else:
                kind = data.draw(st.sampled_from(OUTPUTS if slot == size - 1 else MATH * 2 + REGISTERS))
                x = _vesk.Interaction(kind, (slot, 1, 0), data.draw(st.integers(0, 3)), "y")
                for ix in range(data.draw(st.integers(1, 2))):
                    x._set_source(ix, data.draw(st.integers(0, slot - 1)))
                while len(x.sources) < ref.BY_NAME[kind].SOURCES[0]:
                    x._set_source(len(x.sources), data.draw(st.integers(0, slot - 1)))
            g[slot] = x
            self.nodes.append(x)
        self.log("linked graph", g, [(x.type, x.name, x.sources) for x in slots(g)])
        self.graphs.append(g)
        self.linked.append(True)

    # -- changing -----------------------------------------------------------

    @precondition(lambda self: self.graphs)
    @rule(pick=picks, slot=st.integers(-9, 9), value_pick=picks, value=st.sampled_from([None, 3.0, "x", "node"]))
    def assign(self, pick, slot, value_pick, value):
        g = self.graphs[pick % len(self.graphs)]
        if value == "node" and self.nodes:
            value = self.nodes[value_pick % len(self.nodes)]
        self.intact_unless_it_works(lambda: g.__setitem__(slot, value), "assign", g, slot, value)

    @precondition(lambda self: self.graphs)
    @rule(pick=picks, slot=st.integers(-9, 9))
    def delete(self, pick, slot):
        g = self.graphs[pick % len(self.graphs)]
        self.intact_unless_it_works(lambda: g.__delitem__(slot), "delete", g, slot)

    @precondition(lambda self: self.graphs)
    @rule(pick=picks, size=st.one_of(st.integers(-2, 7), st.sampled_from([2 ** 40, "3", None])))
    def reinit_graph(self, pick, size):
        g = self.graphs[pick % len(self.graphs)]
        self.intact_unless_it_works(lambda: g.__init__(size), "graph init", g, size)

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, kind=kinds, place=places, gluamine=st.integers(-2, 6), name=names)
    def reinit_interaction(self, pick, kind, place, gluamine, name):
        # A refused constructor may leave the object without a type.
        x = self.nodes[pick % len(self.nodes)]
        self.log("interaction init", x, kind, place, gluamine, name)
        attempt(lambda: x.__init__(kind, place, gluamine, name))

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, ix=st.integers(-1, 2), src=st.integers(-2, 8))
    def set_source(self, pick, ix, src):
        x = self.nodes[pick % len(self.nodes)]
        self.intact_unless_it_works(lambda: x._set_source(ix, src), "set_source", x, ix, src)

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, attr=st.sampled_from(ATTRS), value=values, delete=st.booleans())
    def set_state(self, pick, attr, value, delete):
        x = self.nodes[pick % len(self.nodes)]
        ok, state = attempt(lambda: x.state)
        if not ok:
            return
        change = (lambda: delattr(state, attr)) if delete else (lambda: setattr(state, attr, value))
        if attr == "categories" and isinstance(value, list) and not delete:
            # A list replaces the categories pair by pair; a bad pair leaves
            # the pairs before it.
            self.log("set categories", x, value)
            attempt(change)
        else:
            self.intact_unless_it_works(change, "set state", x, attr, value, delete)

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, items=st.dictionaries(st.sampled_from(ATTRS), values, max_size=3), as_dict=st.booleans())
    def from_dict(self, pick, items, as_dict):
        # Attributes applied before a refused one stay applied.
        x = self.nodes[pick % len(self.nodes)]
        self.log("from_dict", x, items, as_dict)
        attempt(lambda: x.state._from_dict(items if as_dict else list(items.items())))

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, loss=st.sampled_from(LOSSES), delete=st.booleans())
    def set_loss(self, pick, loss, delete):
        x = self.nodes[pick % len(self.nodes)]
        change = (lambda: delattr(x, "_loss")) if delete else (lambda: setattr(x, "_loss", loss))
        self.intact_unless_it_works(change, "loss", x, loss, delete)

    @precondition(lambda self: self.nodes)
    @rule(pick=picks, linkdata=st.sampled_from([None, "data", "graph"]))
    def set_linkdata(self, pick, linkdata):
        x = self.nodes[pick % len(self.nodes)]
        self.log("linkdata", x, linkdata)
        x._linkdata = self.graphs[0] if linkdata == "graph" and self.graphs else linkdata

    # -- holding and dropping references --------------------------------------

    @precondition(lambda self: self.nodes and len(self.states) + len(self.activations) < 8)
    @rule(pick=picks, activation=st.booleans())
    def keep(self, pick, activation):
        x = self.nodes[pick % len(self.nodes)]
        ok, kept = self.intact_unless_it_works(lambda: x.activation if activation else x.state, "keep", x,
                                               activation)
        if ok:
            (self.activations if activation else self.states).append(kept)

    @rule(which=st.sampled_from(["nodes", "graphs", "states", "activations"]), pick=picks)
    def drop(self, which, pick):
        pool = getattr(self, which)
        if pool:
            self.log("drop", which, pool[pick % len(pool)])
            del pool[pick % len(pool)]
            if which == "graphs":
                del self.linked[pick % len(self.linked)]

    # -- querying -----------------------------------------------------------

    @precondition(lambda self: self.graphs)
    @rule(pick=picks, data=st.data())
    def query(self, pick, data):
        self.run_query(self.graphs[pick % len(self.graphs)], data, clean=False)

    @precondition(lambda self: any(self.linked))
    @rule(pick=picks, data=st.data(), clean=st.booleans())
    def query_linked(self, pick, data, clean):
        linked = [g for g, built_linked in zip(self.graphs, self.linked) if built_linked]
        self.run_query(linked[pick % len(linked)], data, clean)

    def run_query(self, g, data, clean):
        """Queries with arbitrary columns (clean: numeric and finite, of any
        layout) and checks what the query leaves."""
        n = data.draw(st.sampled_from([0, 1, 2, 3, 4, 5, 1, 2, 3]))
        xarray = {}
        for name in register_names(g) + ["extra"]:
            if clean or data.draw(st.integers(0, 12)) > 0:
                xarray[name] = column(data, n + (not clean and data.draw(st.integers(0, 15)) == 0), clean)
        y_kinds = ["none", "same"] if clean else ["none", "none", "same", "same", "longer", "shorter", "list", "2-d"]
        y_kind = data.draw(st.sampled_from(y_kinds))
        yarray = None
        if y_kind != "none":
            length = {"longer": n + 2, "shorter": max(n - 1, 0)}.get(y_kind, n)
            yarray = column(data, length, clean)
            yarray = {"list": lambda: list(np.ravel(yarray)), "2-d": lambda: np.reshape(yarray, (1, -1))}.get(
                y_kind, lambda: yarray)()
        if not clean and data.draw(st.integers(0, 30)) == 0:
            xarray = list(xarray.items())
        self.log("query", g, xarray, yarray)

        # The query holds its columns only while it runs.
        columns = list(xarray.values()) if isinstance(xarray, dict) else []
        handed = [a for a in columns + [yarray] if a is not None]
        counts = [sys.getrefcount(a) for a in handed]
        nodes = held(g)
        structure = [view(x)[:7] if isinstance(x, _vesk.Interaction) else x for x in nodes]
        before = [view(x) for x in nodes if isinstance(x, _vesk.Interaction)]
        ok, out = attempt(lambda: g._query(xarray, yarray))
        GraphMachine.tally["ran" if ok else "refused (%s)" % type(out).__name__] += 1
        assert [sys.getrefcount(a) for a in handed] == counts
        assert [view(x)[:7] if isinstance(x, _vesk.Interaction) else x for x in nodes] == structure
        if not ok:
            # Refused before its first sample, a query changes nothing: no
            # parameter, no range, no category.
            if not IN_LOOP.search(str(out)):
                assert [view(x) for x in nodes if isinstance(x, _vesk.Interaction)] == before, out
            return
        assert isinstance(out, np.ndarray) and out.dtype == np.float32 and out.ndim == 1
        assert input_lengths(g, xarray) == {len(out)}
        copy = rebuilt(g)
        assert outcome(lambda: copy._query(xarray)) == outcome(lambda: g._query(xarray))

    # -- reading ------------------------------------------------------------

    @invariant()
    def references_held(self):
        dropped = [(v, n, sys.getrefcount(v)) for v, n in zip(CONSTANTS, BASELINE) if sys.getrefcount(v) < n]
        assert not dropped, dropped

    @invariant()
    def reads_hold(self):
        for g in self.graphs:
            for read in (lambda: len(g), lambda: hash(g), lambda: str(g), lambda: g.edge_count, lambda: slots(g)):
                attempt(read)
        for x in self.nodes:
            for read in (lambda: x.depth, lambda: x._tooltip, lambda: x.state.__dict__, lambda: repr(x),
                         lambda: x._linkdata, lambda: x.activation):
                attempt(read)
        for s in self.states:
            attempt(lambda: dir(s))
            attempt(lambda: s.w0)
        for a in self.activations:
            assert a.dtype == np.float32 and a.size <= 1
            a.sum()


def main():
    """Runs the machine in this interpreter (the child)."""
    faulthandler.enable()
    warnings.simplefilter("ignore")
    run_state_machine_as_test(GraphMachine, settings=settings(
        max_examples=int(os.environ["VESK_FUZZ_EXAMPLES"]),
        stateful_step_count=40,
        deadline=None,
        derandomize=os.environ.get("VESK_FUZZ_RANDOM") != "1",
        database=None,
        suppress_health_check=list(HealthCheck),
    ))
    print("fuzz: %d examples run; %s" % (GraphMachine.examples, ", ".join(
        "%s %d" % item for item in sorted(GraphMachine.tally.items()))))


def test_state_machine(tmp_path):
    examples = int(os.environ.get("VESK_FUZZ_EXAMPLES", "50" if UNDER_ASAN else "150"))
    log = tmp_path / "steps.log"
    proc = run_python("import test_fuzz; test_fuzz.main()", timeout=120 + 5 * examples, env={
        "VESK_FUZZ_EXAMPLES": str(examples),
        "VESK_FUZZ_RANDOM": "1" if "VESK_FUZZ_EXAMPLES" in os.environ else "0",
        "VESK_FUZZ_LOG": str(log),
    })
    steps = log.read_text()[-4000:] if log.exists() else ""
    assert proc.returncode == 0, "exit %d\n%s\nsteps of the last example:\n%s" % (
        proc.returncode, proc.stdout[-3000:] + proc.stderr[-6000:], steps)
    print(proc.stdout.strip().splitlines()[-1])
