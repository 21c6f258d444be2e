"""Ties between peak parameters, written as expressions over other peaks' parameters.

A tie sets one parameter of a peak from parameters of other peaks, as lmfit's ``expr`` does::

    x0="Au4f7.x0 + 3.67"
    gamma="Au4f7.gamma"
    area="0.75 * Au4f7.area"
    x0="2*degrees(asin(1.0024848*sin(radians(Ka1.x0/2))))"    # a Kα2 partner (Bragg's law)

An expression may use numbers, the constant ``pi``, references ``peak.param``, the operators
``+ - * / **`` (unary ``-`` and ``+`` too), parentheses, and the functions sqrt, exp, log,
sin, cos, tan, asin, acos, atan, radians and degrees, each of one argument.

The text is read with Python's own parser and its tree is checked node by node; it is never
evaluated by the interpreter.  A checked tie is compiled into a postfix program of
(code, operand) pairs that the core evaluates during a fit, with exact first and second
derivatives.  The codes are the core's own (``velmora_core._tie_operations``).
"""
from __future__ import annotations

import ast
import dataclasses
import functools
import math
import operator

import numpy as np
import velmora_core

__all__ = ["Tie", "TieProgram", "FUNCTIONS", "parse_tie", "order_ties", "area_factor",
           "compile_tie", "compile_ties"]

#: The functions a tie may call, each with one argument.
FUNCTIONS = ("sqrt", "exp", "log", "sin", "cos", "tan", "asin", "acos", "atan", "radians",
             "degrees")

# The operators of a tie and the core's tokens for them.
_BINARY = {ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.Pow: "**"}
_UNARY = {ast.USub: "neg", ast.UAdd: None}  # unary plus leaves its operand as it is

# How the refused kinds of expression are named in messages.
_KINDS = {
    ast.Subscript: "a subscript", ast.Slice: "a slice", ast.Lambda: "a lambda",
    ast.Compare: "a comparison", ast.BoolOp: "'and'/'or'", ast.IfExp: "a conditional expression",
    ast.List: "a list", ast.Tuple: "a tuple", ast.Dict: "a dict", ast.Set: "a set",
    ast.ListComp: "a comprehension", ast.SetComp: "a comprehension",
    ast.DictComp: "a comprehension", ast.GeneratorExp: "a generator expression",
    ast.JoinedStr: "an f-string", ast.NamedExpr: "an assignment expression",
    ast.Starred: "a starred expression", ast.Await: "'await'", ast.Yield: "'yield'",
    ast.YieldFrom: "'yield from'",
}
_OPERATOR_NAMES = {
    ast.FloorDiv: "'//'", ast.Mod: "'%'", ast.MatMult: "'@'", ast.LShift: "'<<'",
    ast.RShift: "'>>'", ast.BitOr: "'|'", ast.BitXor: "'^'", ast.BitAnd: "'&'",
    ast.Not: "'not'", ast.Invert: "'~'",
}


@dataclasses.dataclass(frozen=True)
class Tie:
    """A checked tie of one peak parameter.

    Attributes
    ----------
    peak, param : str
        The tied parameter: parameter ``param`` of the peak called ``peak``.
    text : str
        The expression as the user wrote it.
    references : tuple of (str, str)
        The parameters the expression refers to, as ``(peak, param)`` pairs, each once, in the
        order of their first appearance.
    tree : ast.expr
        The checked expression tree (the body of ``ast.parse(text, mode="eval")``).
    """

    peak: str
    param: str
    text: str
    references: tuple[tuple[str, str], ...]
    tree: ast.expr = dataclasses.field(compare=False, repr=False)

    @property
    def name(self) -> str:
        """The tied parameter as ``peak.param``."""
        return f"{self.peak}.{self.param}"


# Longer expressions are shortened in messages.
_SHOWN_LENGTH = 60


def _refuse(peak, param, text, what):
    shown = text if len(text) <= _SHOWN_LENGTH else text[:_SHOWN_LENGTH - 3] + "..."
    return ValueError(f"tie of {peak}.{param} ({shown!r}): {what}")


def _shown(node):
    return repr(ast.unparse(node))


