"""The sources include one another one way: the assembly (module) over the
features (creation and its road, notify, cli, version) over the foundation
(core), which includes nothing else of crenly and whose files stand in one
order. The assembly reaches a feature through the feature's own folder, never
a sub-folder. No folder includes another that includes it back, and no source
grows past 500 lines. The pool of interned identifiers (core/names.hpp) holds
only names that the code uses: each one is built at every start."""

import re

from helpers import REPO

SOURCES = REPO / "crenly"
INCLUDE = re.compile(r'^#include "crenly/(.+)/[^/"]+"$', re.M)
# The files of core/, each including only files before it.
CORE_ORDER = ["ref", "text_kind", "errors", "state", "names", "protocol", "globals", "console"]


def folders():
    """{folder: {folders its files include}}, folders as paths below crenly/."""
    graph = {}
    for path in SOURCES.rglob("*.[ch]pp"):
        folder = path.parent.relative_to(SOURCES).as_posix()
        graph.setdefault(folder, set()).update(
            other for other in INCLUDE.findall(path.read_text()) if other != folder)
    return graph


def test_the_foundation_includes_no_feature_and_nothing_includes_the_assembly():
    graph = folders()
    assert {"core", "creation", "creation/road", "notify", "cli", "version", "module"} <= set(graph)
    assert graph["core"] == set()
    assert [folder for folder, used in graph.items() if "module" in used] == []
    assert graph["module"] == {folder for folder in graph if "/" not in folder} - {"module"}


def test_no_folder_cycle():
    graph, cycles = folders(), []

    def visit(folder, path):
        for other in sorted(graph.get(folder, ())):
            if other in path:
                cycles.append(path[path.index(other):] + [other])
            else:
                visit(other, path + [other])
    for folder in sorted(graph):
        visit(folder, [folder])
    assert cycles == []


def test_core_files_include_only_files_before_them():
    files = list((SOURCES / "core").glob("*.[ch]pp"))
    assert sorted({path.stem for path in files}) == sorted(CORE_ORDER)  # a new file takes a place
    upward = [(path.name, used) for path in files
              for used in re.findall(r'^#include "crenly/core/(\w+)\.hpp"$', path.read_text(), re.M)
              if used not in CORE_ORDER[:CORE_ORDER.index(path.stem) + (path.suffix == ".cpp")]]
    assert upward == []


def test_no_source_over_500_lines():
    sizes = {path.relative_to(SOURCES).as_posix(): len(path.read_text().splitlines())
             for path in SOURCES.rglob("*.[ch]pp")}
    assert {name: n for name, n in sizes.items() if n > 500} == {}


def test_every_pooled_name_is_used():
    names_hpp = (SOURCES / "core" / "names.hpp").read_text()
    pool = re.search(r"#define CRENLY_IDENTIFIERS\(X\)(.*?)\n\n", names_hpp, re.S).group(1)
    names = re.findall(r"X\((\w+),", pool)
    assert len(names) > 50, "the pool was not found"
    code = "\n".join(path.read_text() for path in SOURCES.rglob("*.[ch]pp"))
    assert [name for name in names if not re.search(rf"\bId::{name}\b", code)] == []
