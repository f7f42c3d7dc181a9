"""What every call observes at the boundary: binding, conversions, holds, failures."""

import array
import collections
import collections.abc
import ctypes
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zorv
import zorv_arrays
from helpers import ONE_LOCAL, bits, error_of as message_of




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


# ---- float sequence: NumPy arrays ------------------------------------------------------

class ItemByItem(collections.abc.Sequence):
    """The same items as `wrapped`, reachable only one at a time."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __len__(self):
        return len(self.wrapped)

    def __getitem__(self, index):
        return self.wrapped[index]

    def __iter__(self):
        return iter(self.wrapped)


def converted(values):
    """The float-sequence conversion of `values`, read back exactly (degree 0 returns each
    element's dof unchanged), or its error."""
    try:
        count = len(values)
    except TypeError:
        count = 1
    evaluator = zorv.LegendreBasisEvaluator(0, count, float(count))
    try:
        evaluator.set_dofs(values)
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return type(error), str(error)
    return [bits(v) for v in evaluator.evaluate_many(np.arange(count) + 0.5)]


def arrays(seed):
    """Float64 arrays reaching their memory in many ways (strided, reversed, read-only,
    unaligned, empty), then arrays that must convert item by item."""
    rng = np.random.default_rng(seed)
    base = rng.standard_normal(64) * 10.0 ** rng.integers(-310, 308, size=64)
    base[rng.choice(64, 8, replace=False)] = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 5e-324, -2.5e-310]
    start, stop = sorted(rng.integers(0, 64, size=2))
    step = int(rng.choice([1, 2, 3, -1, -2, -5]))
    read_only = base[start:stop:step] if step > 0 else base[stop:start:step]
    read_only.flags.writeable = False
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1)
    others = [np.asmatrix(base[:8]), base.reshape(8, 8), base.reshape(64, 1), np.array(base[0]),
              base.astype(">f8"), base.astype(np.float32), base[:8].astype(np.int64), base.astype(object),
              np.zeros(2, dtype=[("a", "f8")]), np.array(["2020-01-01"], dtype="datetime64[D]")]
    return [read_only, base.reshape(8, 8)[:, seed % 8], unaligned, base[:0]] + others


@pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::PendingDeprecationWarning",  # making the arrays
                            "ignore:Conversion of an array with ndim:DeprecationWarning")  # older NumPy, item by item
@pytest.mark.parametrize("seed", range(8))
def test_numpy_arrays_convert_as_item_by_item(seed):
    for values in arrays(seed):
        assert converted(values) == converted(ItemByItem(values)), values


def test_a_list_item_outlives_its_own_conversion():
    class Renamed:
        pass

    class Emptying:
        def __float__(self):
            values.clear()
            return "not a float"

        def __del__(self):
            # Reached before the conversion ends only if the item was freed under it;
            # the rename (and the resurrection) would then show in the message.
            self.__class__ = Renamed
            survivors.append(self)

    survivors = []
    values = [Emptying(), 1.0]
    assert converted(values) == (
        TypeError, "argument 'legendre_vals': Emptying.__float__ returned non-float (type str)")


@pytest.mark.parametrize("claimed", [0, 1, 2**31, 2**40, 2**62, sys.maxsize])
def test_a_sequence_length_is_only_a_size_hint(claimed):
    """Iteration decides the items; a length that lies, even one no memory could hold,
    neither fails the conversion nor reserves memory for it."""
    class Lying(collections.abc.Sequence):
        def __len__(self):
            return claimed

        def __getitem__(self, index):
            raise IndexError(index)

        def __iter__(self):
            return iter([1.5, -2.0])

    assert zorv.LegendreBasis(0, 2, 2.0).evaluate_at(1.5, Lying()) == -2.0


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
        # Explicit byte orders: the native one is accepted whatever its spelling.
        (lambda: lying_exporter(np.array([0.5, 1.5]), fmt=b"<d"), "<d", sys.byteorder == "little"),
        (lambda: lying_exporter(np.array([0.5, 1.5]), fmt=b"=d"), "=d", True),
        (lambda: lying_exporter(np.array([0.5, 1.5]), fmt=b"@d"), "@d", True),
        (lambda: lying_exporter(np.array([0.5, 1.5]), fmt=b"!d"), "!d", False),
        (lambda: lying_exporter(np.array([0.5, 1.5]), fmt=b"<dd"), "<dd", False),
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


class _BufferFields(ctypes.Structure):
    """The start of the interpreter's buffer view record (a stable layout)."""
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t))]


