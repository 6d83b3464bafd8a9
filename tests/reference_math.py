"""A float32 twin of the graph arithmetic, for bit-exact comparison, and the
list of the registered types that drives the parametrized tests.

Every value is a numpy float32 scalar and every operation is written in the
order the native code uses, so rounding happens at the same places. The
single-precision math functions come from the system library through ctypes,
as do rand() and srand(), which share their sequence with the extension in
this process. Python floats appear only where the native code works in
double precision (the Adam quotient, learning rates, gaussian widths, the
multiples of pi, the weights of categories).
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


# Losses: derivative with respect to the prediction, (y_true, y_pred) --------


def mean_absolute_error(y_true, y_pred):
    return F(-1) if y_true >= y_pred else F(1)


def mean_squared_error(y_true, y_pred):
    d = y_pred - y_true
    return d + d


def categorical_cross_entropy(y_true, y_pred):
    return y_pred + F(1) if y_true == F(-1) else y_pred - F(1)


LOSSES = {f.__name__: f for f in (mean_absolute_error, mean_squared_error, categorical_cross_entropy)}


def scale_in(v, lo, hi):
    """A value mapped from the feature range [lo, hi] into [-1, 1], clamped."""
    v, lo, hi = F(v), F(lo), F(hi)
    if hi == lo == v:
        return F(0)  # the middle of a range of width zero
    with np.errstate(all="ignore"):
        a = (F(2) * (v - lo)) / (hi - lo) - F(1)
    if a > F(1):
        return F(1)
    if a < F(-1):
        return F(-1)
    return a


def scale_out(a, lo, hi):
    a, lo, hi = F(a), F(lo), F(hi)
    with np.errstate(all="ignore"):
        return ((F(1) + a) * (hi - lo)) * F(0.5) + lo


# The registered types --------------------------------------------------------
#
# Each twin class also describes its type to the tests: NAME; ATTRIBUTES, the
# state's attribute names in the order of its dictionary, each with the
# Python type it takes; SOURCES, the least and the most sources it reads;
# whether it is a REGISTER (named; an input register without sources) and
# can be the OUTPUT; UNKNOWN_NAMES, what a state write of a name it lacks
# does; LOSS, what setting its loss raises (None: accepted); TOOLTIP_SIZE;
# for a trained type LR_BASE; EDGES, starting states that reach its clamps
# and floors. Its methods are the arithmetic, drawn() (what the module draws
# at creation), from_state() (a twin from the module's dictionary form),
# state() and tooltip(). TYPES at the end lists them all: a new type needs
# its twin class and its line there, and a node in MIXED of
# tests/test_bench_smoke.py (CONTRIBUTING.md).


class Node:
    """One slot: its sources (slot indices), activation and gradient."""

    NAME = None
    ATTRIBUTES = {}
    SOURCES = (1, 2)
    REGISTER = False
    OUTPUT = False
    UNKNOWN_NAMES = "converted, refused"  # or "refused" (unconverted), "converted, ignored"
    LOSS = (AttributeError, "Interaction '%s' has no loss function to set")
    LR_BASE = None
    TOOLTIP_SIZE = 128  # bytes, the terminating NUL included
    EDGES = []  # starting states that drive the type's clamps and floors

    def __init__(self, sources=()):
        self.sources = list(sources)
        self.activation = F(0)
        self.da = F(0)

    @property
    def sourcecount(self):
        return len(self.sources)

    @classmethod
    def from_state(cls, state, gluamine=0, sources=(), name=""):
        twin = cls(sources=sources, gluamine=gluamine)
        for key in cls.ATTRIBUTES:
            setattr(twin, key, F(state[key]))
        return twin

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        return cls(sources=sources)

    def state(self):
        """The dictionary form the module gives of this node's state."""
        return {key: kind(getattr(self, key)) for key, kind in self.ATTRIBUTES.items()}

    def tooltip(self):
        return self.NAME

    def reverse(self, graph, is_output):
        pass


