"""Argument binding of every callable of the table, compared with a plain model
of the rules; their introspection attributes and traceback entries; no
reference leaks on refused calls."""

import inspect
import sys
import traceback
import weakref

import pytest

from helpers import leaks
from module_helpers import ROWS, List, Str, model

SELF = type("Self", (), {"__repr__": lambda self: "self"})()  # the instance, in the call templates


def error_calls():
    """(qualname, args, kwargs) that binding must refuse."""
    for row in ROWS.values():
        if not row.params:
            continue  # without parameters: test_binder_fuzz and the documented messages
        p = row.params[-1]
        want = row.checks.get(p)
        x = {str: "".join("f.txt"), list: ["f"]}.get(want, 1000)
        bad = [None, 1000, b"f", ("f",), Str("f"), List(["f"]), "f" if want is list else ["f"]]
        templates = [((), {}), ((SELF,), {}), ((SELF, x, x), {}), ((SELF, x, x, x), {"bogus": x}),
                     ((SELF,), {"self": SELF}), ((SELF,), {"bogus": x}), ((), {p: x}),
                     ((), {"self": SELF}), ((), {"bogus": x, p: x}), ((SELF, x), {p: x}),
                     ((), {p: x, "self": SELF, "q": x}), ((), {Str("bogus"): x}),
                     ((SELF, None, None), {}), ((SELF, None), {p: None})]
        templates += [((SELF, b), {}) for b in bad] + [((), {Str(p): b, "self": SELF}) for b in bad]
        for args, kwargs in templates:
            if model(row, args, kwargs) is not None:
                yield row.qualname, args, kwargs


ERROR_CALLS = list(error_calls())


def with_instance(obj, args, kwargs):
    """A call template with `obj` in place of SELF."""
    return tuple(obj if a is SELF else a for a in args), {
        k: obj if v is SELF else v for k, v in kwargs.items()}


def three_ways(mod, obj, qualname, args, kwargs):
    """Through the class (or the module); and, for a method when the instance
    comes first, as obj.f(...) (the interpreter's method fast path) and as
    g = obj.f; g(...)."""
    args, kwargs = with_instance(obj, args, kwargs)
    owner, _, name = qualname.rpartition(".")
    ways = {"class": lambda: getattr(mod.FileCreator if owner else mod, name)(*args, **kwargs)}
    if owner and args and args[0] is obj:
        rest, bound = args[1:], getattr(obj, name)
        scope = {"obj": obj, "rest": rest, "kwargs": kwargs}
        method = compile(f"obj.{name}(*rest, **kwargs)", "<method>", "eval")
        ways["method"] = lambda: eval(method, scope)
        ways["bound"] = lambda: bound(*rest, **kwargs)
    return ways


@pytest.fixture
def obj(mod):
    return mod.FileCreator.__new__(mod.FileCreator)  # binding needs no __init__


def innermost_entry(exc):
    """(name, file, line) of the last traceback entry of `exc`."""
    last = traceback.extract_tb(exc.__traceback__)[-1]
    return last.name, last.filename, last.lineno


def own_entry(func):
    """The traceback entry of a call refused by `func`: its definition line."""
    return f"crenly.crenly.{func.__qualname__}", "crenly/crenly", func.__code__.co_firstlineno


@pytest.mark.parametrize("qualname, args, kwargs", ERROR_CALLS,
                         ids=[f"{q}{args!r}{kwargs!r}" for q, args, kwargs in ERROR_CALLS])
def test_refused_calls_match_the_model(mod, obj, qualname, args, kwargs):
    expected = model(ROWS[qualname], *with_instance(obj, args, kwargs))
    entry = own_entry(ROWS[qualname].func)
    for way, call in three_ways(mod, obj, qualname, args, kwargs).items():
        with pytest.raises(TypeError) as info:
            call()
        assert (way, str(info.value), getattr(info.value, "__notes__", None)) == (way, *expected)
        assert (way, innermost_entry(info.value)) == (way, entry)


