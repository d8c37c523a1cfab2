"""The Growl daemons of the notification tests (conftest.py makes the fixtures).

GrowlDaemon speaks GNTP on 127.0.0.1:23053, the client's default address: it
decodes each request with the client package's base message class (its
password-checking parsers refuse unsigned messages), records it and answers as
the test asks. gol (growl-for-linux) is a real daemon: it listens on that port
of every address, needs an X display and stores what it receives in an sqlite
database under its HOME.

Each daemon gets the port for the test alone (own_port): in a network namespace
of its own where the system allows it (Linux, as root), else the port itself,
skipping the test when it is busy.
"""

import collections
import contextlib
import os
import re
import signal
import socket
import socketserver
import sqlite3
import struct
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import pytest

# The client package's source holds escape sequences that 3.12 reports with a
# SyntaxWarning when it compiles them. Importing it here, once and with that
# warning silenced, leaves the module cached for this process and its bytecode
# written for the children.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", SyntaxWarning)
    warnings.simplefilter("ignore", DeprecationWarning)
    import gntp.core
    import gntp.notifier  # noqa: F401  (compiled here for the children)

HOST, PORT = "127.0.0.1", 23053
EOB = b"\r\n\r\n"  # end of every GNTP block

# Answers by mode; "silent" holds the connection open and never answers. A
# mode that closes without answering is left out on purpose: the client then
# spins forever waiting for the end of a reply.
ANSWERS = {
    "ok": lambda kind: gntp.core.GNTPOK(action=kind).encode(),
    "error": lambda kind: gntp.core.GNTPError(
        errorcode=400, errordesc="refused by test daemon").encode(),
    "garbage": lambda kind: b"this is not GNTP" + EOB,
}
# kind: REGISTER, NOTIFY, ...; headers: the header block; blocks: those after it
Message = collections.namedtuple("Message", "kind headers blocks")


class GrowlDaemon(socketserver.ThreadingTCPServer):
    """Records what it receives in `messages`; `modes` maps a message type to
    the answer mode for it (default "ok")."""
    allow_reuse_address = True
    daemon_threads = False  # server_close() joins every handler thread

    def __init__(self):
        self.messages, self.errors, self.modes, self.stopping = [], [], {}, threading.Event()
        try:
            super().__init__((HOST, PORT), None)
        except OSError as exc:
            pytest.fail(f"cannot listen on {HOST}:{PORT} for the test Growl "
                        f"daemon (port busy?): {exc}", pytrace=False)
        self.thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05})
        self.thread.start()

    def kinds(self):
        return [m.kind for m in self.messages]

    def handle_error(self, request, client_address):
        self.errors.append(repr(sys.exc_info()[1]))

    def finish_request(self, conn, client_address):
        conn.settimeout(10)  # a stuck read ends as a recorded error
        base = gntp.core._GNTPBase()
        base.decode(read_message(conn))
        blocks = [base._parse_dict(part) for part in base.raw.split("\r\n\r\n")[1:] if part.strip()]
        kind = base.info["messagetype"]
        self.messages.append(Message(kind, base.headers, blocks))
        mode = self.modes.get(kind, "ok")
        if mode != "silent":
            return conn.sendall(ANSWERS[mode](kind))
        conn.settimeout(0.05)  # quiet until the client gives up or the daemon stops
        while not self.stopping.is_set():
            with contextlib.suppress(TimeoutError):
                if not conn.recv(1024):
                    return

    def stop(self):
        self.stopping.set()
        self.shutdown()
        self.thread.join()
        self.server_close()


def read_message(conn) -> bytes:
    """One whole request: the header block, one block per notification type
    of a registration, then every binary resource the blocks refer to."""
    buf = bytearray()

    def fill(size):
        while len(buf) < size:
            chunk = conn.recv(65536)
            if not chunk:
                raise ConnectionError(f"peer closed mid-message: {bytes(buf)!r}")
            buf.extend(chunk)

    def block(start):
        while (end := buf.find(EOB, start)) < 0:
            fill(len(buf) + 1)
        return end + len(EOB)

    pos = block(0)
    count = re.search(rb"^Notifications-Count: *(\d+)", buf[:pos], re.M)
    for _ in range(int(count[1]) if buf.startswith(b"GNTP/1.0 REGISTER") else 0):
        pos = block(pos)
    for _ in set(re.findall(rb"x-growl-resource://(\w+)", buf[:pos])):
        start, pos = pos, block(pos)
        length = int(re.search(rb"Length: *(\d+)", buf[start:pos])[1])
        fill(pos + length + len(EOB))
        pos += length + len(EOB)
    return bytes(buf[:pos])


