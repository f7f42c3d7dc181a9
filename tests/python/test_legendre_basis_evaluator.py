"""LegendreBasisEvaluator: stored dofs, batch evaluation on buffers, holds, threads and the pool."""

import array
import json
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import zorv
import zorv_arrays
from helpers import assert_bitwise_equal, error_of

ONE_TO_NINE = [float(v) for v in range(1, 10)]
WRONG_LENGTH_8 = ("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has "
                  "wrong length\n  left: 8\n right: 9")
INCOMPATIBLE = "buffer contents are not compatible with f64"
MISALIGNED = "buffer contents are insufficiently aligned for f64"




def singles(evaluator, times, derivative=False):
    one = evaluator.evaluate_derivative_at if derivative else evaluator.evaluate_at
    return [one(float(t)) for t in np.asarray(times).ravel()]


def random_times(rng, count, T):
    """Times inside and outside [0, T], with the element ends and the special values mixed in."""
    times = rng.uniform(-0.5 * T, 1.5 * T, size=count)
    special = [0.0, -0.0, T, math.nan, math.inf, -math.inf, -1e300, 1e300]
    positions = rng.choice(count, size=min(count, 64), replace=False)
    times[positions] = rng.choice(special, size=len(positions))
    return times


@pytest.fixture
def evaluator():
    e = zorv.LegendreBasisEvaluator(2, 3, 3.0)
    e.set_dofs(ONE_TO_NINE)
    return e


# ---- state: zero dofs, set_dofs -----------------------------------------------------------

@pytest.mark.parametrize("count", [5, 3000])
def test_new_instance_evaluates_to_zero(count):
    e = zorv.LegendreBasisEvaluator(3, 4, 2.0)
    times = np.linspace(-1.0, 3.0, count)
    assert e.evaluate_at(0.7) == 0.0 and e.evaluate_derivative_at(0.7) == 0.0
    assert e.evaluate_many(times) == [0.0] * count
    assert e.evaluate_derivative_many(times) == [0.0] * count


def test_worked_example(evaluator):
    assert evaluator.evaluate_many(np.array([1.25, 0.0, 3.0, -1.0, 7.5])) == [-1.5, 4.0, 18.0, 4.0, 18.0]
    assert evaluator.evaluate_derivative_many(np.array([1.25, 0.0, 3.0])) == [-14.000000000000032, 8.0, 12.0]
    assert evaluator.evaluate_at(1.25) == -1.5
    assert evaluator.evaluate_derivative_at(1.25) == -14.000000000000032


def test_wrong_length_stops_and_keeps_the_state(panic_exception):
    fresh = zorv.LegendreBasisEvaluator(2, 3, 3.0)
    assert error_of(lambda: fresh.set_dofs(ONE_TO_NINE[:8])) == (panic_exception, WRONG_LENGTH_8)
    assert fresh.evaluate_at(1.25) == 0.0
    assert fresh.evaluate_many(np.array([1.25, 2.5])) == [0.0, 0.0]

    fresh.set_dofs(ONE_TO_NINE)
    for values, left in [([], 0), (ONE_TO_NINE + [1.0], 10), (range(100), 100)]:
        message = ("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has "
                   f"wrong length\n  left: {left}\n right: 9")
        assert error_of(lambda: fresh.set_dofs(values)) == (panic_exception, message)
        assert fresh.evaluate_at(1.25) == -1.5
    for values, kind in [("abcdefghi", TypeError), ([1.0] * 8 + ["x"], TypeError), (None, TypeError)]:
        with pytest.raises(kind, match="^argument 'legendre_vals': "):
            fresh.set_dofs(values)
        assert fresh.evaluate_at(1.25) == -1.5


def test_set_dofs_replaces_the_whole_vector(evaluator):
    assert evaluator.set_dofs(tuple(v * 2.0 for v in ONE_TO_NINE)) is None
    assert evaluator.evaluate_at(1.25) == -3.0
    evaluator.set_dofs(legendre_vals=np.arange(1.0, 10.0))
    assert evaluator.evaluate_at(1.25) == -1.5
    evaluator.set_dofs(bytes(range(1, 10)))
    assert evaluator.evaluate_at(1.25) == -1.5


@pytest.mark.parametrize("seed", [31, 32, 33], ids=lambda s: f"seed={s}")
def test_single_calls_equal_legendre_basis_bit_for_bit(seed):
    rng = np.random.default_rng(seed)
    for _ in range(8):
        degree, n_t = int(rng.integers(0, 9)), int(rng.integers(1, 9))
        T = float(rng.choice([1.0, 3.0, rng.uniform(0.05, 20.0)]))
        dofs = list(rng.normal(scale=3.0, size=n_t * (degree + 1)))
        basis = zorv.LegendreBasis(degree, n_t, T)
        e = zorv.LegendreBasisEvaluator(degree, n_t, T)
        e.set_dofs(dofs)
        times = random_times(rng, 40, T)
        assert_bitwise_equal(singles(e, times), [basis.evaluate_at(t, dofs) for t in times])
        # derivative values against the all-basis derivatives dotted with the dofs
        for t in times[np.isfinite(times)]:
            expected = np.array(basis.evaluate_all_basis_function_derivatives(t)) @ np.array(dofs)
            assert e.evaluate_derivative_at(t) == pytest.approx(expected, rel=1e-10, abs=1e-9)


# ---- batches equal single calls -----------------------------------------------------------

SPECIAL_T = [1.0, 2.5, 3.0, -2.0, 0.0, 1.79e308, 5e-324, math.inf, -math.inf, math.nan]


