"""The contenders of the suite: the module, the fused C++ floor, a numba loop
generated per graph, one numba interpreter for every graph, PyTorch eager and
a plain Python loop.

Each contender runs one graph on one data set and offers

    reset()     fresh state from the starting parameters (not timed)
    train()     one online pass with expected values; returns the predictions
    predict()   one pass without them; returns the predictions
    state()     (P, W): parameters in the plan's order and category weights

so that every one starts equal and can be compared with the module.
"""
import ctypes
import ctypes.util
import hashlib
import importlib
import math
import os
import re
import subprocess
import sys
import sysconfig
import time

import numpy as np

import codegen
from graphs import LR_BASE, build_module_graph

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]


def learning_rate(base, gluamine=0):
    """base / ln(gluamine + 2): the logarithm in single precision, the
    quotient in double, rounded to float, as the module forms it."""
    return np.float32(base / float(_libm.logf(float(np.float32(gluamine + 2)))))


class Skipped(Exception):
    """A contender that cannot run here; its message says why."""


class FlatState:
    """A graph's starting state laid out in the plan's arrays."""

    def __init__(self, plan, params, categories, ranges):
        self.plan = plan
        self.P = np.zeros(max(plan.n_p, 1), np.float32)
        for slot, names in plan.p.items():
            for name, ix in names.items():
                self.P[ix] = params[slot][name]
        self.R = np.zeros(max(plan.n_r, 1), np.float32)
        for slot, ix in plan.r.items():
            entry = plan.layout[slot]
            self.R[ix], self.R[ix + 1] = ranges[entry[1] if entry[0] == "in" else "y"]
        self.L = np.zeros(max(plan.n_l, 1), np.float32)
        for slot, ix in plan.l.items():
            self.L[ix] = learning_rate(LR_BASE[plan.layout[slot][0]])
        weights = [w for _, w in sorted(categories)]
        self.W = [np.array(weights, np.float64) for _ in plan.cats]

    def fresh(self):
        """Arrays a pass may change, copied; the ranges and rates are shared."""
        return {
            "P": self.P.copy(),
            "M": np.zeros(max(self.plan.n_m, 1), np.float32),
            "W": [w.copy() for w in self.W],
            "S": np.zeros(1, np.int32),
        }


def _columns(plan, data):
    return [data[name] for _, name in plan.columns], [data[name] for _, name in plan.cats]


# ---------------------------------------------------------------------------


class ModuleContender:
    name = "module"

    def __init__(self, vesk, plan, params, categories, ranges, data, y):
        self.vesk, self.plan = vesk, plan
        self.params, self.categories, self.ranges = params, categories, ranges
        self.x = {name: data[name] for _, name in plan.columns + plan.cats}
        self.y = y
        self.graph = self.nodes = None

    def reset(self):
        self.graph, self.nodes = build_module_graph(
            self.vesk, self.plan.layout, self.params, self.categories, self.ranges)

    def train(self):
        return self.graph._query(self.x, self.y)

    def predict(self):
        return self.graph._query(self.x)

    def state(self):
        P = np.zeros(max(self.plan.n_p, 1), np.float32)
        for slot, names in self.plan.p.items():
            held = self.nodes[slot].state._to_dict()
            for name, ix in names.items():
                P[ix] = held[name]
        W = []
        for slot, _ in self.plan.cats:
            W.append(np.array([w for _, w in sorted(self.nodes[slot].state.categories)], np.float64))
        return P, W


# ---------------------------------------------------------------------------


def module_compile_flags():
    """The optimisation and floating-point flags the module is built with,
    read from its CMake target (warning flags left out)."""
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    match = re.search(r"target_compile_options\(_vesk PRIVATE([^)]*)\)", text)
    flags = []
    if match:
        flags = [f for f in match.group(1).split() if f.startswith("-O") or f.startswith("-f")]
    return flags or ["-O2", "-ffp-contract=off", "-fwrapv", "-fno-fast-math"]


