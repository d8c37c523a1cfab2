"""create_file on symbolic-link loops: a cross line, False, nothing touched;
call loops through the module's own methods: a RecursionError, never a crash.
(The other bad paths are in test_create_file.)"""

import os

import pytest

from test_create_file import PRELUDE, after_import, create, prepare, snapshot, work  # noqa: F401

LOOP = "[Errno 40] Too many levels of symbolic links: '{}'"


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
    created = f'\u2713 File created: "{work}/rec.txt"'
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
