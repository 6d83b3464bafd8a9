"""Loss derivatives, observed exactly through a categorical register in front
of the output: its weight moves by 0.002 times the derivative it receives."""
import numpy as np
import pytest

import reference_math as ref
from builders import register
from graph_pairs import Pair, same_bits

CASES = [(0.5, 0.5), (1.0, 0.0), (0.0, 1.0), (0.2, -0.8), (-1.0, 0.2), (1.0, 0.2), (0.0, 0.2),
         (0.25, 1.0), (-1.0, -1.0), (0.7, 0.3)]


def trained(loss, prediction, expected, lo=-1.0, hi=1.0):
    """A category of the given weight, trained on one sample, and its twin."""
    pair = Pair([("cat", "c"), ("fixed", (0,), (lo, hi))], {0: {"categories": [("k", prediction)]}}, loss)
    got, want = pair.query({"c": np.array(["k"])}, np.array([expected], dtype=np.float32))
    assert same_bits(got, want) and pair.mismatches() == []
    return pair.nodes[0].state.categories[0][1]


@pytest.mark.parametrize("loss", sorted(ref.LOSSES) + [None] + [name.encode() for name in ref.LOSSES])
@pytest.mark.parametrize("prediction, expected", CASES)
def test_derivative_matches_twin(loss, prediction, expected):
    trained(loss, prediction, expected)  # None: the default, squared error


def test_derivative_values():
    # The direction and size of each derivative at a few points, in units
    # of the categorical step 0.002.
    def step(name, p, e, *r):
        return round((p - trained(name, p, e, *r)) / float(ref.CATEGORY_RATE), 4)

    assert step("mean_absolute_error", 0.5, 0.5) == -1.0       # a tie counts as y_true >= y_pred
    assert step("mean_absolute_error", 0.9, 0.0) == 1.0
    assert step("mean_squared_error", 0.25, 1.0) == -1.5
    assert step("categorical_cross_entropy", 0.2, -1.0) == 1.2
    assert step("categorical_cross_entropy", 0.2, 0.0) == -0.8  # only exactly -1 is negative
    # With a 0/1 range, class labels 0 and 1 reach the loss as exactly -1 and +1.
    assert step("categorical_cross_entropy", 0.2, 0.0, 0.0, 1.0) == 1.2
    assert step("mean_squared_error", 0.25, 1.0, 0.0, 1.0) == -1.5


@pytest.mark.parametrize("name", ["Mean_squared_error", "mean_squared_error ", "", "mse", 3, None, 1.5,
                                  "mean_squared_error\0x", b"mean_squared_error\0x"])
def test_unknown_names_keep_the_loss_in_force(name):
    y = register("y", (1, 0, 0), source=0)
    y._loss = "mean_absolute_error"
    with pytest.raises(ValueError, match=r"^Invalid loss function provided$"):
        y._loss = name
    assert y._loss == "mean_absolute_error"
