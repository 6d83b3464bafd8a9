"""The checkpoint folder: finished graphs, one file per finished bundle in
the graph file format, found again by the digests of what decides their
result: the graph, the data and the epochs."""
import hashlib
import logging
import os
from typing import Dict, List, Sequence

import _vesk

from . import _format
from ._errors import FormatError

log = logging.getLogger("vesk")


class Checkpoint:
    def __init__(self, folder: str, graphs: Sequence[_vesk.Graph], data: str, epochs: int) -> None:
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.keys = []
        for n, g in enumerate(graphs):
            if type(g) is not _vesk.Graph:
                raise TypeError("graph %d is a %s: a checkpoint holds plain _vesk.Graph objects only"
                                % (n, type(g).__qualname__))
            graph_digest = _format.digest(g)  # refuses what the file cannot hold, naming it
            self.keys.append(hashlib.sha256(("%s %s %d" % (graph_digest, data, epochs)).encode()).hexdigest())

    def found(self) -> Dict[str, _vesk.Graph]:
        """The saved graphs this run needs, by key (the graphs of one file
        share no interaction: each was trained as a copy of its own)."""
        wanted = set(self.keys)
        found: Dict[str, _vesk.Graph] = {}
        for name in sorted(os.listdir(self.folder)):
            if not name.endswith(".vesk"):
                continue
            try:
                with open(os.path.join(self.folder, name), "rb") as f:
                    graphs, meta = _format.loads(f.read())
                keys = meta.get("keys") if isinstance(meta, dict) else None
                if (not isinstance(keys, list) or len(keys) != len(graphs)
                        or not all(isinstance(k, str) for k in keys)):
                    raise FormatError("no list of keys, one a graph")
            except Exception as e:  # unreadable, damaged, crafted: the graphs are trained again
                log.warning("checkpoint file %s skipped: %s", name, e)
                continue
            for key, g in zip(keys, graphs):
                if key in wanted:
                    found[key] = g
        return found

    def write(self, indices: List[int], graphs: List[_vesk.Graph]) -> None:
        keys = [self.keys[i] for i in indices]
        name = hashlib.sha256(" ".join(keys).encode()).hexdigest()[:40] + ".vesk"
        _format.write_atomic(os.path.join(self.folder, name), _format.dumps(graphs, meta={"keys": keys}))
