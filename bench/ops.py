"""What every slot of a benchmark graph computes, written once per type.

The C++ floor, numba's per-graph loop, the generic numba interpreter and the
PyTorch graph are all generated from these statements (codegen.py), so that
their arithmetic cannot drift apart: the bench's bit-for-bit checks against
the module then test one description, not four.

Each statement is one line that reads as Python and, with a semicolon, as
C++:

    name = expr    name += expr    if cond: name = expr    if not cond: fail

where fail ends the pass with -1 and stores nothing. A line starting with
"2| " belongs to a node with a second source only. The names a statement may
use:

    a, d            the node's activation and gradient
    a0, a1, d0, d1  those of its first and second source
    w0, bias, ...   its parameters (Type.params), p_m1 and p_m2 the Adam
                    moments of parameter p, lr its learning rate
    lo, span        a register's feature minimum and max - min
    xk, ck, yk      the sample's column value, category code, expected value
    outk            the sample's prediction
    code, wc        the sample's category (kept for the reverse step) and its
                    weight
    s, bc1, bc2     the graph's sample counter and Adam's bias corrections

and the functions f32, f64 (conversions), clamp1 (to [-1, 1], a NaN stays
NaN), clampw (a category weight to [-1, 1]), isfinite, tanhf, expf, sinf,
cosf, sqrtf, powf. Literals with an f are float32, others double. Any other
name assigned is a temporary of the node. The operations, their order and
their precision are the module's; two steps that cannot change a value are
left out: the Adam step of the second weight of a one-source "linear" or
"tanh" node (its moments and gradient stay 0) and the second width and
centre step of a one-source "gaussian" node (its gradients are 0; the
width's floor still applies).
"""
import collections

# params: in the order of the state dictionary; adam: whether they take Adam
# steps; lr: the base of the learning rate; draw: the range each starting
# value of the bench is drawn from; forward, reverse: the steps' statements.
Type = collections.namedtuple("Type", "params adam lr draw forward reverse")

# Once per training sample, before the reverse pass.
ENGINE = """
s = s + 1
bc1 = 1.0f
if s < 20: bc1 = 1.0f - powf(0.9f, f32(s))
bc2 = 1.0f
if s < 1000: bc2 = 1.0f - powf(0.999f, f32(s))
"""


def adam(p, g, mark=""):
    return "".join(mark + line + "\n" for line in (
        "%s_m1 = 0.9f * %s_m1 + (1.0f - 0.9f) * %s" % (p, p, g),
        "%s_m2 = 0.999f * %s_m2 + ((1.0f - 0.999f) * %s) * %s" % (p, p, g, g),
        "u1 = %s_m1" % p,
        "if s < 20: u1 = u1 / bc1",
        "u2 = %s_m2" % p,
        "if s < 1000: u2 = u2 / bc2",
        "%s = %s - lr * f32(f64(u1) / (f64(sqrtf(u2)) + 1e-6))" % (p, p),
    ))


WEIGHTED_SUM = """
z = a0 * w0
2| z = z + a1 * w1
"""


def weighted_reverse(dz):
    return """
dz = %s
gw0 = a0 * dz
2| gw1 = a1 * dz
d0 += dz * w0
2| d1 += dz * w1
""" % dz + adam("w0", "gw0") + adam("w1", "gw1", "2| ") + adam("bias", "dz")


SCALE_IN = "clamp1((2.0f * (%s - lo)) / span - 1.0f)"

TYPES = {
    "linear": Type(("w0", "w1", "bias"), True, 0.005, ((-0.8, 0.8), (-0.8, 0.8), (-0.1, 0.1)),
                   WEIGHTED_SUM + "a = clamp1(bias + z)", weighted_reverse("d")),
    "tanh": Type(("w0", "w1", "bias"), True, 0.005, ((-1.0, 1.0), (-1.0, 1.0), (-0.2, 0.2)),
                 WEIGHTED_SUM + "a = tanhf(z + bias)", weighted_reverse("(1.0f - a * a) * d")),
    "gaussian": Type(("center0", "center1", "w0", "w1"), False, 0.0001,
                     ((-0.5, 0.5), (-0.5, 0.5), (0.5, 1.5), (0.5, 1.5)), """
g = a0 - center0
z = (g * g) / w0
2| h = a1 - center1
2| z = z + (h * h) / w1
a = expf(-z)
""", """
t = (d + d) * a
dc0 = ((a0 - center0) * t) / w0
u0 = center0 - a0
dw0 = ((d * a) * (u0 * u0)) / (w0 * w0)
d0 += -dc0
2| u1 = center1 - a1
2| dw1 = ((d * a) * (u1 * u1)) / (w1 * w1)
2| dc1 = ((a1 - center1) * t) / w1
2| d1 += -dc1
w0 = w0 - lr * dw0
2| w1 = w1 - lr * dw1
center0 = center0 - (lr * 4.0f) * dc0
2| center1 = center1 - (lr * 4.0f) * dc1
if w0 <= 0.0f: w0 = 0.0001f
if w1 <= 0.0f: w1 = 0.0001f
"""),
    "sine": Type(("x0", "k"), False, 0.01, ((-0.5, 0.5), (1.0, 3.0)), "a = sinf(a0 * k + x0)", """
q = cosf(k * a0 + x0)
dx0 = q * d
dk = (a0 * d) * q
d0 += q * (k * d)
x0 = x0 - dx0 * lr
k = k - dk * (lr + lr)
"""),
    "multiply": Type((), False, None, (), "a = a0 * a1", "d0 += d * a1\nd1 += a0 * d"),
    # Registers: a numeric input, a categorical input and the numeric output.
    "in": Type((), False, None, (), """
v = xk
if not isfinite(v): fail
a = """ + SCALE_IN % "v", ""),
    "cat": Type((), False, None, (), "code = ck\na = f32(wc)", "wc = clampw(wc - f64(0.002f * d))"),
    "out": Type((), False, None, (), "a = a0\noutk = ((1.0f + a) * span) * 0.5f + lo", """
e = yk
if not isfinite(e): fail
t = """ + SCALE_IN % "e" + """
dd = a - t
d0 = dd + dd
"""),
}
KINDS = list(TYPES)


def steps(kind, part):
    """[(second source only, statement)] of one type's "forward" or
    "reverse" step."""
    lines = getattr(TYPES[kind], part).strip().splitlines()
    return [(line.startswith("2| "), line[3:] if line.startswith("2| ") else line) for line in lines if line.strip()]
