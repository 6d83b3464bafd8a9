"""The checkpoint folder: finished graphs, one file per finished bundle,
found again by the digests of what decides their result: the graph, the
data and the epochs.

A file is one header line, b"vesk-checkpoint 1 <sha256 of the body> <length
of the body in bytes>\\n", then the body: a pickle of ({"keys": [...]},
[graphs]) that loads nothing but the module's graphs and interactions and
plain values (a file naming anything else is skipped, its code not run).
Unpickling costs a fraction of parsing the graph file format, and the digest
of a graph is of its pickled state rather than of its JSON: both are paid
for every graph of a rerun, which must cost far less than training them."""
import gc
import hashlib
import io
import logging
import os
import pickle
from typing import Any, Dict, List, Sequence, Tuple

import _vesk

from . import _format
from ._errors import FormatError

log = logging.getLogger("vesk")

MAGIC = b"vesk-checkpoint"
VERSION = b"1"
SUFFIX = ".vesk"
# What a checkpoint file may name; a category key of another type is not
# held (the digest refuses it, as the graph file does).
_ALLOWED = {("_vesk", "Graph"): _vesk.Graph, ("_vesk", "Interaction"): _vesk.Interaction}
PLAIN = (str, int, float, bool, type(None), bytes)


def _sort_key(pair: Tuple[Any, Any]) -> Tuple[str, str]:
    return (type(pair[0]).__name__, repr(pair[0]))


def _check_plain(value: Any, where: str) -> None:
    """TypeError naming `where` for a value whose pickle is not the same in
    every process (or that no checkpoint file may hold)."""
    if type(value) in PLAIN:
        return
    # The graph file's rules (plain values, str-keyed dicts, bounded depth)
    # keep the pickle free of any class a file may not name.
    _format.encode_value(value, where)


def graph_digest(graph: _vesk.Graph) -> str:
    """A digest of everything that decides how the graph trains and what it
    holds, the same in every process: the pickled states of the graph and
    its interactions, a categorical register's pairs sorted by type and
    repr (they list by this process's str hashes), sharing by index. The
    pickler keeps no memo, so equal values pickle alike however they are
    shared in memory."""
    head = graph.__reduce_ex__(4)[2]
    items = head[2]
    present = [x for x in items if x is not None]
    if len(set(map(id, present))) == len(present):
        slots = None  # nothing shared: the states in slot order say it all
        distinct = present
    else:
        index: Dict[int, int] = {}
        distinct = []
        for x in present:
            if id(x) not in index:
                index[id(x)] = len(distinct)
                distinct.append(x)
        slots = [-1 if x is None else index[id(x)] for x in items]
    for x in distinct:
        if type(x) is not _vesk.Interaction:
            raise TypeError("a slot holds a %s, not a _vesk.Interaction" % type(x).__qualname__)
    states: List[Any] = [x.__reduce_ex__(4)[2] for x in distinct]
    layout = ("holes", [n for n, x in enumerate(items) if x is None]) if slots is None else ("slots", slots)
    for n, state in enumerate(states):
        if state[4] is None and state[5] is None and not (state[1] == "cat" and state[6] and state[6][0]):
            continue
        kind, name = state[1], state[2]
        what = "register %r" % name if kind in ("cat", "fixed") else "interaction %r" % kind
        for value in state[4:6]:  # the loss and _linkdata
            _check_plain(value, what)
        values = state[6]
        if kind == "cat" and values and values[0]:
            pairs = values[0]
            for k, _ in pairs:
                _check_plain(k, "%s: category key %r" % (what, k))
            states[n] = state[:6] + ((sorted(pairs, key=_sort_key),) + tuple(values[1:]),) + state[7:]
    out = io.BytesIO()
    pickler = pickle.Pickler(out, 4)
    pickler.fast = True
    # An instance dictionary trains nothing: only the module's own form.
    pickler.dump((head[0], head[1], layout, states))
    return hashlib.blake2b(out.getvalue(), digest_size=32).hexdigest()


