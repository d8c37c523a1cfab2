"""Fixtures of the notification tests: the loopback Growl daemon, the real
one (growl-for-linux), or nothing listening on their port."""

import shutil

import pytest

from growl_daemon import own_port, running_gol, serving


@pytest.fixture
def growl_daemon():
    with serving() as daemon:
        yield daemon


@pytest.fixture
def no_daemon():
    """Nothing listens on the client's default port during the test."""
    with own_port():
        yield


@pytest.fixture
def gol(request, tmp_path):
    """growl-for-linux on the virtual display, with HOME=tmp_path."""
    missing = [tool for tool in ("gol", "dbus-run-session") if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"{' and '.join(missing)} not installed "
                    "(apt-get install growl-for-linux dbus-daemon)")
    with running_gol(request.getfixturevalue("x_display"), tmp_path) as daemon:
        yield daemon
