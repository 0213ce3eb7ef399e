"""HTTP proxying end to end: bodies, keep-alive on both sides, chunked and gzip origins,
request bodies, Expect, and origins that fail mid-body."""
import gzip
import hashlib
import os
import socket
import subprocess
import threading
import time

import pytest

from conftest import read, wait_until


def curl(daemon, url, *extra, timeout=60):
    return subprocess.run(["curl", "-s", "-S", "-x", f"127.0.0.1:{daemon.port}", "-m", str(timeout),
                           *extra, url], capture_output=True, timeout=timeout + 10)


def sha(data):
    return hashlib.sha256(data).hexdigest()


@pytest.fixture
def proxy(daemon):
    daemon.write_config()
    daemon.start()
    return daemon


@pytest.mark.parametrize("size", [0, 1024, 1024 * 1024, 100 * 1024 * 1024])
def test_bodies_arrive_intact(proxy, nginx, size):
    data = os.urandom(size)
    url = nginx.put(f"obj{size}", data)
    r = curl(proxy, url, "-o", "-")
    assert r.returncode == 0, r.stderr
    assert len(r.stdout) == size and sha(r.stdout) == sha(data)


def test_two_requests_share_one_client_and_one_server_connection(proxy, nginx):
    a = nginx.put("a.txt", "alpha\n")
    b = nginx.put("b.txt", "beta\n")
    proxy_arg = f"127.0.0.1:{proxy.port}"
    r = subprocess.run(["curl", "-s", "-S", "-m", "30",
                        "-x", proxy_arg, "-w", "%{num_connects}\n", "-o", "-", a, "--next",
                        "-x", proxy_arg, "-w", "%{num_connects}\n", "-o", "-", b],
                       capture_output=True, timeout=40)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(b"alpha\n") and b"beta\n" in r.stdout
    # curl opened one connection to the proxy for both transfers ...
    counts = [l for l in r.stdout.decode().splitlines() if l.isdigit()]
    assert counts == ["1", "0"]
    # ... and the proxy reused one server connection.
    lines = nginx.access_lines()
    assert len(lines) == 2 and lines[0][0] == lines[1][0]
    assert lines[0][1] == "GET /a.txt HTTP/1.1" and lines[1][1] == "GET /b.txt HTTP/1.1"


@pytest.mark.parametrize("version", ["--http1.1", "--http1.0"])
def test_gzip_chunked_origin_for_each_client_version(proxy, nginx, version):
    text = ("quillmoss " * 5000).encode()
    url = nginx.put("gz/page.html", text)
    r = curl(proxy, url, version, "-H", "Accept-Encoding: gzip", "-D", "-", "-o", "-")
    assert r.returncode == 0, r.stderr
    head, _, body = r.stdout.partition(b"\r\n\r\n")
    assert b"200" in head.split(b"\r\n")[0]
    if b"content-encoding: gzip" in head.lower():
        body = gzip.decompress(body)
    if version == "--http1.0":
        assert b"transfer-encoding" not in head.lower()
    assert body == text


class ScriptedOrigin:
    """A one-thread origin server that runs `script(conn)` for every connection."""

    def __init__(self, script):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.script = script
        self.seen = []
        self.stop = False
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        self.sock.settimeout(0.2)
        while not self.stop:
            try:
                c, _ = self.sock.accept()
            except OSError:
                continue
            with c:
                c.settimeout(10)
                try:
                    self.script(self, c)
                except OSError:
                    pass

    def close(self):
        self.stop = True
        self.thread.join(timeout=5)
        self.sock.close()

    @staticmethod
    def read_head(c):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = c.recv(4096)
            if not chunk:
                break
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        return head.decode(errors="replace"), rest

    @staticmethod
    def read_body(c, head, rest):
        lower = head.lower()
        if "transfer-encoding: chunked" in lower:
            data = rest
            body = b""
            while True:
                while b"\r\n" not in data:
                    data += c.recv(4096)
                line, _, data = data.partition(b"\r\n")
                n = int(line.split(b";")[0], 16)
                while len(data) < n + 2:
                    data += c.recv(4096)
                body += data[:n]
                data = data[n + 2:]
                if n == 0:
                    return body
        for line in lower.split("\r\n"):
            if line.startswith("content-length:"):
                n = int(line.split(":")[1])
                while len(rest) < n:
                    rest += c.recv(65536)
                return rest[:n]
        return b""


