"""The native road of create_file against the pathlib steps.

The same random batches run twice, in fresh directories: as they come, and
with the pathlib steps forced for every file. A caller must see the same:
console text (with --debug, the traceback and its context chain), results, the
exceptions create_file caught, the file system, clipboard and notifier calls,
audit events and what an observer (profile or trace function, sys.monitoring
tool) sees. Patches are made and undone partway through; an audit hook (which
cannot be removed) and a process bound by permission bits get processes of
their own: run as a script, `child MODE FOLDER`, this file is that process.
Whether the road stood in is read from create_file's `_shortcut_calls`.
"""

import contextlib
import functools
import gc
import genericpath
import io
import os
import pathlib
import posixpath
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

if __name__ == "__main__":  # a child of these tests: the helpers lie in the folders above
    sys.path[1:1] = [str(pathlib.Path(__file__).resolve().parents[i]) for i in (1, 2)]

import crenly.crenly as mod  # noqa: E402
from creation_helpers import HOLD_A_PROOF, TAKE_FUNCTION_WATCHERS  # noqa: E402
from helpers import INTERPRETER, child_env, force_pathlib, without_bytecode  # noqa: E402

if sys.platform == "win32":
    pytest.skip("create_file has no native road on Windows: it always takes the pathlib steps, "
                "which the other creation tests cover", allow_module_level=True)

OLD = 10**18  # the fixture's mtime (ns): any refresh moves it
COMPONENTS = ["a", "b", "f.txt", ".", "..", "", "x" * 256, "n\0l", "\udc80", "\ud800", "é", "file",
              "dir", "ro", "loop", "dangling", "null", "fifo"]
SEPARATORS = ["/", "//", "///"]
PATCHES = ["Path", "os.mkdir", "touch", "_parse_path"]
# sys.monitoring: a tool with global events, one freed with its events still
# set (they stay active up to 3.13; from 3.14 on freeing clears them, and the
# tool stays), one freed with events local to the code pathlib runs.
OBSERVERS = ["profile", "trace", "monitoring", "freed monitoring", "local monitoring"]
MONITORING_TOOLS = {"monitoring": 4, "freed monitoring": 5, "local monitoring": 2}  # 3: hypothesis
DEPTH = 4  # the most ".." a name can climb: the run's root lies this deep in its own folder


def road_calls():
    return mod.FileCreator.create_file._shortcut_calls


@st.composite
def names(draw):
    parts = draw(st.lists(st.sampled_from(COMPONENTS), max_size=DEPTH))
    name = parts[0] if parts else ""
    for part in parts[1:]:
        name += draw(st.sampled_from(SEPARATORS)) + part
    if draw(st.booleans()):
        name += "/" * draw(st.integers(1, 2))
    if draw(st.integers(0, 5)) == 0:
        name = "<ROOT>/" + name  # absolute, inside the run's own directory
    elif name.startswith("/"):
        # Never the machine's own root: the run's, or the run's behind the
        # root of two slashes that posixpath keeps.
        name = draw(st.sampled_from(["<ROOT>", "/<ROOT>"])) + name
    return name


def operations(audit):
    # A step is made before a file starts, or (True) inside its _notify.
    kinds = [st.tuples(st.just("create"), names()),
             st.tuples(st.sampled_from(["patch", "unpatch"]), st.sampled_from(PATCHES), st.booleans()),
             st.tuples(st.just("observe"), st.sampled_from(OBSERVERS), st.booleans())]
    if audit:
        kinds.append(st.just(("audit", "")))
    return st.lists(st.one_of(*kinds), max_size=10)


configs = st.fixed_dictionaries({
    "debug": st.booleans(), "batch": st.booleans(), "growl": st.booleans(),
    "clipboard": st.sampled_from([None, "copies", "fails"]),
    "umask": st.sampled_from([0o022, 0o002, 0o277]),  # 0o277: a directory made is unwritable
})


def build_fixture(root):
    (root / "file").write_bytes(b"kept")
    (root / "dir").mkdir()
    (root / "dir" / "inner").write_bytes(b"inner")
    (root / "ro" / "sub").mkdir(parents=True)
    (root / "loop").symlink_to("loop")
    (root / "dangling").symlink_to("missing")
    (root / "null").symlink_to(os.devnull)  # a file that is not regular
    os.mkfifo(root / "fifo")
    (root / "fifo").chmod(0o666)  # touched by anyone, so never opened (which would block)
    for entry in [*root.rglob("*"), root]:
        os.utime(entry, ns=(OLD, OLD), follow_symlinks=False)
    (root / "ro").chmod(0o555)


