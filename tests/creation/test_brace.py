"""parse_brace_expansion: every brace group expands, leftmost group slowest."""

import re
import types

import pytest
from hypothesis import given, settings, strategies as st

from creation_helpers import CHAR_LIMIT_MESSAGE, HOLD_A_PROOF, LIMIT_MESSAGE, TAKE_FUNCTION_WATCHERS
from helpers import INTERPRETER, child_env, plain, plain_expansion, without_bytecode
from crenly import crenly as mod

@pytest.fixture(scope="module")
def expander():
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(mod, "HAS_GROWL", False)
        return mod.FileCreator()


@pytest.mark.parametrize("text, expected", [
    ("dir/{a,b,c}.txt", "dir/a.txt; dir/b.txt; dir/c.txt"),
    ("dotenv/{__init__.py,core.py}", "dotenv/__init__.py; dotenv/core.py"),
    ("dir{a,b}", "dir/a; dir/b"),
    ("dir{a,b}.txt", "dir/a.txt; dir/b.txt"),
    ("{a,b}.txt", "a.txt; b.txt"),
    ("{a,b}", "a; b"),
    ("dir/{a, b,  c}.txt", "dir/a.txt; dir/b.txt; dir/c.txt"),
    ("dir/{ a , b }.txt", "dir/a.txt; dir/b.txt"),
    ("dir/{a b,c}.txt", "dir/a.txt; dir/b.txt; dir/c.txt"),
    ("dir/{a,,b}.txt", "dir/a.txt; dir/b.txt"),
    ("dir/{a}.txt", "dir/a.txt"),
    ("src/{a,a}.py", "src/a.py; src/a.py"),
    ("dir/{,}.txt", []),
    ("dir/{ }.txt", []),
    ("dir/{}.txt", "dir/{}.txt"),
    ("dir/{a,b", "dir/{a,b"),
    ("a}b{c", "a}b{c"),
    ("no braces.txt", ["no braces.txt"]),
    ("", [""]),
    ("  {a,b}", ["  /a", "  /b"]),
    ("a{b,c}d{e,f}g", "a/bdeg; a/bdfg; a/cdeg; a/cdfg"),
    ("dir/{a,b}/file{1,2}.txt",
     "dir/a/file1.txt; dir/a/file2.txt; dir/b/file1.txt; dir/b/file2.txt"),
    ("p{}q{a,b}r", "p{}q/ar; p{}q/br"),
    ("a{b{c}d", "a/b{cd"),
    ("{{a,b}}", "{a}; b}"),
    ("d/{a,b}x}y", "d/ax}y; d/bx}y"),
    ("{a,b}{c,d}", "ac; ad; bc; bd"),
    ("dir/{a,b}/x{y", "dir/a/x{y; dir/b/x{y"),
    ("{a,b}/{,}/c", []),
    ("d{a,b}{}x{c}", "d/a{}xc; d/b{}xc"),
    # separators: backslashes in or at the end of the prefix, other whitespace
    ("dir\\sub{a,b}.txt", "dir\\sub/a.txt; dir\\sub/b.txt"),
    ("C:\\work\\{a,b}.txt", "C:\\work\\a.txt; C:\\work\\b.txt"),
    ("dir/{a\tb,\u3000c\n}.txt", "dir/a.txt; dir/b.txt; dir/c.txt"),
    # what follows a group: open braces, empty pairs, a last group
    ("x{a}{{{", "x/a{{{"),
    ("x{a}{{}", "x/a{"),
    ("x{a}{}{", "x/a{}{"),
    ("x{a}{{b}c{", "x/a{bc{"),
    ("{}{}{a}", "{}{}/a"),
    ("x{a}}{}}{b,c}", "x/a}{}}b; x/a}{}}c"),
])
@pytest.mark.parametrize("via", ["re", "substitute"])
def test_expansion_table(expander, monkeypatch, via, text, expected):
    if via == "substitute":  # a search of its own, whose matches are followed
        monkeypatch.setattr(mod, "re", types.SimpleNamespace(search=lambda p, t: re.search(p, t)))
    if isinstance(expected, str):  # the paths, "; " between them
        expected = expected.split("; ")
    result = expander.parse_brace_expansion(text)
    assert type(result) is list and result == expected == plain_expansion(text)


