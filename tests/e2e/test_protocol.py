"""Part 2.1 (control message protocol) and Part 2.2 (control loop), through the socket."""
import os
import socket
import time

from conftest import LOG_ERR, LOG_INFO, SOCKET, Client, ctl


def test_refresh_with_any_option_answers_0(start, client):
    start()
    for option in ("", "x", "12", " " * 199):
        r = client.request("refresh", option)
        assert (r.command, r.option) == ("refresh", "0")


def test_reply_is_500_bytes_zero_after_220(start, client):
    start()
    for command in ("refresh", "write", "delete", "nope"):
        r = client.request(command, "")
        assert len(r.raw) == 500
        assert r.raw[220:] == b"\0" * 280
        assert r.raw[len(r.command):20] == b"\0" * (20 - len(r.command))


def test_command_words_are_case_sensitive(start, client):
    d = start()
    for word in ("Write", "WRITE", "Status", "REFRESH", "delete "):
        r = client.request(word, "/tmp/x")
        assert (r.command, r.option) == (word, "-1")
    d.stop()
    assert d.out().count("Invalid command\n") == 5


def test_19_character_command_is_returned_unchanged(start, client):
    start()
    word = "abcdefghijklmnopqrs"
    r = client.request(word, "1")
    assert (r.command, r.option) == (word, "-1")


def test_delete_ids_below_one_are_refused(start, client, syslog):
    start()
    for option, index in (("1", 0), ("0", -1), ("-4", -5), ("abc", -1), ("", -1)):
        r = client.request("delete", option)
        assert (r.command, r.option) == ("delete", "-1")
        assert syslog.wait_for("delete_json():Invalid index[%d]\n" % index, LOG_ERR)
    assert syslog.count("Erase failed[-1]\n") == 5


def test_status_option_is_read_as_atoi(start, client):
    start()
    empty = "Availability: Yes\nProduct name: No product\nFile version:[ ]"
    for option in ("", " 2abc", "-1", "x"):
        r = client.request("status", option)
        assert (r.command, r.option) == ("status", empty)


def test_status_reply_keeps_the_requests_bytes_after_220(start, client):
    start()
    raw = Client.message("status", "0")[:220] + bytes(range(1, 256)) + b"\xaa" * 25
    r = client.request(None, raw=raw)
    assert len(r.raw) == 500
    assert r.raw[220:] == raw[220:]
    assert r.option.startswith("Availability: ")


def test_status_reply_after_short_request_is_zero_filled(start, client):
    start()
    client.request(None, raw=Client.message("status", "0")[:220] + b"\xbb" * 280)
    r = client.request(None, raw=b"status")
    assert r.raw[220:] == b"\0" * 280


def test_short_and_odd_datagrams_are_answered(start, client):
    d = start()
    for raw, command, option in ((b"", "", "-1"), (b"r", "r", "-1"), (b"refresh", "refresh", "0"),
                                 (Client.message("refresh")[:219], "refresh", "0"),
                                 (Client.message("refresh")[:220], "refresh", "0"),
                                 (Client.message("refresh")[:499], "refresh", "0"),
                                 (Client.message("refresh") + b"z" * 100, "refresh", "0"),
                                 (b"x" * 600, "x" * 19, "-1"),
                                 (b"\xff\xfe" * 10 + b"\x80" * 200, "\udcff\udcfe" * 9 + "\udcff", "-1")):
        r = client.request(None, raw=raw)
        assert (r.command, r.option) == (command, option), raw[:30]
        assert len(r.raw) == 500
    assert d.proc.poll() is None


def test_write_path_of_100_characters_is_refused_and_kept(start, client, syslog):
    start()
    path = "/tmp/" + "p" * 95
    assert len(path) == 100
    with open(path, "w") as f:
        f.write("{}")
    r = client.request("write", path)
    assert (r.command, r.option) == ("write", "-1")
    assert os.path.exists(path)
    assert syslog.wait_for("add(): Cannot read json file %s\n" % path, LOG_ERR)