def lying_exporter(array, length=None, count=None, fmt=None, ndim=None):
    """A memoryview of `array` that exports `length` bytes, `count` items, the format `fmt` (a
    bytes constant: the view keeps only its address) and `ndim` dimensions, whatever it holds.

    A memoryview hands out a copy of its own view record, found here by its data address."""
    exporter = memoryview(array)
    address = array.__array_interface__["data"][0]
    for offset in range(0, 256, ctypes.sizeof(ctypes.c_void_p)):
        fields = _BufferFields.from_address(id(exporter) + offset)
        if fields.buf == address and fields.len == array.nbytes and fields.itemsize == array.itemsize:
            break
    else:
        pytest.skip("no view record found in the memoryview")
    if length is not None:
        fields.len = length
    if count is not None:
        fields.shape[0] = count
    if fmt is not None:
        fields.format = fmt
    if ndim is not None:
        fields.ndim = ndim
    return exporter


@pytest.mark.parametrize(
    "length, count",
    [(20, None), (36, None), (7, None), (None, 4), (None, 2), (None, -1)],
    ids=["length 20", "length 36", "length 7", "one item more", "one item fewer", "negative"],
)
def test_buffers_whose_length_disagrees_with_their_shape_are_refused(length, count):
    backing = np.arange(10.0)
    strided = backing[:6:2]  # 3 items, 16 bytes apart: copied item by item
    for array in (strided, backing[:3]):
        exporter = lying_exporter(array, length, count)
        assert message_of(lambda: evaluate_many(exporter)) == (
            BufferError, "buffer length does not match its shape")
    assert evaluate_many(lying_exporter(backing[:3])) == [0.0, 1.0, 2.0]  # an honest one passes


def test_a_buffer_without_dimensions_is_refused():
    # Shape and strides are there, but describe no dimension: not a buffer of times.
    exporter = lying_exporter(np.array([1.5]), ndim=0)
    assert message_of(lambda: evaluate_many(exporter)) == (BufferError, "buffer has no dimensions")


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


def test_a_resumed_panic_that_is_also_system_exit_does_not_end_the_process():
    # Printing the caller's PanicException must not act on it: the interpreter's own printer
    # exits for a SystemExit, whatever else the exception is.
    script = textwrap.dedent("""
        import zorv
        try:
            zorv.LegendreBasis(1, 1, 1.0).evaluate_at(0.0, [])
        except BaseException as error:
            Panic = type(error)
        class Both(Panic, SystemExit):
            pass
        class Exiting:
            def __float__(self):
                raise Both("stopped in the caller")
        try:
            zorv.get_lagrange_points(1, 1, Exiting())
        except BaseException as error:
            print(type(error) is Panic, error.args)
        print("still running")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, PYTHONPATH=os.path.dirname(zorv.__file__)))
    assert (result.returncode, result.stdout) == (0, "True ('stopped in the caller',)\nstill running\n"), \
        result.stderr
    assert "Both: stopped in the caller" in result.stderr


@pytest.mark.exhausts_memory
def test_out_of_memory_is_a_memory_error_and_changes_nothing():
    evaluator = zorv.LegendreBasisEvaluator(0, 1, 1.0)
    with pytest.raises(MemoryError):
        zorv.LegendreBasisEvaluator(1, 2**40, 1.0)  # 16 TiB of dofs
    with pytest.raises(MemoryError):
        zorv.get_lagrange_points(2**20, 2**40, 1.0)
    evaluator.set_dofs([4.0])
    assert evaluator.evaluate_at(0.5) == 4.0


def test_results_that_cannot_fit_are_refused_before_they_are_built():
    """Requests known to exceed the memory the process can obtain (an address-space limit 4 GiB
    above what it uses; each also exceeds the 24 GiB of the machines this runs on, which is what
    counts under AddressSanitizer, whose reservations void that limit) are MemoryErrors naming
    their size, raised before anything is allocated."""
    script = textwrap.dedent("""
        import resource, numpy as np, zorv
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
        limit = size + 4 * 2**30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        e = zorv.LegendreBasisEvaluator(1, 2, 1.0)
        calls = [
            lambda: zorv.lagrange_prolongation_matrix(3, 200, 1600),  # degree 1600: a common slip
            lambda: zorv.lagrange_to_legendre_basis_transformation(300, 10**6),
            lambda: zorv.lagrange_to_legendre_basis_transformation(10**5, 0),
            lambda: zorv.lagrange_to_legendre_basis_transformation(2**32, 2**30),  # entries overflow, nodes fit
            lambda: zorv.lagrange_prolongation_matrix(2**40, 0, 2),  # no fine interval: coarse nodes first
            lambda: zorv.get_lagrange_points(1000, 10**7, 1.0),
            lambda: zorv.LegendreBasisEvaluator(999, 4 * 10**6, 1.0),
            lambda: zorv.LegendreBasis(10**4, 10**5, 1.0).evaluate_all_basis_functions(0.5),
            lambda: e.evaluate_many(np.broadcast_to(0.5, (10**9,))),
        ]
        for call in calls:
            try:
                call()
                print("built")
            except MemoryError as error:
                print(str(error).split(": this process")[0])
        print(zorv.get_lagrange_points(1, 2, 1.0), e.evaluate_many(np.array([0.25, 0.75])))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=os.path.dirname(zorv.__file__)))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Unable to allocate 34.4 GiB for 512,321,601 matrix entries of 72 bytes each",
        "Unable to allocate 4.0 TiB for 90,601,000,000 matrix entries of 48 bytes each",
        "Unable to allocate 223.5 GiB for 10,000,200,001 weight matrix cells of 24 bytes each",
        "Unable to allocate 160.0 EiB for 4,611,686,018,427,387,905 nodes of 40 bytes each",
        "Unable to allocate 16.0 TiB for 2,199,023,255,552 coarse nodes of 8 bytes each",
        "Unable to allocate 372.5 GiB for 10,000,000,001 nodes of 40 bytes each",
        "Unable to allocate 29.8 GiB for 4,000,000,000 dofs of 8 bytes each",
        "Unable to allocate 37.3 GiB for 1,000,100,000 values of 40 bytes each",
        "Unable to allocate 29.8 GiB for 1,000,000,000 values of 32 bytes each",
        "[0.0, 0.5, 1.0] [0.0, 0.0]",
    ]