def special_times(rng, T, n_t, count):
    """Element ends and their neighbours, zeros, infinities, NaN, subnormals and huge values,
    then random times around [0, T], `count` in all, shuffled."""
    w = T / n_t
    ends = [w * e for e in range(n_t + 1)] if math.isfinite(w) else [0.0]
    neighbours = [np.nextafter(x, d) for x in ends for d in (-math.inf, math.inf)]
    special = ends + neighbours + [0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324, -5e-324, 1e300, -1e300, T]
    scale = min(abs(T), 1e300) if math.isfinite(T) and T != 0.0 else 1.0
    times = np.concatenate([np.resize(np.array(special, dtype=float), min(count, len(special))),
                            rng.uniform(-0.5 * scale, 1.5 * scale, size=max(0, count - len(special)))])
    rng.shuffle(times)
    return times


@pytest.mark.parametrize("degree", range(31))
def test_batches_equal_single_calls_bit_for_bit(degree):
    """For every degree, special T, dofs with zeros, infinities, NaN and subnormals, and batch
    lengths below and above 2048 that are not multiples of the kernel's block: every batch value
    is what the single call gives."""
    seed = 40 + degree
    rng = np.random.default_rng(seed)
    T = SPECIAL_T[degree % len(SPECIAL_T)]
    n_t = 1 + degree % 7
    e = zorv.LegendreBasisEvaluator(degree, n_t, T)
    dofs = rng.normal(size=n_t * (degree + 1))
    if degree % 3 == 0:
        dofs[rng.choice(dofs.size, size=min(3, dofs.size), replace=False)] = [math.inf, -0.0, 5e-324][:min(3, dofs.size)]
    if degree % 5 == 4:
        dofs[0] = math.nan
    e.set_dofs(dofs)
    for count in (degree + 1, 2047 - degree % 4, 2049 + degree):
        times = special_times(rng, T, n_t, count)
        assert_bitwise_equal(e.evaluate_many(times), singles(e, times)), f"seed {seed}, {count} values"
        assert_bitwise_equal(e.evaluate_derivative_many(times), singles(e, times, derivative=True))


# ---- float buffers ------------------------------------------------------------------------

def test_buffers_are_read_in_row_major_order(evaluator):
    grid = np.array([[1.25, 0.0, 3.0], [-1.0, 7.5, 2.0]])
    expected = singles(evaluator, grid)
    assert evaluator.evaluate_many(grid) == expected
    assert evaluator.evaluate_many(np.asfortranarray(grid)) == expected
    assert evaluator.evaluate_many(grid.T) == singles(evaluator, grid.T)
    assert evaluator.evaluate_many(grid[:, ::2]) == singles(evaluator, grid[:, ::2])
    assert evaluator.evaluate_many(grid[::-1, 1:]) == singles(evaluator, grid[::-1, 1:])
    cube = np.linspace(-1.0, 4.0, 24).reshape(2, 3, 4).transpose(2, 0, 1)[::2]
    assert evaluator.evaluate_derivative_many(cube) == singles(evaluator, cube, derivative=True)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([1.25, 0.0]),
        lambda: np.array([1.25, 0.0], dtype="<f8"),
        lambda: np.array([1.25, 0.0], dtype="=f8"),
        lambda: array.array("d", [1.25, 0.0]),
        lambda: memoryview(array.array("d", [1.25, 0.0])),
        lambda: memoryview(np.array([9.0, 1.25, 7.0, 0.0]))[1::2],
        lambda: memoryview(struct.pack("=2d", 1.25, 0.0)).cast("d"),
    ],
    ids=["float64", "<f8", "=f8", "array", "memoryview", "strided memoryview", "cast bytes"],
)
def test_accepted_buffers(evaluator, make):
    assert evaluator.evaluate_many(make()) == [-1.5, 4.0]


def test_read_only_and_empty_buffers(evaluator):
    frozen = np.array([1.25, 0.0])
    frozen.setflags(write=False)
    assert evaluator.evaluate_many(frozen) == [-1.5, 4.0]
    assert evaluator.evaluate_many(np.frombuffer(struct.pack("<d", 1.25), dtype=np.float64)) == [-1.5]
    assert evaluator.evaluate_many(np.array([])) == []
    assert evaluator.evaluate_derivative_many(np.zeros((0, 5))) == []
    # an empty array.array lends a shared static byte, whose address need not be a multiple of 8
    assert evaluator.evaluate_many(array.array("d")) == []
    assert evaluator.evaluate_many(misaligned_float64(0)) == []


def misaligned_float64(count):
    storage = bytearray(8 * (count + 2))
    base = np.frombuffer(storage, dtype=np.uint8).ctypes.data
    offset = 1 if base % 8 == 0 else 8 - base % 8 + 1
    view = np.frombuffer(storage, dtype=np.float64, offset=offset, count=count)
    assert count == 0 or view.ctypes.data % 8 != 0
    return view


@pytest.mark.parametrize(
    "make, kind, message",
    [
        (lambda: np.zeros(3, dtype=np.float32), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=">f8"), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=np.int64), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=np.complex128), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=np.longdouble), BufferError, INCOMPATIBLE),
        (lambda: np.zeros(3, dtype=[("a", "<f8")]), BufferError, INCOMPATIBLE),
        (lambda: b"12345678", BufferError, INCOMPATIBLE),
        (lambda: bytearray(16), BufferError, INCOMPATIBLE),
        (lambda: array.array("f", [1.0, 2.0]), BufferError, INCOMPATIBLE),
        (lambda: memoryview(struct.pack(">2d", 1.0, 2.0)).cast("B").cast("Q"), BufferError, INCOMPATIBLE),
        (lambda: misaligned_float64(10), BufferError, MISALIGNED),
        (lambda: np.zeros(()), BufferError, "shape is null"),
        (lambda: np.float64(1.0), BufferError, "shape is null"),
    ],
    ids=["float32", ">f8", "int64", "complex", "longdouble", "record", "bytes", "bytearray", "array f",
         "uint64 view", "misaligned", "0-d array", "numpy scalar"],
)
def test_refused_buffers(evaluator, make, kind, message):
    assert error_of(lambda: evaluator.evaluate_many(make())) == (kind, message)
    assert error_of(lambda: evaluator.evaluate_derivative_many(make())) == (kind, message)


