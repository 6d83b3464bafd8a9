"""Where tasks run: the package's own process pool, a concurrent.futures
executor of the caller's, or a dask.distributed client. Each backend
submits a bundle's bytes, reports how each task ended, and answers the
scheduler's questions about its workers without waiting on them."""
import atexit
import concurrent.futures as cf
import concurrent.futures.process  # noqa: F401  (its exit hook is registered before the package's)
import logging
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from typing import Any, Callable, Dict, List, Optional, Set

import _vesk

from . import _worker
from ._errors import NoWorkerError
from ._schedule import FAILED, LOST_WITH_WORKER, REPLACED

log = logging.getLogger("vesk")

Report = Callable[[bool, Any], None]

# The client's own fingerprint, made in a child interpreter of the same
# executable: making it here would draw from this process's rand().
_client_fingerprint: Optional[str] = None


def start_fingerprint() -> Optional["subprocess.Popen[bytes]"]:
    if _client_fingerprint is not None:
        return None
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(_worker.__file__))),
             os.path.dirname(os.path.abspath(_vesk.__file__))]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.Popen([sys.executable, "-m", "vesk._worker"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)


def finish_fingerprint(child: Optional["subprocess.Popen[bytes]"]) -> str:
    global _client_fingerprint
    if _client_fingerprint is None:
        out: List[bytes] = []
        if child is not None:
            try:
                out = child.communicate(timeout=120)[0].split()
            except subprocess.TimeoutExpired:
                child.kill()
                child.communicate()
        if child is None or child.returncode != 0 or len(out) != 2:
            log.warning("the fingerprint of this process is made here (the child interpreter failed)")
            _client_fingerprint = _worker.fingerprint()
        else:
            _client_fingerprint = out[0].decode()
        # Tasks on threads of this process (a thread pool, a threads-based
        # cluster) take it as theirs.
        if _worker._fingerprint is None:
            _worker._fingerprint = _client_fingerprint
    return _client_fingerprint


def is_dask_client(executor: Any) -> bool:
    kind = type(executor)
    return kind.__module__.split(".")[0] == "distributed" and hasattr(executor, "scheduler_info")


def pool_size(executor: Any) -> int:
    if executor == "processes":
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if isinstance(executor, int) and not isinstance(executor, bool) and executor > 0:
        return executor
    raise ValueError("executor must be None, 'processes', a worker count, a concurrent.futures executor or a "
                     "dask.distributed Client, not %r" % (executor,))


class Backend:
    def workers(self) -> int:
        raise NotImplementedError

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        raise NotImplementedError

    def watch(self, future: Any, report: Report, limit: float) -> None:
        """Calls report(True, answer bytes) or report(False, exception) once
        the future has ended."""

        def done(f: Any) -> None:
            try:
                value = f.result()
            except BaseException as e:
                report(False, e)
            else:
                report(True, value)

        future.add_done_callback(done)

    def classify(self, future: Any, error: BaseException) -> str:
        return FAILED

    def is_broken(self, error: BaseException) -> bool:
        """True when the executor cannot run tasks again."""
        return False

    def renewed(self, error: BaseException) -> bool:
        """After submit raised error: True when the backend can take the
        task again."""
        return False

    def replace_overdue(self, futures: List[Any], graphs: int, expected: float) -> bool:
        """True when the processes running these futures were ended and
        replaced, or are being (their tasks then fail as replaced)."""
        return False

    def running_on(self, future: Any) -> Optional[str]:
        return None

    def cancel(self, futures: List[Any]) -> None:
        for f in futures:
            f.cancel()

    def close(self) -> None:
        pass


# Pools the package owns, by worker count: kept for the next call, so that
# starting the processes is paid once.
_pools: Dict[int, cf.ProcessPoolExecutor] = {}
# Tries at starting a pool, and the bound on its first process coming up.
START_ATTEMPTS, START_SECONDS = 3, 300.0
# What a new pool runs first, to see that its processes start.
START: Callable[[], Any] = _worker.where
# Bound on joining the thread of a pool whose processes were ended.
END_SECONDS = 10.0


def _end_pool(pool: cf.ProcessPoolExecutor) -> List[Optional[int]]:
    """Ends a pool's processes at once and lets it go; their exit codes.
    SIGKILL: a stopped process keeps a SIGTERM pending, and the pool's
    thread would join it for good."""
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for p in processes:
        try:
            os.kill(p.pid, signal.SIGKILL)
        except (OSError, TypeError):
            pass
    pool.shutdown(wait=False)
    thread = getattr(pool, "_executor_manager_thread", None) or getattr(pool, "_queue_management_thread", None)
    if thread is not None:
        # Joined: Python 3.8 wakes the threads of every pool at exit, and
        # fails on one shut down but not yet gone.
        thread.join(END_SECONDS)
    codes = []
    for p in processes:
        p.join(END_SECONDS)
        codes.append(p.exitcode)
    return codes


def _end_pools_at_exit() -> None:
    # Runs before concurrent.futures' own exit hook, which joins every
    # process: one frozen, or running a task that never ends, would hold
    # the interpreter's exit for good.
    for count in list(_pools):
        _end_pool(_pools.pop(count))


if hasattr(threading, "_register_atexit"):  # Python 3.9 on; its hooks run last registered first
    threading._register_atexit(_end_pools_at_exit)
else:  # pragma: no cover
    atexit.register(_end_pools_at_exit)


def _how(code: Optional[int]) -> str:
    if code is None:
        return "still running"
    if code < 0:
        try:
            return "killed by %s" % signal.Signals(-code).name
        except ValueError:
            return "killed by signal %d" % -code
    return "exit code %d" % code


def _new_pool(workers: int) -> cf.ProcessPoolExecutor:
    import multiprocessing

    outcomes: List[str] = []
    errors: Set[int] = set()
    for _ in range(START_ATTEMPTS):
        # forkserver: no fork of a process that runs threads (a client's, a
        # progress bar's), and a fresh process when one is replaced. Each
        # process watches this one, and ends soon after it.
        pool = cf.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver"),
                                      initializer=_worker.watch_client, initargs=(os.getpid(),))
        try:
            pool.submit(START).result(timeout=START_SECONDS)
        except cf.TimeoutError:  # its own class before Python 3.11
            _end_pool(pool)
            outcomes.append("no process came up within %g s" % START_SECONDS)
            continue
        except cf.BrokenExecutor:
            codes = [c for c in _end_pool(pool) if c != 0]
            errors.update(c for c in codes if c is not None and c > 0)
            outcomes.append("a process died as it started (%s)" % ", ".join(_how(c) for c in codes or [None]))
            continue
        _pools[workers] = pool
        if outcomes:
            log.warning("the package's process pool started at the attempt %d of %d (%s)", len(outcomes) + 1,
                        START_ATTEMPTS, "; ".join(outcomes))
        return pool
    hint = ""
    if errors:  # an error in a process, not a signal from outside
        hint = (" (a program's main module that starts its work without the `if __name__ == \"__main__\":` guard "
                "fails so)")
    raise RuntimeError("the package's process pool could not start its processes in %d attempts: %s%s"
                       % (START_ATTEMPTS, "; ".join(outcomes), hint))