# ---- references --------------------------------------------------------------------------

def test_create_set_and_delete_cycles_keep_every_count():
    values = [v + 0.5 for v in range(6)]

    def cycle():
        evaluator = zorv.LegendreBasisEvaluator(1, 3, 1.0)
        assert evaluator.set_dofs(values) is None
        zorv.LegendreBasis(1, 3, 1.0).evaluate_at(0.5, values)

    watched = (None, zorv.LegendreBasis, zorv.LegendreBasisEvaluator, values, *values)
    cycle()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        cycle()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("make", [lambda: zorv.lagrange_to_legendre_basis_transformation(3, 400, True),
                                  lambda: zorv.lagrange_prolongation_matrix(100, 300, 2)])
def test_shared_triplet_items_hold_one_reference_per_place(make):
    triplets = make()
    places = collections.Counter(id(item) for items in triplets for item in items)
    items = {id(item): item for part in triplets for item in part}
    shared = 0
    for item in items.values():
        if isinstance(item, int) and item <= 256:
            continue  # the interpreter's own small ints are referenced elsewhere too
        # here: `items` and the local `item`
        assert sys.getrefcount(item) == places[id(item)] + 1 + ONE_LOCAL, item
        shared += places[id(item)] > 1
    assert shared > 100


class FreshIndex:
    """An __index__ that makes a new big int on every call and keeps it, so that its count shows."""

    def __init__(self, value):
        self.text = str(value)
        self.made = []

    def __index__(self):
        number = int(self.text)
        self.made.append(number)
        return number


def test_an_index_made_by_the_callers_code_is_dropped_after_conversion():
    fresh = [FreshIndex(2**62 + 3), FreshIndex(2**70), FreshIndex(2**40 + 5)]
    assert zorv.sum_as_string(fresh[0], fresh[2]) == str(2**62 + 2**40 + 8)
    with pytest.raises(OverflowError):
        zorv.sum_as_string(fresh[0], fresh[1])
    with pytest.raises(OverflowError):
        zorv.LegendreBasis(fresh[2], fresh[1], 1.0)
    for index in fresh:
        assert index.made
        for number in index.made:
            assert sys.getrefcount(number) == 1 + ONE_LOCAL  # index.made and the local `number`


@pytest.mark.parametrize("call", [
    lambda n: zorv_arrays.LegendreSpace(n, n, 1.0),
    lambda n: zorv_arrays.lagrange_points(n, n, 1.0),
    lambda n: zorv_arrays.prolongation(1, nt_coarse=n, nt_fine=n),
    lambda n: zorv_arrays.lagrange_to_legendre(1, n),
    lambda n: zorv_arrays.LegendreSpace(0, 1, 1.0).evaluate([1.0], 0.5, derivative=n),
    lambda n: zorv_arrays.LegendreSpace(0, 1, 1.0).basis_matrix(0.5, derivative=n),
    lambda n: zorv_arrays.LegendreSpace(0, 1, 1.0).project(np.sin, points=n),
], ids=["LegendreSpace", "lagrange_points", "prolongation", "lagrange_to_legendre", "evaluate order",
        "basis_matrix order", "project points"])
