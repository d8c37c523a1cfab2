"""Fixtures that every test folder shares. Plain helpers live in helpers.py
(and a folder's own in its *_helpers.py): a test module imports those, and
takes fixtures from the conftest.py files by name."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

from helpers import MARK, PACKAGE_DIR, PRELUDE, WINDOWS, run_python, write_tree


def pytest_configure(config):
    """Hypothesis keeps its caches (a character map, the constants it gathers
    while tests are collected) in a temporary directory of the session, not in
    a .hypothesis/ of the working one; children that run it inherit this."""
    storage, env = tempfile.mkdtemp(prefix="crenly-hypothesis-"), pytest.MonkeyPatch()
    env.setenv("HYPOTHESIS_STORAGE_DIRECTORY", storage)
    config.add_cleanup(lambda: shutil.rmtree(storage, ignore_errors=True))
    config.add_cleanup(env.undo)


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


@pytest.fixture(scope="module")
def x_display():
    """A private Xvfb display for the test module, as a DISPLAY value (None on
    Windows, whose desktop services need no display of the test's own)."""
    if WINDOWS:
        yield None
        return
    if shutil.which("Xvfb") is None:
        pytest.skip("Xvfb not installed (apt-get install xvfb)")
    # -displayfd: the server takes a free display number and writes it to the pipe.
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip().decode()
        assert number.isdigit(), f"Xvfb did not start (exit status {server.wait()})"
        socket, deadline = Path(f"/tmp/.X11-unix/X{number}"), time.monotonic() + 20
        while not socket.exists():
            assert time.monotonic() < deadline, f"Xvfb never created {socket}"
            time.sleep(0.05)
        yield f":{number}"
    finally:
        server.terminate()
        server.wait(timeout=20)


@pytest.fixture
def fakes(tmp_path):
    """`fakes(tree, name)`: write a package tree (None skips a file), return its directory."""
    return lambda tree, name="fakes": write_tree(tmp_path / name, tree)


@pytest.fixture
def report(py):
    """`report(code, **kw)`: run code that ends by calling report(**values) in a
    child; return (the output before the report, the values)."""
    def run(code, **kw):
        r = py(PRELUDE + textwrap.dedent(code), **kw)
        assert r.returncode == 0 and MARK in r.stdout, r.describe()
        before, _, data = r.stdout.partition(MARK + "\n")
        return before, json.loads(data)
    return run


@pytest.fixture(scope="session")
def mod():
    import crenly.crenly
    return crenly.crenly