def snapshot(base):
    seen = {}
    for entry in sorted(base.rglob("*")):
        st_ = entry.lstat()
        kind = ("link" if entry.is_symlink() else "dir" if entry.is_dir()
                else "fifo" if entry.is_fifo() else "file")
        content = (os.readlink(entry) if kind == "link"
                   else entry.read_bytes() if kind == "file" else None)
        seen[str(entry.relative_to(base))] = (kind, content, st_.st_mode & 0o7777,
                                              st_.st_mtime_ns == OLD)
    return seen


class Hooked:
    """Process-wide audit recording: one hook, installed by the first "audit" step."""
    installed = False
    events = None  # a list while recording
    root = None

    @classmethod
    def hook(cls, event, args):
        if cls.events is None or event not in ("os.mkdir", "os.utime", "open", "os.chmod"):
            return
        shown = tuple(a.replace(cls.root, "<ROOT>") if isinstance(a, str) else a for a in args)
        if any(isinstance(a, str) and "<ROOT>" in a for a in shown) or not str(args[0]).startswith("/"):
            cls.events.append((event, shown))


# as_uri imports what it needs at its first call (urllib, from 3.13 on), which
# observers would see in whichever run came first: it is made here.
pathlib.Path(os.sep).resolve().as_uri()

# The files of the code the pathlib steps run (on 3.13 the path classes live in
# pathlib._local and pathlib._abc).
PATHLIB_FILES = {sys.modules[c.__module__].__file__ for c in pathlib.PosixPath.__mro__[:-1]} | {
    posixpath.__file__, genericpath.__file__}


def pathlib_codes():
    """The code of every function of the path classes, posixpath and genericpath."""
    owners = [*pathlib.PosixPath.__mro__, posixpath, genericpath]
    found = [getattr(v, "__func__", getattr(v, "fget", v)) for o in owners for v in vars(o).values()]
    return [f.__code__ for f in found if isinstance(f, types.FunctionType)]


class Observers:
    """The observers an "observe" step switches on for the rest of a batch,
    each recording the pathlib and posixpath functions it sees start."""

    def __init__(self):
        self.seen, self.stops = [], {}  # kind: how to switch it off

    def record(self, kind, code):
        if code.co_filename in PATHLIB_FILES:
            self.seen.append((kind, code.co_qualname))

    def start(self, kind):
        if kind in self.stops:
            return
        if kind in ("profile", "trace"):
            outer = getattr(sys, "get" + kind)()  # a tracer from outside (coverage, a debugger)
            switch = getattr(sys, "set" + kind)  # as a trace function: called at "call" only
            switch(lambda frame, event, arg: event == "call" and self.record(kind, frame.f_code))
            self.stops[kind] = lambda: switch(outer)
        else:
            mon, tool, start = sys.monitoring, MONITORING_TOOLS[kind], sys.monitoring.events.PY_START
            codes = pathlib_codes() if kind == "local monitoring" else []
            mon.use_tool_id(tool, "crenly test")
            mon.register_callback(tool, start, lambda code, offset: self.record(kind, code))
            for code in codes:
                mon.set_local_events(tool, code, start)
            if not codes:
                mon.set_events(tool, start)
            # Freed with its events still set, where they stay set (up to 3.13).
            freed = kind != "monitoring" and INTERPRETER.freed_tool_observes
            if freed:
                mon.free_tool_id(tool)

            def stop():
                if freed:
                    mon.use_tool_id(tool, "crenly test")
                for code in codes:
                    mon.set_local_events(tool, code, 0)
                mon.set_events(tool, 0)
                mon.register_callback(tool, start, None)
                mon.free_tool_id(tool)
            self.stops[kind] = stop

    def close(self):
        while self.stops:
            self.stops.popitem()[1]()


