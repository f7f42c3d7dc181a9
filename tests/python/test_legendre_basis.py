"""LegendreBasis: element location, the Legendre recurrence and its derivative, bit for bit.

The reference below follows the documented operation order step by step in Python floats
(IEEE doubles, no fused multiply-add), so its results must equal the module's bit for bit.
"""

import array
import math
import random
import sys

import numpy as np
import pytest

import zorv
from helpers import assert_bitwise_equal, bits, error_of

INDEX_LIMIT = 2.0**64
EPSILON = 1e-15


# ---- reference --------------------------------------------------------------------------

def ieee_div(a, b):
    """a / b with IEEE semantics (Python raises on a zero divisor)."""
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)


def locate(T, n_t, t):
    """(element, width, xi) of time t."""
    w = ieee_div(T, float(n_t))
    q = ieee_div(t, w)
    if not q >= 0.0:
        c = 0
    elif q >= INDEX_LIMIT:
        c = 2**64 - 1
    else:
        c = int(math.floor(q))
    c = min(c, n_t - 1)
    left = w * float(c)
    right = w + left
    xi = ieee_div((t + (left + right) * -0.5) * 2.0, right - left)
    if xi < -1.0:
        xi = -1.0
    elif xi > 1.0:
        xi = 1.0
    return c, w, xi


def legendre(xi, k):
    if k == 0:
        return 1.0
    previous, current, m = 1.0, xi, 1.0
    for _ in range(1, k):
        previous, current = current, (current * (xi * ((m + m) + 1.0)) - previous * m) / (m + 1.0)
        m += 1.0
    return current


def legendre_derivative(xi, k):
    if k == 0:
        return 0.0
    if k == 1:
        return 1.0
    return ieee_div((xi * legendre(xi, k) - legendre(xi, k - 1)) * float(k), (xi * xi - 1.0) + EPSILON)


def reference_sum(degree, n_t, T, dofs, t, term):
    c, w, xi = locate(T, n_t, t)
    total = -0.0
    for k in range(degree + 1):
        total = total + term(xi, k) * dofs[c + n_t * k]
    return total, w


def reference_evaluate(degree, n_t, T, dofs, t):
    return reference_sum(degree, n_t, T, dofs, t, legendre)[0]


def reference_evaluate_derivative(degree, n_t, T, dofs, t):
    total, w = reference_sum(degree, n_t, T, dofs, t, legendre_derivative)
    return ieee_div(total + total, w)


def reference_all_basis(degree, n_t, T, t, derivatives=False):
    c, w, xi = locate(T, n_t, t)
    values = [0.0] * (n_t * (degree + 1))
    for k in range(degree + 1):
        if derivatives:
            values[c + n_t * k] = ieee_div(2.0 * legendre_derivative(xi, k), w)
        else:
            values[c + n_t * k] = legendre(xi, k)
    return values




# ---- the worked example: degree 2, three elements on [0, 3] -------------------------------

ONE_TO_NINE = [float(v) for v in range(1, 10)]


@pytest.fixture
def basis_2_3_3():
    return zorv.LegendreBasis(2, 3, 3.0)


def test_worked_example_values(basis_2_3_3):
    assert basis_2_3_3.evaluate_at(1.25, ONE_TO_NINE) == -1.5
    assert_bitwise_equal(basis_2_3_3.evaluate_all_basis_functions(1.25),
                         [0.0, 1.0, 0.0, 0.0, -0.5, 0.0, 0.0, -0.125, 0.0])
    assert_bitwise_equal(basis_2_3_3.evaluate_all_basis_function_derivatives(1.25),
                         [0.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, -3.000000000000004, 0.0])


def test_dof_layout_is_grouped_by_degree_not_by_element():
    # element 1 of two on [0, 1] has P_0 coefficient a1 and P_1 coefficient b1; xi = 0 at t = 0.75
    a0, a1, b0, b1 = 3.0, 5.0, 7.0, 11.0
    basis = zorv.LegendreBasis(1, 2, 1.0)
    assert basis.evaluate_at(0.75, [a0, a1, b0, b1]) == a1
    assert basis.evaluate_at(1.0, [a0, a1, b0, b1]) == a1 + b1
    assert basis.evaluate_at(0.0, [a0, a1, b0, b1]) == a0 - b0


# ---- element location and reference map --------------------------------------------------