def _describe(node):
    """What a refused node is, in words."""
    if isinstance(node, ast.Constant):
        value = node.value
        if isinstance(value, bool):
            return f"{value!r} is not a number"
        if isinstance(value, (str, bytes)):
            return f"the string {value!r} is not a number"
        if isinstance(value, complex):
            return f"the complex number {ast.unparse(node)} is not allowed"
        return f"{ast.unparse(node)} is not a number"
    if isinstance(node, ast.Name):
        if node.id in FUNCTIONS:
            return f"the function {node.id!r} must be called with one argument"
        return (f"unknown name {node.id!r}: a parameter of another peak is written peak.param, "
                "and the only named constant is pi")
    if isinstance(node, ast.Attribute):
        return (f"{_shown(node)} is not a reference: a parameter of another peak is written "
                "peak.param, with the peak's plain name")
    if isinstance(node, (ast.BinOp, ast.UnaryOp)):
        kind = _OPERATOR_NAMES.get(type(node.op), type(node.op).__name__)
        return f"the operator {kind} is not allowed (only + - * / ** and unary - +)"
    if isinstance(node, ast.Call):
        func = node.func
        if not isinstance(func, ast.Name) or func.id not in FUNCTIONS:
            return (f"{_shown(func)} is not a function a tie may call (those are "
                    f"{', '.join(FUNCTIONS)})")
        if node.keywords:
            return f"{func.id}() takes no keyword arguments"
        if any(isinstance(arg, ast.Starred) for arg in node.args):
            return f"{func.id}() takes one plain argument, not a starred one"
        return f"{func.id}() takes exactly one argument, got {len(node.args)}"
    kind = _KINDS.get(type(node), type(node).__name__)
    return f"{kind} is not allowed: {_shown(node)}"


def _children(node):
    """The subexpressions of an accepted node, left to right."""
    if isinstance(node, ast.BinOp):
        return (node.left, node.right)
    if isinstance(node, ast.UnaryOp):
        return (node.operand,)
    if isinstance(node, ast.Call):
        return (node.args[0],)
    return ()


def _accepted(node):
    """Whether ``node`` itself (not its subexpressions) may appear in a tie."""
    if isinstance(node, ast.Constant):
        return type(node.value) in (int, float)
    if isinstance(node, ast.Name):
        return node.id == "pi"
    if isinstance(node, ast.Attribute):
        return isinstance(node.value, ast.Name)
    if isinstance(node, ast.BinOp):
        return type(node.op) in _BINARY
    if isinstance(node, ast.UnaryOp):
        return type(node.op) in _UNARY
    if isinstance(node, ast.Call):
        return (isinstance(node.func, ast.Name) and node.func.id in FUNCTIONS
                and len(node.args) == 1 and not node.keywords
                and not isinstance(node.args[0], ast.Starred))
    return False


def _only_comments(text):
    """Whether the text holds no statement at all (only comments and blank lines)."""
    try:
        return not ast.parse(text).body
    except (SyntaxError, ValueError):
        return False


def parse_tie(text, peak, param):
    """Read and check the tie of parameter ``param`` of peak ``peak``.

    Parameters
    ----------
    text : str
        The expression, e.g. ``"Au4f7.x0 + 3.67"`` or ``"0.75 * Au4f7.area"``.
    peak, param : str
        The tied parameter (used in messages and kept in the result).

    Returns
    -------
    Tie
        The checked tie with its references in order of first appearance.

    Raises
    ------
    TypeError
        When ``text`` is not a string.
    ValueError
        When the text is empty, not an expression, or uses anything but numbers, ``pi``,
        references ``peak.param``, ``+ - * / **``, unary ``-`` and ``+``, and calls of the
        functions in :data:`FUNCTIONS` with one positional argument.  The message names the
        tied parameter as ``peak.param`` and what is wrong.
    """
    if not isinstance(text, str):
        raise TypeError(f"tie of {peak}.{param}: expected the expression as a str, got "
                        f"{type(text).__name__}")
    source = text.strip()  # surrounding blanks are not an indentation
    if not source:
        raise _refuse(peak, param, text, "the expression is empty")
    try:
        tree = ast.parse(source, mode="eval").body
    except SyntaxError as e:
        if _only_comments(source):
            raise _refuse(peak, param, text, "the expression is empty") from None
        raise _refuse(peak, param, text, f"not a valid expression ({e.msg})") from None
    except (ValueError, RecursionError, MemoryError) as e:  # null bytes, nesting too deep
        raise _refuse(peak, param, text, f"not a valid expression ({e})") from None

    references = {}
    pending = [tree]  # depth first, left to right: references in order of appearance
    while pending:
        node = pending.pop()
        if not _accepted(node):
            raise _refuse(peak, param, text, _describe(node))
        if isinstance(node, ast.Constant):
            try:
                number = float(node.value)
            except OverflowError:
                number = math.inf
            if not math.isfinite(number):
                written = ast.get_source_segment(source, node) or ast.unparse(node)
                raise _refuse(peak, param, text, f"the number {written} is not finite")
        elif isinstance(node, ast.Attribute):
            references.setdefault((node.value.id, node.attr), None)
        pending.extend(reversed(_children(node)))
    return Tie(peak, param, text, tuple(references), tree)


