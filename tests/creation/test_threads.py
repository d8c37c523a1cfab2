"""Eight threads with a tiny switch interval call create_file (succeeding and
failing) and parse_brace_expansion (expanding and over the limit), half on one
shared FileCreator, half on one of their own."""

import contextlib
import io
import sys
import threading
import time

from creation_helpers import model
from crenly import crenly as mod

THREADS, SECONDS = 8, 2.0
PATTERNS = ["t{i}/{{a, b}}{{c,d}}.x", "plain{i}.txt", "{{x,y}}{{1,2,3}}/t{i}{{z}}", "{{a,b}}" * 21]


def expand(expansion, text):
    try:
        return expansion(text)
    except ValueError as e:  # over the limit
        return str(e)


def test_eight_threads_share_the_module(tmp_path, monkeypatch):
    monkeypatch.setattr(mod, "HAS_GROWL", False)
    monkeypatch.setattr(mod, "HAS_CLIPBOARD", False)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "blocker").write_bytes(b"kept")
    shared, start = mod.FileCreator(), threading.Barrier(THREADS)
    rounds, failures = [0] * THREADS, []

    def work(i):
        creator = shared if i % 2 else mod.FileCreator()
        cases = [(text, expand(model, text)) for text in (p.format(i=i) for p in PATTERNS)]
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

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with contextlib.redirect_stdout(io.StringIO()) as out:
            threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=SECONDS + 60)
    finally:
        sys.setswitchinterval(interval)
    assert failures == [] and not any(t.is_alive() for t in threads)
    assert min(rounds) >= 10, rounds  # every thread had its share
    # print writes a line's text and its end separately: count the texts
    assert out.getvalue().count("\u2713 File created: ") == sum(rounds)
    assert out.getvalue().count("\u2717 Error creating file \"blocker/t") == sum(rounds)
    assert (tmp_path / "blocker").read_bytes() == b"kept"
