"""Fixtures of the notification tests: the loopback Growl daemon, or nothing
listening on its port."""

import pytest

from growl_daemon import own_port, serving


@pytest.fixture
def growl_daemon():
    with serving() as daemon:
        yield daemon


@pytest.fixture
def no_daemon():
    """Nothing listens on the client's default port during the test."""
    with own_port():
        yield
