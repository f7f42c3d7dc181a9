"""The module object as Python sees it: start-up, cache, registration, classes."""

import ctypes
import gc
import importlib
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
import warnings
import weakref

import pytest

import zorv

ALL = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]
CLASSES = [zorv.LegendreBasis, zorv.LegendreBasisEvaluator]


def test_all_lists_the_six_names_in_registration_order():
    assert zorv.__all__ == ALL
    assert zorv.__name__ == "zorv"
    assert isinstance(zorv.__doc__, str) and zorv.__doc__.strip() and "\n" not in zorv.__doc__.strip()


@pytest.mark.parametrize("module, allowed", [
    ("zorv", r"PyInit_zorv"),
    # ... and the type information that nanobind makes visible on purpose: its two exception classes.
    ("zorv_arrays._core", r"PyInit__core|_ZT[IS]N8nanobind.*(12python_error|17builtin_exception)E"),
], ids=["zorv", "zorv_arrays"])
def test_the_extension_exports_only_its_entry(module, allowed):
    nm = shutil.which("nm")
    spec = importlib.util.find_spec(module)
    if nm is None or spec is None:
        pytest.skip("nm or the module is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", spec.origin], capture_output=True, text=True,
                             check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert f"PyInit_{module.rpartition('.')[2]}" in symbols
    assert [symbol for symbol in symbols if not re.fullmatch(allowed, symbol)] == []


def interpreter_state_dict():
    """The interpreter's own dictionary, where extension modules keep what they share."""
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    # A borrowed reference: a py_object result type would take it as the caller's own and
    # release it once more, freeing the interpreter's dictionary under it at exit.
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p
    return ctypes.cast(api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), ctypes.py_object).value


def test_reimport_returns_the_cached_module_unchanged():
    module = sys.modules.pop("zorv")
    try:
        module.extra_attribute = 42
        again = importlib.import_module("zorv")
        assert again is module
        assert again.extra_attribute == 42
        assert again.__all__ == ALL
        # Each import hands out one reference, which the import system keeps in sys.modules.
        references = sys.getrefcount(module)
        for _ in range(100):
            del sys.modules["zorv"]
            importlib.import_module("zorv")
        assert sys.getrefcount(module) == references
    finally:
        sys.modules["zorv"] = module
        del module.extra_attribute
    # Re-imports of either module, again and again, move no reference count: not the
    # modules' own nor those of what the interpreter keeps for them.
    # Skipped only where NumPy has no build yet (the early warning for the next CPython);
    # the suite's other files import both at their top.
    numpy = pytest.importorskip("numpy")
    zorv_arrays = pytest.importorskip("zorv_arrays")
    modules = [module, zorv_arrays]
    shared = interpreter_state_dict()

    def counts():
        # Also NumPy's own objects, which the compiled module looks up when it initialises.
        held = {key: sys.getrefcount(value) for key, value in vars(numpy).items() if callable(value)}
        return [sys.getrefcount(m) for m in modules], {key: sys.getrefcount(value) for key, value in shared.items()}, held

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the binding library's note that a class is bound again
        for name in ["zorv", "zorv_arrays", "zorv_arrays._core"]:
            original = sys.modules[name]
            before = counts()
            try:
                for _ in range(5):
                    del sys.modules[name]
                    importlib.import_module(name)
            finally:
                sys.modules[name] = original
            gc.collect()
            assert counts() == before, name


SUBINTERPRETERS = next((name for name in ("_interpreters", "_xxsubinterpreters")
                        if importlib.util.find_spec(name) is not None), None)