def test_no_match_returns_the_argument_itself_in_a_new_list(expander):
    plain = "".join(["no ", "braces"])
    result = expander.parse_brace_expansion(plain)
    assert result == [plain] and result[0] is plain
    assert expander.parse_brace_expansion(plain) is not result  # a new list each call
    again = expander.parse_brace_expansion(text="{a, b}")
    assert again == ["a", "b"] and all(type(r) is str for r in again)
    assert expander.parse_brace_expansion("{a, b}") is not again


# Single characters of a small alphabet, plus a few of their pairs so that
# empty pairs and well-formed groups turn up often.
TOKENS = ["{", "}", ",", " ", "\t", "/", "\\", "a", "b", "{}", "{a", "b}", ", "]


@settings(max_examples=500, deadline=None, database=None)
@given(st.lists(st.sampled_from(TOKENS), max_size=16).map("".join))
def test_matches_the_python_model(expander, text):
    assert expander.parse_brace_expansion(text) == plain_expansion(text)


# The limit cases run in a child with a capped address space (POSIX only): an
# expansion that builds before it counts, or a count that wraps around, fails
# there instead of eating the machine. Each case: the text, as an expression of
# the child, and what its expansion gives.
OVER, OVER_CHARS = f"ValueError {LIMIT_MESSAGE}", f"ValueError {CHAR_LIMIT_MESSAGE}"
LIMITS = {
    "2**20": ('"{a,b}" * 20', OVER),
    "4**11": ('"d/{a,b,c,d}" * 11', OVER),
    "2**64": ('"{a,b}" * 64', OVER),
    "2**200": ('"x{a,b}" * 200', OVER),
    "101*9901": ('group(101) + "-" + group(9901)', OVER),
    "zero after overflow": ('"{a,b}" * 70 + "{,}"', "len 0 [] []"),
    "10**6": ("group(10) * 6", f"len 1000000 ['i0i0i0i0i0i0'] ['{'i9' * 6}']"),
    # 10**6 paths of 100 characters each, then of 101; 28 KB for 2 * 10**10
    "10**8 chars": ('fixed + fixed + "y" * 94',
                    f"len 1000000 ['000000{'y' * 94}'] ['999999{'y' * 94}']"),
    "10**8+10**6 chars": ('fixed + fixed + "y" * 95', OVER_CHARS),
    "28 KB": ('fixed + fixed + "x" * 20000', OVER_CHARS),
    "both bounds": ('"{a,b}" * 21 + "x" * 100', OVER),
}
LIMIT_CHILD = """
import sys
if sys.platform != "win32":
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (1 << 31, 1 << 31))
from crenly import crenly
crenly.HAS_GROWL = False
expander = crenly.FileCreator()
group = lambda n: "{" + ",".join(f"i{k}" for k in range(n)) + "}"
fixed = "{" + ",".join(f"{k:03}" for k in range(1000)) + "}"
for name, text in CASES.items():
    try:
        result = expander.parse_brace_expansion(eval(text))
    except Exception as e:
        print("=>", name, type(e).__name__, e)
    else:
        print("=>", name, "len", len(result), result[:1], result[-1:])
"""


@pytest.mark.plain_build_only(reason="caps the address space below what ASan reserves for its shadow memory")
def test_path_limit(child):
    cases = {name: text for name, (text, _) in LIMITS.items()}
    run = child(LIMIT_CHILD.replace("CASES", repr(cases)), timeout=120).ok()
    assert [line[3:] for line in run.stdout.splitlines() if line.startswith("=> ")] == [
        f"{name} {outcome}" for name, (_, outcome) in LIMITS.items()], run.describe()


def test_ten_thousand_groups_on_a_small_stack(child):
    # A recursive expansion (one C frame per group) overruns a 512 KiB stack.
    code = """
    import threading
    from crenly import crenly
    crenly.HAS_GROWL = False
    out = []
    def work():
        out.append(crenly.FileCreator().parse_brace_expansion("x{a}" * 10000))
    threading.stack_size(512 * 1024)
    t = threading.Thread(target=work)
    t.start(); t.join()
    print("=>", out[0] == ["x/a" + "xa" * 9999])
    """
    run = child(code, timeout=120)
    assert run.returncode == 0 and "=> True" in run.stdout.splitlines(), run.describe()


