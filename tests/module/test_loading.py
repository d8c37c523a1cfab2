"""Loading: one body run per process, one interpreter per process, and a
failed import that leaves the way open for another attempt."""

import glob
import shutil
import subprocess
import sysconfig

import pytest

from helpers import ABSENT, PACKAGE_DIR, PRESENT, WARNINGS, child_env

REINIT = "Module 'crenly' has already been imported. Re-initialisation is not supported."
INTERP = ("Interpreter change detected - this module can only be loaded into one "
          "interpreter per process.")
BROKEN_CLIPBOARD = {"clipboard/__init__.py": "raise RuntimeError('broken clipboard')\n"}


def test_reimport_and_reload_reuse_the_module_without_running_the_body(child, fakes):
    out, r = child("""
        import importlib, sys
        import crenly.crenly as first
        print("--again--")
        first.NAME = "rebound"
        del sys.modules["crenly.crenly"]
        second = importlib.import_module("crenly.crenly")
        report(same=[second is first, importlib.reload(second) is first,
                     sys.modules["crenly.crenly"] is first], name=first.NAME)
    """, extra_paths=[fakes(ABSENT)]).report()
    assert (out, r) == (WARNINGS + "--again--\n", {"same": [True] * 3, "name": "rebound"})


def test_exec_step_refuses_a_second_module_object(child, fakes):
    out, r = child("""
        import importlib, importlib.util
        found = importlib.util.find_spec("crenly.crenly")
        first, second = [importlib.util.module_from_spec(found) for _ in range(2)]
        found.loader.exec_module(first)
        try:
            found.loader.exec_module(second)
        except RuntimeError as e:
            report(error=str(e), distinct=first is not second, bare=hasattr(second, "NAME"),
                   imported=importlib.import_module("crenly.crenly") is first)
    """, extra_paths=[fakes(ABSENT)]).report()
    assert out == WARNINGS
    assert r == {"error": REINIT, "distinct": True, "bare": False, "imported": True}


FAILURES = {  # how the first import fails, what it prints, its message, the raising file,
    #           and the definitions that the failing statement stands between
    "body statement raises": ("""
try:
    import crenly.crenly
except RuntimeError as e:
    exc = e
""", "", "broken clipboard", ["clipboard/__init__.py"], (None, "get_version")),
    "module without __file__": ("""
found = importlib.util.find_spec("crenly.crenly")
failed = importlib.util.module_from_spec(found)
del failed.__file__
try:
    found.loader.exec_module(failed)
except NameError as e:
    exc = e
del sys.modules["crenly.crenly"]
""", "ERROR: name '__file__' is not defined\n", "name '__file__' is not defined", [],
        ("get_version", "__init__")),
}
RETRY = """
frames = [f for f in traceback.extract_tb(exc.__traceback__)
          if not f.filename.startswith("<frozen")]
entries = [[f.name, f.filename] for f in frames]
sys.path.remove(BROKEN)
sys.modules.pop("clipboard", None)
print("--retry--")
module = importlib.import_module("crenly.crenly")
report(message=str(exc), entries=entries, line=frames[1].lineno,
       lines={f.__name__: f.__code__.co_firstlineno for f in (module.get_version,
                                                             module.FileCreator.__init__)},
       retried=[module.HAS_CLIPBOARD, module.__version__, module.FileCreator.__name__])
"""


@pytest.mark.parametrize("case", FAILURES)
def test_failed_body_gets_an_init_entry_and_a_later_import_runs_afresh(child, fakes, case):
    code, printed, message, raised_in, (after, before) = FAILURES[case]
    broken = fakes(BROKEN_CLIPBOARD if raised_in else {}, "broken")
    out, r = child(f"BROKEN = {str(broken)!r}\nimport importlib, importlib.util, sys, traceback"
                   + code + RETRY, extra_paths=[broken, fakes(PRESENT)]).report()
    assert out == printed + "--retry--\n"
    assert r["message"] == message
    assert r["entries"] == [["<module>", "<string>"], ["init crenly.crenly", "crenly/crenly"]] + [
        ["<module>", str(broken / path)] for path in raised_in]
    assert r["lines"].get(after, 0) < r["line"] < r["lines"][before], r
    assert r["retried"] == [True, "2.0.0", "FileCreator"]