def _name(key):
    return f"{key[0]}.{key[1]}"


def order_ties(ties, known):
    """The ties in an order in which every tie comes after the ties it depends on.

    Parameters
    ----------
    ties : dict
        ``{(peak, param): Tie}``, the tied parameters.
    known : set of (str, str)
        Every parameter that exists, as ``(peak, param)``: every parameter of every peak,
        ``area`` included.

    Returns
    -------
    list of Tie
        Each tie after those of the parameters it refers to; otherwise in the order of
        ``ties``.

    Raises
    ------
    ValueError
        For a tie of a parameter that does not exist, a reference to an unknown peak or to an
        unknown parameter of a known peak (the message lists that peak's parameters), a tie
        that refers to the parameter it ties, and ties in a cycle (the message names the cycle,
        as in ``a.x0 -> b.x0 -> a.x0``).
    """
    known = set(known)
    params_of = {}
    for peak, param in known:
        params_of.setdefault(peak, set()).add(param)

    def unknown(key, where, tie):
        peak, param = key
        if peak not in params_of:
            peaks = ", ".join(sorted(params_of)) or "none"
            return _refuse(where[0], where[1], tie.text,
                           f"{_name(key)} refers to an unknown peak {peak!r} (the peaks: "
                           f"{peaks})")
        return _refuse(where[0], where[1], tie.text,
                       f"peak {peak!r} has no parameter {param!r} (its parameters: "
                       f"{', '.join(sorted(params_of[peak]))})")

    for key, tie in ties.items():
        if key not in known:
            raise unknown(key, key, tie)
        for ref in tie.references:
            if ref == key:
                raise _refuse(key[0], key[1], tie.text,
                              f"the tie refers to {_name(key)} itself")
            if ref not in known:
                raise unknown(ref, key, tie)

    order = []
    placed = set()
    for start in ties:
        if start in placed:
            continue
        # Depth first along the references, without recursion: `path` is the chain of ties
        # being placed, each depending on the next.
        path = [start]
        on_path = {start}
        pending = [iter(ties[start].references)]
        while pending:
            for ref in pending[-1]:
                if ref not in ties or ref in placed:
                    continue  # a free parameter, or a tie already placed
                if ref in on_path:
                    cycle = path[path.index(ref):] + [ref]
                    raise ValueError("ties in a cycle: " + " -> ".join(map(_name, cycle))
                                     + " (each is tied to the next)")
                path.append(ref)
                on_path.add(ref)
                pending.append(iter(ties[ref].references))
                break
            else:
                key = path.pop()
                on_path.discard(key)
                pending.pop()
                placed.add(key)
                order.append(ties[key])
    return order


def _has_references(node):
    return any(isinstance(n, ast.Attribute) for n in ast.walk(node))


def area_factor(tie):
    """The peak and the factor of an area tie ``area = factor * P.area``.

    An area tie must be proportional to the area of exactly one other peak: ``c * P.area``,
    ``P.area * c``, ``P.area / c`` or ``P.area`` (and products and quotients of these, such as
    ``2 * P.area / 3``), where ``c`` is an expression without references such as ``0.5``,
    ``2/3`` or ``sqrt(2)``.

    Parameters
    ----------
    tie : Tie
        A checked tie of a peak's ``area``.

    Returns
    -------
    peak : str
        The name of the peak whose area the tied area follows.
    factor : float
        The factor, evaluated by the core (for ``P.area / c`` it is ``1 / c``).

    Raises
    ------
    ValueError
        When the tie is not of an area, or its expression is anything else: a sum, a
        reference to another kind of parameter, to the peak's own area or to two areas, or a
        negative or non-finite factor.  The message names the tied area.
    """
    def refuse(what):
        return _refuse(tie.peak, tie.param, tie.text, what)

    if tie.param != "area":
        raise refuse("not a tie of an area")
    for ref in tie.references:
        if ref[1] != "area":
            raise refuse(f"an area may only follow another peak's area, not {_name(ref)}")
    if len(tie.references) != 1:
        raise refuse("an area must be proportional to the area of exactly one other peak")
    (peak, _), = tie.references
    if peak == tie.peak:
        raise refuse("the area refers to itself")

    node = tie.tree
    while not isinstance(node, ast.Attribute):
        if isinstance(node, ast.UnaryOp):  # a sign: a negative factor is refused below
            node = node.operand
        elif isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Mult, ast.Div)):
            left, right = _has_references(node.left), _has_references(node.right)
            if left and not right:
                node = node.left
            elif right and not left and isinstance(node.op, ast.Mult):
                node = node.right
            else:
                raise refuse(f"an area must be c * {peak}.area, {peak}.area * c or "
                             f"{peak}.area / c with a constant c")
        else:
            raise refuse(f"an area must be c * {peak}.area, {peak}.area * c or "
                         f"{peak}.area / c with a constant c")

    # At an area of 1 the tied area is the factor itself (multiplying by 1 is exact).
    program = compile_tie(tie, lambda ref: 0)
    factor = velmora_core._tie_evaluate(program, np.ones(1))[0]
    if not math.isfinite(factor):
        raise refuse(f"the factor of {peak}.area is not finite ({factor!r})")
    if factor < 0.0:
        raise refuse(f"the factor of {peak}.area is negative ({factor!r})")
    return peak, factor + 0.0  # +0.0 rather than -0.0


