"""The data of a run, made ready and checked once in the client, before any
work is sent: X, the columns by register name, and Y, the expected values
(None for predictions).

The checks refuse only what the graphs' own queries would refuse, but up
front and with the names and lengths that show what is wrong, where a
worker's refusal would come back once per graph. They never convert or
copy a column: what is passed on is what was given, so the graphs train to
the same bits.
"""
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import _vesk

# The types of register, which read a column of X.
REGISTERS = ("fixed", "cat")
# Names of X that a message lists at most.
SHOWN_NAMES = 20
# Values of a column of strings or objects tried as float32 at a time: the
# try holds at most this many converted values.
CAST_PIECE = 2**16


def _names(names: Sequence[Any]) -> str:
    shown = sorted(map(repr, names))
    more = len(shown) - SHOWN_NAMES
    return ", ".join(shown[:SHOWN_NAMES]) + (" and %d more" % more if more > 0 else "")


def _reads(graph: _vesk.Graph) -> Tuple[Tuple[str, bool], ...]:
    """The name of each of the graph's input registers (the registers whose
    first source is -1) and whether it is numeric; none for a graph that its
    query refuses whatever the data (an empty slot), which the run reports
    as that graph's failure.

    A register reports no sources also when none was ever set, and an
    interaction of another type can have -1 for its first source; the query
    refuses either graph whatever the data, so counting the first as an
    input and not the second refuses nothing the query would take."""
    reads = []
    for x in graph:
        if x is None:
            return ()
        sources = x.sources
        if not sources or sources[0] == -1:
            kind = x.type
            if kind in REGISTERS:
                reads.append((x.name, kind == "fixed"))
    return tuple(reads)


def _float32_refusal(column: "npt.NDArray[Any]") -> Optional[str]:
    """Why numpy cannot cast the column to float32, as the query casts a
    numeric register's column; None when it can. Numbers always can; for
    other kinds (strings, objects) it depends on the values, which are
    tried a piece at a time."""
    if column.dtype.kind in "biufc":
        return None
    base = column.view(np.ndarray)  # the query casts the base-class array
    try:
        for start in range(0, len(base), CAST_PIECE):
            base[start:start + CAST_PIECE].astype(np.float32)
    except (TypeError, ValueError, OverflowError) as e:
        return "%s: %s" % (type(e).__name__, e)
    return None


def _check_column(what: str, column: Any) -> None:
    if not isinstance(column, np.ndarray):
        kind = type(column)
        raise TypeError("%s is a %s, not a 1-d numpy array" % (
            what, kind.__qualname__ if kind.__module__ == "builtins" else kind.__module__ + "." + kind.__qualname__))
    if column.ndim != 1:
        raise ValueError("%s has shape %s, not one dimension: a 1-d numpy array is needed" % (what, column.shape))


def _from_pandas(value: Any, *kinds: str) -> bool:
    """Whether value is one of pandas' kinds, told without importing pandas
    (which stays optional: it is only ever given)."""
    return any(c.__module__.split(".")[0] == "pandas" and c.__name__ in kinds for c in type(value).__mro__)


def _as_column(value: Any, categorical: bool) -> Any:
    """A column as the query takes it: a numpy array as given; a pandas
    Series, Index or array as its to_numpy() (categorical and string dtypes
    give their values); a list or tuple as an object array for a
    categorical register, so that each value keeps its type (['a', 1] keeps
    its int, [1, 1.0, True] all three), or as numpy reads it otherwise.
    Anything else is left for the checks to refuse."""
    if isinstance(value, np.ndarray):
        return value
    if _from_pandas(value, "Series", "Index", "ExtensionArray"):
        return value.to_numpy()
    if isinstance(value, (list, tuple)):
        if not categorical:
            return np.asarray(value)
        column = np.empty(len(value), dtype=object)
        for i, v in enumerate(value):  # item by item: a tuple value stays one value
            column[i] = v
        return column
    return value