@pytest.mark.parametrize("call, message, refused_by", [
    (lambda m: m.FileCreator(1), "__init__() takes exactly 1 positional argument (2 given)",
     "FileCreator.__init__"),
    (lambda m: m.FileCreator(x=1), "__init__() got an unexpected keyword argument 'x'",
     "FileCreator.__init__"),
    (lambda m: m.FileCreator.create_file(filepath="a"),
     "create_file() takes exactly 2 positional arguments (0 given)", "FileCreator.create_file"),
    (lambda m: m.FileCreator().create_file(),
     "create_file() takes exactly 2 positional arguments (1 given)", "FileCreator.create_file"),
    (lambda m: m.FileCreator().create_files(("a",)),
     "Argument 'files' has incorrect type (expected list, got tuple)", "FileCreator.create_files"),
    (lambda m: m.get_version(1), "get_version() takes no arguments (1 given)", "get_version"),
    (lambda m: m.get_version(x=1), "get_version() takes no keyword arguments", "get_version"),
    (lambda m: m.main(1, 2), "main() takes no arguments (2 given)", "main"),
    (lambda m: m.main(1, x=1), "main() takes no keyword arguments", "main"),
    (lambda m: m.get_version(**{Str("x"): 1}), "get_version() takes no keyword arguments",
     "get_version"),
])
def test_documented_messages(mod, monkeypatch, call, message, refused_by):
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    with pytest.raises(TypeError) as info:
        call(mod)
    assert (str(info.value), innermost_entry(info.value)) == (message,
                                                              own_entry(ROWS[refused_by].func))


def test_keyword_binding_runs_the_body(mod, obj, monkeypatch, tmp_path):
    cls, text, expected = mod.FileCreator, "d/{a,b}.txt", ["d/a.txt", "d/b.txt"]
    assert [obj.parse_brace_expansion(text), obj.parse_brace_expansion(text=text),
            cls.parse_brace_expansion(text=text, self=obj),
            cls.parse_brace_expansion(obj, **{Str("text"): text})] == [expected] * 4
    assert mod.get_version(**{}) == mod.__version__
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(mod, "HAS_CLIPBOARD", False)
    obj.growl = None
    assert obj.create_file(filepath="k1") is True
    assert cls.create_file(self=obj, filepath="k2") is True
    assert cls.create_file(filepath="k3", self=obj) is True
    assert sorted(p.name for p in tmp_path.iterdir()) == ["k1", "k2", "k3"]


# The documented callables, each a row, by the qualified name their docstring begins with.
DOCS = {doc.partition("(")[0]: doc for doc in [
    "get_version()\n\nReturn the version string of crenly.\n"
    "Version is taken from the __version__.py file if it exists.\n"
    "The content of __version__.py should be:\nversion = \"0.33\"",
    "main()\n\nMain entry point",
    "FileCreator.__init__(self)",
    "FileCreator._init_growl(self)\n\nInitialize Growl notifier",
    "FileCreator.parse_brace_expansion(self, str text: str) -> List[str]\n\n"
    "Parse brace expansion patterns like: \n- dir/{file1,file2,file3}.txt\n"
    "- dir{file1,file2,file3} (assumes dir/ prefix)\n"
    "Also handles spaces after commas and validates the pattern\n"
    "Returns: List of expanded filenames",
    "FileCreator.create_file(self, str filepath: str) -> bool\n\n"
    "Create a blank file, creating parent directories if needed\n\nArgs:\n"
    "    filepath: Path to file to create\n    \nReturns:\n"
    "    True if successful, False otherwise",
    "FileCreator._notify(self, str filepath: str)\n\nSend desktop notification",
    "FileCreator.create_files(self, list files: List[str]) -> int\n\n"
    "Create multiple files\n\nReturns:\n    Number of successfully created files",
]}


