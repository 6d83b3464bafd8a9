"""The suite's markdown table and chart."""
import statistics

import graphs

ORDER = ("module", "floor", "numba", "numba generic", "torch", "python")


def _median(values):
    return statistics.median(values) if values else None


def medians(results):
    """{graph: {contender: {pass: median ns per sample}}}"""
    out = {}
    for graph, by_who in results["times"].items():
        out[graph] = {who: {mode: _median(v) for mode, v in modes.items()} for who, modes in by_who.items()}
    return out


def _ns(v):
    if v is None:
        return "-"
    if v >= 1e5:
        return "%.3g" % v
    if v >= 100:
        return "%.0f" % v
    return "%.1f" % v


def _ratio(v):
    if v is None:
        return "-"
    if v >= 100:
        return "%.0f" % v
    return "%.2f" % v


def _mb(b):
    return "%.1f MB" % (b / 1e6)


def _mark(ok):
    if ok is None:
        return "not measured"
    if isinstance(ok, str):
        return ok
    return "met" if ok else "**missed**"


def markdown(results):
    med = medians(results)
    machine = results["machine"]
    args = results["args"]
    skipped = results.get("skipped", {})
    lines = ["# Benchmark results", ""]
    lines.append("Machine: %s, %s cores; load average %s before, %s after (1/5/15 min). Python %s, numpy %s%s%s."
                 % (machine.get("cpu", "?"), machine.get("cores"),
                    " ".join("%.2f" % x for x in machine["load_before"]),
                    " ".join("%.2f" % x for x in machine.get("load_after", machine["load_before"])),
                    machine["python"], machine["numpy"],
                    ", " + machine["compiler"] if machine.get("compiler") else "",
                    "".join(", %s %s" % (k, machine[k]) for k in ("numba", "torch") if machine.get(k))))
    lines.append("")
    lines.append("Wall-clock figures come from one run and move with the machine's load (it is shared); "
                 "the instruction counts do not.")
    lines.append("")
    for who, why in sorted(skipped.items()):
        lines.append("- skipped: %s (%s)" % (who, why))
    if skipped:
        lines.append("")

    # ---- per-sample times
    rows = results["rows"]
    any_graph = next(iter(rows.values())) if rows else {}
    lines.append("## Time per sample (ns, median of %d repetitions, each from the same fresh state)" % args["reps"])
    lines.append("")
    lines.append("Rows per epoch: %s." % ", ".join("%s %d" % (w, any_graph[w]) for w in ORDER if w in any_graph))
    lines.append("")
    present = [w for w in ORDER if any(w in med[g] for g in med)]
    head = ["graph", "nodes", "pass", "module", "module/node"]
    for w in present[1:]:
        head += [w, "R_floor" if w == "floor" else "R_" + w.replace(" ", "_")]
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "|".join(["---"] * 3 + ["---:"] * (len(head) - 3)) + "|")
    for graph in med:
        nodes = len(graphs.GRAPHS[graph])
        for mode in ("train", "predict"):
            m = med[graph]["module"][mode]
            cells = [graph, str(nodes), mode, _ns(m), _ns(m / nodes)]
            for w in present[1:]:
                t = med[graph].get(w, {}).get(mode)
                if t is None:
                    cells += ["-", "-"]
                elif w == "floor":
                    cells += [_ns(t), _ratio(m / t)]
                else:
                    cells += [_ns(t), _ratio(t / m)]
            lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("R_floor = t_module / t_floor (1 is the floor itself); R_peer = t_peer / t_module (above 1: the "
                 "module is faster). The floor is the same arithmetic as one fused C++ loop per graph, compiled "
                 "with the module's flags; numba is the same loop under numba.njit(nogil=True) in float32; numba "
                 "generic is one numba.njit(nogil=True) interpreter compiled once for every graph, the graph handed "
                 "over as arrays (a slot table: kind, sources, offsets of parameters, moments, rates, ranges and "
                 "category weights) and run node by node with a branch on the kind, the same float32 arithmetic "
                 "in the same order, its numeric columns and category codes stacked once, before timing, into "
                 "row-major arrays; torch is the graph as a torch module with one Adam step per sample on one "
                 "thread; python is the same loop over Python floats.")
    lines.append("")
    ver = results.get("verification", {})
    if ver:
        good = sorted(k for k, v in ver.items() if all(v.values()))
        bad = sorted(k for k, v in ver.items() if not all(v.values()))
        text = "Checked bit for bit against the module (predictions of both passes, parameters, category weights, "
        text += "every row of the first repetition): "
        if good:
            text += "equal for %s" % ", ".join(good)
        if bad:
            text += "; **different** for %s (%s)" % (", ".join(bad), "; ".join(
                "%s: %s" % (k, ", ".join(c for c, ok in ver[k].items() if not ok)) for k in bad))
        lines.append(text + ".")
        lines.append("")
    lines += compile_cost(results, med)

    # ---- instructions
    cg = results.get("callgrind")
    if cg:
        lines.append("## Instructions per sample (callgrind, difference of %d- and %d-row queries)"
                     % (cg["rows"], 2 * cg["rows"]))
        lines.append("")
        lines.append("| graph | pass | module/sample | module/node-sample | floor/node-sample | module / floor |")
        lines.append("|---|---|---:|---:|---:|---:|")
        for graph in med:
            for mode in ("train", "predict"):
                mk = cg["per_sample"].get("%s/module/%s" % (graph, mode))
                fk = cg["per_sample"].get("%s/floor/%s" % (graph, mode))
                if not mk or not fk:
                    continue
                lines.append("| %s | %s | %.0f | %.1f | %.1f | %.2f |" % (
                    graph, mode, mk["per_sample"], mk["per_node_sample"], fk["per_node_sample"],
                    mk["per_sample"] / fk["per_sample"] if fk["per_sample"] else float("nan")))
        lines.append("")
        lines.append("The module's query counts everything that grows with the rows: the column copies, the "
                     "categorical column's resolution and the sample loop. Per-function profiles: profile.md.")
        lines.append("")

    # ---- other figures
    lines.append("## Call overhead, threads, memory, allocations")
    lines.append("")
    lines.append("| figure | value |")
    lines.append("|---|---|")
    call = results.get("call")
    if call:
        add = call["numpy_add_ns"]
        for key, label in (("predict_adapt", "prediction, registers adapting their range (default)"),
                           ("train_adapt", "training, registers adapting their range (default)"),
                           ("predict_fixed", "prediction, fixed ranges (auto_adapt off)"),
                           ("train_fixed", "training, fixed ranges (auto_adapt off)")):
            ns = call[key + "_ns"]
            lines.append("| 1-sample `_query` on G5, %s | %.0f ns = %.1f x a 1-element numpy.add (%.0f ns) |"
                         % (label, ns, ns / add, add))
    th = results.get("threads")
    if th:
        for who in ("module", "floor"):
            if who in th:
                t = th[who]
                lines.append("| thread scaling of the %s, 16 independent %s graphs, %s training rows each | %.2f x, "
                             "median of %d pairs of neighbouring 1- and 2-thread runs (best pair %.2f x, worst "
                             "%.2f x); median throughput 1 thread %.3g samples/s, 2 threads %.3g samples/s |"
                             % (who if who == "module" else "floor (control: what the machine allows now)",
                                th["graph"], "{:,}".format(th["rows_per_graph"]), t["scaling"], th["pairs"],
                                t["scaling_best"], t["scaling_worst"], t["throughput_1"], t["throughput_2"]))
    al = results.get("heap")
    if al:
        big = al["sizes"][-1]
        for mode in ("train", "predict"):
            m = al["%s_%d" % (mode, big)]
            arrays = al["arrays"][mode]
            lines.append("| peak growth of the heap during a %s-row %s query on %s | %s; budget %s (arrays %s + 1 MB) |"
                         % ("{:,}".format(big), "training" if mode == "train" else "prediction", al["graph"],
                            _mb(m["peak"]), _mb(arrays + (1 << 20)), _mb(arrays)))
        for mode in ("train", "predict"):
            parts = []
            for rows in al["sizes"]:
                c = al["%s_%d" % (mode, rows)]
                parts.append("%s rows: %d (%d with the lock released)"
                             % ("{:,}".format(rows), c["allocations"], c["unlocked"]))
            lines.append("| heap allocations during a %s query on %s | %s |"
                         % ("training" if mode == "train" else "prediction", al["graph"], "; ".join(parts)))
    if al:
        lines.append("")
        lines.append("Heap figures come from a malloc-counting shim preloaded into a process of its own, with the "
                     "interpreter's objects allocated through malloc too: every malloc-family call during the query "
                     "is counted, those made while the interpreter lock is released are the sample loop's, and the "
                     "peak is the highest growth of the live heap (usable bytes) above its size at the start of the "
                     "query, the returned predictions included. The budget's arrays are the converted columns (4 "
                     "bytes a row per numeric column, 8 per categorical column), the output and, when training, the "
                     "expected values. numpy serves arrays under 1 KB from a cache of its own, so a 10-row query "
                     "allocates fewer than a longer one by its row-sized arrays; the long query is compared with the "
                     "1,000-row one.")
    lines.append("")

    # ---- targets
    lines.append("## Targets")
    lines.append("")
    lines.append("| target | figure | |")
    lines.append("|---|---|---|")
    for target, figure, ok in targets(results, med):
        lines.append("| %s | %s | %s |" % (target, figure, _mark(ok)))
    lines.append("")
    return "\n".join(lines)


