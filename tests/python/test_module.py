"""The module object as Python sees it: start-up, cache, registration, classes."""

import gc
import importlib
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
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


def test_the_extension_exports_only_its_entry():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", zorv.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_zorv"]


def test_reimport_returns_the_cached_module_unchanged():
    module = sys.modules.pop("zorv")
    try:
        module.extra_attribute = 42
        again = importlib.import_module("zorv")
        assert again is module
        assert again.extra_attribute == 42
        assert again.__all__ == ALL
    finally:
        sys.modules["zorv"] = module
        del module.extra_attribute


@pytest.mark.skipif(importlib.util.find_spec("_xxsubinterpreters") is None,
                    reason="this interpreter has no _xxsubinterpreters module")
def test_second_interpreter_is_refused_and_first_keeps_working():
    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import zorv
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import zorv")
        except interpreters.RunFailedError as error:
            print("refused:", error)
        else:
            print("imported")
        print("still works:", zorv.sum_as_string(2, 3))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ))
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout and "ImportError" in result.stdout
    assert "does not support sub-interpreters" in result.stdout
    assert "still works: 5" in result.stdout


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
    assert cls.__text_signature__ == "(degree, n_t, T)"
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
