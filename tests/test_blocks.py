"""A prediction runs its samples through the graph a block at a time, node by
node. Every value, the state left behind and every error must be those of
the sample-by-sample twin, for any number of samples around the block size.
Where two NaNs meet, which of them an operation passes on is the processor's
choice; values are otherwise compared bit for bit."""
import copy
import math
import re
import struct
import threading
import tracemalloc

import numpy as np
import pytest

import _vesk
import graph_pairs
import reference_math as ref
from builders import graph_of, register, unaligned
from conftest import module_sources
from graph_pairs import Pair, build, every_type, same_bits

LAYOUTS = {
    "every type": every_type(),
    "every type, fewest sources": every_type(fewest=True),
    # Pass-through registers, and an input register placed after math nodes.
    "registers_inside": [("fixed", "a"), ("sine", (0,)), ("fixed", (1,)), ("cat", (2,)), ("fixed", "b"),
                         ("multiply", (3, 4)), ("linear", (5, 4)), ("fixed", (6,))],
    # An input register straight into the output, with fixed ranges.
    "fixed_range": [("fixed", "a", (-2.0, 2.0)), ("fixed", (0,), (-3.0, 5.0))],
}
TWO_INPUTS = [("fixed", "a"), ("fixed", "b"), ("fixed", (1,), (-1.0, 1.0))]


def same_values(a, b):
    """Same bits, except that any NaN equals any NaN."""
    a, b = np.atleast_1d(np.asarray(a, np.float32)), np.atleast_1d(np.asarray(b, np.float32))
    both_nan = np.isnan(a) & np.isnan(b)
    return a.shape == b.shape and same_bits(np.where(both_nan, np.float32(0), a), np.where(both_nan, np.float32(0), b))


# Columns are read in place, a block at a time, from any numeric layout.
FORMS = {
    "f4": lambda a: a,
    "f8": lambda a: a.astype(np.float64),
    "f8 swapped, strided": lambda a: np.repeat(a.astype(">f8"), 2)[::2],
    "f8 unaligned": lambda a: unaligned(a.astype(np.float64)),
    "f2 reversed": lambda a: a.astype(np.float16)[::-1],
}


def columns(layout, rows, seed=0, form="f4"):
    """Columns for a layout's input registers, numeric ones in the given form, and expected values."""
    x, y = graph_pairs.columns(layout, rows, seed)
    return {k: FORMS[form](v) if v.dtype.kind == "f" else v for k, v in x.items()}, FORMS[form](y.astype(np.float32))


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("rows", [1, 255, 256, 257, 700])
@pytest.mark.parametrize("form", sorted(FORMS))
def test_prediction_matches_twin_with_state_left_behind(layout, rows, form):
    pair = Pair(LAYOUTS[layout])
    X, _ = columns(LAYOUTS[layout], rows, form=form)
    got, want = pair.query(X)
    assert same_values(got, want)
    # Each node keeps its last sample's activation.
    for node, twin in zip(pair.nodes, pair.twin.nodes):
        assert same_values(node.activation, [twin.activation])
    # A training query after it starts from where the prediction left off.
    X2, y = columns(LAYOUTS[layout], 300, seed=1, form=form)
    got, want = pair.query(X2, y)
    assert same_values(got, want)
    assert pair.mismatches() == []
    got, want = pair.query(X)
    assert same_values(got, want)


@pytest.mark.parametrize("bad_a, bad_b, named", [
    (600, 700, "a"),    # the earlier sample fails first, whatever the slots
    (600, 300, "b"),
    (520, 520, "a"),    # the same sample: the lower slot
    (None, 256, "b"),   # a block's first sample
    (None, 255, "b"),   # a block's last sample
    (5, None, "a"),
])
def test_first_failing_sample_raises(bad_a, bad_b, named):
    X, _ = columns(TWO_INPUTS, 800)
    for key, at in (("a", bad_a), ("b", bad_b)):
        if at is not None:
            X[key][at] = np.nan if key == "a" else np.inf
    g = build(TWO_INPUTS)
    with pytest.raises(RuntimeError, match="Nan found in input array in register '%s'" % named):
        g._query(X)


@pytest.mark.parametrize("slots", [600, 2100])  # rows of blocks under and over 1 MB
def test_long_chains_predict_the_same_within_bounded_memory(slots):
    """Identity nodes (w0 1, bias 0) between two registers give the same
    outputs as the registers alone; the blocks' rows never take more than
    1 MB, so a very long graph predicts sample by sample."""
    X = {"x": np.random.default_rng(3).normal(0, 1, 600).astype(np.float32)}
    nodes = [register("x")]
    for i in range(1, slots - 1):
        node = _vesk.Interaction("linear", (i, 0, 0), 0)
        node._set_source(0, i - 1)
        node.state._from_dict({"w0": 1.0, "w1": 0.0, "bias": 0.0})
        nodes.append(node)
    nodes.append(register("y", source=slots - 2, auto_adapt=False, feature_min=-4.0, feature_max=4.0))
    chain = graph_of(*nodes)
    short = graph_of(register("x"), register("y", source=0, auto_adapt=False, feature_min=-4.0, feature_max=4.0))
    tracemalloc.start()
    try:
        got = chain._query(X)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert same_bits(got, short._query(X))
    # The converted column and the output (2.4 KB each), the step records,
    # and the rows of at most 1 MB.
    assert peak < (1 << 20) + 64 * slots + 64 * 1024


# ---------------------------------------------------------------------------
# Every internal limit of the engine, just below, at and just above it: one
# long query gives the bits of its rows fed one at a time (fixed ranges, so
# that adaptation does not differ), in training and in prediction.