def test_unbound_sender_gets_no_reply_and_the_failure_is_logged(start, client, syslog):
    d = start()
    anon = client.new(bind=False)
    anon.send("refresh")
    anon.send("status", "0")
    assert client.request("refresh").option == "0"  # the service went on
    assert syslog.count("Cannot response message from client, may need to restart menuhold\n") == 1
    d.stop()
    assert d.out().count("Send feedback failed\n") == 2


def test_requests_are_served_in_order_one_at_a_time(start, client):
    start()
    # Up to 8 in flight: a client's socket queues at most 10 replies (D3 drops the rest).
    for i in range(8):
        client.send("status" if i % 2 else "refresh", str(i))
    replies = [client.receive() for _ in range(8)]
    assert [r.command for r in replies] == ["status" if i % 2 else "refresh" for i in range(8)]


def test_each_reply_goes_to_its_own_sender(start, client):
    start()
    others = [client.new() for _ in range(5)]
    for i, c in enumerate(others):
        c.send("cmd%d" % i)
    for i, c in enumerate(others):
        assert c.receive().command == "cmd%d" % i
    assert client.no_reply(0.2)


def test_dispatch_debug_lines(start, client):
    d = start()
    client.request("refresh", "zz")
    client.request("nope")
    client.request("delete", "3")
    d.stop()
    out = d.out()
    assert "\n========Data is available ============================================\n" in out
    assert "Got message from to [%s]\n" % client.path in out
    assert "[run][" in out and "] command[refresh]\n" in out
    assert "[sendMsgClient][" in out and "] Send back error[0]\nClient option[0]\n" in out
    assert "Invalid command\n[sendMsgClient][" in out
    assert "Delete product with id [3]\n[run][" in out
    assert "]JSON list size[0]\n" in out
    assert "]Return[-1]to setrelay\n" in out
    assert out.rstrip().endswith("~Menuhold(): after uninit")


def test_a_request_waiting_in_the_queue_is_served_next(start, client):
    start()
    second = client.new()
    client.send("refresh")
    second.send("status", "0")
    assert client.receive().option == "0"
    assert second.receive().option.startswith("Availability: Yes")


def test_client_that_never_reads_does_not_stall_others(start, client):
    start()
    lazy = client.new()
    for _ in range(300):
        lazy.send("refresh")
    r = client.request("status", "0", timeout=20)
    assert r.option.startswith("Availability:")


def test_menuholdctl_refresh_and_invalid(start):
    start(debug=False)
    r = ctl("refresh")
    assert (r.returncode, r.stdout, r.stderr) == (0, "0\n", "")
    r = ctl("send", "Write", "x")
    assert (r.returncode, r.stdout) == (1, "-1\n")
    r = ctl("status", "0")
    assert (r.returncode, r.stdout) == (0, "Availability: Yes\nProduct name: No product\nFile version:[ ]\n")
    r = ctl("--json", "delete", "1")
    assert r.returncode == 1
    assert r.stdout == '{"command":"delete","option":"1","reply":"-1","code":-1,"status":null,"products":null}\n'
    leftovers = [n for n in os.listdir("/tmp") if n.startswith(".menuholdctl")]
    assert leftovers == []


def test_menuholdctl_without_service_says_so():
    r = ctl("--timeout", "1", "refresh")
    assert r.returncode == 3
    assert "menuhold is not running" in r.stderr
    assert len(r.stderr.splitlines()) == 1


def test_menuholdctl_times_out_when_no_reply_comes(start):
    # A socket at the service path that never answers.
    mute = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    mute.bind(SOCKET)
    t = time.time()
    r = ctl("--timeout", "0.5", "refresh")
    assert r.returncode == 3 and "no reply" in r.stderr
    assert time.time() - t < 5
    mute.close()
