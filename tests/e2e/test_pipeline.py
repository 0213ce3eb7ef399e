"""The request pipeline end to end: every refusal of the pipeline's table answers the client
with its page and writes one access-log record, URL-command templates, pipelined requests
answered in order by the same thread, a new client parked in the client pool and served when
its request comes, and a kept-alive client's idle timeout logged as 408.

The HTTP exchange with origin servers is another module's; these tests use answers the
pipeline gives itself (templates, refusals, failed connections)."""
import re
import socket
import subprocess
import time

import pytest

from conftest import SAMPLE, free_port, read, wait_until


# ---- helpers -------------------------------------------------------------------------------

ALL_LOG_LEVELS = 0x1fffffff

def configure(daemon, keeptimeout=None, cportrange=None):
    """The sample configuration on a free port, with some general settings changed; starts the
    daemon and waits for its listener."""
    port = free_port()
    text = read(SAMPLE).replace("8080", str(port))
    if keeptimeout is not None:
        text, n = re.subn(r"<keeptimeout>\d+</keeptimeout>",
                          "<keeptimeout>%d</keeptimeout>" % keeptimeout, text)
        assert n == 1
    if cportrange is not None:
        text, n = re.subn(r"<cportrange>[^<]*</cportrange>",
                          "<cportrange>%s</cportrange>" % cportrange, text)
        assert n == 1
    daemon.write_config(text)
    daemon.port = port
    # Debug lines too: some tests read the hand-offs between thread and client pool.
    daemon.start(["-d", str(ALL_LOG_LEVELS)], wait_for="network: listening on 127.0.0.1:%d" % port)
    return port


def records(path):
    return [l for l in read(path).splitlines() if l and not l.startswith("#")]


def native_status(record):
    """cachecode/status of a native access-log line."""
    return record.split()[3]


