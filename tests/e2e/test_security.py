# SPDX-License-Identifier: MIT
"""Attacks of a local user without privileges (uid 65534) on the root service: root's files, the held
products and the service's availability survive whatever such a user sends or plants."""
import ctypes
import os
import re
import select
import socket
import struct
import subprocess
import threading
import time
from unittest import mock

import conftest
import pytest

from conftest import (BIN, HISTORY, HISTORY_GZ, LAUNCHER, LOG_ERR, LOG_INFO, LOG_WARNING, MENU, NOBODY, PUSH, SANITIZED,
                      SOCKET, Client, as_nobody, assert_gzip_is_history, held_name, history_rows, memory_kib,
                      nobody_request, product_json, read, snapshot, upload, write)

NATIVE = not SANITIZED and not LAUNCHER  # memory figures and large tables: only where they mean something

def bomb_bytes(name="Bomb"):
    """16 MiB of the tiniest JSON values: a parse would need many times the file's size."""
    head = product_json(name, "v1.0.0.0")[:-1] + b', "pad": ['
    return head + b"0," * ((16 * 1024 * 1024 - len(head) - 3) // 2) + b"0]}"

def test_the_file_checked_is_the_file_read_and_removed_whatever_happens_to_its_path(start):
    start(debug=False)
    os.mkdir("/tmp/root")
    write("/tmp/root/passwd.json", b"root's own file")

    def attack():  # once the service has opened the upload, its directory becomes a link to /tmp/root
        os.makedirs("/tmp/home/up")
        write("/tmp/home/up/passwd.json", product_json("Race", "v1.0.0.0", ', "pad": "%s"' % ("r" * 8000000)))
        libc, c = ctypes.CDLL(None), Client()
        watch = libc.inotify_init1(0)
        assert libc.inotify_add_watch(watch, b"/tmp/home/up", 0x20) >= 0  # IN_OPEN
        c.send("write", "/tmp/home/up/passwd.json")
        events = b""
        while b"passwd.json" not in events:
            assert select.select([watch], [], [], 10)[0], "the service did not open the upload within 10 s"
            events = os.read(watch, 4096)
        os.rename("/tmp/home/up", "/tmp/home/away")
        os.symlink("/tmp/root", "/tmp/home/up")
        return c.receive(30).option

    as_nobody(attack)
    assert read("/tmp/root/passwd.json") == b"root's own file", "root removed a file through a swapped link"

@pytest.mark.parametrize("mode", [0o4755, 0o2755, 0o6777])
def test_held_copies_take_the_uploads_permissions_but_no_file_written_carries_special_bits(start, mode):
    as_nobody(lambda: write(HISTORY_GZ, b"planted", 0o4777))  # its mode is not kept
    start(debug=False)
    for version, upload_mode in (("v1.0.0.0", mode), ("v2.0.0.0", 0o600)):  # a rewrite keeps the copy's mode
        as_nobody(lambda: write("/tmp/mine.json", product_json("Mine", version), upload_mode))
        assert nobody_request("write", "/tmp/mine.json") == "0"
    os.umask(umask := os.umask(0))
    held = [MENU + "/" + held_name("Mine"), PUSH + "/" + held_name("Mine")]
    assert [oct(os.stat(p).st_mode & 0o7777) for p in held] == [oct(mode & 0o777 & ~umask)] * 2
    assert [oct(os.stat(p).st_mode & 0o7777) for p in (HISTORY, HISTORY_GZ)] == [oct(m & ~umask) for m in (0o776, 0o666)]

def test_start_removes_its_own_leftover_temporaries_and_nobody_elses(start, client):
    own = [write(directory + "/.menuhold-own", b"partial") for directory in ("/tmp", MENU, PUSH)]
    theirs = as_nobody(lambda: write("/tmp/.menuhold-theirs", b"a user's file"))
    start()
    client.request("refresh")
    assert not any(os.path.exists(p) for p in own)
    assert read(theirs) == b"a user's file", "start-up removed another user's file"

@pytest.mark.parametrize("sockets,requests,qlen", [(16, 12, None), (1, 40000, 1000000)])
def test_replies_left_unread_cost_no_other_client_its_reply_and_hold_little_memory(start, client, sockets, requests,
                                                                                    qlen):
    d = start(debug=False)

    def hoard():  # never read; with qlen, in a network namespace where the user's queue takes a million replies
        Client.hoarders = [Client() for _ in range(sockets)]  # kept open while the child stays
        for h in Client.hoarders:
            sent, deadline = 0, time.time() + 60
            while sent < requests and time.time() < deadline:
                try:
                    sent += h.sock.sendto(Client.message("status", "0"), socket.MSG_DONTWAIT, SOCKET) > 0
                except BlockingIOError:
                    time.sleep(0.0005)
        return sent

    assert as_nobody(hoard, qlen=qlen, stay=True) == requests
    client.send("status", "0")
    assert client.receive(3, sender=None).option.startswith("Availability:")  # from where the service can
    out = subprocess.run(["ss", "-x", "-a", "-m", "-p"], capture_output=True, text=True, check=True).stdout
    held = sum(int(re.search(r"skmem:\(\S*?,t(\d+),", line).group(1)) for line in out.splitlines()
               if "pid=%d," % d.pid in line)  # kernel memory of the service's unread replies
    print("unread replies of %d requests hold %d bytes of kernel memory" % (sockets * requests, held))
    assert held <= 1024 * 1024

@pytest.mark.parametrize("held", [0, pytest.param(25000, marks=pytest.mark.skipif(not NATIVE, reason="slow"))])
@pytest.mark.parametrize("path", ["/tmp/bomb.json", MENU + "/" + held_name("Bomb")])
def test_a_file_of_tiny_values_is_refused_within_the_memory_bound(start, client, syslog, path, held):
    for i in range(held):  # as many products as the service holds at most
        write(MENU + "/" + held_name("%05d" % i), product_json("%05d" % i, "v1.0.0.0"))
    write(path, bomb_bytes()) if path.startswith(MENU) else as_nobody(lambda: write(path, bomb_bytes()))
    d = start(debug=False)
    client.request("refresh", timeout=120)  # answered once the rebuild has ended
    rss = memory_kib(d.pid, "VmRSS")
    if path == "/tmp/bomb.json":
        assert nobody_request("write", path) == "-1" and not os.path.exists(path)
        assert "add(): Cannot read json file %s\n" % path in syslog.messages(LOG_ERR)
    assert len(history_rows()) == held
    assert any(os.path.basename(path) in m and "needs more memory than the parse budget" in m
               for m in syslog.messages(LOG_ERR)), "no LOG_ERR line names the file"
    if NATIVE:  # shadow memory and an emulator's own would count
        print("peak %d KiB with %d products held" % (memory_kib(d.pid, "VmHWM"), held))
        assert memory_kib(d.pid, "VmHWM") <= 64 * 1024, "peak of %d KiB" % memory_kib(d.pid, "VmHWM")
        assert memory_kib(d.pid, "VmRSS") <= rss + 4096, "memory was not given back"
    if held:  # at the most held, a new product is refused and a newer version still taken
        assert upload(client, product_json("New", "v1.0.0.0")).option == "-1"
        assert "add(): refused /tmp/up.json: %d products are held, the most there may be\n" % held in syslog.messages(
            LOG_ERR)
        assert upload(client, product_json("00007", "v2.0.0.0")).option == "0" and history_rows()[-1][1] == "00007"

def test_one_users_flood_of_costly_uploads_delays_another_user_by_about_one_request(start, client):
    start(debug=False)
    os.mkdir("/tmp/flood")
    os.chmod("/tmp/flood", 0o777)
    libc = ctypes.CDLL(None)
    served = libc.inotify_init1(os.O_NONBLOCK)  # the service removes each upload before it replies
    assert libc.inotify_add_watch(served, b"/tmp/flood", 0x200) >= 0  # IN_DELETE

    def flood():  # 64 senders, each with one costly upload in flight, each under a new name
        def sender(i):
            c = Client()
            for n in range(1000000):
                os.link("/tmp/flood/bomb", "/tmp/flood/%d-%d" % (i, n))
                c.request("write", "/tmp/flood/%d-%d" % (i, n), timeout=120)

        write("/tmp/flood/bomb", bomb_bytes())
        for i in range(64):
            threading.Thread(target=sender, args=(i,), daemon=True).start()

    as_nobody(flood, stay=True)
    assert select.select([served], [], [], 120)[0], "the flood was not served"
    sent = time.monotonic()
    client.send("status", "0")
    while select.select([served], [], [], 0)[0]:  # count from the moment root's request is queued
        os.read(served, 65536)
    assert client.receive(120).option.startswith("Availability:")
    waited, events = time.monotonic() - sent, os.read(served, 65536) if select.select([served], [], [], 0)[0] else b""
    between, at = 0, 0
    while at < len(events):  # struct inotify_event: wd, mask, cookie, len, name
        between += struct.unpack_from("iIII", events, at)[1] == 0x200
        at += 16 + struct.unpack_from("iIII", events, at)[3]
    print("root's status waited %.3f s, while %d uploads of the flood were served" % (waited, between))
    assert between <= 1, "the flood's uploads came first"

@pytest.mark.parametrize("target,mode,group", [(SOCKET, None, None), ("/tmp/root/sock", 0o700, 0),
                                               ("/tmp/root/sock", 0o770, 0), ("/tmp/root/sock", 0o770, 4242)])
def test_a_reply_goes_only_where_its_sender_could_send_and_never_back_to_the_service(start, client, syslog, target,
                                                                                     mode, group):
    start(debug=False, groups=[4242])  # started with a supplementary group, as from some shells
    receiver = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    if target != SOCKET:  # root's socket, for root alone, for root's group or for a group root is in
        os.mkdir("/tmp/root")
        receiver.bind(target)
        for path in ("/tmp/root", target):
            os.chown(path, 0, group)
            os.chmod(path, mode)

    def attack():  # the user's reply address becomes a link to the target
        os.mkdir("/tmp/home")
        c = Client(path="/tmp/home/reply")
        os.unlink(c.path)
        os.symlink(target, c.path)
        c.send(None, raw=Client.message("delete", "0")[:220] + b"chosen by the user".ljust(280, b"!"))

    as_nobody(attack)
    assert client.request("refresh").option == "0"  # served after the attack
    time.sleep(0.3)  # a loop of replies would go on meanwhile
    assert syslog.messages(LOG_INFO).count("Erase failed[-1]\n") == 1, "the service served its own reply"
    receiver.setblocking(False)
    with pytest.raises(BlockingIOError):
        receiver.recv(500)

def test_a_name_a_user_chose_cannot_forge_a_syslog_record(start, syslog):
    start(debug=False)
    path = b"/tmp/x\nmenuhold: forged \x1b[2J\\\xff\xc2\x85"
    as_nobody(lambda: Client().request(None, raw=b"write".ljust(20, b"\0") + path.ljust(480, b"\0")).option)
    assert "add(): Cannot read json file /tmp/x\\x0Amenuhold: forged \\x1B[2J\\\\\\xFF\\u0085\n" in syslog.messages(
        LOG_ERR)

FIXED = [(SOCKET, "before"), (HISTORY, "before"), (HISTORY_GZ, "before"), (HISTORY_GZ, "while"), (MENU, "before"),
         (PUSH, "before")]

@pytest.mark.parametrize("path,when", FIXED)
def test_another_users_entry_at_a_fixed_path_is_moved_aside_and_replaced(start, client, syslog, path, when):
    os.rmdir(path) if path in (MENU, PUSH) else None
    if when == "while":  # the name is free until the next change is published
        start(debug=False) and client.request("refresh")  # answered once the rebuild has ended
        os.unlink(path)

    def plant():  # a directory with a planted copy in it, or a link to such a directory
        os.mkdir("/tmp/mine")
        write("/tmp/mine/" + held_name("Planted"), product_json("Planted", "v0.0.0.1"))
        os.symlink("/tmp/mine", path) if path == PUSH else os.rename("/tmp/mine", path)

    as_nobody(plant)
    start(debug=False) if when == "before" else None
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    moved = [n for n in os.listdir("/tmp") if n.startswith(os.path.basename(path) + ".moved.")]
    assert len(moved) == 1 and os.lstat("/tmp/" + moved[0]).st_uid == NOBODY
    assert os.listdir("/tmp/mine" if path == PUSH else "/tmp/" + moved[0]) == [held_name("Planted")]
    assert "%s was made by uid %d: moved aside to /tmp/%s\n" % (path, NOBODY, moved[0]) in syslog.messages(LOG_WARNING)
    assert history_rows() == [["1", "A", "v1.0.0.0"]] and [os.listdir(d) for d in (MENU, PUSH)] == [[held_name("A")]] * 2
    assert_gzip_is_history()

@pytest.mark.parametrize("path,mode", [(MENU, 0o777), (PUSH, 0o775)])
def test_a_directory_of_roots_that_others_may_write_is_not_used(start, client, syslog, path, mode):
    os.chmod(path, mode)
    write(path + "/" + held_name("Planted"), product_json("Planted", "v0.0.0.1"))
    closed = ["sh", "-c", 'exec "$0" "$@" <&-']  # standard input closed, confined or not
    with mock.patch.object(conftest, "LAUNCHER", closed + LAUNCHER), \
            mock.patch.object(conftest, "confined", lambda out, confined=conftest.confined: closed + confined(out)):
        start(debug=False)
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert "cannot use directory %s: writable by group or others\n" % path in syslog.messages(LOG_ERR)
    assert [r[1] for r in history_rows()] == ["A"] and os.listdir(path) == [held_name("Planted")]

def test_a_user_racing_for_the_socket_path_cannot_keep_the_service_from_starting(start, client):
    d = start(debug=False)
    racer = subprocess.Popen(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups", "sh", "-c",
                              "while :; do mkdir %s 2>/dev/null; sleep 0.0005; done" % SOCKET])  # as nobody
    try:
        d.stop()  # the racer takes the path the moment the service removes its socket
        start(debug=False)
        assert client.request("refresh", timeout=3).option == "0"
    finally:
        racer.kill()
        racer.wait()

