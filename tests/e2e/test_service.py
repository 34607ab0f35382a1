# SPDX-License-Identifier: MIT
"""The service through its socket: replies, uploads, the rebuild at start, deletion and status."""
import os
import subprocess
import time

from conftest import (DATA, FREE_SLOT, HISTORY, HISTORY_GZ, LOG_ERR, LOG_INFO, MENU, PUSH, Client,
                      assert_gzip_is_history, held_name, history_rows, product_json, read, slot, snapshot, upload, write)

def message(command, option="", tail=bytes(range(1, 256)) + b"\xaa" * 25):
    return Client.message(command, option)[:220] + tail

REQUESTS = [  # datagram, reply command, reply option
    *[(message("refresh", o), "refresh", "0") for o in ("", "x", " " * 199)],
    *[(message(w, "/tmp/x"), w, "-1") for w in ("Write", "WRITE", "Status", "REFRESH", "delete ", "a" * 19)],
    *[(message("delete", o), "delete", "-1") for o in ("1", "0", "-4", "abc", "")],
    *[(message("status", o), "status", FREE_SLOT) for o in ("", " 2abc", "-1", "x")],
    (b"", "", "-1"), (b"r", "r", "-1"), (b"refresh", "refresh", "0"), (b"status", "status", FREE_SLOT),
    *[(message("refresh")[:n], "refresh", "0") for n in (219, 220, 499, 600)],
    (b"x" * 600, "x" * 19, "-1"), (b"refreshrefreshrefresh" + bytes(479), "refreshrefreshrefre", "-1"),
    (b"\xff\xfe" * 10 + b"\x80" * 200, "\udcff\udcfe" * 9 + "\udcff", "-1"),
    (b"write".ljust(20, b"\0") + b"/" * 200, "write", "-1"),
]

def test_every_datagram_gets_one_500_byte_reply_with_the_command_as_it_was_read(start, client, syslog):
    start(debug=False)
    for raw, command, option in REQUESTS:
        r = client.request(None, raw=raw)
        head = command.encode(errors="surrogateescape").ljust(20, b"\0") + option.encode().ljust(200, b"\0")
        tail = raw.ljust(500, b"\0")[220:500] if command == "status" else bytes(280)  # status keeps the request's
        assert (r.raw[:220], r.raw[220:]) == (head, tail), raw[:40]
    errors = syslog.messages(LOG_ERR)
    assert {"delete_json():Invalid index[%d]\n" % i for i in (0, -1, -5)} <= set(errors)
    assert "add(): Cannot read json file %s\n" % ("/" * 199) in errors
    assert syslog.messages(LOG_INFO).count("Erase failed[-1]\n") == 5

def sample(name):
    return read(DATA + "/" + name)

def state():
    """Which files are there and which of them were rewritten (a rewrite renames a new inode in)."""
    paths = [os.path.join(d, n) for d in (MENU, PUSH) for n in os.listdir(d)] + [HISTORY, HISTORY_GZ]
    return {p: (os.stat(p).st_ino, os.stat(p).st_mtime_ns) for p in paths}

