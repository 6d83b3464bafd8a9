"""Where tasks run: the package's own process pool, a concurrent.futures
executor of the caller's, or a dask.distributed client. Each backend
submits a bundle's bytes, reports how each task ended, and answers the
scheduler's questions about its workers without waiting on them."""
import concurrent.futures as cf
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List, Optional

import _vesk

from . import _worker
from ._errors import NoWorkerError
from ._schedule import FAILED, LOST_WITH_WORKER

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

    def replace_overdue(self, futures: List[Any]) -> bool:
        """True when the processes running these futures were ended and
        replaced (their tasks then fail as replaced)."""
        return False

    def running_on(self, future: Any) -> Optional[str]:
        return None

    def close(self) -> None:
        pass


# Pools the package owns, by worker count: kept for the next call, so that
# starting the processes is paid once. concurrent.futures ends them at exit.
_pools: Dict[int, cf.ProcessPoolExecutor] = {}


def _new_pool(workers: int) -> cf.ProcessPoolExecutor:
    import multiprocessing

    # forkserver: no fork of a process that runs threads (a client's, a
    # progress bar's), and a fresh process when one is replaced.
    pool = cf.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver"))
    try:
        pool.submit(_worker.where).result(timeout=300)
    except cf.TimeoutError:  # its own class before Python 3.11
        pool.shutdown(wait=False)
        raise RuntimeError("the package's process pool did not start a process within 300 s") from None
    except cf.BrokenExecutor:
        pool.shutdown(wait=True)
        raise RuntimeError("the package's process pool cannot start its processes (does the program's main module "
                           "start its work without the `if __name__ == \"__main__\":` guard?)") from None
    _pools[workers] = pool
    return pool


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
    new processes read the data file again."""

    def __init__(self, count: int, blob: bytes, digest: str) -> None:
        self.count = count
        self.blob = blob
        self.file = DataFile(blob, digest)
        self.pool = _pools.get(count) or _new_pool(count)

    def workers(self) -> int:
        return self.count

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        # The file serves every process; the bytes go along only should it be gone.
        data = self.blob if inline and not os.path.exists(self.file.path) else None
        return self.pool.submit(_worker.run_task, blob, data, self.file.path)

    def classify(self, future: Any, error: BaseException) -> str:
        if not isinstance(error, cf.BrokenExecutor):
            return FAILED
        # Every task in flight fails with the pool: the first failure
        # replaces it, the others find the new one sound.
        self.renewed(error)
        return LOST_WITH_WORKER

    def renewed(self, error: BaseException) -> bool:
        if not isinstance(error, cf.BrokenExecutor):
            return False
        if getattr(self.pool, "_broken", False):
            # Its thread is joined: Python 3.8 wakes the threads of every
            # pool at exit, and fails on one shut down but not yet gone.
            self.pool.shutdown(wait=True)
            del _pools[self.count]
            log.warning("a process of the pool died (%s); starting a new pool", error)
            self.pool = _new_pool(self.count)
        return True

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


class DaskBackend(Backend):
    """A dask.distributed client. The data is sent with the first tasks and
    to any worker that answers that it has not got it; the client keeps it,
    so losing every worker that held it loses nothing."""

    def __init__(self, client: Any, blob: bytes, worker_timeout: float) -> None:
        self.client = client
        self.blob = blob
        self.count = 0
        self.checked = 0.0
        try:
            client.wait_for_workers(1, timeout=worker_timeout)
        except Exception as e:  # dask's own TimeoutError (asyncio's before 3.11)
            if "imeout" not in type(e).__name__:
                raise
            raise NoWorkerError("no dask worker joined within %g s" % worker_timeout, [], {}) from None

    def workers(self) -> int:
        now = time.monotonic()
        if now - self.checked > 1.0:
            self.count = sum(self.client.nthreads().values())
            self.checked = now
        return self.count

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        options: Dict[str, Any] = {}
        if avoid is not None:
            others = [w for w in self.client.nthreads() if w != avoid]
            if others:
                options = {"workers": others, "allow_other_workers": False}
        return self.client.submit(_worker.run_task, blob, self.blob if inline else None, None, pure=False,
                                  **options)

    def running_on(self, future: Any) -> Optional[str]:
        for address, keys in self.client.processing().items():
            if future.key in keys:
                return str(address)
        return None


def backend_for(executor: Any, blob: bytes, digest: str, worker_timeout: float) -> Backend:
    if is_dask_client(executor):
        return DaskBackend(executor, blob, worker_timeout)
    if isinstance(executor, cf.Executor):
        return ExecutorBackend(executor, blob, digest)
    return PoolBackend(pool_size(executor), blob, digest)