@pytest.mark.parametrize("path", [MENU + "/", PUSH + "/", "/tmp/./json_menu/"])
def test_an_upload_naming_a_held_copy_is_refused_and_nothing_is_removed(start, client, path):
    start(debug=False)
    upload(client, product_json("A", "v1.0.0.0"))
    before = snapshot(MENU), snapshot(PUSH)
    assert client.request("write", path + held_name("A")).option == "-1"
    assert (snapshot(MENU), snapshot(PUSH)) == before

def test_a_deleted_product_stays_deleted_after_a_restart(start, client):
    write(MENU + "/" + held_name("B"), product_json("Dup", "v1.0.0.0"))  # under another product's file name
    write(MENU + "/0-panelpush_local_two.json", product_json("Dup", "v2.0.0.0"))
    d = start(debug=False)
    assert nobody_request("delete", "1") == "0" and os.listdir(PUSH) == []
    upload(client, product_json("B", "v1.0.0.0")), upload(client, product_json("Dup", "v3.0.0.0"))
    assert client.request("delete", "2").option == "0" and os.listdir(MENU) == [held_name("B")], "B's file went"
    d.stop()
    start(debug=False)
    client.request("refresh")  # answered once the rebuild has ended
    assert history_rows() == [["1", "B", "v1.0.0.0"]], "a deleted product came back from %s" % os.listdir(MENU)

def test_only_a_running_service_makes_a_second_one_exit(start, client):
    other = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    other.bind("/tmp/other.sock")  # another program's live socket, where any user could link it
    os.link("/tmp/other.sock", SOCKET)  # (the test makes the link as root: users may only where links are unprotected)
    start(debug=False)
    second = start(debug=False, ready=False)
    assert second.proc.wait(5) == 1  # a second menuhold still running fails with TimeoutExpired
    assert second.out(".err").endswith("%s: another menuhold is running on %s\n" % (BIN, SOCKET))
    assert client.request("refresh", timeout=3).option == "0"
