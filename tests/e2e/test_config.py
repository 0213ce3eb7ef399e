"""The schema file and the configuration document at start-up."""
import os
import subprocess

from conftest import SAMPLE, read


def run_daemon(daemon, extra=()):
    return subprocess.run(daemon.args(extra), capture_output=True, text=True, timeout=20)


def test_malformed_schema_stops_with_two_log_lines(daemon, workdir):
    daemon.write_config()
    bad = os.path.join(workdir, "section.xml")
    with open(bad, "w") as f:
        f.write("<section><general>")
    daemon.sectionfile = bad
    r = run_daemon(daemon)
    assert r.returncode == 1
    log = daemon.log()
    assert "error: advice: Error when parsing section.xml: " in log
    assert "warn: advice: Please correct errors in section.xml: " in log


def test_flawed_document_stops_with_the_message(daemon):
    text = read(SAMPLE)
    # A BOOL field holding a word that is not a boolean.
    assert "<enabled>true</enabled>" in text
    daemon.write_config(text.replace("<enabled>true</enabled>", "<enabled>maybe</enabled>", 1))
    r = run_daemon(daemon)
    assert r.returncode == 1
    assert "flawed XML file, section " in r.stderr
    assert "but it is given value maybe" in r.stderr
    assert "flawed XML file, section " in daemon.log()


def test_detached_daemon_reports_a_flawed_document_before_detaching(daemon):
    daemon.write_config("<quillmoss><general><hostname>x</hostname>")
    r = subprocess.run(daemon.args(foreground=False), capture_output=True, text=True, timeout=20)
    assert r.returncode == 1
    assert r.stderr.strip()


def test_sample_configuration_runs(daemon):
    daemon.write_config()
    daemon.start()
    assert daemon.alive()
    assert "flawed" not in daemon.log()
