"""Benchmark suite: the module's per-sample loop against a fused C++ floor, a
numba loop generated per graph, one numba interpreter for every graph and
PyTorch eager, and the cost of a 1-sample call; with --full also numba's
compile cost, thread scaling, instruction counts (callgrind), heap
allocations and peak memory (full.py).

Every contender runs the same graphs (G5, G12, G30) on the same seeded data
from the same starting state, float32, batch size 1, one online pass per
epoch. Before any timing, the floor and both numba contenders are held bit
for bit against the module. Timed passes are interleaved, each repetition
from a fresh state; figures are medians over the repetitions. Writes
bench.md, bench.json and bench.png (with --full also profile.md) to the
output directory and prints the table.

Usage: python bench/suite.py [--full] [--rows N] [--reps R] [--out DIR] ...  (see --help)
"""
import argparse
import gc
import importlib.metadata
import importlib.util
import json
import os
import pickle
import platform
import statistics
import subprocess
import sys
import time
import timeit

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import codegen  # noqa: E402
import contenders as cs  # noqa: E402
import full  # noqa: E402
import graphs  # noqa: E402


def parse_args(argv=None):
    build = os.path.join(os.path.dirname(HERE), "build", "bench")
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", type=int, default=100_000, help="rows per epoch for the module, floor and numba")
    p.add_argument("--reps", type=int, default=7, help="repetitions (median taken)")
    p.add_argument("--torch-rows", type=int, default=1000, help="rows per epoch for PyTorch")
    p.add_argument("--graphs", default="G5,G12,G30")
    p.add_argument("--call-loops", type=int, default=20000, help="calls per repetition for the 1-sample figure")
    p.add_argument("--skip", default="", help="peers to leave out: " + ",".join(w.replace(" ", "-") for w in cs.PEERS))
    p.add_argument("--full", action="store_true", help="also the measurements of full.py")
    full.add_arguments(p)
    p.add_argument("--out", default=build, help="output directory (default %(default)s)")
    p.add_argument("--build-dir", default=os.path.join(build, "work"), help="compiled loops, profiles, the shim")
    args = p.parse_args(argv)
    args.graphs = [g for g in args.graphs.split(",") if g]
    args.skip = {s.replace("-", " ") for s in args.skip.split(",") if s}
    if args.skip - set(cs.PEERS):
        p.error("unknown peers to skip: %s" % ", ".join(sorted(args.skip - set(cs.PEERS))))
    for g in args.graphs + [args.thread_graph, args.heap_graph]:
        if g not in graphs.GRAPHS:
            p.error("no graph %s (known: %s)" % (g, ", ".join(graphs.GRAPHS)))
    return args


def say(text=""):
    print(text, flush=True)


def machine_info():
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "?")
    done = subprocess.run([os.environ.get("CXX", "c++"), "--version"], capture_output=True, text=True)
    info = {"python": platform.python_version(), "numpy": np.__version__, "cores": os.cpu_count(), "cpu": cpu,
            "platform": platform.platform(), "load_before": os.getloadavg(), "compiler": done.stdout.split("\n")[0]}
    for package in ("numba", "torch", "matplotlib"):
        if importlib.util.find_spec(package):
            info[package] = importlib.metadata.version(package)
    return info


def epochs(args, data, y, ranges, floor, skipped):
    """Every graph's lineup, checked, then timed interleaved: {graph:
    {contender: {pass: [ns per sample]}}}."""
    lineups, verification = {}, {}
    for name in args.graphs:
        lineups[name] = cs.lineup(name, graphs.GRAPHS[name], data, y, ranges, floor, args.skip, skipped,
                                  {"torch": args.torch_rows})
        verification[name] = cs.verify(lineups[name])
        for who, bad in verification[name].items():
            say("%s on %s: %s" % (who, name, "DIFFERS in " + ", ".join(bad) if bad else "bit-equal to the module"))
    times = {name: {c.name: {"train": [], "predict": []} for c in line} for name, line in lineups.items()}
    for rep in range(args.reps):
        for name, line in lineups.items():
            for c in line:
                c.reset()
                for mode in ("train", "predict"):
                    gc.disable()
                    start = time.perf_counter()
                    getattr(c, mode)()
                    times[name][c.name][mode].append((time.perf_counter() - start) * 1e9 / len(c.y))
                    gc.enable()
        say("  repetition %d of %d done" % (rep + 1, args.reps))
    return lineups, times, verification


