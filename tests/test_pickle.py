"""Graphs and interactions travel: pickle (every protocol from 2), copy and
deepcopy give objects indistinguishable from the originals that train on to
the same bits, here and in a child interpreter; back-pointers, refusals,
damaged saved forms (fuzzed in a child) and the 64-bit sample counter."""
import copy
import copyreg
import ctypes
import io
import itertools
import os
import pickle
import random

import numpy as np
import pytest

import _vesk
from conftest import run_python
from graph_pairs import build, columns
from reference_math import MATH as MATH_TYPES
from reliability import MIXED, bits

PROTOCOLS = list(range(2, pickle.HIGHEST_PROTOCOL + 1))
MATH = tuple(t.NAME for t in MATH_TYPES)
INPUTS = [("fixed", "x"), ("cat", "c")]  # the input registers of random_graph


class Sub(_vesk.Graph):
    """A graph subclass with an instance dictionary."""


class SlotSub(_vesk.Graph):
    """A graph subclass with slot attributes, one of them never set."""
    __slots__ = ("note", "unset")


def random_graph(seed):
    """A half-trained graph over columns() with random nodes, losses,
    linkdata (cycles through the graph included) and an error flag."""
    rng = random.Random(seed)
    layout = list(INPUTS)
    for _ in range(rng.randint(1, 6)):
        kind = rng.choice(MATH)
        count = 2 if kind == "multiply" else rng.choice((1, 2))
        layout.append((kind, tuple(rng.choices(range(len(layout)), k=count))))
    g = build(layout + [("fixed", (len(layout) - 1,))])
    if seed % 2:
        h = (SlotSub if seed % 4 == 1 else Sub)(len(g))
        h.note = {"seed": seed}
        for i, x in enumerate(g):
            h[i] = x
        g = h
    loss = rng.choice([None, "mean_absolute_error", b"mean_squared_error"])
    if loss is not None:
        g[-1]._loss = loss
    for x in g:
        links = [None, {"k": [1, 2.5]}, g, (g, "tag")]
        if rng.random() < 0.5:
            x._linkdata = rng.choice(links)
    if seed % 3 == 0:  # clamps the column into a narrow range: sets the error flag
        g[0].state._from_dict({"auto_adapt": False, "feature_min": -1.0, "feature_max": 1.0})
    if seed:
        g._query(*columns(INPUTS, rng.randint(1, 300), seed))
    return g


def special_graph(size):
    """A graph with an empty slot, without slots, or of a negative size."""
    g = _vesk.Graph(size)
    if size > 1:
        g[1] = _vesk.Interaction("sine", (1, 2, 3), 4)
    return g


def train_both(a, b, seed):
    """Trains and then queries both graphs alike: the same bits, or the
    same refusal."""
    X, y = columns(INPUTS, 120, seed)
    outcomes = []
    for g in (a, b):
        try:
            outcomes.append((bits(g._query(X, y)), bits(g._query(X))))
        except Exception as e:  # a graph that cannot run refuses both alike
            outcomes.append(type(e))
    assert outcomes[0] == outcomes[1]


class SavedForms(pickle.Pickler):
    """Pickles as release 0.2.0 did: the saved forms of __getstate__."""
    dispatch_table = {t: (lambda o: (copyreg.__newobj__, (type(o),), o.__getstate__())) for t in
                      (_vesk.Graph, _vesk.Interaction, Sub, SlotSub)}


def saved_forms(obj):
    f = io.BytesIO()
    SavedForms(f, 4).dump(obj)
    return f.getvalue()


MOVES = {"pickle %d" % p: (lambda g, p=p: pickle.loads(pickle.dumps(g, p))) for p in PROTOCOLS}
MOVES["deepcopy"] = copy.deepcopy
MOVES["0.2.0 pickle"] = lambda g: pickle.loads(saved_forms(g))


@pytest.mark.parametrize("how", MOVES)
@pytest.mark.parametrize("seed", list(range(8)) + ["size 3", "size 0", "size -3"])
def test_round_trip_is_exact_and_trains_on_identically(seed, how):
    g = random_graph(seed) if isinstance(seed, int) else special_graph(int(seed[5:]))
    c = MOVES[how](g)
    assert type(c) is type(g) and getattr(c, "__dict__", None) == getattr(g, "__dict__", None)
    assert getattr(c, "note", None) == getattr(g, "note", None) and not hasattr(c, "unset")
    assert all(a is not b for a, b in zip(c, g) if a is not None)
    # The saved forms, pickled, hold every value and the sharing between
    # them: equal bytes are the same state to the bit (NaN included), the
    # internal fields (Adam moments, rates), categories in their order, the
    # loss's type, linkdata and a cycle through the graph.
    assert pickle.dumps(c, 4) == pickle.dumps(g, 4)
    for x in c:
        if x is not None:
            assert x.activation.shape == (c.__getstate__()[3],)  # back in a graph: this one
    train_both(g, c, 99)
    assert pickle.dumps(c, 4) == pickle.dumps(g, 4)


