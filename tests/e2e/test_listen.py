"""Listeners: opened from the configuration document and the command line, a duplicate bind
logged and survived, many short connections accepted and closed without leaking
descriptors, and the listeners reopened after HUP."""
import os
import re
import signal
import socket
import struct
import time

from conftest import SAMPLE, free_port, read, wait_until


def listen_item(port, address="127.0.0.1", enabled=True):
    return ("<listen><enabled>%s</enabled><comment>test</comment><port>%d</port>"
            "<address>%s</address></listen>" % ("true" if enabled else "false", port, address))


def with_network(items):
    """The sample configuration with its network section replaced by `items`."""
    text, n = re.subn(r"<network>.*?</network>", "<network>" + "".join(items) + "</network>",
                      read(SAMPLE), count=1, flags=re.S)
    assert n == 1, "the sample configuration has no network section"
    return text


def connects(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2):
            return True
    except OSError:
        return False


def short_connection(port, reset):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    if reset:
        # Closing with a zero linger time sends a reset instead of a normal end.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def listening_line(port):
    return "network: listening on 127.0.0.1:%d" % port


DISCONNECTED = "127.0.0.1 disconnected after making 0 requests"


def test_listeners_come_from_the_document_and_the_command_line(daemon):
    on, other, off, cli = free_port(), free_port(), free_port(), free_port()
    daemon.write_config(with_network([
        listen_item(on), listen_item(other), listen_item(off, enabled=False),
        listen_item(-1)]))
    daemon.start(["-L", "127.0.0.1:%d" % cli], wait_for=listening_line(other))
    log = daemon.log()
    for port in (on, other, cli):
        assert listening_line(port) in log
        assert connects(port), port
    assert not re.search(r":%d\b" % off, log), "a disabled item is not opened"
    assert "listening on 127.0.0.1:-1" not in log and "bind to 127.0.0.1:-1" not in log
    assert not connects(off)
    assert "network: listen queue: " in log


def test_a_duplicate_bind_is_logged_and_the_first_keeps_serving(daemon):
    port = free_port()
    daemon.write_config(with_network([listen_item(port), listen_item(port)]))
    daemon.start(wait_for=listening_line(port))
    assert daemon.wait_log("error: network: failed to bind to 127.0.0.1:%d" % port)
    assert daemon.alive()
    assert connects(port)
    assert daemon.wait_log(DISCONNECTED)


def test_many_short_connections_leave_no_descriptor_behind(daemon):
    port = free_port()
    daemon.write_config(with_network([listen_item(port)]))
    daemon.start(wait_for=listening_line(port))
    # Warm up: the first connection may create lasting state (threads, pools).
    short_connection(port, reset=False)
    assert daemon.wait_log(DISCONNECTED)
    time.sleep(1.5)  # let the request thread that served it time out
    before = fd_count(daemon.pid)

    rounds = 200
    for i in range(rounds):
        short_connection(port, reset=i % 2 == 1)
    # Every connection, the reset ones included, was accepted and closed again.
    assert wait_until(lambda: daemon.log().count(DISCONNECTED) >= rounds + 1, timeout=20), \
        "accepted and closed %d of %d" % (daemon.log().count(DISCONNECTED) - 1, rounds)
    assert wait_until(lambda: fd_count(daemon.pid) <= before, timeout=15), \
        "descriptors: %d before, %d after" % (before, fd_count(daemon.pid))
    assert daemon.alive()
    assert connects(port)


def test_hup_reopens_the_listeners(daemon):
    port, cli = free_port(), free_port()
    daemon.write_config(with_network([listen_item(port)]))
    daemon.start(["-L", "127.0.0.1:%d" % cli], wait_for=listening_line(port))
    daemon.signal(signal.SIGHUP)
    assert daemon.wait_log("Received HUP Signal for cleaning cache and closing all FDs")
    for p in (port, cli):
        assert wait_until(lambda: daemon.log().count(listening_line(p)) == 2), p
    assert "failed to bind" not in daemon.log()
    before = daemon.log().count(DISCONNECTED)
    for p in (port, cli):
        assert connects(p), p
    # The accept loop serves the reopened listeners.
    assert wait_until(lambda: daemon.log().count(DISCONNECTED) >= before + 2)
