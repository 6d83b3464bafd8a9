"""Building graphs from a short layout, and saving and restoring them as JSON.

This is the part of a modelling library that sits directly on _vesk: it
decides the shape of a graph, creates one Interaction per slot, links them,
and writes everything needed to rebuild the graph to a file.
"""
import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple, TypedDict

import _vesk

REGISTERS = ("fixed", "cat")


@dataclass(frozen=True)
class Node:
    """One slot: its type, the slots it reads (none for an input register),
    for a register its name (the key of its column in a query), and for the
    output register the loss it trains with (None: the default loss)."""

    type: str
    sources: Tuple[int, ...] = ()
    name: str = ""
    gluamine: int = 0
    loss: Optional[str] = None


def build(layout: Sequence[Node]) -> _vesk.Graph:
    """A graph with one interaction per node. Sources must be earlier slots;
    the last node is the output register. Each node sits in the lattice at
    (layer, row, 0): inputs in layer 0, every other node one layer past its
    deepest source."""
    graph = _vesk.Graph(len(layout))
    layers: List[int] = []
    rows: Dict[int, int] = {}
    for slot, node in enumerate(layout):
        if any(not 0 <= s < slot for s in node.sources):
            raise ValueError("node %d reads a slot that is not before it: %r" % (slot, node.sources))
        layer = 1 + max((layers[s] for s in node.sources), default=-1)
        layers.append(layer)
        row = rows[layer] = rows.get(layer, -1) + 1
        interaction = _vesk.Interaction(node.type, (layer, row, 0), node.gluamine, node.name)
        if node.sources:
            for ix, src in enumerate(node.sources):
                interaction._set_source(ix, src)
        else:
            interaction._set_source(0, -1)  # an input register
        if node.loss is not None:
            interaction._loss = node.loss
        graph[slot] = interaction
    return graph


def interactions(graph: _vesk.Graph) -> List[_vesk.Interaction]:
    """The interactions of a fully built graph, slot by slot."""
    found = [graph[i] for i in range(len(graph))]
    filled = [x for x in found if x is not None]
    if len(filled) != len(found):
        raise ValueError("the graph has empty slots")
    return filled


# Saving and restoring ------------------------------------------------------


class InteractionRecord(TypedDict):
    type: str
    latticeloc: List[int]
    gluamine: int
    name: str
    sources: List[int]  # [-1] marks an input register
    loss: Optional[str]
    state: Dict[str, Any]


JSON_KEYS = (str, int, float, bool)


def record_of(x: _vesk.Interaction) -> InteractionRecord:
    """Everything needed to rebuild x: its own properties and its parameters."""
    loss = x._loss
    if isinstance(loss, bytes):
        loss = loss.decode()
    state = x.state._to_dict()
    if "categories" in state:
        for key, _ in state["categories"]:
            if not isinstance(key, JSON_KEYS):
                raise TypeError("category %r of register %r cannot be written as JSON" % (key, x.name))
    return {
        "type": x.type,
        "latticeloc": list(x._latticeloc),
        "gluamine": x._gluamine,
        "name": x.name,
        # An input register reports no sources; in a graph that runs, every
        # other interaction reports at least one.
        "sources": list(x.sources) or [-1],
        "loss": loss,
        "state": state,
    }


def interaction_from(record: InteractionRecord) -> _vesk.Interaction:
    loc = record["latticeloc"]
    x = _vesk.Interaction(record["type"], (loc[0], loc[1], loc[2]), record["gluamine"], record["name"])
    for ix, src in enumerate(record["sources"]):
        x._set_source(ix, src)
    if record["loss"] is not None:
        x._loss = record["loss"]
    state = dict(record["state"])
    if "categories" in state:
        # JSON turned the (category, weight) pairs into lists.
        state["categories"] = [(key, weight) for key, weight in state["categories"]]
    # The saved values replace the random initial parameters; the learning
    # rate follows from gluamine, as it did for the saved interaction.
    x.state._from_dict(state)
    return x


def save(graph: _vesk.Graph, path: Path, about: Optional[Dict[str, Any]] = None) -> None:
    """Writes the graph to path; about (notes for the reader) goes beside it."""
    records = [json.dumps(record_of(x)) for x in interactions(graph)]
    # One line per interaction, in slot order.
    text = '{"about": %s,\n "interactions": [\n  %s\n ]}\n' % (json.dumps(about or {}), ",\n  ".join(records))
    path.write_text(text)


def load(path: Path) -> _vesk.Graph:
    document = json.loads(path.read_text())
    records: List[InteractionRecord] = document["interactions"]
    graph = _vesk.Graph(len(records))
    for slot, record in enumerate(records):
        graph[slot] = interaction_from(record)
    return graph
