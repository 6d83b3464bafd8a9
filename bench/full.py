"""The suite's measurements behind --full: numba's compile cost, thread
scaling, instruction counts under callgrind, heap allocations with the
peak of the live heap, and the peak heap and resident memory of long queries
on float64 columns (bench_memory.py). The last three run in processes of
their own; the first two of those are started
as `full.py PROBE JSON-OPTIONS` and printing one line "RESULT <json>":

    regions  every query (module and floor; training and prediction; N and 2N
             rows; every graph) inside one call of the floor library's
             bench_region, so that valgrind --toggle-collect=bench_region
             --dump-after=bench_region counts each apart
    heap     allocations and peak growth of the live heap during queries of
             10, 1,000 and N rows, with the counting shim (native/
             malloc_count.c) preloaded and PYTHONMALLOC=malloc, so that
             interpreter objects count too
"""
import collections
import concurrent.futures
import copy
import ctypes
import glob
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

import _vesk
import contenders
import graphs

HERE = os.path.dirname(os.path.abspath(__file__))


def add_arguments(p):
    p.add_argument("--thread-rows", type=int, default=12_500, help="rows per graph for the thread scaling")
    p.add_argument("--thread-graph", default="G12")
    p.add_argument("--thread-reps", type=int, default=31, help="pairs of 1- and 2-thread runs (median ratio taken)")
    p.add_argument("--callgrind-rows", type=int, default=5000,
                   help="N of the N / 2N instruction counts; 1000 or more for steady-state training counts "
                        "(Adam's bias correction runs below sample 1000)")
    p.add_argument("--heap-rows", default="1000000", help="rows of the long query for the heap figures, a list")
    p.add_argument("--heap-graph", default="G12")
    p.add_argument("--memory-rows", default="1000000,20000000",
                   help="rows of the queries on float64 columns whose peak heap and resident memory are measured")
    p.add_argument("--crafted-keys", type=int, default=40_000, help="int keys crafted to crowd the category index")


def _seconds(s):
    return "%.2f s" % s if s >= 1.0 else ("%.1f ms" % (s * 1e3) if s >= 1e-3 else "%.1f µs" % (s * 1e6))


def numba_startup():
    """Seconds numba takes to compile its first function in the process (its
    own start-up and first use of the float32 maths), so that no contender's
    compile time carries it; None without numba."""
    try:
        import numba
    except ImportError:
        return None

    def warm(x):
        v = x[0]
        return math.tanh(v) + math.exp(-v) + math.sin(v) * math.cos(v) + math.sqrt(v) + np.float32(0.9) ** v

    start = time.perf_counter()
    numba.njit(nogil=True)(warm)(np.ones(1, np.float32))
    return time.perf_counter() - start


def compile_cost(lineups, startup, **_):
    out = {graph: {c.name: c.compile_seconds for c in line if hasattr(c, "compile_seconds")}
           for graph, line in lineups.items()}
    if not any(out.values()):
        raise RuntimeError("no numba contender ran")
    return {"startup": startup, "graphs": out}


def report_compile(cc):
    lines = ["## numba's compile cost (first call of 4 rows, compile included)", "", "| graph | numba: train / "
             "predict | numba generic: train / predict |", "|---|---:|---:|"] + ["| %s | %s |" % (graph, " | ".join(
                 "%s / %s" % (_seconds(by[who]["train"]), _seconds(by[who]["predict"])) if who in by else "-"
                 for who in ("numba", "numba generic"))) for graph, by in cc["graphs"].items()]
    return [], lines + ["", "The per-graph loop compiles for every graph, the generic interpreter once, at its first "
                        "call. numba's own start-up (%s) is in no figure." % _seconds(cc["startup"] or 0.0), ""]


