"""create_files: expand the whole list, then create each path, count successes."""

from pathlib import Path

import pytest

from creation_helpers import LIMIT_MESSAGE
from crenly import crenly as mod


def tree(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def created_lines(paths):
    return "".join(f'\u2713 File created: "{Path(p).absolute()}"\n' for p in paths)


@pytest.mark.parametrize("files, created", [
    ([], []),
    (["{"], ["{"]),
    (["}"], ["}"]),
    (["a}b{c"], ["a}b{c"]),
    (["dir/{,}.txt"], []),
    (["x.txt", "src/{a,a}.py", "x.txt"], ["x.txt", "src/a.py", "src/a.py", "x.txt"]),
    (["README.md", "src/{main, util}.py", "tests/{a,b}/test_{x,y}.py"],
     ["README.md", "src/main.py", "src/util.py", "tests/a/test_x.py",
      "tests/a/test_y.py", "tests/b/test_x.py", "tests/b/test_y.py"]),
])
def test_creates_every_path_in_order(creator, tmp_path, capsys, files, created):
    count = creator.create_files(files)
    assert type(count) is int and count == len(created)
    assert capsys.readouterr() == (created_lines(created), "")
    assert tree(tmp_path) == sorted(set(created))
    assert all((tmp_path / p).stat().st_size == 0 for p in created)


class Recording(mod.FileCreator):
    """Logs calls; create_file answers with the next of a list of results."""

    def __init__(self, results=()):
        super().__init__()
        self.log, self.results = [], list(results)

    def parse_brace_expansion(self, text):
        self.log.append(("expand", text))
        return (p for p in text.strip("{}").split("|"))

    def create_file(self, filepath):
        self.log.append(("create", filepath))
        return self.results.pop(0)


def test_whole_list_expanded_before_the_first_creation(creator):
    rec = Recording([1, 0, "yes", "", None, [0], 2.5])
    count = rec.create_files(["a", "{b|c}", "d", "}{e|f", "g{"])
    assert rec.log == [
        ("expand", "{b|c}"), ("expand", "}{e|f"),
        ("create", "a"), ("create", "b"), ("create", "c"), ("create", "d"),
        ("create", "e"), ("create", "f"), ("create", "g{"),
    ]
    assert count == 4  # truth values: 1, "yes", [0], 2.5


def test_overrides_on_the_instance_take_effect(creator, tmp_path, capsys):
    log = []
    creator.parse_brace_expansion = lambda text: log.append(text) or ["p", "q"]
    creator.create_file = lambda path: log.append(path) or path == "q"
    assert creator.create_files(["{x}", "r"]) == 1
    assert log == ["{x}", "p", "q", "r"]
    assert tree(tmp_path) == [] and capsys.readouterr().out == ""


def test_expansion_error_creates_nothing(creator, tmp_path, capsys):
    with pytest.raises(ValueError) as info:
        creator.create_files(["first.txt", "{a,b}" * 20])
    assert str(info.value) == LIMIT_MESSAGE
    assert tree(tmp_path) == [] and capsys.readouterr().out == ""

    rec = Recording([True])
    rec.parse_brace_expansion = lambda text: 1 / 0
    with pytest.raises(ZeroDivisionError):
        rec.create_files(["first.txt", "{a}"])
    assert rec.log == []


def test_error_from_create_file_propagates_after_earlier_creations(creator, tmp_path):
    rec = Recording([True])
    with pytest.raises(IndexError):
        rec.create_files(["a", "b"])
    assert rec.log == [("create", "a"), ("create", "b")]
    with pytest.raises(TypeError):
        creator.create_files(["ok.txt", 1])
    assert tree(tmp_path) == []  # the "{" test on 1 fails in the expansion pass
