"""Turns the statements of ops.py into code: one fused C++ loop per graph and
pass (the floor), the same loop in Python for numba, one numba interpreter
for every graph, and a graph's forward step for PyTorch.

All of them share one flat layout of a graph's state, described by its Plan:
P parameters (per node, in the order of its state dictionary), M the Adam
moments (m1, m2) of each Adam parameter, L learning rates, R the (lo, hi)
ranges of the numeric registers, S the graph's sample counter, X and C the
numeric and categorical columns, W one float64 weight array per categorical
register, indexed by category code.
"""
import re

import numpy as np

from ops import ENGINE, KINDS, TYPES, steps

CATEGORIES = 20
FIELDS = ("op", "nsrc", "s0", "s1", "j", "mj", "l", "r", "col", "wo")
# Names that no renaming touches: functions, keywords, the engine's values.
KEEP = {"f32", "f64", "clamp1", "clampw", "isfinite", "tanhf", "expf", "sinf", "cosf", "sqrtf", "powf", "if", "not",
        "fail", "s", "bc1", "bc2"}
NAME = re.compile(r"(?<![\w.])[A-Za-z_]\w*")
FLOAT32 = re.compile(r"(\d+\.\d*(?:e-?\d+)?)f\b")


def sources(entry):
    return () if entry[0] in ("in", "cat") else ((entry[1],) if entry[0] == "out" else tuple(entry[1]))


def uses(text, name):
    return re.search(r"\b%s\b" % name, text) is not None


def state(kind):
    """{name: where it lies} of a node's state, by its table row's fields."""
    t, out = TYPES[kind], {}
    for ix, p in enumerate(t.params):
        out[p] = "P[j + %d]" % ix
        if t.adam:
            out[p + "_m1"], out[p + "_m2"] = "M[mj + %d]" % (2 * ix), "M[mj + %d]" % (2 * ix + 1)
    if t.params:
        out["lr"] = "L[l]"
    if uses(t.forward, "lo"):
        out["lo"], out["span"] = "R[r]", "(R[r + 1] - R[r])"
    return out


class Plan:
    """A graph's layout and, per slot, a row of its table: the type's index
    in ops.KINDS, the number of sources and the sources, and where its
    parameters (j), moments (mj), rate (l), range (r), column (col) and
    category weights (wo, in all registers' weights joined) lie; -1 where it
    has none."""

    def __init__(self, name, layout):
        self.name, self.layout, self.size = name, layout, len(layout)
        self.columns, self.cats = [], []
        self.table = np.full((self.size, len(FIELDS)), -1, np.int64)
        self.n = dict(j=0, mj=0, l=0, r=0)
        for slot, entry in enumerate(layout):
            src, where = sources(entry), " ".join(state(entry[0]).values())
            row = dict(op=KINDS.index(entry[0]), nsrc=len(src), s0=(src + (-1,))[0], s1=(src + (-1, -1))[1])
            for key, array in (("j", "P"), ("mj", "M"), ("l", "L"), ("r", "R")):
                width = len(set(re.findall(r"%s\[%s(?: \+ \d+)?\]" % (array, key), where)))
                if width:
                    row[key], self.n[key] = self.n[key], self.n[key] + width
            if uses(TYPES[entry[0]].forward, "xk"):
                row["col"] = len(self.columns)
                self.columns.append(entry[1])
            if uses(TYPES[entry[0]].forward, "ck"):
                row["col"], row["wo"] = len(self.cats), len(self.cats) * CATEGORIES
                self.cats.append(entry[1])
            self.table[slot] = [row.get(f, -1) for f in FIELDS]
        # Slots whose gradient a reverse step reads.
        self.needs_d = [uses(TYPES[entry[0]].reverse, "d") for entry in layout]

    def sources(self, slot):
        return sources(self.layout[slot])

    def field(self, slot, name):
        return int(self.table[slot, FIELDS.index(name)])

    def at(self, slot, where):
        """A state location of the slot as a fixed index."""
        return re.sub(r"\b(j|mj|l|r)\b( \+ (\d+))?", lambda m: str(self.field(slot, m.group(1)) + int(m.group(3) or 0)),
                      where)


def rename(statement, name):
    return NAME.sub(lambda m: m.group() if m.group() in KEEP else name(m.group()), statement)


