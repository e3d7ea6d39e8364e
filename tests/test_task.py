"""Task construction: argument conversion, accepted and refused arrays, copies, validation."""

import numpy as np
import pytest

import allotra
from support import (
    AMPLE_BUDGET,
    BUDGET_NOT_POSITIVE,
    COST_SHAPE,
    DISCOUNT_RANGE,
    DISCOUNT_SHAPE,
    FAITHFUL_LAYOUTS,
    RESOURCE_SHAPE,
    Failing,
    Index,
    OddTypeError,
    Prob,
    arrange,
    make_task,
    refusal,
    task_arrays,
)

# An irregular 3 x 4 grid: a transposed, mirrored or shifted reading changes the result.
C = np.array([[5, -2, 7, 1], [-3, 4, 0, 9], [2, 8, -6, 3]], dtype=np.int64)
B = np.array([[1, 1, 0, 2], [1, 0, 1, 1], [3, 1, 1, 1]], dtype=np.int64)
W = np.array([[0.0, 0.5, 0.0, 1.0], [0.0, 0.0, 0.5, 0.0], [1.0, 0.0, 0.0, 0.5]])


class Outer:
    class Inner(np.ndarray):
        pass


def take_all(task):
    """One probabilistic construction: when every cell of positive weight
    fits into the budget together, it takes all of them whatever it draws,
    so the result shows the Task's values."""
    return Prob(kmax=1).solve(task)


def expected_take_all(c, b_ij, omega):
    """(x, value) that take_all returns when no b_ij is negative and the budget is ample."""
    c, b_ij, omega = np.asarray(c), np.asarray(b_ij), np.asarray(omega)
    x = ((c > 0) & (b_ij > 0) & (omega < 1.0)).astype(np.int64)
    value = float(np.sum(np.where(x == 1, c * (1.0 - omega), 0.0)))
    if value <= 0.0:
        return np.zeros_like(x), 0.0
    return x, value


def layouts(*names):
    return pytest.mark.parametrize("layout", names)


@layouts(*FAITHFUL_LAYOUTS)
def test_arrays_are_read_as_numpy_shows_them(layout):
    c, b_ij, omega = arrange(C, layout), arrange(B, layout), arrange(W, layout)
    x, value = take_all(allotra.Task(3, 4, c, b_ij, AMPLE_BUDGET, omega))
    want_x, want_value = expected_take_all(C, B, W)
    np.testing.assert_array_equal(x, want_x)
    assert value == want_value


@pytest.mark.parametrize(
    "c, b_ij, omega",
    [
        pytest.param(
            np.broadcast_to(np.array([3, -1, 4, 2], dtype=np.int64), (3, 4)),
            np.broadcast_to(np.array([[1], [0], [2]], dtype=np.int64), (3, 4)),
            np.broadcast_to(np.float64(0.25), (3, 4)),
            id="broadcast-zero-strides",
        ),
        pytest.param(
            np.lib.stride_tricks.sliding_window_view(np.array([5, -2, 3, -4, 6, 1], dtype=np.int64), 4),
            B,
            W,
            id="overlapping-rows",
        ),
        pytest.param(
            np.array([[7, -1, 2, 9, -5, 4, 1, 3]], dtype=np.int64)[:, ::2],
            np.ones((8, 1), dtype=np.int64)[::2].T,
            np.zeros((1, 4)),
            id="single-row-views",
        ),
        # long long is a NumPy type distinct from int64 on some platforms, but equivalent to it.
        pytest.param(C.astype(np.longlong), B.astype(np.longlong), W, id="long-long"),
    ],
)
def test_unusual_views_are_copied_element_for_element(c, b_ij, omega):
    m, n = c.shape
    x, value = take_all(allotra.Task(m, n, c, b_ij, AMPLE_BUDGET, omega))
    want_x, want_value = expected_take_all(c, b_ij, omega)
    np.testing.assert_array_equal(x, want_x)
    assert value == want_value


@pytest.mark.parametrize("m, n", [(0, 3), (4, 0), (0, 0)])
@layouts("C", "F", "both_reversed")
def test_empty_grid(m, n, layout):
    c, b_ij, omega = (arrange(a, layout) for a in task_arrays(m, n))
    task = allotra.Task(m, n, c, b_ij, 1, omega)
    assert task.validate() is True
    x, value = take_all(task)
    assert type(x) is np.ndarray and x.dtype == np.int64 and x.shape == (m, n)
    assert type(value) is float and value == 0.0


