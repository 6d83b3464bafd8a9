"""The control loop of a run on workers, as a state machine.

A bundle of graphs is sent as a task and becomes a flight: one or more
futures of the same bytes (a first one, and copies sent after its
deadlines). Its ends are events: an answer, or a failure, which the
backend reports from its own threads through `report`; the loop waits for
them with a bound (TICK), so that deadlines and the worker watch are
checked however silent the workers are. No call of the loop waits on a
remote party: the backends fetch results away from it and answer questions
about the workers from what they last heard.

    fill -> in flight -> answered                       (graphs accepted)
                      -> lost with its worker -> suspect, alone -> halved .. one graph -> retried, then reported
                      -> failed otherwise     -> retried, then reported
                      -> past its deadline    -> a copy elsewhere (or its process replaced) -> in flight
    no worker for worker_timeout -> NoWorkerError;  an executor that cannot run tasks again -> broken
"""
import collections
import logging
import math
import pickle
import queue
import time
from typing import Any, Callable, Deque, Dict, List, Optional, Set, Tuple

from . import _worker
from ._errors import NoWorkerError, WorkerMismatchError

log = logging.getLogger("vesk")

PROTOCOL = _worker.PROTOCOL
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
# Copies of one task sent at most (the first and those sent after its
# deadlines): a copy that fails is not replaced by another.
COPIES = 3
TICK = 0.25

# How the backends classify the failure of a task.
LOST_WITH_WORKER = "lost with its worker"  # the worker died under it: the bundle may hold the cause
REPLACED = "replaced"  # the package ended the process on purpose: nothing of the bundle is suspect
FAILED = "failed"


class Bundle:
    def __init__(self, indices: List[int], attempts: int = 0, suspect: bool = False,
                 limit: Optional[float] = None) -> None:
        self.indices = indices
        self.attempts = attempts
        self.suspect = suspect  # runs alone: it was lost with a worker
        self.limit = limit  # seconds to its deadline, once one was set


class Flight:
    """A bundle in flight: its futures (a first one, and those sent again
    after a deadline), its bytes for sending again, and when it is due."""

    def __init__(self, bundle: Bundle, blob: bytes, limit: float, expected: float, now: float) -> None:
        self.indices = bundle.indices
        self.attempts = bundle.attempts
        self.suspect = bundle.suspect
        self.blob = blob
        self.futures: Dict[Any, float] = {}  # future -> when it was submitted
        self.sent = 0
        self.limit = limit
        self.deadline = now + limit
        self.expected = expected
        self.resolved = False

    def bundle(self, attempts: int, suspect: bool, limit: Optional[float] = None) -> Bundle:
        return Bundle(self.indices, attempts, suspect, limit)


