"""vesk.train on a 2-worker dask LocalCluster and on the package's 2-process
pool against the plain loop in this process (a deep copy and `epochs`
_query calls per graph), on penguins: 256 graphs x 50 epochs, and 100,000
graphs x 1 epoch.

Rounds alternate the three contenders (in a rotating order); the figures are
medians. Each contender's first round is checked bit for bit against the
loop. The client's memory is sampled from /proc while vesk.train runs: its
peak above the resident set before the call, less what the returned
population takes (the resident set after the call, results held, less that
before). Starting the cluster and the pool's processes is left out of the
clock (one untimed call first), as is building the population.

    python bench/bench_population.py [--rounds 5] [--only penguins|scale] [--json FILE]
    python bench/bench_population.py --memory   the client's memory, each contender in a fresh process

The timed rounds reuse memory that earlier rounds freed, so --memory runs
each contender once on the 100,000 graphs in a process of its own, where
the resident set after the call, less that before, is what the returned
population takes.
"""
import argparse
import copy
import gc
import json
import os
import pickle
import random
import sys
import threading
import time
from typing import Any, Callable, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

import graphs  # noqa: E402
import penguins  # noqa: E402
import vesk  # noqa: E402
from population import random_layout  # noqa: E402

WORKLOADS = {"penguins": (256, 50), "scale": (100_000, 1)}


def rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class Peak:
    """The highest resident set while the block runs, sampled every 5 ms."""

    def __enter__(self) -> "Peak":
        self.peak = rss()
        self.running = True
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()
        return self

    def sample(self) -> None:
        while self.running:
            self.peak = max(self.peak, rss())
            time.sleep(0.005)

    def __exit__(self, *exc: Any) -> None:
        self.running = False
        self.thread.join()
        self.peak = max(self.peak, rss())


def loop(population: List[Any], X: Dict[str, Any], Y: Any, epochs: int) -> List[Any]:
    out = []
    for g in population:
        twin = copy.deepcopy(g)
        for _ in range(epochs):
            twin._query(X, Y)
        out.append(twin)
    return out


def memory_child(kind: str) -> None:
    """One call of a contender on the 100,000 graphs; prints the resident
    sets in MB: before, peak during, after (the results held)."""
    from dask.distributed import Client, LocalCluster

    table = penguins.load()
    X, Y = table.columns, table.target
    count, epochs = WORKLOADS["scale"]
    rng = random.Random(7)
    population = [graphs.build(random_layout(rng, penguins.NUMERIC, penguins.CATEGORICAL)) for _ in range(count)]
    executor: Any = 2
    if kind == "dask":
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0")
        executor = Client(cluster)
    if kind != "loop":
        vesk.train(population[:64], X, Y, executor=executor)
    gc.collect()
    before = rss()
    with Peak() as peak:
        result = loop(population, X, Y, epochs) if kind == "loop" else vesk.train(population, X, Y, epochs=epochs,
                                                                                 executor=executor)
    after = rss()
    print(json.dumps({"before": before / 2**20, "peak": peak.peak / 2**20, "after": after / 2**20,
                      "graphs": len(result)}))


def measure_memory() -> Dict[str, Any]:
    import subprocess

    figures: Dict[str, Any] = {}
    for kind in ("loop", "pool", "dask"):
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--memory-child", kind],
                             capture_output=True, text=True, check=True).stdout
        row = json.loads(out.strip().splitlines()[-1])
        row["returned_MB"] = row["after"] - row["before"]
        row["peak_above_populations_MB"] = row["peak"] - row["after"]
        figures[kind] = row
        print(kind, json.dumps(row), flush=True)
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=sorted(WORKLOADS))
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--memory", action="store_true")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return 0
    if args.memory:
        figures = measure_memory()
        if args.json:
            with open(args.json, "w") as f:
                json.dump(figures, f, indent=1)
        return 0

    from dask.distributed import Client, LocalCluster

    table = penguins.load()
    X, Y = table.columns, table.target
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0")
    client = Client(cluster)
    figures: Dict[str, Any] = {"loadavg_before": os.getloadavg(), "cpus": os.cpu_count()}
    try:
        for name, (count, epochs) in WORKLOADS.items():
            if args.only and name != args.only:
                continue
            rng = random.Random(7)
            population = [graphs.build(random_layout(rng, penguins.NUMERIC, penguins.CATEGORICAL))
                          for _ in range(count)]
            contenders: Dict[str, Callable[[], List[Any]]] = {
                "loop": lambda: loop(population, X, Y, epochs),
                "dask": lambda: vesk.train(population, X, Y, epochs=epochs, executor=client),
                "pool": lambda: vesk.train(population, X, Y, epochs=epochs, executor=2),
            }
            start = time.perf_counter()
            vesk.train(population[:64], X, Y, epochs=1, executor=2)
            first_pool = time.perf_counter() - start
            vesk.train(population[:64], X, Y, epochs=1, executor=client)
            times: Dict[str, List[float]] = {k: [] for k in contenders}
            memory: Dict[str, List[float]] = {k: [] for k in contenders}
            reference: List[bytes] = []
            exact: Dict[str, bool] = {}
            order = list(contenders)
            for r in range(args.rounds):
                for kind in order[r % 3:] + order[:r % 3]:
                    gc.collect()
                    before = rss()
                    with Peak() as peak:
                        start = time.perf_counter()
                        result = contenders[kind]()
                        seconds = time.perf_counter() - start
                    held = rss() - before
                    times[kind].append(seconds)
                    memory[kind].append((peak.peak - before - max(held, 0)) / 2**20)
                    if kind not in exact:
                        blobs = [pickle.dumps(g) for g in result]
                        if not reference and kind == "loop":
                            reference = blobs
                        exact[kind] = not reference or blobs == reference
                    del result
                    print("  %s round %d %-5s %8.3f s" % (name, r, kind, seconds), flush=True)
            medians = {k: sorted(v)[len(v) // 2] for k, v in times.items()}
            row = {
                "graphs": count, "epochs": epochs, "rows": len(Y), "median_seconds": medians,
                "ratio": {k: medians["loop"] / medians[k] for k in ("dask", "pool")},
                # Rounds reuse freed memory: see --memory for the client's peak.
                "peak_growth_above_results_MB": {k: max(v) for k, v in memory.items()},
                "exact": exact, "pool_first_call_seconds_64_graphs": first_pool,
            }
            figures[name] = row
            print(json.dumps({name: row}, indent=1), flush=True)
    finally:
        client.close()
        cluster.close()
    figures["loadavg_after"] = os.getloadavg()
    print("load average before %s, after %s" % (figures["loadavg_before"], figures["loadavg_after"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
