"""Ties between peak parameters: what the parser accepts and refuses, the order in which ties
are resolved and the cycles among them, the factor of an area tie, and compiled programs
that the core evaluates to the values and derivatives Python's math gives the same
expressions."""
import ast
import dataclasses
import math
import pathlib
import types
import zlib

import numpy as np
import pytest

import velmora_core
from velmora.ties import Tie, area_factor, compile_tie, order_ties, parse_tie

BRAGG = "2*degrees(asin(1.0024848*sin(radians(Ka1.x0/2))))"


# ----------------------------------------------------------------------------- parsing

@pytest.mark.parametrize("text, references", [
    ("Au4f7.x0 + 3.67", (("Au4f7", "x0"),)),
    ("Au4f7.gamma", (("Au4f7", "gamma"),)),
    ("0.75 * Au4f7.area", (("Au4f7", "area"),)),
    (BRAGG, (("Ka1", "x0"),)),
    ("-a.x0 + +b.x0 - 2 ** -1", (("a", "x0"), ("b", "x0"))),
    ("b.g * a.x0 / (b.g - a.x0) + sqrt(c.s) * b.g", (("b", "g"), ("a", "x0"), ("c", "s"))),
    ("pi * 2", ()),
    ("pi.x0 + 1", (("pi", "x0"),)),  # a peak may be called pi
    ("sqrt(exp(log(sin(cos(tan(asin(acos(atan(radians(degrees(p.q)))))))))))", (("p", "q"),)),
    ("  (a.x0)\n  # a comment\n", (("a", "x0"),)),
])
def test_accepted_ties_keep_their_references_in_order_of_first_use(text, references):
    tie = parse_tie(text, "p", "x0")
    assert (tie.peak, tie.param, tie.text) == ("p", "x0", text)
    assert tie.references == references
    assert isinstance(tie.tree, ast.expr)
    assert tie.name == "p.x0"


def test_a_tie_is_frozen_and_compares_by_its_text():
    a, b = parse_tie("q.x0 + 1", "p", "x0"), parse_tie("q.x0 + 1", "p", "x0")
    assert a == b and hash(a) == hash(b)
    assert a != parse_tie("q.x0 + 1", "p", "gamma")
    with pytest.raises(dataclasses.FrozenInstanceError):
        a.text = "q.x0"


REFUSED = [
    ("", "empty"),
    ("   \n ", "empty"),
    ("# only a comment", "empty"),
    ("a.x0 +", "not a valid expression"),
    ("a.x0 = 1", "not a valid expression"),
    ("'a.x0'", "string"),
    ("b'1'", "string"),
    ("True", "not a number"),
    ("None", "not a number"),
    ("2j * a.x0", "complex"),
    ("1e400 * a.x0", "not finite"),
    ("a[0]", "subscript"),
    ("a.x0[0]", "subscript"),
    ("lambda: 1", "lambda"),
    ("sqrt(x=a.x0)", "keyword"),
    ("sqrt(a.x0, 2)", "one argument"),
    ("sqrt()", "one argument"),
    ("sqrt(*a)", "starred"),
    ("hypot(a.x0)", "'hypot' is not a function"),
    ("math.sqrt(a.x0)", "'math.sqrt' is not a function"),
    ("a.x0.real", "not a reference"),
    ("a.b.c", "not a reference"),
    ("(1).real", "not a reference"),
    ("sqrt", "must be called"),
    ("x0 + 1", "unknown name 'x0'"),
    ("e", "unknown name 'e'"),
    ("a.x0 < 2", "comparison"),
    ("a.x0 and 1", "'and'/'or'"),
    ("a.x0 if 1 else 2", "conditional"),
    ("a.x0 // 2", "'//'"),
    ("a.x0 % 2", "'%'"),
    ("~a.x0", "'~'"),
    ("not a.x0", "'not'"),
    ("[a.x0]", "list"),
    ("(a.x0, 1)", "tuple"),
    ("f'{a.x0}'", "f-string"),
    ("(y := 1)", "assignment expression"),
    ("__import__('os').system('true')", "is not a function"),
    ("[c for c in 'ab']", "comprehension"),
]


@pytest.mark.parametrize("text, words", REFUSED, ids=[t for t, _ in REFUSED])
def test_refused_ties_name_the_tied_parameter_and_what_is_wrong(text, words):
    with pytest.raises(ValueError) as info:
        parse_tie(text, "Au4f5", "x0")
    message = str(info.value)
    assert "Au4f5.x0" in message
    assert words in message


def test_the_text_must_be_a_string():
    with pytest.raises(TypeError, match="p.x0"):
        parse_tie(b"a.x0", "p", "x0")


# ----------------------------------------------------------------------------- ordering

KNOWN = {(peak, param) for peak in ("a", "b", "c", "d") for param in ("x0", "gamma", "area")}