@pytest.mark.parametrize(
    "t, values",
    [
        (0.0, [1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0, 0.0]),                 # element 0, xi = -1
        (-0.0, [1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0, 0.0]),
        (-1.0, [1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0, 0.0]),                # before 0: clamped
        (-math.inf, [1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0, 0.0]),
        (1.0, [0.0, 1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0, 0.0]),                 # t / w = 1: element 1
        (2.0, [0.0, 0.0, 1.0, 0.0, 0.0, -1.0, 0.0, 0.0, 1.0]),
        (3.0, [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0]),                  # t = T: last element
        (7.5, [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0]),                  # beyond T: xi clamped
        (math.inf, [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0]),
        (1e300, [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 0.0, 1.0]),                # beyond the index range
        (math.nan, [1.0, 0.0, 0.0, math.nan, 0.0, 0.0, math.nan, 0.0, 0.0]),    # element 0, xi NaN
    ],
)
def test_element_and_xi_rules(basis_2_3_3, t, values):
    assert_bitwise_equal(basis_2_3_3.evaluate_all_basis_functions(t), values)


@pytest.mark.parametrize(
    "t, values",
    [
        # at xi = +-1 every P_k' with k >= 2 is exactly 0; 2 P_1' / w = 2
        (0.0, [0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0]),
        (3.0, [0.0, 0.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0]),
        (math.inf, [0.0, 0.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0]),
        (-math.inf, [0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0]),
        # NaN time: P_0' and P_1' keep their values
        (math.nan, [0.0, 0.0, 0.0, 2.0, 0.0, 0.0, math.nan, 0.0, 0.0]),
    ],
)
def test_derivative_rules(basis_2_3_3, t, values):
    assert_bitwise_equal(basis_2_3_3.evaluate_all_basis_function_derivatives(t), values)


def test_end_time_xi_is_not_clamped_when_below_one():
    # T = 1 and 7 elements: t = T lands in element 6 with xi = 0.9999999999999992
    values = zorv.LegendreBasis(1, 7, 1.0).evaluate_all_basis_functions(1.0)
    assert values[6] == 1.0
    assert values[13] == 0.9999999999999992


@pytest.mark.parametrize("t", [0.0, 3.0, -2.0, 9.0, math.inf, -math.inf])
def test_derivative_at_the_element_ends_is_twice_the_slope_coefficient(basis_2_3_3, t):
    # xi = +-1: (D(c,1) + D(c,1)) / w with w = 1; element 0 has P_1 coefficient 4, element 2 has 6
    expected = 8.0 if t <= 0.0 else 12.0
    evaluator = zorv.LegendreBasisEvaluator(2, 3, 3.0)
    evaluator.set_dofs(ONE_TO_NINE)
    assert evaluator.evaluate_derivative_at(t) == expected
    assert_bitwise_equal(basis_2_3_3.evaluate_all_basis_function_derivatives(t),
                         reference_all_basis(2, 3, 3.0, t, derivatives=True))


def test_degree_zero():
    basis = zorv.LegendreBasis(0, 4, 2.0)
    assert basis.evaluate_at(1.2, [10.0, 20.0, 30.0, 40.0]) == 30.0
    assert basis.evaluate_at(math.nan, [10.0, 20.0, 30.0, 40.0]) == 10.0
    assert basis.evaluate_all_basis_functions(1.2) == [0.0, 0.0, 1.0, 0.0]
    assert_bitwise_equal(basis.evaluate_all_basis_function_derivatives(1.2), [0.0] * 4)


def test_sum_starts_at_negative_zero():
    # -0.0 + 1 * -0.0 keeps the sign; a sum started at +0.0 would not
    basis = zorv.LegendreBasis(0, 1, 1.0)
    assert bits(basis.evaluate_at(0.5, [-0.0])) == bits(-0.0)
    assert bits(basis.evaluate_at(0.5, [0.0])) == bits(0.0)


SEEDS = [11, 12, 13, 14, 15, 16]


