"""The vesk package: populations trained and queried here, on process
pools and on dask clusters give the bits of deep copies trained here, also
through faults (killed workers and pool processes, a retried task on a
threads cluster, a killed client resumed from its checkpoint, a bad graph);
the graph file's round trip, refusals and damaged files (fuzzed in a child)."""
import concurrent.futures as cf
import copy
import functools
import glob
import hashlib
import logging
import multiprocessing
import os
import pickle
import re
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

import _vesk
import vesk
from conftest import TESTS_DIR, run_python
from vesk import _backends, _checkpoint, _format, _run, _schedule, _worker
from reliability import UNDER_ASAN
from test_pickle import random_graph

NAMES = np.array(["k%02d" % i for i in range(30)] + ["red", "green", "blue", "cyan"])


def data(rows=200, seed=3):
    rng = np.random.RandomState(seed)
    return {"x": rng.uniform(-3, 3, rows).astype(np.float32), "c": rng.choice(NAMES, rows)}, rng.normal(0, 1, rows)


def population(n):
    """Graphs of every type, half-trained (with categories of their own),
    subclasses, linkdata, and one interaction shared by two graphs."""
    graphs = [random_graph(seed) for seed in range(n)]
    graphs[1][0] = graphs[0][0]
    return graphs


def in_process(graphs, X, Y, epochs):
    out = []
    for g in graphs:
        c = copy.deepcopy(g)
        for _ in range(epochs):
            c._query(X, Y)
        out.append(c)
    return out


def same(a, b):
    return pickle.dumps(a, 4) == pickle.dumps(b, 4)


def trip(marker):
    """Kills the process that unpickles it, once per marker file (always
    without one); stands for None."""
    if marker is None or not os.path.exists(marker):
        if marker is not None:
            open(marker, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)


class Tripwire:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return trip, (self.marker,)


def dask_or_skip():
    if sys.version_info < (3, 10):
        pytest.skip("dask.distributed is an extra of Python 3.10 and later")
    if UNDER_ASAN:
        pytest.skip("clusters under AddressSanitizer: the module's code runs alike in the other tests")
    return pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def dask_client():
    distributed = dask_or_skip()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        yield client


EXECUTORS = ["here", "package pool", "thread pool", "dask"]


def executor_of(kind, request):
    return {"here": lambda: None, "package pool": lambda: 2, "thread pool": lambda: ThreadPoolExecutor(2),
            "dask": lambda: request.getfixturevalue("dask_client")}[kind]()


@pytest.mark.parametrize("kind", EXECUTORS)
def test_population_matches_training_here(kind, request):
    executor = executor_of(kind, request)
    graphs = population(12)
    X, Y = data()
    before = [pickle.dumps(g, 4) for g in graphs]
    trained = vesk.train(graphs, X, Y, epochs=3, executor=executor)
    # The same bits as deep copies trained here, categories listed in the
    # same order, and a graph shared interaction trained per graph.
    assert all(same(a, b) for a, b in zip(trained, in_process(graphs, X, Y, 3)))
    assert trained[0][0] is not trained[1][0]
    predicted = vesk.predict(graphs, X, executor=executor)
    assert all(np.array_equal(p.view(np.uint32), copy.deepcopy(g)._query(X).view(np.uint32))
               for p, g in zip(predicted, graphs))
    assert [pickle.dumps(g, 4) for g in graphs] == before


def test_bad_graph_among_good_ones():
    graphs = population(6)
    X, Y = data()
    broken = _vesk.Graph(2)
    graphs.insert(3, broken)  # an empty slot: refused by the query
    with pytest.raises(vesk.TrainingError, match="1 of 7 graphs failed; graph 3: RuntimeError") as raised:
        vesk.train(graphs, X, Y, executor=2)
    assert list(raised.value.errors) == [3] and raised.value.results[3] is None
    want = in_process(graphs[:3] + graphs[4:], X, Y, 1)
    assert all(same(a, b) for a, b in zip(raised.value.results[:3] + raised.value.results[4:], want))
    returned = vesk.train(graphs, X, Y, executor=2, errors="return")
    assert isinstance(returned[3], RuntimeError) and same(returned[4], want[3])
    assert vesk.train(graphs, X, Y, errors="skip")[3] is None


