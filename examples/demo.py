"""Trains a few hand-built graphs on real data and keeps the best one.

The task: predict a penguin's body mass (g) from its species, island and sex
(categorical columns) and its bill and flipper measurements (numeric
columns), on the Palmer penguins data in examples/data.

The demo builds four graphs the way a modelling library would, trains each
online for a number of epochs, prints the training and held-out error of
every epoch, picks the graph with the lowest held-out error, saves it to
JSON, rebuilds it in a new Python process to show that the restored graph
predicts exactly the same values, and plots its predictions.

    python examples/demo.py [--epochs N] [--out DIR] [--no-plot]

Its files (best_graph.json, predictions.npy, demo.png) go to build/demo.
"""
import argparse
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, TextIO

import numpy as np
import numpy.typing as npt

import _vesk
import graphs
import penguins
from graphs import Node
from penguins import TARGET, Table

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE.parent / "build" / "demo"

FLIPPER, BILL_LENGTH, BILL_DEPTH = "flipper_length_mm", "bill_length_mm", "bill_depth_mm"

# Slot i of each layout is slot i of its graph; a node reads earlier slots.
LAYOUTS: Dict[str, List[Node]] = {
    "linear": [
        Node("fixed", name=FLIPPER),  # 0
        Node("cat", name="species"),  # 1
        Node("cat", name="sex"),  # 2
        Node("fixed", name=BILL_DEPTH),  # 3
        Node("linear", (0, 1)),  # 4
        Node("linear", (2, 3)),  # 5
        Node("linear", (4, 5)),  # 6
        Node("fixed", (6,), name=TARGET),  # 7: the output register
    ],
    "tanh": [
        Node("fixed", name=FLIPPER),  # 0
        Node("fixed", name=BILL_LENGTH),  # 1
        Node("cat", name="species"),  # 2
        Node("cat", name="sex"),  # 3
        Node("tanh", (0, 1)),  # 4
        Node("linear", (2, 3)),  # 5
        Node("linear", (4, 5)),  # 6
        Node("fixed", (6,), name=TARGET, loss=_vesk.DEFAULT_LOSS),  # 7
    ],
    "gaussian": [
        Node("fixed", name=FLIPPER),  # 0
        Node("fixed", name=BILL_DEPTH),  # 1
        Node("cat", name="species"),  # 2
        Node("cat", name="sex"),  # 3
        Node("gaussian", (1,)),  # 4: a bump over bill depth
        Node("linear", (0, 4)),  # 5
        Node("linear", (2, 3)),  # 6
        Node("linear", (5, 6)),  # 7
        Node("fixed", (7,), name=TARGET, loss="mean_absolute_error"),  # 8
    ],
    "sine-multiply": [
        Node("fixed", name=FLIPPER),  # 0
        Node("fixed", name=BILL_LENGTH),  # 1
        Node("cat", name="species"),  # 2
        Node("cat", name="sex"),  # 3
        Node("cat", name="island"),  # 4
        Node("sine", (0,)),  # 5
        Node("multiply", (1, 3)),  # 6: bill length times a weight per sex
        Node("linear", (5, 6)),  # 7
        Node("linear", (2, 4)),  # 8
        Node("linear", (7, 8)),  # 9
        Node("fixed", (9,), name=TARGET),  # 10
    ],
}

Floats = npt.NDArray[np.float32]


def mae(predictions: Floats, truth: Floats) -> float:
    return float(np.abs(predictions.astype(np.float64) - truth).mean())


def fit_registers(graph: _vesk.Graph, train: Table) -> None:
    """Gives every numeric register the value range of its training column
    and keeps it there, so that queries on held-out rows change nothing."""
    for x in graphs.interactions(graph):
        if x.type != "fixed":
            continue
        values = train.columns[x.name] if not x.sources else train.target
        x.state._from_dict({"feature_min": float(values.min()), "feature_max": float(values.max()),
                            "auto_adapt": False})


@dataclass
class Run:
    name: str
    graph: _vesk.Graph
    train_mae: List[float] = field(default_factory=list)
    held_out_mae: List[float] = field(default_factory=list)


