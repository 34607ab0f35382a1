"""Issue 9: install rules, init integration, manual pages and menuholdctl for scripts."""
import json
import os
import shlex
import stat
import subprocess
import time

from conftest import CTL, LAUNCHER, SOCKET, ctl, history_rows, product_json, upload

BUILD = os.environ.get("MENUHOLD_BUILD_DIR", "")
SOURCE = os.environ.get("MENUHOLD_SOURCE_DIR", "")

STAGED_TREE = {
    "etc/init.d/menuhold": 0o755,
    "usr/bin/menuholdctl": 0o755,
    "usr/sbin/menuhold": 0o755,
    "usr/lib/systemd/system/menuhold.service": 0o644,
    "usr/share/man/man1/menuholdctl.1": 0o644,
    "usr/share/man/man8/menuhold.8": 0o644,
}


def install(prefix, destdir=None):
    env = dict(os.environ)
    if destdir:
        env["DESTDIR"] = destdir
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True, env=env)


def tree(root):
    found = {}
    for directory, _, files in os.walk(root):
        for name in files:
            path = os.path.join(directory, name)
            found[os.path.relpath(path, root)] = stat.S_IMODE(os.stat(path).st_mode)
    return found


def test_destdir_install_yields_the_documented_tree():
    install("/usr", "/tmp/stage")
    assert tree("/tmp/stage") == STAGED_TREE
    with open("/tmp/stage/etc/init.d/menuhold") as f:
        assert "DAEMON=${MENUHOLD_DAEMON:-/usr/sbin/menuhold}" in f.read()
    with open("/tmp/stage/usr/lib/systemd/system/menuhold.service") as f:
        assert "ExecStart=/usr/sbin/menuhold\n" in f.read()


def mount_usr_local():
    subprocess.run(["mount", "-t", "tmpfs", "menuhold-usr-local", "/usr/local"], check=True)


def test_systemd_unit_verifies():
    mount_usr_local()
    install("/usr/local")
    unit = "/usr/local/lib/systemd/system/menuhold.service"
    r = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    text = open(unit).read()
    assert "PrivateTmp=" not in text and "KillSignal=SIGTERM" in text and "Restart=on-failure" in text
    assert "ExecStartPre=/bin/mkdir -p /tmp/json_menu /tmp/panel_push" in text


def test_init_script_starts_reports_and_stops_the_daemon(syslog):
    mount_usr_local()
    install("/usr/local")
    os.rmdir("/tmp/json_menu")
    os.rmdir("/tmp/panel_push")
    env = dict(os.environ, MENUHOLD_PIDFILE="/tmp/menuhold.pid")
    if LAUNCHER:  # a PowerPC daemon starts through the emulator
        with open("/tmp/menuhold-launch", "w") as f:
            f.write("#!/bin/sh\nexec %s /usr/local/sbin/menuhold \"$@\"\n" % " ".join(map(shlex.quote, LAUNCHER)))
        os.chmod("/tmp/menuhold-launch", 0o755)
        env["MENUHOLD_DAEMON"] = "/tmp/menuhold-launch"
    script = "/usr/local/etc/init.d/menuhold"

    def run(action):
        return subprocess.run([script, action], capture_output=True, text=True, env=env, timeout=30)

    r = run("status")
    assert (r.returncode, r.stdout) == (3, "menuhold is not running\n")
    r = run("start")
    assert (r.returncode, r.stdout) == (0, "menuhold started\n")
    assert os.path.isdir("/tmp/json_menu") and os.path.isdir("/tmp/panel_push")
    pid = int(open("/tmp/menuhold.pid").read())
    deadline = time.time() + 15
    while not os.path.exists(SOCKET) and time.time() < deadline:
        time.sleep(0.02)
    assert ctl("refresh").stdout == "0\n"
    r = run("status")
    assert (r.returncode, r.stdout) == (0, "menuhold is running (pid %d)\n" % pid)
    r = run("restart")
    assert r.returncode == 0 and r.stdout == "menuhold stopped\nmenuhold started\n"
    assert syslog.wait_for("Menuhold (PID: %d) exit\n" % pid)
    r = run("stop")
    assert (r.returncode, r.stdout) == (0, "menuhold stopped\n")
    assert not os.path.exists(SOCKET)
    assert run("status").returncode == 3
    r = run("bogus")
    assert r.returncode == 2 and "Usage:" in r.stderr


def test_manual_pages_render_without_warnings():
    for page in ("menuhold.8", "menuholdctl.1"):
        r = subprocess.run(["groff", "-man", "-ww", "-z", os.path.join(SOURCE, "doc", page)],
                           capture_output=True, text=True)
        assert (r.returncode, r.stderr) == (0, ""), page
        r = subprocess.run(["groff", "-man", "-Tutf8", "-P", "-cbou", os.path.join(SOURCE, "doc", page)],
                           capture_output=True, text=True)
        assert "EXIT STATUS" in r.stdout and "EXAMPLES" in r.stdout


def test_json_output_of_every_command(start, client):
    start(debug=False)
    with open("/tmp/up.json", "wb") as f:
        f.write(product_json("Alpha", "v1.0.0.1"))
    r = ctl("--json", "write", "/tmp/up.json")
    assert (r.returncode, json.loads(r.stdout)) == (0, {"command": "write", "option": "0", "code": 0})
    r = ctl("--json", "status", "0")
    assert r.returncode == 0
    assert json.loads(r.stdout) == {"command": "status",
                                    "option": "Availability: No\nProduct name: Alpha\nFile version:[v1.0.0.1]",
                                    "available": False, "product_name": "Alpha", "file_version": "v1.0.0.1"}
    r = ctl("--json", "status", "4")
    assert json.loads(r.stdout)["available"] is True and json.loads(r.stdout)["file_version"] == " "
    r = ctl("--json", "refresh")
    assert json.loads(r.stdout) == {"command": "refresh", "option": "0", "code": 0}
    r = ctl("--json", "send", "Bogus", "x")
    assert (r.returncode, json.loads(r.stdout)) == (1, {"command": "Bogus", "option": "-1", "code": -1})
    r = ctl("--json", "delete", "1")
    assert (r.returncode, json.loads(r.stdout)) == (0, {"command": "delete", "option": "0", "code": 0})


def test_relative_write_path_is_made_absolute(start):
    start(debug=False)
    with open("/tmp/rel.json", "wb") as f:
        f.write(product_json("Rel", "v1.0.0.0"))
    r = subprocess.run(LAUNCHER + [CTL, "write", "rel.json"], capture_output=True, text=True, cwd="/tmp")
    assert (r.returncode, r.stdout) == (0, "0\n")
    assert history_rows() == [["1", "Rel", "v1.0.0.0"]]


def test_list_prints_an_aligned_table_and_json(start, client):
    start(debug=False)
    upload(client, product_json("Alpha", "v1.0.0.1"))
    upload(client, product_json("A much longer name", "v2.3.0.0"))
    r = ctl("list")
    assert r.returncode == 0
    assert r.stdout == ("ID  Product Name        File Version\n"
                        "1   Alpha               v1.0.0.1\n"
                        "2   A much longer name  v2.3.0.0\n")
    r = ctl("--json", "list")
    assert json.loads(r.stdout) == [{"id": "1", "product_name": "Alpha", "file_version": "v1.0.0.1"},
                                    {"id": "2", "product_name": "A much longer name", "file_version": "v2.3.0.0"}]


def test_list_without_history_file_fails_clearly():
    r = ctl("list")
    assert r.returncode == 2 and r.stderr.startswith("menuholdctl: cannot read /tmp/json_history.json")
