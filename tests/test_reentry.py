"""Python code that runs inside the module's own operations (a key's hash,
a value's conversion, a finaliser) and changes what they are working on, and
memory that runs out part-way through a column.

A wrong answer here is a use of freed memory, so each case runs in its own
interpreter: a crash fails the case instead of the whole run."""
import os

import pytest

from conftest import run_python

PRELUDE = '''
import numpy as np
import _vesk
from builders import objects
from graph_pairs import build

IN_USE = "Categories of register 'c' cannot change while they are in use"

g = build([("cat", "c"), ("fixed", (0,), (-1.0, 1.0))])
c = g[0]
seen = []


def clear_categories():
    """Tries to replace c's categories; records the refusal."""
    try:
        c.state.categories = []
    except RuntimeError as e:
        seen.append(type(e))
'''

CASES = {
    # A key's hash or comparison replaces the categories while the column is
    # resolved: the addresses resolved so far would point at freed entries.
    "hash_replaces_categories_during_resolution": '''
class Meddler:
    def __hash__(self):
        clear_categories()
        return 11
    def __eq__(self, other):
        clear_categories()
        return False
c.state.categories = [("old", 0.5)]
g._query({"c": objects(["old", Meddler(), Meddler(), "old"])}, np.array([1.0, 1.0, 1.0, 1.0]))
assert seen == [RuntimeError] * 3, seen
weights = dict(c.state.categories)
assert len(weights) == 3 and weights["old"] > 0.5, weights
''',
    # The expected array's conversion runs after the column was resolved and
    # before the sample loop reads the resolved addresses.
    "expected_conversion_replaces_categories": '''
class Meddler:
    def __float__(self):
        clear_categories()
        return 0.5
g._query({"c": np.array(["a", "b"])}, objects([Meddler(), Meddler()]))
assert seen and set(seen) == {RuntimeError}, seen
assert sorted(k for k, _ in c.state.categories) == ["a", "b"]
assert all(w > 0 for _, w in c.state.categories)
''',
    # Releasing a key while the categories are replaced runs its finaliser,
    # which tries to replace them again.
    "finaliser_replaces_categories_during_clear": '''
class Sticky:
    def __hash__(self):
        return 5
    def __del__(self):
        try:
            c.state.categories = [("x", 1.0)]
        except RuntimeError as e:
            seen.append(str(e))
g._query({"c": objects([Sticky()])})
c.state.categories = [("y", 0.25)]
assert seen == [IN_USE], seen
assert c.state.categories == [("y", 0.25)]
''',
    # A key released while the register is destroyed reads the categories
    # through a state object kept from before.
    "finaliser_reads_categories_during_destruction": '''
state = c.state
class Reader:
    def __hash__(self):
        return 5
    def __del__(self):
        try:
            seen.append(state.categories)
        except Exception as e:
            seen.append(type(e).__name__)
g._query({"c": objects([Reader()])})
del g, c
assert len(seen) == 1, seen
''',
    # A refused column's new keys are released by the rollback; when the map
    # held their last reference their finalisers run then, while the
    # refusal's exception is set aside.
    "finaliser_runs_during_rollback": '''
column = np.empty(3, dtype=object)
class Noisy:
    def __init__(self, h, i):
        self.h, self.i = h, i
    def __hash__(self):
        column[self.i] = 0  # the map's reference becomes the only one
        return self.h
    def __del__(self):
        seen.append(sorted(k for k, _ in c.state.categories if isinstance(k, str)))
column[0], column[1], column[2] = Noisy(1, 0), Noisy(2, 1), [3]
c.state.categories = [("keep", 0.5)]
try:
    g._query({"c": column})
except TypeError as e:
    assert "unhashable" in str(e)
else:
    raise AssertionError("unhashable key accepted")
assert len(seen) == 2 and all(s == ["keep"] for s in seen), seen
assert c.state.categories == [("keep", 0.5)]
''',
    # A pass that fails after the column was resolved; the categories are
    # then replaced and the register queried again.
    "categories_replaced_after_failed_pass": '''
x = _vesk.Interaction("fixed", (2, 0, 0), 0, "x")
x._set_source(0, -1)
y = g[1]
g3 = _vesk.Graph(3)
g3[0], g3[1], g3[2] = c, x, y
try:
    g3._query({"c": np.array(["a", "b"]), "x": np.array([1.0, float("nan")])}, np.array([1.0, 1.0]))
except RuntimeError as e:
    assert "Nan found in input array" in str(e)
else:
    raise AssertionError("NaN accepted")
c.state.categories = [("b", 0.5)]
pred = g3._query({"c": np.array(["b", "a"]), "x": np.array([1.0, 2.0])})
assert pred.tolist() == [0.5, 0.0], pred
''',
    # Constructing the interaction again from code a state write runs (a
    # value's conversion, a key's hash or finaliser) would free the state
    # record under the write: refused.
    "constructor_during_state_write": '''
REBUILD = "Cannot re-initialize interaction '%s' while its state is being changed"
t = _vesk.Interaction("tanh", (0, 0, 0), 0)
class Value:
    def __float__(self):
        t.__init__("cat", (0, 0, 0), 0, "x")
        return 1.0
try:
    t.state.bias = Value()
except AttributeError:
    seen.append("refused value")
assert t.type == "tanh"
del t
class Key:
    def __init__(self, when):
        self.when = when
    def __hash__(self):
        if self.when == "hash":
            rebuild()
        return 3
    def __del__(self):
        if self.when == "del":
            rebuild()
def rebuild():
    try:
        c.__init__("cat", (0, 0, 0), 0, "c")
    except RuntimeError as e:
        seen.append(str(e))
c.state.categories = [(Key("hash"), 0.5)]
c.state._from_dict({"categories": [(Key("del"), 0.25)]})
c.state.categories = []
assert seen == ["refused value"] + [REBUILD % "cat"] * 2, seen
''',
    # A key's hash or comparison frees the data of the object column being
    # resolved: the resolution stops before it reads the column again.
    "hash_frees_the_column_during_resolution": '''
class Freer:
    def __init__(self, when):
        self.when = when
    def __hash__(self):
        if self.when == "hash":
            column.__setstate__((1, (1,), np.dtype(object), False, [None]))
        return 7
    def __eq__(self, other):
        if self.when == "eq":
            column.__setstate__((1, (1,), np.dtype(object), False, [None]))
        return False
for when in ("hash", "eq"):
    column = np.empty(4, dtype=object)
    column[:] = [Freer(when), Freer(None), "b", "c"]
    c.state.categories = [("keep", 0.5)]
    try:
        g._query({"c": column})
    except RuntimeError as e:
        assert str(e) == "The input array of register 'c' changed while the query was reading it", e
    else:
        raise AssertionError("changed column read on")
    assert c.state.categories == [("keep", 0.5)]
''',
    # Ctrl-C while a long column is resolved, in the making of new str
    # categories and in the native finding of known ints: the handler runs
    # part-way through, and the refused column leaves the categories as
    # they were.
    "interrupt_while_a_column_is_resolved": '''
import signal
progress = []
def interrupt(*_):
    progress.append(len(c.state.categories))
    signal.default_int_handler(signal.SIGINT, None)
signal.signal(signal.SIGALRM, interrupt)
known = np.arange(1000)
g._query({"c": known})
many = np.arange(1000, 301_000).astype(str)
found = np.tile(known, 16_000)
found[-1] = -1  # one new category, made after every other is found
for column in (many, found):
    signal.setitimer(signal.ITIMER_REAL, 0.02)
    try:
        g._query({"c": column})
    except KeyboardInterrupt:
        pass
    else:
        raise AssertionError("not interrupted")
    assert len(c.state.categories) == len(known), progress  # the same keys: the map only gains
assert 1000 < progress[0] < len(many) + 1000 and progress[1] == 1000, progress
''',
    # A signal handler, run between chunks of a long query on the main
    # thread, frees the data of the input or the expected column.
    "signal_handler_frees_a_column": '''
import signal
layout = [("fixed", "x", (-1.0, 1.0))] + [("tanh", (i,)) for i in range(150)] + [("fixed", (150,), (-1.0, 1.0))]
chain = build(layout)
rows = np.linspace(-1, 1, 200_000)
for name in ("input", "expected"):
    x, y = rows.copy(), rows.copy()
    column = x if name == "input" else y
    signal.signal(signal.SIGALRM, lambda *_: column.__setstate__((1, (3,), np.dtype(float), False, bytes(24))))
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        chain._query({"x": x}, y)
    except RuntimeError as e:
        expected = "The %s array of register '%s' changed while the query was reading it"
        assert str(e) == expected % (name, "x" if name == "input" else "y"), e
    else:
        raise AssertionError("changed column read on")
    assert len(column) == 3
''',
    # A column's mask hook, which the register runs before it takes the
    # column, shrinks it below the sample count already taken.
    "mask_hook_shrinks_its_column": '''
import numpy.ma
class Shrinking(np.ndarray):
    @property
    def _mask(self):
        self.__setstate__((1, (10,), np.dtype(float), False, bytes(80)))
        return numpy.ma.nomask
pair = build([("fixed", "x"), ("fixed", "z"), ("fixed", (1,))])
for first in (True, False):
    shrinking = np.ndarray.__new__(Shrinking, (1000,))
    shrinking[:] = 0.5
    X = {"x": shrinking, "z": np.zeros(1000)} if first else {"x": np.zeros(1000), "z": shrinking}
    try:
        pair._query(X)
    except ValueError as e:
        assert str(e) == "Uneven X feature lengths 1000 != 10", e
    else:
        raise AssertionError("shrunk column read")
''',
    # Graphs whose size is just under a multiple of the plan's chain length,
    # with every node trainable, train as often as asked.
    "plans_of_every_chain_length": '''
for size in (62, 63, 64, 65, 127, 128, 191):
    chain = _vesk.Graph(size)
    first = _vesk.Interaction("cat", (0, 0, 0), 0, "c")
    first._set_source(0, -1)
    chain[0] = first
    for i in range(1, size - 1):
        chain[i] = _vesk.Interaction("linear", (i, 0, 0))
        chain[i]._set_source(0, i - 1)
    chain[size - 1] = _vesk.Interaction("fixed", (size, 0, 0), 0, "y")
    chain[size - 1]._set_source(0, size - 2)
    for _ in range(5):
        chain._query({"c": np.array(["a", "b", "a", "c"] * 4)}, np.linspace(0, 1, 16).astype(np.float32))
''',
    # A daemon thread queries while the interpreter shuts down: asking for
    # the lock back after a stretch without it (here, the surveys of long
    # columns of a query then refused for its short expected values), it must
    # not take the process down. The interpreter ends such a thread while it
    # waits; a finaliser run at shutdown keeps the process alive meanwhile.
    "daemon_query_at_exit": '''
import gc, threading, time
busy = build([("fixed", "x"), ("tanh", (0,)), ("fixed", (1,))])
rows = np.linspace(-1, 1, 100_000)
started = threading.Event()
def work():
    while True:
        try:
            busy._query({"x": rows}, rows[:10_000])
        except ValueError:
            started.set()
threading.Thread(target=work, daemon=True).start()
started.wait()
class SlowToGo:
    def __del__(self, sleep=time.sleep):
        sleep(0.2)
gc.disable()
slow = SlowToGo()
slow.cycle = slow
del slow
''',
    # Running out of memory for the resolved input, and for entries and keys
    # part-way through a column: MemoryError, and the categories unchanged.
    "memory_exhaustion": '''
import resource

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

c.state.categories = [("keep", 0.5)]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
huge = np.broadcast_to(np.array(["q"]), (50_000_000,))  # 400 MB of addresses
# Long distinct strings fill the headroom with few entries, so that the
# chains stay short.
many = np.array([f"{i:0100d}" for i in range(300_000)])  # about 50 MB of entries and keys
outcome = []
for column in (huge, many):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + (16 << 20), hard))
    try:
        g._query({"c": column})
        outcome.append("accepted")
    except MemoryError:
        outcome.append("MemoryError")
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert outcome == ["MemoryError", "MemoryError"], outcome
assert c.state.categories == [("keep", 0.5)]
assert g._query({"c": np.array(["keep"])}).tolist() == [0.5]
''',
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_reentry_case(case):
    if case == "memory_exhaustion" and os.environ.get("VESK_TEST_ASAN") == "1":
        pytest.skip("under AddressSanitizer an address-space limit does not make allocations fail where the case "
                    "expects")
    proc = run_python(PRELUDE + CASES[case] + '\nprint("DONE")\n', timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip().endswith("DONE")
    assert proc.stderr == "", proc.stderr[-3000:]
