"""Property-based fuzzing of every entry point: Task(...), validate(), both
solver constructors and both solve methods, with arbitrary Python objects,
NumPy arrays of every element type and byte order, 0 to 3 dimensions, empty
and huge (broadcast) shapes, negative, zero and odd strides, subclasses,
read-only arrays and extreme values.

Each call must either succeed with a valid result or raise exactly the
exception that the module's contract gives for that input, computed here
independently (the `expect_*` oracles), and must leave the caller's arrays
as they were. The number of cases run is printed in the terminal summary.
"""

import collections
import decimal
import fractions
import math
import operator
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import allotra
from support import (
    BUDGET_NOT_POSITIVE,
    COST_SHAPE,
    DISCOUNT_RANGE,
    DISCOUNT_SHAPE,
    FAITHFUL_LAYOUTS,
    INT64_MAX,
    INT64_MIN,
    LAYOUTS,
    RESOURCE_SHAPE,
    UINT64_MAX,
    Ant,
    Failing,
    FloatLike,
    FloatSubclass,
    Index,
    IntSubclass,
    OddTypeError,
    Prob,
    Problem,
    Task,
    arrange,
    check_result,
    colony_weights_stay_finite,
    density,
    is_non_finite,
    is_panic,
    refusal,
    report,
)

# A batch this large cannot be addressed whatever the size of one result.
UNADDRESSABLE_BATCH = 2**60
# Arrays whose copy would need this many bytes or more cannot be allocated
# on any machine this runs on.
UNALLOCATABLE_BYTES = 2**42

FUZZ = settings(
    max_examples=300,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

# --- counting and reporting ----------------------------------------------------

CASES = collections.Counter()
OUTCOMES = collections.Counter()


@pytest.fixture(scope="module", autouse=True)
def _fuzz_report(request):
    yield
    for name, cases in sorted(CASES.items()):
        outcomes = sorted(((n, kind) for (case, kind), n in OUTCOMES.items() if case == name), reverse=True)
        detail = ", ".join(f"{kind} {n}" for n, kind in outcomes)
        report(request.config, "allotra fuzzing", f"{name}: {cases} cases ({detail})")
    report(request.config, "allotra fuzzing", f"total: {sum(CASES.values())} cases")


def count(case, outcome):
    CASES[case] += 1
    OUTCOMES[case, outcome] += 1


# --- objects of every kind -------------------------------------------------------


CAUSE = KeyError("the cause")


def refusing(kind):
    """Conversions that fail with `kind`, with a known cause."""
    return Failing(kind, cause=CAUSE)


NUMERIC_KINDS = [
    np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
    np.longlong, np.ulonglong, np.float16, np.float32, np.float64, np.longdouble,
    np.complex64, np.complex128, np.clongdouble,
]
OTHER_DTYPES = [
    np.dtype("M8[s]"), np.dtype("m8[ns]"), np.dtype("U2"), np.dtype("S3"), np.dtype(object),
    np.dtype("V8"), np.dtype([("a", "<i8")]), np.dtype([("a", "<f8")]),
    np.dtype([("a", "u1"), ("b", "<i8")]),
]


def _both_orders(kind):
    native = np.dtype(kind)
    if native.itemsize == 1:
        return [native]
    return [native, native.newbyteorder("S")]


ALL_DTYPES = [d for kind in NUMERIC_KINDS for d in _both_orders(kind)] + OTHER_DTYPES

int64_values = st.one_of(
    st.integers(-20, 50),
    st.sampled_from([INT64_MIN, INT64_MIN + 1, -1, 0, 1, 2**53 + 1, 2**62, INT64_MAX - 1, INT64_MAX]),
    st.integers(INT64_MIN, INT64_MAX),
)
omega_values = st.one_of(
    st.floats(0.0, 1.0),
    st.sampled_from([0.0, -0.0, 1.0, 0.5, math.nan, 5e-324]),
    st.sampled_from([-5e-324, -1e-300, 1.0000000001, 2.0, math.inf, -math.inf, -1.0, 1.7976931348623157e308]),
)
in_range_omega = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, -0.0, 1.0, math.nan]))