def thread_scaling(args, data, y, ranges, floor, **_):
    """Throughput of 16 independent graphs on 2 threads over 1 thread: the
    module's training queries, and as a control the floor's loops (which run
    without the interpreter lock and share nothing), whose scaling is what
    the machine allows at the moment. A single run's ratio swings with what
    the neighbours do, so the ratio is taken per pair of neighbouring 1- and
    2-thread runs, and the median over many pairs is the figure."""
    n = min(args.thread_rows, len(y))
    line = contenders.lineup(args.thread_graph, graphs.GRAPHS[args.thread_graph], {k: v[:n] for k, v in data.items()},
                             y[:n], ranges, floor, skip=contenders.PEERS[1:])
    pools = {t: concurrent.futures.ThreadPoolExecutor(max_workers=t) for t in (1, 2)}
    order = [(c, t) for c in line for t in (1, 2)]
    seconds = {(c.name, t): [] for c, t in order}
    try:
        for rep in range(max(args.thread_reps, 1)):
            # ABBA order: a 1- and a 2-thread run of one contender are always
            # neighbours, and neither comes first more often.
            for c, t in (order if rep % 2 == 0 else order[::-1]):
                batch = [copy.copy(c) for _ in range(16)]
                for b in batch:
                    b.reset()
                start = time.perf_counter()
                list(pools[t].map(lambda b: b.train(), batch))
                seconds[(c.name, t)].append(time.perf_counter() - start)
    finally:
        for pool in pools.values():
            pool.shutdown()
    out = {"graph": args.thread_graph, "rows_per_graph": n, "cpus": len(os.sched_getaffinity(0)),
           "pairs": max(args.thread_reps, 1)}
    for c in line:
        ones, twos = seconds[(c.name, 1)], seconds[(c.name, 2)]
        ratios = [a / b for a, b in zip(ones, twos)]
        out[c.name] = {"throughput_1": 16 * n / statistics.median(ones),
                       "throughput_2": 16 * n / statistics.median(twos),
                       "scaling": statistics.median(ratios), "best": max(ratios), "worst": min(ratios)}
    return out


def report_threads(th):
    return ["| thread scaling of the %s, 16 independent %s graphs, %s training rows each | %.2f x, median of %d pairs "
            "of neighbouring 1- and 2-thread runs (best pair %.2f x, worst %.2f x); median throughput 1 thread %.3g "
            "samples/s, 2 threads %.3g samples/s |" % (
                who if who == "module" else "floor (control: what the machine allows now)", th["graph"],
                "{:,}".format(th["rows_per_graph"]), th[who]["scaling"], th["pairs"], th[who]["best"],
                th[who]["worst"], th[who]["throughput_1"], th[who]["throughput_2"])
            for who in ("module", "floor") if who in th], []


# ---------------------------------------------------------------------------
# Probes, each in a process of its own


def run_probe(probe, options, env=None, prefix=()):
    command = list(prefix) + [sys.executable, os.path.abspath(__file__), probe, json.dumps(options)]
    done = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, **(env or {})), timeout=3600)
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    raise RuntimeError("probe %s failed (exit %d): %s" % (probe, done.returncode, done.stderr.strip()[-800:]))


def _lineup(name, rows, floor=None, rows_of=None):
    """The module (and, given floor, the floor) on the first rows of a graph's
    data of rows_of rows."""
    data, y = graphs.make_data(rows_of or rows)
    return contenders.lineup(name, graphs.GRAPHS[name], {k: v[:rows] for k, v in data.items()}, y[:rows],
                             graphs.feature_ranges(data, y), floor, skip=contenders.PEERS[1:])


def probe_regions(rows, lib, graph_names):
    region, callback, index = ctypes.CDLL(lib).bench_enter, ctypes.CFUNCTYPE(None), []
    for name in graph_names:
        for mode in ("train", "predict"):
            for n in (rows, 2 * rows):
                for c in _lineup(name, n, lib, 2 * rows):
                    c.reset()
                    done = []
                    region(callback(lambda: done.append(len(getattr(c, mode)()))))
                    if done != [n]:
                        raise SystemExit("the query of region %d did not run" % len(index))
                    index.append({"graph": name, "who": c.name, "mode": mode, "rows": n})
    return index