@pytest.mark.skipif(SUBINTERPRETERS is None, reason="this interpreter cannot create sub-interpreters")
def test_second_interpreter_is_refused_and_first_keeps_working():
    # An isolated interpreter (its own GIL; the default from 3.12 on) refuses the module
    # itself, after the module's entry ran there: that must not take the module from the
    # main interpreter. A "legacy" one shares the main interpreter's settings, so the
    # module's own rule answers: the first interpreter that imported it keeps it.
    script = textwrap.dedent(
        """
        import sys
        try:
            import _interpreters as interpreters
            isolated = lambda: interpreters.create()
            legacy = lambda: interpreters.create(interpreters.new_config("legacy"))
        except ImportError:
            import _xxsubinterpreters as interpreters
            isolated = lambda: interpreters.create(isolated=True)
            legacy = lambda: interpreters.create(isolated=False)
            if sys.version_info < (3, 12):
                isolated = legacy = lambda: interpreters.create()
        def run(make):
            try:
                failure = interpreters.run_string(make(), "import zorv")
            except interpreters.RunFailedError as error:
                failure = error
            return "imported" if failure is None else f"refused: {failure}"
        if sys.version_info >= (3, 12):
            print("isolated first:", run(isolated))
        import zorv
        print("still works:", zorv.sum_as_string(2, 3))
        print("legacy:", run(legacy))
        print("isolated:", run(isolated))
        print("still works:", zorv.sum_as_string(2, 3))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(": ", 1) for line in result.stdout.splitlines())
    if sys.version_info >= (3, 12):
        # refused by the interpreter itself, not by the module's rule
        assert lines["isolated first"].startswith("refused:") and "ImportError" in lines["isolated first"]
        assert "zorv does not support sub-interpreters" not in lines["isolated first"]
    assert "ImportError" in lines["legacy"] and "does not support sub-interpreters" in lines["legacy"]
    assert lines["isolated"].startswith("refused:")
    assert lines["still works"] == "5"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("sum_as_string", "(a, b)", "Formats the sum of two numbers as string."),
        ("lagrange_to_legendre_basis_transformation", "(degree, n_t, periodic=False)", None),
        ("lagrange_prolongation_matrix", "(nt_coarse, nt_fine, degree, periodic=False)", None),
        ("get_lagrange_points", "(degree, n_t, T, periodic=False)", None),
    ],
)
def test_functions_are_builtins_bound_to_the_module(name, signature, doc):
    function = getattr(zorv, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "zorv"
    assert function.__self__ is zorv
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize(
    "cls, doc, methods",
    [
        (zorv.LegendreBasis, "", {
            "evaluate_at": "($self, t, legendre_vals)",
            "evaluate_all_basis_functions": "($self, t)",
            "evaluate_all_basis_function_derivatives": "($self, t)",
        }),
        (zorv.LegendreBasisEvaluator,
         "Class to evaluate legendre basis more often without copying the dofs from python each time", {
             "set_dofs": "($self, legendre_vals)",
             "evaluate_at": "($self, t)",
             "evaluate_derivative_at": "($self, t)",
             "evaluate_many": "($self, t_values)",
             "evaluate_derivative_many": "($self, t_values)",
         }),
    ],
)
def test_class_names_docs_and_method_signatures(cls, doc, methods):
    name = cls.__name__
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == doc
    # Python 3.9 drops the signature of a heap type's documentation text when it
    # creates the type; later versions report it.
    assert cls.__text_signature__ == ("(degree, n_t, T)" if sys.version_info >= (3, 10) else None)
    own = [key for key, value in vars(cls).items() if callable(value) and not key.startswith("__")]
    assert own == list(methods)
    for method, signature in methods.items():
        assert getattr(cls, method).__text_signature__ == signature
        assert getattr(cls, method).__doc__ is None


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_final_closed_and_untracked(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    instance = cls(2, 3, 1.0)
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)
    assert type(instance) is cls


@pytest.mark.parametrize("cls", CLASSES)
def test_class_objects_stay_mutable(cls):
    cls.note = "set from Python"
    try:
        assert cls(1, 1, 1.0).note == "set from Python"
    finally:
        del cls.note


UNCONSTRUCTED_SCRIPT = """
import sys, zorv
for cls, calls in [
    (zorv.LegendreBasis, [lambda b: b.evaluate_at(0.5, [1.0, 2.0]), lambda b: b.evaluate_all_basis_functions(0.5),
                          lambda b: b.evaluate_all_basis_function_derivatives(0.5)]),
    (zorv.LegendreBasisEvaluator, [lambda e: e.set_dofs([1.0]), lambda e: e.evaluate_at(0.5),
                                   lambda e: e.evaluate_derivative_at(0.5),
                                   lambda e: e.evaluate_many([0.5]), lambda e: e.evaluate_derivative_many([0.5])]),
]:
    cls.__new__ = lambda c, *args: object.__new__(c)
    for call in calls:
        instance = cls(1, 2, 1.0)
        try:
            call(instance)
            print("ran")
        except BaseException as error:
            print(type(error).__name__, error)
        del instance  # teardown of an instance whose contents were never made
print("done")
"""


def test_instances_made_without_the_constructor_refuse_every_method():
    """The classes are mutable, so __new__ can be replaced by one that never builds the contents."""
    result = subprocess.run([sys.executable, "-c", UNCONSTRUCTED_SCRIPT], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, PYTHONPATH=os.path.dirname(zorv.__file__)))
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[-1] == "done"
    expected = [f"RuntimeError this {name} was not made by {name}.__new__(): it has nothing to compute with"
                for name in ["LegendreBasis"] * 3 + ["LegendreBasisEvaluator"] * 5]
    assert lines[:-1] == expected


def _resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    pytest.skip("no /proc/self/status")


def test_dropping_evaluators_frees_their_dofs():
    # 400 evaluators of 8 MB of dofs each: 3.2 GB if teardown leaked them.
    zorv.LegendreBasisEvaluator(0, 10**6, 1.0)
    before = _resident_bytes()
    for _ in range(400):
        evaluator = zorv.LegendreBasisEvaluator(0, 10**6, 1.0)
        del evaluator
    assert _resident_bytes() - before < 200 * 2**20


def test_import_from_a_collection_during_initialisation_neither_hangs_nor_blocks_other_threads():
    # A collection that runs while the module body allocates calls back into Python on the same
    # thread; there `import zorv` must not wait for the initialisation it interrupts. Meanwhile a
    # second thread enters the entry directly and must wait for the module without holding the
    # interpreter lock (the interrupted initialisation needs it to finish).
    script = """
        import _imp, gc, sys, threading, time
        outcome = {}

        def other_thread(spec):
            try:
                outcome["other"] = _imp.create_dynamic(spec)
            except BaseException as error:
                outcome["other"] = error

        def callback(phase, info):
            frame = sys._getframe(1)
            if phase != "start" or "inner" in outcome or frame.f_code.co_name != "_call_with_frames_removed":
                return
            if frame.f_locals.get("f") is not _imp.create_dynamic or frame.f_locals["args"][0].name != "zorv":
                return
            outcome["inner"] = None
            thread = threading.Thread(target=other_thread, args=(frame.f_locals["args"][0],))
            thread.start()
            outcome["thread"] = thread
            time.sleep(0.5)
            try:
                import zorv
                outcome["inner"] = zorv
            except ImportError as error:
                outcome["inner"] = error

        gc.callbacks.append(callback)
        gc.set_threshold(1)
        import zorv
        gc.set_threshold(700)
        gc.callbacks.remove(callback)
        if "inner" not in outcome:
            print("no collection ran inside the entry")
            sys.exit(0)
        outcome["thread"].join(30)
        inner = outcome["inner"]
        print("inner:", "module" if inner is zorv else f"{type(inner).__name__}: {inner}")
        print("other:", "module" if outcome.get("other") is zorv else repr(outcome.get("other")))
        print("works:", zorv.sum_as_string(2, 3), zorv.__all__ == %r)
    """ % (ALL,)
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                                timeout=30, env=dict(os.environ))
    except subprocess.TimeoutExpired:
        pytest.fail("import zorv hung when a collection during its initialisation imported it again")
    assert result.returncode == 0, result.stderr
    if "no collection ran inside the entry" in result.stdout:
        pytest.skip("this interpreter runs no collection inside an extension's entry")
    assert ("inner: module" in result.stdout
            or "inner: ImportError: zorv is still being initialised on this thread" in result.stdout), result.stdout
    assert "other: module" in result.stdout, result.stdout
    assert "works: 5 True" in result.stdout, result.stdout


EMBEDDING_PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

static const char script[] =
    "import array, zorv\n"
    "e = zorv.LegendreBasisEvaluator(2, 3, 3.0)\n"
    "e.set_dofs(range(1, 10))\n"
    "try:\n"
    "    zorv.LegendreBasis(1, 1, 1.0).evaluate_at(0.0, [])\n"
    "except BaseException as error:\n"
    "    panic = (type(error), type(error).__module__, type(error).__name__, isinstance(error, Exception))\n"
    "try:\n"
    "    import _xxsubinterpreters as interpreters\n"
    "    try:\n" /* 3.12 makes isolated ones by default, which refuse the module themselves */
    "        interpreter = interpreters.create(isolated=False)\n"
    "    except TypeError:\n"
    "        interpreter = interpreters.create()\n"
    "    try:\n"
    "        interpreters.run_string(interpreter, 'import zorv')\n"
    "        second = 'imported'\n"
    "    except Exception as error:\n" /* not RunFailedError, which that module loses in a new runtime */
    "        second = 'refused' if 'does not support sub-interpreters' in str(error) else repr(error)\n"
    "except ImportError:\n"
    "    second = 'refused'\n"
    "print('lifetime:', zorv.__all__, zorv.sum_as_string(2, 3), e.evaluate_many(array.array('d', [1.25, 0.0, 3.0])),\n"
    "      zorv.get_lagrange_points(1, 2, 1.0), type(zorv.LegendreBasis(1, 1, 1.0)) is zorv.LegendreBasis,\n"
    "      zorv.LegendreBasisEvaluator.__doc__[:5], panic[1:], second)\n"
    "print('objects:', *map(id, [zorv, zorv.LegendreBasis, zorv.LegendreBasisEvaluator, panic[0]]), flush=True)\n";

int main(void) {
    for (int lifetime = 0; lifetime < 2; ++lifetime) {
        Py_Initialize();
        if (PyRun_SimpleString(script) != 0) printf("lifetime: failed\n");
        fflush(stdout);
        if (Py_FinalizeEx() != 0) return 3;
    }
    return 0;
}
"""


def _embedding_link_flags():
    """Compiler flags to link a program against this interpreter's library, or None."""
    import sysconfig
    config = sysconfig.get_config_var
    include = sysconfig.get_paths()["include"]
    if not os.path.isfile(os.path.join(include, "Python.h")):
        return None
    flags = ["-I" + include]
    libdir, version = config("LIBDIR") or "", config("LDVERSION") or config("VERSION")
    if config("Py_ENABLE_SHARED") and os.path.exists(os.path.join(libdir, config("LDLIBRARY") or "")):
        return flags + [f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}"]
    static = os.path.join(config("LIBPL") or "", config("LIBRARY") or "")
    if os.path.isfile(static):
        return flags + [static, "-Wl,--export-dynamic"] + (config("LIBS") or "").split() + (
            config("SYSLIBS") or "").split()
    return None


def test_an_embedding_program_can_finalise_and_initialise_python_again(tmp_path):
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if os.environ.get("ZORV_EMULATOR") and "CC" not in os.environ:
        compiler = None  # the host's compiler builds for the host, not for the emulated interpreter
    flags = _embedding_link_flags()
    if compiler is None or flags is None:
        pytest.skip("no C compiler or no library of this interpreter to embed")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    build = subprocess.run([compiler, str(source), "-o", str(program)] + flags, capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    module_dir = os.path.dirname(os.path.abspath(zorv.__file__))
    env = dict(os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=os.pathsep.join([module_dir] + [p for p in os.environ.get("PYTHONPATH", "").split(
                   os.pathsep) if p]))
    result = subprocess.run([str(program)], capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    first, second = [line for line in result.stdout.splitlines() if line.startswith("lifetime:")]
    assert first == second, result.stderr
    # Objects of the finalised runtime stay allocated (they are forgotten, not freed), so an
    # object handed out again from a stale cache would show the same address.
    old, new = [line.split()[1:] for line in result.stdout.splitlines() if line.startswith("objects:")]
    assert [a == b for a, b in zip(old, new)] == [False] * 4
    assert first.startswith(f"lifetime: {ALL!r} 5 [-1.5, 4.0, 18.0] [0.0, 0.5, 1.0] True Class "), first
    assert first.endswith("('pyo3_runtime', 'PanicException', False) refused"), first
