"""One numba interpreter for every graph: the loop a library that builds
graphs at run time would compile once, instead of generating and compiling
code per graph.

A graph is handed over as arrays: a table with one row per slot (what the
slot is, its sources, where its parameters, moments, learning rate, range,
column and category weights are) and the same flat state as the generated
loops (codegen.py): P, M, R, L, S, with the category weights of all
categorical registers in one float64 array. The numeric columns are one
row-major float32 array (one row a sample), the category codes one int64
array likewise, so a sample's inputs sit together.

The interpreter runs, per sample, the forward pass slot by slot and, when
training, the reverse pass from the last slot down, branching on each slot's
kind. Every float operation is the generated loop's, in the same order, on
the same types, with the same libm functions, so that both give the module's
results bit for bit. Like the generated loop it keeps parameters, moments and
the sample counter apart while it runs and stores them only after the last
sample, so a pass stopped by a non-finite value leaves them as they were;
category weights change in place, as there.
"""
import math

import numba
import numpy as np

from graphs import ADAM_TYPES, PARAMS

# Slot kinds.
IN, CAT, OUT, LINEAR, TANH, GAUSSIAN, SINE, MULTIPLY = range(8)
KINDS = {"in": IN, "cat": CAT, "out": OUT, "linear": LINEAR, "tanh": TANH, "gaussian": GAUSSIAN, "sine": SINE,
         "multiply": MULTIPLY}

# Columns of the slot table.
KIND, NSRC, SRC0, SRC1, POFF, MOFF, LOFF, ROFF, COL, WOFF = range(10)
FIELDS = 10

F0 = np.float32(0.0)
F1 = np.float32(1.0)
FM1 = np.float32(-1.0)
F2 = np.float32(2.0)
F4 = np.float32(4.0)
FHALF = np.float32(0.5)
B1 = np.float32(0.9)
B2 = np.float32(0.999)
OMB1 = np.float32(F1 - B1)
OMB2 = np.float32(F1 - B2)
CATLR = np.float32(0.002)
WFLOOR = np.float32(0.0001)


def encode(plan, weights):
    """The slot table of a plan (int64, one row a slot), given the weight
    arrays of its categorical registers (in plan.cats order) that are joined
    in that order. Parameters of a slot lie at POFF in the order of
    graphs.PARAMS, the moments (m1, m2) of each Adam parameter at MOFF in the
    same order."""
    table = np.zeros((plan.size, FIELDS), np.int64)
    columns = {slot: ix for ix, (slot, _) in enumerate(plan.columns)}
    cats = {slot: ix for ix, (slot, _) in enumerate(plan.cats)}
    woff = 0
    for slot, entry in enumerate(plan.layout):
        kind = entry[0]
        row = table[slot]
        row[KIND] = KINDS[kind]
        src = plan.sources(slot)
        row[NSRC] = len(src)
        row[SRC0] = src[0] if src else -1
        row[SRC1] = src[1] if len(src) == 2 else -1
        row[POFF] = row[MOFF] = row[LOFF] = row[ROFF] = row[COL] = row[WOFF] = -1
        if slot in plan.p:
            names = plan.p[slot]
            row[POFF] = names[PARAMS[kind][0]]
            if [names[n] for n in PARAMS[kind]] != list(range(row[POFF], row[POFF] + len(PARAMS[kind]))):
                raise ValueError("parameters of slot %d are not consecutive" % slot)
            row[LOFF] = plan.l[slot]
            if kind in ADAM_TYPES:
                row[MOFF] = plan.m[(slot, PARAMS[kind][0])]
                if [plan.m[(slot, n)] for n in PARAMS[kind]] != list(range(row[MOFF], row[MOFF] + 6, 2)):
                    raise ValueError("moments of slot %d are not consecutive" % slot)
        if slot in plan.r:
            row[ROFF] = plan.r[slot]
        if kind == "in":
            row[COL] = columns[slot]
        elif kind == "cat":
            row[COL] = cats[slot]
            row[WOFF] = woff
            woff += len(weights[cats[slot]])
    return table


@numba.njit(nogil=True)
def _adam(P, M, j, mj, g, lr, s, bc1, bc2):
    m1 = B1 * M[mj] + OMB1 * g
    m2 = B2 * M[mj + 1] + (OMB2 * g) * g
    M[mj] = m1
    M[mj + 1] = m2
    u1 = m1 / bc1 if s < 20 else m1
    u2 = m2 / bc2 if s < 1000 else m2
    P[j] = P[j] - lr * np.float32(np.float64(u1) / (np.float64(np.float32(math.sqrt(u2))) + 1e-6))


@numba.njit(nogil=True)
def _clamp(v):
    return F1 if v > F1 else (FM1 if v < FM1 else v)


