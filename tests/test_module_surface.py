"""Argument conversion, binding, reservations, write-back and module layout of the extension."""
import fractions
import inspect
import sys
import threading
import types

import numpy as np
import pytest

import velmora_core
from conftest import InternalError, run_python

ARRAYS = ("x", "intensity", "mu", "sigma", "pi", "dirichlet_alpha")


def fresh(small_fit):
    """Deep copies of the call's arguments, so each test owns its arrays."""
    return {k: v.copy() if isinstance(v, np.ndarray) else v for k, v in small_fit.items()}


def snapshot(args):
    return {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}


def assert_untouched(before, args):
    for k, v in before.items():
        assert np.array_equal(v, args[k], equal_nan=True), k


class FloatRaises:
    """Converts to float by raising a TypeError chained from a ValueError."""

    def __float__(self):
        try:
            raise ValueError("root cause")
        except ValueError as cause:
            raise TypeError("cannot be a float") from cause


class FloatValueError:
    def __float__(self):
        raise ValueError("not a TypeError")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


BAD = [
    ("x", list(np.linspace(0, 1, 5)), "list"),
    ("x", np.zeros((2, 60)), "2 dimensions"),
    ("x", np.zeros(120, dtype=np.float32), "float32"),
    ("intensity", np.zeros(120, dtype=np.int64), "int64"),
    ("mu", (1.0, 2.0, 3.0), "tuple"),
    ("dirichlet_alpha", None, "NoneType"),
    ("fix_mu", "ab", "Can't extract `str` to `Vec`"),
    ("fix_mu", [0, 1, 0], "int"),
    ("fix_mu", 3, "int"),
    ("fix_sigma", [True, None, False], "NoneType"),
    ("max_iter", 1.5, "float"),
    ("max_iter", "3", "str"),
    ("r_eps", "small", "str"),
    ("x_min", None, "NoneType"),
    ("bg_type", 1.0, "float"),
    ("spline_basis_preds", "ab", "Can't extract `str` to `Vec`"),
    ("spline_basis_preds", ["ab"], "Can't extract `str` to `Vec`"),
    ("spline_basis_preds", [[1.0, "a"]], "str"),
    ("spline_basis_preds", 7, "int"),
]


@pytest.mark.parametrize("name, value, reason", BAD, ids=[f"{n}={v!r:.20}" for n, v, _ in BAD])
def test_wrong_types_raise_prefixed_type_error(small_fit, name, value, reason):
    args = fresh(small_fit)
    before = snapshot(args)
    args[name] = value
    with pytest.raises(TypeError) as info:
        velmora_core.run_em_loop(**args)
    message = str(info.value)
    assert message.startswith(f"argument '{name}': ") and reason in message
    before.pop(name, None)
    assert_untouched(before, args)


@pytest.mark.parametrize("name, value, message", [
    ("bg_type", 256, "out of range integral type conversion attempted"),
    ("bg_type", -1, "out of range integral type conversion attempted"),
    ("bg_type", 2**80, "out of range integral type conversion attempted"),
    ("max_iter", -1, "can't convert negative int to unsigned"),
    ("max_iter", 2**64, "int too big to convert"),
])
def test_out_of_range_integers_raise_overflow_error_without_prefix(small_fit, name, value,
                                                                   message):
    args = fresh(small_fit)
    with pytest.raises(OverflowError) as info:
        velmora_core.run_em_loop(**dict(args, **{name: value}))
    assert str(info.value) == message


def test_type_error_cause_is_kept_and_other_errors_pass_through(small_fit):
    with pytest.raises(TypeError) as info:
        velmora_core.run_em_loop(**dict(fresh(small_fit), r_eps=FloatRaises()))
    assert str(info.value) == "argument 'r_eps': cannot be a float"
    assert isinstance(info.value.__cause__, ValueError)
    with pytest.raises(ValueError, match="^not a TypeError$"):
        velmora_core.run_em_loop(**dict(fresh(small_fit), x_max=FloatValueError()))


