# SPDX-License-Identifier: MIT
"""Install rules, init files and manual pages."""
import os
import re
import shlex
import signal
import stat
import subprocess

from conftest import CTL, LAUNCHER, SOCKET, ctl

BUILD, SOURCE = os.environ.get("MENUHOLD_BUILD_DIR", ""), os.environ.get("MENUHOLD_SOURCE_DIR", "")
VERSION = re.search(r"^project\(menuhold VERSION ([0-9.]+)", open(SOURCE + "/CMakeLists.txt").read(), re.M).group(1)
INIT = "etc/init.d/S50menuhold"  # BusyBox's rcS runs S??* only
WEB = "share/menuhold/www/"  # the page's document root
MODES = {0o755: ("sbin/menuhold", "bin/menuholdctl", "libexec/menuhold-dirs", INIT, WEB + "cgi-bin/status"),
         0o644: ("lib/systemd/system/menuhold.service", "share/man/man1/menuholdctl.1", "share/man/man8/menuhold.8",
                 *[WEB + f for f in ("index.html", "app.js", "style.css", "vendor/datatables/dataTables.min.js",
                                     "vendor/datatables/dataTables.dataTables.min.css", "vendor/datatables/LICENSE")]),
         0o777: (WEB + "json_history.json", WEB + "json_history.json.gz")}  # links into /tmp
PREFIX = "/usr/local"  # the build's configured prefix
BUSYBOX = "/tmp/busybox"  # a directory of BusyBox's tools, for the init script's PATH

def files_of(modes):
    return {path: mode for mode, paths in modes.items() for path in paths}

def install(destdir="", prefix=None):  # always with umask 002
    if not destdir and not prefix:  # into a private /usr/local
        subprocess.run(["mount", "-t", "tmpfs", "menuhold-usr-local", PREFIX], check=True)
    subprocess.run(["cmake", "--install", BUILD] + (["--prefix", prefix] if prefix else []), check=True,
                   capture_output=True, env=dict(os.environ, DESTDIR=destdir), preexec_fn=lambda: os.umask(0o002))

def test_install_goes_under_the_prefix_given_with_explicit_modes_whatever_the_umask_and_source_modes():
    sources = [os.path.join(SOURCE, p) for p in ("doc/menuhold.8", "doc/menuholdctl.1", "init/menuhold.service.in")]
    modes = [os.stat(p).st_mode for p in sources]
    cases = [("/tmp/stage", None, PREFIX), ("", "/tmp/opt", "/tmp/opt"), ("/tmp/stage-usr", "/usr", "/usr")]
    try:
        [os.chmod(p, 0o664) for p in sources]  # as unpacked with umask 002
        for destdir, prefix, installed in cases:
            install(destdir, prefix)
            files = [os.path.join(d, n) for d, _, names in os.walk(destdir or prefix) for n in names]
            found = {"/" + os.path.relpath(f, destdir or "/"): stat.S_IMODE(os.lstat(f).st_mode) for f in files}
            # The prefix /usr keeps its configuration in /etc.
            where = {p: ("" if (installed, p) == ("/usr", INIT) else installed) + "/" + p for p in files_of(MODES)}
            assert found == {where[p]: mode for p, mode in files_of(MODES).items()}, prefix
            assert {stat.S_IMODE(os.stat(d).st_mode) for d, _, _ in os.walk(destdir or prefix)} == {0o755}, prefix
            init, unit = (open(destdir + where[p]).read() for p in (INIT, "lib/systemd/system/menuhold.service"))
            assert "DAEMON=${MENUHOLD_DAEMON:-%s/sbin/menuhold}" % installed in init, prefix
            assert "\nExecStart=%s/sbin/menuhold\n" % installed in unit, prefix
            cgi = open(destdir + where[WEB + "cgi-bin/status"]).read()
            assert '"${MENUHOLD_CTL:-%s/bin/menuholdctl}"' % installed in cgi, prefix
    finally:
        [os.chmod(p, mode) for p, mode in zip(sources, modes)]
    for page in ("doc/menuhold.8", "doc/menuholdctl.1"):  # one version number, the project's
        assert re.search(r'^\.TH .* "menuhold v%s"' % re.escape(VERSION), open(SOURCE + "/" + page).read(), re.M), page

