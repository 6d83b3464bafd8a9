"""Loss derivatives, observed exactly through a categorical register in front
of the output: its weight moves by 0.002 times the derivative it receives."""
import numpy as np
import pytest

import _vesk
from builders import F, graph_of, register, scale_in
from conftest import registered

pytestmark = pytest.mark.skipif(not registered("cat"), reason="cat not registered")


def mae(y_true, y_pred):
    return F(-1) if y_true >= y_pred else F(1)


def mse(y_true, y_pred):
    d = y_pred - y_true
    return d + d


def cce(y_true, y_pred):
    return y_pred + F(1) if y_true == F(-1) else y_pred - F(1)


LOSSES = {"mean_absolute_error": mae, "mean_squared_error": mse, "categorical_cross_entropy": cce}


def probe(loss, prediction, expected, lo=-1.0, hi=1.0):
    """Weight of the single category after one training sample."""
    c = _vesk.Interaction("cat", (0, 0, 0), 0, "c")
    c._set_source(0, -1)
    c.state.categories = [("k", prediction)]
    y = register("y", (1, 0, 0), source=0, auto_adapt=False, feature_min=lo, feature_max=hi)
    if loss is not None:
        y._loss = loss
    g = graph_of(c, y)
    g._query({"c": np.array(["k"])}, np.array([expected], dtype=np.float32))
    return c.state.categories[0][1]


def twin(fn, prediction, expected, lo=-1.0, hi=1.0):
    y_true = scale_in(expected, lo, hi)[0]
    da = fn(y_true, F(prediction))
    w = float(prediction) - float(F(0.002) * da)
    return max(-1.0, min(1.0, w))


CASES = [(0.5, 0.5), (1.0, 0.0), (0.0, 1.0), (0.2, -0.8), (-1.0, 0.2), (1.0, 0.2), (0.0, 0.2),
         (0.25, 1.0), (-1.0, -1.0), (0.7, 0.3)]


@pytest.mark.parametrize("name", list(LOSSES))
@pytest.mark.parametrize("prediction, expected", CASES)
def test_derivative_matches_twin(name, prediction, expected):
    assert probe(name, prediction, expected) == twin(LOSSES[name], prediction, expected)


def test_default_is_squared_error():
    for prediction, expected in CASES:
        assert probe(None, prediction, expected) == twin(mse, prediction, expected)


def test_derivative_values():
    # The direction and size of each derivative at a few points, in units
    # of the categorical step 0.002.
    step = lambda name, p, e: round((p - probe(name, p, e)) / float(F(0.002)), 4)
    assert step("mean_absolute_error", 0.5, 0.5) == -1.0       # a tie counts as y_true >= y_pred
    assert step("mean_absolute_error", 0.9, 0.0) == 1.0
    assert step("mean_squared_error", 0.25, 1.0) == -1.5
    assert step("categorical_cross_entropy", 0.2, -1.0) == 1.2
    assert step("categorical_cross_entropy", 0.2, 0.0) == -0.8  # only exactly -1 is negative


def test_class_labels_reach_the_loss_as_minus_and_plus_one():
    # With a 0/1 range, label 0 scales to exactly -1 and label 1 to +1.
    assert probe("categorical_cross_entropy", 0.2, 0.0, 0.0, 1.0) == twin(cce, 0.2, 0.0, 0.0, 1.0)
    assert scale_in(0.0, 0.0, 1.0)[0] == -1 and scale_in(1.0, 0.0, 1.0)[0] == 1


@pytest.mark.parametrize("name", ["Mean_squared_error", "mean_squared_error ", "", "mse", 3, None, 1.5,
                                  "mean_squared_error\0x", b"mean_squared_error\0x"])
def test_unknown_names_keep_the_loss_in_force(name):
    y = register("y", (1, 0, 0), source=0)
    y._loss = "mean_absolute_error"
    with pytest.raises(ValueError, match=r"^Invalid loss function provided$"):
        y._loss = name
    assert y._loss == "mean_absolute_error"


def test_bytes_names_work_like_str():
    for name, fn in LOSSES.items():
        c = _vesk.Interaction("cat", (0, 0, 0), 0, "c")
        assert probe(name.encode(), 0.3, 1.0) == twin(fn, 0.3, 1.0)
        del c
