"""A float32 twin of the graph arithmetic, for bit-exact comparison.

Every value is a numpy float32 scalar and every operation is written in the
order the native code uses, so rounding happens at the same places. The
single-precision math functions come from the system library through ctypes,
as do rand() and srand(), which share their sequence with the extension in
this process. Python floats appear only where the native code works in
double precision (the Adam quotient, learning rates, gaussian widths, the
multiples of pi).
"""
import ctypes
import ctypes.util
import math

import numpy as np

F = np.float32

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libc = ctypes.CDLL(None)


def _unary(name):
    fn = getattr(_libm, name)
    fn.restype = ctypes.c_float
    fn.argtypes = [ctypes.c_float]
    return lambda x: F(fn(float(x)))


expf = _unary("expf")
tanhf = _unary("tanhf")
sinf = _unary("sinf")
cosf = _unary("cosf")
logf = _unary("logf")
sqrtf = _unary("sqrtf")

_powf = _libm.powf
_powf.restype = ctypes.c_float
_powf.argtypes = [ctypes.c_float, ctypes.c_float]


def powf(x, y):
    return F(_powf(float(x), float(y)))


_libc.rand.restype = ctypes.c_int
_libc.rand.argtypes = []
_libc.srand.restype = None
_libc.srand.argtypes = [ctypes.c_uint]


def rand():
    return _libc.rand()


def srand(seed):
    _libc.srand(seed)


def bits(x):
    """The bit pattern of a float32, so that NaN and -0 compare exactly."""
    return int(np.array(x, dtype=np.float32).view(np.uint32))


TWO_POW_M31 = F(2.0 ** -31)


def unit(r):
    return F(r) * TWO_POW_M31


def learning_rate(base, gluamine):
    return F(base / float(logf(F(gluamine + 2))))


# Adam ----------------------------------------------------------------------

B1 = F(0.9)
B2 = F(0.999)
ONE_MINUS_B1 = F(1) - B1
ONE_MINUS_B2 = F(1) - B2


class Adam:
    def __init__(self):
        self.m1 = F(0)
        self.m2 = F(0)

    def step(self, nsamples, grad):
        self.m1 = B1 * self.m1 + ONE_MINUS_B1 * grad
        self.m2 = B2 * self.m2 + (ONE_MINUS_B2 * grad) * grad
        m1u = self.m1
        if nsamples < 20:
            m1u = m1u / (F(1) - powf(B1, F(nsamples)))
        m2u = self.m2
        if nsamples < 1000:
            m2u = m2u / (F(1) - powf(B2, F(nsamples)))
        return F(float(m1u) / (float(sqrtf(m2u)) + 1e-6))


def finite_range(array):
    """(min, max) that a numeric register's range adapts to: over the values
    finite as float32, each bound taken in the column's dtype (numeric dtypes;
    others as numpy casts them) and rounded to float32; of two zeros the
    maximum is +0 and the minimum -0. None without such a value."""
    values = np.asarray(array)
    if values.dtype.kind not in "biuf":
        values = values.astype(np.float32)
    with np.errstate(all="ignore"):
        values = values[np.isfinite(values.astype(np.float32))]
    if not len(values):
        return None
    mx, mn = values.max(), values.min()
    if values.dtype.kind == "f":
        signs = np.signbit(values[values == 0])
        mx = abs(mx) if mx == 0 and not signs.all() else mx
        mn = -abs(mn) if mn == 0 and signs.any() else mn
    return F(float(mn)), F(float(mx))


# Nodes ---------------------------------------------------------------------


class Node:
    """One slot: its sources (slot indices), activation and gradient."""

    def __init__(self, sources=()):
        self.sources = list(sources)
        self.activation = F(0)
        self.da = F(0)

    @property
    def sourcecount(self):
        return len(self.sources)