def build_floor(plans, build_dir):
    """Compiles the fused loops of every plan into the extension module
    "_floor" (cached by source, flags and interpreter); returns (module,
    compile command)."""
    source = codegen.cpp_source(plans)
    cxx = os.environ.get("CXX", "c++")
    include = sysconfig.get_paths()["include"]
    flags = ["-std=c++20"] + module_compile_flags() + ["-fPIC", "-shared", "-I" + include]
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    digest = hashlib.sha256("\0".join([source, cxx, sys.version] + flags).encode()).hexdigest()[:16]
    where = os.path.join(build_dir, "floor-" + digest)
    os.makedirs(where, exist_ok=True)
    src_path = os.path.join(where, "_floor.cpp")
    lib_path = os.path.join(where, "_floor" + suffix)
    command = [cxx] + flags + ["-o", lib_path, src_path, "-lm"]
    if not os.path.exists(lib_path):
        with open(src_path, "w") as f:
            f.write(source)
        try:
            done = subprocess.run(command, capture_output=True, text=True)
        except OSError as exc:
            raise Skipped("no C++ compiler (%s)" % exc)
        if done.returncode != 0:
            raise Skipped("the fused loops did not compile: %s" % done.stderr.strip()[:400])
    return load_floor(lib_path), command


def load_floor(lib_path):
    """Imports the built "_floor" extension from its own directory."""
    directory = os.path.dirname(os.path.abspath(lib_path))
    sys.modules.pop("_floor", None)
    sys.path.insert(0, directory)
    try:
        return importlib.import_module("_floor")
    finally:
        sys.path.remove(directory)


class _FusedContender:
    """What the fused contenders share: a pass by kind, over flat state."""

    def train(self):
        return self._run("train")

    def predict(self):
        return self._run("predict")

    def state(self):
        return self.st["P"], self.st["W"]


class FloorContender(_FusedContender):
    name = "floor"

    def __init__(self, floor, plan, flat, data, y):
        self.floor, self.plan, self.flat = floor, plan, flat
        cols, codes = _columns(plan, data)
        self.cols, self.codes = tuple(cols), tuple(codes)
        self.y = y
        self.n = len(y)
        self.st = None

    def reset(self):
        self.st = self.flat.fresh()

    def _run(self, mode):
        out = np.empty(self.n, np.float32)
        st = self.st
        rc = self.floor.run("%s_%s" % (self.plan.name, mode), self.n, self.cols, self.codes, tuple(st["W"]), self.y,
                            out, st["P"], st["M"], self.flat.R, self.flat.L, st["S"])
        if rc != 0:
            raise RuntimeError("floor pass failed on a non-finite value")
        return out



# ---------------------------------------------------------------------------


def _py_namespace(dialect):
    if dialect == "numba":
        F = np.float32
        ns = {"f32": np.float32, "f64": np.float64}
    else:
        F = float
        ns = {}
    ns.update(
        F0=F(0.0), F1=F(1.0), FM1=F(-1.0), F2=F(2.0), F4=F(4.0), FHALF=F(0.5),
        B1=F(0.9), B2=F(0.999), OMB1=F(F(1.0) - F(0.9)), OMB2=F(F(1.0) - F(0.999)),
        CATLR=F(0.002), WFLOOR=F(0.0001),
        isfinite=math.isfinite, sqrt=math.sqrt, tanh=math.tanh, exp=math.exp, sin=math.sin, cos=math.cos,
    )
    return ns


def compile_python(plan, dialect):
    ns = _py_namespace(dialect)
    code = compile(codegen.py_source(plan, dialect), "<%s %s loop>" % (plan.name, dialect), "exec")
    exec(code, ns)
    return ns["train"], ns["predict"]


