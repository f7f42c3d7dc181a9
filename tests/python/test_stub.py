"""The type stub and the module agree: mypy accepts a call exactly when the module
does, and the type mypy infers for a result is the type the module returns."""

import os
import re
import textwrap

import pytest

import zorv

mypy_api = pytest.importorskip("mypy.api")
pytest.importorskip("numpy")

SETUP = textwrap.dedent(
    """\
    from array import array
    from decimal import Decimal
    from fractions import Fraction

    import numpy as np

    import zorv

    basis = zorv.LegendreBasis(2, 3, 1.0)
    evaluator = zorv.LegendreBasisEvaluator(2, np.int64(3), Fraction(1, 1))
    evaluator.set_dofs([1.0] * 9)
    """
)

# (call, whether the module accepts it). A refused call fails with TypeError.
CALLS = [
    ("zorv.sum_as_string(True, np.uint8(2))", True),
    ("zorv.sum_as_string(1.0, 2)", False),
    ("zorv.get_lagrange_points(2, 3, np.float32(1.5), periodic=np.bool_(True))", True),
    ("zorv.get_lagrange_points(2, 3, '1.5')", False),
    ("zorv.lagrange_prolongation_matrix(2, 4, degree=1, periodic=False)", True),
    ("zorv.lagrange_prolongation_matrix(2, 4, 1, 1)", False),
    ("zorv.lagrange_to_legendre_basis_transformation(2, 3, periodic=None)", False),
    ("zorv.lagrange_to_legendre_basis_transformation(n_t=3, degree=2)", True),
    ("zorv.LegendreBasis(2, 3, T=Decimal('2.5'))", True),
    ("zorv.LegendreBasisEvaluator(2, 3.0, 1.0)", False),
    ("basis.evaluate_at(0.5, [1, 2.0, np.float64(3.0)] * 3)", True),
    ("basis.evaluate_at(t=0.5, legendre_vals=np.arange(9))", True),
    ("basis.evaluate_at(0.5, '123456789')", False),
    ("basis.evaluate_at(0.5, {1.0: 2.0})", False),
    ("basis.evaluate_all_basis_functions(Fraction(1, 2))", True),
    ("basis.evaluate_all_basis_function_derivatives(None)", False),
    ("evaluator.set_dofs(range(9))", True),
    ("evaluator.set_dofs(array('d', [1.0] * 9))", True),
    ("evaluator.set_dofs(b'123456789')", True),
    ("evaluator.set_dofs(legendre_vals=(x / 2 for x in range(9)))", False),
    ("evaluator.evaluate_at(np.float64(0.25))", True),
    ("evaluator.evaluate_derivative_at(1)", True),
    ("evaluator.evaluate_many(np.linspace(0.0, 1.0, 6).reshape(2, 3))", True),
    ("evaluator.evaluate_many(array('d', [0.5, 0.75]))", True),
    ("evaluator.evaluate_derivative_many(t_values=memoryview(array('d', [0.5])))", True),
    ("evaluator.evaluate_many([0.5])", False),
]


def mypy_notation(value):
    """The type of a result as mypy writes it."""
    if isinstance(value, (list, tuple)):
        items = sorted({mypy_notation(item) for item in value})
        if isinstance(value, tuple):
            return "tuple[" + ", ".join(mypy_notation(item) for item in value) + "]"
        assert len(items) == 1, items
        return f"list[{items[0]}]"
    return "None" if value is None else type(value).__name__


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """Line number -> mypy's messages for a program making every call, one a line."""
    lines = SETUP.splitlines()
    first = len(lines) + 1
    lines += [f"reveal_type({call})" for call, _ in CALLS]
    config = tmp_path_factory.mktemp("mypy") / "mypy.ini"
    config.write_text("[mypy]\n")  # this test's settings only, not the project's
    stdout, stderr, _ = mypy_api.run(["--config-file", str(config), "--strict", "--no-incremental",
                                      "--cache-dir", os.devnull, "--no-error-summary", "-c", "\n".join(lines)])
    assert not stderr, stderr
    report = {}
    for match in re.finditer(r"^<string>:(\d+): (error|note): (.*)$", stdout, re.M):
        report.setdefault(int(match.group(1)) - first, []).append((match.group(2), match.group(3)))
    assert all(0 <= index < len(CALLS) for index in report), stdout
    return report


@pytest.mark.parametrize("index", range(len(CALLS)), ids=[call for call, _ in CALLS])
def test_types_accept_what_the_module_accepts_and_name_what_it_returns(index, mypy_report):
    call, accepted = CALLS[index]
    namespace = {}
    exec(SETUP, namespace)
    messages = mypy_report.get(index, [])
    errors = [text for kind, text in messages if kind == "error"]
    if not accepted:
        with pytest.raises(TypeError):
            eval(call, namespace)
        assert errors, f"the stub accepts a call the module refuses: {messages}"
        return
    result = eval(call, namespace)
    assert not errors, errors
    revealed = [re.sub(r"\bbuiltins\.", "", text) for kind, text in messages if kind == "note"]
    expected = mypy_notation(result)
    if isinstance(result, (zorv.LegendreBasis, zorv.LegendreBasisEvaluator)):
        expected = f"zorv.{expected}"
    assert revealed == [f'Revealed type is "{expected}"']