@pytest.mark.parametrize("times", [[1.25, 0.0], (1.25,), 1.25, None, "1.25"])
def test_objects_without_a_buffer(evaluator, times):
    kind, message = error_of(lambda: evaluator.evaluate_many(times))
    assert kind is TypeError and message.startswith("argument 't_values': "), message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.evaluate_many(), "LegendreBasisEvaluator.evaluate_many() missing 1 required positional "
                                      "argument: 't_values'"),
        (lambda e: e.evaluate_derivative_many(np.zeros(1), np.zeros(1)),
         "LegendreBasisEvaluator.evaluate_derivative_many() takes 1 positional arguments but 2 were given"),
        (lambda e: e.evaluate_at(t=1.0, s=2.0), "LegendreBasisEvaluator.evaluate_at() got an unexpected "
                                                "keyword argument 's'"),
        (lambda e: e.set_dofs(ONE_TO_NINE, legendre_vals=ONE_TO_NINE),
         "LegendreBasisEvaluator.set_dofs() got multiple values for argument 'legendre_vals'"),
        (lambda e: zorv.LegendreBasisEvaluator(1, 2),
         "LegendreBasisEvaluator.__new__() missing 1 required positional argument: 'T'"),
        (lambda e: zorv.LegendreBasisEvaluator(1.5, 2, 1.0),
         "argument 'degree': 'float' object cannot be interpreted as an integer"),
        (lambda e: zorv.LegendreBasisEvaluator(1, None, 1.0),
         "argument 'n_t': 'NoneType' object cannot be interpreted as an integer"),
        (lambda e: zorv.LegendreBasisEvaluator(1, 2, "1"), "argument 'T': must be real number, not str"),
    ],
)
def test_argument_errors(evaluator, call, message):
    assert error_of(lambda: call(evaluator)) == (TypeError, message)
    assert evaluator.evaluate_at(1.25) == -1.5


def test_keyword_calls(evaluator):
    times = np.array([1.25, 0.0])
    assert evaluator.evaluate_many(t_values=times) == [-1.5, 4.0]
    assert evaluator.evaluate_derivative_many(t_values=times) == [-14.000000000000032, 8.0]
    assert evaluator.evaluate_at(t=1.25) == -1.5
    assert evaluator.evaluate_derivative_at(t=0.0) == 8.0
    e = zorv.LegendreBasisEvaluator(T=3.0, degree=2, n_t=3)
    e.set_dofs(legendre_vals=ONE_TO_NINE)
    assert e.evaluate_at(1.25) == -1.5


def test_buffer_views_are_released(evaluator):
    storage = bytearray(struct.pack("=2d", 1.25, 0.0))
    view = memoryview(storage).cast("d")
    assert evaluator.evaluate_many(view) == [-1.5, 4.0]
    assert evaluator.evaluate_derivative_many(view) == [-14.000000000000032, 8.0]
    view.release()  # raises BufferError while an export is still held
    with pytest.raises(BufferError):
        evaluator.evaluate_many(storage)
    storage.extend(b"12345678")  # resizing needs every export released


# ---- sizes --------------------------------------------------------------------------------

@pytest.mark.parametrize("degree, n_t", [(2**62, 2**62), (2**32, 2**32), (1, 2**62), (2**64 - 1, 1),
                                         (0, 2**61)])
def test_unrepresentable_dof_storage_stops_with_capacity_overflow(panic_exception, degree, n_t):
    assert error_of(lambda: zorv.LegendreBasisEvaluator(degree, n_t, 1.0)) == (panic_exception,
                                                                                "capacity overflow")


@pytest.mark.exhausts_memory
def test_unallocatable_dof_storage_raises_memory_error():
    with pytest.raises(MemoryError):
        zorv.LegendreBasisEvaluator(1, 2**40, 1.0)  # 2^41 doubles: 16 TiB


@pytest.mark.parametrize("count", [1, 5, 5000])
@pytest.mark.parametrize("degree", [2, 2**63 - 1, 2**63, 2**64 - 1])
def test_no_elements_stops_instead_of_crashing(panic_exception, count, degree):
    e = zorv.LegendreBasisEvaluator(degree, 0, 1.0)
    assert error_of(lambda: e.set_dofs([1.0])) == (
        panic_exception, "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has "
                         "wrong length\n  left: 1\n right: 0")
    e.set_dofs([])
    times = np.linspace(0.0, 1.0, count)
    for call in [lambda: e.evaluate_at(0.5), lambda: e.evaluate_derivative_at(0.5),
                 lambda: e.evaluate_many(times), lambda: e.evaluate_derivative_many(times)]:
        assert error_of(call) == (panic_exception, "Matrix slicing out of bounds.")
    assert e.evaluate_many(np.array([])) == []
    e.set_dofs([])  # every failed call released its hold


# ---- holds and threads --------------------------------------------------------------------