BIG = product_json("Big", "v1.0.0.0")
UPLOADS = [  # the file, the reply, the table afterwards
    (sample("alpha-v1.0.0.1.json"), "0", ["Alpha v1.0.0.1"]),
    (sample("alpha-v1.0.0.1.json"), "0", ["Alpha v1.0.0.1"]),
    (sample("beta-v2.3.0.0.json"), "0", ["Alpha v1.0.0.1", "Beta v2.3.0.0"]),
    (sample("alpha-v1.0.0.2.json"), "0", ["Beta v2.3.0.0", "Alpha v1.0.0.2"]),
    (sample("alpha-v1.0.0.1.json"), "0", ["Beta v2.3.0.0", "Alpha v1.0.0.2"]),
    *[(bad, "-1", ["Beta v2.3.0.0", "Alpha v1.0.0.2"]) for bad in (
        b"not json", b"", b'{"x": 1}', b"[1]", b'{"product info": "x"}', bytes(range(256)) * 100,
        b"\0" + product_json("Z", "v1.0.0.0"), b"[" * 200000 + b"]" * 200000,
        b'{"product info": ' * 5000 + b"1" + b"}" * 5000, product_json("A", "v1.2.3"), product_json("A", "V1.2.3.4"),
        product_json("A", "v1.2.3.4.5"), product_json("a/b", "v1.0.0.0"), product_json("../../etc/x", "v1.0.0.0"),
        product_json("n" * 60, "v1.0.0.0"), product_json("A", "v1.0.0." + "1" * 18),
        BIG + b" " * (16 * 1024 * 1024 + 1 - len(BIG)))],
    (product_json("alpha", "v0.0.0.1"), "0", ["Beta v2.3.0.0", "Alpha v1.0.0.2", "alpha v0.0.0.1"]),
    (b'{"Product Info": {"PRODUCT NAME": "Caps", "File Version": "v1.0.0.0"}}', "0",
     ["Beta v2.3.0.0", "Alpha v1.0.0.2", "alpha v0.0.0.1", "Caps v1.0.0.0"]),
    (b'{"product info": {"product name": "ab\\u0000cd", "file version": "v1.0.0.0"}}', "0", None),
    (b'{"product info": {"product name": "1st", "Product Name": "2nd", "file version": "v1"}} [', "-1", None),
    (b'{"product info": {"product name": "1st", "Product Name": "2nd", "file version": "v1.0.0.0"}} [', "0", None),
    (b'{"product info": {"product name": "bad\xff\xfeutf", "file version": "v1.0.0.0"}}', "0", None),
    (product_json("n" * 59, "v1.0.0." + "9" * 17), "0",
     ["Beta v2.3.0.0", "Alpha v1.0.0.2", "alpha v0.0.0.1", "Caps v1.0.0.0", "ab v1.0.0.0", "1st v1.0.0.0",
      "bad\udcff\udcfeutf v1.0.0.0",
      "n" * 59 + " v1.0.0." + "9" * 17]),
]
HOSTILE = ["a;touch pwned;b", "$(id)", "`id`", "'q'", '"dq"', "with space", "new\nline", "..", ".", "-rf", "*",
           "\u00e9t\u00e9", "tab\tname", "\\\x01\x7f", ""]

def test_an_upload_is_held_twice_when_new_or_newer_and_removed_in_any_case(start, client, syslog):
    start(debug=False)
    uploads = UPLOADS + [(product_json(n, "v1.0.0.0", ', "menu": []'), "0", None) for n in HOSTILE]
    uploads.append((BIG + b" " * (16 * 1024 * 1024 - len(BIG)), "0", None))
    for data, reply, table in uploads:
        before, rows_before = state(), history_rows()
        assert upload(client, data).option == reply, data[:80]
        assert not os.path.exists("/tmp/up.json")
        rows = history_rows()
        assert [r[0] for r in rows] == [str(i + 1) for i in range(len(rows))]
        assert table is None or ["%s %s" % (r[1], r[2]) for r in rows] == table, data[:80]
        if rows == rows_before:  # nothing to do: nothing is rewritten
            assert state() == before, data[:80]
        else:
            assert read(os.path.join(MENU, held_name(rows[-1][1]))) == data
            assert read(os.path.join(PUSH, held_name(rows[-1][1]))) == data
        if table == ["Beta v2.3.0.0", "Alpha v1.0.0.2"] and rows != rows_before:
            assert read(HISTORY) == (b'{\n\t"iTotalRecords":\t3,\n\t"sColumns":\t["ID", "Product Name", '
                                     b'"File Version"],'
                                     b'\n\t"aaData":\t[["1", "Beta", "v2.3.0.0"], ["2", "Alpha", "v1.0.0.2"]]\n}')
        assert_gzip_is_history()
    assert sorted(os.listdir(MENU)) == sorted(os.listdir(PUSH)) == sorted(held_name(r[1]) for r in history_rows())
    assert not os.path.exists("/tmp/pwned")
    refused = syslog.messages(LOG_ERR).count("add(): Cannot read json file /tmp/up.json\n")
    assert refused == [reply for _, reply, _ in uploads].count("-1")

def test_paths_that_are_not_plain_files_or_too_long_are_refused_and_kept(start, client, syslog):
    os.mkfifo("/tmp/fifo.json")
    writer = subprocess.Popen(["sh", "-c", "echo x > /tmp/fifo.json"])  # waits for a reader from now on
    start(debug=False)
    write("/tmp/real.json", product_json("R", "v1.0.0.0"))
    os.symlink("/tmp/real.json", "/tmp/link.json")
    os.mkdir("/tmp/dir.json")
    too_long = write("/tmp/" + "p" * 95, product_json("P", "v1.0.0.0"))
    for path in ("/tmp/link.json", "/tmp/fifo.json", "/tmp/dir.json", "/dev/null", too_long, "/tmp/none.json"):
        assert client.request("write", path).option == "-1", path
        assert syslog.messages(LOG_ERR)[-1:] == ["add(): Cannot read json file %s\n" % path]
    assert all(os.path.lexists(p) for p in ("/tmp/real.json", "/tmp/link.json", "/tmp/fifo.json", too_long))
    time.sleep(0.3)  # time enough for a writer that an open of the FIFO released to end
    assert writer.poll() is None, "the service opened the FIFO"
    writer.kill()
    assert os.listdir(MENU) == []
    assert upload(client, product_json("P", "v1.0.0.0"), "p" * 94).option == "0"  # 99 characters are served