PACKED = np.zeros((2, 3), dtype=np.dtype([("flag", "u1"), ("v", "=i8")]))
PACKED_FLOAT = np.zeros((2, 3), dtype=np.dtype([("flag", "u1"), ("v", "=f8")]))


@pytest.mark.parametrize(
    "name, value, type_name",
    [
        ("c", np.ones((2, 3), dtype=np.int32), "ndarray"),
        ("c", np.ones((2, 3), dtype=np.float64), "ndarray"),
        ("c", np.ones((2, 3), dtype=bool), "ndarray"),
        ("c", np.ones((2, 3), dtype=">i8" if np.little_endian else "<i8"), "ndarray"),
        ("c", np.ones(6, dtype=np.int64), "ndarray"),
        ("c", np.ones((2, 3, 1), dtype=np.int64), "ndarray"),
        ("c", np.array(1, dtype=np.int64), "ndarray"),
        ("c", np.int64(1), "int64"),
        ("c", [[1, 2, 3], [4, 5, 6]], "list"),
        ("c", PACKED["v"], "ndarray"),
        ("c", np.ones((2, 3), dtype=np.int32).view(Outer.Inner), "Outer.Inner"),
        ("b_ij", np.ones((2, 3), dtype=np.int32), "ndarray"),
        ("b_ij", None, "NoneType"),
        ("omega", np.zeros((2, 3), dtype=np.int64), "ndarray"),
        ("omega", np.zeros((2, 3), dtype=np.float32), "ndarray"),
        ("omega", np.zeros((2, 3), dtype=">f8" if np.little_endian else "<f8"), "ndarray"),
        ("omega", PACKED_FLOAT["v"], "ndarray"),
        ("omega", [[0.0] * 3] * 2, "list"),
    ],
)
def test_unacceptable_arrays_are_refused(name, value, type_name):
    arguments = dict(zip(("c", "b_ij", "omega"), task_arrays(2, 3)))
    arguments[name] = value
    with pytest.raises(TypeError) as caught:
        allotra.Task(2, 3, arguments["c"], arguments["b_ij"], 5, arguments["omega"])
    assert type(caught.value) is TypeError
    assert str(caught.value) == refusal(name, type_name)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("name", ["c", "b_ij", "omega"])
def test_masked_entries_are_refused_and_unmasked_arrays_read_as_their_data(name):
    grid = {"c": C, "b_ij": B, "omega": W}
    arrays = dict(grid)
    arrays[name] = np.ma.masked_array(grid[name], mask=np.eye(3, 4, dtype=bool))
    with pytest.raises(TypeError) as caught:
        allotra.Task(3, 4, b_total=AMPLE_BUDGET, **arrays)
    assert type(caught.value) is TypeError
    assert str(caught.value) == (
        f"argument '{name}': 'MaskedArray' object with masked entries cannot be converted to "
        f"'PyArray<T, D>'; fill them first, e.g. with {name}.filled(value)"
    )
    for unmasked in (np.ma.masked_array(grid[name]), np.ma.masked_array(grid[name], mask=np.zeros((3, 4), bool))):
        arrays[name] = unmasked
        x, value = take_all(allotra.Task(3, 4, b_total=AMPLE_BUDGET, **arrays))
        expected_x, expected_value = expected_take_all(C, B, W)
        assert np.array_equal(x, expected_x) and value == expected_value


@pytest.mark.parametrize(
    "m, n, b_total",
    [
        (True, 1, 1),
        (np.int64(1), np.uint8(1), np.int64(1)),
        (Index(1), Index(1), Index(1)),
        (1, 1, True),
        (1, 1, 2**63 - 1),
    ],
)
def test_integer_arguments_accept_integers_and_index_objects(m, n, b_total):
    task = make_task(m, n, b_total=b_total)
    np.testing.assert_array_equal(take_all(task)[0], [[1]])


@pytest.mark.parametrize(
    "arguments, name",
    [
        ((2.0, 3, 5), "m"),
        (("2", 3, 5), "m"),
        ((None, 3, 5), "m"),
        ((np.float64(2.0), 3, 5), "m"),
        ((2, 3.0, 5), "n"),
        ((2, [3], 5), "n"),
        ((2, 3, 5.0), "b_total"),
        ((2, 3, "5"), "b_total"),
        ((2, 3, None), "b_total"),
    ],
)
def test_non_integer_sizes_and_budget_are_argument_errors(arguments, name):
    m, n, b_total = arguments
    c, b_ij, omega = task_arrays(2, 3)
    with pytest.raises(TypeError) as caught:
        allotra.Task(m, n, c, b_ij, b_total, omega)
    assert type(caught.value) is TypeError
    assert str(caught.value).startswith(f"argument '{name}': ")
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(
    "m, n, b_total",
    [(-1, 3, 5), (2**64, 3, 5), (2, -1, 5), (2, 3, 2**63), (2, 3, -(2**63) - 1)],
)
def test_out_of_range_integers_raise_overflow_error_unchanged(m, n, b_total):
    c, b_ij, omega = task_arrays(2, 3)
    with pytest.raises(OverflowError) as caught:
        allotra.Task(m, n, c, b_ij, b_total, omega)
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


