"""The categorical register and its map of categories: their identity and
order, columns of any dtype, training, refusals and references to keys."""
import math
import sys

import numpy as np
import pytest

from builders import objects
from graph_pairs import Pair, build, same_bits
from reference_math import scale_out

F32 = np.float32


class Key:
    """A unique key object with a chosen hash; equality is identity."""

    def __init__(self, h):
        self.h = h

    def __hash__(self):
        return self.h


class Uncomparable(Key):
    """A key of a chosen hash whose comparison raises."""

    def __init__(self, h, error):
        super().__init__(h)
        self.error = error

    def __eq__(self, other):
        raise self.error

    __hash__ = Key.__hash__


class EqualTo(Key):
    """A key that equals whatever it was made from, with its hash."""

    def __init__(self, value):
        super().__init__(hash(value))
        self.value = value

    def __eq__(self, other):
        return other == self.value

    __hash__ = Key.__hash__


def cat_graph():
    """The graph of a categorical register "c" and an output register of the
    fixed range [-1, 1], and the categorical register."""
    g = build([("cat", "c"), ("fixed", (0,), (-1.0, 1.0))])
    return g, g[0]


def keys_of(c):
    return [k for k, _ in c.state.categories]


# -- the map's order and identity -------------------------------------------

@pytest.mark.parametrize(
    "created, listed",
    [
        ([5, 3, 260], [260, 3, 5]),   # 260 shares bucket 3, newest first
        ([5, 260, 3], [3, 260, 5]),
        ([2, 1, 0], [0, 1, 2]),       # bucket order, not creation order
        ([-2, 0, 256], [0, 256, -2]),  # hash -2 falls in the last bucket, 256
    ],
)
def test_iteration_is_bucket_order_newest_first(created, listed):
    g, c = cat_graph()
    g._query({"c": np.array(created, dtype=np.int64)})
    assert keys_of(c) == listed
    assert [w for _, w in c.state.categories] == [0.0] * len(listed)


NAN = float("nan")


@pytest.mark.parametrize(
    "values",
    [
        [1, 1.0, True], [True, 1, 1.0], [1.0, True, 1], [0, -0.0, False], [5, np.int64(5), 5.0, EqualTo(5)],
        [2 ** 63, np.uint64(2 ** 63), 2.0 ** 63], [2 ** 70, 2.0 ** 70],
        # Unequal keys whose hashes collide stay apart.
        [-1, -2], [-2, -1], [5, 5 + 2 ** 61 - 1], [0.5, 2 ** 60], [2 ** 70, 2 ** 9], [2 ** 64 - 1, 7],
        [Key(7), Key(7), EqualTo(2 ** 70)], [np.int64(-1), -2.0],
        # Every float NaN is one category, apart from 0 and False.
        [NAN, 0, float("nan"), False, np.float32("nan"), np.float16("nan"), np.longdouble("nan"), 0.0],
    ],
)
def test_keys_are_categories_as_in_a_dictionary_keyed_by_the_first(values):
    g, c = cat_graph()
    g._query({"c": objects(values)})
    expected = {}
    for v in values:
        expected.setdefault(NAN if v != v else v, v)
    assert sorted(map(repr, keys_of(c))) == sorted(map(repr, expected.values()))
    assert all(any(k is v for v in values) for k in keys_of(c))


@pytest.mark.parametrize("dtype", [np.int64, str])
def test_large_maps_keep_bucket_order_and_find_every_key(dtype):
    rng = np.random.default_rng(3)
    created = rng.permutation(5000).astype(dtype)
    g, c = cat_graph()
    g._query({"c": created})
    order = sorted(range(len(created)), key=lambda i: (hash(created[i].item()) % 2 ** 64 % 257, -i))
    listed = [created[i].item() for i in order]
    assert keys_of(c) == listed
    # A refused column drops the categories it created and nothing else;
    # given again, they are created again.
    fresh = list(range(-3000, -1))
    with pytest.raises(TypeError, match="unhashable"):
        g._query({"c": objects(list(created[:100]) + fresh + [[1]])})
    assert keys_of(c) == listed
    g._query({"c": objects(fresh)})
    assert len(keys_of(c)) == len(listed) + len(fresh)
    weights = [(k, i / 8) for i, k in enumerate(listed)]
    c.state.categories = weights
    again = rng.permutation(created)
    pred = g._query({"c": again})
    reference = dict(weights)
    np.testing.assert_array_equal(pred, [scale_out(reference[k], -1, 1) for k in again.tolist()])
    assert len(c.state.categories) == len(listed)


