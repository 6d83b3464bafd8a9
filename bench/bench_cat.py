"""Per-row cost of a categorical column: resolving it and training on it.

A graph of one categorical register and a numeric output register is queried
with a column of N rows drawn from K categories. Reported per row:

  first     the first training query, which also creates the K categories
  train     later training queries (every category already known)
  predict   queries without expected values
  numeric   the same graph with a numeric input register, for comparison

Then, for int and str keys, a prediction query of L rows over L known
categories (every row a different one, in random order) against a Python
dict looking the same keys up one by one (the keys listed beforehand), and
the ratio of the two times.

Usage: python bench/bench_cat.py [--rows N] [--categories K] [--repeat R] [--dtype str|object|int] [--lookups L]
"""
import argparse
import time

import numpy as np

import _vesk


def make_graph(kind):
    x = _vesk.Interaction(kind, (0, 0, 0), 0, "x")
    x._set_source(0, -1)
    y = _vesk.Interaction("fixed", (1, 0, 0), 0, "y")
    y._set_source(0, 0)
    g = _vesk.Graph(2)
    g[0], g[1] = x, y
    return g, x


def make_column(codes, categories, dtype):
    if dtype == "int":
        return codes.astype(np.int64)
    names = np.array([f"category-{i}" for i in range(categories)])
    column = names[codes]
    return column.astype(object) if dtype == "object" else column


def per_row_ns(seconds, rows):
    return seconds * 1e9 / max(rows, 1)


def timed(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def lookup_against_dict(rows, repeat, rng):
    for dtype in ("int", "str"):
        column = make_column(rng.permutation(rows), rows, dtype)
        g, cat = make_graph("cat")
        g._query({"x": column})
        d = dict(cat.state.categories)
        keys = column.tolist()
        query = timed(lambda: g._query({"x": column}), repeat)
        lookups = timed(lambda: [d[k] for k in keys], repeat)
        print(f"  {dtype:4s} query {per_row_ns(query, rows):6.1f} ns/row, dict {per_row_ns(lookups, rows):6.1f} ns/row, "
              f"ratio {query / lookups:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--categories", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dtype", choices=["str", "object", "int"], default="str")
    parser.add_argument("--lookups", type=int, default=200_000)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    column = make_column(rng.integers(0, args.categories, args.rows), args.categories, args.dtype)
    expected = rng.uniform(-1.0, 1.0, args.rows)

    g, cat = make_graph("cat")
    start = time.perf_counter()
    g._query({"x": column}, expected)
    first = time.perf_counter() - start
    train = timed(lambda: g._query({"x": column}, expected), args.repeat)
    predict = timed(lambda: g._query({"x": column}), args.repeat)

    numeric_graph, _ = make_graph("fixed")
    numbers = rng.uniform(-1.0, 1.0, args.rows)
    numeric = timed(lambda: numeric_graph._query({"x": numbers}, expected), args.repeat)

    print(f"rows {args.rows}, categories {len(cat.state.categories)} (of {args.categories} drawn), "
          f"dtype {column.dtype}, best of {args.repeat}")
    for label, seconds in (("first", first), ("train", train), ("predict", predict), ("numeric", numeric)):
        print(f"  {label:8s} {per_row_ns(seconds, args.rows):8.1f} ns/row  ({seconds * 1e3:.1f} ms)")
    print(f"prediction over {args.lookups} known categories against a dict, best of {args.repeat}")
    lookup_against_dict(args.lookups, args.repeat, rng)


if __name__ == "__main__":
    main()