@pytest.mark.parametrize("pool,marker", [("package", "once"), ("package", "always"), ("caller's", "once")])
def test_killed_pool_process(pool, marker, tmp_path):
    graphs = population(10)
    X, Y = data()
    want = in_process(graphs, X, Y, 2)
    # The caller's pool: the last graph, sent once a bundle has finished.
    victim = 9 if pool == "caller's" else 7
    graphs[victim][0]._linkdata = Tripwire(str(tmp_path / "tripped") if marker == "once" else None)
    want[victim][0]._linkdata = None
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as own:
        executor = 2 if pool == "package" else own
        got = vesk.train(graphs, X, Y, epochs=2, executor=executor, errors="return")
    failed = [i for i, g in enumerate(got) if isinstance(g, BaseException)]
    if pool == "package" and marker == "once":
        assert failed == []  # the bundles in flight are sent again to a new pool
    elif pool == "package":
        assert failed == [victim]  # found alone among the bundles in flight, and reported
    else:  # the caller's pool stays broken: what finished is kept, the rest reported
        assert victim in failed and len(failed) < len(graphs)
    assert all(isinstance(got[i], Exception) and "terminated abruptly" in str(got[i]) for i in failed)
    assert all(same(got[i], want[i]) for i in range(len(graphs)) if i not in failed)


class Refusing(Executor):
    def submit(self, *args, **kwargs):
        raise AssertionError("work was sent")


@pytest.mark.parametrize("mode,change,error,message", [
    ("train", lambda X, Y: ({"x": X["x"]}, Y), ValueError,
     r"X has no column for register 'c' \(graph 0 reads 'c'\); the names in X are 'x'$"),
    ("predict", lambda X, Y: ({"colour": X["c"], "x": X["x"], 7: 1}, Y), ValueError,
     r"register 'c' .*; the names in X are 'colour', 'x', 7$"),
    ("predict", lambda X, Y: ({}, Y), ValueError, r"registers 'c', 'x' \(graph 0 .* none \(X is empty\)"),
    ("train", lambda X, Y: (dict(X, x={1: 2}), Y), TypeError, r"X\['x'\] is a dict, not a 1-d numpy array"),
    ("train", lambda X, Y: (["x", "c"], Y), TypeError, r"X must be a dict of columns .* not a list"),
    ("predict", lambda X, Y: (dict(X, c=X["c"].reshape(20, 10)), Y), ValueError, r"X\['c'\] has shape \(20, 10\)"),
    ("train", lambda X, Y: (dict(X, c=X["c"][:-1]), Y), ValueError,
     r"graph 0 reads differ in length: X\['x'\] has 200 rows, X\['c'\] 199"),
    ("train", lambda X, Y: (X, Y[:-1]), ValueError, r"Y holds 199 values, fewer than the 200 rows of X"),
    ("train", lambda X, Y: (X, 2.5), TypeError, r"Y is a float"),
    ("train", lambda X, Y: (dict(X, x=X["c"]), Y), TypeError,
     r"X\['x'\] \(<U5\) does not cast to float32, as the numeric register 'x' of graph 0 needs"),
    ("predict", lambda X, Y: (dict(X, x=np.array([1.5] * 199 + [[1]], dtype=object)), Y), TypeError,
     r"X\['x'\] \(object\) does not cast"),
    ("train", lambda X, Y: (X, Y.astype(str).astype(object)), None, None),  # what the query takes trains alike
    ("train", lambda X, Y: (dict(X, x=X["x"].astype(str), c=X["c"].astype(object)), np.concatenate([Y, Y])),
     None, None),
])
def test_data_checked_before_work_is_sent(mode, change, error, message):
    graphs = population(4)
    X, Y = change(*data())
    if error is None:
        want = in_process(graphs, X, Y, 1)
        assert all(same(a, b) for a, b in zip(vesk.train(graphs, X, Y, executor=2), want))
        return
    with pytest.raises(error, match=message):
        if mode == "train":
            vesk.train(graphs, X, Y, executor=Refusing())
        else:
            vesk.predict(graphs, X, executor=Refusing())


def frame(X, Y):
    pd = pytest.importorskip("pandas")
    return pd.DataFrame(dict(X, unread=np.arange(len(Y)))), pd.Series(Y, index=np.arange(len(Y))[::-1])


def series(X, Y):
    pd = pytest.importorskip("pandas")
    return {"x": pd.Series(X["x"]), "c": pd.Series(X["c"], dtype="category")}, pd.Series(Y)


