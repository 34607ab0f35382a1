# SPDX-License-Identifier: MIT
"""Attacks of a local user without privileges (uid 65534) on the root service: root's files, the held
products and the service's availability survive whatever such a user sends or plants."""
import ctypes
import os
import select
import socket
import subprocess
import time
from unittest import mock

import conftest
import pytest

from conftest import (BIN, HISTORY, HISTORY_GZ, LAUNCHER, LOG_ERR, MENU, PUSH, SANITIZED, SOCKET, Client, as_nobody,
                      assert_gzip_is_history, held_name, history_rows, memory_kib, nobody_request, product_json, read,
                      snapshot, upload, write)

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
    as_nobody(lambda: write(HISTORY_GZ, b"planted", 0o4777))
    start(debug=False)
    for version, upload_mode in (("v1.0.0.0", mode), ("v2.0.0.0", 0o600)):  # a rewrite keeps the copy's mode
        as_nobody(lambda: write("/tmp/mine.json", product_json("Mine", version), upload_mode))
        assert nobody_request("write", "/tmp/mine.json") == "0"
    os.umask(umask := os.umask(0))
    held = [MENU + "/" + held_name("Mine"), PUSH + "/" + held_name("Mine")]
    assert [oct(os.stat(p).st_mode & 0o7777) for p in held] == [oct(mode & 0o777 & ~umask)] * 2
    assert [oct(os.stat(p).st_mode & 0o7000) for p in (HISTORY, HISTORY_GZ)] == ["0o0"] * 2

def test_planted_temporary_names_never_block_a_write(start, client):
    d, now = start(debug=False), int(time.time())
    # The names that the service's pid, the clock and a counter would give.
    names = {".menuhold-%x" % (((d.pid * 2654435761 ^ t) + n * 40503) & 0xffffffff)
             for t in range(now - 1, now + 4) for n in range(1, 800)}
    as_nobody(lambda: [write("/tmp/" + n, b"") for n in names] and None)
    [write(directory + "/" + name, b"") for directory in (MENU, PUSH) for name in names]
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"]], "the history file was not rewritten"
    assert_gzip_is_history()
    assert read(MENU + "/" + held_name("A")) == product_json("A", "v1.0.0.0")

def test_start_removes_its_own_leftover_temporaries_and_nobody_elses(start, client):
    own = [write(directory + "/.menuhold-own", b"partial") for directory in ("/tmp", MENU, PUSH)]
    theirs = as_nobody(lambda: write("/tmp/.menuhold-theirs", b"a user's file"))
    start()
    client.request("refresh")
    assert not any(os.path.exists(p) for p in own)
    assert read(theirs) == b"a user's file", "start-up removed another user's file"

@pytest.mark.parametrize("sockets,requests,qlen", [(16, 12, None), (1, 600, 512)])
def test_clients_that_hoard_replies_never_cost_another_client_its_reply(start, client, sockets, requests, qlen):
    start(debug=False)

    def hoard():  # send without blocking, never read
        Client.hoarders = [Client() for _ in range(sockets)]  # kept open while the child stays
        for h in Client.hoarders:
            sent, deadline = 0, time.time() + 20
            while sent < requests and time.time() < deadline:
                try:
                    sent += h.sock.sendto(Client.message("status", "0"), socket.MSG_DONTWAIT, SOCKET) > 0
                except BlockingIOError:
                    time.sleep(0.001)

    as_nobody(hoard, qlen=qlen, stay=True)
    time.sleep(0.5)
    client.send("status", "0")
    assert client.receive(3, sender=None).option.startswith("Availability:")  # from where the service can

@pytest.mark.parametrize("path", ["/tmp/bomb.json", MENU + "/" + held_name("Bomb")])
def test_a_file_of_tiny_values_is_refused_within_the_memory_bound(start, client, syslog, path):
    head = product_json("Bomb", "v1.0.0.0")[:-1] + b', "pad": ['
    bomb = head + b"0," * ((16 * 1024 * 1024 - len(head) - 3) // 2) + b"0]}"
    as_nobody(lambda: write(path, bomb)) if path == "/tmp/bomb.json" else write(path, bomb)
    d = start(debug=False)
    rss = memory_kib(d.pid, "VmRSS")
    if path == "/tmp/bomb.json":
        assert nobody_request("write", path) == "-1" and not os.path.exists(path)
        assert "add(): Cannot read json file %s\n" % path in syslog.messages(LOG_ERR)
    client.request("refresh")
    assert history_rows() == []
    assert any(os.path.basename(path) in m and "needs more memory than the parse budget" in m
               for m in syslog.messages(LOG_ERR)), "no LOG_ERR line names the file"
    if not SANITIZED and not LAUNCHER:  # their shadow memory and the emulator's own would count
        assert memory_kib(d.pid, "VmHWM") <= 64 * 1024, "peak of %d KiB" % memory_kib(d.pid, "VmHWM")
        assert memory_kib(d.pid, "VmRSS") <= rss + 4096, "memory was not given back"

@pytest.mark.parametrize("path,planted", [(MENU, "link"), (PUSH, "link"), (MENU, "directory"), (PUSH, 0o777),
                                          (MENU, 0o775)])
def test_a_directory_that_is_not_the_services_own_is_not_used(start, client, syslog, path, planted):
    def plant():  # as the user: a directory of its own, or a link to one
        os.mkdir(path if planted == "directory" else "/tmp/mine")
        if planted == "link":
            os.symlink("/tmp/mine", path)

    if isinstance(planted, int):
        os.chmod(path, planted)
    else:
        os.rmdir(path)
        as_nobody(plant)
    for n in ("Planted", "A"):
        write(path + "/" + held_name(n), product_json(n, "v0.0.0.1"))
    before = snapshot(path)
    with mock.patch.object(conftest, "LAUNCHER", ["sh", "-c", 'exec "$0" "$@" <&-'] + LAUNCHER):  # stdin closed
        start(debug=False)
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    client.request("delete", "1")
    assert any(m.startswith("cannot use directory %s: " % path) for m in syslog.messages(LOG_ERR))
    assert "Planted" not in [r[1] for r in history_rows()]
    assert snapshot(path) == before, "the service wrote or removed files in a directory it must not use"

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

def test_a_second_service_exits_at_once_and_the_first_keeps_its_socket(start, client):
    start(debug=False)
    second = start(debug=False, ready=False)
    try:
        assert second.proc.wait(5) == 1
    except subprocess.TimeoutExpired:
        raise AssertionError("a second menuhold is still running") from None
    assert second.out(".err").endswith("%s: another menuhold is running on %s\n" % (BIN, SOCKET))
    assert client.request("refresh", timeout=3).option == "0"
