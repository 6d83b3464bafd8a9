"""Measurements that need a process of their own; the suite starts them.

    probes.py regions  --rows N --lib PATH [--graphs G5,G12,G30] [--modes train,predict]
        Runs, for every graph, contender (module, floor), mode and size (N and
        2N rows), one query inside its own marker region bench_region_<i>, so
        that valgrind --toggle-collect=bench_region_* counts each apart.
        Prints the index of every region.
    probes.py heap     --rows N [--graph G12]
        Heap allocations and the peak growth of the live heap during queries
        of 10, 1,000 and N rows (run with the counting shim preloaded and
        PYTHONMALLOC=malloc, so that interpreter objects are counted too).

Each prints one line "RESULT <json>".
"""
import argparse
import ctypes
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import _vesk  # noqa: E402

import codegen  # noqa: E402
import contenders  # noqa: E402
import graphs  # noqa: E402


def _setup(name, rows):
    layout = graphs.GRAPHS[name]
    data, y = graphs.make_data(rows)
    ranges = graphs.feature_ranges(data, y)
    params, categories = graphs.starting_state(_vesk, layout, ranges)
    plan = codegen.Plan(name, layout)
    return plan, data, y, ranges, params, categories


def regions(args):
    floor = contenders.load_floor(args.lib)
    names = args.graphs.split(",")
    modes = args.modes.split(",")
    index = []
    region = 0
    for name in names:
        plan, data, y, ranges, params, categories = _setup(name, 2 * args.rows)
        flat = contenders.FlatState(plan, params, categories, ranges)
        for who in ("module", "floor"):
            for mode in modes:
                for rows in (args.rows, 2 * args.rows):
                    part = {k: v[:rows] for k, v in data.items()}
                    if who == "module":
                        c = contenders.ModuleContender(_vesk, plan, params, categories, ranges, part, y[:rows])
                    else:
                        c = contenders.FloorContender(floor, plan, flat, part, y[:rows])
                    c.reset()
                    run = c.train if mode == "train" else c.predict
                    result = []
                    floor.region(region, lambda: result.append(run()))
                    if len(result) != 1 or len(result[0]) != rows:
                        raise SystemExit("region %d did not run its query" % region)
                    index.append({"region": region, "graph": name, "who": who, "mode": mode, "rows": rows})
                    region += 1
    print("RESULT " + json.dumps(index))


def heap(args):
    libc = ctypes.CDLL(None)
    try:
        start, stop = libc.malloc_count_start, libc.malloc_count_stop
    except AttributeError:
        raise SystemExit("the allocation counter is not preloaded")
    start.argtypes = [ctypes.c_void_p]
    gil_check = ctypes.cast(ctypes.pythonapi.PyGILState_Check, ctypes.c_void_p).value
    counters = {}
    for name in ("allocations", "bytes", "unlocked", "peak"):
        fn = getattr(libc, "malloc_count_" + name)
        fn.restype = ctypes.c_ulonglong
        counters[name] = fn
    plan, data, y, ranges, params, categories = _setup(args.graph, args.rows)
    graph, _ = graphs.build_module_graph(_vesk, plan.layout, params, categories, ranges)
    x = {name: data[name] for _, name in plan.columns + plan.cats}
    # First-use costs out of the way: a query of each size once.
    sizes = sorted(set([10, min(1000, args.rows), args.rows]))
    for rows in sizes:
        graph._query({k: v[:rows] for k, v in x.items()}, y[:rows])
        graph._query({k: v[:rows] for k, v in x.items()})
    n = args.rows
    converted = 4 * n * len(plan.columns) + 8 * n * len(plan.cats)
    result = {"rows": n, "graph": args.graph, "sizes": sizes,
              "arrays": {"train": converted + 8 * n, "predict": converted + 4 * n}}
    for mode in ("train", "predict"):
        for rows in sizes:
            xs = {k: v[:rows] for k, v in x.items()}
            ys = y[:rows]
            start(gil_check)
            out = graph._query(xs, ys) if mode == "train" else graph._query(xs)
            stop()
            del out
            result["%s_%d" % (mode, rows)] = {name: fn() for name, fn in counters.items()}
    print("RESULT " + json.dumps(result))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="probe", required=True)
    p = sub.add_parser("regions")
    p.add_argument("--rows", type=int, required=True)
    p.add_argument("--lib", required=True)
    p.add_argument("--graphs", default="G5,G12,G30")
    p.add_argument("--modes", default="train,predict")
    p = sub.add_parser("heap")
    p.add_argument("--rows", type=int, required=True)
    p.add_argument("--graph", default="G12")
    args = parser.parse_args()
    {"regions": regions, "heap": heap}[args.probe](args)


if __name__ == "__main__":
    main()