# Data as a user has it, and the numpy columns a careful user would pass to
# the query; the population trains on both to the same bits.
@pytest.mark.parametrize("given,careful", [
    (lambda X, Y: ({"x": X["x"].tolist(), "c": X["c"].tolist()}, Y.tolist()),
     lambda X, Y: ({"x": np.asarray(X["x"].tolist()), "c": X["c"].astype(object)}, Y)),
    (lambda X, Y: ({"x": X["x"], "c": [1, 1.0, True, "a", (1, 2)] * 40}, Y),
     lambda X, Y: ({"x": X["x"], "c": np.array([1, 1.0, True, "a", None] * 40, dtype=object)}, Y)),
    (frame, lambda X, Y: (X, Y)),
    (series, lambda X, Y: ({"x": X["x"], "c": X["c"].astype(object)}, Y)),
], ids=["lists", "a list of mixed keys", "a DataFrame", "Series"])
def test_data_as_the_user_has_it(given, careful):
    graphs = [g for g in population(6) if any(x and x.type == "cat" for x in g)][:2] + population(2)
    X, Y = given(*data())
    want_X, want_Y = careful(*data())
    if isinstance(want_X["c"][4], type(None)):  # the tuple key, which numpy's constructor would split
        want_X["c"][4::5] = [(1, 2)] * 40
    want = in_process(graphs, want_X, want_Y, 1)
    assert all(same(a, b) for a, b in zip(vesk.train(graphs, X, Y), want))
    single = vesk.train(graphs[0], X, Y)
    assert isinstance(single, _vesk.Graph) and same(single, want[0])
    assert np.array_equal(vesk.predict(graphs[0], X), vesk.predict([graphs[0]], want_X)[0])
    assert vesk.evaluate(graphs[0], X, Y) == vesk.evaluate([graphs[0]], want_X, want_Y)[0]


@pytest.mark.parametrize("kind,named", [("package pool", r"\S+:\d+"), ("dask", r"tcp://127\.0\.0\.1:\d+")])
def test_worker_mismatch_is_refused(kind, named, monkeypatch, request):
    executor = executor_of(kind, request)
    monkeypatch.setattr(_backends, "_client_fingerprint", "0" * 32)
    with pytest.raises(vesk.WorkerMismatchError, match="worker %s computes float32 math functions differently" % named):
        vesk.train(population(2), *data(), executor=executor)


def test_dask_workers_killed_mid_run(dask_client):
    """Every worker, and so every holder of the data, is killed by its PID
    while tasks run; the nannies start new ones and the run ends exact."""
    graphs = population(40)
    X, Y = data(2000)
    old = dask_client.run(os.getpid)
    killed = []

    def kill():
        time.sleep(0.5)
        for pid in old.values():
            os.kill(pid, signal.SIGKILL)
        killed.append(time.monotonic())

    killer = threading.Thread(target=kill)
    killer.start()
    trained = vesk.train(graphs, X, Y, epochs=300, executor=dask_client)
    ended = time.monotonic()
    killer.join()
    assert killed and killed[0] < ended
    assert all(same(a, b) for a, b in zip(trained, in_process(graphs, X, Y, 300)))
    dask_client.wait_for_workers(2, timeout=60)
    assert not set(dask_client.run(os.getpid).values()) & set(old.values())


def test_threads_cluster_with_resent_tasks(caplog):
    """A task sent again (here every one, after a deadline it cannot meet)
    runs beside its first copy on the threads of one process: both train
    fresh copies, never the task's arguments."""
    distributed = dask_or_skip()
    graphs = population(8)
    X, Y = data(3000)
    # In-process transport: no socket at all.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        with caplog.at_level(logging.WARNING, logger="vesk"):
            trained = vesk.train(graphs, X, Y, epochs=4, executor=client, task_timeout=0.001)
    assert "overdue" in caplog.text
    assert all(same(a, b) for a, b in zip(trained, in_process(graphs, X, Y, 4)))


def test_no_worker_within_the_timeout():
    distributed = dask_or_skip()
    with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        with pytest.raises(vesk.NoWorkerError, match="no dask worker joined within 0.5 s"):
            vesk.train(population(2), *data(), executor=client, worker_timeout=0.5)


