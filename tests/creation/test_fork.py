"""A process forked while another thread is inside the module: its standard
streams are inherited again by what it starts, and it proves the native road
afresh, whatever the other thread was doing."""

import pytest

from creation_helpers import HOLD_A_PROOF
from helpers import WINDOWS

pytestmark = pytest.mark.skipif(WINDOWS, reason="no fork on Windows")

# A thread waits inside a clipboard copy (whose guard keeps the standard
# streams from the processes started meanwhile) while the main thread forks.
DURING_A_COPY = """
import os, sys, threading, warnings
import crenly.crenly as m
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
inside, release = threading.Event(), threading.Event()
class Clipboard:
    @staticmethod
    def copy(text):
        inside.set()
        release.wait()
m.HAS_GROWL, m.HAS_CLIPBOARD, m.clipboard = False, True, Clipboard
creator = m.FileCreator()
copying = threading.Thread(target=creator.create_file, args=("a.txt",))
copying.start()
inside.wait()
print("during the copy:", os.get_inheritable(1), os.get_inheritable(2), flush=True)
pid = os.fork()
if pid == 0:
    print("child:", os.get_inheritable(1), os.get_inheritable(2), flush=True)
    os._exit(os.system("echo started by the child"))
os.waitpid(pid, 0)
release.set()
copying.join()
print("after:", os.get_inheritable(1), os.get_inheritable(2))
"""

# The second call of the process proves the road, held inside a lookup of
# posixpath's "sep" (letting go of the interpreter lock) while the main thread
# forks.
DURING_A_PROOF = HOLD_A_PROOF + """
import io, contextlib, os, posixpath, warnings
import crenly.crenly as m
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
m.HAS_GROWL = m.HAS_CLIPBOARD = False
creator = m.FileCreator()
with contextlib.redirect_stdout(io.StringIO()):
    creator.create_file("first")  # the Python-level steps; the proof from the next call on
proving = held(posixpath, "sep", creator.create_file, "second")
pid = os.fork()
if pid == 0:
    with contextlib.redirect_stdout(io.StringIO()):
        for name in ("third", "fourth"):
            creator.create_file(name)
    print("child's road calls:", m.FileCreator.create_file._shortcut_calls, flush=True)
    os._exit(0)
os.waitpid(pid, 0)
patched.set()
proving.join()
"""


@pytest.mark.parametrize("code, expected", [
    (DURING_A_COPY, ["during the copy: False False", "child: True True", "started by the child",
                     "after: True True"]),
    (DURING_A_PROOF, ["child's road calls: 2"]),
], ids=["during a copy", "during a proof"])
def test_a_child_forked_while_a_thread_is_inside_the_module(child, code, expected):
    lines = child(code).ok().stdout.splitlines()
    assert [line for line in lines if not line.startswith("\u2713")] == expected
