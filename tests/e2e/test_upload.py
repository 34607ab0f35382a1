"""Parts 3.1 to 3.3 end to end: validation, version order and the upload ("write")."""
import json
import os
import subprocess

import pytest

from conftest import (DATA, HISTORY, HISTORY_GZ, LOG_ERR, MENU, PUSH, held_name, history_rows, product_json,
                      upload)


def held(product):
    """The bytes of both held copies of a product (None where missing)."""
    out = []
    for directory in (PUSH, MENU):
        path = os.path.join(directory, held_name(product))
        out.append(open(path, "rb").read() if os.path.exists(path) else None)
    return out


def sample(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def test_first_upload_is_held_twice_and_removed(start, client):
    start()
    data = sample("alpha-v1.0.0.1.json")
    r = upload(client, data)
    assert (r.command, r.option) == ("write", "0")
    assert held("Alpha") == [data, data]
    assert not os.path.exists("/tmp/up.json")
    assert history_rows() == [["1", "Alpha", "v1.0.0.1"]]


def test_same_file_again_changes_nothing(start, client):
    d = start()
    data = sample("alpha-v1.0.0.1.json")
    upload(client, data)
    before = os.stat(HISTORY).st_ino
    r = upload(client, data)
    assert r.option == "0"
    assert not os.path.exists("/tmp/up.json")
    assert os.stat(HISTORY).st_ino == before
    d.stop()
    assert "Not a new file\n" in d.out()


def test_newer_version_replaces_copies_and_moves_row(start, client):
    start()
    upload(client, sample("alpha-v1.0.0.1.json"))
    upload(client, sample("beta-v2.3.0.0.json"))
    newer = sample("alpha-v1.0.0.2.json")
    assert upload(client, newer).option == "0"
    assert held("Alpha") == [newer, newer]
    assert history_rows() == [["1", "Beta", "v2.3.0.0"], ["2", "Alpha", "v1.0.0.2"]]
    with open(HISTORY, "rb") as f:
        assert f.read() == (b'{\n\t"iTotalRecords":\t3,\n\t"sColumns":\t["ID", "Product Name", "File Version"],\n'
                            b'\t"aaData":\t[["1", "Beta", "v2.3.0.0"], ["2", "Alpha", "v1.0.0.2"]]\n}')
    assert client.request("status", "1").option == "Availability: No\nProduct name: Alpha\nFile version:[v1.0.0.2]"


def test_older_version_changes_nothing(start, client):
    start()
    upload(client, sample("alpha-v1.0.0.2.json"))
    assert upload(client, sample("alpha-v1.0.0.1.json")).option == "0"
    assert held("Alpha")[1] == sample("alpha-v1.0.0.2.json")
    assert history_rows() == [["1", "Alpha", "v1.0.0.2"]]


@pytest.mark.parametrize("data", [b"not json", b"", b'{"x": 1}', b'[1]', b'{"product info": "x"}',
                                  product_json("A", "v1.2.3"), product_json("A", "V1.2.3.4"),
                                  product_json("A", "v1.2.3.4.5"), product_json("a/b", "v1.0.0.0"),
                                  product_json("n" * 60, "v1.0.0.0"), product_json("A", "v1.0.0." + "1" * 18)])
def test_invalid_files_are_refused_and_removed(start, client, syslog, data):
    start()
    upload(client, sample("beta-v2.3.0.0.json"))
    before = sorted(os.listdir(MENU)), sorted(os.listdir(PUSH)), open(HISTORY, "rb").read()
    r = upload(client, data)
    assert (r.command, r.option) == ("write", "-1")
    assert not os.path.exists("/tmp/up.json")
    assert before == (sorted(os.listdir(MENU)), sorted(os.listdir(PUSH)), open(HISTORY, "rb").read())
    assert syslog.wait_for("add(): Cannot read json file /tmp/up.json\n", LOG_ERR)


def test_missing_path_is_refused_and_logged(start, client, syslog):
    start()
    r = client.request("write", "/tmp/nothing-here.json")
    assert r.option == "-1"
    assert syslog.wait_for("add(): Cannot read json file /tmp/nothing-here.json\n", LOG_ERR)


def test_debug_lines_of_an_accepted_upload(start, client):
    d = start()
    upload(client, sample("alpha-v1.0.0.1.json"))
    d.stop()
    out = d.out()
    expected = ("Write to flash from /tmp/up.json\n"
                "Length of jsonfile /tmp/up.json:  %d\n"
                "[readJsonFile]Now parse json file /tmp/up.json\n"
                "[jsParse]Parse file success\n"
                "Now verify file version: v1.0.0.1\n"
                "The first char is: v\n"
                "Verify success\n"
                "[/tmp/up.json]\nProduct Name[Alpha]\nFile version [v1.0.0.1]\n"
                "No matched json file in memory, maybe a new product\n"
                "Product [Alpha] version [v1.0.0.1] will be added\n"
                "New file !\n"
                "update_list(): add\n"
                "run cp -f /tmp/up.json /tmp/panel_push/0-panelpush_local_Alpha_0.0.0.json\n"
                "run cp -f /tmp/up.json /tmp/json_menu/0-panelpush_local_Alpha_0.0.0.json\n"
                % len(sample("alpha-v1.0.0.1.json")))
    assert expected in out


def test_replacement_debug_lines(start, client):
    d = start()
    upload(client, product_json("P", "v1.0.0.5"))
    upload(client, product_json("P", "v1.0.1.0"))
    d.stop()
    assert ("Compare file version old(v1.0.0.5) vs new(v1.0.1.0)\nCompare  [1] vs [1]\nCompare  [0] vs [0]\n"
            "Compare  [0] vs [1]\nNew version\nReplace old file, product[P]\nupdate_list(): replace\n") in d.out()


COMPARISONS = [("v1.0.0.0", "v1.0.0.0", False), ("v1.0.0.0", "v1.0.0.1", True), ("v1.0.0.1", "v1.0.0.0", False),
               ("v1.9.0.0", "v1.10.0.0", True), ("v2.0.0.0", "v1.99.99.99", False), ("v1.0.0.5", "v1.0.1.0", True),
               ("v1.0.0.0", "v01.00.00.00", False), ("v1.0.0.0", "v1..0.0.0", False),
               ("v1.0.0.0", "vv1.0.0.1", True), ("v1.0.0.x", "v1.0.0.0", False), ("v1.0.0.0", "v1.0.0.1rc", True),
               ("v1.0.0.0", "v1.0.0.-1", False), ("v1.0.0.0", "v1.0.0.0v2", False)]


@pytest.mark.parametrize("held_version,uploaded,replaces", COMPARISONS)
def test_version_order_of_part_3_2(start, client, held_version, uploaded, replaces):
    start(debug=False)
    upload(client, product_json("P", held_version))
    assert upload(client, product_json("P", uploaded)).option == "0"
    assert history_rows() == [["1", "P", uploaded if replaces else held_version]]


@pytest.mark.parametrize("version,valid", [("v1.0.0.0", True), ("v2.10.3.7", True), ("vv1.2.3.4", True),
                                           ("v1..2.3.4", True), ("v1.2.3.4v9", True), ("va.b.c.d", True),
                                           ("v1.2.3", False), ("v1.2.3.4.5", False), ("V1.2.3.4", False),
                                           ("1.2.3.4", False), ("v1.2v3.4", False), ("v....", False),
                                           ("v", False), ("", False)])
def test_version_forms_of_part_3_1(start, client, version, valid):
    start(debug=False)
    assert upload(client, product_json("P", version)).option == ("0" if valid else "-1")


def test_names_in_other_case_are_held_side_by_side(start, client):
    start()
    upload(client, product_json("Panel", "v1.0.0.0"))
    upload(client, product_json("panel", "v1.0.0.0"))
    assert held("Panel")[0] and held("panel")[0]
    assert [r[1] for r in history_rows()] == ["Panel", "panel"]


def test_member_names_in_capitals_are_accepted(start, client):
    start()
    data = b'{"Product Info": {"PRODUCT NAME": "Caps", "File Version": "v1.0.0.0"}}'
    assert upload(client, data).option == "0"
    assert held("Caps") == [data, data]


HOSTILE = ["a;touch pwned;b", "$(id)", "`id`", "'q'", '"dq"', "with space", "new\nline", "..", ".", "-rf",
           "*", "\u00e9t\u00e9", "tab\tname", ""]


def test_hostile_names_are_held_under_their_exact_names(start, client):
    start()
    client.request("refresh")  # the rebuild and its history write are over
    before = set(os.listdir("/tmp"))
    for name in HOSTILE:
        data = product_json(name, "v1.0.0.0", ', "menu": []')
        assert upload(client, data).option == "0", name
        assert held(name) == [data, data], name
    assert set(os.listdir("/tmp")) == before - {"up.json"}
    assert sorted(os.listdir(MENU)) == sorted(held_name(n) for n in HOSTILE)
    assert sorted(os.listdir(PUSH)) == sorted(held_name(n) for n in HOSTILE)
    assert [r[1] for r in history_rows()] == HOSTILE


def test_name_with_slash_is_refused(start, client):
    start()
    for name in ("a;touch /tmp/pwned;b", "../../etc/x", "/abs"):
        assert upload(client, product_json(name, "v1.0.0.0")).option == "-1"
    assert not os.path.exists("/tmp/pwned")
    assert os.listdir(MENU) == [] and os.listdir(PUSH) == []


def test_non_regular_paths_are_refused_and_kept(start, client, syslog):
    start()
    with open("/tmp/real.json", "wb") as f:
        f.write(product_json("R", "v1.0.0.0"))
    os.symlink("/tmp/real.json", "/tmp/link.json")
    os.mkfifo("/tmp/fifo.json")
    os.mkdir("/tmp/dir.json")
    for path in ("/tmp/link.json", "/tmp/fifo.json", "/tmp/dir.json", "/dev/null"):
        r = client.request("write", path)
        assert r.option == "-1", path
        assert os.path.lexists(path), path
        assert syslog.wait_for("add(): Cannot read json file %s\n" % path, LOG_ERR)
    assert os.path.exists("/tmp/real.json")
    assert os.listdir(MENU) == []


def test_huge_file_is_refused_and_removed(start, client):
    start()
    data = product_json("Big", "v1.0.0.0") + b" " * (16 * 1024 * 1024)
    assert upload(client, data).option == "-1"
    assert not os.path.exists("/tmp/up.json")


def test_file_of_16_mib_is_accepted(start, client):
    start()
    data = product_json("Big", "v1.0.0.0")
    data += b" " * (16 * 1024 * 1024 - len(data))
    assert upload(client, data).option == "0"
    assert held("Big") == [data, data]


def test_missing_directories_keep_list_and_table_and_are_logged(start, client, syslog):
    os.rmdir(MENU)
    os.rmdir(PUSH)
    start()
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"]]
    assert not os.path.exists("/tmp/up.json")
    assert syslog.wait_for("cannot write /tmp/panel_push/%s: No such file or directory\n" % held_name("A"), LOG_ERR)
    assert syslog.wait_for("cannot write /tmp/json_menu/%s: No such file or directory\n" % held_name("A"), LOG_ERR)


def test_copies_keep_the_uploads_mode_less_umask(start, client):
    start()
    with open("/tmp/up.json", "wb") as f:
        f.write(product_json("M", "v1.0.0.0"))
    os.chmod("/tmp/up.json", 0o640)
    client.request("write", "/tmp/up.json")
    for directory in (MENU, PUSH):
        assert os.stat(os.path.join(directory, held_name("M"))).st_mode & 0o7777 == 0o640


def test_gzip_copy_matches_history_after_every_change(start, client):
    import gzip
    start()
    for data in (product_json("A", "v1.0.0.0"), product_json("B", "v1.0.0.0"), product_json("A", "v2.0.0.0")):
        upload(client, data)
        with gzip.open(HISTORY_GZ) as g, open(HISTORY, "rb") as h:
            assert g.read() == h.read()
    client.request("delete", "1")
    with gzip.open(HISTORY_GZ) as g, open(HISTORY, "rb") as h:
        assert g.read() == h.read()
    out = subprocess.run(["gzip", "-l", "-N", HISTORY_GZ], capture_output=True, text=True)
    if out.returncode == 0:
        assert out.stdout.split()[-1].endswith("json_history.json")


def test_names_are_escaped_in_the_history_file(start, client):
    start()
    data = b'{"product info": {"product name": "q\\"b\\\\s\\tt\\u0001\xc3\xa9", "file version": "v1.0.0.0"}}'
    assert upload(client, data).option == "0"
    with open(HISTORY, "rb") as f:
        assert b'[["1", "q\\"b\\\\s\\tt\\u0001\xc3\xa9", "v1.0.0.0"]]' in f.read()
    assert os.path.exists(os.path.join(PUSH, held_name('q"b\\s\tt\x01\u00e9')))
