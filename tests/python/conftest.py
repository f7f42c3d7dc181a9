import os

import pytest

import zorv


def _panic_exception_type():
    """The PanicException type, reached the way callers meet it: by a stop."""
    try:
        zorv.LegendreBasis(1, 1, 1.0).evaluate_at(0.0, [])
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return type(error)
    raise AssertionError("a too short dof list did not stop")


@pytest.fixture(scope="session")
def panic_exception():
    return _panic_exception_type()


def pytest_collection_modifyitems(config, items):
    # Under AddressSanitizer an allocation that cannot succeed aborts the process instead
    # of failing, so the tests of MemoryError cannot run there.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        skip = pytest.mark.skip(reason="AddressSanitizer aborts on allocations that cannot succeed")
        for item in items:
            if item.get_closest_marker("exhausts_memory"):
                item.add_marker(skip)
