"""Fixtures of the creation tests."""

import sys

import pytest

import crenly.crenly as mod
from helpers import WINDOWS, force_pathlib


@pytest.fixture
def work(tmp_path):
    """The resolved scratch directory tmp_path/work (the `child` fixture's
    working directory), for checking what a run created or left alone."""
    (tmp_path / "work").mkdir(exist_ok=True)
    return (tmp_path / "work").resolve()


@pytest.fixture
def creator(tmp_path, monkeypatch):
    """A FileCreator that touches no desktop service, working in tmp_path."""
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    monkeypatch.setattr(mod, "HAS_CLIPBOARD", False)
    monkeypatch.chdir(tmp_path)
    return mod.FileCreator()


@pytest.fixture
def fast_switches():
    """A switch interval of 1 µs: threads take turns as often as they can."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture(params=["native", "pathlib"])
def road(request, monkeypatch):
    """The road a test runs on: the native road of create_file, or the pathlib
    steps, forced (helpers.FORCE_PATHLIB) in this process by the fixture and
    in a child by child(..., road=road)."""
    if request.param == "native" and WINDOWS:
        pytest.skip("create_file has no native road on Windows")
    if request.param == "pathlib":
        monkeypatch.setattr(mod, "Path", mod.Path)  # undone after the test
        force_pathlib(mod)
    return request.param