class DataFile:
    """The data as a file in a private folder, which a worker reads once."""

    def __init__(self, blob: bytes, digest: str) -> None:
        self.folder = tempfile.mkdtemp(prefix="vesk-data-")
        self.path = os.path.join(self.folder, digest + ".pickle")
        with open(self.path, "wb") as f:
            f.write(blob)

    def close(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)


class PoolBackend(Backend):
    """The package's own process pool: a broken pool is replaced, and the
    new processes read the data file again. A task past its deadline is
    not copied beside its process: the pool's processes are ended and
    replaced, so that none stays frozen or busy for good."""

    def __init__(self, count: int, blob: bytes, digest: str) -> None:
        self.count = count
        self.blob = blob
        self.pool = _pools.get(count) or _new_pool(count)
        self.file = DataFile(blob, digest)
        self.generation = 0
        self.born: "weakref.WeakKeyDictionary[Any, int]" = weakref.WeakKeyDictionary()
        self.replaced: Set[int] = set()  # generations ended here on purpose

    def workers(self) -> int:
        return self.count

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        # The file serves every process; the bytes go along only should it be gone.
        data = self.blob if inline and not os.path.exists(self.file.path) else None
        future = self.pool.submit(_worker.run_task, blob, data, self.file.path)
        self.born[future] = self.generation
        return future

    def classify(self, future: Any, error: BaseException) -> str:
        if not isinstance(error, cf.BrokenExecutor):
            return FAILED
        if self.born.get(future) in self.replaced:
            return REPLACED
        # Every task in flight fails with the pool: the first failure
        # replaces it, the others find the new one sound.
        self.renewed(error)
        return LOST_WITH_WORKER

    def renewed(self, error: BaseException) -> bool:
        if not isinstance(error, (cf.BrokenExecutor, RuntimeError)):
            return False
        if getattr(self.pool, "_broken", False) or getattr(self.pool, "_shutdown_thread", False):
            log.warning("a process of the pool died (%s); starting a new pool", error)
            self._renew()
        return True

    def replace_overdue(self, futures: List[Any], graphs: int, expected: float) -> bool:
        if not any(self.born.get(f) == self.generation and not f.done() for f in futures):
            return True  # their pool was replaced already; they fail as replaced
        log.warning("a task of %d graphs is overdue (%.0f ms of work expected); the pool's processes are ended and "
                    "replaced", graphs, expected * 1e3)
        self.replaced.add(self.generation)
        self._renew()
        return True

    def _renew(self) -> None:
        if _pools.get(self.count) is self.pool:
            del _pools[self.count]
        _end_pool(self.pool)
        self.generation += 1
        self.pool = _new_pool(self.count)

    def close(self) -> None:
        self.file.close()