def test_reentrant_calls_from_converted_values_hit_the_hold(evaluator):
    class ReadsBack:
        def __float__(self):
            return evaluator.evaluate_at(1.25)

    class WritesBack:
        def __float__(self):
            evaluator.set_dofs(ONE_TO_NINE)
            return 1.0

    assert error_of(lambda: evaluator.set_dofs([ReadsBack()] * 9)) == (RuntimeError, "Already mutably borrowed")
    assert error_of(lambda: evaluator.set_dofs([WritesBack()] * 9)) == (RuntimeError, "Already borrowed")
    assert evaluator.evaluate_at(1.25) == -1.5
    evaluator.set_dofs([v + 1.0 for v in ONE_TO_NINE])  # the holds were released
    assert evaluator.evaluate_at(1.25) != -1.5


@pytest.mark.thread_stress
def test_threads_mixing_batches_of_every_size_agree_with_one_thread():
    """Threads run batches below, at and above the pool threshold and a large one, at once, on
    one shared evaluator and on their own, whose dofs they change between batches, and the same
    batches through zorv_arrays (values, design matrices, projections) on the same pool, with
    every other pooled operation of zorv_arrays in between (many functions, derivatives of
    orders 1 to 3, antiderivatives, integrals, inner products and norms, fits), each above the
    pool threshold (the stress that the ThreadSanitizer stage runs)."""
    rng = np.random.default_rng(51)
    dof_sets = [rng.normal(size=54) for _ in range(2)]
    shared = zorv.LegendreBasisEvaluator(8, 6, 1.0)
    shared.set_dofs(dof_sets[0])
    batches = [random_times(rng, count, 1.0) for count in (2047, 2048, 8192, 1_000_000)]
    expected = []
    for dofs in dof_sets:
        reference = zorv.LegendreBasisEvaluator(8, 6, 1.0)
        reference.set_dofs(dofs)
        expected.append([(reference.evaluate_many(b), reference.evaluate_derivative_many(b)) for b in batches])
    space = zorv_arrays.LegendreSpace(8, 6, 1.0)
    fine = zorv_arrays.LegendreSpace(8, 400, 1.0)  # projections from 3600 samples
    fine_dofs = rng.normal(size=fine.n_dofs)
    projected = fine.project(lambda t: fine.evaluate(fine_dofs, t))
    # zorv_arrays' other pooled operations, each on enough values to run on the pool, their
    # results first formed here with no other thread calling.
    times = batches[2]  # 8192 times inside and outside [0, T]
    many = np.stack(dof_sets)
    wide = rng.normal(size=(2048, space.n_dofs))  # loops over functions
    bounds = (random_times(rng, 8192, 1.0), random_times(rng, 8192, 1.0))
    fitting = zorv_arrays.LegendreSpace(2, 2048, 1.0)  # loops over elements
    samples = (np.arange(6 * 2048) + 0.5) / (6 * 2048)  # six in each element
    others = [lambda: space.evaluate(many, times), lambda: space.evaluate(many, times, derivative=True),
              lambda: space.evaluate(dof_sets[0], times, derivative=1),
              lambda: space.evaluate(many, times, derivative=2),
              lambda: space.evaluate(dof_sets[1], times, derivative=3, extrapolate="extend"),
              lambda: space.basis_matrix(times, derivative=True).data,
              lambda: space.antiderivative(wide)[1], lambda: space.integrate(many, *bounds),
              lambda: space.integrate(dof_sets[0], *bounds, extrapolate="extend"),
              lambda: space.inner(wide, wide[::-1]), lambda: space.norm(wide),
              lambda: fitting.fit(samples, np.sin(7.0 * samples)), lambda: fitting.project(np.cos)]
    expected_others = [run() for run in others]
    mismatches = []
    barrier = threading.Barrier(3)

    def row_sums(matrix, dofs):  # matrix @ dofs, each row's products added in entry order
        products = (matrix.data * dofs[matrix.indices]).reshape(matrix.shape[0], -1)
        total = np.zeros(matrix.shape[0])  # (SciPy's own product may fuse the operations)
        for column in products.T:
            total = total + column
        return total

    def same(actual, wanted):
        return np.array_equal(np.asarray(actual).view(np.uint64), np.asarray(wanted).view(np.uint64))

    def work(thread):
        own = zorv.LegendreBasisEvaluator(8, 6, 1.0)
        barrier.wait()
        for step in range(len(batches)):
            b = (thread + step) % len(batches)
            d = (thread + step) % len(dof_sets)
            own.set_dofs(dof_sets[d])
            runs = [(shared.evaluate_many, expected[0][b][0]), (own.evaluate_many, expected[d][b][0]),
                    (own.evaluate_derivative_many, expected[d][b][1]),
                    (lambda t: space.evaluate(dof_sets[d], t), expected[d][b][0]),
                    (lambda t: row_sums(space.basis_matrix(t[:8192]), dof_sets[d]), expected[d][b][0][:8192]),
                    (lambda t: fine.project(lambda s: fine.evaluate(fine_dofs, s)), projected)]
            mismatches.extend((thread, step) for run, wanted in runs if not same(run(batches[b]), wanted))
            # A share of the other operations at each step, a different one in each thread.
            for j in range((thread + step) % len(batches), len(others), len(batches)):
                if not same(others[j](), expected_others[j]):
                    mismatches.append((thread, step, j))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert mismatches == []


