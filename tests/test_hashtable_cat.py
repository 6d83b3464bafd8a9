"""The categorical register "cat" and its category map, through the Python API."""
import math
import sys

import numpy as np
import pytest

import _vesk

F32 = np.float32
LR = F32(0.002)


class Key:
    """A unique key object with a chosen hash; equality is identity."""

    def __init__(self, h):
        self.h = h

    def __hash__(self):
        return self.h


class NoCompare:
    """Hashes alike with every other instance and refuses comparison."""

    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise AssertionError("category keys must never be compared")


def make_cat(name="c"):
    c = _vesk.Interaction("cat", (0, 0, 0), 0, name)
    c._set_source(0, -1)
    return c


def make_graph(c, loss=None):
    """c -> output register with the fixed range [-1, 1]."""
    g = _vesk.Graph(2)
    y = _vesk.Interaction("fixed", (1, 0, 0), 0, "y")
    y._set_source(0, 0)
    y.state.auto_adapt = False
    y.state.feature_min = -1.0
    y.state.feature_max = 1.0
    if loss is not None:
        y._loss = loss
    g[0] = c
    g[1] = y
    return g


def objects(values):
    column = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        column[i] = v
    return column


def keys_of(c):
    return [k for k, _ in c.state.categories]


# -- reference of one sample, in the output register's range [-1, 1] ----------

def scale_in(v):
    lo, hi = F32(-1), F32(1)
    a = (F32(2) * (F32(v) - lo)) / (hi - lo) - F32(1)
    return min(max(a, F32(-1)), F32(1))


def scale_out(a):
    lo, hi = F32(-1), F32(1)
    return ((F32(1) + a) * (hi - lo)) * F32(0.5) + lo


def loss_dv(name, y_true, y_pred):
    if name == "mean_squared_error":
        d = y_pred - y_true
        return d + d
    if name == "mean_absolute_error":
        return F32(-1) if y_true >= y_pred else F32(1)
    raise ValueError(name)


def train_reference(weights, column, expected, loss="mean_squared_error"):
    """Returns the predictions and updates `weights` (double) in place."""
    preds = []
    for key, v in zip(column, expected):
        w = weights[key]
        a = F32(w)
        preds.append(scale_out(a))
        da = loss_dv(loss, scale_in(v), a)
        step = float(LR * da)
        w = w - step
        weights[key] = 1.0 if w > 1.0 else (-1.0 if w < -1.0 else w)
    return np.array(preds, dtype=F32)


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
    c = make_cat()
    make_graph(c)._query({"c": np.array(created, dtype=np.int64)})
    assert keys_of(c) == listed
    assert [w for _, w in c.state.categories] == [0.0] * len(listed)


@pytest.mark.parametrize(
    "values, first",
    [([1, 1.0, True], 1), ([True, 1, 1.0], True), ([1.0, True, 1], 1.0), ([-1, -2], -1), ([-2, -1], -2)],
)
def test_keys_of_equal_hash_are_one_category_keyed_by_the_first(values, first):
    c = make_cat()
    make_graph(c)._query({"c": objects(values)})
    (key, weight), = c.state.categories
    assert type(key) is type(first) and key == first and weight == 0.0


@pytest.mark.parametrize("dtype", [np.int64, str])
def test_large_maps_keep_bucket_order_and_find_every_key(dtype):
    rng = np.random.default_rng(3)
    created = rng.permutation(5000).astype(dtype)
    c = make_cat()
    g = make_graph(c)
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
    np.testing.assert_array_equal(pred, [scale_out(F32(reference[k])) for k in again.tolist()])
    assert len(c.state.categories) == len(listed)


def test_float_nan_keys_share_the_category_of_hash_zero():
    nan = float("nan")
    c = make_cat()
    g = make_graph(c)
    for column in (objects([nan, float("nan"), np.float32("nan"), np.float16("nan"), np.longdouble("nan")]),
                   np.array([np.nan, -np.nan]), np.array([np.nan], dtype=np.float32), objects([0, False])):
        g._query({"c": column})
    (key, _), = c.state.categories
    assert key is nan
    # Other keys keep their own hash: complex NaNs hash by identity.
    g._query({"c": objects([complex(nan, 0), complex(nan, 0)])})
    assert len(c.state.categories) == (3 if hash(complex(nan, 0)) != 0 else 1)


