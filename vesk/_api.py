"""vesk.train and vesk.predict.

Every graph is worked on as its own copy: a deep copy here, or its pickle
sent to a worker, so the caller's graphs never change and a task that runs
twice trains fresh copies. Results come back as they complete; the
scheduler sizes bundles from what the workers report, resends lost work,
and the run puts each result in the form training here would have given it.
"""
import concurrent.futures as cf
import pickle
from typing import Any, Iterable, List, Literal, Mapping, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

import _vesk

from . import _backends, _data
from ._errors import TrainingError, WorkerMismatchError
from ._run import PROTOCOL, Run
from ._schedule import Scheduler

# What X may be: a dict of columns by register name, or a pandas DataFrame.
Data = Any
Floats = npt.NDArray[np.float32]


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


# The results' types by what was given (one graph or many) and by
# `errors`: "raise" gives only results, "skip" None for a failed graph,
# "return" its exception.
@overload
def train(graphs: _vesk.Graph, X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["raise"] = ..., progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ..., task_timeout: Optional[float] = ...) -> _vesk.Graph: ...
@overload
def train(graphs: _vesk.Graph, X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["skip"], progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ...,
          task_timeout: Optional[float] = ...) -> Optional[_vesk.Graph]: ...
@overload
def train(graphs: _vesk.Graph, X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["return"], progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ...,
          task_timeout: Optional[float] = ...) -> Union[_vesk.Graph, BaseException]: ...
@overload
def train(graphs: Iterable[_vesk.Graph], X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["raise"] = ..., progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ...,
          task_timeout: Optional[float] = ...) -> List[_vesk.Graph]: ...
@overload
def train(graphs: Iterable[_vesk.Graph], X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["skip"], progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ...,
          task_timeout: Optional[float] = ...) -> List[Optional[_vesk.Graph]]: ...
@overload
def train(graphs: Iterable[_vesk.Graph], X: Data, Y: Any, *, epochs: int = ..., executor: Any = ...,
          errors: Literal["return"], progress: Optional[bool] = ..., checkpoint: Optional[str] = ...,
          retries: int = ..., worker_timeout: float = ...,
          task_timeout: Optional[float] = ...) -> List[Union[_vesk.Graph, BaseException]]: ...
@overload
def train(graphs: Any, X: Data, Y: Any, *, epochs: int = ..., executor: Any = ..., errors: str = ...,
          progress: Optional[bool] = ..., checkpoint: Optional[str] = ..., retries: int = ...,
          worker_timeout: float = ..., task_timeout: Optional[float] = ...) -> Any: ...


def train(graphs: Any, X: Data, Y: Any, *, epochs: int = 1, executor: Any = None,
          errors: str = "raise", progress: Optional[bool] = None, checkpoint: Optional[str] = None,
          retries: int = 2, worker_timeout: float = 60.0, task_timeout: Optional[float] = None) -> Any:
    """Trains a copy of each graph: `epochs` successive ``_query(X, Y)``
    calls, bit for bit as training a deep copy here, and returns the copies
    in input order (one graph given: its copy alone). The graphs given never
    change; an interaction that two of them share is trained once per graph,
    on each graph's own copy.

    X: a dict of columns by register name (numpy arrays, pandas Series or
    lists) or a pandas DataFrame; Y an array, a Series or a list. Both are
    converted once, here, and checked against the graphs' input registers
    before any work is sent.
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
    population, single = _data.population(graphs)
    X, Y = _data.prepare(population, X, Y)
    out = _run("train", population, X, Y, epochs, executor, errors, progress, checkpoint, retries, worker_timeout,
               task_timeout)
    return out[0] if single else out


@overload
def predict(graphs: _vesk.Graph, X: Data, *, executor: Any = ..., errors: Literal["raise"] = ...,
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> Floats: ...
@overload
def predict(graphs: _vesk.Graph, X: Data, *, executor: Any = ..., errors: Literal["skip"],
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> Optional[Floats]: ...
@overload
def predict(graphs: _vesk.Graph, X: Data, *, executor: Any = ..., errors: Literal["return"],
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> Union[Floats, BaseException]: ...
@overload
def predict(graphs: Iterable[_vesk.Graph], X: Data, *, executor: Any = ..., errors: Literal["raise"] = ...,
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> List[Floats]: ...
@overload
def predict(graphs: Iterable[_vesk.Graph], X: Data, *, executor: Any = ..., errors: Literal["skip"],
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> List[Optional[Floats]]: ...
@overload
def predict(graphs: Iterable[_vesk.Graph], X: Data, *, executor: Any = ..., errors: Literal["return"],
            progress: Optional[bool] = ..., retries: int = ..., worker_timeout: float = ...,
            task_timeout: Optional[float] = ...) -> List[Union[Floats, BaseException]]: ...
@overload
def predict(graphs: Any, X: Data, *, executor: Any = ..., errors: str = ..., progress: Optional[bool] = ...,
            retries: int = ..., worker_timeout: float = ..., task_timeout: Optional[float] = ...) -> Any: ...


def predict(graphs: Any, X: Data, *, executor: Any = None, errors: str = "raise",
            progress: Optional[bool] = None, retries: int = 2, worker_timeout: float = 60.0,
            task_timeout: Optional[float] = None) -> Any:
    """The predictions of each graph for X, a float32 array per graph in
    input order (one graph given: its array alone). Each graph predicts as
    its own copy, so the graphs given keep their feature ranges (a register
    with auto_adapt widens its range to the data it is given). X and the
    options are those of train()."""
    population, single = _data.population(graphs)
    X, _ = _data.prepare(population, X, None)
    out = _run("predict", population, X, None, 1, executor, errors, progress, None, retries, worker_timeout,
               task_timeout)
    return out[0] if single else out
