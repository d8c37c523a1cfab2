"""Plain helpers of the module-shell tests: a plain model of the argument
binder of the eight callables."""

from helpers import SUBCLASS_NOTE

# The parameters of each callable; the two module functions take none.
PARAMS = {"get_version": (), "__init__": ("self",), "_init_growl": ("self",),
          "parse_brace_expansion": ("self", "text"), "create_file": ("self", "filepath"),
          "_notify": ("self", "filepath"), "create_files": ("self", "files"), "main": ()}
EXPECTED_TYPE = {"text": str, "filepath": str, "files": list}


class Str(str):
    pass


class List(list):
    pass


def model(name, args, kwargs):
    """(message, notes) of the TypeError of a call (of a method, through the
    class), or None when the call binds."""
    params = PARAMS[name]
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
    want, value = EXPECTED_TYPE.get(params[-1]), bound[params[-1]]
    if want and type(value) is not want:
        return (f"Argument '{params[-1]}' has incorrect type (expected {want.__name__}, "
                f"got {type(value).__name__})", [SUBCLASS_NOTE] if isinstance(value, want) else None)
    return None
