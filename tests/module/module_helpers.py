"""Plain helpers of the module-shell tests: the callables of the module's table
(crenly/module/table.cpp), each with the signature that the first line of its
docstring shows, and a plain model of the argument binder."""

import re
from types import SimpleNamespace

from crenly import crenly as mod
from helpers import REPO, SUBCLASS_NOTE

TABLE = REPO / "crenly" / "module" / "table.cpp"
# "FileCreator.create_file(self, str filepath: str) -> bool": a checked
# parameter shows its exact type before its name and its annotation after it.
SIGNATURE = re.compile(r"([\w.]+)\((.*)\)(?: -> (.+))?")
PARAMETER = re.compile(r"(?:(str|list) )?(\w+)(?:: (.+))?")


def row(qualname):
    """A callable of the table: its function object as the module body defined
    it, and what the first line of its docstring shows."""
    owner, _, name = qualname.rpartition(".")
    func = vars(getattr(mod, owner) if owner else mod).get(name)
    assert func is not None, f"the module body does not define the row {qualname}"
    signature = SIGNATURE.fullmatch(func.__doc__.partition("\n")[0])
    assert signature, f"the docstring of the row {qualname} does not begin with its signature"
    shown, params, returns = signature.groups()
    parsed = [PARAMETER.fullmatch(param).groups() for param in params.split(", ") if param]
    return SimpleNamespace(
        qualname=qualname, name=name, func=func, shown=shown, params=tuple(p for _, p, _ in parsed),
        checks={p: {"str": str, "list": list}[check] for check, p, _ in parsed if check},
        annotations=[(p, text) for _, p, text in parsed if text]
        + [("return", returns)] * bool(returns))


# Every row, in the order of the table.
ROWS = {q: row(q) for q in re.findall(r'\.qualname = "([^"]+)"', TABLE.read_text())}


class Str(str):
    pass


class List(list):
    pass


def model(row, args, kwargs):
    """(message, notes) of the TypeError of a call (of a method, through the
    class), or None when the call binds."""
    name, params = row.name, row.params
    if not params:
        if kwargs:
            return f"{name}() takes no keyword arguments", None
        if args:
            return f"{name}() takes no arguments ({len(args)} given)", None
        return None
    n = len(params)

    def count(given):
        return f"{name}() takes exactly {n} positional argument{'s' * (n - 1)} ({given} given)", None
    if len(args) > n or (not kwargs and len(args) != n):
        return count(len(args))
    bound = dict(zip(params, args))
    for key, value in kwargs.items():
        if key in bound:
            return f"{name}() got multiple values for keyword argument '{key}'", None
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'", None
        bound[key] = value
    missing = [i for i, param in enumerate(params) if param not in bound]
    if missing:
        return count(missing[0])
    for param, want in row.checks.items():
        if type(bound[param]) is not want:
            return (f"Argument '{param}' has incorrect type (expected {want.__name__}, "
                    f"got {type(bound[param]).__name__})",
                    [SUBCLASS_NOTE] if isinstance(bound[param], want) else None)
    return None
