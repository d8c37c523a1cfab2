"""Fixtures of the creation tests."""

import pytest

from helpers import WINDOWS


@pytest.fixture
def work(tmp_path):
    """The resolved scratch directory tmp_path/work (the `py` fixture's working
    directory), for checking what a run created or left alone."""
    (tmp_path / "work").mkdir(exist_ok=True)
    return (tmp_path / "work").resolve()


@pytest.fixture(params=["native", "pathlib"])
def road(request):
    """The road a scenario runs on: the native road of create_file, or the
    pathlib steps, forced by binding the global Path to a subclass that adds
    nothing."""
    if request.param == "native" and WINDOWS:
        pytest.skip("create_file has no native road on Windows")
    return request.param
