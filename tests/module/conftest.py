"""Fixtures of the module-shell tests: stand-in optional packages, a child
runner that returns its output and a JSON report, and a leak check."""

import gc
import json
import sys
import textwrap
import tracemalloc

import pytest

MARK = "--report--"
CLIP_WARNING = "Warning: clipboard module not available. Install with: pip install clipboard"
GNTP_WARNING = "Warning: gntp module not available. Install with: pip install gntp"
NO_TRELVIN = "raise ImportError('no trelvin here')\n"
# Package trees (relative path -> source) to put in front of a child's sys.path.
PRESENT = {"clipboard/__init__.py": "def copy(text):\n    pass\n", "gntp/__init__.py": "",
           "gntp/notifier.py": "class GrowlNotifier:\n    pass\n",
           "trelvin/__init__.py": NO_TRELVIN}
ABSENT = {"clipboard/__init__.py": "raise ImportError('no clipboard here')\n",
          "gntp/__init__.py": "raise ModuleNotFoundError('no gntp here')\n",
          "trelvin/__init__.py": NO_TRELVIN}
PRELUDE = f"""\
import json as _json
def report(**values):
    print({MARK!r})
    print(_json.dumps(values))
"""


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


class Sink:
    """A stdout that keeps nothing, so that memory checks see no output."""
    def write(self, text):
        return len(text)


def leak_check(call, objects, times=1000):
    """Call `call` (Exceptions ignored) `times` times; return the change of each
    object's reference count and the growth of traced memory in bytes."""
    def repeat(n):
        for _ in range(n):
            try:
                call()
            except Exception:
                pass
    repeat(50)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        repeat(10)
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        repeat(times)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]
    return [a - b for a, b in zip(after, before)], grown