class Register(Node):
    """The numeric register: input (no sources), pass-through or output."""

    NAME = "fixed"
    ATTRIBUTES = {"feature_min": float, "feature_max": float, "auto_adapt": bool}
    SOURCES = (0, 1)
    REGISTER = True
    OUTPUT = True
    UNKNOWN_NAMES = "refused"
    LOSS = None

    def __init__(self, name="", sources=(), feature_min=math.nan, feature_max=math.nan, auto_adapt=True,
                 loss="mean_squared_error"):
        super().__init__(sources)
        self.name = name
        self.feature_min = F(feature_min)
        self.feature_max = F(feature_max)
        self.auto_adapt = auto_adapt
        self.loss = LOSSES[loss]
        self.inputs = None
        self.expected = None
        self.output = None
        self.index = 0

    @classmethod
    def from_state(cls, state, gluamine=0, sources=(), name=""):
        return cls(name, sources, state["feature_min"], state["feature_max"], state["auto_adapt"])

    @staticmethod
    def column(rng, n):
        """A column of this register's kind of values."""
        return rng.uniform(-3, 3, n).astype(np.float32)

    def tooltip(self):
        return self.name

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

    def forward(self, graph):
        if not self.sources:
            self.activation = scale_in(self.inputs[self.index], self.feature_min, self.feature_max)
        else:
            self.activation = graph.nodes[self.sources[0]].activation
        if self.output is not None:
            self.output[self.index] = scale_out(self.activation, self.feature_min, self.feature_max)
        self.index += 1

    def reverse(self, graph, is_output):
        if self.expected is not None and is_output:
            y = scale_in(self.expected[self.index - 1], self.feature_min, self.feature_max)
            graph.nodes[self.sources[0]].da = self.loss(y, self.activation)
        elif self.sources:
            graph.nodes[self.sources[0]].da += self.da


CATEGORY_RATE = F(0.002)


def is_float_nan(key):
    return isinstance(key, (float, np.floating)) and key != key


class Category(Node):
    """The categorical register: one weight per category, kept in double;
    with a source it passes values and gradients through."""

    NAME = "cat"
    ATTRIBUTES = {"categories": list}
    SOURCES = (0, 1)
    REGISTER = True
    UNKNOWN_NAMES = "refused"
    LOSS = (ValueError, "Loss function can't be set on legacy registers")

    def __init__(self, name="", sources=(), categories=()):
        super().__init__(sources)
        self.name = name
        self.weights = dict(categories)
        self.keys = None
        self.current = None

    @classmethod
    def from_state(cls, state, gluamine=0, sources=(), name=""):
        return cls(name, sources, state["categories"])

    @staticmethod
    def column(rng, n):
        return rng.choice(np.array(["red", "green", "blue", "cyan"]), n)

    def state(self):
        return {"categories": list(self.weights.items())}

    def set_input(self, column):
        # Keys are found as a dictionary finds them, except that every float
        # NaN is one category, under the first NaN key filed.
        nan = next((k for k in self.weights if is_float_nan(k)), None)
        self.keys = np.asarray(column).tolist()
        for i, key in enumerate(self.keys):
            if is_float_nan(key):
                nan = self.keys[i] = key if nan is None else nan
        self.index = 0
        for key in self.keys:  # every category exists before the first sample
            self.weights.setdefault(key, 0.0)

    def forward(self, graph):
        if self.sources:
            self.activation = graph.nodes[self.sources[0]].activation
            return
        self.current = self.keys[self.index]
        self.activation = F(self.weights[self.current])
        self.index += 1

    def reverse(self, graph, is_output):
        if self.sources:
            graph.nodes[self.sources[0]].da += self.da
            return
        w = self.weights[self.current] - float(CATEGORY_RATE * self.da)
        self.weights[self.current] = 1.0 if w > 1.0 else (-1.0 if w < -1.0 else w)