class NumbaContender(_FusedContender):
    name = "numba"

    def __init__(self, plan, flat, data, y):
        try:
            import numba
        except ImportError:
            raise Skipped("numba is not installed")
        self.version = numba.__version__
        self.plan, self.flat = plan, flat
        train, predict = compile_python(plan, "numba")
        self.fns = {"train": numba.njit(nogil=True)(train), "predict": numba.njit(nogil=True)(predict)}
        self.cols, self.codes = _columns(plan, data)
        self.y = y
        self.st = None
        # Compiles both functions before any timing, timing the first calls
        # against warm ones.
        small = _Slice(self, 4)
        self.compile_seconds = {}
        for mode in ("train", "predict"):
            self.reset()
            self.compile_seconds[mode] = _first_and_warm(getattr(small, mode))
        self.reset()

    def reset(self):
        st = self.flat.fresh()
        st["S"] = np.zeros(1, np.int64)
        self.st = st

    def _args(self, n, cols, codes, y, out):
        args = [n] + list(cols)
        for code, w in zip(codes, self.st["W"]):
            args += [code, w]
        return args + [y, out, self.st["P"], self.st["M"], self.flat.R, self.flat.L, self.st["S"]]

    def _run(self, mode, n=None, cols=None, codes=None, y=None):
        n = len(self.y) if n is None else n
        out = np.empty(n, np.float32)
        args = self._args(n, self.cols if cols is None else cols, self.codes if codes is None else codes,
                          self.y if y is None else y, out)
        if self.fns[mode](*args) != 0:
            raise RuntimeError("numba pass failed on a non-finite value")
        return out


class _Slice:
    """The first rows of a numba contender's data, for compiling."""

    def __init__(self, owner, n):
        self.owner, self.n = owner, n

    def train(self):
        o = self.owner
        return o._run("train", self.n, [c[:self.n] for c in o.cols], [c[:self.n] for c in o.codes], o.y[:self.n])

    def predict(self):
        o = self.owner
        return o._run("predict", self.n, [c[:self.n] for c in o.cols], [c[:self.n] for c in o.codes], o.y[:self.n])


def numba_startup():
    """Seconds numba takes to compile its first function in the process (its
    own start-up, and first use of the float32 maths every contender uses),
    so that no contender's compile time carries it; None without numba."""
    try:
        import numba
    except ImportError:
        return None

    def warm(x):
        v = x[0]
        return math.tanh(v) + math.exp(-v) + math.sin(v) * math.cos(v) + math.sqrt(v) + np.float32(0.9) ** v

    start = time.perf_counter()
    numba.njit(nogil=True)(warm)(np.ones(1, np.float32))
    return time.perf_counter() - start


def _first_and_warm(run, warm_calls=5):
    """Seconds of a first call (compile included) and the median of the same
    call made again (the call right after a compile runs on caches the
    compiler has emptied, so one alone is not a warm call)."""
    seconds = []
    for _ in range(1 + warm_calls):
        start = time.perf_counter()
        run()
        seconds.append(time.perf_counter() - start)
    return {"first": seconds[0], "warm": float(np.median(seconds[1:]))}