def ties_of(**texts):
    """{(peak, param): Tie} from keywords peak_param="expression"."""
    out = {}
    for key, text in texts.items():
        peak, param = key.split("_", 1)
        out[(peak, param)] = parse_tie(text, peak, param)
    return out


def test_ties_come_after_the_ties_they_depend_on():
    ties = ties_of(d_x0="c.x0 + b.x0", c_x0="b.x0 * 2", b_x0="a.x0 + 1", a_gamma="b.gamma")
    order = [t.name for t in order_ties(ties, KNOWN)]
    assert order == ["b.x0", "c.x0", "d.x0", "a.gamma"]
    # Independent ties keep their order; references to free parameters impose nothing.
    ties = ties_of(b_x0="a.x0", c_x0="a.x0", d_gamma="a.gamma + c.gamma")
    assert [t.name for t in order_ties(ties, KNOWN)] == ["b.x0", "c.x0", "d.gamma"]
    assert order_ties({}, KNOWN) == []


def test_every_tie_comes_after_its_dependencies_in_a_larger_graph():
    rng = np.random.default_rng(7)
    peaks = [f"p{i}" for i in range(30)]
    known = {(p, "x0") for p in peaks}
    ties = {}
    for i in rng.permutation(len(peaks))[:20]:
        # Each tie refers only to peaks with a smaller number: no cycles.
        refs = [f"p{j}.x0" for j in rng.integers(0, max(i, 1), size=3) if j < i]
        if refs:
            ties[(f"p{i}", "x0")] = parse_tie(" + ".join(refs), f"p{i}", "x0")
    order = order_ties(ties, known)
    assert sorted(t.name for t in order) == sorted(f"{p}.{q}" for p, q in ties)
    position = {(t.peak, t.param): k for k, t in enumerate(order)}
    for key, tie in ties.items():
        for ref in tie.references:
            if ref in ties:
                assert position[ref] < position[key]


@pytest.mark.parametrize("texts, words", [
    (dict(b_x0="zz.x0 + 1"), ["b.x0", "unknown peak 'zz'"]),
    (dict(b_x0="a.x1 + 1"), ["b.x0", "'a' has no parameter 'x1'", "area, gamma, x0"]),
    (dict(b_area="2 * b.area"), ["b.area", "itself"]),
    (dict(e_x0="a.x0"), ["e.x0", "unknown peak 'e'"]),
    (dict(a_sigma="b.x0"), ["a.sigma", "no parameter 'sigma'"]),
])
def test_unknown_references_and_self_ties_are_refused(texts, words):
    with pytest.raises(ValueError) as info:
        order_ties(ties_of(**texts), KNOWN)
    for w in words:
        assert w in str(info.value)


@pytest.mark.parametrize("texts, cycle", [
    (dict(a_x0="b.x0 + 1", b_x0="a.x0 - 1"), "a.x0 -> b.x0 -> a.x0"),
    (dict(a_x0="c.x0", b_x0="a.x0", c_x0="b.x0 * 2"), "a.x0 -> c.x0 -> b.x0 -> a.x0"),
    # A tie that leads into the cycle is not part of it.
    (dict(d_x0="a.x0", a_x0="b.x0", b_x0="a.gamma + a.x0"), "a.x0 -> b.x0 -> a.x0"),
    (dict(a_area="b.area", b_area="a.area / 2"), "a.area -> b.area -> a.area"),
])
def test_a_cycle_of_ties_is_named(texts, cycle):
    with pytest.raises(ValueError, match="cycle") as info:
        order_ties(ties_of(**texts), KNOWN)
    assert cycle in str(info.value)


# ----------------------------------------------------------------------------- area factors

@pytest.mark.parametrize("text, factor", [
    ("0.75 * A.area", 0.75),
    ("A.area * 0.5", 0.5),
    ("A.area / 3", 1.0 / 3.0),
    ("A.area", 1.0),
    ("(2/3) * A.area", 2.0 / 3.0),
    ("sqrt(2) * A.area", math.sqrt(2.0)),
    ("A.area * exp(-1) / 2", math.exp(-1.0) / 2.0),
    ("2 * A.area / 3", 2.0 / 3.0),
    ("+A.area", 1.0),
    ("-2 * -A.area", 2.0),
    ("pi * A.area", math.pi),
    ("0 * A.area", 0.0),
])
def test_area_factor_of_a_proportional_area(text, factor):
    peak, got = area_factor(parse_tie(text, "B", "area"))
    assert peak == "A"
    assert type(got) is float
    assert got == pytest.approx(factor, rel=1e-15, abs=0.0)


