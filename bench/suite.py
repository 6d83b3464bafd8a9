"""Benchmark suite: the module's per-sample loop against a fused C++ floor, a
numba loop generated per graph, one numba interpreter for every graph, PyTorch
eager and a plain Python loop, plus numba's compile cost, call overhead,
thread scaling, instruction counts, peak memory and allocations.

Every contender runs the same graphs (G5, G12, G30) on the same seeded data
from the same starting parameters, float32, batch size 1, one online pass per
epoch. Contenders are measured in one process, interleaved, each repetition
from a fresh state; figures are medians over the repetitions. Writes
bench.md, bench.json, bench.png and the callgrind profiles to the output
directory and prints the table.

Usage: python bench/suite.py [--rows N] [--reps R] [--out DIR] ...  (see --help)
"""
import argparse
import concurrent.futures
import gc
import importlib.metadata
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import _vesk  # noqa: E402

import callgrind  # noqa: E402
import codegen  # noqa: E402
import contenders  # noqa: E402
import graphs  # noqa: E402
import report  # noqa: E402

PEERS = ("numba", "numba-generic", "torch", "python")
PARTS = ("call", "threads", "callgrind", "heap")


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=int, default=100_000, help="rows per epoch for the module, floor and numba")
    p.add_argument("--reps", type=int, default=7, help="repetitions (median taken); at least 5 for a real run")
    p.add_argument("--torch-rows", type=int, default=1000, help="rows per epoch for PyTorch (scaled per sample)")
    p.add_argument("--python-rows", type=int, default=5000, help="rows per epoch for plain Python")
    p.add_argument("--graphs", default="G5,G12,G30")
    p.add_argument("--call-loops", type=int, default=20000, help="calls per repetition for the 1-sample figure")
    p.add_argument("--thread-rows", type=int, default=12_500, help="rows per graph for the thread scaling")
    p.add_argument("--thread-graph", default="G12")
    p.add_argument("--thread-reps", type=int, default=31,
                   help="paired 1- and 2-thread runs for the thread scaling (median ratio taken)")
    p.add_argument("--callgrind-rows", type=int, default=5000,
                   help="N for the N / 2N instruction counts; 1000 or more for steady-state training counts "
                        "(Adam's bias correction runs below sample 1000)")
    p.add_argument("--heap-rows", type=int, default=1_000_000, help="rows of the long query for the heap figures")
    p.add_argument("--heap-graph", default="G12", help="graph for the peak memory and allocation figures")
    p.add_argument("--skip", default="", help="comma-separated parts to leave out: " + ",".join(PEERS + PARTS))
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--build-dir", default=os.path.join(HERE, "build"))
    args = p.parse_args(argv)
    args.graphs = [g for g in args.graphs.split(",") if g]
    args.skip = set(s for s in args.skip.split(",") if s)
    unknown = args.skip - set(PEERS + PARTS + ("floor",))
    if unknown:
        p.error("unknown parts to skip: %s" % ", ".join(sorted(unknown)))
    for g in args.graphs + [args.thread_graph, args.heap_graph]:
        if g not in graphs.GRAPHS:
            p.error("no graph %s (known: %s)" % (g, ", ".join(graphs.GRAPHS)))
    return args


def say(text=""):
    print(text, flush=True)


