"""crenly as a Python package: the stubs agree with the module and satisfy
mypy --strict, the wheel and the sdist carry what they must, and `crenly
--help` stays readable on an 80-column terminal under both help formatters."""

import importlib.metadata
import importlib.util
import pydoc
import re
import shutil
import sys
import tarfile
from pathlib import Path

import pytest

from helpers import INTERPRETER, NO_TRELVIN, REPO, child_env, run_command, write_tree
from crenly import crenly as mod

USER_SCRIPT = """\
import sys
from pathlib import Path

import crenly.crenly
from crenly import FileCreator, __version__, get_version, main


def create(names: list[str]) -> int:
    creator = FileCreator()
    icon: Path = creator.icon_path
    print(icon, creator.growl is None, __version__, crenly.crenly.__filename__)
    created: bool = creator.create_file("notes/todo.txt")
    paths: list[str] = creator.parse_brace_expansion("src/{a,b}.py")
    return creator.create_files(names + paths) + int(created)


if __name__ == "__main__":
    version: str = get_version()
    flags = (crenly.crenly.HAS_CLIPBOARD, crenly.crenly.HAS_GROWL, crenly.crenly.NAME)
    formatter = crenly.crenly.CustomRichHelpFormatter("crenly")
    print(version, flags, formatter, create(sys.argv[1:]))
    sys.exit(main())
"""

MISUSES = """\
from crenly import FileCreator, get_version, main
creator = FileCreator()
creator.create_file(b"x")
creator.create_files(("a",))
count: str = creator.create_files([])
main("--debug")
get_version().decode()
FileCreator().create_file(path="x")
"""


def run_module(tmp_path, *args):
    return run_command([sys.executable, "-m", *args], cwd=tmp_path, timeout=300)


# The stub's `__version__: str` holds whatever was imported first; stubtest
# itself does not compare a module with a `str` stub, so the child checks that.
@pytest.mark.parametrize("first", ["crenly", "crenly.__version__"])
def test_stub_agrees_with_the_module(child, first):
    code = (f"import sys, {first}, crenly; from mypy import stubtest;"
            " assert type(crenly.__version__) is str, crenly.__version__; sys.exit(stubtest.main())")
    run = child(code, "crenly", timeout=300)
    assert run.returncode == 0 and "Success" in run.stdout, run.describe()


@pytest.mark.parametrize("source, errors", [
    (USER_SCRIPT, []),
    (MISUSES, [(3, "arg-type"), (4, "arg-type"), (5, "assignment"), (6, "call-arg"),
               (7, "attr-defined"), (8, "call-arg")]),
], ids=["typical script", "misuses"])
def test_mypy_strict(tmp_path, source, errors):
    (tmp_path / "script.py").write_text(source)
    run = run_module(tmp_path, "mypy", "--strict", "--no-incremental", "--cache-dir",
                     str(tmp_path / "cache"), "script.py")
    found = [(int(line), code) for line, code in
             re.findall(r"^script\.py:(\d+): error: .*\[([a-z-]+)\]$", run.stdout, re.M)]
    assert found == errors, run.describe()
    assert run.returncode == (1 if errors else 0), run.describe()


def test_help_shows_the_real_signatures():
    text = pydoc.render_doc(mod, renderer=pydoc.plaintext)
    shown = INTERPRETER.annotation.format
    for line in ["get_version()", "main()", "__init__(self)",
                 f"create_file(self, filepath: {shown('str')}) -> {shown('bool')}",
                 f"create_files(self, files: {shown('List[str]')}) -> {shown('int')}",
                 f"parse_brace_expansion(self, text: {shown('str')}) -> {shown('List[str]')}"]:
        assert re.search(rf"^[ |]*{re.escape(line)}$", text, re.M), line


