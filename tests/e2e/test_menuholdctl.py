# SPDX-License-Identifier: MIT
"""menuholdctl: its command-line conventions, its JSON on every outcome, and its reply socket against other users."""
import json
import os
import re
import socket
import subprocess

from conftest import CTL, FREE_SLOT, LAUNCHER, SOCKET, Client, as_nobody, ctl, product_json, slot, upload, write

NAMES = ("Alpha", "名前", "x\ny", "🚀 go")
LISTED = ("ID  Product Name  File Version\n1   Alpha         v1.0.0.1\n2   名前          v1.0.0.1\n"
          "3   x\\x0Ay        v1.0.0.1\n4   🚀 go         v1.0.0.1\n")
# Without a UTF-8 locale every byte over 0x7F is escaped: so for glibc under the emulator, which
# finds no locale files of its byte order (musl needs none).
if LAUNCHER and os.environ.get("MENUHOLD_LIBC") == "glibc":
    LISTED = ("ID  Product Name              File Version\n1   Alpha                     v1.0.0.1\n"
              "2   \\xE5\\x90\\x8D\\xE5\\x89\\x8D  v1.0.0.1\n3   x\\x0Ay                    v1.0.0.1\n"
              "4   \\xF0\\x9F\\x9A\\x80 go       v1.0.0.1\n")

def replies(**fields):
    """The --json object: every key always there, null where nothing is said."""
    return dict(dict.fromkeys(("command", "option", "reply", "code", "status", "products", "error")), **fields)

def test_menuholdctl_conventions(start, client):
    start(debug=False)
    assert [upload(client, product_json(n, "v1.0.0.1")).option for n in NAMES] == ["0"] * 4
    refused = 'menuhold refused "delete 9" (reply -1)'
    cases = [  # arguments, exit status, stdout (text or JSON), stderr pattern
        (["--version"], 0, "menuholdctl 3.1\n", r"^$"),
        (["--timeout=2", "--", "refresh"], 0, "0\n", r"^$"),
        (["send", "Write", "x"], 1, "-1\n", r'^menuholdctl: menuhold refused "Write x" \(reply -1\)\n$'),
        (["send", "list"], 1, "-1\n", r'refused "list"'),  # sent as it stands, not listed
        (["list"], 0, LISTED, r"^$"),
        (["-j", "delete", "9"], 1, replies(command="delete", option="9", reply="-1", code=-1, error=refused),
         "refused"),
        (["--json", "status", "0"], 0, replies(command="status", option="0", reply=slot("Alpha", "v1.0.0.1"),
                                               status=dict(available=False, product_name="Alpha",
                                                           file_version="v1.0.0.1")), r"^$"),
        (["--json", "status", "4"], 0, replies(command="status", option="4", reply=FREE_SLOT, status=dict(
            available=True, product_name=None, file_version=None)), r"^$"),
        (["--json", "list"], 0, replies(command="list", option="", products=[
            dict(id=str(i + 1), product_name=n, file_version="v1.0.0.1") for i, n in enumerate(NAMES)]), r"^$"),
        (["--jsn", "-j", "refresh"], 2, replies(error="unknown option '--jsn'; see --help"), "--jsn"),
    ] + [(args, 2, "", r"^menuholdctl: [^\n]*; see --help\n$") for args in (
        ["--jsn", "refresh"], ["status", "abc"], ["status", "-1"], ["delete", "0"], ["--timeout=inf", "refresh"],
        ["--timeout", "nan", "refresh"], ["--timeout=-1", "refresh"], ["--timeout"], ["frobnicate"], ["list", "x"], [])]
    for args, status, out, err in cases:
        r = ctl(*args)
        assert (r.returncode, json.loads(r.stdout) if isinstance(out, dict) else r.stdout) == (status, out), args
        assert re.search(err, r.stderr), (args, r.stderr)

def test_without_an_answering_service_every_outcome_is_said_on_stdout_and_stderr():
    def said(args, status, error):
        r = ctl(*args)
        expected = replies(command=args[-1], option="", error=error), "menuholdctl: %s\n" % error
        assert (r.returncode, json.loads(r.stdout), r.stderr) == (status, *expected), args

    said(["--json", "list"], 3, "menuhold is not running (no one listens on /tmp/.cjsonsock); not listing a table "
                                "that may be stale")
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as mute:
        mute.bind(SOCKET)
        waiting = subprocess.Popen(LAUNCHER + [CTL, "--json", "refresh"], stdout=subprocess.PIPE, text=True)
        mute.settimeout(10)
        mute.recv(500)
        waiting.terminate()
        assert (waiting.wait(10), json.loads(waiting.stdout.read())["error"]) == (143, "ended by SIGTERM")
        said(["--json", "--timeout", "0.5", "refresh"], 3, "no reply from menuhold within the time-out; is it "
                                                           "running and serving?")
    assert not [n for n in os.listdir("/tmp") if n.startswith("menuholdctl")], "a reply socket was left"

def test_a_reply_from_any_socket_of_the_service_counts_and_nobody_else_can_send_one():
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as service:
        service.bind(SOCKET)
        service.settimeout(10)
        waiting = subprocess.Popen(LAUNCHER + [CTL, "refresh"], stdout=subprocess.PIPE, text=True)
        request, address = service.recvfrom(500)
        directory = os.stat(os.path.dirname(address))
        assert (directory.st_uid, directory.st_mode & 0o777) == (0, 0o700), "the reply socket is reachable by others"

        def forge():
            try:
                Client(bind=False).sock.sendto(Client.message("refresh", "0"), address)
            except PermissionError:
                return "refused"
        assert as_nobody(forge) == "refused"
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as unnamed:  # as the service's spare socket sends
            unnamed.sendto(Client.message("refresh", "0"), address)
        assert (waiting.wait(10), waiting.stdout.read()) == (0, "0\n")
    assert not os.path.exists(os.path.dirname(address))

def test_a_user_cannot_make_menuholdctl_fail_by_hoarding_replies_or_planting_names(start):
    start(debug=False)

    def plant_and_hoard():  # the names that a predictable client would bind next, and unread replies
        last = int(open("/proc/sys/kernel/ns_last_pid").read())
        [write("/tmp/.menuholdctl.%d.%d" % (pid, n), b"") for pid in range(last + 1, last + 201) for n in range(100)]
        Client.hoarders = [Client() for _ in range(16)]  # kept open while the child stays
        [h.send("status", "0") for h in Client.hoarders for _ in range(12)]

    as_nobody(plant_and_hoard, stay=True)
    r = ctl("--timeout", "5", "status", "0")
    assert (r.returncode, r.stdout, r.stderr) == (0, FREE_SLOT + "\n", "")
