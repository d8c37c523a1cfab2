"""Fixtures of the creation tests."""

import pytest


@pytest.fixture
def work(tmp_path):
    """The resolved scratch directory tmp_path/work (the `py` fixture's working
    directory), for checking what a run created or left alone."""
    (tmp_path / "work").mkdir(exist_ok=True)
    return (tmp_path / "work").resolve()