def _seconds(s):
    if s is None:
        return "-"
    if s >= 1.0:
        return "%.2f s" % s
    if s >= 1e-3:
        return "%.1f ms" % (s * 1e3)
    return "%.1f µs" % (s * 1e6)


def repay_rows(compiled, med, graph, mode):
    """Samples of a pass after which the per-graph numba loop's speed over the
    generic interpreter has paid back the compile of its function; None when
    not measured, inf when it is not faster."""
    numba = compiled.get("numba", {}).get(mode)
    t_numba = med.get(graph, {}).get("numba", {}).get(mode)
    t_generic = med.get(graph, {}).get("numba generic", {}).get(mode)
    if numba is None or t_numba is None or t_generic is None:
        return None
    gain_ns = t_generic - t_numba
    if gain_ns <= 0:
        return float("inf")
    return (numba["first"] - numba["warm"]) * 1e9 / gain_ns


def compile_cost(results, med):
    """The table of numba's first calls against warm ones."""
    cc = results.get("compile")
    if not cc or not cc.get("graphs"):
        return []
    lines = ["## numba's compile cost (first call, compile included, against a warm call)", ""]
    lines.append("| graph | numba: first call, train / predict | numba: warm call | numba generic: first call, "
                 "train / predict | numba generic: warm call | numba generic: graph encoding | samples for numba's "
                 "speed to repay its compile, train / predict |")
    lines.append("|---|---:|---:|---:|---:|---:|---:|")

    def cells(c):
        if c is None:
            return "-", "-"
        return ("%s / %s" % (_seconds(c["train"]["first"]), _seconds(c["predict"]["first"])),
                "%s / %s" % (_seconds(c["train"]["warm"]), _seconds(c["predict"]["warm"])))

    def rows(v):
        if v is None:
            return "-"
        if v == float("inf"):
            return "never (not faster)"
        return "{:,}".format(int(round(v)))

    for graph, by_who in cc["graphs"].items():
        numba, generic = by_who.get("numba"), by_who.get("numba generic")
        repay = [rows(repay_rows(by_who, med, graph, mode)) for mode in ("train", "predict")]
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            (graph,) + cells(numba) + cells(generic)
            + (_seconds(generic.get("encode")) if generic else "-", " / ".join(repay))))
    lines.append("")
    text = ("First calls run 4 rows from a fresh state; a warm call is the median of 5 more calls of the same 4 "
            "rows. numba compiles the per-graph loop's train and predict functions at their first calls, for every "
            "new graph; the generic interpreter is compiled once, at its first call on the first graph, and every "
            "later graph costs the encoding of its slot table and a first call that compiles nothing. The last "
            "column divides the per-graph function's compile time (first call less warm call) by its lead per "
            "sample over the generic interpreter in the table above.")
    if cc.get("startup") is not None:
        text += (" numba's own start-up in the process (its first function, compiled before any contender, with the "
                 "float32 maths they use) took %s and is in no figure here." % _seconds(cc["startup"]))
    lines.append(text)
    lines.append("")
    return lines


