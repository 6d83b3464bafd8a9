"""Many queries of a graph of every interaction type (numeric and
categorical columns, training and prediction, failures before and inside the
sample loop) leave memory flat and every reference count they touch as it
was."""
import copy
import gc
import os
import pickle
import sys
import tracemalloc

import numpy as np
import pytest

import _vesk
from builders import objects
from graph_pairs import build
from conftest import run_python
from reliability import MIXED, UNDER_ASAN
from sanitizer_reports import counted

QUERIES = int(os.environ.get("VESK_LEAK_QUERIES", "100000"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_queries_leave_memory_and_references_flat():
    # Keys made at run time, so that no other reference keeps their counts
    # steady by accident; "fresh" is new to the register whenever it is seen,
    # and its column fails, so the category made for it must go again.
    keys = ["".join(["ke", "y"]), 10 ** 20, ("t", 2.5), "".join(["fre", "sh"])]
    x = np.array([0.1, -0.5, 0.7], dtype=np.float32)
    c = objects(keys[:3])
    y = np.array([0.3, 0.1, -0.2])
    nan_x = np.array([0.1, np.nan, 0.7], dtype=np.float32)
    nan_y = np.array([0.3, np.inf, -0.2])
    unhashable = objects([keys[0], keys[3], [1]])
    not_a_number = objects([0.5, "many", 0.25])
    x64 = x.astype(np.float64)  # a dtype other than the register's own
    cases = [
        # (xarray, yarray, exception class or None)
        ({"fixed": x, "cat": c}, None, None),
        ({"fixed": x, "cat": c}, y, None),
        ({"fixed": x, "cat": c[::-1]}, y[::-1], None),  # strided views
        ({"fixed": nan_x, "cat": c}, y, RuntimeError),  # forward fails on the second sample
        ({"fixed": x, "cat": c}, nan_y, RuntimeError),  # reverse fails on the second sample
        ({"fixed": x, "cat": unhashable}, y, TypeError),  # the column's resolution fails
        ({"fixed": not_a_number, "cat": c}, y, ValueError),  # conversion fails
        ({"fixed": x}, None, ValueError),  # a column is missing
        ({"fixed": x, "cat": c}, y[:2], ValueError),  # too few expected values
        ({"fixed": x64, "cat": c}, y[:2], ValueError),  # the same, after a column of another dtype
        ({"fixed": x[:2], "cat": c}, None, ValueError),  # uneven columns
        ({"fixed": x, "cat": c}, list(y), ValueError),  # expected values not an array
    ]
    watched = keys + [x, c, y, nan_x, nan_y, unhashable, not_a_number, x64]
    g = build(MIXED)

    def run(count):
        for k in range(count):
            xarray, yarray, error = cases[k % len(cases)]
            try:
                out = g._query(xarray, yarray)
            except Exception as e:
                assert type(e) is error, (k % len(cases), e)
            else:
                assert error is None and len(out) == len(xarray["fixed"]), k % len(cases)

    run(10 * len(cases))  # the categories of c exist from here on
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        # Memory is read at the start, half way and at the end; one-time
        # allocations (caches that fill on first use) land in the first half,
        # so the second half must not grow at all.
        readings = []
        for count in (0, QUERIES // 2, QUERIES - QUERIES // 2):
            run(count)
            readings.append((tracemalloc.get_traced_memory()[0], resident_bytes()))
    finally:
        tracemalloc.stop()
    (traced0, resident0), (traced1, resident1), (traced2, resident2) = readings
    print("%d queries: traced memory %+d bytes (second half %+d), resident %+d bytes (second half %+d)"
          % (QUERIES, traced2 - traced0, traced2 - traced1, resident2 - resident0, resident2 - resident1))
    assert [sys.getrefcount(o) for o in watched] == refs
    assert {k for k, _ in g[1].state.categories} == set(keys[:3])
    # A leak of one byte every second query would show as QUERIES // 4.
    assert traced2 - traced1 < QUERIES // 4
    # Resident memory moves by whole pages; a category entry leaked on every
    # second query would show as more than a MiB here.
    if not UNDER_ASAN:  # the sanitizer's quarantine holds freed memory back
        assert resident2 - resident1 < 1 << 20


def test_cycles_through_linkdata_and_category_keys_are_collected():
    # A library that keeps its graph in an interaction's linkdata, or a
    # category key that holds the graph, makes a cycle through native
    # objects: the collector must see into them and break it. Copies and
    # loaded pickles of the graph, and a graph emptied by __init__, go too.
    def cycles(count):
        for _ in range(count):
            g = build(MIXED)
            g[0]._linkdata = {"graph": g}
            g[1].state.categories = [((g, "key"), 0.5)]
            copy.copy(g), copy.deepcopy(g), pickle.loads(pickle.dumps(g))
            _vesk.Graph(3).__init__(0)

    def live_graphs():
        gc.collect()
        return sum(isinstance(o, _vesk.Graph) for o in gc.get_objects())

    cycles(100)
    graphs_before = live_graphs()
    tracemalloc.start()
    try:
        readings = []
        for count in (0, 2000, 2000):
            cycles(count)
            gc.collect()
            blocks = len(tracemalloc.take_snapshot().traces)
            readings.append((tracemalloc.get_traced_memory()[0], blocks))
    finally:
        tracemalloc.stop()
    assert live_graphs() == graphs_before
    # A graph of eight nodes left behind per round would be over 1 MB here;
    # a block (of any size, 0 included) per destroyed graph, 10,000 blocks.
    assert readings[2][0] - readings[1][0] < 100_000 and readings[2][1] - readings[1][1] < 1000, readings


LOOP = """
import copy, pickle
import numpy as np
import _vesk
from graph_pairs import build, columns
from reliability import MIXED

X, y = columns(MIXED, 20, 1)
for k in range(200):
    g = build(MIXED)
    g[1].state.categories = [(("key", k), 0.5)]
    g._query(X, y), g._query(X)
    for refused in ({}, {**X, "fixed": [1.0]}):
        try:
            g._query(refused, y)
        except ValueError:
            pass
    for h in (copy.copy(g), copy.deepcopy(g), pickle.loads(pickle.dumps(g))):
        h._query(X, y)
    node = _vesk.Interaction.__new__(_vesk.Interaction)
    node.__setstate__(g[2].__getstate__())
    g.__init__(3)
"""


@pytest.mark.skipif(not UNDER_ASAN, reason="the leak checker runs in the sanitizer build (make test-asan)")
def test_the_leak_checker_finds_no_block_of_the_module(tmp_path):
    # Graphs and interactions created, trained, refused, copied, pickled and
    # destroyed, in a child whose leak report at exit has whole allocation
    # stacks: the interpreter's own leftovers are in it, the module's must not.
    options = "detect_leaks=1:fast_unwind_on_malloc=0:log_path=%s" % (tmp_path / "asan")
    proc = run_python(LOOP, env={"ASAN_OPTIONS": options, "LSAN_OPTIONS": "exitcode=0"}, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    reports = [f.read_text() for f in tmp_path.iterdir()]
    assert reports and all("LeakSanitizer" in r for r in reports)  # the checker ran
    assert [counted(r) for r in reports] == [""] * len(reports)