def test_set_dofs_is_refused_while_a_batch_runs():
    """A batch releases the interpreter lock and keeps a shared hold: set_dofs fails meanwhile,
    a shared evaluation proceeds, the buffer stays exported, and the batch works on its own copy
    of the times."""
    rng = np.random.default_rng(52)
    e = zorv.LegendreBasisEvaluator(20, 5, 1.0)
    dofs = rng.normal(size=105)
    e.set_dofs(dofs)
    probe = e.evaluate_at(0.3)
    count = 2**18
    deadline = time.monotonic() + 40.0
    while True:
        times = np.linspace(-0.1, 1.1, count)
        original = times.copy()
        outcome = {}
        view = memoryview(times)
        worker = threading.Thread(target=lambda: outcome.update(values=e.evaluate_many(view)))
        worker.start()
        refusal = None
        while worker.is_alive() and refusal is None:
            try:
                e.set_dofs(dofs)  # the same values: harmless when it gets in before the batch
            except RuntimeError as error:
                refusal = str(error)
                during = e.evaluate_at(0.3)
                try:
                    view.release()
                    exported = False
                except BufferError:
                    exported = True
                if not exported:  # a fault only if the batch still holds the instance
                    try:
                        e.set_dofs(dofs)
                    except RuntimeError:
                        pytest.fail("the buffer view was released while the batch was running")
                times[:] = 99.0
        worker.join()
        view.release()
        if refusal is not None or time.monotonic() > deadline:
            break
        count *= 2
    assert refusal == "Already borrowed", f"the batch of {count} times was never seen running"
    assert during == probe
    values = outcome["values"]
    sample = np.arange(0, count, 997)
    assert_bitwise_equal([values[i] for i in sample], [e.evaluate_at(original[i]) for i in sample])
    e.set_dofs(dofs * 2.0)
    assert e.evaluate_at(0.3) == pytest.approx(2.0 * probe)


def run_python(script, *args, environment=None, timeout=120):
    """Runs `script` in a fresh interpreter that imports this zorv, with the pool variables unset."""
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(environment or {})
    env["PYTHONPATH"] = os.path.dirname(zorv.__file__)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=timeout)


POOL_SCRIPT = """
    import array, json, os, signal, sys, time
    import zorv
    if sys.argv[1] == "one-cpu":
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    def threads():
        return len(os.listdir("/proc/self/task"))
    def blocked_signals(task):
        with open(f"/proc/self/task/{task}/status") as status:
            return next(int(line.split()[1], 16) for line in status if line.startswith("SigBlk:"))
    before = set(os.listdir("/proc/self/task"))
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})
    caller_mask = signal.pthread_sigmask(signal.SIG_BLOCK, [])
    e = zorv.LegendreBasisEvaluator(3, 4, 1.0)
    e.set_dofs([0.5 * k for k in range(16)])
    start = threads()
    e.evaluate_many(array.array("d", [i / 2047 for i in range(2047)]))
    after_small = threads()
    times = array.array("d", [i * 6e-4 - 0.1 for i in range(2048)])
    values = e.evaluate_many(times)
    exact = all(values[i] == e.evaluate_at(times[i]) for i in range(2048))
    # SIGINT blocked, SIGILL, SIGTRAP, SIGBUS, SIGFPE, SIGSEGV, SIGSYS not (bits of signal - 1); a
    # thread blocks them all until it has started, which takes a while on a busy machine
    for _ in range(200):
        masks = [blocked_signals(task) & 0x400004DA for task in set(os.listdir("/proc/self/task")) - before]
        if all(mask == 0x2 for mask in masks):
            break
        time.sleep(0.01)
    print(json.dumps({"start": start, "after_small": after_small, "after_threshold": threads(), "exact": exact,
                      "workers_block_only_sigint": all(mask == 0x2 for mask in masks),
                      "caller_mask_kept": signal.pthread_sigmask(signal.SIG_BLOCK, []) == caller_mask}))
"""


@pytest.mark.parametrize(
    "environment, affinity, size",
    [
        ({"RAYON_NUM_THREADS": "3"}, "all", 3),
        ({"RAYON_NUM_THREADS": "1"}, "all", 1),
        ({"RAYON_RS_NUM_CPUS": "3"}, "all", 3),
        ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "5"}, "all", 2),
        ({"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "3"}, "all", 3),
        ({"RAYON_NUM_THREADS": "8"}, "one-cpu", 8),
        ({"RAYON_NUM_THREADS": "0"}, "one-cpu", 1),
        ({}, "one-cpu", 1),
        ({"RAYON_RS_NUM_CPUS": "0"}, "one-cpu", 1),
    ],
    ids=lambda v: json.dumps(v) if isinstance(v, dict) else str(v),
)
def test_pool_starts_at_2048_times_with_the_size_the_environment_asks_for(environment, affinity, size):
    """The pool is the calling thread plus size - 1 workers, all started by the first batch of
    2048 times (and not by one of 2047), with asynchronous signals left to the program's own
    threads (whose masks stay as they were) and faults to the crash handlers; the size comes from
    the variables, else the affinity mask."""
    run = run_python(POOL_SCRIPT, affinity, environment=environment)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["exact"] and report["workers_block_only_sigint"] and report["caller_mask_kept"], report
    assert report["after_small"] == report["start"], "a batch below 2048 times started threads"
    assert report["after_threshold"] - report["start"] == size - 1, report


@pytest.mark.limits_address_space
def test_a_pool_whose_threads_cannot_start_fails_every_pooled_batch_cleanly():
    """Worker threads that cannot be created (here: no address space for their stacks) give the
    pool's PanicException from 2048 times on, every time; smaller batches keep working."""
    run = run_python("""
        import array, resource, zorv
        e = zorv.LegendreBasisEvaluator(2, 3, 1.0)
        e.set_dofs([1.0] * 9)
        with open("/proc/self/status") as status:
            size_kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = (size_kib + 256 * 1024) * 1024  # room for the batches, not for 999 thread stacks
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for count in (2047, 2048, 2047, 40000):
            try:
                values = e.evaluate_many(array.array("d", [0.5] * count))
                print(count, "ok", values[-1] == e.evaluate_at(0.5))
            except BaseException as error:
                print(count, type(error).__name__, str(error).split(":")[0])
    """, environment={"RAYON_NUM_THREADS": "1000",
                      # Under AddressSanitizer (newer runtimes check stack use after return by
                      # default) each thread's fake stack would need more than the limit leaves.
                      "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_stack_use_after_return=0"})
    assert run.returncode == 0, run.stderr
    refusal = "PanicException The global thread pool has not been initialized."
    assert run.stdout.splitlines() == ["2047 ok True", f"2048 {refusal}", "2047 ok True", f"40000 {refusal}"]


