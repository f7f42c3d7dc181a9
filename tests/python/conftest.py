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


def pytest_configure(config):
    config.addinivalue_line("markers", "limits_address_space: runs a child interpreter under an address-space limit")


def pytest_collection_modifyitems(config, items):
    # Under AddressSanitizer an allocation that cannot succeed aborts the process instead
    # of failing, so the tests of MemoryError cannot run there.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        skip = pytest.mark.skip(reason="AddressSanitizer aborts on allocations that cannot succeed")
        for item in items:
            if item.get_closest_marker("exhausts_memory"):
                item.add_marker(skip)
    # A user-mode emulator (scripts/aarch64.sh sets ZORV_EMULATOR) reserves address space of
    # its own for the guest, so a limit on the address space does not mean what the test assumes.
    if os.environ.get("ZORV_EMULATOR"):
        skip = pytest.mark.skip(reason=f"an address-space limit does not fit {os.environ['ZORV_EMULATOR']}, "
                                       "which reserves address space of its own")
        for item in items:
            if item.get_closest_marker("limits_address_space"):
                item.add_marker(skip)