class NumbaGenericContender(_FusedContender):
    """The same arithmetic run by one numba interpreter compiled for every
    graph (numba_generic.py), the graph handed over as arrays."""

    name = "numba generic"

    def __init__(self, plan, flat, data, y):
        try:
            import numba  # noqa: F401
        except ImportError:
            raise Skipped("numba is not installed")
        import numba_generic

        self.gen = numba_generic
        self.plan, self.flat = plan, flat
        start = time.perf_counter()
        self.G = numba_generic.encode(plan, flat.W)
        self.encode_seconds = time.perf_counter() - start
        cols, codes = _columns(plan, data)
        # One row a sample; stacked once, as the user would hold the data.
        self.X = np.ascontiguousarray(np.stack(cols, axis=1) if cols else np.zeros((len(y), 0), np.float32))
        self.C = np.ascontiguousarray(np.stack(codes, axis=1) if codes else np.zeros((len(y), 0), np.int64))
        self.y = y
        self.st = None
        # First calls (compiling the interpreter when it is the process's
        # first) and warm ones on a few rows, before any timing.
        self.compile_seconds = {}
        for mode in ("train", "predict"):
            self.reset()
            self.compile_seconds[mode] = _first_and_warm(lambda: self._run(mode, 4))
        self.reset()

    def reset(self):
        st = self.flat.fresh()
        st["S"] = np.zeros(1, np.int64)
        joined = np.concatenate(st["W"]) if st["W"] else np.zeros(1, np.float64)
        views, at = [], 0
        for w in st["W"]:
            views.append(joined[at:at + len(w)])
            at += len(w)
        st["W"], st["joined"] = views, joined
        self.st = st

    def _run(self, mode, n=None):
        X, C, y = (self.X, self.C, self.y) if n is None else (self.X[:n], self.C[:n], self.y[:n])
        out = np.empty(len(y), np.float32)
        st = self.st
        rc = self.gen.run(mode == "train", len(y), X, C, y, out, self.G, st["P"], st["M"], self.flat.R, self.flat.L,
                          st["joined"], st["S"])
        if rc != 0:
            raise RuntimeError("numba generic pass failed on a non-finite value")
        return out


class PythonContender:
    """Plain Python over float scalars; its columns are turned into lists of
    floats inside the timed pass, as a user of such a loop would."""

    name = "python"

    def __init__(self, plan, flat, data, y):
        self.plan, self.flat = plan, flat
        self.fns = dict(zip(("train", "predict"), compile_python(plan, "python")))
        self.cols, self.codes = _columns(plan, data)
        self.y = y
        self.st = None

    def reset(self):
        st = self.flat.fresh()
        self.st = {"P": st["P"].tolist(), "M": st["M"].tolist(), "W": [w.tolist() for w in st["W"]], "S": [0]}

    def _run(self, mode):
        n = len(self.y)
        out = [0.0] * n
        args = [n] + [c.tolist() for c in self.cols]
        for code, w in zip(self.codes, self.st["W"]):
            args += [code.tolist(), w]
        args += [self.y.tolist(), out, self.st["P"], self.st["M"], self.flat.R.tolist(), self.flat.L.tolist(),
                 self.st["S"]]
        if self.fns[mode](*args) != 0:
            raise RuntimeError("python pass failed on a non-finite value")
        return np.array(out, np.float32)

    def train(self):
        return self._run("train")

    def predict(self):
        return self._run("predict")

    def state(self):
        return np.array(self.st["P"], np.float32), [np.array(w) for w in self.st["W"]]


# ---------------------------------------------------------------------------