def exchange(port, data, timeout=10):
    """Sends data on a new connection, ends the sending side, and reads until the proxy closes
    the connection."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        return read_to_close(s)


def read_to_close(s):
    out = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            return out
        out += chunk


def responses(data):
    """Splits a byte stream into (status line, headers, body) triples using Content-Length."""
    out = []
    while data:
        head, sep, rest = data.partition(b"\r\n\r\n")
        assert sep, "incomplete response: %r" % data[:200]
        lines = head.decode("latin-1").split("\r\n")
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        assert len(rest) >= length, "incomplete body"
        out.append((lines[0], headers, rest[:length]))
        data = rest[length:]
    return out


def curl(port, *args):
    """curl through the proxy; (exit code, status line, headers) of the first response."""
    p = subprocess.run(["curl", "-s", "-i", "-g", "--max-time", "10", "-x",
                        "http://127.0.0.1:%d" % port] + list(args),
                       capture_output=True, timeout=20)
    head = p.stdout.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    headers = {}
    for line in head[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return p.returncode, head[0], headers


def one_new_record(daemon, before):
    """Waits for exactly one new record in both access logs and returns the pair."""
    assert wait_until(lambda: len(records(daemon.accesslog)) > before
                      and len(records(daemon.extlog)) > before)
    time.sleep(0.3)  # a second, wrong record would show up now
    native, extended = records(daemon.accesslog), records(daemon.extlog)
    assert len(native) == before + 1, native[before:]
    assert len(extended) == before + 1, extended[before:]
    return native[-1], extended[-1]


# ---- refusals --------------------------------------------------------------------------------

def dead_port():
    return free_port()  # nothing listens on it once the probe socket is closed


REFUSALS = [
    # name, request bytes (port filled in), status line, template, native code, ext. reason
    ("malformed head", b"GARBAGE\r\n\r\n", "400", "badrequest", "TCP_DENIED/400",
     "security-restrictions invalid headers"),
    ("over-long request target",
     b"GET http://example.com/" + b"a" * 3000 + b" HTTP/1.1\r\nHost: example.com\r\n\r\n",
     "414", "badrequest", "TCP_DENIED/414", "security-restrictions invalid headers"),
    ("origin form aimed at the proxy's own port",
     b"GET /page HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n", "200", "nofile",
     "TCP_DENIED/405", "security-restrictions request to {port}"),
    ("unknown scheme", b"GET gopher://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n",
     "200", "badprotocol", "TCP_DENIED/403", "security bad protocol"),
    ("dead origin", b"GET http://127.0.0.1:{dead}/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
     "503", "noconnect", "TCP_CONNECTION_FAILED/503", None),
    ("CONNECT outside the port range", b"CONNECT 127.0.0.1:22 HTTP/1.1\r\nHost: x\r\n\r\n",
     "404", "noaccess", "TCP_DENIED/403", "security-restrictions CONNECT:22"),
]


@pytest.mark.parametrize("name,request_bytes,status,template,code,reason", REFUSALS,
                         ids=[r[0] for r in REFUSALS])
def test_each_refusal_answers_with_its_page_and_one_record(daemon, name, request_bytes, status,
                                                           template, code, reason):
    port = configure(daemon)
    dead = dead_port()
    data = request_bytes.replace(b"{port}", str(port).encode()).replace(b"{dead}", str(dead).encode())
    answer = responses(exchange(port, data))
    assert len(answer) == 1, "one answer, then the connection is closed"
    status_line, headers, _ = answer[0]
    assert status_line.split()[1] == status, status_line
    assert headers.get("x-template") == template
    native, extended = one_new_record(daemon, 0)
    assert native_status(native) == code, native
    if reason is not None:
        expected = reason.replace("{port}", str(port))
        assert '"%s"' % expected in extended, extended


def test_an_unknown_scheme_is_refused_before_any_connection_is_tried(daemon):
    port = configure(daemon)
    exchange(port, b"GET gopher://127.0.0.1:%d/ HTTP/1.1\r\nHost: x\r\n\r\n" % dead_port())
    one_new_record(daemon, 0)
    log = daemon.log()
    assert "Breach: protocol: gopher" in log
    assert "net_connect" not in log and "outbound connection" not in log


# ---- URL-command templates ----------------------------------------------------------------

@pytest.mark.parametrize("target,template", [
    ("http://xx--template[blocked].example.com/", "blocked"),
    ("http://xx--template[nofile].example.com/missing", "nofile"),
    ("http://xx--template.example.com/", "unknown"),
])
def test_the_template_command_answers_with_that_template(daemon, target, template):
    port = configure(daemon)
    rc, status_line, headers = curl(port, "--request-target", target, "http://example.com/")
    assert rc == 0
    assert status_line.split()[1] == "200"
    assert headers.get("x-template") == template
    native, _ = one_new_record(daemon, 0)
    assert native_status(native).endswith("/200")
    assert "DIRECT/quillmoss" in native


# ---- connections across requests ------------------------------------------------------------

def template_request(name, host):
    return ("GET http://xx--template[%s].%s/ HTTP/1.1\r\nHost: %s\r\n\r\n"
            % (name, host, host)).encode()


def test_two_pipelined_requests_are_answered_in_order_by_one_thread(daemon):
    port = configure(daemon)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(template_request("blocked", "a.example") + template_request("nofile", "b.example"))
        data = b""
        while data.count(b"X-Template") < 2 or len(responses_if_complete(data)) < 2:
            chunk = s.recv(65536)
            assert chunk, "the proxy closed before answering both: %r" % data[:300]
            data += chunk
    answers = responses(data)
    assert [h["x-template"] for _, h, _ in answers] == ["blocked", "nofile"]
    assert daemon.wait_log("pipelining demanded") and daemon.wait_log("sent nofile")
    # Served back to back in the thread: no hand-off to the client pool in between.
    log = daemon.log()
    first, second = log.index("sent blocked"), log.index("sent nofile")
    assert first < log.index("pipelining demanded") < second
    assert "connection added to client pool" not in log[first:second]
    assert wait_until(lambda: len(records(daemon.accesslog)) == 2)
    native = records(daemon.accesslog)
    assert "a.example" in native[0] and "b.example" in native[1]


def responses_if_complete(data):
    try:
        return responses(data)
    except (AssertionError, ValueError):
        return []


def test_a_silent_new_client_is_parked_and_served_when_its_request_arrives(daemon):
    port = configure(daemon)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        # The thread gives a silent new connection up to the client pool.
        assert daemon.wait_log("connection added to client pool")
        assert "header timeout waiting for header" in daemon.log()
        s.sendall(template_request("blocked", "late.example"))
        data = b""
        while not responses_if_complete(data):
            chunk = s.recv(65536)
            assert chunk, "no answer for the parked client"
            data += chunk
    assert responses(data)[0][1]["x-template"] == "blocked"
    native, _ = one_new_record(daemon, 0)
    assert "late.example" in native


def test_an_idle_kept_alive_client_is_closed_and_logged_as_408(daemon):
    port = configure(daemon, keeptimeout=2)
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(template_request("blocked", "idle.example"))
        data = b""
        while not responses_if_complete(data):
            chunk = s.recv(65536)
            assert chunk
            data += chunk
        status_line, headers, _ = responses(data)[0]
        assert headers.get("connection", "").lower() != "close"
        # Nothing more is sent: the proxy closes the connection once keeptimeout has passed.
        assert s.recv(65536) == b""
    assert wait_until(lambda: len(records(daemon.accesslog)) == 2)
    native = records(daemon.accesslog)
    assert native_status(native[1]) == "TCP_DENIED/408"
    assert wait_until(lambda: len(records(daemon.extlog)) == 2)
    assert '"security-restrictions keepalive timeout"' in records(daemon.extlog)[1]


def test_the_access_logs_hold_one_record_per_request(daemon):
    port = configure(daemon)
    dead = dead_port()
    requests = [
        template_request("blocked", "one.example"),
        b"GET http://127.0.0.1:%d/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % dead,
        b"GET ftp://127.0.0.1/file HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        b"NOT A REQUEST\r\n\r\n",
        template_request("nofile", "two.example") + template_request("blocked", "three.example"),
    ]
    for data in requests:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            read_to_close(s)
    expected = 6
    assert wait_until(lambda: len(records(daemon.accesslog)) >= expected
                      and len(records(daemon.extlog)) >= expected)
    time.sleep(0.5)
    native = records(daemon.accesslog)
    assert len(native) == expected, native
    assert len(records(daemon.extlog)) == expected
    assert [native_status(r).split("/")[1] for r in native] == [
        "200", "503", "403", "400", "200", "200"]