class _AdamWeighted(Node):
    """Shared frame of "linear" and "tanh": w0, w1, bias trained with Adam."""

    ATTRIBUTES = {"w0": float, "w1": float, "bias": float}
    LR_BASE = 0.005

    def __init__(self, sources=(), gluamine=0):
        super().__init__(sources)
        self.lr = learning_rate(self.LR_BASE, gluamine)
        self.w0 = self.w1 = self.bias = F(0)
        self.w0_adam, self.w1_adam, self.bias_adam = Adam(), Adam(), Adam()

    def tooltip(self):
        if self.sourcecount == 1:
            return "w: %.2f\nbias: %.2f" % (self.w0, self.bias)
        return "w0: %.2f\nw1: %.2f\nbias: %.2f" % (self.w0, self.w1, self.bias)

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
    NAME = "linear"
    EDGES = [{"w0": 3.0, "w1": 0.0, "bias": 0.0}, {"w0": 1.0, "w1": 0.0, "bias": 0.5}]

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        twin = cls(sources, gluamine)
        twin.w0 = unit(rand()) - F(0.5)
        twin.w1 = unit(rand()) - F(0.5)
        return twin

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
    NAME = "tanh"
    EDGES = [{"w0": 100.0, "w1": 0.5, "bias": 0.0}]

    @staticmethod
    def _spread():
        return F(rand()) * F(10) * TWO_POW_M31 - F(5)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        twin = cls(sources, gluamine)
        twin.w0 = cls._spread()
        twin.w1 = cls._spread()
        twin.bias = cls._spread()
        return twin

    def forward(self, graph):
        self.activation = tanhf(self._sum(graph) + self.bias)

    def _dz(self):
        a = self.activation
        return (F(1) - a * a) * self.da


WIDTH_FLOOR = F(0.0001)


class Gaussian(Node):
    NAME = "gaussian"
    ATTRIBUTES = {"center0": float, "center1": float, "w0": float, "w1": float}
    UNKNOWN_NAMES = "converted, ignored"
    LR_BASE = 0.0001
    EDGES = [{"w1": -1.0}, {"w1": 0.0}, {"w1": 1e-12}, {"center0": 0.0, "w0": 0.001}, {"w1": math.nan}]

    def __init__(self, sources=(), gluamine=0):
        super().__init__(sources)
        self.lr = learning_rate(self.LR_BASE, gluamine)
        self.center0 = self.center1 = self.w0 = self.w1 = F(0)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        twin = cls(sources, gluamine)
        twin.center0 = unit(rand())
        twin.center1 = unit(rand())
        twin.w0 = F(float(F(rand())) * 0.5 / 2147483647.0)
        twin.w1 = F(float(F(rand())) * 0.5 / 2147483647.0)
        return twin

    def tooltip(self):
        if self.sourcecount == 1:
            return "center: %.2f\nwidth: %.2f" % (self.center0, self.w0)
        return "center: %.2f, %.2f\nwidth: %.2f, %.2f" % (self.center0, self.center1, self.w0, self.w1)

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
    NAME = "sine"
    ATTRIBUTES = {"x0": float, "k": float}
    SOURCES = (1, 1)
    UNKNOWN_NAMES = "converted, ignored"
    LR_BASE = 0.01
    TOOLTIP_SIZE = 100
    EDGES = [{"x0": 0.0, "k": math.pi}]

    def __init__(self, sources=(), gluamine=0):
        super().__init__(sources)
        self.lr = learning_rate(self.LR_BASE, gluamine)
        self.x0 = self.k = F(0)

    @classmethod
    def drawn(cls, gluamine=0, sources=()):
        twin = cls(sources, gluamine)
        twin.k = F((rand() % 3 + 1) * 3.141592653589793)
        return twin

    def tooltip(self):
        return "x0: %.2f\nk: %.2f" % (self.x0, self.k)

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
    NAME = "multiply"
    SOURCES = (2, 2)

    def __init__(self, sources=(), gluamine=0):
        super().__init__(sources)

    def forward(self, graph):
        self.activation = graph.nodes[self.sources[0]].activation * graph.nodes[self.sources[1]].activation

    def reverse(self, graph, is_output):
        da = self.da
        x0 = graph.nodes[self.sources[0]].activation
        x1 = graph.nodes[self.sources[1]].activation
        graph.nodes[self.sources[0]].da += da * x1
        graph.nodes[self.sources[1]].da += x0 * da


# Every registered type, by its twin.
TYPES = [Register, Category, Linear, Tanh, Gaussian, Sine, Multiply]
BY_NAME = {t.NAME: t for t in TYPES}
MATH = [t for t in TYPES if not t.REGISTER]


class Graph:
    """Runs the twin nodes one sample at a time, as the engine does."""

    def __init__(self, nodes):
        self.nodes = nodes
        self.samples = 0

    def query(self, xarray, yarray=None):
        inputs = [node for node in self.nodes if node.REGISTER and not node.sources]
        for node in inputs:
            node.set_input(xarray[node.name])
        count = len(xarray[inputs[0].name])
        out = self.nodes[-1]
        out.set_expected(yarray)
        out.create_output(count)
        with np.errstate(all="ignore"):
            self._passes(count, yarray is not None)
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