def machine_info():
    info = {"python": contenders.python_version(), "numpy": np.__version__, "cores": os.cpu_count(),
            "platform": platform.platform()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    for package in ("numba", "torch", "matplotlib"):
        try:
            info[package] = importlib.metadata.version(package)
        except importlib.metadata.PackageNotFoundError:
            pass
    try:
        cxx = os.environ.get("CXX", "c++")
        info["compiler"] = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        pass
    return info


def timed(fn):
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn()
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def same_bits(a, b):
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    width = {4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    return bool(np.array_equal(a.view(width), b.view(width)))


def compare(module_runs, runs):
    """Bit-for-bit comparison of one contender's first repetition with the
    module's: predictions of both passes, parameters, category weights."""
    checks = {
        "train predictions": same_bits(runs["train"], module_runs["train"]),
        "predict predictions": same_bits(runs["predict"], module_runs["predict"]),
        "parameters": same_bits(runs["state"][0], module_runs["state"][0]),
        "category weights": all(same_bits(a, b) for a, b in zip(runs["state"][1], module_runs["state"][1])),
    }
    return checks


# ---------------------------------------------------------------------------


def epochs(args, data, y, ranges, floor, skipped):
    """The interleaved per-sample timings; returns (times, rows, verification,
    compile cost)."""
    setups = {}
    compiled = {"graphs": {}}
    if not {"numba", "numba-generic"} <= args.skip:
        # numba's own start-up goes to no contender's compile time.
        compiled["startup"] = contenders.numba_startup()
    for name in args.graphs:
        layout = graphs.GRAPHS[name]
        plan = codegen.Plan(name, layout)
        params, categories = graphs.starting_state(_vesk, layout, ranges)
        flat = contenders.FlatState(plan, params, categories, ranges)
        cs = [contenders.ModuleContender(_vesk, plan, params, categories, ranges, data, y)]
        if floor is not None:
            cs.append(contenders.FloorContender(floor, plan, flat, data, y))
        for peer in PEERS:
            if peer in args.skip or peer in skipped:
                continue
            try:
                if peer == "numba":
                    cs.append(contenders.NumbaContender(plan, flat, data, y))
                elif peer == "numba-generic":
                    cs.append(contenders.NumbaGenericContender(plan, flat, data, y))
                elif peer == "torch":
                    part = {k: v[:args.torch_rows] for k, v in data.items()}
                    cs.append(contenders.TorchContender(plan, flat, part, y[:args.torch_rows]))
                else:
                    part = {k: v[:args.python_rows] for k, v in data.items()}
                    cs.append(contenders.PythonContender(plan, flat, part, y[:args.python_rows]))
            except contenders.Skipped as exc:
                skipped[peer] = str(exc)
                say("skipped: %s (%s)" % (peer, exc))
        setups[name] = (plan, cs)
        for c in cs:
            if hasattr(c, "compile_seconds"):
                compiled["graphs"].setdefault(name, {})[c.name] = dict(c.compile_seconds)
            if hasattr(c, "encode_seconds"):
                compiled["graphs"][name][c.name]["encode"] = c.encode_seconds
    times = {name: {c.name: {"train": [], "predict": []} for c in cs} for name, (_, cs) in setups.items()}
    rows = {name: {c.name: len(c.y) for c in cs} for name, (_, cs) in setups.items()}
    first = {}
    for rep in range(args.reps):
        for name, (plan, cs) in setups.items():
            for c in cs:
                c.reset()
                t_train, out_train = timed(c.train)
                t_predict, out_predict = timed(c.predict)
                n = rows[name][c.name]
                times[name][c.name]["train"].append(t_train * 1e9 / n)
                times[name][c.name]["predict"].append(t_predict * 1e9 / n)
                if rep == 0:
                    first[(name, c.name)] = {"train": out_train, "predict": out_predict, "state": c.state()}
        say("  repetition %d of %d done" % (rep + 1, args.reps))
    verification = {}
    for name, (plan, cs) in setups.items():
        for c in cs:
            if c.name in ("floor", "numba", "numba generic"):
                verification[(name, c.name)] = compare(first[(name, "module")], first[(name, c.name)])
    return times, rows, verification, compiled


def one_sample_call(args, data, y, ranges):
    """The cost of a 1-sample query on G5 against a 1-element numpy.add."""
    layout = graphs.GRAPHS["G5"]
    params, categories = graphs.starting_state(_vesk, layout, ranges)
    results = {}
    for adapt in (True, False):
        g, nodes = graphs.build_module_graph(_vesk, layout, params, categories, ranges)
        for entry, node in zip(layout, nodes):
            if entry[0] in ("in", "out"):
                node.state.auto_adapt = adapt
        x1 = {"x0": data["x0"][:1].copy(), "x1": data["x1"][:1].copy()}
        y1 = y[:1].copy()
        results[adapt] = {
            "predict": timeit.Timer("q(x)", globals={"q": g._query, "x": x1}),
            "train": timeit.Timer("q(x, y)", globals={"q": g._query, "x": x1, "y": y1}),
        }
    a = np.ones(1, np.float32)
    b = np.ones(1, np.float32)
    add = timeit.Timer("add(a, b)", globals={"add": np.add, "a": a, "b": b})
    samples = {"numpy.add": []}
    for adapt in (True, False):
        for mode in ("predict", "train"):
            samples[(adapt, mode)] = []
    loops = args.call_loops
    for _ in range(max(args.reps, 1)):
        gc.disable()
        try:
            samples["numpy.add"].append(add.timeit(loops) / loops * 1e9)
            for adapt in (True, False):
                for mode in ("predict", "train"):
                    samples[(adapt, mode)].append(results[adapt][mode].timeit(loops) / loops * 1e9)
        finally:
            gc.enable()
    add_ns = statistics.median(samples["numpy.add"])
    out = {"numpy_add_ns": add_ns}
    for adapt in (True, False):
        for mode in ("predict", "train"):
            ns = statistics.median(samples[(adapt, mode)])
            out["%s_%s_ns" % (mode, "adapt" if adapt else "fixed")] = ns
    return out


def thread_scaling(args, data, y, ranges, floor):
    """Throughput of 16 independent graphs on 2 threads over 1 thread: the
    module's training queries, and as a control the fused floor loops (which
    run without the interpreter lock and share nothing), whose scaling is what
    the machine allows at the moment. On a shared machine a single run's ratio
    swings with what the neighbours do, so the ratio is taken per pair of
    neighbouring 1- and 2-thread runs, and the median over many pairs is the
    figure, with the best and worst pair beside it."""
    name = args.thread_graph
    layout = graphs.GRAPHS[name]
    plan = codegen.Plan(name, layout)
    params, categories = graphs.starting_state(_vesk, layout, ranges)
    n = min(args.thread_rows, len(y))
    part = {k: v[:n] for k, v in data.items()}
    flat = contenders.FlatState(plan, params, categories, ranges)

    def fresh(who):
        if who == "module":
            batch = [contenders.ModuleContender(_vesk, plan, params, categories, ranges, part, y[:n])
                     for _ in range(16)]
        else:
            batch = [contenders.FloorContender(floor, plan, flat, part, y[:n]) for _ in range(16)]
        for c in batch:
            c.reset()
        return batch

    who_list = ["module"] + (["floor"] if floor is not None else [])
    pools = {t: concurrent.futures.ThreadPoolExecutor(max_workers=t) for t in (1, 2)}
    seconds = {(who, t): [] for who in who_list for t in (1, 2)}
    # Runs in ABBA order: each pass reverses the last one's, so that a 1- and
    # a 2-thread run of one contender are always neighbours (a pair sees the
    # same machine) and neither comes first more often than the other.
    order = [(who, t) for who in who_list for t in (1, 2)]
    try:
        for pool in pools.values():  # start the workers before any timing
            list(pool.map(lambda c: c.train(), fresh("module")[:2]))
        for rep in range(max(args.thread_reps, 1)):
            for who, t in (order if rep % 2 == 0 else order[::-1]):
                batch = fresh(who)
                elapsed, _ = timed(lambda: list(pools[t].map(lambda c: c.train(), batch)))
                seconds[(who, t)].append(elapsed)
    finally:
        for pool in pools.values():
            pool.shutdown()
    out = {"graph": name, "rows_per_graph": n, "cpus": len(os.sched_getaffinity(0)), "pairs": len(seconds[order[0]])}
    for who in who_list:
        ones, twos = seconds[(who, 1)], seconds[(who, 2)]
        ratios = [t1 / t2 for t1, t2 in zip(ones, twos)]
        out[who] = {"throughput_1": 16 * n / statistics.median(ones), "throughput_2": 16 * n / statistics.median(twos),
                    "scaling": statistics.median(ratios), "scaling_best": max(ratios), "scaling_worst": min(ratios),
                    "ratios": ratios}
    return out


def run_probe(args, probe, env=None, prefix=(), timeout=1800):
    command = list(prefix) + [sys.executable, os.path.join(HERE, "probes.py"), probe] + [str(a) for a in args]
    environment = dict(os.environ)
    environment.update(env or {})
    done = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=timeout)
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise RuntimeError("probe %s failed (exit %d): %s" % (probe, done.returncode, done.stderr.strip()[-800:]))


def heap_probe(args):
    cc = os.environ.get("CC", "cc")
    os.makedirs(args.build_dir, exist_ok=True)
    shim = os.path.join(args.build_dir, "libmalloc_count.so")
    source = os.path.join(HERE, "native", "malloc_count.c")
    if not os.path.exists(shim) or os.path.getmtime(shim) < os.path.getmtime(source):
        done = subprocess.run([cc, "-O2", "-fPIC", "-shared", "-o", shim, source], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("the allocation counter did not compile: " + done.stderr.strip()[:400])
    return run_probe(["--rows", args.heap_rows, "--graph", args.heap_graph], "heap",
                     env={"LD_PRELOAD": shim, "PYTHONMALLOC": "malloc"})


def callgrind_probe(args, floor_path):
    return callgrind.measure(args, floor_path, _vesk.__file__, run_probe)


# ---------------------------------------------------------------------------


def main(argv=None):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    info = machine_info()
    info["load_before"] = os.getloadavg()
    say("vesk benchmark suite: %s rows, %d repetitions, graphs %s" % (args.rows, args.reps, ", ".join(args.graphs)))
    say("machine: %s, %s cores, load %.2f %.2f %.2f; Python %s, numpy %s" % (
        info.get("cpu", "?"), info["cores"], *info["load_before"], info["python"], info["numpy"]))
    skipped = {}
    data, y = graphs.make_data(args.rows)
    ranges = graphs.feature_ranges(data, y)
    floor = floor_path = floor_command = None
    if "floor" not in args.skip:
        try:
            plans = [codegen.Plan(n, graphs.GRAPHS[n]) for n in graphs.GRAPHS]
            floor, floor_command = contenders.build_floor(plans, args.build_dir)
            floor_path = floor.__file__
            say("floor: " + " ".join(floor_command[:-4] + [os.path.basename(floor_command[-2])]))
        except contenders.Skipped as exc:
            skipped["floor"] = str(exc)
            say("skipped: floor (%s)" % exc)
    for peer in PEERS:
        if peer in args.skip:
            skipped[peer] = "left out with --skip"
            say("skipped: %s (left out with --skip)" % peer)

    results = {"args": {k: (sorted(v) if isinstance(v, set) else v) for k, v in vars(args).items()},
               "machine": info, "skipped": skipped}
    say("timing the epochs ...")
    times, rows, verification, compiled = epochs(args, data, y, ranges, floor, skipped)
    results["times"] = times
    if compiled["graphs"]:
        results["compile"] = compiled
        for graph, by_who in compiled["graphs"].items():
            say("numba first calls on %s (compile included) against warm ones: %s" % (graph, "; ".join(
                "%s train %.3g s / %.3g s, predict %.3g s / %.3g s" % (
                    who, c["train"]["first"], c["train"]["warm"], c["predict"]["first"], c["predict"]["warm"])
                for who, c in by_who.items())))
    results["rows"] = rows
    results["verification"] = {"%s/%s" % k: v for k, v in verification.items()}
    for (graph, who), checks in sorted(verification.items()):
        bad = [k for k, ok in checks.items() if not ok]
        say("%s on %s: %s" % (who, graph, "bit-equal to the module" if not bad else "DIFFERS in " + ", ".join(bad)))

    def part(name, label, fn):
        if name in args.skip:
            say("skipped: %s (left out with --skip)" % label)
            skipped[name] = "left out with --skip"
            return
        say(label + " ...")
        try:
            results[name] = fn()
        except Exception as exc:  # a failed part is reported, the others still run
            skipped[name] = "failed: %s" % exc
            say("skipped: %s (failed: %s)" % (label, exc))

    part("call", "1-sample call against numpy.add", lambda: one_sample_call(args, data, y, ranges))
    part("threads", "thread scaling", lambda: thread_scaling(args, data, y, ranges, floor))
    if "callgrind" not in args.skip and shutil.which("valgrind") is None:
        skipped["callgrind"] = "valgrind is not installed"
        say("skipped: instruction counts (valgrind is not installed)")
    elif "callgrind" not in args.skip and floor_path is None:
        skipped["callgrind"] = "no floor to compare with"
        say("skipped: instruction counts (no floor to compare with)")
    else:
        part("callgrind", "instruction counts (callgrind)", lambda: callgrind_probe(args, floor_path))
    part("heap", "heap allocations and peak", lambda: heap_probe(args))
    info["load_after"] = os.getloadavg()

    table = report.markdown(results)
    say()
    say(table)
    with open(os.path.join(args.out, "bench.md"), "w") as f:
        f.write(table)
    with open(os.path.join(args.out, "bench.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)
    chart = report.chart(results, os.path.join(args.out, "bench.png"))
    say(chart)
    return 0


if __name__ == "__main__":
    sys.exit(main())
