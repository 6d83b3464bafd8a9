"""One call of train or predict: its graphs and data, the results as they
come in (filed as training here would file them), the checkpoint, the
progress display, and the run in this process."""
import copy
import hashlib
import logging
import pickle
import sys
import time
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

import _vesk

from . import _worker
from ._checkpoint import Checkpoint
from ._errors import RemoteError, TrainingError

log = logging.getLogger("vesk")

PROTOCOL = _worker.PROTOCOL
ERRORS = ("raise", "skip", "return")
# Hash-stable key types: categories of only these list in the same order in
# every process.
STABLE_KEYS = (int, float, bool)


def data_digest(X: Mapping[str, Any], Y: Any) -> str:
    h = hashlib.sha256()
    for name in sorted(X):
        column = np.asarray(X[name])
        h.update(("%s %s %s|" % (name, column.dtype.str, column.shape)).encode())
        h.update(pickle.dumps(column.tolist(), PROTOCOL) if column.dtype.hasobject else column.tobytes())
    if Y is not None:
        y = np.asarray(Y)
        h.update(("y %s %s|" % (y.dtype.str, y.shape)).encode())
        h.update(pickle.dumps(y.tolist(), PROTOCOL) if y.dtype.hasobject else y.tobytes())
    return h.hexdigest()


def remote_error(payload: Tuple[str, str, str, Optional[bytes]]) -> BaseException:
    name, message, text, raised = payload
    if raised is not None:
        try:
            error = pickle.loads(raised)
            if isinstance(error, BaseException):
                return error
        except Exception:
            pass
    return RemoteError(name, message, text)


class _NaN:
    """Every float NaN as one category key: NaN equals nothing, itself included."""

    def __repr__(self) -> str:
        return "NaN"


NAN = _NaN()


def category(key: Any) -> Any:
    """A category key as a dict key of the same identity as the engine's:
    hash, then equality (1, 1.0 and True are one; -1 and -2, whose hashes
    are equal, are two), and every float NaN, Python's or numpy's of any
    width, one of its own."""
    if isinstance(key, (float, np.floating)) and key != key:
        return NAN
    return key


