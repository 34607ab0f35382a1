"""End-to-end harness: the real menuhold inside tests/sandbox, seen only from outside.

Each test gets a fresh tmpfs on /tmp with the menu and push directories, a /dev/log socket
that keeps every syslog record with its level, a factory of daemons (MENUHOLD_LAUNCHER, for
example qemu-ppc, in front), clients, and a way to act as an unprivileged local user.
"""
import ctypes
import gzip
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import threading
import time

import pytest

ENV = os.environ
BIN, CTL = ENV.get("MENUHOLD_BIN", ""), ENV.get("MENUHOLDCTL_BIN", "menuholdctl")
LAUNCHER = shlex.split(ENV.get("MENUHOLD_LAUNCHER", ""))
DATA = ENV.get("MENUHOLD_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))
SANITIZED = ENV.get("MENUHOLD_SANITIZED") == "1"
SOCKET, MENU, PUSH = "/tmp/.cjsonsock", "/tmp/json_menu", "/tmp/panel_push"
HISTORY, HISTORY_GZ = "/tmp/json_history.json", "/tmp/json_history.gz"
LOG_ERR, LOG_INFO, NOBODY = 3, 6, 65534
FREE_SLOT = "Availability: Yes\nProduct name: No product\nFile version:[ ]"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def pytest_configure(config):
    if ENV.get("MENUHOLD_SANDBOX") != "1" or not os.path.exists(BIN):
        pytest.exit("run through tests/sandbox with MENUHOLD_BIN set, never against the real /tmp", 2)


def held_name(product):
    return "0-panelpush_local_%s_0.0.0.json" % product


def product_json(name, version, extra=""):
    return ('{"product info": {"product name": %s, "file version": %s}%s}'
            % (json.dumps(name), json.dumps(version), extra)).encode()


def slot(name, version):
    return "Availability: No\nProduct name: %s\nFile version:[%s]" % (name, version)


def write(path, data=b"x", mode=None):
    with open(path, "wb") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def snapshot(directory):
    return {n: read(os.path.join(directory, n)) for n in sorted(os.listdir(directory))}


def history_rows():
    return json.loads(read(HISTORY))["aaData"]


def assert_gzip_is_history():
    with gzip.open(HISTORY_GZ) as g:
        assert g.read() == read(HISTORY), "the gzip copy is not the history file"


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


class Syslog:
    """A datagram socket at /dev/log that keeps every record with its level."""
    RECORD = re.compile(rb"^<(\d+)>(?:\w{3} [ \d]\d [\d:]{8} )?[^:\[]+(?:\[\d+\])?: (.*)$", re.S)

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("/dev/log")
        self.sock.settimeout(0.05)
        self.records, self.fillers, self.idle, self.paused = [], [], 0, False
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()

    def _drain(self):  # syslog(3) blocks the daemon on a full queue: drain it all the time
        while self.sock.fileno() >= 0:
            try:
                data = b"" if self.paused else self.sock.recv(65536)
            except socket.timeout:
                self.idle += 1
                continue
            except OSError:
                return
            m = self.RECORD.match(data)
            if m:
                self.records.append((int(m.group(1)) & 7, m.group(2).decode(errors="surrogateescape")))
            time.sleep(0.01 if self.paused else 0)

    def block(self):
        """Stops draining and fills the queue, so that the daemon's next syslog(3) blocks."""
        self.paused = True
        time.sleep(0.05)
        for _ in range(1000):
            s, sent = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), 0
            self.fillers.append(s)
            try:
                while True:
                    sent += s.sendto(b"<14>filler: x", socket.MSG_DONTWAIT, "/dev/log") > 0
            except BlockingIOError:
                if not sent:  # even a fresh socket cannot send: the queue is full
                    return
        raise AssertionError("cannot fill the /dev/log queue")

    def messages(self, level=None):
        """Every record so far: waits until the queue was found empty once after the call."""
        seen, deadline = self.idle, time.time() + 5
        while self.idle <= seen and not self.paused and time.time() < deadline:
            time.sleep(0.01)
        return [m for lvl, m in list(self.records) if level is None or lvl == level]

    def wait_for(self, message, level=None, timeout=10.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(m == message and level in (None, lvl) for lvl, m in list(self.records)):
                return True
            time.sleep(0.02)
        return False

    def close(self):
        self.paused = False
        for s in self.fillers:
            s.close()
        self.sock.close()
        self.thread.join()


class Reply:
    def __init__(self, raw):
        self.raw = raw
        self.command, self.option = (raw[a:b].split(b"\0", 1)[0].decode(errors="surrogateescape")
                                     for a, b in ((0, 20), (20, 220)))


class Client:
    """A stand-in for the web back end: binds its own path and sends 500-byte messages."""
    count = 0

    def __init__(self, bind=True):
        Client.count += 1
        self.path = "/tmp/.client-%d-%d" % (os.getpid(), Client.count)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if bind:
            self.sock.bind(self.path)

    @staticmethod
    def message(command, option=""):
        return command.encode().ljust(20, b"\0")[:20] + option.encode().ljust(200, b"\0")[:200] + bytes(280)

    def send(self, command, option="", raw=None):
        self.sock.sendto(raw if raw is not None else self.message(command, option), SOCKET)

    def receive(self, timeout=10.0):
        self.sock.settimeout(timeout)
        try:
            data, sender = self.sock.recvfrom(4096)
        except socket.timeout:
            raise AssertionError("no reply from menuhold within %g s" % timeout) from None
        assert sender == SOCKET, "the reply did not come from the control socket"
        return Reply(data)

    def request(self, command, option="", raw=None, timeout=10.0):
        self.send(command, option, raw)
        return self.receive(timeout)

    def no_reply(self, wait=0.3):
        self.sock.settimeout(wait)
        try:
            return not self.sock.recv(4096)
        except socket.timeout:
            return True


class Daemon:
    def __init__(self, args, workdir):
        self.out_path = os.path.join(workdir, "out-%d" % time.monotonic_ns())
        self.err_path = self.out_path + ".err"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(LAUNCHER + [BIN] + list(args), stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, cwd="/tmp")
        self.pid = self.proc.pid

    def out(self):
        return read(self.out_path).decode(errors="surrogateescape")

    def err(self):
        return read(self.err_path).decode(errors="surrogateescape")

    def wait_ready(self, timeout=15.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            try:  # a stale socket file refuses the connection; the mode is set once bound
                if os.lstat(SOCKET).st_mode & 0o7777 == 0o3567 and probe.connect(SOCKET) is None:
                    return self
            except OSError:
                pass
            finally:
                probe.close()
            assert self.proc.poll() is None, "menuhold ended with %s: %s" % (self.proc.returncode, self.out())
            time.sleep(0.01)
        raise AssertionError("menuhold did not create its socket")

    def stop(self, signum=signal.SIGTERM, timeout=15.0):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        return self.proc.wait(timeout)


_held_children = []


@pytest.fixture(autouse=True)
def fresh_tmp():
    subprocess.run(["umount", "-l", "/tmp"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "menuhold-tmp", "/tmp"], check=True)
    os.mkdir(MENU)
    os.mkdir(PUSH)
    yield
    while _held_children:
        release = _held_children.pop()
        os.close(release[0])
        os.waitpid(release[1], 0)


@pytest.fixture
def syslog():
    if os.path.exists("/dev/log"):
        os.unlink("/dev/log")
    log = Syslog()
    yield log
    log.close()


@pytest.fixture
def start(tmp_path, syslog):
    daemons = []

    def _start(*args, ready=True, debug=True):
        d = Daemon(list(args) + (["-d"] if debug and "-d" not in args else []), str(tmp_path))
        daemons.append(d)
        return d.wait_ready() if ready else d

    yield _start
    for d in daemons:  # a graceful stop, so that LeakSanitizer looks too
        try:
            d.stop(timeout=10)
        except subprocess.TimeoutExpired:
            d.proc.kill()
            d.proc.wait()
        assert not any(m in d.err() for m in SANITIZER_MARKERS), "sanitizer report:\n" + d.err()


@pytest.fixture
def client():
    clients = [Client()]
    clients[0].new = lambda bind=True: clients.append(Client(bind)) or clients[-1]
    yield clients[0]
    for c in clients:
        c.sock.close()


def upload(client, data, name="up.json", directory="/tmp"):
    """Writes a product file and asks the service to take it; returns the reply."""
    return client.request("write", write(os.path.join(directory, name), data))


def ctl(*args, timeout=30):
    r = subprocess.run(LAUNCHER + [CTL] + list(args), capture_output=True, text=True, timeout=timeout)
    assert not any(m in r.stderr for m in SANITIZER_MARKERS), r.stderr
    return r


def as_nobody(function, qlen=None, stay=False):
    """Runs function in a child process with the uid and gid of nobody and returns its result.
    With qlen, the child first enters a network namespace of its own whose unix datagram
    queue length is qlen (any user may do so). With stay, the child (and every socket it
    opened) lives on until the test ends."""
    result_r, result_w = os.pipe()
    stay_r, stay_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(result_r)
            os.close(stay_w)
            if qlen:
                assert ctypes.CDLL(None, use_errno=True).unshare(0x40000000) == 0, "unshare(CLONE_NEWNET)"
                write("/proc/sys/net/unix/max_dgram_qlen", str(qlen).encode())
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            outcome = {"result": function()}
        except BaseException as e:  # the parent reports it
            outcome = {"error": repr(e)}
        os.write(result_w, json.dumps(outcome).encode())
        os.close(result_w)
        if stay:
            os.read(stay_r, 1)
        os._exit(0)
    os.close(result_w)
    os.close(stay_r)
    with os.fdopen(result_r) as f:
        outcome = json.loads(f.read() or '{"error": "no result"}')
    if stay:
        _held_children.append((stay_w, pid))
    else:
        os.close(stay_w)
        os.waitpid(pid, 0)
    assert "error" not in outcome, "the unprivileged child failed: " + outcome["error"]
    return outcome["result"]


def nobody_request(command, option=""):
    return as_nobody(lambda: Client().request(command, option).option)
