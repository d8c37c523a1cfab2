"""Reference counts and traced memory after many calls of every callable: on
success, on an unbound global (NameError, caught or escaping) and when an
overriding method raises. Refused bindings are checked in test_binding."""

import os
import sys
import types

import pytest

from helpers import leaks

# Under PYTHONMALLOC=malloc (the sanitizer pass) the interpreter's caches keep
# up to ~150 kB, in plain Python code too: only reference counts are checked.
MEMORY_CHECKED = not os.environ.get("PYTHONMALLOC", "").startswith("malloc")
Notifier = type("Notifier", (), {"__init__": lambda self, **kw: None,
                                 "register": lambda self: True, "notify": lambda self, **kw: 1})
GNTP = types.SimpleNamespace(notifier=types.SimpleNamespace(GrowlNotifier=Notifier))


def boom(*args):
    raise RuntimeError("overridden")


def make(mod, obj, arg, raising):
    """case: (call, objects whose reference counts must not change)."""
    return {
        "get_version": (mod.get_version, [mod.get_version]),
        "main": (mod.main, [mod.main, *sys.argv[1:]]),
        "__init__": (mod.FileCreator, [mod.FileCreator]),
        "_init_growl": (obj._init_growl, [obj, Notifier]),
        "_notify": (lambda: obj._notify(arg), [obj, arg, obj.growl]),
        "parse_brace_expansion": (lambda: obj.parse_brace_expansion(arg), [obj, arg]),
        "create_file": (lambda: obj.create_file(arg), [obj, arg]),
        "create_files": (lambda: obj.create_files([arg]), [obj, arg]),
        "_notify raises": (lambda: raising().create_file(arg), [arg, raising]),
        "create_file raises": (lambda: raising().create_files([arg]), [arg, raising]),
        "parse_brace_expansion raises": (lambda: raising().create_files([arg]), [arg, raising]),
        "_init_growl raises": (raising, [raising]),
        "create_files raises": (mod.main, [mod.main, raising, *sys.argv[1:]]),
    }


CASES = [  # (case of make(), globals rebound (None: deleted), sys.argv after the name)
    *[(case, {}, []) for case in ("get_version", "__init__", "parse_brace_expansion",
                                  "create_file", "create_files", "_notify raises",
                                  "create_file raises", "parse_brace_expansion raises")],
    ("main", {}, ["{arg}", "d/{{x,y}}"]),
    ("_init_growl", {"gntp": GNTP, "HAS_GROWL": True}, []),
    ("_notify", {"HAS_GROWL": True}, []),
    ("_init_growl raises", {"HAS_GROWL": True}, []),
    ("create_files raises", {"FileCreator": "raising"}, ["{arg}"]),
    # unbound globals: caught and reported (with the traceback under --debug), or escaping
    ("create_file", {"Path": None}, ["--debug"]),
    ("_notify", {"Path": None, "HAS_GROWL": True}, ["--debug"]),
    ("_init_growl", {"gntp": None}, []),
    ("__init__", {"Path": None}, []),
    ("parse_brace_expansion", {"re": None}, []),
    ("main", {"argparse": None}, ["{arg}"]),
]


@pytest.mark.parametrize("case, changes, argv", CASES,
                         ids=[f"{c}-{'-'.join(ch) or 'ok'}" for c, ch, _ in CASES])
def test_many_calls_leave_no_references_or_memory_behind(mod, monkeypatch, tmp_path, case,
                                                          changes, argv):
    monkeypatch.chdir(tmp_path)
    arg = "".join(["leak", "-", "probe/{a, b}{c,d}"])  # a fresh, counted str
    monkeypatch.setattr(sys, "argv", ["crenly", *(x.format(arg=arg) for x in argv)])
    method = case.partition(" raises")[0] if case.endswith("raises") else None
    raising = type("Sub", (mod.FileCreator,), {method: boom}) if method else None
    for name, value in {"HAS_GROWL": False, "HAS_CLIPBOARD": False, **changes}.items():
        if value is None:
            monkeypatch.delattr(mod, name)
        else:
            monkeypatch.setattr(mod, name, raising if value == "raising" else value)
    obj = mod.FileCreator.__new__(mod.FileCreator)
    obj.icon_path, obj.growl = tmp_path / "none.jpg", Notifier()
    call, objects = make(mod, obj, arg, raising)[case]
    assert leaks(call, objects, memory=MEMORY_CHECKED) is None
