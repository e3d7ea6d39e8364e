"""The module surface: registration, the classes, argument matching and solver parameters."""

import importlib
import importlib.metadata
import inspect
import re
import sys
import weakref

import numpy as np
import pytest

import allotra
from support import Ant, FloatLike, Index, Prob, Task, is_panic, make_task, refusal, run_python, task_arrays

CLASSES = [Task, Ant, Prob]
ALL_CELLS = np.ones((2, 3), dtype=np.int64)


def instance_of(cls):
    return make_task() if cls is Task else cls()


# --- registration --------------------------------------------------------


def test_module_exports_exactly_the_three_classes():
    assert allotra.__all__ == ["Task", "AntColonyAssignmentSolver", "ProbabilisticAssignmentSolver"]
    # and RunResult, what run() returns, an attribute outside __all__
    assert [name for name in dir(allotra) if not name.startswith("_")] == sorted([*allotra.__all__, "RunResult"])
    assert allotra.__doc__ == ""


def test_version_is_the_package_version():
    assert allotra.__version__ == importlib.metadata.version("allotra")


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("allotra")
    try:
        again = importlib.import_module("allotra")
        assert again is first
        assert again.Task is Task
    finally:
        sys.modules["allotra"] = first


def test_import_and_first_use_raise_no_warning():
    code = (
        "import allotra, numpy as np\n"
        "one = np.ones((1, 1), dtype=np.int64)\n"
        "task = allotra.Task(1, 1, one, one, 1, np.zeros((1, 1)))\n"
        "print(allotra.ProbabilisticAssignmentSolver(kmax=1).solve(task)[1])\n"
    )
    result = run_python(code, timeout=60, options=("-W", "error"))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "1.0\n" and result.stderr == ""


# --- classes ---------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_names_and_base(cls):
    assert cls.__module__ == "allotra"
    assert cls.__qualname__ == cls.__name__
    assert cls.__name__ in allotra.__all__
    assert cls.__bases__ == (object,)
    assert getattr(allotra, cls.__name__) is cls
    # No special methods of their own besides the constructor.
    for special in ("__init__", "__repr__", "__eq__", "__hash__", "__setattr__", "__getattribute__"):
        assert getattr(cls, special) is getattr(object, special)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "cls, field", [(Task, "m"), (Task, "omega"), (Prob, "kmax"), (Ant, "kmax"), (Ant, "alpha")]
)
def test_instances_are_opaque(cls, field):
    obj = instance_of(cls)
    with pytest.raises(AttributeError):
        getattr(obj, field)
    with pytest.raises(AttributeError):
        setattr(obj, field, 1)
    with pytest.raises(AttributeError):
        obj.note = "x"
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "cls, signature",
    [
        (Task, "(m, n, c, b_ij, b_total, omega)"),
        (Ant, "(num_ants=20, kmax=100, alpha=1.0, beta=2.0, rho=0.1, initial_pheromone=1.0)"),
        (Prob, "(kmax=100)"),
    ],
)
def test_text_signatures(cls, signature):
    """Each class and method is documented by its text signature alone (name,
    signature, a line "--" and an empty line), which the interpreter takes
    apart into __text_signature__ and no further documentation text."""
    method = getattr(cls, "validate" if cls is Task else "solve")
    assert cls.__text_signature__ == signature
    assert method.__text_signature__ == ("($self)" if cls is Task else "($self, task)")
    for documented in (cls, method):
        assert not documented.__doc__, documented.__doc__
    assert str(inspect.signature(cls)) == signature
    bound = getattr(instance_of(cls), method.__name__)
    assert str(inspect.signature(bound)) == ("()" if cls is Task else "(task)")


# --- argument matching -----------------------------------------------------

