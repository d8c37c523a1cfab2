"""The native road of create_file against the Python-level steps.

The same random batches run twice, each in a fresh directory: once as they
come (the native road wherever it may be taken) and once with the global
`Path` bound to a subclass that adds nothing, which forces the Python-level
steps for every file, as any patch does. Everything a caller can see must be
the same: console text (with --debug, the traceback and its context chain),
results, the exceptions create_file caught, the file system, clipboard and
notifier calls, and audit events. Patches of `Path`, `os.mkdir` and
`pathlib.Path.touch` are made and undone partway through; so is an audit
hook (in a process of its own, since a hook cannot be removed), and the
unwritable directory is tried by an unprivileged user (also a process of its
own). Run as a script, this file is that process: `child MODE`.
"""

import contextlib
import functools
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import traceback
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import crenly.crenly as mod

if sys.platform == "win32":
    pytest.skip("create_file has no native road on Windows: it always takes the pathlib steps, "
                "which the other creation tests cover", allow_module_level=True)

OLD = 10**18  # the fixture's mtime (ns): any refresh moves it
COMPONENTS = ["a", "b", "f.txt", ".", "..", "", "x" * 256, "n\0l", "\udc80", "\ud800", "é", "file",
              "dir", "ro", "loop", "dangling", "null"]
SEPARATORS = ["/", "//", "///"]
PATCHES = ["Path", "os.mkdir", "touch"]
TOUCH_CODE = pathlib.Path.touch.__code__


@st.composite
def names(draw):
    parts = draw(st.lists(st.sampled_from(COMPONENTS), max_size=4))
    name = parts[0] if parts else ""
    for part in parts[1:]:
        name += draw(st.sampled_from(SEPARATORS)) + part
    if draw(st.booleans()):
        name += "/" * draw(st.integers(1, 2))
    if draw(st.integers(0, 5)) == 0:
        name = "<ROOT>/" + name  # absolute, inside the run's own directory
    return name


def operations(audit):
    kinds = [st.tuples(st.just("create"), names()),
             st.tuples(st.sampled_from(["patch", "unpatch"]), st.sampled_from(PATCHES))]
    if audit:
        kinds.append(st.just(("audit", "")))
    return st.lists(st.one_of(*kinds), max_size=10)


configs = st.fixed_dictionaries({
    "debug": st.booleans(),
    "batch": st.booleans(),
    "clipboard": st.sampled_from([None, "copies", "fails"]),
    "growl": st.booleans(),
    # 0o277: a directory made is not writable even by its owner.
    "umask": st.sampled_from([0o022, 0o002, 0o277]),
})


def build_fixture(root):
    (root / "file").write_bytes(b"kept")
    (root / "dir").mkdir()
    (root / "dir" / "inner").write_bytes(b"inner")
    (root / "ro").mkdir()
    (root / "ro" / "sub").mkdir()
    (root / "loop").symlink_to("loop")
    (root / "dangling").symlink_to("missing")
    (root / "null").symlink_to(os.devnull)  # a file that is not regular
    for entry in [*root.rglob("*"), root]:
        os.utime(entry, ns=(OLD, OLD), follow_symlinks=False)
    (root / "ro").chmod(0o555)


def snapshot(root):
    seen = {}
    for entry in sorted(root.rglob("*")):
        st_ = entry.lstat()
        kind = "link" if entry.is_symlink() else "dir" if entry.is_dir() else "file"
        content = (os.readlink(entry) if kind == "link"
                   else entry.read_bytes() if kind == "file" else None)
        seen[str(entry.relative_to(root))] = (kind, content, st_.st_mode & 0o7777, st_.st_mtime_ns == OLD)
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


class Console(io.StringIO):
    """Standard output that applies the steps scheduled before file n once
    the line of file n - 1 is written."""

    def __init__(self, on_file_line):
        super().__init__()
        self.on_file_line = on_file_line

    def write(self, text):
        n = super().write(text)
        if text.startswith(("\u2713", "\u2717")):
            self.on_file_line()
        return n