def cpp(statement, declared):
    """A statement as C++; a name's first assignment declares it."""
    if statement == "fail":
        return "return -1;"
    m = re.match(r"if (.*?): (.*)$", statement)
    if m:
        return "if (%s) { %s }" % (re.sub(r"\bnot\s+", "!", m.group(1)), cpp(m.group(2), declared))
    target, op = statement.split(" ", 2)[:2]
    declare = op == "=" and NAME.fullmatch(target) is not None and target not in declared
    declared.add(target)
    return ("auto " if declare else "") + statement + ";"


def py(statement):
    return re.sub(r"\bfail\b", "return -1", FLOAT32.sub(r"f32(\1)", statement))


# ---------------------------------------------------------------------------
# One loop per graph: every value a local named after its slot.


def _local(plan, slot):
    src = plan.sources(slot) + (None, None)
    fixed = {"a0": "a_%s" % src[0], "d0": "d_%s" % src[0], "a1": "a_%s" % src[1], "d1": "d_%s" % src[1],
             "xk": "X_%d[k]" % slot, "ck": "C_%d[k]" % slot, "yk": "Y[k]", "outk": "out[k]",
             "wc": "W_%d[code_%d]" % (slot, slot)}
    return lambda n: fixed.get(n, "%s_%d" % (n, slot))


def _slot_steps(plan, slot, part):
    out = []
    src = plan.sources(slot)
    for two, statement in steps(plan.layout[slot][0], part):
        target = statement.split(" ", 1)[0]
        if two and len(src) < 2:
            continue
        if target in ("d0", "d1") and not plan.needs_d[src[int(target[1])]]:
            continue  # a numeric input's gradient, which nothing reads
        out.append(rename(statement, _local(plan, slot)))
    return out


def loop(plan, train, forward_only=False):
    """(head, per-sample body, tail) statements of one graph's pass."""
    head, body, tail = [], [], []
    for slot, entry in enumerate(plan.layout):
        col = plan.field(slot, "col")
        if col >= 0:
            head += ["X_%d = X[%d]" % (slot, col)] if plan.field(slot, "wo") < 0 else [
                "C_%d = C[%d]" % (slot, col), "W_%d = W[%d]" % (slot, col)]
        for name, where in state(entry[0]).items():
            if train or not where.startswith(("M[", "L[")):
                head.append("%s_%d = %s" % (name, slot, plan.at(slot, where)))
            if where.startswith(("P[", "M[")):
                tail.append("%s = %s_%d" % (plan.at(slot, where), name, slot))
        body += [s for s in _slot_steps(plan, slot, "forward") if not (forward_only and s.startswith("out[k]"))]
    if not train:
        return head, body, []
    body += ENGINE.strip().splitlines() + ["d_%d = 0.0f" % slot for slot in range(plan.size) if plan.needs_d[slot]]
    for slot in range(plan.size - 1, -1, -1):
        body += _slot_steps(plan, slot, "reverse")
    return head + ["s = S[0]"], body, tail + ["S[0] = s"]


ARGS = "n, X, C, W, Y, out, P, M, R, L, S"
CPP_ARGS = ("int64_t n, float* const* X, int64_t* const* C, double* const* W, const float* Y, float* out, "
            "float* P, float* M, const float* R, const float* L, int64_t* S")
CPP_PRELUDE = r"""// Generated by bench/codegen.py from bench/ops.py: the benchmark graphs'
// arithmetic as one fused loop per graph and pass.
#include <cstdint>
#include <math.h>

namespace {
template <typename T> inline float f32(T v) { return static_cast<float>(v); }
template <typename T> inline double f64(T v) { return static_cast<double>(v); }
// A NaN fails both tests and stays NaN.
inline float clamp1(float v) { return v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v); }
inline double clampw(double v) { return v > 1.0 ? 1.0 : (v < -1.0 ? -1.0 : v); }
}  // namespace

// valgrind --toggle-collect=bench_region counts what runs inside one call;
// the empty statement after the call keeps it a call (a tail jump would
// leave no frame to count under). Python enters through bench_enter:
// callgrind does not see libffi's jump into a library as a call.
extern "C" __attribute__((noinline)) void bench_region(void (*run)(void)) {
    run();
    __asm__ volatile("" ::: "memory");
}
extern "C" void bench_enter(void (*run)(void)) {
    bench_region(run);
    __asm__ volatile("" ::: "memory");
}
"""


