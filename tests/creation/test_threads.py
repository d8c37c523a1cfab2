"""Threads: eight with a tiny switch interval call create_file (succeeding
and failing) and parse_brace_expansion (expanding and over the limit), half
on one shared FileCreator, half on one of their own; and a daemon thread that
is inside the module when the interpreter exits."""

import contextlib
import io
import threading
import time

import pytest

from crenly import crenly as mod
from helpers import WINDOWS, child_env, plain_expansion

THREADS, SECONDS = 8, 2.0
PATTERNS = ["t{i}/{{a, b}}{{c,d}}.x", "plain{i}.txt", "{{x,y}}{{1,2,3}}/t{i}{{z}}", "{{a,b}}" * 21]


def expand(expansion, text):
    try:
        return expansion(text)
    except ValueError as e:  # over the limit
        return str(e)


def test_eight_threads_share_the_module(creator, tmp_path, fast_switches):
    (tmp_path / "blocker").write_bytes(b"kept")
    shared, start = creator, threading.Barrier(THREADS)
    rounds, failures = [0] * THREADS, []

    def work(i):
        creator = shared if i % 2 else mod.FileCreator()
        cases = [(text, expand(plain_expansion, text)) for text in (p.format(i=i) for p in PATTERNS)]
        start.wait()
        stop = time.monotonic() + SECONDS
        try:
            while time.monotonic() < stop:
                path = f"t{i}/{rounds[i] % 40}/f.txt"
                assert creator.create_file(path) is True and (tmp_path / path).is_file(), path
                assert creator.create_file(f"blocker/t{i}") is False
                for text, want in cases:
                    assert expand(creator.parse_brace_expansion, text) == want, text
                rounds[i] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((i, rounds[i], repr(e)))

    with contextlib.redirect_stdout(io.StringIO()) as out:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=SECONDS + 60)
    assert failures == [] and not any(t.is_alive() for t in threads)
    assert min(rounds) >= 10, rounds  # every thread had its share
    # print writes a line's text and its end separately: count the texts
    assert out.getvalue().count("\u2713 File created: ") == sum(rounds)
    assert out.getvalue().count("\u2717 Error creating file \"blocker/t") == sum(rounds)
    assert (tmp_path / "blocker").read_bytes() == b"kept"


# A daemon thread creates files in a loop until the interpreter, exiting,
# ends it wherever it is: in a system call, in Python code the module called
# (the clipboard copy, a notifier), or waiting for the interpreter lock.
DAEMON = """
import threading, time
services = sys.argv[1] == "on"
m.HAS_CLIPBOARD = services and m.HAS_CLIPBOARD   # the real copy, or its warning
class Notifier:
    def notify(self, **kw):
        time.sleep(0)
if services:
    m.HAS_GROWL, fc.growl = True, Notifier()
running = threading.Event()
def loop():
    for i in range(10**9):
        fc.create_file(f"d{i % 7}/f{i % 50}.txt")
        fc.create_file(f"d{i % 7}/f{i % 50}.txt/x")   # fails
        running.set()
threading.Thread(target=loop, daemon=True).start()
running.wait()
time.sleep(0.005)
"""


@pytest.mark.skipif(WINDOWS, reason="the interpreter ends a daemon thread at exit by unwinding its "
                                    "stack on glibc only; Windows ends it without unwinding")
@pytest.mark.plain_build_only(reason="ASan does not follow the unwind with which glibc ends a daemon thread "
                                     "at exit: the unwinder writes to stack that the frames it left keep poisoned")
@pytest.mark.parametrize("services", ["off", "on"])
def test_exit_with_a_daemon_thread_inside_the_module(child, road, services):
    # No display: the real clipboard copy fails with its warning instead of
    # taking the desktop's clipboard and starting a helper.
    env = child_env(DISPLAY=None, WAYLAND_DISPLAY=None)
    statuses = [child(DAEMON, services, road=road, env=env).returncode for _ in range(30)]
    crashes = [status for status in statuses if status != 0]
    assert crashes == [], f"{len(crashes)} of 30 exits failed: {crashes}"