def test_checkpoint_resumed_after_the_client_is_killed(tmp_path, caplog):
    graphs = [g for g in population(48) if type(g) is _vesk.Graph]
    for g in graphs:
        for x in g:
            x._linkdata = None
    vesk.save(tmp_path / "graphs.vesk", graphs)
    folder = tmp_path / "checkpoint"
    child = subprocess.Popen([sys.executable, "-c", """if True:
        import sys, vesk
        from test_population import data
        X, Y = data(2000)
        vesk.train(vesk.load(sys.argv[1]), X, Y, epochs=100, checkpoint=sys.argv[2])
        """, str(tmp_path / "graphs.vesk"), str(folder)],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path)))
    deadline = time.monotonic() + 60
    while not glob.glob(str(folder / "*.vesk")) and time.monotonic() < deadline and child.poll() is None:
        time.sleep(0.05)
    child.kill()
    assert child.wait() == -signal.SIGKILL, "the client finished before it was killed"
    X, Y = data(2000)
    with caplog.at_level(logging.INFO, logger="vesk"):
        trained = vesk.train(graphs, X, Y, epochs=100, executor=2, checkpoint=str(folder))
    assert "restored from the checkpoint" in caplog.text
    assert all(same(a, b) for a, b in zip(trained, in_process(graphs, X, Y, 100)))


def test_file_round_trip_sharing_and_refusals(tmp_path):
    graphs = population(8)
    X, Y = data()
    path = tmp_path / "p.vesk"
    for g in graphs:
        for x in g:
            if isinstance(x._linkdata, (_vesk.Graph, tuple)):
                x._linkdata = (b"\x00", [1, {"k": None}], -0.0, float("nan"), 2**80)
    with pytest.raises(TypeError, match="graph 1 is a (Slot)?Sub"):
        vesk.save(path, graphs)
    vesk.save(path, graphs, as_base=True)
    loaded = vesk.load(path)
    assert loaded[0][0] is loaded[1][0]  # shared as saved
    assert not glob.glob(str(tmp_path / ".vesk-*"))
    # Loaded and trained on, the same bits as the originals trained on.
    for a, b in zip(loaded, graphs):
        assert type(a) is _vesk.Graph
        assert same([x.__getstate__() for x in a], [x.__getstate__() for x in b])
        assert a.__getstate__()[1:4] == b.__getstate__()[1:4]
    for a, b in zip(in_process(loaded[2:], X, Y, 2), in_process(graphs[2:], X, Y, 2)):
        assert same([x.__getstate__() for x in a], [x.__getstate__() for x in b])
    for attribute, value, message in [("_linkdata", {"a": object()}, r"register 'x': _linkdata: .*object"),
                                      ("_linkdata", {1: 2}, "dict key of type int"),
                                      ("categories", [(1j, 0.5)], r"register 'c': category key 1j")]:
        g = random_graph(2)
        if attribute == "categories":
            g[1].state.categories = value
        else:
            g[0]._linkdata = value
        with pytest.raises(TypeError, match=message):
            vesk.save(path, [g])
    assert len(vesk.load(path)) == 8  # a refused save leaves the file as it was


def plain_graphs(seeds):
    graphs = [random_graph(seed) for seed in seeds]
    for g in graphs:
        for x in g:
            x._linkdata = None
    return graphs


@pytest.mark.parametrize("umask,kept,link", [(0o022, None, False), (0o077, None, False), (0o022, 0o640, True),
                                             (0o077, None, True)])
def test_saved_file_mode_and_symlink(umask, kept, link, tmp_path):
    """A new file has the mode open() gives under the umask, a replaced one
    keeps its own; a path that is a symbolic link is written through."""
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "p.vesk"
    path = tmp_path / "link.vesk" if link else target
    if link:
        os.symlink(os.path.join("real", "p.vesk"), path)  # relative to the link's folder, not the process's
    if kept is not None:
        target.write_bytes(b"old")
        os.chmod(target, kept)
    old = os.umask(umask)
    try:
        vesk.save(path, plain_graphs([2]))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(target).st_mode) == (kept if kept is not None else 0o666 & ~umask)
    assert os.path.islink(path) == link and len(vesk.load(target)) == 1
    assert sorted(os.listdir(tmp_path / "real")) == ["p.vesk"]