def one_sample_call(args, data, y, ranges, **_):
    """ns of a 1-sample query on G5 (registers adapting their range, and
    fixed), against a 1-element numpy.add."""
    layout = graphs.GRAPHS["G5"]
    params, categories = graphs.starting_state(layout, ranges)
    x, one = {"x0": data["x0"][:1].copy(), "x1": data["x1"][:1].copy()}, np.ones(1, np.float32)
    timers = {"numpy_add": timeit.Timer("add(a, a)", globals={"add": np.add, "a": one})}
    for adapt in ("adapt", "fixed"):
        g, nodes = graphs.build_module_graph(layout, params, categories, ranges)
        for entry, node in zip(layout, nodes):
            if entry[0] in ("in", "out"):
                node.state.auto_adapt = adapt == "adapt"
        timers["predict_" + adapt] = timeit.Timer("q(x)", globals={"q": g._query, "x": x})
        timers["train_" + adapt] = timeit.Timer("q(x, y)", globals={"q": g._query, "x": x, "y": y[:1].copy()})
    samples = {key: [] for key in timers}
    for _ in range(max(args.reps, 1)):
        for key, timer in timers.items():  # timeit turns the collector off
            samples[key].append(timer.timeit(args.call_loops) / args.call_loops * 1e9)
    return {key + "_ns": statistics.median(v) for key, v in samples.items()}


def report_call(call):
    return ["| 1-sample `_query` on G5, %s | %.0f ns = %.1f x a 1-element numpy.add (%.0f ns) |" % (
        label, call[key + "_ns"], call[key + "_ns"] / call["numpy_add_ns"], call["numpy_add_ns"]) for key, label in (
        ("predict_adapt", "prediction, registers adapting their range (default)"),
        ("train_adapt", "training, registers adapting their range (default)"),
        ("predict_fixed", "prediction, fixed ranges (auto_adapt off)"),
        ("train_fixed", "training, fixed ranges (auto_adapt off)"))], []


def pickling(args, data, y, ranges, **_):
    """us to pickle and to load a G30 graph once trained (moments, category
    weights and counts as training leaves them), against a 1,000-sample
    training query on the same graph."""
    layout = graphs.GRAPHS["G30"]
    params, categories = graphs.starting_state(layout, ranges)
    g, _ = graphs.build_module_graph(layout, params, categories, ranges)
    x, y1000 = {k: np.resize(v, 1000) for k, v in data.items()}, np.resize(y, 1000)
    g._query(x, y1000)
    blob = pickle.dumps(g, pickle.HIGHEST_PROTOCOL)
    timers = {"pickle": (timeit.Timer(lambda: pickle.dumps(g, pickle.HIGHEST_PROTOCOL)), 200),
              "load": (timeit.Timer(lambda: pickle.loads(blob)), 200),
              "train_1000": (timeit.Timer(lambda: g._query(x, y1000)), 20)}
    samples = {key: [] for key in timers}
    for _ in range(max(args.reps, 1)):
        for key, (timer, loops) in timers.items():
            samples[key].append(timer.timeit(loops) / loops * 1e6)
    return dict({key + "_us": statistics.median(v) for key, v in samples.items()}, bytes=len(blob))


