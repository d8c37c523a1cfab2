"""get_version: where the version file is looked for, how its version line is
read, and what a broken file prints."""

import builtins
import pathlib
import sys
import types

import pytest

from helpers import PRESENT, child_env, leaks, write_tree

FIRST, SECOND = "__version__.py", "crenly/__version__.py"  # beside the module; sub-directory
UNDECODABLE = b'version = "\xff"\n'
DECODE_ERROR = str(pytest.raises(UnicodeDecodeError, UNDECODABLE.decode, "utf-8").value)
CHILD = """
import sys, types
package = types.ModuleType("crenly")
package.__path__ = [{pkgdir!r}]
sys.modules["crenly"] = package  # the package's own __init__ reads the version file too
import crenly.crenly as m
print("--call--")
report(file=m.__file__, at_import=m.__version__, called=m.get_version())
"""


def lookup(child, fakes, package_copy, files, traceback_switch=None):
    """Import a copy of the module with `files` beside it (None: a directory);
    return what the import printed, what the later call printed, and the version."""
    pkgdir = package_copy / "crenly"
    (pkgdir / FIRST).unlink()
    for rel, data in files.items():
        path = pkgdir / rel
        path.parent.mkdir(exist_ok=True)
        if data is None:
            path.mkdir()
        else:
            path.write_bytes(data)
    env = child_env([fakes(PRESENT)], TRACEBACK=traceback_switch)
    out, r = child(CHILD.format(pkgdir=str(pkgdir)), env=env).report()
    assert r["file"].startswith(str(pkgdir))
    assert r["at_import"] == r["called"]
    at_import, _, at_call = out.partition("--call--\n")
    return at_import, at_call, r["called"]


@pytest.mark.parametrize("files, version", [
    ({}, "2.0"),
    ({FIRST: b'version = "0.33"\n'}, "0.33"),
    ({FIRST: b"\tversion\t=\t'1.2'  \r\n"}, "1.2"),
    ({FIRST: b"version = \"'5.6'\"\n"}, "5.6"),
    ({FIRST: b"version = '\"5.6\"'\n"}, '"5.6"'),
    ({FIRST: b'version = " 7.8 "\n'}, " 7.8 "),
    ({FIRST: b'version = "a=b"\nversion = "9"\n'}, "9"),
    ({FIRST: b"version =\n"}, ""),
    ({FIRST: b'versionX = "1"\n'}, "1"),
    ({FIRST: b'_version = "1"\nVERSION = "2"\nmy_version = "3"\nversion: 4\n'}, "2.0"),
    ({FIRST: b'x = 1\n  version = "2.1"\nversion = "9"\n'}, "2.1"),
    ({FIRST: b'version = "0.33"  # pinned'}, '0.33"  # pinned'),
    ({FIRST: 'version = "2.0-β"\n'.encode()}, "2.0-β"),
    ({SECOND: b'version = "3.0"\n'}, "3.0"),
    ({FIRST: b'name = "x"\n', SECOND: b'version = "3.0"\n'}, "2.0"),
    ({FIRST: None, SECOND: b'version = "3.0"\n'}, "3.0"),
    ({FIRST: None, SECOND: None}, "2.0"),
])
def test_version_file_lookup(child, fakes, package_copy, files, version):
    assert lookup(child, fakes, package_copy, files) == ("", "", version)


@pytest.mark.parametrize("switch, shows_traceback", [
    (None, False), ("1", True), ("true", True), ("True", True),
    ("TRUE", False), ("", False), ("0", False), (" 1", False),
])
def test_undecodable_version_file(child, fakes, package_copy, switch, shows_traceback):
    at_import, at_call, version = lookup(child, fakes, package_copy, {FIRST: UNDECODABLE},
                                         switch)
    assert version == "2.0"
    for printed in (at_import, at_call):
        if shows_traceback:
            assert printed.startswith("Traceback (most recent call last):\n"), printed
            assert printed.endswith(f"UnicodeDecodeError: {DECODE_ERROR}\n\n"), printed
        else:
            assert printed == f"ERROR: {DECODE_ERROR}\n"


def boom(*args, **kwargs):
    raise AssertionError("looked up by name instead of the cached builtin")


