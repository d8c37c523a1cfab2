"""create_file on symbolic-link loops and on names that Windows refuses or
maps to a device: a check line only for a file that exists afterwards, else a
cross line; nothing else touched. Call loops through the module's own methods:
a RecursionError, never a crash. (The other bad paths are in test_create_file.)"""

import os

import pytest

from helpers import WINDOWS
from test_create_file import PRELUDE, after_import, create, prepare, snapshot, work  # noqa: F401

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
def test_symlink_loop_is_reported_and_changes_nothing(py, work, links, path, error):
    prepare(work, dirs=["d"])
    for name, target in links.items():
        os.symlink(target, work / name)
        os.symlink(target, work / "d" / name)
    before = snapshot(work)
    assert create(py, path) == [f'\u2717 Error creating file "{path}": {error}', "result: False"]
    assert snapshot(work) == before


RECURSION = '\u2717 Error creating file "rec.txt": maximum recursion depth exceeded'


@pytest.mark.parametrize("loop", [
    "class Sub(m.FileCreator):\n    _notify = m.FileCreator.create_file\nfc = Sub()",
    "fc = m.FileCreator()\nfc._notify = fc.create_file",
    "class Sub(m.FileCreator):\n    def _notify(self, filepath):\n        self.create_file(filepath)\nfc = Sub()",
])
def test_call_loop_of_create_file_ends_in_a_reported_recursion_error(py, work, loop):
    # The innermost call reports the RecursionError as its cross line; every
    # caller above it then completes and reports its success.
    out = create(py, "rec.txt", body=f"{loop}\nprint('result:', fc.create_file(PATH))")
    created = f'\u2713 File created: "{work / "rec.txt"}"'
    assert out[0].startswith(RECURSION) and out[-1] == "result: True", out[:3]
    assert set(out[1:-1]) == {created} and len(out) > 100, out[:3]


def test_constructor_loop_ends_in_recursion_error(py):
    out = after_import(py(PRELUDE + """
m.HAS_GROWL = True
m.FileCreator._init_growl = m.FileCreator.__init__
try:
    m.FileCreator()
except RecursionError as e:
    print("escaped:", type(e).__name__)
"""))
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
def test_check_line_only_for_a_file_that_exists_afterwards(py, work, name, on_windows,
                                                          on_posix):
    before = prepare(work, files=["keep"])
    out = create(py, name, body="""
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