def targets(results, med):
    out = []

    def ratio_rows(graph_list, mode, who, fn):
        figs, oks = [], []
        for g in graph_list:
            if g not in med or who not in med[g] or med[g][who][mode] is None:
                continue
            v = fn(med[g]["module"][mode], med[g][who][mode])
            figs.append("%s %s" % (g, _ratio(v)))
            oks.append(v)
        return figs, oks

    figs, vals = ratio_rows(["G12", "G30"], "train", "floor", lambda m, t: m / t)
    out.append(("training R_floor <= 1.5 on G12 and G30", ", ".join(figs) or "-",
                all(v <= 1.5 for v in vals) if vals else None))
    figs, vals = ratio_rows(list(med), "predict", "floor", lambda m, t: m / t)
    out.append(("prediction R_floor <= 1.5", ", ".join(figs) or "-", all(v <= 1.5 for v in vals) if vals else None))
    figs, vals = [], []
    for mode in ("train", "predict"):
        f, v = ratio_rows(list(med), mode, "numba", lambda m, t: t / m)
        figs += ["%s %s" % (x, mode) for x in f]
        vals += v
    out.append(("at least as fast as numba on every graph (R_numba >= 1)", ", ".join(figs) or "-",
                all(v >= 1.0 for v in vals) if vals else None))
    figs, vals = ratio_rows(list(med), "train", "torch", lambda m, t: t / m)
    out.append((">= 1000x faster than PyTorch eager per training sample (R_torch)", ", ".join(figs) or "-",
                all(v >= 1000 for v in vals) if vals else None))
    call = results.get("call")
    if call:
        worst = max(call["predict_adapt_ns"], call["train_adapt_ns"]) / call["numpy_add_ns"]
        out.append(("1-sample `_query` on G5 <= 8x a 1-element numpy.add", "prediction %.1f x, training %.1f x" % (
            call["predict_adapt_ns"] / call["numpy_add_ns"], call["train_adapt_ns"] / call["numpy_add_ns"]),
            worst <= 8))
    else:
        out.append(("1-sample `_query` on G5 <= 8x a 1-element numpy.add", "-", None))
    th = results.get("threads")
    if th:
        figure = "module %.2f x on %d CPUs (median of %d pairs, %.2f to %.2f)" % (
            th["module"]["scaling"], th["cpus"], th["pairs"], th["module"]["scaling_worst"],
            th["module"]["scaling_best"])
        ok = th["module"]["scaling"] >= 1.8
        if "floor" in th:
            figure += " (floor control %.2f x, %.2f to %.2f)" % (
                th["floor"]["scaling"], th["floor"]["scaling_worst"], th["floor"]["scaling_best"])
            if not ok and th["floor"]["scaling"] < 1.8:
                # Not even the fused loop, which shares nothing, scaled: no second core was free.
                ok = "undetermined: no free second core (the control did not scale either)"
        out.append(("2-thread scaling >= 1.8x on 2 cores", figure, ok))
    else:
        out.append(("2-thread scaling >= 1.8x on 2 cores", "-", None))
    al = results.get("heap")
    if al:
        big, ref = al["sizes"][-1], (1000 if 1000 in al["sizes"] else al["sizes"][0])
        figs, ok = [], True
        for m in ("train", "predict"):
            b, r = al["%s_%d" % (m, big)], al["%s_%d" % (m, ref)]
            unlocked = max(al["%s_%d" % (m, rows)]["unlocked"] for rows in al["sizes"])
            figs.append("%s: %d at %s rows vs %d at %s, %d with the lock released"
                        % (m, b["allocations"], "{:,}".format(big), r["allocations"], "{:,}".format(ref), unlocked))
            ok = ok and b["allocations"] <= r["allocations"] and unlocked == 0
        out.append(("no allocation in the sample loop (a long query allocates no more than a short one)",
                    "; ".join(figs), ok))
    else:
        out.append(("no allocation in the sample loop", "-", None))
    if al:
        big = al["sizes"][-1]
        figs, ok = [], True
        for m in ("train", "predict"):
            peak, budget = al["%s_%d" % (m, big)]["peak"], al["arrays"][m] + (1 << 20)
            figs.append("%s %s of %s" % (m, _mb(peak), _mb(budget)))
            ok = ok and peak <= budget
        out.append(("peak memory of a %s-row query <= converted columns + output + expected + 1 MB"
                    % "{:,}".format(big), ", ".join(figs), ok))
    else:
        out.append(("peak memory of a query <= converted columns + output + expected + 1 MB", "-", None))
    return out


