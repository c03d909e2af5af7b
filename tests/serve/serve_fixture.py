"""Starts `trelvo serve` on simulated units for the protocol and browser tests.

TRELVO_CLI names the program (default: build-ci-plain/tools/trelvo under the
repository). Every command packet the simulated units receive is written to a
file (TRELVO_SIMULATE_COMMAND_LOG), so tests check what the unit was told.
"""
import json
import os
import re
import signal
import socket
import struct
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROGRAM = os.environ.get("TRELVO_CLI", os.path.join(ROOT, "build-ci-plain", "tools", "trelvo"))

HEADER = struct.Struct("<4sHHHHIQQdd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, tmp_path, simulate, listen=None, token=None, record_dir=None):
        self.port = free_port()
        self.command_log = str(tmp_path / "commands.txt")
        host = "127.0.0.1"
        args = [PROGRAM, "serve", "--simulate", simulate,
                "--listen", listen or f"{host}:{self.port}"]
        if token:
            args += ["--token", token]
        if record_dir:
            args += ["--record-dir", str(record_dir)]
        env = dict(os.environ, TRELVO_SIMULATE_COMMAND_LOG=self.command_log)
        # Recordings go to the working directory unless --record-dir says otherwise.
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=env, cwd=str(tmp_path))
        line = self.process.stdout.readline()
        match = re.match(r"trelvo serve: (http://\S+)", line)
        if not match:
            self.process.kill()
            raise RuntimeError("serve did not start: " + line + self.process.stderr.read())
        self.url = match.group(1)
        self.process.stdout.readline()

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=15)
        finally:
            if self.process.poll() is None:
                self.process.kill()

    def commands(self):
        """The command packets received so far, as bytes."""
        try:
            with open(self.command_log) as f:
                return [bytes.fromhex(line.strip()) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def starts(self):
        """Command 1 packets: (timer reload, scan list of channels)."""
        out = []
        for packet in self.commands():
            if packet[0] == 1 and len(packet) >= 6:
                length = packet[5]
                codes = packet[6:6 + length]
                out.append((packet[2] | packet[3] << 8, [11 - code // 16 for code in codes]))
        return out


def parse_frame(data):
    (magic, version, unit, channels, flags, buckets, first, covered, interval,
     newest) = HEADER.unpack_from(data)
    assert magic == b"TRLV" and version == 1
    assert len(data) == HEADER.size + channels * buckets * 4
    pairs = struct.unpack_from(f"<{channels * buckets * 2}H", data, HEADER.size)
    minmax = [[(pairs[2 * (c * buckets + b)], pairs[2 * (c * buckets + b) + 1])
               for b in range(buckets)] for c in range(channels)]
    return dict(unit=unit, channels=channels, flags=flags, buckets=buckets, first=first,
                covered=covered, interval=interval, newest=newest, minmax=minmax,
                received=time.time())


class Client:
    """A WebSocket client of the protocol (python3-websocket)."""

    def __init__(self, server, **kwargs):
        import websocket
        url = server.url.replace("http://", "ws://").split("?")[0] + "ws"
        if "?token=" in server.url:
            url += "?token=" + server.url.split("?token=")[1]
        self.ws = websocket.create_connection(url, timeout=5, **kwargs)
        self.texts = []

    def send(self, message):
        self.ws.send(message if isinstance(message, str) else json.dumps(message))

    def next(self, timeout=5):
        """The next message: a dict (text) or a parsed frame (binary)."""
        self.ws.settimeout(timeout)
        opcode, data = self.ws.recv_data()
        if opcode == 1:
            message = json.loads(data)
            self.texts.append(message)
            return message
        return parse_frame(data)

    def frames(self, count, timeout=10):
        out = []
        end = time.time() + timeout
        while len(out) < count and time.time() < end:
            m = self.next(max(0.1, end - time.time()))
            if "minmax" in m:
                out.append(m)
        return out

    def text(self, kind, timeout=5, where=lambda m: True):
        end = time.time() + timeout
        while time.time() < end:
            m = self.next(max(0.1, end - time.time()))
            if "minmax" not in m and m.get("type") == kind and where(m):
                return m
        raise AssertionError(f"no {kind} message within {timeout} s")

    def close(self):
        self.ws.close()