@functools.lru_cache(maxsize=None)
def _codes():
    """The core's code of every operation, by token."""
    return {token: code for token, code, _ in velmora_core._tie_operations()}


def compile_tie(tie, index_of):
    """The program the core evaluates for a tie.

    Parameters
    ----------
    tie : Tie
        A checked tie.
    index_of : callable
        ``index_of((peak, param))`` gives the index, an int, of a referenced parameter in the
        values the program will be evaluated at.

    Returns
    -------
    numpy.ndarray
        The postfix program as a flat float64 array of (code, operand) pairs: constants
        (``pi`` as ``math.pi``) and references are pushed, operators and functions take their
        arguments from the stack.  The codes are read from the core by token.
    """
    codes = _codes()
    out = []
    pending = [(tie.tree, False)]  # (node, its subexpressions already emitted)
    while pending:
        node, emitted = pending.pop()
        if isinstance(node, ast.Constant) and type(node.value) in (int, float):
            out += (codes["const"], float(node.value))
        elif isinstance(node, ast.Name) and node.id == "pi":
            out += (codes["const"], math.pi)
        elif isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
            index = operator.index(index_of((node.value.id, node.attr)))
            out += (codes["ref"], float(index))
        elif not emitted and _accepted(node):
            pending.append((node, True))
            pending.extend((child, False) for child in reversed(_children(node)))
        elif emitted and isinstance(node, ast.BinOp):
            out += (codes[_BINARY[type(node.op)]], 0.0)
        elif emitted and isinstance(node, ast.UnaryOp):
            token = _UNARY[type(node.op)]
            if token is not None:
                out += (codes[token], 0.0)
        elif emitted and isinstance(node, ast.Call):
            out += (codes[node.func.id], 0.0)
        else:
            raise _refuse(tie.peak, tie.param, tie.text, _describe(node))
    return np.asarray(out, dtype=np.float64)


def constant_value(tie):
    """The value of a tie without references (``"0.3"``, ``"2 * pi"``), as the core evaluates
    it during a fit."""
    if tie.references:
        raise ValueError(f"tie of {tie.name}: it refers to other parameters, not a constant")

    def no_reference(key):
        raise AssertionError(key)  # a tie without references has none to place

    program = compile_tie(tie, no_reference)
    return float(velmora_core._tie_evaluate(program, np.zeros(0))[0])


@dataclasses.dataclass(frozen=True)
class TieProgram:
    """Every tie of a model compiled for the engine, in evaluation order.

    Attributes
    ----------
    code : ndarray
        The programs of the ties one after another (see :func:`compile_tie`).
    starts : ndarray
        Where each tie's program starts, in (code, operand) pairs, and where the last ends.
    targets : ndarray
        The index of the parameter each tie gives.
    """

    code: np.ndarray
    starts: np.ndarray
    targets: np.ndarray


def compile_ties(ties, index_of):
    """The programs of ``ties`` (in evaluation order) for the engine, each compiled once.

    Parameters
    ----------
    ties : sequence of Tie
    index_of : callable
        ``index_of((peak, param))`` gives the index of a parameter in the model's table.

    Returns
    -------
    TieProgram
    """
    programs = [compile_tie(t, index_of) for t in ties]
    starts = np.cumsum([0] + [len(p) // 2 for p in programs]).astype(np.float64)
    code = np.concatenate(programs) if programs else np.zeros(0)
    targets = np.array([float(index_of((t.peak, t.param))) for t in ties], dtype=np.float64)
    return TieProgram(code=code, starts=starts, targets=targets)