# The module's own float functions ------------------------------------------
#
# The bits the C library (glibc 2.36) gives on a CPU with FMA, which the
# module gives on every CPU, over branch_inputs(): a digest of each function's
# results, and the results where that library's builds for CPUs with and
# without FMA disagree. Stored, since the library of the CPU running the
# suite may be the other build.

# Bit patterns around which runs of 4096 inputs, of either sign, go through
# the functions' bounds: every power of two (zeros, subnormals, infinities
# and NaNs included) and the multiples of pi/4 below 120; tanhf's 2^-55, the
# ends of its expm1f's paths and 22; expf's overflow and underflow bounds;
# sinf's and cosf's 0.75 and 120.
FLOAT_BOUNDS = ([e << 23 for e in range(256)] + [0x24000000, 0x3e317218, 0x3f051591, 0x40f98872, 0x419ca6b9,
                0x41b00000, 0x42b17218, 0x42cff1b4, 0x42ce8ecf, 0x3f400000, 0x42f00000]
                + [int(np.float32(n * math.pi / 4).view(np.uint32)) for n in range(1, 153)])

LIBRARY_DISAGREES = {
    "tanhf": {},
    "expf": {0x4202422f: 0x56fc9f1c, 0xc27c65d9: 0x11fa2993},
    "sinf": {0x4255b0a9: 0xbc7d08a9, 0x42a35c07: 0xbadaa3b4, 0x42a35d44: 0x3a44b889, 0x42a97360: 0x3dc7b08a,
        0x42cf5854: 0x382ee64e, 0x42e87a55: 0xb5d2257c, 0xc255b0a9: 0x3c7d08a9, 0xc2a35c07: 0x3adaa3b4,
        0xc2a35d44: 0xba44b889, 0xc2a97360: 0xbdc7b08a, 0xc2cf5854: 0xb82ee64e, 0xc2e87a55: 0x35d2257c},
    "cosf": {0x418a3adb: 0xb7b4f770, 0x418a3adc: 0xb7a4f770, 0x418a3add: 0xb794f770, 0x418a3ade: 0xb784f770,
        0x41bc76d9: 0xbb803f6b, 0x4202eb4b: 0x3e821ce2, 0x42687a55: 0xb552257c, 0x4280ce28: 0x34fdd672,
        0x42870e40: 0xbc866cc4, 0x42c55faa: 0xbe8a34d1, 0x42d8d23e: 0xbcd25ea8, 0xc18a3adb: 0xb7b4f770,
        0xc18a3adc: 0xb7a4f770, 0xc18a3add: 0xb794f770, 0xc18a3ade: 0xb784f770, 0xc1bc76d9: 0xbb803f6b,
        0xc202eb4b: 0x3e821ce2, 0xc2687a55: 0xb552257c, 0xc280ce28: 0x34fdd672, 0xc2870e40: 0xbc866cc4,
        0xc2c55faa: 0xbe8a34d1, 0xc2d8d23e: 0xbcd25ea8},
}

LIBRARY_DIGESTS = {
    "tanhf": "654c5b475131572a6384402f18db1ed0ce62551c4d0c9ed770b7a005e6ac5e28",
    "expf": "50359d85523f97eaf00ffeba1134b83c12c781421e1a5aba1573a80cc771d3d4",
    "sinf": "c75b8991b88d23eb1827ab38d48c61ea9d5b332ac0444f758baac8f941aab4b0",
    "cosf": "6110bf7f2f28a15e26b20f197521d287849c8a553197c42a3c8a80ea001026aa",
}


def branch_inputs():
    """Every 4099th bit pattern, the runs around FLOAT_BOUNDS, and the
    inputs of LIBRARY_DISAGREES, as floats."""
    runs = (np.array(FLOAT_BOUNDS, dtype=np.int64)[:, None] + np.arange(-2048, 2048)).ravel()
    runs = runs[(runs >= 0) & (runs < 1 << 31)]
    special = [x for table in LIBRARY_DISAGREES.values() for x in table]
    bits = np.concatenate([np.arange(0, 1 << 32, 4099, dtype=np.int64), runs, runs | (1 << 31),
                           np.array(special, dtype=np.int64)])
    return np.unique(bits).astype(np.uint32).view(np.float32)
