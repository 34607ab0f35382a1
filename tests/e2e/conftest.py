"""End-to-end harness: the real menuhold binary in the sandbox of tests/sandbox.

Every test gets a fresh tmpfs on /tmp (with /tmp/json_menu and /tmp/panel_push), its
own /dev/log socket that captures syslog, and a factory that starts the daemon with
stdout in a file. MENUHOLD_LAUNCHER (for example "qemu-ppc -L /usr/powerpc-linux-gnu")
is put in front of the daemon and client binaries when it is set.
"""
import os
import re
import shlex
import signal
import socket
import subprocess
import threading
import time

import pytest

BIN = os.path.abspath(os.environ["MENUHOLD_BIN"]) if os.environ.get("MENUHOLD_BIN") else ""
CTL = os.path.abspath(os.environ.get("MENUHOLDCTL_BIN", "menuholdctl"))
LAUNCHER = shlex.split(os.environ.get("MENUHOLD_LAUNCHER", ""))
DATA = os.environ.get("MENUHOLD_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))

SOCKET = "/tmp/.cjsonsock"
MENU = "/tmp/json_menu"
PUSH = "/tmp/panel_push"
HISTORY = "/tmp/json_history.json"
HISTORY_GZ = "/tmp/json_history.gz"
LOG_ERR, LOG_INFO = 3, 6
SIGTERM = signal.SIGTERM
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def pytest_configure(config):
    if os.environ.get("MENUHOLD_SANDBOX") != "1":
        pytest.exit("run the end-to-end tests through tests/sandbox, never against the real /tmp", 2)
    if not BIN or not os.path.exists(BIN):
        pytest.exit("MENUHOLD_BIN must name the built menuhold binary", 2)


def held_name(product):
    return "0-panelpush_local_%s_0.0.0.json" % product


def product_json(name, version, extra=""):
    import json
    return ('{"product info": {"product name": %s, "file version": %s}%s}'
            % (json.dumps(name), json.dumps(version), extra)).encode()


def history_rows():
    import json
    with open(HISTORY, "rb") as f:
        return json.loads(f.read())["aaData"]


class Syslog:
    """A datagram socket at /dev/log that keeps every record syslog(3) sends."""

    RECORD = re.compile(rb"^<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?([^:\[]+)(?:\[\d+\])?: (.*)$", re.S)

    def __init__(self):
        if os.path.exists("/dev/log"):
            os.unlink("/dev/log")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        self.sock.settimeout(0.05)
        self.records = []  # (level, ident, message text)
        self.lock = threading.Lock()
        self.running = True
        self.paused = False
        self.fillers = []
        self.idle_rounds = 0  # times the drain found the queue empty
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):
        # syslog(3) blocks the daemon when the queue is full, so drain it all the time.
        while self.running:
            if self.paused:
                time.sleep(0.01)
                continue
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                self.idle_rounds += 1
                continue
            except OSError:
                return
            m = self.RECORD.match(data)
            with self.lock:
                if m:
                    self.records.append((int(m.group(1)) & 7, m.group(2).decode(errors="replace"),
                                         m.group(3).decode(errors="surrogateescape")))
                else:
                    self.records.append((-1, "", data.decode(errors="surrogateescape")))

    def block(self):
        """Stops draining and fills the queue, so that the daemon's next syslog(3) blocks."""
        self.paused = True
        time.sleep(0.05)
        for _ in range(1000):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            s.setblocking(False)
            self.fillers.append(s)
            sent = 0
            try:
                while True:
                    s.sendto(b"<14>filler: x", "/dev/log")
                    sent += 1
            except BlockingIOError:
                pass
            if sent == 0:
                return  # even a fresh socket cannot send: the receiving queue is full
        raise AssertionError("cannot fill the /dev/log queue")

    def unblock(self):
        self.paused = False

    def settle(self):
        """Waits until the queue has been found empty once after this call: every record
        sent before it (the daemon logs before it replies) is then in the list."""
        seen = self.idle_rounds
        deadline = time.time() + 5
        while self.idle_rounds <= seen and not self.paused and time.time() < deadline:
            time.sleep(0.01)

    def messages(self, level=None):
        self.settle()
        with self.lock:
            return [msg for lvl, _, msg in self.records if level is None or lvl == level]

    def entries(self):
        self.settle()
        with self.lock:
            return list(self.records)

    def wait_for(self, message, level=None, timeout=10.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.has(message, level):
                return True
            time.sleep(0.02)
        return False

    def has(self, message, level=None):
        with self.lock:
            return any(msg == message and (level is None or lvl == level) for lvl, _, msg in self.records)

    def count(self, message):
        return self.messages().count(message)

    def close(self):
        self.paused = False
        for s in self.fillers:
            s.close()
        self.running = False
        self.thread.join()
        self.sock.close()


class Reply:
    def __init__(self, raw):
        self.raw = raw
        self.command = raw[:20].split(b"\0", 1)[0].decode(errors="surrogateescape")
        self.option = raw[20:220].split(b"\0", 1)[0].decode(errors="surrogateescape")

    def __repr__(self):
        return "Reply(%r, %r)" % (self.command, self.option)


_client_count = [0]


class Client:
    """A setrelay stand-in: binds its own path and sends 500-byte control messages."""

    def __init__(self, bind=True):
        _client_count[0] += 1
        self.path = "/tmp/.client-%d-%d" % (os.getpid(), _client_count[0])
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if bind:
            self.sock.bind(self.path)

    @staticmethod
    def message(command, option=""):
        if isinstance(command, str):
            command = command.encode()
        if isinstance(option, str):
            option = option.encode()
        return command.ljust(20, b"\0")[:20] + option.ljust(200, b"\0")[:200] + b"\0" * 280

    def send(self, command, option="", raw=None):
        self.sock.sendto(raw if raw is not None else self.message(command, option), SOCKET)

    def receive(self, timeout=10.0):
        self.sock.settimeout(timeout)
        data, sender = self.sock.recvfrom(4096)
        assert sender == SOCKET
        return Reply(data)

    def request(self, command, option="", raw=None, timeout=10.0):
        self.send(command, option, raw)
        return self.receive(timeout)

    def no_reply(self, wait=0.5):
        self.sock.settimeout(wait)
        try:
            self.sock.recv(4096)
        except socket.timeout:
            return True
        return False

    def close(self):
        self.sock.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


class Daemon:
    def __init__(self, args, workdir, env=None):
        self.out_path = os.path.join(workdir, "stdout-%d" % time.monotonic_ns())
        self.err_path = self.out_path.replace("stdout", "stderr")
        self.out_file = open(self.out_path, "wb")
        self.err_file = open(self.err_path, "wb")
        self.proc = subprocess.Popen(LAUNCHER + [BIN] + list(args), stdout=self.out_file,
                                     stderr=self.err_file, stdin=subprocess.DEVNULL, cwd="/tmp",
                                     env=env)
        self.pid = self.proc.pid

    def out(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="surrogateescape")

    def err(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="surrogateescape")

    def wait_ready(self, timeout=15.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.socket_bound():
                return self
            if self.proc.poll() is not None:
                raise AssertionError("menuhold ended with %s: %s" % (self.proc.returncode, self.out()))
            time.sleep(0.01)
        raise AssertionError("menuhold did not create its socket")

    @staticmethod
    def socket_bound():
        """True once a live service is bound at the path (a stale socket file refuses)."""
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        try:
            if os.lstat(SOCKET).st_mode & 0o7777 != 0o3567:
                return False
            probe.connect(SOCKET)
            return True
        except OSError:
            return False
        finally:
            probe.close()

    def wait_out(self, text, timeout=10.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.out():
                return True
            time.sleep(0.02)
        return False

    def signal(self, signum):
        self.proc.send_signal(signum)

    def wait(self, timeout=15.0):
        return self.proc.wait(timeout)

    def stop(self, signum=SIGTERM, timeout=15.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        return self.proc.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture(autouse=True)
def fresh_tmp():
    subprocess.run(["umount", "-l", "/tmp"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "menuhold-tmp", "/tmp"], check=True)
    os.mkdir(MENU)
    os.mkdir(PUSH)
    yield


@pytest.fixture
def syslog():
    log = Syslog()
    yield log
    log.close()


@pytest.fixture
def start(tmp_path, syslog):
    daemons = []

    def _start(*args, ready=True, debug=True, env=None):
        argv = list(args)
        if debug and "-d" not in argv:
            argv.append("-d")
        d = Daemon(argv, str(tmp_path), env)
        daemons.append(d)
        if ready:
            d.wait_ready()
        return d

    yield _start
    reports = []
    for d in daemons:
        # A graceful stop, so that LeakSanitizer (in the sanitizer build) looks too.
        if d.proc.poll() is None:
            d.signal(SIGTERM)
            try:
                d.wait(timeout=10)
            except subprocess.TimeoutExpired:
                d.kill()
        if any(marker in d.err() for marker in SANITIZER_MARKERS):
            reports.append(d.err())
    assert not reports, "sanitizer report:\n" + "\n".join(reports)


@pytest.fixture
def client():
    clients = []

    def _client(bind=True):
        c = Client(bind)
        clients.append(c)
        return c

    c = _client()
    c.new = _client
    yield c
    for each in clients:
        each.close()


def upload(client, data, name="up.json", directory="/tmp"):
    """Writes a product file and asks the service to take it; returns the reply."""
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    return client.request("write", path)


def ctl(*args, timeout=30):
    r = subprocess.run(LAUNCHER + [CTL] + list(args), capture_output=True, text=True, timeout=timeout)
    assert not any(marker in r.stderr for marker in SANITIZER_MARKERS), r.stderr
    return r