class Progress:
    def __init__(self, total: int, done: int, setting: Optional[bool], what: str) -> None:
        self.bar: Any = None
        self.last = 0.0
        self.total, self.done, self.what = total, done, what
        show = sys.stderr.isatty() if setting is None else setting
        if not show:
            self.enabled = False
            return
        self.enabled = True
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, initial=done, unit="graph", desc=what)

    def update(self, n: int) -> None:
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
        elif self.enabled and (time.monotonic() - self.last > 1.0 or self.done == self.total):
            self.last = time.monotonic()
            sys.stderr.write("%s: %d of %d graphs\n" % (self.what, self.done, self.total))

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Run:
    def __init__(self, mode: str, graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], Y: Any, epochs: int,
                 errors: str, progress: Optional[bool], checkpoint: Optional[str], retries: int,
                 worker_timeout: float, task_timeout: Optional[float]) -> None:
        if errors not in ERRORS:
            raise ValueError("errors must be one of %s, not %r" % (", ".join(map(repr, ERRORS)), errors))
        if not isinstance(X, dict):
            raise TypeError("X must be a dict of numpy arrays by register name")
        self.graphs = list(graphs)
        for n, g in enumerate(self.graphs):
            if not isinstance(g, _vesk.Graph):
                raise TypeError("item %d is a %s, not a _vesk.Graph" % (n, type(g).__qualname__))
        if epochs < 0:
            raise ValueError("epochs must not be negative")
        self.mode, self.X, self.Y, self.epochs = mode, X, Y, epochs
        self.errors, self.retries = errors, retries
        self.worker_timeout, self.task_timeout = worker_timeout, task_timeout
        n = len(self.graphs)
        self.results: List[Any] = [None] * n
        self.failed: Dict[int, BaseException] = {}
        self.finished = [False] * n
        self.rows = len(next(iter(X.values()))) if X else 0
        self.digest = data_digest(X, Y)
        self.checkpoint = Checkpoint(checkpoint, self.graphs, self.digest, epochs) if checkpoint else None
        self.first_seen: Dict[str, Dict[Any, int]] = {}
        restored = 0
        if self.checkpoint is not None:
            found = self.checkpoint.found()
            for i, key in enumerate(self.checkpoint.keys):
                if key in found:
                    self.accept(i, found[key], same_hashes=False)
                    restored += 1
            if restored:
                log.info("%d of %d graphs restored from the checkpoint", restored, n)
        self.progress = Progress(n, restored, progress, "vesk." + mode)

    # Results ----------------------------------------------------------------

    def accept(self, i: int, result: Any, same_hashes: bool = True) -> None:
        if self.mode == "train" and not same_hashes:
            self.refile(self.graphs[i], result)
        self.results[i] = result
        self.finished[i] = True

    def fail(self, i: int, error: BaseException) -> None:
        self.failed[i] = error
        self.finished[i] = True

    def fail_all(self, indices: List[int], error: BaseException) -> None:
        for i in indices:
            self.fail(i, error)
        self.progress.update(len(indices))

    def answered(self, indices: List[int], out: List[Tuple[bool, Any]], same_hashes: bool) -> None:
        """A worker's answer for a bundle: per graph (True, bytes) or
        (False, error)."""
        ok: List[int] = []
        for i, (success, payload) in zip(indices, out):
            if not success:
                self.fail(i, remote_error(payload))
            elif self.mode == "train":
                self.accept(i, pickle.loads(payload), same_hashes)
                ok.append(i)
            else:
                self.accept(i, np.ndarray((len(payload) // 4,), np.float32, payload).copy())
        self.progress.update(len(indices))
        if self.checkpoint is not None and ok:
            self.checkpoint.write(ok, [self.results[i] for i in ok])

    def _first_seen(self, name: str) -> Dict[Any, int]:
        if name not in self.first_seen:
            column = self.X.get(name)
            seen: Dict[Any, int] = {}
            values = [] if column is None else (list(column) if column.dtype.hasobject else column.tolist())
            for row, value in enumerate(values):
                try:
                    seen.setdefault(category(value), row)
                except TypeError:
                    break
            self.first_seen[name] = seen
        return self.first_seen[name]

    def refile(self, original: _vesk.Graph, trained: _vesk.Graph) -> None:
        """Files the categories of a graph trained in another process as
        training here files them: the original's, in its order, then the new
        ones in the order the column shows them first (a category map lists
        its buckets by this process's hashes, newest first)."""
        for x, source in zip(trained, original):
            if x is None or x.type != "cat":
                continue
            pairs = x.state.categories
            if all(type(k) in STABLE_KEYS for k, _ in pairs):
                continue
            before = source.state.categories if source is not None and source.type == "cat" else []
            if not before and all(type(k) is str for k, _ in pairs):
                # Each str its own category: the pairs in the order the
                # column first shows them (restoring a checkpoint pays this
                # for every graph).
                seen = self._first_seen(x.name)
                last = len(seen)
                x.state.categories = sorted(pairs, key=lambda p: seen.get(p[0], last))
                continue
            by_key = {category(k): (k, w) for k, w in pairs}
            order = list(dict.fromkeys(category(k) for k, _ in reversed(before)))
            known = set(order)
            seen = self._first_seen(x.name)
            order += sorted((c for c in by_key if c not in known), key=lambda c: seen.get(c, len(seen)))
            x.state.categories = [by_key[c] for c in order if c in by_key]

    # In this process ----------------------------------------------------------

    def run_here(self) -> None:
        todo = [i for i in range(len(self.graphs)) if not self.finished[i]]
        batch: List[int] = []
        flushed = time.monotonic()
        for i in todo:
            try:
                g = copy.deepcopy(self.graphs[i])
                if self.mode == "train":
                    for _ in range(self.epochs):
                        g._query(self.X, self.Y)
                    self.accept(i, g)
                    batch.append(i)
                else:
                    self.accept(i, g._query(self.X))
            except Exception as e:
                self.fail(i, e)
            self.progress.update(1)
            if self.checkpoint is not None and batch and (time.monotonic() - flushed > 0.5 or i == todo[-1]):
                self.checkpoint.write(batch, [self.results[j] for j in batch])
                batch, flushed = [], time.monotonic()

    # The outcome ----------------------------------------------------------------

    def outcome(self) -> List[Any]:
        self.progress.close()
        if not self.failed:
            return self.results
        first = min(self.failed)
        if self.errors == "raise":
            error = self.failed[first]
            raise TrainingError("%d of %d graphs failed; graph %d: %s: %s" % (
                len(self.failed), len(self.graphs), first, type(error).__name__, error),
                self.results, dict(self.failed)) from error
        if self.errors == "return":
            return [self.failed.get(i, r) for i, r in enumerate(self.results)]
        return self.results