def test_load_refuses_from_kind_or_header_unread(tmp_path):
    """A FIFO, a link to /dev/zero, a body longer than its header declares
    and one above the limit are refused before their bodies are read (the
    bytes the process read, from /proc/self/io, stay below a header's
    worth of pieces). In a child: a regression waits on the FIFO for good or
    reads /dev/zero until memory runs out (bounded there)."""
    good = plain_graphs([2, 4])
    vesk.save(tmp_path / "good.vesk", good)
    data = (tmp_path / "good.vesk").read_bytes()
    head, body = data.split(b"\n", 1)
    os.mkfifo(tmp_path / "fifo")
    os.symlink("/dev/zero", tmp_path / "zero")
    (tmp_path / "longer.vesk").write_bytes(data + b" " * 2**22)
    # The form 0.2.0 wrote: no length in the header.
    big = body + b" " * 2**22
    (tmp_path / "v1.vesk").write_bytes(b"vesk-graphs 1 %s\n%s" % (hashlib.sha256(big).hexdigest().encode(), big))
    cases = [("fifo", {}, r"fifo is a FIFO: a graph file is read from a regular file only"),
             ("zero", {}, r"zero is a character device"),
             ("longer.vesk", {}, r"its body is %d bytes, longer than the %d its header declares"
              % (len(body) + 2**22, len(body))),
             ("v1.vesk", {"max_size": 2**22}, r"body of the graph file is %d bytes, more than the limit of %d"
              % (len(big), 2**22))]
    result = run_python("""
        import os, resource, sys
        import vesk, vesk._format  # imported before the bytes are counted
        if not %r:
            resource.setrlimit(resource.RLIMIT_AS, (2**31, 2**31))

        def read_bytes():
            with open("/proc/self/io") as f:
                return int(next(line for line in f if line.startswith("rchar:")).split()[1])

        for name, options in %r:
            before = read_bytes()
            try:
                vesk.load(os.path.join(%r, name), **options)
                outcome = "loaded"
            except Exception as e:
                outcome = "%%s: %%s" %% (type(e).__name__, e)
            print(repr((outcome, read_bytes() - before)))
        """ % (UNDER_ASAN, [(name, options) for name, options, _ in cases], str(tmp_path)), timeout=60)
    assert result.returncode == 0, result.stderr
    outcomes = [eval(line) for line in result.stdout.splitlines()]
    assert len(outcomes) == len(cases)
    for (name, _, message), (outcome, read) in zip(cases, outcomes):
        assert re.match("FormatError: .*" + message, outcome), (name, outcome)
        assert read < 2**16, (name, read)
    loaded = vesk.load(tmp_path / "good.vesk")
    assert [pickle.dumps(g, 4) for g in loaded] == [pickle.dumps(g, 4) for g in good]
    # The form 0.2.0 wrote still loads.
    (tmp_path / "v1.vesk").write_bytes(b"vesk-graphs 1 %s\n%s" % (hashlib.sha256(body).hexdigest().encode(), body))
    assert [pickle.dumps(g, 4) for g in vesk.load(tmp_path / "v1.vesk")] == [pickle.dumps(g, 4) for g in good]


def test_damaged_and_crafted_files_raise_format_error(tmp_path):
    graphs = [random_graph(seed) for seed in (2, 4, 6)]
    for g in graphs:
        for x in g:
            x._linkdata = {"k": [b"x", 1.5]}
    vesk.save(tmp_path / "p.vesk", graphs)
    result = run_python("""
        import hashlib, json, random, sys
        import vesk._format
        good = open(%r, "rb").read()
        head, body = good.split(b"\\n", 1)

        def signed(text):
            return b"vesk-graphs 1 " + hashlib.sha256(text).hexdigest().encode() + b"\\n" + text

        cases = [good[:n] for n in range(0, len(good), 97)] + [b"vesk-graphs 2 x\\n{}", b"\\x80" * 40]
        rng = random.Random(5)
        for _ in range(400):  # altered bodies that carry a valid checksum
            b = bytearray(body)
            for _ in range(rng.randint(1, 4)):
                b[rng.randrange(len(b))] = rng.choice(b'[]{}",:0123456789.-eTLDBFx')
            cases.append(signed(bytes(b)))
        doc = json.loads(body)
        deep = ["L"]
        for _ in range(40):
            deep = ["L", deep]
        for change in ['doc["interactions"][0]["type"] = "nonesuch"', 'doc["interactions"][1]["state"] = []',
                       'doc["graphs"][0]["slots"][0] = 99', 'doc["graphs"][0]["size"] = 2**40',
                       'doc["graphs"][0]["samples"] = -1', 'doc["interactions"][0]["linkdata"] = ["X", 1]',
                       'doc["interactions"][1]["state"][0] = ["L", ["T", ["L"], 0.5]]',
                       'doc["interactions"][0]["linkdata"] = deep', 'doc["interactions"][0]["activation"] = {}',
                       'doc["interactions"][0]["loss"] = "nonesuch"', 'doc = []']:
            exec(change)
            cases.append(signed(json.dumps(doc).encode()))
            doc = json.loads(body)
        cases.append(signed(b"[" * 100000 + b"]" * 100000))
        cases.append(signed(body.replace(b"0.0", b"NaN", 1)))
        outcomes = {}
        for case in cases:
            try:
                vesk._format.loads(case)
                outcome = "loaded"
            except vesk.FormatError:
                outcome = "FormatError"
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
        print(sorted(outcomes.items()))
        """ % str(tmp_path / "p.vesk"))
    assert result.returncode == 0, result.stderr
    outcomes = dict(eval(result.stdout))
    assert set(outcomes) <= {"FormatError", "loaded"} and outcomes["FormatError"] > 300, outcomes