def run(ops, config, forced, base, root):
    """Runs one batch in `root`; returns everything a caller could see."""
    text_root = str(root)
    shown = lambda s: s.replace(text_root, "<ROOT>") if isinstance(s, str) else s  # noqa: E731
    seen = {"clipboard": [], "notify": [], "caught": [], "parsed": []}
    targets = {"Path": (mod, "Path"), "os.mkdir": (os, "mkdir"), "touch": (pathlib.Path, "touch"),
               "_parse_path": (pathlib.PurePath, "_parse_path")}  # each patched in place
    stacks = {kind: [] for kind in PATCHES}
    observers = Observers()

    def patch(kind):
        owner, name = targets[kind]
        real = vars(owner)[name]
        stacks[kind].append(real)
        setattr(owner, name,
                type("Patched", (real,), {"__slots__": ()}) if kind == "Path" else
                classmethod(lambda cls, path: seen["parsed"].append(shown(path)) or real.__func__(cls, path))
                if kind == "_parse_path" else functools.wraps(real)(lambda *a, **k: real(*a, **k)))

    def unpatch(kind):
        if stacks[kind]:
            setattr(*targets[kind], stacks[kind].pop())

    def audit():
        if not Hooked.installed:
            sys.addaudithook(Hooked.hook)
            Hooked.installed = True
        Hooked.root, Hooked.events = text_root, []

    def format_exc():
        e = sys.exception()
        chain = []
        while e is not None:
            chain.append((type(e).__name__, getattr(e, "errno", None), getattr(e, "strerror", None),
                          shown(getattr(e, "filename", None)), type(getattr(e, "filename", None)).__name__,
                          e.__suppress_context__))
            e = e.__context__
        seen["caught"].append(chain)
        return traceback.format_exc()

    def copy(text):
        seen["clipboard"].append(shown(text))
        if config["clipboard"] == "fails":
            raise OSError(5, "no clipboard")

    def notify(**kw):
        seen["notify"].append({k: shown(v) for k, v in kw.items()})
        apply_due(in_notify=True)

    creates = [op[1].replace("<ROOT>", text_root) for op in ops if op[0] == "create"]
    # The steps before each file (or in its _notify), by the index of that
    # file; the rest at the end.
    schedule, index = {}, 0
    for op in ops:
        if op[0] == "create":
            index += 1
        else:
            schedule.setdefault((index, op[2:] == (True,)), []).append(op[:2])
    done = [0]
    actions = {"patch": patch, "unpatch": unpatch, "audit": lambda _: audit(),
               "observe": observers.start}

    def apply_due(in_notify=False):
        for kind, arg in schedule.pop((done[0], in_notify), []):
            actions[kind](arg)

    class Console(io.StringIO):
        """Applies the steps scheduled before file n once the line of file n - 1 is written."""
        def write(self, text):
            n = super().write(text)
            if text.startswith(("\u2713", "\u2717")):
                done[0] += 1
                apply_due()
            return n

    console, mp, calls = Console(), pytest.MonkeyPatch(), road_calls()
    umask = os.umask(config["umask"])
    try:
        mp.chdir(root)
        mp.setattr(mod, "HAS_GROWL", False)  # no registration: the notifier is a recorder
        creator = mod.FileCreator()
        if config["growl"]:
            creator.growl = types.SimpleNamespace(notify=notify)
        for name, value in [("HAS_GROWL", config["growl"]), ("Path", mod.Path),
                            ("HAS_CLIPBOARD", config["clipboard"] is not None),
                            ("clipboard", types.SimpleNamespace(copy=copy)),
                            ("traceback", types.SimpleNamespace(format_exc=format_exc))]:
            mp.setattr(mod, name, value, raising=False)
        mp.setattr(sys, "argv", ["crenly", "--debug"] if config["debug"] else ["crenly"])
        if forced:
            force_pathlib(mod)
        apply_due()
        with contextlib.redirect_stdout(console):
            try:
                if config["batch"]:
                    seen["results"] = creator.create_files(creates)
                else:
                    seen["results"] = [creator.create_file(name) for name in creates]
            except BaseException as e:  # noqa: BLE001 (compared, not hidden)
                seen["escaped"] = (type(e).__name__, shown(str(e)))
            finally:
                observers.close()
        schedule.pop((done[0], False), None)
        if any(kind == "audit" for ops_ in schedule.values() for kind, _ in ops_):
            audit()  # of the steps left over only an audit shows: no events recorded
    finally:
        observers.close()
        os.umask(umask)
        for kind, stack in stacks.items():
            if stack:
                setattr(*targets[kind], stack[0])
        mp.undo()
        events, Hooked.events = Hooked.events, None
    seen.update(console=shown(console.getvalue()), audit=events, observed=observers.seen,
                files=snapshot(base))
    return seen, road_calls() - calls


TOTALS = {"native": 0, "forced": 0}


def compare(ops, config, folder):
    outcomes = {}
    for forced in (False, True):
        # A root of its own, deep enough that no ".." of a name leaves its folder.
        base = pathlib.Path(tempfile.mkdtemp(prefix="crenly-road-", dir=folder)).resolve()
        root = base.joinpath(*["up"] * DEPTH, "root")
        try:
            root.mkdir(parents=True)
            build_fixture(root)
            outcomes[forced] = run(ops, config, forced, base, root)
        finally:
            for entry in [base, *base.rglob("*")]:
                if entry.is_dir() and not entry.is_symlink():
                    entry.chmod(0o755)
            shutil.rmtree(base)
    (native, native_calls), (forced, forced_calls) = outcomes[False], outcomes[True]
    assert native == forced
    assert forced_calls == 0
    TOTALS["native"] += native_calls
    TOTALS["forced"] += forced_calls