def zeros_of(dtype, shape):
    if dtype == np.dtype(object):
        a = np.empty(shape, dtype=object)
        a[...] = 0
        return a
    return np.zeros(shape, dtype=dtype)


small_shapes = st.lists(st.integers(0, 4), min_size=0, max_size=3).map(tuple)


@st.composite
def huge_views(draw, dtype=None):
    """A read-only broadcast view of 2**39 to 2**56 elements, whose copy
    (8 bytes an element) could never be allocated."""
    dtype = dtype if dtype is not None else draw(st.sampled_from(ALL_DTYPES))
    ndim = draw(st.integers(1, 3))
    bits = draw(st.integers(39, 56))
    cuts = sorted(draw(st.lists(st.integers(0, bits), min_size=ndim - 1, max_size=ndim - 1)))
    exponents = [high - low for low, high in zip([0] + cuts, cuts + [bits])]
    return np.broadcast_to(zeros_of(dtype, (1,) * ndim), tuple(2**e for e in exponents))


@st.composite
def numpy_scalars(draw):
    dtype = draw(st.sampled_from([d for d in ALL_DTYPES if d.isnative]))
    value = draw(st.sampled_from([0, 1, 3]))
    if dtype.kind in "biufc":
        return np.array(value).astype(dtype)[()]
    return zeros_of(dtype, ())[()]


@st.composite
def arbitrary_arrays(draw):
    dtype = draw(st.sampled_from(ALL_DTYPES))
    shape = draw(small_shapes)
    a = zeros_of(dtype, shape)
    if draw(st.booleans()) and a.ndim >= 2:
        a = a.T
    return a


anything = st.one_of(
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, 2, 7, -1, 2**63, 2**64 - 1, 2**64, -(2**63) - 1, True, False]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(max_magnitude=10),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.none(),
    st.lists(st.integers(-3, 3), max_size=3),
    st.lists(st.lists(st.integers(-3, 3), min_size=2, max_size=2), min_size=2, max_size=2),
    st.tuples(st.integers(0, 3), st.integers(0, 3)),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
    st.builds(Index, st.one_of(st.integers(-(2**65), 2**65), st.floats(), st.none(), st.text(max_size=2))),
    st.builds(FloatLike, st.one_of(st.floats(), st.integers(-5, 5), st.none())),
    st.builds(refusing, st.sampled_from([TypeError, OddTypeError, ValueError, ZeroDivisionError, RuntimeError])),
    st.builds(IntSubclass, st.integers(-(2**65), 2**65)),
    st.builds(FloatSubclass, st.floats()),
    st.builds(decimal.Decimal, st.integers(-5, 5)),
    st.builds(fractions.Fraction, st.integers(-5, 5), st.integers(1, 5)),
    numpy_scalars(),
    arbitrary_arrays(),
    st.just(object()),
    st.just(np.int64),
    st.just(allotra),
)


# --- oracles ---------------------------------------------------------------------


class Expect:
    """The expected outcome of one conversion or call: a value, or an
    exception type with its exact message (or only its prefix)."""

    def __init__(self, value=None, error=None, message=None, prefix=None, cause=None, either=None):
        self.value = value
        self.error = error
        self.message = message
        self.prefix = prefix
        self.cause = cause
        self.either = either  # an alternative Expect that is also acceptable

    @property
    def ok(self):
        return self.error is None

    def describe(self):
        return "ok" if self.ok else self.error.__name__


def argument_error(name, raised):
    """How a failed conversion reaches the caller: a TypeError (exactly) is
    rewritten as "argument '<name>': <message>", keeping only its cause; any
    other exception passes unchanged."""
    if type(raised) is TypeError:
        return Expect(error=TypeError, message=f"argument '{name}': {raised}", cause=raised.__cause__)
    return Expect(error=type(raised), message=str(raised))


