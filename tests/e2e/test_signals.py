"""Operator signals: USR2, USR1 log rotation with each old-log action, HUP and TERM."""
import glob
import gzip
import os
import signal

import pytest

from conftest import read, wait_until


def rotated(daemon, pattern):
    return sorted(glob.glob(os.path.join(daemon.workdir, pattern)))


def test_usr2_is_logged_and_term_exits_zero(daemon):
    daemon.start()
    daemon.signal(signal.SIGUSR2)
    assert daemon.wait_log("advice: Received Test Signal for USR2")
    daemon.signal(signal.SIGTERM)
    assert daemon.wait_exit() == 0
    assert "advice: Received TERM Signal to EXIT" in daemon.log()


@pytest.mark.parametrize("action", [0, 1, 2])
def test_usr1_rotates_with_the_old_log_action(daemon, action):
    daemon.start(["-j", str(action)])
    daemon.signal(signal.SIGUSR1)
    # The rotation line is written to the old file, which is then rotated away; the next
    # line creates a new file.
    if action == 0:
        assert wait_until(lambda: not os.path.exists(daemon.logfile)
                          or "Recieved Signal for Log Rotation" not in daemon.log())
    daemon.signal(signal.SIGUSR2)
    assert daemon.wait_log("Received Test Signal for USR2")
    assert "Recieved Signal for Log Rotation" not in daemon.log()
    old_plain = rotated(daemon, "*-quillmoss.log")
    old_gz = rotated(daemon, "*-quillmoss.log.gz")
    if action == 0:
        assert old_plain == [] and old_gz == []
    elif action == 1:
        assert wait_until(lambda: rotated(daemon, "*-quillmoss.log.gz"))
        old_gz = rotated(daemon, "*-quillmoss.log.gz")
        assert rotated(daemon, "*-quillmoss.log") == []
        with gzip.open(old_gz[0], "rt") as f:
            assert "Recieved Signal for Log Rotation" in f.read()
    else:
        assert len(old_plain) == 1 and old_gz == []
        name = os.path.basename(old_plain[0])
        assert name[:14].isdigit() and name[14:] == "-quillmoss.log"
        assert "Recieved Signal for Log Rotation" in read(old_plain[0])


def test_hup_keeps_the_process_running(daemon):
    daemon.start()
    daemon.signal(signal.SIGHUP)
    assert daemon.wait_log("advice: Received HUP Signal for cleaning cache and closing all FDs")
    daemon.signal(signal.SIGUSR2)
    assert daemon.wait_log("Received Test Signal for USR2")
    assert daemon.alive()
    daemon.signal(signal.SIGTERM)
    assert daemon.wait_exit() == 0