@pytest.mark.parametrize("qualname", dict.fromkeys([*ROWS, *DOCS]))
def test_callable_attributes(mod, obj, qualname):
    # What the docstring's signature shows is what the function has.
    row = ROWS[qualname]
    func, params = row.func, list(row.params)
    assert (func.__name__, func.__qualname__, func.__module__, row.shown) == (
        row.name, qualname, "crenly.crenly", qualname)
    assert func.__doc__ == DOCS.get(qualname, func.__doc__)
    assert list(func.__annotations__.items()) == row.annotations
    code = func.__code__
    assert (code.co_filename, code.co_argcount, list(code.co_varnames[:len(params)])) == (
        "crenly/crenly", len(params), params)
    signature = inspect.signature(func).parameters.values()
    assert [(p.name, p.kind, p.default) for p in signature] == [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for p in params]
    assert weakref.ref(func)() is func  # as a Python function's, for holders of receivers
    if "." in qualname:
        bound = getattr(obj, row.name)
        assert (getattr(mod.FileCreator, row.name), bound.__self__, bound.__func__) == (func, obj, func)
        assert list(inspect.signature(bound).parameters) == params[1:]
        assert weakref.WeakMethod(bound)() == bound


def interrupt(*args):
    raise KeyboardInterrupt


class Uncountable:
    """A creator whose expansion fails in main's counting step."""
    def create_files(self, files):
        return len(files)

    def parse_brace_expansion(self, text):
        raise ValueError(text)


OWN = "crenly.crenly."
ESCAPES = {  # qualified name: (globals rebound, a call that raises out of it, its exception,
    #                            the traceback entries below the calling lambda)
    "get_version": ({"Path": interrupt}, lambda m, fc: m.get_version(), KeyboardInterrupt,
                    [OWN + "get_version", "interrupt"]),
    "FileCreator.__init__": ({"Path": 0}, lambda m, fc: m.FileCreator(), TypeError,
                             [OWN + "FileCreator.__init__"]),
    "FileCreator.parse_brace_expansion": ({"re": 0}, lambda m, fc: fc.parse_brace_expansion("{a}"),
                                          AttributeError,
                                          [OWN + "FileCreator.parse_brace_expansion"]),
    "FileCreator.create_files": ({}, lambda m, fc: fc.create_files([1]), TypeError,
                                 [OWN + "FileCreator.create_files"]),
    # sys.argv is ["p", "a{b,c}"]: the expression stands between main and the callee
    "main.<locals>.<genexpr>": ({"FileCreator": Uncountable}, lambda m, fc: m.main(), ValueError,
                                [OWN + "main", OWN + "main.<locals>.<genexpr>",
                                 "parse_brace_expansion"]),
}


@pytest.mark.parametrize("qualname", ESCAPES)
def test_escaping_exceptions_get_a_traceback_entry(mod, obj, monkeypatch, qualname):
    changes, call, raised, chain = ESCAPES[qualname]
    for name, value in changes.items():
        monkeypatch.setattr(mod, name, value)
    monkeypatch.setattr(sys, "argv", ["p", "a{b,c}"])
    with pytest.raises(BaseException) as info:
        call(mod, obj)
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]
    assert type(info.value) is raised
    assert [name for name, _ in entries[:2]] == [
        "test_escaping_exceptions_get_a_traceback_entry", "<lambda>"], entries
    assert entries[2:] == [(name, "crenly/crenly") if name.startswith(OWN) else (name, __file__)
                           for name in chain], entries


@pytest.mark.parametrize("qualname", ROWS)
def test_refused_calls_do_not_leak(mod, obj, qualname):
    value = "".join("value")  # a fresh, counted argument
    func = None if ROWS[qualname].params else ROWS[qualname].func
    calls = [(lambda: func(value),), (lambda: func(value, x=value),)] if func else [
        (*args, *kwargs.values(), call) for q, args, kwargs in ERROR_CALLS if q == qualname
        for call in three_ways(mod, obj, qualname, args, kwargs).values()]
    leaking = [(values, found) for *values, call in calls
               if (found := leaks(call, [obj, value, *(v for v in values if v is not SELF)]))]
    assert leaking == []
