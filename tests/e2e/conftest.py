# SPDX-License-Identifier: MIT
"""The real menuhold in scripts/sandbox: a fresh /tmp, syslog records, daemons, clients, an unprivileged user."""
import collections
import ctypes
import gzip
import json
import os
import pathlib
import re
import shlex
import signal
import socket
import subprocess
import threading
import time

import pytest

ENV = os.environ
BIN, CTL, DATA = ENV.get("MENUHOLD_BIN", ""), ENV.get("MENUHOLDCTL_BIN"), ENV.get("MENUHOLD_DATA")
LAUNCHER, SANITIZED = shlex.split(ENV.get("MENUHOLD_LAUNCHER", "")), ENV.get("MENUHOLD_SANITIZED") == "1"
CONFINE = ENV.get("MENUHOLD_CONFINE") == "1"  # in the native pass: the service runs confined as its unit confines it
# What the C library of the programs under test prints, not Menuhold.
LIBC_TEXT = {
    "glibc": {"getopt -x": "invalid option -- 'x'", "EADDRINUSE": "Address already in use"},
    "musl": {"getopt -x": "unrecognized option: x", "EADDRINUSE": "Address in use"},
}[ENV.get("MENUHOLD_LIBC", "glibc")]
SOCKET, MENU, PUSH = "/tmp/.cjsonsock", "/tmp/json_menu", "/tmp/panel_push"
HISTORY, HISTORY_GZ = "/tmp/json_history.json", "/tmp/json_history.gz"
LOG_ERR, LOG_WARNING, LOG_INFO, NOBODY = 3, 4, 6, 65534
FREE_SLOT = "Availability: Yes\nProduct name: No product\nFile version:[ ]"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
Reply = collections.namedtuple("Reply", "raw command option")
_staying = []  # unprivileged children that live until the test ends: (pipe, pid)

def pytest_configure(config):
    if ENV.get("MENUHOLD_SANDBOX") != "1" or not os.path.exists(BIN):
        pytest.exit("run through scripts/sandbox with MENUHOLD_BIN set, never against the real /tmp", 2)

def held_name(product):
    return "0-panelpush_local_%s_0.0.0.json" % product

def product_json(name, version, extra=""):
    return ('{"product info": {"product name": %s, "file version": %s}%s}'
            % (json.dumps(name), json.dumps(version), extra)).encode()

def slot(name, version):
    return "Availability: No\nProduct name: %s\nFile version:[%s]" % (name, version)

def write(path, data=b"x", mode=None):
    pathlib.Path(path).write_bytes(data)
    os.chmod(path, mode) if mode else None
    return path

def read(path):
    return pathlib.Path(path).read_bytes()

def snapshot(directory):
    return {n: read(os.path.join(directory, n)) for n in os.listdir(directory)}

def history_rows():
    return json.loads(read(HISTORY).decode(errors="surrogateescape"))["aaData"]  # names are bytes

def assert_gzip_is_history():
    with gzip.open(HISTORY_GZ) as g:
        assert g.read() == read(HISTORY), "the gzip copy is not the history file"

def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

class Syslog:
    """/dev/log, drained all the time: syslog(3) would block the daemon on a full queue."""
    RECORD = re.compile(rb"<(\d+)>(?:\w{3} [ \d]\d [\d:]{8} )?menuhold(?:\[\d+\])?: (.*)", re.S)

    def __init__(self):
        self.sock, self.records, self.idle = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), [], 0
        self.sock.bind("/dev/log")
        self.sock.settimeout(0.05)
        self.thread = threading.Thread(target=self._drain)
        self.thread.start()

    def _drain(self):
        while True:
            try:
                m = self.RECORD.match(self.sock.recv(65536))
                self.records.append((int(m.group(1)) & 7, m.group(2).decode(errors="surrogateescape")))
            except socket.timeout:
                self.idle += 1
            except OSError:
                return

    def messages(self, level=None):
        """Every record sent before the call (the daemon logs before it replies or ends)."""
        idle, deadline = self.idle, time.time() + 5
        while self.idle <= idle and time.time() < deadline:
            time.sleep(0.01)
        return [m for lvl, m in list(self.records) if level in (None, lvl)]

