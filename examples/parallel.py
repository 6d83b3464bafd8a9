"""Trains many independent graphs on two threads and measures the speed-up.

A query releases the interpreter lock for its sample loop, so queries on
different graphs run in parallel on Python threads. (One graph must never be
queried by two threads at once: the module refuses that with RuntimeError.)

    python examples/parallel.py [--graphs N] [--samples N]

The same work runs twice in this process: on one thread, then on two
threads of a ThreadPoolExecutor, each time on fresh copies of the same
untrained graphs, so both runs must end with identical parameters.
"""
import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Dict, List, Tuple

import numpy as np
import numpy.typing as npt

import _vesk
import graphs
from graphs import Node

Floats = npt.NDArray[np.float32]

# Four shapes over three numeric columns; graph i gets shape i % 4.
SHAPES: List[List[Node]] = [
    [Node("fixed", name="a"), Node("fixed", name="b"), Node("tanh", (0, 1)), Node("fixed", (2,), name="y")],
    [Node("fixed", name="a"), Node("fixed", name="c"), Node("sine", (0,)), Node("linear", (2, 1)),
     Node("fixed", (3,), name="y")],
    [Node("fixed", name="b"), Node("fixed", name="c"), Node("multiply", (0, 1)), Node("linear", (2, 0)),
     Node("fixed", (3,), name="y")],
    [Node("fixed", name="a"), Node("fixed", name="b"), Node("gaussian", (0, 1)), Node("linear", (2, 0)),
     Node("fixed", (3,), name="y")],
]


def make_data(samples: int) -> Dict[str, Floats]:
    rng = np.random.default_rng(1)
    a, b, c = (rng.uniform(-2, 2, samples).astype(np.float32) for _ in range(3))
    y = (np.sin(2 * a) + b * c + rng.normal(0, 0.1, samples)).astype(np.float32)
    return {"a": a, "b": b, "c": c, "y": y}


def train(graph: _vesk.Graph, data: Dict[str, Floats], epochs: int) -> None:
    for _ in range(epochs):
        graph._query(data, data["y"])


def copy(graph: _vesk.Graph) -> _vesk.Graph:
    """A new graph with the same interactions and parameters."""
    records = [graphs.record_of(x) for x in graphs.interactions(graph)]
    twin = _vesk.Graph(len(records))
    for slot, record in enumerate(records):
        twin[slot] = graphs.interaction_from(record)
    return twin


def run(
    untrained: List[_vesk.Graph], data: Dict[str, Floats], epochs: int, threads: int
) -> Tuple[float, List[_vesk.Graph]]:
    """Trains copies of the graphs on `threads` threads; returns the seconds
    taken and the trained copies."""
    built = [copy(g) for g in untrained]
    start = time.perf_counter()
    if threads == 1:
        for g in built:
            train(g, data, epochs)
    else:
        with ThreadPoolExecutor(max_workers=threads) as pool:
            list(pool.map(lambda g: train(g, data, epochs), built))
    return time.perf_counter() - start, built


def parameters(graph: _vesk.Graph) -> List[Dict[str, object]]:
    return [x.state._to_dict() for x in graphs.interactions(graph)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graphs", type=int, default=16, help="graphs to train (default 16)")
    parser.add_argument("--samples", type=int, default=200_000, help="rows of synthetic data (default 200000)")
    parser.add_argument("--epochs", type=int, default=2, help="passes over the rows per graph (default 2)")
    args = parser.parse_args()
    count: int = args.graphs
    epochs: int = args.epochs
    data = make_data(args.samples)
    total = count * epochs * len(data["y"])
    print("%d graphs x %d epochs x %d rows = %.1f M training steps; %s cores" % (
        count, epochs, len(data["y"]), total / 1e6, os.cpu_count()))

    untrained = [graphs.build(SHAPES[i % len(SHAPES)]) for i in range(count)]
    one, by_one = run(untrained, data, epochs, threads=1)
    print("1 thread:  %6.2f s  (%.2f M samples/s)" % (one, total / one / 1e6))
    two, by_two = run(untrained, data, epochs, threads=2)
    print("2 threads: %6.2f s  (%.2f M samples/s)" % (two, total / two / 1e6))
    print("speed-up: %.2fx" % (one / two))
    same = all(parameters(a) == parameters(b) for a, b in zip(by_one, by_two))
    print("same parameters after both runs: %s" % ("yes" if same else "NO"))
    # The error on the scale of the target: against always predicting its
    # mean, and against the noise in it (normal, sigma 0.1), which no graph
    # can predict.
    y = data["y"]
    error = np.mean([np.abs(g._query(data) - y).mean() for g in by_two])
    print("target y = sin(2a) + b*c + noise, from %.2f to %.2f" % (y.min(), y.max()))
    print("mean absolute error of the trained graphs: %.3f (predicting the mean of y: %.3f; the noise alone: %.3f)"
          % (error, np.abs(y - y.mean()).mean(), 0.1 * np.sqrt(2 / np.pi)))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
