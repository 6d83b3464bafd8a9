"""Training and querying populations of graphs, here or on workers.

Every graph is worked on as its own copy: a deep copy here, or its pickle
sent to a worker, so the caller's graphs never change and a task that runs
twice trains fresh copies. Results come back as they complete; the engine
sizes bundles from what the workers report, resends lost work, and puts
each result in the form training here would have given it.
"""
import collections
import concurrent.futures as cf
import copy
import hashlib
import logging
import math
import os
import pickle
import queue
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Deque, Dict, List, Mapping, Optional, Sequence, Set, Tuple

import numpy as np

import _vesk

from . import _data, _format, _worker
from ._errors import FormatError, NoWorkerError, RemoteError, TrainingError, WorkerMismatchError

log = logging.getLogger("vesk")

PROTOCOL = _worker.PROTOCOL
ERRORS = ("raise", "skip", "return")
# Work per task the bundles aim at, in seconds: tens of milliseconds, and at
# least this many times a task's own cost (the median time of recent tasks
# in flight beyond their work, which includes waiting behind another task).
TASK_SECONDS = (0.02, 0.08)
OVERHEAD_TIMES = 10
# Tasks in flight per worker, and at least this many tasks per worker over
# the rest of the run, so that the workers finish together.
IN_FLIGHT = 2
TASKS_PER_WORKER = 4
# A guess of the work of one graph until workers report: per graph and per
# sample it trains on.
GUESS_GRAPH, GUESS_SAMPLE = 5e-5, 2e-7
# A task that takes this many times its expected time (and at least
# DEADLINE_FLOOR seconds) is sent again to another worker.
DEADLINE_TIMES, DEADLINE_FLOOR = 10.0, 30.0
# Copies of one task in flight at most (the first and those sent after its
# deadlines).
COPIES = 3
TICK = 0.25
# Hash-stable key types: categories of only these list in the same order in
# every process.
STABLE_KEYS = (int, float, bool)


# The client's own fingerprint, made in a child interpreter of the same
# executable: making it here would draw from this process's rand().
_client_fingerprint: Optional[str] = None