@pytest.mark.parametrize("seed", SEEDS, ids=[f"seed={s}" for s in SEEDS])
def test_random_bases_match_the_reference_bit_for_bit(seed):
    rng = random.Random(seed)
    for _ in range(12):
        degree = rng.randrange(0, 9)
        n_t = rng.randrange(1, 10)
        T = rng.choice([1.0, 3.0, 0.7, rng.uniform(0.01, 50.0)])
        dofs = [rng.gauss(0.0, 3.0) for _ in range(n_t * (degree + 1))]
        w = T / n_t
        times = [rng.uniform(-0.3 * T, 1.3 * T) for _ in range(20)]
        times += [e * w for e in range(n_t + 1)] + [T, 0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324]
        basis = zorv.LegendreBasis(degree, n_t, T)
        context = f"degree={degree} n_t={n_t} T={T!r}"
        for t in times:
            assert bits(basis.evaluate_at(t, dofs)) == bits(reference_evaluate(degree, n_t, T, dofs, t)), (context, t)
            assert_bitwise_equal(basis.evaluate_all_basis_functions(t), reference_all_basis(degree, n_t, T, t))
            assert_bitwise_equal(basis.evaluate_all_basis_function_derivatives(t),
                                 reference_all_basis(degree, n_t, T, t, derivatives=True))


@pytest.mark.parametrize("T", [0.0, -2.0, math.nan, math.inf, 5e-324])
def test_degenerate_interval_ends_are_used_unchanged(T):
    basis = zorv.LegendreBasis(3, 2, T)
    dofs = [1.0, -2.0, 0.5, 4.0, 3.0, -1.0, 2.0, 0.25]
    for t in [0.0, 0.5, -1.0, 1.0, math.nan]:
        assert bits(basis.evaluate_at(t, dofs)) == bits(reference_evaluate(3, 2, T, dofs, t))
        assert_bitwise_equal(basis.evaluate_all_basis_functions(t), reference_all_basis(3, 2, T, t))
        assert_bitwise_equal(basis.evaluate_all_basis_function_derivatives(t),
                             reference_all_basis(3, 2, T, t, derivatives=True))


@pytest.mark.parametrize("seed", [21, 22], ids=lambda s: f"seed={s}")
def test_all_basis_values_dotted_with_dofs_give_evaluate_at(seed):
    rng = np.random.default_rng(seed)
    for degree, n_t in [(0, 3), (1, 1), (4, 5), (9, 2)]:
        basis = zorv.LegendreBasis(degree, n_t, 2.5)
        dofs = rng.normal(size=n_t * (degree + 1))
        for t in rng.uniform(-0.5, 3.0, size=15):
            values = np.array(basis.evaluate_all_basis_functions(t))
            assert len(values) == n_t * (degree + 1)
            assert values @ dofs == pytest.approx(basis.evaluate_at(t, dofs), rel=1e-12, abs=1e-12)


# ---- legendre_vals: length and accepted objects ------------------------------------------

def test_values_after_the_first_n_are_ignored(basis_2_3_3):
    assert basis_2_3_3.evaluate_at(1.25, ONE_TO_NINE + [1e300, math.nan, -7.0]) == -1.5


@pytest.mark.parametrize("length", [0, 1, 8])
def test_too_few_values_stop(basis_2_3_3, panic_exception, length):
    assert error_of(lambda: basis_2_3_3.evaluate_at(1.25, ONE_TO_NINE[:length])) == (
        panic_exception, "Matrix view: input data buffer too small.")


class SequenceWithoutLength:
    def __init__(self, values):
        self.values = values

    def __getitem__(self, i):
        return self.values[i]

    def __len__(self):
        raise RuntimeError("length not known")


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "values",
    [
        ONE_TO_NINE,
        tuple(ONE_TO_NINE),
        list(range(1, 10)),
        range(1, 10),
        range(1, 20),
        np.arange(1.0, 10.0),
        np.arange(1, 10, dtype=np.int32),
        np.arange(1.0, 10.0, dtype=np.float32),
        bytes(range(1, 10)),
        bytearray(range(1, 10)),
        array.array("d", ONE_TO_NINE),
        [True, 2, 3.0, np.float64(4.0), np.int64(5), Real(6.0), 7, 8, 9],
        SequenceWithoutLength(ONE_TO_NINE),
    ],
    ids=["list", "tuple", "ints", "range", "long range", "float64", "int32", "float32", "bytes",
         "bytearray", "array", "mixed", "no len"],
)
def test_sequence_kinds(basis_2_3_3, values):
    assert basis_2_3_3.evaluate_at(1.25, values) == -1.5