def test_module_global_re_is_looked_up_at_each_call(expander, monkeypatch):
    calls = []
    record = types.SimpleNamespace(search=lambda *args, **kwargs: calls.append((args, kwargs)))
    monkeypatch.setattr(mod, "re", record)
    text = "dir/{a,b}.txt"
    result = expander.parse_brace_expansion(text)
    assert result == [text] and result[0] is text
    assert calls == [((plain.BRACE_PATTERN, text), {})] and len(plain.BRACE_PATTERN) == 25

    def boom(*args, **kwargs):
        raise RuntimeError("search failed")
    monkeypatch.setattr(mod, "re", types.SimpleNamespace(search=boom))
    with pytest.raises(RuntimeError, match="search failed"):
        expander.parse_brace_expansion(text)

    monkeypatch.delattr(mod, "re")
    with pytest.raises(NameError, match="^name 're' is not defined$"):
        expander.parse_brace_expansion(text)


class FakeMatches:
    """A substitute re whose search reports the (span of group 2, end) pairs given, in turn."""

    def __init__(self, reports):
        self.reports = iter(reports)

    def search(self, *args):
        report = next(self.reports, None)
        return None if report is None else types.SimpleNamespace(
            re=self, span=lambda group: report[0], end=lambda: report[1])


BIG = 2**63 - 1


@pytest.mark.parametrize("reports, expected", [
    ([((3, 4), 6)], ["ab/cd{e}f"]),
    ([((3, 4), 6), ((7, 8), 10)], ["ab/cdef"]),
    # positions out of the text, some where a step past them would overflow
    ([((-BIG - 1, 0), 1)], ValueError),
    ([((1, BIG), 2)], ValueError),
    ([((3, 4), BIG)], ValueError),
    ([((3, 4), -BIG - 1)], ValueError),
    ([((0, 4), 6)], ValueError),
    ([((3, 4), 11)], ValueError),
    ([((3, 4), 6), ((6, 8), 10)], ValueError),
    ([((3, 4), 6), ((7, BIG), 10)], ValueError),
    # not positions at all
    ([((BIG + 1, 0), 1)], OverflowError),
    ([((3, 4), 6), ((7, 8), -(2**64))], OverflowError),
    ([((3.0, 4), 6)], TypeError),
    ([("34", 6)], TypeError),
])
def test_substitute_match_positions_are_checked(expander, monkeypatch, reports, expected):
    monkeypatch.setattr(mod, "re", FakeMatches(reports))
    if isinstance(expected, list):
        assert expander.parse_brace_expansion("ab{c}d{e}f") == expected
    else:
        with pytest.raises(expected):
            expander.parse_brace_expansion("ab{c}d{e}f")


