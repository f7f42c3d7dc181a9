"""Cheap source lint: the boundaries the tree's layout promises."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CORE = ["src/support", "src/piecewise_polynomials", "src/sparse_matrix_tools"]
SOURCES = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in {".hpp", ".cpp"})

if not SOURCES:
    pytest.skip("source tree not available", allow_module_level=True)


def relative(path):
    return path.relative_to(ROOT).as_posix()


@pytest.mark.parametrize("path", [p for p in SOURCES if relative(p).startswith(tuple(CORE))], ids=relative)
def test_numerical_core_never_sees_python(path):
    text = path.read_text()
    assert "Python.h" not in text and "PyObject" not in text


@pytest.mark.parametrize("path", SOURCES, ids=relative)
def test_references_are_dropped_only_by_the_owning_wrapper(path):
    # PyRef owns references; the teardown slot drops the instance's hold on its class.
    allowed = {"src/bindings/py_ref.hpp": "Py_DECREF(object_)", "src/bindings/classes.hpp": "Py_DECREF(type)"}
    text = path.read_text()
    for line in text.splitlines():
        if re.search(r"\bPy_(X)?DECREF\b|\bPy_CLEAR\b", line):
            assert relative(path) in allowed and allowed[relative(path)] in line, line


def test_only_the_pool_starts_threads():
    starters = [relative(p) for p in SOURCES if re.search(r"std::j?thread\b(?!::)|pthread_create", p.read_text())]
    assert starters == ["src/support/parallel.cpp"], starters


BINDINGS = [p for p in SOURCES if relative(p).startswith(("src/arrays/", "src/bindings/"))]
# C API functions that may run Python code (the caller's __float__, __index__, __array__,
# __buffer__, a class's __getattr__, an import, any call).
CALLS_INTO_PYTHON = re.compile(
    r"\b(PyObject_(Call\w*|Vectorcall\w*|GetAttr\w*|Str|Repr|ASCII|IsTrue|Not|GetIter|Size|Length|GetBuffer|Hash|"
    r"RichCompare\w*|GetItem|Format|Dir)|PyNumber_\w+|PyFloat_AsDouble|PyIter_Next|PyImport_Import\w*|"
    r"PyBuffer_Release|PyErr_Display|PyErr_Print\w*|PyMemoryView_FromObject|PyRun_\w+|PyEval_EvalCode\w*)\s*\(")
# nanobind's ways into Python code: imports, calls of attributes and of the kept NumPy
# functions, str() of an object, casts of an object to an ndarray (which may run its
# __dlpack__ or __buffer__) and of arbitrary objects to numbers.
NANOBIND_CALLS = re.compile(
    r"module_::import_\s*\(|\.attr\([^()]*\)\s*\(|\bnumpy->\w+\s*\(|\bnb::str\s*\(|"
    r"\bnb::try_cast\s*\(|\bnb::cast\s*<\s*(nb::ndarray|Float|View|double|float|bool|int|long|std::)")


def code_lines(path):
    """The lines of a source without its comments (// to the end of the line)."""
    return [(number, line.split("//")[0]) for number, line in enumerate(path.read_text().splitlines(), 1)]


@pytest.mark.parametrize("path", BINDINGS, ids=relative)
def test_python_code_is_called_only_through_the_gateway(path):
    """A call into Python code is where the exiting interpreter may end a daemon thread: only
    the gateway (src/interpreter/gateway.hpp) parks it there; anything else can abort the process."""
    found = [f"{number}: {line.strip()}" for number, line in code_lines(path) if CALLS_INTO_PYTHON.search(line)]
    if relative(path).startswith("src/arrays/"):
        body = ndarray_view_body(path)
        found += [f"{number}: {line.strip()}" for number, line in code_lines(path)
                  if NANOBIND_CALLS.search(line) and number not in body]
    assert not found, "\n".join(found)


def ndarray_view_body(path):
    """The line numbers of the one function allowed to cast to nanobind's ndarray (it checks the type first)."""
    lines = path.read_text().splitlines()
    start = next(i for i, line in enumerate(lines, 1) if re.match(r"bool ndarray_view\(", line))
    end = next(i for i, line in enumerate(lines, 1) if i > start and line == "}")
    assert any("Py_TYPE(" in line and "numpy->ndarray" in line for line in lines[start:end])
    return range(start, end + 1)


def test_zorv_arrays_shares_only_the_interpreter_folder_with_zorv():
    """Both modules use src/interpreter; nothing of zorv's own bindings is included by zorv_arrays."""
    arrays = [p for p in SOURCES if relative(p).startswith("src/arrays/")]
    assert arrays and not [relative(p) for p in arrays if '#include "bindings/' in p.read_text()]
    assert all('#include "interpreter/' in p.read_text() for p in arrays)


def test_the_declared_python_versions_are_the_tested_ones():
    """The classifiers name exactly the CPython versions that the test command tests (those
    of scripts/test.sh, and 3.14 in its Debian sid stage), and requires-python starts at the
    oldest of them with no upper bound."""
    pyproject = (ROOT / "pyproject.toml").read_text()
    test_command = (ROOT / "scripts" / "test.sh").read_text()
    tested = re.search(r"^SUPPORTED_PYTHONS=\(([^)]*)\)$", test_command, re.M).group(1).split()
    if re.search(r"^stage .*\bbash scripts/python314\.sh\b", test_command, re.M):
        tested.append("3.14")
    assert re.findall(r'"Programming Language :: Python :: (3\.\d+)"', pyproject) == tested
    assert re.search(r"^requires-python = (.*)$", pyproject, re.M).group(1) == f'">={tested[0]}"'
