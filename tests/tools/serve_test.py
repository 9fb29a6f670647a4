"""kelu serve, driven from outside as other programs use it: pyserial's RFC 2217
client on the served ports, raw TCP clients that misbehave, and kelu commands that
the running server carries out.

Run by ctest as: python3 serve_test.py PATH_TO_KELU
"""
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import serial

KELU = None  # set from the command line

# Every wait is for a condition, with a deadline far beyond what it needs.
DEADLINE = 30.0


def wait_until(condition, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)  # the pause between two looks at the condition


class Machine:
    """A machine folder of the test's own and the kelu commands run on it."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="kelu-serve-")
        self.folder = os.path.join(self.root, "machine")
        self.env = dict(os.environ, KELU_MACHINE_DIR=self.folder)

    def run(self, *words, stdin=None):
        return subprocess.run([KELU, *words], env=self.env, input=stdin, capture_output=True,
                              timeout=DEADLINE * 2)

    def ok(self, *words):
        done = self.run(*words)
        assert done.returncode == 0, (words, done.returncode, done.stdout, done.stderr)
        return done.stdout.decode()

    def ports(self):
        return {p["name"]: p for p in json.loads(self.ok("list", "--json"))["ports"]}

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


class Server:
    """kelu serve in the background, its event lines collected as they come."""

    def __init__(self, machine, *ports):
        words = [KELU, "serve"]
        for port in ports:
            words += ["--rfc2217", port + "=0"]  # no host: this computer only
        self.process = subprocess.Popen(words, env=machine.env, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._collect, daemon=True)
        self.reader.start()
        self.wait_for_line(r"^ready")
        self.address = {}
        for port in ports:
            line = self.wait_for_line("^" + port + r": listening on 127\.0\.0\.1:(\d+)$")
            self.address[port] = int(re.search(r":(\d+)$", line).group(1))

    def _collect(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.rstrip("\n"))

    def wait_for_line(self, pattern, deadline=DEADLINE):
        def find():
            with self.lock:
                return next((l for l in self.lines if re.search(pattern, l)), None)
        return wait_until(find, "server line " + pattern + " in " + repr(self.lines), deadline)

    def url(self, port):
        return "rfc2217://127.0.0.1:%d" % self.address[port]

    def connect_raw(self, port):
        return socket.create_connection(("127.0.0.1", self.address[port]), timeout=DEADLINE)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
        try:
            status = self.process.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        self.reader.join()
        self.process.stdout.close()
        return status


def read_exactly(port, count):
    data = b""
    end = time.monotonic() + DEADLINE
    while len(data) < count and time.monotonic() < end:
        data += port.read(count - len(data))
    return data


def read_until_closed(sock):
    data = b""
    while True:
        try:
            chunk = sock.recv(4096)
        except ConnectionResetError:
            return data  # closed with bytes of ours unread
        if not chunk:
            return data
        data += chunk


IAC, SB, SE, WILL, DO = 255, 250, 240, 251, 253
COM_PORT, SUSPEND, RESUME = 44, 8, 9


class TelnetClient:
    """Just enough of an RFC 2217 client to send what pyserial does not."""

    def __init__(self, sock):
        self.sock = sock
        self.data = b""
        self.replies = []
        self.pending = b""

    def send(self, *values):
        self.sock.sendall(bytes(values))

    def request(self, command, *value):
        """Sends a com port command; waits for the server's answer when one is due."""
        self.send(IAC, SB, COM_PORT, command, *value, IAC, SE)
        if command in (SUSPEND, RESUME):
            return None
        return self.wait_for(command + 100, "the answer to command %d" % command)

    def wait_for(self, code, what):
        """The next answer or notification the server sends with this code."""
        return wait_until(lambda: self._take_reply(code), what)

    def read_data(self, count):
        return wait_until(lambda: self._receive() or (self.data if len(self.data) >= count else None),
                          "%d data bytes" % count)

    def _take_reply(self, code):
        self._receive()
        for reply in self.replies:
            if reply[0] == code:
                self.replies.remove(reply)
                return reply
        return None

    def _receive(self):
        self.sock.settimeout(0.05)
        try:
            self.pending += self.sock.recv(4096)
        except socket.timeout:
            pass
        # Split complete sequences off what came; keep an unfinished one for later.
        while self.pending:
            if self.pending[0] != IAC:
                end = self.pending.find(bytes([IAC]))
                end = len(self.pending) if end < 0 else end
                self.data += self.pending[:end]
                self.pending = self.pending[end:]
            elif len(self.pending) < 2:
                break
            elif self.pending[1] == IAC:
                self.data += b"\xff"
                self.pending = self.pending[2:]
            elif self.pending[1] == SB:
                end = self.pending.find(bytes([IAC, SE]))
                if end < 0:
                    break
                self.replies.append(list(self.pending[3:end].replace(b"\xff\xff", b"\xff")))
                self.pending = self.pending[end + 2:]
            elif len(self.pending) < 3:
                break
            else:
                self.pending = self.pending[3:]
        return None

    def close(self):
        self.sock.close()