@pytest.mark.parametrize("text, words", [
    ("A.area + B.area", "exactly one"),
    ("A.area + 1", "c * A.area"),
    ("1 - A.area", "c * A.area"),
    ("A.x0 * 2", "A.x0"),
    ("A.area * C.gamma", "C.gamma"),
    ("A.area * C.area", "exactly one"),
    ("A.area * A.area", "c * A.area"),
    ("2 / A.area", "c * A.area"),
    ("sqrt(A.area)", "c * A.area"),
    ("A.area ** 1", "c * A.area"),
    ("-A.area", "negative"),
    ("A.area * (1 - 2)", "negative"),
    ("A.area / 0", "not finite"),
    ("A.area * sqrt(-1)", "not finite"),
    ("A.area * 1e200 * 1e200", "not finite"),
    ("2", "exactly one"),
    ("0.5 * T.area", "itself"),
])
def test_area_factor_refuses_anything_but_a_proportion(text, words):
    with pytest.raises(ValueError) as info:
        area_factor(parse_tie(text, "T", "area"))
    assert "T.area" in str(info.value)
    assert words in str(info.value)


def test_area_factor_is_only_for_area_ties():
    with pytest.raises(ValueError, match="T.x0"):
        area_factor(parse_tie("A.area", "T", "x0"))


# ----------------------------------------------------------------------------- compiled ties

# Every parameter the expressions below may refer to, its place in the values array, and the
# range its random values are drawn from (inside every function's domain).
PARAMS = {("a", "x0"): (-3.0, 3.0), ("a", "gamma"): (0.2, 3.0), ("a", "eta"): (-0.9, 0.9),
          ("b", "x0"): (-3.0, 3.0), ("b", "gamma"): (0.2, 3.0), ("Ka1", "x0"): (10.0, 150.0),
          ("unused", "x0"): (-1.0, 1.0)}
INDEX = {key: i for i, key in enumerate(PARAMS)}

EXPRESSIONS = [
    "a.x0 + 3.67",
    "a.x0 - b.x0 * 2",
    "a.x0 / b.gamma",
    "a.gamma ** b.gamma",
    "a.gamma ** b.x0 / b.gamma ** a.x0",
    "a.x0 ** 3 + a.x0 ** 2 - a.x0 ** -2",
    "b.gamma ** 2.5 + 2 ** a.x0",
    "-a.x0 + +b.x0 - -(a.x0 * b.x0)",
    "sqrt(a.gamma) * exp(-b.x0 / 10)",
    "log(a.gamma) + sin(a.x0) * cos(b.x0) - tan(b.x0 / 4)",
    "asin(a.eta) + acos(a.eta / 2) * atan(b.x0)",
    "radians(a.x0) + degrees(b.x0) * radians(b.gamma)",
    "pi * a.gamma ** 2 / 4",
    "a.x0 * a.x0 - a.x0 / (1 + a.gamma)",
    "exp(a.x0 * b.x0) / (a.gamma + b.gamma) ** 2",
    "atan(b.x0 / a.gamma) * sqrt(a.gamma * b.gamma)",
    BRAGG,
]


def python_value(text, values):
    """The expression evaluated by Python itself, with the math module's functions."""
    peaks = {}
    for (peak, param), i in INDEX.items():
        setattr(peaks.setdefault(peak, types.SimpleNamespace()), param, float(values[i]))
    names = {name: getattr(math, name) for name in ("sqrt", "exp", "log", "sin", "cos", "tan",
                                                    "asin", "acos", "atan", "radians",
                                                    "degrees", "pi")}
    return eval(text, {"__builtins__": {}}, {**names, **peaks})


def random_values(rng):
    return np.array([rng.uniform(lo, hi) for lo, hi in PARAMS.values()])


@pytest.mark.parametrize("text", EXPRESSIONS)
def test_compiled_ties_agree_with_python_and_their_derivatives_with_differences(text):
    tie = parse_tie(text, "t", "x0")
    program = compile_tie(tie, INDEX.__getitem__)
    assert program.dtype == np.float64 and program.ndim == 1 and program.size % 2 == 0
    rng = np.random.default_rng(zlib.crc32(text.encode()))
    for _ in range(20):
        values = random_values(rng)
        value, refs, gradient, hessian = velmora_core._tie_evaluate(program, values)
        assert list(refs) == [INDEX[r] for r in tie.references]
        n = len(refs)
        assert gradient.shape == (n,) and hessian.shape == (n * n,)
        assert value == pytest.approx(python_value(text, values), rel=1e-14, abs=1e-14)

        hessian = hessian.reshape(n, n)
        assert np.array_equal(hessian, hessian.T)
        for a, index in enumerate(refs.astype(int)):
            step = 1e-5 * max(1.0, abs(values[index]))
            up, down = values.copy(), values.copy()
            up[index] += step
            down[index] -= step
            f_up, _, g_up, _ = velmora_core._tie_evaluate(program, up)
            f_down, _, g_down, _ = velmora_core._tie_evaluate(program, down)
            scale = max(1.0, abs(gradient[a]))
            assert gradient[a] == pytest.approx((f_up - f_down) / (2 * step), abs=1e-6 * scale)
            column = (g_up - g_down) / (2 * step)
            assert np.allclose(hessian[:, a], column, rtol=1e-6, atol=1e-6)


