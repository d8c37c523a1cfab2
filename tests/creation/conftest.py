"""Fixtures of the creation tests."""

import pytest

import crenly.crenly as mod
from creation_helpers import force_pathlib
from helpers import WINDOWS


@pytest.fixture
def work(tmp_path):
    """The resolved scratch directory tmp_path/work (the `py` fixture's working
    directory), for checking what a run created or left alone."""
    (tmp_path / "work").mkdir(exist_ok=True)
    return (tmp_path / "work").resolve()


@pytest.fixture(params=["native", "pathlib"])
def road(request, monkeypatch):
    """The road a test runs on: the native road of create_file, or the pathlib
    steps, forced (creation_helpers.FORCE_PATHLIB) in this process by the
    fixture and in a child by the code `forcing(road)`."""
    if request.param == "native" and WINDOWS:
        pytest.skip("create_file has no native road on Windows")
    if request.param == "pathlib":
        monkeypatch.setattr(mod, "Path", mod.Path)  # undone after the test
        force_pathlib(mod)
    return request.param
