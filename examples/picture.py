"""The picture and the formula of a trained penguin graph (the README's).

Trains the demo's "tanh" graph on every complete row of the penguins data,
writes its picture (vesk.draw) and prints its formula (vesk.formula, when
sympy is installed) as LaTeX, its numbers rounded to three digits.

    python examples/picture.py [--out docs/penguin-graph.svg] [--epochs 12]
"""
import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np

import _vesk
import demo
import graphs
import penguins
import vesk

HERE = Path(__file__).resolve().parent


def penguin_graph(epochs: int = 12) -> _vesk.Graph:
    """The demo's "tanh" graph, its ranges fitted and kept, trained online."""
    table = penguins.load()
    graph = graphs.build(demo.LAYOUTS["tanh"])
    demo.fit_registers(graph, table)
    rng = np.random.default_rng(7)
    for _ in range(epochs):
        shuffled = table.rows(rng.permutation(len(table)).astype(np.intp))
        graph._query(shuffled.columns, shuffled.target)
    return graph


def rounded_latex(expression: Any, digits: int = 3) -> str:
    import sympy

    short = expression.xreplace({f: sympy.Float(f, digits) for f in expression.atoms(sympy.Float)})
    # Column names in upright type, their underscores as underscores rather than subscripts.
    names = {s: r"\mathrm{%s}" % s.name.replace("_", r"\_") for s in short.free_symbols}
    return str(sympy.latex(short, symbol_names=names))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=HERE.parent / "docs" / "penguin-graph.svg")
    parser.add_argument("--epochs", type=int, default=12)
    args = parser.parse_args()
    graph = penguin_graph(args.epochs)
    out: Path = args.out
    out.parent.mkdir(parents=True, exist_ok=True)
    vesk.draw(graph).save(out)
    print("picture written to %s" % out)
    table = penguins.load()
    print("loss (mean squared error, g^2): %.1f" % vesk.evaluate([graph], table.columns, table.target)[0])
    try:
        formula = vesk.formula(graph)
    except ImportError as e:
        print("no formula: %s" % e)
        return 0
    print(rounded_latex(formula))
    return 0


if __name__ == "__main__":
    sys.exit(main())