def test_wheel_ships_the_module_icon_version_typing_files_and_license():
    installed = {str(f).replace("\\", "/") for f in importlib.metadata.files("crenly")}
    for name in ["__init__.py", "__init__.pyi", "__main__.py", "__version__.py", "crenly.jpg",
                 "crenly.pyi", "py.typed"]:
        assert f"crenly/{name}" in installed
    assert any(re.fullmatch(r"crenly/crenly\.[\w-]+\.(so|pyd)", name) for name in installed)
    assert any(re.fullmatch(r"crenly-[^/]+\.dist-info/(licenses/)?LICENSE", name) for name in installed)
    assert not [name for name in installed if name.endswith((".cpp", ".hpp", "CMakeLists.txt"))]


# What a working tree gathers besides its sources: built modules and bytecode,
# repaired wheels, earlier sdists, a build folder, files a user made there.
LEFTOVERS = ["crenly/crenly.cpython-312-x86_64-linux-gnu.so", "crenly/crenly.cp313-win_amd64.pyd",
             "crenly/__pycache__/__init__.cpython-312.pyc",
             "wheelhouse/crenly-2.0.0-cp312-cp312-manylinux_2_28_x86_64.whl",
             "dist/crenly-1.0.0.tar.gz", "build/CMakeCache.txt", "src/main.py", "docs/readme.md"]


@pytest.mark.skipif(importlib.util.find_spec("scikit_build_core") is None
                    or not (REPO / "CMakeLists.txt").exists(),
                    reason="needs the source tree and scikit-build-core")
def test_sdist_carries_everything_a_build_needs(child, tmp_path):
    """The sdist of a working tree holds the files a build reads, exactly:
    none of the tree's leftovers."""
    tree = tmp_path / "tree"
    shutil.copytree(REPO, tree, ignore=lambda folder, names: [
        name for name in names if Path(folder) == REPO and name.startswith((".git", ".venv", ".windows"))
        and name not in (".github", ".gitignore")])
    wanted = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO"} | {
        path.relative_to(tree).as_posix() for folder in ("crenly", "windows")
        for path in (tree / folder).rglob("*") if path.is_file()
        and "__pycache__" not in path.parts and path.suffix not in {".so", ".pyd"}}
    write_tree(tree, dict.fromkeys(LEFTOVERS, "left over\n"))
    code = ("import sys; from scikit_build_core.build import build_sdist;"
            " print(build_sdist(sys.argv[1]))")
    run = child(code, str(tmp_path), cwd=tree, timeout=300).ok()
    with tarfile.open(tmp_path / run.stdout.split()[-1]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    assert names == wanted


TRELVIN = """\
import argparse

class CustomRichHelpFormatter(argparse.RawTextHelpFormatter):
    def start_section(self, heading):
        super().start_section("\\u00bb " + heading.title())
"""


@pytest.mark.parametrize("formatter", ["plain", "trelvin"])
def test_help_fits_an_80_column_terminal(tmp_path, formatter, crenly_bin):
    write_tree(tmp_path / "site", {"trelvin/__init__.py": TRELVIN if formatter == "trelvin"
                                   else NO_TRELVIN})
    run = run_command([str(crenly_bin), "--help"], cwd=tmp_path,
                      env=child_env([tmp_path / "site"], COLUMNS="80")).ok()
    help_text = run.stdout[run.stdout.index("usage:"):]
    lines = help_text.splitlines()
    assert lines[0] == "usage: crenly [-h] [--version] [--debug] [FILE ...]"
    headings = {"» Positional Arguments:", "» Options:"} if formatter == "trelvin" else {
        "positional arguments:", "options:"}
    entries = {"  FILE        File(s) to create. Supports brace expansion.",
               "  --debug     Show detailed error messages"}
    assert headings | entries <= set(lines), help_text
    # The epilog is fixed text that no formatter re-wraps; only its longest
    # example line is wider than the terminal.
    assert [line for line in lines if len(line) > 80] == [
        "  crenly dir/{a,b,c}.txt                # Brace expansion"
        " (creates dir/a.txt, dir/b.txt, dir/c.txt)"]
    assert run.stderr == ""
