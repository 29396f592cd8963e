#!/usr/bin/env python3
"""The headless mode against the real program, with real clients (nc, curl)
on the loopback addresses and tshark reading its captures. No display is
needed: the program is started without DISPLAY. Every process is killed at
its deadline; every wait has one."""

import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = sys.argv.pop(1)
DEADLINE = 30.0


def environment():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORM", None)
    return env


def wait_for(condition, what, seconds=DEADLINE):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def read_events(path):
    try:
        with open(path, "rb") as file:
            lines = file.read().split(b"\n")
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in lines[:-1]]


class Run:
    """One run of `brindlewick --headless`, its events in a file."""

    def __init__(self, folder, *options, file_size_limit=None):
        self.events_path = os.path.join(folder, "events.jsonl")
        self.folder = os.path.join(folder, "out")
        self.stderr_path = os.path.join(folder, "stderr.txt")
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [PROGRAM, "--headless", "--events", self.events_path, "--transcript-dir", self.folder,
             "--timeout", "60", *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr, env=environment(),
            preexec_fn=(lambda: limit_file_size(file_size_limit)) if file_size_limit else None)

    def events(self):
        return read_events(self.events_path)

    def listening(self):
        first = wait_for(lambda: self.events() or self.process.poll() is not None, "the first event")
        assert first is not True and first[0]["event"] == "listening", first
        return first[0]["listen"]

    def wait_event(self, name, connection=None):
        def found():
            return [e for e in self.events() if e["event"] == name and connection in (None, e.get("connection"))]
        return wait_for(found, "event " + name)[0]

    def finish(self, seconds=DEADLINE):
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("the program did not exit")
        finally:
            self.stderr.close()

    def file(self, name):
        return os.path.join(self.folder, name)


def limit_file_size(size):
    """Writes beyond size fail as on a full disk (EFBIG) instead of killing the process."""
    import resource
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


def client(command, data=b"", seconds=DEADLINE):
    return subprocess.run(command, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=seconds, check=True).stdout


