import os
import pathlib

import pytest

import telem_pyb


def pytest_report_header(config):
    return f"telem_pyb from {telem_pyb.__file__}"


@pytest.fixture(scope="session", autouse=True)
def _module_under_test():
    """With TELEM_PYB_MODULE_DIR set, the tests must run against the module built there."""
    wanted = os.environ.get("TELEM_PYB_MODULE_DIR")
    if wanted:
        assert pathlib.Path(telem_pyb.__file__).parent.resolve() == pathlib.Path(wanted).resolve()