def test_directories_are_made_or_refused():
    dirs = os.path.join(SOURCE, "init", "menuhold-dirs")
    cases = [("missing", os.rmdir, 0), ("link", lambda d: (os.rmdir(d), os.symlink("/etc", d)), 1),
             ("a user's", lambda d: os.chown(d, 65534, 65534), 0), ("a file", lambda d: (os.rmdir(d), os.mknod(d)), 1),
             ("group-writable", lambda d: os.chmod(d, 0o775), 1), ("world-writable", lambda d: os.chmod(d, 0o1777), 1)]
    for what, plant, status in cases:
        plant("/tmp/panel_push")
        r = subprocess.run([dirs], capture_output=True, text=True)
        assert (r.returncode, r.stderr.count("refusing /tmp/panel_push")) == (status, status), what
        assert status or stat.S_IMODE(os.lstat("/tmp/panel_push").st_mode) == 0o755, what
        subprocess.run(["rm", "-rf", "/tmp/panel_push"], check=True)
        os.mkdir("/tmp/panel_push", 0o755)

def test_installed_unit_verifies_pages_render_and_init_script_follows_lsb_with_debian_and_busybox_tools(syslog):
    install()
    for check in [["systemd-analyze", "verify", PREFIX + "/lib/systemd/system/menuhold.service"]] + [
        ["groff", "-man", "-ww", "-z", PREFIX + "/share/man/man" + p] for p in ("8/menuhold.8", "1/menuholdctl.1")]:
        r = subprocess.run(check, capture_output=True, text=True)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", ""), check
    pidfile = "/tmp/menuhold.pid"
    env = dict(os.environ, MENUHOLD_PIDFILE=pidfile)  # cross-built programs run through the emulator
    for name, binary in (("DAEMON", PREFIX + "/sbin/menuhold"), ("CTL", CTL)) if LAUNCHER else ():
        open("/tmp/" + name, "w").write("#!/bin/sh\nexec %s \"$@\"\n" % shlex.join(LAUNCHER + [binary]))
        os.chmod("/tmp/" + name, 0o755)
        env["MENUHOLD_" + name] = "/tmp/" + name
    os.mkdir(BUSYBOX)
    subprocess.run(["busybox", "--install", "-s", BUSYBOX], check=True)

    for tools, shell, path in (("Debian", [], env["PATH"]), ("BusyBox", ["busybox", "sh"], BUSYBOX + ":" + env["PATH"])):
        def run(action):
            r = subprocess.run(shell + [PREFIX + "/" + INIT, action], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, env=dict(env, PATH=path), timeout=60)
            return r.returncode, r.stdout

        assert run("status") == (3, "menuhold is not running\n"), tools
        assert run("start") == (0, "menuhold started\n"), tools
        assert ctl("--timeout=1", "refresh").stdout == "0\n"  # started means serving: no wait needed
        pid = int(open(pidfile).read())
        assert run("status") == run("status") == (0, "menuhold is running (pid %d)\n" % pid), tools
        assert run("start") == (0, "menuhold is already running (pid %d)\n" % pid), tools
        os.rename(pidfile, "/tmp/saved")  # started by other means: it answers
        assert run("start") == (0, "menuhold is already running\n"), tools
        os.rename("/tmp/saved", pidfile)
        assert run("reload") == (3, "menuhold has no configuration to reload; use restart\n"), tools
        assert run("force-reload") == (0, "menuhold stopped\nmenuhold started\n"), tools
        pid = int(open(pidfile).read())
        if tools == "Debian":
            assert run("stop") == (0, "menuhold stopped\n") and not os.path.exists(SOCKET)
            open(pidfile, "w").write("%d\n" % pid)  # that process is gone
            assert run("status") == (1, "menuhold is not running, but %s is left\n" % pidfile)
            os.chmod("/tmp/json_menu", 0o777)
            assert run("start")[0] == 1 and not os.path.exists(SOCKET) and run("bogus")[0] == 2
            os.chmod("/tmp/json_menu", 0o755)
            os.unlink(pidfile)
        else:  # hung: SIGTERM does nothing, and the stale socket stays for the next start to replace
            os.kill(pid, signal.SIGSTOP)
            assert run("stop") == (0, "menuhold (pid %d) did not stop within 10 s of SIGTERM; sending SIGKILL\n"
                                      "menuhold stopped\n" % pid)
            assert run("start") == (0, "menuhold started\n") and run("stop") == (0, "menuhold stopped\n")