def population(graphs: Any) -> Tuple[List[Any], bool]:
    """The graphs of a call as a list, and whether one graph was given where
    a population is expected (its one result is then given back alone)."""
    if isinstance(graphs, _vesk.Graph):
        return [graphs], True
    return list(graphs), False


def prepare(graphs: Sequence[Any], X: Any, Y: Any) -> Tuple[Dict[Any, Any], Any]:
    """X and Y as the graphs' queries take them, checked against every
    graph's input registers: each register's name is in X, its column is a
    1-d numpy array, the columns a graph reads have one length, a numeric
    ("fixed") register's column casts to float32, and Y (unless None) is a
    1-d numpy array of values that cast to float32, no fewer than the rows
    of X. TypeError or ValueError otherwise; an item that is not a graph is
    left to the run, which refuses it.

    X may be a dict of numpy arrays, pandas Series or lists, or a pandas
    DataFrame, its columns by register name (columns no graph reads are
    left out); Y an array, a Series or a list. Each column is converted
    once, here, as _as_column says; a dict of numpy arrays is passed on as
    it is."""
    frame = _from_pandas(X, "DataFrame")
    if not frame and not isinstance(X, Mapping):
        raise TypeError("X must be a dict of columns by register name (numpy arrays, pandas Series or lists) or a "
                        "pandas DataFrame, not a %s" % type(X).__qualname__)
    if Y is not None:
        Y = _as_column(Y, False)
    # What each graph reads, once for graphs that read alike: the first
    # graph that reads it.
    readings: Dict[Tuple[Tuple[str, bool], ...], int] = {}
    for n, g in enumerate(graphs):
        if isinstance(g, _vesk.Graph):
            readings.setdefault(_reads(g), n)
    readings.pop((), None)
    readers: Dict[str, int] = {}  # register name -> the first graph that reads it
    numeric: Dict[str, int] = {}  # name -> the first graph with a numeric register of the name
    for reads, n in sorted(readings.items(), key=lambda item: item[1]):
        for name, is_numeric in reads:
            readers.setdefault(name, n)
            if is_numeric:
                numeric.setdefault(name, n)
    names = list(X.columns) if frame else list(X)
    missing = sorted(name for name in readers if name not in names)
    if missing:
        raise ValueError("X has no column for %s %s (graph %d reads %r); the names in X are %s"
                         % ("register" if len(missing) == 1 else "registers", _names(missing), readers[missing[0]],
                            missing[0], _names(names) if names else "none (X is empty)"))
    if frame or type(X) is not dict or not all(isinstance(X[name], np.ndarray) for name in readers):
        categorical = {name for reads in readings for name, is_numeric in reads if not is_numeric}
        X = {name: _as_column(X[name], name in categorical) for name in readers}
    for name in readers:
        _check_column("X[%r]" % name, X[name])
    for name, n in numeric.items():
        refusal = _float32_refusal(X[name])
        if refusal is not None:
            raise TypeError("X[%r] (%s) does not cast to float32, as the numeric register %r of graph %d needs (a "
                            "column of categories goes to a \"cat\" register): %s"
                            % (name, X[name].dtype, name, n, refusal))
    rows = 0
    for reads, n in readings.items():
        first = reads[0][0]
        for name, _ in reads[1:]:
            if len(X[name]) != len(X[first]):
                raise ValueError("the columns graph %d reads differ in length: X[%r] has %d rows, X[%r] %d"
                                 % (n, first, len(X[first]), name, len(X[name])))
        rows = max(rows, len(X[first]))
    if Y is not None and readings:
        _check_column("Y", Y)
        refusal = _float32_refusal(Y)
        if refusal is not None:
            raise TypeError("Y (%s) does not cast to float32: %s" % (Y.dtype, refusal))
        if len(Y) < rows:
            raise ValueError("Y holds %d values, fewer than the %d rows of X" % (len(Y), rows))
    return X, Y