def test_the_package_imports_neither_numpy_nor_the_module():
    # What a dask scheduler imports to read a task graph naming the workers' functions.
    result = run_python("import sys, vesk._worker; print(sorted({'numpy', '_vesk'} & set(sys.modules)))")
    assert result.returncode == 0 and result.stdout.strip() == "[]", result.stderr
    with open(os.path.join(os.path.dirname(TESTS_DIR), "pyproject.toml")) as f:
        assert re.search(r'^version = "(.+)"$', f.read(), re.M).group(1) == vesk.__version__


class LostWithWorker(Exception):
    pass


class FakeBackend(_backends.Backend):
    """Runs each task here at once, or ends it as `fate(indices, sent)` says:
    "lost" (its worker died under it), "replaced", "silent" (never ends),
    else answers."""

    def __init__(self, run, fate, workers=2):
        self.run, self.fate, self.count, self.sent = run, fate, workers, {}
        self.data = pickle.dumps((run.X, run.Y), 5)

    def workers(self):
        return self.count

    def submit(self, blob, inline, avoid):
        graphs = [pickle.loads(g) for g in pickle.loads(blob)[3]]
        indices = tuple(next(i for i, o in enumerate(self.run.graphs) if same(o, g)) for g in graphs)
        self.sent[indices] = self.sent.get(indices, 0) + 1
        future = cf.Future()
        fate = self.fate(indices, self.sent[indices])
        if fate in ("lost", "replaced"):
            future.set_exception(LostWithWorker(fate))
        elif fate != "silent":
            future.set_result(_worker.run_task(blob, self.data))
        return future

    def classify(self, future, error):
        return {"lost": _schedule.LOST_WITH_WORKER, "replaced": _schedule.REPLACED}[str(error)]


@pytest.mark.parametrize("fate,retries,failed", [
    # Graph 3 kills every worker it reaches: halved out of its bundle, it alone is reported.
    (lambda ix, sent: "lost" if 3 in ix else None, 1, [3]),
    # Every bundle's worker dies once: each half goes again, nothing is lost.
    (lambda ix, sent: "lost" if sent == 1 and len(ix) > 1 else None, 0, []),
    # Ended on purpose for a deadline: sent again without counting as a retry.
    (lambda ix, sent: "replaced" if sent < 3 else None, 0, []),
    # A first copy that never ends (a fetch stuck on a frozen worker): the deadline's copy finishes.
    (lambda ix, sent: "silent" if sent == 1 else None, 0, []),
    # No worker: NoWorkerError after worker_timeout, with what had finished.
    (None, 0, None),
])
def test_schedule_transitions(fate, retries, failed):
    X, Y = data()
    graphs = [g for g in population(12) if type(g) is _vesk.Graph]
    run = _run.Run("train", graphs, X, Y, 2, "return", False, None, retries, 0.5, 0.3)
    backend = FakeBackend(run, fate or (lambda ix, sent: "silent" if 0 not in ix else None))
    scheduler = _schedule.Scheduler(run, backend, _worker.fingerprint())
    assert len(scheduler.todo) > _schedule.IN_FLIGHT * 2  # some bundles wait for others to end
    if fate is None:
        backend.count = 0
        with pytest.raises(vesk.NoWorkerError, match="no worker was available for 0.5 s") as raised:
            scheduler.loop()
        assert raised.value.results[0] is not None and raised.value.results[-1] is None
        return
    done = threading.Thread(target=scheduler.loop, daemon=True)
    done.start()
    done.join(60)
    assert not done.is_alive(), "the loop did not end"
    got = run.outcome()
    assert [i for i, g in enumerate(got) if isinstance(g, BaseException)] == failed
    want = in_process(graphs, X, Y, 2)
    assert all(same(got[i], want[i]) for i in range(len(graphs)) if i not in failed)


def freeze_at(seconds):
    threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGSTOP)).start()


