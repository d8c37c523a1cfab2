"""The module body: optional services probed once, the globals it binds and
the class it builds."""

import argparse
import os
import pathlib
import re
import sys
import traceback
import types
import typing

import pytest

from helpers import ABSENT, CLIP_WARNING, GNTP_WARNING, PRESENT, REPO
from module_helpers import ROWS

TRELVIN = "import argparse\nclass CustomRichHelpFormatter(argparse.HelpFormatter):\n    pass\n"
NOTIFIER, TRELVIN_INIT = "gntp/notifier.py", "trelvin/__init__.py"
BOTH, GROWL_OFF = [True, True], [True, False]
# An import hook installed before the module loads: the module's import
# statements ask it as they do in Python code, and it refuses clipboard when
# asked as `import clipboard` at a module's top level asks.
REFUSING_HOOK = """\
import builtins
real = builtins.__import__
def hook(name, globals=None, locals=None, fromlist=(), level=0):
    if (name == "clipboard" and globals is locals and globals["__name__"] == "crenly.crenly"
            and fromlist is None and level == 0):
        raise ImportError("refused by a hook")
    return real(name, globals, locals, fromlist, level)
builtins.__import__ = hook
"""
PROBES = {  # name: (changes to PRESENT, warning lines, [HAS_CLIPBOARD, HAS_GROWL], formatter from)
    "both missing": (ABSENT, [CLIP_WARNING, GNTP_WARNING], [False, False], "argparse"),
    "both present": ({}, [], BOTH, "argparse"),
    "gntp without notifier": ({NOTIFIER: None}, [GNTP_WARNING], GROWL_OFF, "argparse"),
    "notifier import fails": ({NOTIFIER: "import no_such_module\n"}, [GNTP_WARNING], GROWL_OFF,
                              "argparse"),
    "trelvin raises ValueError": ({TRELVIN_INIT: "raise ValueError('x')\n"}, [], BOTH, "argparse"),
    "trelvin lacks the formatter": ({TRELVIN_INIT: "X = 1\n"}, [], BOTH, "argparse"),
    "trelvin provides it": ({TRELVIN_INIT: TRELVIN}, [], BOTH, "trelvin"),
    "an import hook refuses clipboard": ({"sitecustomize.py": REFUSING_HOOK}, [CLIP_WARNING],
                                         [False, True], "argparse"),
}


@pytest.mark.parametrize("case", PROBES)
def test_optional_services_are_probed_at_import(child, fakes, case):
    changes, lines, flags, formatter = PROBES[case]
    out, r = child("""
        import argparse, sys
        import crenly.crenly as m
        g = vars(m)
        fmt = m.CustomRichHelpFormatter
        report(flags=[m.HAS_CLIPBOARD, m.HAS_GROWL],
               bound=[name for name in ("clipboard", "gntp") if name in g],
               same=["clipboard" not in g or m.clipboard is sys.modules["clipboard"],
                     "gntp" not in g or m.gntp is sys.modules["gntp"],
                     "gntp" not in g or m.gntp.notifier is sys.modules["gntp.notifier"]],
               formatter="argparse" if fmt is argparse.RawTextHelpFormatter else fmt.__module__)
    """, extra_paths=[fakes({**PRESENT, **changes})]).report()
    assert out.splitlines() == lines
    bound = [name for name, flag in zip(("clipboard", "gntp"), flags) if flag]
    assert r == {"flags": flags, "bound": bound, "same": [True, True, True],
                 "formatter": formatter}


@pytest.mark.parametrize("path, source, raised", [
    ("trelvin/__init__.py", "raise SystemExit(3)\n", "SystemExit"),
    ("trelvin/__init__.py", "raise KeyboardInterrupt\n", "KeyboardInterrupt"),
    ("clipboard/__init__.py", "raise OSError('no display')\n", "OSError"),
    ("gntp/notifier.py", "raise ValueError('bad notifier')\n", "ValueError"),
])
def test_errors_other_than_import_errors_fail_the_import(child, fakes, path, source, raised):
    out, r = child("""
        import sys, traceback
        try:
            import crenly.crenly
        except BaseException as e:
            report(raised=type(e).__name__, registered="crenly.crenly" in sys.modules,
                   init=[f.name for f in traceback.extract_tb(e.__traceback__)
                         ].count("init crenly.crenly"))
    """, extra_paths=[fakes({**PRESENT, path: source})]).report()
    assert out == ""
    assert r == {"raised": raised, "registered": False, "init": 1}


MODULE_DOC = ("\ncrenly - Create blank files with notification support\n"
              "Cross-platform file creation utility with clipboard integration\n\n"
              "Author: The crenly team <team@crenly.dev>\nVersion: 2.0\n")
METHODS = ["__init__", "_init_growl", "parse_brace_expansion", "create_file", "_notify",
           "create_files"]  # in this order, among any others


def test_module_globals(mod):
    assert (mod.__name__, mod.__doc__, mod.NAME, mod.__version__) == (
        "crenly.crenly", MODULE_DOC, "crenly", "2.0.0")
    assert mod.__filename__ == os.path.basename(mod.__file__)
    assert type(mod.__test__) is dict and mod.__test__ == {}
    imported = {"sys": sys, "os": os, "re": re, "traceback": traceback, "argparse": argparse,
                "Path": pathlib.Path, "List": typing.List, "Tuple": typing.Tuple,
                "Optional": typing.Optional}
    assert [name for name, obj in imported.items() if getattr(mod, name) is not obj] == []


def test_file_creator_class(mod):
    cls = mod.FileCreator
    assert type(cls) is type and cls.__mro__ == (cls, object)
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
        "FileCreator", "FileCreator", "crenly.crenly",
        "Handles file creation with notification support")
    methods = [row.name for row in ROWS.values() if row.qualname.startswith("FileCreator.")]
    assert [name for name in methods if name in METHODS] == METHODS
    assert list(vars(cls)) == ["__module__", "__doc__", *methods, "__dict__", "__weakref__"]


def test_the_body_defines_the_rows_of_the_table_in_its_order(mod):
    kind = type(mod.main)
    defined = [f.__qualname__ for ns in (vars(mod), vars(mod.FileCreator)) for f in ns.values()
               if type(f) is kind]
    assert defined == [q for q in ROWS if "." not in q] + [q for q in ROWS if "." in q]
    # In the virtual file each definition starts after the docstring of the one
    # before, and the code nested in one starts after its own docstring.
    after, misplaced = 0, []
    for row in ROWS.values():
        code = row.func.__code__
        misplaced += [row.qualname] * (code.co_firstlineno <= after)
        after = code.co_firstlineno + row.func.__doc__.count("\n") + 1  # the docstring's last line
        misplaced += [f"{row.qualname}.<locals>.{c.co_name}" for c in code.co_consts
                      if isinstance(c, types.CodeType) and c.co_firstlineno <= after]
    assert misplaced == []
    # The README's example entries name callables of the table.
    shown = re.findall(r'File "crenly/crenly", line \d+, in crenly\.crenly\.(\S+)',
                       (REPO / "README.md").read_text())
    assert shown and set(shown) <= set(ROWS)