def conversion_error(name, obj, target):
    return Expect(error=TypeError, message=refusal(name, type(obj).__qualname__, target), cause=None)


def expect_integer(name, obj, low, high):
    """An int (or subclass) directly, anything else through __index__; a
    value outside [low, high] is an OverflowError, passed on unchanged."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            value = operator.index(obj)
        except Exception as raised:  # noqa: BLE001 - the oracle mirrors any failure
            return argument_error(name, raised)
    if not low <= value <= high:
        return Expect(error=OverflowError)
    return Expect(value=value)


def has_float_slot(kind):
    """Whether the interpreter's float conversion finds a __float__ for the
    type. It reads the type's C slot, which str and bytes leave empty and
    pass on to their subclasses: np.str_ and np.bytes_ have none, though
    their other base np.generic defines __float__, unless a class ahead of
    str or bytes in the MRO defines its own."""
    for klass in kind.__mro__:
        if klass in (str, bytes):
            return False
        if "__float__" in vars(klass):
            return True
    return False


def expect_float(name, obj):
    """The interpreter's conversion to a double: a float (or subclass) is
    read directly; else __float__; else __index__ then int to float; anything
    else (str and bytes among them, never parsed) a TypeError."""
    if isinstance(obj, float):
        return Expect(value=float.__float__(obj))
    kind = type(obj)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            if has_float_slot(kind):
                value = float(obj)
            elif getattr(kind, "__index__", None) is not None:
                value = float(operator.index(obj))
            else:
                return Expect(error=TypeError, prefix=f"argument '{name}': must be real number, not ")
        except Exception as raised:  # noqa: BLE001
            return argument_error(name, raised)
    return Expect(value=value)


def expect_array(name, obj, dtype):
    """A 2-D ndarray (or subclass) of the exact element type in native byte
    order, copied as NumPy shows it; everything else the conversion error.
    Byte strides that are not whole elements (on an axis longer than 1) may
    be refused the same way or copied correctly."""
    refused = conversion_error(name, obj, "PyArray<T, D>")
    if not isinstance(obj, np.ndarray) or obj.ndim != 2 or obj.dtype != dtype:
        return refused
    if obj.size * 8 >= UNALLOCATABLE_BYTES:
        return Expect(error=MemoryError)
    accepted = Expect(value=np.array(np.asarray(obj), dtype=dtype))
    odd = any(length > 1 and stride % 8 for length, stride in zip(obj.shape, obj.strides))
    if odd:
        accepted.either = refused
    return accepted


def expect_task(args):
    """Conversion in parameter order (the first failure wins), then the five
    checks in their order. An odd-strided array that may be refused makes
    its refusal an acceptable outcome of everything after it."""
    alternative = None

    def outcome(expect):
        if alternative is not None:
            expect.either = alternative
        return expect

    converted = {}
    for name in ("m", "n", "c", "b_ij", "b_total", "omega"):
        obj = args[name]
        if name in ("m", "n"):
            e = expect_integer(name, obj, 0, UINT64_MAX)
        elif name == "b_total":
            e = expect_integer(name, obj, INT64_MIN, INT64_MAX)
        else:
            e = expect_array(name, obj, np.dtype(np.float64 if name == "omega" else np.int64))
        if not e.ok:
            return outcome(e)
        if e.either is not None and alternative is None:
            alternative = e.either
        converted[name] = e
    c = converted
    return outcome(_validated(c["m"], c["n"], c["c"], c["b_ij"], c["b_total"], c["omega"]))


def _validated(m, n, c, b, b_total, omega):
    shape = (m.value, n.value)
    if c.value.shape != shape:
        return Expect(error=ValueError, message=COST_SHAPE)
    if b.value.shape != shape:
        return Expect(error=ValueError, message=RESOURCE_SHAPE)
    if omega.value.shape != shape:
        return Expect(error=ValueError, message=DISCOUNT_SHAPE)
    w = omega.value
    with np.errstate(invalid="ignore"):
        if ((w < 0.0) | (w > 1.0)).any():
            return Expect(error=ValueError, message=DISCOUNT_RANGE)
    if b_total.value <= 0:
        return Expect(error=ValueError, message=BUDGET_NOT_POSITIVE)
    return Expect(value=(c.value, b.value, b_total.value, w))


def outcome_matches(expect, error):
    """Whether a raised exception (or None) is what `expect` allows."""
    if error is None:
        return expect.ok
    if expect.ok:
        return False
    if type(error) is not expect.error:
        return False
    text = str(error)
    if expect.message is not None and text != expect.message:
        return False
    if expect.prefix is not None and not text.startswith(expect.prefix):
        return False
    if expect.error is TypeError and expect.message is not None and error.__cause__ is not expect.cause:
        return False
    return True


def call_and_check(expect, call):
    """Runs `call` under strict warnings and checks it against `expect`
    (or its alternative); returns (result, raised)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            result = call()
        except BaseException as raised:  # noqa: BLE001 - PanicException is a BaseException
            if isinstance(raised, (KeyboardInterrupt, SystemExit)):
                raise
            allowed = outcome_matches(expect, raised) or (
                expect.either is not None and outcome_matches(expect.either, raised)
            )
            assert allowed, f"raised {type(raised).__name__}: {raised!r}, expected {_describe(expect)}"
            return None, raised
    allowed = expect.ok or (expect.either is not None and expect.either.ok)
    assert allowed, f"succeeded, expected {_describe(expect)}"
    return result, None


