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


def environment(config_home=None):
    env = dict(os.environ)
    if config_home:
        env["XDG_CONFIG_HOME"] = config_home
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

    def __init__(self, folder, *options, file_size_limit=None, config_home=None):
        self.events_path = os.path.join(folder, "events.jsonl")
        self.folder = os.path.join(folder, "out")
        self.stderr_path = os.path.join(folder, "stderr.txt")
        self.stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [PROGRAM, "--headless", "--events", self.events_path, "--transcript-dir", self.folder,
             "--timeout", "60", *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.stderr, env=environment(config_home),
            preexec_fn=(lambda: limit_file_size(file_size_limit)) if file_size_limit else None)

    def events(self):
        return read_events(self.events_path)

    def listening(self, key="listen"):
        first = wait_for(lambda: self.events() or self.process.poll() is not None, "the first event")
        assert first is not True and first[0]["event"] == "listening", first
        return first[0][key]

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


def s_client(port, *options, request=b"GET /hello HTTP/1.0\r\n\r\n", wait_for_server=True):
    """openssl s_client sending request and then waiting for the server to end (or ending itself with
    close_notify); its exit code and output."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-brief", "-verify_return_error",
                           *(["-ign_eof"] if wait_for_server else []), *options], input=request, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=DEADLINE)
    return done.returncode, done.stdout.decode(errors="replace")


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=DEADLINE, check=True)


def make_certificate(folder, name, subject="/CN=localhost"):
    """A self-signed certificate NAME.pem with its key NAME-key.pem."""
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
            "-subj", subject, "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", name + "-key.pem",
            "-out", name + ".pem", cwd=folder)


def make_expired_certificate(folder):
    """expired.pem, valid for one day in 2020, with expired-key.pem."""
    with open(os.path.join(folder, "ca.cnf"), "w") as file:
        file.write("[ca]\ndefault_ca = d\n[d]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\n"
                   "default_md = sha256\npolicy = p\n[p]\ncommonName = supplied\n")
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as file:
        file.write("01\n")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=old",
            "-keyout", "expired-key.pem", "-out", "expired.csr", cwd=folder)
    openssl("ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", "expired-key.pem", "-in", "expired.csr",
            "-startdate", "20200101000000Z", "-enddate", "20200102000000Z", "-notext", "-out", "expired.pem",
            cwd=folder)


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

    def test_tls_with_the_generated_certificate(self):
        rules = os.path.join(self.dir, "rules.json")
        with open(rules, "w") as file:
            json.dump({"version": 1, "rules": [
                {"name": "hello", "condition": {"kind": "starts_with", "value": "GET /hello"},
                 "actions": [{"reply": {"text": "<h1>Hello</h1>", "http": {"status": "200 OK"}}},
                             {"close_sending": True}]}]}, file)
        config = os.path.join(self.dir, "config")
        run = Run(self.dir, "--listen", "127.0.0.1:0", "--protocol", "http", "--rules", rules, "--tls",
                  "--alpn", "http/1.1,h2", "--exit-after-connections", "5", config_home=config)
        port = run.listening()[0]["port"]
        self.assertTrue(run.listening()[0]["tls"])
        certificate = run.listening("certificate")
        self.assertEqual(certificate["file"], os.path.join(config, "Brindlewick", "tls-certificate.pem"))
        self.assertEqual(os.stat(os.path.join(config, "Brindlewick", "tls-private-key.pem")).st_mode & 0o777, 0o600)
        fingerprint = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                                      certificate["file"]], stdout=subprocess.PIPE, timeout=DEADLINE, check=True)
        self.assertEqual(fingerprint.stdout.decode().strip().split("=", 1)[1], certificate["sha256"])

        # 1: curl trusts the certificate it is given; 2: not without it.
        body = client(["curl", "-sS", "--max-time", "20", "--cacert", certificate["file"],
                       "https://localhost:%d/hello" % port])
        self.assertEqual(body, b"<h1>Hello</h1>")
        untrusted = subprocess.run(["curl", "-sS", "--max-time", "20", "https://localhost:%d/hello" % port],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=DEADLINE)
        self.assertEqual(untrusted.returncode, 60)
        self.assertEqual(run.wait_event("tls_failed", 2)["reason"], "alert unknown ca")
        # 3: SNI and ALPN as the client asked (curl offered h2 too: the server prefers http/1.1).
        code, output = s_client(port, "-CAfile", certificate["file"], "-servername", "example.test", "-alpn", "h2")
        self.assertEqual(code, 0, output)
        self.assertIn("<h1>Hello</h1>", output)
        # 4: s_client without the certificate to trust refuses it.
        code, output = s_client(port)
        self.assertNotEqual(code, 0, output)
        # 5: a client that does not speak TLS.
        client(["nc", "-N", "127.0.0.1", str(port)], b"hello server\r\n")
        self.assertEqual(run.finish(), 0)

        events = run.events()
        self.assertEqual([e["tls"] for e in events if e["event"] == "connected"], [True] * 5)
        tls = {e["connection"]: e for e in events if e["event"] == "tls"}
        failed = {e["connection"]: e["reason"] for e in events if e["event"] == "tls_failed"}
        self.assertEqual(sorted(tls), [1, 3])
        self.assertEqual(failed, {2: "alert unknown ca", 4: "alert unknown ca", 5: "wrong version number"})
        self.assertEqual((tls[1]["tls_version"], tls[1]["sni"], tls[1]["alpn"]), ("TLSv1.3", "localhost", "http/1.1"))
        self.assertEqual((tls[3]["sni"], tls[3]["alpn"]), ("example.test", "h2"))
        self.assertTrue(tls[3]["cipher"].startswith("TLS_AES_"))
        self.assertIsNone(tls[3]["client_certificate"])
        self.assertEqual([e["how"] for e in events if e["event"] == "closed" and e["connection"] in failed],
                         ["tls_failed"] * 3)
        # The files and the capture hold the decrypted conversation.
        with open(run.file("1-received.bin"), "rb") as file:
            self.assertTrue(file.read().startswith(b"GET /hello HTTP/1.1\r\n"))
        check_capture(self, run, 1)
        self.assertEqual(os.path.getsize(run.file("5-received.bin")), 0)

    def test_tls_with_own_certificate_client_certificates_and_versions(self):
        make_certificate(self.dir, "server")
        make_certificate(self.dir, "client", "/CN=test-client")
        server, client_certificate = os.path.join(self.dir, "server.pem"), os.path.join(self.dir, "client.pem")
        run = Run(self.dir, "--listen", "127.0.0.1:0", "--cert", server, "--key",
                  os.path.join(self.dir, "server-key.pem"), "--tls-max", "1.2", "--client-certs", "required",
                  "--client-ca", client_certificate, "--exit-after-connections", "2")
        port = run.listening()[0]["port"]
        self.assertEqual(run.listening("certificate")["subject"], "CN=localhost")
        code, output = s_client(port, "-CAfile", server, "-cert", client_certificate,
                                "-key", os.path.join(self.dir, "client-key.pem"), request=b"ping\n",
                                wait_for_server=False)
        self.assertEqual(code, 0, output)
        code, output = s_client(port, "-CAfile", server, request=b"ping\n", wait_for_server=False)
        self.assertNotEqual(code, 0, output)
        self.assertEqual(run.finish(), 0)
        events = run.events()
        tls = [e for e in events if e["event"] == "tls"]
        self.assertEqual(len(tls), 1, events)
        self.assertEqual(tls[0]["tls_version"], "TLSv1.2")
        self.assertEqual(tls[0]["client_certificate"]["subject"], "CN=test-client")
        self.assertEqual(tls[0]["client_certificate"]["issuer"], "CN=test-client")
        self.assertEqual(len(tls[0]["client_certificate"]["sha256"]), 95)
        self.assertEqual([e["reason"] for e in events if e["event"] == "tls_failed"],
                         ["peer did not return a certificate"])
        with open(run.file("1-received.bin"), "rb") as file:
            self.assertEqual(file.read(), b"ping\n")

        # Certificates that cannot be used, and TLS options without TLS.
        make_certificate(self.dir, "other")
        make_expired_certificate(self.dir)
        key = os.path.join(self.dir, "server-key.pem")
        for arguments, option in [(["--cert", os.path.join(self.dir, "expired.pem"), "--key",
                                    os.path.join(self.dir, "expired-key.pem")], "--cert"),
                                  (["--cert", server, "--key", os.path.join(self.dir, "other-key.pem")], "--key"),
                                  (["--cert", os.path.join(self.dir, "missing.pem"), "--key", key], "--cert"),
                                  (["--cert", server], "--cert"),
                                  (["--tls", "--client-certs", "required"], "--client-certs"),
                                  (["--tls", "--client-certs", "required", "--client-ca",
                                    os.path.join(self.dir, "missing.pem")], "--client-ca"),
                                  (["--tls-min", "1.3"], "--tls-min"),
                                  (["--tls", "--tls-max", "1.4"], "--tls-max")]:
            done = subprocess.run([PROGRAM, "--headless", "--listen", "127.0.0.1:0", "--timeout", "5", *arguments],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=DEADLINE,
                                  env=environment(os.path.join(self.dir, "config")))
            lines = done.stderr.decode().splitlines()
            self.assertEqual((done.returncode, len(lines)), (2, 1), (arguments, lines))
            self.assertIn(option, lines[0])
            self.assertEqual(done.stdout, b"")


if __name__ == "__main__":
    unittest.main(verbosity=2)
