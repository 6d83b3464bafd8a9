"""The Palmer penguins table (examples/data/penguins.csv) as numpy columns.

Numeric columns come as float32 arrays, categorical ones as arrays of str.
Rows with a missing value in any column used here are dropped.
"""
import csv
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Tuple

import numpy as np
import numpy.typing as npt

DATA = Path(__file__).resolve().parent / "data" / "penguins.csv"

NUMERIC = ("bill_length_mm", "bill_depth_mm", "flipper_length_mm")
CATEGORICAL = ("species", "island", "sex")
TARGET = "body_mass_g"

Column = npt.NDArray[Any]
Floats = npt.NDArray[np.float32]
Indices = npt.NDArray[np.intp]


@dataclass(frozen=True)
class Table:
    columns: Dict[str, Column]  # register name -> one value per row
    target: Floats  # body mass in grams

    def __len__(self) -> int:
        return len(self.target)

    def rows(self, index: Indices) -> "Table":
        """The rows at index, in that order."""
        return Table({k: v[index] for k, v in self.columns.items()}, self.target[index])


def load(path: Path = DATA) -> Table:
    with open(path, newline="") as f:
        records = [r for r in csv.DictReader(f) if all(r[k] != "NA" for k in NUMERIC + CATEGORICAL + (TARGET,))]
    columns: Dict[str, Column] = {}
    for name in NUMERIC:
        columns[name] = np.array([float(r[name]) for r in records], dtype=np.float32)
    for name in CATEGORICAL:
        columns[name] = np.array([r[name] for r in records], dtype=str)
    target = np.array([float(r[TARGET]) for r in records], dtype=np.float32)
    return Table(columns, target)


def split(n: int, held_out: float, rng: np.random.Generator) -> Tuple[Indices, Indices]:
    """A random split of range(n) into training rows and held-out rows."""
    order = rng.permutation(n).astype(np.intp)
    cut = n - int(round(n * held_out))
    return order[:cut], order[cut:]
