"""Rebuilds a graph saved by demo.py and predicts the body mass of every
penguin of the data set.

    python examples/predict.py GRAPH.json PREDICTIONS.npy

The predictions (float32, one per complete row of penguins.csv, in file
order) are written to PREDICTIONS.npy.
"""
import sys
from pathlib import Path
from typing import List

import numpy as np

import graphs
import penguins


def main(argv: List[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    graph = graphs.load(Path(argv[1]))
    table = penguins.load()
    predictions = graph._query(table.columns)
    np.save(argv[2], predictions)
    mae = float(np.abs(predictions - table.target).mean())
    print("restored %s: %d predictions, mean absolute error %.1f g" % (graph, len(predictions), mae))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