class Register(Node):
    """The numeric register: input (no sources) or pass-through/output."""

    def __init__(self, name="", sources=(), feature_min=math.nan, feature_max=math.nan, auto_adapt=True):
        super().__init__(sources)
        self.name = name
        self.feature_min = F(feature_min)
        self.feature_max = F(feature_max)
        self.auto_adapt = auto_adapt
        self.inputs = None
        self.expected = None
        self.output = None
        self.index = 0

    def _default_range(self):
        if np.isnan(self.feature_max):
            self.feature_max = F(1)
        if np.isnan(self.feature_min):
            self.feature_min = F(-1)

    def _adapt(self, array):
        found = finite_range(array)
        if found is None:
            return
        mn, mx = found
        if np.isnan(self.feature_max) or mx > self.feature_max:
            self.feature_max = mx
        if np.isnan(self.feature_min) or self.feature_min > mn:
            self.feature_min = mn

    def set_input(self, array):
        self.index = 0
        self.inputs = np.asarray(array).astype(np.float32)
        if self.auto_adapt:
            self._adapt(array)
        else:
            self._default_range()

    def set_expected(self, array):
        self.index = 0
        if array is None:
            self.expected = None
            return
        self.expected = np.asarray(array).astype(np.float32)
        if self.auto_adapt:
            self._adapt(array)

    def create_output(self, n):
        self._default_range()
        self.index = 0
        self.output = np.zeros(n, dtype=np.float32)

    def scale_in(self, v):
        if self.feature_max == self.feature_min == v:
            return F(0)  # the middle of a range of width zero
        a = (F(2) * (v - self.feature_min)) / (self.feature_max - self.feature_min) - F(1)
        if a > F(1):
            a = F(1)
        elif a < F(-1):
            a = F(-1)
        return a

    def scale_out(self, a):
        return ((F(1) + a) * (self.feature_max - self.feature_min)) * F(0.5) + self.feature_min

    def forward(self, graph):
        if not self.sources:
            self.activation = self.scale_in(self.inputs[self.index])
        else:
            self.activation = graph.nodes[self.sources[0]].activation
        if self.output is not None:
            self.output[self.index] = self.scale_out(self.activation)
        self.index += 1

    def reverse(self, graph, is_output):
        if self.expected is not None and is_output:
            y = self.scale_in(self.expected[self.index - 1])
            d = self.activation - y  # mean squared error: 2 (y_pred - y_true)
            graph.nodes[self.sources[0]].da = d + d
        elif self.sources:
            graph.nodes[self.sources[0]].da += self.da


class _AdamWeighted(Node):
    """Shared frame of "linear" and "tanh": w0, w1, bias trained with Adam."""

    LR_BASE = 0.005

    @classmethod
    def from_params(cls, params, gluamine=0, sources=()):
        return cls(params["w0"], params["w1"], params["bias"], learning_rate(cls.LR_BASE, gluamine), sources)

    def __init__(self, w0, w1, bias, lr, sources=()):
        super().__init__(sources)
        self.w0, self.w1, self.bias = F(w0), F(w1), F(bias)
        self.lr = F(lr)
        self.w0_adam, self.w1_adam, self.bias_adam = Adam(), Adam(), Adam()

    def params(self):
        return {"w0": self.w0, "w1": self.w1, "bias": self.bias}

    def _sum(self, graph):
        z = graph.nodes[self.sources[0]].activation * self.w0
        if self.sourcecount == 2:
            z = z + graph.nodes[self.sources[1]].activation * self.w1
        return z

    def _dz(self):
        raise NotImplementedError

    def reverse(self, graph, is_output):
        dz = self._dz()
        two = self.sourcecount == 2
        x0 = graph.nodes[self.sources[0]].activation
        dw0 = x0 * dz
        dw1 = graph.nodes[self.sources[1]].activation * dz if two else F(0)
        dbias = dz
        graph.nodes[self.sources[0]].da += dz * self.w0
        if two:
            graph.nodes[self.sources[1]].da += dz * self.w1
        n = graph.samples
        self.w0 = self.w0 - self.lr * self.w0_adam.step(n, dw0)
        self.w1 = self.w1 - self.lr * self.w1_adam.step(n, dw1)
        self.bias = self.bias - self.lr * self.bias_adam.step(n, dbias)


class Linear(_AdamWeighted):
    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        w0 = unit(rand()) - F(0.5)
        w1 = unit(rand()) - F(0.5)
        return cls(w0, w1, 0, learning_rate(0.005, gluamine), sources)

    def forward(self, graph):
        z = self.bias + self._sum(graph)
        if z > F(1):
            z = F(1)
        elif z < F(-1):
            z = F(-1)
        self.activation = z

    def _dz(self):
        return self.da


class Tanh(_AdamWeighted):
    @staticmethod
    def _spread():
        return F(rand()) * F(10) * TWO_POW_M31 - F(5)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        w0 = cls._spread()
        w1 = cls._spread()
        bias = cls._spread()
        return cls(w0, w1, bias, learning_rate(0.005, gluamine), sources)

    def forward(self, graph):
        self.activation = tanhf(self._sum(graph) + self.bias)

    def _dz(self):
        a = self.activation
        return (F(1) - a * a) * self.da


WIDTH_FLOOR = F(0.0001)