def test_zorv_arrays_counts_and_orders_keep_every_reference(call):
    """An int, a NumPy integer and an __index__ object (whose ints are new each time) given as a
    count or order hold no more references after many calls (300: not one of the interpreter's
    shared small ints)."""
    arguments = (int("300"), np.int64(300), FreshIndex(300))
    for argument in arguments:
        call(argument)
    before = [sys.getrefcount(argument) for argument in arguments]
    for _ in range(20):
        for argument in arguments:
            call(argument)
    assert [sys.getrefcount(argument) for argument in arguments] == before
    made = arguments[2].made
    # made and the local `number`
    assert made and [sys.getrefcount(number) for number in made] == [1 + ONE_LOCAL] * len(made)


def _leak_calls():
    """Calls that fail at every stage of every entry point, by name."""
    basis = zorv.LegendreBasis(1, 2, 1.0)
    evaluator = zorv.LegendreBasisEvaluator(1, 2, 1.0)

    class Raising:
        def __float__(self):
            raise ValueError("no float")

    class Stopping:
        def __float__(self):
            basis.evaluate_at(0.5, [])

    class Breaking(collections.abc.Sequence):
        def __len__(self):
            return 4

        def __getitem__(self, index):
            raise IndexError(index)

        def __iter__(self):
            yield 1.0
            raise KeyError("no more")

    return {
        "sum_as_string": [lambda: zorv.sum_as_string(1, "2"), lambda: zorv.sum_as_string(FreshIndex(2**70), 1),
                          lambda: zorv.sum_as_string(1, b=2, c=3)],
        "get_lagrange_points": [lambda: zorv.get_lagrange_points(1, 2, Raising()),
                                lambda: zorv.get_lagrange_points(1, 0, 1.0, True),
                                lambda: zorv.get_lagrange_points(1, 2, Stopping())],
        "lagrange_prolongation_matrix": [lambda: zorv.lagrange_prolongation_matrix(1, 2, 1, 1),
                                         lambda: zorv.lagrange_prolongation_matrix(1, 2, 0)],
        "lagrange_to_legendre_basis_transformation": [
            lambda: zorv.lagrange_to_legendre_basis_transformation(1, FreshIndex(-1)),
            lambda: zorv.lagrange_to_legendre_basis_transformation(0, 2, True)],
        "LegendreBasis": [lambda: zorv.LegendreBasis(1, 2, "T"), lambda: zorv.LegendreBasis(FreshIndex(2**64), 1, 1.0),
                          lambda: basis.evaluate_at(0.5, [1.0, "x"]), lambda: basis.evaluate_at(0.5, [1.0]),
                          lambda: basis.evaluate_at(0.5, ItemByItem([1.0, 2.0, object(), 4.0])),
                          lambda: basis.evaluate_all_basis_functions(None)],
        "LegendreBasisEvaluator": [lambda: zorv.LegendreBasisEvaluator(1, 2, Raising()),
                                   lambda: evaluator.set_dofs(Breaking()), lambda: evaluator.set_dofs([1.0]),
                                   lambda: evaluator.set_dofs([Stopping()] * 4),
                                   lambda: evaluator.evaluate_at("x"), lambda: evaluator.evaluate_many([0.5]),
                                   lambda: evaluator.evaluate_many(np.zeros(3, dtype=np.float32)),
                                   lambda: evaluator.evaluate_derivative_many(lying_exporter(np.zeros(3), 16))],
    }


@pytest.mark.parametrize("entry", sorted(_leak_calls()))
def test_failing_calls_leave_no_allocation_behind(entry, capfd):
    """Every failure path gives back what it made: a lost reference keeps a block per round."""
    calls = _leak_calls()[entry]

    def rounds(count):
        for _ in range(count):
            for call in calls:
                try:
                    call()
                except BaseException:  # noqa: BLE001 - PanicException included
                    pass

    rounds(20)
    gc.collect()
    before = sys.getallocatedblocks()
    rounds(400)
    gc.collect()
    grown = sys.getallocatedblocks() - before
    capfd.readouterr()  # the stops' diagnostics
    assert grown < 200, f"{grown} blocks more after 400 rounds"