def _describe(expect):
    text = f"{expect.describe()} {expect.message or expect.prefix or ''}"
    if expect.either is not None:
        text += f" or {_describe(expect.either)}"
    return text


def snapshot(objects):
    """Bytes of every ndarray among `objects` and of the arrays they view."""
    taken = []
    for obj in objects:
        seen = obj
        while isinstance(seen, np.ndarray):
            if seen.nbytes <= 1 << 20 and seen.dtype != np.dtype(object):
                taken.append((seen, seen.tobytes(order="A"), seen.strides, seen.flags.writeable))
            seen = seen.base
    return taken


def assert_unchanged(taken):
    for array, data, strides, writeable in taken:
        assert array.tobytes(order="A") == data
        assert array.strides == strides
        assert array.flags.writeable == writeable


def int_matrices(m, n):
    return hnp.arrays(np.int64, (m, n), elements=int64_values)


@st.composite
def wrong_arrays(draw, dtype, m, n):
    """Arrays that are refused, or accepted but of the wrong shape."""
    kind = draw(st.sampled_from(["dtype", "byteorder", "ndim", "shape", "huge", "huge_right_dtype", "other"]))
    if kind == "dtype":
        other = draw(st.sampled_from([d for d in ALL_DTYPES if d != dtype]))
        return zeros_of(other, (m, n))
    if kind == "byteorder":
        return np.zeros((m, n), dtype=dtype.newbyteorder("S"))
    if kind == "ndim":
        shape = draw(small_shapes.filter(lambda s: len(s) != 2))
        return np.zeros(shape, dtype=dtype)
    if kind == "shape":
        shape = draw(st.tuples(st.integers(0, 5), st.integers(0, 5)).filter(lambda s: s != (m, n)))
        return arrange(np.zeros(shape, dtype=dtype), draw(st.sampled_from(LAYOUTS)))
    if kind == "huge":
        return draw(huge_views())
    if kind == "huge_right_dtype":
        return draw(huge_views(dtype))
    return draw(anything)


