"""The contenders: the module, the fused C++ floor, numba's loop generated per
graph, one numba interpreter for every graph and PyTorch eager.

Each runs one graph (a codegen.Plan) on one data set and offers reset()
(a fresh copy of the common starting state; not timed), train() and
predict() (one online pass, returning the predictions) and state() (P, W:
the parameters in the plan's order and the category weights), so that every
one can be held against the module.
"""
import ctypes
import ctypes.util
import hashlib
import math
import os
import re
import subprocess
import time

import numpy as np

import codegen
from graphs import build_module_graph, starting_state
from ops import TYPES

PEERS = ("floor", "numba", "numba generic", "torch")
EXACT = ("floor", "numba", "numba generic")  # held bit for bit against the module
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype, _libm.logf.argtypes = ctypes.c_float, [ctypes.c_float]


class Skipped(Exception):
    """A contender that cannot run here; its message says why."""


class FlatState:
    """A graph's starting state in the plan's flat arrays."""

    def __init__(self, plan, params, categories, ranges):
        self.plan = plan
        self.P, self.L, self.R = (np.zeros(max(plan.n[k], 1), np.float32) for k in "jlr")
        for slot, entry in enumerate(plan.layout):
            t, (j, lr, r) = TYPES[entry[0]], (plan.field(slot, f) for f in "jlr")
            self.P[j:j + len(t.params)] = [params[slot][p] for p in t.params]
            if lr >= 0:  # base / ln(gluamine + 2): the logarithm in single precision, as the module forms it
                self.L[lr] = np.float32(t.lr / float(_libm.logf(2.0)))
            if r >= 0:
                self.R[r:r + 2] = ranges[entry[1] if entry[0] == "in" else "y"]
        self.W = np.array([w for _, w in sorted(categories)] * len(plan.cats) or [0.0], np.float64)

    def fresh(self):
        """The arrays a pass changes, copied; W joined and as one view per
        categorical register."""
        W, n = self.W.copy(), codegen.CATEGORIES
        return {"P": self.P.copy(), "M": np.zeros(max(self.plan.n["mj"], 1), np.float32), "S": np.zeros(1, np.int64),
                "W": W, "Ws": tuple(W[i * n:(i + 1) * n] for i in range(len(self.plan.cats)))}


class Contender:
    """A pass by kind over the plan's flat state, through call()."""

    def __init__(self, plan, flat, data, y):
        self.plan, self.flat, self.y = plan, flat, y
        self.X, self.C = (tuple(data[name] for name in names) for names in (plan.columns, plan.cats))

    def reset(self):
        self.st = self.flat.fresh()

    def train(self):
        return self.run("train")

    def predict(self):
        return self.run("predict")

    def state(self):
        return self.st["P"], list(self.st["Ws"])

    def run(self, mode, rows=None):
        out = np.empty(len(self.y) if rows is None else rows, np.float32)
        if self.call(mode, len(out), out) != 0:
            raise RuntimeError("%s: the pass stopped on a non-finite value" % self.name)
        return out

    def first_calls(self):
        """Seconds of a first 4-row pass of each kind, compile included;
        leaves a fresh state."""
        seconds = {}
        for mode in ("train", "predict"):
            self.reset()
            start = time.perf_counter()
            self.run(mode, 4)
            seconds[mode] = time.perf_counter() - start
        self.reset()
        return seconds


class ModuleContender(Contender):
    name = "module"

    def __init__(self, plan, params, categories, ranges, data, y):
        super().__init__(plan, None, data, y)
        self.start = (params, categories, ranges)
        self.x = {name: data[name] for name in plan.columns + plan.cats}

    def reset(self):
        self.graph, self.nodes = build_module_graph(self.plan.layout, *self.start)

    def train(self):
        return self.graph._query(self.x, self.y)

    def predict(self):
        return self.graph._query(self.x)

    def state(self):
        P, W = np.zeros(max(self.plan.n["j"], 1), np.float32), []
        for slot, (entry, node) in enumerate(zip(self.plan.layout, self.nodes)):
            held, j, names = node.state._to_dict(), self.plan.field(slot, "j"), TYPES[entry[0]].params
            P[j:j + len(names)] = [held[p] for p in names]
            if entry[0] == "cat":
                W.append(np.array([w for _, w in sorted(node.state.categories)], np.float64))
        return P, W


