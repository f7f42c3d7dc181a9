"""Coverage-guided fuzzing of every entry point of zorv with atheris (libFuzzer).

The fuzzer's bytes are decoded into a short program: build a LegendreBasis and a
LegendreBasisEvaluator, then call entry points with hostile arguments (counts and
floats of every kind, buffers of every format and layout, sequences and numbers
whose callbacks mutate, lie, raise or call back into zorv, positional/keyword mixes
and binding mistakes). Each call must either return a result that passes the cheap
checks below or raise one of the exceptions that the module documents; anything
else (another exception type, a leaked reference to an argument, a hold left
behind, a crash, a sanitizer report, a hang) is a finding.

Sizes are bounded so that one input runs in milliseconds: degrees up to 40, up to
1000 elements, batches up to 4096 times (so that the worker pool runs too). Counts
far beyond any memory (2**60 and up) are kept: they must be refused before anything
is allocated. Counts in between (requests of 8 TiB and more) are fuzzed only when the
module refuses them before allocating (probed once at start): under AddressSanitizer
an allocation that cannot succeed aborts the process instead of raising MemoryError.

zorv_arrays is driven by the same inputs: LegendreSpace, evaluate (arrays of every
dtype, shape, stride and byte order, `out` sharing memory with the inputs at byte
offsets), basis_matrix, project (callables that raise, return the wrong shape or call
back into the module), the module functions and pickling. Its values must equal
zorv's bit for bit, the design matrix times the dofs (summed row by row in index
order) must equal evaluate's values bit for bit, and a refused call leaves `out` and
the inputs as they were.

Run by scripts/fuzz.sh; arguments are libFuzzer's.
"""

import array
import collections.abc
import copy
import ctypes
import gc
import math
import os
import pickle
import struct
import subprocess
import sys
import traceback
import warnings

import atheris
import numpy as np

import zorv
import zorv_arrays

warnings.simplefilter("ignore")  # __float__ returning a float subclass, NumPy's deprecations

# Where findings are written: libFuzzer discards the target's standard error
# (-close_fd_mask=2, the module writes a diagnostic for every stop), so the
# harness keeps its own handle on the original one.
REPORT = os.fdopen(os.dup(2), "w", buffering=1)


def _panic_exception_type():
    try:
        zorv.LegendreBasis(1, 1, 1.0).evaluate_at(0.0, [])
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return type(error)
    raise AssertionError("a too short dof list did not stop")


PanicException = _panic_exception_type()


class Hostile(Exception):
    """Raised by the fuzzer's own callbacks; must reach the caller unchanged."""


class HostilePanic(PanicException):
    """A PanicException raised by caller code: resumed as a stop by the module."""


class ExitingPanic(PanicException, SystemExit):
    """A PanicException that is also a SystemExit: it must not end the process when
    the module reports it."""


EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, BufferError, Hostile, PanicException)
# What zorv_arrays may raise for bad input, and what the fuzzer's own callbacks raise and
# it passes on: their own exceptions and panics, and zorv's panics from the calls they
# make (a basis with no element stops every evaluation).
ARRAYS_EXPECTED = (TypeError, ValueError, OverflowError, MemoryError, Hostile, PanicException)
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
PANIC_MESSAGES = (
    "Matrix view: input data buffer too small.",
    "Matrix slicing out of bounds.",
    "Matrix index out of bounds.",
    "capacity overflow",
    "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n",
    "Lagrange prolongation requires ",
    "Lagrange to Legendre conversion not meaningful for degree 0",
    "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.",
    "hostile panic",
)

# What the module under test is known to handle, probed once at start (in child
# processes, since where it does not the process ends); inputs that need it are
# fuzzed only where it does.
PROBED = {"large requests refused": False, "exiting panic reported": False,
          "large requests refused by zorv_arrays": False}

MAX_DEGREE = 40
MAX_N_T = 1000
MAX_ENTRIES = 20000  # triplet entries of one Lagrange matrix
MAX_BATCH = 4096
# Counts no memory can hold: every operation must refuse them before allocating.
HUGE_COUNTS = (2**60, 2**60 + 1, 2**61 + 5, 2**62, 2**63 - 1, 2**63, 2**64 - 2, 2**64 - 1)
# Counts that ask for 8 TiB and more even when the other counts are 1: refused
# before allocating only where the module compares requests with the machine's
# memory (see probe_memory_refusal).
LARGE_COUNTS = (2**40, 2**40 + 1, 2**41 + 3, 2**44, 2**50, 2**55 - 1)
BIG_INDEX = 12345678901234567  # returned by __index__ (the same object each time)
OUT_OF_RANGE_COUNTS = (-1, -2**63, 2**64, 2**64 + 1, 2**100, -2**100)
SPECIAL_FLOATS = (
    0.0, -0.0, 0.5, 1.0, -1.0, 0.25, 1.0 - 2**-53, 1.0 + 2**-52, 3.0, 1e-300, 5e-324, -5e-324,
    2.2250738585072014e-308, 1e308, -1e308, 1.7976931348623157e308, float("inf"), float("-inf"),
    float("nan"), -float("nan"), struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0],
    2.0**53, 2.0**63, -(2.0**64), 1e18,
)


def survives(code, expected):
    """Whether `code`, run in a child process, prints `expected` (and so survives)."""
    try:
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return False
    return child.stdout.strip() == expected


def probe_memory_refusal():
    """Whether requests of TiBs are refused before anything is allocated (where they
    are not, AddressSanitizer aborts the process)."""
    return survives("import zorv\ntry:\n zorv.get_lagrange_points(2**22, 2**22, 1.0)\n"
                    "except MemoryError:\n print('refused')\n", "refused")


def probe_arrays_memory_refusal():
    """Whether zorv_arrays, too, refuses requests of TiBs before allocating."""
    return survives("import zorv_arrays\ntry:\n zorv_arrays.lagrange_points(2**22, 2**22, 1.0)\n"
                    "except MemoryError:\n print('refused')\n", "refused")


def probe_exiting_panic():
    """Whether a PanicException that is also a SystemExit, raised by a callback, reaches
    the caller (where it does not, reporting it ends the process)."""
    return survives("import zorv\ntry:\n zorv.LegendreBasis(1, 1, 1.0).evaluate_at(0.0, [])\n"
                    "except BaseException as error:\n Panic = type(error)\n"
                    "class Exiting(Panic, SystemExit): pass\n"
                    "class Item:\n def __float__(self): raise Exiting('x')\n"
                    "try:\n zorv.get_lagrange_points(1, 1, Item())\n"
                    "except Panic:\n print('raised')\n", "raised")


UNKNOWN = object()  # a batch argument whose acceptance the harness does not predict


class May:
    """The items of a batch argument that may be refused (zero dimensions)."""

    def __init__(self, items):
        self.items = items


def bits(values):
    """The values' bits, NaNs as one: which payload and sign a NaN result carries is
    not fixed by the operation order (IEEE 754 leaves it open)."""
    return struct.pack("%dd" % len(values), *(math.nan if math.isnan(x) else x for x in values))