@st.composite
def task_calls(draw):
    """Six arguments for Task: half of the time a valid task in some memory
    layout, otherwise with one to three arguments replaced by wrong or
    arbitrary ones (or discounts out of range)."""
    m = draw(st.integers(0, 4))
    n = draw(st.integers(0, 4))
    c = draw(int_matrices(m, n))
    b = draw(hnp.arrays(np.int64, (m, n), elements=st.one_of(st.integers(-3, 10), int64_values)))
    omega = draw(hnp.arrays(np.float64, (m, n), elements=in_range_omega))
    if m * n and draw(st.integers(0, 5)) == 0:
        omega.flat[draw(st.integers(0, m * n - 1))] = draw(omega_values)
    args = {
        "m": m,
        "n": n,
        "c": arrange(c, draw(st.sampled_from(LAYOUTS))),
        "b_ij": arrange(b, draw(st.sampled_from(LAYOUTS))),
        "b_total": draw(st.one_of(st.integers(1, 30), st.integers(1, INT64_MAX), st.just(INT64_MAX))),
        "omega": arrange(omega, draw(st.sampled_from(LAYOUTS))),
    }
    if draw(st.booleans()):
        return args
    size = draw(st.sampled_from([1, 1, 1, 2, 3]))
    for name in draw(st.sets(st.sampled_from(list(args)), min_size=size, max_size=size)):
        if name in ("m", "n"):
            args[name] = draw(st.one_of(
                st.integers(0, 6), st.just(args[name] + 1),
                st.builds(Index, st.just(args[name])), st.just(np.uint8(args[name])),
                st.just(args[name] == 1), st.sampled_from([-1, 2**64, 2**64 - 1, float(args[name])]),
                anything,
            ))
        elif name == "b_total":
            args[name] = draw(st.one_of(
                st.sampled_from([0, -1, INT64_MIN, 2**63, -(2**63) - 1, np.int64(5), np.uint64(2**63)]),
                st.builds(Index, st.integers(-(2**64), 2**64)), anything,
            ))
        else:
            dtype = np.dtype(np.float64 if name == "omega" else np.int64)
            args[name] = draw(wrong_arrays(dtype, m, n))
    return args


def call_task(args, style):
    names = ["m", "n", "c", "b_ij", "b_total", "omega"]
    if style == "positional":
        return lambda: Task(*(args[k] for k in names))
    if style == "keywords":
        return lambda: Task(**{k: args[k] for k in reversed(names)})
    return lambda: Task(args["m"], args["n"], args["c"], omega=args["omega"], b_total=args["b_total"],
                        b_ij=args["b_ij"])


# --- solving --------------------------------------------------------------------------


def affordable(kind, converted):
    """Whether solving with these parameters ends promptly: few enough
    constructions, or a batch so large that it fails at once."""
    kmax = converted["kmax"]
    if kind == "prob":
        return kmax <= 100 or kmax >= UNADDRESSABLE_BATCH
    num_ants = converted["num_ants"]
    if kmax == 0 or num_ants >= UNADDRESSABLE_BATCH:
        return True
    return kmax <= 100 and num_ants <= 100 and num_ants * kmax <= 2000


def solve_and_check(solver_kind, params, p):
    """Solves p.task with converted parameters and checks the outcome."""
    task = p.task
    if solver_kind == "prob":
        kmax = params["kmax"]
        solver = Prob(kmax=kmax)
        if kmax >= UNADDRESSABLE_BATCH:
            with pytest.raises(BaseException) as caught:
                solver.solve(task)
            assert is_panic(caught.value) and str(caught.value) == "capacity overflow", repr(caught.value)
            return "panic"
        assert affordable("prob", params)
        result = solver.solve(task)
        check_result(p, result, density(p.c, p.b, p.omega))
        if kmax == 0:
            assert not result[0].any() and result[1] == 0.0
        return "solved"

    solver = Ant(**params)
    num_ants, kmax = params["num_ants"], params["kmax"]
    if kmax >= 1 and num_ants >= UNADDRESSABLE_BATCH:
        with pytest.raises(BaseException) as caught:
            solver.solve(task)
        assert is_panic(caught.value) and str(caught.value) == "capacity overflow", repr(caught.value)
        return "panic"
    assert affordable("ant", params)
    tame = colony_weights_stay_finite(p, num_ants, kmax, params["alpha"], params["beta"], params["rho"],
                                      params["initial_pheromone"])
    try:
        result = solver.solve(task)
    except BaseException as error:  # noqa: BLE001
        if isinstance(error, KeyboardInterrupt):
            raise
        assert not tame, f"{error!r} with weights that stay finite"
        assert is_non_finite(error), repr(error)
        return "panic"
    check_result(p, result)
    if kmax == 0 or num_ants == 0:
        assert not result[0].any() and result[1] == 0.0
    return "solved"


