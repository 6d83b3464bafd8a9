"""Columns of every dtype and layout. The numeric register reads numeric
columns in place, a chunk at a time, and leaves every other column to
numpy's cast: every layout must give the range, the outputs and the errors
that numpy's cast to float32 and the twin's scaling give. The categorical
register hashes integer columns without making objects: the categories must
be those of the same values as Python ints."""
import re
import struct
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from builders import passthrough_graph, unaligned
from conftest import module_sources
from graph_pairs import build
from reference_math import F, finite_range, scale_in, scale_out

DTYPES = ["?", "f2", "f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"]


def other_forms(column):
    """The same values in the other byte order, unaligned, strided, and
    reversed (a negative stride)."""
    forms = [column.astype(column.dtype.newbyteorder("S")), np.repeat(column, 3)[1::3], column[::-1]]
    if column.dtype.itemsize > 1 and len(column):
        forms.append(unaligned(column))
        assert not forms[-1].flags.aligned
    return forms


def outcome(column):
    """What one auto-adapting register makes of a column: its range (as
    bits, so signed zeros and NaN payloads count), its outputs, its error."""
    g = passthrough_graph(auto_adapt=False, feature_min=-1.0, feature_max=1.0)
    x = g[0]
    x.state.feature_min = x.state.feature_max = float("nan")
    try:
        out = g._query({"x": column}).tobytes()
        error = None
    except Exception as e:  # the error itself is part of the outcome
        out, error = None, (type(e), str(e))
    bits = tuple(struct.pack("<d", getattr(x.state, k)) for k in ("feature_min", "feature_max"))
    return bits, out, error


def reference_outcome(column):
    """The same from numpy's cast and the twin's scaling."""
    found = finite_range(column) or (F("nan"), F("nan"))
    bits = tuple(struct.pack("<d", float(v)) for v in found)
    with np.errstate(all="ignore"):
        values = column.astype(np.float32)
    bad = np.flatnonzero(~np.isfinite(values))
    if len(bad):
        return bits, None, (RuntimeError, "Nan found in input array in register 'x'")
    out = np.array([scale_out(scale_in(v, *found), -1.0, 1.0) for v in values], np.float32)
    return bits, out.tobytes(), None


def elements(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind == "b":
        return st.booleans()
    if dtype.kind == "f":
        return st.floats(width=dtype.itemsize * 8, allow_nan=True, allow_infinity=True) | st.sampled_from(
            [0.0, -0.0, 1.0, -1.0])
    info = np.iinfo(dtype)
    edges = [info.min, info.max, 0, 2 ** 24 + 1 if info.max > 2 ** 25 else 1]
    return st.integers(info.min, info.max) | st.sampled_from(edges)


@st.composite
def columns(draw):
    dtype = draw(st.sampled_from(DTYPES))
    column = draw(hnp.arrays(dtype, st.integers(0, 40), elements=elements(dtype)))
    if draw(st.booleans()) and len(column) > 2:
        column = column[:: draw(st.integers(2, 3))]
    return column


def check_against_numpy(column):
    for form in [column] + other_forms(column):
        if len(form):
            assert outcome(form) == reference_outcome(form)


# numpy warns of values that overflow float32 in its cast; an error in its
# place would turn the column into one numpy cannot cast.
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@settings(max_examples=300, deadline=None)
@given(columns())
def test_fast_and_general_paths_agree(column):
    check_against_numpy(column)


@pytest.mark.parametrize("values, dtype", [(values, dtype) for dtype in ("f4", "f8") for values in [
    [0.0, -0.0], [-0.0, 0.0, 3.0], [-0.0, 2.0], [0.0, -5.0], [-0.0, -0.0], [0.0] * 9 + [-0.0] + [0.0] * 7,
    [-0.0] * 20 + [0.0], [1.0, np.nan, 2.0], [np.nan], [np.inf, 1.0], [2.0 ** 24 + 1, 1.0]]] + [
    # Integers wider than a float's mantissa.
    ([np.iinfo(d).max, np.iinfo(d).max - 1, 2 ** 53 + 1, np.iinfo(d).min + 1, 0], d) for d in ("i8", "u8")])
def test_signed_zeros_nan_and_wide_values(values, dtype):
    column = np.array(values, dtype=dtype)
    check_against_numpy(column)
    assert (outcome(column)[1] is None) == (not np.isfinite(column.astype(np.float32)).all())


@pytest.mark.parametrize("order", ["<", ">"])
def test_every_float16_reads_as_numpy_casts_it(order):
    # Each binade through a fixed range that fits it, so that every bit
    # of every value counts.
    every = np.arange(0x7c00, dtype=np.uint16).view(np.float16)  # +0 up to the largest finite value
    for sign in (1, -1):
        for binade in range(31):
            group = (sign * every[binade << 10:(binade + 1) << 10]).astype(order + "f2")
            hi = float(np.abs(group.astype(np.float32)).max())
            g = passthrough_graph(auto_adapt=False, feature_min=-1.0, feature_max=1.0)
            g[0].state.auto_adapt = False
            g[0].state.feature_min, g[0].state.feature_max = -hi, hi
            want = [scale_out(scale_in(v, -hi, hi), -1.0, 1.0) for v in group.astype(np.float32)]
            assert g._query({"x": group}).tobytes() == np.array(want, np.float32).tobytes()


def reports(call, errors):
    """Whether a call raised FloatingPointError, and the warnings it gave."""
    import warnings
    with warnings.catch_warnings(record=True) as caught, np.errstate(all=errors):
        warnings.simplefilter("always")
        try:
            result = call()
        except FloatingPointError:
            result = "raised"
    return result, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("values", [[1e300, 1.0], [1e-300, -1e-41], [5e-324, 1.0], [3.5e38, -3.5e38], [0.5, 2.0]])
@pytest.mark.parametrize("errors", ["ignore", "warn", "raise"])
def test_narrowing_doubles_reports_like_numpy(values, errors):
    # Doubles beyond float range or too small for it raise the same warning
    # or error, under every error state, as numpy's own cast does.
    column = np.array(values)
    cast, cast_warnings = reports(lambda: column.astype(np.float32), errors)
    refusal = (ValueError, "input x could not be cast to type of register (float32)")
    for form in [column] + other_forms(column):
        (bits, out, error), warned = reports(lambda: outcome(form), errors)
        assert warned == cast_warnings and (error == refusal) == isinstance(cast, str)


@pytest.mark.parametrize("dtype", DTYPES)
def test_empty_columns_get_numpys_error_unless_the_range_is_fixed(dtype):
    column = np.zeros(0, dtype=dtype)
    bits, out, error = outcome(column)
    assert out is None and error[0] is ValueError and "zero-size array" in error[1]
    g = passthrough_graph()
    g[0].state.auto_adapt = False
    out = g._query({"x": column})
    assert out.shape == (0,) and out.dtype == np.float32


def categorical_outcome(column, y, known=((4, 0.25), (-1, -0.5))):
    """Categories (keys, their types, order, weights) and predictions of a
    categorical register trained on a column."""
    g = build([("cat", "c"), ("fixed", (0,))])
    c = g[0]
    c.state.categories = list(known)  # known before the column arrives
    predictions = g._query({"c": column}, y).tobytes()
    return [(type(k), k, struct.pack("<d", w)) for k, w in c.state.categories], predictions


INT_DTYPES = ["i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"]


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(INT_DTYPES).flatmap(
    lambda dt: hnp.arrays(dt, st.integers(1, 30), elements=elements(dt))))
