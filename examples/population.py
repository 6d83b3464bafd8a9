"""Trains a population of graphs on a dask.distributed cluster and checks
every graph against the same training done in this process, bit for bit.

A search over graph shapes trains thousands of candidates; past one machine
they go to a cluster. Graphs pickle, so they travel as ordinary task
arguments and results: each task trains a bundle of graphs (enough for tens
of milliseconds of work, well above a task's own overhead of about a
millisecond) on data that was sent to the workers once.

    python examples/distributed.py [--data penguins|synthetic] [--graphs N]
        [--epochs N] [--workers N] [--scheduler ADDRESS] [--engine dask|processes]

By default a LocalCluster of worker processes (one thread each) runs the
tasks; --scheduler connects to a running cluster instead, whose workers need
_vesk and numpy (and, to equal this process to the bit, the same C library
and CPU features). --engine processes does the same with the standard
library's ProcessPoolExecutor and no dask at all. Needs the "distributed"
extra for dask (pip install .[distributed]).
"""
import argparse
import copy
import importlib
import math
import os
import pickle
import random
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

# This file bears the name of the package it uses: its folder goes to the
# end of the module path, where the examples' helpers are still found but
# `distributed` is the package (here, and in the workers, which inherit it).
HERE = os.path.dirname(os.path.abspath(__file__))
if sys.path and os.path.abspath(sys.path[0] or ".") == HERE:
    sys.path.append(sys.path.pop(0))

import _vesk  # noqa: E402
import graphs  # noqa: E402
import penguins  # noqa: E402
from graphs import Node  # noqa: E402

Columns = Dict[str, npt.NDArray[Any]]
Data = Tuple[Columns, npt.NDArray[np.float32]]
MATH = ("linear", "tanh", "gaussian", "sine", "multiply")

# A task holds at least this much work, as measured in this process.
TASK_SECONDS = 0.05


def synthetic(rows: int) -> Tuple[Data, List[str], List[str]]:
    """Three numeric columns, one of 50 integer category codes, a target."""
    rng = np.random.default_rng(3)
    x = {"x%d" % i: rng.uniform(-2, 2, rows).astype(np.float32) for i in range(3)}
    c = rng.integers(0, 50, rows)
    effect = rng.uniform(-0.5, 0.5, 50)
    y = np.sin(x["x0"]) + x["x1"] * x["x2"] + effect[c] + rng.normal(0, 0.1, rows)
    return ({**x, "c": c}, y.astype(np.float32)), ["x0", "x1", "x2"], ["c"]


def random_layout(rng: random.Random, numeric: Sequence[str], categorical: Sequence[str]) -> List[Node]:
    """A candidate as a search would propose it: two numeric inputs and a
    categorical one, a few mathematical nodes, a linear node over the last
    two, the output."""
    nodes = [Node("fixed", name=n) for n in rng.sample(list(numeric), 2)] + [Node("cat", name=rng.choice(categorical))]
    for _ in range(rng.randint(2, 5)):
        kind = rng.choice(MATH)
        sources = tuple(rng.randrange(len(nodes)) for _ in range(1 if kind == "sine" else 2))
        nodes.append(Node(kind, sources, gluamine=rng.randrange(4)))
    nodes.append(Node("linear", (len(nodes) - 1, len(nodes) - 2)))
    return nodes + [Node("fixed", (len(nodes) - 1,), name="target")]


def train(graph: _vesk.Graph, data: Data, epochs: int) -> _vesk.Graph:
    columns, target = data
    for _ in range(epochs):
        graph._query(columns, target)
    return graph


def train_bundle(bundle: List[_vesk.Graph], data: Data, epochs: int) -> List[_vesk.Graph]:
    """One task: the graphs arrive pickled, train, and go back pickled."""
    return [train(g, data, epochs) for g in bundle]


# Data of a worker process of the process pool, sent once by its initializer.
WORKER_DATA: Optional[Data] = None


def keep_data(data: Data) -> None:
    global WORKER_DATA
    WORKER_DATA = data


def train_bundle_in_pool(bundle: List[_vesk.Graph], epochs: int) -> List[_vesk.Graph]:
    assert WORKER_DATA is not None
    return train_bundle(bundle, WORKER_DATA, epochs)


def fingerprint(graph: _vesk.Graph) -> bytes:
    """Everything the graph holds, bit for bit, with its categories in a
    fixed order: each process lists str categories in an order of its own
    (string hashing is randomised per process), with the same weights."""
    rows: List[Any] = [graph.__getstate__()[:4]]
    for x in graphs.interactions(graph):
        saved = list(x.__getstate__())
        saved[-1] = tuple(sorted(v, key=repr) if isinstance(v, list) else v for v in saved[-1])
        rows.append(saved)
    return pickle.dumps(rows)