class OwnState(_vesk.Graph):
    """Saves a form of its own: pickling and copying go through it."""

    def __getstate__(self):
        return ("own", super().__getstate__())

    def __setstate__(self, state):
        super().__setstate__(state[1])
        self.restored = state[0]


def rebuilt(kind, state, mark):
    g = kind()
    g.__setstate__(state)
    g.restored = mark
    return g


class OwnReduction(_vesk.Graph):
    def __reduce_ex__(self, protocol):
        return rebuilt, (OwnReduction, self.__getstate__(), "reduced")


@pytest.mark.parametrize("kind, expected", [(OwnState, "own"), (OwnReduction, "reduced"), (Sub, "registered")])
@pytest.mark.parametrize("how", [how for how in MOVES if how != "0.2.0 pickle"])  # a table of its own
def test_own_reductions_are_taken(kind, expected, how):
    # A class that reduces by itself, or one with a reducer registered in
    # copyreg's table, pickles and copies through it; a node shared with
    # linkdata stays shared.
    g = kind(len(MIXED))
    for i, x in enumerate(build(MIXED)):
        g[i] = x
    g[-2]._linkdata = [g[1]]
    if expected == "registered":
        copyreg.pickle(Sub, lambda g: (rebuilt, (Sub, g.__getstate__(), "registered")))
    try:
        c = MOVES[how](g)
    finally:
        copyreg.dispatch_table.pop(Sub, None)
    assert type(c) is kind and c.restored == expected and c[-2]._linkdata[0] is c[1] is not g[1]
    assert pickle.dumps([x.__getstate__() for x in c]) == pickle.dumps([x.__getstate__() for x in g])


def canonical(graph):
    """The graph's saved form with categories in a fixed order: str keys list
    in an order of each process's own."""
    rows = []
    for x in graph:
        saved = list(x.__getstate__())
        saved[-1] = tuple(sorted(v, key=repr) if isinstance(v, list) else v for v in saved[-1])
        rows.append(saved)
    return pickle.dumps((graph.__getstate__()[:4], rows), 4)


def test_loaded_in_a_child_interpreter_trains_on_identically():
    graphs = [random_graph(seed) for seed in (2, 4, 7)]
    for g in graphs:
        for x in g:
            x._linkdata = None  # canonical() compares linkdata without a graph in it
    blob = pickle.dumps(graphs, 4)
    child = run_python(
        """
        import pickle, sys
        from graph_pairs import columns
        from reliability import bits
        from test_pickle import INPUTS, canonical
        graphs = pickle.loads(%r)
        for g in graphs:
            X, y = columns(INPUTS, 150, 5)
            print(bits(g._query(X, y)), canonical(g).hex())
        """ % blob
    )
    assert child.returncode == 0, child.stderr
    X, y = columns(INPUTS, 150, 5)
    here = ["%s %s" % (bits(g._query(X, y)), canonical(g).hex()) for g in pickle.loads(blob)]
    assert child.stdout.split("\n")[:-1] == here


def test_back_pointers_and_sharing():
    g = build(MIXED)
    g._query(*columns(MIXED, 10, 1))
    # A shallow copy shares the nodes, which keep pointing at the original,
    # also once the copy is gone.
    c = copy.copy(g)
    assert type(c) is _vesk.Graph and list(c) == list(g) and c.__getstate__() == g.__getstate__()
    del c
    assert [x.activation.shape for x in g] == [(1,)] * len(g)
    _shallow = copy.copy(g)  # kept while the original goes
    x = g[2]
    del g
    with pytest.raises(RuntimeError, match="not in a graph"):
        x.activation
    # Graphs pickled together share their shared node, which points at the
    # last graph that holds it in load order.
    # So do graphs deep-copied together.
    a, b = build(MIXED), build(MIXED)
    b[2] = a[2]
    for order, move in itertools.product(((a, b), (b, a)), (lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy)):
        first, last = move(order)
        assert first[2] is last[2] and first[2]._location == 2
        del last
        with pytest.raises(RuntimeError, match="not in a graph"):
            first[2].activation
    # Restoring a live graph releases its old nodes and takes the new ones,
    # as assigning its slots would.
    old, before = a[0], ctypes.c_ssize_t.from_address(id(a[0])).value
    b.__setstate__(a.__getstate__())
    assert ctypes.c_ssize_t.from_address(id(old)).value == before + 1
    assert b[0] is a[0]
    a.__setstate__(build(MIXED).__getstate__())
    assert ctypes.c_ssize_t.from_address(id(old)).value == before
    assert b[0].activation.shape == (0,)
    # A node in two slots keeps its location; one copied or loaded alone is
    # in no graph.
    a[5] = a[2]
    assert pickle.loads(pickle.dumps(a))[2]._location == 5
    for lone in (copy.copy(a[3]), copy.deepcopy(a[3]), pickle.loads(pickle.dumps(a[3]))):
        assert lone.__getstate__() == a[3].__getstate__()
        with pytest.raises(RuntimeError, match="not in a graph"):
            lone.activation
    # A shallow copy of a subclass copies its instance dictionary.
    for kind in (Sub, SlotSub):
        s = kind(2)
        s.note = ["kept"]
        t = copy.copy(s)
        assert type(t) is kind and t.note is s.note and (kind is SlotSub or t.__dict__ is not s.__dict__)

    class Odd(_vesk.Graph):
        __dict__ = property(lambda self: 5)  # not a dictionary: a clear error, not a SystemError

    with pytest.raises(TypeError, match="not a dictionary"):
        Odd(1).__setstate__(Sub(1).__getstate__())