@numba.njit(nogil=True)
def run(train, n, X, C, Y, out, G, P0, M0, R, L, W, S):
    """One pass over n samples; 0, or -1 at the first non-finite input or
    expected value."""
    size = G.shape[0]
    P = P0.copy()
    M = M0.copy()
    A = np.zeros(size, np.float32)
    D = np.zeros(size, np.float32)
    codes = np.zeros(size, np.int64)
    s = S[0]
    for k in range(n):
        for i in range(size):
            op = G[i, KIND]
            j = G[i, POFF]
            if op == LINEAR or op == TANH:
                z = A[G[i, SRC0]] * P[j]
                if G[i, NSRC] == 2:
                    z = z + A[G[i, SRC1]] * P[j + 1]
                if op == LINEAR:
                    A[i] = _clamp(P[j + 2] + z)
                else:
                    A[i] = math.tanh(z + P[j + 2])
            elif op == GAUSSIAN:
                g = A[G[i, SRC0]] - P[j]
                z = (g * g) / P[j + 2]
                if G[i, NSRC] == 2:
                    h = A[G[i, SRC1]] - P[j + 1]
                    z = z + (h * h) / P[j + 3]
                A[i] = math.exp(-z)
            elif op == SINE:
                A[i] = math.sin(A[G[i, SRC0]] * P[j + 1] + P[j])
            elif op == MULTIPLY:
                A[i] = A[G[i, SRC0]] * A[G[i, SRC1]]
            elif op == IN:
                v = X[k, G[i, COL]]
                if not math.isfinite(v):
                    return -1
                r = G[i, ROFF]
                lo = R[r]
                A[i] = _clamp((F2 * (v - lo)) / (R[r + 1] - lo) - F1)
            elif op == CAT:
                code = C[k, G[i, COL]]
                codes[i] = code
                A[i] = np.float32(W[G[i, WOFF] + code])
            else:  # OUT
                r = G[i, ROFF]
                lo = R[r]
                a = A[G[i, SRC0]]
                A[i] = a
                out[k] = ((F1 + a) * (R[r + 1] - lo)) * FHALF + lo
        if not train:
            continue
        s += 1
        bc1 = F1 - B1 ** np.float32(s) if s < 20 else F1
        bc2 = F1 - B2 ** np.float32(s) if s < 1000 else F1
        for i in range(size):
            D[i] = F0
        for i in range(size - 1, -1, -1):
            op = G[i, KIND]
            j = G[i, POFF]
            s0 = G[i, SRC0]
            d = D[i]
            if op == LINEAR or op == TANH:
                a0 = A[s0]
                lr = L[G[i, LOFF]]
                mj = G[i, MOFF]
                if op == LINEAR:
                    dz = d
                else:
                    dz = (F1 - A[i] * A[i]) * d
                gw0 = a0 * dz
                if G[i, NSRC] == 2:
                    s1 = G[i, SRC1]
                    gw1 = A[s1] * dz
                    D[s0] += dz * P[j]
                    D[s1] += dz * P[j + 1]
                    _adam(P, M, j, mj, gw0, lr, s, bc1, bc2)
                    _adam(P, M, j + 1, mj + 2, gw1, lr, s, bc1, bc2)
                else:
                    # The unused second weight would move by exactly 0.
                    D[s0] += dz * P[j]
                    _adam(P, M, j, mj, gw0, lr, s, bc1, bc2)
                _adam(P, M, j + 2, mj + 4, dz, lr, s, bc1, bc2)
            elif op == GAUSSIAN:
                a = A[i]
                a0 = A[s0]
                lr = L[G[i, LOFF]]
                t = (d + d) * a
                dc0 = ((a0 - P[j]) * t) / P[j + 2]
                u0 = P[j] - a0
                dw0 = ((d * a) * (u0 * u0)) / (P[j + 2] * P[j + 2])
                D[s0] += -dc0
                if G[i, NSRC] == 2:
                    s1 = G[i, SRC1]
                    a1 = A[s1]
                    u1 = P[j + 1] - a1
                    dw1 = ((d * a) * (u1 * u1)) / (P[j + 3] * P[j + 3])
                    dc1 = ((a1 - P[j + 1]) * t) / P[j + 3]
                    D[s1] += -dc1
                    P[j + 2] = P[j + 2] - lr * dw0
                    P[j + 3] = P[j + 3] - lr * dw1
                    P[j] = P[j] - (lr * F4) * dc0
                    P[j + 1] = P[j + 1] - (lr * F4) * dc1
                    if P[j + 2] <= F0:
                        P[j + 2] = WFLOOR
                    if P[j + 3] <= F0:
                        P[j + 3] = WFLOOR
                else:
                    # The second width and centre would move by exactly 0.
                    P[j + 2] = P[j + 2] - lr * dw0
                    P[j] = P[j] - (lr * F4) * dc0
                    if P[j + 2] <= F0:
                        P[j + 2] = WFLOOR
            elif op == SINE:
                a0 = A[s0]
                lr = L[G[i, LOFF]]
                kk = P[j + 1]
                q = math.cos(kk * a0 + P[j])
                dx0 = q * d
                dk = (a0 * d) * q
                D[s0] += q * (kk * d)
                P[j] = P[j] - dx0 * lr
                P[j + 1] = kk - dk * (lr + lr)
            elif op == MULTIPLY:
                s1 = G[i, SRC1]
                D[s0] += d * A[s1]
                D[s1] += A[s0] * d
            elif op == CAT:
                w = G[i, WOFF] + codes[i]
                nw = W[w] - np.float64(CATLR * d)
                W[w] = 1.0 if nw > 1.0 else (-1.0 if nw < -1.0 else nw)
            elif op == OUT:
                e = Y[k]
                if not math.isfinite(e):
                    return -1
                r = G[i, ROFF]
                lo = R[r]
                t = _clamp((F2 * (e - lo)) / (R[r + 1] - lo) - F1)
                dd = A[i] - t
                D[s0] = dd + dd
    if train:
        P0[:] = P
        M0[:] = M
        S[0] = s
    return 0

