"""Harness for end-to-end tests: starts the built daemon (and peers) in a temporary folder
per test, on free loopback ports, and stops everything it started. The folder of a failed
test is kept and its path printed."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY = os.environ.get("QM_BINARY", os.path.join(ROOT, "build", "quillmoss"))
SCHEMA = os.path.join(ROOT, "conf", "section.xml")
SAMPLE = os.path.join(ROOT, "conf", "quillmoss.xml")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=10.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def read(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


class Daemon:
    """One quillmoss process. `start()` runs it in the foreground (-f) unless told to
    daemonize; the log files live in the test's folder."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.proc = None
        self.pid = None
        self.port = None
        self.logfile = os.path.join(workdir, "quillmoss.log")
        self.accesslog = os.path.join(workdir, "access.log")
        self.extlog = os.path.join(workdir, "extended.log")
        self.pidfile = os.path.join(workdir, "quillmoss.pid")
        self.stdout = os.path.join(workdir, "stdout.txt")
        self.stderr = os.path.join(workdir, "stderr.txt")
        self.configfile = os.path.join(workdir, "quillmoss.xml")
        self.sectionfile = SCHEMA

    def write_config(self, text=None, port=None):
        """Writes the configuration document: `text` as given, or the sample configuration
        listening on `port` (a free one by default)."""
        if text is None:
            self.port = port or free_port()
            text = read(SAMPLE).replace("8080", str(self.port))
        with open(self.configfile, "w") as f:
            f.write(text)
        return self.configfile

    def args(self, extra=(), foreground=True):
        a = [BINARY]
        if foreground:
            a.append("-f")
        a += ["-c", self.configfile, "-s", self.sectionfile, "-l", self.logfile,
              "-a", self.accesslog, "-e", self.extlog,
              "-r", os.path.join(self.workdir, "performance.log")]
        return a + list(extra)

    READY = "proxy hostname: "

    def start(self, extra=(), foreground=True, wait_for=READY, timeout=10):
        if not os.path.exists(self.configfile):
            self.write_config()
        out = open(self.stdout, "ab")
        err = open(self.stderr, "ab")
        self.proc = subprocess.Popen(self.args(extra, foreground), stdout=out, stderr=err,
                                     cwd=self.workdir)
        out.close()
        err.close()
        if not foreground:
            self.proc.wait(timeout=timeout)
            self.pid = wait_until(lambda: self._live_pid_from_file(), timeout)
        else:
            self.pid = self.proc.pid
        if wait_for:
            assert self.wait_log(wait_for, timeout), f"daemon never logged {wait_for!r}"
        return self

    def _live_pid_from_file(self):
        text = read(self.pidfile).strip()
        if not text.isdigit():
            return None
        try:
            os.kill(int(text), 0)
            return int(text)
        except ProcessLookupError:
            return None

    def log(self):
        return read(self.logfile)

    def wait_log(self, text, timeout=10):
        return wait_until(lambda: text in self.log(), timeout)

    def alive(self):
        if self.proc is not None and self.proc.pid == self.pid:
            return self.proc.poll() is None
        if not self.pid:
            return False
        try:
            os.kill(self.pid, 0)
            return True
        except ProcessLookupError:
            return False

    def signal(self, sig):
        os.kill(self.pid, sig)

    def wait_exit(self, timeout=10):
        """Exit status of a foreground daemon (None for a detached one once gone)."""
        if self.proc is not None and self.proc.pid == self.pid:
            return self.proc.wait(timeout=timeout)
        assert wait_until(lambda: not self.alive(), timeout), "daemon did not exit"
        return None

    def stop(self):
        if self.pid and self.alive():
            try:
                self.signal(signal.SIGTERM)
                self.wait_exit(timeout=5)
            except Exception:
                pass
        if self.pid and self.alive():
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
        if self.proc is not None:
            self.proc.wait(timeout=5)


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


@pytest.fixture
def workdir(request):
    base = os.path.join(tempfile.gettempdir(), "quillmoss-e2e")
    os.makedirs(base, exist_ok=True)
    path = tempfile.mkdtemp(prefix=request.node.name[:40] + "-", dir=base)
    yield path
    failed = any(getattr(request.node, "rep_" + w, None) is not None
                 and getattr(request.node, "rep_" + w).failed
                 for w in ("setup", "call"))
    if failed:
        print(f"\nkept the folder of the failed test: {path}")
    else:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def daemon(workdir):
    d = Daemon(workdir)
    yield d
    d.stop()


@pytest.fixture
def spawn(workdir):
    """Starts further processes (peers) that are stopped when the test ends."""
    procs = []

    def run(args, **kw):
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        p = subprocess.Popen(args, cwd=workdir, **kw)
        procs.append(p)
        return p

    yield run
    for p in procs:
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


NGINX_CONF = """
user root root;
worker_processes 1;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/nginx-error.log warn;
events {{ worker_connections 1024; }}
http {{
    log_format qm '$connection $connection_requests "$request" $status';
    access_log {dir}/nginx-access.log qm;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port};
        root {dir}/www;
        location /gz/ {{ gzip on; gzip_types *; gzip_min_length 1; }}
        {extra}
    }}
}}
"""


class Nginx:
    """An nginx origin server on a free loopback port, serving `www` in its folder."""

    def __init__(self, base, extra=""):
        self.dir = os.path.join(base, "nginx")
        self.www = os.path.join(self.dir, "www")
        os.makedirs(self.www, exist_ok=True)
        self.port = free_port()
        self.conf = os.path.join(self.dir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(NGINX_CONF.format(dir=self.dir, port=self.port, extra=extra))
        self.proc = None

    def put(self, name, data):
        path = os.path.join(self.www, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return f"http://127.0.0.1:{self.port}/{name}"

    def start(self):
        self.proc = subprocess.Popen(["nginx", "-c", self.conf, "-p", self.dir],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def up():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return True
            except OSError:
                return False
        assert wait_until(up, 10), "nginx did not start"
        return self

    def access_lines(self):
        """(connection number, request line, status) of every request nginx served."""
        out = []
        for line in read(os.path.join(self.dir, "nginx-access.log")).splitlines():
            conn, _, rest = line.split(" ", 2)
            request, status = rest.rsplit(" ", 1)
            out.append((int(conn), request.strip('"'), int(status)))
        return out

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def nginx(workdir):
    n = Nginx(workdir).start()
    yield n
    n.stop()