def test_type_error_subclass_from_conversion_passes_unchanged():
    c, b_ij, omega = task_arrays(2, 3)
    with pytest.raises(OddTypeError, match="^odd$"):
        allotra.Task(Failing(OddTypeError, "odd"), 3, c, b_ij, 5, omega)


def test_argument_error_keeps_the_conversions_cause_only():
    root = ValueError("root")
    c, b_ij, omega = task_arrays(2, 3)
    with pytest.raises(TypeError) as caught:
        allotra.Task(2, Failing(TypeError, "bad size", cause=root), c, b_ij, 5, omega)
    assert type(caught.value) is TypeError
    assert str(caught.value) == "argument 'n': bad size"
    assert caught.value.__cause__ is root


GOOD_C = object()
GOOD_B = object()


@pytest.mark.parametrize(
    "arguments, error, text",
    [
        ((-1, "x", [1], [1], None, [1]), OverflowError, None),
        ((2.0, -1, [1], [1], None, [1]), TypeError, "argument 'm': "),
        ((2, "x", [1], [1], None, [1]), TypeError, "argument 'n': "),
        ((2, 3, [1], [1], None, [1]), TypeError, "argument 'c': 'list'"),
        ((2, 3, GOOD_C, np.zeros((2, 3), np.int32), None, [1]), TypeError, "argument 'b_ij': 'ndarray'"),
        ((2, 3, GOOD_C, GOOD_B, 2**63, [1]), OverflowError, None),
        ((2, 3, GOOD_C, GOOD_B, None, [1]), TypeError, "argument 'b_total': "),
        # Conversion comes before validation: the wrong sizes are not reported.
        ((5, 5, GOOD_C, GOOD_B, 0, np.zeros((2, 3), np.int64)), TypeError, "argument 'omega': 'ndarray'"),
    ],
)
def test_conversion_failures_are_reported_in_parameter_order(arguments, error, text):
    c, b_ij, _ = task_arrays(2, 3)
    arguments = [c if a is GOOD_C else b_ij if a is GOOD_B else a for a in arguments]
    with pytest.raises(error) as caught:
        allotra.Task(*arguments)
    if text is not None:
        assert str(caught.value).startswith(text)


# --- validation ------------------------------------------------------------


def _grid(shape, dtype=np.int64, fill=1):
    return np.full(shape, fill, dtype=dtype)


@pytest.mark.parametrize(
    "m, n, c_shape, b_shape, w_shape, w_fill, b_total, message",
    [
        (2, 3, (2, 4), (3, 3), (1, 1), 2.0, 0, COST_SHAPE),
        (2, 3, (3, 2), (2, 3), (2, 3), 0.0, 5, COST_SHAPE),
        (2, 3, (3, 3), (2, 3), (2, 3), 0.0, 5, COST_SHAPE),
        (0, 3, (0, 0), (0, 3), (0, 3), 0.0, 5, COST_SHAPE),
        (2**64 - 1, 3, (2, 3), (2, 3), (2, 3), 0.0, 5, COST_SHAPE),
        (2, 3, (2, 3), (3, 3), (2, 3), 2.0, 0, RESOURCE_SHAPE),
        (2, 3, (2, 3), (2, 2), (2, 3), 0.0, 5, RESOURCE_SHAPE),
        (2, 3, (2, 3), (2, 3), (2, 2), 2.0, -1, DISCOUNT_SHAPE),
        (0, 3, (0, 3), (0, 3), (0, 4), 0.0, 5, DISCOUNT_SHAPE),
        (2, 3, (2, 3), (2, 3), (2, 3), 1.5, 0, DISCOUNT_RANGE),
        (2, 3, (2, 3), (2, 3), (2, 3), 0.0, 0, BUDGET_NOT_POSITIVE),
    ],
    ids=[
        "cost-columns-before-all",
        "cost-transposed",
        "cost-rows",
        "cost-empty-columns",
        "cost-huge-m",
        "resource-rows-before-range-and-budget",
        "resource-columns",
        "discount-shape-before-range-and-budget",
        "discount-empty-columns",
        "discount-range-before-budget",
        "budget",
    ],
)
def test_validation_reports_the_first_failing_check(m, n, c_shape, b_shape, w_shape, w_fill, b_total, message):
    c, b_ij, omega = _grid(c_shape), _grid(b_shape), _grid(w_shape, np.float64, w_fill)
    with pytest.raises(ValueError) as caught:
        allotra.Task(m, n, c, b_ij, b_total, omega)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("w", [float("nan"), -0.0, 0.0, 1.0, 5e-324, 0.999999999999])