@pytest.fixture
def origin():
    made = []

    def make(script):
        o = ScriptedOrigin(script)
        made.append(o)
        return o
    yield make
    for o in made:
        o.close()


def echo_script(origin, c):
    head, rest = origin.read_head(c)
    body = origin.read_body(c, head, rest)
    origin.seen.append((head, body))
    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
              + body)


@pytest.mark.parametrize("mode", ["length", "chunked"])
def test_post_bodies_are_forwarded(proxy, origin, mode):
    o = origin(echo_script)
    data = os.urandom(200 * 1024)
    extra = ["-H", "Transfer-Encoding: chunked"] if mode == "chunked" else []
    r = subprocess.run(["curl", "-s", "-S", "-x", f"127.0.0.1:{proxy.port}", "-m", "30",
                        "--data-binary", "@-", *extra, "-H", "Expect:", "-o", "-",
                        f"http://127.0.0.1:{o.port}/post"], input=data, capture_output=True,
                       timeout=40)
    assert r.returncode == 0, r.stderr
    assert r.stdout == data
    assert o.seen and o.seen[0][1] == data


def test_expect_answered_with_a_final_status_is_forwarded(proxy, origin):
    def refuse(o, c):
        head, rest = o.read_head(c)
        o.seen.append(head)
        c.sendall(b"HTTP/1.1 417 Expectation Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    o = origin(refuse)
    r = subprocess.run(["curl", "-s", "-x", f"127.0.0.1:{proxy.port}", "-m", "20",
                        "--data-binary", "@-", "-H", "Expect: 100-continue", "-o", "/dev/null",
                        "-w", "%{http_code}", f"http://127.0.0.1:{o.port}/up"],
                       input=os.urandom(100 * 1024), capture_output=True, timeout=30)
    assert r.stdout == b"417"


@pytest.mark.parametrize("framing", ["length", "chunked", "close"])
def test_origin_dying_mid_body_never_looks_complete(proxy, origin, framing):
    def die(o, c):
        o.read_head(c)
        if framing == "length":
            c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + b"x" * 5000)
        elif framing == "chunked":
            c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n" + b"x" * 100)
        else:
            c.sendall(b"HTTP/1.1 200 OK\r\n\r\n" + b"x" * 5000)
            c.shutdown(socket.SHUT_WR)
            return
        c.shutdown(socket.SHUT_RDWR)
    o = origin(die)
    r = curl(proxy, f"http://127.0.0.1:{o.port}/die", "-o", "/dev/null", timeout=20)
    if framing == "close":
        # A close-delimited body ends at the close: that is its complete form.
        assert r.returncode == 0
    else:
        assert r.returncode != 0  # curl saw a short or broken transfer


def test_a_client_leaving_mid_download_frees_its_thread(proxy, nginx):
    url = nginx.put("big", os.urandom(50 * 1024 * 1024))
    s = socket.create_connection(("127.0.0.1", proxy.port))
    s.sendall(f"GET {url} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    s.recv(65536)
    s.close()
    # The proxy notices and logs the disconnection; its thread count goes back down.
    assert wait_until(lambda: "disconnected after making" in proxy.log(), 20)


def test_hop_by_hop_lines_are_removed_and_the_head_rebuilt(proxy, origin):
    o = origin(echo_script)
    r = curl(proxy, f"http://127.0.0.1:{o.port}/h", "-H", "Proxy-Connection: keep-alive",
             "-H", "TE: trailers", "-H", "Upgrade: h2c", "-H", "X-Kept: yes", "-o", "/dev/null")
    assert r.returncode == 0, r.stderr
    head = o.seen[0][0].lower().split("\r\n")
    assert head[0] == "get /h http/1.1"  # origin form towards the server
    names = {line.split(":")[0] for line in head[1:]}
    assert "x-kept" in names and "host" in names
    assert not names & {"proxy-connection", "te", "upgrade"}