class TorchContender:
    """The same graph as a small torch module, one Adam step per sample."""

    name = "torch"

    def __init__(self, plan, flat, data, y):
        try:
            import torch
        except ImportError:
            raise Skipped("torch is not installed")
        torch.set_num_threads(1)
        self.torch = torch
        self.version = torch.__version__
        self.plan, self.flat = plan, flat
        self.cols, self.codes = _columns(plan, data)
        self.y = y
        self.model = self.opt = None

    def reset(self):
        torch = self.torch
        plan, flat = self.plan, self.flat
        tensors = {}
        groups = {}
        for slot, names in plan.p.items():
            values = [float(flat.P[ix]) for ix in names.values()]
            t = torch.nn.Parameter(torch.tensor(values, dtype=torch.float32))
            tensors[slot] = t
            groups.setdefault(float(flat.L[plan.l[slot]]), []).append(t)
        catw = {}
        for (slot, _), w in zip(plan.cats, flat.W):
            catw[slot] = torch.nn.Parameter(torch.tensor(w, dtype=torch.float32))
            groups.setdefault(0.002, []).append(catw[slot])
        self.tensors, self.catw = tensors, catw
        self.widths = [tensors[s] for s in tensors if plan.layout[s][0] == "gaussian"]
        self.opt = torch.optim.Adam([{"params": ps, "lr": lr} for lr, ps in groups.items()])

    def _forward(self, k, xs, cs):
        torch = self.torch
        plan = self.plan
        acts = [None] * plan.size
        ci = 0
        xi = 0
        for slot, entry in enumerate(plan.layout):
            kind = entry[0]
            src = plan.sources(slot)
            if kind == "in":
                lo, span = self.ranges[slot]
                a = (2.0 * (xs[xi][k] - lo)) / span - 1.0
                acts[slot] = max(-1.0, min(1.0, a))
                xi += 1
            elif kind == "cat":
                acts[slot] = self.catw[slot][cs[ci][k]]
                ci += 1
            elif kind == "out":
                acts[slot] = acts[src[0]]
            else:
                p = self.tensors.get(slot)
                a0 = acts[src[0]]
                if kind in ("linear", "tanh"):
                    z = a0 * p[0]
                    if len(src) == 2:
                        z = z + acts[src[1]] * p[1]
                    z = p[2] + z
                    if kind == "linear":
                        # clamped forward, gradient passed through as the module does
                        acts[slot] = z + (torch.clamp(z, -1.0, 1.0) - z).detach()
                    else:
                        acts[slot] = torch.tanh(z)
                elif kind == "gaussian":
                    d = a0 - p[0]
                    z = (d * d) / p[2]
                    if len(src) == 2:
                        e = acts[src[1]] - p[1]
                        z = z + (e * e) / p[3]
                    acts[slot] = torch.exp(-z)
                elif kind == "sine":
                    acts[slot] = torch.sin(a0 * p[1] + p[0])
                else:
                    acts[slot] = a0 * acts[src[1]]
        return acts[-1]

    def _prepare(self):
        plan, flat = self.plan, self.flat
        self.ranges = {}
        for slot, ix in plan.r.items():
            lo, hi = float(flat.R[ix]), float(flat.R[ix + 1])
            self.ranges[slot] = (lo, hi - lo)
        return [c.tolist() for c in self.cols], [c.tolist() for c in self.codes]

    def _scale_out(self, preds):
        lo, span = self.ranges[self.plan.out_slot]
        a = self.torch.stack(preds).detach().numpy().astype(np.float32)
        return (((1.0 + a) * span) * 0.5 + lo).astype(np.float32)

    def train(self):
        torch = self.torch
        xs, cs = self._prepare()
        lo, span = self.ranges[self.plan.out_slot]
        ys = self.y.tolist()
        preds = []
        opt = self.opt
        for k in range(len(ys)):
            opt.zero_grad(set_to_none=True)
            pred = self._forward(k, xs, cs)
            target = max(-1.0, min(1.0, (2.0 * (ys[k] - lo)) / span - 1.0))
            loss = (pred - target) ** 2
            loss.backward()
            opt.step()
            with torch.no_grad():
                for w in self.catw.values():
                    w.clamp_(-1.0, 1.0)
                for p in self.widths:
                    p[2:].clamp_(min=0.0001)
            preds.append(pred.detach())
        return self._scale_out(preds)

    def predict(self):
        torch = self.torch
        xs, cs = self._prepare()
        preds = []
        with torch.no_grad():
            for k in range(len(self.y)):
                preds.append(self._forward(k, xs, cs))
        return self._scale_out(preds)

    def state(self):
        P = np.zeros(max(self.plan.n_p, 1), np.float32)
        for slot, names in self.plan.p.items():
            values = self.tensors[slot].detach().numpy()
            for j, ix in enumerate(names.values()):
                P[ix] = values[j]
        return P, [self.catw[slot].detach().numpy().astype(np.float64) for slot, _ in self.plan.cats]


def python_version():
    return "%d.%d.%d" % sys.version_info[:3]