def differential(audit, examples, folder):
    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(operations(audit), configs)
    def check(ops, config):
        compare(ops, config, folder)

    check()


def test_the_road_shows_what_the_pathlib_steps_show(tmp_path):
    TOTALS.update(native=0, forced=0)
    differential(audit=False, examples=300, folder=tmp_path)
    assert TOTALS["native"] > 0, TOTALS  # the road stood in


def test_with_an_audit_hook_installed_partway(child, tmp_path):
    run = child(pathlib.Path(__file__), "child", "audit", str(tmp_path), cwd=tmp_path, timeout=600)
    assert "road calls" in run.ok().stdout


def test_as_an_unprivileged_user(child, unprivileged, tmp_path):
    run = child(pathlib.Path(__file__), "child", "plain", str(tmp_path), prefix=unprivileged,
                cwd=tmp_path, timeout=600)
    assert "road calls" in run.ok().stdout


# ---- Each patch and each observer is honoured the moment it is made, and
# forgotten once undone.

def wrapped(f):
    return functools.wraps(f)(lambda *a, **k: f(*a, **k))


def observer(kind):
    observers = Observers()
    observers.start(kind)
    return contextlib.closing(observers)


PATCHES_ONE_BY_ONE = {
    "global Path": lambda mp, c: mp.setattr(mod, "Path", type("P", (pathlib.PosixPath,), {})),
    "global Path deleted": lambda mp, c: mp.delattr(mod, "Path"),
    "abstract path class": lambda mp, c: mp.setattr(pathlib.Path().__class__, "__abstractmethods__",
                                                    frozenset({"frob"}), raising=False),
    "os.mkdir": lambda mp, c: mp.setattr(os, "mkdir", wrapped(os.mkdir)),
    "os.stat": lambda mp, c: mp.setattr(os, "stat", wrapped(os.stat)),
    "os.getcwd": lambda mp, c: mp.setattr(os, "getcwd", wrapped(os.getcwd)),
    "os.name": lambda mp, c: mp.setattr(os, "name", "nt"),
    "Path.touch": lambda mp, c: mp.setattr(pathlib.Path, "touch", wrapped(pathlib.Path.touch)),
    "Path.is_file": lambda mp, c: mp.setattr(pathlib.Path, "is_file", wrapped(pathlib.Path.is_file)),
    # A genuine function under another name: refused by the proof made afresh.
    "is_file = is_dir": lambda mp, c: mp.setattr(owner(pathlib.PosixPath, "is_file"), "is_file",
                                                 pathlib.Path.is_dir),
    "PurePath.parent": lambda mp, c: mp.setattr(pathlib.PurePath, "parent", property(lambda self: self)),
    "PosixPath.__fspath__": lambda mp, c: mp.setattr(pathlib.PosixPath, "__fspath__", wrapped(str)),
    "PosixPath.__getattr__": lambda mp, c: mp.setattr(pathlib.PosixPath, "__getattr__", lambda s, n: 1,
                                                     raising=False),
    "touch.__defaults__": lambda mp, c: mp.setattr(pathlib.Path.touch, "__defaults__", (0o600, True)),
    "mkdir.__code__": lambda mp, c: mp.setattr(pathlib.Path.mkdir, "__code__",
                                               pathlib.Path.mkdir.__code__.replace(co_name="renamed")),
    # the __class__ cell of Path.__init__ (its super()), where Path has an __init__
    **({"Path.__init__ cell": lambda mp, c: mp.setattr(pathlib.Path.__init__.__closure__[0],
                                                       "cell_contents", pathlib.PurePath)}
       if INTERPRETER.path_init else {}),
    # os of the module that defines the path classes (pathlib, or pathlib._local on 3.13)
    "pathlib.os": lambda mp, c: mp.setattr(sys.modules[pathlib.PosixPath.__module__], "os",
                                           types.SimpleNamespace(**vars(os))),
    "os module type": lambda mp, c: mp.setattr(os, "__class__", type("M", (types.ModuleType,), {})),
    "builtins.isinstance": lambda mp, c: mp.setattr("builtins.isinstance", wrapped(isinstance)),
    "posixpath.splitroot": lambda mp, c: mp.setattr("posixpath.splitroot", wrapped(os.path.splitroot)),
    "sys.intern": lambda mp, c: mp.setattr(sys, "intern", wrapped(sys.intern)),
    "stat's follow_symlinks": lambda mp, c: mp.setitem(pathlib.Path.stat.__kwdefaults__, "follow_symlinks", False),
    "os.stat_result.st_mode": lambda mp, c: mp.setattr(os.stat_result, "st_mode", property(lambda s: 0o100644)),
    "profile function": lambda mp, c: mp.enter_context(observer("profile")),
    "trace function": lambda mp, c: mp.enter_context(observer("trace")),
    "sys.monitoring tool": lambda mp, c: mp.enter_context(observer("monitoring")),
    "sys.monitoring tool freed": lambda mp, c: mp.enter_context(observer("freed monitoring")),
    "sys.monitoring local events": lambda mp, c: mp.enter_context(observer("local monitoring")),
}