class Client:
    """A stand-in for the web back end: binds a path of its own and sends 500-byte messages."""
    count = 0

    def __init__(self, bind=True, path=None):
        Client.count += 1
        self.path = path or "/tmp/.client-%d-%d" % (os.getpid(), Client.count)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.settimeout(10)  # a send to a service that hangs fails instead of blocking
        self.sock.bind(self.path) if bind else None

    @staticmethod
    def message(command, option=""):
        return command.encode().ljust(20, b"\0")[:20] + option.encode().ljust(200, b"\0")[:200] + bytes(280)

    def send(self, command, option="", raw=None):
        self.sock.sendto(raw if raw is not None else self.message(command, option), SOCKET)

    def receive(self, timeout=10.0, sender=SOCKET):
        self.sock.settimeout(timeout)
        try:
            data, came_from = self.sock.recvfrom(4096)
        except socket.timeout:
            raise AssertionError("no reply from menuhold within %g s" % timeout) from None
        assert sender in (None, came_from), "the reply came from %r, not the control socket" % came_from
        fields = (data[a:b].split(b"\0")[0].decode(errors="surrogateescape") for a, b in ((0, 20), (20, 220)))
        return Reply(data, *fields)

    def request(self, command, option="", raw=None, timeout=10.0):
        self.send(command, option, raw)
        return self.receive(timeout)

def unit_confinement(unit_path):
    """The unit's capability bounding set, and the system calls its filter allows as systemd expands the filter:
    the first (allowing) line with @default, then each line adds its calls, or with ~ takes them away."""
    groups, entries = {}, None
    for line in subprocess.run(["systemd-analyze", "syscall-filter"], capture_output=True, text=True).stdout.split("\n"):
        word = line.split("#")[0].strip()
        entries = groups.setdefault(word, []) if line.startswith("@") else entries
        entries.append(word) if word and line.startswith(" ") else None

    def expand(names):
        return set().union(*[expand(groups[n]) if n.startswith("@") else {n} for n in names])

    unit, allowed = read(unit_path).decode(), expand(["@default"])
    for value in re.findall(r"^SystemCallFilter=(.*)$", unit, re.M):
        allowed = allowed - expand(value[1:].split()) if value.startswith("~") else allowed | expand(value.split())
    caps = re.search(r"^CapabilityBoundingSet=(.*)$", unit, re.M).group(1).split()
    return sorted(allowed), [c.lower().replace("cap_", "+") for c in caps]

def confined(calls_path):
    """The service with only its unit's capabilities, under strace, which stops it only at calls outside the unit's
    filter and writes them into calls_path; with -D strace is no parent of the service, whose pid stays the one run."""
    allowed, caps = unit_confinement(os.path.join(ENV["MENUHOLD_SOURCE_DIR"], "init", "menuhold.service.in"))
    return ["setpriv", "--bounding-set=-all," + ",".join(caps), "--", "strace", "-D", "-f", "--seccomp-bpf", "-qq",
            "-e", "signal=none", "-o", calls_path, "-e", "trace=!" + ",".join("?" + c for c in allowed)]

def calls_outside_the_filter(calls_path):
    """The calls strace reported, once it has ended after the service, but for the exec that starts the service."""
    deadline = time.time() + 10
    while subprocess.run(["pgrep", "-f", calls_path], capture_output=True).returncode == 0:
        assert time.time() < deadline, "strace did not end with the service"
        time.sleep(0.01)
    calls = re.findall(r"^\d+ +(\w+)\(", read(calls_path).decode(), re.M)
    return sorted(set(calls[1:] if calls[:1] == ["execve"] else calls))

