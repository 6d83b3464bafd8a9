"""Builds a native graph and its float32 twin from one slot layout.

A layout lists the slots in order:

    ("in", name)                      input register
    ("in", name, lo, hi)              input register with a fixed range, auto_adapt off
    ("out", source)                   output register
    ("out", source, lo, hi)           output register with a fixed range, auto_adapt off
    (type, sources)                   mathematical node, gluamine 0
    (type, sources, gluamine)

The twin of a mathematical node starts from the parameters the native node
drew, read back through its state, so the twin follows any draw.
"""
import _vesk
import numpy as np

import reference_math as ref


class Pair:
    def __init__(self, layout, params=None):
        params = params or {}
        self.native = _vesk.Graph(len(layout))
        self.nodes = []
        twins = []
        for slot, entry in enumerate(layout):
            kind = entry[0]
            lattice = (slot + 1, 0, 0)
            if kind in ("in", "out"):
                rng = entry[2:] if len(entry) > 2 else None
                if kind == "in":
                    node = _vesk.Interaction("fixed", lattice, 0, entry[1])
                    node._set_source(0, -1)
                    sources = ()
                else:
                    node = _vesk.Interaction("fixed", lattice, 0, "y")
                    node._set_source(0, entry[1])
                    sources = (entry[1],)
                if rng is not None:
                    node.state.auto_adapt = False
                    node.state.feature_min, node.state.feature_max = rng
                    twin = ref.Register(node.name, sources, rng[0], rng[1], auto_adapt=False)
                else:
                    twin = ref.Register(node.name, sources)
            else:
                sources = tuple(entry[1])
                gluamine = entry[2] if len(entry) > 2 else 0
                node = _vesk.Interaction(kind, lattice, gluamine)
                for ix, src in enumerate(sources):
                    node._set_source(ix, src)
                if slot in params:
                    node.state._from_dict(params[slot])
                twin = ref.TWINS[kind].from_params(node.state._to_dict(), gluamine, sources)
            self.native[slot] = node
            self.nodes.append(node)
            twins.append(twin)
        self.twin = ref.Graph(twins)

    def query(self, xarray, yarray=None):
        """Runs both graphs; returns the native predictions and the twin's."""
        got = self.native._query(xarray, yarray)
        want = self.twin.query(xarray, yarray)
        return got, want

    def mismatches(self):
        """Parameters whose bits differ between a native node and its twin."""
        bad = []
        for slot, (node, twin) in enumerate(zip(self.nodes, self.twin.nodes)):
            if isinstance(twin, ref.Register):
                continue
            for key, want in twin.params().items():
                got = getattr(node.state, key)
                if ref.bits(got) != ref.bits(want):
                    bad.append((slot, key, got, float(want)))
        return bad


def same_bits(a, b):
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def first_difference(a, b):
    a = np.asarray(a, dtype=np.float32).view(np.uint32)
    b = np.asarray(b, dtype=np.float32).view(np.uint32)
    diff = np.nonzero(a != b)[0]
    return None if diff.size == 0 else (int(diff[0]), a[diff[0]], b[diff[0]])