@pytest.mark.parametrize("overrides", [
    dict(fix_mu=(True, False, False), fix_sigma=np.array([False, True, False])),
    dict(fix_mu=[np.bool_(True), False, np.False_]),
    dict(max_iter=np.int64(20), bg_type=Index(0)),
    dict(r_eps=fractions.Fraction(1, 10**12), x_min=np.float32(0), x_max=Index(10)),
    dict(spline_basis_preds=None),
])
def test_accepted_argument_forms(small_fit, overrides):
    args = fresh(small_fit)
    reference_args = fresh(small_fit)
    fix_mu = overrides.get("fix_mu", args["fix_mu"])
    fix_sigma = overrides.get("fix_sigma", args["fix_sigma"])
    reference_args.update(fix_mu=[bool(f) for f in fix_mu],
                          fix_sigma=[bool(f) for f in fix_sigma])
    got = velmora_core.run_em_loop(**dict(args, **overrides))
    want = velmora_core.run_em_loop(**reference_args)
    assert got[0] == want[0] and np.array_equal(got[1], want[1])
    assert np.array_equal(args["mu"], reference_args["mu"])


def test_strided_and_reversed_views_are_read_and_written_through(small_fit):
    plain = fresh(small_fit)
    result = velmora_core.run_em_loop(**plain)

    args = fresh(small_fit)
    x_store = np.zeros(2 * len(args["x"]))
    x_store[::2] = args["x"]
    mu_store = np.full(6, -1.0)
    mu_store[::2] = args["mu"][::-1]
    pi_store = np.full(9, -1.0)
    pi_store[::3] = args["pi"]
    args.update(x=x_store[::2], mu=mu_store[::2][::-1], pi=pi_store[::3])
    got = velmora_core.run_em_loop(**args)

    assert np.array_equal(got[1], result[1])
    assert np.array_equal(mu_store[::2][::-1], plain["mu"])
    assert np.array_equal(pi_store[::3], plain["pi"])
    assert np.all(mu_store[1::2] == -1.0) and np.all(pi_store[1::3] == -1.0)


def conflicting(args):
    buf = np.array([2.5, 5.5, 7.0, 1.0, 1.0])
    return {
        "mu and sigma": dict(sigma=args["mu"]),
        "x and mu": dict(mu=args["x"]),
        "pi and dirichlet_alpha": dict(dirichlet_alpha=args["pi"]),
        "overlapping views": dict(mu=buf[0:3], sigma=buf[2:5]),
        "interleaved views": dict(mu=buf[0:5:2], sigma=buf[1:4]),
    }


@pytest.mark.parametrize("case", ["mu and sigma", "x and mu", "pi and dirichlet_alpha",
                                  "overlapping views", "interleaved views"])
def test_arrays_in_conflicting_roles_raise_internal_error(small_fit, case):
    args = fresh(small_fit)
    args.update(conflicting(args)[case])
    before = snapshot(args)
    with pytest.raises(InternalError, match="already borrowed"):
        velmora_core.run_em_loop(**args)
    assert_untouched(before, args)
    velmora_core.run_em_loop(**fresh(small_fit))  # the failed call released its reservations


def test_read_only_arrays_may_be_shared_and_non_writeable(small_fit):
    args = fresh(small_fit)
    args["intensity"].flags.writeable = False
    velmora_core.run_em_loop(**args)
    same = fresh(small_fit)
    same["intensity"] = same["x"]  # one array in two read-only roles
    velmora_core.run_em_loop(**same)

    args = fresh(small_fit)
    args["pi"].flags.writeable = False
    before = snapshot(args)
    with pytest.raises(InternalError, match="not writeable"):
        velmora_core.run_em_loop(**args)
    assert_untouched(before, args)


def test_internal_error_is_a_base_exception_outside_the_module():
    assert issubclass(InternalError, BaseException)
    assert not issubclass(InternalError, Exception)
    assert InternalError not in vars(velmora_core).values()


@pytest.mark.parametrize("call, message", [
    (lambda f, a: f(*a.values(), 0, 0.0, None, 1), "takes from 12 to 15 positional arguments "
                                                   "but 16 were given"),
    (lambda f, a: f(a["x"]), "missing 11 required positional arguments"),
    (lambda f, a: f(*list(a.values())[:10], x_min=0.0), "missing 1 required positional "
                                                        "argument: 'x_max'"),
    (lambda f, a: f(*a.values(), colour=1), "got an unexpected keyword argument 'colour'"),
    (lambda f, a: f(*a.values(), x=a["x"]), "got multiple values for argument 'x'"),
])
def test_binding_errors_name_the_function(small_fit, call, message):
    with pytest.raises(TypeError) as info:
        call(velmora_core.run_em_loop, fresh(small_fit))
    assert str(info.value).startswith("run_em_loop() ") and message in str(info.value)


