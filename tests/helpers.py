"""Plain helpers that every test folder shares: the host (Windows, Wine), the
command runner and what a child's output tells, the texts that the module prints
in several places, and the plain program that is the oracle of the module.
Every scenario that depends on import-time state runs in a fresh interpreter
(conftest.py's `child`), started from a scratch directory so that the source
tree never shadows the installed package."""

import contextlib
import ctypes
import gc
import io
import json
import os
import subprocess
import sys
import tempfile
import tracemalloc
import warnings
from dataclasses import dataclass
from pathlib import Path

import crenly

PACKAGE_DIR = Path(crenly.__file__).parent
REPO = Path(__file__).resolve().parents[1]  # the checkout: sources, README
WINDOWS = sys.platform == "win32"
# Wine departs from Windows in places; those expectations are marked xfail.
WINE = WINDOWS and hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")
WINE_FAILED_START = 1359  # ERROR_INTERNAL_ERROR
# The class of a pathlib.Path on this host.
PATH_CLASS = "WindowsPath" if WINDOWS else "PosixPath"


@dataclass(frozen=True)
class Interpreter:
    """What the tests see differ from one CPython version to the next: the
    interpreter's own texts, and what its pathlib uses."""
    nul: str  # os's error for a path with a null character on POSIX, {function} its name
    flush_failed: str  # the report's first line when the flush of sys.stdout fails at exit
    annotation: str  # how pydoc shows a string annotation {}
    path_init: bool  # Path has an __init__ of its own, calling super().__init__
    interns: bool  # _parse_path interns the parts with sys.intern
    stat_in_is_dir: bool  # is_dir and is_file call Path.stat (later os.path.isdir, isfile)
    freed_tool_observes: bool = True  # sys.monitoring.free_tool_id leaves the events set


_3_13 = Interpreter(nul="{function}: embedded null character in path",
                    flush_failed="Exception ignored on flushing sys.stdout:", annotation="'{}'",
                    path_init=True, interns=True, stat_in_is_dir=True)
_3_14 = Interpreter(nul=_3_13.nul, flush_failed="Exception ignored while flushing sys.stdout:",
                    annotation="{}", path_init=False, interns=False, stat_in_is_dir=False,
                    freed_tool_observes=False)
BY_VERSION = {
    (3, 12): Interpreter(nul="embedded null byte", annotation="'{}'", path_init=True,
                         interns=True, stat_in_is_dir=True, flush_failed=(
                             "Exception ignored in: <_io.TextIOWrapper name='<stdout>' mode='w' "
                             "encoding='utf-8'>")),
    (3, 13): _3_13,
    (3, 14): _3_14,
    (3, 15): _3_14,
}
INTERPRETER = BY_VERSION[sys.version_info[:2]]

# What the module prints when an optional package is missing, in import order.
CLIP_WARNING = "Warning: clipboard module not available. Install with: pip install clipboard"
GNTP_WARNING = "Warning: gntp module not available. Install with: pip install gntp"
WARNINGS = f"{CLIP_WARNING}\n{GNTP_WARNING}\n"
# The note added to the TypeError of an argument of a subclass of the wanted type.
SUBCLASS_NOTE = ("crenly rejects subclasses of built-in types here, which is stricter than "
                 "PEP 484 requires.")


# The pathlib steps of create_file, forced: the global Path bound to a subclass
# that adds nothing, which no proof accepts. Code for a process whose module is
# `m`; `forcing(road)` is that code for the road a test runs on.
FORCE_PATHLIB = "m.Path = type('Forced', (m.Path().__class__,), {'__slots__': ()})"


def forcing(road):
    return FORCE_PATHLIB if road == "pathlib" else "pass"


def force_pathlib(module):
    exec(FORCE_PATHLIB, {"m": module})


