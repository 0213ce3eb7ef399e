"""CONNECT tunnels end to end: 300 KB each way through a tunnel to a TCP echo server (with
the end of the client's data passed on as a half-close), a TLS server reached with curl through
the tunnel, and the refusals of a CONNECT outside the port range or to a dead port."""
import os
import re
import socket
import subprocess
import threading

import pytest

from conftest import SAMPLE, free_port, read, wait_until

PAYLOAD_SIZE = 300 * 1024


def configure(daemon, cportrange):
    port = free_port()
    text = read(SAMPLE).replace("8080", str(port))
    text, n = re.subn(r"<cportrange>[^<]*</cportrange>", "<cportrange>%s</cportrange>" % cportrange,
                      text)
    assert n == 1
    daemon.write_config(text)
    daemon.port = port
    daemon.start(wait_for="network: listening on 127.0.0.1:%d" % port)
    return port


def records(path):
    return [l for l in read(path).splitlines() if l and not l.startswith("#")]


class EchoServer:
    """Echoes every byte of one connection back, and closes once the client has ended its
    side."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        self.received = 0
        self.error = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        try:
            conn, _ = self.sock.accept()
            conn.settimeout(20)
            with conn:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    self.received += len(data)
                    conn.sendall(data)
        except Exception as e:  # reported by the test
            self.error = e
        finally:
            self.sock.close()


def open_tunnel(proxy_port, target_port):
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=20)
    s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
              % (target_port, target_port))
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        assert chunk, "the proxy closed before answering the CONNECT"
        head += chunk
    return s, head


def test_300_kb_each_way_through_a_tunnel_to_an_echo_server(daemon):
    echo = EchoServer()
    port = configure(daemon, str(echo.port))
    payload = os.urandom(PAYLOAD_SIZE)
    s, head = open_tunnel(port, echo.port)
    assert head == b"HTTP/1.1 200 Connection Established\r\n\r\n"

    def send():
        s.sendall(payload)
        s.shutdown(socket.SHUT_WR)  # the echo server ends only when it learns of this

    sender = threading.Thread(target=send)
    sender.start()
    back = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        back += chunk
    sender.join(20)
    s.close()
    echo.thread.join(20)
    assert echo.error is None, echo.error
    assert echo.received == PAYLOAD_SIZE
    assert back == payload

    assert wait_until(lambda: len(records(daemon.accesslog)) == 1)
    fields = records(daemon.accesslog)[0].split()
    assert fields[3] == "TCP_MISS/200"
    assert int(fields[4]) == 2 * PAYLOAD_SIZE, "every relayed byte is counted"
    assert fields[5:7] == ["CONNECT", "127.0.0.1:%d" % echo.port]
    assert "DIRECT/127.0.0.1" in fields[-2]
    assert wait_until(lambda: len(records(daemon.extlog)) == 1)
    assert "CONNECT [IP:127.0.0.1] 127.0.0.1:%d" % echo.port in daemon.log()


@pytest.fixture
def tls_server(workdir, spawn):
    key, cert = os.path.join(workdir, "key.pem"), os.path.join(workdir, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    port = free_port()
    spawn(["openssl", "s_server", "-quiet", "-www", "-accept", str(port), "-cert", cert,
           "-key", key])

    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            return False
    assert wait_until(up, 10), "openssl s_server did not start"
    return port


def test_a_tls_server_is_reached_through_connect(daemon, tls_server):
    port = configure(daemon, "%d" % tls_server)
    p = subprocess.run(["curl", "-s", "-k", "--max-time", "20", "-x", "http://127.0.0.1:%d" % port,
                        "https://127.0.0.1:%d/" % tls_server], capture_output=True, timeout=30)
    assert p.returncode == 0, p.stderr
    assert b"s_server" in p.stdout
    assert wait_until(lambda: len(records(daemon.accesslog)) == 1)
    record = records(daemon.accesslog)[0].split()
    assert record[3] == "TCP_MISS/200" and record[5] == "CONNECT"
    assert int(record[4]) > len(p.stdout), "the TLS bytes of both directions are counted"


@pytest.mark.parametrize("target,range_text,status,template,logged", [
    ("outside", "1-1023", "404", "noaccess", "TCP_DENIED/403"),
    ("dead", "1-65535", "503", "noconnect", "TCP_CONNECTION_FAILED/503"),
])
def test_a_refused_connect_gets_a_page_and_no_tunnel(daemon, target, range_text, status,
                                                     template, logged):
    port = configure(daemon, range_text)
    target_port = free_port()  # above 1023 and with nothing listening on it
    p = subprocess.run(["curl", "-s", "-i", "-p", "--max-time", "10", "-x",
                        "http://127.0.0.1:%d" % port, "http://127.0.0.1:%d/" % target_port],
                       capture_output=True, timeout=20)
    assert p.returncode != 0, "curl must not see a tunnel"
    head = p.stdout.split(b"\r\n\r\n", 1)[0].decode("latin-1")
    assert head.split("\r\n")[0].split()[1] == status
    assert "X-Template: %s" % template in head
    assert wait_until(lambda: len(records(daemon.accesslog)) == 1)
    assert records(daemon.accesslog)[0].split()[3] == logged