C, B, W = task_arrays(2, 3)
T = make_task()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Task(), "Task.__new__() missing 6 required positional arguments: "
                         "'m', 'n', 'c', 'b_ij', 'b_total', and 'omega'"),
        (lambda: Task(1, 2), "Task.__new__() missing 4 required positional arguments: "
                             "'c', 'b_ij', 'b_total', and 'omega'"),
        (lambda: Task(n=2, omega=W), "Task.__new__() missing 4 required positional arguments: "
                                     "'m', 'c', 'b_ij', and 'b_total'"),
        (lambda: Task(2, 3, C, B), "Task.__new__() missing 2 required positional arguments: 'b_total' and 'omega'"),
        (lambda: Task(2, 3, C, B, 5), "Task.__new__() missing 1 required positional argument: 'omega'"),
        (lambda: Task(m=2, n=3, c=C, b_ij=B, omega=W),
         "Task.__new__() missing 1 required positional argument: 'b_total'"),
        (lambda: Task(2, 3, C, B, 5, W, 7), "Task.__new__() takes 6 positional arguments but 7 were given"),
        (lambda: Task(2, 3, C, B, 5, W, 7, bogus=1), "Task.__new__() takes 6 positional arguments but 7 were given"),
        (lambda: Task(2, 3, C, B, 5, W, m=2), "Task.__new__() got multiple values for argument 'm'"),
        (lambda: Task(2, 3, C, B, 5, W, colour=1), "Task.__new__() got an unexpected keyword argument 'colour'"),
        (lambda: Task(2, 3, size=1), "Task.__new__() got an unexpected keyword argument 'size'"),
        (lambda: Task(2, 3, C, size=1, n=3), "Task.__new__() got multiple values for argument 'n'"),
        (lambda: Prob(1, 2),
         "ProbabilisticAssignmentSolver.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: Ant(1, 2, 3, 4, 5, 6, 7),
         "AntColonyAssignmentSolver.__new__() takes from 0 to 6 positional arguments but 7 were given"),
        (lambda: Ant(1, num_ants=2), "AntColonyAssignmentSolver.__new__() got multiple values for argument 'num_ants'"),
        (lambda: Ant(alpha=None, ants=3),
         "AntColonyAssignmentSolver.__new__() got an unexpected keyword argument 'ants'"),
        (lambda: Prob().solve(), "ProbabilisticAssignmentSolver.solve() missing 1 required positional argument: 'task'"),
        (lambda: Prob().solve(T, T), "ProbabilisticAssignmentSolver.solve() takes 1 positional arguments but 2 were given"),
        (lambda: Ant().solve(3, 4, 5), "AntColonyAssignmentSolver.solve() takes 1 positional arguments but 3 were given"),
        (lambda: Ant().solve(T, task=T), "AntColonyAssignmentSolver.solve() got multiple values for argument 'task'"),
        (lambda: Prob().solve(problem=T),
         "ProbabilisticAssignmentSolver.solve() got an unexpected keyword argument 'problem'"),
    ],
)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


@pytest.mark.parametrize("solver", [Ant(num_ants=1, kmax=1), Prob(kmax=1)], ids=["ant", "probabilistic"])
@pytest.mark.parametrize(
    "task, type_name", [(5, "int"), (None, "NoneType"), (Prob(), "ProbabilisticAssignmentSolver"), ((T,), "tuple")]
)
def test_solve_requires_a_task(solver, task, type_name):
    expected = refusal("task", type_name, "Task")
    for call in (lambda: solver.solve(task), lambda: solver.solve(task=task)):
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == expected
        assert caught.value.__cause__ is None


@pytest.mark.parametrize("solver", [Ant(num_ants=2, kmax=2), Prob(kmax=2)], ids=["ant", "probabilistic"])
def test_solve_by_position_and_by_keyword(solver):
    for x, value in (solver.solve(T), solver.solve(task=T)):
        np.testing.assert_array_equal(x, ALL_CELLS)
        assert value == 21.0


# --- solver parameters -------------------------------------------------------


@pytest.mark.parametrize(
    "solver, takes_cells",
    [
        (lambda: Prob(), True),
        (lambda: Prob(1), True),
        (lambda: Prob(kmax=True), True),
        (lambda: Prob(kmax=np.uint8(3)), True),
        (lambda: Prob(kmax=Index(2)), True),
        (lambda: Prob(0), False),
        (lambda: Prob(kmax=False), False),
        (lambda: Prob(kmax=np.int64(0)), False),
        (lambda: Prob(kmax=Index(0)), False),
        (lambda: Ant(), True),
        (lambda: Ant(5, 10, 1, 2), True),
        (lambda: Ant(num_ants=True, kmax=np.int32(1), alpha=True, beta=np.float32(0.5), rho=Index(0)), True),
        (lambda: Ant(1, 1, 1, FloatLike(-1.0), float("nan"), np.float64(2.0)), True),
        (lambda: Ant(num_ants=0, rho=-3.0), False),
        (lambda: Ant(num_ants=Index(0)), False),
        (lambda: Ant(kmax=0), False),
        (lambda: Ant(2, np.uint64(0)), False),
    ],
)
def test_solver_parameters_are_stored(solver, takes_cells):
    x, value = solver().solve(T)
    if takes_cells:
        np.testing.assert_array_equal(x, ALL_CELLS)
        assert value == 21.0
    else:
        np.testing.assert_array_equal(x, np.zeros((2, 3)))
        assert value == 0.0