# The plain Python program of bench/comparators: the oracle of the module's
# brace expansion and command. It probes the optional packages as the module
# does; the client package's compile-time warnings stay silent (growl_daemon.py).
sys.path.append(str(REPO / "bench" / "comparators"))
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import plain_crenly as plain  # noqa: E402


def plain_expansion(text):
    """The plain program's expansion of `text` (its method reads nothing of self)."""
    return plain.FileCreator.parse_brace_expansion(None, text)


def on_windows(posix, windows):
    """The expectation for this host: `windows` on Windows, else `posix`."""
    return windows if WINDOWS else posix


def native(path: str) -> str:
    """A path written with / as the host's pathlib shows it."""
    return path.replace("/", os.sep)


def posix_newlines(data: bytes) -> bytes:
    """Text-mode output with POSIX line ends: on Windows every line ends in CRLF."""
    if not WINDOWS:
        return data
    assert data.count(b"\n") == data.count(b"\r\n"), data
    return data.replace(b"\r\n", b"\n")


def win_message(code: int) -> str:
    """The system's own message for Windows error `code`, as OSError shows it
    (Wine words some unlike Windows)."""
    if not WINDOWS:  # an expectation for another host, never compared here
        return f"(Windows error {code})"
    return ctypes.FormatError(code).rstrip(" .\r\n")


def win_error(code: int, filename: str) -> str:
    """str() of the OSError that Windows error `code` gives for `filename`."""
    return f"[WinError {code}] {win_message(code)}: {filename!r}"


@dataclass
class Run:
    args: list
    returncode: int
    stdout: str
    stderr: str

    def describe(self) -> str:
        return (f"command: {self.args!r}\nexit status: {self.returncode}\n"
                f"--- stdout ---\n{self.stdout}\n--- stderr ---\n{self.stderr}")

    def ok(self) -> "Run":
        """Assert a zero exit status, with the child's output in the message."""
        assert self.returncode == 0, self.describe()
        return self

    def parts(self, mark="---"):
        """(the output before the line `mark`, the output after it), the run having succeeded."""
        assert f"{mark}\n" in self.ok().stdout, self.describe()
        return self.stdout.split(f"{mark}\n", 1)

    def after(self) -> list:
        """The lines printed after the line "---"."""
        return self.parts()[1].splitlines()

    def report(self):
        """(the output before the report, the values) of a child that called report(**values)."""
        before, values = self.parts(MARK)
        return before, json.loads(values)

    @property
    def calls(self) -> int:
        """How many calls the native road stood in for: a child on a road tells at exit."""
        return int(self.stderr.rsplit("road calls: ", 1)[1].split()[0])


def child_env(extra_paths=(), **overrides) -> dict:
    """The environment for a child interpreter: UTF-8 output, no inherited
    debug switches, optional directories put in front of sys.path."""
    env = dict(os.environ)
    for key in ("TRACEBACK", "PYTHONPATH", "PYTHONIOENCODING", "PYTHONWARNINGS"):
        env.pop(key, None)
    env["PYTHONUTF8"] = "1"
    if extra_paths:
        env["PYTHONPATH"] = os.pathsep.join(str(p) for p in extra_paths)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def without_bytecode(folder) -> dict:
    """A child's environment in which no module has a compiled file, and none
    is written (the cache folder `folder` stays empty): each is compiled from
    its source, as on a Python installed without compiled files."""
    return child_env(PYTHONDONTWRITEBYTECODE="1", PYTHONPYCACHEPREFIX=str(folder))


def run_command(argv, *, cwd, env=None, timeout=60) -> Run:
    """Run a command (an interpreter, the `crenly` launcher) by its argv. Its
    output goes to files: a pipe would stay open as long as a helper that it
    leaves in the background (a clipboard's) holds it."""
    outputs = []
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        for start in range(2):
            try:
                status = subprocess.run(argv, cwd=cwd, env=env or child_env(),
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                        timeout=timeout).returncode
                break
            except OSError as e:
                # Wine, now and then, reports a process that ended while it was being set
                # up, before any of its code ran: [WinError 1359] Internal error. It is
                # started once more.
                if not WINE or start or e.winerror != WINE_FAILED_START:
                    raise
        for file in (out, err):
            file.seek(0)
            with io.TextIOWrapper(file, "utf-8", "surrogateescape") as text:  # universal newlines
                outputs.append(text.read())
    return Run(argv, status, *outputs)


