"""The loss of each graph of a population on data, from a prediction pass.

The losses are computed here, in float64, from the float32 predictions
that vesk.predict returns, so they do not depend on where the graphs ran.
"""
import math
from typing import Any, Iterable, List, Optional, Tuple, overload

import numpy as np
import numpy.typing as npt

import _vesk

from . import _api, _data
from ._errors import TrainingError

# Where a probability of exactly 0 or 1 would make a logarithm infinite, it
# is taken as this far from 0 or 1 (float32's resolution near 1 is 6e-8).
PROBABILITY_CLIP = 1e-7

LOSSES = ("mean_squared_error", "mean_absolute_error", "categorical_cross_entropy")


def _output(graph: _vesk.Graph) -> _vesk.Interaction:
    node = graph[len(graph) - 1]
    if node is None:  # a graph that predicted has its output register there
        raise ValueError("the graph has no output register")
    return node


def _loss_name(graph: _vesk.Graph) -> str:
    loss = _output(graph)._loss
    if loss is None:
        return str(_vesk.DEFAULT_LOSS)
    return loss.decode() if isinstance(loss, bytes) else str(loss)


def _output_range(graph: _vesk.Graph) -> Tuple[float, float]:
    """The output register's range as a prediction pass leaves it: a bound
    not yet known takes its default, whatever auto_adapt holds (no
    expected values reach the register there)."""
    state = _output(graph).state
    lo, hi = float(state.feature_min), float(state.feature_max)
    return (-1.0 if math.isnan(lo) else lo), (1.0 if math.isnan(hi) else hi)


def _labels(y: npt.NDArray[np.float64], lo: float, hi: float) -> npt.NDArray[np.float64]:
    """0 where the expected value reaches the loss as exactly -1, else 1:
    the rule of the module's derivative, on the value scaled in float32 as
    training scales it (a value at the bottom of the range, or below it)."""
    f = np.float32
    v = y.astype(f)
    lo32, hi32 = f(lo), f(hi)
    with np.errstate(all="ignore"):
        scaled = (f(2) * (v - lo32)) / (hi32 - lo32) - f(1)
    scaled = np.where((v == lo32) & (lo32 == hi32), f(0), np.clip(scaled, f(-1), f(1)))
    labels: npt.NDArray[np.float64] = np.where(scaled == f(-1), 0.0, 1.0)
    return labels


def loss_of(name: str, predictions: npt.NDArray[Any], y: npt.NDArray[np.float64],
            output_range: Tuple[float, float]) -> float:
    """One graph's loss: predictions (float32) against y (float64)."""
    p = predictions.astype(np.float64)
    if name == "mean_squared_error":
        return float(np.mean((p - y) ** 2))
    if name == "mean_absolute_error":
        return float(np.mean(np.abs(p - y)))
    if name != "categorical_cross_entropy":
        raise ValueError("unknown loss %r" % (name,))
    lo, hi = output_range
    if not np.all(np.isfinite(y)):
        return math.nan
    label = _labels(y, lo, hi)
    # The prediction mapped back into [0, 1]: (1 + p) / 2 for the scaled p.
    q = (p - lo) / (hi - lo) if hi != lo else np.full(len(p), 0.5)
    q = np.clip(q, PROBABILITY_CLIP, 1.0 - PROBABILITY_CLIP)
    return float(-np.mean(label * np.log(q) + (1.0 - label) * np.log1p(-q)))


@overload
def evaluate(graphs: _vesk.Graph, X: Any, Y: Any, *, executor: Any = ..., errors: str = ...,
             progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
             task_timeout: Optional[float] = ...) -> float: ...
@overload
def evaluate(graphs: Iterable[_vesk.Graph], X: Any, Y: Any, *, executor: Any = ..., errors: str = ...,
             progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
             task_timeout: Optional[float] = ...) -> npt.NDArray[np.float64]: ...


def evaluate(graphs: Any, X: Any, Y: Any, *, executor: Any = None,
             errors: str = "raise", progress: Optional[bool] = None, retries: int = 2,
             worker_timeout: float = 60.0, task_timeout: Optional[float] = None) -> Any:
    """The loss of each graph on (X, Y), a float64 array in input order, by
    the loss of its output register (``_loss``; None is the default, mean
    squared error). Predictions come from vesk.predict, on copies, so the
    graphs given never change (a prediction pass can widen a range or file
    a category); the losses are computed here in float64, in units of Y,
    with p the prediction and y the expected value of a sample:

    - "mean_squared_error": the mean of (p - y)^2.
    - "mean_absolute_error": the mean of |p - y|.
    - "categorical_cross_entropy": the mean binary cross-entropy
      -(c log q + (1 - c) log(1 - q)). The module's derivative, p' - t in
      the output register's scaled domain (p' the scaled prediction in
      [-1, 1], t = -1 where the scaled expected value is exactly -1 and +1
      everywhere else), is 2 (q - c) with q = (1 + p') / 2 and c = (1 + t) / 2:
      the gradient of this cross-entropy with respect to the logit of q,
      doubled. So c is 0 where y lies at (or below) the bottom of the output
      register's range and 1 everywhere else (for 0/1 labels with the range
      [0, 1]: the label itself), and q is (p - min) / (max - min) over that
      range (the prediction itself for the range [0, 1]; 1/2 for a range of
      width zero). q is clipped to [1e-7, 1 - 1e-7] where a logarithm would
      be infinite, so a sure wrong answer costs about 16.1.

    A NaN in Y gives the loss NaN for every graph (an infinity: an infinite
    squared or absolute error, and NaN for the cross-entropy); Y must hold
    one value per sample.

    The options are those of vesk.predict. errors: "raise" raises
    TrainingError whose results hold the loss of every graph that finished
    (None for a failed one), "skip" puts NaN in a failed graph's place;
    "return" is refused, as a float64 array cannot hold an exception.
    """
    if errors == "return":
        raise ValueError('errors="return" cannot put an exception in a float64 array: use "raise" (the '
                         'TrainingError holds each failure) or "skip" (NaN for a failed graph)')
    graphs, single = _data.population(graphs)
    X, Y = _data.prepare(graphs, X, Y)
    y = np.asarray(Y, dtype=np.float64)
    rows = len(next(iter(X.values()))) if isinstance(X, dict) and X else None
    if y.ndim != 1 or (rows is not None and len(y) != rows):
        raise ValueError("Y must be one-dimensional with one value per sample of X (%s), not of shape %s"
                         % (rows, y.shape))
    if rows == 0:
        raise ValueError("X has no samples: a mean loss over none is undefined")

    def losses(predictions: List[Any]) -> List[Optional[float]]:
        return [None if not isinstance(p, np.ndarray) else loss_of(_loss_name(g), p, y, _output_range(g))
                for g, p in zip(graphs, predictions)]

    try:
        predicted = _api.predict(graphs, X, executor=executor, errors=errors, progress=progress,
                                    retries=retries, worker_timeout=worker_timeout, task_timeout=task_timeout)
    except TrainingError as e:
        # The same class (NoWorkerError too), with losses in place of predictions.
        raise type(e)(str(e), losses(e.results), e.errors) from e.__cause__
    scores = np.array([math.nan if v is None else v for v in losses(predicted)], dtype=np.float64)
    return float(scores[0]) if single else scores
