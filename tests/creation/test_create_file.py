"""FileCreator construction and create_file, each scenario in a fresh interpreter
whose working directory is a scratch directory, on both roads (the `road`
fixture: the native road, and the pathlib steps forced). The child prints "---"
once the module is imported and the road proved, so that only what create_file
printed is compared."""

import os
import re
from pathlib import Path

import pytest

from helpers import (BY_VERSION, INTERPRETER, PACKAGE_DIR, PATH_CLASS, SUBCLASS_NOTE, WINDOWS, WINE, child_env, native,
                     on_windows, win_error)

# The clipboard off; a recorder as the Growl notifier, so that the module's own
# _notify reports each file, and on the instance a wrapper of _notify that
# keeps the text it got for the recorder to print with its type.
PRELUDE = """
m.HAS_CLIPBOARD = False
given = []
def notify(**kw):
    filepath = given.pop()
    print("notify:", ascii(filepath), type(filepath).__name__, ascii(kw["description"]))
fc.growl = types.SimpleNamespace(notify=notify)
def _notify(filepath, notify=fc._notify):
    given.append(filepath)
    return notify(filepath)
fc._notify = _notify
m.HAS_GROWL = True
"""
OLD = 10**18  # an mtime (ns) that any refresh would move
# The error of making a directory where the file f stands.
F_EXISTS = on_windows("[Errno 17] File exists: 'f'", win_error(183, "f"))


def create(child, road, path, *argv, body="print('result:', fc.create_file(PATH))",
           taken=True, **kw):
    """The lines that `body` prints after PRELUDE on `road`; `taken`: the
    native road must have been taken (the pathlib one never)."""
    run = child(f"{PRELUDE}\nPATH = {path!r}\n{body}", *argv, road=road, **kw)
    lines = run.after()
    assert not taken or (run.calls > 0) == (road == "native"), run.describe()
    return lines


def nul_message(function):
    """The error of os.<function> for a path with a null character: the
    interpreter's own words (on Windows always those of 3.13 on POSIX)."""
    return (BY_VERSION[3, 13] if WINDOWS else INTERPRETER).nul.format(function=function)


def failed(path, error):
    """The lines of a call that failed: its cross line, then its result."""
    return [f'\u2717 Error creating file "{path}": {error}', "result: False"]


def notified(path):
    """The text and type _notify got for the file `path`, and the description
    of its notification."""
    description = f'File created: "{os.path.basename(native(path))}"'
    return f"notify: {ascii(native(path))} str {ascii(description)}"


def snapshot(root: Path) -> dict:
    """Kind, mtime and content of root and every entry below it."""
    return {str(p.relative_to(root)): (p.is_dir(), p.lstat().st_mtime_ns,
                                       p.read_bytes() if p.is_file() else None)
            for p in [root, *root.rglob("*")]}


def prepare(work: Path, files=(), dirs=()) -> dict:
    for name in dirs:
        (work / name).mkdir(parents=True)
    for name in files:
        (work / name).parent.mkdir(parents=True, exist_ok=True)
        (work / name).write_bytes(os.urandom(257))
    for entry in [*work.rglob("*"), work]:
        os.utime(entry, ns=(OLD, OLD))
    return snapshot(work)


@pytest.mark.parametrize("icon_present", [True, False])
def test_icon_path_is_beside_the_module_whatever_the_cwd(child, package_copy, icon_present):
    package_dir, extra = PACKAGE_DIR, ()
    if not icon_present:
        (package_copy / "crenly" / "crenly.jpg").unlink()
        package_dir, extra = package_copy / "crenly", (package_copy,)
    out = child("""
        import os, pathlib, sys
        import crenly.crenly as m
        m.HAS_GROWL = False
        print("---")
        for cwd in (".", "/", sys.argv[1]):
            os.chdir(cwd)
            fc = m.FileCreator()
            print(type(fc.icon_path).__name__, ascii(str(fc.icon_path)), fc.growl,
                  sorted(vars(fc)))
        """, str(package_dir), extra_paths=extra)
    icon = ascii(str(package_dir / "crenly.jpg"))
    assert out.after() == [f"{PATH_CLASS} {icon} None ['growl', 'icon_path']"] * 3


@pytest.mark.parametrize("flag, fails, outcome", [
    (False, False, "[] None"),
    (0, False, "[] None"),
    (True, False, "[(True, None)] registered"),
    ("yes", False, "[(True, None)] registered"),
    (True, True, "[(True, None)] escaped: no daemon"),   # the constructor catches nothing
])
def test_init_growl_runs_once_only_when_has_growl(child, flag, fails, outcome):
    out = child(f"""
        import pathlib
        import crenly.crenly as m
        m.HAS_GROWL = {flag!r}
        calls = []
        class Sub(m.FileCreator):
            def _init_growl(self):
                calls.append((self.icon_path == pathlib.Path(m.__file__).parent / "crenly.jpg",
                              self.growl))
                if {fails}:
                    raise LookupError("no daemon")
                self.growl = "registered"
        print("---")
        try:
            print(calls, Sub().growl)
        except LookupError as e:
            print(calls, "escaped:", e)
        """)
    assert out.after() == [outcome]


