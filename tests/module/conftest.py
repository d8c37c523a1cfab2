"""Fixtures of the module-shell tests: stand-in optional packages, a child
runner that returns its output and a JSON report, and the module itself."""

import json
import textwrap

import pytest

from module_helpers import MARK, PRELUDE


@pytest.fixture
def fakes(tmp_path):
    """`fakes(tree, name)`: write a package tree (None skips a file), return its directory."""
    def make(tree, name="fakes"):
        for rel, text in tree.items():
            if text is not None:
                (tmp_path / name / rel).parent.mkdir(parents=True, exist_ok=True)
                (tmp_path / name / rel).write_text(text)
        return tmp_path / name
    return make


@pytest.fixture
def report(py):
    """`report(code, **kw)`: run code that ends by calling report(**values) in a
    child; return (the output before the report, the values)."""
    def run(code, **kw):
        r = py(PRELUDE + textwrap.dedent(code), **kw)
        assert r.returncode == 0 and MARK in r.stdout, r.describe()
        before, _, data = r.stdout.partition(MARK + "\n")
        return before, json.loads(data)
    return run


@pytest.fixture(scope="session")
def mod():
    import crenly.crenly
    return crenly.crenly