class Progress:
    """One line on a terminal's standard error, redrawn as training goes on;
    nothing when standard error is not a terminal."""

    def __init__(self, total: int, stream: TextIO = sys.stderr) -> None:
        self.total, self.done, self.stream = total, 0, stream
        self.enabled = stream.isatty()

    def show(self, text: str) -> None:
        if self.enabled:
            filled = 24 * self.done // self.total
            bar = "#" * filled + "." * (24 - filled)
            self.stream.write("\r\x1b[K[%s] %3d%%  %s" % (bar, 100 * self.done // self.total, text))
            self.stream.flush()

    def advance(self) -> None:
        self.done += 1
        if self.enabled:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def shown(path: Path) -> str:
    """path relative to the working directory when it lies below it."""
    try:
        return str(path.resolve().relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def rate(samples: int, seconds: float) -> str:
    per_second = samples / seconds if seconds > 0 else float("inf")
    return "%.2f M" % (per_second / 1e6) if per_second >= 1e6 else "%.0f k" % (per_second / 1e3)


def train(run: Run, train: Table, held_out: Table, epochs: int, rng: np.random.Generator, progress: Progress) -> None:
    graph = run.graph
    print('\ngraph "%s": %d interactions, %d edges' % (run.name, len(graph), graph.edge_count))
    print("  epoch   train MAE   held-out MAE   samples/s")
    for epoch in range(1, epochs + 1):
        progress.show('training "%s", epoch %d of %d' % (run.name, epoch, epochs))
        shuffled = train.rows(rng.permutation(len(train)).astype(np.intp))
        start = time.perf_counter()
        graph._query(shuffled.columns, shuffled.target)  # one online pass: a step per sample
        seconds = time.perf_counter() - start
        run.train_mae.append(mae(graph._query(train.columns), train.target))
        run.held_out_mae.append(mae(graph._query(held_out.columns), held_out.target))
        progress.advance()
        print(
            "  %5d   %7.1f g   %10.1f g   %9s"
            % (epoch, run.train_mae[-1], run.held_out_mae[-1], rate(len(train), seconds))
        )


def describe(graph: _vesk.Graph) -> None:
    """One line per slot: type, sources and trained parameters."""
    for slot, x in enumerate(graphs.interactions(graph)):
        reads = "reads " + ", ".join(str(s) for s in x.sources) if x.sources else "input"
        if x.type == "cat":
            weights = ", ".join("%s %+.2f" % (k, w) for k, w in sorted(x.state.categories))
            detail = "%s: %s" % (x.name, weights)
        elif x.type == "fixed":
            detail = "%s: range %.1f to %.1f" % (x.name, x.state.feature_min, x.state.feature_max)
            if isinstance(x._loss, str):
                detail += ", loss " + x._loss
        else:
            detail = x._tooltip.replace("\n", ", ")
        print("  %2d  %-8s  %-12s  %s" % (slot, x.type, reads, detail))


def restore_elsewhere(path: Path, out: Path, expected: Floats) -> bool:
    """Rebuilds the saved graph in a new Python process and compares its
    predictions with expected, bit for bit."""
    npy = out / "predictions.npy"
    child = subprocess.run(
        [sys.executable, str(HERE / "predict.py"), str(path), str(npy)],
        capture_output=True,
        text=True,
    )
    if child.returncode != 0:
        print("the new process failed:\n" + child.stderr, file=sys.stderr)
        return False
    print("  new process: " + child.stdout.strip())
    restored: Floats = np.load(npy)
    same = restored.dtype == expected.dtype and restored.tobytes() == expected.tobytes()
    differing = int(np.count_nonzero(restored != expected)) if restored.shape == expected.shape else len(expected)
    print(
        "  identical predictions: %s (%d of %d differ)" % ("yes" if same else "NO", differing, len(expected))
    )
    return same


def plot(path: Path, runs: List[Run], best: Run, train: Table, held_out: Table, baseline: float) -> Optional[Path]:
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed, so there is no plot (make demo installs it)")
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5))
    low = float(min(train.target.min(), held_out.target.min())) - 200
    high = float(max(train.target.max(), held_out.target.max())) + 200
    left.plot([low, high], [low, high], color="0.6", linewidth=1, label="prediction = truth")
    train_predicted = best.graph._query(train.columns)
    held_predicted = best.graph._query(held_out.columns)
    left.scatter(train.target, train_predicted, s=10, color="0.75", label="training rows")
    species = held_out.columns["species"]
    for name, colour in zip(("Adelie", "Chinstrap", "Gentoo"), ("tab:orange", "tab:purple", "tab:green")):
        rows = species == name
        left.scatter(held_out.target[rows], held_predicted[rows], s=22, color=colour, label=name + " (held out)")
    left.set_xlim(low, high)
    left.set_ylim(low, high)
    left.set_xlabel("true body mass (g)")
    left.set_ylabel("predicted body mass (g)")
    left.set_title('best graph "%s": held-out MAE %.0f g' % (best.name, best.held_out_mae[-1]))
    left.legend(loc="upper left", fontsize=8)

    epochs = np.arange(1, len(best.held_out_mae) + 1)
    for run, colour in zip(runs, ("tab:blue", "tab:red", "tab:green", "tab:brown", "tab:pink")):
        width = 2.5 if run is best else 1.2
        right.plot(epochs, run.held_out_mae, color=colour, linewidth=width, marker="o", markersize=3, label=run.name)
        right.plot(epochs, run.train_mae, color=colour, linewidth=1, linestyle="--")
    right.axhline(baseline, color="0.5", linestyle=":", label="training mean as prediction")
    right.set_xlabel("epoch")
    right.set_ylabel("mean absolute error (g)")
    right.set_title("error per epoch: held out (solid), training (dashed)")
    right.set_ylim(0, max(baseline * 1.1, max(max(r.held_out_mae) for r in runs) * 1.05))
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(str(path), dpi=100)
    plt.close(fig)
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epochs", type=int, default=12, help="passes over the training rows (default 12)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="directory for the files (default build/demo)")
    parser.add_argument("--no-plot", action="store_true", help="skip the plot")
    args = parser.parse_args()
    epochs: int = args.epochs
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    begin = time.perf_counter()

    rng = np.random.default_rng(7)
    table = penguins.load()
    train_rows, held_rows = penguins.split(len(table), 0.2, rng)
    train_set, held_out = table.rows(train_rows), table.rows(held_rows)
    baseline = mae(np.full(len(held_out), train_set.target.mean(), dtype=np.float32), held_out.target)
    print("Palmer penguins: %d rows, %d for training, %d held out" % (len(table), len(train_set), len(held_out)))
    print("predict %s from %s" % (TARGET, ", ".join(penguins.CATEGORICAL + penguins.NUMERIC)))
    print("held-out MAE of the training mean as a prediction: %.1f g" % baseline)

    runs: List[Run] = []
    for name, layout in LAYOUTS.items():
        graph = graphs.build(layout)
        fit_registers(graph, train_set)
        runs.append(Run(name, graph))
    progress = Progress(len(runs) * epochs)
    for run in runs:
        train(run, train_set, held_out, epochs, rng, progress)

    best = min(runs, key=lambda r: r.held_out_mae[-1])
    print("\n%-15s %12s %14s" % ("graph", "train MAE", "held-out MAE"))
    for run in runs:
        mark = "  <- best" if run is best else ""
        print("%-15s %10.1f g %12.1f g%s" % (run.name, run.train_mae[-1], run.held_out_mae[-1], mark))
    print('\nbest graph "%s":' % best.name)
    describe(best.graph)

    saved = out / "best_graph.json"
    about = {"graph": best.name, "target": TARGET, "epochs": epochs, "held_out_mae": best.held_out_mae[-1]}
    graphs.save(best.graph, saved, about)
    print("\nsaved to %s" % shown(saved))
    expected = best.graph._query(table.columns)
    if not restore_elsewhere(saved, out, expected):
        return 1

    if args.no_plot:
        print("\nno plot (--no-plot)")
    else:
        image = plot(out / "demo.png", runs, best, train_set, held_out, baseline)
        if image is not None:
            print("\nplot written to %s" % shown(image))
    print("done in %.1f s" % (time.perf_counter() - begin))
    return 0


if __name__ == "__main__":
    sys.exit(main())
