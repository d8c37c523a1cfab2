"""Fixtures that every test folder shares. Plain helpers live in helpers.py
(and a folder's own in its *_helpers.py): a test module imports those, and
takes fixtures from the conftest.py files by name."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

from helpers import PACKAGE_DIR, PRELUDE, WINDOWS, child_env, forcing, run_command, write_tree


def pytest_configure(config):
    """Hypothesis keeps its caches (a character map, the constants it gathers
    while tests are collected) in a temporary directory of the session, not in
    a .hypothesis/ of the working one; children that run it inherit this."""
    storage, env = tempfile.mkdtemp(prefix="crenly-hypothesis-"), pytest.MonkeyPatch()
    env.setenv("HYPOTHESIS_STORAGE_DIRECTORY", storage)
    config.add_cleanup(lambda: shutil.rmtree(storage, ignore_errors=True))
    config.add_cleanup(env.undo)


# What the code of a child on a road follows: the module as m, the pathlib
# steps forced on the pathlib road, a creator fc (made with HAS_GROWL off: no
# notifier registers) whose first call fails and changes nothing, so that the
# road is proved from the next on; then a line "---" (Run.after). At exit the
# child tells on stderr how many calls the native road stood in for (Run.calls).
ROAD = """
import atexit, contextlib, gc, io, os, pathlib, sys, types
import crenly.crenly as m
{force}
atexit.register(lambda: print("road calls:", m.FileCreator.create_file._shortcut_calls, file=sys.stderr))
m.HAS_GROWL = False
fc = m.FileCreator()
with contextlib.redirect_stdout(io.StringIO()):
    fc.create_file("")
print("---")
"""


@pytest.fixture
def child(tmp_path):
    """`child(code, *argv, road=None, prefix=(), cwd=None, extra_paths=(), env=None, timeout=60)`:
    run `code` (dedented, after PRELUDE, and after ROAD on a `road`; a Path:
    that script) in a fresh interpreter behind the command `prefix`, in the
    scratch directory tmp_path/work unless cwd= is given; returns its Run."""
    work = tmp_path / "work"
    work.mkdir(exist_ok=True)

    def run(code, *argv, road=None, prefix=(), cwd=None, extra_paths=(), env=None, timeout=60):
        road_code = ROAD.format(force=forcing(road)) if road else ""
        args = [code] if isinstance(code, Path) else ["-c", PRELUDE + road_code + textwrap.dedent(code)]
        return run_command([*prefix, sys.executable, *args, *argv], cwd=cwd or work,
                           env=env or child_env(extra_paths), timeout=timeout)
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


@pytest.fixture
def unprivileged():
    """The command prefix of a child bound by permission bits: none for a user
    other than root; for root, setpriv without the capabilities that let it
    past them (its own files, such as the checkout, still its own)."""
    if WINDOWS:
        pytest.skip("POSIX permission bits and setpriv do not exist on Windows")
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv (util-linux) missing")
    return ["setpriv", "--inh-caps=-dac_override,-dac_read_search",
            "--bounding-set=-dac_override,-dac_read_search"]


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


@pytest.fixture(scope="session")
def mod():
    import crenly.crenly
    return crenly.crenly