def test_loading_draws_nothing():
    saved = pickle.dumps([_vesk.Interaction(kind, (0, 0, 0)) for kind in MATH])
    draws = []
    for load in (False, True):
        ctypes.CDLL(None).srand(11)
        loaded = load and pickle.loads(saved)
        x = _vesk.Interaction("tanh", (0, 0, 0))
        draws.append((x.state._to_dict(), bool(loaded)))
    assert draws == [(draws[0][0], False), (draws[0][0], True)]


def test_refusals():
    x = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
    for make, at in ((_vesk.Graph, 1), (lambda: _vesk.Interaction("fixed", (0, 0, 0), 0, "x"), 3)):
        # The compact form that pickling saves, with its numbers cut short,
        # one word long, or a flag that is no bool.
        target = make()
        compact = target.__reduce_ex__(2)[2]
        numbers = compact[at]
        for bad in ((), [1], ("1",) + target.__getstate__()[1:], compact[:at] + (numbers[:-1],) + compact[at + 1:],
                    compact[:at] + (numbers + bytes(4),) + compact[at + 1:],
                    compact[:at] + (numbers[:-4] + b"\x02\0\0\0",) + compact[at + 1:]):
            with pytest.raises((TypeError, ValueError), match="aved state" if isinstance(bad, tuple) else None):
                make().__setstate__(bad)
    with pytest.raises(ValueError, match="of version 3; this module reads versions 1 to 2"):
        pickle.loads(pickle.dumps(x).replace(b"K\x02", b"K\x03", 1))
    # Graphs save form 2 (pickles the compact form 3); form 1, without slot
    # attributes, still loads.
    g = build(MIXED)
    with pytest.raises(ValueError, match="of version 4; this module reads versions 1 to 3"):
        _vesk.Graph().__setstate__((4,) + g.__getstate__()[1:])
    old = _vesk.Graph()
    old.__setstate__((1,) + g.__getstate__()[1:6])
    assert old.__getstate__() == g.__getstate__()
    for move in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="cannot pickle"):
            move(x.state)

    # Restoring an interaction while a write of its state runs is refused,
    # as constructing it again is; a restore releases what it held before.
    saved = x.__getstate__()

    class Restores:
        def __float__(self):
            with pytest.raises(RuntimeError, match="while its state is being changed"):
                x.__setstate__(saved)
            return 2.0

    x.state.feature_min = Restores()
    assert x.state.feature_min == 2.0
    old_state, linked = x.state, ["linked"]
    x._linkdata = linked
    before = ctypes.c_ssize_t.from_address(id(linked)).value
    x.__setstate__(saved)
    assert ctypes.c_ssize_t.from_address(id(linked)).value == before - 1
    with pytest.raises(RuntimeError, match="no longer exists"):
        old_state.feature_min
    assert pickle.dumps(x.__getstate__()) == pickle.dumps(saved)


def test_a_state_saved_while_colliding_keys_were_one_category_loads_as_it_was():
    # Release 0.2.0 filed -2 with -1 and 0 with a NaN: such a category keeps
    # the key filed first and its weight; the key merged into it starts at 0.
    g = build([("cat", "c"), ("fixed", (0,), (-1.0, 1.0))])
    saved = g[0].__getstate__()[:-1] + (([(float("nan"), 0.25), (-1, 0.5)],),)
    g[0].__setstate__(pickle.loads(pickle.dumps(saved)))
    assert repr(g[0].state.categories) == repr(saved[-1][0])
    column = np.empty(4, dtype=object)
    column[:] = [-1, -2, float("nan"), 0]
    assert g._query({"c": column}).tolist() == [0.5, 0.0, 0.25, 0.0]


