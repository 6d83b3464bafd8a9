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

Last, the first query of a fresh register over C int keys crafted to crowd
one place of an index that multiplies hashes by a known constant (the one
the index used when it was fixed), against C consecutive int keys: both
resolve in linear time when the index places hashes unpredictably.

Usage: python bench/bench_cat.py [--rows N] [--categories K] [--repeat R] [--dtype str|object|int] [--lookups L]
                                 [--crafted C] [--json]
"""
import argparse
import json
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


def crafted_keys(count, multiplier=0x9E3779B97F4A7C15):
    """Ints below 2^61 - 1 (each its own hash) whose products with the
    multiplier, modulo 2^64, are small: they share their top bits."""
    inverse = pow(multiplier, -1, 1 << 64)
    keys = (inverse * i % (1 << 64) for i in range(1, 16 * count))
    return np.fromiter((k for k in keys if k < (1 << 61) - 1), dtype=np.int64, count=count)


def first_resolution(keys, repeat):
    """The best time of a first query over the keys, each on a fresh register."""
    def fresh():
        g, _ = make_graph("cat")
        start = time.perf_counter()
        g._query({"x": keys})
        return time.perf_counter() - start
    return min(fresh() for _ in range(repeat))


def categories(lookups=200_000, crafted=40_000, repeat=3):
    """The figures of the published run: lookup ratios and crafted keys."""
    rng = np.random.default_rng(0)
    ratios = {dtype: lookup(lookups, repeat, rng, dtype)[2] for dtype in ("int", "str")}
    return {"lookups": lookups, "ratios": ratios, "crafted": crafted,
            "crafted_s": first_resolution(crafted_keys(crafted), repeat),
            "consecutive_s": first_resolution(np.arange(1, crafted + 1, dtype=np.int64), repeat)}


def lookup(rows, repeat, rng, dtype):
    """(query, dict lookups, ratio) over rows known categories of a dtype."""
    column = make_column(rng.permutation(rows), rows, dtype)
    g, cat = make_graph("cat")
    g._query({"x": column})
    d = dict(cat.state.categories)
    keys = column.tolist()
    query = timed(lambda: g._query({"x": column}), repeat)
    lookups = timed(lambda: [d[k] for k in keys], repeat)
    return query, lookups, query / lookups


def lookup_against_dict(rows, repeat, rng):
    for dtype in ("int", "str"):
        query, lookups, _ = lookup(rows, repeat, rng, dtype)
        print(f"  {dtype:4s} query {per_row_ns(query, rows):6.1f} ns/row, "
              f"dict {per_row_ns(lookups, rows):6.1f} ns/row, "
              f"ratio {query / lookups:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--categories", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dtype", choices=["str", "object", "int"], default="str")
    parser.add_argument("--lookups", type=int, default=200_000)
    parser.add_argument("--crafted", type=int, default=40_000)
    parser.add_argument("--json", action="store_true", help="only the figures of the published run, as JSON")
    args = parser.parse_args()
    if args.json:
        print("RESULT " + json.dumps(categories(args.lookups, args.crafted, args.repeat)))
        return

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
    crafted = first_resolution(crafted_keys(args.crafted), args.repeat)
    consecutive = first_resolution(np.arange(1, args.crafted + 1, dtype=np.int64), args.repeat)
    print(f"first query over {args.crafted} int keys, best of {args.repeat}: crafted {crafted * 1e3:.1f} ms, "
          f"consecutive {consecutive * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
