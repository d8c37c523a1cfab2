"""Clipboard copy of create_file: the real `clipboard` package on a private Xvfb
display, its failure warning, and the switch HAS_CLIPBOARD."""

import ast
import inspect
import shutil
import subprocess
import sys
import time

import pytest

from helpers import GNTP_WARNING, WINDOWS, child_env, on_windows, posix_newlines, write_tree

SETUP = """
import os, subprocess, time
import crenly.crenly as m
m.HAS_GROWL = False
fc = m.FileCreator()
print("---")
"""


# Reads the clipboard back in another process: xclip on X, a second
# interpreter through the Win32 clipboard on Windows.
PASTE = on_windows(["xclip", "-o", "-selection", "clipboard"],
                   [sys.executable, "-c", "import pyperclip, sys; sys.stdout.write(pyperclip.paste())"])


def pasted(env, wanted):
    """What pastes, once it is `wanted` or after 10 s: xclip, forked into the
    background, takes the selection a moment after copy() returns."""
    deadline = time.monotonic() + 10
    while True:
        text = subprocess.run(PASTE, env=env, capture_output=True, text=True, timeout=10).stdout
        if text == wanted or time.monotonic() > deadline:
            return text
        time.sleep(0.02)


@pytest.fixture
def display(request):
    if not WINDOWS and shutil.which("xclip") is None:
        pytest.skip("xclip not installed (apt-get install xclip)")
    return request.getfixturevalue("x_display")


# The xclip that goes on serving the selection in the background inherits the
# stdout of a copy that a child makes itself (not through create_file): the
# child's output goes to files (helpers.run_command), where a pipe would never close.
def test_clipboard_holds_the_absolute_path_of_each_created_file(child, display, work):
    env = child_env() if WINDOWS else child_env(DISPLAY=display, WAYLAND_DISPLAY=None)
    out = child(SETUP + f"""
PASTE = {PASTE!r}
{inspect.getsource(pasted)}
print(m.HAS_CLIPBOARD)
for name in ("one.txt", "d/two.txt"):
    print(fc.create_file(name), ascii(pasted(None, os.path.abspath(name))))
""", env=env).after()
    one, two = work / "one.txt", work / "d" / "two.txt"
    assert out == ["True",
                   f'\u2713 File created: "{one}"', f"True {ascii(str(one))}",
                   f'\u2713 File created: "{two}"', f"True {ascii(str(two))}"]
    assert pasted(env, str(two)) == str(two)


def test_piped_command_ends_and_the_copies_reach_the_clipboard(display, work, crenly_bin):
    # The reader of each pipe waits for its end: a clipboard helper left in the
    # background holding crenly's stdout or stderr kept it waiting for ever.
    site = write_tree(work.parent / "site", {"gntp/__init__.py": "raise ImportError('not here')\n"})
    env = child_env([site], WAYLAND_DISPLAY=None,
                    **({"DISPLAY": display} if display else {}))
    # A TimeoutExpired here: the pipes of a run with clipboard copies never reached their end.
    proc = subprocess.run([str(crenly_bin), "a.txt", "d/b.txt"], cwd=work, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    assert (proc.returncode, proc.stderr) == (0, b""), proc.stderr
    a, b = work / "a.txt", work / "d" / "b.txt"
    assert posix_newlines(proc.stdout).decode() == (
        f"{GNTP_WARNING}\n"
        f'\u2713 File created: "{a}"\n\u2713 File created: "{b}"\n'
        "\n2/2 file(s) created successfully\n")
    assert pasted(env, str(b)) == str(b)  # until xclip takes it, the earlier copy pastes


@pytest.mark.skipif(WINDOWS, reason="Windows always has the Win32 clipboard")
@pytest.mark.parametrize("setting", ["no DISPLAY", "no xclip or xsel on PATH"])
def test_no_clipboard_mechanism_gives_a_warning_and_success(child, request, work, setting):
    env = child_env(DISPLAY=None, WAYLAND_DISPLAY=None)
    if setting != "no DISPLAY":
        (work.parent / "bin").mkdir()
        env.update(DISPLAY=request.getfixturevalue("display"), PATH=str(work.parent / "bin"))
    out = child(SETUP + """
print("result:", fc.create_file("w/w.txt"))
try:
    m.clipboard.copy("probe")
except Exception as e:
    print(ascii(f"Warning: Could not copy to clipboard: {e}"))
""", env=env).parts()[1]
    last = out.splitlines()[-1]
    warning = ast.literal_eval(last)   # what the package itself raises here
    assert "copy/paste mechanism" in warning, out
    assert out == f'{warning}\n\u2713 File created: "{work}/w/w.txt"\nresult: True\n{last}\n'
    assert (work / "w/w.txt").is_file()


@pytest.mark.parametrize("flag, lines", [
    (False, ["True []"]),
    ([], ["True []"]),
    (True, ["True ['copy', {copied}]"]),
    (1, ["True ['copy', {copied}]"]),
    ("unbound", ["Warning: Could not copy to clipboard: name 'clipboard' is not defined",
                 "True []"]),
])
def test_has_clipboard_decides_whether_the_clipboard_is_touched(child, work, flag, lines):
    out = child(SETUP + f"""
touched = []
class Recorder:
    def __getattr__(self, name):
        touched.append(name)
        return lambda *args: touched.append(args)
m.__dict__.pop("clipboard", None)
if {flag!r} != "unbound":
    m.clipboard = Recorder()
m.HAS_CLIPBOARD = True if {flag!r} == "unbound" else {flag!r}
print(fc.create_file("c/c.txt"), touched)
""")
    created = str(work / "c" / "c.txt")
    expected = [line.format(copied=(created,)) for line in lines]
    expected.insert(-1, f'\u2713 File created: "{created}"')
    assert out.after() == expected, out.describe()


OVERLAPPING_COPIES = """
import os, sys, threading, types
import crenly.crenly as m
def inheritable():
    if sys.platform == "win32":
        import msvcrt
        return [os.get_handle_inheritable(msvcrt.get_osfhandle(fd)) for fd in (1, 2)]
    return [os.get_inheritable(fd) for fd in (1, 2)]
m.HAS_GROWL = False
m.HAS_CLIPBOARD = True
seen = []
started = {"short": threading.Event(), "long": threading.Event()}
def copy(text):
    name = os.path.basename(text)
    seen.append((name, "starts", inheritable()))
    started[name].set()
    if name == "short":
        started["long"].wait()   # the long copy overlaps this one
    else:
        threads[0].join()        # the short call has ended, its copy and all
    seen.append((name, "ends", inheritable()))
m.clipboard = types.SimpleNamespace(copy=copy)
fc = m.FileCreator()
print("before", inheritable())
threads = [threading.Thread(target=fc.create_file, args=(name,)) for name in ("short", "long")]
threads[0].start()
started["short"].wait()
threads[1].start()
for t in threads:
    t.join()
for entry in seen:
    print(*entry)
print("after", inheritable())
"""


def test_overlapping_copies_keep_the_output_from_every_helper(child):
    # While any thread's copy runs, no process it starts inherits the
    # output: the first copy to end does not give it back under another's.
    out = child(OVERLAPPING_COPIES).ok()
    lines = [line for line in out.stdout.splitlines() if not line.startswith("\u2713")]
    assert lines == ["before [True, True]",
                     "short starts [False, False]", "long starts [False, False]",
                     "short ends [False, False]", "long ends [False, False]",
                     "after [True, True]"], out.describe()
