"""A picture of a graph as SVG, written here with no drawing library.

Slots stand in columns by depth, the input registers on the left and the
output register on the right; each box names its type, its register and
its main parameters, and an arrow runs from each source into it (source 0
enters higher than source 1).
"""
import math
import os
import re
import shutil
import subprocess
import tempfile
from typing import Dict, List, Optional, Tuple, Union

import _vesk

BOX_WIDTH, LINE, PAD, COLUMN_GAP, ROW_GAP, MARGIN = 190, 15, 7, 70, 18, 16
CHARS = 28  # characters a box line holds at the font size used
SHOWN_CATEGORIES = 4
FILL = {"fixed": "#dbeafe", "cat": "#fde68a", "linear": "#e5e7eb", "tanh": "#d1fae5", "gaussian": "#fce7f3",
        "sine": "#ede9fe", "multiply": "#fee2e2"}
# Characters XML 1.0 does not allow even as references.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")


def _escape(text: str) -> str:
    text = _NOT_XML.sub("\ufffd", text)
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def _short(text: str) -> str:
    return text if len(text) <= CHARS else text[:CHARS - 1] + "\u2026"


def _num(value: float, digits: int = 3) -> str:
    return "%.*g" % (digits, value) if math.isfinite(value) else str(value)


def _lines(slot: int, node: Optional[_vesk.Interaction], output: bool) -> List[str]:
    """The text of a box: its type (and slot), register name, parameters."""
    if node is None:
        return ["slot %d: empty" % slot]
    kind = str(node.type)
    head = "%s  (slot %d%s)" % (kind, slot, ", output" if output else "")
    lines = [head]
    try:
        state = node.state
    except RuntimeError as e:  # an interaction that was never initialised
        return lines + [str(e)]
    if kind == "fixed":
        lines.append(str(node.name))
        lines.append("range %s to %s" % (_num(state.feature_min, 5), _num(state.feature_max, 5)))
        if output:
            loss = node._loss
            lines.append("loss: %s" % (loss.decode() if isinstance(loss, bytes) else loss or _vesk.DEFAULT_LOSS))
    elif kind == "cat":
        lines.append(str(node.name))
        pairs = sorted(state.categories, key=lambda pair: -abs(pair[1]))
        lines.append("%d categories" % len(pairs))
        lines += ["%s: %+.3g" % (key, weight) for key, weight in pairs[:SHOWN_CATEGORIES]]
        if len(pairs) > SHOWN_CATEGORIES:
            lines.append("\u2026 %d more" % (len(pairs) - SHOWN_CATEGORIES))
    elif kind in ("linear", "tanh"):
        two = len(node.sources) == 2
        lines.append("w0 %s%s" % (_num(state.w0), ", w1 %s" % _num(state.w1) if two else ""))
        lines.append("bias %s" % _num(state.bias))
    elif kind == "gaussian":
        two = len(node.sources) == 2
        lines.append("center %s%s" % (_num(state.center0), ", %s" % _num(state.center1) if two else ""))
        lines.append("width %s%s" % (_num(state.w0), ", %s" % _num(state.w1) if two else ""))
    elif kind == "sine":
        lines.append("k %s, x0 %s" % (_num(state.k), _num(state.x0)))
    return lines


class Drawing:
    """An SVG picture of a graph: shown by a notebook (``_repr_svg_``),
    written by ``save``; ``svg`` is its text."""

    def __init__(self, svg: str, width: int, height: int) -> None:
        self.svg = svg
        self.width = width
        self.height = height

    def _repr_svg_(self) -> str:
        return self.svg

    def __str__(self) -> str:
        return self.svg

    def save(self, path: Union[str, "os.PathLike[str]"], *, timeout: float = 60.0) -> None:
        """Writes the picture: SVG for a path ending in .svg, PNG for .png
        (through rsvg-convert or a headless chromium, whichever is on PATH;
        RuntimeError where neither is, or the converter fails or takes more
        than `timeout` seconds)."""
        target = os.fspath(path)
        suffix = os.path.splitext(target)[1].lower()
        if suffix == ".svg":
            with open(target, "w", encoding="utf-8") as f:
                f.write(self.svg)
            return
        if suffix != ".png":
            raise ValueError("a drawing is saved as .svg or .png, not %r" % (suffix or target))
        with tempfile.TemporaryDirectory(prefix="vesk-draw-") as folder:
            source = os.path.join(folder, "graph.svg")
            with open(source, "w", encoding="utf-8") as f:
                f.write(self.svg)
            _to_png(source, os.path.abspath(target), self.width, self.height, timeout)


def _to_png(source: str, target: str, width: int, height: int, timeout: float) -> None:
    rsvg = shutil.which("rsvg-convert")
    browser = next((found for found in map(shutil.which, ("chromium", "chromium-browser")) if found), None)
    if rsvg is not None:
        command = [rsvg, "-o", target, source]
    elif browser is not None:
        command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                   "--window-size=%d,%d" % (width, height), "--screenshot=" + target, "file://" + source]
    else:
        raise RuntimeError("saving a drawing as PNG needs rsvg-convert or chromium on PATH; .svg needs nothing")
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise RuntimeError("%s did not finish within %g s" % (os.path.basename(command[0]), timeout)) from None
    if done.returncode != 0 or not os.path.exists(target):
        raise RuntimeError("%s failed (exit status %d): %s" % (os.path.basename(command[0]), done.returncode,
                                                                done.stderr.decode(errors="replace")[-500:]))


