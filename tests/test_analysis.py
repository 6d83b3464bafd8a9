"""vesk.evaluate against a float64 twin of the losses over _query's
predictions, here and on a pool, the graphs unchanged; vesk.formula
against the module's predictions on random graphs of every type and the
README's graphs; vesk.draw's SVG parsed, escaped, and rendered by a real
browser."""
import copy
import math
import os
import pickle
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib

import numpy as np
import pytest

import _vesk
import reference_math as ref
import vesk
from graph_pairs import build, columns, every_type
from test_pickle import random_graph, special_graph

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def example_modules(names=("demo", "graphs", "penguins")):
    """The examples' modules, imported without leaving them under their
    plain names (the bench has a module "graphs" of its own)."""
    before = {name: sys.modules.pop(name) for name in names if name in sys.modules}
    sys.path.insert(0, os.path.join(ROOT, "examples"))
    try:
        return [__import__(name) for name in names]
    finally:
        sys.path.remove(os.path.join(ROOT, "examples"))
        for name in names:
            sys.modules.pop(name, None)
        sys.modules.update(before)


demo, example_graphs, penguins = example_modules()

LOSSES = ["mean_squared_error", "mean_absolute_error", "categorical_cross_entropy"]
SVG = "{http://www.w3.org/2000/svg}"
# A README graph: x and colour through tanh and linear (the walk-through's).
WALKTHROUGH = [("fixed", "x"), ("cat", "colour"), ("tanh", (0,)), ("linear", (2, 1)), ("fixed", (3,))]


def twin_loss(name, predictions, y, lo, hi):
    p = predictions.astype(np.float64)
    if name == "mean_squared_error":
        return np.mean((p - y) ** 2)
    if name == "mean_absolute_error":
        return np.mean(np.abs(p - y))
    c = np.array([0.0 if ref.scale_in(v, lo, hi) == -1 else 1.0 for v in y])
    q = np.clip((p - lo) / (hi - lo), 1e-7, 1 - 1e-7)
    return -np.mean(c * np.log(q) + (1 - c) * np.log(1 - q))


def scored_population(loss):
    X, y = columns(every_type(), 200, 4)
    if loss == "categorical_cross_entropy":
        y = np.random.RandomState(5).choice([0.0, 1.0, 0.5], len(y))  # 0.5 counts as class 1
    population = [build(every_type(), loss=loss), build(every_type(fewest=True), loss=loss)]
    for g in population:
        g._query(X, y)
    # Predicts exactly the top of its range: a logarithm there would be infinite.
    population.append(build([("fixed", "fixed"), ("linear", (0,)), ("fixed", (1,), (0.0, 1.0))],
                            states={1: {"w0": 0.0, "w1": 0.0, "bias": 5.0}}, loss=loss))
    return population, X, y


@pytest.mark.parametrize("executor", [None, 2])
@pytest.mark.parametrize("loss", LOSSES)
def test_evaluate_matches_the_losses_of_the_predictions(loss, executor):
    population, X, y = scored_population(loss)
    before = [pickle.dumps(g, 4) for g in population]
    got = vesk.evaluate(population, X, y, executor=executor)
    want = []
    for g in population:
        out = g[len(g) - 1].state
        want.append(twin_loss(loss, copy.deepcopy(g)._query(X), y, out.feature_min, out.feature_max))
    assert got.dtype == np.float64
    np.testing.assert_allclose(got, want, rtol=1e-12)
    assert [pickle.dumps(g, 4) for g in population] == before
    y_nan = y.copy()
    y_nan[7] = np.nan
    assert np.isnan(vesk.evaluate(population, X, y_nan)).all()