# Patches of what this version's pathlib steps never use: the road stays taken.
UNUSED = {case for case, used in [("sys.intern", INTERPRETER.interns),
                                  ("stat's follow_symlinks", INTERPRETER.stat_in_is_dir)] if not used}


def owner(cls, name):
    return next(k for k in cls.__mro__ if name in vars(k))


def recording(calls, f):
    def record(*args):
        calls.append(args)
        return f(*args)
    return record


# Patches of what is looked up on the instance as Python does (_notify by the
# steps after creation, create_file by its callers and by create_files): the
# road stays taken, and the patch is called with the file's path.
PATCHES_CALLED_ON_THE_ROAD = {
    "instance _notify": lambda mp, c, calls: mp.setattr(c, "_notify", recording(calls, lambda path: None),
                                                        raising=False),
    "class _notify": lambda mp, c, calls: mp.setattr(mod.FileCreator, "_notify",
                                                     recording(calls, lambda self, path: None)),
    "instance create_file": lambda mp, c, calls: mp.setattr(
        c, "create_file", recording(calls, mod.FileCreator.create_file.__get__(c)), raising=False),
}


def create_counting(creator, name):
    calls = road_calls()
    with contextlib.redirect_stdout(io.StringIO()):
        creator.create_file(name)
    return road_calls() - calls


def road_back(creator, name):
    """Whether the road takes one of the next files: after a failed or
    short-lived proof it waits a few uses (at most 256) before the next."""
    return any(create_counting(creator, f"{name}{i}") for i in range(260))


@pytest.mark.parametrize("case", sorted(PATCHES_ONE_BY_ONE) + sorted(PATCHES_CALLED_ON_THE_ROAD))
def test_a_patch_takes_effect_at_once_and_leaves_no_trace(case, creator, tmp_path):
    assert road_back(creator, "warm")  # the road stands
    assert create_counting(creator, "before.txt") == 1  # the native road
    with contextlib.ExitStack() as stack:  # undone: the contexts, then the patches
        patch = stack.enter_context(pytest.MonkeyPatch.context())
        patch.enter_context = stack.enter_context
        if case in PATCHES_CALLED_ON_THE_ROAD:
            calls = []
            PATCHES_CALLED_ON_THE_ROAD[case](patch, creator, calls)
            assert create_counting(creator, "during.txt") == 1
            assert [args[-1] for args in calls] == ["during.txt"]
            assert (tmp_path / "during.txt").is_file()
        else:
            PATCHES_ONE_BY_ONE[case](patch, creator)
            assert create_counting(creator, "during.txt") == (case in UNUSED)
        if case in ("global Path deleted", "abstract path class"):  # refused, reported
            assert not os.path.exists(os.path.join(tmp_path, "during.txt"))
    assert road_back(creator, "after")  # the road again
    assert (tmp_path / "after0").is_file()


# ---- Patches made while a call runs: by another thread, a signal handler,
# or a garbage collection. Whichever way the patch lands, a patch made before
# a file's parent directory existed must be the touch that creates that file,
# as it is for the pathlib steps. A batch of files gives a patch many places
# to land: during a system call (the road lets go of the interpreter lock
# for another thread), or while a handler waits for the next file's start.

@contextlib.contextmanager
def patch_source(source, fire, window):
    """Yields `arm`, which makes `source` call `fire` at a random moment of the
    next `window` seconds."""
    due = [float("inf")]

    def arm():
        due[0] = time.perf_counter() + random.random() * window
    with contextlib.ExitStack() as undo:
        if source == "signal":
            undo.callback(signal.signal, signal.SIGALRM,
                          signal.signal(signal.SIGALRM, lambda *_: fire()))
            undo.callback(signal.setitimer, signal.ITIMER_REAL, 0)
            yield lambda: signal.setitimer(signal.ITIMER_REAL, random.random() * window + 1e-6)
            return
        if source == "thread":
            stop = threading.Event()

            def keep_firing():
                while not stop.is_set():
                    if time.perf_counter() < due[0] or not fire():
                        time.sleep(0)  # lets go of the interpreter lock
            thread = threading.Thread(target=keep_firing, daemon=True)
            thread.start()
            undo.callback(thread.join)
            undo.callback(stop.set)
        else:
            def callback(phase, info):
                return phase == "start" and time.perf_counter() >= due[0] and fire()
            undo.callback(gc.set_threshold, *gc.get_threshold())
            gc.callbacks.append(callback)
            undo.callback(gc.callbacks.remove, callback)
            gc.set_threshold(1)
        yield arm