def run(ops, config, forced, root):
    """Runs one batch in `root`; returns everything a caller could see."""
    text_root = str(root)
    shown = lambda s: s.replace(text_root, "<ROOT>") if isinstance(s, str) else s  # noqa: E731
    seen = {"clipboard": [], "notify": [], "caught": []}
    saved = {"Path": mod.Path, "os.mkdir": os.mkdir, "touch": pathlib.Path.touch}
    stacks = {kind: [] for kind in PATCHES}
    touch_calls = [0]

    def patch(kind):
        if kind == "Path":
            base = mod.Path
            stacks[kind].append(base)
            mod.Path = type("Patched", (base,), {"__slots__": ()})
        elif kind == "os.mkdir":
            real = os.mkdir
            stacks[kind].append(real)
            os.mkdir = functools.wraps(real)(lambda *a, **k: real(*a, **k))
        else:
            real = pathlib.Path.touch
            stacks[kind].append(real)
            pathlib.Path.touch = functools.wraps(real)(lambda self, *a, **k: real(self, *a, **k))

    def unpatch(kind):
        if stacks[kind]:
            previous = stacks[kind].pop()
            if kind == "Path":
                mod.Path = previous
            elif kind == "os.mkdir":
                os.mkdir = previous
            else:
                pathlib.Path.touch = previous

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

    class Clipboard:
        @staticmethod
        def copy(text):
            seen["clipboard"].append(shown(text))
            if config["clipboard"] == "fails":
                raise OSError(5, "no clipboard")

    class Growl:
        def notify(self, **kw):
            seen["notify"].append({k: shown(v) for k, v in kw.items()})

    creates = [op[1].replace("<ROOT>", text_root) for op in ops if op[0] == "create"]
    # The steps before each file, by the index of that file; the rest at the end.
    schedule, index = {}, 0
    for op in ops:
        if op[0] == "create":
            index += 1
        else:
            schedule.setdefault(index, []).append(op)
    done = [0]

    def apply_due():
        for kind, arg in schedule.pop(done[0], []):
            {"patch": patch, "unpatch": unpatch, "audit": lambda _: audit()}[kind](arg)

    def on_file_line():
        done[0] += 1
        apply_due()

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is TOUCH_CODE:
            touch_calls[0] += 1

    console = Console(on_file_line)
    originals = (mod.HAS_CLIPBOARD, mod.HAS_GROWL, getattr(mod, "clipboard", None), mod.traceback, sys.argv)
    cwd = os.getcwd()
    umask = os.umask(config["umask"])
    try:
        os.chdir(root)
        mod.HAS_GROWL = False  # no registration: the notifier is a recorder
        creator = mod.FileCreator()
        mod.HAS_GROWL = config["growl"]
        if config["growl"]:
            creator.growl = Growl()
        mod.HAS_CLIPBOARD = config["clipboard"] is not None
        mod.clipboard = Clipboard
        mod.traceback = types.SimpleNamespace(format_exc=format_exc)
        sys.argv = ["crenly", "--debug"] if config["debug"] else ["crenly"]
        if forced:
            mod.Path = type("Forced", (pathlib.Path().__class__,), {"__slots__": ()})
        apply_due()
        with contextlib.redirect_stdout(console):
            sys.setprofile(profile)
            try:
                if config["batch"]:
                    seen["results"] = creator.create_files(creates)
                else:
                    seen["results"] = [creator.create_file(name) for name in creates]
            except BaseException as e:  # noqa: BLE001 (compared, not hidden)
                seen["escaped"] = (type(e).__name__, shown(str(e)))
            finally:
                sys.setprofile(None)
        schedule.pop(done[0], None)
        for kind, arg in [op for ops_ in schedule.values() for op in ops_]:
            if kind == "audit":
                audit()
    finally:
        os.umask(umask)
        os.chdir(cwd)
        mod.HAS_CLIPBOARD, mod.HAS_GROWL, mod.clipboard, mod.traceback, sys.argv = originals
        mod.Path, os.mkdir, pathlib.Path.touch = saved["Path"], saved["os.mkdir"], saved["touch"]
        events, Hooked.events = Hooked.events, None
    seen["console"] = shown(console.getvalue())
    seen["audit"] = events
    seen["files"] = snapshot(root)
    return seen, touch_calls[0]


TOTALS = {"fast": 0, "forced": 0}


def compare(ops, config):
    outcomes = {}
    for forced in (False, True):
        root = pathlib.Path(tempfile.mkdtemp(prefix="crenly-fast-")).resolve()
        try:
            build_fixture(root)
            outcomes[forced] = run(ops, config, forced, root)
        finally:
            for entry in [root, *root.rglob("*")]:
                if entry.is_dir() and not entry.is_symlink():
                    entry.chmod(0o755)
            shutil.rmtree(root)
    (fast, fast_touch), (forced, forced_touch) = outcomes[False], outcomes[True]
    assert fast == forced
    TOTALS["fast"] += fast_touch
    TOTALS["forced"] += forced_touch


def differential(audit, examples):
    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(operations(audit), configs)
    def check(ops, config):
        compare(ops, config)

    check()


def test_fast_road_is_the_python_level_road():
    TOTALS.update(fast=0, forced=0)
    differential(audit=False, examples=300)
    # The road was taken: pathlib's touch ran for fewer files.
    assert TOTALS["fast"] < TOTALS["forced"], TOTALS


