"""Loading: one body run per process, one interpreter per process, and a
failed import that leaves the way open for another attempt."""

import pytest

from .conftest import ABSENT, CLIP_WARNING, GNTP_WARNING, PRESENT

WARNINGS = f"{CLIP_WARNING}\n{GNTP_WARNING}\n"
REINIT = "Module 'crenly' has already been imported. Re-initialisation is not supported."
INTERP = ("Interpreter change detected - this module can only be loaded into one "
          "interpreter per process.")
BROKEN_CLIPBOARD = {"clipboard/__init__.py": "raise RuntimeError('broken clipboard')\n"}


def test_reimport_and_reload_reuse_the_module_without_running_the_body(report, fakes):
    out, r = report("""
        import importlib, sys
        import crenly.crenly as first
        print("--again--")
        first.NAME = "rebound"
        del sys.modules["crenly.crenly"]
        second = importlib.import_module("crenly.crenly")
        report(same=[second is first, importlib.reload(second) is first,
                     sys.modules["crenly.crenly"] is first], name=first.NAME)
    """, extra_paths=[fakes(ABSENT)])
    assert (out, r) == (WARNINGS + "--again--\n", {"same": [True] * 3, "name": "rebound"})


def test_exec_step_refuses_a_second_module_object(report, fakes):
    out, r = report("""
        import importlib, importlib.util
        found = importlib.util.find_spec("crenly.crenly")
        first, second = [importlib.util.module_from_spec(found) for _ in range(2)]
        found.loader.exec_module(first)
        try:
            found.loader.exec_module(second)
        except RuntimeError as e:
            report(error=str(e), distinct=first is not second, bare=hasattr(second, "NAME"),
                   imported=importlib.import_module("crenly.crenly") is first)
    """, extra_paths=[fakes(ABSENT)])
    assert out == WARNINGS
    assert r == {"error": REINIT, "distinct": True, "bare": False, "imported": True}


FAILURES = {  # how the first import fails, what it prints, its message, the raising file
    "body statement raises": ("""
try:
    import crenly.crenly
except RuntimeError as e:
    exc = e
""", "", "broken clipboard", ["clipboard/__init__.py"]),
    "module without __file__": ("""
found = importlib.util.find_spec("crenly.crenly")
failed = importlib.util.module_from_spec(found)
del failed.__file__
try:
    found.loader.exec_module(failed)
except NameError as e:
    exc = e
del sys.modules["crenly.crenly"]
""", "ERROR: name '__file__' is not defined\n", "name '__file__' is not defined", []),
}
RETRY = """
entries = [[f.name, f.filename] for f in traceback.extract_tb(exc.__traceback__)
           if not f.filename.startswith("<frozen")]
sys.path.remove(BROKEN)
sys.modules.pop("clipboard", None)
print("--retry--")
module = importlib.import_module("crenly.crenly")
report(message=str(exc), entries=entries,
       retried=[module.HAS_CLIPBOARD, module.__version__, module.FileCreator.__name__])
"""


@pytest.mark.parametrize("case", FAILURES)
def test_failed_body_gets_an_init_entry_and_a_later_import_runs_afresh(report, fakes, case):
    code, printed, message, raised_in = FAILURES[case]
    broken = fakes(BROKEN_CLIPBOARD if raised_in else {}, "broken")
    out, r = report(f"BROKEN = {str(broken)!r}\nimport importlib, importlib.util, sys, traceback"
                    + code + RETRY, extra_paths=[broken, fakes(PRESENT)])
    assert out == printed + "--retry--\n"
    assert r["message"] == message
    assert r["entries"] == [["<module>", "<string>"], ["init crenly.crenly", "crenly/crenly"]] + [
        ["<module>", str(broken / path)] for path in raised_in]
    assert r["retried"] == [True, "2.0.0", "FileCreator"]


@pytest.mark.parametrize("first", [
    "import crenly.crenly",
    "import importlib.util\nimportlib.util.module_from_spec(importlib.util.find_spec('crenly.crenly'))",
    "try:\n    import crenly.crenly\nexcept RuntimeError:\n    pass",
], ids=["after import", "after create step only", "after failed import"])
def test_second_interpreter_is_refused(report, fakes, first):
    paths = [fakes(BROKEN_CLIPBOARD, "broken")] if "RuntimeError" in first else []
    out, r = report(first + """
import _xxsubinterpreters as interpreters
try:
    interpreters.run_string(interpreters.create(isolated=False), "import crenly.crenly")
except interpreters.RunFailedError as e:
    report(error=str(e))
""", extra_paths=paths + [fakes(PRESENT)])
    assert r["error"] == f"<class 'ImportError'>: {INTERP}"
