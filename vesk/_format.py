"""The graph file: a versioned form of plain values that loads without
running code from the file.

A file is one header line, b"vesk-graphs 2 <sha256 of the body> <length of
the body in bytes>\\n" (version 1, which 0.2.0 wrote, has no length), then the
body: UTF-8 JSON of the interactions (each once, so that one shared
between graphs stays shared) and the graphs, which name their slots by index
into the interactions. Values other than JSON's own carry a tag: a list whose
first item says what the rest is ("T" tuple, "L" list, "D" dict with str
keys, "B" bytes in base64, "F" a non-finite float by the bits of its double).
Finite floats are written as the shortest text that reads back to the same
double; the state values are float32 values widened to doubles, so they come
back to the bit.
"""
import base64
import binascii
import hashlib
import json
import math
import os
import secrets
import stat
import struct
from typing import Any, Dict, Iterable, List, NoReturn, Optional, Sequence, Tuple, Union

import _vesk

from ._errors import FormatError

MAGIC = b"vesk-graphs"
VERSION = 2
# Version 1 is version 2 without the length in the header.
READ_VERSIONS = (b"1", b"2")
# The largest body load() reads unless given a limit of its own: a body is
# held whole while it is parsed, and its objects take several times its
# size. About half a million graphs of a few nodes each.
MAX_BODY = 2**30
# A header line is at most this long (the magic, a version, 64 hex digits
# and a length of up to 20 digits come to about 100 bytes).
MAX_HEADER = 128
# Bytes of the body read at a time.
PIECE = 2**20
# Nesting of a saved value (a category key, linkdata); deeper ones, cycles
# included, are refused on save and on load.
MAX_DEPTH = 32
# Ints within JSON's reach on every Python (3.11 on refuses to read ints of
# more than 4300 digits).
MAX_INT_BITS = 4096
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

PathLike = Union[str, "os.PathLike[str]"]
Graphs = Union[_vesk.Graph, Iterable[_vesk.Graph]]


def _tags() -> Tuple[int, int]:
    # The versions of the module's saved forms; a multiply interaction draws
    # nothing from rand() when it is made.
    return (_vesk.Graph(0).__getstate__()[0], _vesk.Interaction("multiply", (0, 0, 0)).__getstate__()[0])


_FORM_VERSIONS: Optional[Tuple[int, int]] = None


def encode_value(value: Any, where: str, depth: int = 0) -> Any:
    """A plain value as JSON with tags; TypeError naming `where` for
    anything the file cannot hold exactly."""
    kind = type(value)
    if value is None or kind is str or kind is bool:
        return value
    if kind is int:
        if value.bit_length() > MAX_INT_BITS:
            raise TypeError("%s: an int of %d bits is too large to save" % (where, value.bit_length()))
        return value
    if kind is float:
        return value if math.isfinite(value) else ["F", struct.pack("<d", value).hex()]
    if depth >= MAX_DEPTH:
        raise TypeError("%s: nested deeper than %d levels (or holds itself)" % (where, MAX_DEPTH))
    if kind is bytes:
        return ["B", base64.b64encode(value).decode("ascii")]
    if kind is tuple or kind is list:
        return ["T" if kind is tuple else "L"] + [encode_value(v, where, depth + 1) for v in value]
    if kind is dict:
        for k in value:
            if type(k) is not str:
                raise TypeError("%s: a dict key of type %s cannot be saved (only str keys)" % (where, type(k).__name__))
        return ["D", {k: encode_value(v, where, depth + 1) for k, v in value.items()}]
    raise TypeError(
        "%s: a value of type %s.%s cannot be saved; the file holds str, int, float, bool, None, bytes, "
        "and tuples, lists and str-keyed dicts of these" % (where, kind.__module__, kind.__qualname__)
    )


def _damaged(why: str) -> NoReturn:
    raise FormatError("damaged graph file: " + why)


def decode_value(value: Any, depth: int = 0) -> Any:
    kind = type(value)
    if value is None or kind in (str, bool, int, float):
        return value
    if kind is not list or not value or type(value[0]) is not str or depth >= MAX_DEPTH:
        _damaged("a value of unknown form")
    tag = value[0]
    if tag in ("T", "L"):
        items = [decode_value(v, depth + 1) for v in value[1:]]
        return tuple(items) if tag == "T" else items
    if len(value) != 2:
        _damaged("a tagged value of %d items" % len(value))
    body = value[1]
    if tag == "D" and type(body) is dict:
        return {k: decode_value(v, depth + 1) for k, v in body.items()}
    if tag == "B" and type(body) is str:
        try:
            return base64.b64decode(body.encode("ascii"), validate=True)
        except (binascii.Error, UnicodeEncodeError):
            _damaged("bytes that are not base64")
    if tag == "F" and type(body) is str and len(body) == 16:
        try:
            number: float = struct.unpack("<d", bytes.fromhex(body))[0]
        except ValueError:
            _damaged("a float that is not hexadecimal")
        if not math.isfinite(number):
            return number
    _damaged("a value tagged %r of unknown form" % tag)