def run_child(mode):
    proc = subprocess.run([sys.executable, __file__, "child", mode], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_with_an_audit_hook_installed_partway():
    assert "touch calls" in run_child("audit")


def test_as_an_unprivileged_user():
    if os.geteuid() != 0:
        out = run_child("plain")
    else:
        out = run_child("unprivileged")
    assert "touch calls" in out


# ---- Each patch is honoured the moment it is made, and forgotten once undone.

def pathlib_calls(creator, name):
    """How many calls of pathlib's functions one create_file made."""
    count = [0]

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == pathlib.__file__:
            count[0] += 1

    sys.setprofile(profile)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            creator.create_file(name)
    finally:
        sys.setprofile(None)
    return count[0]


def wrapped(f):
    return functools.wraps(f)(lambda *a, **k: f(*a, **k))


PATCHES_ONE_BY_ONE = {
    "global Path": lambda mp, c: mp.setattr(mod, "Path", type("P", (pathlib.PosixPath,), {})),
    "global Path deleted": lambda mp, c: mp.delattr(mod, "Path"),
    "os.mkdir": lambda mp, c: mp.setattr(os, "mkdir", wrapped(os.mkdir)),
    "os.stat": lambda mp, c: mp.setattr(os, "stat", wrapped(os.stat)),
    "os.getcwd": lambda mp, c: mp.setattr(os, "getcwd", wrapped(os.getcwd)),
    "os.name": lambda mp, c: mp.setattr(os, "name", "".join("posix")),
    "Path.touch": lambda mp, c: mp.setattr(pathlib.Path, "touch", wrapped(pathlib.Path.touch)),
    "Path.is_file": lambda mp, c: mp.setattr(pathlib.Path, "is_file", wrapped(pathlib.Path.is_file)),
    "PurePath.parent": lambda mp, c: mp.setattr(pathlib.PurePath, "parent", property(lambda self: self)),
    "PosixPath.__fspath__": lambda mp, c: mp.setattr(pathlib.PosixPath, "__fspath__", wrapped(str)),
    "touch.__defaults__": lambda mp, c: mp.setattr(pathlib.Path.touch, "__defaults__", (0o600, True)),
    "mkdir.__code__": lambda mp, c: mp.setattr(pathlib.Path.mkdir, "__code__", pathlib.Path.mkdir.__code__.replace()),
    "pathlib.os": lambda mp, c: mp.setattr(pathlib, "os", types.SimpleNamespace(**vars(os))),
    "builtins.isinstance": lambda mp, c: mp.setattr("builtins.isinstance", wrapped(isinstance)),
    "posixpath.splitroot": lambda mp, c: mp.setattr("posixpath.splitroot", wrapped(os.path.splitroot)),
    "sys.intern": lambda mp, c: mp.setattr(sys, "intern", wrapped(sys.intern)),
    "stat's follow_symlinks": lambda mp, c: mp.setitem(pathlib.Path.stat.__kwdefaults__, "follow_symlinks", False),
    "instance _notify": lambda mp, c: mp.setattr(c, "_notify", lambda path: None, raising=False),
    "class _notify": lambda mp, c: mp.setattr(mod.FileCreator, "_notify", lambda self, path: None),
    "instance create_file": lambda mp, c: mp.setattr(c, "create_file", mod.FileCreator.create_file.__get__(c),
                                                     raising=False),
}


@pytest.mark.parametrize("case", sorted(PATCHES_ONE_BY_ONE))
def test_a_patch_takes_effect_at_once_and_leaves_no_trace(case, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(mod, "HAS_CLIPBOARD", False)
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    creator = mod.FileCreator()
    assert pathlib_calls(creator, "before.txt") == 0  # the native road
    with pytest.MonkeyPatch.context() as mp:
        PATCHES_ONE_BY_ONE[case](mp, creator)
        if case == "global Path deleted":
            assert pathlib_calls(creator, "during.txt") == 0  # NameError, reported
            assert not (tmp_path / "during.txt").exists()
        else:
            assert pathlib_calls(creator, "during.txt") > 0
    assert pathlib_calls(creator, "after.txt") == 0  # the road again
    assert (tmp_path / "after.txt").is_file()


# The hook goes in after two files, before four more: the first batch of the process.
FIRST_AUDIT = [("create", "a.txt"), ("create", "n/b.txt"), ("audit", ""), ("create", "c.txt"),
               ("create", "file/x"), ("create", "ro/y"), ("create", "n/m/z")]

if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    mode = sys.argv[2]
    if mode == "audit":
        compare(FIRST_AUDIT, {"debug": True, "batch": True, "clipboard": None, "growl": False, "umask": 0o022})
        assert TOTALS["fast"] < TOTALS["forced"], TOTALS
    if mode == "unprivileged":
        differential(audit=False, examples=3)  # loads everything while the files can be read
        os.setgroups([])
        os.setresgid(65534, 65534, 65534)
        os.setresuid(65534, 65534, 65534)
    TOTALS.update(fast=0, forced=0)
    differential(audit=(mode == "audit"), examples=120)
    print("touch calls", TOTALS)
