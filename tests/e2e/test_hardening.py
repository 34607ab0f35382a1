"""Issue 6: sender credentials (D5), load, faults and the bad-input catalogue."""
import gzip
import json
import os
import random
import socket
import subprocess
import threading
import time

import pytest

from conftest import (HISTORY, HISTORY_GZ, LOG_ERR, LOG_INFO, MENU, PUSH, SOCKET, Client, held_name,
                      history_rows, product_json, upload)

NOBODY = 65534


def as_nobody(function):
    """Runs function in a child process with the uid and gid of nobody; returns its result."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            os.write(write_end, json.dumps(function()).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        data = f.read()
    os.waitpid(pid, 0)
    return json.loads(data)


def nobody_request(command, option):
    def send():
        c = Client()
        try:
            r = c.request(command, option)
            return [r.command, r.option]
        finally:
            c.close()
    return as_nobody(send)


# ---------------------------------------------------------------- D5: who may ask for what

def test_unprivileged_write_of_a_file_it_does_not_own_is_refused(start, syslog):
    start()
    with open("/tmp/root.json", "wb") as f:
        f.write(product_json("Root", "v1.0.0.0"))
    assert nobody_request("write", "/tmp/root.json") == ["write", "-1"]
    assert os.path.exists("/tmp/root.json")
    assert syslog.wait_for("add(): refused /tmp/root.json from uid %d: not the owner of the file\n" % NOBODY,
                           LOG_ERR)
    assert os.listdir(MENU) == []


def test_unprivileged_write_of_its_own_file_is_taken(start):
    start()

    def make():
        with open("/tmp/mine.json", "wb") as f:
            f.write(product_json("Mine", "v1.0.0.0"))
        return True

    as_nobody(make)
    assert nobody_request("write", "/tmp/mine.json") == ["write", "0"]
    assert not os.path.exists("/tmp/mine.json")
    assert history_rows() == [["1", "Mine", "v1.0.0.0"]]


def test_unprivileged_write_of_a_missing_file_gets_the_parts_answer(start, syslog):
    start()
    assert nobody_request("write", "/tmp/none.json") == ["write", "-1"]
    assert syslog.wait_for("add(): Cannot read json file /tmp/none.json\n", LOG_ERR)


def test_unprivileged_senders_may_delete_status_and_refresh(start, client):
    start()
    upload(client, product_json("A", "v1.0.0.0"))
    assert nobody_request("status", "0") == ["status", "Availability: No\nProduct name: A\nFile version:[v1.0.0.0]"]
    assert nobody_request("refresh", "") == ["refresh", "0"]
    assert nobody_request("delete", "1") == ["delete", "0"]
    assert history_rows() == []


# ---------------------------------------------------------------- load

def service_private_memory(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1])
    return 0


def run_load(clients, requests_per_client, window, seed):
    """Each client keeps up to `window` requests in flight and checks its replies' order."""
    errors = []
    counts = [0] * clients

    def one(index):
        rng = random.Random(seed * 100 + index)
        c = Client()
        pending = []
        try:
            for i in range(requests_per_client):
                kind = rng.choice(["write", "write", "status", "delete", "refresh"])
                if kind == "write":
                    name = "L%d" % rng.randrange(12)
                    path = "/tmp/load-%d-%d.json" % (index, i)
                    with open(path, "wb") as f:
                        f.write(product_json(name, "v1.0.%d.%d" % (index, i), ', "menu": "%s"' % ("x" * 2000)))
                    c.send("write", path)
                elif kind == "status":
                    c.send("status", str(rng.randrange(14)))
                elif kind == "delete":
                    c.send("delete", str(rng.randrange(1, 14)))
                else:
                    c.send("refresh")
                pending.append(kind)
                while len(pending) >= window or (i == requests_per_client - 1 and pending):
                    r = c.receive(timeout=60)
                    expected = pending.pop(0)
                    if r.command != expected:
                        errors.append("client %d: reply %s for %s" % (index, r.command, expected))
                    if expected == "status" and not r.option.startswith("Availability: "):
                        errors.append("client %d: status %r" % (index, r.option))
                    if expected in ("write", "refresh") and r.option != "0":
                        errors.append("client %d: %s answered %s" % (index, expected, r.option))
                    if expected == "delete" and r.option not in ("0", "-1"):
                        errors.append("client %d: delete answered %s" % (index, r.option))
                    counts[index] += 1
            if not c.no_reply(0.2):
                errors.append("client %d: an extra reply" % index)
        except Exception as e:  # a lost reply shows as a time-out here
            errors.append("client %d: %r" % (index, e))
        finally:
            c.close()

    threads = [threading.Thread(target=one, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return errors, sum(counts)


def assert_store_consistent():
    rows = history_rows()
    assert [r[0] for r in rows] == [str(i + 1) for i in range(len(rows))]
    names = [r[1] for r in rows]
    assert len(set(names)) == len(names)
    assert sorted(os.listdir(MENU)) == sorted(os.listdir(PUSH)) == sorted(held_name(n) for n in names)
    for _, name, version in rows:
        for directory in (MENU, PUSH):
            with open(os.path.join(directory, held_name(name)), "rb") as f:
                info = json.loads(f.read())["product info"]
            assert (info["product name"], info["file version"]) == (name, version)
    with gzip.open(HISTORY_GZ) as g, open(HISTORY, "rb") as h:
        assert g.read() == h.read()


def test_load_of_eight_clients(start, client, syslog):
    d = start(debug=False)
    # A client that sends but never reads must not stall anyone (D3).
    lazy = client.new()
    for _ in range(50):
        lazy.send("refresh")
    errors, replies = run_load(clients=8, requests_per_client=150, window=4, seed=1)
    assert errors == [] and replies == 1200
    assert_store_consistent()
    warm = service_private_memory(d.pid)
    errors, replies = run_load(clients=8, requests_per_client=150, window=4, seed=2)
    assert errors == [] and replies == 1200
    assert_store_consistent()
    grown = service_private_memory(d.pid) - warm
    limit = 4096 if os.environ.get("MENUHOLD_SANITIZED") == "1" else 256
    assert grown < limit, "private memory grew by %d KiB over 1200 requests" % grown
    print("load: 2400 replies to 8 clients, private memory %+d KiB over the second half" % grown)


# ---------------------------------------------------------------- faults

def remount_read_only(path):
    subprocess.run(["mount", "--bind", path, path], check=True)
    subprocess.run(["mount", "-o", "remount,ro,bind", path], check=True)


def test_read_only_menu_directory(start, client, syslog):
    remount_read_only(MENU)
    start()
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"]]
    assert os.path.exists(os.path.join(PUSH, held_name("A")))
    assert syslog.wait_for("cannot write /tmp/json_menu/%s: Read-only file system\n" % held_name("A"), LOG_ERR)


def test_full_menu_filesystem_keeps_the_old_copy(start, client, syslog):
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,mode=755", "small", MENU], check=True)
    start()
    old = product_json("A", "v1.0.0.0")
    assert upload(client, old).option == "0"
    with open(os.path.join(MENU, "filler"), "wb") as f:
        try:
            f.write(b"f" * 1024 * 1024)
        except OSError:
            pass
    new = product_json("A", "v2.0.0.0", ', "menu": "%s"' % ("y" * 40000))
    assert upload(client, new).option == "0"
    assert syslog.wait_for("cannot write /tmp/json_menu/%s: No space left on device\n" % held_name("A"), LOG_ERR)
    with open(os.path.join(MENU, held_name("A")), "rb") as f:
        assert f.read() == old  # the old complete copy, never a cut new one
    assert [n for n in os.listdir(MENU) if n.startswith(".menuhold-")] == []


def test_full_tmp_during_history_rewrite_keeps_the_old_history(start, client, syslog):
    start()
    for n in "ABC":
        upload(client, product_json(n, "v1.0.0.0"))
    before = open(HISTORY, "rb").read()
    subprocess.run(["mount", "-o", "remount,size=4m", "/tmp"], check=True)
    with open("/tmp/filler", "wb") as f:
        try:
            while True:
                f.write(b"f" * 65536)
                f.flush()
        except OSError:
            pass
    r = client.request("refresh")
    assert r.option == "0"
    assert any(m.startswith("[refresh_table][") and m.endswith("]fail to create json table\n")
               for m in syslog.messages(LOG_INFO))
    assert open(HISTORY, "rb").read() == before
    os.unlink("/tmp/filler")
    assert client.request("refresh").option == "0"
    assert open(HISTORY, "rb").read() == before


def test_readers_never_see_a_partial_history(start, client):
    start(debug=False)
    stop = threading.Event()
    bad = []

    def read():
        while not stop.is_set():
            try:
                with open(HISTORY, "rb") as f:
                    json.loads(f.read())
            except FileNotFoundError:
                bad.append("missing")
            except ValueError as e:
                bad.append(repr(e))

    reader = threading.Thread(target=read)
    reader.start()
    for i in range(150):
        upload(client, product_json("R%d" % (i % 40), "v1.0.0.%d" % i, ', "m": "%s"' % ("z" * 500)))
        if i % 10 == 0:
            client.request("delete", "1")
    stop.set()
    reader.join()
    assert bad == []


def test_kill_9_during_uploads_and_deletes_loses_nothing(start, client):
    """Never a partial held copy (issues 4 and 6): after every kill the rebuild matches."""
    rng = random.Random(11)
    for round_ in range(8):
        d = start(debug=False)
        stop = threading.Event()

        def stream():
            c = Client()
            i = 0
            while not stop.is_set():
                try:
                    if i % 4 == 3:
                        c.send("delete", "1")
                    else:
                        path = "/tmp/k-%d-%d.json" % (round_, i)
                        with open(path, "wb") as f:
                            f.write(product_json("K%d" % (i % 5), "v1.0.%d.%d" % (round_, i),
                                                 ', "m": "%s"' % ("q" * 200000)))
                        c.send("write", path)
                    c.receive(timeout=0.5)
                except OSError:
                    pass
                i += 1
            c.close()

        t = threading.Thread(target=stream)
        t.start()
        time.sleep(rng.uniform(0.05, 0.3))
        d.kill()
        stop.set()
        t.join()
        checker = start(debug=False)
        client.request("refresh")
        assert_menu_copies_complete_and_listed()
        assert checker.stop() == 0


def assert_menu_copies_complete_and_listed():
    listed = {}
    for name in os.listdir(MENU):
        assert not name.startswith(".menuhold-")
        with open(os.path.join(MENU, name), "rb") as f:
            info = json.loads(f.read())["product info"]
        listed[info["product name"]] = info["file version"]
    assert {r[1]: r[2] for r in history_rows()} == listed
    assert sorted(os.listdir(PUSH)) == sorted(os.listdir(MENU))


def test_upload_removed_before_it_is_read(start, client, syslog):
    start()
    with open("/tmp/gone.json", "wb") as f:
        f.write(product_json("G", "v1.0.0.0"))
    os.unlink("/tmp/gone.json")
    assert client.request("write", "/tmp/gone.json").option == "-1"
    assert syslog.wait_for("add(): Cannot read json file /tmp/gone.json\n", LOG_ERR)


# ---------------------------------------------------------------- bad input catalogue

def test_path_of_99_characters_is_served(start, client):
    start()
    path = "/tmp/" + "p" * 94
    assert len(path) == 99
    assert upload(client, product_json("P99", "v1.0.0.0"), name=os.path.basename(path)).option == "0"
    assert not os.path.exists(path)
    assert history_rows() == [["1", "P99", "v1.0.0.0"]]


def test_option_without_nul_is_cut_at_199(start, client, syslog):
    start()
    raw = b"write".ljust(20, b"\0") + b"/" * 200 + b"\0" * 280
    r = client.request(None, raw=raw)
    assert (r.command, r.option) == ("write", "-1")
    assert syslog.wait_for("add(): Cannot read json file %s\n" % ("/" * 199), LOG_ERR)


def test_command_without_nul_is_cut_at_19(start, client):
    start()
    raw = b"refreshrefreshrefresh"[:20] + b"\0" * 480
    r = client.request(None, raw=raw)
    assert (r.command, r.option) == ("refreshrefreshrefre", "-1")


def test_invalid_utf8_names_are_held_byte_for_byte(start, client):
    start()
    data = b'{"product info": {"product name": "bad\xff\xfeutf", "file version": "v1.0.0.0"}}'
    assert upload(client, data).option == "0"
    path = os.path.join(os.fsencode(MENU), b"0-panelpush_local_bad\xff\xfeutf_0.0.0.json")
    with open(path, "rb") as f:
        assert f.read() == data
    assert b'"bad\xff\xfeutf"' in open(HISTORY, "rb").read()


def test_deeply_nested_json_is_refused(start, client):
    d = start()
    assert upload(client, b"[" * 200000 + b"]" * 200000).option == "-1"
    assert upload(client, b'{"product info": ' * 5000 + b"1" + b"}" * 5000).option == "-1"
    assert d.proc.poll() is None


def test_names_and_versions_at_and_over_their_limits(start, client):
    start()
    assert upload(client, product_json("n" * 59, "v1.0.0." + "9" * 17)).option == "0"
    assert upload(client, product_json("m" * 60, "v1.0.0.0")).option == "-1"
    assert upload(client, product_json("o", "v1.0.0." + "9" * 18)).option == "-1"
    assert history_rows() == [["1", "n" * 59, "v1.0.0." + "9" * 17]]
    assert client.request("status", "0").option == ("Availability: No\nProduct name: %s\nFile version:[%s]"
                                                     % ("n" * 59, "v1.0.0." + "9" * 17))


def test_empty_file_and_binary_garbage(start, client):
    start()
    assert upload(client, b"").option == "-1"
    assert upload(client, bytes(range(256)) * 100).option == "-1"
    assert upload(client, b"\0" + product_json("Z", "v1.0.0.0")).option == "-1"