@pytest.mark.parametrize("first", [
    "import crenly.crenly",
    "import importlib.util\nimportlib.util.module_from_spec(importlib.util.find_spec('crenly.crenly'))",
    "try:\n    import crenly.crenly\nexcept RuntimeError:\n    pass",
], ids=["after import", "after create step only", "after failed import"])
def test_second_interpreter_is_refused(child, fakes, first):
    paths = [fakes(BROKEN_CLIPBOARD, "broken")] if "RuntimeError" in first else []
    # A second interpreter that shares the interpreter lock: one with a lock of
    # its own refuses any module that does not declare support for that, before
    # crenly's own check runs.
    out, r = child(first + """
try:
    import _interpreters  # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters
    try:
        interpreters.run_string(interpreters.create(isolated=False), "import crenly.crenly")
    except interpreters.RunFailedError as e:
        report(error=str(e))
else:
    failed = _interpreters.exec(_interpreters.create("legacy"), "import crenly.crenly")
    report(error=failed and f"<class '{failed.type.__name__}'>: {failed.msg}")
""", extra_paths=paths + [fakes(PRESENT)]).report()
    assert r["error"] == f"<class 'ImportError'>: {INTERP}"


EMBED = r"""
#include <Python.h>
#include <stdio.h>
/* Runs each argument as the code of its own interpreter lifetime. */
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        Py_Initialize();
        int status = PyRun_SimpleString(argv[i]);
        if (Py_FinalizeEx() < 0) return 120;
        printf("round %d: %d\n", i, status);
        fflush(stdout);
    }
    return 0;
}
"""


@pytest.fixture(scope="module")
def embedder(tmp_path_factory):
    """An embedding program built against this interpreter's libpython."""
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    libdir, version = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDVERSION")
    if shutil.which(cc) is None or not libdir or not glob.glob(f"{libdir}/libpython{version}.*"):
        pytest.skip("no C compiler or no libpython to build an embedding program")
    build = tmp_path_factory.mktemp("embed")
    (build / "embed.c").write_text(EMBED)
    subprocess.run([cc, str(build / "embed.c"), "-o", str(build / "embed"),
                    "-I" + sysconfig.get_config_var("INCLUDEPY"), "-L" + libdir,
                    f"-lpython{version}", f"-Wl,-rpath,{libdir}"], check=True)
    return build / "embed"


REFUSED_AFTER_RESTART = ("ImportError: Interpreter restart detected - crenly.crenly was loaded by "
                         "an interpreter that has since been finalized without releasing it; it "
                         "cannot be loaded again in this process.")
USE = "import crenly.crenly as m\nm.HAS_GROWL = False\nprint(m.FileCreator().create_file('x.txt'))\n"
USED = '\u2713 File created: "{cwd}/x.txt"\nTrue'  # what USE prints
RESTARTS = {  # rounds of one process: code run by each interpreter; what they print
    "restarted": ([USE, USE, USE], [USED] * 3),
    "release skipped": (["import atexit\n" + USE + "atexit._clear()\n", USE],
                        [USED, REFUSED_AFTER_RESTART]),
    # the exit callbacks run from inside create_file: no release under a running call
    "release during a call": (["import atexit\nimport crenly.crenly as m\nm.HAS_GROWL = False\n"
                               "fc = m.FileCreator()\nfc._notify = lambda path: atexit._run_exitfuncs()\n"
                               "print(fc.create_file('x.txt'))\n", USE], [USED, REFUSED_AFTER_RESTART]),
    "called after release": (["import atexit\n" + USE + "atexit._run_exitfuncs()\ntry:\n"
                              "    m.FileCreator()\nexcept RuntimeError as e:\n    print(e)\n", USE],
                             [USED + "\ncrenly.crenly cannot be used any more: its interpreter is "
                              "finalizing", USED]),
}


@pytest.mark.parametrize("case", RESTARTS)
def test_import_after_the_interpreter_restarts_never_gives_a_dead_module(embedder, fakes, tmp_path,
                                                                          case):
    rounds, printed = RESTARTS[case]
    proc = subprocess.run([str(embedder), *rounds], cwd=tmp_path, capture_output=True, text=True,
                          env=child_env([fakes(PRESENT), PACKAGE_DIR.parent]), timeout=60)
    refused = [text for text in printed if text.startswith("ImportError")]
    expected = "".join(f"round {i}: -1\n" if text in refused else
                       f"{text.format(cwd=tmp_path)}\nround {i}: 0\n" for i, text in enumerate(printed, 1))
    assert (proc.returncode, proc.stdout) == (0, expected), proc.stderr
    assert all(text in proc.stderr for text in refused) and (refused or not proc.stderr), proc.stderr
