"""The crenly command, run as the installed launcher and as `python -m crenly`.

Children see a shadow directory in front of sys.path in which the optional
packages fail to import, so the console output is fully determined: the two
import warnings, then the run's own lines.
"""

import argparse
import os
import subprocess
import sys

import pytest

from helpers import WINDOWS, on_windows, posix_newlines, win_error
from crenly import crenly as mod

WARNINGS = ("Warning: clipboard module not available. Install with: pip install clipboard\n"
            "Warning: gntp module not available. Install with: pip install gntp\n")
VERSION = "crenly v2.0.0 by The crenly team (team@crenly.dev)"
DESCRIPTION = "Create blank files with notification support"
EPILOG = "\n".join([
    "",
    "Examples:",
    "  crenly file.txt                       # Create single file",
    "  crenly file1.txt file2.py file3       # Create multiple files",
    "  crenly dir/subdir/file.txt            # Create with directories",
    "  crenly dir/{a,b,c}.txt                # Brace expansion"
    " (creates dir/a.txt, dir/b.txt, dir/c.txt)",
    "  crenly dotenv/{__init__.py,core.py}   # Create package structure",
    "  ",
    "Note: Use forward slashes (/) for directories, even on Windows.",
    " " * 8,
])
COLUMNS = "100"


def parser(prog):
    p = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("files", metavar="FILE", nargs="*",
                   help="File(s) to create. Supports brace expansion.")
    p.add_argument("--version", action="version", version=VERSION)
    p.add_argument("--debug", action="store_true", help="Show detailed error messages")
    return p


@pytest.fixture
def help_text(monkeypatch):
    monkeypatch.setenv("COLUMNS", COLUMNS)
    return lambda prog="crenly": parser(prog).format_help()


@pytest.fixture(scope="module")
def shadow(tmp_path_factory):
    site = tmp_path_factory.mktemp("shadow")
    for name in ("clipboard.py", "trelvin.py", "gntp/__init__.py"):
        (site / name).parent.mkdir(exist_ok=True)
        (site / name).write_text("raise ImportError('not installed here')\n")
    return site


@pytest.fixture
def env(shadow):
    def make(**overrides):
        e = {k: v for k, v in os.environ.items()
             if k not in ("TRACEBACK", "PYTHONIOENCODING", "PYTHONWARNINGS")}
        e.update(PYTHONUTF8="1", PYTHONPATH=str(shadow), COLUMNS=COLUMNS, **overrides)
        return e
    return make


@pytest.fixture(params=["launcher", "python -m"])
def crenly_cmd(request, crenly_bin, tmp_path, env):
    """Runs the command in a scratch dir; returns (returncode, stdout, stderr) as bytes."""
    work = tmp_path / "work"
    work.mkdir()
    prefix = [str(crenly_bin)] if request.param == "launcher" else [sys.executable, "-m", "crenly"]

    def run(*args, **env_overrides):
        proc = subprocess.run([*prefix, *args], cwd=work, env=env(**env_overrides),
                              capture_output=True, timeout=60)
        return proc.returncode, posix_newlines(proc.stdout), posix_newlines(proc.stderr)

    run.cwd = work.resolve()
    return run


def ok(cwd, name):
    return f'\u2713 File created: "{cwd / name}"\n'


def summary(done, total):
    return f"\n{done}/{total} file(s) created successfully\n"


@pytest.mark.parametrize("args", [[], ["--debug"], ["--help"], ["-h", "x.txt"]])
def test_help(crenly_cmd, help_text, args):
    code, out, err = crenly_cmd(*args)
    assert (code, out.decode(), err) == (0, WARNINGS + help_text(), b"")
    assert not any(crenly_cmd.cwd.iterdir())
    text = out.decode()
    assert f"\n{DESCRIPTION}\n" in text and EPILOG.strip("\n ") in text
    examples = [line for line in text.splitlines() if line.startswith("  crenly ")]
    assert len(examples) == 5 and all(line.index("#") == 40 for line in examples)
    assert "File(s) to create. Supports brace expansion." in text
    assert "Show detailed error messages" in text


def test_version(crenly_cmd):
    assert crenly_cmd("--version", "x.txt") == (0, (WARNINGS + VERSION + "\n").encode(), b"")
    assert not any(crenly_cmd.cwd.iterdir())


def test_unknown_option(crenly_cmd, monkeypatch):
    monkeypatch.setenv("COLUMNS", COLUMNS)
    usage = parser("crenly").format_usage()
    code, out, err = crenly_cmd("--bogus", "x.txt")
    assert (code, out.decode()) == (2, WARNINGS)
    assert err.decode() == usage + "crenly: error: unrecognized arguments: --bogus\n"


