"""Random calls of every callable of the table against the plain model of the
binder in module_helpers (the one that test_binding checks too): positional and
keyword mixes, duplicates, names that are not strings, str and list
subclasses. A call that the interpreter refuses before the callee sees it must
be refused as a plain function of that name is."""

import contextlib

import pytest
from hypothesis import given, settings, strategies as st

from crenly import crenly as mod

from helpers import Sink
from module_helpers import ROWS, List, Str, model

OBJ = mod.FileCreator.__new__(mod.FileCreator)
# Every str is "": a create_file that binds then fails on the directory ".".
VALUES = st.sampled_from([lambda: OBJ, str, list, lambda: Str(""), List, lambda: None]).map(
    lambda make: make())
KEYS = st.sampled_from(["self", "filepath", "bogus", Str("self"), Str("files"), 1, b"self", None])


@st.composite
def calls(draw):
    """Each parameter by position, by keyword (str or Str), both or not at all,
    often of a wrong type; sometimes surplus arguments, a second ** mapping."""
    row = draw(st.sampled_from(list(ROWS.values())))
    params = row.params

    def value(param):  # often one that passes the parameter's check
        if draw(st.booleans()):
            return OBJ if param == "self" else row.checks.get(param, str)()
        return draw(VALUES)

    def sometimes(strategy, empty):
        return draw(strategy) if draw(st.integers(0, 3)) == 0 else empty
    args = [value(p) for p in params[:draw(st.integers(0, len(params)))]]
    args += sometimes(st.lists(VALUES, max_size=2), [])
    kw1 = {draw(st.sampled_from([p, Str(p)])): value(p) for p in params if draw(st.booleans())}
    kw1 |= sometimes(st.dictionaries(KEYS, VALUES, max_size=2), {})
    return row, args, kw1, sometimes(st.dictionaries(KEYS, VALUES, max_size=2), {})


def outcome(call):
    try:
        with contextlib.redirect_stdout(Sink()):
            call()
    except Exception as e:  # noqa: BLE001 - every kind is compared
        return type(e), str(e), getattr(e, "__notes__", None)
    return None


@pytest.fixture(scope="module")
def quiet():
    with pytest.MonkeyPatch.context() as mp:  # bodies that run touch no desktop service
        mp.setattr(mod, "HAS_GROWL", False)
        mp.setattr(mod, "HAS_CLIPBOARD", False)
        mp.delattr(mod, "gntp", raising=False)
        yield


@settings(max_examples=1500, deadline=None, database=None)
@given(calls())
def test_binding_matches_the_model(quiet, call):
    row, args, kw1, kw2 = call
    if not row.params and not (args or kw1 or kw2):
        return  # would run the body: main reads pytest's own argv
    real = row.func

    def probe(*args, **kwargs):
        return args, kwargs
    probe.__qualname__, probe.__module__ = real.__qualname__, real.__module__
    expected = outcome(lambda: probe(*args, **kw1, **kw2))  # the interpreter's refusal
    if expected is None:
        modelled = model(row, *probe(*args, **kw1, **kw2))
        expected = modelled and (TypeError, *modelled)
    ways = {"function": lambda: real(*args, **kw1, **kw2)}
    if "." in row.qualname and args and args[0] is OBJ:
        ways["bound"] = lambda: getattr(OBJ, row.name)(*args[1:], **kw1, **kw2)
    for way, call in ways.items():
        got = outcome(call)
        if expected:
            assert (way, got) == (way, expected)
        else:  # bound: the body ran; it may fail, but not as a binding error
            assert got is None or got[0] is not TypeError, (way, got)