DEFAULTS = {"num_ants": 20, "kmax": 100, "alpha": 1.0, "beta": 2.0, "rho": 0.1, "initial_pheromone": 1.0}


# --- the tests -------------------------------------------------------------------------


@settings(FUZZ, max_examples=800)
@given(args=task_calls(), style=st.sampled_from(["positional", "keywords", "mixed"]))
def test_task_constructor(args, style):
    expect = expect_task(args)
    taken = snapshot(args.values())
    task, error = call_and_check(expect, call_task(args, style))
    assert_unchanged(taken)
    if error is not None:
        count("Task", type(error).__name__)
        return
    assert type(task) is Task
    assert task.validate() is True
    p = Problem.of(task, args["c"], args["b_ij"], expect.value[2], args["omega"])
    # Changing the caller's arrays now must not reach the Task.
    for name in ("c", "b_ij", "omega"):
        if isinstance(args[name], np.ndarray) and args[name].flags.writeable and args[name].size:
            args[name][...] = 0
    solve_and_check("prob", {"kmax": 3}, p)
    outcome = solve_and_check("ant", dict(DEFAULTS, num_ants=3, kmax=2), p)
    count("Task", f"Task ok, ant colony {outcome}")


@st.composite
def small_valid_tasks(draw):
    m = draw(st.integers(0, 4))
    n = draw(st.integers(0, 4))
    c = draw(hnp.arrays(np.int64, (m, n), elements=st.one_of(st.integers(-20, 60), int64_values)))
    b = draw(hnp.arrays(np.int64, (m, n), elements=st.one_of(st.integers(-3, 10), int64_values)))
    omega = draw(hnp.arrays(np.float64, (m, n), elements=in_range_omega))
    b_total = draw(st.one_of(st.integers(1, 30), st.integers(1, INT64_MAX)))
    c, b, omega = (arrange(a, draw(st.sampled_from(FAITHFUL_LAYOUTS))) for a in (c, b, omega))
    return Problem.of(Task(m, n, c, b, b_total, omega), c, b, b_total, omega)


count_values = st.one_of(
    st.integers(0, 4),
    st.integers(0, 4),
    st.builds(Index, st.integers(0, 4)),
    st.builds(np.uint64, st.integers(0, 4)),
    st.just(True),
    st.sampled_from([UINT64_MAX, 2**63, UNADDRESSABLE_BATCH, 2**40, -1, 2**64, -(2**64)]),
)
rate_values = st.one_of(
    st.floats(-1.0, 4.0),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 1e-300, 1e300, math.inf, -math.inf, math.nan]),
    st.integers(-3, 3),
    st.builds(FloatLike, st.floats()),
    st.builds(np.float32, st.floats(-2.0, 2.0, width=32)),
    st.builds(FloatSubclass, st.floats()),
    st.just(2**1024),
)


@st.composite
def solver_calls(draw):
    kind = draw(st.sampled_from(["prob", "ant"]))
    names = ["kmax"] if kind == "prob" else list(DEFAULTS)
    given_params = {}
    for name in names:
        choice = draw(st.integers(0, 9))
        if choice < 3:
            continue  # left out: the default applies
        if choice == 3:
            given_params[name] = draw(anything)
        else:
            given_params[name] = draw(count_values if name in ("num_ants", "kmax") else rate_values)
    positional = draw(st.integers(0, len(names)))
    # Only a prefix of parameters, all given, can go by position.
    while positional and not all(n in given_params for n in names[:positional]):
        positional -= 1
    return kind, names, given_params, positional