class Scheduler:
    """One run's control loop. `run` holds the results (accept, fail,
    progress, checkpoint); `backend` submits tasks and reports their ends
    through `report`."""

    def __init__(self, run: Any, backend: Any, fingerprint: str, clock: Callable[[], float] = time.monotonic) -> None:
        self.run, self.backend, self.fingerprint, self.clock = run, backend, fingerprint, clock
        self.events: "queue.Queue[Tuple[Flight, Any, bool, Any]]" = queue.Queue()
        self.todo: Deque[int] = collections.deque(i for i in range(len(run.graphs)) if not run.finished[i])
        self.retry: Deque[Bundle] = collections.deque()
        self.flights: Set[Flight] = set()
        samples = max(1, run.rows * (run.epochs if run.mode == "train" else 1))
        self.per_graph = GUESS_GRAPH + GUESS_SAMPLE * samples
        self.measured = [0.0, 0]  # seconds of work and graphs that workers reported
        self.overheads: Deque[float] = collections.deque(maxlen=20)
        self.inline = backend.workers() or 1  # tasks that carry the data, one a worker at first
        self.no_worker_since: Optional[float] = None
        self.broken: Optional[BaseException] = None  # the failure of an executor that cannot run tasks again

    # The loop -------------------------------------------------------------------

    def loop(self) -> None:
        try:
            self.fill()
            while (self.flights or self.retry) and self.broken is None:
                try:
                    event: Optional[Tuple[Flight, Any, bool, Any]] = self.events.get(timeout=TICK)
                except queue.Empty:
                    event = None
                if event is not None:
                    self.ended(*event)
                self.tick(self.clock())
            if self.broken is not None:
                self.give_up(self.broken)
        except BaseException:
            self.backend.cancel([f for flight in self.flights for f in flight.futures])
            raise

    def report(self, flight: Flight, future: Any, ok: bool, value: Any) -> None:
        """From any thread: a future ended with the answer's bytes (ok) or an
        exception."""
        self.events.put((flight, future, ok, value))

    def tick(self, now: float) -> None:
        """The checks that do not wait for an event: the worker watch, the
        deadlines, and new work."""
        if self.backend.workers() == 0:
            self.no_worker_since = self.no_worker_since or now
            if now - self.no_worker_since > self.run.worker_timeout:
                raise NoWorkerError("no worker was available for %g s" % self.run.worker_timeout,
                                    self.run.results, dict(self.run.failed))
        else:
            self.no_worker_since = None
        for flight in list(self.flights):
            if now >= flight.deadline:
                self.overdue(flight, now)
        self.fill()

    # Sending --------------------------------------------------------------------

    def submit(self, flight: Flight, avoid: Optional[str] = None, with_data: bool = False) -> None:
        with_data = with_data or self.inline > 0
        self.inline -= 1
        try:
            future = self.backend.submit(flight.blob, with_data, avoid)
        except Exception as e:  # a pool broken before the failures of its tasks came in
            if not self.backend.renewed(e):
                raise
            future = self.backend.submit(flight.blob, with_data, avoid)
        flight.futures[future] = self.clock()
        flight.sent += 1
        self.backend.watch(future, lambda ok, value: self.report(flight, future, ok, value), flight.limit)

    def start(self, bundle: Bundle) -> None:
        run = self.run
        blobs = []
        for i in bundle.indices:
            try:
                blobs.append(pickle.dumps(run.graphs[i], PROTOCOL))
            except Exception as e:  # linkdata that does not pickle
                run.fail(i, e)
                run.progress.update(1)
        keep = [i for i in bundle.indices if not run.finished[i]]
        if not keep:
            return
        bundle.indices = keep
        blob = pickle.dumps((run.mode, run.digest, run.epochs, blobs), PROTOCOL)
        expected = self.per_graph * len(keep)
        limit = bundle.limit or run.task_timeout or max(DEADLINE_FLOOR, DEADLINE_TIMES * expected)
        flight = Flight(bundle, blob, limit, expected, self.clock())
        self.flights.add(flight)
        self.submit(flight)

    def next_bundle(self, workers: int) -> Optional[Bundle]:
        if self.retry:
            return self.retry.popleft()
        if not self.todo:
            return None
        overheads = self.overheads
        overhead = sorted(overheads)[len(overheads) // 2] if overheads else 0.002
        target = min(max(TASK_SECONDS[0], OVERHEAD_TIMES * overhead), TASK_SECONDS[1])
        balance = math.ceil(len(self.todo) / (workers * TASKS_PER_WORKER))
        # Bundles shrink towards the end for balance, but not below a
        # task's own cost in work.
        floor = int(overhead / self.per_graph) if overheads else 1
        size = max(1, min(int(target / self.per_graph), max(balance, floor)))
        return Bundle([self.todo.popleft() for _ in range(min(size, len(self.todo)))])

    def fill(self) -> None:
        if self.broken is not None:
            return
        workers = max(self.backend.workers(), 1)
        while len(self.flights) < IN_FLIGHT * workers:
            if any(f.suspect for f in self.flights):
                return  # a suspect runs alone
            if self.retry and self.retry[0].suspect and self.flights:
                return
            bundle = self.next_bundle(workers)
            if bundle is None:
                return
            try:
                self.start(bundle)
            except Exception as e:
                if not self.backend.is_broken(e):
                    raise
                self.broken = e
                return

    # Ends -------------------------------------------------------------------------

    def ended(self, flight: Flight, future: Any, ok: bool, value: Any) -> None:
        submitted = flight.futures.pop(future, None)
        if flight.resolved or submitted is None:
            return
        if not ok:
            self.failed(flight, future, value)
            return
        answer = pickle.loads(value)
        if answer.get(_worker.NEED_DATA):
            self.submit(flight, with_data=True)
            flight.sent -= 1  # the same copy, with the data
            return
        self.answered(flight, answer, submitted)

    def answered(self, flight: Flight, answer: Dict[str, Any], submitted: float) -> None:
        run = self.run
        where = answer["where"]
        if answer["fingerprint"] != self.fingerprint:
            raise WorkerMismatchError(
                "worker %s computes float32 math functions differently from this process (fingerprint %s, "
                "here %s): its results would not be the same bits as training here; leave it out"
                % (where, answer["fingerprint"], self.fingerprint), run.results)
        self.resolve(flight)
        now = self.clock()
        self.overheads.append(max(now - submitted - answer["seconds"], 0.0))
        log.debug("%d graphs on %s: %.1f ms of work, %.1f ms in flight", len(flight.indices), where,
                  answer["seconds"] * 1e3, (now - submitted) * 1e3)
        self.measured[0] += answer["seconds"]
        self.measured[1] += len(flight.indices)
        self.per_graph = self.measured[0] / self.measured[1]
        run.answered(flight.indices, answer["out"], answer["hash_probe"] == _worker.hash_probe())

    def failed(self, flight: Flight, future: Any, error: BaseException) -> None:
        if self.backend.is_broken(error):
            self.broken = error
            return
        kind = self.backend.classify(future, error)
        if flight.futures:
            return  # a copy is still out
        self.lost(flight, error, kind)

    def lost(self, flight: Flight, error: BaseException, kind: str) -> None:
        """A bundle whose every future failed. One lost with its worker may
        hold the graph that killed it: it is halved, each half sent alone,
        while it is lost so, until that graph is alone; only that graph is
        reported, after `retries`."""
        self.resolve(flight)
        if kind == REPLACED:
            # Its process was ended here for a deadline: the next one is later.
            self.retry.appendleft(flight.bundle(flight.attempts, flight.suspect, flight.limit * 2))
            return
        if kind == LOST_WITH_WORKER and not (flight.suspect and len(flight.indices) == 1):
            # Halved, both halves alone: each send of the graph that kills
            # costs a worker (or, on a dask cluster, its scheduler's allowed
            # failures and one), and a bundle that died of another's graph
            # (a pool's fall, a worker's queue) costs one halving.
            if len(flight.indices) == 1:
                self.retry.appendleft(flight.bundle(flight.attempts, True))
            else:
                half = len(flight.indices) // 2
                for part in (flight.indices[half:], flight.indices[:half]):
                    self.retry.appendleft(Bundle(part, flight.attempts, True))
            return
        if flight.attempts >= self.run.retries:
            self.run.fail_all(flight.indices, error)
            return
        log.info("resending %d graphs after %s: %s", len(flight.indices), type(error).__name__, error)
        bundle = flight.bundle(flight.attempts + 1, flight.suspect)
        if bundle.suspect:
            self.retry.appendleft(bundle)
        else:
            self.retry.append(bundle)

    def overdue(self, flight: Flight, now: float) -> None:
        if flight.sent >= COPIES:
            return
        flight.deadline = now + flight.limit
        if self.backend.replace_overdue(list(flight.futures), len(flight.indices), flight.expected):
            return
        avoid = None
        for future in flight.futures:
            avoid = avoid or self.backend.running_on(future)
        log.warning("a task of %d graphs is overdue (%.0f ms of work expected); sending it again%s",
                    len(flight.indices), flight.expected * 1e3, " elsewhere than " + avoid if avoid else "")
        self.submit(flight, avoid)

    def resolve(self, flight: Flight) -> None:
        self.flights.discard(flight)
        flight.resolved = True
        if flight.futures:
            self.backend.cancel(list(flight.futures))
        flight.futures.clear()
        flight.blob = b""

    def give_up(self, error: BaseException) -> None:
        """The executor cannot run tasks again: the finished graphs are
        kept, the others reported."""
        for flight in list(self.flights):
            self.resolve(flight)
            self.run.fail_all(flight.indices, error)
        rest = list(self.todo) + [i for bundle in self.retry for i in bundle.indices]
        self.todo.clear()
        self.retry.clear()
        self.run.fail_all(rest, error)
