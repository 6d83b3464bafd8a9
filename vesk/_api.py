"""vesk.train and vesk.predict.

Every graph is worked on as its own copy: a deep copy here, or its pickle
sent to a worker, so the caller's graphs never change and a task that runs
twice trains fresh copies. Results come back as they complete; the
scheduler sizes bundles from what the workers report, resends lost work,
and the run puts each result in the form training here would have given it.
"""
import concurrent.futures as cf
import pickle
from typing import Any, List, Mapping, Optional, Sequence

import _vesk

from . import _backends
from ._errors import TrainingError, WorkerMismatchError
from ._run import PROTOCOL, Run
from ._schedule import Scheduler


def _run_on(run: Run, executor: Any) -> None:
    child = _backends.start_fingerprint()
    blob = pickle.dumps((run.X, run.Y), PROTOCOL)
    try:
        backend = _backends.backend_for(executor, blob, run.digest, run.worker_timeout)
    except BaseException:
        if child is not None:
            child.kill()
            child.wait()
        raise
    try:
        Scheduler(run, backend, _backends.finish_fingerprint(child)).loop()
    finally:
        backend.close()


def _run(mode: str, graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], Y: Any, epochs: int, executor: Any,
         errors: str, progress: Optional[bool], checkpoint: Optional[str], retries: int, worker_timeout: float,
         task_timeout: Optional[float]) -> List[Any]:
    if not (executor is None or _backends.is_dask_client(executor) or isinstance(executor, cf.Executor)):
        _backends.pool_size(executor)
    run = Run(mode, graphs, X, Y, epochs, errors, progress, checkpoint, retries, worker_timeout, task_timeout)
    try:
        if not all(run.finished):
            if executor is None:
                run.run_here()
            else:
                _run_on(run, executor)
    except (TrainingError, WorkerMismatchError):
        raise
    except Exception as e:
        # A lost scheduler, a closed client: what finished is not lost.
        done = sum(run.finished) - len(run.failed)
        raise TrainingError("the run stopped after %d of %d graphs finished: %s: %s"
                            % (done, len(run.graphs), type(e).__name__, e), run.results, dict(run.failed)) from e
    finally:
        run.progress.close()
    return run.outcome()


def train(graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], Y: Any, *, epochs: int = 1, executor: Any = None,
          errors: str = "raise", progress: Optional[bool] = None, checkpoint: Optional[str] = None,
          retries: int = 2, worker_timeout: float = 60.0, task_timeout: Optional[float] = None) -> List[Any]:
    """Trains a copy of each graph: `epochs` successive ``_query(X, Y)``
    calls, bit for bit as training a deep copy here, and returns the copies
    in input order. The graphs given never change; an interaction that two
    of them share is trained once per graph, on each graph's own copy.

    executor: None (this process), "processes" or a worker count (a pool of
    processes the package keeps for later calls), a concurrent.futures
    executor, or a dask.distributed Client.
    errors: a graph whose training fails is reported with its index and
    exception once every other graph finished: "raise" raises TrainingError
    (with every finished result), "skip" puts None in its place, "return"
    its exception.
    progress: a progress bar (tqdm, when installed); None shows one only on
    a terminal.
    checkpoint: a folder for finished graphs; a rerun with the same graphs,
    data and epochs trains only what is missing.
    retries: times a bundle lost to a worker's failure is sent again.
    worker_timeout: seconds without any worker before NoWorkerError.
    task_timeout: seconds after which a task is sent to another worker as
    well (by default ten times its expected time, at least 30 s).
    """
    return _run("train", graphs, X, Y, epochs, executor, errors, progress, checkpoint, retries, worker_timeout,
                task_timeout)


def predict(graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], *, executor: Any = None, errors: str = "raise",
            progress: Optional[bool] = None, retries: int = 2, worker_timeout: float = 60.0,
            task_timeout: Optional[float] = None) -> List[Any]:
    """The predictions of each graph for X, a float32 array per graph in
    input order. Each graph predicts as its own copy, so the graphs given
    keep their feature ranges (a register with auto_adapt widens its range
    to the data it is given). The options are those of train()."""
    return _run("predict", graphs, X, None, 1, executor, errors, progress, None, retries, worker_timeout,
                task_timeout)