EXIT_INSIDE_A_BATCH = """
    import sys, threading, time, numpy as np, zorv
    e = zorv.LegendreBasisEvaluator(8, 64, 1.0)
    t = np.linspace(0, 1, int(sys.argv[1]))
    def spin():
        while True:
            e.evaluate_many(t)
    for _ in range(2):
        threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.3)
    print("exiting")
"""

# The thread is ended inside the caller's own __float__ (its sleep takes the interpreter lock
# back), below zorv's frames, which hold the generator, its item and the sequence's buffer.
EXIT_INSIDE_A_CONVERSION = """
    import collections.abc, importlib, threading, time, zorv
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:  # once one has existed, PyGILState_Check() says yes on every thread (up to 3.11)
            interpreters = importlib.import_module(name)
            interpreters.destroy(interpreters.create())
            break
        except ImportError:
            pass
    B = zorv.LegendreBasis(0, 1, 1.0)
    E = zorv.LegendreBasisEvaluator(0, 1, 1.0)
    class Item:
        def __float__(self):
            time.sleep(0.001)
            return 0.5
    class Times(collections.abc.Sequence):
        def __len__(self): return 1
        def __getitem__(self, i): raise IndexError
        def __iter__(self): yield Item()
    def spin(call):
        while True:
            call()
    calls = [lambda: B.evaluate_at(0.5, Times())] * 4 + [lambda: E.set_dofs(Times()),
                                                        lambda: zorv.get_lagrange_points(1, 2, Item())]
    for call in calls:
        threading.Thread(target=spin, args=(call,), daemon=True).start()
    time.sleep(0.2)
    print("exiting")
"""


# zorv_arrays: the lock released around the core's work (evaluate, basis_matrix, project), and
# Python code called from the module (SciPy's constructor, project's f, which sleeps).
EXIT_INSIDE_ARRAYS = """
    import threading, time, numpy as np, zorv_arrays as za
    space = za.LegendreSpace(3, 1000, 1.0)
    dofs = np.linspace(-1.0, 1.0, space.n_dofs)
    t = np.linspace(0.0, 1.0, 10**6)
    samples = np.sin(np.arange(1e6)).reshape(250, 4000)
    def sleepy(times):
        time.sleep(0.001)
        return np.sin(times)
    def spin(call):
        while True:
            call()
    for call in [lambda: space.evaluate(dofs, t), lambda: space.basis_matrix(t[:200_000]),
                 lambda: space.project(lambda times: samples), lambda: space.project(sleepy)]:
        threading.Thread(target=spin, args=(call,), daemon=True).start()
    time.sleep(0.3)
    print("exiting")
"""


# A short call of every public callable of both modules, by qualified name: lists, arrays,
# broadcasting, and the caller's own code (a sleeping __float__, __index__ or f) where a
# callable takes it. A new public callable needs a recipe here (see the test below).
EXIT_RECIPES = {
    "zorv.sum_as_string": "zorv.sum_as_string(Count(1), 2)",
    "zorv.get_lagrange_points": "zorv.get_lagrange_points(Count(2), 3, Item())",
    "zorv.lagrange_prolongation_matrix": "zorv.lagrange_prolongation_matrix(Count(2), 4, 2, np.True_)",
    "zorv.lagrange_to_legendre_basis_transformation": "zorv.lagrange_to_legendre_basis_transformation(2, Count(3))",
    "zorv.LegendreBasis": "zorv.LegendreBasis(Count(3), 3, Item())",
    "zorv.LegendreBasis.evaluate_at": "B.evaluate_at(Item(), Times())",
    "zorv.LegendreBasis.evaluate_all_basis_functions": "B.evaluate_all_basis_functions(Item())",
    "zorv.LegendreBasis.evaluate_all_basis_function_derivatives": "B.evaluate_all_basis_function_derivatives(Item())",
    "zorv.LegendreBasisEvaluator": "zorv.LegendreBasisEvaluator(3, Count(3), Item())",
    "zorv.LegendreBasisEvaluator.set_dofs": "zorv.LegendreBasisEvaluator(3, 4, 1.0).set_dofs(Times())",
    "zorv.LegendreBasisEvaluator.evaluate_at": "E.evaluate_at(Item())",
    "zorv.LegendreBasisEvaluator.evaluate_derivative_at": "E.evaluate_derivative_at(Item())",
    "zorv.LegendreBasisEvaluator.evaluate_many": "E.evaluate_many(t)",
    "zorv.LegendreBasisEvaluator.evaluate_derivative_many": "E.evaluate_derivative_many(t)",
    "zorv_arrays.lagrange_points": "za.lagrange_points(Count(2), 3, Item(), periodic=np.True_)",
    "zorv_arrays.prolongation": "za.prolongation(2, nt_coarse=Count(2), nt_fine=4)",
    "zorv_arrays.lagrange_to_legendre": "za.lagrange_to_legendre(2, Count(3))",
    "zorv_arrays.LegendreSpace": "za.LegendreSpace(Count(3), 3, Item())",
    "zorv_arrays.LegendreSpace.degree": "S.degree",
    "zorv_arrays.LegendreSpace.n_t": "S.n_t",
    "zorv_arrays.LegendreSpace.T": "S.T",
    "zorv_arrays.LegendreSpace.n_dofs": "S.n_dofs",
    "zorv_arrays.LegendreSpace.edges": "S.edges",
    "zorv_arrays.LegendreSpace.evaluate": "S.evaluate(dofs, Array([[0.1], [0.7]]), derivative=Count(1))",
    "zorv_arrays.LegendreSpace.locate": "S.locate(Array([[0.2], [0.7]]))",
    "zorv_arrays.LegendreSpace.basis_matrix": "S.basis_matrix(Array([0.2, 0.7]), derivative=Count(1))",
    "zorv_arrays.LegendreSpace.project": "S.project(sleepy, points=Count(2))",
    "zorv_arrays.LegendreSpace.integrate": "S.integrate(dofs, Array(0.0), [0.5, 0.25])",
    "zorv_arrays.LegendreSpace.antiderivative": "S.antiderivative(Array(dofs))",
    "zorv_arrays.LegendreSpace.inner": "S.inner(Array(dofs), dofs[0])",
    "zorv_arrays.LegendreSpace.norm": "S.norm(Array(dofs))",
    "zorv_arrays.LegendreSpace.fit": "S.fit(t, Array(np.sin(t)[:, None]), w=Array(t + 1.0), axis=Count(0))",
    "zorv_arrays.LegendreSpace.to_coefficients": "S.to_coefficients(Array(dofs))",
    "zorv_arrays.LegendreSpace.from_coefficients": "S.from_coefficients(Array(S.to_coefficients(dofs)))",
    "zorv_arrays.LegendreSpace.to_legendre": "S.to_legendre(Array(dofs[0]))",
    "zorv_arrays.LegendreSpace.to_ppoly": "S.to_ppoly(Array(dofs[0]))",
}