def expect_solver(names, given_params):
    converted = {}
    for name in names:
        if name not in given_params:
            converted[name] = DEFAULTS[name]
            continue
        obj = given_params[name]
        if name in ("num_ants", "kmax"):
            e = expect_integer(name, obj, 0, UINT64_MAX)
        else:
            e = expect_float(name, obj)
        if not e.ok:
            return e, None
        converted[name] = e.value
    return Expect(value=converted), converted


@settings(FUZZ, max_examples=500)
@given(call=solver_calls(), p=small_valid_tasks())
def test_solver_constructors_and_solve(call, p):
    kind, names, given_params, positional = call
    cls = Prob if kind == "prob" else Ant
    expect, converted = expect_solver(names, given_params)
    args = [given_params[n] for n in names[:positional]]
    kwargs = {n: given_params[n] for n in names[positional:] if n in given_params}
    taken = snapshot(given_params.values())
    solver, error = call_and_check(expect, lambda: cls(*args, **kwargs))
    assert_unchanged(taken)
    if error is not None:
        count(f"{cls.__name__}()", type(error).__name__)
        return
    assert type(solver) is cls
    if not affordable(kind, converted):
        count(f"{cls.__name__}()", "constructed, too long to solve")
        return
    outcome = solve_and_check(kind, converted, p)
    count(f"{cls.__name__}()", f"solve {outcome}")


@st.composite
def ant_colony_parameters(draw):
    wild = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                     st.sampled_from([-1.0, -2.0, 0.0, 1e300, -0.5, 3.0, 50.0]))
    return {
        "num_ants": draw(st.integers(0, 4)),
        "kmax": draw(st.integers(0, 4)),
        "alpha": draw(st.one_of(st.floats(0.0, 4.0), wild)),
        "beta": draw(st.one_of(st.floats(0.0, 4.0), wild)),
        "rho": draw(st.one_of(st.floats(-2.0, 4.0), wild)),
        "initial_pheromone": draw(st.one_of(st.floats(0.0, 1e3), wild)),
    }


@FUZZ
@given(params=ant_colony_parameters(), p=small_valid_tasks())
def test_ant_colony_weights(params, p):
    """PanicException (NonFinite) only where a weight can become infinite."""
    outcome = solve_and_check("ant", params, p)
    count("AntColonyAssignmentSolver.solve", f"solve {outcome}")


@FUZZ
@given(
    obj=st.one_of(anything, st.sampled_from([Prob(), Ant()])),
    kind=st.sampled_from(["prob", "ant"]),
    style=st.sampled_from(["positional", "keyword"]),
)
def test_solve_refuses_what_is_not_a_task(obj, kind, style):
    solver = Prob(kmax=1) if kind == "prob" else Ant(num_ants=1, kmax=1)
    expect = conversion_error("task", obj, "Task")
    taken = snapshot([obj])
    if style == "positional":
        call_and_check(expect, lambda: solver.solve(obj))
    else:
        call_and_check(expect, lambda: solver.solve(task=obj))
    assert_unchanged(taken)
    count("solve(task=...)", "TypeError")


SIGNATURES = {
    "Task": ("Task.__new__()", ["m", "n", "c", "b_ij", "b_total", "omega"], 6),
    "prob": ("ProbabilisticAssignmentSolver.__new__()", ["kmax"], 0),
    "ant": ("AntColonyAssignmentSolver.__new__()", list(DEFAULTS), 0),
    "prob.solve": ("ProbabilisticAssignmentSolver.solve()", ["task"], 1),
    "ant.solve": ("AntColonyAssignmentSolver.solve()", ["task"], 1),
}