def follow_stream(capture):
    """Each side's bytes as tshark's Follow TCP Stream gives them."""
    output = subprocess.run(["tshark", "-r", capture, "-q", "-z", "follow,tcp,raw,0"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, timeout=DEADLINE, check=True).stdout.decode()
    sides = [b"", b""]
    body = output.split("Node 1:", 1)[1].split("\n", 1)[1]
    for line in body.splitlines():
        if not line.strip() or line.startswith("="):
            continue
        server = line.startswith("\t")
        sides[1 if server else 0] += bytes.fromhex(line.strip())
    return sides


def check_capture(test, run, number):
    capture = run.file("%d.pcapng" % number)
    # The payload is shown as raw data: a port the system chose may be one
    # tshark knows, and its dissector would find random test bytes malformed.
    ports = subprocess.run(["tshark", "-r", capture, "-c", "1", "-T", "fields", "-e", "tcp.srcport", "-e",
                            "tcp.dstport"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=DEADLINE,
                           check=True).stdout.split()
    as_data = [argument for port in ports for argument in ("-d", "tcp.port==%s,data" % port.decode())]
    warnings = subprocess.run(
        ["tshark", "-o", "tcp.check_checksum:TRUE", "-r", capture, *as_data, "-Y", "_ws.expert.severity >= 6291456"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=DEADLINE, check=True).stdout
    test.assertEqual(warnings, b"", "tshark warns about " + capture)
    received, sent = follow_stream(capture)
    with open(run.file("%d-received.bin" % number), "rb") as file:
        test.assertEqual(received, file.read())
    with open(run.file("%d-sent.bin" % number), "rb") as file:
        test.assertEqual(sent, file.read())


class HeadlessTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.dir = self.scratch.name

    def tearDown(self):
        self.scratch.cleanup()

    def test_two_nc_clients_then_exit(self):
        run = Run(self.dir, "--listen", "127.0.0.1:0", "--listen", "[::1]:0", "--exit-after-connections", "2")
        places = run.listening()
        self.assertEqual([p["address"] for p in places], ["127.0.0.1", "::1"])
        self.assertTrue(all(p["port"] > 0 for p in places))
        first = os.urandom(200000)
        second = b"hello\x1b[31m\r\n\x00bytes"
        client(["nc", "-N", "127.0.0.1", str(places[0]["port"])], first)
        client(["nc", "-N", "::1", str(places[1]["port"])], second)
        self.assertEqual(run.finish(), 0)
        self.assertEqual(sha256(run.file("1-received.bin")), hashlib.sha256(first).hexdigest())
        self.assertEqual(sha256(run.file("2-received.bin")), hashlib.sha256(second).hexdigest())
        events = run.events()
        self.assertEqual(events[-1]["event"], "closed")
        self.assertTrue(all("connection" in e and "time" in e for e in events[1:]))
        connected = [e for e in events if e["event"] == "connected"]
        self.assertEqual([e["client"]["address"] for e in connected], ["127.0.0.1", "::1"])
        self.assertEqual(sum(e["size"] for e in events if e["event"] == "data" and e["connection"] == 1), len(first))
        own = read_events(run.file("2-events.jsonl"))
        self.assertEqual(own, [e for e in events if e.get("connection") == 2])
        for number in (1, 2):
            check_capture(self, run, number)

    def test_http_rules_answer_curl(self):
        rules = os.path.join(self.dir, "rules.json")
        with open(rules, "w") as file:
            json.dump({"version": 1, "rules": [
                {"name": "hello", "condition": {"kind": "starts_with", "value": "GET /hello"},
                 "actions": [{"reply": {"text": "<h1>Hello</h1>",
                                        "http": {"status": "200 OK",
                                                 "headers": [{"name": "Content-Type", "value": "text/html"}]}}},
                             {"close_sending": True}]},
                {"name": "broken", "condition": {"kind": "hex", "value": "abc"}}]}, file)
        run = Run(self.dir, "--listen", "127.0.0.1:0", "--protocol", "http", "--rules", rules,
                  "--exit-after-connections", "1")
        port = run.listening()[0]["port"]
        body = client(["curl", "-sS", "--max-time", "20", "http://127.0.0.1:%d/hello" % port])
        self.assertEqual(body, b"<h1>Hello</h1>")
        self.assertEqual(run.finish(), 0)
        fired = [e for e in run.events() if e["event"] == "rule"]
        self.assertEqual([(e["rule"], e["index"]) for e in fired], [("hello", 0)])
        with open(run.file("1-sent.bin"), "rb") as file:
            self.assertTrue(file.read().endswith(b"\r\n\r\n<h1>Hello</h1>"))
        with open(run.file("1-received.bin"), "rb") as file:
            self.assertTrue(file.read().startswith(b"GET /hello HTTP/1.1\r\n"))
        with open(run.stderr_path) as file:
            self.assertIn('rules[1] "broken"', file.read())
        check_capture(self, run, 1)

    def test_sigterm_leaves_complete_files(self):
        run = Run(self.dir, "--listen", "127.0.0.1:0")
        port = run.listening()[0]["port"]
        data = os.urandom(100000)
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as connection:
            connection.sendall(data)
            wait_for(lambda: sum(e["size"] for e in run.events() if e["event"] == "data") == len(data), "the data")
            run.process.send_signal(signal.SIGTERM)
            self.assertEqual(run.finish(), 0)
        self.assertEqual(sha256(run.file("1-received.bin")), hashlib.sha256(data).hexdigest())
        self.assertEqual(read_events(run.file("1-events.jsonl"))[-1]["event"], "closed")
        check_capture(self, run, 1)

    def test_files_that_cannot_grow_pause_reading(self):
        run = Run(self.dir, "--listen", "127.0.0.1:0", file_size_limit=64 * 1024)
        port = run.listening()[0]["port"]
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as connection:
            connection.sendall(os.urandom(200000))
            paused = run.wait_event("reading_paused", 1)
            self.assertEqual(paused["reason"], "File too large")
            self.assertIn("File too large", run.wait_event("capture_failed", 1)["reason"])
            run.process.send_signal(signal.SIGTERM)
            self.assertEqual(run.finish(), 0)
        self.assertEqual(os.path.getsize(run.file("1-received.bin")), 64 * 1024)

    def test_exit_codes(self):
        run = Run(self.dir, "--listen", "127.0.0.1:0", "--timeout", "0.5")
        port = run.listening()[0]["port"]
        taken = Run(tempfile.mkdtemp(dir=self.dir), "--listen", "127.0.0.1:%d" % port)
        self.assertEqual(taken.finish(), 3)
        self.assertEqual(run.finish(), 4)
        idle = Run(tempfile.mkdtemp(dir=self.dir), "--listen", "127.0.0.1:0", "--idle-timeout", "0.3")
        self.assertEqual(idle.finish(), 0)
        for option, value in [("--listen", "nowhere:1"), ("--protocol", "ftp"), ("--timeout", "-1"),
                              ("--exit-after-connections", "0"), ("--idle-timeout", "soon"),
                              ("--bogus", None), ("--rules", os.path.join(self.dir, "missing.json"))]:
            arguments = [PROGRAM, "--headless", "--listen", "127.0.0.1:0", "--timeout", "5", option]
            done = subprocess.run(arguments + ([value] if value else []), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=DEADLINE, env=environment())
            self.assertEqual(done.returncode, 2, option)
            lines = done.stderr.decode().splitlines()
            self.assertEqual(len(lines), 1, lines)
            self.assertIn(option.lstrip("-"), lines[0])
            self.assertEqual(done.stdout, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