@pytest.mark.parametrize("source", ["thread", "signal", "gc"])
def test_a_patch_made_mid_call_is_honoured(source, road, creator, fast_switches, monkeypatch):
    genuine = pathlib.Path.touch
    current = [{"armed": False}]  # the batch under way: each has a dictionary of its own

    def fire():
        """Patches touch once per batch; records the parents not made yet."""
        batch_ = current[0]
        if not batch_["armed"] or "absent" in batch_:
            return False
        batch_["absent"] = []

        def recorder(self, *args, **kwargs):
            batch_["touched"].append(str(self))
            return genuine(self, *args, **kwargs)
        pathlib.Path.touch = recorder
        batch_["absent"] = [t for t in batch_["targets"] if not os.path.isdir(os.path.dirname(t))]
        return True

    def batch(i):
        # Each parent is missing and its own parent there: the road makes it.
        return [f"t{i}.{k}/f.txt" for k in range(6)]

    # The first batches prove the road; the quickest of them sets the window,
    # so that one slow start does not put most patches after their batch.
    durations = []
    with contextlib.redirect_stdout(io.StringIO()):
        for k in range(3):
            start = time.perf_counter()
            creator.create_files(batch(f"warm{k}"))
            durations.append(time.perf_counter() - start)
    window = 1.5 * min(durations)
    monkeypatch.setattr(pathlib.Path, "touch", genuine)  # put back, whatever happens
    missed, mid_batch = [], 0
    with patch_source(source, fire, window) as arm, contextlib.redirect_stdout(io.StringIO()):
        for i in range(100):
            this = {"armed": True, "targets": batch(i), "touched": []}
            current[0] = this
            arm()
            creator.create_files(this["targets"])
            this["armed"] = False
            pathlib.Path.touch = genuine
            absent = this.get("absent", [])
            mid_batch += 0 < len(absent) < len(this["targets"])
            missed += [t for t in absent if t not in this["touched"]]
    assert missed == [], f"{len(missed)} files made with the genuine touch after the patch"
    if source != "gc" or road == "pathlib":  # a collection runs in Python code only
        assert mid_batch > 0, "no patch landed inside a batch"


# ---- Limits and hostile cases, in a fresh process each, on both roads.

def on_both_roads(child, tmp_path, code, *argv, **kw):
    """What `code` prints (the clipboard off, after the road's prelude, whose
    creator is fc), the same on each road (each in a folder of its own), and
    the number of calls the native road stood in for."""
    outputs = {}
    for road in ("native", "pathlib"):
        (tmp_path / road).mkdir()
        run = child("m.HAS_CLIPBOARD = False\n" + code, *argv, road=road, cwd=tmp_path / road, **kw)
        outputs[road] = (run.parts()[1].replace(str(tmp_path / road), "<WORK>"), run.calls)
    assert outputs["native"][0] == outputs["pathlib"][0] and outputs["pathlib"][1] == 0, outputs
    return outputs["native"]


# The two limits that the pathlib steps may reach: the Python frames (a low
# recursion limit), and the C stack (each level entering the interpreter from
# C, up to the deepest level that the interpreter allows, found first). Each
# is a recursion to a depth that ends in create_file, and the depths to try.
LIMITS = {
    "python frames": """
sys.setrecursionlimit(60)
def at_depth(depth, name):
    if depth:
        return at_depth(depth - 1, name)
    return fc.create_file(name)
def depths():
    return range(40, 60)
""",
    "c stack": """
sys.setrecursionlimit(10**6)
def at_depth(depth, name):
    if depth:
        return next(map(at_depth, [depth - 1], [name]))
    return fc.create_file(name)
def dive(depth):
    try:
        return next(map(dive, [depth + 1]))
    except RecursionError:
        return depth
def depths():
    top = dive(0)
    return range(top - 237, top + 1, 3)
""",
}


