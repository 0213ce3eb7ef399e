"""Command line, start-up checks, daemon mode and the PID file."""
import os
import signal
import subprocess
import time

import pytest

from conftest import BINARY, read, wait_until


def run(args, **kw):
    return subprocess.run([BINARY] + args, capture_output=True, text=True, timeout=20, **kw)


def test_no_arguments_prints_help_and_succeeds():
    r = run([])
    assert r.returncode == 0
    assert "Usage: " in r.stderr
    assert " -c <file>            : location of config file (required)\n" in r.stderr
    # Category lines follow in bit order, and the unlisted bits are absent.
    lines = [l for l in r.stderr.splitlines() if l.endswith(("= requests", "= debug"))]
    assert lines == ["         1 = requests", " 134217728 = debug"]
    assert "sync" not in r.stderr and "verify" not in r.stderr


def test_help_shows_current_values():
    r = run(["-T", "7", "-C", "3", "-b", "16384:4096", "-k", "10:20:30", "-d", "5", "-h"])
    assert r.returncode == 0
    assert "another connection (default: 7)\n" in r.stderr
    assert "presumed available (default: 3)\n" in r.stderr
    assert "Buffer sizes (default: 16384:4096)\n" in r.stderr
    assert "Keepalive parameters (default: 10:20:30)\n" in r.stderr
    assert "set log level (default: 5)\n" in r.stderr


def test_version_line():
    r = run(["-v"])
    assert r.returncode == 0
    assert r.stdout.count("\n") == 1
    label, rest = r.stdout.rstrip("\n").split(" - VERSION - ")
    version, build = rest.split(" - BUILD - ")
    assert label and version and build.isdigit()


def test_password_cache_option_without_colon_fails_with_help():
    r = run(["-P", "100"])
    assert r.returncode == 1
    assert "Usage: " in r.stderr


@pytest.mark.parametrize("args,message", [
    (["-s", BINARY], "config file option missing\n"),
    (["-c", "/nonexistent/q.xml", "-s", BINARY], "couldn't stat /nonexistent/q.xml\n"),
    (["-c", BINARY], "section file option missing\n"),
    (["-c", BINARY, "-s", "/nonexistent/s.xml"], "couldn't stat /nonexistent/s.xml\n"),
])
def test_missing_files_are_refused(args, message):
    r = run(["-f"] + args)
    assert r.returncode == 1
    assert r.stderr == message


def test_foreground_copies_log_to_stdout(daemon):
    daemon.start()
    daemon.signal(signal.SIGUSR2)
    assert daemon.wait_log("advice: Received Test Signal for USR2")
    assert wait_until(lambda: "Received Test Signal for USR2" in read(daemon.stdout))
    daemon.signal(signal.SIGTERM)
    assert daemon.wait_exit() == 0
    assert "Received TERM Signal to EXIT" in daemon.log()


def test_arguments_are_wiped_from_the_process_list(daemon):
    daemon.start()
    assert wait_until(lambda: os.path.exists(f"/proc/{daemon.pid}/cmdline"))
    cmdline = wait_until(lambda: read(f"/proc/{daemon.pid}/cmdline") if daemon.configfile
                         not in read(f"/proc/{daemon.pid}/cmdline") else "", 5)
    assert cmdline, "the configuration path is still visible in the process list"
    assert daemon.configfile not in cmdline


def test_daemon_writes_pid_file_and_refuses_a_second_instance(daemon, workdir):
    daemon.start(["-p", daemon.pidfile], foreground=False)
    assert daemon.proc.returncode == 0  # the launching parent exits 0
    assert daemon.pid and daemon.alive()
    assert read(daemon.pidfile) == f"{daemon.pid}\n"
    # The daemon's standard descriptors lead to /dev/null, never to a socket or a log.
    for fd in (0, 1, 2):
        assert os.readlink(f"/proc/{daemon.pid}/fd/{fd}") == "/dev/null"

    # A second daemon with the same PID file stops silently with status 1; the first
    # keeps its file.
    second = subprocess.Popen(daemon.args(["-p", daemon.pidfile], foreground=False),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    second.wait(timeout=10)
    time.sleep(0.5)
    assert read(daemon.pidfile) == f"{daemon.pid}\n"
    assert daemon.alive()

    daemon.signal(signal.SIGTERM)
    daemon.wait_exit()
    assert not os.path.exists(daemon.pidfile)


@pytest.mark.parametrize("content", ["999999\n", "garbage\n", "-1\n", "0\n", ""])
def test_stale_pid_file_is_rewritten(daemon, content):
    with open(daemon.pidfile, "w") as f:
        f.write(content)
    daemon.start(["-p", daemon.pidfile], foreground=False)
    assert daemon.pid and daemon.alive()
    assert read(daemon.pidfile) == f"{daemon.pid}\n"


def test_unknown_user_and_group_are_refused(daemon):
    daemon.write_config()
    r = subprocess.run(daemon.args(["-g", "no-such-group-qm"]), capture_output=True, text=True,
                       timeout=10)
    assert r.returncode == 1 and r.stderr == "getgrnam: unknown group\n"
    r = subprocess.run(daemon.args(["-u", "no-such-user-qm"]), capture_output=True, text=True,
                       timeout=10)
    assert r.returncode == 1 and r.stderr == "getpwnam: unknown user\n"


def test_start_up_feed_lists_the_hosts_of_the_access_log(daemon):
    lines = [
        "1 2 3 4 5 6 http://alpha.example:80/a x",
        "1 2 3 4 5 6 ftp://beta.example:21/b",
        "short line",
        "1 2 3 4 5 6 not-a-url",
        "1 2 3 4 5 6 http://gamma.example/c",
    ]
    with open(daemon.accesslog, "w") as f:
        f.write("\n".join(lines) + "\n")
    daemon.start()
    assert read(daemon.accesslog + ".orvexfeed") == "\nalpha.example\nbeta.example\ngamma.example"


def test_no_feed_without_a_diagnostic_log_option(daemon, workdir):
    with open(daemon.accesslog, "w") as f:
        f.write("1 2 3 4 5 6 http://alpha.example:80/a\n")
    daemon.write_config()
    args = [a for a in daemon.args() if a not in ("-l", daemon.logfile)]
    with open(daemon.stdout, "w") as out:
        p = subprocess.Popen(args, stdout=out, stderr=subprocess.DEVNULL)
    try:
        assert wait_until(lambda: "proxy hostname: " in read(daemon.stdout))
        assert not os.path.exists(daemon.accesslog + ".orvexfeed")
    finally:
        p.terminate()
        p.wait(timeout=5)