SIOCSIFFLAGS = 0x8914
IFF_UP, IFF_LOOPBACK, IFF_RUNNING = 0x1, 0x8, 0x40


@contextlib.contextmanager
def private_network():
    """Runs the block with this thread, and every process it starts, in a new
    network namespace whose loopback is up; yields False, changing nothing,
    where that is not possible (not Linux, not privileged)."""
    with contextlib.ExitStack() as stack:
        private = False
        with contextlib.suppress(OSError, AttributeError):
            home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
            stack.callback(os.close, home)
            os.unshare(os.CLONE_NEWNET)
            private = True
        if private:
            stack.callback(os.setns, home, os.CLONE_NEWNET)
            import fcntl  # (Linux only, as is this path)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                fcntl.ioctl(s, SIOCSIFFLAGS,
                            struct.pack("16sh22x", b"lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING))
        yield private


def port_is_free():
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        with contextlib.suppress(OSError):
            probe.bind((HOST, PORT))
            return True
    return False


@contextlib.contextmanager
def own_port():
    """The client's default port for this test alone: in a private network
    namespace, or else the port itself when nothing listens there."""
    with private_network() as private:
        if not private and not port_is_free():
            pytest.skip(f"{HOST}:{PORT} is busy and no private network namespace can be made "
                        "(needs Linux and root)")
        yield


@contextlib.contextmanager
def serving():
    """A GrowlDaemon on a port of the test's own; fails the test if the daemon
    recorded an error."""
    with own_port():
        daemon = GrowlDaemon()
        try:
            yield daemon
        finally:
            daemon.stop()
    assert not daemon.errors, f"test daemon failed: {daemon.errors}"


# Environment that would take gol's files out of its HOME (XDG_CONFIG_HOME moves
# its database), attach it to another bus, or preload into it the sanitizer
# runtimes that the sanitizer pass gives the tests' children: the daemon is a
# peer of the code under test, not part of it.
GOL_ENV_DROPPED = ("XDG_", "DBUS_", "WAYLAND_DISPLAY", "LD_PRELOAD", "ASAN_OPTIONS",
                   "UBSAN_OPTIONS", "CRENLY_UBSAN_LOG")
GOL_QUERIES = ("SELECT app_name, name, app_icon FROM application ORDER BY rowid",
               "SELECT title, text, icon FROM notification ORDER BY rowid")


class Gol:
    """A running gol: its database and its log."""

    def __init__(self, home: Path):
        self.database, self.log = home / ".config" / "gol" / "config.db", home / "gol.log"

    def describe(self) -> str:
        return f"gol log:\n{self.log.read_text(errors='replace')}"

    def received(self, notifications, timeout=10):
        """The rows of GOL_QUERIES as dicts (registrations, notifications), once
        the database holds `notifications` notifications."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                uri = f"{self.database.as_uri()}?mode=ro"
                with contextlib.closing(sqlite3.connect(uri, uri=True, timeout=1)) as db:
                    db.row_factory = sqlite3.Row
                    apps, notes = ([dict(row) for row in db.execute(q)] for q in GOL_QUERIES)
                if len(notes) >= notifications:
                    return apps, notes
                error = f"{len(notes)} notification(s) stored: {notes}"
            except sqlite3.OperationalError as exc:  # not made yet, or locked by a write
                error = repr(exc)
            assert time.monotonic() < deadline, (
                f"gol never stored {notifications} notification(s): {error}\n{self.describe()}")
            time.sleep(0.05)


@contextlib.contextmanager
def running_gol(display, home: Path, timeout=20):
    """gol on the X display `display` in a D-Bus session of its own, HOME=home,
    on the port of the test's own; yields a Gol once that port accepts
    connections. The daemon and its bus are killed on the way out."""
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(GOL_ENV_DROPPED)}
    env.update(DISPLAY=display, HOME=str(home))
    with own_port():
        with open(home / "gol.log", "wb") as log:
            proc = subprocess.Popen(["dbus-run-session", "--", "gol"], cwd=home, env=env,
                                    stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True)
        daemon, deadline = Gol(home), time.monotonic() + timeout
        try:
            while True:
                assert proc.poll() is None, (
                    f"gol ended before it listened (status {proc.returncode})\n{daemon.describe()}")
                try:
                    socket.create_connection((HOST, PORT), timeout=1).close()
                    break
                except OSError:
                    assert time.monotonic() < deadline, (
                        f"gol never listened on {HOST}:{PORT}\n{daemon.describe()}")
                    time.sleep(0.02)
            yield daemon
        finally:
            # gol's SIGTERM handler quits its main loop, and is lost when it
            # comes before that loop runs: a kill of the whole group
            # (dbus-run-session, its bus and gol) is sure.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(timeout=20)