def build_floor(plans, build_dir):
    """The fused loops of every plan as a shared library, compiled with the
    module's optimisation and floating-point flags (read from its CMake
    target) and cached by source and command; returns (path, command)."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        match = re.search(r"target_compile_options\(_vesk PRIVATE([^)]*)\)", f.read())
    flags = [f for f in (match.group(1).split() if match else []) if f.startswith(("-O", "-f"))]
    command = [os.environ.get("CXX", "c++"), "-std=c++20"] + (flags or ["-O2", "-ffp-contract=off", "-fwrapv"])
    source = codegen.cpp_source(plans)
    where = os.path.join(build_dir, "floor-" + hashlib.sha256("\0".join([source] + command).encode()).hexdigest()[:16])
    path = os.path.join(where, "libfloor.so")
    if not os.path.exists(path):
        os.makedirs(where, exist_ok=True)
        with open(os.path.join(where, "floor.cpp"), "w") as f:
            f.write(source)
        try:
            done = subprocess.run(command + ["-fPIC", "-shared", "-o", path + ".tmp", f.name, "-lm"],
                                  capture_output=True, text=True)
        except OSError as exc:
            raise Skipped("no C++ compiler (%s)" % exc) from exc
        if done.returncode != 0:
            raise Skipped("the fused loops did not compile: %s" % done.stderr.strip()[:400])
        os.replace(path + ".tmp", path)
    return path, command


def _pointers(arrays):
    return (ctypes.c_void_p * max(len(arrays), 1))(*[a.ctypes.data for a in arrays])


class FloorContender(Contender):
    name = "floor"

    def __init__(self, library, plan, flat, data, y):
        super().__init__(plan, flat, data, y)
        lib = ctypes.CDLL(library)  # its calls release the interpreter lock
        self.fns = {mode: getattr(lib, "floor_%s_%s" % (plan.name, mode)) for mode in ("train", "predict")}
        for fn in self.fns.values():
            fn.argtypes = [ctypes.c_int64] + [ctypes.c_void_p] * 10
        self.Xp, self.Cp = _pointers(self.X), _pointers(self.C)

    def reset(self):
        super().reset()
        self.Wp = _pointers(self.st["Ws"])

    def call(self, mode, n, out):
        st = self.st
        return self.fns[mode](n, self.Xp, self.Cp, self.Wp, *[a.ctypes.data for a in (
            self.y, out, st["P"], st["M"], self.flat.R, self.flat.L, st["S"])])


_JITTED = {}  # source -> its compiled functions: a graph compiles once a process


def _jit(source, label):
    """The functions of generated code under numba, float32 throughout."""
    if source not in _JITTED:
        try:
            import numba
        except ImportError:
            raise Skipped("numba is not installed") from None
        jit = numba.njit(nogil=True)
        f32 = np.float32
        ns = {"np": np, "isfinite": math.isfinite, "tanhf": math.tanh, "expf": math.exp, "sinf": math.sin,
              "cosf": math.cos, "sqrtf": math.sqrt, "f32": f32, "f64": np.float64, "powf": jit(lambda a, b: a ** b),
              "clamp1": jit(lambda v: f32(1.0) if v > f32(1.0) else (f32(-1.0) if v < f32(-1.0) else v)),
              "clampw": jit(lambda v: 1.0 if v > 1.0 else (-1.0 if v < -1.0 else v))}
        exec(compile(source, "<%s>" % label, "exec"), ns)
        _JITTED[source] = {name: jit(ns[name]) for name in ("train", "predict", "run") if name in ns}
    return _JITTED[source]


class NumbaContender(Contender):
    name = "numba"

    def __init__(self, plan, flat, data, y):
        super().__init__(plan, flat, data, y)
        self.fns = _jit(codegen.py_source(plan), plan.name + " loop")
        self.compile_seconds = self.first_calls()

    def call(self, mode, n, out):
        st = self.st
        return self.fns[mode](n, tuple(x[:n] for x in self.X), tuple(c[:n] for c in self.C), st["Ws"], self.y[:n],
                              out, st["P"], st["M"], self.flat.R, self.flat.L, st["S"])


class NumbaGenericContender(Contender):
    """The graph handed as its plan's table to one interpreter compiled once
    for every graph; the columns stacked once, as a user would hold them,
    into row-major arrays."""

    name = "numba generic"

    def __init__(self, plan, flat, data, y):
        super().__init__(plan, flat, data, y)
        self.run_graph = _jit(codegen.generic_source(), "generic interpreter")["run"]
        self.Xs, self.Cs = (np.ascontiguousarray(np.stack(a, axis=1) if a else np.zeros((len(y), 0), dtype))
                            for a, dtype in ((self.X, np.float32), (self.C, np.int64)))
        self.compile_seconds = self.first_calls()

    def call(self, mode, n, out):
        st = self.st
        return self.run_graph(mode == "train", n, self.Xs[:n], self.Cs[:n], self.y[:n], out, self.plan.table,
                              st["P"], st["M"], self.flat.R, self.flat.L, st["W"], st["S"])


class TorchContender(Contender):
    """The graph's forward step over torch tensors, one Adam step a sample on
    one thread (torch's own optimiser, so not bit for bit)."""

    name = "torch"

    def __init__(self, plan, flat, data, y):
        super().__init__(plan, flat, data, y)
        try:
            import torch
        except ImportError:
            raise Skipped("torch is not installed") from None
        torch.set_num_threads(1)
        self.torch = torch

        def clamp1(v):  # clamped forward, the gradient passed through, as the module does
            return max(-1.0, min(1.0, v)) if isinstance(v, float) else v + (torch.clamp(v, -1.0, 1.0) - v).detach()

        ns = {"isfinite": math.isfinite, "tanhf": torch.tanh, "expf": torch.exp, "sinf": torch.sin,
              "f32": lambda v: v, "clamp1": clamp1}
        exec(compile(codegen.torch_source(plan), "<%s torch>" % plan.name, "exec"), ns)
        self.forward, self.R = ns["forward"], flat.R.tolist()
        self.lo, self.hi = self.R[plan.field(plan.size - 1, "r"):][:2]

    def reset(self):
        torch, plan, flat = self.torch, self.plan, self.flat
        groups, self.index, self.widths = {}, [], []
        for slot, entry in enumerate(plan.layout):
            t, j = TYPES[entry[0]], plan.field(slot, "j")
            if t.params:
                tensor = torch.nn.Parameter(torch.tensor(flat.P[j:j + len(t.params)]))
                groups.setdefault(float(flat.L[plan.field(slot, "l")]), []).append(tensor)
                self.index += [(tensor, ix) for ix in range(len(t.params))]
                self.widths += [tensor] if entry[0] == "gaussian" else []
        self.W = [torch.nn.Parameter(torch.tensor(w, dtype=torch.float32)) for w in flat.fresh()["Ws"]]
        groups.setdefault(0.002, []).extend(self.W)
        self.opt = torch.optim.Adam([{"params": ps, "lr": lr} for lr, ps in groups.items()])

    def run(self, mode, rows=None):
        torch, span, train = self.torch, self.hi - self.lo, mode == "train"
        xs, cs, ys = [x.tolist() for x in self.X], [c.tolist() for c in self.C], self.y.tolist()
        preds = []
        with torch.set_grad_enabled(train):
            for k in range(len(ys)):
                pred = self.forward(k, xs, cs, self.W, [t[ix] for t, ix in self.index], self.R)
                if train:
                    self.opt.zero_grad(set_to_none=True)
                    ((pred - max(-1.0, min(1.0, (2.0 * (ys[k] - self.lo)) / span - 1.0))) ** 2).backward()
                    self.opt.step()
                    with torch.no_grad():
                        for w in self.W:
                            w.clamp_(-1.0, 1.0)
                        for w in self.widths:
                            w[2:].clamp_(min=0.0001)
                preds.append(pred.detach())
        return ((1.0 + torch.stack(preds).numpy()) * span * 0.5 + self.lo).astype(np.float32)

    def state(self):
        return (np.array([float(t[ix].detach()) for t, ix in self.index] or [0.0], np.float32),
                [w.detach().numpy().astype(np.float64) for w in self.W])


def lineup(name, layout, data, y, ranges, floor, skip=(), skipped=None, rows=None, drawn=None):
    """The module and its peers on one graph, from one starting state (drawn,
    by default graphs.draw_parameters'); a peer that cannot run here is noted
    in skipped with the reason."""
    plan = codegen.Plan(name, layout)
    params, categories = starting_state(layout, ranges, drawn)
    flat = FlatState(plan, params, categories, ranges)
    out = [ModuleContender(plan, params, categories, ranges, data, y)]
    makers = {"floor": lambda *a: FloorContender(floor, *a), "numba": NumbaContender,
              "numba generic": NumbaGenericContender, "torch": TorchContender}
    for who in PEERS:
        n = (rows or {}).get(who, len(y))
        try:
            if who in skip or (who == "floor" and floor is None):
                raise Skipped("left out with --skip")
            out.append(makers[who](plan, flat, {k: v[:n] for k, v in data.items()}, y[:n]))
        except Skipped as exc:
            (skipped if skipped is not None else {}).setdefault(who, str(exc))
    return out


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    width = {4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    return a.shape == b.shape and a.dtype == b.dtype and bool(np.array_equal(a.view(width), b.view(width)))


def verify(lineup):
    """{contender: [what differs from the module]} for every bit-exact
    contender, over a training, a prediction and a second training pass from
    a fresh state, then the parameters and category weights."""
    seen = {}
    for c in lineup:
        if c.name == "module" or c.name in EXACT:
            c.reset()
            seen[c.name] = [c.train(), c.predict(), c.train()] + list(c.state())
    labels = ("training", "prediction", "second training", "parameters", "category weights")
    ref = seen.pop("module")
    return {who: [label for label, a, b in zip(labels, got, ref) if not (
        same_bits(a, b) if label != "category weights" else len(a) == len(b) and all(map(same_bits, a, b)))]
        for who, got in seen.items()}