def report_pickling(p):
    return ["| pickling a trained G30 graph (%d bytes, protocol %d) / loading it | %.0f us / %.0f us = %.2f / %.2f x "
            "a 1,000-sample training query on it (%.0f us) |" % (
                p["bytes"], pickle.HIGHEST_PROTOCOL, p["pickle_us"], p["load_us"], p["pickle_us"] / p["train_1000_us"],
                p["load_us"] / p["train_1000_us"], p["train_1000_us"])], []


# The measurements beside the per-sample table: (key, label, only with
# --full, measure(args, data, y, ranges, floor, lineups, results, startup)
# -> a dict for bench.json, report(that dict) -> (rows of the table of
# figures, sections of their own)). The heap probe takes a list of lengths
# (--heap-rows 1000000,20000000).
PARTS = [("call", "1-sample call against numpy.add", False, one_sample_call, report_call),
         ("pickle", "pickling a G30 graph against a 1,000-sample training query", False, pickling,
          report_pickling)] + full.PARTS


def medians(results):
    return {g: {w: {m: statistics.median(v) for m, v in modes.items()} for w, modes in by.items()}
            for g, by in results["times"].items()}


def markdown(results):
    def ns(v):
        return "-" if v is None else ("%.3g" % v if v >= 1e5 else ("%.0f" % v if v >= 100 else "%.1f" % v))

    med, machine, skipped = medians(results), results["machine"], results["skipped"]
    lines = ["# Benchmark results", "", "Machine: %s, %s cores; load average %s before, %s after (1/5/15 min). "
             "Python %s, numpy %s, %s%s." % (
                 machine["cpu"], machine["cores"], " ".join("%.2f" % x for x in machine["load_before"]),
                 " ".join("%.2f" % x for x in machine["load_after"]), machine["python"], machine["numpy"],
                 machine["compiler"], "".join(", %s %s" % (k, machine[k]) for k in ("numba", "torch") if k in machine)),
             "", "Wall-clock figures come from one run and move with the machine's load (it is shared); the "
             "instruction counts do not.", ""] + ["- skipped: %s (%s)" % item for item in sorted(skipped.items())]
    present = [w for w in ("module",) + cs.PEERS if w in results["rows"]]
    lines += [""] * bool(skipped) + ["## Time per sample (ns, median of %d repetitions, each from the same fresh state)"
              % results["args"]["reps"], "", "Rows per epoch: %s." % ", ".join(
                  "%s %d" % (w, results["rows"][w]) for w in present), "",
              "| " + " | ".join(["graph", "nodes", "pass", "module", "module/node"] + [
                  "%s | R_%s" % (w, w.replace(" ", "_")) for w in present[1:]]) + " |",
              "|---|---|---|" + "---:|" * (2 + 2 * len(present[1:]))]
    for graph in med:
        nodes = len(graphs.GRAPHS[graph])
        for mode in ("train", "predict"):
            m = med[graph]["module"][mode]
            cells = [graph, str(nodes), mode, ns(m), ns(m / nodes)]
            for w in present[1:]:
                t = med[graph].get(w, {}).get(mode)
                r = None if t is None else (m / t if w == "floor" else t / m)
                cells += [ns(t), "-" if r is None else ("%.0f" % r if r >= 100 else "%.2f" % r)]
            lines.append("| " + " | ".join(cells) + " |")
    ver = results["verification"]
    lines += ["", "R_floor = t_module / t_floor; R_peer = t_peer / t_module (above 1: the module is faster). Every "
              "peer runs what bench/ops.py describes once per type: the floor as one fused C++ loop per graph with "
              "the module's compile flags; numba as the same loop in float32; numba generic as one interpreter "
              "compiled once for every graph, handed the graph as a table, its columns stacked once into "
              "row-major arrays; torch as the graph's forward step with autograd and torch's Adam, one thread.", "",
              "Held bit for bit against the module (predictions of a training, a prediction and a second training "
              "pass over every row, then parameters and category weights): equal for %s%s." % (
                  ", ".join("%s/%s" % (g, w) for g in ver for w, bad in ver[g].items() if not bad) or "none",
                  "".join("; **different** for %s/%s (%s)" % (g, w, ", ".join(bad))
                          for g in ver for w, bad in ver[g].items() if bad)), ""]
    rows = []
    for key, _, _, _, report in PARTS:
        if key in results:
            part_rows, section = report(results[key])
            rows, lines = rows + part_rows, lines + section
    return "\n".join(lines + (["## Call overhead, threads, memory, allocations", "", "| figure | value |",
                               "|---|---|"] + rows + [""] if rows else []))