EXIT_INSIDE_EVERY_CALL = """
    import random, sys, threading, time, numpy as np, zorv, zorv_arrays as za
    # "sleep": the caller's code sleeps, so that threads are mostly inside it; "plain": it
    # does not, so that they are as often inside NumPy's or SciPy's Python code.
    def pause():
        if sys.argv[1] == "sleep":
            time.sleep(0.0005)
    class Item:
        def __float__(self):
            pause()
            return 0.5
    class Count:
        def __init__(self, value): self.value = value
        def __index__(self):
            pause()
            return self.value
    class Times:  # a sequence that only iterates, with sleeping items
        def __len__(self): return 16
        def __getitem__(self, i): raise IndexError
        def __iter__(self): return (Item() for _ in range(16))
    class Array:  # an array-like that NumPy asks for its values (in Python code)
        def __init__(self, values): self.values = np.asarray(values, dtype=float)
        def __array__(self, dtype=None, copy=None):
            pause()
            return self.values
    def sleepy(times):
        pause()
        return np.sin(times)
    B = zorv.LegendreBasis(3, 4, 1.0)
    E = zorv.LegendreBasisEvaluator(3, 4, 1.0)
    E.set_dofs([0.5] * 16)
    S = za.LegendreSpace(3, 3, 1.0)
    dofs = np.linspace(-1.0, 1.0, 2 * S.n_dofs).reshape(2, S.n_dofs)
    t = np.linspace(0.0, 1.0, 40)
    go = threading.Event()
    def spin(call):
        go.wait()
        while True:
            call()
    calls = [eval("lambda: " + recipe) for recipe in sys.argv[2:]]
    for call in calls:
        call()  # every recipe works
    for call in calls:
        threading.Thread(target=spin, args=(call,), daemon=True).start()
    go.set()  # all at once (threads that start while others spin take long to start)
    time.sleep(random.uniform(0.02, 0.3))
    print("exiting")
"""


def public_callables():
    """The qualified names of the public functions, classes, methods and properties of both modules."""
    names = set()
    for module in (zorv, zorv_arrays):
        for name in module.__all__:
            item = getattr(module, name)
            names.add(f"{module.__name__}.{name}")
            if isinstance(item, type):
                names.update(f"{module.__name__}.{name}.{member}" for member in dir(item)
                             if not member.startswith("_"))
    return names


def test_every_public_callable_has_an_exit_recipe():
    """The exit test below covers a callable only when it has a recipe: a new one must get one."""
    assert public_callables() == set(EXIT_RECIPES)


@pytest.mark.parametrize("script, argument, runs", [(EXIT_INSIDE_A_BATCH, 1000, 1), (EXIT_INSIDE_A_BATCH, 400_000, 1),
                                                    (EXIT_INSIDE_A_CONVERSION, 0, 4), (EXIT_INSIDE_ARRAYS, 0, 3),
                                                    (EXIT_INSIDE_EVERY_CALL, "sleep", 3),
                                                    (EXIT_INSIDE_EVERY_CALL, "plain", 5)],
                         ids=["small batch", "pooled batch", "conversion", "zorv_arrays",
                              "every public callable, sleeping", "every public callable"])
def test_interpreter_exit_with_a_daemon_thread_inside_a_call(script, argument, runs):
    """At exit a daemon thread that takes the interpreter lock back is ended by unwinding its
    stack, which must neither touch Python objects nor meet a frame it cannot pass (nanobind's):
    the modules park such a thread where they take the lock back or call Python code, or let the
    unwind pass. The process exits cleanly, without a leak report for what the threads hold.
    (A crash there is likely, not certain: a few runs catch it.)"""
    arguments = [argument, *EXIT_RECIPES.values()] if script is EXIT_INSIDE_EVERY_CALL else [argument]
    for _ in range(runs):
        run = run_python(script, *arguments)
        assert (run.returncode, run.stdout.strip(), run.stderr) == (0, "exiting", "")


