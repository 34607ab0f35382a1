# SPDX-License-Identifier: MIT
"""Who may hand over a file, many clients, full and read-only file systems, kill -9: nothing held is lost."""
import concurrent.futures
import json
import os
import random
import re
import subprocess
import time

from conftest import (HISTORY, LAUNCHER, LOG_ERR, LOG_INFO, MENU, NOBODY, PUSH, SANITIZED, Client, as_nobody,
                      assert_gzip_is_history, history_rows, held_name, memory_kib, nobody_request, product_json,
                      read, slot, snapshot, upload, write)

def test_an_unprivileged_sender_may_hand_over_only_its_own_files(start, client, syslog):
    start(debug=False)
    write("/tmp/root.json", product_json("Root", "v1.0.0.0"))
    as_nobody(lambda: write("/tmp/mine.json", product_json("Mine", "v1.0.0.0")) and None)
    assert [nobody_request("write", p) for p in ("/tmp/root.json", "/tmp/none.json")] == ["-1", "-1"]
    assert read("/tmp/root.json") == product_json("Root", "v1.0.0.0") and os.listdir(MENU) == []
    assert {"add(): refused /tmp/root.json from uid %d: not the owner of the file\n" % NOBODY,
            "add(): Cannot read json file /tmp/none.json\n"} <= set(syslog.messages(LOG_ERR))
    assert nobody_request("write", "/tmp/mine.json") == "0" and not os.path.exists("/tmp/mine.json")
    assert [nobody_request(*r) for r in (("status", "0"), ("refresh", ""), ("delete", "1"))] == [
        slot("Mine", "v1.0.0.0"), "0", "0"]
    as_nobody(lambda: write("/tmp/theirs.json", product_json("Theirs", "v1.0.0.0")) and None)
    assert client.request("write", "/tmp/theirs.json").option == "0"  # root may hand over anyone's file

def assert_held_copies_complete_and_listed():
    held = [json.loads(read(MENU + "/" + n))["product info"] for n in os.listdir(MENU)]  # complete JSON, never cut
    assert sorted(os.listdir(MENU)) == sorted(held_name(p["product name"]) for p in held)
    assert snapshot(PUSH) == snapshot(MENU)
    assert [r[0] for r in history_rows()] == [str(i + 1) for i in range(len(held))]
    assert {r[1]: r[2] for r in history_rows()} == {p["product name"]: p["file version"] for p in held}
    assert_gzip_is_history()

def run_clients(clients, requests, window, seed):
    """Each client keeps up to window requests in flight; every reply must be its own, in order."""
    errors = []

    def one(index):
        rng, c, pending = random.Random(seed * 100 + index), Client(), []
        try:
            for i in range(requests):
                kind = rng.choice(["write", "write", "status", "delete", "refresh"])
                data = product_json("L%d" % rng.randrange(12), "v1.0.%d.%d" % (index, i), ', "m": "%s"' % ("x" * 2000))
                c.send(kind, {"status": str(rng.randrange(14)), "delete": str(rng.randrange(1, 14)), "refresh": "now"}.get(
                    kind) or write("/tmp/load-%d-%d.json" % (index, i), data))
                pending.append(kind)
                while len(pending) >= window or (i == requests - 1 and pending):
                    r, expected = c.receive(20), pending.pop(0)
                    ok = {"status": r.option.startswith("Availability: "), "delete": r.option in ("0", "-1")}
                    if r.command != expected or not ok.get(expected, r.option == "0"):
                        errors.append("client %d: %r for %s" % (index, r, expected))
            c.sock.settimeout(0.2)
            errors.append("client %d: an extra reply %r" % (index, c.sock.recv(500)))
        except TimeoutError:
            pass
        except AssertionError as e:
            errors.append("client %d: %s" % (index, e))

    with concurrent.futures.ThreadPoolExecutor(clients) as pool:
        list(pool.map(one, range(clients)))
    return errors

