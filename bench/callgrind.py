"""Instruction counts under valgrind's callgrind, which stay the same on a
busy machine.

probes.py runs each query (module and floor; training and prediction; N and
2N rows; every graph) inside its own marker region. Callgrind counts only
inside the regions and writes one profile per region, so the count of a query
is the total of its profile, and

    instructions per sample = (count(2N rows) - count(N rows)) / N

leaves out everything a query spends once (argument checks, array creation).
The same difference taken per function is the profile of one sample.
"""
import collections
import glob
import os
import re
import subprocess
import sys

import graphs

COST_LINE = re.compile(r"^[0-9+\-*]")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _nm(path, dynamic):
    """[(address, type, name)] of the defined symbols of a shared library."""
    command = ["nm", "-C", "--defined-only"] + (["-D"] if dynamic else []) + [path]
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError:
        return []
    symbols = []
    for line in done.stdout.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3:
            try:
                symbols.append((int(parts[0], 16), parts[1], parts[2]))
            except ValueError:
                pass
    return symbols


def local_names(module_path):
    """Address -> name of the module's functions, read from an unstripped copy
    of the same build (the installed module is stripped of its file-local
    symbols); {} when there is none."""
    base = os.path.basename(module_path)
    candidates = glob.glob(os.path.join(sys.prefix, "build", "**", base), recursive=True)
    candidates += glob.glob(os.path.join(ROOT, "build", "**", base), recursive=True)
    exported = set((a, n) for a, t, n in _nm(module_path, True) if t == "T")
    for path in candidates:
        if os.path.realpath(path) == os.path.realpath(module_path):
            continue
        if set((a, n) for a, t, n in _nm(path, True) if t == "T") != exported or not exported:
            continue  # another build
        return {a: n for a, t, n in _nm(path, False) if t in "tT"}
    return {}


def symbolize(name, names, base):
    match = re.match(r"^0x([0-9a-f]+) \[(.*)\]$", name)
    if match and match.group(2) == base and int(match.group(1), 16) in names:
        return "%s [%s]" % (names[int(match.group(1), 16)], base)
    return name


def parse(path):
    """(total, {function: self instructions}) of one callgrind profile written
    with --compress-strings=no --compress-pos=no."""
    total = 0
    own = collections.Counter()
    ob = fn = ""
    after_call = False
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("summary:"):
                total = int(line.split()[1])
            elif line.startswith("ob="):
                ob = os.path.basename(line[3:].strip())
            elif line.startswith("fn="):
                fn = re.sub(r"'\d+$", "", line[3:].strip())
                after_call = False
            elif line.startswith("calls="):
                after_call = True
            elif COST_LINE.match(line):
                parts = line.split()
                if len(parts) >= 2:
                    if not after_call:
                        own["%s [%s]" % (fn, ob)] += int(parts[1])
                after_call = False
    return total, own


def measure(args, floor_path, module_path, run_probe):
    """Runs the region probe under callgrind; returns per-sample counts and
    writes the per-sample profiles of the module to the output directory."""
    rows = args.callgrind_rows
    out_base = os.path.join(args.build_dir, "callgrind.out")
    for old in glob.glob(out_base + "*"):
        os.remove(old)
    regions = 8 * len(args.graphs)
    prefix = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_base, "--compress-strings=no",
              "--compress-pos=no", "--collect-atstart=no", "--toggle-collect=bench_region_*"]
    prefix += ["--dump-after=bench_region_%d" % i for i in range(regions)]
    index = run_probe(["--rows", rows, "--lib", floor_path, "--graphs", ",".join(args.graphs)], "regions",
                      prefix=prefix)
    parts = {}
    for path in glob.glob(out_base + ".*"):
        with open(path, errors="replace") as f:
            head = f.read(4096)
        match = re.search(r"Trigger: --dump-after=bench_region_(\d+)", head)
        if match:
            parts[int(match.group(1))] = parse(path)
    counts = {}
    for entry in index:
        if entry["region"] not in parts:
            raise RuntimeError("callgrind wrote no profile for region %d" % entry["region"])
        counts[(entry["graph"], entry["who"], entry["mode"], entry["rows"])] = parts[entry["region"]]
    names = local_names(module_path)
    base = os.path.basename(module_path)
    result = {"rows": rows, "per_sample": {}, "profiles": {}}
    for graph in args.graphs:
        nodes = len(graphs.GRAPHS[graph])
        for who in ("module", "floor"):
            for mode in ("train", "predict"):
                small = counts[(graph, who, mode, rows)]
                large = counts[(graph, who, mode, 2 * rows)]
                per_sample = (large[0] - small[0]) / rows
                result["per_sample"]["%s/%s/%s" % (graph, who, mode)] = {
                    "per_sample": per_sample, "per_node_sample": per_sample / nodes}
                if who == "module":
                    delta = collections.Counter(large[1])
                    delta.subtract(small[1])
                    top = [(symbolize(name, names, base), n / rows) for name, n in delta.most_common(15) if n > 0]
                    result["profiles"]["%s/%s" % (graph, mode)] = {"per_sample": per_sample, "top": top}
    write_profiles(args.out, result)
    return result


def write_profiles(out_dir, result):
    lines = ["Per-sample instruction profile of the module's query (callgrind; self instructions",
             "per sample, from the difference of a %d-row and a %d-row query)." % (result["rows"], 2 * result["rows"]),
             ""]
    for key, prof in result["profiles"].items():
        graph, mode = key.split("/")
        nodes = len(graphs.GRAPHS[graph])
        lines.append("## %s %s: %.0f instructions per sample, %.1f per node-sample"
                     % (graph, mode, prof["per_sample"], prof["per_sample"] / nodes))
        lines.append("")
        lines.append("| instr/sample | share | function |")
        lines.append("|---:|---:|---|")
        for name, n in prof["top"]:
            share = 100.0 * n / prof["per_sample"] if prof["per_sample"] else 0.0
            lines.append("| %.1f | %.1f%% | `%s` |" % (n, share, name.replace("|", "\\|")))
        lines.append("")
    with open(os.path.join(out_dir, "profile.md"), "w") as f:
        f.write("\n".join(lines))
