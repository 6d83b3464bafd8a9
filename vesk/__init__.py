"""Populations of _vesk graphs: training and querying them here, on a
process pool or on a dask.distributed cluster, and saving them in a file
format that loads without running code.

    vesk.train(graphs, X, Y, epochs=5, executor=client)
    vesk.predict(graphs, X, executor="processes")
    vesk.save("population.vesk", graphs); vesk.load("population.vesk")
    vesk.evaluate(graphs, X, Y); vesk.draw(graph); vesk.formula(graph)

Importing the package imports neither numpy nor _vesk: a dask scheduler
unpickles tasks that name the package's worker functions, and needs only
the package's own files for that.
"""
from typing import TYPE_CHECKING, Any

from ._errors import FormatError, NoWorkerError, RemoteError, TrainingError, WorkerMismatchError


def _version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        return "unknown"
    try:
        return version("vesk")
    except PackageNotFoundError:
        return "unknown"


__version__ = _version()

if TYPE_CHECKING:
    from ._api import predict, train
    from ._draw import Drawing, draw
    from ._evaluate import evaluate
    from ._format import load, save
    from ._formula import formula

_LAZY = {"train": "_api", "predict": "_api", "save": "_format", "load": "_format", "evaluate": "_evaluate",
         "draw": "_draw", "Drawing": "_draw", "formula": "_formula"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module("." + _LAZY[name], __name__), name)
    raise AttributeError("module 'vesk' has no attribute %r" % name)


__all__ = ["Drawing", "FormatError", "NoWorkerError", "RemoteError", "TrainingError", "WorkerMismatchError",
           "__version__", "draw", "evaluate", "formula", "load", "predict", "save", "train"]