def _interaction_record(x: _vesk.Interaction, slot: int) -> Dict[str, Any]:
    if type(x) is not _vesk.Interaction:
        raise TypeError("slot %d holds a %s, not a _vesk.Interaction" % (slot, type(x).__qualname__))
    saved = x.__getstate__()
    (kind, name, latticeloc, gluamine, sourcecount, sources, location, errcode, activation, loss, linkdata,
     values) = saved[1:13]
    what = "register %r" % name if kind in ("cat", "fixed") else "interaction %r in slot %d" % (kind, slot)
    state = []
    for value in values:
        if type(value) is list:  # a categorical register's (key, weight) pairs
            pairs = [["T", encode_value(k, "%s: category key %r" % (what, k)), encode_value(w, what)]
                     for k, w in value]
            state.append(["L"] + pairs)
        else:
            state.append(encode_value(value, what))
    return {
        "type": kind,
        "name": name,
        "latticeloc": list(latticeloc),
        "gluamine": gluamine,
        "sourcecount": sourcecount,
        "sources": list(sources),
        "location": location,
        "errcode": errcode,
        "activation": encode_value(activation, what),
        "loss": encode_value(loss, "%s: loss" % what),
        "linkdata": encode_value(linkdata, "%s: _linkdata" % what),
        "state": state,
    }


