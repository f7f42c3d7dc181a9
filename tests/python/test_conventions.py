"""What every call observes at the boundary: binding, conversions, holds, failures."""

import array
import ctypes

import numpy as np
import pytest

import zorv
from helpers import error_of as message_of




# ---- argument binding ---------------------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: zorv.sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: zorv.get_lagrange_points(1, 2, 1.0, False, 5),
         "get_lagrange_points() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: zorv.LegendreBasisEvaluator(1, 1, 1.0).set_dofs([1.0], 2),
         "LegendreBasisEvaluator.set_dofs() takes 1 positional arguments but 2 were given"),
        (lambda: zorv.LegendreBasis(1, 2, 3.0, 4),
         "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: zorv.sum_as_string(1, a=2), "sum_as_string() got multiple values for argument 'a'"),
        (lambda: zorv.sum_as_string(1, c=2), "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: zorv.LegendreBasis(1, 2, T=1.0, t=2.0),
         "LegendreBasis.__new__() got an unexpected keyword argument 't'"),
        (lambda: zorv.sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
        (lambda: zorv.sum_as_string(), "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: zorv.get_lagrange_points(),
         "get_lagrange_points() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
        (lambda: zorv.get_lagrange_points(n_t=1),
         "get_lagrange_points() missing 2 required positional arguments: 'degree' and 'T'"),
        (lambda: zorv.LegendreBasisEvaluator(n_t=1),
         "LegendreBasisEvaluator.__new__() missing 2 required positional arguments: 'degree' and 'T'"),
        (lambda: zorv.LegendreBasis(1, 1, 1.0).evaluate_at(legendre_vals=[]),
         "LegendreBasis.evaluate_at() missing 1 required positional argument: 't'"),
    ],
)
def test_binding_errors(call, message):
    assert message_of(call) == (TypeError, message)


def test_binding_fails_on_the_first_problem_and_before_conversion():
    # Too many positionals is reported before keywords are looked at; a bad keyword
    # before any argument is converted.
    assert message_of(lambda: zorv.sum_as_string("x", "y", "z", c=1))[1].startswith("sum_as_string() takes 2")
    assert message_of(lambda: zorv.sum_as_string("x", c=1))[1].endswith("unexpected keyword argument 'c'")


def test_keywords_bind_like_positionals():
    assert zorv.sum_as_string(a=1, b=2) == zorv.sum_as_string(b=2, a=1) == "3"
    assert zorv.get_lagrange_points(T=1.0, n_t=2, degree=2, periodic=True) == [0.0, 0.25, 0.5, 0.75]


# ---- sum_as_string and the count conversion ---------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "a, b, text",
    [
        (2, 3, "5"),
        (0, 0, "0"),
        (True, False, "1"),
        (Index(7), np.int64(5), "12"),
        (2**64 - 1, 0, "18446744073709551615"),
        # Sums beyond the count type are shown exactly, not reduced modulo 2**64.
        (2**64 - 1, 1, "18446744073709551616"),
        (2**64 - 1, 2**64 - 1, "36893488147419103230"),
    ],
)
def test_sum_as_string(a, b, text):
    assert zorv.sum_as_string(a, b) == text