class _Unpickler(pickle.Unpickler):
    def find_class(self, module: str, name: str) -> Any:
        found = _ALLOWED.get((module, name))
        if found is None:
            raise FormatError("it names %s.%s, which a checkpoint file does not hold" % (module, name))
        return found


def dumps(graphs: Sequence[_vesk.Graph], meta: Any) -> bytes:
    body = pickle.dumps((meta, list(graphs)), 4)
    return b"%s %s %s %d\n%s" % (MAGIC, VERSION, hashlib.sha256(body).hexdigest().encode("ascii"), len(body), body)


def loads(data: bytes) -> Tuple[List[_vesk.Graph], List[str]]:
    """The graphs of a checkpoint file's bytes and their keys; FormatError
    for anything else."""
    head, newline, body = data.partition(b"\n")
    parts = head.split(b" ")
    if not newline or len(parts) != 4 or parts[0] != MAGIC:
        raise FormatError("not a checkpoint file of this version (one of 0.2.0 is not read: its graphs are "
                          "trained again)")
    if parts[1] != VERSION:
        raise FormatError("checkpoint file of version %r" % parts[1].decode("ascii", "replace"))
    if parts[3] != str(len(body)).encode() or hashlib.sha256(body).hexdigest().encode("ascii") != parts[2]:
        raise FormatError("its contents do not match their checksum (cut short or altered)")
    # The collector, run for every few hundred objects made, would walk all
    # the graphs restored so far each time: restoring would grow with the
    # square of their number (what the file makes is freed by its counts;
    # a cycle, should one come, waits for the next collection).
    enabled = gc.isenabled()
    gc.disable()
    try:
        meta, graphs = _Unpickler(io.BytesIO(body)).load()
    except FormatError:
        raise
    except Exception as e:
        raise FormatError("damaged checkpoint file: %s: %s" % (type(e).__name__, e)) from None
    finally:
        if enabled:
            gc.enable()
    keys = meta.get("keys") if type(meta) is dict else None
    if (type(graphs) is not list or not all(type(g) is _vesk.Graph for g in graphs) or type(keys) is not list
            or len(keys) != len(graphs) or not all(type(k) is str for k in keys)):
        raise FormatError("no list of keys, one a graph")
    return graphs, keys


class Checkpoint:
    def __init__(self, folder: str, graphs: Sequence[_vesk.Graph], data: str, epochs: int) -> None:
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.keys = []
        suffix = " %s %d" % (data, epochs)
        for n, g in enumerate(graphs):
            if type(g) is not _vesk.Graph:
                raise TypeError("graph %d is a %s: a checkpoint holds plain _vesk.Graph objects only"
                                % (n, type(g).__qualname__))
            try:
                graph_digest_ = graph_digest(g)  # refuses what a file cannot hold, naming it
            except TypeError as e:
                raise TypeError("graph %d: %s" % (n, e)) from None
            self.keys.append(hashlib.blake2b((graph_digest_ + suffix).encode(), digest_size=32).hexdigest())

    def found(self) -> Dict[str, _vesk.Graph]:
        """The saved graphs this run needs, by key (the graphs of one file
        share no interaction: each was trained as a copy of its own)."""
        wanted = set(self.keys)
        found: Dict[str, _vesk.Graph] = {}
        for name in sorted(os.listdir(self.folder)):
            if not name.endswith(SUFFIX):
                continue
            try:
                with open(os.path.join(self.folder, name), "rb") as f:
                    graphs, keys = loads(f.read())
            except Exception as e:  # unreadable, damaged, crafted, of 0.2.0: the graphs are trained again
                log.warning("checkpoint file %s skipped: %s", name, e)
                continue
            for key, g in zip(keys, graphs):
                if key in wanted:
                    found[key] = g
        return found

    def write(self, indices: List[int], graphs: List[_vesk.Graph]) -> None:
        keys = [self.keys[i] for i in indices]
        name = hashlib.sha256(" ".join(keys).encode()).hexdigest()[:40] + SUFFIX
        _format.write_atomic(os.path.join(self.folder, name), dumps(graphs, {"keys": keys}))