class ServeTest(unittest.TestCase):
    """A pair COM1-COM2, COM3 whose opens need approval, and COM4 on its own."""

    def setUp(self):
        self.machine = Machine()
        self.machine.ok("install")
        self.machine.ok("plugin", "COM1")
        self.machine.ok("plugin", "COM2")
        self.machine.ok("plugin", "--confirm", "COM3")
        self.machine.ok("plugin", "COM4")
        self.machine.ok("connect", "COM1", "COM2")
        self.server = Server(self.machine, "COM1", "COM2", "COM3", "COM4")
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        status = self.server.stop()
        self.machine.remove()
        self.assertEqual(status, 0, "\n".join(self.server.lines))

    def open(self, port, **settings):
        client = serial.serial_for_url(self.server.url(port), timeout=2, **settings)
        self.clients.append(client)
        return client

    def settings(self, port):
        return json.loads(self.machine.ok("settings", "--json", port))

    def test_a_pair_carries_settings_every_byte_and_the_crossed_lines(self):
        a = self.open("COM1", baudrate=57600)
        b = self.open("COM2", baudrate=9600, bytesize=7, parity=serial.PARITY_EVEN,
                      stopbits=serial.STOPBITS_TWO)
        # kelu settings, forwarded to the server, sees what each client set.
        com1, com2 = self.settings("COM1"), self.settings("COM2")
        self.assertEqual((com1["baudRate"], com1["wordLength"], com1["parity"], com1["stopBits"]),
                         (57600, 8, "none", "1"))
        self.assertEqual((com2["baudRate"], com2["wordLength"], com2["parity"], com2["stopBits"]),
                         (9600, 7, "even", "2"))
        b.baudrate = 115200
        self.assertEqual(self.settings("COM2")["baudRate"], 115200)

        every_byte = bytes(range(256)) + b"\xff\xff\x00\xff"
        a.write(every_byte)
        self.assertEqual(read_exactly(b, len(every_byte)), every_byte)
        b.write(every_byte[::-1])
        self.assertEqual(read_exactly(a, len(every_byte)), every_byte[::-1])

        # One side's RTS and DTR are the other's CTS, and DSR with DCD.
        a.rts, a.dtr = True, False
        wait_until(lambda: b.cts and not b.dsr, "CTS up, DSR down on COM2")
        a.dtr = True
        wait_until(lambda: b.dsr and b.cd, "DSR and DCD up on COM2")
        a.rts = False
        wait_until(lambda: not b.cts and b.dsr, "CTS down on COM2")
        b.rts = True
        wait_until(lambda: a.cts, "CTS up on COM1")
        self.assertEqual(self.machine.ok("signals", "get", "COM1"), "COM1: CTS DTR DSR DCD\n")

    def test_a_break_on_one_port_reaches_the_partners_client_as_a_line_state(self):
        b = TelnetClient(self.server.connect_raw("COM2"))
        b.send(IAC, WILL, COM_PORT)
        self.assertEqual(b.request(10, 16), [110, 16])  # line-state mask: break detect only
        a = self.open("COM1")
        a.break_condition = True
        self.assertEqual(b.wait_for(106, "the line state"), [106, 16])
        a.break_condition = False
        b.close()

    def test_suspend_holds_data_back_purge_drops_it_and_resume_lets_it_through(self):
        client = TelnetClient(self.server.connect_raw("COM4"))
        client.send(IAC, WILL, COM_PORT)
        client.request(SUSPEND)
        # The baud rate's answer shows the server has taken the suspend.
        self.assertEqual(client.request(1, 0, 0, 0, 0), [101, 0, 0, 0x4B, 0x00])  # 19200, the default
        self.machine.ok("put", "COM4", "stale")
        self.assertEqual(client.request(12, 1), [112, 1])  # purge the server's receive side
        client.request(RESUME)
        self.machine.ok("put", "COM4", "fresh")
        self.assertEqual(client.read_data(5), b"fresh")
        client.close()

    def test_forwarded_commands_behave_as_when_run_alone(self):
        # Failures first, alone and then forwarded: the same words, the same status.
        self.server.stop()
        alone = [self.machine.run(*words) for words in
                 (["settings", "COM9"], ["connect", "COM1"], ["no-such-command"])]
        self.server = Server(self.machine, "COM1", "COM2", "COM3", "COM4")
        forwarded = [self.machine.run(*words) for words in
                     (["settings", "COM9"], ["connect", "COM1"], ["no-such-command"])]
        for one, other in zip(alone, forwarded):
            self.assertEqual((one.returncode, one.stdout, one.stderr),
                             (other.returncode, other.stdout, other.stderr))
        self.assertEqual([run.returncode for run in forwarded], [1, 2, 2])
        self.server.wait_for_line(r"^ran 'kelu settings COM9' for process \d+: exit 1$")

        # A command goes to the server before it would wait for the machine, which
        # the server holds: one that must not wait still runs.
        self.assertIn("COM1", self.machine.ok("--no-wait", "list"))

        # Forwarded commands run side by side, each with its own output and status.
        callers = [(port, subprocess.Popen([KELU, "settings", "--json", port], env=self.machine.env,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE))
                   for port in ("COM1", "COM2", "COM3", "COM4", "COM9") * 3]
        for port, caller in callers:
            out, err = caller.communicate(timeout=DEADLINE)
            if port == "COM9":
                self.assertEqual((caller.returncode, out), (1, b""))
                self.assertTrue(err.startswith(b"kelu settings: "), err)
            else:
                self.assertEqual((caller.returncode, json.loads(out)["name"], err), (0, port, b""))

        # put reaches the client that is COM4's application.
        client = self.open("COM4")
        self.assertEqual(self.machine.ok("put", "COM4", "hi"), "put 2 bytes into COM4\n")
        self.assertEqual(read_exactly(client, 2), b"hi")

        # open, write, read and close act as an application the server holds.
        self.assertEqual(self.machine.ok("open", "COM1"), "opened COM1\n")
        b = self.open("COM2")
        self.assertEqual(self.machine.ok("write", "COM1", "from a shell"), "COM1 wrote 12 bytes\n")
        self.assertEqual(read_exactly(b, 12), b"from a shell")
        b.write(b"back")
        self.assertEqual(self.machine.ok("read", "--count", "4", "--timeout", "20000", "COM1"), "back")
        self.assertEqual(self.machine.ok("close", "COM1"), "closed COM1\n")
        self.assertFalse(self.machine.ports()["COM1"]["open"])

        # A session forwarded with its script on stdin keeps its applications to itself.
        session = self.machine.run("session", stdin=b"open COM1\nwrite COM1 abc\nclose COM1\n")
        self.assertEqual((session.returncode, session.stdout), (0, b"opened COM1\nCOM1 wrote 3 bytes\nclosed COM1\n"))
        self.assertEqual(read_exactly(b, 3), b"abc")

        # The socket is the user's alone.
        mode = os.stat(os.path.join(self.machine.folder, "kelu.sock")).st_mode
        self.assertEqual(mode & 0o777, 0o600)

        # A second server on the same machine folder is refused, after its command
        # line has been checked.
        for words in (["serve", "--rfc2217", "COM1"], ["serve", "--rfc2217", "COM1=70000"],
                      ["serve", "--rfc2217", "COM1=1", "--rfc2217", "COM1=2"]):
            self.assertEqual(self.machine.run(*words).returncode, 2, words)
        second = self.machine.run("serve")
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"a server already runs on", second.stderr)

    def test_commands_on_different_ports_run_side_by_side(self):
        def start(*words):
            return subprocess.Popen([KELU, *words], env=self.machine.env, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)

        # A plain open of COM3 waits for approval; the pair's commands go on meanwhile.
        opener = start("open", "COM3")
        wait_until(lambda: self.machine.ports()["COM3"]["open"], "the open of COM3 waiting")
        self.assertEqual(self.machine.ok("open", "COM1"), "opened COM1\n")
        self.assertEqual(self.machine.ok("open", "COM2"), "opened COM2\n")

        # A read on COM2 waits for data that a write on COM1 then sends. COM2's receive
        # buffer is filled first: once a put fits again, the read has taken the buffer's
        # bytes and waits for the rest.
        filler = os.path.join(self.machine.root, "filler")
        with open(filler, "wb") as f:
            f.write(b"f" * 4096)
        self.machine.ok("put", "COM2", "--file", filler)
        received = os.path.join(self.machine.root, "received")
        reader = start("read", "--count", "4101", "--timeout", "20000", "--file", received, "COM2")
        wait_until(lambda: self.machine.run("put", "COM2", "x").returncode == 0, "the read of COM2 under way")
        self.assertIsNone(reader.poll())
        self.assertEqual(self.machine.ok("write", "COM1", "abcd"), "COM1 wrote 4 bytes\n")
        out, err = reader.communicate(timeout=DEADLINE)
        self.assertEqual((reader.returncode, err), (0, b""), out)
        with open(received, "rb") as f:
            self.assertEqual(f.read(), b"f" * 4096 + b"xabcd")

        self.assertIsNone(opener.poll())
        self.assertEqual(self.machine.ok("confirm", "COM3", "allow"), "answered the open of COM3: allowed\n")
        self.assertEqual(opener.communicate(timeout=DEADLINE), (b"opened COM3\n", b""))
        for port in ("COM1", "COM2", "COM3"):
            self.assertEqual(self.machine.ok("close", port), "closed " + port + "\n")

    def test_disconnecting_closes_the_port_and_a_busy_port_refuses_with_a_notice(self):
        a = self.open("COM1")
        wait_until(lambda: self.machine.ports()["COM1"]["open"], "COM1 open")
        second = self.server.connect_raw("COM1")
        self.assertEqual(read_until_closed(second), b"kelu: COM1 is already open\r\n")
        second.close()
        self.server.wait_for_line(r"^COM1: refused client 127\.0\.0\.1:\d+: COM1 is already open$")
        a.close()
        wait_until(lambda: not self.machine.ports()["COM1"]["open"], "COM1 closed")
        # Reconnecting opens it again, and the pair works.
        a = self.open("COM1")
        b = self.open("COM2")
        a.write(b"again")
        self.assertEqual(read_exactly(b, 5), b"again")
        self.assertTrue(self.machine.ports()["COM1"]["open"])

        # A client that leaves while its port's write waits for the partner (COM1 is
        # closed, so COM2's buffer fills and the rest waits) still closes its port.
        a.close()
        wait_until(lambda: not self.machine.ports()["COM1"]["open"], "COM1 closed")
        b.close()
        wait_until(lambda: not self.machine.ports()["COM2"]["open"], "COM2 closed")
        writer = self.server.connect_raw("COM2")
        writer.sendall(b"w" * 6000)
        wait_until(lambda: self.machine.ports()["COM2"]["bytesWaiting"], "COM2's buffer filling")
        writer.close()
        wait_until(lambda: not self.machine.ports()["COM2"]["open"], "COM2 closed though its write waited")

    def test_an_open_that_needs_approval_waits_for_confirm(self):
        opened = {}
        opener = threading.Thread(target=lambda: opened.update(port=self.open("COM3")))
        opener.start()
        wait_until(lambda: self.machine.ports()["COM3"]["open"], "the open of COM3 waiting")
        self.assertEqual(self.machine.ok("confirm", "COM3", "allow"), "answered the open of COM3: allowed\n")
        opener.join(DEADLINE)
        self.assertIn("port", opened)
        self.machine.ok("put", "COM3", "approved")
        self.assertEqual(read_exactly(opened["port"], 8), b"approved")
        opened["port"].close()
        wait_until(lambda: not self.machine.ports()["COM3"]["open"], "COM3 closed")

        denied = self.server.connect_raw("COM3")
        wait_until(lambda: self.machine.ports()["COM3"]["open"], "the second open of COM3 waiting")
        self.machine.ok("confirm", "COM3", "deny")
        notice = read_until_closed(denied)
        self.assertTrue(notice.startswith(b"kelu: cannot open COM3: ERROR_ACCESS_DENIED (5)"), notice)
        self.assertTrue(notice.endswith(b"\r\n") and notice.count(b"\n") == 1, notice)
        denied.close()

    def test_bad_clients_are_disconnected_and_nothing_else_is_affected(self):
        a = self.open("COM1")
        b = self.open("COM2")

        def exchange():
            a.write(b"ping")
            self.assertEqual(read_exactly(b, 4), b"ping")

        bad = self.server.connect_raw("COM4")
        bad.sendall(b"data\xff\x05")  # IAC followed by no command
        read_until_closed(bad)
        bad.close()
        self.server.wait_for_line(r"^COM4: disconnected client .*malformed telnet")
        exchange()

        flood = self.server.connect_raw("COM4")
        try:
            flood.sendall(b"\xff\xf1" * 20000)  # NOPs, far more than any client sends
        except OSError:
            pass  # the server may close before it has taken them all
        read_until_closed(flood)
        flood.close()
        self.server.wait_for_line(r"^COM4: disconnected client .*flooded")
        exchange()

        # Random bytes, heavy in telnet commands, from many clients one after another.
        rng = random.Random(2217)
        for _ in range(40):
            fuzz = self.server.connect_raw("COM4")
            noise = bytes(rng.choice((0xff, 0xfa, 0xf0, 0xfb, 0xfd, 44, rng.randrange(256)))
                          for _ in range(rng.randrange(1, 400)))
            try:
                fuzz.sendall(noise)
            except OSError:
                pass
            fuzz.close()
        wait_until(lambda: not self.machine.ports()["COM4"]["open"], "COM4 closed after the fuzzing")
        exchange()
        client = self.open("COM4")
        self.machine.ok("put", "COM4", "ok")
        self.assertEqual(read_exactly(client, 2), b"ok")

    def test_a_client_that_stops_reading_blocks_only_its_own_port(self):
        stalled = self.server.connect_raw("COM1")  # never reads
        writer = self.server.connect_raw("COM2")
        wait_until(lambda: self.machine.ports()["COM1"]["open"] and self.machine.ports()["COM2"]["open"],
                   "both ports open")
        writer.setblocking(False)
        chunk = b"z" * 65536
        sent = 0
        last_progress = time.monotonic()
        # Write until the chain stalls: the writer's socket, the port, the partner's
        # port and the stalled client's socket all full.
        while time.monotonic() - last_progress < 1.0 and sent < 256 << 20:
            try:
                sent += writer.send(chunk)
                last_progress = time.monotonic()
            except BlockingIOError:
                time.sleep(0.01)  # the pause between two tries of a full socket
        self.assertLess(sent, 256 << 20, "the server buffered without bound")
        # The rest of the machine carries on.
        other = self.open("COM4")
        self.machine.ok("put", "COM4", "alive")
        self.assertEqual(read_exactly(other, 5), b"alive")
        self.assertTrue(self.machine.ports()["COM2"]["open"])
        # The stalled client leaves; its port closes though the server could not send.
        stalled.close()
        wait_until(lambda: not self.machine.ports()["COM1"]["open"], "COM1 closed")
        writer.close()

    def test_sigint_stops_the_server_with_exit_0_and_the_state_kept(self):
        a = self.open("COM1")
        self.machine.ok("open", "COM4")
        status = self.server.stop()
        self.assertEqual(status, 0, "\n".join(self.server.lines))
        self.assertTrue(any(l.startswith("stopped") for l in self.server.lines))
        self.assertFalse(os.path.exists(os.path.join(self.machine.folder, "kelu.sock")))
        a.close()
        self.clients.remove(a)
        # Run alone again: the ports, the pair and the approval flag are still there,
        # and nothing is left open.
        ports = self.machine.ports()
        self.assertEqual(sorted(ports), ["COM1", "COM2", "COM3", "COM4"])
        self.assertEqual(ports["COM1"]["partner"], 2)
        self.assertFalse(any(p["open"] for p in ports.values()))
        # The next test step's tearDown stops a server; give it one.
        self.server = Server(self.machine, "COM1")


if __name__ == "__main__":
    KELU = sys.argv.pop(1)
    unittest.main(verbosity=2)
