"""create_file on symbolic-link loops: a cross line, False, nothing touched.
(The other bad paths are in test_create_file.)"""

import os

import pytest

from test_create_file import create, prepare, snapshot, work  # noqa: F401  (fixture)

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