def test_collector_walks_never_meet_an_incomplete_result_list():
    """Another thread that reaches every tracked object (as memory profilers do) while large batches
    run must only ever find complete lists."""
    run = run_python("""
        import gc, sys, threading, numpy as np, zorv
        N = 300_000
        e = zorv.LegendreBasisEvaluator(30, 16, 1.0)
        t = np.linspace(0, 1, N)
        batches = threading.Thread(target=lambda: [e.evaluate_many(t) for _ in range(30)])
        batches.start()
        seen = 0
        while batches.is_alive():
            for o in gc.get_objects():
                if type(o) is list and len(o) == N:
                    assert type(o[0]) is float and type(o[-1]) is float
                    seen += 1
        batches.join()
        print("done")
    """)
    assert (run.returncode, run.stdout.strip()) == (0, "done"), run.stderr


def test_running_out_of_memory_at_any_point_of_a_batch_is_a_clean_memory_error():
    """Allocation failures injected at every stage of pooled and small batches (argument copy,
    result list, any of its items) give MemoryError or the right values, never a crash."""
    run = run_python("""
        import array, gc, _testcapi, zorv
        if not hasattr(_testcapi, "set_nomemory"):
            raise SystemExit("skip")
        e = zorv.LegendreBasisEvaluator(3, 8, 1.0)
        e.set_dofs([0.25 * k for k in range(32)])
        outcomes = set()
        for count in (5000, 300):
            times = array.array("d", [i / (count - 1) for i in range(count)])
            expected = e.evaluate_many(times)
            for start in range(0, count + 2000, 37):
                _testcapi.set_nomemory(start, 0)
                try:
                    values = e.evaluate_many(times)
                except MemoryError:
                    values = None
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add("memory" if values is None else "ok")
                assert values is None or values == expected
            gc.collect()
            assert e.evaluate_many(times) == expected
        print(sorted(outcomes))
    """, environment={"RAYON_NUM_THREADS": "2"})
    if run.stderr.strip() == "skip":
        pytest.skip("this interpreter cannot inject allocation failures")
    assert (run.returncode, run.stdout.strip()) == (0, "['memory', 'ok']"), run.stderr


def test_a_forked_child_computes_pooled_batches_with_a_pool_of_its_own():
    """The child starts its own 2 workers (the parent's do not exist in it)."""
    run = run_python("""
        import array, os, zorv
        e = zorv.LegendreBasisEvaluator(3, 4, 1.0)
        e.set_dofs([0.25 * k for k in range(16)])
        times = array.array("d", [i / 9999 for i in range(10000)])
        expected = e.evaluate_many(times)
        pid = os.fork()
        if pid == 0:
            before = len(os.listdir("/proc/self/task"))  # an emulator may run threads of its own
            same = e.evaluate_many(times) == expected
            os._exit(10 * (len(os.listdir("/proc/self/task")) - before) + same)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """, environment={"RAYON_NUM_THREADS": "3"}, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "21"), run.stderr


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="this AddressSanitizer runtime has no fork handlers: a child forked while "
                           "400 threads start can deadlock inside the sanitizer's own allocator")
@pytest.mark.skipif(bool(os.environ.get("ZORV_EMULATOR")),
                    reason="a user-mode emulator forking while 400 emulated threads start does not finish "
                           "in the test's time")
def test_a_child_forked_while_another_thread_creates_the_pool_gets_a_pool_of_its_own():
    """Forks 0-4 ms after another thread began creating a pool of 400 threads; each grandchild's
    own pooled batch must finish (a hang is ended by its alarm and reported)."""
    run = run_python("""
        import array, os, signal, threading, time, zorv
        times = array.array("d", [i / 4095 for i in range(4096)])
        def forks_during_creation(delay):
            e = zorv.LegendreBasisEvaluator(2, 4, 1.0)
            creator = threading.Thread(target=e.evaluate_many, args=(times,))
            creator.start()
            time.sleep(delay)
            pid = os.fork()
            if pid == 0:
                signal.alarm(20)  # the default action ends a child that hangs
                os._exit(0 if len(e.evaluate_many(times)) == 4096 else 1)
            creator.join()
            return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        outcomes = []
        for delay in (0, 0.001, 0.002, 0.003, 0.004):
            pid = os.fork()  # a process without a pool for every round
            if pid == 0:
                os._exit(forks_during_creation(delay) & 0xFF)
            outcomes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
            if outcomes[-1] != 0:
                break
        print(outcomes)
    """, environment={"RAYON_NUM_THREADS": "400"}, timeout=300)
    assert (run.returncode, run.stdout.strip()) == (0, "[0, 0, 0, 0, 0]"), run.stderr


# ---- references ---------------------------------------------------------------------------

def test_calls_leak_no_references(evaluator, panic_exception):
    times = np.linspace(-1.0, 4.0, 3000)
    small = np.linspace(-1.0, 4.0, 10)
    single = np.float32(1.0)
    short = [float(v) for v in range(8)]
    values = [v + 0.25 for v in ONE_TO_NINE]
    item = values[3]
    watched = (times, small, single, short, values, item, evaluator)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        evaluator.evaluate_many(times)
        evaluator.evaluate_derivative_many(small)
        evaluator.evaluate_at(item)
        evaluator.set_dofs(values)
        with pytest.raises(BufferError):
            evaluator.evaluate_many(single)
        with pytest.raises(TypeError):
            evaluator.evaluate_many(short)
        with pytest.raises(panic_exception):
            evaluator.set_dofs(short)
        with pytest.raises(TypeError):
            evaluator.set_dofs([item, "x"])
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