def _zero_consumption_task():
    # Cell (0, 0) consumes nothing, so its heuristic factor is 0.0.
    b_ij = np.ones((2, 3), dtype=np.int64)
    b_ij[0, 0] = 0
    return make_task(b_ij=b_ij)


@pytest.mark.parametrize(
    "parameters, task",
    [
        ({"beta": -1.0}, _zero_consumption_task),
        ({"beta": Index(-1)}, _zero_consumption_task),
        ({"beta": FloatLike(-1.0)}, _zero_consumption_task),
        ({"alpha": FloatLike(-1.0), "initial_pheromone": 0.0}, make_task),
        ({"alpha": -2, "initial_pheromone": Index(0)}, make_task),
    ],
)
def test_exponents_and_pheromone_reach_the_solver(parameters, task, capfd):
    # An infinite weight is an internal error, so it shows the stored values took effect.
    solver = Ant(num_ants=1, kmax=1, **parameters)
    with pytest.raises(BaseException) as caught:
        solver.solve(task())
    assert is_panic(caught.value)
    assert capfd.readouterr().err != ""


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: Prob(None), "kmax"),
        (lambda: Prob(kmax=2.5), "kmax"),
        (lambda: Prob(kmax="3"), "kmax"),
        (lambda: Ant(num_ants=None), "num_ants"),
        (lambda: Ant(kmax=2.5), "kmax"),
        (lambda: Ant(alpha=None), "alpha"),
        (lambda: Ant(alpha="1.0"), "alpha"),
        (lambda: Ant(beta=[2.0]), "beta"),
        (lambda: Ant(rho=None), "rho"),
        (lambda: Ant(20, 100, 1.0, 2.0, 0.1, None), "initial_pheromone"),
        (lambda: Ant(initial_pheromone=1j), "initial_pheromone"),
        (lambda: Ant(num_ants="x", alpha=None), "num_ants"),
        (lambda: Ant(alpha=None, kmax=None), "kmax"),
        (lambda: Ant(rho="x", beta="y"), "beta"),
    ],
)
def test_unconvertible_parameters_are_argument_errors(call, name):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value).startswith(f"argument '{name}': ")
    assert caught.value.__cause__ is None


@pytest.mark.parametrize(
    "cls, parameters",
    [
        (Prob, {"kmax": -1}),
        (Prob, {"kmax": 2**64}),
        (Prob, {"kmax": -(2**64)}),
        (Ant, {"num_ants": -1}),
        (Ant, {"num_ants": 2**64}),
        (Ant, {"kmax": np.int64(-5)}),
        (Ant, {"rho": 10**400}),
        (Ant, {"alpha": 2**1024}),  # an int too large for a float
    ],
)
def test_out_of_range_parameters_raise_overflow_error_unchanged(cls, parameters):
    with pytest.raises(OverflowError) as caught:
        cls(**parameters)
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


# --- internal failures -----------------------------------------------------------


def test_internal_failure_raises_panic_exception_outside_exception(capfd):
    task = _zero_consumption_task()
    solver = Ant(beta=-1.0)
    caught = None
    try:
        try:
            solver.solve(task)
        except Exception:  # must not catch it
            pytest.fail("an internal failure was caught by 'except Exception'")
    except BaseException as error:  # noqa: BLE001 - the point of the test
        caught = error
    panic = type(caught)
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert len(caught.args) == 1 and isinstance(caught.args[0], str) and caught.args[0]
    assert panic.__doc__
    assert capfd.readouterr().err != ""

    # The failed call left nothing behind: the same objects still work.
    assert task.validate() is True
    with pytest.raises(panic):
        solver.solve(task)
    capfd.readouterr()
    x, value = Prob(kmax=1).solve(task)
    np.testing.assert_array_equal(x, [[0, 1, 1], [1, 1, 1]])
    assert value == 20.0


def test_internal_failure_report_names_the_source_from_src(capfd):
    """The report on standard error names the failed check's place within the
    project (src/...), not the directories of the machine that built it."""
    with pytest.raises(BaseException) as caught:
        Ant(num_ants=1, kmax=1, beta=-1.0).solve(_zero_consumption_task())
    assert is_panic(caught.value)
    report = capfd.readouterr().err
    assert re.fullmatch(r"allotra: internal error at src[/\\][\w/\\]+\.[ch]pp:[1-9]\d*: .*NonFinite\n", report), report