@pytest.mark.parametrize(
    "values, kind, message",
    [
        ("abc", TypeError, "argument 'legendre_vals': Can't extract `str` to `Vec`"),
        ({0: 1.0}, TypeError, "argument 'legendre_vals': 'dict' object cannot be cast as 'Sequence'"),
        ({1.0, 2.0}, TypeError, "argument 'legendre_vals': 'set' object cannot be cast as 'Sequence'"),
        (iter([1.0]), TypeError, "argument 'legendre_vals': 'list_iterator' object cannot be cast as 'Sequence'"),
        (5.0, TypeError, "argument 'legendre_vals': 'float' object cannot be cast as 'Sequence'"),
        (None, TypeError, "argument 'legendre_vals': 'NoneType' object cannot be cast as 'Sequence'"),
    ],
)
def test_refused_sequences(basis_2_3_3, values, kind, message):
    assert error_of(lambda: basis_2_3_3.evaluate_at(1.25, values)) == (kind, message)


class Failing:
    def __float__(self):
        raise ValueError("no value here")


def test_bad_items(basis_2_3_3):
    kind, message = error_of(lambda: basis_2_3_3.evaluate_at(1.25, [1.0, "x"] + ONE_TO_NINE))
    assert kind is TypeError and message.startswith("argument 'legendre_vals': ")
    # an error other than TypeError passes unchanged, without the parameter name
    assert error_of(lambda: basis_2_3_3.evaluate_at(1.25, [1.0, Failing()] + ONE_TO_NINE)) == (
        ValueError, "no value here")