def body_of(graphs: Sequence[_vesk.Graph], as_base: bool = False,
            meta: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """The body of a file holding the graphs."""
    records: List[Dict[str, Any]] = []
    index: Dict[int, int] = {}
    held: List[_vesk.Interaction] = []  # keeps ids unique while the records are made
    saved_graphs = []
    for n, g in enumerate(graphs):
        if not isinstance(g, _vesk.Graph):
            raise TypeError("item %d is a %s, not a _vesk.Graph" % (n, type(g).__qualname__))
        if type(g) is not _vesk.Graph and not as_base:
            raise TypeError("graph %d is a %s: the file holds the _vesk.Graph part only, which save() writes "
                            "when given as_base=True" % (n, type(g).__qualname__))
        state = g.__getstate__()
        slots: List[Optional[int]] = []
        for slot in range(len(g)):
            x = g[slot]
            if x is None:
                slots.append(None)
                continue
            if id(x) not in index:
                try:
                    records.append(_interaction_record(x, slot))
                except TypeError as e:
                    raise TypeError("graph %d: %s" % (n, e)) from None
                index[id(x)] = len(held)
                held.append(x)
            slots.append(index[id(x)])
        saved_graphs.append({"size": state[1], "samples": state[2], "latest_batchsize": state[3], "slots": slots})
    body: Dict[str, Any] = {"interactions": records, "graphs": saved_graphs}
    if meta is not None:
        body["meta"] = encode_value(meta, "meta")
    return body


def dumps(graphs: Sequence[_vesk.Graph], as_base: bool = False, meta: Optional[Dict[str, Any]] = None) -> bytes:
    text = json.dumps(body_of(graphs, as_base, meta=meta), separators=(",", ":"), allow_nan=False).encode("utf-8")
    return b"%s %d %s %d\n%s" % (MAGIC, VERSION, hashlib.sha256(text).hexdigest().encode("ascii"), len(text), text)


def _field(record: Dict[str, Any], key: str, kind: type, where: str) -> Any:
    value: Any = record.get(key)
    if type(value) is not kind:
        _damaged("%s: %r is not a %s" % (where, key, kind.__name__))
    if isinstance(value, int) and not INT32_MIN <= value <= INT32_MAX:
        _damaged("%s: %r is out of range" % (where, key))
    return value


def _int_list(record: Dict[str, Any], key: str, count: int, where: str) -> List[int]:
    value: List[int] = _field(record, key, list, where)
    if len(value) != count or any(type(v) is not int or not INT32_MIN <= v <= INT32_MAX for v in value):
        _damaged("%s: %r is not a list of %d ints" % (where, key, count))
    return value


def _restore_interaction(record: Any, n: int, version: int) -> _vesk.Interaction:
    where = "interaction %d" % n
    if type(record) is not dict:
        _damaged(where + " is not a record")
    state = _field(record, "state", list, where)
    values = tuple(decode_value(v) for v in state)
    latticeloc = _int_list(record, "latticeloc", 3, where)
    saved = (version, _field(record, "type", str, where), _field(record, "name", str, where), tuple(latticeloc),
             _field(record, "gluamine", int, where), _field(record, "sourcecount", int, where),
             tuple(_int_list(record, "sources", 2, where)), _field(record, "location", int, where),
             _field(record, "errcode", int, where), decode_value(record.get("activation")),
             decode_value(record.get("loss")), decode_value(record.get("linkdata")), values)
    x = _vesk.Interaction.__new__(_vesk.Interaction)
    try:
        x.__setstate__(saved)
    except (TypeError, ValueError, OverflowError, RuntimeError) as e:
        raise FormatError("damaged graph file: %s: %s" % (where, e)) from e
    return x


def _header(head: bytes) -> Tuple[bytes, Optional[int]]:
    """The checksum and the body's length (None in a version 1 file) of a
    header line, without its newline."""
    parts = head.split(b" ")
    if len(parts) < 2 or parts[0] != MAGIC:
        raise FormatError("not a graph file (it does not start with %r)" % MAGIC.decode())
    if parts[1] not in READ_VERSIONS:
        raise FormatError("graph file of version %r; this package reads versions %s"
                          % (parts[1].decode("ascii", "replace"), " and ".join(v.decode() for v in READ_VERSIONS)))
    if len(parts) != (3 if parts[1] == b"1" else 4):
        _damaged("a header of %d fields" % len(parts))
    if parts[1] == b"1":
        return parts[2], None
    if not parts[3].isdigit() or len(parts[3]) > 20:
        _damaged("a header whose length is not a count of bytes")
    return parts[2], int(parts[3])


def _check_length(body: int, declared: Optional[int], limit: int) -> None:
    """Refuses a body of `body` bytes that its header's length or the limit
    does not allow."""
    if declared is not None and body != declared:
        _damaged("its body is %d bytes, %s than the %d its header declares"
                 % (body, "longer" if body > declared else "shorter", declared))
    if body > limit:
        raise FormatError("the body of the graph file is %d bytes, more than the limit of %d (load(path, "
                          "max_size=...) reads a larger one)" % (body, limit))


def loads(data: bytes) -> Tuple[List[_vesk.Graph], Any]:
    """The graphs of a file's bytes, and its meta value (None without)."""
    head, newline, text = data.partition(b"\n")
    if not newline:
        raise FormatError("not a graph file (it does not start with %r)" % MAGIC.decode())
    checksum, declared = _header(head)
    _check_length(len(text), declared, len(text))
    if hashlib.sha256(text).hexdigest().encode("ascii") != checksum:
        _damaged("its contents do not match their checksum (cut short or altered)")
    return _decode(text)


def _decode(text: Union[bytes, bytearray]) -> Tuple[List[_vesk.Graph], Any]:
    global _FORM_VERSIONS
    try:
        body = json.loads(text.decode("utf-8"), parse_constant=_refuse_constant)
    except (ValueError, RecursionError) as e:
        raise FormatError("damaged graph file: %s" % e) from None
    if type(body) is not dict or type(body.get("interactions")) is not list or type(body.get("graphs")) is not list:
        _damaged("no interactions and graphs")
    if _FORM_VERSIONS is None:
        _FORM_VERSIONS = _tags()
    interactions = [_restore_interaction(r, n, _FORM_VERSIONS[1]) for n, r in enumerate(body["interactions"])]
    template = _vesk.Graph(0).__getstate__()
    graphs = []
    for n, record in enumerate(body["graphs"]):
        where = "graph %d" % n
        if type(record) is not dict:
            _damaged(where + " is not a record")
        size = _field(record, "size", int, where)
        samples = record.get("samples")
        if type(samples) is not int or not 0 <= samples < 2**63:
            _damaged(where + ": 'samples' is not a count")
        slots = _field(record, "slots", list, where)
        if len(slots) != max(size, 0):
            _damaged(where + ": its slots do not match its size")
        items: List[Optional[_vesk.Interaction]] = []
        for s in slots:
            if s is not None and (type(s) is not int or not 0 <= s < len(interactions)):
                _damaged(where + ": a slot names no interaction")
            items.append(None if s is None else interactions[s])
        # The module's own form with the saved fields, and the rest (no
        # instance dictionary) as a new graph has it.
        batchsize = _field(record, "latest_batchsize", int, where)
        saved = (template[0], size, samples, batchsize, items) + tuple(template[5:])
        g = _vesk.Graph.__new__(_vesk.Graph)
        try:
            g.__setstate__(saved)
        except (TypeError, ValueError, OverflowError, RuntimeError) as e:
            raise FormatError("damaged graph file: %s: %s" % (where, e)) from e
        graphs.append(g)
    return graphs, decode_value(body["meta"]) if "meta" in body else None


def _refuse_constant(name: str) -> NoReturn:
    _damaged("the JSON constant %s" % name)


def write_atomic(path: PathLike, data: bytes) -> None:
    """Writes a temporary file beside the file path names, then renames it:
    a reader sees the old file or the whole new one, never a part.

    A path that is a symbolic link is written through: the file it leads to
    is replaced and the link stays. A new file gets the mode open() would
    give it (0o666 less the umask); a replaced one keeps its permissions."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    try:
        old: Optional[int] = stat.S_IMODE(os.stat(target).st_mode) & 0o777
    except FileNotFoundError:
        old = None
    while True:
        tmp = os.path.join(folder, ".vesk-%s.tmp" % secrets.token_hex(8))
        try:
            # 0o666: the kernel takes the umask (or the folder's default
            # ACL) off, as for any file open() makes.
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            if old is not None:
                os.fchmod(f.fileno(), old)
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    # The rename itself survives a crash once the folder is on disk.
    try:
        folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(folder_fd)
    except OSError:
        pass
    finally:
        os.close(folder_fd)


def save(path: PathLike, graphs: Graphs, *, as_base: bool = False) -> None:
    """Writes graphs (one Graph or an iterable of them) to path atomically.

    Everything a graph's saved form holds is kept: slots, sample counts, each
    interaction's fields and whole state (optimiser moments and learning
    rates included), categories with their keys, and interactions shared
    between the saved graphs stay shared. Category keys, _linkdata and
    losses must be plain values (str, int, float, bool, None, bytes, and
    tuples, lists and str-keyed dicts of these); anything else raises
    TypeError naming the register and key or the attribute. A subclass of
    Graph raises TypeError unless as_base is true, which saves its Graph
    part (its own attributes are dropped).

    A path that is a symbolic link is written through (the file it leads to
    is replaced, the link stays). A new file gets the mode open() would give
    it (0o666 less the umask); a file replaced keeps its permissions.
    """
    items = [graphs] if isinstance(graphs, _vesk.Graph) else list(graphs)
    write_atomic(path, dumps(items, as_base))


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _refuse_unless_regular(path: PathLike, mode: int) -> None:
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "not a regular file")
        raise FormatError("%s is %s: a graph file is read from a regular file only" % (os.fsdecode(path), kind))


def load(path: PathLike, *, max_size: int = MAX_BODY) -> List[_vesk.Graph]:
    """The graphs of a file written by save(), in their order. Loading runs
    no code from the file; a damaged, crafted or unknown file raises
    FormatError (a ValueError) and loads nothing.

    Only a regular file is read (a symbolic link to one is followed): any
    other kind of file raises FormatError naming the path, unread. The header
    is checked first, and a body longer than its header declares, or than
    max_size bytes (by default MAX_BODY, 1 GiB), is refused before it is
    read; the body is read in pieces of 1 MiB, its checksum computed as they
    come in.
    """
    # A FIFO or a device is refused before it is opened, and the open never
    # waits (O_NONBLOCK) should one take the path's place meanwhile.
    _refuse_unless_regular(path, os.stat(path).st_mode)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with open(fd, "rb", buffering=0) as f:
        info = os.fstat(fd)
        _refuse_unless_regular(path, info.st_mode)
        head, newline, _ = f.read(MAX_HEADER).partition(b"\n")
        if not newline:
            raise FormatError("not a graph file (it does not start with %r)" % MAGIC.decode())
        checksum, declared = _header(head)
        # Below 0 only for a file that grew since fstat: the read after the
        # body finds the rest.
        size = max(info.st_size - len(head) - 1, 0)
        _check_length(size, declared, max_size)
        f.seek(len(head) + 1)
        body = bytearray(size)
        digest = hashlib.sha256()
        with memoryview(body) as view:
            done = 0
            while done < size:
                piece = view[done:done + PIECE]
                n = f.readinto(piece) or 0
                digest.update(piece[:n])
                done += n
                if n == 0:
                    _damaged("its body is %d bytes, shorter than the %d it had when it was opened" % (done, size))
        # A file that grew while it was read.
        if f.read(1):
            _damaged("its body is longer than the %d bytes it had when it was opened" % size)
    if digest.hexdigest().encode("ascii") != checksum:
        _damaged("its contents do not match their checksum (cut short or altered)")
    return _decode(body)[0]
