"""Access logs: legends on new files, one record per request with the fields in order, and
rotation by size and by SIGUSR1."""
import glob
import os
import signal
import subprocess

from conftest import read, wait_until


def records(path):
    return [l for l in read(path).splitlines() if l and not l.startswith("#")]


def get(daemon, url, *extra):
    return subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-m", "20",
                           "-x", f"127.0.0.1:{daemon.port}", *extra, url],
                          capture_output=True, text=True, timeout=30)


def test_served_request_fields_in_order(daemon, nginx):
    daemon.write_config()
    daemon.start()
    url = nginx.put("page.html", "<html>hello</html>")
    assert get(daemon, url, "-A", "agent with blanks", "-e", "http://ref.example/").stdout == "200"
    assert wait_until(lambda: records(daemon.accesslog) and records(daemon.extlog))
    native_text, ext_text = read(daemon.accesslog), read(daemon.extlog)
    # Each new file starts with its legend.
    assert native_text.startswith("#") and ext_text.startswith("#")
    [native] = records(daemon.accesslog)
    f = native.split(" ")
    assert len(f) == 10, native
    # time elapsed client code/status bytes method URL user peer/host mime
    assert f[2] == "127.0.0.1"
    assert f[3].endswith("/200")
    assert int(f[4]) == len("<html>hello</html>")
    assert f[5] == "GET"
    assert f[6].startswith("http://127.0.0.1:") and f[6].endswith("/page.html")
    assert f[9] == "text/html"
    [ext] = records(daemon.extlog)
    assert '"agent with blanks"' in ext and "ref.example" in ext


def test_rotation_by_size_and_by_usr1(daemon, nginx):
    daemon.write_config()
    # The size limit applies to the diagnostic log too, so wait for the start-up line in any
    # of its generations.
    daemon.start(["-J", "600", "-j", "2"], wait_for=None)
    assert wait_until(lambda: any("proxy hostname: " in read(p) for p in
                                  glob.glob(os.path.join(daemon.workdir, "*quillmoss.log"))))
    url = nginx.put("x", "x")
    for _ in range(6):
        assert get(daemon, url).stdout == "200"
    # Records were written, files reached 600 bytes and were renamed with a time stamp.
    assert wait_until(lambda: glob.glob(os.path.join(daemon.workdir, "*-access.log")))
    rotated = glob.glob(os.path.join(daemon.workdir, "*-access.log*"))
    total = sum(len(records(p)) for p in rotated) + len(records(daemon.accesslog))
    assert total == 6
    # After USR1 every log has been renamed; the next request starts fresh files with legends.
    daemon.signal(signal.SIGUSR1)
    assert wait_until(lambda: not os.path.exists(daemon.accesslog))
    assert get(daemon, url).stdout == "200"
    assert wait_until(lambda: records(daemon.accesslog))
    assert read(daemon.accesslog).startswith("#") and len(records(daemon.accesslog)) == 1
