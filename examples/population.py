"""Trains a population of graphs with vesk.train on a dask.distributed
cluster or a process pool, and checks every graph against the same training
done in this process, bit for bit.

A search over graph shapes trains thousands of candidates; past one machine
they go to a cluster. vesk.train sends them as bytes in bundles sized from
the work the workers report, sends the data to each worker once, resends
what a lost worker held and returns the trained copies in input order.

    python examples/population.py [--graphs N] [--epochs N] [--workers N]
        [--engine dask|processes] [--scheduler ADDRESS] [--checkpoint FOLDER]

By default a LocalCluster of worker processes (one thread each, on the
loopback interface) runs the tasks; --scheduler connects to a running
cluster, whose workers need this package (and, to equal this process to the
bit, the same C library and CPU features, which vesk.train checks).
--engine processes uses the package's own process pool. dask is the
"distributed" extra (pip install .[distributed]).
"""
import argparse
import copy
import pickle
import random
import sys
import time
from typing import Any, List, Sequence

import _vesk
import graphs
import penguins
import vesk
from graphs import Node

MATH = ("linear", "tanh", "gaussian", "sine", "multiply")


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


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--graphs", type=int, default=256, help="population size (default 256)")
    parser.add_argument("--epochs", type=int, default=50, help="passes over the data (default 50)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--engine", choices=("dask", "processes"), default="dask")
    parser.add_argument("--scheduler", help="address of a running dask scheduler instead of a local cluster")
    parser.add_argument("--checkpoint", help="a folder for finished graphs: a rerun trains only what is missing")
    args = parser.parse_args()

    table = penguins.load()
    rng = random.Random(7)
    population = [graphs.build(random_layout(rng, penguins.NUMERIC, penguins.CATEGORICAL))
                  for _ in range(args.graphs)]
    print("%d graphs x %d epochs x %d rows of penguins" % (args.graphs, args.epochs, len(table)))

    start = time.perf_counter()
    expected = []
    for g in population:  # the reference: the same training on copies, here
        twin = copy.deepcopy(g)
        for _ in range(args.epochs):
            twin._query(table.columns, table.target)
        expected.append(twin)
    here = time.perf_counter() - start
    print("this process: %7.3f s" % here)

    client: Any = None
    cluster: Any = None
    executor: Any = args.workers
    if args.engine == "dask":
        from dask.distributed import Client, LocalCluster

        if args.scheduler is None:
            # Scheduler, workers and dashboard on the loopback interface, on free ports.
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                                   dashboard_address="127.0.0.1:0")
        client = executor = Client(args.scheduler or cluster)
    try:
        start = time.perf_counter()
        trained: List[_vesk.Graph] = vesk.train(population, table.columns, table.target, epochs=args.epochs,
                                                executor=executor, checkpoint=args.checkpoint)
        seconds = time.perf_counter() - start
    finally:
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
    print("%-12s %7.3f s  (%.2fx this process)" % (args.engine + ":", seconds, here / seconds))

    # Equal pickles: the same state to the bit, NaN included, with the
    # categories listed in this process's order.
    same = sum(pickle.dumps(a) == pickle.dumps(b) for a, b in zip(trained, expected))
    print("bit-identical: %s (%d of %d graphs)" % ("yes" if same == len(expected) else "NO", same, len(expected)))
    return 0 if same == len(expected) else 1


if __name__ == "__main__":
    sys.exit(main())
