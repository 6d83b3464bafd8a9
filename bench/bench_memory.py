"""Peak memory of one query on float64 columns, beyond its output.

    python bench/bench_memory.py [--rows 1000000,20000000] [--columns 2]

Runs every (rows, mode) in a process of its own: builds the columns, then
measures the growth of the traced heap (tracemalloc, which sees numpy's
arrays) and of the resident set's high-water mark (VmHWM, reset through
/proc/self/clear_refs) during one training or prediction query of a graph
x0..xk -> linear/tanh chain -> y. Prints one table row per run and the
growth beyond the output array (4 bytes a row), which is what the query
holds besides its result.
"""
import argparse
import json
import subprocess
import sys
import tracemalloc

MB = 1 << 20
# Peak heap growth (MB) measured on this machine when a query still copied
# every column whole into float32 and kept the expected values' copy.
BEFORE = {(1_000_000, "train"): 15.3, (1_000_000, "predict"): 11.4,
          (20_000_000, "train"): 305.2, (20_000_000, "predict"): 228.9}


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no %s in /proc/self/status" % field)


def _graph(vesk, columns):
    nodes = []
    for i in range(columns):
        x = vesk.Interaction("fixed", (i, 0, 0), 0, "x%d" % i)
        x._set_source(0, -1)
        nodes.append(x)
    prev = 0
    for i in range(1, columns):  # fold the columns in pairwise
        node = vesk.Interaction("linear" if i % 2 else "tanh", (i, 1, 0))
        node._set_source(0, prev)
        node._set_source(1, i)
        nodes.append(node)
        prev = len(nodes) - 1
    y = vesk.Interaction("fixed", (0, 2, 0), 0, "y")
    y._set_source(0, prev)
    nodes.append(y)
    g = vesk.Graph(len(nodes))
    for slot, node in enumerate(nodes):
        g[slot] = node
    return g


def one(rows, mode, columns):
    import numpy as np
    import _vesk

    rng = np.random.default_rng(0)
    X = {"x%d" % i: rng.normal(0.0, 1.0, rows) for i in range(columns)}
    y = np.tanh(X["x0"]) + 0.5 * X["x%d" % (columns - 1)]
    g = _graph(_vesk, columns)
    g._query({k: v[:10] for k, v in X.items()}, y[:10])  # ranges, first allocations
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident set
    rss_before = _status_kb("VmRSS")
    tracemalloc.start()
    out = g._query(X, y) if mode == "train" else g._query(X)
    heap_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    rss_peak = _status_kb("VmHWM")
    return {"rows": rows, "mode": mode, "output": out.nbytes, "heap": heap_peak, "rss": rss_peak - rss_before}


def run(rows, mode, columns=2):
    """One (rows, mode) measured in a process of its own."""
    done = subprocess.run([sys.executable, __file__, "--columns", str(columns), "--one", str(rows), mode],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout.split("RESULT ", 1)[1])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="1000000,20000000")
    p.add_argument("--columns", type=int, default=2)
    p.add_argument("--one", nargs=2, metavar=("ROWS", "MODE"), help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.one:
        print("RESULT " + json.dumps(one(int(args.one[0]), args.one[1], args.columns)))
        return
    print("| rows | query | output | peak heap growth | beyond output | peak RSS growth | beyond output |")
    print("|---:|---|---:|---:|---:|---:|---:|")
    for rows in [int(r) for r in args.rows.split(",")]:
        for mode in ("train", "predict"):
            r = run(rows, mode, args.columns)
            print("| {:,} | {} | {:.1f} MB | {:.1f} MB | {:+.0f} KB | {:.1f} MB | {:+.0f} KB |".format(
                rows, mode, r["output"] / MB, r["heap"] / MB, (r["heap"] - r["output"]) / 1024,
                r["rss"] / MB, (r["rss"] - r["output"]) / 1024))


if __name__ == "__main__":
    main()
