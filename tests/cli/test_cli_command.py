"""The crenly command, run as the installed launcher and as `python -m crenly`.

Children see a shadow directory in front of sys.path in which the optional
packages fail to import, so the console output is fully determined: the two
import warnings, then the run's own lines. The command also meets random and
undecodable arguments and a failing environment: each fault ends in a report,
existing files stay as they were, and every file created is whole (empty).
"""

import contextlib
import io
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from helpers import (ABSENT, INTERPRETER, WARNINGS, WINDOWS, child_env, on_windows, plain, posix_newlines,
                     win_error, write_tree)
from crenly import crenly as mod

VERSION = "crenly v2.0.0 by The crenly team (team@crenly.dev)"
COLUMNS = "100"


def run_main(module, *argv):
    """(exit status, stdout, stderr, the lists of names handed over) of main of
    `module`, crenly's or the plain program's (the oracle), run with sys.argv
    `argv` and a creator that records the names it gets and creates nothing."""
    seen = []
    recorder = type("Recorder", (module.FileCreator,), {
        "__init__": lambda self: None, "parse_brace_expansion": lambda self, text: [text],
        "create_files": lambda self, files: seen.append(list(files)) or len(files)})
    with (pytest.MonkeyPatch.context() as mp, contextlib.redirect_stdout(io.StringIO()) as out,
          contextlib.redirect_stderr(io.StringIO()) as err):
        mp.setattr(module, "FileCreator", recorder)
        mp.setattr(sys, "argv", list(argv))
        try:
            status = module.main()
        except SystemExit as e:
            status = e.code
    return status, out.getvalue(), err.getvalue(), seen


@pytest.fixture
def help_text(monkeypatch):
    """The plain program's help as `prog`, on a terminal COLUMNS wide."""
    monkeypatch.setenv("COLUMNS", COLUMNS)
    return lambda prog="crenly": run_main(plain, prog, "--help")[1]


def usage(help_text):
    """The usage line that begins a help text."""
    return help_text.split("\n\n")[0] + "\n"


@pytest.fixture
def env(tmp_path_factory):
    shadow = write_tree(tmp_path_factory.mktemp("shadow"), ABSENT)
    return lambda **overrides: child_env([shadow], COLUMNS=COLUMNS, **overrides)


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


def cross(name, error):
    """The report of `name`, which was not created for `error`."""
    return f'\u2717 Error creating file "{name}": {error}\n'


def blocked(name, parent):
    """The report of `name`, whose parent directory `parent` is a file."""
    return cross(name, on_windows(f"[Errno 17] File exists: {parent!r}", win_error(183, parent)))


@pytest.mark.parametrize("args", [[], ["--debug"], ["--help"], ["-h", "x.txt"]])
def test_help(crenly_cmd, help_text, args):
    code, out, err = crenly_cmd(*args)
    assert (code, out.decode(), err) == (0, WARNINGS + help_text(), b"")
    assert not any(crenly_cmd.cwd.iterdir())
    text = out.decode()
    assert "\nCreate blank files with notification support\n" in text and plain.EPILOG.strip("\n ") in text
    examples = [line for line in text.splitlines() if line.startswith("  crenly ")]
    assert len(examples) == 5 and all(line.index("#") == 40 for line in examples)
    assert "File(s) to create. Supports brace expansion." in text
    assert "Show detailed error messages" in text


@pytest.mark.parametrize("args, code, out, err", [
    (["--version", "x.txt"], 0, VERSION + "\n", ""),
    (["--bogus", "x.txt"], 2, "", "crenly: error: unrecognized arguments: --bogus\n"),
], ids=["version", "unknown option"])
def test_an_option_ends_the_run(crenly_cmd, help_text, args, code, out, err):
    shown = usage(help_text()) if err else ""
    assert crenly_cmd(*args) == (code, (WARNINGS + out).encode(), (shown + err).encode())
    assert not any(crenly_cmd.cwd.iterdir())


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
    assert run_main(plain, "crenly", *args)[3] == [names]  # the oracle's reassembly
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    expand = mod.FileCreator().parse_brace_expansion
    paths = [p for n in names for p in (expand(n) if "{" in n and "}" in n else [n])]
    code, out, err = crenly_cmd(*args)
    cwd = crenly_cmd.cwd
    # Windows forbids control characters such as the tab in file names.
    refused = [p for p in paths if WINDOWS and "\t" in p]
    lines = [cross(p, f"[Errno 22] Invalid argument: {p!r}") if p in refused else ok(cwd, p)
             for p in paths]
    done = len(paths) - len(refused)
    expected = WARNINGS + "".join(lines) + summary(done, len(paths))
    assert (code, out.decode(), err) == (int(done < len(paths)), expected, b"")
    assert all((cwd / p).is_file() != (p in refused) for p in paths)