def test_integer_categories_match_their_objects(column):
    # Integer columns are hashed without making objects for known
    # categories; the same values as Python ints must give the same
    # categories, keys, order and training.
    y = np.linspace(-1.0, 1.0, len(column))
    expected = categorical_outcome(column.astype(object), y)
    assert categorical_outcome(column, y) == expected
    assert categorical_outcome(column.astype(column.dtype.newbyteorder("S")), y) == expected


@pytest.mark.parametrize("known", [[], [(4, 0.25), (-1, -0.5)], [(Decimal(2 ** 61), 0.5), (2.0 ** 63, 0.75)]])
def test_integer_values_whose_hashes_collide_are_categories_apart(known):
    # The modulus of int hashing and -1 -> -2 make these hashes collide; a
    # known key that only Python can compare (a Decimal) is compared there.
    column = np.array([-1, -2, 2 ** 61 - 1, 0, 2 ** 61, 1, -(2 ** 61), 2 ** 63 - 1, 3, -(2 ** 63)], dtype=np.int64)
    for values in (column, column.astype(np.uint64)):
        y = np.zeros(len(values))
        keys = [k for _, k, _ in categorical_outcome(values, y, known)[0]]
        assert keys == [k for _, k, _ in categorical_outcome(values.astype(object), y, known)[0]]
        assert sorted(keys) == sorted(set(values.tolist()) | {k for k, _ in known})


def test_long_columns_give_the_same_results():
    # Columns of 4096 values or more are surveyed and resolved with the
    # interpreter lock released; the results stay those of numpy's cast.
    rng = np.random.default_rng(5)
    n = 20000
    numbers = rng.normal(0, 50, n)
    check_against_numpy(numbers)
    check_against_numpy(numbers.astype(np.float32))
    codes = rng.integers(-300, 300, n)  # hundreds of new categories among known ones
    y = np.sin(np.arange(n) / 7.0)
    assert categorical_outcome(codes, y) == categorical_outcome(codes.astype(object), y)


FOUND_PER_LOOK = 1 << int(re.search(r"found_per_look = npy_intp\{1\} << (\d+);", module_sources()).group(1))


@pytest.mark.parametrize("n", [FOUND_PER_LOOK - 1, FOUND_PER_LOOK, FOUND_PER_LOOK + 1, 3 * FOUND_PER_LOOK + 5])
def test_int_columns_found_in_stretches_give_the_same_categories(n):
    # On the main thread an int column is searched in stretches, with a look
    # at signals between them.
    codes = np.random.default_rng(n).integers(-3000, 3000, n)
    y = np.zeros(n)
    assert categorical_outcome(codes, y) == categorical_outcome(codes.astype(object), y)