# Patches of the re module, from the first expansion of a fresh process on:
# each takes effect while it is in place and leaves nothing behind. "+" marks
# an expansion that took the module's own shortcut (re's genuine search
# followed step by step), "-" one that called re's search; the shortcut is
# proved from its second use on, and after a failed or short-lived proof it
# waits a few uses before the next (`back`: within the longest wait). The
# comment after an expansion is what it must print: its result, the calls
# recorded, its mark.
RE_PATCH_CHILD = HOLD_A_PROOF + """
import ctypes, importlib, re, sys, threading, traceback, _sre
from unittest import mock
from crenly import crenly
crenly.HAS_GROWL = False
expander = crenly.FileCreator()
calls = []
PATTERN = r"([^{]*)\\{([^}]+)\\}([^{]*)"

def expand(name, text="d/{a,b}", tries=1):
    for _ in range(tries):
        calls.clear()
        taken = crenly.FileCreator.parse_brace_expansion._shortcut_calls
        try:
            result = expander.parse_brace_expansion(text)
        except Exception as e:
            result = type(e).__name__
        taken = crenly.FileCreator.parse_brace_expansion._shortcut_calls > taken
        if taken:
            break
    print("=>", name, result, len(calls), "+" if taken else "-")

def back(name, text="d/{a,b}"):
    expand(name, text, tries=260)

def record(result):
    return lambda *args: calls.append(args) or result

class Key:
    # Equal to the brace pattern's key in re's cache, by hash and __eq__.
    raises = []
    def __hash__(self):
        return hash((str, PATTERN, 0))
    def __eq__(self, other):
        calls.append("eq")
        if self.raises:
            raise self.raises.pop(0)
        return NotImplemented

# A pattern that runs another program under the brace pattern's text.
other_program = re._compiler._code(re._parser.parse(r"([^[]*)\\[([^]]+)\\]([^[]*)", 0), 0)
relabelled = _sre.compile(PATTERN, re.UNICODE, other_program, 3, {}, (None,) * 4)
def relabelling(pattern, flags):
    return relabelled if pattern == PATTERN else genuine_compiler(pattern, flags)

genuine, genuine_compile, genuine_compiler = re.search, re._compile, re._compiler.compile
other = re.compile("(x)(y)(z)")
mon, START = sys.monitoring, sys.monitoring.events.PY_START
def recording_starts(code, offset):
    if code.co_name in ("search", "_compile"):
        calls.append(code.co_name)

# Every function-watcher slot taken before the first proof: no proof until
# one is free, so a code object replaced meanwhile runs.
""" + TAKE_FUNCTION_WATCHERS + """
expand("first use")  # ['d/a', 'd/b'] 0 -
expand("no function watcher to be had")  # ['d/a', 'd/b'] 0 -
re.search = record(None)
re.search = genuine
expand("no function watcher, a name changed")  # ['d/a', 'd/b'] 0 -
search_code, re.search.__code__ = re.search.__code__, (lambda pattern, string, flags=0: None).__code__
expand("search's code replaced")  # ['d/{a,b}'] 0 -
re.search.__code__ = search_code
for slot in taken:
    ctypes.pythonapi.PyFunction_ClearWatcher(slot)
back("function watchers to be had")  # ['d/a', 'd/b'] 0 +

# A proof on another thread waits inside a lookup of "_cache2" (after it has
# read re._compile) while _compile is patched: dropped, never used.
for _ in range(300):  # the proof has stood long enough to be made again at once
    expander.parse_brace_expansion("d/{a,b}")
proving = held(re, "_cache2", expander.parse_brace_expansion, "d/{a,b}")
with mock.patch("re._compile", record(other)):
    expand("_compile patched while a proof is made")  # ['d/{a,b}'] 1 -
    patched.set()
    proving.join()
    expand("_compile patched, that proof done")  # ['d/{a,b}'] 1 -
back("_compile restored after the race")  # ['d/a', 'd/b'] 0 +
exec("def search(pattern, string, flags=0):\\n    return None", re.__dict__)
expand("search redefined in re's namespace")  # ['d/{a,b}'] 0 -
re.search = genuine
back("search restored")  # ['d/a', 'd/b'] 0 +
re.search = record(None)
expand("search patched")  # ['d/{a,b}'] 1 -
re.search = genuine
back("search restored again")  # ['d/a', 'd/b'] 0 +
re.search = lambda *args: record(None)(*args) or genuine(*args)
expand("search wrapped", "a{b,c}{d,e}")  # ['a/bd', 'a/be', 'a/cd', 'a/ce'] 1 -
re.search = re.match
expand("search is re.match", "{}x{a}")  # ['{}x{a}'] 0 -
re.search = genuine
back("search restored once more")  # ['d/a', 'd/b'] 0 +
with mock.patch("re.compile", record(other)):
    expand("compile patched")  # ['d/a', 'd/b'] 0 +
expand("compile restored")  # ['d/a', 'd/b'] 0 +
with mock.patch("re._compile", record(other)):
    expand("_compile patched")  # ['d/{a,b}'] 1 -
    expand("_compile patched, no brace", "plain.txt")  # ['plain.txt'] 1 -
back("no brace", "plain.txt")  # ['plain.txt'] 0 +
exec("def _compile(pattern, flags):\\n    return _compiler.compile('(x)(y)(z)', flags)", re.__dict__)
expand("_compile redefined in re's namespace")  # ['d/{a,b}'] 0 -
re._compile = genuine_compile
back("_compile restored")  # ['d/a', 'd/b'] 0 +
with mock.patch.dict(re._cache2, {(str, PATTERN, 0): other}):
    expand("cache entry replaced")  # ['d/{a,b}'] 0 -
    expand("cache entry replaced, no brace", "xyz.txt")  # ['y.txt'] 0 -
with mock.patch.dict(re._cache2, {(str, PATTERN, 0): relabelled}):
    expand("cache entry of another program", "a[b,c]")  # ['a/b', 'a/c'] 0 -
    expand("cache entry of another program, braces")  # ['d/{a,b}'] 0 -
re.purge()
with mock.patch("re._compiler.compile", relabelling):
    expand("compiler patched", "a[b,c]")  # ['a/b', 'a/c'] 0 -
re.purge()
expand("purged: re's search compiles")  # ['d/a', 'd/b'] 0 -
expand("purged, compiled")  # ['d/a', 'd/b'] 0 +
with mock.patch.object(re, "_cache2", {}):
    expand("cache replaced")  # ['d/a', 'd/b'] 0 -
    back("cache replaced, filled")  # ['d/a', 'd/b'] 0 +
# Keys of bytes, and of flags of an int subclass (re's sub and split file
# theirs so from 3.13 on): compared in C. Flags that compare by Python code,
# under the brace pattern: re's search calls their __eq__, and so does crenly.
class Flags(int):
    pass
class EqFlags(int):
    __hash__ = int.__hash__
    def __eq__(self, other):
        calls.append("eq")
        return int.__eq__(self, other)
re.split(",", "a,b"), re.search(b"x", b"x"), re.search("x", "x", Flags(0))
back("keys of bytes and of int subclasses")  # ['d/a', 'd/b'] 0 +
re.purge()
re.search(PATTERN, "", EqFlags(0))
expand("brace key's flags compare by Python code")  # ['d/a', 'd/b'] 1 -
re.purge()
# A key of re's cache that compares equal to the brace pattern's by Python
# code: as many calls of its __eq__ as re's own search makes (how many
# depends on where the hash seed puts it), the same exception and frames.
evil = Key()  # armed once in the cache: putting it there compares it
def with_evil_key(armed, step):
    re.purge()
    with mock.patch.dict(re._cache2, {evil: other}):
        evil.raises = [armed] if armed else []
        calls.clear()
        try:
            step()
            result = "returned"
        except Exception as e:
            result = [type(e).__name__] + [f.name for f in traceback.extract_tb(e.__traceback__)][-3:]
        return result, len(calls)
for armed, name in [(KeyError(), "raising KeyError once"), (ValueError(), "raising ValueError"),
                    (None, "comparing")]:
    (result, count), re_steps = [with_evil_key(armed, step) for step in (
        lambda: expander.parse_brace_expansion("d/{a,b}"), lambda: re.search(PATTERN, "d/{a,b}"))]
    print("=> cache key", name, result, (result, count) == re_steps)
# => cache key raising KeyError once returned True
# => cache key raising ValueError ['ValueError', 'search', '_compile', '__eq__'] True
# => cache key comparing returned True
sys.setprofile(lambda frame, event, arg: event == "call" and frame.f_code.co_name in
               ("search", "_compile") and calls.append(frame.f_code.co_name))
expand("a profile function on")  # ['d/a', 'd/b'] 2 -
sys.setprofile(None)
back("profile function off")  # ['d/a', 'd/b'] 0 +
# A tool freed with its events set, where freeing leaves them set (the first
# argument: up to 3.13; from 3.14 on the tool stays): they observe.
FREED = sys.argv[1] == "True"
mon.use_tool_id(5, "freed")
mon.register_callback(5, START, recording_starts)
mon.set_events(5, START)
FREED and mon.free_tool_id(5)
expand("a monitoring tool freed with its events set")  # ['d/a', 'd/b'] 2 -
FREED and mon.use_tool_id(5, "freed")
mon.set_events(5, 0)
mon.set_local_events(5, re._compile.__code__, START)
FREED and mon.free_tool_id(5)
expand("monitoring events local to _compile")  # ['d/a', 'd/b'] 1 -
FREED and mon.use_tool_id(5, "freed")
mon.set_local_events(5, re._compile.__code__, 0)
mon.free_tool_id(5)
back("monitoring events cleared")  # ['d/a', 'd/b'] 0 +
importlib.reload(re)
back("reloaded", "{}x{a}")  # ['{}x/a'] 0 +
"""


@pytest.mark.parametrize("bytecode", ["compiled", "source only"])
def test_re_patches_take_effect_and_leave_no_trace(child, tmp_path, bytecode):
    env = child_env() if bytecode == "compiled" else without_bytecode(tmp_path / "cache")
    run = child(RE_PATCH_CHILD, str(INTERPRETER.freed_tool_observes), env=env).ok()
    # Each expansion's comment, or a comment line "# => ..." for one made in a loop.
    expected = re.findall(r'^ *(?:expand|back)\("([^"]+)".*  # (.+)$|^# => (.+)$', RE_PATCH_CHILD,
                          re.M)
    assert [line[3:] for line in run.stdout.splitlines() if line.startswith("=> ")] == [
        f"{name} {shown}" if name else line for name, shown, line in expected], run.describe()