def module():
    return sys.modules["crenly.crenly"]


def renaming_path(arg):
    """Path, rebinding NAME on each call: "crenly" -> "first" -> "other"."""
    module().NAME = {"crenly": "first", "first": "other"}.get(module().NAME, module().NAME)
    return pathlib.Path(arg)


def getenv_rebinding_os(key):
    """getenv of a first os, which puts a second os in its place."""
    module().os = types.SimpleNamespace(getenv=lambda key: "1")
    return "x"


DELETE = object()
DIV_ERROR = str(pytest.raises(TypeError, lambda: pathlib.Path() / 5).value)
NO_FILE_TRACEBACK = ("Traceback (most recent call last):\n"
                     '  File "crenly/crenly", line {first_line}, in crenly.crenly.get_version\n'
                     "NameError: name '__file__' is not defined\n\n")
REBINDS = {
    "__file__ elsewhere": ({"__file__": "{tmp}/a/x.so"}, "7", ""),
    "no version file there": ({"__file__": "{tmp}/none/x.so"}, "2.0", ""),
    "NAME names the sub-directory": ({"__file__": "{tmp}/b/x.so", "NAME": "sub"}, "8", ""),
    "open is the cached builtin": ({"__file__": "{tmp}/a/x.so", "open": boom}, "7", ""),
    "no __file__": ({"__file__": DELETE}, "2.0", "ERROR: name '__file__' is not defined\n"),
    "Path not callable": ({"Path": None}, "2.0", "ERROR: 'NoneType' object is not callable\n"),
    "NAME not a str": ({"__file__": "{tmp}/none/x.so", "NAME": 5}, "2.0", f"ERROR: {DIV_ERROR}\n"),
    # Path(__file__).parent is evaluated before NAME is read
    "NAME read after Path": ({"__file__": "{tmp}/c/x.so", "NAME": "crenly", "Path": renaming_path},
                             "2.0-other", ""),
    # each os.getenv("TRACEBACK") looks up os and getenv afresh
    "os looked up per getenv": ({"__file__": DELETE,
                                 "os": types.SimpleNamespace(getenv=getenv_rebinding_os)}, "2.0",
                                NO_FILE_TRACEBACK),
    # The report of a failure needs the global os: its own NameError escapes.
    "report fails": ({"__file__": DELETE, "os": DELETE}, "raised name 'os' is not defined", ""),
}


@pytest.mark.parametrize("case", REBINDS)
def test_globals_are_read_at_each_call(mod, monkeypatch, capsys, tmp_path, case):
    changes, version, printed = REBINDS[case]
    write_tree(tmp_path, {"a/__version__.py": "version = '7'\n",
                          "b/sub/__version__.py": "version = '8'\n",
                          "c/first/__version__.py": "version = '1.0-first'\n",
                          "c/other/__version__.py": "version = '2.0-other'\n"})
    for name, value in changes.items():
        if value is DELETE:
            monkeypatch.delattr(mod, name)
        else:
            value = value.format(tmp=tmp_path) if isinstance(value, str) else value
            monkeypatch.setattr(mod, name, value, raising=False)
    if "open" in changes:
        monkeypatch.setattr(builtins, "open", boom)
    try:
        got = mod.get_version()
    except NameError as e:
        got = f"raised {e}"
    finally:
        monkeypatch.undo()
    printed = printed.replace("{first_line}", str(mod.get_version.__code__.co_firstlineno))
    assert (got, capsys.readouterr().out) == (version, printed)


@pytest.mark.parametrize("broken", ["no __file__", pytest.param("undecodable", marks=pytest.mark.plain_build_only(
    reason="under ASan's malloc the interpreter keeps a bounded ~60 kB (the same after 16,000 calls as "
           "after 32,000), above this check's 16 kB bound"))])
def test_reported_failures_do_not_leak(mod, monkeypatch, tmp_path, broken):
    (tmp_path / FIRST).write_bytes(UNDECODABLE)
    where = "".join([str(tmp_path), "/x.so"])  # a fresh, counted str
    if broken == "no __file__":
        monkeypatch.delattr(mod, "__file__")
    else:
        monkeypatch.setattr(mod, "__file__", where)
    assert leaks(mod.get_version, [where, mod.get_version]) is None
