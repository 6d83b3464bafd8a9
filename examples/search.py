"""A small search over candidate graphs on the penguins data: each round
trains every candidate with vesk.train, scores it with vesk.evaluate on
rows it did not train on, keeps the best few and fills the population up
with new candidates; then it draws the winner (vesk.draw), prints its
formula (vesk.formula, when sympy is installed) and its error on held-out
rows against predicting the mean.

    python examples/search.py [--rounds 3] [--candidates 24] [--keep 4]
        [--epochs 8] [--workers 2] [--out build/search]

--workers 0 trains in this process; otherwise on the package's pool of
that many processes (the main module's guard below is what such a pool
needs).
"""
import argparse
import random
import sys
from pathlib import Path
from typing import Any, List, Tuple

import numpy as np

import _vesk
import demo
import graphs
import penguins
import population
import vesk

HERE = Path(__file__).resolve().parent


def candidate(rng: random.Random, table: penguins.Table) -> _vesk.Graph:
    """A new candidate, its numeric registers fitted to the training rows
    and kept there, so that scoring on other rows changes nothing."""
    graph = graphs.build(population.random_layout(rng, penguins.NUMERIC, penguins.CATEGORICAL))
    demo.fit_registers(graph, table)
    return graph


def search(args: argparse.Namespace) -> Tuple[_vesk.Graph, float]:
    table = penguins.load()
    split_rng = np.random.default_rng(3)
    train_rows, rest = penguins.split(len(table), 0.4, split_rng)
    # Half of the rows not trained on choose the winner, the other half
    # only judge it at the end.
    score_rows, held_rows = rest[: len(rest) // 2], rest[len(rest) // 2:]
    train, scoring, held_out = table.rows(train_rows), table.rows(score_rows), table.rows(held_rows)
    rng = random.Random(11)
    executor: Any = args.workers or None
    kept: List[_vesk.Graph] = []
    best_loss = float("inf")
    for round_ in range(1, args.rounds + 1):
        candidates = kept + [candidate(rng, train) for _ in range(args.candidates - len(kept))]
        trained = vesk.train(candidates, train.columns, train.target, epochs=args.epochs, executor=executor)
        losses = vesk.evaluate(trained, scoring.columns, scoring.target, executor=executor)
        order = np.argsort(losses, kind="stable")
        kept = [trained[i] for i in order[: args.keep]]
        best_loss = float(losses[order[0]])
        print("round %d: %d candidates, best scoring RMSE %.1f g, kept %d"
              % (round_, len(candidates), float(np.sqrt(best_loss)), len(kept)))
    winner = kept[0]
    predictions = vesk.predict([winner], held_out.columns)[0]
    error = demo.mae(predictions, held_out.target)
    baseline = demo.mae(np.full_like(held_out.target, train.target.mean()), held_out.target)
    print("winner: %d interactions, %d edges" % (len(winner), winner.edge_count))
    print("held-out mean absolute error: %.1f g (predicting the mean: %.1f g)" % (error, baseline))
    return winner, error


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--candidates", type=int, default=24, help="graphs trained each round")
    parser.add_argument("--keep", type=int, default=4, help="the best kept for the next round")
    parser.add_argument("--epochs", type=int, default=8, help="passes over the training rows a round")
    parser.add_argument("--workers", type=int, default=2, help="processes of the package's pool; 0: this process")
    parser.add_argument("--out", type=Path, default=Path("build") / "search")
    args = parser.parse_args()
    winner, _ = search(args)
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    vesk.draw(winner).save(out / "winner.svg")
    print("picture: %s" % (out / "winner.svg"))
    try:
        formula = vesk.formula(winner)
    except ImportError as e:
        print("no formula: %s" % e)
    else:
        names = ", ".join(sorted(map(str, formula.free_symbols)))
        print("formula: %d operations over %s" % (formula.count_ops(), names))
    return 0


if __name__ == "__main__":
    sys.exit(main())