def test_eight_busy_clients_each_get_every_reply_in_order_and_memory_stays_flat(start):
    d = start(debug=False)
    assert run_clients(8, 150, 4, seed=1) == []
    assert_held_copies_complete_and_listed()
    warm = memory_kib(d.pid, "RssAnon")
    assert run_clients(8, 150, 4, seed=2) == []
    assert_held_copies_complete_and_listed()
    grown = memory_kib(d.pid, "RssAnon") - warm
    # Under ASan its quarantine, under an emulator the emulator's own heap, count too.
    assert grown < (4096 if SANITIZED or LAUNCHER else 256), "memory grew by %d KiB over 1200 requests" % grown

def test_a_read_only_menu_directory_leaves_the_product_published(start, client, syslog):
    subprocess.run("mount --bind %s %s && mount -o remount,ro,bind %s" % (MENU, MENU, MENU), shell=True, check=True)
    start(debug=False)
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"]] and os.path.exists(os.path.join(PUSH, held_name("A")))
    assert "cannot write %s/%s: Read-only file system\n" % (MENU, held_name("A")) in syslog.messages(LOG_ERR)

def test_a_full_menu_file_system_keeps_the_old_complete_copy(start, client, syslog):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "small", MENU], check=True)
    start(debug=False)
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    subprocess.run(["dd", "if=/dev/zero", "of=" + MENU + "/filler", "bs=64k", "count=1"], capture_output=True)
    assert upload(client, product_json("A", "v2.0.0.0", ', "m": "%s"' % ("y" * 40000))).option == "0"
    assert "cannot write %s/%s: No space left on device\n" % (MENU, held_name("A")) in syslog.messages(LOG_ERR)
    assert read(os.path.join(MENU, held_name("A"))) == product_json("A", "v1.0.0.0")
    assert sorted(os.listdir(MENU)) == sorted(["filler", held_name("A")])

def test_a_full_tmp_keeps_the_old_history_file_and_its_whole_gzip_copy(start, client, syslog):
    for name in ("%04d" % i + "n" * 50 for i in range(1000)):  # a history file of more than 64 KiB
        write(MENU + "/" + held_name(name), product_json(name, "v1.0.0.0"))
    start(debug=False)
    client.request("refresh")  # answered once the rebuild has ended
    before, fs = read(HISTORY), os.statvfs("/tmp")
    assert len(before) > 65536 and history_rows()[-1][0] == "1000"
    used_kib = (fs.f_blocks - fs.f_bfree) * fs.f_frsize // 1024
    subprocess.run(["mount", "-o", "remount,size=%dk" % (used_kib + 40), "/tmp"], check=True)  # the gzip fits
    os.remove("/tmp/json_history.gz")  # so that it must be made again, of the history file that stayed
    assert client.request("refresh").option == "0" and read(HISTORY) == before
    assert not [m for m in syslog.messages(LOG_ERR) if "json_history" in m]
    logged = syslog.messages(LOG_INFO)
    assert any(re.fullmatch(r"\[refresh_table\]\[\d+\]fail to create json table\n", m) for m in logged)
    assert_gzip_is_history()
    subprocess.run(["mount", "-o", "remount,size=64m", "/tmp"], check=True)
    assert client.request("refresh").option == "0" and read(HISTORY) == before

def test_kill_9_during_uploads_and_deletes_loses_nothing(start, client):
    rng = random.Random(11)
    for round_ in range(8):
        d, sender, deadline, i = start(debug=False), Client(), time.time() + rng.uniform(0.05, 0.3), 0
        while time.time() < deadline:  # requests keep coming, their replies are never read
            data = product_json("K%d" % (i % 5), "v1.0.%d.%d" % (round_, i), ', "m": "%s"' % ("q" * 200000))
            sender.send(*(("delete", "1") if i % 4 == 3 else ("write", write("/tmp/k%d-%d" % (round_, i), data))))
            i += 1
        d.proc.kill()
        d.proc.wait()
        checker = start(debug=False)
        client.request("refresh")
        assert [n for n in os.listdir(MENU) if n.startswith(".menuhold-")] == []
        assert_held_copies_complete_and_listed()
        assert checker.stop() == 0