def test_evaluate_reports_a_failed_graph():
    population, X, y = scored_population("mean_squared_error")
    # A graph with an empty slot passes the checks of the data and fails
    # its own query.
    broken = build([("fixed", "fixed"), ("fixed", (0,))])
    del broken[1]
    population.insert(1, broken)
    skipped = vesk.evaluate(population, X, y, errors="skip")
    assert math.isnan(skipped[1]) and not np.isnan(np.delete(skipped, 1)).any()
    with pytest.raises(vesk.TrainingError) as raised:
        vesk.evaluate(population, X, y)
    assert raised.value.results[1] is None and raised.value.results[0] == skipped[0]
    assert list(raised.value.errors) == [1]
    with pytest.raises(ValueError, match="float64 array"):
        vesk.evaluate(population, X, y, errors="return")


# Formulas ---------------------------------------------------------------------


def formula_values(expression, X):
    """The formula in float64 on X cast to float32; categories by codes."""
    # sympy 1.13 (the last for Python 3.8) evaluates a Piecewise on Str
    # keys into ragged arrays that numpy 1.21 refuses.
    sp = pytest.importorskip("sympy", minversion="1.14")
    symbols = sorted(expression.free_symbols, key=str)
    codes = {}
    for s in symbols:
        if X[s.name].dtype.kind not in "biuf":
            for value in X[s.name].tolist():
                codes.setdefault(str(value), len(codes))
    keys = expression.atoms(sp.core.symbol.Str)
    for key in keys:
        codes.setdefault(key.name, len(codes))
    numeric = expression.xreplace({key: sp.Integer(codes[key.name]) for key in keys})
    args = [X[s.name].astype(np.float32).astype(np.float64) if X[s.name].dtype.kind in "biuf"
            else np.array([codes[str(v)] for v in X[s.name].tolist()], dtype=np.float64) for s in symbols]
    rows = len(next(iter(X.values())))
    return np.broadcast_to(np.asarray(sp.lambdify(symbols, numeric, "numpy")(*args), dtype=np.float64), (rows,))


def check_formula(g, X):
    """The formula taken after a prediction query (which widens adapting
    ranges), against predictions that also meet a category never seen."""
    g._query(X)
    expression = vesk.formula(g)
    X = dict(X)
    for name, column in X.items():
        if column.dtype.kind not in "biuf":
            X[name] = column.astype(object)
            X[name][:5] = "never seen"
    predicted = g._query(X)
    got = formula_values(expression, X)
    inputs = {x.name for x in g if x is not None and x.type in ("fixed", "cat") and not x.sources}
    assert {str(s) for s in expression.free_symbols} <= inputs
    # Relative to the output's span over the data: the range its register
    # learned from it (the predictions of a saturated graph may span a few
    # float32 steps only, and a relative bound per sample is unsound).
    out = g[len(g) - 1].state
    error = np.max(np.abs(got - predicted))
    assert error <= 2e-4 * (out.feature_max - out.feature_min), error


def penguin_graph(layout):
    table = penguins.load()
    g = example_graphs.build(layout)
    demo.fit_registers(g, table)
    for _ in range(5):
        g._query(table.columns, table.target)
    return g, table.columns


def test_formula_matches_random_graphs_of_every_type():
    pytest.importorskip("sympy")
    seen = set()
    for seed in range(1, 25):
        g = random_graph(seed)
        seen.update(x.type for x in g)
        check_formula(g, columns([("fixed", "x"), ("cat", "c")], 300, seed + 100)[0])
    assert seen == {t.NAME for t in ref.TYPES}


@pytest.mark.parametrize("case", ["walk-through", "every type", "constant column"] + list(demo.LAYOUTS))
def test_formula_matches_the_module(case):
    pytest.importorskip("sympy")
    if case in demo.LAYOUTS:
        g, X = penguin_graph(demo.LAYOUTS[case])
    elif case == "constant column":
        # A register whose range has width zero: below, at and above it.
        layout = [("fixed", "x", (0.5, 0.5)), ("cat", "c"), ("tanh", (0, 1)), ("fixed", (2,))]
        g = build(layout)
        X, y = columns([("fixed", "x"), ("cat", "c")], 200, 8)
        X["x"][::3] = 0.5
        g._query(X, y)
    else:
        layout = WALKTHROUGH if case == "walk-through" else every_type()
        g = build(layout)
        X, y = columns(layout, 300, 6)
        for _ in range(3):
            g._query(X, y)
    check_formula(g, X)