def cpp_source(plans):
    parts = [CPP_PRELUDE]
    for plan in plans:
        for mode in ("train", "predict"):
            head, body, tail = loop(plan, mode == "train")
            declared = set()
            text = ['extern "C" int floor_%s_%s(%s) {' % (plan.name, mode, CPP_ARGS)]
            text += ["    " + cpp(s, declared) for s in head]
            text += (["    for (int64_t k = 0; k < n; ++k) {"] + ["        " + cpp(s, declared) for s in body]
                     + ["    }"])
            text += ["    " + cpp(s, declared) for s in tail] + ["    return 0;", "}", ""]
            parts.append("\n".join(text))
    return "\n".join(parts)


def py_source(plan):
    """`train` and `predict` of one graph, for numba."""
    text = []
    for mode in ("train", "predict"):
        head, body, tail = loop(plan, mode == "train")
        text += ["def %s(%s):" % (mode, ARGS)] + ["    " + py(s) for s in head] + ["    for k in range(n):"]
        text += ["        " + py(s) for s in body] + ["    " + py(s) for s in tail] + ["    return 0", ""]
    return "\n".join(text)


def torch_source(plan):
    """forward(k, X, C, W, P, R): the activation of the output register for
    sample k, over PyTorch tensors."""
    head, body, _ = loop(plan, False, forward_only=True)
    return "\n".join(["def forward(k, X, C, W, P, R):"] + ["    " + py(s) for s in head + body]
                     + ["    return a_%d" % (plan.size - 1)])


# ---------------------------------------------------------------------------
# One interpreter for every graph: a branch per kind, values in arrays.

SHARED = {"a": "A[i]", "d": "D[i]", "a0": "A[s0]", "a1": "A[s1]", "d0": "D[s0]", "d1": "D[s1]", "xk": "X[k, col]",
          "ck": "C[k, col]", "yk": "Y[k]", "outk": "out[k]", "code": "codes[i]", "wc": "W[wo + codes[i]]"}


def _shared(kind):
    st = state(kind)
    return lambda n: SHARED.get(n) or st.get(n) or "%s_%s" % (kind, n)


def _dispatch(part, indent):
    lines = []
    for op, kind in enumerate(KINDS):
        body, block = [], None
        for two, statement in steps(kind, part):
            if two and block is None:
                block = []
                body.append(("if nsrc == 2:", block))
            elif not two:
                block = None
            (block if two else body).append(py(rename(statement, _shared(kind))))
        if not body:
            continue
        flat = [b if isinstance(b, str) else "\n".join([b[0]] + ["    " + x for x in b[1]]) for b in body]
        text = "\n".join(flat)
        loads = ["%s = G[i, %d]" % (f, FIELDS.index(f)) for f in FIELDS[1:] if uses(text, f)]
        lines.append("%sif op == %d:  # %s" % ("el" if lines else "", op, kind))
        lines += ["    " + x for x in "\n".join(loads + flat).splitlines()]
    return [indent + x for x in lines]


def generic_source():
    """run(train, n, X, C, Y, out, G, P0, M0, R, L, W, S): one pass over n
    samples of the graph whose Plan table is G, X and C holding one row a
    sample; 0, or -1 at the first non-finite input or expected value. Like
    the per-graph loop it keeps parameters, moments and the counter apart
    while it runs and stores them only after the last sample."""
    head = """def run(train, n, X, C, Y, out, G, P0, M0, R, L, W, S):
    size = G.shape[0]
    P = P0.copy()
    M = M0.copy()
    A = np.zeros(size, np.float32)
    D = np.zeros(size, np.float32)
    codes = np.zeros(size, np.int64)
    s = S[0]
    for k in range(n):
        for i in range(size):
            op = G[i, 0]"""
    middle = (["        if not train:", "            continue"]
              + ["        " + py(s) for s in ENGINE.strip().splitlines()])
    middle += ["        for i in range(size):", "            D[i] = f32(0.0)",
               "        for i in range(size - 1, -1, -1):", "            op = G[i, 0]"]
    tail = ["    if train:", "        P0[:] = P", "        M0[:] = M", "        S[0] = s", "    return 0", ""]
    return "\n".join([head] + _dispatch("forward", " " * 12) + middle + _dispatch("reverse", " " * 12) + tail)
