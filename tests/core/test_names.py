"""The pool of interned identifiers (crenly/core/names.hpp) holds only names
that the module's code uses: each one is built at every start."""

import re
from pathlib import Path

SOURCES = Path(__file__).resolve().parents[2] / "crenly"


def test_every_pooled_name_is_used():
    state = (SOURCES / "core" / "names.hpp").read_text()
    pool = re.search(r"#define CRENLY_IDENTIFIERS\(X\)(.*?)\n\n", state, re.S).group(1)
    names = re.findall(r"X\((\w+),", pool)
    assert len(names) > 50, "the pool was not found"
    code = "\n".join(path.read_text() for path in SOURCES.rglob("*.[ch]pp"))
    assert [name for name in names if not re.search(rf"\bId::{name}\b", code)] == []
