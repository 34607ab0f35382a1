# SPDX-License-Identifier: MIT
"""Install rules, init files and manual pages."""
import os
import shlex
import stat
import subprocess

from conftest import CTL, LAUNCHER, SOCKET, ctl

BUILD, SOURCE = os.environ.get("MENUHOLD_BUILD_DIR", ""), os.environ.get("MENUHOLD_SOURCE_DIR", "")
MODES = {0o755: ("etc/init.d/menuhold", "bin/menuholdctl", "sbin/menuhold", "libexec/menuhold-dirs"),
         0o644: ("lib/systemd/system/menuhold.service", "share/man/man1/menuholdctl.1", "share/man/man8/menuhold.8")}
PREFIX = "/usr/local"  # the build's configured prefix


def install(destdir=""):  # always with umask 002
    if not destdir:  # into a private /usr/local
        subprocess.run(["mount", "-t", "tmpfs", "menuhold-usr-local", PREFIX], check=True)
    subprocess.run(["cmake", "--install", BUILD], check=True, capture_output=True,
                   env=dict(os.environ, DESTDIR=destdir), preexec_fn=lambda: os.umask(0o002))


def test_install_gives_explicit_modes_whatever_the_umask_and_source_modes():
    sources = [os.path.join(SOURCE, p) for p in ("doc/menuhold.8", "doc/menuholdctl.1", "init/menuhold.service.in")]
    modes = [os.stat(p).st_mode for p in sources]
    try:
        [os.chmod(p, 0o664) for p in sources]  # as unpacked with umask 002
        install("/tmp/stage")
    finally:
        [os.chmod(p, mode) for p, mode in zip(sources, modes)]
    root = "/tmp/stage" + PREFIX
    found = {os.path.relpath(os.path.join(d, n), root): stat.S_IMODE(os.stat(os.path.join(d, n)).st_mode)
             for d, _, names in os.walk("/tmp/stage") for n in names}
    assert found == {path: mode for mode, paths in MODES.items() for path in paths}
    assert "DAEMON=${MENUHOLD_DAEMON:-/usr/local/sbin/menuhold}" in open(root + "/etc/init.d/menuhold").read()
    assert "\nExecStart=/usr/local/sbin/menuhold\n" in open(root + "/lib/systemd/system/menuhold.service").read()


def test_directories_are_made_or_refused():
    dirs = os.path.join(SOURCE, "init", "menuhold-dirs")
    cases = [("missing", lambda d: os.rmdir(d), 0), ("link", lambda d: (os.rmdir(d), os.symlink("/etc", d)), 1),
             ("a user's", lambda d: os.chown(d, 65534, 65534), 1), ("group-writable", lambda d: os.chmod(d, 0o775), 1),
             ("world-writable", lambda d: os.chmod(d, 0o1777), 1), ("a file", lambda d: (os.rmdir(d), os.mknod(d)), 1)]
    for what, plant, status in cases:
        plant("/tmp/panel_push")
        r = subprocess.run([dirs], capture_output=True, text=True)
        assert (r.returncode, r.stderr.count("refusing /tmp/panel_push")) == (status, status), what
        assert status or stat.S_IMODE(os.lstat("/tmp/panel_push").st_mode) == 0o755
        subprocess.run(["rm", "-rf", "/tmp/panel_push"], check=True)
        os.mkdir("/tmp/panel_push", 0o755)


def test_installed_unit_verifies_pages_render_and_init_script_follows_lsb(syslog):
    install()
    for check in [["systemd-analyze", "verify", PREFIX + "/lib/systemd/system/menuhold.service"]] + [
        ["groff", "-man", "-ww", "-z", PREFIX + "/share/man/man" + p] for p in ("8/menuhold.8", "1/menuholdctl.1")]:
        r = subprocess.run(check, capture_output=True, text=True)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", ""), check
    env = dict(os.environ, MENUHOLD_PIDFILE="/tmp/menuhold.pid")  # cross-built programs run through the emulator
    for name, binary in (("DAEMON", PREFIX + "/sbin/menuhold"), ("CTL", CTL)) if LAUNCHER else ():
        open("/tmp/" + name, "w").write("#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(LAUNCHER + [binary]))
        os.chmod("/tmp/" + name, 0o755)
        env["MENUHOLD_" + name] = "/tmp/" + name

    def run(action):
        r = subprocess.run([PREFIX + "/etc/init.d/menuhold", action], capture_output=True, text=True, env=env,
                           timeout=60)
        return r.returncode, r.stdout

    assert run("status") == (3, "menuhold is not running\n")
    assert run("start") == (0, "menuhold started\n")
    assert ctl("--timeout=1", "refresh").stdout == "0\n"  # started means serving: no wait needed
    pid = int(open("/tmp/menuhold.pid").read())
    assert run("status") == (0, "menuhold is running (pid %d)\n" % pid)
    assert run("force-reload") == (0, "menuhold stopped\nmenuhold started\n")
    assert run("stop") == (0, "menuhold stopped\n") and not os.path.exists(SOCKET)
    open("/tmp/menuhold.pid", "w").write("%d\n" % pid)  # that process is gone
    assert run("status") == (1, "menuhold is not running, but /tmp/menuhold.pid is left\n")
    os.chmod("/tmp/json_menu", 0o777)
    assert run("start")[0] == 1 and not os.path.exists(SOCKET) and run("bogus")[0] == 2
