"""Plain helpers of the creation tests: the limits of brace expansion, and code
that children of the road and expansion tests share."""

LIMIT_MESSAGE = "brace pattern expands to more than 1000000 paths"
CHAR_LIMIT_MESSAGE = "brace pattern expands to more than 100000000 characters"

# Every function-watcher slot taken by other extensions (`taken` holds the
# slots): no proof can be made until one is free.
TAKE_FUNCTION_WATCHERS = """
import ctypes
Watcher = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
ctypes.pythonapi.PyFunction_AddWatcher.argtypes = [Watcher]
watching, taken = Watcher(lambda *args: 0), []
while True:
    try:
        taken.append(ctypes.pythonapi.PyFunction_AddWatcher(watching))
    except RuntimeError:  # every slot is taken
        break
"""
# held(namespace, name, target, *args) runs target(*args), which makes a proof,
# on a thread of its own, and returns that thread once it waits inside a lookup
# of `name` in `namespace` (a key colliding with the name is looked at first);
# the thread goes on at patched.set().
HOLD_A_PROOF = """
import threading
waiting, patched = threading.Event(), threading.Event()
def held(namespace, name, target, *args):
    class Key(str):
        armed = False  # once in place: putting it there compares it
        def __hash__(self):
            return hash(name)
        def __eq__(self, other):
            if self.armed and not waiting.is_set():
                waiting.set()
                patched.wait()
            return False
    value = vars(namespace).pop(name)
    vars(namespace)[Key("odd")] = None  # looked at before the name from now on
    vars(namespace)[name] = value
    Key.armed = True
    thread = threading.Thread(target=target, args=args)
    thread.start()
    waiting.wait()
    return thread
"""