@pytest.mark.parametrize("encoding", ["utf-8", "cp1252"])
def test_failure_among_successes(crenly_cmd, encoding):
    cwd = crenly_cmd.cwd
    (cwd / "blocker").write_text("keep")
    code, out, err = crenly_cmd("a.txt", "blocker/x.txt", "b.txt", PYTHONIOENCODING=encoding)
    expected = (WARNINGS + ok(cwd, "a.txt") + blocked("blocker/x.txt", "blocker") + ok(cwd, "b.txt")
                + summary(2, 3))
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


def test_main_returns_and_lets_argparse_exits_through(child, env, tmp_path, help_text):
    run = child(MAIN_CHILD, env=env())
    cwd = (tmp_path / "work").resolve()
    assert run.stdout == (
        WARNINGS + ok(cwd, "a.txt") + summary(1, 1) + "-> int 0\n"
        + ok(cwd, "d/x") + ok(cwd, "d/y") + blocked("a.txt/b", "a.txt") + summary(2, 3) + "-> int 1\n"
        + help_text("prog") + "-> int 0\n"
        + VERSION + "\n-> exit 0\n" + "-> exit 2\n" + help_text("prog") + "-> exit 0\n"
    ), run.describe()
    assert run.stderr == usage(help_text("prog")) + "prog: error: unrecognized arguments: --bogus\n", run.describe()
    assert run.returncode == 0


# Faults: random and undecodable arguments, a failing environment.
KEEP = b"existing content\n"
# A write to a pipe whose reader has gone; Windows reports it as EINVAL.
BROKEN_PIPE = on_windows("BrokenPipeError: [Errno 32] Broken pipe\n",
                         "OSError: [Errno 22] Invalid argument\n")


@settings(max_examples=500, deadline=None, database=None)
@given(st.lists(st.text(" {}a,\t\u00e9", max_size=8), min_size=1, max_size=6))
def test_reassembly_matches_the_model(args):
    assert run_main(mod, "crenly", *args) == run_main(plain, "crenly", *args)


@pytest.mark.skipif(WINDOWS, reason="Windows passes arguments as UTF-16 text: "
                                     "there are no undecodable argument bytes")
@pytest.mark.parametrize("errors", ["surrogateescape", "strict"])
def test_undecodable_bytes_name_the_files_exactly(crenly_cmd, errors):
    code, out, err = crenly_cmd(b"\xff\xfe.txt", b"d/{\x80,a\xe9}.bin",
                                PYTHONIOENCODING=f"utf-8:{errors}")
    cwd = bytes(crenly_cmd.cwd)
    names = [b"\xff\xfe.txt", b"d/\x80.bin", b"d/a\xe9.bin"]
    # A strict console gets the line again with "?" for what it cannot encode.
    shown = names if errors == "surrogateescape" else [b"??.txt", b"d/?.bin", b"d/a?.bin"]
    lines = b"".join("\u2713 File created: ".encode() + b'"' + cwd + b"/" + name + b'"\n'
                     for name in shown)
    assert (code, out, err) == (0, WARNINGS.encode() + lines + summary(3, 3).encode(), b"")
    assert (sorted(os.listdir(cwd)), sorted(os.listdir(cwd + b"/d"))) == (
        [b"d", names[0]], sorted(name[2:] for name in names[1:]))


# Present but quiet desktop services; FAULT="copy:2" makes the 2nd clipboard
# copy raise KeyboardInterrupt (likewise register and notify).
SERVICES = {
    "fault.py": "import os\ncalls = []\ndef check(what):\n    calls.append(what)\n"
                "    if os.environ.get('FAULT') == f'{what}:{calls.count(what)}':\n"
                "        raise KeyboardInterrupt\n",
    "clipboard.py": "import fault\ndef copy(text):\n    fault.check('copy')\n",
    "gntp/__init__.py": "",
    "gntp/notifier.py": "import fault\nclass GrowlNotifier:\n    def __init__(self, **kw):\n"
                        "        pass\n    def register(self):\n        fault.check('register')\n"
                        "    def notify(self, **kw):\n        fault.check('notify')\n",
    "trelvin.py": "raise ImportError('not here')\n",
}


@pytest.fixture(scope="module")
def services(tmp_path_factory):
    return write_tree(tmp_path_factory.mktemp("services"), SERVICES)


