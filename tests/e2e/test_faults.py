# SPDX-License-Identifier: MIT
"""Who may hand over a file, many clients, a full /tmp, kill -9, and every system call failing in turn: nothing
held is lost."""
import concurrent.futures
import errno
import gzip
import itertools
import json
import os
import random
import re
import subprocess
import time
from unittest import mock

import pytest

from conftest import (HISTORY, HISTORY_GZ, LAUNCHER, LOG_ERR, MENU, NOBODY, PUSH, SANITIZED, Client,
                      as_nobody, assert_gzip_is_history, history_rows, held_name, memory_kib, nobody_request,
                      product_json, read, slot, snapshot, write)

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
                option = {"status": str(rng.randrange(14)), "delete": str(rng.randrange(1, 14)), "refresh": "now"}
                c.send(kind, option.get(kind) or write("/tmp/load-%d-%d.json" % (index, i), data))
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

FAIL_NTH, LOG = os.environ.get("MENUHOLD_FAULT_LIB", ""), "/mnt/work/fault.log"

# Each case runs the script once for N = 1, 2, ... until the script makes no Nth call of the family, whose Nth
# call fails with the error (0: is a short read or write). Every call is tried, none sampled: about 385 runs.
FAULTS = [pytest.param(call, error, id="%s-%s" % (call, errno.errorcode.get(error, "short"))) for call, error in [
    ("open", errno.EMFILE), ("read", errno.EIO), ("read", errno.EINTR), ("read", 0), ("write", errno.ENOSPC),
    ("write", errno.EINTR), ("write", 0), ("fsync", errno.EIO), ("renameat", errno.ENOSPC), ("unlinkat", errno.EIO),
    ("fchmod", errno.EIO), ("socket", errno.EMFILE), ("send", errno.EAGAIN), ("send", errno.EINTR),
    ("recv", errno.EAGAIN), ("stat", errno.EIO), ("malloc", errno.ENOMEM)]]
PLANTED = {"A": product_json("A", "v1.0.0.0"), "B": product_json("B", "v1.0.0.0")}
NEW, NEWER = product_json("C", "v1.0.0.0"), product_json("A", "v2.0.0.0", ', "menu": [%s]' % ",".join(["1"] * 999))
SCRIPT = [("write", "/tmp/new.json"), ("write", "/tmp/newer.json"), ("status", "0"), ("delete", "1"), ("refresh", ""),
          ("status", "1")]
REPLIES = {"write": ("0", "-1"), "delete": ("0", "-1"), "refresh": ("0",)}

def reply(client, daemon, seconds=10):
    """The reply's option, from the control socket or a spare one; a service that ends meanwhile fails at once."""
    for _ in range(seconds * 10):
        try:
            return client.receive(0.1, sender=None).option
        except AssertionError:
            assert daemon.proc.poll() is None, "menuhold ended with %s" % daemon.proc.returncode
    raise AssertionError("no reply within %d s" % seconds)

def scripted_run(start, syslog, fault=""):
    """Held products, a new one, a newer one, status, a deletion, refresh, status, stop, and a start without faults:
    the replies, what was logged, the files after the stop, the held products after the second start."""
    subprocess.run("umount -l /tmp && mount -t tmpfs -o mode=1777 t /tmp && mkdir %s %s" % (MENU, PUSH), shell=True,
                   check=True)
    syslog.records.clear()
    [write(MENU + "/" + held_name(n), data, 0o664) for n, data in PLANTED.items()]  # a mode the umask would cut
    write("/tmp/new.json", NEW), write("/tmp/newer.json", NEWER)
    with mock.patch.dict(os.environ, {"LD_PRELOAD": FAIL_NTH, "MENUHOLD_FAULT": fault, "MENUHOLD_FAULT_LOG": LOG}):
        daemons, c, replies = [start(debug=False, ready=False)], Client(), []
    try:
        try:
            daemons[0].wait_ready()
            for command, option in SCRIPT:
                c.send(command, option)
                replies.append(reply(c, daemons[0]))
        except (AssertionError, ConnectionRefusedError):
            try:  # only the start may fail, and it says so with 255: the socket answers until the rebuild fails
                code = daemons[0].proc.wait(5)
            except subprocess.TimeoutExpired:
                code = None
            if replies or code != 255:
                raise
            return None
        assert daemons[0].stop() == 0, "no clean stop: %s" % daemons[0].proc.returncode
        files = {p: gzip.decompress(read(p)) if p == HISTORY_GZ else read(p) for p in [HISTORY, HISTORY_GZ] + [
            directory + "/" + n for directory in (MENU, PUSH) for n in os.listdir(directory)] if os.path.exists(p)}
        stops = re.compile("Menuhold .PID|menuhold exit with signal|menuhold loop ended")  # also a late one's
        logged = "".join(sorted(m for m in syslog.messages() if not stops.match(m)))
        daemons.append(start(debug=False))
        Client().request("refresh")
        assert_held_copies_complete_and_listed()
        return replies, logged, files, {r[1]: r[2] for r in history_rows()}
    finally:  # the next run's service must find the instance lock free
        for d in daemons:
            d.stop() if d.proc.poll() is None else None