def reassemble(args):
    """Join with spaces, split at spaces outside braces (a flag, not a depth)."""
    names, current, in_braces = [], [], False
    for char in " ".join(args):
        if char == " " and not in_braces:
            if current:
                names.append("".join(current))
                current = []
            continue
        if char in "{}":
            in_braces = char == "{"
        current.append(char)
    if current:
        names.append("".join(current))
    return names


@pytest.mark.parametrize("args, names", [
    (["src/{a,", "b,", "c}.py"], ["src/{a, b, c}.py"]),
    (["one two"], ["one", "two"]),
    (["x{a b", "c d"], ["x{a b c d"]),
    (["p/{a,{b} x,y}.txt"], ["p/{a,{b}", "x,y}.txt"]),
    (["}a b{", "c}"], ["}a", "b{ c}"]),
    (["  a  ", "", "b\tc", "{d, e}{f, g}"], ["a", "b\tc", "{d, e}{f, g}"]),
    ([""], []),
    (["   "], []),
])
def test_reassembly_and_creation(crenly_cmd, monkeypatch, args, names):
    assert reassemble(args) == names
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    expand = mod.FileCreator().parse_brace_expansion
    paths = [p for n in names for p in (expand(n) if "{" in n and "}" in n else [n])]
    code, out, err = crenly_cmd(*args)
    cwd = crenly_cmd.cwd
    # Windows forbids control characters such as the tab in file names.
    refused = [p for p in paths if WINDOWS and "\t" in p]
    lines = [f'\u2717 Error creating file "{p}": [Errno 22] Invalid argument: {p!r}\n'
             if p in refused else ok(cwd, p) for p in paths]
    done = len(paths) - len(refused)
    expected = WARNINGS + "".join(lines) + summary(done, len(paths))
    assert (code, out.decode(), err) == (int(done < len(paths)), expected, b"")
    assert all((cwd / p).is_file() != (p in refused) for p in paths)


@pytest.mark.parametrize("encoding", ["utf-8", "cp1252"])
def test_failure_among_successes(crenly_cmd, encoding):
    cwd = crenly_cmd.cwd
    (cwd / "blocker").write_text("keep")
    code, out, err = crenly_cmd("a.txt", "blocker/x.txt", "b.txt", PYTHONIOENCODING=encoding)
    expected = (WARNINGS + ok(cwd, "a.txt")
                + "\u2717 Error creating file \"blocker/x.txt\": "
                + on_windows("[Errno 17] File exists: 'blocker'", win_error(183, "blocker")) + "\n"
                + ok(cwd, "b.txt") + summary(2, 3))
    if encoding == "cp1252":
        expected = expected.replace("\u2713", "?").replace("\u2717", "?")
    assert (code, out, err) == (1, expected.encode(encoding), b"")
    assert (cwd / "a.txt").is_file() and (cwd / "b.txt").is_file()
    assert (cwd / "blocker").read_text() == "keep"


MAIN_CHILD = """
import sys
from crenly.crenly import main
for argv in (["prog", "a.txt"], ["prog", "d/{x,y}", "a.txt/b"], ["prog"]):
    sys.argv = argv
    result = main()
    print("->", type(result).__name__, result)
for argv in (["prog", "--version"], ["prog", "--bogus"], ["prog", "-h"]):
    sys.argv = argv
    try:
        main()
    except SystemExit as e:
        print("-> exit", e.code)
"""


def test_main_returns_and_lets_argparse_exits_through(py, env, tmp_path, help_text):
    run = py(MAIN_CHILD, env=env())
    cwd = (tmp_path / "work").resolve()
    assert run.stdout == (
        WARNINGS + ok(cwd, "a.txt") + summary(1, 1) + "-> int 0\n"
        + ok(cwd, "d/x") + ok(cwd, "d/y")
        + "\u2717 Error creating file \"a.txt/b\": "
        + on_windows("[Errno 17] File exists: 'a.txt'", win_error(183, "a.txt")) + "\n"
        + summary(2, 3) + "-> int 1\n"
        + help_text("prog") + "-> int 0\n"
        + VERSION + "\n-> exit 0\n" + "-> exit 2\n" + help_text("prog") + "-> exit 0\n"
    ), run.describe()
    usage = parser("prog").format_usage()
    assert run.stderr == usage + "prog: error: unrecognized arguments: --bogus\n", run.describe()
    assert run.returncode == 0