# A new file (in a new folder), and a name too long for stat, which the road
# hands over to pathlib's is_dir: each outcome is the same on both roads, and
# the limit lies in the range (in a thread of a fixed stack). Without
# compiled files the road is proved all the same, on code compiled from
# pathlib's source.
@pytest.mark.parametrize("limit, name, bytecode", [
    ("python frames", "d{depth}.txt", "compiled"),
    ("python frames", "x" * 300 + "{depth}", "compiled"),
    ("python frames", "d{depth}.txt", "source only"),
    ("c stack", "d{depth}/f.txt", "compiled"),
])
def test_near_the_recursion_limit_the_roads_agree(child, tmp_path, limit, name, bytecode):
    env = child_env() if bytecode == "compiled" else without_bytecode(tmp_path / "cache")
    text, calls = on_both_roads(child, tmp_path, LIMITS[limit] + """
import re, threading
def scan():
    for depth in depths():
        with contextlib.redirect_stdout(io.StringIO()) as line:
            try:
                result = at_depth(depth, NAME.format(depth=depth))
            except RecursionError:
                result = "escaped"
        reason = line.getvalue().split('": ', 1)[-1].split(":")[0][:40].strip()
        print(depth, result, re.sub(r"[0-9]+", "N", reason), os.path.exists(NAME.format(depth=depth)))
threading.stack_size(8 * 2**20)
thread = threading.Thread(target=scan)
thread.start()
thread.join()
""".replace("NAME", repr(name)), env=env)
    outcomes = {line.split(" ", 1)[1] for line in text.splitlines()}
    assert len(outcomes) > 1 and calls > 0, text


def test_a_lookup_that_replaces_the_mro_mid_walk(child, tmp_path):
    # A key of PosixPath's own dictionary whose __eq__ gives the class its
    # bases anew (a new MRO) when a lookup of "touch" compares with it.
    text, _ = on_both_roads(child, tmp_path, """
class Key(str):
    def __hash__(self):
        return hash("touch")
    def __eq__(self, other):
        pathlib.PosixPath.__bases__ = pathlib.PosixPath.__bases__
        gc.collect()
        return False
gc.get_referents(pathlib.PosixPath.__dict__)[0][Key("odd")] = None
for name in ("a.txt", "b/c.txt", "a.txt"):
    print(fc.create_file(name))
""")
    assert "\u2713 File created" in text and "False" not in text


# Every function-watcher slot taken by another extension before the first
# proof: no proof then, so a code object replaced meanwhile is run (the
# change goes unseen by the module); once a slot is free, the road returns.
def test_with_every_function_watcher_taken(child, tmp_path):
    text, calls = on_both_roads(child, tmp_path, TAKE_FUNCTION_WATCHERS + """
def is_file(self, *args, **kwargs):
    print("is_file replaced")
    return False
genuine, touch = pathlib.Path.is_file.__code__, pathlib.Path.touch
with contextlib.redirect_stdout(io.StringIO()):
    for step in range(3):
        fc.create_file(f"before{step}")
        pathlib.Path.touch = lambda *args, **kwargs: None  # a change a proof would see
        pathlib.Path.touch = touch
pathlib.Path.is_file.__code__ = is_file.__code__
print(fc.create_file("replaced"))
pathlib.Path.is_file.__code__ = genuine
for slot in taken:
    ctypes.pythonapi.PyFunction_ClearWatcher(slot)
with contextlib.redirect_stdout(io.StringIO()):
    for step in range(300):
        fc.create_file(f"after{step}")
""")
    assert "is_file replaced" in text and calls > 0, text


def test_a_proof_overtaken_by_a_patch_is_dropped(child, tmp_path):
    # A proof on another thread waits inside a lookup of posixpath's "sep"
    # (after it has read os.mkdir) while os.mkdir is patched; the pathlib
    # steps call the patch from then on.
    text, _ = on_both_roads(child, tmp_path, HOLD_A_PROOF + """
import posixpath
genuine, made = os.mkdir, []
proving = held(posixpath, "sep", fc.create_file, "a/x.txt")
os.mkdir = lambda path, *args: made.append(os.fspath(path)[-1]) or genuine(path, *args)
print(fc.create_file("b/x.txt"))
patched.set()
proving.join()
print(fc.create_file("c/x.txt"))
print(sorted(set(made) - {"a"}))
""")
    assert "['b', 'c']" in text, text


# An LD_PRELOAD shim: close() of a descriptor opened on "*.closefail" fails
# with EIO (after closing it); a successful utimensat() on "*.swap" leaves a
# FIFO in the file's place; the first open() of "*.eintr" and the first stat()
# of "*.statintr" are interrupted by SIGUSR1 (EINTR); utimensat() calls on
# "*.eintr" are counted.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int failing = -1, interrupted = 0, utime_calls = 0;

int shim_utime_calls(void) { return utime_calls; }

static int ends_with(const char* s, const char* end) {
    size_t n = strlen(s), m = strlen(end);
    return n >= m && strcmp(s + n - m, end) == 0;
}

/* The first call on a path ending in `end` is interrupted by a signal. */
static int interrupt(const char* path, const char* end) {
    if (interrupted || !ends_with(path, end)) return 0;
    interrupted = 1;
    raise(SIGUSR1);
    errno = EINTR;
    return 1;
}