class Input:
    """The fuzzer's bytes, read as a stream of decisions."""

    def __init__(self, data):
        self.provider = atheris.FuzzedDataProvider(data)

    def int(self, low, high):
        return self.provider.ConsumeIntInRange(low, high)

    def flag(self):
        return self.provider.ConsumeBool()

    def pick(self, options):
        return options[self.provider.ConsumeIntInRange(0, len(options) - 1)]

    def left(self):
        return self.provider.remaining_bytes()

    def raw_float(self):
        if self.flag():
            return self.pick(SPECIAL_FLOATS)
        return self.provider.ConsumeRegularFloat() if self.flag() else self.provider.ConsumeFloat()

    def time(self):
        """A plain float time: mostly inside [0, T] of a small grid, sometimes anything."""
        if self.int(0, 3) == 0:
            return self.raw_float()
        return self.provider.ConsumeProbability() * self.pick((1.0, 2.0, 3.0, 10.0, 1e-3))


class Session:
    """The objects one input works on, and the callbacks that re-enter them."""

    def __init__(self, source):
        self.source = source
        self.basis = None  # (LegendreBasis, degree, n_t, T) of plain values
        self.evaluator = None  # (LegendreBasisEvaluator, degree, n_t, T)
        self.dofs = None  # the evaluator's dofs as last set (None: zeros)
        self.target_sequence = None  # the sequence a callback may mutate
        self.complete = True  # the last call passed every value it was given
        self.clean = True  # the last call was bound without mistakes
        self.collector = None  # the Collector active during this operation's calls
        self.space = None  # a zorv_arrays.LegendreSpace made from plain values

    # ---- callbacks --------------------------------------------------------------

    def action(self, kind):
        """What a hostile __float__/__index__/__len__/__iter__ does before it answers."""
        evaluator = self.evaluator[0] if self.evaluator else None
        basis = self.basis[0] if self.basis else None
        if kind == 1:
            raise Hostile("raised by a callback")
        if kind == 2:
            if PROBED["exiting panic reported"] and self.source.flag():
                raise ExitingPanic("hostile panic")
            raise HostilePanic("hostile panic")
        if kind == 3 and evaluator is not None:  # exclusive hold while a call holds it
            evaluator.set_dofs([0.0] * (self.evaluator[1] + 1) * self.evaluator[2])
        elif kind == 4 and evaluator is not None:
            evaluator.evaluate_many(np.linspace(0.0, 1.0, 5))
        elif kind == 5 and basis is not None:
            basis.evaluate_at(0.5, [1.0] * ((self.basis[1] + 1) * self.basis[2]))
        elif kind == 6:
            gc.collect()
        elif kind == 7 and isinstance(self.target_sequence, list):
            del self.target_sequence[len(self.target_sequence) // 2:]
        elif kind == 8 and isinstance(self.target_sequence, list):
            self.target_sequence.extend([0.25, Number(self, 0.5, 7)])
        elif kind == 9 and evaluator is not None:  # a nested shared hold: allowed
            evaluator.evaluate_at(0.5)
        elif kind == 10 and isinstance(self.target_sequence, list):
            self.target_sequence.clear()

    def guarded_action(self, kind, swallow):
        if not swallow:
            self.action(kind)
            return
        try:
            self.action(kind)
        except EXPECTED:
            pass
        except RuntimeError as error:
            if str(error) not in BORROW_MESSAGES:
                raise

    # ---- argument makers --------------------------------------------------------

    def count(self, limit):
        """A count argument: mostly a small int, sometimes anything a caller might pass."""
        s = self.source
        kind = s.int(0, 15)
        if kind <= 6:
            return s.int(0, limit)
        if kind == 7:
            return s.pick((True, False))
        if kind == 8:
            return s.pick(HUGE_COUNTS)
        if kind == 9:
            return s.pick(OUT_OF_RANGE_COUNTS)
        if kind == 10:
            return s.pick(LARGE_COUNTS) if PROBED["large requests refused"] else s.pick(HUGE_COUNTS)
        small = min(limit, 24)  # counts that are objects are not bounded later: keep them small
        if kind == 11:
            return Index(self, s.int(0, small), s.int(0, 10), s.flag())
        if kind == 12:
            return s.pick((np.int64(s.int(0, small)), np.uint8(s.int(0, small)), np.int32(-1)))
        if kind == 13:
            return IntSub(s.int(0, small))
        if kind == 14:
            return Index(self, s.pick(("3", 2.0, None, -1, 2**64, True, IntSub(2), 2**62)), 0, False)
        return s.pick((1.0, 2.5, "2", None, b"1", [1], float("nan"), complex(1, 0)))

    def float_arg(self, allow_objects=True):
        """A float argument."""
        s = self.source
        kind = s.int(0, 11) if allow_objects else 0
        if kind <= 5:
            return s.time() if s.flag() else s.raw_float()
        if kind == 6:
            return s.pick((True, False, 0, 1, 3, -7, 2**53 + 1, 2**1023, 2**1024, -2**1100, 10**400))
        if kind == 7:
            return Number(self, s.time(), s.int(0, 10), s.flag())
        if kind == 8:
            return FloatSub(s.time())
        if kind == 9:
            return s.pick((np.float64(s.time()), np.float32(0.5), np.int64(3), np.float16(0.25),
                           np.longdouble(0.5), np.bool_(True)))
        if kind == 10:
            return Index(self, s.pick((s.int(0, 5), BIG_INDEX, -BIG_INDEX)), s.int(0, 10), s.flag())
        return s.pick(("1.5", None, [0.5], b"", complex(0.5, 0.0), object(),
                       Number(self, "not a float", 0, False), Number(self, 1, 0, False)))

    def flag_arg(self):
        s = self.source
        return s.pick((True, False, True, False, np.bool_(True), np.bool_(False), 1, 0, None, "True",
                       Truthy(), np.array(True), np.int8(1)))

    def float_items(self, count):
        return [self.float_arg(self.source.int(0, 7) == 0) for _ in range(count)]

    def sequence(self, required):
        """A float-sequence argument, often of the required length."""
        s = self.source
        length = required if s.int(0, 3) else s.int(0, required + 3)
        length = min(length, 50000)
        kind = s.int(0, 15)
        if length > 64 and kind <= 7:  # long sequences: plain values, cheaply made
            fill = [s.raw_float() for _ in range(4)]
            items = (fill * (length // 4 + 1))[:length]
        elif kind <= 7:
            items = self.float_items(length)
        if kind <= 3:
            self.target_sequence = items
            return items
        if kind <= 5:
            return tuple(items)
        if kind == 6:
            return LyingSequence(self, items, s.pick((None, length, 0, length + 5, 2**62, 2**63, -1, 2**31)),
                                 s.int(-1, length), s.int(0, 10))
        if kind == 7:
            array_items = [x if isinstance(x, float) else 0.5 for x in items]
            dtype = s.pick(("<f8", ">f8", "f4", "i8", "O", "u1", "c16"))
            values = np.array(array_items, dtype="f8")
            if dtype == "O":
                objects = np.empty(len(items), dtype=object)
                objects[:] = items
                return objects
            if dtype in ("i8", "u1"):
                values = np.nan_to_num(values, posinf=0.0, neginf=0.0).clip(0, 255)
            converted = values.astype(dtype)
            return converted[::-1] if s.flag() else converted
        if kind == 8:
            return range(s.int(0, 3), s.int(0, 3) + length)
        if kind == 9:
            return bytes(s.int(0, 255) for _ in range(min(length, 64)))
        if kind == 10:
            return bytearray(s.int(0, 255) for _ in range(min(length, 64)))
        if kind == 11:
            return array.array(s.pick("dfbq"), [0] * length)
        if kind == 12:
            return memoryview(np.zeros(length)).cast("B").cast("d")
        if kind == 13:
            return np.zeros((2, length // 2 + 1))  # items are rows: not floats
        if kind == 14:
            return (x for x in [0.5] * length)  # not a sequence
        return s.pick(("abc", "", {0: 1.0}, {1.0}, None, 3.0, b"\x00" * 8, str(length)))

    def times(self, times_count):
        """A float-buffer argument and, when it is a valid one, its items in row-major order."""
        s = self.source
        if times_count > 64 and s.flag():
            base = np.array([s.time() for _ in range(8)])
            values = np.resize(base, times_count) * np.linspace(0.0, 1.0, times_count)
        else:
            values = np.array([s.time() if s.int(0, 3) else s.raw_float() for _ in range(times_count)])
        kind = s.int(0, 21)
        if kind <= 3:
            return values, values
        if kind == 4:  # 2-D, C or Fortran order, transposed
            rows = s.int(1, 4)
            cols = max(1, times_count // rows)
            grid = np.resize(values, rows * cols).reshape(rows, cols)
            grid = np.asfortranarray(grid) if s.flag() else grid
            grid = grid.T if s.flag() else grid
            return grid, grid.ravel(order="C")
        if kind == 5:  # strided, reversed
            step = s.pick((2, 3, -1, -2))
            view = values[::step]
            return view, view
        if kind == 6:
            zero_d = np.array(values[0] if times_count else 0.5)
            return zero_d, May(zero_d.reshape(1))
        if kind == 7:
            dtype = s.pick((">f8", "f4", "i8", "u8", "c16", "f2", "O", "M8[s]", "V8", "S8"))
            try:
                return values.astype(dtype), None
            except (TypeError, ValueError):
                return values.astype(">f8"), None
        if kind == 8:
            view = memoryview(values.tobytes()).cast("d")
            if s.flag() and times_count:
                shape = [1, times_count] if s.flag() else [times_count, 1]
                view = memoryview(values.tobytes()).cast("B").cast("d", shape)
            return view, np.array(view).ravel()
        if kind == 9:
            view = memoryview(values)[::s.pick((2, -1, -3))]
            return view, np.array(view)
        if kind == 10:
            return array.array("d", values.tolist()), values
        if kind == 11:
            return array.array(s.pick("fqQbBi"), [0] * times_count), None
        if kind == 12:
            return values.tobytes(), None
        if kind == 13:
            return bytearray(values.tobytes()), None
        if kind == 14:
            little = s.flag()
            c_type = ctypes.c_double.__ctype_le__ if little else ctypes.c_double.__ctype_be__
            c_array = (c_type * times_count)(*values.tolist())
            if s.flag():  # a memoryview of it has strides: "<d" is accepted, ">d" refused
                return memoryview(c_array), (values if little else None)
            return c_array, None  # ctypes exports no strides: refused
        if kind == 15:
            rows = s.int(1, 3)
            cols = max(1, times_count // rows)
            c_grid = ((ctypes.c_double * cols) * rows)()
            flat = np.resize(values, rows * cols)
            for r in range(rows):
                for c in range(cols):
                    c_grid[r][c] = flat[r * cols + c]
            return c_grid, None
        if kind == 16:  # zero dimensions: one item, if accepted
            scalar = s.pick((ctypes.c_double(0.5), ctypes.c_float(0.5), Pair(0.5, 1.5)))
            return scalar, (May([0.5]) if type(scalar) is ctypes.c_double else None)
        if kind == 17:  # misaligned doubles
            raw = bytearray(8 * times_count + 8)
            offset = s.int(1, 7)
            misaligned = np.frombuffer(raw, dtype="f8", count=times_count, offset=offset)
            expected = values if times_count == 0 else None  # nothing to misread when empty
            if s.flag():
                return memoryview(raw)[offset:offset + 8 * times_count].cast("d"), expected
            return misaligned, expected
        if kind == 18:  # read-only, structured, empty shapes
            choice = s.int(0, 3)
            if choice == 0:
                values.flags.writeable = False
                return values, values
            if choice == 1:
                return values.view([("t", "<f8")]), None
            if choice == 2:
                empty = np.zeros((s.int(0, 3), 0, s.int(0, 2)))
                return empty, empty.ravel()
            if times_count == 0:
                return values, values
            repeated = np.lib.stride_tricks.as_strided(values[:1], shape=(s.int(0, 9),), strides=(0,))
            return repeated, repeated.copy()
        if kind == 19:
            return self.sequence(times_count), UNKNOWN  # mostly no buffer, but arrays are
        if kind == 20:
            if s.flag() and times_count:
                return lying_view(values[::s.pick((1, 2))], s)
            return s.pick((None, 0.5, "times", {}, object())), None
        broadcast = np.broadcast_to(values[:1] if times_count else np.zeros(1), (s.int(0, 5), s.int(1, 3)))
        return broadcast, broadcast.ravel()

    # ---- calling --------------------------------------------------------------------

    def checked_call(self, function, names, values, defaults=0):
        """`call`, checked by check_outcome (the arguments are watched for leaks)."""
        values = tuple(fresh(value) for value in values)
        return check_outcome(lambda: self.call(function, names, values, defaults), values)

    def call(self, function, names, values, defaults=0):
        """Calls `function` with `values` for `names`, split into positional and keyword
        arguments as the input says, with the occasional binding mistake."""
        s = self.source
        positional_count = s.int(0, len(values))
        args = list(values[:positional_count])
        kwargs = dict(zip(names[positional_count:], values[positional_count:]))
        mistake = s.int(0, 15)
        self.complete = mistake not in (1, 4)  # every value passed (unless refused)
        self.clean = mistake > 4  # bound as given
        if mistake == 0:
            args.append(0.5)  # too many positional arguments
        elif mistake == 1 and kwargs:
            kwargs.pop(s.pick(sorted(kwargs)))  # a missing (or defaulted) argument
        elif mistake == 2:
            kwargs[s.pick(("x", "self", "T ", "n_T", "legendre_val", names[0].upper()))] = 1.0
        elif mistake == 3 and args:
            kwargs[names[0]] = args[0]  # given twice
        elif mistake == 4 and defaults and len(args) + len(kwargs) == len(names):
            last = names[-1]
            kwargs.pop(last, None)
            if len(args) == len(names):
                args.pop()
        else:
            self.clean = True
        if self.collector is None:
            return function(*args, **kwargs)
        with self.collector:
            return function(*args, **kwargs)


class Number:
    """A number whose __float__ and __index__ run an action first."""

    def __init__(self, session, value, action, swallow=False):
        self.session, self.value, self.action, self.swallow = session, fresh(value), action, swallow

    def __float__(self):
        self.session.guarded_action(self.action, self.swallow)
        return self.value

    def __index__(self):
        self.session.guarded_action(self.action, self.swallow)
        return int(self.value) if isinstance(self.value, float) and math.isfinite(self.value) else 0


class Index:
    """An object with __index__ only (not a float: a float argument takes it through __index__)."""

    def __init__(self, session, value, action, swallow):
        self.session, self.value, self.action, self.swallow = session, fresh(value), action, swallow

    def __index__(self):
        self.session.guarded_action(self.action, self.swallow)
        return self.value


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Truthy:
    def __bool__(self):
        return True


class Pair(ctypes.Structure):
    _fields_ = [("a", ctypes.c_double), ("b", ctypes.c_double)]


class BufferFields(ctypes.Structure):
    """The start of the interpreter's buffer view record (a stable layout)."""
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t))]


def lying_view(array, source):
    """A memoryview of `array` whose view record lies about one thing the module can
    check (its byte length, its item count, or its dimensions: no dimensions for one
    item is the one lie it may accept); returns it with the items, if acceptable."""
    exporter = memoryview(array)
    address = array.__array_interface__["data"][0]
    for offset in range(0, 256, ctypes.sizeof(ctypes.c_void_p)):
        fields = BufferFields.from_address(id(exporter) + offset)
        if fields.buf == address and fields.len == array.nbytes and fields.itemsize == array.itemsize:
            break
    else:
        return exporter, array
    lie = source.int(0, 2)
    if lie == 0:
        fields.len = source.pick((0, 1, 7, 9, array.nbytes - 8, array.nbytes + 8, 2**62, -8))
    elif lie == 1:
        fields.shape[0] = source.pick((0, -1, len(array) - 1, len(array) + 1, 2**40))
    else:
        fields.ndim = 0
        return exporter, (May(array[:1]) if len(array) == 1 else None)
    if fields.len == array.nbytes and fields.shape[0] == len(array):
        return exporter, array  # no lie after all
    return exporter, None


class LyingSequence(collections.abc.Sequence):
    """A sequence whose length may lie or fail and whose iteration may fail or mutate."""

    def __init__(self, session, items, length, fail_at, action):
        self.session, self.items, self.length, self.fail_at, self.action = session, items, length, fail_at, action

    def __len__(self):
        if self.length is None:
            raise Hostile("no length")
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for position, item in enumerate(self.items):
            if position == self.fail_at:
                self.session.guarded_action(self.action, False)
                raise Hostile("iteration failed")
            yield item


def fresh(value):
    """A plain int or float argument as an object of its own, so that only the call can
    change its reference count (not a callback that drops a list holding the same
    object); other objects unchanged."""
    if type(value) is float:
        return struct.unpack("d", struct.pack("d", value))[0]
    if type(value) is int and watchable(value):
        return int(str(value))
    return value


def watchable(value):
    """Objects whose reference count only the call itself may change: no cached or
    interned singletons (small ints, bools, None, strings, NumPy scalars)."""
    if type(value) is int:
        return not -5 <= value <= 256
    return not isinstance(value, (bool, str, bytes, type(None), np.generic))


def check_outcome(run, watched=()):
    """Runs `run()`; returns (result, None), or (None, exception type) for an expected
    failure. Every watched argument, and what its __index__ or __float__ returns, has
    as many references afterwards as before."""
    watched = [value for value in watched if watchable(value)]
    watched += [value.value for value in watched if type(value) in (Index, Number) and watchable(value.value)]
    before = [sys.getrefcount(value) for value in watched]
    result = failure = None
    try:
        result = run()
    except RuntimeError as error:
        if str(error) not in BORROW_MESSAGES:
            raise
        failure = RuntimeError
    except PanicException as error:
        if not str(error).startswith(PANIC_MESSAGES):
            raise AssertionError("unexpected stop message %r" % str(error)) from error
        failure = PanicException
    except EXPECTED as error:
        failure = type(error)
    after = [sys.getrefcount(value) for value in watched]
    assert before == after, ("argument references changed", [type(v).__name__ for v in watched], before, after)
    return result, failure


def checked_list(result, length=None):
    assert type(result) is list, type(result)
    assert all(type(x) is float for x in result)
    if length is not None:
        assert len(result) == length, (len(result), length)
    return result


def check_triplets(result, nrows, ncols):
    assert type(result) is tuple and len(result) == 3
    rows, cols, values = result
    assert type(rows) is list and type(cols) is list and type(values) is list
    assert len(rows) == len(cols) == len(values)
    previous = (-1, -1)
    for r, c, v in zip(rows, cols, values):
        assert type(r) is int and type(c) is int and type(v) is float
        assert 0 <= r < nrows and 0 <= c < ncols, (r, c, nrows, ncols)
        assert (r, c) > previous, "entries not in row-major order"
        previous = (r, c)


def plain_count(value):
    return type(value) is int and 0 <= value < 2**64


def small(*values):
    """Plain counts that the harness bounds (not the huge ones it keeps as they are)."""
    return all(type(value) is int and 0 <= value <= MAX_N_T for value in values)


def plain_float(value):
    return type(value) is float


def run_sum_as_string(session):
    s = session.source
    a, b = (Index(session, BIG_INDEX, 0, False) if s.int(0, 7) == 0 else session.count(2**20)
            for _ in range(2))
    result, error = session.checked_call(zorv.sum_as_string, ("a", "b"), (a, b))
    if error is None and plain_count(a) and plain_count(b):
        assert result == str(a + b), (a, b, result)


def bounded_grid(session, degree_limit=MAX_DEGREE, nt_limit=MAX_N_T):
    return session.count(degree_limit), session.count(nt_limit)


def run_lagrange_points(session):
    degree, n_t = bounded_grid(session)
    if small(degree, n_t) and degree * n_t > 50000:
        n_t = 50000 // degree
    T = session.float_arg()
    values = [degree, n_t, T]
    if session.source.flag():
        values.append(session.flag_arg())
    result, error = session.checked_call(
        zorv.get_lagrange_points, ("degree", "n_t", "T", "periodic")[:len(values)], values, 1)
    if error is None and session.complete and plain_count(degree) and plain_count(n_t) and len(values) == 3:
        checked_list(result, n_t * degree + 1)
        if plain_float(T) and math.isfinite(T):
            assert struct.pack("d", result[-1]) == struct.pack("d", T)


def entries_bound(degree, n_t):
    return n_t * (degree + 1) * (degree + 1)


def run_prolongation(session):
    s = session.source
    nt_coarse, nt_fine, degree = session.count(MAX_N_T), session.count(MAX_N_T), session.count(MAX_DEGREE)
    if small(nt_coarse, nt_fine, degree):
        while entries_bound(degree, max(nt_fine, nt_coarse)) > MAX_ENTRIES and degree > 1:
            degree //= 2
        while entries_bound(degree, max(nt_fine, nt_coarse)) > MAX_ENTRIES:
            nt_fine, nt_coarse = nt_fine // 2, nt_coarse // 2
    values = [nt_coarse, nt_fine, degree]
    periodic = False
    if s.flag():
        values.append(session.flag_arg())
        periodic = values[-1]
    names = ("nt_coarse", "nt_fine", "degree", "periodic")[:len(values)]
    result, error = session.checked_call(zorv.lagrange_prolongation_matrix, names, values, 1)
    if error is None and session.complete and small(nt_coarse, nt_fine, degree) and type(periodic) is bool:
        nodes = 0 if periodic else 1
        check_triplets(result, nt_fine * degree + nodes, nt_coarse * degree + nodes)


def run_transformation(session):
    s = session.source
    degree, n_t = session.count(MAX_DEGREE), session.count(MAX_N_T)
    if small(degree, n_t):
        while entries_bound(degree, n_t) > MAX_ENTRIES:
            n_t //= 2
    values = [degree, n_t]
    periodic = False
    if s.flag():
        values.append(session.flag_arg())
        periodic = values[-1]
    names = ("degree", "n_t", "periodic")[:len(values)]
    result, error = session.checked_call(
        zorv.lagrange_to_legendre_basis_transformation, names, values, 1)
    if error is None and session.complete and small(degree, n_t) and type(periodic) is bool:
        check_triplets(result, n_t * (degree + 1), n_t * degree + (0 if periodic else 1))


def construct(session, cls):
    """A new instance from hostile arguments; kept for later calls when its arguments were plain."""
    degree, n_t = bounded_grid(session)
    T = session.float_arg() if session.source.int(0, 3) == 0 else session.source.pick((1.0, 2.0, 3.0, 0.5))
    instance, error = session.checked_call(cls, ("degree", "n_t", "T"), (degree, n_t, T))
    if error is not None:
        return
    assert type(instance) is cls
    if plain_count(degree) and plain_count(n_t) and plain_float(T) and (degree + 1) * n_t <= 41 * MAX_N_T:
        if cls is zorv.LegendreBasis:
            session.basis = (instance, degree, n_t, T)
        else:
            session.evaluator = (instance, degree, n_t, T)
            session.dofs = None


def run_basis_evaluate_at(session):
    basis, degree, n_t, T = session.basis
    t = session.float_arg()
    values = session.sequence((degree + 1) * n_t)
    result, error = session.checked_call(basis.evaluate_at, ("t", "legendre_vals"), (t, values))
    if error is None:
        assert type(result) is float
        if plain_float(t) and isinstance(values, np.ndarray) and values.ndim == 1 and values.dtype.kind in "fiu":
            # An array read from its memory gives what its items give one by one.
            assert bits([result]) == observed(lambda: basis.evaluate_at(t, values.tolist())), "array differs from items"


def run_all_basis_functions(session):
    basis, degree, n_t, T = session.basis
    s = session.source
    method = basis.evaluate_all_basis_functions if s.flag() else basis.evaluate_all_basis_function_derivatives
    t = session.float_arg()
    result, error = session.checked_call(method, ("t",), (t,))
    if error is None:
        checked_list(result, (degree + 1) * n_t)
        # Only the element that holds t has non-zero entries (index c + n_t * k).
        elements = {i % n_t for i, x in enumerate(result) if x != 0.0}
        assert len(elements) <= 1, elements


def observed(evaluate):
    """What `evaluate()` gives: its value's bits, or its stop (a grid without elements)."""
    try:
        return bits([evaluate()])
    except PanicException as error:
        return str(error)


def run_set_dofs(session):
    evaluator, degree, n_t, T = session.evaluator
    before = observed(lambda: evaluator.evaluate_at(0.5 * T))
    values = session.sequence((degree + 1) * n_t)
    kept = list(values) if type(values) is list and all(type(x) is float for x in values) else None
    if type(values) is LyingSequence and not 0 <= values.fail_at < len(values.items):
        # Iteration yields every item whatever __len__ says: the length is only a hint.
        plain = values.items if all(type(x) is float for x in values.items) else None
    else:
        plain = kept
    result, error = session.checked_call(evaluator.set_dofs, ("legendre_vals",), (values,))
    assert error is None or plain is None or len(plain) != (degree + 1) * n_t or not session.clean, (
        "set_dofs refused the right number of floats", error, type(values).__name__)
    if error is None:
        assert result is None
        if kept is not None and len(kept) == (degree + 1) * n_t:
            session.dofs = kept
            if session.source.flag():  # the stored dofs are those given: same as LegendreBasis
                twin = zorv.LegendreBasis(degree, n_t, T)
                t = session.source.time()
                assert observed(lambda: twin.evaluate_at(t, kept)) == observed(lambda: evaluator.evaluate_at(t))
    else:  # a failed set_dofs changes nothing
        after = observed(lambda: evaluator.evaluate_at(0.5 * T))
        assert before == after, (before, after)


def run_evaluator_point(session):
    evaluator = session.evaluator[0]
    method = evaluator.evaluate_at if session.source.flag() else evaluator.evaluate_derivative_at
    t = session.float_arg()
    result, error = session.checked_call(method, ("t",), (t,))
    if error is None:
        assert type(result) is float


def run_batch(session):
    evaluator = session.evaluator[0]
    s = session.source
    derivative = s.flag()
    method = evaluator.evaluate_derivative_many if derivative else evaluator.evaluate_many
    single = evaluator.evaluate_derivative_at if derivative else evaluator.evaluate_at
    count = s.int(0, 40) if s.int(0, 7) else s.pick((2047, 2048, 2049, 3000, MAX_BATCH))
    t_values, items = session.times(count)
    optional = isinstance(items, May)
    items = items.items if optional else items
    result, error = session.checked_call(method, ("t_values",), (t_values,))
    if error is not None:  # (a grid without elements stops: not a refusal of the buffer)
        assert error not in (BufferError, TypeError) or items is None or items is UNKNOWN or optional or (
            not session.clean), ("refused a valid buffer", error, t_values)
        return
    assert items is not None, "accepted a buffer that must be refused: %r" % (t_values,)
    if items is UNKNOWN:
        return
    items = np.asarray(items, dtype="f8").ravel().tolist()
    checked_list(result, len(items))
    positions = range(len(items)) if len(items) <= 64 else [s.int(0, len(items) - 1) for _ in range(16)]
    expected = [single(items[i]) for i in positions]
    got = [result[i] for i in positions]
    assert bits(got) == bits(expected), ("batch differs from single evaluations", session.evaluator[1:], session.dofs,
                                         [(items[i], g, e) for i, g, e in zip(positions, got, expected)
                                          if bits([g]) != bits([e])][:4])


def run_wrong_receiver(session):
    s = session.source
    receiver = s.pick((session.basis[0], session.evaluator[0], None, 1.0, "x"))
    method = s.pick((
        zorv.LegendreBasis.evaluate_at, zorv.LegendreBasis.evaluate_all_basis_functions,
        zorv.LegendreBasisEvaluator.set_dofs, zorv.LegendreBasisEvaluator.evaluate_many,
        zorv.LegendreBasisEvaluator.evaluate_at,
    ))
    check_outcome(lambda: method(receiver, 0.5))


def run_object_protocol(session):
    """What every Python object meets: copying, pickling, re-initialising, attributes."""
    s = session.source
    instance = s.pick((session.basis[0], session.evaluator[0]))
    cls = type(instance)
    operation = s.pick((
        copy.copy, copy.deepcopy, lambda o: pickle.dumps(o, s.int(0, 5)), lambda o: o.__reduce_ex__(s.int(0, 5)),
        lambda o: object.__new__(cls), lambda o: cls.__new__(cls, s.int(0, 3), s.int(0, 3), 1.0),
        lambda o: o.__init__(), lambda o: setattr(o, "degree", 1), lambda o: (repr(o), hash(o), dir(o)),
        lambda o: setattr(o, "__class__", s.pick((zorv.LegendreBasis, zorv.LegendreBasisEvaluator, IntSub))),
        lambda o: cls.__new__(s.pick((zorv.LegendreBasis, zorv.LegendreBasisEvaluator, IntSub, object)), 1, 1, 1.0),
        lambda o: gc.get_referents(o), lambda o: o.__sizeof__(),
    ))
    try:
        operation(instance)
    except (AttributeError, TypeError):
        pass



# ---- zorv_arrays ------------------------------------------------------------------------

ARRAY_DTYPES = ("<f8", ">f8", "<f4", ">f4", "f2", "<i8", ">i4", "u1", "?", "c16", "O", "M8[s]", "U3", "V8")


def arrays_call(session, function, *args, **kwargs):
    """Calls a zorv_arrays entry point: (result, None) or (None, exception type) for an
    expected refusal; arguments are watched for leaked references."""
    watched = [value for value in list(args) + list(kwargs.values()) if watchable(value)]
    before = [sys.getrefcount(value) for value in watched]
    result = failure = None
    try:
        if session.collector is None:
            result = function(*args, **kwargs)
        else:
            with session.collector:
                result = function(*args, **kwargs)
    except ARRAYS_EXPECTED as error:
        failure = type(error)
    after = [sys.getrefcount(value) - (value is result) for value in watched]  # out is returned
    assert before == after, ("argument references changed", [type(v).__name__ for v in watched], before, after)
    return result, failure


def hostile_array(session, values, shape):
    """`values` (float64) as an array of the given shape, of some dtype, layout, stride or
    byte order; returns it and whether the module must accept it."""
    s = session.source
    values = np.asarray(values, dtype="f8").reshape(shape)
    kind = s.int(0, 9)
    if kind <= 2:
        return values, True
    if kind == 3:
        dtype = s.pick(ARRAY_DTYPES)
        try:
            converted = values.astype(dtype)
        except (TypeError, ValueError):
            return values, True
        real = np.dtype(dtype).kind in "fiu"
        return converted, real
    if kind == 4 and values.ndim >= 2:
        return np.asfortranarray(values), True
    if kind == 5 and values.size:
        step = s.pick((2, 3, -1))
        wide = np.repeat(values.reshape(-1), abs(step)).reshape(values.shape[:-1] + (-1,)) if values.ndim else values
        view = wide[..., ::step] if values.ndim else wide
        return (view, True) if view.shape == values.shape else (values, True)
    if kind == 6:  # misaligned, read-only
        raw = bytearray(values.nbytes + 8)
        offset = s.int(1, 7)
        view = np.frombuffer(raw, dtype="f8", count=values.size, offset=offset).reshape(values.shape)
        view[...] = values
        return view, True
    if kind == 7 and values.size:  # (an empty nested list loses its shape)
        return values.tolist(), True
    if kind == 8:
        return np.broadcast_to(values, values.shape), True
    return np.lib.stride_tricks.as_strided(values, values.shape, values.strides), True


def row_products(matrix, dofs):
    """matrix @ dofs summed row by row in the order of the row's entries."""
    rows = matrix.shape[0]
    result = np.zeros(rows)
    for i in range(rows):
        total = 0.0
        for j in range(matrix.indptr[i], matrix.indptr[i + 1]):
            total += float(matrix.data[j]) * float(dofs[matrix.indices[j]])
        result[i] = total
    return result


def zorv_batch(degree, n_t, T, dofs, times):
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(np.ascontiguousarray(dofs, dtype="f8"))
    return np.array(evaluator.evaluate_many(np.array(times, dtype="f8").ravel()))


def same_bits(a, b):
    a, b = np.asarray(a, dtype="f8"), np.asarray(b, dtype="f8")
    return a.shape == b.shape and bits(a.ravel().tolist()) == bits(b.ravel().tolist())


def run_space_construct(session):
    s = session.source
    degree, n_t = arrays_count(session, 12), arrays_count(session, 200)
    T = session.float_arg() if s.int(0, 2) == 0 else s.pick((1.0, 2.5, 1e-3, 1e300, 1.5e308))
    space, error = arrays_call(session, zorv_arrays.LegendreSpace, fresh(degree), fresh(n_t), fresh(T))
    if error is None:
        assert type(space) is zorv_arrays.LegendreSpace
        if plain_count(degree) and plain_count(n_t) and degree <= 12 and 1 <= n_t <= 200:
            session.space = space


def run_space_evaluate(session):
    space = session.space
    s = session.source
    functions_shape = s.pick(((), (1,), (2,), (2, 2), (0,)))
    count = s.int(0, 12) if s.int(0, 5) else s.pick((2047, 2048, 2049, 3000))
    t_shape = s.pick(((count,), (count,), (), (1, count), (count // 2, 2)))
    t_values = np.array([s.time() if s.int(0, 3) else s.raw_float() for _ in range(min(int(np.prod(t_shape)), 16))])
    t_values = np.resize(t_values, int(np.prod(t_shape))) if t_values.size else np.zeros(int(np.prod(t_shape)))
    dof_values = np.array([s.raw_float() if s.int(0, 7) == 0 else s.provider.ConsumeProbability() - 0.5
                           for _ in range(min(space.n_dofs, 32))])
    dof_values = np.resize(dof_values, int(np.prod(functions_shape + (space.n_dofs,)))) if dof_values.size else (
        np.zeros(int(np.prod(functions_shape + (space.n_dofs,)))))
    if s.int(0, 9) == 0:  # a wrong number of dofs
        dof_values, functions_shape = np.zeros(space.n_dofs + s.pick((-1, 1))), ()
        dofs_shape = dof_values.shape
    else:
        dofs_shape = functions_shape + (space.n_dofs,)
    result_shape = functions_shape + t_shape
    derivative = s.flag() if s.int(0, 3) else session.flag_arg()
    t, t_ok = hostile_array(session, t_values, t_shape)
    dofs, dofs_ok = hostile_array(session, dof_values, dofs_shape)
    if t_ok:  # the values the module reads: converted to float64 as NumPy converts them
        t_values = np.array(t, dtype="f8").ravel()
    if dofs_ok:
        dof_values = np.array(dofs, dtype="f8").ravel()
    out = None
    kwargs = {"derivative": derivative} if s.flag() else {}
    out_kind = s.int(0, 5)
    buffer = None
    if out_kind == 1:
        out = np.full(result_shape, 7.0)
    elif out_kind == 2:  # wrong shape of the right size, wrong dtype, not contiguous
        out = s.pick((np.full(int(np.prod(result_shape)), 7.0).reshape(-1)[::-1], np.zeros(result_shape, "f4"),
                      np.zeros(result_shape[::-1] + (1,)), np.zeros(2 * int(np.prod(result_shape)))[::2]))
    elif out_kind >= 3:  # one buffer for all three, at byte offsets (a misaligned out is refused)
        result_items = int(np.prod(result_shape))
        items = result_items + t_values.size + dof_values.size + 2
        buffer = bytearray(16 * items + 16)

        def view(offset, shape):
            return np.frombuffer(buffer, dtype="f8", count=int(np.prod(shape)), offset=offset).reshape(shape)

        t_offset = 8 * s.int(0, items - t_values.size)
        dofs_offset = 8 * s.int(0, items - dof_values.size)
        out_offset = s.pick((t_offset, dofs_offset, 8 * s.int(0, items - result_items), t_offset + s.pick((1, 4, 7)),
                             t_offset + 8, max(t_offset - 8, 0), dofs_offset + 8 * (dof_values.size - 1)))
        out_offset = max(0, min(out_offset, len(buffer) - 8 * result_items - 8))
        dofs = view(dofs_offset, dofs_shape)
        dofs[...] = dof_values.reshape(dofs_shape)
        t = view(t_offset, t_shape)
        t[...] = t_values.reshape(t_shape)
        t_values = np.array(t, dtype="f8").ravel()  # the times may have overwritten some dofs
        dof_values = np.array(dofs, dtype="f8").ravel()
        t_ok = dofs_ok = True
        out = view(out_offset, result_shape)
    if out is not None:
        kwargs["out"] = out
    inputs_before = (np.array(t, copy=True) if isinstance(t, np.ndarray) else None,
                     np.array(dofs, copy=True) if isinstance(dofs, np.ndarray) else None)
    out_before = bytes(out.tobytes()) if isinstance(out, np.ndarray) else None
    shared = buffer is not None
    result, error = arrays_call(session, space.evaluate, dofs, t, **kwargs)
    if error is not None:
        if out_before is not None:
            assert out.tobytes() == out_before, "a refused evaluate changed out"
        if not shared:
            for before, now in zip(inputs_before, (t, dofs)):
                assert before is None or now.tobytes() == before.tobytes(), "a refused evaluate changed its input"
        return
    assert t_ok and dofs_ok, ("accepted an array that is not of real numbers", type(t), type(dofs))
    if out is not None:
        assert result is out, "out was not returned"
    if out is None and result_shape == ():  # one function at one time: a NumPy scalar, as from a ufunc
        assert type(result) is np.float64, type(result)
        result = np.asarray(result)
    assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.shape == result_shape, (
        result.shape, result_shape)
    if "derivative" in kwargs and not (derivative is False or derivative is np.False_):
        return  # derivatives are the module's own: checked against the design matrix
    functions = dof_values.reshape(-1, space.n_dofs)
    if result.size == 0:
        return
    values = np.asarray(result).reshape(len(functions), -1)
    for f in range(len(functions)):
        expected = zorv_batch(space.degree, space.n_t, space.T, functions[f], t_values)
        assert same_bits(values[f], expected), ("values differ from zorv's", space, f)


def run_space_basis_matrix(session):
    space = session.space
    s = session.source
    count = s.int(0, 12) if s.int(0, 7) else s.pick((2047, 2048, 2049))
    t_values = np.array([s.time() if s.int(0, 3) else s.raw_float() for _ in range(min(count, 16))])
    t_values = np.resize(t_values, count) if t_values.size else np.zeros(count)
    shape = s.pick(((count,), (1, count)))
    t, t_ok = hostile_array(session, t_values, shape)
    if t_ok:
        t_values = np.array(t, dtype="f8").ravel()
    derivative = s.flag() if s.int(0, 3) else session.flag_arg()
    result, error = arrays_call(session, space.basis_matrix, t, derivative=derivative)
    if error is not None:
        return
    assert result.shape == (count, space.n_dofs), (result.shape, count)
    assert np.array_equal(result.indptr, np.arange(count + 1) * (space.degree + 1))
    if count > 64:
        return
    dofs = np.array([s.provider.ConsumeProbability() - 0.5 for _ in range(space.n_dofs)])
    expected = space.evaluate(dofs, t_values, derivative=bool(derivative))
    product = row_products(result, dofs)
    if bool(derivative):
        assert np.allclose(product, expected, rtol=1e-9, atol=1e-9 * space.n_t / space.T, equal_nan=True)
    else:
        assert same_bits(product, expected), "design matrix times dofs differs from evaluate"


class Reentry(Exception):
    pass


def run_space_project(session):
    space = session.space
    s = session.source
    points = s.pick((None, None, 1, 2, space.degree + 1, 7, 0, -1, 2.0, True, np.int64(3), 2**70, "2"))
    dofs = np.array([s.provider.ConsumeProbability() - 0.5 for _ in range(space.n_dofs)])
    kind = s.int(0, 9)
    seen = []

    def f(times):
        seen.append(times.copy() if isinstance(times, np.ndarray) else None)
        if kind == 1:
            raise Hostile("raised by f")
        if kind == 2:
            return np.zeros(times.shape[0] + s.pick((-1, 1)))
        if kind == 3:
            return s.pick((None, "abc", [[1.0], [2.0, 3.0]], times.astype(complex), times > 0.5, object()))
        if kind == 4:  # re-entry: the module from inside its own call
            inner, _ = arrays_call(session, space.project, lambda u: np.ones_like(u))
            space.evaluate(dofs, times[:3])
            gc.collect()
            return space.evaluate(dofs, times)
        if kind == 5:
            times[:] = -1.0  # the module's own array: the caller may scribble on it
            return times
        if kind == 6:
            return np.stack([space.evaluate(dofs, times)] * 2)[:, ::-1][:, ::-1]
        return space.evaluate(dofs, times)

    kwargs = {} if points is None and s.flag() else {"points": points}
    result, error = arrays_call(session, space.project, f, **kwargs)
    if error is not None:
        return
    assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.shape[-1] == space.n_dofs
    exact = kind in (0, 4, 6, 7, 8, 9) and type(points) in (int, type(None)) and (
        (points or space.degree + 1) > space.degree)
    if exact and seen and seen[0] is not None and np.all(np.isfinite(seen[0])):
        for row in result.reshape(-1, space.n_dofs):
            assert np.allclose(row, dofs, rtol=0, atol=1e-9), ("projection of a function of the space", space, points)


def arrays_count(session, limit):
    """A count argument for zorv_arrays: requests of TiBs only where it refuses them."""
    count = session.count(limit)
    if count in LARGE_COUNTS and type(count) is int and not PROBED["large requests refused by zorv_arrays"]:
        return session.source.pick(HUGE_COUNTS)
    return count


def run_arrays_functions(session):
    s = session.source
    which = s.int(0, 2)
    degree, n_t = arrays_count(session, 12), arrays_count(session, 60)
    periodic = s.flag() if s.int(0, 3) else session.flag_arg()
    if which == 0:
        T = session.float_arg()
        result, error = arrays_call(session, zorv_arrays.lagrange_points, fresh(degree), fresh(n_t), fresh(T),
                                    periodic)
        if error is None and small(degree, n_t) and plain_float(T) and type(periodic) is bool:
            try:
                expected = zorv.get_lagrange_points(degree, n_t, T, periodic)
            except (Exception, PanicException):
                return
            assert bits(result.tolist()) == bits(expected), "Lagrange points differ from zorv's"
        return
    if which == 1:
        fine = arrays_count(session, 60)
        result, error = arrays_call(session, zorv_arrays.prolongation, fresh(degree), nt_coarse=fresh(n_t),
                                    nt_fine=fresh(fine), periodic=periodic)
        triplets = lambda: zorv.lagrange_prolongation_matrix(n_t, fine, degree, periodic)
        counts = (n_t, fine, degree)
    else:
        result, error = arrays_call(session, zorv_arrays.lagrange_to_legendre, fresh(degree), fresh(n_t), periodic)
        triplets = lambda: zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
        counts = (degree, n_t)
    if error is None and small(*counts) and type(periodic) is bool:
        try:
            expected = tuple(map(list, triplets()))
        except (Exception, PanicException):
            return
        rows = np.repeat(np.arange(result.shape[0]), np.diff(result.indptr))
        assert (rows.tolist(), result.indices.tolist(), result.data.tolist()) == expected, "matrix differs from zorv's"


def run_space_protocol(session):
    space = session.space
    s = session.source
    operation = s.int(0, 6)
    if operation <= 2:  # every protocol pickles a space
        protocol = s.int(0, 5)
        twin, error = arrays_call(session, lambda: pickle.loads(pickle.dumps(space, protocol)))
        assert error is None, ("a space does not pickle", space, protocol, error)
    elif operation == 3:
        twin, error = arrays_call(session, lambda: copy.deepcopy(space) if s.flag() else copy.copy(space))
    else:
        state = s.pick(((space.degree, space.n_t, space.T), (1, 2), (1, 2, "x"), (-1, 2, 1.0), (1, 2**64, 1.0),
                        (1, 2, float("nan")), None, [1, 2, 1.0], (np.int64(1), 2, np.float64(2.0))))
        # What unpickling does with a space's reduced state: the class called on it.
        rebuild, _ = space.__reduce__()
        twin, error = arrays_call(session, lambda: rebuild(*state) if isinstance(state, (tuple, list)) else rebuild(state))
        if error is None and isinstance(state, tuple) and len(state) == 3:
            assert (twin.degree, twin.n_t, bits([twin.T])) == (int(state[0]), int(state[1]), bits([float(state[2])]))
        return
    if error is None:
        assert twin == space and hash(twin) == hash(space) and bits([twin.T]) == bits([space.T]), (twin, space)

OPERATIONS = (
    run_sum_as_string, run_lagrange_points, run_prolongation, run_transformation,
    lambda session: construct(session, zorv.LegendreBasis),
    lambda session: construct(session, zorv.LegendreBasisEvaluator),
    run_basis_evaluate_at, run_basis_evaluate_at, run_all_basis_functions,
    run_set_dofs, run_set_dofs, run_evaluator_point, run_batch, run_batch, run_batch,
    run_wrong_receiver, run_object_protocol,
    run_space_construct, run_space_evaluate, run_space_evaluate, run_space_evaluate, run_space_basis_matrix,
    run_space_project, run_space_project, run_arrays_functions, run_space_protocol,
)


class Collector:
    """For one operation: the cyclic collector runs as often as the interpreter lets it
    (so also inside the module's calls, while a callback of the caller runs), and on its
    first collections its callback reads the first items of every young list (a list
    that the module made visible before filling it would crash here) and then
    re-enters the module."""

    def __init__(self, session, kind, budget):
        self.session, self.kind, self.budget = session, kind, budget

    def callback(self, phase, info):
        if phase != "start" or self.budget <= 0:
            return
        self.budget -= 1
        for young in gc.get_objects(generation=0):
            if type(young) is list:
                young[:4]
        self.session.guarded_action(self.kind, True)

    def __enter__(self):
        self.threshold = gc.get_threshold()
        gc.set_threshold(1, 1000, 1000)
        gc.callbacks.append(self.callback)

    def __exit__(self, *failure):
        gc.callbacks.remove(self.callback)
        gc.set_threshold(*self.threshold)


# Exceptions that nobody could catch (raised in a gc callback, a finaliser): findings.
UNRAISABLE = []
sys.unraisablehook = lambda unraisable: UNRAISABLE.append(
    "%s: %r in %r" % (unraisable.exc_type.__name__, unraisable.exc_value, unraisable.object))


def leaked_references(objects, before):
    return [(type(o).__name__, before[i], sys.getrefcount(o)) for i, o in enumerate(objects)
            if sys.getrefcount(o) != before[i]]


def one_input(data):
    source = Input(data)
    session = Session(source)
    session.basis = (zorv.LegendreBasis(2, 3, 3.0), 2, 3, 3.0)
    session.evaluator = (zorv.LegendreBasisEvaluator(2, 3, 3.0), 2, 3, 3.0)
    session.space = zorv_arrays.LegendreSpace(2, 3, 3.0)
    for _ in range(source.int(1, 8)):
        if source.left() == 0:
            break
        operation = source.pick(OPERATIONS)
        if source.int(0, 5) == 0:
            # Only actions that change nothing: a collection may also come before the
            # module holds the instance, where a set_dofs would succeed.
            session.collector = Collector(session, source.pick((1, 2, 4, 5, 6, 9)), source.int(1, 4))
        operation(session)
        session.target_sequence = session.collector = None
        if UNRAISABLE:
            raise AssertionError("unraisable exceptions: %s" % UNRAISABLE)
    # No hold outlives its call: the evaluator can still be changed exclusively.
    evaluator, degree, n_t, _ = session.evaluator
    evaluator.set_dofs(session.dofs if session.dofs is not None else [0.0] * ((degree + 1) * n_t))


def main():
    PROBED["large requests refused"] = probe_memory_refusal()
    PROBED["exiting panic reported"] = probe_exiting_panic()
    PROBED["large requests refused by zorv_arrays"] = probe_arrays_memory_refusal()
    for name, fixed in PROBED.items():
        print("fuzz_zorv: %s: %s" % (name, "yes, fuzzed" if fixed else "NO in this build, not fuzzed"), file=REPORT)

    def test_one_input(data):
        try:
            one_input(data)
        except BaseException:
            REPORT.write("fuzz_zorv: finding:\n" + traceback.format_exc())
            raise

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