def test_dask_worker_frozen_mid_run(dask_client):
    """A worker frozen (SIGSTOP) while it runs and holds results: its tasks
    go to the other one after task_timeout, and no wait of the run is on the
    frozen one."""
    graphs = population(64)
    X, Y = data(300)
    pids = list(dask_client.run(os.getpid).values())
    result = {}
    runner = threading.Thread(target=lambda: result.update(got=vesk.train(
        graphs, X, Y, epochs=20, executor=dask_client, task_timeout=3)), daemon=True)
    runner.start()
    time.sleep(0.5)
    os.kill(pids[0], signal.SIGSTOP)
    try:
        runner.join(120)
        assert not runner.is_alive(), "the run waited on the frozen worker"
    finally:
        os.kill(pids[0], signal.SIGCONT)
        runner.join(120)
    assert all(same(a, b) for a, b in zip(result["got"], in_process(graphs, X, Y, 20)))


def test_dask_graph_that_kills_its_worker():
    """Only the graph that kills is reported, not its bundle-mates. The
    scheduler's own retries are off so that each send costs one worker."""
    distributed = dask_or_skip()
    import dask

    graphs = population(32)
    X, Y = data()
    want = in_process(graphs, X, Y, 1)
    graphs[10][0]._linkdata = Tripwire(None)
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                     dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        got = vesk.train(graphs, X, Y, executor=client, errors="return", retries=0)
    assert [i for i, g in enumerate(got) if isinstance(g, BaseException)] == [10]
    assert type(got[10]).__name__ == "KilledWorker"
    assert all(same(got[i], want[i]) for i in range(len(graphs)) if i != 10)


POOL_CHILD = """
    import os, signal, sys, time
    import vesk
    from vesk import _backends
    from test_population import data, in_process, population, same

    if __name__ == "__main__":
        graphs, (X, Y) = population(48), data(333)
        vesk.train(graphs[:2], X, Y, executor=2)
        frozen = list(_backends._pools[2]._processes)[0]
        if sys.argv[1] == "exits":  # a stopped process outlives any watch of its own
            os.kill(frozen, signal.SIGSTOP)
        got = vesk.train(graphs, X, Y, epochs=5, executor=2, task_timeout=2)
        assert all(same(a, b) for a, b in zip(got, in_process(graphs, X, Y, 5)))
        vesk.train(graphs, X, Y, executor=2)
        import multiprocessing.forkserver as fs
        print(len(_backends._pools[2]._processes), frozen, fs._forkserver._forkserver_pid,
              *_backends._pools[2]._processes, flush=True)
        if sys.argv[1] == "killed":
            time.sleep(120)
"""


def alive(pids):
    def running(pid):
        try:
            with open("/proc/%d/stat" % pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False
    return [p for p in pids if running(p)]


@pytest.mark.parametrize("end", ["exits", "killed"])
def test_pool_processes_end_with_the_client(end):
    """A pool process frozen: its task goes to a new process after
    task_timeout, later calls have the whole pool, and nothing waits on the
    frozen one at exit. The pool's processes end soon after a client that is
    killed."""
    if end == "exits" and sys.version_info < (3, 9):
        pytest.skip("Python 3.8's process pool: its own thread fails on the pipe of a pool whose processes the "
                    "package ended, and the run after a frozen process does not finish there")
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(POOL_CHILD), end], stdout=subprocess.PIPE,
                             text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join([TESTS_DIR] + sys.path)))
    try:
        line = []
        reader = threading.Thread(target=lambda: line.append(child.stdout.readline()), daemon=True)
        reader.start()
        reader.join(180)
        assert line and line[0], "the child printed nothing"
        count, *pids = map(int, line[0].split())
        assert count == 2
        if end == "killed":
            child.kill()
        child.wait(60)
        deadline = time.monotonic() + 20
        while alive(pids) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not alive(pids), "pool processes outlived their client"
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
        for pid in alive(locals().get("pids", [])):
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("marker", ["once", "always"])
def test_pool_start_up(marker, tmp_path, monkeypatch, caplog):
    """One process dying while the pool starts: a new pool; always: a message
    naming what happened. The data file goes in every outcome."""
    marker_file = str(tmp_path / "tripped") if marker == "once" else None
    monkeypatch.setattr(_backends, "START", functools.partial(trip, marker_file))
    monkeypatch.setattr("tempfile.tempdir", str(tmp_path))
    graphs = population(4)
    X, Y = data()
    try:
        if marker == "once":
            with caplog.at_level(logging.WARNING, logger="vesk"):
                got = vesk.train(graphs, X, Y, executor=3)
            # The process that reports first may be the one killed or a
            # sibling ended with it.
            assert re.search(r"started at the attempt 2 of 3 \(a process died as it started \([^()]*(SIGKILL|exit "
                             r"code)[^()]*\)\)", caplog.text), caplog.text
            assert all(same(a, b) for a, b in zip(got, in_process(graphs, X, Y, 1)))
        else:
            # Each attempt reports the process killed or a sibling ended with it.
            died = r"a process died as it started \([^()]*(SIGKILL|exit code)[^()]*\)"
            with pytest.raises(vesk.TrainingError, match=r"could not start its processes in 3 attempts: %s; %s; %s"
                                                         % (died, died, died)):
                vesk.train(graphs, X, Y, executor=3)
    finally:
        if 3 in _backends._pools:
            _backends._end_pool(_backends._pools.pop(3))
    assert not glob.glob(str(tmp_path / "vesk-data-*"))