# ---- arguments, keywords, constructor -----------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_keyword_calls(basis_2_3_3):
    assert basis_2_3_3.evaluate_at(legendre_vals=ONE_TO_NINE, t=1.25) == -1.5
    assert basis_2_3_3.evaluate_at(1.25, legendre_vals=ONE_TO_NINE) == -1.5
    assert basis_2_3_3.evaluate_all_basis_functions(t=1.25) == basis_2_3_3.evaluate_all_basis_functions(1.25)
    assert (basis_2_3_3.evaluate_all_basis_function_derivatives(t=1.25)
            == basis_2_3_3.evaluate_all_basis_function_derivatives(1.25))
    for basis in [zorv.LegendreBasis(T=3.0, n_t=3, degree=2), zorv.LegendreBasis(2, T=3, n_t=Index(3)),
                  zorv.LegendreBasis(np.int64(2), True + 2, np.float32(3.0))]:
        assert basis.evaluate_at(1.25, ONE_TO_NINE) == -1.5


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: zorv.LegendreBasis(2, 3), TypeError,
         "LegendreBasis.__new__() missing 1 required positional argument: 'T'"),
        (lambda: zorv.LegendreBasis(), TypeError,
         "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'"),
        (lambda: zorv.LegendreBasis(2, 3, 3.0, 1), TypeError,
         "LegendreBasis.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: zorv.LegendreBasis(2, 3, 3.0, degree=2), TypeError,
         "LegendreBasis.__new__() got multiple values for argument 'degree'"),
        (lambda: zorv.LegendreBasis(2, 3, t=3.0), TypeError,
         "LegendreBasis.__new__() got an unexpected keyword argument 't'"),
        (lambda: zorv.LegendreBasis(2.0, 3, 3.0), TypeError,
         "argument 'degree': 'float' object cannot be interpreted as an integer"),
        (lambda: zorv.LegendreBasis(2, "3", 3.0), TypeError,
         "argument 'n_t': 'str' object cannot be interpreted as an integer"),
        (lambda: zorv.LegendreBasis(2, 3, None), TypeError,
         "argument 'T': must be real number, not NoneType"),
        (lambda: zorv.LegendreBasis(2.0, "x", None), TypeError,
         "argument 'degree': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_constructor_errors(call, kind, message):
    assert error_of(call) == (kind, message)


@pytest.mark.parametrize("args", [(-1, 3, 3.0), (2, 2**64, 3.0), (2, -5, 3.0), (2, 3, 2**1024)])
def test_constructor_overflow_is_the_interpreters_error(args):
    kind, message = error_of(lambda: zorv.LegendreBasis(*args))
    assert kind is OverflowError and "argument" not in message, message


@pytest.mark.parametrize(
    "call, message_start",
    [
        (lambda b: b.evaluate_at("1.5", ONE_TO_NINE), "argument 't': "),
        (lambda b: b.evaluate_at("1.5", "abc"), "argument 't': "),  # t is converted first
        (lambda b: b.evaluate_all_basis_functions([1.0]), "argument 't': "),
        (lambda b: b.evaluate_all_basis_function_derivatives(None), "argument 't': "),
        (lambda b: b.evaluate_at(1.0), "LegendreBasis.evaluate_at() missing 1 required positional argument: "
                                       "'legendre_vals'"),
        (lambda b: b.evaluate_all_basis_functions(1.0, 2.0),
         "LegendreBasis.evaluate_all_basis_functions() takes 1 positional arguments but 2 were given"),
        (lambda b: b.evaluate_all_basis_function_derivatives(x=1.0),
         "LegendreBasis.evaluate_all_basis_function_derivatives() got an unexpected keyword argument 'x'"),
    ],
)
def test_method_argument_errors(basis_2_3_3, call, message_start):
    kind, message = error_of(lambda: call(basis_2_3_3))
    assert kind is TypeError and message.startswith(message_start), message


def test_time_too_large_for_a_double(basis_2_3_3):
    kind, message = error_of(lambda: basis_2_3_3.evaluate_all_basis_functions(2**1024))
    assert kind is OverflowError and "argument" not in message, message


# ---- no elements and oversized bases ------------------------------------------------------

@pytest.mark.parametrize("degree", [0, 3])
@pytest.mark.parametrize(
    "call",
    [
        lambda b: b.evaluate_at(0.5, []),
        lambda b: b.evaluate_at(0.5, [1.0, 2.0]),
        lambda b: b.evaluate_all_basis_functions(0.5),
        lambda b: b.evaluate_all_basis_function_derivatives(math.nan),
    ],
)
def test_no_elements_stops_instead_of_crashing(panic_exception, degree, call):
    basis = zorv.LegendreBasis(degree, 0, 1.0)
    assert error_of(lambda: call(basis)) == (panic_exception, "Matrix slicing out of bounds.")


@pytest.mark.parametrize("degree, n_t", [(2**62, 2**62), (2**32, 2**32), (2**64 - 1, 1), (2**64 - 1, 0),
                                         (1, 2**62), (0, 2**61)])
def test_unrepresentable_basis_size_stops_with_capacity_overflow(panic_exception, degree, n_t):
    basis = zorv.LegendreBasis(degree, n_t, 1.0)
    for call in [lambda: basis.evaluate_all_basis_functions(0.5),
                 lambda: basis.evaluate_all_basis_function_derivatives(0.5)]:
        assert error_of(call) == (panic_exception, "capacity overflow")
    # evaluate_at compares the dof count with the values given before anything is allocated
    message = "Matrix slicing out of bounds." if n_t == 0 else "Matrix view: input data buffer too small."
    assert error_of(lambda: basis.evaluate_at(0.5, [1.0])) == (panic_exception, message)


@pytest.mark.parametrize("degree", [2**63 - 1, 2**63, 2**64 - 1])
def test_no_elements_hold_no_dofs_whatever_the_degree(panic_exception, degree):
    basis = zorv.LegendreBasis(degree, 0, 1.0)
    for values in ([], [1.0]):
        assert error_of(lambda: basis.evaluate_at(0.5, values)) == (panic_exception, "Matrix slicing out of bounds.")


@pytest.mark.exhausts_memory
def test_unallocatable_basis_values_raise_memory_error():
    basis = zorv.LegendreBasis(1, 2**40, 1.0)  # 2^41 values, 16 TiB
    with pytest.raises(MemoryError):
        basis.evaluate_all_basis_functions(0.5)
    with pytest.raises(MemoryError):
        basis.evaluate_all_basis_function_derivatives(0.5)


# ---- the failure type and references ------------------------------------------------------

def test_calls_leak_no_references(basis_2_3_3, panic_exception):
    values = [float(v) + 0.5 for v in range(1, 10)]
    short = values[:4]
    item = values[0]
    array_values = np.array(values)
    before = [sys.getrefcount(o) for o in (values, short, item, array_values, basis_2_3_3)]
    for _ in range(200):
        basis_2_3_3.evaluate_at(1.25, values)
        basis_2_3_3.evaluate_at(1.25, array_values)
        basis_2_3_3.evaluate_all_basis_functions(item)
        with pytest.raises(panic_exception):
            basis_2_3_3.evaluate_at(1.25, short)
        with pytest.raises(TypeError):
            basis_2_3_3.evaluate_at(1.25, [item, "x"])
    after = [sys.getrefcount(o) for o in (values, short, item, array_values, basis_2_3_3)]
    assert after == before