class ExecutorBackend(Backend):
    """A concurrent.futures executor of the caller's. Its workers read the
    data file when they can (processes on this machine), else are sent the
    data with a task."""

    def __init__(self, executor: cf.Executor, blob: bytes, digest: str) -> None:
        self.executor = executor
        self.blob = blob
        self.file = DataFile(blob, digest)

    def workers(self) -> int:
        return int(getattr(self.executor, "_max_workers", None) or os.cpu_count() or 1)

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        return self.executor.submit(_worker.run_task, blob, self.blob if inline else None, self.file.path)

    def is_broken(self, error: BaseException) -> bool:
        # A broken pool of the caller's cannot be replaced here.
        return isinstance(error, cf.BrokenExecutor)

    def close(self) -> None:
        self.file.close()


class FetchTimeout(TimeoutError):
    """The result of a finished task did not arrive in time (its worker
    died or froze after finishing it)."""


# Errors of a task whose worker died under it (dask's names: the package
# does not import dask).
LOST_NAMES = ("KilledWorker", "CommClosedError", "StreamClosedError")
# How often the watch asks the scheduler about the workers, and how old its
# last answer may be before the workers count as gone.
WATCH_SECONDS, STALE_SECONDS = 0.5, 10.0


class DaskBackend(Backend):
    """A dask.distributed client. The data is sent with the first tasks and
    to any worker that answers that it has not got it; the client keeps it,
    so losing every worker that held it loses nothing. Whatever waits on
    the scheduler or a worker runs on threads of its own: a thread that
    asks about the workers, and one per finished task that fetches its
    result within its deadline."""

    def __init__(self, client: Any, blob: bytes, worker_timeout: float) -> None:
        self.client = client
        self.blob = blob
        self.worker_timeout = worker_timeout
        try:
            client.wait_for_workers(1, timeout=worker_timeout)
        except Exception as e:  # dask's own TimeoutError (asyncio's before 3.11)
            if "imeout" not in type(e).__name__:
                raise
            raise NoWorkerError("no dask worker joined within %g s" % worker_timeout, [], {}) from None
        self.nthreads: Dict[str, int] = {}
        self.processing: Dict[str, Set[str]] = {}
        self.heard = time.monotonic()
        self.stop = threading.Event()
        answered = threading.Event()
        threading.Thread(target=self.watch_workers, args=(answered,), name="vesk-dask-watch", daemon=True).start()
        answered.wait(worker_timeout)

    def watch_workers(self, answered: threading.Event) -> None:
        while not self.stop.is_set():
            try:
                nthreads = {str(k): int(v) for k, v in self.client.nthreads().items()}
                processing = {str(k): set(v) for k, v in self.client.processing().items()}
                self.nthreads, self.processing, self.heard = nthreads, processing, time.monotonic()
            except Exception as e:  # a closed client, a lost scheduler: the loop sees the answers age
                log.debug("asking the scheduler about its workers failed: %s", e)
            answered.set()
            self.stop.wait(WATCH_SECONDS)

    def workers(self) -> int:
        if time.monotonic() - self.heard > STALE_SECONDS:
            return 0
        return sum(self.nthreads.values())

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        # No retries of dask's: a bundle lost with its worker comes back to
        # the scheduler, which halves it until the graph that kills is alone.
        options: Dict[str, Any] = {"retries": 0}
        if avoid is not None:
            others = [w for w in self.nthreads if w != avoid]
            if others:
                options.update(workers=others, allow_other_workers=False)
        return self.client.submit(_worker.run_task, blob, self.blob if inline else None, None, pure=False,
                                  **options)

    def watch(self, future: Any, report: Report, limit: float) -> None:
        # The task's deadline sends a copy meanwhile: this bound only ends
        # the thread of a fetch that cannot succeed.
        bound = max(limit, self.worker_timeout)

        def fetch() -> None:
            try:
                value = future.result(timeout=bound)
            except BaseException as e:
                if "imeout" in type(e).__name__:
                    e = FetchTimeout("the result of a finished task did not arrive within %g s" % bound)
                ok, value = False, e
            else:
                ok = True
            # Let go of the key at once: a key still held is run again when
            # the worker holding its result dies, and an answer that asked
            # for the data, run again where the data is, would train a graph
            # that kills its worker beside a bundle running alone.
            try:
                future.release()
            except Exception:
                pass
            report(ok, value)

        # dask calls back on one thread of its own: the fetch, which waits on
        # the worker holding the result, goes to a thread of its own.
        future.add_done_callback(
            lambda f: threading.Thread(target=fetch, name="vesk-dask-fetch", daemon=True).start())

    def classify(self, future: Any, error: BaseException) -> str:
        if type(error).__name__ in LOST_NAMES:
            return LOST_WITH_WORKER
        return FAILED

    def cancel(self, futures: List[Any]) -> None:
        # Cancelling asks the scheduler and waits for its answer.
        threading.Thread(target=self.client.cancel, args=(futures,), name="vesk-dask-cancel", daemon=True).start()

    def running_on(self, future: Any) -> Optional[str]:
        for address, keys in self.processing.items():
            if future.key in keys:
                return address
        return None

    def close(self) -> None:
        self.stop.set()


def backend_for(executor: Any, blob: bytes, digest: str, worker_timeout: float) -> Backend:
    if is_dask_client(executor):
        return DaskBackend(executor, blob, worker_timeout)
    if isinstance(executor, cf.Executor):
        return ExecutorBackend(executor, blob, digest)
    return PoolBackend(pool_size(executor), blob, digest)