@pytest.mark.parametrize("change, message", [
    (lambda g: setattr(g[2].state, "w0", math.nan), "w0 = nan"),
    (lambda g: setattr(g[1].state, "categories", [("red", math.inf)]), "weight of 'red'"),
    (lambda g: g[0].state._from_dict({"feature_min": math.nan, "auto_adapt": True}), "no feature range yet"),
    (lambda g: g.__setitem__(2, _vesk.Interaction("multiply", (0, 0, 0))), "has no source"),
])
def test_formula_refuses_what_it_cannot_state(change, message):
    pytest.importorskip("sympy")
    g = build(WALKTHROUGH)
    g._query(*columns(WALKTHROUGH, 50, 1))
    change(g)
    with pytest.raises(ValueError, match=message):
        vesk.formula(g)


# Pictures ---------------------------------------------------------------------


def hostile_graph():
    name = '<b>&"\'x]]>\x01'
    g = build([("fixed", name), ("cat", "<script>"), ("multiply", (0, 0)), ("linear", (2, 1)), ("fixed", (3,))])
    g._query({name: np.arange(5.0), "<script>": np.array(["</text>&amp;", "a"] * 2 + ["b"])})
    return g, name


@pytest.mark.parametrize("case", ["hostile", "empty slot", "every type", "random 5", "random 8"])
def test_draw_gives_one_box_per_slot_and_an_arrow_per_edge(case, tmp_path):
    if case == "hostile":
        g, name = hostile_graph()
    elif case == "empty slot":
        g = special_graph(3)
    elif case == "every type":
        g = build(every_type())
    else:
        g = random_graph(int(case.split()[1]))
    picture = vesk.draw(g)
    root = ET.fromstring(picture.svg)
    boxes = [e for e in root.iter(SVG + "g") if e.get("class") == "node"]
    assert sorted(int(b.get("data-slot")) for b in boxes) == list(range(len(g)))
    assert len([e for e in root.iter(SVG + "path") if e.get("class") == "edge"]) == g.edge_count
    if case == "hostile":
        texts = ["".join(t.itertext()) for t in root.iter(SVG + "text")]
        assert name.replace("\x01", "\ufffd") in texts and "</text>&amp;: +0" in texts
    picture.save(tmp_path / "g.svg")
    assert (tmp_path / "g.svg").read_text(encoding="utf-8") == picture._repr_svg_() == picture.svg


def png_facts(data):
    """Width, height and the number of distinct byte values of a PNG's pixels."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, size = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    return size + (len(set(zlib.decompress(idat))),)


@pytest.mark.slow
def test_a_browser_renders_the_penguin_picture(tmp_path):
    browser = shutil.which("chromium")
    if os.environ.get("VESK_TEST_ASAN"):
        pytest.skip("the sanitizer build preloads its runtime into every child process, the browser's included")
    if browser is None:
        pytest.skip("chromium is not installed (apt-get install chromium; .ci/run installs it)")
    source = os.path.join(ROOT, "docs", "penguin-graph.svg")
    root = ET.parse(source).getroot()
    width, height = int(root.get("width")), int(root.get("height"))
    flags = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars"]
    dom = subprocess.run(flags + ["--dump-dom", "file://" + source], capture_output=True, text=True, timeout=120)
    assert dom.returncode == 0 and "parsererror" not in dom.stdout and "body_mass_g" in dom.stdout, dom.stderr
    shot = tmp_path / "shot.png"
    done = subprocess.run(flags + ["--window-size=%d,%d" % (width, height), "--screenshot=%s" % shot,
                                   "file://" + source], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    w, h, shades = png_facts(shot.read_bytes())
    assert (w, h) == (width, height) and shades > 20
    # The package's own way to a PNG, through whichever converter is on PATH.
    vesk.draw(build(every_type())).save(tmp_path / "g.png")
    assert png_facts((tmp_path / "g.png").read_bytes())[2] > 20