def write_tree(root: Path, tree: dict) -> Path:
    """Write the files of `tree` (relative path -> text; None: no file) under root."""
    for rel, text in tree.items():
        if text is not None:
            (root / rel).parent.mkdir(parents=True, exist_ok=True)
            (root / rel).write_text(text)
    return root


# ---- Module-shell scenarios: stand-in optional packages, a child's report,
# a leak check.

MARK = "--report--"
NO_TRELVIN = "raise ImportError('no trelvin here')\n"

# Package trees (relative path -> source) to put in front of a child's sys.path.
PRESENT = {"clipboard/__init__.py": "def copy(text):\n    pass\n", "gntp/__init__.py": "",
           "gntp/notifier.py": "class GrowlNotifier:\n    pass\n",
           "trelvin/__init__.py": NO_TRELVIN}
ABSENT = {"clipboard/__init__.py": "raise ImportError('no clipboard here')\n",
          "gntp/__init__.py": "raise ModuleNotFoundError('no gntp here')\n",
          "trelvin/__init__.py": NO_TRELVIN}
# What every child's code follows: report(**values) hands values to Run.report.
PRELUDE = f"""\
def report(**values):
    import json
    print({MARK!r}, json.dumps(values), sep="\\n")
"""


class Sink:
    """A stdout that keeps nothing, so that memory checks see no output."""
    def write(self, text):
        return len(text)


LEAK_CALLS = 300  # calls in a run of leak_check
LEAK_BOUND = 8 * LEAK_CALLS  # a run leaves less traced memory than this, in bytes
# The interpreter's caches that keep objects a call made alive after it: the
# type cache holds each attribute name it looked up (a name made by a call,
# as argparse's '_handle_conflict_%s' % ..., stays there until its slot is
# taken, however many calls ran).
clear_interpreter_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def leak_check(call, objects, times=LEAK_CALLS):
    """Call `call` (Exceptions ignored) `times` times; return the change of each
    object's reference count and the growth of traced memory in bytes.
    Only blocks that the calls made and still hold count: none of another
    thread, none that an interpreter's cache keeps for a while. A table of the
    interpreter's may grow in any one run (~2 MB), where a leak grows in every
    run: a growth above LEAK_BOUND is measured again, and the smaller counts."""
    def repeat(n):
        for _ in range(n):
            try:
                call()
            except Exception:
                pass
    # A block counts when the line of call() above is on its traceback.
    made_by_call = tracemalloc.Frame((__file__, repeat.__code__.co_firstlineno + 3))

    def held():
        gc.collect()
        clear_interpreter_caches()
        traces = tracemalloc.take_snapshot().traces
        return sum(trace.size for trace in traces if made_by_call in trace.traceback)

    def run():
        base = held()
        repeat(times)
        return held() - base
    repeat(50)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    tracemalloc.start(32)  # frames enough to reach repeat() from inside the call
    try:
        repeat(10)
        grown = run()
        if grown > LEAK_BOUND:
            grown = min(grown, run())
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]
    return [a - b for a, b in zip(after, before)], grown


def leaks(call, objects, memory=True):
    """What many calls of `call` (its output dropped) leave behind, by
    leak_check: None, or the changes of the objects' reference counts and the
    traced growth, when a count moved or (`memory`) the growth reached LEAK_BOUND."""
    with contextlib.redirect_stdout(Sink()):
        deltas, grown = leak_check(call, objects)
    return (deltas, grown) if any(deltas) or (memory and grown >= LEAK_BOUND) else None