def probe_heap(rows, graph):
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "malloc_count_start"):
        raise SystemExit("the allocation counter is not preloaded")
    start, stop = libc.malloc_count_start, libc.malloc_count_stop  # looked up before any counting
    start.argtypes = [ctypes.c_void_p]
    counters = {name: getattr(libc, "malloc_count_" + name) for name in ("allocations", "unlocked", "peak")}
    for fn in counters.values():
        fn.restype = ctypes.c_ulonglong
    c = _lineup(graph, rows)[0]
    c.reset()
    sizes = sorted({10, min(1000, rows), rows})
    for n in sizes:  # first-use costs out of the way
        c.graph._query({k: v[:n] for k, v in c.x.items()}, c.y[:n])
        c.graph._query({k: v[:n] for k, v in c.x.items()})
    # What grows with the rows: the output, and for a categorical column the
    # resolved category of each row (numeric columns are read in blocks).
    per_row = 4 + 8 * len(c.plan.cats)
    result = {"rows": rows, "graph": graph, "sizes": sizes,
              "arrays": {"train": per_row * rows, "predict": per_row * rows}}
    holds_lock = ctypes.cast(ctypes.pythonapi.PyGILState_Check, ctypes.c_void_p).value
    for mode in ("train", "predict"):
        for n in sizes:
            xs, ys = {k: v[:n] for k, v in c.x.items()}, c.y[:n]
            start(holds_lock)
            out = c.graph._query(xs, ys) if mode == "train" else c.graph._query(xs)
            stop()
            del out
            result["%s_%d" % (mode, n)] = {name: fn() for name, fn in counters.items()}
    return result


# ---------------------------------------------------------------------------
# Instruction counts


def _symbols(path, dynamic=False):
    done = subprocess.run(["nm", "-C", "--defined-only"] + (["-D"] if dynamic else []) + [path],
                          capture_output=True, text=True)
    parts = (line.split(" ", 2) for line in done.stdout.splitlines())
    return {(int(p[0], 16), p[2]) for p in parts if len(p) == 3 and p[1] in "tT" and re.fullmatch("[0-9a-f]+", p[0])}


def local_names(module_path):
    """Address -> name of the module's functions, from the unstripped copy of
    the same build in the virtual environment's build tree (the installed
    module has no file-local symbols); {} when there is none."""
    exported = _symbols(module_path, True)
    for path in glob.glob(os.path.join(sys.prefix, "build", "**", os.path.basename(module_path)), recursive=True):
        if exported and not os.path.samefile(path, module_path) and _symbols(path, True) == exported:
            return dict(_symbols(path))
    return {}


def parse_profile(path):
    """(total, {function: self instructions}) of one callgrind dump written
    with --compress-strings=no --compress-pos=no."""
    total, own, ob, fn, after_call = 0, collections.Counter(), "", "", False
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith(("ob=", "fn=")):
                ob, fn = (os.path.basename(line[3:].strip()), fn) if line[0] == "o" else (ob, line[3:].strip())
                after_call = False
            elif line.startswith("calls="):
                after_call = True
            elif re.match(r"[0-9+\-*]", line):
                parts = line.split()
                if len(parts) >= 2 and not after_call:  # the line after calls= is the callee's inclusive cost
                    own["%s [%s]" % (re.sub(r"'\d+$", "", fn), ob)] += int(parts[1])
                after_call = False
    return total, own