def test_float_nan_keys_are_one_category_listed_with_those_of_hash_zero():
    g, c = cat_graph()
    for column in (objects([NAN, float("nan"), np.float32("nan"), np.float16("nan"), np.longdouble("nan")]),
                   np.array([np.nan, -np.nan]), np.array([np.nan], dtype=np.float32), objects([0, False])):
        g._query({"c": column})
    # The bucket of hash 0, newest first.
    assert [type(k) for k in keys_of(c)] == [int, float] and keys_of(c)[1] is NAN
    # Other keys keep their own hash: complex NaNs hash by identity.
    g._query({"c": objects([complex(NAN, 0), complex(NAN, 0)])})
    # Two complex NaNs are unequal whatever their hash (0 before Python 3.10).
    assert len(c.state.categories) == 4


@pytest.mark.parametrize(
    "column, y",
    [
        (objects([-1, -2]), [1.0, 0.0]), (np.array([-1, -2]), [1.0, 0.0]), (objects([0.5, 2 ** 60]), [1.0, 0.0]),
        (np.array([7, 7 + 2 ** 61 - 1], dtype=np.uint64), [0.0, 1.0]),
        (objects([NAN, 0, np.float32("nan"), False]), [1.0, 0.0, 1.0, 0.0]),
    ],
)
def test_colliding_keys_train_apart_as_in_the_twin(column, y):
    pair = Pair([("cat", "c"), ("fixed", (0,), (-1.0, 1.0))])
    got, want = pair.query({"c": np.tile(column, 200)}, np.tile(y, 200))
    assert same_bits(got, want) and pair.mismatches() == []


@pytest.mark.parametrize(
    "column",
    [
        np.array(["a", "bb", "a", "ccc"]),
        np.array([b"x", b"y", b"x"], dtype="S2"),
        np.array([3, 7, 3, -4], dtype=np.int64),
        np.array([1, 2, 1], dtype=">i4"),
        np.array([1.5, 2.5, 1.5], dtype=np.float32),
        np.array([True, False, True]),
        np.arange(12, dtype=np.int16)[::3],
        objects(["a", 2, (1, "t"), None, frozenset({3})]),
    ],
    ids=["str", "bytes", "int64", "big-endian", "float32", "bool", "strided", "object"],
)
def test_columns_of_any_dtype_resolve_per_element(column):
    g, c = cat_graph()
    expected_keys = column.tolist()
    distinct = list(dict.fromkeys(expected_keys))
    # Distinct weights per category show that each sample reads its own entry.
    c.state.categories = [(k, (i + 1) / 8) for i, k in enumerate(distinct)]
    pred = g._query({"c": column})
    weights = dict(c.state.categories)
    assert sorted(map(repr, weights)) == sorted(map(repr, distinct))
    assert {type(k) for k in weights} == {type(k) for k in distinct}
    reference = np.array([scale_out(weights[k], -1, 1) for k in expected_keys], dtype=F32)
    np.testing.assert_array_equal(pred, reference)


# -- training ------------------------------------------------------------------

@pytest.mark.parametrize(
    "start, loss, y, end",
    [
        (1.0, "mean_absolute_error", 1.0, 1.0),    # da = -1 pushes above 1
        (0.9995, "mean_absolute_error", 1.0, 1.0),  # the step itself crosses 1
        (3.0, "mean_squared_error", 1.0, 1.0),     # set by hand above the range
        (-1.5, "mean_squared_error", -1.0, -1.0),  # set by hand below the range
        (math.nan, "mean_squared_error", 0.5, math.nan),
    ],
)
def test_training_clamps_to_unit_range(start, loss, y, end):
    pair = Pair([("cat", "c"), ("fixed", (0,), (-1.0, 1.0))], {0: {"categories": [("a", start)]}}, loss)
    pair.query({"c": np.array(["a", "a"])}, np.array([y, y]))
    assert pair.mismatches() == []
    (_, weight), = pair.nodes[0].state.categories
    assert weight == end or math.isnan(end) and math.isnan(weight)


def test_weights_set_by_hand_are_stored_unclamped():
    g, c = cat_graph()
    c.state.categories = [("a", 3.0), ("b", -7.25), ("c", 2)]
    assert sorted(c.state.categories) == [("a", 3.0), ("b", -7.25), ("c", 2.0)]
    pred = g._query({"c": np.array(["a", "b", "c"])})
    np.testing.assert_array_equal(pred, [scale_out(w, -1, 1) for w in (3.0, -7.25, 2.0)])


def test_training_matches_the_twin_and_a_register_with_source_passes_values_and_gradients_through():
    # Known categories from near either bound and new ones ("d") train alike.
    pair = Pair([("cat", "c"), ("cat", (0,)), ("fixed", (1,), (-1.0, 1.0))],
                {0: {"categories": [("a", 0.3), ("b", -0.95), ("c", 0.999)]}})
    rng = np.random.default_rng(9)
    got, want = pair.query({"c": rng.choice(np.array(["a", "b", "c", "d"]), 300)}, rng.uniform(-1, 1, 300))
    assert same_bits(got, want) and pair.mismatches() == []
    assert pair.nodes[1].state.categories == []


# -- refusals --------------------------------------------------------------------

