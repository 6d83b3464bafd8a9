"""The exceptions of the package."""
from typing import Any, Dict, List, Optional


class FormatError(ValueError):
    """A graph file that is damaged, crafted or of a version this package
    does not read. Nothing of it was loaded."""


class TrainingError(Exception):
    """Some graphs failed. Raised after every other graph finished:
    ``results`` holds each finished result in input order (None where a
    graph failed) and ``errors`` maps the index of each failed graph to its
    exception."""

    def __init__(self, message: str, results: List[Any], errors: Dict[int, BaseException]) -> None:
        super().__init__(message)
        self.results = results
        self.errors = errors


class NoWorkerError(TrainingError, TimeoutError):
    """No worker was available for the set time; the graphs that finished
    before are in ``results``."""


class WorkerMismatchError(RuntimeError):
    """A worker computes the float32 math functions differently from this
    process, so its results would not be the same bits as training here.
    ``results`` holds what matching workers had finished."""

    def __init__(self, message: str, results: Optional[List[Any]] = None) -> None:
        super().__init__(message)
        self.results = results or []


class RemoteError(Exception):
    """An exception raised on a worker that could not be sent back as
    itself: its type name, message and traceback as text."""

    def __init__(self, type_name: str, message: str, traceback_text: str) -> None:
        super().__init__("%s: %s" % (type_name, message))
        self.type_name = type_name
        self.traceback_text = traceback_text