@pytest.mark.parametrize("start", [2 ** 31 - 3, 2 ** 32 - 3, 2 ** 63 - 3])
def test_sample_counter_runs_past_32_bits(start):
    g = build(MIXED)
    X, y = columns(MIXED, 40, 5)
    g._query(X, y)
    runs = []
    for count in (start, 1001):  # Adam corrects its moments below 1000 samples only
        h = copy.deepcopy(g)
        saved = h.__getstate__()
        h.__setstate__(saved[:2] + (count,) + saved[3:])
        out = h._query(X, y)
        # The count stops at its largest value, and the graph's form loads.
        assert h.__getstate__()[2] == min(count + 40, 2 ** 63 - 1) and np.isfinite(out).all()
        assert pickle.loads(pickle.dumps(h)).__getstate__()[2] == h.__getstate__()[2]
        runs.append((bits(out), [x.__getstate__() for x in h]))
    assert runs[0] == runs[1]


def test_damaged_saved_forms_never_crash():
    # Damaged states go to __setstate__ of fresh and of live objects, damaged
    # pickles to a loader that knows only this module; what loads is used.
    result = run_python(
        """
        import copy, io, pickle, random
        import _vesk
        from graph_pairs import build, columns
        from reliability import MIXED
        g = build(MIXED)
        X, y = columns(MIXED, 30, 3)
        g._query(X, y)
        g[0]._linkdata = [g, 1.5]
        VALUES = [None, -1, 0, 2, 3, 2 ** 31, 2 ** 63 - 1, 2 ** 64, 1.5, float("nan"), "", "cat", "tanh", "x" * 300,
                  b"x", (),
                  (1, 2, 3), [], [(1, 0.5)], [([], 1.0)], "mean_absolute_error", True, g[0], g, [None] * 8]
        rng = random.Random(13)

        def damaged(value, depth=0):
            if isinstance(value, bytes) and value and rng.random() < 0.7:  # the numbers of a compact form
                cut = rng.randrange(len(value))
                return value[:cut] + bytes([rng.randrange(256)] * rng.randint(0, 5)) + value[cut + 1:]
            if not isinstance(value, (tuple, list)) or not value or rng.random() < 0.2 or depth > 3:
                return rng.choice(VALUES)
            items, i = list(value), rng.randrange(len(value))
            roll = rng.random()
            if roll < 0.6:
                items[i] = damaged(items[i], depth + 1)
            else:
                items[i:i + 1] = [] if roll < 0.8 else [rng.choice(VALUES), items[i]]
            return type(value)(items)

        def use(obj):
            for x in list(obj) if isinstance(obj, _vesk.Graph) else [obj]:
                for read in ("sources", "depth", "activation", "_tooltip", "_loss", "name", "state.__dict__"):
                    try:
                        eval("x." + read)
                    except (RuntimeError, AttributeError):
                        pass
            if isinstance(obj, _vesk.Graph):
                hash(obj), obj.edge_count
                try:
                    obj._query(X, y)
                except (RuntimeError, ValueError, TypeError):
                    pass
            try:
                pickle.loads(pickle.dumps(obj))
            except RuntimeError:  # an interaction left without a type
                pass

        refused = 0
        for k in range(3000):
            live = copy.deepcopy(g)
            target = rng.choice([live] + list(live) + [_vesk.Graph(), _vesk.Interaction("sine", (0, 0, 0))])
            source = live if isinstance(target, _vesk.Graph) else rng.choice(list(live))
            saved = source.__getstate__() if rng.random() < 0.5 else source.__reduce_ex__(4)[2]
            try:
                target.__setstate__(damaged(saved))
            except (TypeError, ValueError):
                refused += 1
            use(target)
            use(live)

        class OnlyThisModule(pickle.Unpickler):
            def find_class(self, module, name):
                if module != "_vesk":
                    raise pickle.UnpicklingError(module)
                return getattr(_vesk, name)

        blob = pickle.dumps(g, 4)
        for k in range(3000):
            data = bytearray(blob)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            try:
                loaded = OnlyThisModule(io.BytesIO(bytes(data[:rng.randint(len(data) // 2, len(data))]))).load()
            except Exception:  # the loader's own refusals
                continue
            try:
                use(loaded)
            except (TypeError, ValueError, RuntimeError, pickle.PicklingError):
                pass
        print("refused", refused)
        """,
        # A damaged length can ask pickle's own loader for a huge buffer: under
        # the sanitizer, that fails with MemoryError (and a warning, kept out
        # of the reports; a real error still stops the child) as it does
        # without.
        env={"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1:log_path=stderr"},
        timeout=600,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert 1000 < int(result.stdout.split()[-1]) < 3000