def on_dask(bundles: List[List[_vesk.Graph]], data: Data, epochs: int, workers: int,
            scheduler: Optional[str]) -> Tuple[List[_vesk.Graph], float]:
    """Runs the bundles on a dask cluster; the trained graphs and the
    seconds from the first submission to the last result."""
    from dask.distributed import Client, LocalCluster

    cluster = None
    if scheduler is None:
        # Worker processes on this machine, one thread each, reached on the
        # loopback interface only; no dashboard.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
    client = Client(scheduler if scheduler is not None else cluster)
    try:
        client.wait_for_workers(workers if scheduler is None else 1)
        print("dask cluster: %d workers" % len(client.scheduler_info()["workers"]))
        # Each worker imports the module before the clock starts; the data
        # goes to every worker once, before any task.
        client.run(importlib.import_module, "_vesk")
        shared = client.scatter(data, broadcast=True)
        start = time.perf_counter()
        futures = [client.submit(train_bundle, bundle, shared, epochs, pure=False) for bundle in bundles]
        done: List[List[_vesk.Graph]] = client.gather(futures)
        seconds = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return [g for bundle in done for g in bundle], seconds


def on_processes(bundles: List[List[_vesk.Graph]], data: Data, epochs: int,
                 workers: int) -> Tuple[List[_vesk.Graph], float]:
    with ProcessPoolExecutor(max_workers=workers, initializer=keep_data, initargs=(data,)) as pool:
        list(pool.map(time.sleep, [0.0] * workers))  # the workers are up before the clock starts
        start = time.perf_counter()
        done = list(pool.map(train_bundle_in_pool, bundles, [epochs] * len(bundles)))
        seconds = time.perf_counter() - start
    return [g for bundle in done for g in bundle], seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", choices=("penguins", "synthetic"), default="penguins")
    parser.add_argument("--rows", type=int, default=100_000, help="rows of the synthetic data (default 100000)")
    parser.add_argument("--graphs", type=int, help="population size (default 256 for penguins, 32 synthetic)")
    parser.add_argument("--epochs", type=int, help="passes over the data (default 50 for penguins, 1 synthetic)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    parser.add_argument("--scheduler", help="address of a running dask scheduler instead of a local cluster")
    parser.add_argument("--engine", choices=("dask", "processes"), default="dask")
    args = parser.parse_args()

    if args.data == "penguins":
        table = penguins.load()
        data: Data = (table.columns, table.target)
        numeric, categorical = list(penguins.NUMERIC), list(penguins.CATEGORICAL)
    else:
        data, numeric, categorical = synthetic(args.rows)
    count: int = args.graphs or (256 if args.data == "penguins" else 32)
    epochs: int = args.epochs or (50 if args.data == "penguins" else 1)
    rng = random.Random(7)
    population = [graphs.build(random_layout(rng, numeric, categorical)) for _ in range(count)]
    samples = count * epochs * len(data[1])
    print("%d graphs x %d epochs x %d rows of %s data = %.2f M training samples" % (
        count, epochs, len(data[1]), args.data, samples / 1e6))

    # The reference: the same training on copies, in this process.
    start = time.perf_counter()
    expected = [train(copy.deepcopy(g), data, epochs) for g in population]
    here = time.perf_counter() - start
    print("this process:  %7.3f s  %6.2f M samples/s" % (here, samples / here / 1e6))

    per_graph = here / count
    size = max(1, min(math.ceil(TASK_SECONDS / per_graph), math.ceil(count / (2 * args.workers))))
    bundles = [population[i:i + size] for i in range(0, count, size)]
    print("%d tasks of up to %d graphs (%.0f ms of work each)" % (len(bundles), size, size * per_graph * 1e3))
    run: Callable[[], Tuple[List[_vesk.Graph], float]]
    if args.engine == "dask":
        run = lambda: on_dask(bundles, data, epochs, args.workers, args.scheduler)  # noqa: E731
    else:
        run = lambda: on_processes(bundles, data, epochs, args.workers)  # noqa: E731
    trained, seconds = run()
    label = "cluster" if args.engine == "dask" else "process pool"
    print("%-13s  %7.3f s  %6.2f M samples/s  (%.2fx this process)" % (
        label + ":", seconds, samples / seconds / 1e6, here / seconds))

    same = sum(fingerprint(a) == fingerprint(b) for a, b in zip(trained, expected))
    print("bit-identical: %s (%d of %d graphs)" % ("yes" if same == count else "NO", same, count))
    return 0 if same == count else 1


if __name__ == "__main__":
    sys.exit(main())
