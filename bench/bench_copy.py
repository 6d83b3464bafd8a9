"""Per-graph cost of moving the population of bench_population.py: a deep
copy (`copy.deepcopy`), a pickle round trip (`pickle.loads(pickle.dumps(g))`,
the highest protocol) and, for scale, one training epoch (`_query(X, Y)` on
penguins).

Rounds alternate the contenders (in a rotating order); the figures are the
medians of the rounds, in microseconds per graph. A second population has
`_linkdata` on every node that copy.deepcopy has to copy in Python (a dict
holding a list), trained for one epoch first, timed apart. Before the clock, every copy and every loaded
graph is checked bit for bit against a copy made from the saved forms of
`__getstate__` (the reduction's path): the same saved forms, and one epoch of
training on each gives the same output bits and the same saved forms again.

    python bench/bench_copy.py [--graphs 256] [--rounds 7] [--json FILE]
"""
import argparse
import copy
import json
import os
import pickle
import random
import statistics
import sys
import time
from typing import Any, Callable, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

import _vesk  # noqa: E402
import graphs  # noqa: E402
import penguins  # noqa: E402
from population import random_layout  # noqa: E402


def saved_copy(g: Any) -> Any:
    """A deep copy made from the saved forms alone, as the reduction made it."""
    nodes = []
    for x in g:
        if x is None:
            nodes.append(None)
            continue
        y = _vesk.Interaction.__new__(_vesk.Interaction)
        y.__setstate__(copy.deepcopy(x.__getstate__()))
        nodes.append(y)
    saved = g.__getstate__()
    h = type(g).__new__(type(g))
    h.__setstate__(saved[:4] + (nodes,) + tuple(copy.deepcopy(saved[5:])))
    return h


def forms(g: Any) -> bytes:
    return pickle.dumps((g.__getstate__()[:4], [x.__getstate__() for x in g]), 4)


def check(population: List[Any], X: Dict[str, Any], Y: Any) -> Dict[str, bool]:
    exact = {"deepcopy": True, "pickle": True}
    moves = {"deepcopy": copy.deepcopy, "pickle": lambda g: pickle.loads(pickle.dumps(g, pickle.HIGHEST_PROTOCOL))}
    for g in population:
        reference = saved_copy(g)
        before = forms(reference)
        out = reference._query(X, Y).tobytes()
        after = forms(reference)
        for name, move in moves.items():
            c = move(g)
            ok = forms(c) == before and c._query(X, Y).tobytes() == out and forms(c) == after
            exact[name] = exact[name] and ok
    return exact


def per_graph(population: List[Any], X: Dict[str, Any], Y: Any, rounds: int) -> Dict[str, float]:
    protocol = pickle.HIGHEST_PROTOCOL
    epoch_copies = [copy.deepcopy(g) for g in population]
    contenders: Dict[str, Callable[[], Any]] = {
        "deepcopy": lambda: [copy.deepcopy(g) for g in population],
        "pickle": lambda: [pickle.loads(pickle.dumps(g, protocol)) for g in population],
        "epoch": lambda: [g._query(X, Y) for g in epoch_copies],
    }
    times: Dict[str, List[float]] = {k: [] for k in contenders}
    order = list(contenders)
    for r in range(rounds):
        for kind in order[r % 3:] + order[:r % 3]:
            start = time.perf_counter()
            result = contenders[kind]()
            times[kind].append((time.perf_counter() - start) / len(population) * 1e6)
            del result
    return {k: statistics.median(v) for k, v in times.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graphs", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--json", help="write the figures to this file")
    args = parser.parse_args()
    table = penguins.load()
    X, Y = table.columns, table.target
    rng = random.Random(7)
    population = [graphs.build(random_layout(rng, penguins.NUMERIC, penguins.CATEGORICAL))
                  for _ in range(args.graphs)]
    # The population as bench_population.py trains it, untrained; the linked
    # one trained once, so that its copies carry moments, categories and counts.
    linked = [copy.deepcopy(g) for g in population]
    for g in linked:
        g._query(X, Y)
        for x in g:
            x._linkdata = {"graph": "g", "weights": [1, 2.5]}
    figures: Dict[str, Any] = {
        "graphs": len(population),
        "pickled_bytes": statistics.median(len(pickle.dumps(g, pickle.HIGHEST_PROTOCOL)) for g in population),
        "exact": check(population, X, Y),
        "exact_linked": check(linked, X, Y),
    }
    figures["us_per_graph"] = per_graph(population, X, Y, args.rounds)
    figures["us_per_graph_linked"] = per_graph(linked, X, Y, args.rounds)
    print(json.dumps(figures, indent=1))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    return 0 if all(figures["exact"].values()) and all(figures["exact_linked"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