class RunsCode:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.mkdir, (self.marker,))


@pytest.mark.parametrize("meta", [{"keys": [["unhashable"]]}, {"keys": "k"}, {"keys": [1]}, {"other": 1}, [1],
                                  "of 0.2.0", "runs code"])
def test_unusable_checkpoint_file_is_skipped(meta, tmp_path, caplog):
    graphs = [random_graph(2)]
    X, Y = data()
    folder = tmp_path / "checkpoint"
    folder.mkdir()
    key = _checkpoint.Checkpoint(str(folder), graphs, _run.data_digest(X, Y), 1).keys
    if meta == "of 0.2.0":  # the graph file format, under the key it would have now
        blob = _format.dumps(graphs, meta={"keys": key})
    elif meta == "runs code":
        blob = _checkpoint.dumps(graphs, {"keys": key, "x": RunsCode(str(tmp_path / "ran"))})
    else:
        blob = _checkpoint.dumps(graphs, meta)
    (folder / "crafted.vesk").write_bytes(blob)
    with caplog.at_level(logging.WARNING, logger="vesk"):
        got = vesk.train(graphs, X, Y, checkpoint=str(folder))
    assert "checkpoint file crafted.vesk skipped" in caplog.text
    assert same(got, in_process(graphs, X, Y, 1))
    assert not (tmp_path / "ran").exists()


def test_checkpoint_digest_is_the_same_in_every_process():
    """Categories list by the process's str hashes; the digest must not."""
    X, Y = data()
    g = in_process([random_graph(2)], X, Y, 1)[0]
    assert any(x is not None and x.type == "cat" and len(x.state.categories) > 2 for x in g)
    script = "import pickle, sys; from vesk import _checkpoint; " \
             "print(_checkpoint.graph_digest(pickle.loads(sys.stdin.buffer.read())))"
    digests = {subprocess.run([sys.executable, "-c", script], input=pickle.dumps(g), capture_output=True, check=True,
                              env=dict(os.environ, PYTHONHASHSEED=seed)).stdout.strip() for seed in ("1", "2", "3")}
    assert digests == {_checkpoint.graph_digest(g).encode()}


def engine_merges_colliding_keys():
    g = _vesk.Graph(2)
    c = _vesk.Interaction("cat", (1, 0, 0), 0, "c")
    c._set_source(0, -1)
    y = _vesk.Interaction("fixed", (1, 0, 0), 0, "y")
    y._set_source(0, 0)
    g[0], g[1] = c, y
    g._query({"c": np.array([-1, -2], dtype=object)}, np.zeros(2))
    return len(c.state.categories) == 1


@pytest.mark.skipif(engine_merges_colliding_keys(),
                    reason="the module still files categories by hash alone (-1 and -2 are one category)")
def test_categories_refiled_by_hash_then_equality():
    """Keys of equal hashes but unequal (-1, -2) stay two once the results
    of another process are filed again; equal keys (1, 1.0, True) one; every
    NaN one, apart from 0 and False."""
    keys = np.array(["s", -1, -2, 1, 1.0, True, float("nan"), np.float32("nan"), np.float16("nan"), 0, False, "t"],
                    dtype=object)
    graphs = [random_graph(seed) for seed in (2, 4)]
    X, Y = data(len(keys))
    X["c"] = keys
    got = vesk.train(graphs, X, Y, executor=2)
    assert all(same(a, b) for a, b in zip(got, in_process(graphs, X, Y, 1)))
