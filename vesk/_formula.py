"""What a graph computes, written out as a sympy expression.

sympy is optional (the extra "formula") and imported only when a formula
is asked for.
"""
import math
from typing import TYPE_CHECKING, Any, Dict, List, Tuple

import _vesk

if TYPE_CHECKING:
    import sympy

REGISTERS = ("fixed", "cat")
TWO_SOURCES = ("linear", "tanh", "gaussian")


def _refuse(slot: int, node: _vesk.Interaction, what: str) -> ValueError:
    label = "register %r" % node.name if node.type in REGISTERS else "a %r node" % node.type
    return ValueError("no exact formula: %s (slot %d) %s" % (label, slot, what))


def _number(slot: int, node: _vesk.Interaction, name: str, value: float) -> float:
    if not math.isfinite(value):
        raise _refuse(slot, node, "holds %s = %r, whose arithmetic a formula cannot state exactly"
                      % (name, value))
    return value


def _key(sp: Any, slot: int, node: _vesk.Interaction, key: Any) -> Any:
    """A category key as an expression that the register's symbol is compared with."""
    if isinstance(key, (bool, int)):
        return sp.Integer(int(key))
    if isinstance(key, float):
        if math.isnan(key):
            raise _refuse(slot, node, "has the category NaN, which no value compares equal to")
        return sp.Float(key)
    return sp.core.symbol.Str(key if isinstance(key, str) else repr(key))


def _order(key: Any) -> Tuple[int, Any]:
    if isinstance(key, (bool, int, float)):
        return (0, float(key))
    return (1, key) if isinstance(key, str) else (2, repr(key))


def _input(sp: Any, slot: int, node: _vesk.Interaction) -> Any:
    symbol = sp.Symbol(node.name)
    if node.type == "cat":
        pieces: List[Tuple[Any, Any]] = []
        for key, weight in sorted(node.state.categories, key=lambda pair: _order(pair[0])):
            # The activation is the weight rounded to float32.
            w = _number(slot, node, "the weight of %r" % (key,), float(_float32(weight)))
            pieces.append((sp.Float(w), sp.Eq(symbol, _key(sp, slot, node, key))))
        # Unevaluated: older sympy (1.13, the last for Python 3.8) cannot
        # simplify conditions on a Str.
        return sp.Piecewise(*pieces, (sp.Integer(0), True), evaluate=False) if pieces else sp.Integer(0)
    lo, hi = _range(slot, node)
    if lo == hi:
        # A value equal to a range of width zero maps to its middle.
        return sp.Piecewise((sp.Integer(-1), symbol < sp.Float(lo)), (sp.Integer(1), symbol > sp.Float(lo)),
                            (sp.Integer(0), True))
    scaled = 2 * (symbol - sp.Float(lo)) / (sp.Float(hi) - sp.Float(lo)) - 1
    return sp.Min(1, sp.Max(-1, scaled))


def _float32(value: float) -> float:
    import numpy as np

    with np.errstate(over="ignore"):  # a weight beyond float32 reads as an infinity, refused after
        return float(np.float32(value))


def _range(slot: int, node: _vesk.Interaction) -> Tuple[float, float]:
    """A numeric register's range as every query uses it: a bound not yet
    known takes its default where the query would give it one (an output
    register, an input without auto_adapt), and is refused where it would
    come from the data."""
    state = node.state
    lo, hi = float(state.feature_min), float(state.feature_max)
    defaults = bool(node.sources) or not state.auto_adapt
    if math.isnan(lo) or math.isnan(hi):
        if not defaults:
            raise _refuse(slot, node, "has no feature range yet (NaN): it adapts to the data of its first query; "
                          "query the graph or set the range first")
        lo = -1.0 if math.isnan(lo) else lo
        hi = 1.0 if math.isnan(hi) else hi
    return _number(slot, node, "feature_min", lo), _number(slot, node, "feature_max", hi)