def test_missing_directories_leave_the_table_served_and_are_logged(start, client, syslog):
    os.rmdir(MENU)
    os.rmdir(PUSH)
    start(debug=False)
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert "recovery():Recovering json files from NV\n" in syslog.messages(LOG_INFO)
    assert history_rows() == [["1", "A", "v1.0.0.0"]] and not os.path.exists("/tmp/up.json")
    assert syslog.messages(LOG_ERR) == ["cannot write %s/%s: No such file or directory\n" % (directory, held_name("A"))
                                        for directory in (PUSH, MENU)]

def test_start_lists_and_publishes_each_products_newest_menu_copy(start, client, syslog):
    menu = {held_name(n): (n, "v1.0.0.0") for n in ("Alpha", "Beta", "Gamma")}
    menu.update({"x0-panelpush_local-other.txt": ("Odd", "v1.0.0.0"), "plain.json": ("Plain", "v1.0.0.0"),
                 held_name("Bad"): ("Bad", "v1.0"), "0-panelpush_local_one.json": ("Dup", "v4.0.0.0"),
                 "0-panelpush_local_two.json": ("Dup", "v3.0.0.0"), held_name("Dup"): ("Dup", "v2.0.0.0"),
                 "0-panelpush_local_a.json": ("Eq", "v1.0.0.0"), "0-panelpush_local_b.json": ("Eq", "v1.0.0.0")})
    for name, product in menu.items():
        write(os.path.join(MENU, name), product_json(*product))
    write(os.path.join(MENU, "broken.json"), b"{")
    order = os.listdir(MENU)
    first_eq, last_eq = sorted(("0-panelpush_local_a.json", "0-panelpush_local_b.json"), key=order.index)
    winners = set(menu) - {"plain.json", held_name("Bad"), held_name("Dup"), "0-panelpush_local_two.json", last_eq}
    listed = [n for n in order if n in winners]  # in directory order
    start(debug=False)
    client.request("refresh")
    assert history_rows() == [[str(i + 1), *menu[n]] for i, n in enumerate(listed)]
    assert snapshot(PUSH) == {n: product_json(*menu[n]) for n in listed}
    assert sorted(os.listdir(MENU)) == sorted(order)
    errors = syslog.messages(LOG_ERR)
    assert "recovery():cannot read file %s\n" % held_name("Bad") in errors
    assert not any("plain.json" in m or "broken.json" in m for m in errors)
    for loser in (held_name("Dup"), "0-panelpush_local_two.json", last_eq):
        assert any("duplicate product" in m and loser in m for m in errors), loser
    assert_gzip_is_history()

DELETES = [("5", "-1", "ABCD"), ("0", "-1", "ABCD"), ("4", "0", "ABC"), ("2", "0", "AC"), ("1", "0", "C"),
           ("1", "0", "")]

def test_delete_removes_a_row_and_its_copies_and_status_reports_each_slot(start, client, syslog):
    start(debug=False)
    for n in "ABCD":
        upload(client, product_json(n, "v1.0.0.%d" % ord(n)))
    for option, reply, names in DELETES:
        assert client.request("delete", option).option == reply, option
        rows = history_rows()
        assert rows == [[str(i + 1), n, "v1.0.0.%d" % ord(n)] for i, n in enumerate(names)]
        assert sorted(os.listdir(MENU)) == sorted(os.listdir(PUSH)) == sorted(held_name(n) for n in names)
        for i, (_, n, v) in enumerate(rows + [[0, None, None]]):
            assert client.request("status", str(i)).option == (slot(n, v) if n else FREE_SLOT)
    assert '"aaData":\t[]' in read(HISTORY).decode()
    assert {"delete_json():Invalid index[4]\n", "delete_json():Invalid index[-1]\n"} <= set(syslog.messages(LOG_ERR))
    erased = [m for m in syslog.messages(LOG_INFO) if m.startswith("Erase")]  # only refusals are logged
    assert erased == ["Erase failed[-1]\n"] * sum(reply == "-1" for _, reply, _ in DELETES)
    upload(client, product_json("C", "v0.0.0.1"))  # an older version is new again after a delete
    os.unlink(os.path.join(MENU, held_name("C")))
    assert client.request("delete", "1").option == "0" and history_rows() == []
