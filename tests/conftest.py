import ctypes
import os
import pathlib

import pytest
from hypothesis import settings

import telem_pyb
from helpers import SANITIZED
from pg_cluster import Cluster

if SANITIZED:
    # numpy's _multiarray_umath keeps objects that it makes at import (the
    # promoters of its string ufuncs) and never releases them, which
    # LeakSanitizer reports at exit. What numpy's import allocates is left out
    # of the leak checks; everything after it is checked.
    _lsan = ctypes.CDLL(None)
    _lsan.__lsan_disable()
    try:
        import numpy  # noqa: F401
    finally:
        _lsan.__lsan_enable()

# Generated-input tests: thousands of examples each, the same ones on every run
# (derandomize) so that CI results are stable, and no time limit per example,
# which the sanitizer build would exceed. HYPOTHESIS_PROFILE=explore draws new
# random examples instead.
settings.register_profile("ci", max_examples=3000, deadline=None, derandomize=True, database=None,
                          print_blob=True)
settings.register_profile("explore", max_examples=20000, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def pytest_addoption(parser):
    parser.addoption("--leak-calls", type=int, default=250_000,
                     help="calls per operation in the leak tests (default: 250,000)")


@pytest.fixture(scope="session")
def leak_calls(request):
    return request.config.getoption("--leak-calls")


def pytest_report_header(config):
    return f"telem_pyb from {telem_pyb.__file__}"


@pytest.fixture(scope="session", autouse=True)
def _module_under_test():
    """With TELEM_PYB_MODULE_DIR set, the tests must run against the modules built there."""
    wanted = os.environ.get("TELEM_PYB_MODULE_DIR")
    if wanted:
        import telem_pyb_log._native

        assert pathlib.Path(telem_pyb.__file__).parent.resolve() == pathlib.Path(wanted).resolve()
        assert pathlib.Path(telem_pyb_log._native.__file__).parent.parent.resolve() == pathlib.Path(wanted).resolve()


@pytest.fixture(scope="module")
def server():
    """A throwaway PostgreSQL cluster for the test module (tests/pg_cluster.py)."""
    cluster = Cluster()
    try:
        cluster.start()
        yield cluster
    finally:
        cluster.remove()