def _check(graph: _vesk.Graph) -> List[_vesk.Interaction]:
    """The slots of a graph that a query would run, refusing one it would not."""
    nodes = []
    for slot in range(len(graph)):
        node = graph[slot]
        if node is None:
            raise ValueError("no formula: slot %d of the graph is empty" % slot)
        sources = node.sources
        if node.type not in REGISTERS and (not sources or sources[0] == -1):
            raise _refuse(slot, node, "has no source")
        if node.type == "multiply" and len(sources) < 2:
            raise _refuse(slot, node, "needs two sources")
        if node.type in REGISTERS and (not sources or sources[0] == -1):
            reads: Tuple[int, ...] = ()
        else:
            reads = sources[:1] if node.type in REGISTERS or node.type == "sine" else sources
        for src in reads:
            if not 0 <= src < slot:
                raise _refuse(slot, node, "reads slot %d, which is not a slot below it" % src)
        nodes.append(node)
    if not nodes:
        raise ValueError("no formula: the graph has no slots")
    if nodes[-1].type != "fixed":
        raise ValueError("no formula: the last slot holds a %r node, not the output register (\"fixed\")"
                         % nodes[-1].type)
    return nodes


def formula(graph: _vesk.Graph) -> "sympy.Expr":
    """What the graph predicts, as a sympy expression of its inputs (needs
    sympy: the extra "formula").

    Its free symbols are the names of the input registers it reads. A
    numeric input stands for the raw value of its column; a categorical
    input stands for the sample's category, and its activation is written
    as a Piecewise of each category's weight (the weight itself, rounded to
    float32 as the module reads it, unscaled), 0 for a category the
    register has not seen. A str category is compared as a sympy ``Str``,
    an int, bool or float one as a number, any other key as the ``Str`` of
    its repr. Everything else is spelled out: each register's scaling with
    its range, clamps as Min/Max, a range of width zero as a Piecewise, and
    every node's arithmetic with its parameters as the float64 values of
    their float32 bits.

    The formula holds inside the saved feature ranges: a prediction query
    on registers with auto_adapt on first widens their ranges to the data
    it is given (and files new categories at weight 0), and so changes the
    graph's formula; take the formula after such a query, or turn auto_adapt
    off. A NaN or infinite parameter, a gaussian width of 0, a register
    that has not yet learned its range, or a graph that cannot run raises
    ValueError saying so.
    """
    try:
        import sympy as sp
    except ImportError:
        raise ImportError("vesk.formula needs sympy: pip install 'vesk[formula]'") from None
    nodes = _check(graph)
    done: Dict[int, Any] = {}

    def activation(slot: int) -> Any:
        if slot in done:
            return done[slot]
        node = nodes[slot]
        sources = node.sources
        kind = node.type
        if kind in REGISTERS:
            value = _input(sp, slot, node) if not sources or sources[0] == -1 else activation(sources[0])
            done[slot] = value
            return value
        state = node.state
        two = len(sources) == 2 and kind in TWO_SOURCES

        def p(name: str) -> Any:
            return sp.Float(_number(slot, node, name, float(getattr(state, name))))

        a = activation(sources[0])
        b = activation(sources[1]) if two or kind == "multiply" else None
        if kind in ("linear", "tanh"):
            z = p("w0") * a + (p("w1") * b if two else 0) + p("bias")
            value = sp.Min(1, sp.Max(-1, z)) if kind == "linear" else sp.tanh(z)
        elif kind == "gaussian":
            terms = []
            for ix, x in ((0, a), (1, b)) if two else ((0, a),):
                width = _number(slot, node, "w%d" % ix, float(getattr(state, "w%d" % ix)))
                if width == 0:
                    raise _refuse(slot, node, "has the width w%d = 0, which divides by zero" % ix)
                terms.append((x - p("center%d" % ix)) ** 2 / sp.Float(width))
            value = sp.exp(-sp.Add(*terms))
        elif kind == "sine":
            value = sp.sin(p("k") * a + p("x0"))
        elif kind == "multiply":
            value = a * b
        else:
            raise _refuse(slot, node, "is of a type this formula does not know")
        done[slot] = value
        return value

    last = len(nodes) - 1
    output = nodes[last]
    a = activation(last)
    lo, hi = _range(last, output)
    if lo == hi:
        return sp.Float(lo)  # a range of width zero predicts its one value
    result: "sympy.Expr" = (1 + a) * (sp.Float(hi) - sp.Float(lo)) / 2 + sp.Float(lo)
    return result