def test_bragg_tie_gives_the_kalpha2_position():
    # Cu Kα2 beside a Kα1 line at 2θ = 44.39°: about 0.11° above it; d(2θ2)/d(2θ1) above 1.
    program = compile_tie(parse_tie(BRAGG, "Ka2", "x0"), lambda ref: 0)
    value, refs, gradient, hessian = velmora_core._tie_evaluate(program, np.array([44.39]))
    theta2 = math.asin(1.0024848 * math.sin(math.radians(44.39 / 2)))
    assert value == pytest.approx(2 * math.degrees(theta2), rel=1e-15)
    assert 0.10 < value - 44.39 < 0.13
    theta1 = math.radians(44.39 / 2)
    assert gradient[0] == pytest.approx(1.0024848 * math.cos(theta1) / math.cos(theta2),
                                        rel=1e-14)


def test_compiled_program_codes_and_operands():
    ops = {token: code for token, code, _ in velmora_core._tie_operations()}
    seen = []

    def index_of(ref):
        seen.append(ref)
        return {("a", "x0"): 4, ("b", "gamma"): 1}[ref]

    tie = parse_tie("-(a.x0 - pi) / sqrt(+b.gamma) + a.x0", "t", "x0")
    program = compile_tie(tie, index_of).reshape(-1, 2)
    assert seen == [("a", "x0"), ("b", "gamma"), ("a", "x0")]
    expected = [(ops["ref"], 4.0), (ops["const"], math.pi), (ops["-"], 0.0), (ops["neg"], 0.0),
                (ops["ref"], 1.0), (ops["sqrt"], 0.0), (ops["/"], 0.0), (ops["ref"], 4.0),
                (ops["+"], 0.0)]
    assert [tuple(row) for row in program] == expected


def test_long_ties_compile_without_recursion():
    # Deeper than the interpreter's recursion limit.
    text = " + ".join(["a.x0"] * 1200)
    program = compile_tie(parse_tie(text, "t", "x0"), lambda ref: 0)
    value, refs, gradient, _ = velmora_core._tie_evaluate(program, np.array([0.5]))
    assert (value, list(refs), list(gradient)) == (600.0, [0.0], [1200.0])


def test_operation_table_of_the_core():
    table = velmora_core._tie_operations()
    assert [code for _, code, _ in table] == list(range(len(table)))
    arity = {token: k for token, _, k in table}
    assert arity["const"] == arity["ref"] == 0
    assert all(arity[t] == 2 for t in "+-*/") and arity["**"] == 2 and arity["neg"] == 1
    assert all(arity[f] == 1 for f in ("sqrt", "exp", "log", "sin", "cos", "tan", "asin",
                                       "acos", "atan", "radians", "degrees"))


@pytest.mark.parametrize("program, values, words", [
    ([99.0, 0.0], [1.0], "unknown operation code 99"),
    ([1.0, 3.0], [1.0, 2.0], "out of range"),
    ([1.0, 0.5], [1.0, 2.0], "whole number"),
    ([0.0, 1.0, 0.0, 2.0], [], "leaves 2 values"),
    ([0.0, 1.0, 8.0, 0.0, 2.0, 0.0], [], "needs 2"),
    ([], [], "empty"),
    ([0.0, 1.0, 0.0], [], "pairs"),
])
def test_a_malformed_program_raises_value_error(program, values, words):
    with pytest.raises(ValueError, match=words):
        velmora_core._tie_evaluate(np.array(program, dtype=np.float64),
                                   np.array(values, dtype=np.float64))


def test_outside_a_domain_the_value_is_nan():
    for text in ("sqrt(a.x0)", "asin(a.x0 - 1)", "log(a.x0)"):
        program = compile_tie(parse_tie(text, "t", "x0"), lambda ref: 0)
        value, _, gradient, hessian = velmora_core._tie_evaluate(program, np.array([-1.5]))
        assert math.isnan(value) and np.isnan(gradient).all() and np.isnan(hessian).all()


def test_the_ties_module_imports_no_other_velmora_module():
    import velmora.ties
    tree = ast.parse(pathlib.Path(velmora.ties.__file__).read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            assert node.level == 0 and not (node.module or "").startswith("velmora")
        elif isinstance(node, ast.Import):
            assert all(a.name == "velmora_core" or not a.name.startswith("velmora")
                       for a in node.names)