def matching_error(function, parameters, required, positional, keywords):
    """The argument-matching message for a call, or None if it matches."""
    total = len(parameters)
    k = positional
    if k > total:
        verb = "was" if k == 1 else "were"
        if required == total:
            return f"{function} takes {total} positional arguments but {k} {verb} given"
        return f"{function} takes from {required} to {total} positional arguments but {k} {verb} given"
    for name in keywords:
        if name in parameters[:k]:
            return f"{function} got multiple values for argument '{name}'"
    for name in keywords:
        if name not in parameters:
            return f"{function} got an unexpected keyword argument '{name}'"
    missing = [p for p in parameters[:required] if p not in parameters[:k] and p not in keywords]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            names = quoted[0]
        else:
            names = (", " if len(quoted) > 2 else " ").join(quoted[:-1]) + (
                ", and " if len(quoted) > 2 else " and ") + quoted[-1]
        word = "argument" if len(missing) == 1 else "arguments"
        return f"{function} missing {len(missing)} required positional {word}: {names}"
    return None


keyword_names = st.one_of(
    st.sampled_from(["m", "n", "c", "b_ij", "b_total", "omega", "task", "kmax", "num_ants", "alpha", "beta",
                     "rho", "initial_pheromone", "self", "KMAX"]),
    # Lone surrogates and NUL are left to test_keyword_names_that_c_strings_cannot_carry.
    st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\x00"), min_size=1, max_size=4),
)


@FUZZ
@given(
    which=st.sampled_from(list(SIGNATURES)),
    positional=st.integers(0, 8),
    keywords=st.lists(keyword_names, max_size=4, unique=True),
)
def test_argument_matching(which, positional, keywords):
    function, parameters, required = SIGNATURES[which]
    expected = matching_error(function, parameters, required, positional, keywords)
    # Values that convert nowhere, so that a call that matches fails in a
    # conversion instead (and never runs a solver).
    values = [object()] * positional
    named = {name: object() for name in keywords}
    if which == "Task":
        call = lambda: Task(*values, **named)  # noqa: E731
    elif which in ("prob", "ant"):
        call = lambda: (Prob if which == "prob" else Ant)(*values, **named)  # noqa: E731
    else:
        solver = Prob(kmax=0) if which == "prob.solve" else Ant(kmax=0)
        call = lambda: solver.solve(*values, **named)  # noqa: E731
    if expected is None and not (values or named):
        # Nothing given to a constructor without required parameters.
        assert type(call()) in (Prob, Ant)
        count("argument matching", "constructed")
        return
    with pytest.raises(TypeError) as caught:
        call()
    if expected is not None:
        assert str(caught.value) == expected
    else:
        assert str(caught.value).startswith("argument '"), str(caught.value)
    count("argument matching", "TypeError")


@FUZZ
@given(positional=st.lists(anything, max_size=3), keywords=st.dictionaries(keyword_names, anything, max_size=2))
def test_validate_takes_no_arguments(positional, keywords):
    assume(positional or keywords)
    task = Task(1, 1, np.ones((1, 1), np.int64), np.ones((1, 1), np.int64), 1, np.zeros((1, 1)))
    with pytest.raises(TypeError):
        task.validate(*positional, **keywords)
    assert task.validate() is True
    count("validate(...)", "TypeError")


@pytest.mark.parametrize("name", ["a\x00b", "\ud800"], ids=["nul", "lone-surrogate"])
@pytest.mark.parametrize("which", ["Task", "prob", "prob.solve"])
def test_keyword_names_that_c_strings_cannot_carry(which, name):
    function, parameters, required = SIGNATURES[which]
    target = {"Task": Task, "prob": Prob, "prob.solve": Prob(kmax=0).solve}[which]
    with pytest.raises(TypeError) as caught:
        target(**{name: 1})
    assert str(caught.value) == f"{function} got an unexpected keyword argument '{name}'"
