"""Part 3.4 (start-up recovery), Part 3.5 (deletion) and DESIGN.md D8, end to end."""
import os

from conftest import (HISTORY, LOG_ERR, LOG_INFO, MENU, PUSH, held_name, history_rows, product_json,
                      upload)


def put_menu(name, data):
    with open(os.path.join(MENU, name), "wb") as f:
        f.write(data)


def test_empty_or_missing_menu_directory_gives_empty_table(start, client, syslog):
    d = start()
    assert history_rows() == []
    d.stop()
    os.rmdir(MENU)
    d = start()
    assert client.request("refresh").option == "0"
    assert history_rows() == []
    assert syslog.count("recovery():Recovering json files from NV\n") == 2


def test_valid_menu_copies_are_listed_in_directory_order_and_published(start, client):
    names = ["Alpha", "Beta", "Gamma"]
    for n in names:
        put_menu(held_name(n), product_json(n, "v1.0.0.0"))
    order = [e for e in os.listdir(MENU)]
    start()
    client.request("refresh")
    rows = history_rows()
    assert [r[0] for r in rows] == ["1", "2", "3"]
    assert [held_name(r[1]) for r in rows] == order
    for n in names:
        assert open(os.path.join(PUSH, held_name(n)), "rb").read() == product_json(n, "v1.0.0.0")


def test_invalid_menu_copy_is_logged_and_left_alone(start, client, syslog):
    put_menu(held_name("Bad"), product_json("Bad", "v1.0"))
    put_menu(held_name("Good"), product_json("Good", "v1.0.0.0"))
    start()
    client.request("refresh")
    assert syslog.wait_for("recovery():cannot read file %s\n" % held_name("Bad"), LOG_ERR)
    assert [r[1] for r in history_rows()] == ["Good"]
    assert os.path.exists(os.path.join(MENU, held_name("Bad")))
    assert not os.path.exists(os.path.join(PUSH, held_name("Bad")))


def test_files_without_the_marker_are_not_read(start, client, syslog):
    put_menu("plain.json", product_json("Plain", "v1.0.0.0"))
    put_menu("broken.json", b"{")
    d = start()
    client.request("refresh")
    assert history_rows() == []
    assert not any("plain.json" in m or "broken.json" in m for m in syslog.messages())
    d.stop()
    assert "recovery(): plain.json\n" in d.out()


def test_any_name_containing_the_marker_is_read(start, client):
    put_menu("x0-panelpush_local-other.txt", product_json("Odd", "v1.0.0.0"))
    start()
    client.request("refresh")
    assert [r[1] for r in history_rows()] == ["Odd"]
    assert os.path.exists(os.path.join(PUSH, "x0-panelpush_local-other.txt"))


def test_restart_rebuilds_the_same_table(start, client):
    d = start()
    for n, v in (("A", "v1.0.0.0"), ("B", "v1.0.0.0"), ("C", "v1.0.0.0"), ("A", "v2.0.0.0")):
        upload(client, product_json(n, v))
    assert [r[1] for r in history_rows()] == ["B", "C", "A"]
    client.request("delete", "1")  # B
    expected = sorted(map(tuple, history_rows()), key=lambda r: r[1])
    d.stop()
    start()
    client.request("refresh")
    rows = history_rows()
    assert sorted((r[1], r[2]) for r in rows) == [(r[1], r[2]) for r in expected]
    assert sorted(os.listdir(PUSH)) == sorted(os.listdir(MENU)) == sorted([held_name("A"), held_name("C")])


def test_leftover_temporaries_are_removed_at_start(start, client):
    put_menu(".menuhold-abc123", b"partial")
    with open(os.path.join(PUSH, ".menuhold-def456"), "wb") as f:
        f.write(b"partial")
    start()
    client.request("refresh")  # served once the rebuild has run
    assert os.listdir(MENU) == [] and os.listdir(PUSH) == []


def test_duplicate_names_keep_the_newest_version(start, client, syslog):
    put_menu("0-panelpush_local_one.json", product_json("Dup", "v1.0.0.0"))
    put_menu("0-panelpush_local_two.json", product_json("Dup", "v3.0.0.0"))
    put_menu("0-panelpush_local_three.json", product_json("Dup", "v2.0.0.0"))
    put_menu(held_name("Other"), product_json("Other", "v1.0.0.0"))
    start()
    client.request("refresh")
    rows = history_rows()
    assert sorted(r[1] for r in rows) == ["Dup", "Other"]
    assert [r[2] for r in rows if r[1] == "Dup"] == ["v3.0.0.0"]
    assert sorted(os.listdir(PUSH)) == sorted(["0-panelpush_local_two.json", held_name("Other")])
    assert len(os.listdir(MENU)) == 4
    errors = [m for m in syslog.messages(LOG_ERR) if "duplicate product Dup" in m]
    assert len(errors) == 2
    assert any("0-panelpush_local_one.json" in m for m in errors)
    assert any("0-panelpush_local_three.json" in m for m in errors)