def chart(results, path):
    """Bars of the time per sample; returns a line saying what it did."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "skipped: chart (matplotlib is not installed)"
    med, names = medians(results), list(results["times"])
    present = [w for w in ("module",) + cs.PEERS if w in results["rows"]]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    for ax, mode in zip(axes, ("train", "predict")):
        for k, who in enumerate(present):
            values = [(i, med[g][who][mode]) for i, g in enumerate(names) if who in med[g]]
            ax.bar([i + (k - (len(present) - 1) / 2) * 0.8 / len(present) for i, _ in values], [v for _, v in values],
                   0.8 / len(present), label=who)
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(["%s (%d nodes)" % (g, len(graphs.GRAPHS[g])) for g in names])
        ax.set_yscale("log")
        ax.set_title({"train": "training pass", "predict": "prediction pass"}[mode])
        ax.set_ylabel("ns per sample (log scale, lower is better)")
        ax.grid(axis="y", which="both", alpha=0.3)
    fig.legend(*axes[0].get_legend_handles_labels(), loc="lower center", ncol=len(present), fontsize="small")
    fig.suptitle("Batch size 1, one online pass; times are medians of %d repetitions" % results["args"]["reps"])
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return "chart written to %s" % path


def main(argv=None):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    info, skipped, floor = machine_info(), {}, None
    say("vesk benchmark suite: %d rows, %d repetitions, graphs %s%s" % (
        args.rows, args.reps, ", ".join(args.graphs), ", with the full measurements" if args.full else ""))
    say("machine: %s, %s cores, load %.2f %.2f %.2f; Python %s, numpy %s" % (
        info["cpu"], info["cores"], *info["load_before"], info["python"], info["numpy"]))
    data, y = graphs.make_data(args.rows)
    ranges = graphs.feature_ranges(data, y)
    if "floor" not in args.skip:
        try:
            floor, command = cs.build_floor([codegen.Plan(n, graphs.GRAPHS[n]) for n in graphs.GRAPHS], args.build_dir)
            say("floor: " + " ".join(command))
        except cs.Skipped as exc:
            skipped["floor"] = str(exc)
    results = {"args": {k: (sorted(v) if isinstance(v, set) else v) for k, v in vars(args).items()},
               "machine": info, "skipped": skipped}
    startup = full.numba_startup() if args.full else None  # before any numba contender compiles
    say("checking and timing the epochs ...")
    lineups, results["times"], results["verification"] = epochs(args, data, y, ranges, floor, skipped)
    for who, why in skipped.items():
        say("skipped: %s (%s)" % (who, why))
    results["rows"] = {c.name: len(c.y) for c in next(iter(lineups.values()))}
    for key, label, full_only, measure, _ in PARTS:
        if args.full or not full_only:
            say(label + " ...")
            try:
                results[key] = measure(args=args, data=data, y=y, ranges=ranges, floor=floor, lineups=lineups,
                                       results=results, startup=startup)
            except Exception as exc:  # a failed part is reported; the others still run
                skipped[key] = "failed: %s" % exc
                say("skipped: %s (failed: %s)" % (label, exc))
    info["load_after"] = os.getloadavg()
    table = markdown(results)
    say()
    say(table)
    with open(os.path.join(args.out, "bench.md"), "w") as f:
        f.write(table)
    with open(os.path.join(args.out, "bench.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)
    say(chart(results, os.path.join(args.out, "bench.png")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