def engine_limit(pattern):
    """A limit as the engine's sources define it: the tests follow it there."""
    found = re.findall(pattern, module_sources())
    assert len(found) == 1, (pattern, found)
    return int(found[0])


CHAIN = engine_limit(r"constexpr int chain_steps = (\d+);")
BLOCK = engine_limit(r"constexpr int block_samples = (\d+);")
CHUNK = engine_limit(r"constexpr int chunk = (\d+);")
BLOCK_BYTES = 1 << engine_limit(r"constexpr size_t max_block_bytes = size_t\{1\} << (\d+);")
TRAIN_CHECK = 1 << engine_limit(r"constexpr int64_t train_steps_per_check = int64_t\{1\} << (\d+);")
INDEX_START = engine_limit(r"map->capacity != 0 \? map->capacity \* 2 : (\d+);")


def chain_layout(size, trainable=False):
    """size slots: input registers, a chain of nodes each reading the slot
    before (and the one before that, where its type reads two), the output;
    trainable: a categorical input and "linear" nodes, every node with a
    reverse step."""
    inputs = [("cat", "c")] if trainable else [("fixed", "x", (-3.0, 3.0)), ("cat", "c")]
    kinds = ["linear"] if trainable else [t.NAME for t in ref.MATH]
    layout = list(inputs)
    while len(layout) < size - 1:
        t = ref.BY_NAME[kinds[len(layout) % len(kinds)]]
        layout.append((t.NAME, tuple(range(len(layout) - 1, len(layout) - 1 - t.SOURCES[1], -1))))
    return layout + [("fixed", (len(layout) - 1,), (-2.0, 2.0))]


def canonical(value):
    """Floats by their bits, any NaN as one; categories in their listing order."""
    if isinstance(value, float):
        return "nan" if math.isnan(value) else struct.pack("<d", value)
    if isinstance(value, (tuple, list)):
        return [canonical(v) for v in value]
    return value


def assert_long_query_is_its_rows(layout, rows, train, seed=0):
    X, y = graph_pairs.columns(layout, rows, seed)
    y = y.astype(np.float32) if train else None
    whole = build(layout)
    single = copy.deepcopy(whole)
    got = whole._query(X, y)
    want = [single._query({k: v[i:i + 1] for k, v in X.items()}, None if y is None else y[i:i + 1])
            for i in range(rows)]
    assert same_values(got, np.concatenate(want))
    assert canonical(whole.__getstate__()[2:4]) == canonical(single.__getstate__()[2:4])
    for a, b in zip(whole, single):
        assert canonical(a.__getstate__()) == canonical(b.__getstate__())


@pytest.mark.parametrize("train", [True, False], ids=["train", "predict"])
@pytest.mark.parametrize("trainable", [True, False], ids=["all trainable", "every kind"])
def test_plans_of_every_size_around_chains_and_the_stack_buffer(train, trainable):
    # Every size up to past two chain lengths: the chains' ends and the
    # plan's move from the stack to the heap lie among them.
    for size in range(3, 2 * CHAIN + 6):
        assert_long_query_is_its_rows(chain_layout(size, trainable), 3, train)


@pytest.mark.parametrize("train", [True, False], ids=["train", "predict"])
@pytest.mark.parametrize("rows", [CHUNK + d for d in (-1, 0, 1)] + [2 * BLOCK + d for d in (-1, 0, 1)])
def test_rows_around_chunks_and_blocks(rows, train):
    assert CHUNK == BLOCK  # a block reads one chunk of each column
    ranges = {"fixed": (-3.0, 3.0)}
    layout = [slot + (ranges[slot[0]],) if slot[0] in ranges else slot for slot in every_type()]
    assert_long_query_is_its_rows(layout, rows, train)


@pytest.mark.parametrize("train", [True, False], ids=["train", "predict"])
@pytest.mark.parametrize("slots", [BLOCK_BYTES // (4 * BLOCK) + d for d in (-1, 0, 1)])
def test_graphs_around_the_block_bound(slots, train):
    # Rows of a full block take 4 bytes a slot and sample.
    assert_long_query_is_its_rows(chain_layout(slots), BLOCK + 1, train)


@pytest.mark.parametrize("rows", [2 * BLOCK + d for d in (-1, 0, 1)])
def test_rows_around_a_signal_check(rows):
    # On this (the main) thread a training query takes the lock every
    # (steps per check / slots / block + 1) blocks: every 2 blocks here.
    slots = TRAIN_CHECK // BLOCK
    assert threading.current_thread() is threading.main_thread()
    assert_long_query_is_its_rows(chain_layout(slots), rows, True)


@pytest.mark.parametrize("train", [True, False], ids=["train", "predict"])
@pytest.mark.parametrize("categories", [INDEX_START * k // 2 + d for k in (1, 2, 4) for d in (-1, 0, 1)])
def test_categories_around_the_index_growth(categories, train):
    # The index doubles once half full; an int column finds known categories
    # natively, a str column through each key's object.
    layout = [("cat", "c"), ("linear", (0,)), ("fixed", (1,), (-2.0, 2.0))]
    for column in (np.arange(categories, dtype=np.int64) * 1000, np.array(["k%d" % i for i in range(categories)])):
        X = {"c": np.concatenate([column, column[::-1]])}
        y = np.linspace(-1, 1, len(X["c"])).astype(np.float32)
        whole = build(layout)
        single = copy.deepcopy(whole)
        got = whole._query(X, y if train else None)
        want = [single._query({"c": X["c"][i:i + 1]}, y[i:i + 1] if train else None) for i in range(len(y))]
        assert same_values(got, np.concatenate(want))
        assert canonical(whole[0].state.categories) == canonical(single[0].state.categories)
        assert len(whole[0].state.categories) == categories