class Daemon:
    def __init__(self, args, out_path, groups=()):
        self.calls_path = "%s.%d.calls" % (out_path, os.getpid())  # pgrep sees the strace of every sandbox
        launcher = confined(self.calls_path) if CONFINE else LAUNCHER
        with open(out_path, "wb") as out, open(out_path + ".err", "wb") as err:
            self.proc = subprocess.Popen(launcher + [BIN] + args, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                         cwd="/tmp", extra_groups=list(groups))
        self.pid, self.out_path = self.proc.pid, out_path

    def out(self, suffix=""):
        return read(self.out_path + suffix).decode(errors="surrogateescape")

    def wait_ready(self):
        """Waits until this service answers at the socket path (a stale socket file refuses)."""
        probe, deadline = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM), time.time() + 15
        while not os.path.exists(SOCKET) or os.lstat(SOCKET).st_mode & 0o7777 != 0o3567 or probe.connect_ex(SOCKET):
            assert self.proc.poll() is None, "menuhold ended with %s: %s" % (self.proc.returncode, self.out())
            assert time.time() < deadline, "menuhold did not create its socket"
            time.sleep(0.01)
        probe.close()
        return self

    def stop(self, signum=signal.SIGTERM, timeout=15.0):
        self.proc.send_signal(signum) if self.proc.poll() is None else None
        return self.proc.wait(timeout)

@pytest.fixture(autouse=True)
def fresh_tmp():
    subprocess.run(["umount", "-l", "/tmp"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "menuhold-tmp", "/tmp"], check=True)
    os.mkdir(MENU)
    os.mkdir(PUSH)
    yield
    while _staying:
        stay_w, pid = _staying.pop()
        os.close(stay_w)
        os.waitpid(pid, 0)

@pytest.fixture
def syslog():
    os.unlink("/dev/log") if os.path.lexists("/dev/log") else None
    log = Syslog()
    yield log
    log.sock.close()
    log.thread.join()

@pytest.fixture
def start(tmp_path, syslog):
    daemons = []

    def _start(*args, ready=True, debug=True, groups=()):
        daemons.append(Daemon(list(args) + ["-d"] * debug, str(tmp_path / ("out%d" % len(daemons))), groups))
        return daemons[-1].wait_ready() if ready else daemons[-1]

    yield _start
    for d in daemons:  # a graceful stop, so that LeakSanitizer looks too
        try:
            d.stop(timeout=10)
        except subprocess.TimeoutExpired:
            d.proc.kill()
        assert not any(m in d.out(".err") for m in SANITIZER_MARKERS), "sanitizer report:\n" + d.out(".err")
        calls = calls_outside_the_filter(d.calls_path) if CONFINE else []
        assert not calls, "menuhold made system calls that its unit's filter refuses: %s" % " ".join(calls)

@pytest.fixture
def client():
    return Client()

def upload(client, data, name="up.json"):
    return client.request("write", write("/tmp/" + name, data))

def ctl(*args):
    r = subprocess.run(LAUNCHER + [CTL] + list(args), capture_output=True, text=True, timeout=30)
    assert not any(m in r.stderr for m in SANITIZER_MARKERS), r.stderr
    return r

def as_nobody(function, qlen=None, stay=False):
    """Runs function in a child as nobody and returns its result. With qlen, the child first enters a network
    namespace of its own (any user may) with that unix datagram queue length. With stay, it stays until the end."""
    (result_r, result_w), (stay_r, stay_w) = os.pipe(), os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(result_r)
            os.close(stay_w)
            if qlen:
                assert ctypes.CDLL(None).unshare(0x40000000) == 0, "cannot enter a network namespace"
                write("/proc/sys/net/unix/max_dgram_qlen", b"%d" % qlen)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            outcome = {"result": function()}
        except BaseException as e:  # reported by the parent
            outcome = {"error": repr(e)}
        os.write(result_w, json.dumps(outcome).encode())
        os.close(result_w)
        os.read(stay_r, 1) if stay else None
        os._exit(0)
    os.close(result_w)
    os.close(stay_r)
    with os.fdopen(result_r) as f:
        outcome = json.loads(f.read() or '{"error": "no result"}')
    _staying.append((stay_w, pid))
    if not stay:
        os.close(_staying.pop()[0])
        os.waitpid(pid, 0)
    assert "error" not in outcome, "the unprivileged child failed: " + outcome["error"]
    return outcome["result"]

def nobody_request(command, option=""):
    return as_nobody(lambda: Client().request(command, option).option)
