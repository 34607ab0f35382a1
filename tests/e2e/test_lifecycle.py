# SPDX-License-Identifier: MIT
"""The process: its options, its start and stop, its signals, and its debug transcript."""
import os
import re
import signal
import socket
import stat
import subprocess
import time

import pytest

from conftest import (BIN, DATA, HISTORY, HISTORY_GZ, LAUNCHER, LIBC_TEXT, LOG_INFO, MENU, PUSH, SOCKET,
                      assert_gzip_is_history, held_name, history_rows, product_json, read, upload, write)

ANNOUNCE = "main(): To open path /tmp/panel_push\nmain(): to remove table file /tmp/json_history.json\n"
USAGE, VERSION = read(os.path.join(DATA, "usage.txt")).decode(), "Current version is :[v3.1]\n"

@pytest.mark.parametrize("args,out", [(["-v"], VERSION), (["-h"], USAGE), (["-h", "-v"], USAGE),
                                      (["-cv"], "Clear invalid blocks\n" + VERSION)])
def test_information_options_print_and_touch_nothing(args, out):
    published = [write(HISTORY), write(os.path.join(PUSH, held_name("A")))]
    r = subprocess.run(LAUNCHER + [BIN] + args, capture_output=True, text=True, timeout=30)
    assert (r.returncode, r.stdout, r.stderr) == (0, out, "")
    assert all(os.path.exists(p) for p in published) and not os.path.exists(SOCKET)

def test_start_removes_the_published_state_and_ignores_what_it_does_not_know(start, client):
    keep = ["0-PANELPUSH_LOCAL_x.json", "other.json", "0-panelpush_locaX.json"]
    for name in keep + ["x0-panelpush_localy", held_name("Alpha"), "0-panelpush_local"]:
        write(os.path.join(PUSH, name))
    os.mkdir(PUSH + "/sub")
    write(PUSH + "/sub/" + held_name("Deep"))
    write(HISTORY, b"old")
    os.symlink(write("/tmp/kept", b"root's file", 0o600), HISTORY_GZ)  # a link of root's: replaced, never followed
    socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM).bind(SOCKET)  # a stale socket path
    d = start("-x", "extra", debug=False)
    assert client.request("refresh").option == "0" and history_rows() == []
    assert sorted(os.listdir(PUSH)) == sorted(keep + ["sub"]) and os.listdir(PUSH + "/sub") == [held_name("Deep")]
    assert_gzip_is_history()
    os.umask(umask := os.umask(0))
    assert (os.stat(HISTORY_GZ).st_mode & 0o7777, read("/tmp/kept")) == (0o666 & ~umask, b"root's file")
    assert d.stop() == 0 and (d.out(), d.out(".err").count(LIBC_TEXT["getopt -x"])) == (ANNOUNCE, 1)

def test_clear_mode_republishes_and_exits_leaving_the_socket(start, syslog):
    write(os.path.join(MENU, held_name("Alpha")), product_json("Alpha", "v1.0.0.0"))
    d = start("-c", ready=False, debug=False)
    assert d.proc.wait(15) == 0
    assert d.out() == ("Clear invalid blocks\n" + ANNOUNCE
                       + "Finished clearing All invalid blocks, existing program.....\n")
    assert os.path.exists(os.path.join(PUSH, held_name("Alpha"))) and stat.S_ISSOCK(os.lstat(SOCKET).st_mode)
    assert [m for m in syslog.messages() if "exit" in m or "loop" in m or "Recovering" in m] == [
        "recovery():Recovering json files from NV\n"]

SIGNALS = [  # the signals, the exit status, the records in either order of delivery
    ((signal.SIGINT, signal.SIGTERM), 0, (((2, 1), (15, 2)), ((15, 1), (2, 2)))),
    pytest.param((signal.SIGSEGV,), -11, (((11, 1),),), marks=pytest.mark.skipif(
        bool(LAUNCHER), reason="an emulator takes a SIGSEGV sent from outside for a fault of its own"))]

@pytest.mark.parametrize("signals,status,records", SIGNALS)
def test_each_signal_is_logged_with_its_count_before_the_process_ends(start, client, syslog, signals, status, records):
    d = start(debug=False)
    client.request("refresh")
    for signum in (signal.SIGSTOP, *signals, signal.SIGCONT):  # the signals arrive together
        d.proc.send_signal(signum)
    assert d.proc.wait(5) == status
    logged = syslog.messages()
    tail = ["menuhold loop ended\n\n", "Menuhold (PID: %d) exit\n" % d.pid] if status == 0 else []
    assert any(logged[-len(order) - len(tail):] == ["menuhold exit with signal %d (cnt=%d)\n" % r for r in order] + tail
               for order in records) and logged == syslog.messages(LOG_INFO)

def test_a_socket_path_that_cannot_be_bound_ends_the_start_with_255(start):
    os.mkdir(SOCKET)
    write(os.path.join(SOCKET, "keep"))
    d = start(ready=False)
    assert d.proc.wait(15) == 255
    assert "[%s] init failed\n" % BIN in d.out() and "bind: bind failed: [%s]\n" % LIBC_TEXT["EADDRINUSE"] in d.out()
    assert os.path.exists(HISTORY)  # the table was written before the socket

def test_debug_transcript_of_a_session(start, client, syslog):
    """Every debug line of start, the idle wait, each kind of request and the stop on SIGINT."""
    d, deadline = start(), time.time() + 4
    while "Timeout...\n" not in d.out():
        assert time.time() < deadline, "no idle line after the 3 s wait"
        time.sleep(0.05)
    alpha = read(os.path.join(DATA, "alpha-v1.0.0.1.json"))
    for data in (alpha, alpha, read(os.path.join(DATA, "alpha-v1.0.0.2.json")), alpha, b"not json", b"[1]",
                 b'{"product info": {}}', product_json(7, "v1.0.0.0"), product_json("a/b", "v1.0.0.0"),
                 b'{"product info": {"product name": "A"}}', product_json("A", "V1.0.0.0"),
                 product_json("A", "v1.0.0." + "1" * 18)):
        upload(client, data)
    for command, option in (("write", "/tmp/none.json"), ("status", "0"), ("delete", "2"), ("delete", "1"),
                            ("refresh", ""), ("Write", "x")):
        client.request(command, option)
    type(client)(bind=False).send("refresh")
    client.request("refresh")
    time.sleep(0.3)  # idle in select, so that the signal interrupts the wait
    assert d.stop(signal.SIGINT) == 0
    assert "menuhold exit with signal 2 (cnt=1)\n" in syslog.messages(LOG_INFO)
    assert syslog.messages().count("Cannot response message from client, may need to restart menuhold\n") == 1
    out = re.sub(r"(\]\[|ctrl_socket=|ctrl_socket\[)\d+", r"\1N", d.out()).replace(client.path, "CLIENT")
    assert out == read(os.path.join(DATA, "debug-transcript.txt")).decode()