def test_keys_are_identified_by_hash_alone():
    c = make_cat()
    make_graph(c)._query({"c": objects([NoCompare(), NoCompare(), 7])})
    assert len(c.state.categories) == 1


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
    c = make_cat()
    g = make_graph(c)
    expected_keys = column.tolist()
    distinct = list(dict.fromkeys(expected_keys))
    # Distinct weights per category show that each sample reads its own entry.
    c.state.categories = [(k, (i + 1) / 8) for i, k in enumerate(distinct)]
    pred = g._query({"c": column})
    weights = dict(c.state.categories)
    assert sorted(map(repr, weights)) == sorted(map(repr, distinct))
    assert {type(k) for k in weights} == {type(k) for k in distinct}
    reference = np.array([scale_out(F32(weights[k])) for k in expected_keys], dtype=F32)
    np.testing.assert_array_equal(pred, reference)


def test_new_categories_start_at_zero():
    c = make_cat()
    pred = make_graph(c)._query({"c": np.array(["a", "b", "a"])})
    assert sorted(c.state.categories) == [("a", 0.0), ("b", 0.0)]
    np.testing.assert_array_equal(pred, np.zeros(3, dtype=F32))


# -- training ------------------------------------------------------------------

def test_training_steps_match_reference():
    rng = np.random.default_rng(5)
    column = rng.choice(np.array(["a", "b", "c", "d"]), 300)
    expected = rng.uniform(-1, 1, 300)
    c = make_cat()
    g = make_graph(c)
    c.state.categories = [("a", 0.3), ("b", -0.95), ("c", 0.999)]
    weights = dict(c.state.categories)
    weights["d"] = 0.0
    reference_preds = train_reference(weights, column.tolist(), expected)
    pred = g._query({"c": column}, expected)
    np.testing.assert_array_equal(pred, reference_preds)
    assert dict(c.state.categories) == weights


@pytest.mark.parametrize(
    "start, loss, y, bound",
    [
        (1.0, "mean_absolute_error", 1.0, 1.0),    # da = -1 pushes above 1
        (0.9995, "mean_absolute_error", 1.0, 1.0),  # the step itself crosses 1
        (3.0, "mean_squared_error", 1.0, 1.0),     # set by hand above the range
        (-1.5, "mean_squared_error", -1.0, -1.0),  # set by hand below the range
    ],
)
def test_training_clamps_to_unit_range(start, loss, y, bound):
    c = make_cat()
    g = make_graph(c, loss=loss)
    c.state.categories = [("a", start)]
    weights = {"a": start}
    train_reference(weights, ["a"], [y], loss)
    g._query({"c": np.array(["a"])}, np.array([y]))
    assert c.state.categories == [("a", weights["a"])]
    assert weights["a"] == bound


def test_nan_weight_stays_nan_under_training():
    c = make_cat()
    g = make_graph(c)
    c.state.categories = [("a", float("nan"))]
    g._query({"c": np.array(["a", "a"])}, np.array([0.5, 0.5]))
    (_, w), = c.state.categories
    assert math.isnan(w)


def test_weights_set_by_hand_are_stored_unclamped():
    c = make_cat()
    g = make_graph(c)
    c.state.categories = [("a", 3.0), ("b", -7.25), ("c", 2)]
    assert sorted(c.state.categories) == [("a", 3.0), ("b", -7.25), ("c", 2.0)]
    pred = g._query({"c": np.array(["a", "b", "c"])})
    np.testing.assert_array_equal(pred, [scale_out(F32(3.0)), scale_out(F32(-7.25)), scale_out(F32(2.0))])


def test_register_with_source_passes_values_and_gradients_through():
    rng = np.random.default_rng(9)
    column = rng.choice(np.array(["a", "b", "c"]), 50)
    expected = rng.uniform(-1, 1, 50)

    direct = make_cat()
    direct_pred = make_graph(direct)._query({"c": column}, expected)

    c = make_cat()
    p = _vesk.Interaction("cat", (1, 0, 0), 0, "p")
    p._set_source(0, 0)
    y = _vesk.Interaction("fixed", (2, 0, 0), 0, "y")
    y._set_source(0, 1)
    y.state.auto_adapt = False
    y.state.feature_min, y.state.feature_max = -1.0, 1.0
    g = _vesk.Graph(3)
    g[0], g[1], g[2] = c, p, y
    pred = g._query({"c": column, "p": np.array(["unused"])}, expected)

    np.testing.assert_array_equal(pred, direct_pred)
    assert dict(c.state.categories) == dict(direct.state.categories)
    assert p.state.categories == []


# -- refusals --------------------------------------------------------------------

def test_cat_register_cannot_be_the_output():
    alone = _vesk.Graph(1)
    alone[0] = make_cat("c")
    with pytest.raises(RuntimeError, match=r"^Graph not correctly initalized\. Output 'c' misses needed entrypoints$"):
        alone._query({"c": np.array(["a"])})

    x = _vesk.Interaction("fixed", (0, 0, 0), 0, "x")
    x._set_source(0, -1)
    last = _vesk.Interaction("cat", (1, 0, 0), 0, "last")
    last._set_source(0, 0)
    g = _vesk.Graph(2)
    g[0], g[1] = x, last
    with pytest.raises(RuntimeError, match=r"Output 'last' misses needed entrypoints"):
        g._query({"x": np.array([1.0])})