def _levels(graph: _vesk.Graph) -> Tuple[List[int], Dict[int, List[int]]]:
    """Each slot's column (one past its deepest drawable source) and the
    drawable sources of each slot: filled slots below it."""
    n = len(graph)
    level = [0] * n
    reads: Dict[int, List[int]] = {}
    for slot in range(n):
        node = graph[slot]
        sources = [] if node is None else [s for s in node.sources if s != -1]
        reads[slot] = [s for s in sources if 0 <= s < slot and graph[s] is not None]
        level[slot] = 1 + max((level[s] for s in reads[slot]), default=-1)
    return level, reads


def draw(graph: _vesk.Graph) -> Drawing:
    """A picture of the graph as SVG: every slot a box, in columns by depth
    from the inputs to the output, labelled with its type, register name
    and main parameters, and an arrow from each of its sources. Register
    names and category keys are user text: everything is escaped."""
    n = len(graph)
    level, reads = _levels(graph)
    if n:
        level[n - 1] = max(level)  # the output ends the picture
    texts = [_lines(slot, graph[slot], slot == n - 1) for slot in range(n)]
    heights = [2 * PAD + LINE * len(t) for t in texts]
    columns: Dict[int, List[int]] = {}
    for slot in range(n):
        columns.setdefault(level[slot], []).append(slot)
    x: Dict[int, int] = {}
    y: Dict[int, float] = {}
    tallest = 0.0
    for col in sorted(columns):
        slots = columns[col]
        # Boxes follow the mean height of their sources, so that arrows cross less.
        slots.sort(key=lambda s: (sum(y[r] for r in reads[s]) / len(reads[s]) if reads[s] else 0.0, s))
        top = float(MARGIN)
        for s in slots:
            x[s] = MARGIN + col * (BOX_WIDTH + COLUMN_GAP)
            y[s] = top
            top += heights[s] + ROW_GAP
        tallest = max(tallest, top - ROW_GAP)
    width = MARGIN * 2 + (max(columns) + 1 if columns else 0) * (BOX_WIDTH + COLUMN_GAP) - COLUMN_GAP
    height = int(tallest) + MARGIN
    width = max(width, 2 * MARGIN + BOX_WIDTH)
    height = max(height, 2 * MARGIN)
    out = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
        'font-family="DejaVu Sans, Verdana, sans-serif" font-size="11">' % (width, height, width, height),
        "<title>%s</title>" % _escape("graph of %d slots, %d edges" % (n, graph.edge_count)),
        '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="7" markerHeight="7" '
        'orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z" fill="#4b5563"/></marker></defs>',
        '<rect width="100%" height="100%" fill="white"/>',
    ]
    for slot in range(n):
        node = graph[slot]
        if node is None:
            continue
        sources = [s for s in node.sources if s != -1]
        for ix, src in enumerate(sources):
            if src not in reads[slot]:
                continue
            x0, y0 = x[src] + BOX_WIDTH, y[src] + heights[src] / 2
            x1, y1 = x[slot], y[slot] + heights[slot] * (0.35 if ix == 0 else 0.7)
            bend = max(COLUMN_GAP / 2, (x1 - x0) / 2)
            out.append('<path class="edge" data-source="%d" data-target="%d" d="M%.1f,%.1f C%.1f,%.1f %.1f,%.1f '
                       '%.1f,%.1f" fill="none" stroke="#4b5563" stroke-width="1.3" marker-end="url(#arrow)"/>'
                       % (src, slot, x0, y0, x0 + bend, y0, x1 - bend, y1, x1, y1))
    for slot in range(n):
        node = graph[slot]
        kind = "empty" if node is None else str(node.type)
        lines = texts[slot]
        group = ['<g class="node" data-slot="%d" data-type="%s">' % (slot, _escape(kind)),
                 "<title>%s</title>" % _escape("\n".join(lines)),
                 '<rect x="%d" y="%.1f" width="%d" height="%d" rx="6" fill="%s" stroke="%s"%s/>'
                 % (x[slot], y[slot], BOX_WIDTH, heights[slot], FILL.get(kind, "#ffffff"),
                    "#111827" if slot == n - 1 else "#6b7280",
                    ' stroke-dasharray="4 3"' if node is None else ' stroke-width="2"' if slot == n - 1 else "")]
        for i, text in enumerate(lines):
            weight = ' font-weight="bold"' if i == 0 else ""
            group.append('<text x="%d" y="%.1f"%s>%s</text>' % (x[slot] + PAD, y[slot] + PAD + LINE * (i + 1) - 4,
                                                                weight, _escape(_short(text))))
        group.append("</g>")
        out.append("".join(group))
    out.append("</svg>\n")
    return Drawing("\n".join(out), width, height)