@pytest.mark.parametrize("path, shown, existing", [
    ("a/b/c.txt", "a/b/c.txt", False),
    ("c.txt", "c.txt", False),
    ("./x/../y.txt", "x/../y.txt", False),     # made absolute, never normalised
    ("d//e.txt", "d/e.txt", False),
    ("{work}/abs/z.txt", "{work}/abs/z.txt", False),
    pytest.param("\udc80", "\udc80", False,   # the undecodable byte 0x80 of a file name
                 marks=pytest.mark.xfail(WINE, strict=True, reason=(
                     "Wine keeps names in UTF-8 on the host file system, where an unpaired "
                     "surrogate cannot be written; Windows takes any UTF-16 name"))),
    ("sub/keep.bin", "sub/keep.bin", True),    # content kept byte for byte
])
def test_creates_missing_parents_and_an_empty_file(child, road, work, path, shown, existing):
    path, shown = path.format(work=work), native(shown.format(work=work))
    before = prepare(work, files=[path] if existing else [])
    assert create(child, road, path) == [notified(shown),
                                         f'\u2713 File created: "{os.path.join(work, shown)}"',
                                         "result: True"]
    content = before[native(path)][2] if existing else b""
    assert (work / shown).is_file() and (work / shown).read_bytes() == content


@pytest.mark.parametrize("files, dirs, path, error", [
    (["f"], [], "f/x.txt", F_EXISTS),
    (["f"], [], "f/sub/x.txt", on_windows("[Errno 20] Not a directory: 'f/sub'",
                                          win_error(183, "f"))),
    ([], ["src"], "src", "[Errno 21] Is a directory: 'src'"),
    ([], [], "a\0b", nul_message("utime")),
    ([], [], "d\0/x", nul_message("mkdir")),
    ([], [], "x" * 10000, on_windows("[Errno 36] File name too long: ",
                                     "[Errno 2] No such file or directory: ") + repr("x" * 10000)),
    pytest.param([], [], "\ud800",
                 "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
                 marks=pytest.mark.skipif(WINDOWS, reason=(
                     "Windows file names are UTF-16: an unpaired surrogate is a name there, "
                     "not an encoding error"))),
], ids=["parent-is-file", "ancestor-is-file", "directory", "nul", "nul-in-dir",
        "too-long", "unencodable"])
def test_failure_reports_the_path_as_passed_and_changes_nothing(child, road, work, files, dirs,
                                                                path, error):
    before = prepare(work, files, dirs)
    # A line that the console cannot encode is printed with replacements.
    # Paths that cannot become file-system bytes never take the road.
    taken = "\0" not in path and "\ud800" not in path
    expected = [line.encode("utf-8", "replace").decode() for line in failed(path, error)]
    assert create(child, road, path, taken=taken) == expected
    assert snapshot(work) == before


@pytest.mark.parametrize("argv, traced", [
    (["--debug"], True),
    (["x", "--debug", "y"], True),
    (["--debug=1"], False),
    (["--DEBUG"], False),
    ([], False),
])
def test_debug_in_argv_adds_the_traceback(child, road, work, argv, traced):
    prepare(work, files=["f"])
    text = "\n".join(create(child, road, "f/x.txt", *argv, body="print(fc.create_file(PATH))")) + "\n"
    cross = failed("f/x.txt", F_EXISTS)[0] + "\n"
    assert text.startswith(cross) and text.endswith("\nFalse\n"), text
    trace = text[len(cross):-len("False\n")]
    assert bool(trace) == traced
    if traced:
        assert trace.startswith("Traceback (most recent call last):\n")
        assert trace.endswith(f"FileExistsError: {F_EXISTS}\n\n")
        entry = r'^  File "crenly/crenly", line \d+, in crenly\.crenly\.FileCreator\.create_file$'
        assert re.search(entry, trace, re.M), trace


CREATED = '\u2713 File created: "{work}%sk%sk.txt"' % (os.sep, os.sep)
NOTIFIED = notified("k/k.txt")