def _start_fingerprint() -> Optional["subprocess.Popen[bytes]"]:
    if _client_fingerprint is not None:
        return None
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(_worker.__file__))),
             os.path.dirname(os.path.abspath(_vesk.__file__))]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.Popen([sys.executable, "-m", "vesk._worker"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)


def _finish_fingerprint(child: Optional["subprocess.Popen[bytes]"]) -> str:
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


class _Flight:
    """A bundle in flight: its futures (a first one, and those sent again
    after a deadline), its bytes for sending again, and when it is due."""

    def __init__(self, indices: List[int], attempts: int, isolated: bool, blob: bytes, deadline: float,
                 expected: float) -> None:
        self.indices = indices
        self.attempts = attempts
        self.isolated = isolated
        self.blob = blob
        self.futures: Dict[Any, float] = {}  # future -> when it was submitted
        self.deadline = deadline
        self.expected = expected
        self.resolved = False


class _Bundle:
    def __init__(self, indices: List[int], attempts: int = 0, isolated: bool = False) -> None:
        self.indices = indices
        self.attempts = attempts
        self.isolated = isolated


class _Backend:
    shared_fate = False  # a failure fails every task in flight (a broken pool)

    def workers(self) -> int:
        raise NotImplementedError

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        raise NotImplementedError

    def running_on(self, future: Any) -> Optional[str]:
        return None

    def recover(self, error: BaseException) -> bool:
        """After a task failed with error: True when the backend can run
        tasks again."""
        return True


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


class _DataFile:
    """The data as a file in a private folder, which a worker reads once."""

    def __init__(self, blob: bytes, digest: str) -> None:
        self.folder = tempfile.mkdtemp(prefix="vesk-data-")
        self.path = os.path.join(self.folder, digest + ".pickle")
        with open(self.path, "wb") as f:
            f.write(blob)

    def close(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)


class _PoolBackend(_Backend):
    """The package's own process pool: a broken pool is replaced, and the
    new processes read the data file again."""

    shared_fate = True

    def __init__(self, count: int, blob: bytes, digest: str) -> None:
        self.count = count
        self.blob = blob
        self.file = _DataFile(blob, digest)
        self.pool = _pools.get(count) or _new_pool(count)

    def workers(self) -> int:
        return self.count

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        # The file serves every process; the bytes go along only should it be gone.
        data = self.blob if inline and not os.path.exists(self.file.path) else None
        return self.pool.submit(_worker.run_task, blob, data, self.file.path)

    def recover(self, error: BaseException) -> bool:
        # Every task in flight fails with the pool: the first failure
        # replaces it, the others find the new one sound.
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


class _ExecutorBackend(_Backend):
    """A concurrent.futures executor of the caller's. Its workers read the
    data file when they can (processes on this machine), else are sent the
    data with a task."""

    shared_fate = True

    def __init__(self, executor: cf.Executor, blob: bytes, digest: str) -> None:
        self.executor = executor
        self.blob = blob
        self.file = _DataFile(blob, digest)

    def workers(self) -> int:
        return int(getattr(self.executor, "_max_workers", None) or os.cpu_count() or 1)

    def submit(self, blob: bytes, inline: bool, avoid: Optional[str]) -> Any:
        return self.executor.submit(_worker.run_task, blob, self.blob if inline else None, self.file.path)

    def recover(self, error: BaseException) -> bool:
        # A broken pool of the caller's cannot be replaced here.
        return not isinstance(error, cf.BrokenExecutor)

    def close(self) -> None:
        self.file.close()


class _DaskBackend(_Backend):
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


def _is_dask_client(executor: Any) -> bool:
    kind = type(executor)
    return kind.__module__.split(".")[0] == "distributed" and hasattr(executor, "scheduler_info")


class _Progress:
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


class _Checkpoint:
    """Finished graphs in a folder, one file per finished bundle in the
    graph file format, found again by the digests of what decides their
    result: the graph, the data and the epochs."""

    def __init__(self, folder: str, graphs: Sequence[_vesk.Graph], data: str, epochs: int) -> None:
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.keys = []
        for n, g in enumerate(graphs):
            if type(g) is not _vesk.Graph:
                raise TypeError("graph %d is a %s: a checkpoint holds plain _vesk.Graph objects only"
                                % (n, type(g).__qualname__))
            graph_digest = _format.digest(g)  # refuses what the file cannot hold, naming it
            self.keys.append(hashlib.sha256(("%s %s %d" % (graph_digest, data, epochs)).encode()).hexdigest())

    def found(self) -> Dict[str, bytes]:
        """The saved graphs this run needs, as one-graph files by key."""
        wanted = set(self.keys)
        found: Dict[str, bytes] = {}
        for name in sorted(os.listdir(self.folder)):
            if not name.endswith(".vesk"):
                continue
            try:
                with open(os.path.join(self.folder, name), "rb") as f:
                    graphs, meta = _format.loads(f.read())
                keys = meta["keys"] if isinstance(meta, dict) else None
                if not isinstance(keys, list) or len(keys) != len(graphs):
                    raise FormatError("no keys")
            except (OSError, ValueError, KeyError) as e:
                log.warning("checkpoint file %s skipped: %s", name, e)
                continue
            for key, g in zip(keys, graphs):
                if key in wanted:
                    found[key] = pickle.dumps(g, PROTOCOL)
        return found

    def write(self, indices: List[int], graphs: List[_vesk.Graph]) -> None:
        keys = [self.keys[i] for i in indices]
        name = hashlib.sha256(" ".join(keys).encode()).hexdigest()[:40] + ".vesk"
        _format.write_atomic(os.path.join(self.folder, name), _format.dumps(graphs, meta={"keys": keys}))


class _Run:
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
        self.checkpoint = _Checkpoint(checkpoint, self.graphs, self.digest, epochs) if checkpoint else None
        self.first_seen: Dict[str, Dict[int, int]] = {}
        self.same_hashes = True  # results come from processes that list str categories as this one
        restored = 0
        if self.checkpoint is not None:
            found = self.checkpoint.found()
            for i, key in enumerate(self.checkpoint.keys):
                if key in found:
                    self._accept(i, pickle.loads(found[key]), same_hashes=False)
                    restored += 1
            if restored:
                log.info("%d of %d graphs restored from the checkpoint", restored, n)
        self.progress = _Progress(n, restored, progress, "vesk." + mode)

    # Results ----------------------------------------------------------------

    def _accept(self, i: int, result: Any, same_hashes: bool = True) -> None:
        if self.mode == "train" and not same_hashes:
            self._refile(self.graphs[i], result)
        self.results[i] = result
        self.finished[i] = True

    def _fail(self, i: int, error: BaseException) -> None:
        self.failed[i] = error
        self.finished[i] = True

    def _key_hash(self, key: Any) -> int:
        return 0 if isinstance(key, float) and key != key else hash(key)

    def _first_seen(self, name: str) -> Dict[int, int]:
        if name not in self.first_seen:
            column = self.X.get(name)
            seen: Dict[int, int] = {}
            values = [] if column is None else (list(column) if column.dtype.hasobject else column.tolist())
            for row, value in enumerate(values):
                try:
                    seen.setdefault(self._key_hash(value), row)
                except TypeError:
                    break
            self.first_seen[name] = seen
        return self.first_seen[name]

    def _refile(self, original: _vesk.Graph, trained: _vesk.Graph) -> None:
        """Files the categories of a graph trained in another process as
        training here files them: the original's, in its order, then the new
        ones in the order the column shows them first (a category map lists
        its buckets by this process's hashes, newest first)."""
        for slot in range(len(trained)):
            x = trained[slot]
            if x is None or x.type != "cat":
                continue
            pairs = x.state.categories
            if all(type(k) in STABLE_KEYS for k, _ in pairs):
                continue
            source = original[slot]
            before = source.state.categories if source is not None and source.type == "cat" else []
            by_hash = {self._key_hash(k): (k, w) for k, w in pairs}
            order = [self._key_hash(k) for k, _ in reversed(before)]
            known = set(order)
            seen = self._first_seen(x.name)
            order += sorted((h for h in by_hash if h not in known), key=lambda h: seen.get(h, len(seen)))
            x.state.categories = [by_hash[h] for h in order if h in by_hash]

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
                    self._accept(i, g)
                    batch.append(i)
                else:
                    self._accept(i, g._query(self.X))
            except Exception as e:
                self._fail(i, e)
            self.progress.update(1)
            if self.checkpoint is not None and batch and (time.monotonic() - flushed > 0.5 or i == todo[-1]):
                self.checkpoint.write(batch, [self.results[j] for j in batch])
                batch, flushed = [], time.monotonic()

    # On workers ---------------------------------------------------------------

    def run_on(self, executor: Any) -> None:
        child = _start_fingerprint()
        blob = pickle.dumps((self.X, self.Y), PROTOCOL)
        backend: _Backend
        try:
            if _is_dask_client(executor):
                backend = _DaskBackend(executor, blob, self.worker_timeout)
            elif isinstance(executor, cf.Executor):
                backend = _ExecutorBackend(executor, blob, self.digest)
            else:
                backend = _PoolBackend(_pool_size(executor), blob, self.digest)
        except BaseException:
            if child is not None:
                child.kill()
            raise
        try:
            self._schedule(backend, _finish_fingerprint(child))
        finally:
            backend.close()

    def _schedule(self, backend: _Backend, fingerprint: str) -> None:
        done: "queue.Queue[Tuple[_Flight, Any]]" = queue.Queue()
        todo: Deque[int] = collections.deque(i for i in range(len(self.graphs)) if not self.finished[i])
        retry: Deque[_Bundle] = collections.deque()
        flights: Set[_Flight] = set()
        samples = max(1, self.rows * (self.epochs if self.mode == "train" else 1))
        per_graph = GUESS_GRAPH + GUESS_SAMPLE * samples
        measured = [0.0, 0]  # seconds of work and graphs that workers reported
        overheads: Deque[float] = collections.deque(maxlen=20)
        inline = backend.workers() or 1  # tasks that carry the data, one a worker at first
        verified: Set[str] = set()
        no_worker_since: Optional[float] = None
        broken: List[BaseException] = []  # the failure of an executor that cannot run tasks again

        def submit(flight: _Flight, avoid: Optional[str] = None, with_data: bool = False) -> None:
            nonlocal inline
            with_data = with_data or inline > 0
            inline -= 1
            try:
                future = backend.submit(flight.blob, with_data, avoid)
            except cf.BrokenExecutor as e:  # broken before the failure of its tasks came in
                if not backend.recover(e):
                    raise
                future = backend.submit(flight.blob, with_data, avoid)
            flight.futures[future] = time.monotonic()
            future.add_done_callback(lambda f: done.put((flight, f)))

        def start(bundle: _Bundle) -> None:
            blobs = []
            for i in bundle.indices:
                try:
                    blobs.append(pickle.dumps(self.graphs[i], PROTOCOL))
                except Exception as e:  # linkdata that does not pickle
                    self._fail(i, e)
                    self.progress.update(1)
            keep = [i for i in bundle.indices if not self.finished[i]]
            if not keep:
                return
            blob = pickle.dumps((self.mode, self.digest, self.epochs, blobs), PROTOCOL)
            expected = per_graph * len(keep)
            limit = self.task_timeout or max(DEADLINE_FLOOR, DEADLINE_TIMES * expected)
            flight = _Flight(keep, bundle.attempts, bundle.isolated, blob, time.monotonic() + limit, expected)
            flights.add(flight)
            submit(flight)

        def next_bundle(workers: int) -> Optional[_Bundle]:
            if retry:
                return retry.popleft()
            if not todo:
                return None
            overhead = sorted(overheads)[len(overheads) // 2] if overheads else 0.002
            target = min(max(TASK_SECONDS[0], OVERHEAD_TIMES * overhead), TASK_SECONDS[1])
            balance = math.ceil(len(todo) / (workers * TASKS_PER_WORKER))
            # Bundles shrink towards the end for balance, but not below a
            # task's own cost in work.
            floor = int(overhead / per_graph) if overheads else 1
            size = max(1, min(int(target / per_graph), max(balance, floor)))
            return _Bundle([todo.popleft() for _ in range(min(size, len(todo)))])

        def fill() -> None:
            workers = max(backend.workers(), 1)
            while len(flights) < IN_FLIGHT * workers:
                if any(f.isolated for f in flights):
                    return  # a suspect runs alone
                if retry and retry[0].isolated and flights:
                    return
                bundle = next_bundle(workers)
                if bundle is None:
                    return
                start(bundle)

        def lost(flight: _Flight, error: BaseException) -> None:
            """A bundle whose every future failed: sent again, alone after a
            failure that took the other tasks with it (so a graph that kills
            its worker is found), halved until the graph is found."""
            flights.discard(flight)
            flight.resolved = True
            alone = backend.shared_fate and isinstance(error, cf.BrokenExecutor)
            if alone and flight.isolated and len(flight.indices) > 1:
                half = len(flight.indices) // 2
                for part in (flight.indices[:half], flight.indices[half:]):
                    retry.appendleft(_Bundle(part, flight.attempts, True))
                return
            if flight.attempts >= self.retries:
                for i in flight.indices:
                    self._fail(i, error)
                self.progress.update(len(flight.indices))
                return
            log.info("resending %d graphs after %s: %s", len(flight.indices), type(error).__name__, error)
            retry.append(_Bundle(flight.indices, flight.attempts + 1, alone))

        def finished(flight: _Flight, future: Any) -> None:
            nonlocal per_graph
            submitted = flight.futures.pop(future, None)
            if flight.resolved or submitted is None:
                return
            try:
                answer = pickle.loads(future.result())
            except BaseException as e:
                if isinstance(e, (KeyboardInterrupt, SystemExit)):
                    raise
                if not backend.recover(e):
                    for f in list(flights):
                        lost_for_good(f, e)
                    broken.append(e)
                    return
                if not flight.futures:
                    lost(flight, e)
                return
            if answer.get(_worker.NEED_DATA):
                submit(flight, with_data=True)
                return
            where = answer["where"]
            if answer["fingerprint"] != fingerprint:
                raise WorkerMismatchError(
                    "worker %s computes float32 math functions differently from this process (fingerprint %s, "
                    "here %s): its results would not be the same bits as training here; leave it out"
                    % (where, answer["fingerprint"], fingerprint), self.results)
            verified.add(where)
            flight.resolved = True
            flights.discard(flight)
            for other in flight.futures:
                other.cancel()
            flight.futures.clear()
            flight.blob = b""
            overheads.append(max(time.monotonic() - submitted - answer["seconds"], 0.0))
            log.debug("%d graphs on %s: %.1f ms of work, %.1f ms in flight", len(flight.indices), where,
                      answer["seconds"] * 1e3, (time.monotonic() - submitted) * 1e3)
            measured[0] += answer["seconds"]
            measured[1] += len(flight.indices)
            per_graph = measured[0] / measured[1]
            same = answer["hash_probe"] == _worker.hash_probe()
            ok: List[int] = []
            for i, (success, payload) in zip(flight.indices, answer["out"]):
                if not success:
                    self._fail(i, _remote_error(payload))
                elif self.mode == "train":
                    self._accept(i, pickle.loads(payload), same)
                    ok.append(i)
                else:
                    self._accept(i, np.ndarray((len(payload) // 4,), np.float32, payload).copy())
            self.progress.update(len(flight.indices))
            if self.checkpoint is not None and ok:
                self.checkpoint.write(ok, [self.results[i] for i in ok])

        def lost_for_good(flight: _Flight, error: BaseException) -> None:
            flights.discard(flight)
            flight.resolved = True
            for i in flight.indices:
                self._fail(i, error)
            self.progress.update(len(flight.indices))

        def overdue(now: float) -> None:
            for flight in list(flights):
                if now < flight.deadline or len(flight.futures) >= COPIES:
                    continue
                avoid = None
                for future in flight.futures:
                    avoid = avoid or backend.running_on(future)
                log.warning("a task of %d graphs is overdue (%.0f ms of work expected); sending it again%s",
                            len(flight.indices), flight.expected * 1e3, " elsewhere than " + avoid if avoid else "")
                flight.deadline = now + (self.task_timeout or max(DEADLINE_FLOOR, DEADLINE_TIMES * flight.expected))
                submit(flight, avoid)

        try:
            try:
                fill()
            except cf.BrokenExecutor as e:
                broken.append(e)
            while (flights or retry) and not broken:
                try:
                    flight, future = done.get(timeout=TICK)
                except queue.Empty:
                    now = time.monotonic()
                    if backend.workers() == 0:
                        no_worker_since = no_worker_since or now
                        if now - no_worker_since > self.worker_timeout:
                            error = NoWorkerError("no worker was available for %g s" % self.worker_timeout,
                                                  self.results, dict(self.failed))
                            raise error
                    else:
                        no_worker_since = None
                    overdue(now)
                    fill()
                    continue
                finished(flight, future)
                overdue(time.monotonic())
                if not broken:
                    try:
                        fill()
                    except cf.BrokenExecutor as e:
                        broken.append(e)
            if broken:
                # The finished graphs are kept; the others are reported.
                for flight in list(flights):
                    lost_for_good(flight, broken[0])
                rest = list(todo) + [i for bundle in retry for i in bundle.indices]
                for i in rest:
                    self._fail(i, broken[0])
                self.progress.update(len(rest))
        except BaseException:
            for flight in flights:
                for f in flight.futures:
                    f.cancel()
            raise

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


def _pool_size(executor: Any) -> int:
    if executor == "processes":
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if isinstance(executor, int) and not isinstance(executor, bool) and executor > 0:
        return executor
    raise ValueError("executor must be None, 'processes', a worker count, a concurrent.futures executor or a "
                     "dask.distributed Client, not %r" % (executor,))


def _remote_error(payload: Tuple[str, str, str, Optional[bytes]]) -> BaseException:
    name, message, text, raised = payload
    if raised is not None:
        try:
            error = pickle.loads(raised)
            if isinstance(error, BaseException):
                return error
        except Exception:
            pass
    return RemoteError(name, message, text)


def _run(mode: str, graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], Y: Any, epochs: int, executor: Any,
         errors: str, progress: Optional[bool], checkpoint: Optional[str], retries: int, worker_timeout: float,
         task_timeout: Optional[float]) -> List[Any]:
    if not (executor is None or _is_dask_client(executor) or isinstance(executor, cf.Executor)):
        _pool_size(executor)
    run = _Run(mode, graphs, X, Y, epochs, errors, progress, checkpoint, retries, worker_timeout, task_timeout)
    try:
        if not all(run.finished):
            if executor is None:
                run.run_here()
            else:
                run.run_on(executor)
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
    population, single = _data.population(graphs)
    X, Y = _data.prepare(population, X, Y)
    out = _run("train", population, X, Y, epochs, executor, errors, progress, checkpoint, retries, worker_timeout,
               task_timeout)
    return out[0] if single else out


def predict(graphs: Sequence[_vesk.Graph], X: Mapping[str, Any], *, executor: Any = None, errors: str = "raise",
            progress: Optional[bool] = None, retries: int = 2, worker_timeout: float = 60.0,
            task_timeout: Optional[float] = None) -> List[Any]:
    """The predictions of each graph for X, a float32 array per graph in
    input order. Each graph predicts as its own copy, so the graphs given
    keep their feature ranges (a register with auto_adapt widens its range
    to the data it is given). The options are those of train()."""
    population, single = _data.population(graphs)
    X, _ = _data.prepare(population, X, None)
    out = _run("predict", population, X, None, 1, executor, errors, progress, None, retries, worker_timeout,
               task_timeout)
    return out[0] if single else out

