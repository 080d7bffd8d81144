"""What the Python suites share: where the build is, and a private desktop (bus, Xvfb, the
accessibility bus, openbox: the parts a test's "desktop" mark names) for each test, stopped
after it, its logs kept when it failed. The real applications share one per run."""

import os
import re
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "support"), os.path.join(HERE, "e2e")]
from desktop import private  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--build", default=os.path.join(HERE, "..", "build"),
                     help="the build tree: glimwick, glimwick-ctl and the test programs")
    parser.addoption("--report", help="where the compatibility rows go "
                     "(default: BUILD/compatibility.md)")


def pytest_configure(config):
    config.addinivalue_line("markers", "desktop(**parts): the private desktop's parts")


def pytest_collection_modifyitems(items):
    # libatspi connects to one accessibility bus per process. The tests forked into processes of
    # their own go first: none may inherit the connection that this process makes later, for
    # the tests that share a desktop.
    items.sort(key=lambda item: item.get_closest_marker("forked") is None)


@pytest.fixture(scope="session")
def build(request):
    return os.path.abspath(request.config.getoption("--build"))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item):
    # Counted where the test ran: a forked test's own process reports to its parent only.
    report = (yield).get_result()
    item.session.failures_here = getattr(item.session, "failures_here", 0) + report.failed


def open_desktop(request, **parts):
    failures = lambda: getattr(request.session, "failures_here", 0)
    before = failures()
    # The work folder holds the bus's socket: a name a bus address takes unescaped.
    return private("glimwick-%s-" % re.sub(r"[^\w-]+", "-", request.node.name)[:40],
                   lambda: failures() > before, **parts)


@pytest.fixture
def session(request):
    mark = request.node.get_closest_marker("desktop")
    with open_desktop(request, **(mark.kwargs if mark else {})) as session:
        print("work folder (kept when the test fails):", session.work)
        yield session


@pytest.fixture(scope="module")
def shared_session(request):
    with open_desktop(request) as session:
        yield session