def test_duplicate_equal_versions_keep_the_first_in_directory_order(start, client):
    put_menu("0-panelpush_local_a.json", product_json("Dup", "v1.0.0.0"))
    put_menu("0-panelpush_local_b.json", product_json("Dup", "v1.0.0.0"))
    first = [n for n in os.listdir(MENU)][0]
    start()
    client.request("refresh")
    assert os.listdir(PUSH) == [first]
    assert len(history_rows()) == 1


def test_delete_only_row_empties_table_and_removes_copies(start, client):
    start()
    upload(client, product_json("A", "v1.0.0.0"))
    r = client.request("delete", "1")
    assert (r.command, r.option) == ("delete", "0")
    assert history_rows() == []
    assert '"aaData":\t[]' in open(HISTORY).read()
    assert os.listdir(MENU) == [] and os.listdir(PUSH) == []


def test_delete_ids_bounds(start, client, syslog):
    start()
    for n in "ABC":
        upload(client, product_json(n, "v1.0.0.0"))
    assert client.request("delete", "4").option == "-1"
    assert syslog.wait_for("delete_json():Invalid index[3]\n", LOG_ERR)
    assert syslog.wait_for("Erase failed[-1]\n", LOG_INFO)
    assert client.request("delete", "0").option == "-1"
    assert syslog.wait_for("delete_json():Invalid index[-1]\n", LOG_ERR)
    assert client.request("delete", "3").option == "0"
    assert [r[1] for r in history_rows()] == ["A", "B"]
    assert client.request("delete", "1").option == "0"
    assert history_rows() == [["1", "B", "v1.0.0.0"]]


def test_delete_middle_renumbers(start, client):
    start()
    for n in "ABC":
        upload(client, product_json(n, "v1.0.0.0"))
    assert client.request("delete", "2").option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"], ["2", "C", "v1.0.0.0"]]
    assert not os.path.exists(os.path.join(MENU, held_name("B")))


def test_delete_with_copies_already_gone_still_succeeds(start, client):
    start()
    upload(client, product_json("A", "v1.0.0.0"))
    os.unlink(os.path.join(MENU, held_name("A")))
    os.unlink(os.path.join(PUSH, held_name("A")))
    assert client.request("delete", "1").option == "0"
    assert history_rows() == []


def test_delete_debug_lines(start, client):
    d = start()
    upload(client, product_json("A", "v1.0.0.0"))
    client.request("delete", "1")
    d.stop()
    out = d.out()
    assert "Delete product with id [1]\n[run][" in out
    assert "]JSON list size[1]\n" in out
    assert "[delete_json][" in out and "]Delete product[A]\n" in out
    assert "]Delete product string[A]\n" in out
    assert "[modifyTabrixTable][" in out and "] Delete [0] in Tabrix Table\n" in out
    assert "]Return[0]to setrelay\n" in out


def test_deleted_product_stays_gone_after_restart(start, client):
    d = start()
    upload(client, product_json("A", "v1.0.0.0"))
    upload(client, product_json("B", "v1.0.0.0"))
    client.request("delete", "1")
    d.stop()
    start()
    client.request("refresh")
    assert [r[1] for r in history_rows()] == ["B"]


def test_older_version_allowed_after_delete(start, client):
    start()
    upload(client, product_json("A", "v2.0.0.0"))
    client.request("delete", "1")
    assert upload(client, product_json("A", "v1.0.0.0")).option == "0"
    assert history_rows() == [["1", "A", "v1.0.0.0"]]


def test_status_after_uploads(start, client):
    start()
    upload(client, product_json("Alpha", "v1.0.0.1"))
    upload(client, product_json("Beta", "v2.3.0.0"))
    assert client.request("status", "0").option == "Availability: No\nProduct name: Alpha\nFile version:[v1.0.0.1]"
    assert client.request("status", "1").option == "Availability: No\nProduct name: Beta\nFile version:[v2.3.0.0]"
    assert client.request("status", "2").option == "Availability: Yes\nProduct name: No product\nFile version:[ ]"
    assert client.request("status", "-1").option == "Availability: Yes\nProduct name: No product\nFile version:[ ]"