def test_discounts_in_range_or_nan_are_accepted(w):
    omega = np.full((2, 3), 0.5)
    omega[1, 2] = w
    assert make_task(omega=omega).validate() is True


@pytest.mark.parametrize("w", [1.0000000001, -1e-300, -5e-324, float("inf"), float("-inf"), 2.0, -0.5])
def test_discounts_out_of_range_are_refused(w):
    omega = np.full((2, 3), 0.5)
    omega[1, 2] = w
    with pytest.raises(ValueError) as caught:
        make_task(omega=omega, b_total=0)
    assert caught.value.args == (DISCOUNT_RANGE,)


@pytest.mark.parametrize("position", [(0, 0), (2, 3), (1, 2)])
@layouts("C", "F", "both_reversed", "column_window")
def test_every_discount_is_checked_in_any_layout(layout, position):
    omega = np.zeros((3, 4))
    omega[position] = 1.25
    with pytest.raises(ValueError) as caught:
        make_task(3, 4, omega=arrange(omega, layout))
    assert caught.value.args == (DISCOUNT_RANGE,)


@pytest.mark.parametrize("b_total", [0, -5, -1, -(2**63), False, np.int64(0), Index(-3)])
def test_budget_must_be_positive(b_total):
    with pytest.raises(ValueError) as caught:
        make_task(b_total=b_total)
    assert caught.value.args == (BUDGET_NOT_POSITIVE,)


def test_costs_and_consumptions_are_not_validated():
    c = np.array([[-5, 0, 2**62]], dtype=np.int64)
    b_ij = np.array([[0, -7, 2**63 - 1]], dtype=np.int64)
    assert make_task(1, 3, c=c, b_ij=b_ij, b_total=1).validate() is True


def test_validate_returns_true_and_takes_no_arguments():
    task = make_task(1, 1, omega=np.full((1, 1), np.nan))
    assert task.validate() is True
    with pytest.raises(TypeError):
        task.validate(0)
    with pytest.raises(TypeError):
        task.validate(strict=True)


# --- copies ---------------------------------------------------------------


def _spoil(c, b_ij, omega):
    c *= -1
    b_ij[...] = 0
    omega[...] = 1.0


def _repair(c, b_ij, omega):
    c[...] = np.abs(c) + 1
    b_ij[...] = 1
    omega[...] = 0.0


@pytest.mark.parametrize("change", [_spoil, _repair], ids=["feasible-becomes-infeasible", "infeasible-becomes-feasible"])
@layouts("C", "F", "stepped_reversed")
def test_changing_the_callers_arrays_leaves_the_task_unchanged(change, layout):
    if change is _spoil:
        sources = C.copy(), B.copy(), W.copy()
    else:
        sources = -np.abs(C), B.copy(), W.copy()
    c, b_ij, omega = (arrange(a, layout) for a in sources)
    task = allotra.Task(3, 4, c, b_ij, AMPLE_BUDGET, omega)
    before = take_all(task)
    np.testing.assert_array_equal(before[0], expected_take_all(*sources)[0])

    change(c, b_ij, omega)
    after = take_all(task)
    np.testing.assert_array_equal(after[0], before[0])
    assert after[1] == before[1]
    assert task.validate() is True


def test_callers_arrays_are_never_written():
    c, b_ij, omega = np.copy(C), np.copy(B), np.copy(W)
    task = allotra.Task(3, 4, c, b_ij, AMPLE_BUDGET, omega)
    x, _ = take_all(task)
    allotra.AntColonyAssignmentSolver(num_ants=2, kmax=2).solve(task)
    task.validate()
    x[...] = 7
    del task
    np.testing.assert_array_equal(c, C)
    np.testing.assert_array_equal(b_ij, B)
    np.testing.assert_array_equal(omega, W)
