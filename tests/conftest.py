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


@pytest.fixture(scope="session")
def build(request):
    return os.path.abspath(request.config.getoption("--build"))


def open_desktop(request, **parts):
    before = request.session.testsfailed
    # The work folder holds the bus's socket: a name a bus address takes unescaped.
    return private("glimwick-%s-" % re.sub(r"[^\w-]+", "-", request.node.name)[:40],
                   lambda: request.session.testsfailed > before, **parts)


@pytest.fixture
def session(request):
    mark = request.node.get_closest_marker("desktop")
    with open_desktop(request, **(mark.kwargs if mark else {})) as session:
        yield session


@pytest.fixture(scope="module")
def shared_session(request):
    with open_desktop(request) as session:
        yield session
