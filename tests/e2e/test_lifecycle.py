"""Part 1.1 (command line and process lifecycle) and Part 2.2 (service object)."""
import os
import signal
import stat
import subprocess
import time

from conftest import (BIN, HISTORY, HISTORY_GZ, LAUNCHER, LOG_ERR, LOG_INFO, MENU, PUSH, SOCKET, Daemon,
                      held_name, product_json)

USAGE = ("Menuhold --- for json file upload/delete/refresh_table/management\n"
         "    Last revised 2026-12-06\n"
         "    \n"
         "Usage: \n"
         "    -c      clear the blocks which cannot be parsed (such as checksum failed, etc.)\n"
         "    -d      output debug message to /tmp/log_message\n"
         "    -h      print this message\n"
         "    -v      print current version\n")
ANNOUNCE = "main(): To open path /tmp/panel_push\nmain(): to remove table file /tmp/json_history.json\n"


def run(*args):
    return subprocess.run(LAUNCHER + [BIN] + list(args), capture_output=True, text=True, timeout=30)


def write(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


def test_version_prints_exactly_and_touches_nothing():
    write(HISTORY)
    write(os.path.join(PUSH, held_name("A")))
    r = run("-v")
    assert (r.returncode, r.stdout, r.stderr) == (0, "Current version is :[v3.1]\n", "")
    assert os.path.exists(HISTORY) and os.path.exists(os.path.join(PUSH, held_name("A")))
    assert not os.path.exists(SOCKET)


def test_help_prints_the_eight_usage_lines():
    r = run("-h")
    assert (r.returncode, r.stdout) == (0, USAGE)
    assert len(r.stdout.splitlines()) == 8
    assert not os.path.exists(SOCKET)


def test_cv_prints_clear_then_version_and_touches_nothing():
    write(HISTORY)
    r = run("-cv")
    assert (r.returncode, r.stdout) == (0, "Clear invalid blocks\nCurrent version is :[v3.1]\n")
    assert os.path.exists(HISTORY) and not os.path.exists(SOCKET)


def test_options_after_h_are_never_seen():
    r = run("-h", "-v")
    assert (r.returncode, r.stdout) == (0, USAGE)


def test_unknown_option_gets_getopt_diagnostic_and_start_goes_on(start, client):
    d = start("-x", debug=False)
    assert client.request("refresh").option == "0"
    assert "invalid option -- 'x'" in d.err()
    assert d.stop() == 0


def test_start_without_debug_prints_only_the_announcements(start, client, syslog):
    d = start(debug=False)
    assert client.request("refresh").option == "0"
    client.request("status", "0")
    client.request("bogus")
    assert d.stop() == 0
    assert d.out() == ANNOUNCE


def test_missing_push_directory_causes_no_message(start, client):
    os.rmdir(PUSH)
    d = start(debug=False)
    assert client.request("refresh").option == "0"
    d.stop()
    assert d.out() == ANNOUNCE


def test_cleanup_removes_marker_entries_only(start):
    keep = ["0-PANELPUSH_LOCAL_x.json", "other.json", "0-panelpush_locaX.json"]
    gone = ["x0-panelpush_localy", held_name("Alpha"), "0-panelpush_local"]
    for name in keep + gone:
        write(os.path.join(PUSH, name))
    os.mkdir(os.path.join(PUSH, "sub"))
    write(os.path.join(PUSH, "sub", held_name("Deep")))
    d = start()
    d.stop()
    left = sorted(os.listdir(PUSH))
    assert left == sorted(keep + ["sub"])
    assert os.listdir(os.path.join(PUSH, "sub")) == [held_name("Deep")]


def test_history_removed_at_start_and_gz_kept(start):
    write(HISTORY, b"old")
    write(HISTORY_GZ, b"old gz")
    os.utime(HISTORY_GZ, (1, 1))
    d = start()
    # The history file was removed and written anew by init: the empty table.
    with open(HISTORY) as f:
        assert '"aaData":\t[]' in f.read()
    d.stop()
    assert os.path.exists(HISTORY) and os.path.exists(HISTORY_GZ)


def test_cleanup_mode_runs_recovery_and_leaves_the_socket(start, syslog):
    write(os.path.join(MENU, held_name("Alpha")), product_json("Alpha", "v1.0.0.0"))
    d = start("-c", ready=False, debug=False)
    assert d.wait() == 0
    assert d.out() == ("Clear invalid blocks\n" + ANNOUNCE +
                       "Finished clearing All invalid blocks, existing program.....\n")
    assert stat.S_ISSOCK(os.lstat(SOCKET).st_mode)
    assert os.path.exists(os.path.join(PUSH, held_name("Alpha")))
    assert syslog.wait_for("recovery():Recovering json files from NV\n", LOG_INFO)
    assert not any("exit\n" in m for m in syslog.messages())
    assert not any("loop ended" in m for m in syslog.messages())


def test_sigterm_while_idle(start, client, syslog):
    d = start(debug=False)
    client.request("refresh")
    d.signal(signal.SIGTERM)
    assert d.wait(timeout=5) == 0
    msgs = syslog.messages()
    assert msgs.count("menuhold exit with signal 15 (cnt=1)\n") == 1
    assert msgs.count("menuhold loop ended\n\n") == 1
    assert "Menuhold (PID: %d) exit\n" % d.pid in msgs
    order = [msgs.index(m) for m in ("menuhold exit with signal 15 (cnt=1)\n", "menuhold loop ended\n\n",
                                     "Menuhold (PID: %d) exit\n" % d.pid)]
    assert order == sorted(order)
    assert all(lvl == LOG_INFO for lvl, _, _ in syslog.entries())
    assert not os.path.exists(SOCKET)


def test_sigint_behaves_as_sigterm(start, client, syslog):
    d = start()
    client.request("refresh")
    time.sleep(0.3)  # idle in select, so that the signal interrupts the wait
    d.signal(signal.SIGINT)
    assert d.wait(timeout=5) == 0
    assert syslog.wait_for("menuhold exit with signal 2 (cnt=1)\n", LOG_INFO)
    assert syslog.wait_for("menuhold loop ended\n\n", LOG_INFO)
    assert "stopping\n" in d.out()
    assert "ERROR: select(), [Interrupted system call]\nctrl_socket[" in d.out()
    assert d.out().endswith("Stopped looping\nrun(): ended\nuninit(): to unlink /tmp/.cjsonsock\n"
                            "uninit(): to delete table_root\nuninit(): done\n~Menuhold(): after uninit\n")


def test_second_signal_during_shutdown_logs_cnt_2(start, client, syslog):
    d = start(debug=False)
    client.request("refresh")
    # With syslog blocked the shutdown stalls at its first record; a second SIGTERM lands there.
    syslog.block()
    d.signal(signal.SIGTERM)
    time.sleep(0.3)
    assert d.proc.poll() is None
    d.signal(signal.SIGTERM)
    time.sleep(0.3)
    syslog.unblock()
    assert d.wait(timeout=5) == 0
    assert syslog.wait_for("Menuhold (PID: %d) exit\n" % d.pid)
    msgs = [m for m in syslog.messages() if m != "x"]
    assert msgs[-4:] == ["menuhold exit with signal 15 (cnt=1)\n", "menuhold exit with signal 15 (cnt=2)\n",
                         "menuhold loop ended\n\n", "Menuhold (PID: %d) exit\n" % d.pid]


def test_sigterm_during_startup_cleanup_is_logged_and_service_serves(start, client, syslog):
    for i in range(20000):
        write(os.path.join(PUSH, "0-panelpush_local_%05d" % i))
    d = start(ready=False)
    # Freeze the process inside the clean-up, so that the signal surely lands there.
    deadline = time.time() + 10
    while "main(): to remove table file" not in d.out() and time.time() < deadline:
        d.signal(signal.SIGSTOP)
        if "main(): to remove table file" not in d.out():
            d.signal(signal.SIGCONT)
            time.sleep(0.001)
    assert os.listdir(PUSH), "the clean-up had already ended"
    d.signal(signal.SIGTERM)
    d.signal(signal.SIGCONT)
    d.wait_ready()
    assert syslog.wait_for("menuhold exit with signal 15 (cnt=1)\n", LOG_INFO)
    assert client.request("refresh").option == "0"
    assert d.proc.poll() is None
    assert not os.listdir(PUSH)
    assert d.stop() == 0
    assert syslog.wait_for("menuhold exit with signal 15 (cnt=2)\n", LOG_INFO)


def test_sigsegv_is_logged_and_ends_the_process(start, client, syslog):
    d = start(debug=False)
    client.request("refresh")
    d.signal(signal.SIGSEGV)
    rc = d.wait(timeout=5)
    assert rc == -signal.SIGSEGV
    assert syslog.wait_for("menuhold exit with signal 11 (cnt=1)\n", LOG_INFO)


def test_init_failure_exits_255_with_message(start, syslog):
    os.mkdir(SOCKET)
    write(os.path.join(SOCKET, "keep"))
    d = start(ready=False)
    assert d.wait() == 255
    out = d.out()
    assert "[%s] init failed\n" % BIN in out
    assert "bind: bind failed: [Address already in use]\n" in out
    assert "ctrl_socket=" in out
    # The product table was built and written before the socket.
    assert os.path.exists(HISTORY)


def test_socket_mode_is_3567(start):
    d = start()
    assert stat.S_IMODE(os.lstat(SOCKET).st_mode) == 0o3567
    d.stop()


def test_stale_socket_path_does_not_prevent_start(start, client):
    import socket as s
    stale = s.socket(s.AF_UNIX, s.SOCK_DGRAM)
    stale.bind(SOCKET)
    stale.close()
    d = start()
    assert client.request("refresh").option == "0"
    d.stop()


def test_idle_debug_prints_timeout_about_every_three_seconds(start):
    d = start()
    assert d.wait_out("Start looping\n")
    time.sleep(7.5)  # waits end at 3 s and 6 s; the third would come at 9 s
    d.stop()
    out = d.out()
    assert out.count("Timeout...\n") == 2
    assert out.split("Start looping\n", 1)[1].startswith("Timeout...\nTimeout...\n")


def test_startup_debug_lines_in_order(start):
    write(os.path.join(MENU, "plain.json"), b"{}")
    d = start()
    assert d.wait_out("Start looping\n")
    d.stop()
    out = d.out()
    assert out.startswith(ANNOUNCE + "ctrl_socket=")
    after = out.split("\n", 3)[3]
    assert after.startswith("recovery(): ")
    assert "recovery(): plain.json\n" in after and "recovery(): .\n" in after and "recovery(): ..\n" in after
    assert "Start looping\n" in after



def test_non_option_arguments_are_ignored(start, client):
    d = start("extra", "words", debug=False)
    assert client.request("refresh").option == "0"
    assert d.stop() == 0
    assert d.out() == ANNOUNCE
