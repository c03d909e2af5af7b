"""The live view's protocol, with a WebSocket client: frames, buckets,
refusals, access rules and backpressure."""
import base64
import json
import os
import socket
import subprocess
import time
import urllib.error
import urllib.request

import h5py
import numpy as np
import pytest

from serve_fixture import Client

STREAM = {"type": "run", "unit": 1, "method": "stream", "channels": [1, 2],
          "block_time_us": 100000, "readings": 1000, "trigger": None}


def test_units_list_has_identity_and_every_information_line(serve):
    server = serve("12,10")
    units = json.load(urllib.request.urlopen(server.url + "api/units"))
    assert [u["handle"] for u in units] == [1, 2]
    assert [u["variant"] for u in units] == ["TRELVO/12", "TRELVO/10"]
    assert units[1]["first_text"] == "SIM00001"
    assert len(units[0]["info"]) == 9 and units[0]["info"][3] == "TRELVO/12"


def test_stream_frames_are_continuous_and_carry_every_counter_reading(serve):
    server = serve("12:all=counter")
    client = Client(server)
    client.send({"type": "view", "buckets": 4096})
    client.send(STREAM)
    frames = client.frames(40)
    assert len(frames) == 40
    start = frames[0]
    contiguous = 0
    for previous, f in zip(frames, frames[1:]):
        assert f["unit"] == 1 and f["channels"] == 2 and f["flags"] == 0
        assert f["interval"] == pytest.approx(100.0)
        assert f["buckets"] == f["covered"]  # one reading a bucket: full resolution
        # The counter reads (start + n) mod 4096 at index n: every reading is
        # there, in order, at the index the frame names. A client that reads
        # slowly may miss whole frames (newest wins), never parts of one.
        for c in range(2):
            values = [lo for lo, hi in f["minmax"][c]]
            assert all(lo == hi for lo, hi in f["minmax"][c])
            base = start["minmax"][c][0][0]
            assert values == [(base + f["first"] - start["first"] + i) % 4096
                              for i in range(f["covered"])]
        assert f["first"] >= previous["first"] + previous["covered"]
        contiguous += f["first"] == previous["first"] + previous["covered"]
    assert contiguous >= 20
    # Readings of a 20 ms poll at 10,000 a second per channel: frames stay small.
    assert max(f["covered"] for f in frames) < 4096