def callgrind(args, floor, **_):
    """Instructions per sample, (count(2N rows) - count(N rows)) / N, which
    leaves out what a query spends once; the same difference per function is
    the profile of one sample (written to profile.md)."""
    if shutil.which("valgrind") is None or floor is None:
        raise RuntimeError("valgrind is not installed" if floor else "no floor to compare with")
    rows, base = args.callgrind_rows, os.path.join(args.build_dir, "callgrind.out")
    for old in glob.glob(base + "*"):
        os.remove(old)
    index = run_probe("regions", {"rows": rows, "lib": floor, "graph_names": args.graphs}, prefix=[
        "valgrind", "--tool=callgrind", "--callgrind-out-file=" + base, "--compress-strings=no", "--compress-pos=no",
        "--collect-atstart=no", "--toggle-collect=bench_region", "--dump-after=bench_region"])
    dumps = sorted(glob.glob(base + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
    if len(dumps) != len(index):
        raise RuntimeError("callgrind wrote %d profiles for %d queries" % (len(dumps), len(index)))
    counts = {(e["graph"], e["who"], e["mode"], e["rows"]): parse_profile(p) for e, p in zip(index, dumps)}
    names, module = local_names(_vesk.__file__), os.path.basename(_vesk.__file__)
    result = {"rows": rows, "per_sample": {}, "profiles": {}}
    for graph in args.graphs:
        for who in ("module", "floor"):
            for mode in ("train", "predict"):
                (small, own), (large, large_own) = (counts[(graph, who, mode, n)] for n in (rows, 2 * rows))
                per_sample = (large - small) / rows
                result["per_sample"]["%s/%s/%s" % (graph, who, mode)] = {
                    "per_sample": per_sample, "per_node_sample": per_sample / len(graphs.GRAPHS[graph])}
                if who == "module":
                    large_own.subtract(own)
                    top = []
                    for fn, count in large_own.most_common(15):
                        m = re.fullmatch(r"0x([0-9a-f]+) \[%s\]" % re.escape(module), fn)
                        name = "%s [%s]" % (names[int(m.group(1), 16)], module) if m and int(m.group(1), 16) in names \
                            else fn
                        top += [(name, count / rows)] if count > 0 else []
                    result["profiles"]["%s/%s" % (graph, mode)] = {"per_sample": per_sample, "top": top}
    lines = ["Per-sample instruction profile of the module's query (callgrind; self instructions",
             "per sample, from the difference of a %d-row and a %d-row query)." % (rows, 2 * rows), ""]
    for key, prof in result["profiles"].items():
        lines += ["## %s %s: %.0f instructions per sample, %.1f per node-sample" % (
            *key.split("/"), prof["per_sample"], prof["per_sample"] / len(graphs.GRAPHS[key.split("/")[0]])), "",
            "| instr/sample | share | function |", "|---:|---:|---|"] + ["| %.1f | %.1f%% | `%s` |" % (
                n, 100.0 * n / prof["per_sample"] if prof["per_sample"] else 0.0, name.replace("|", "\\|"))
                for name, n in prof["top"]] + [""]
    with open(os.path.join(args.out, "profile.md"), "w") as f:
        f.write("\n".join(lines))
    return result


def report_callgrind(cg):
    lines = ["## Instructions per sample (callgrind, difference of %d- and %d-row queries)"
             % (cg["rows"], 2 * cg["rows"]),
             "", "| graph | pass | module/sample | module/node-sample | floor/node-sample | module / floor |",
             "|---|---|---:|---:|---:|---:|"]
    for key, m in cg["per_sample"].items():
        graph, who, mode = key.split("/")
        f = cg["per_sample"]["%s/floor/%s" % (graph, mode)]
        if who == "module":
            lines.append("| %s | %s | %.0f | %.1f | %.1f | %.2f |" % (
                graph, mode, m["per_sample"], m["per_node_sample"], f["per_node_sample"],
                m["per_sample"] / f["per_sample"] if f["per_sample"] else float("nan")))
    return [], lines + ["", "The module's query counts everything that grows with the rows: the block reads of the "
                            "columns, the "
                        "categorical column's resolution and the sample loop. Per-function profiles: profile.md.", ""]


def heap(args, **_):
    shim = os.path.join(args.build_dir, "libmalloc_count.so")
    source = os.path.join(HERE, "native", "malloc_count.c")
    if not os.path.exists(shim) or os.path.getmtime(shim) < os.path.getmtime(source):
        os.makedirs(args.build_dir, exist_ok=True)
        done = subprocess.run([os.environ.get("CC", "cc"), "-O2", "-fPIC", "-shared", "-o", shim, source],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("the allocation counter did not compile: " + done.stderr.strip()[:400])
    return [run_probe("heap", {"rows": int(rows), "graph": args.heap_graph},
                      env={"LD_PRELOAD": shim, "PYTHONMALLOC": "malloc"}) for rows in args.heap_rows.split(",")]


def report_heap(runs):
    rows, mode_name = [], {"train": "training", "predict": "prediction"}
    for al in runs:
        big = al["sizes"][-1]
        rows += ["| peak growth of the heap during a %s-row %s query on %s | %.1f MB; budget %.1f MB (arrays %.1f MB "
                 "+ 2 MB) |" % ("{:,}".format(big), mode_name[mode], al["graph"],
                                al["%s_%d" % (mode, big)]["peak"] / 1e6,
                                (al["arrays"][mode] + (2 << 20)) / 1e6, al["arrays"][mode] / 1e6)
                 for mode in ("train", "predict")]
        rows += ["| heap allocations during a %s query on %s | %s |" % (mode_name[mode], al["graph"], "; ".join(
            "%s rows: %d (%d with the lock released)" % ("{:,}".format(n), al["%s_%d" % (mode, n)]["allocations"],
                                                        al["%s_%d" % (mode, n)]["unlocked"]) for n in al["sizes"]))
                 for mode in ("train", "predict")]
    return rows, ["Heap figures (table below): a malloc-counting shim preloaded into a process of its own, the "
                  "interpreter allocating through malloc too, counts every allocation during the query (those with "
                  "the interpreter lock released are the sample loop's) and the peak growth of the live heap, the "
                  "returned predictions included. The budget's arrays are the output (4 bytes a row) and the resolved "
                  "categories of a categorical column (8 bytes a row); numeric columns and expected values are read "
                  "in blocks of 256 rows and add nothing that grows with the rows.", ""]


def memory(args, **_):
    import bench_memory

    return [dict(bench_memory.run(int(rows), mode), before=bench_memory.BEFORE.get((int(rows), mode)))
            for rows in args.memory_rows.split(",") for mode in ("train", "predict")]


def report_memory(runs):
    MB = 1 << 20
    return ["| peak growth during a %s-row %s query on two float64 columns: heap / resident | %.1f / %.1f MB = output "
            "(%.1f MB) %+.0f / %+.0f KB%s |" % (
                "{:,}".format(r["rows"]), {"train": "training", "predict": "prediction"}[r["mode"]], r["heap"] / MB,
                r["rss"] / MB, r["output"] / MB, (r["heap"] - r["output"]) / 1024, (r["rss"] - r["output"]) / 1024,
                "; heap %.1f MB when columns were copied whole" % r["before"] if r["before"] else "")
            for r in runs], []


def categories(args, **_):
    """bench_cat.py's figures, in a process of its own."""
    done = subprocess.run([sys.executable, os.path.join(HERE, "bench_cat.py"), "--json", "--crafted",
                           str(args.crafted_keys)], capture_output=True, text=True, check=True, timeout=3600)
    return json.loads(done.stdout.split("RESULT ", 1)[1])


def report_categories(c):
    return ["| prediction over {:,} known categories, one a row, against a Python dict's lookups of the same keys | "
            "int keys {:.2f} x, str keys {:.2f} x the dict's time |".format(c["lookups"], c["ratios"]["int"],
                                                                          c["ratios"]["str"]),
            "| first query of a fresh categorical register over {:,} int keys crafted to crowd one place of an index "
            "with a known multiplier / over as many consecutive int keys | {:.1f} ms / {:.1f} ms |".format(
                c["crafted"], c["crafted_s"] * 1e3, c["consecutive_s"] * 1e3)], []


# (key, label, only with --full, measure, report), as suite.PARTS.
PARTS = [
    ("compile", "numba's compile cost", True, compile_cost, report_compile),
    ("threads", "thread scaling", True, thread_scaling, report_threads),
    ("callgrind", "instruction counts (callgrind)", True, callgrind, report_callgrind),
    ("heap", "heap allocations and peak", True, heap, report_heap),
    ("memory", "peak memory of long queries on float64 columns", True, memory, report_memory),
    ("categories", "categorical lookups and crafted keys", True, categories, report_categories),
]


if __name__ == "__main__":
    print("RESULT " + json.dumps(globals()["probe_" + sys.argv[1]](**json.loads(sys.argv[2]))))