@pytest.mark.parametrize("value", ["mean_squared_error", b"mean_absolute_error", None])
def test_loss_cannot_be_set(value):
    c = make_cat()
    with pytest.raises(ValueError, match=r"^Loss function can't be set on legacy registers$"):
        c._loss = value
    assert c._loss is None


@pytest.mark.parametrize("value", [("a", 1.0), (("a", 1.0),), {"a": 1.0}, "ab"])
def test_categories_must_be_a_list(value):
    c = make_cat()
    c.state.categories = [("old", 0.5)]
    with pytest.raises(ValueError, match=r"^Categorical registers expects list states$"):
        c.state.categories = value
    assert c.state.categories == [("old", 0.5)]


class Raises:
    """A pair, key or weight whose length, hash or float conversion raises."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, i):
        return ("b", 1.0)[i]

    def __len__(self):
        raise self.error

    __hash__ = __float__ = __len__


@pytest.mark.parametrize(
    "bad, error, message",
    [
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
    c = make_cat()
    c.state.categories = [("old", 0.5)]
    with pytest.raises(error, match=message):
        c.state.categories = [("a", 0.25), bad, ("z", 0.75)]
    assert c.state.categories == [("a", 0.25)]


def test_from_dict_reports_refused_items_as_internal_error():
    c = make_cat()
    with pytest.raises(RuntimeError, match=r"^Interaction 'cat' internal error setting attribute$"):
        c.state._from_dict({"categories": [("a", 1.0), ([2], 1.0)]})
    assert c.state.categories == [("a", 1.0)]


def test_pairs_may_be_lists_and_later_equal_hash_wins_weight():
    c = make_cat()
    c.state.categories = [(1, 0.5), [True, 0.25], ["x", 1]]
    got = dict(c.state.categories)
    assert got == {1: 0.25, "x": 1.0}
    assert [type(k) for k in keys_of(c) if k != "x"] == [int]


def test_only_categories_is_an_attribute():
    c = make_cat()
    with pytest.raises(AttributeError):
        c.state.weights
    with pytest.raises(AttributeError):
        c.state.weights = []
    assert c.state.__dict__ == {"categories": []}


@pytest.mark.parametrize(
    "bad",
    [[1, 2], {"k": 1}, np.zeros(1, dtype="V4")[0]],
    ids=["list", "dict", "void"],
)
def test_unhashable_element_refuses_the_query_and_changes_nothing(bad):
    c = make_cat()
    g = make_graph(c)
    c.state.categories = [("a", 0.5)]
    fresh = Key(12345)
    base = sys.getrefcount(fresh)
    with pytest.raises(TypeError, match="unhashable"):
        g._query({"c": objects(["a", fresh, bad, "b"])}, np.array([1.0, 1.0, 1.0, 1.0]))
    assert c.state.categories == [("a", 0.5)]
    assert sys.getrefcount(fresh) == base
    # The refused column left no resolved input behind: the next query runs.
    pred = g._query({"c": np.array(["a", "q"])})
    np.testing.assert_array_equal(pred, [scale_out(F32(0.5)), scale_out(F32(0.0))])


# -- serialised form ---------------------------------------------------------------

def test_state_dict_round_trip():
    rng = np.random.default_rng(2)
    column = rng.choice(np.array(["a", "b", "c", "d", "e"]), 80)
    expected = rng.uniform(-1, 1, 80)
    c = make_cat()
    g = make_graph(c)
    g._query({"c": objects([5, 3, 260])})
    g._query({"c": column}, expected)
    saved = c.state._to_dict()
    assert list(saved) == ["categories"]

    twin = make_cat()
    twin.state._from_dict(saved)
    assert dict(twin.state.categories) == dict(saved["categories"])
    probe = np.array(["a", "e", "b"])
    np.testing.assert_array_equal(make_graph(twin)._query({"c": probe}), g._query({"c": probe}))

    c.state._from_dict(c.state._to_dict())
    assert dict(c.state.categories) == dict(saved["categories"])


# -- reference counts of keys ---------------------------------------------------------

@pytest.mark.parametrize("release", ["clear", "replace", "destroy"])
def test_each_entry_owns_one_reference_to_its_first_key(release):
    k1, k2, other = Key(1), Key(1 + 257), Key(99)

    def refs():
        return [sys.getrefcount(k) for k in (k1, k2, other)]

    base = refs()

    def counts():
        return [r - b for r, b in zip(refs(), base)]

    c = make_cat()
    g = make_graph(c)
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
