"""Fixtures that every test folder shares. Plain helpers live in helpers.py
(and a folder's own in its *_helpers.py): a test module imports those, and
takes fixtures from the conftest.py files by name."""

import shutil
import sys
from pathlib import Path

import pytest

from helpers import PACKAGE_DIR, WINDOWS, run_python


@pytest.fixture
def py(tmp_path):
    """`py(code, *argv, **kw)`: run code in a fresh interpreter in a scratch
    working directory (tmp_path/work unless cwd= is given)."""
    work = tmp_path / "work"
    work.mkdir(exist_ok=True)

    def run(code, *argv, cwd=None, **kw):
        return run_python(code, *argv, cwd=cwd or work, **kw)

    return run


@pytest.fixture
def package_copy(tmp_path):
    """A private copy of the installed package under tmp_path/site/crenly, for
    scenarios that change the files beside the module (version file, icon).
    Returns the `site` directory to pass as extra_paths."""
    site = tmp_path / "site"
    shutil.copytree(PACKAGE_DIR, site / "crenly",
                    ignore=shutil.ignore_patterns("__pycache__"))
    return site


@pytest.fixture
def crenly_bin():
    """Path of the installed `crenly` launcher (Scripts\\crenly.exe on Windows)."""
    bin_dir = Path(sys.executable).parent
    path = bin_dir / "Scripts" / "crenly.exe" if WINDOWS else bin_dir / "crenly"
    assert path.exists(), f"launcher not installed at {path}"
    return path