def test_buckets_hold_the_min_and_max_of_the_readings_they_cover(serve):
    server = serve("12:all=counter;ch3=sine(2048,1800,37hz)")
    full, coarse = Client(server), Client(server)
    full.send({"type": "view", "buckets": 4096})
    coarse.send({"type": "view", "buckets": 7})
    time.sleep(0.2)
    full.send(dict(STREAM, channels=[3, 1]))
    readings = {f["first"]: f for f in full.frames(30)}
    checked = 0
    for f in coarse.frames(30):
        whole = readings.get(f["first"])
        if not whole:
            continue
        n, k = f["covered"], f["buckets"]
        assert whole["covered"] == n and k == min(7, n)
        for c in range(2):
            values = [lo for lo, hi in whole["minmax"][c]]
            for b, pair in enumerate(f["minmax"][c]):
                part = values[b * n // k:(b + 1) * n // k]
                assert pair == (min(part), max(part))
        checked += 1
    assert checked >= 10


def test_dc_and_sine_buckets_match_the_signal(serve):
    server = serve("12:ch1=dc(1000);ch2=sine(2048,1500,50hz)")
    client = Client(server)
    client.send({"type": "view", "buckets": 10})
    client.send(STREAM)
    frames = client.frames(60)
    assert all(pair == (1000, 1000) for f in frames for pair in f["minmax"][0])
    lows = min(lo for f in frames for lo, hi in f["minmax"][1])
    highs = max(hi for f in frames for lo, hi in f["minmax"][1])
    assert 548 <= lows <= 560 and 3536 <= highs <= 3548


def test_block_sweeps_are_whole_blocks_with_the_trigger_placed(serve):
    server = serve("12:ch1=sine(2048,1800,20hz)")
    client = Client(server)
    client.send({"type": "view", "buckets": 4096})
    client.send({"type": "run", "unit": 1, "method": "block", "channels": [1],
                 "block_time_us": 50000, "readings": 500,
                 "trigger": {"channel": 1, "rising": True, "threshold": 2048, "delay": -50}})
    sweep = client.text("sweep")
    assert sweep["first_time_us"] == pytest.approx(-25000, abs=200)
    f = client.frames(1)[0]
    assert f["flags"] & 1 and f["covered"] == 500 and f["buckets"] == 500
    values = [lo for lo, hi in f["minmax"][0]]
    assert values[249] < 2048 + 120 and values[251] > 2048 - 120 and values[260] > values[240]


REFUSED = [
    ("{bad", "malformed JSON"),
    ("[1,2]", "JSON object"),
    ('{"type":"launch"}', "unknown message type"),
    ('{"unit":1}', "needs a \"type\""),
    (dict(STREAM, unit=9), "no open unit"),
    (dict(STREAM, unit=0), "out of range"),
    (dict(STREAM, method="fast"), "method"),
    (dict(STREAM, channels=[]), "1 to 11 channels"),
    (dict(STREAM, channels=[12]), "channels are 1 to 11"),
    (dict(STREAM, channels=[1, 1]), "twice"),
    (dict(STREAM, channels=[1.5]), "channels are 1 to 11"),
    (dict(STREAM, block_time_us=0), "block_time_us"),
    (dict(STREAM, readings=0), "readings"),
    (dict(STREAM, readings="many"), "integer"),
    (dict(STREAM, trigger={"channel": 12}), "trigger"),
    (dict(STREAM, trigger={"channel": 1, "threshold": 5000}), "threshold"),
    (dict(STREAM, trigger={"channel": 1, "delay": -100}), "delay"),
    (dict(STREAM, trigger={"channel": 1, "auto_ms": 70000}), "auto_ms"),
    (dict(STREAM, trigger={"channel": 1, "rising": 1}), "true or false"),
    (dict(STREAM, trigger=5), "trigger"),
    ({"type": "output", "unit": 1, "output": 2, "on": True}, "output"),
    ({"type": "output", "unit": 1, "output": 0}, "missing"),
    ({"type": "view", "buckets": 0}, "buckets"),
    ({"type": "view", "buckets": 5000}, "buckets"),
    ({"type": "record", "unit": 1}, "missing"),
    ({"type": "record", "unit": 9, "on": True}, "no open unit"),
    ({"type": "record", "unit": 1, "on": True}, "not streaming"),
    ({"type": "record", "unit": 1, "on": False}, "not recording"),
    ("x" * 5000, "too long"),
]


def test_every_refusal_gets_an_error_and_changes_nothing(serve):
    server = serve("1")
    client = Client(server)
    client.text("status")
    before = server.commands()
    for message, words in REFUSED:
        client.send(message)
        error = client.text("error")
        assert words in error["message"], (message, error)
        time.sleep(0.06)  # under the message rate limit
    client.ws.send_binary(b"TRLV")
    assert "text" in client.text("error")["message"]
    assert server.commands() == before  # the unit was told nothing
    client.send(STREAM)  # and the connection still works
    assert len(client.frames(3)) == 3


def test_message_rate_is_limited(serve):
    server = serve("1")
    client = Client(server)
    for _ in range(60):
        client.send({"type": "view", "buckets": 100})
    assert "too many messages" in client.text("error")["message"]


def http_status(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    try:
        return urllib.request.urlopen(request, timeout=5).status
    except urllib.error.HTTPError as e:
        return e.code


def handshake(port, path, headers):
    """A WebSocket upgrade by hand; returns the status line's code."""
    key = base64.b64encode(os.urandom(16)).decode()
    lines = [f"GET {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Upgrade: websocket",
             "Connection: Upgrade", f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
    lines += [f"{k}: {v}" for k, v in headers.items()]
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        reply = s.recv(4096).decode(errors="replace")
    return int(reply.split()[1]) if reply else 0


def test_off_loopback_every_request_needs_the_token(serve, tmp_path):
    server = serve("1", listen=None)
    port = server.port
    server.stop()
    server = serve("1", listen=f"0.0.0.0:{port}", token="s3cret")
    assert server.url.endswith("?token=s3cret")
    base = f"http://127.0.0.1:{port}"
    for path in ["/", "/index.html", "/app.js", "/api/units"]:
        assert http_status(base + path) == 401
        assert http_status(base + path + "?token=wrong") == 401
        assert http_status(base + path + "?token=s3cret") == 200
    assert http_status(base + "/api/units", {"Authorization": "Bearer s3cret"}) == 200
    assert handshake(port, "/ws", {}) != 101
    assert handshake(port, "/ws?token=s3cret", {}) == 101
    server.stop()
    generated = serve("1", listen=f"0.0.0.0:{port}")
    token = generated.url.split("?token=")[1]
    assert len(token) == 32 and http_status(generated.url + "") == 200


def test_origin_host_and_paths_are_checked(serve):
    server = serve("1")
    port = server.port
    base = f"http://127.0.0.1:{port}"
    assert handshake(port, "/ws", {"Origin": "http://evil.example"}) != 101
    assert handshake(port, "/ws", {"Origin": f"http://127.0.0.1:{port}"}) == 101
    assert http_status(base + "/", {"Host": f"evil.example:{port}"}) == 403
    for path in ["/../../etc/passwd", "/%2e%2e/etc/passwd", "/etc/passwd",
                 "/CMakeLists.txt", "/serve.cpp"]:
        assert http_status(base + path) == 404


def test_a_stalled_client_does_not_slow_another(serve):
    server = serve("12:all=counter")
    port = server.port
    # The stalled client asks for the largest frames and never reads.
    stalled = socket.create_connection(("127.0.0.1", port))
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    key = base64.b64encode(os.urandom(16)).decode()
    stalled.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    time.sleep(0.3)
    view = json.dumps({"type": "view", "buckets": 4096}).encode()
    mask = os.urandom(4)
    stalled.sendall(bytes([0x81, 0x80 | len(view)]) + mask +
                    bytes(b ^ mask[i % 4] for i, b in enumerate(view)))
    client = Client(server)
    client.send({"type": "view", "buckets": 4096})
    client.send(dict(STREAM, channels=[1, 2, 3, 4, 5, 6, 7, 8], block_time_us=40000,
                     readings=100))
    time.sleep(1.5)  # the stalled connection's buffers fill
    start = time.time()
    frames = client.frames(75, timeout=6)
    elapsed = time.time() - start
    # The unit's readings reach this client as they are taken (8 channels,
    # 400 us apart), whatever the stalled one does.
    span = frames[-1]["first"] + frames[-1]["covered"] - frames[0]["first"]
    assert len(frames) == 75 and span * 400e-6 > 0.7 * elapsed
    stalled.close()



def recording_status(client, on, timeout=5):
    return client.text("status", timeout, lambda m: m["unit"] == 1 and m["recording"] == on)


def check_counter_recording(path, channels):
    """The file is closed whole (it opens without SWMR) and holds the counter
    run by run: consecutive readings, each run at the index its row says."""
    with h5py.File(path, "r") as f:
        assert f.attrs["format"] == "trelvo-log"
        group = f["unit1"]
        assert list(group.attrs["channels"]) == channels
        values = group["values"][:].astype(np.int64)
        runs, gaps = group["runs"][:], group["gaps"][:]
    assert len(values) > 0 and len(runs) >= 1 and runs[0]["first_row"] == 0
    assert runs[0]["first_index"] == 0
    base = values[0]
    for r, run in enumerate(runs):
        begin = int(run["first_row"])
        end = int(runs[r + 1]["first_row"]) if r + 1 < len(runs) else len(values)
        rows = np.arange(begin, end)
        expected = (base[None, :] + int(run["first_index"]) + (rows - begin)[:, None]) % 4096
        assert np.array_equal(values[begin:end], expected), f"run {r}"
    return values, runs, gaps


def test_record_writes_the_stream_to_hdf5_and_closes_it_whole(serve, tmp_path):
    directory = tmp_path / "recordings"
    directory.mkdir()
    server = serve("12:all=counter", record_dir=directory)
    client = Client(server)
    client.send(dict(STREAM, channels=[2, 1]))
    assert len(client.frames(3)) == 3
    client.send({"type": "record", "unit": 1, "on": True})
    first = recording_status(client, True)
    name = os.path.basename(first["file"])
    assert os.path.dirname(first["file"]) == str(directory)
    assert name.startswith("trelvo-") and name.endswith("-unit1.h5")
    # Readings keep arriving while it records, and the file grows.
    assert len(client.frames(25)) == 25
    later = recording_status(client, True)
    assert later["bytes"] > first["bytes"]
    client.send({"type": "record", "unit": 1, "on": True})
    assert "already recording" in client.text("error")["message"]
    client.send({"type": "record", "unit": 1, "on": False})
    done = recording_status(client, False)
    assert done["file"] == first["file"] and done["bytes"] == os.path.getsize(first["file"])
    values, runs, gaps = check_counter_recording(first["file"], [2, 1])
    assert len(gaps) == 0 and len(runs) == 1
    assert len(values) > 5000  # 0.5 s and more at 10,000 readings a second
    # A second recording gets a name that sorts after the first; stopping
    # the stream ends it, the file closed whole.
    client.send({"type": "record", "unit": 1, "on": True})
    second = recording_status(client, True)["file"]
    assert second > first["file"]
    client.frames(10)
    client.send({"type": "stop", "unit": 1})
    stopped = recording_status(client, False)
    assert stopped["file"] == second and stopped["bytes"] == os.path.getsize(second)
    check_counter_recording(second, [2, 1])
    assert sorted(os.listdir(directory)) == [os.path.basename(first["file"]),
                                             os.path.basename(second)]


def test_a_recording_ends_whole_on_ctrl_c_and_when_the_unit_leaves(serve, tmp_path):
    # Ctrl-C while recording (into the working directory by default).
    server = serve("12:all=counter")
    client = Client(server)
    client.send(STREAM)
    client.frames(3)
    client.send({"type": "record", "unit": 1, "on": True})
    path = os.path.join(tmp_path, recording_status(client, True)["file"])
    assert os.path.dirname(path) == str(tmp_path)
    client.frames(10)
    assert server.stop() == 0
    check_counter_recording(path, [1, 2])
    os.remove(path)
    # The unit leaves the bus mid-recording: the file closes with what it had.
    server = serve("12:all=counter;unplug=1500")
    client = Client(server)
    client.send(STREAM)
    client.frames(3)
    client.send({"type": "record", "unit": 1, "on": True})
    path = os.path.join(tmp_path, recording_status(client, True)["file"])
    gone = client.text("status", 10, lambda m: m["state"] == "failed")
    assert "left the bus" in gone["message"] and not gone["recording"]
    assert gone["bytes"] == os.path.getsize(path)
    values, _, _ = check_counter_recording(path, [1, 2])
    assert len(values) > 5000


def test_readings_lost_while_recording_are_gaps_between_runs(serve, tmp_path):
    server = serve("12:all=counter;dropframes=40")
    client = Client(server)
    client.send(STREAM)
    client.frames(3)
    client.send({"type": "record", "unit": 1, "on": True})
    path = os.path.join(tmp_path, recording_status(client, True)["file"])
    client.frames(40)
    client.send({"type": "record", "unit": 1, "on": False})
    recording_status(client, False)
    values, runs, gaps = check_counter_recording(path, [1, 2])
    # Each gap (lost on the way) sits where its run's predecessor ended, and
    # the next run starts right after it.
    assert len(gaps) >= 2 and set(gaps["cause"]) == {2}
    assert len(runs) == len(gaps) + 1
    for r in range(1, len(runs)):
        end = int(runs[r - 1]["first_index"]) + int(runs[r]["first_row"] - runs[r - 1]["first_row"])
        assert int(gaps[r - 1]["index"]) == end
        assert end + int(gaps[r - 1]["readings_missed"]) == int(runs[r]["first_index"])


def test_a_full_disk_ends_the_recording_with_an_error_and_a_whole_file(serve, tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(mount)],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip(f"cannot mount a small tmpfs here ({e})")
    try:
        server = serve("12:fast;all=counter", record_dir=mount)
        client = Client(server)
        client.send(STREAM)
        client.frames(3)
        client.send({"type": "record", "unit": 1, "on": True})
        path = recording_status(client, True)["file"]
        error = client.text("error", 20)
        assert "recording of unit 1 stopped: disk full" in error["message"]
        status = recording_status(client, False)
        assert status["file"] == path and status["bytes"] == os.path.getsize(path)
        # The stream goes on, and the file holds the counter up to its last flush.
        assert status["state"] == "running" and len(client.frames(5)) == 5
        values, _, _ = check_counter_recording(path, [1, 2])
        assert len(values) > 100000
        client.send({"type": "record", "unit": 1, "on": False})
        assert "not recording" in client.text("error")["message"]
        assert server.stop() == 0
    finally:
        subprocess.run(["umount", str(mount)], check=False)