def chart(results, path):
    """A bar chart of the time per sample; returns a line saying what it did."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "skipped: chart (matplotlib is not installed)"
    med = medians(results)
    graph_names = list(med)
    present = [w for w in ORDER if any(w in med[g] for g in med)]
    cg = results.get("callgrind")
    panels = 3 if cg else 2
    fig, axes = plt.subplots(1, panels, figsize=(5.5 * panels, 4.5))
    width = 0.8 / max(len(present), 1)
    for ax, mode in zip(axes, ("train", "predict")):
        for k, who in enumerate(present):
            xs, hs = [], []
            for i, g in enumerate(graph_names):
                v = med[g].get(who, {}).get(mode)
                if v is not None:
                    xs.append(i + (k - (len(present) - 1) / 2) * width)
                    hs.append(v)
            ax.bar(xs, hs, width, label=who)
        ax.set_yscale("log")
        ax.set_xticks(range(len(graph_names)))
        ax.set_xticklabels(["%s (%d nodes)" % (g, len(graphs.GRAPHS[g])) for g in graph_names])
        ax.set_title("training pass" if mode == "train" else "prediction pass")
        ax.set_ylabel("ns per sample (log scale, lower is better)")
        ax.grid(axis="y", which="both", alpha=0.3)
    # Below the panels, where it covers no bar.
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=max(len(labels), 1), fontsize="small")
    if cg:
        ax = axes[2]
        bars = [("module", "train"), ("floor", "train"), ("module", "predict"), ("floor", "predict")]
        width = 0.8 / len(bars)
        for k, (who, mode) in enumerate(bars):
            xs, hs = [], []
            for i, g in enumerate(graph_names):
                v = cg["per_sample"].get("%s/%s/%s" % (g, who, mode))
                if v:
                    xs.append(i + (k - (len(bars) - 1) / 2) * width)
                    hs.append(v["per_node_sample"])
            ax.bar(xs, hs, width, label="%s, %s" % (who, "training" if mode == "train" else "prediction"),
                   color=("C0" if who == "module" else "C1"), alpha=(1.0 if mode == "train" else 0.55))
        ax.set_xticks(range(len(graph_names)))
        ax.set_xticklabels(graph_names)
        ax.set_title("instructions per node-sample (callgrind)")
        ax.grid(axis="y", alpha=0.3)
        ax.set_ylim(0, ax.get_ylim()[1] * 1.3)
        ax.legend(loc="upper center", fontsize="x-small", ncol=2)
    fig.suptitle("Batch size 1, one online pass; times are medians of %d repetitions" % results["args"]["reps"])
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return "chart written to %s" % path