class Raises:
    """A pair, key or weight whose length, hash or float conversion raises."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, i):
        return ("b", 1.0)[i]

    def __len__(self):
        raise self.error

    __hash__ = __float__ = __len__


NOT_A_LIST = r"^Categorical registers expects list states$"


@pytest.mark.parametrize(
    "bad, error, message",
    [
        # Not a list at all: the categories stay as they were.
        (("a", 1.0), None, NOT_A_LIST), ((("a", 1.0),), None, NOT_A_LIST), ({"a": 1.0}, None, NOT_A_LIST),
        ("ab", None, NOT_A_LIST),
        (Raises(RuntimeError), ValueError, r"^Items in categorical states must be tuples of length 2$"),
        (Raises(KeyboardInterrupt), KeyboardInterrupt, None),
        (Raises(MemoryError), MemoryError, None),
        ((Raises(SystemExit), 1.0), SystemExit, None),
        (("b", Raises(KeyboardInterrupt)), KeyboardInterrupt, None),
        (("b", 1.0, 2), ValueError, r"^Items in categorical states must be tuples of length 2$"),
        (5, ValueError, r"^Items in categorical states must be tuples of length 2$"),
        ("abc", ValueError, r"^Items in categorical states must be tuples of length 2$"),
        (([1], 1.0), TypeError, "unhashable"),
        (("b", "x"), TypeError, None),
        (("b", None), TypeError, None),
        (("b", 10 ** 400), OverflowError, None),
    ],
)
def test_refused_item_keeps_the_items_before_it(bad, error, message):
    c = cat_graph()[1]
    c.state.categories = [("old", 0.5)]
    with pytest.raises(error or ValueError, match=message):
        c.state.categories = bad if error is None else [("a", 0.25), bad, ("z", 0.75)]
    assert c.state.categories == ([("old", 0.5)] if error is None else [("a", 0.25)])


def test_from_dict_reports_refused_items_as_internal_error():
    c = cat_graph()[1]
    with pytest.raises(RuntimeError, match=r"^Interaction 'cat' internal error setting attribute$"):
        c.state._from_dict({"categories": [("a", 1.0), ([2], 1.0)]})
    assert c.state.categories == [("a", 1.0)]


def test_pairs_may_be_lists_and_later_equal_key_wins_weight():
    c = cat_graph()[1]
    c.state.categories = [(1, 0.5), [True, 0.25], ["x", 1]]
    got = dict(c.state.categories)
    assert got == {1: 0.25, "x": 1.0}
    assert [type(k) for k in keys_of(c) if k != "x"] == [int]


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ([1, 2], TypeError, "unhashable"), ({"k": 1}, TypeError, "unhashable"),
        (np.zeros(1, dtype="V4")[0], TypeError, "unhashable"),
        # A comparison with a key of the same hash that raises.
        (Uncomparable(12345, LookupError), LookupError, None),
        (Uncomparable(12345, KeyboardInterrupt), KeyboardInterrupt, None),
    ],
    ids=["list", "dict", "void", "eq raises", "eq interrupted"],
)
def test_unhashable_element_refuses_the_query_and_changes_nothing(bad, error, message):
    g, c = cat_graph()
    c.state.categories = [("a", 0.5)]
    fresh = Key(12345)
    base = sys.getrefcount(fresh)
    with pytest.raises(error, match=message):
        g._query({"c": objects(["a", fresh, bad, "b"])}, np.array([1.0, 1.0, 1.0, 1.0]))
    assert c.state.categories == [("a", 0.5)]
    assert sys.getrefcount(fresh) == base
    # The refused column left no resolved input behind: the next query runs.
    pred = g._query({"c": np.array(["a", "q"])})
    np.testing.assert_array_equal(pred, [scale_out(0.5, -1, 1), scale_out(0.0, -1, 1)])


# -- reference counts of keys ---------------------------------------------------------

@pytest.mark.parametrize("release", ["clear", "replace", "destroy"])
def test_each_entry_owns_one_reference_to_its_first_key(release):
    k1, k2, other = Key(1), Key(1 + 257), Key(99)

    def refs():
        return [sys.getrefcount(k) for k in (k1, k2, other)]

    base = refs()

    def counts():
        return [r - b for r, b in zip(refs(), base)]

    g, c = cat_graph()
    g._query({"c": objects([k1, k1, k2, k1])})
    assert counts() == [1, 1, 0]
    g._query({"c": objects([k2, k1])})
    c.state.categories
    c.state._to_dict()
    assert counts() == [1, 1, 0]

    if release == "clear":
        c.state.categories = []
        assert counts() == [0, 0, 0]
    elif release == "replace":
        c.state.categories = [(other, 0.5), (k1, 0.25)]
        assert counts() == [1, 0, 1]
        c.state.categories = [(other, 0.5)]
        assert counts() == [0, 0, 1]
        del g, c
        assert counts() == [0, 0, 0]
    else:
        del g, c
        assert counts() == [0, 0, 0]