#define OPEN(name) \
    int name(const char* path, int flags, ...) { \
        va_list args; va_start(args, flags); mode_t mode = va_arg(args, mode_t); va_end(args); \
        if (interrupt(path, ".eintr")) return -1; \
        int (*real)(const char*, int, ...) = dlsym(RTLD_NEXT, #name); \
        int fd = real(path, flags, mode); \
        if (fd >= 0 && ends_with(path, ".closefail")) failing = fd; \
        return fd; \
    }
OPEN(open)
OPEN(open64)

#define STAT(name, type) \
    int name(const char* path, type* st) { \
        if (interrupt(path, ".statintr")) return -1; \
        int (*real)(const char*, type*) = dlsym(RTLD_NEXT, #name); \
        return real(path, st); \
    }
STAT(stat, struct stat)
STAT(stat64, struct stat64)

int close(int fd) {
    int (*real)(int) = dlsym(RTLD_NEXT, "close");
    int result = real(fd);
    if (fd == failing) { failing = -1; errno = EIO; return -1; }
    return result;
}

int utimensat(int dir, const char* path, const struct timespec times[2], int flags) {
    int (*real)(int, const char*, const struct timespec*, int) = dlsym(RTLD_NEXT, "utimensat");
    utime_calls += path != NULL && ends_with(path, ".eintr");
    int result = real(dir, path, times, flags);
    if (result == 0 && path != NULL && ends_with(path, ".swap")) { unlink(path); mkfifo(path, 0666); }
    return result;
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the system-call shim")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-O1", str(folder / "shim.c"), "-o", str(folder / "shim.so"),
                    "-ldl"], check=True)
    return folder / "shim.so"


def handler_raising(exception):
    return f"import signal\ndef handler(*args):\n    raise {exception}\nsignal.signal(signal.SIGUSR1, handler)\n"


# A failure after the effect, and a signal during a system call: the handler
# runs there (pathlib's entry at the call) and the call is made again when it
# returns; an error that pathlib's own except clause takes is taken so.
@pytest.mark.parametrize("name, prepare, shown, result", [
    ("new.closefail", "", ["OSError: [Errno 5] Input/output error", "in touch\n    os.close(fd)\n"], False),
    ("kept.swap", "open('kept.swap', 'w').close()\n",
     ["OSError: [Errno 22] Invalid argument: 'kept.swap'"], False),
    ("new.eintr", handler_raising("RuntimeError('handler')"),
     ["in touch\n    fd = os.open(self, flags, mode)\n", "RuntimeError: handler", "utime calls: 1"], False),
    ("new.eintr", handler_raising("KeyboardInterrupt"),
     ["in touch\n    fd = os.open(self, flags, mode)\n", "KeyboardInterrupt"], None),
    ("new.eintr", "import signal\nsignal.signal(signal.SIGUSR1, lambda *args: None)\n", ["utime calls: 1"], True),
    ("new.statintr", handler_raising("FileNotFoundError(2, 'from the handler')"), [], True),
    # an error that is_dir's filter raises up to 3.13, and genericpath's isdir swallows from 3.14 on
    ("new.statintr", handler_raising("PermissionError(13, 'from the handler')"), [], None),
])
def test_a_failure_and_a_signal_look_the_same(child, tmp_path, shim, name, prepare, shown, result):
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    code = prepare + f"""
try:
    print(fc.create_file({name!r}))
except BaseException:
    print(__import__("traceback").format_exc())
print("utime calls:", __import__("ctypes").CDLL(None).shim_utime_calls())"""
    out, calls = on_both_roads(child, tmp_path, code, "--debug", env=child_env(LD_PRELOAD=preload))
    assert calls > 0 and all(text in out for text in shown), out  # the road stood in
    if result is not None:
        assert f"\n{result}\nutime calls:" in out


# ---- The audit-hook and unprivileged children.

# The hook goes in after two files, before four more: the first batch of the process.
FIRST_AUDIT = [("create", "a.txt"), ("create", "n/b.txt"), ("audit", ""), ("create", "c.txt"),
               ("create", "file/x"), ("create", "ro/y"), ("create", "n/m/z")]

if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    mode, folder = sys.argv[2], sys.argv[3]
    if mode == "audit":
        compare([("create", "warm")] + FIRST_AUDIT,
                {"debug": True, "batch": True, "clipboard": None, "growl": False, "umask": 0o022},
                folder)
        assert TOTALS["native"] > 0, TOTALS
    TOTALS.update(native=0, forced=0)
    differential(audit=(mode == "audit"), examples=120, folder=folder)
    print("road calls", TOTALS)