class Gaussian(Node):
    LR_BASE = 0.0001

    @classmethod
    def from_params(cls, params, gluamine=0, sources=()):
        p = params
        return cls(p["center0"], p["center1"], p["w0"], p["w1"], learning_rate(cls.LR_BASE, gluamine), sources)

    def __init__(self, center0, center1, w0, w1, lr, sources=()):
        super().__init__(sources)
        self.center0, self.center1 = F(center0), F(center1)
        self.w0, self.w1 = F(w0), F(w1)
        self.lr = F(lr)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        c0 = unit(rand())
        c1 = unit(rand())
        w0 = F(float(F(rand())) * 0.5 / 2147483647.0)
        w1 = F(float(F(rand())) * 0.5 / 2147483647.0)
        return cls(c0, c1, w0, w1, learning_rate(0.0001, gluamine), sources)

    def params(self):
        return {"center0": self.center0, "center1": self.center1, "w0": self.w0, "w1": self.w1}

    def forward(self, graph):
        d = graph.nodes[self.sources[0]].activation - self.center0
        z = (d * d) / self.w0
        if self.sourcecount == 2:
            e = graph.nodes[self.sources[1]].activation - self.center1
            z = z + (e * e) / self.w1
        self.activation = expf(-z)

    def reverse(self, graph, is_output):
        a, da = self.activation, self.da
        t = (da + da) * a
        x0 = graph.nodes[self.sources[0]].activation
        dc0 = ((x0 - self.center0) * t) / self.w0
        u0 = self.center0 - x0
        dw0 = ((da * a) * (u0 * u0)) / (self.w0 * self.w0)
        graph.nodes[self.sources[0]].da += -dc0
        dc1 = dw1 = F(0)
        if self.sourcecount == 2:
            x1 = graph.nodes[self.sources[1]].activation
            u1 = self.center1 - x1
            dw1 = ((da * a) * (u1 * u1)) / (self.w1 * self.w1)
            dc1 = ((x1 - self.center1) * t) / self.w1
            graph.nodes[self.sources[1]].da += -dc1
        self.w0 = self.w0 - self.lr * dw0
        self.w1 = self.w1 - self.lr * dw1
        self.center0 = self.center0 - (self.lr * F(4)) * dc0
        self.center1 = self.center1 - (self.lr * F(4)) * dc1
        if self.w0 <= F(0):
            self.w0 = WIDTH_FLOOR
        if self.w1 <= F(0):
            self.w1 = WIDTH_FLOOR


class Sine(Node):
    LR_BASE = 0.01

    @classmethod
    def from_params(cls, params, gluamine=0, sources=()):
        return cls(params["x0"], params["k"], learning_rate(cls.LR_BASE, gluamine), sources)

    def __init__(self, x0, k, lr, sources=()):
        super().__init__(sources)
        self.x0, self.k, self.lr = F(x0), F(k), F(lr)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        k = F((rand() % 3 + 1) * 3.141592653589793)
        return cls(0, k, learning_rate(0.01, gluamine), sources)

    def params(self):
        return {"x0": self.x0, "k": self.k}

    def forward(self, graph):
        v = graph.nodes[self.sources[0]].activation
        self.activation = sinf(v * self.k + self.x0)

    def reverse(self, graph, is_output):
        da = self.da
        v = graph.nodes[self.sources[0]].activation
        q = cosf(self.k * v + self.x0)
        dx0 = q * da
        dk = (v * da) * q
        graph.nodes[self.sources[0]].da += q * (self.k * da)
        self.x0 = self.x0 - dx0 * self.lr
        self.k = self.k - dk * (self.lr + self.lr)


class Multiply(Node):
    @classmethod
    def from_params(cls, params, gluamine=0, sources=()):
        return cls(sources)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        return cls(sources)

    def params(self):
        return {}

    def forward(self, graph):
        self.activation = graph.nodes[self.sources[0]].activation * graph.nodes[self.sources[1]].activation

    def reverse(self, graph, is_output):
        da = self.da
        x0 = graph.nodes[self.sources[0]].activation
        x1 = graph.nodes[self.sources[1]].activation
        graph.nodes[self.sources[0]].da += da * x1
        graph.nodes[self.sources[1]].da += x0 * da


TWINS = {"linear": Linear, "tanh": Tanh, "gaussian": Gaussian, "sine": Sine, "multiply": Multiply}


class Graph:
    """Runs the twin nodes one sample at a time, as the engine does."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.samples = 0

    def query(self, xarray, yarray=None):
        count = -1
        for node in self.nodes:
            if isinstance(node, Register) and not node.sources:
                node.set_input(xarray[node.name])
                count = len(xarray[node.name])
        out = self.nodes[-1]
        out.set_expected(yarray)
        out.create_output(count)
        with np.errstate(all="ignore"):
            self._passes(count, yarray is not None)
        for node in self.nodes:
            if isinstance(node, Register) and not node.sources:
                node.inputs = None
        return out.output

    def _passes(self, count, tune):
        for _ in range(count):
            for node in self.nodes:
                node.da = F(0)
                node.forward(self)
            if tune:
                self.samples += 1
                for i in range(len(self.nodes) - 1, -1, -1):
                    self.nodes[i].reverse(self, i == len(self.nodes) - 1)

