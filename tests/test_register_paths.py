"""The numeric register converts and reduces common column types itself;
every other column goes through numpy's general cast and reductions. Both
must give the same range, the same outputs and the same errors for every
column numpy accepts."""
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from builders import passthrough_graph

DTYPES = ["f4", "f8", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8"]


def general_forms(column):
    """The same values in layouts the fast path leaves to numpy: swapped
    byte order, unaligned storage, and an object array."""
    swapped = column.astype(column.dtype.newbyteorder("S"))
    raw = bytearray(column.nbytes + 1)
    unaligned = np.frombuffer(raw, dtype=column.dtype, offset=1, count=len(column))
    unaligned[:] = column
    forms = [swapped]
    if column.dtype.itemsize > 1 and len(column):
        assert not unaligned.flags.aligned
        forms.append(unaligned)
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


def reference_range(column):
    """The range over the values finite as float32, each bound taken in the
    column's dtype and rounded to float32; of two zeros the maximum is +0
    and the minimum -0. NaN bounds (left unchanged) without such a value."""
    with np.errstate(all="ignore"):
        values = column[np.isfinite(column.astype(np.float32))]
    if not len(values):
        return (struct.pack("<d", float("nan")),) * 2
    mx, mn = values.max(), values.min()
    if values.dtype.kind == "f":
        signs = np.signbit(values[values == 0])
        mx = abs(mx) if mx == 0 and not signs.all() else mx
        mn = -abs(mn) if mn == 0 and signs.any() else mn
    return tuple(struct.pack("<d", float(np.float32(float(v)))) for v in (mn, mx))


def elements(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return st.floats(width=dtype.itemsize * 8, allow_nan=True, allow_infinity=True) | st.sampled_from(
            [0.0, -0.0, 1.0, -1.0])
    info = np.iinfo(dtype)
    return st.integers(info.min, info.max) | st.sampled_from([info.min, info.max, 0, 2 ** 24 + 1 if info.max > 2 ** 25 else 1])


@st.composite
def columns(draw):
    dtype = draw(st.sampled_from(DTYPES))
    column = draw(hnp.arrays(dtype, st.integers(0, 40), elements=elements(dtype)))
    if draw(st.booleans()) and len(column) > 2:
        column = column[:: draw(st.integers(2, 3))]
    return column


def check_against_numpy(column):
    """Every layout of the column gets the same range, outputs and errors."""
    results = []
    for form in [column] + general_forms(column):
        bits, out, error = outcome(form)
        if len(form):
            assert bits == reference_range(form)
        results.append((bits, out, error))
    assert all(r == results[0] for r in results)


@settings(max_examples=300, deadline=None)
@given(columns())
def test_fast_and_general_paths_agree(column):
    check_against_numpy(column)


@pytest.mark.parametrize("values", [[0.0, -0.0], [-0.0, 0.0, 3.0], [-0.0, 2.0], [0.0, -5.0], [-0.0, -0.0],
                                    [0.0] * 9 + [-0.0] + [0.0] * 7, [-0.0] * 20 + [0.0],
                                    [1.0, np.nan, 2.0], [np.nan], [np.inf, 1.0], [2.0 ** 24 + 1, 1.0]])
@pytest.mark.parametrize("dtype", ["f4", "f8"])
def test_signed_zeros_nan_and_wide_values(values, dtype):
    check_against_numpy(np.array(values, dtype=dtype))


@pytest.mark.parametrize("dtype", ["i8", "u8"])
def test_integers_wider_than_a_float_mantissa(dtype):
    info = np.iinfo(dtype)
    column = np.array([info.max, info.max - 1, 2 ** 53 + 1, info.min + 1, 0], dtype=dtype)
    check_against_numpy(column)
    assert np.frombuffer(outcome(column)[1], dtype=np.float32).size == 5


@pytest.mark.parametrize("values", [[1e300, 1.0], [1e-300, -1e-41], [5e-324, 1.0], [3.5e38, -3.5e38]])
@pytest.mark.parametrize("errors", ["ignore", "warn", "raise"])
def test_narrowing_doubles_reports_like_numpy(values, errors):
    # Doubles beyond float range or too small for it raise the same warning
    # or error, under every error state, as numpy's own cast does.
    column = np.array(values)
    import warnings
    results = []
    for form in [column] + general_forms(column):
        with warnings.catch_warnings(record=True) as caught, np.errstate(all=errors):
            warnings.simplefilter("always")
            results.append((outcome(form), [(w.category, str(w.message)) for w in caught]))
    assert all(r == results[0] for r in results)


@pytest.mark.parametrize("dtype", DTYPES + ["?", "f2"])
def test_empty_columns_get_numpys_error(dtype):
    column = np.zeros(0, dtype=dtype)
    bits, out, error = outcome(column)
    assert out is None and error[0] is ValueError and "zero-size array" in error[1]


def categorical_outcome(column, y):
    """Categories (keys, their types, order, weights) and predictions of a
    categorical register trained on a column."""
    import _vesk

    c = _vesk.Interaction("cat", (0, 0, 0), 0, "c")
    c._set_source(0, -1)
    out = _vesk.Interaction("fixed", (1, 0, 0), 0, "y")
    out._set_source(0, 0)
    g = _vesk.Graph(2)
    g[0], g[1] = c, out
    c.state.categories = [(4, 0.25), (-1, -0.5)]  # known before the column arrives
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


def test_integer_hashes_that_merge_categories():
    # Values whose Python hashes coincide are one category, kept under the
    # first key; the modulus of int hashing and -1 -> -2 decide which.
    column = np.array([-1, -2, 2 ** 61 - 1, 0, 2 ** 61, 1, -(2 ** 61), 2 ** 63 - 1, 3, -(2 ** 63)], dtype=np.int64)
    y = np.zeros(len(column))
    keys = [k for _, k, _ in categorical_outcome(column, y)[0]]
    assert keys == [k for _, k, _ in categorical_outcome(column.astype(object), y)[0]]
    assert -2 not in keys and 0 not in keys and 1 not in keys and 3 not in keys


def test_long_columns_give_the_same_results():
    # Columns of 4096 values or more are converted, reduced, scaled and
    # resolved with the interpreter lock released; the results stay those
    # of the general paths.
    rng = np.random.default_rng(5)
    n = 20000
    numbers = rng.normal(0, 50, n)
    check_against_numpy(numbers)
    check_against_numpy(numbers.astype(np.float32))
    codes = rng.integers(-300, 300, n)  # hundreds of new categories among known ones
    y = np.sin(np.arange(n) / 7.0)
    assert categorical_outcome(codes, y) == categorical_outcome(codes.astype(object), y)
