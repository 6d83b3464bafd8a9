"""Helpers of the reliability tests (threads, leaks, fuzzing): a graph of
every registered type, a fresh copy of a graph built from what Python can
read of it, and comparisons of states and results by their bits."""
import os

import numpy as np

import _vesk
import reference_math as ref
from graph_pairs import every_type, exact

# Set by `make test-asan`: the run is under AddressSanitizer.
UNDER_ASAN = os.environ.get("VESK_TEST_ASAN") == "1"

# A graph of every registered type.
MIXED = every_type()


def rebuilt(graph):
    """A new graph whose slots are new interactions made from the original's
    type, lattice location, gluamine, name, sources, loss and state
    dictionary. Only meaningful for a graph that passed the query's checks,
    where an interaction without counted sources is an input register."""
    copy = _vesk.Graph(len(graph))
    for slot in range(len(graph)):
        x = graph[slot]
        registered_name = x.name if ref.BY_NAME[x.type].REGISTER else None
        y = _vesk.Interaction(x.type, x._latticeloc, x._gluamine, registered_name)
        if not x.sources:
            y._set_source(0, -1)
        for ix, src in enumerate(x.sources):
            y._set_source(ix, 0)  # counts the entry, also when it is then set to -1
            y._set_source(ix, src)
        if x._loss is not None:
            y._loss = x._loss
        y.state._from_dict(x.state._to_dict())
        copy[slot] = y
    return copy


def state_of(graph):
    """Everything Python can read of each slot, comparable with ==."""
    rows = []
    for slot in range(len(graph)):
        x = graph[slot]
        if x is None:
            rows.append(None)
            continue
        rows.append((x.type, x.name, x.sources, x._latticeloc, x._gluamine, x._loss,
                     exact(x.state._to_dict())))
    return rows


def bits(array):
    """The exact bits of a float32 result (NaN payloads included)."""
    return np.asarray(array, dtype=np.float32).view(np.uint32).tolist()
