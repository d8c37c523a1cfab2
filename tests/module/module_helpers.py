"""Plain helpers of the module-shell tests: stand-in optional packages, the
report prelude of a child, a leak check, and a plain model of the argument
binder of the eight callables."""

import gc
import sys
import tracemalloc

from helpers import SUBCLASS_NOTE

MARK = "--report--"
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


PARAMS = {"__init__": ("self",), "_init_growl": ("self",),
          "parse_brace_expansion": ("self", "text"), "create_file": ("self", "filepath"),
          "_notify": ("self", "filepath"), "create_files": ("self", "files")}
EXPECTED_TYPE = {"text": str, "filepath": str, "files": list}


class Str(str):
    pass


class List(list):
    pass


def model(name, args, kwargs):
    """(message, notes) of the TypeError of a method call through the class, or
    None when the call binds."""
    params = PARAMS[name]
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