KEYBOARD = "\nKeyboardInterrupt\n"
# An uncaught KeyboardInterrupt ends the process as if by the interrupt: SIGINT
# on POSIX, STATUS_CONTROL_C_EXIT on Windows.
INTERRUPTED = on_windows(-signal.SIGINT, 0xC000013A)
# The interpreter's own words when its exit flush fails.
AT_EXIT = INTERPRETER.flush_failed + "\n" + BROKEN_PIPE
NAMES, ALL = ["a", "d/b"], ["a", "d/b", "keep"]
MANY = "m/{" + ",".join(map(str, range(3000))) + "}"
# id: (environment, stdout, names, exit status, end of stderr, files afterwards); the status
# may be a dict of the possible statuses, each with its end of stderr
FAULTS = {
    "copy interrupted": ({"FAULT": "copy:2"}, "pipe", NAMES, INTERRUPTED, KEYBOARD, ["a", "keep"]),
    "register interrupted": ({"FAULT": "register:1"}, "pipe", NAMES, INTERRUPTED, KEYBOARD, ["keep"]),
    "notify interrupted": ({"FAULT": "notify:2"}, "pipe", NAMES, INTERRUPTED, KEYBOARD, ["a", "keep"]),
    "stdout closed": ({}, "closed", NAMES, 0, "", ALL),
    # the reader has gone: the buffered lines fail at exit ...
    "reader gone": ({}, "gone", NAMES, 120, AT_EXIT, ALL),
    # ... or when the buffer fills: those files count as failed, the run goes on; whether
    # bytes are still pending at exit depends on where they fall against the buffer (the
    # lines hold the working directory's path), so either ending is the documented one
    "reader gone, buffer fills": ({}, "gone", [MANY], {1: "", 120: AT_EXIT}, None,
                                  ["keep", *sorted(f"m/{i}" for i in range(3000))]),
    # unbuffered, the first line fails and so does its cross line: the error ends the run
    "reader gone, unbuffered": ({"PYTHONUNBUFFERED": "1"}, "gone", NAMES, 1, BROKEN_PIPE,
                                ["keep"]),
}


@pytest.mark.parametrize("case", FAULTS)
def test_fault_ends_with_a_report_and_whole_files(crenly_bin, services, tmp_path, case):
    environ, stdout, names, status, stderr, created = FAULTS[case]
    if WINDOWS and stdout == "closed":
        pytest.skip("a closed standard output is POSIX: the Windows interpreter does not "
                    "start without a valid handle")
    (tmp_path / "keep").write_bytes(KEEP)
    argv = [str(crenly_bin), "keep", *names]
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        proc = subprocess.run(
            (["sh", "-c", 'exec "$0" "$@" >&-'] if stdout == "closed" else []) + argv,
            cwd=tmp_path, env=child_env([services], **{"PYTHONUNBUFFERED": None, **environ}),
            stdout=write_end if stdout == "gone" else subprocess.PIPE,
            stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(write_end)
    err = posix_newlines(proc.stderr).decode()
    endings = status if isinstance(status, dict) else {status: stderr}
    assert proc.returncode in endings, (proc.returncode, err)
    stderr = endings[proc.returncode]
    assert err.endswith(stderr) and (stderr or not err), err
    assert (tmp_path / "keep").read_bytes() == KEEP
    files = sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file())
    assert files == created
    assert all((tmp_path / name).stat().st_size == 0 for name in files if name != "keep")


@pytest.mark.skipif(WINDOWS, reason="POSIX signals: Windows has no SIGINT to send to a "
                                     "process (only a console control event)")
def test_sigint_in_a_long_run_stops_promptly_and_leaves_whole_files(crenly_bin, env):
    digits = "{" + ",".join("0123456789") + "}"  # d/00000 ... d/99999, in that order
    scratch = Path(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    try:
        with open(scratch / "out", "w+b") as out:
            # An ignored SIGINT stays ignored across exec (a suite run as a background job
            # inherits it), a handled one does not: the run gets SIGINT's default either way.
            previous = signal.signal(signal.SIGINT, signal.default_int_handler)
            try:
                child = subprocess.Popen([str(crenly_bin), "d/" + digits * 5], cwd=scratch,
                                         env=env(), stdout=out, stderr=subprocess.PIPE)
            finally:
                signal.signal(signal.SIGINT, previous)
            while not (scratch / "d/00999").exists() and child.poll() is None:
                time.sleep(0.005)
            child.send_signal(signal.SIGINT)
            sent = time.monotonic()
            err = child.communicate(timeout=10)[1].decode()
            stopped = time.monotonic() - sent
            out.seek(0)
            reported = out.read().count("\u2713".encode())
        assert child.returncode == -signal.SIGINT and err.endswith("\nKeyboardInterrupt\n"), err
        with os.scandir(scratch / "d") as entries:
            files = sorted((e.name, e.stat().st_size) for e in entries)
        assert 1000 <= len(files) < 100_000 and stopped < 5, (len(files), stopped)
        assert files == [(f"{i:05}", 0) for i in range(len(files))]  # the first ones, whole
        assert reported in (len(files) - 1, len(files))  # the last may be touched, unreported
    finally:
        shutil.rmtree(scratch)