def check_invariants(call, run):
    """Every request answered as its command allows; each file whole; the gzip copy the history file unless the log
    says it could not be made; after the restart, every product held as the replies say (or as before, where the
    log says that its menu copy could not be written)."""
    replies, logged, files, held = run
    for (command, _), reply in zip(SCRIPT, replies):
        assert reply in REPLIES.get(command, ()) or reply.startswith("Availability: "), (command, reply)
    for path, data in files.items():  # the old or the new file, whole
        assert path in (HISTORY, HISTORY_GZ) and json.loads(data) or ".menuhold-" in path or data in (
            PLANTED.get(path.split("_")[-2]), NEW, NEWER), path
    assert "json_history" in logged or files.get(HISTORY_GZ) == files.get(HISTORY), "the gzip copy is not the history"
    deleted = replies[3] == "0" and replies[2].split("\n")[1][len("Product name: "):]
    expected = dict({n: "v1.0.0.0" for n in PLANTED}, **{"C": "v1.0.0.0"} if replies[0] == "0" else {})
    expected.update({"A": "v2.0.0.0"} if replies[1] == "0" else {})
    expected.pop(deleted, None)
    listed = [r[1] for r in json.loads(files.get(HISTORY, b'{"aaData": []}'))["aaData"]]
    for name in set(expected) - set(listed):  # the log says why a product that is held is not listed
        why = "fail to create json table|cannot (use|list) (directory )?%s|cannot read file %s\n|row of product %s\n"
        assert re.search(why % (MENU, re.escape(held_name(name)), name), logged), "%s is held, not listed" % name
    for name in set(expected) | set(held):
        allowed = [expected.get(name)]
        if "cannot write %s/%s: " % (MENU, held_name(name)) in logged:
            allowed.append("v1.0.0.0" if name in PLANTED else None)
        if call == "unlinkat" and name == deleted:  # a deletion does not look at its removals: a copy may stay
            allowed.append(held.get(name))
        assert held.get(name) in allowed, (name, held)

@pytest.mark.skipif(not FAIL_NTH, reason="the interposer is built natively, without sanitizers")
@pytest.mark.parametrize("call,error", FAULTS)
def test_every_failing_call_is_survived_and_nothing_accepted_is_lost(start, syslog, call, error):
    baseline, failures = scripted_run(start, syslog), []
    for n in itertools.count(1):
        os.unlink(LOG) if os.path.exists(LOG) else None
        try:
            run = scripted_run(start, syslog, "%s %d %d" % (call, n, error))
            if not os.path.exists(LOG):
                break
            # An interrupted call or a short transfer changes nothing that anyone could see.
            assert run == baseline if error in (0, errno.EINTR) else run is None or check_invariants(call, run) is None
        except Exception as e:  # a broken gzip copy or JSON text too
            where = read(LOG).split()[3] if os.path.exists(LOG) else "?"
            failures.append("%s #%d at %s: %s" % (call, n, where, str(e).splitlines()[0]))
    assert failures == []