def test_keywords_and_positions_bind_alike(small_fit):
    a, b = fresh(small_fit), fresh(small_fit)
    by_position = velmora_core.run_em_loop(*a.values(), 0, 0.0, None)
    by_keyword = velmora_core.run_em_loop(**dict(reversed(list(b.items()))))
    assert np.array_equal(by_position[1], by_keyword[1])


def test_signature_and_module_contents():
    sig = inspect.signature(velmora_core.run_em_loop)
    assert str(sig) == ("(x, intensity, mu, sigma, pi, dirichlet_alpha, fix_mu, fix_sigma, "
                        "max_iter, r_eps, x_min, x_max, bg_type=0, s_tri=0.0, "
                        "spline_basis_preds=None)")
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert velmora_core.run_em_loop.__doc__ is None
    assert velmora_core.__doc__ == ""
    public = [k for k in vars(velmora_core) if not k.startswith("_")]
    assert public == velmora_core.__all__
    # The private attributes: three per-thread switches, the pool size, the velmora
    # package's engine, its registries of shapes and of terms that follow the peaks, and its
    # compiled ties.
    assert [k for k in vars(velmora_core) if k.startswith("_") and not k.startswith("__")] == [
        "_status_line", "_on_calling_thread", "_stop_check", "_pool_size", "_engine_model",
        "_engine_fit", "_engine_spectra", "_engine_starts", "_engine_report", "_engine_loglik",
        "_engine_parameters", "_engine_densities", "_shapes",
        "_shape_starts", "_follow_terms", "_follow_kernel", "_tie_operations", "_tie_evaluate"]
    assert all(isinstance(getattr(velmora_core, k), types.BuiltinFunctionType) for k in public)
    assert velmora_core.__all__[0] == "run_em_loop"


def test_result_tuple(small_fit):
    args = fresh(small_fit)
    n_iter, ll, rel, s_tri = velmora_core.run_em_loop(**args, s_tri=0.25)
    assert type(n_iter) is int and type(s_tri) is float and s_tri == 0.25
    for history in (ll, rel):
        assert history.dtype == np.float64 and history.shape == (n_iter + 1,)
        assert history.flags.c_contiguous and history.flags.writeable
    assert rel[0] == 0.0


def test_no_reference_leaks(small_fit):
    args = fresh(small_fit)
    args["max_iter"] = 2
    objects = [v for v in args.values() if not isinstance(v, (int, float))]

    def counts():
        return [sys.getrefcount(o) for o in objects]

    velmora_core.run_em_loop(**args)
    start = counts()
    for _ in range(300):
        _, ll, rel, _ = velmora_core.run_em_loop(**args)
        base_counts = (sys.getrefcount(ll.base), sys.getrefcount(rel.base))
    assert counts() == start
    assert base_counts == (2, 2)  # only the array and getrefcount's argument hold the base
    for _ in range(300):  # failing calls release everything too
        with pytest.raises(TypeError):
            velmora_core.run_em_loop(**dict(args, r_eps="x"))
    assert counts() == start


def test_reimport_gives_same_module_and_subinterpreter_is_refused():
    out = run_python("""
import sys, importlib, velmora_core
first = velmora_core
del sys.modules['velmora_core']
import velmora_core
print(first is velmora_core)
try:
    import _testcapi
except ImportError:
    print('no-subinterpreters')
else:
    code = ("try:\\n import velmora_core\\nexcept ImportError as e:\\n"
            " open(%r, 'w').write('ImportError')\\n")
    import tempfile, os
    path = tempfile.mktemp()
    _testcapi.run_in_subinterp(code % path)
    print(open(path).read())
""")
    lines = out.split()
    assert lines[0] == "True"
    if lines[1] != "no-subinterpreters":
        assert lines[1] == "ImportError"
