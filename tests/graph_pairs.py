"""Builds a native graph and its float32 twin from one slot layout.

A layout lists the slots in order, each as (type, what) or (type, what, option):

    what "name"            an input register (of a register type) reading that column
    what (sources...)      a node reading those slots; a register with a source is named "y"
    option (lo, hi)        a numeric register's fixed feature range (auto_adapt off)
    option gluamine        any other node's gluamine (0 without it)

The twin of each slot starts from the state the native node has, read back
through its dictionary form, so it follows any draw.
"""
import struct

import numpy as np

import _vesk
import reference_math as ref


def build(layout, states=None, loss=None):
    """The native graph of a layout; states: {slot: dictionary form}; loss: the output's."""
    g = _vesk.Graph(len(layout))
    for slot, (kind, what, *option) in enumerate(layout):
        twin = ref.BY_NAME[kind]
        if isinstance(what, str):
            node = _vesk.Interaction(kind, (slot, 1, 0), 0, what)
            node._set_source(0, -1)
        else:
            gluamine = option[0] if option and not twin.REGISTER else 0
            node = _vesk.Interaction(kind, (slot, 1, 0), gluamine, "y" if twin.REGISTER else None)
            for ix, src in enumerate(what):
                node._set_source(ix, src)
        if option and twin.REGISTER:
            node.state._from_dict({"auto_adapt": False, "feature_min": option[0][0], "feature_max": option[0][1]})
        if states and slot in states:
            node.state._from_dict(states[slot])
        g[slot] = node
    if loss is not None:
        g[len(layout) - 1]._loss = loss
    return g


def every_type(fewest=False):
    """A layout with a slot of every registered type: its input registers,
    then each other type reading the slot before it (and the one before that,
    where it reads two; with fewest, the slot before it as often as it reads
    at least), and an output register."""
    layout = [(t.NAME, t.NAME) for t in ref.TYPES if t.REGISTER]
    for t in ref.MATH:
        slot = len(layout)
        if fewest:
            layout.append((t.NAME, (slot - 1,) * t.SOURCES[0]))
        else:
            layout.append((t.NAME, tuple(range(slot - 1, slot - 1 - t.SOURCES[1], -1))))
    output = next(t for t in ref.TYPES if t.OUTPUT)
    return layout + [(output.NAME, (len(layout) - 1,))]


def columns(layout, n, seed):
    """Columns for every input register of a layout, and expected values."""
    rng = np.random.RandomState(seed)
    xarray = {what: ref.BY_NAME[kind].column(rng, n) for kind, what, *_ in layout if isinstance(what, str)}
    return xarray, rng.normal(0.5, 1.0, n)


class Pair:
    def __init__(self, layout, states=None, loss=None):
        self.native = build(layout, states, loss)
        self.nodes = [self.native[slot] for slot in range(len(layout))]
        twins = []
        for node, (kind, *_) in zip(self.nodes, layout):
            twin = ref.BY_NAME[kind].from_state(node.state._to_dict(), node._gluamine, node.sources, node.name)
            if loss is not None and node is self.nodes[-1]:
                twin.loss = ref.LOSSES[loss.decode() if isinstance(loss, bytes) else loss]
            twins.append(twin)
        self.twin = ref.Graph(twins)

    def query(self, xarray, yarray=None):
        """Runs both graphs; returns the native predictions and the twin's."""
        got = self.native._query(xarray, yarray)
        want = self.twin.query(xarray, yarray)
        return got, want

    def mismatches(self):
        """Slots whose state differs between the native node and its twin."""
        return [(slot, node.state._to_dict(), twin.state())
                for slot, (node, twin) in enumerate(zip(self.nodes, self.twin.nodes))
                if exact(node.state._to_dict()) != exact(twin.state())]


def exact(value):
    """A value that compares floats by their bits (NaN payloads, signed
    zeros), and categories in any order."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, list):
        return sorted((repr(k), exact(w)) for k, w in value)
    return value


def same_bits(a, b):
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def first_difference(a, b):
    a = np.asarray(a, dtype=np.float32).view(np.uint32)
    b = np.asarray(b, dtype=np.float32).view(np.uint32)
    diff = np.nonzero(a != b)[0]
    return None if diff.size == 0 else (int(diff[0]), a[diff[0]], b[diff[0]])