@pytest.mark.parametrize(
    "a, b, kind, prefix",
    [
        (1.0, 2, TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
        (1, "2", TypeError, "argument 'b': 'str' object cannot be interpreted as an integer"),
        (1, None, TypeError, "argument 'b': "),
        (-1, 1, OverflowError, "can't convert negative int to unsigned"),
        (1, 2**64, OverflowError, "int too big to convert"),
        (Index(-3), 1, OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_count_conversion_errors(a, b, kind, prefix):
    error_type, message = message_of(lambda: zorv.sum_as_string(a, b))
    assert error_type is kind
    assert message.startswith(prefix)
    if kind is OverflowError:
        assert "argument" not in message


# ---- float and flag -------------------------------------------------------------------

class Real:
    def __float__(self):
        return 0.75


@pytest.mark.parametrize("T", [1.0, 1, True, Real(), Index(1), np.float32(1.0), np.float64(1.0)])
def test_float_conversion_accepts_numbers(T):
    assert zorv.get_lagrange_points(1, 1, T) == [0.0, float(T)]


@pytest.mark.parametrize("T", [float("nan"), float("inf"), -2.5])
def test_floats_pass_unchanged(T):
    assert zorv.get_lagrange_points(0, 3, T)[0] == pytest.approx(T, nan_ok=True)


def test_float_conversion_errors():
    kind, message = message_of(lambda: zorv.get_lagrange_points(1, 1, "1.5"))
    assert kind is TypeError and message.startswith("argument 'T': ")
    kind, message = message_of(lambda: zorv.get_lagrange_points(1, 1, 2**1024))
    assert kind is OverflowError and not message.startswith("argument")


@pytest.mark.parametrize("flag, periodic", [(True, True), (False, False), (np.bool_(True), True),
                                            (np.bool_(False), False)])
def test_flags(flag, periodic):
    points = zorv.get_lagrange_points(1, 2, 1.0, flag)
    assert len(points) == (2 if periodic else 3)


@pytest.mark.parametrize("flag, name", [(1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float"),
                                        ("yes", "str"), (np.int64(1), "int64")])
def test_non_bool_flags_are_cast_errors(flag, name):
    assert message_of(lambda: zorv.get_lagrange_points(1, 2, 1.0, periodic=flag)) == (
        TypeError, f"argument 'periodic': '{name}' object cannot be cast as 'bool'")


# ---- float sequence -------------------------------------------------------------------

def test_argument_error_keeps_the_cause():
    class Cast:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as caught:
        zorv.get_lagrange_points(1, 1, Cast())
    assert str(caught.value) == "argument 'T': outer"
    assert isinstance(caught.value.__cause__, KeyError)


def test_type_error_subclasses_are_not_rewrapped():
    class Special(TypeError):
        pass

    class Cast:
        def __float__(self):
            raise Special("kept as it is")

    assert message_of(lambda: zorv.get_lagrange_points(1, 1, Cast())) == (Special, "kept as it is")


# ---- float buffer -----------------------------------------------------------------------

def evaluate_many(times):
    evaluator = zorv.LegendreBasisEvaluator(1, 4, 4.0)
    evaluator.set_dofs([0.0, 1.0, 2.0, 3.0, 0.0, 0.0, 0.0, 0.0])  # value = element index
    return evaluator.evaluate_many(times)


def _ctypes_doubles(ctype):
    return (ctype * 2)(0.5, 1.5)


@pytest.mark.parametrize(
    "make, fmt, accepted",
    [
        (lambda: np.array([0.5, 1.5]), "d", True),
        (lambda: np.array([0.5, 1.5], dtype="<f8"), "d", True),
        (lambda: array.array("d", [0.5, 1.5]), "d", True),
        (lambda: np.array([0.5, 1.5], dtype=">f8"), ">d", False),
        (lambda: np.array([0.5, 1.5], dtype=np.longdouble), "g", False),
        (lambda: np.array([0, 1], dtype=np.uint64), "L", False),
    ],
)
def test_buffer_format_rule(make, fmt, accepted):
    exporter = make()
    assert memoryview(exporter).format == fmt
    if accepted:
        assert evaluate_many(exporter) == [0.0, 1.0]
    else:
        assert message_of(lambda: evaluate_many(exporter)) == (
            BufferError, "buffer contents are not compatible with f64")


def test_exporters_without_strides():
    # ctypes arrays leave the strides out even when asked for them.
    assert message_of(lambda: evaluate_many(_ctypes_doubles(ctypes.c_double))) == (BufferError, "strides is null")


# ---- holds -----------------------------------------------------------------------------

def test_exclusive_hold_refuses_reads_and_is_released():
    evaluator = zorv.LegendreBasisEvaluator(0, 1, 1.0)

    class Reentrant:
        def __float__(self):
            # The hold is taken before conversion, so even a bad argument reports it.
            return evaluator.evaluate_at("not a number")

    assert message_of(lambda: evaluator.set_dofs([Reentrant()])) == (RuntimeError, "Already mutably borrowed")
    evaluator.set_dofs([2.0])
    assert evaluator.evaluate_at(0.5) == 2.0


def test_shared_hold_refuses_writes_and_is_released():
    evaluator = zorv.LegendreBasisEvaluator(0, 1, 1.0)

    class Reentrant:
        def __float__(self):
            evaluator.set_dofs([1.0])
            return 0.5

    assert message_of(lambda: evaluator.evaluate_at(Reentrant())) == (RuntimeError, "Already borrowed")
    assert evaluator.evaluate_at(0.5) == 0.0
    evaluator.set_dofs([3.0])
    assert evaluator.evaluate_at(Real()) == 3.0


# ---- stops and PanicException -------------------------------------------------------------

def test_panic_exception_type(panic_exception):
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__name__ == "PanicException"
    assert issubclass(panic_exception, BaseException) and not issubclass(panic_exception, Exception)
    assert panic_exception.__doc__
    assert not any(value is panic_exception for value in vars(zorv).values())


def test_stop_raises_panic_exception_with_diagnostic(panic_exception, capfd):
    with pytest.raises(panic_exception) as caught:
        try:
            zorv.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, [1.0])
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    assert caught.value.args == ("Matrix view: input data buffer too small.",)
    assert type(caught.value) is panic_exception
    stderr = capfd.readouterr().err
    assert "stopped at src/" in stderr and "Matrix view: input data buffer too small." in stderr


def test_panic_from_callers_code_is_resumed_as_a_stop(panic_exception, capfd):
    class Stopping:
        def __float__(self):
            zorv.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, [])
            return 0.0

    with pytest.raises(panic_exception) as caught:
        zorv.get_lagrange_points(1, 1, Stopping())
    assert caught.value.args == ("Matrix view: input data buffer too small.",)
    stderr = capfd.readouterr().err
    assert "resuming a stop after fetching a PanicException from Python" in stderr
    assert "Traceback" in stderr


def test_out_of_memory_is_a_memory_error_and_changes_nothing():
    evaluator = zorv.LegendreBasisEvaluator(0, 1, 1.0)
    with pytest.raises(MemoryError):
        zorv.LegendreBasisEvaluator(1, 2**40, 1.0)  # 16 TiB of dofs
    with pytest.raises(MemoryError):
        zorv.get_lagrange_points(2**20, 2**40, 1.0)
    evaluator.set_dofs([4.0])
    assert evaluator.evaluate_at(0.5) == 4.0