@pytest.mark.parametrize("where, exc, lines", [
    ("subclass", "RuntimeError('boom')", failed("k/k.txt", "boom")),
    ("instance", "RuntimeError('boom')", failed("k/k.txt", "boom")),
    ("instance", "KeyboardInterrupt", ["escaped: KeyboardInterrupt"]),
    ("instance", "SystemExit(3)", ["escaped: SystemExit"]),
    ("clipboard", "RuntimeError('boom')", ["Warning: Could not copy to clipboard: boom",
                                           NOTIFIED, CREATED, "result: True"]),
    ("clipboard", "KeyboardInterrupt", ["escaped: KeyboardInterrupt"]),
    ("clipboard", "SystemExit(3)", ["escaped: SystemExit"]),
])
def test_errors_raised_by_notify_and_clipboard_copy(child, road, work, where, exc, lines):
    out = create(child, road, "k/k.txt", body=f"""
def stop(*args):
    raise {exc}
if {where!r} == "clipboard":
    m.HAS_CLIPBOARD = True
    m.clipboard = types.SimpleNamespace(copy=stop)
elif {where!r} == "subclass":
    m.HAS_GROWL = False  # no registration for the new instance
    fc = type("Sub", (m.FileCreator,), {{"_notify": stop}})()
else:
    fc._notify = stop
try:
    print("result:", fc.create_file(PATH))
except BaseException as e:
    print("escaped:", type(e).__name__)
""")
    assert out == [line.format(work=work) for line in lines]
    assert (work / "k/k.txt").is_file()   # nothing is undone


@pytest.mark.parametrize("arg, got", [
    ("b'x.txt'", "bytes"),
    ("None", "NoneType"),
    ("pathlib.Path('x.txt')", PATH_CLASS),
    ("Text('x.txt')", "Text"),
    ("7", "int"),
])
def test_path_that_is_not_exactly_str_is_refused_before_any_output(child, road, work, arg, got):
    before = prepare(work)
    lines = create(child, road, None, taken=False, body=f"""
class Text(str):
    pass
arg, bound = {arg}, fc.create_file
for call in (lambda: fc.create_file(arg), lambda: bound(arg),
             lambda: m.FileCreator.create_file(fc, arg)):
    try:
        call()
    except TypeError as e:
        print(e, getattr(e, "__notes__", None))
""")
    notes = None if got != "Text" else [SUBCLASS_NOTE]
    message = f"Argument 'filepath' has incorrect type (expected str, got {got})"
    assert lines == [f"{message} {notes}"] * 3
    assert snapshot(work) == before


# A console whose encoding is false ("" stands for ASCII) and that takes ASCII only.
EMPTY_ENCODING = """
class Console:
    encoding = ""
    def write(self, text):
        return sys.__stdout__.write(text.encode("ascii").decode())
    def flush(self):
        sys.__stdout__.flush()
sys.stdout = Console()
"""


@pytest.mark.parametrize("console, path, lines", [
    ("cp1252", "\u0436/ok.txt", [notified("\u0436/ok.txt"),
                                 '? File created: "{work}%s?%sok.txt"' % (os.sep, os.sep),
                                 "result: True"]),
    ("cp1252", "f/x.txt", [f'? Error creating file "f/x.txt": {F_EXISTS}', "result: False"]),
    ("", "\u00e91.txt", [notified("\u00e91.txt"), '? File created: "{work}%s?1.txt"' % os.sep,
                         "result: True"]),
])
def test_line_the_console_cannot_encode_is_printed_with_replacements(child, road, work, console,
                                                                     path, lines):
    prepare(work, files=["f"])
    if console:
        out = create(child, road, path, env=child_env(PYTHONIOENCODING=console))
    else:
        out = create(child, road, path, body=EMPTY_ENCODING + "print('result:', fc.create_file(PATH))")
    assert out == [line.format(work=work) for line in lines]
    assert (work / path).is_file() == (lines[-1] == "result: True")


@pytest.mark.parametrize("path, number, files, dirs", [
    ("src", 21, [], ["src"]),
    pytest.param("/dev/null", 22, [], [], marks=pytest.mark.skipif(WINDOWS, reason="a POSIX device")),
])
def test_the_module_s_own_errors_take_their_text_from_os_strerror(child, road, work, path, number,
                                                                  files, dirs):
    # A directory or a device is refused by the module itself, not by pathlib:
    # its error text comes from os.strerror as it is when the error is made.
    prepare(work, files, dirs)
    out = create(child, road, path, body="""
os.strerror = lambda number: f"text {number} from a patched strerror"
print("result:", fc.create_file(PATH))
""")
    assert out == failed(path, f"[Errno {number}] text {number} from a patched strerror: {path!r}")


@pytest.mark.parametrize("path, error", [
    ("ro/new.txt", "[Errno 13] Permission denied: 'ro/new.txt'"),
    ("ro/sub/new.txt", "[Errno 13] Permission denied: 'ro/sub'"),
])
def test_unwritable_directory_fails_and_changes_nothing(child, unprivileged, road, work, path, error):
    (work / "ro").mkdir()
    before = prepare(work)
    (work / "ro").chmod(0o555)
    assert create(child, road, path, prefix=unprivileged) == failed(path, error)
    assert snapshot(work) == before


# Symbolic-link loops and names that Windows refuses or maps to a device: a
# check line only for a file that exists afterwards, else a cross line; nothing
# else touched. Call loops through the module's own methods: a RecursionError,
# never a crash.
LOOP = "[Errno 40] Too many levels of symbolic links: '{}'"


@pytest.mark.skipif(WINDOWS, reason="symbolic links need a privilege on Windows, "
                                     "and Wine makes none")
@pytest.mark.parametrize("links, path, error", [
    ({"self": "self"}, "self", LOOP.format("self")),
    ({"self": "self"}, "self/x.txt", "[Errno 17] File exists: 'self'"),
    ({"a": "b", "b": "a"}, "a/sub/x.txt", LOOP.format("a/sub")),
    ({"a": "b", "b": "a"}, "d/b", LOOP.format("d/b")),
    ({"a": "b", "b": "a"}, "d/../d/a/x", "[Errno 17] File exists: 'd/../d/a'"),
])
def test_symlink_loop_is_reported_and_changes_nothing(child, road, work, links, path, error):
    prepare(work, dirs=["d"])
    for name, target in links.items():
        os.symlink(target, work / name)
        os.symlink(target, work / "d" / name)
    before = snapshot(work)
    assert create(child, road, path) == failed(path, error)
    assert snapshot(work) == before


RECURSION = '\u2717 Error creating file "rec.txt": maximum recursion depth exceeded'


@pytest.mark.parametrize("loop", [
    "class Sub(m.FileCreator):\n    _notify = m.FileCreator.create_file\nfc = Sub()",
    "fc = m.FileCreator()\nfc._notify = fc.create_file",
    "class Sub(m.FileCreator):\n    def _notify(self, filepath):\n        self.create_file(filepath)\nfc = Sub()",
])
def test_call_loop_of_create_file_ends_in_a_reported_recursion_error(child, road, work, loop):
    # The innermost call reports the RecursionError as its cross line; every
    # caller above it then completes and reports its success.
    out = create(child, road, "rec.txt",
                 body=f"m.HAS_GROWL = False\n{loop}\nprint('result:', fc.create_file(PATH))")
    created = f'\u2713 File created: "{work / "rec.txt"}"'
    assert out[0].startswith(RECURSION) and out[-1] == "result: True", out[:3]
    assert set(out[1:-1]) == {created} and len(out) > 100, out[:3]


def test_constructor_loop_ends_in_recursion_error(child):
    out = create(child, "pathlib", None, body="""
m.HAS_GROWL = True
m.FileCreator._init_growl = m.FileCreator.__init__
try:
    m.FileCreator()
except RecursionError as e:
    print("escaped:", type(e).__name__)
""")
    assert out == ["escaped: RecursionError"]


LONG = "/".join(["d" * 50] * 6) + "/x.txt"   # past MAX_PATH (260) from any directory
POSIX_ONLY = pytest.mark.skipif(WINDOWS, reason="a POSIX device path")


@pytest.mark.parametrize("name, on_windows, on_posix", [
    # on_windows/on_posix: whether the file is created; None where Windows
    # versions or settings differ, and only the invariant is checked.
    ("a:b.txt", False, True),    # Windows: the drive a: (there is none)
    ("x?.txt", False, True),     # Windows: a character it forbids in names
    ("con.txt", None, True),     # the console on Windows 10, a plain name on 11
    ("nul", False, True),        # Windows: the null device
    ("aux", False, True),
    pytest.param("/dev/null", None, False, marks=POSIX_ONLY),
    ("keep.", True, True),       # Windows drops a trailing dot: the file keep
    ("keep ", True, True),       # and a trailing space
    (LONG, None, True),          # Windows: only where long paths are enabled
])
def test_check_line_only_for_a_file_that_exists_afterwards(child, road, work, name, on_windows,
                                                           on_posix):
    before = prepare(work, files=["keep"])
    out = create(child, road, name, body="""
print("result:", fc.create_file(PATH))
print("after:", fc.create_file("after.txt"))
""")
    created = (work / name).is_file()
    line = next(line for line in out if line[0] in "\u2713\u2717")
    if created:
        assert line == f'\u2713 File created: "{work / name}"' and "result: True" in out
    else:
        assert line.startswith(f'\u2717 Error creating file "{name}": ') and "result: False" in out
    expected = on_windows if WINDOWS else on_posix
    assert expected is None or created == expected, out
    assert "after: True" in out and (work / "after.txt").is_file()   # the run goes on
    assert (work / "keep").read_bytes() == before["keep"][2]
