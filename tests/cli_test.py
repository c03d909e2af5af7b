#!/usr/bin/env python3
"""The trelvo program run as a user runs it, against simulated units.

Usage: cli_test.py --program PATH [unittest arguments, e.g. CliTest.test_block_csv]
Every process gets its own lock directory, so that tests running side by side
do not hold each other's simulated units.
"""
import csv
import io
import os
import pty
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

PROGRAM = None
LOCK_DIR = tempfile.mkdtemp(prefix="trelvo-cli-locks-")
os.environ["TRELVO_LOCK_DIR"] = LOCK_DIR
os.environ.pop("TRELVO_SIMULATE", None)

# Exit statuses of the program.
USAGE, NO_UNIT, UNIT_BUSY, DRIVER_TOO_OLD, BAD_IDENTITY, TIMED_OUT, NO_ACCESS = 2, 3, 4, 5, 6, 9, 10


def run(*args, timeout=60, env=None):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=timeout,
                          env=env)


def parse_csv(text):
    rows = list(csv.reader(io.StringIO(text)))
    return rows[0], [[int(cell) for cell in row] for row in rows[1:]]


def trigger_row(rows):
    """Index of the row at time 0."""
    zero = [i for i, row in enumerate(rows) if row[0] == 0]
    assert len(zero) == 1, f"expected one row at time 0, found {len(zero)}"
    return zero[0]


class CliTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trelvo-cli-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def assert_ok(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)

    def assert_error(self, result, status, *words):
        """One line on stderr naming the cause, nothing on stdout."""
        self.assertEqual(result.returncode, status, result.stderr)
        lines = result.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        for word in words:
            self.assertIn(word, lines[0])
        self.assertEqual(result.stdout, "")

    # ---- CSV shape and times --------------------------------------------------

    def test_block_csv(self):
        # Distinct levels show that columns follow the channel list, not channel numbers.
        result = run("capture", "--simulate", "12:ch1=dc(1000);ch2=dc(3000)", "-c", "2,1",
                     "-n", "50", "-b", "5ms")
        self.assert_ok(result)
        header, rows = parse_csv(result.stdout)
        self.assertEqual(header, ["time_us", "ch2", "ch1"])
        self.assertEqual(len(rows), 50)
        self.assertEqual([row[0] for row in rows], [100 * i for i in range(50)])
        for row in rows:
            self.assertEqual(len(row), 3)
            self.assertAlmostEqual(row[1], 3000, delta=2)
            self.assertAlmostEqual(row[2], 1000, delta=2)
        # With the CSV on stdout the summary goes to stderr.
        self.assertIn("Captured 50 readings per channel", result.stderr)

    def test_window_frames(self):
        out = self.path("window.csv")
        result = run("capture", "--simulate", "1", "-m", "window", "--frames", "3", "-n", "40",
                     "-b", "4ms", "-o", out)
        self.assert_ok(result)
        with open(out) as f:
            header, rows = parse_csv(f.read())
        self.assertEqual(header, ["frame", "time_us", "ch1"])
        self.assertEqual(len(rows), 120)
        for frame in range(3):
            block = [row for row in rows if row[0] == frame]
            self.assertEqual([row[1] for row in block], [100 * i for i in range(40)])
        self.assertIn("Captured 40 readings per channel", result.stdout)

    def test_stream_count_without_loss(self):
        # A counter signal steps by the same amount from reading to reading,
        # so a lost, repeated or reordered reading breaks the pattern.
        out = self.path("stream.csv")
        # One reading per conversion (50 us, no averaging), so the counter
        # steps by exactly one.
        result = run("capture", "--simulate", "12:ch1=counter", "-m", "stream", "--count", "5000",
                     "-n", "2000", "-b", "100ms", "-o", out)
        self.assert_ok(result)
        with open(out) as f:
            header, rows = parse_csv(f.read())
        self.assertEqual(header, ["time_us", "ch1"])
        self.assertEqual(len(rows), 5000)
        times = [row[0] for row in rows]
        self.assertEqual(times, [times[0] + 50 * i for i in range(5000)])
        steps = {(b[1] - a[1]) % 4096 for a, b in zip(rows, rows[1:])}
        self.assertEqual(steps, {1}, f"counter steps vary: {sorted(steps)[:10]}")

    def test_stream_columns_stay_aligned(self):
        # Each column of a stream holds its own channel from the first row on,
        # in several runs (the stream may start anywhere within a scan).
        for attempt in range(4):
            out = self.path(f"columns{attempt}.csv")
            result = run("capture", "--simulate", "12:ch1=counter;ch3=dc(500)", "-c", "1,3",
                         "-m", "stream", "--count", "300", "-n", "500", "-b", "50ms", "-o", out,
                         "-q")
            self.assert_ok(result)
            with open(out) as f:
                _, rows = parse_csv(f.read())
            self.assertEqual(len(rows), 300)
            misplaced = [row for row in rows if abs(row[2] - 500) > 2]
            self.assertEqual(misplaced, [], f"run {attempt}: channel 3 column holds other values, "
                             f"first rows {rows[:3]}")

    def test_stream_duration_and_pipe_order(self):
        # Rows reach a pipe while the capture still runs, in time order.
        process = subprocess.Popen(
            [PROGRAM, "capture", "--simulate", "1", "-m", "stream", "--duration", "3s",
             "-n", "2000", "-b", "200ms"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        try:
            header = process.stdout.readline()
            self.assertEqual(header.strip(), "time_us,ch1")
            early = [process.stdout.readline() for _ in range(500)]
            self.assertIsNone(process.poll(), "the first rows came only after the capture ended")
            rest = process.stdout.read()
            process.wait(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
        self.assertEqual(process.returncode, 0, process.stderr.read())
        times = [int(line.split(",")[0]) for line in early + rest.splitlines()]
        self.assertEqual(len(times), 30000)  # 3 s at one reading per 100 us
        self.assertEqual(times, [times[0] + 100 * i for i in range(len(times))])

    def test_stream_interrupt_and_closed_pipe(self):
        # Ctrl-C ends an open-ended stream cleanly: whole rows, a summary, status 0.
        out = self.path("open.csv")
        process = subprocess.Popen(
            [PROGRAM, "capture", "--simulate", "1", "-m", "stream", "-n", "2000", "-o", out],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 20
        while time.time() < deadline and (not os.path.exists(out) or os.path.getsize(out) < 20000):
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=20)
        self.assertEqual(process.returncode, 0, stderr)
        self.assertIn("stopped by Ctrl-C", stdout)
        with open(out) as f:
            text = f.read()
        self.assertTrue(text.endswith("\n"))
        _, rows = parse_csv(text)
        self.assertGreater(len(rows), 1000)

        # A reader that goes away ends the program quietly and promptly.
        process = subprocess.Popen(
            [PROGRAM, "capture", "--simulate", "1", "-m", "stream", "-n", "2000", "-q"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for _ in range(5):
            process.stdout.readline()
        process.stdout.close()
        process.wait(timeout=20)
        self.assertEqual(process.returncode, 141)
        self.assertEqual(process.stderr.read(), b"")

    # ---- Triggered captures ---------------------------------------------------

    def test_trigger_row_holds_crossing(self):
        # Channel 1 is a 5 Hz sine around 2048; the block is centred on the trigger.
        out = self.path("rising.csv")
        result = run("capture", "--simulate", "1", "-c", "1,2", "-n", "1000", "-b", "100ms",
                     "-t", "1", "--threshold", "2048", "--delay", "-50", "-o", out)
        self.assert_ok(result)
        with open(out) as f:
            _, rows = parse_csv(f.read())
        self.assertEqual(len(rows), 1000)
        zero = trigger_row(rows)
        self.assertEqual(zero, 500)
        self.assertEqual(rows[0][0], -50000)
        self.assertLessEqual(rows[zero - 1][1], 2048)
        self.assertGreater(rows[zero][1], 2048)
        self.assertIn("row 501 of 1000", result.stdout)

        # Falling edge on the second listed channel, a quarter of the block before it.
        out = self.path("falling.csv")
        result = run("capture", "--simulate", "12:ch4=sine(2048,1500,20hz)", "-c", "2,4",
                     "-n", "400", "-b", "100ms", "-t", "4", "--falling", "--threshold", "1000",
                     "--delay", "-25", "-o", out)
        self.assert_ok(result)
        with open(out) as f:
            header, rows = parse_csv(f.read())
        self.assertEqual(header, ["time_us", "ch2", "ch4"])
        zero = trigger_row(rows)
        self.assertEqual(zero, 100)
        self.assertGreater(rows[zero - 1][2], 1000)
        self.assertLessEqual(rows[zero][2], 1000)

    def test_trigger_timeout_and_auto_trigger(self):
        # A level that never crosses: the timeout names the cause, and the
        # CSV file is not left behind empty.
        out = self.path("never.csv")
        result = run("capture", "--simulate", "12:ch1=dc(100)", "-t", "1", "--timeout", "600ms")
        self.assert_error(result, TIMED_OUT, "no trigger", "channel 1")
        result = run("capture", "--simulate", "12:ch1=dc(100)", "-t", "1", "--timeout", "300ms",
                     "-o", out)
        self.assert_error(result, TIMED_OUT, "no trigger")
        self.assertFalse(os.path.exists(out))
        # ... and the auto-trigger captures anyway.
        result = run("capture", "--simulate", "12:ch1=dc(100)", "-t", "1", "--auto", "300",
                     "-n", "100", "-b", "10ms", "--timeout", "10s")
        self.assert_ok(result)
        _, rows = parse_csv(result.stdout)
        self.assertEqual(len(rows), 100)

    # ---- Plots -------------------------------------------------------------------

    def test_plot_png_and_svg(self):
        png = self.path("capture.png")
        result = run("capture", "--simulate", "1", "-c", "1,2", "-n", "200", "-b", "20ms",
                     "-t", "1", "--delay", "-50", "-o", self.path("a.csv"), "--plot", png,
                     "--plot-size", "800x500")
        self.assert_ok(result)
        with open(png, "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(data[12:16], b"IHDR")
        self.assertEqual(struct.unpack(">II", data[16:24]), (800, 500))
        self.assertGreater(len(data), 5000)  # more than an empty canvas

        svg = self.path("capture.svg")
        result = run("capture", "--simulate", "1", "-c", "3", "-n", "100", "-b", "10ms",
                     "-o", self.path("b.csv"), "-p", svg)
        self.assert_ok(result)
        root = ElementTree.parse(svg).getroot()
        self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
        self.assertEqual((root.get("width"), root.get("height")), ("1000", "600"))
        self.assertIn("channel 3", open(svg).read())

        result = run("capture", "--simulate", "1", "--plot", self.path("capture.jpg"))
        self.assert_error(result, USAGE, ".png or .svg")

    # ---- Errors --------------------------------------------------------------------

    def test_open_errors(self):
        self.assert_error(run("read", "1", "--simulate", "0"), NO_UNIT, "no unit found")
        self.assert_error(run("capture", "--simulate", "12:held"), UNIT_BUSY, "unit busy")
        self.assert_error(run("list", "--simulate", "driver=1.12,12"), DRIVER_TOO_OLD,
                          "driver too old")
        env = dict(os.environ, TRELVO_SIMULATE="0")
        self.assert_error(run("read", "2", env=env), NO_UNIT,
                          "no unit found")
        self.assert_error(run("--unit", "3", "read", "1", "--simulate", "12,10"), NO_UNIT,
                          "handle 3", "units found: 1, 2")

    def test_faults_set_in_the_environment(self):
        # A unit whose identity memory is damaged, from the option and from the variable.
        self.assert_error(run("read", "1", "--simulate", "12:identity=checksum"), BAD_IDENTITY,
                          "identity record invalid")
        env = dict(os.environ, TRELVO_SIMULATE="12:identity=variant")
        self.assert_error(run("list", env=env), BAD_IDENTITY, "identity record invalid")
        # A converter that never gets ready: the reading is out of range, not refused.
        result = run("read", "1", "--simulate", "12:notready=always")
        self.assert_ok(result)
        self.assertGreaterEqual(int(result.stdout.split()[-1]), 16256, result.stdout)
        result = run("read", "1", "--simulate", "12:ch1=dc(1234)")
        self.assert_ok(result)
        self.assertEqual(int(result.stdout.split()[-1]), 1234, result.stdout)

    def test_unit_busy_in_another_program(self):
        holder = subprocess.Popen(
            [PROGRAM, "capture", "--simulate", "1", "-m", "stream", "-n", "2000"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            ready, _, _ = select.select([holder.stdout], [], [], 30)
            self.assertTrue(ready, "the holding capture never started")
            holder.stdout.readline()  # the header: the unit is open
            self.assert_error(run("read", "1", "--simulate", "1"), UNIT_BUSY, "unit busy",
                              "another program")
        finally:
            holder.send_signal(signal.SIGINT)
            holder.communicate(timeout=20)
        self.assert_ok(run("read", "1", "--simulate", "1"))

    def test_argument_errors(self):
        self.assert_error(run("read", "12", "--simulate", "1"), USAGE,
                          "argument out of range", "channel 12")
        self.assert_error(run("capture", "-c", "1,0", "--simulate", "1"), USAGE,
                          "argument out of range", "channels 1, 0")
        self.assert_error(run("capture", "-t", "12", "--simulate", "1"), USAGE,
                          "argument out of range", "trigger channel 12")
        self.assert_error(run("capture", "-c", "1,1"), USAGE, "listed twice")
        self.assert_error(run("capture", "-t", "1", "--threshold", "5000"), USAGE, "--threshold")
        self.assert_error(run("capture", "--threshold", "100"), USAGE, "--trigger")
        self.assert_error(run("capture", "-t", "1", "--delay", "-99", "-n", "50"), USAGE,
                          "--delay")
        self.assert_error(run("capture", "--count", "10"), USAGE, "stream")
        self.assert_error(run("capture", "-b", "5 parsecs"), USAGE, "--block-time")
        self.assert_error(run("out", "2", "on"), USAGE, "output")
        self.assert_error(run("frobnicate"), USAGE)
        self.assert_error(run("capture", "--simulate", "1", "-o",
                              self.path("missing/dir/x.csv")), 1, "cannot create")

    # ---- Terminal behaviour -------------------------------------------------------------

    def test_progress_only_on_a_terminal(self):
        args = [PROGRAM, "capture", "--simulate", "12:ch1=dc(100)", "-t", "1", "--auto", "900",
                "-n", "100", "-b", "10ms", "-o", self.path("p.csv")]
        piped = subprocess.run(args, capture_output=True, text=True, timeout=60)
        self.assertEqual(piped.returncode, 0, piped.stderr)
        self.assertNotIn("\r", piped.stderr)
        self.assertNotIn("waiting for trigger", piped.stderr)

        # The same wait on a terminal shows the bar, so the check above means something.
        try:
            master, slave = pty.openpty()
        except OSError as error:
            self.skipTest(f"no pseudo-terminal here: {error}")
        process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        seen = b""
        while True:
            ready, _, _ = select.select([master], [], [], 30)
            if not ready:
                break
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertIn(b"waiting for trigger", seen)
        self.assertIn(b"\r", seen)

    # ---- The other subcommands -----------------------------------------------------------

    def test_list_info_read_out(self):
        result = run("list", "--simulate", "12,10")
        self.assert_ok(result)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        self.assertTrue(lines[1].startswith("1 ") and "TRELVO/12" in lines[1], lines[1])
        self.assertTrue(lines[2].startswith("2 ") and "TRELVO/10" in lines[2], lines[2])
        self.assertIn("SUVOPP.SYS V1.13", lines[1])

        result = run("info", "--simulate", "10bit")
        self.assert_ok(result)
        self.assertIn("library version: 1.0.4.0", result.stdout)
        self.assertIn("3 variant           TRELVO/10", result.stdout)
        self.assertIn("8 unit error        0", result.stdout)

        result = run("read", "1", "2", "--simulate", "12:ch1=dc(1000);ch2=dc(3000)")
        self.assert_ok(result)
        values = dict(line.split(": ") for line in result.stdout.splitlines())
        self.assertAlmostEqual(int(values["channel 1"]), 1000, delta=2)
        self.assertAlmostEqual(int(values["channel 2"]), 3000, delta=2)

        result = run("--unit", "2", "read", "1", "--simulate", "12:ch1=dc(1000),12:ch1=dc(2000)")
        self.assert_ok(result)
        self.assertAlmostEqual(int(result.stdout.split(": ")[1]), 2000, delta=2)

        result = run("out", "1", "on", "--simulate", "1")
        self.assert_ok(result)
        self.assertEqual(result.stdout, "output 1: on\n")

    # ---- Firmware file and access to units ------------------------------------------------

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def test_firmware_image_named_by_info_and_checked_before_opening(self):
        result = run("info", "--simulate", "1")
        self.assert_ok(result)
        line = [l for l in result.stdout.splitlines() if l.startswith("firmware image:")]
        self.assertEqual(len(line), 1, result.stdout)
        words = line[0].split()
        self.assertEqual(words[2:3], ["bundled,"], line[0])
        self.assertEqual(int(words[5]), 22 * int(words[3]), line[0])  # 22 bytes a record

        self.assertNotIn("firmware note:", result.stdout)  # simulated units take the bundled one

        # On a real bus without a file: info and list say that a unit that
        # needs its firmware will not open, and where the file goes.
        result = run("info")
        self.assertIn("firmware note:   no firmware file: the bundled image is only for "
                      "simulated units", result.stdout)
        self.assertIn("TRELVO_FIRMWARE=", result.stdout)
        self.assert_error(run("list"), NO_UNIT, "no unit found", "needs its firmware",
                          "TRELVO_FIRMWARE=", "beside the library")

        # A unit that needs its firmware gets the file's, and info names it.
        good = self.write("unit.hex", ":03008000020080FB\n:0200000080FF7F\n:00000001FF\n")
        env = dict(os.environ, TRELVO_FIRMWARE=good)
        result = run("info", "--simulate", "12:rev2;delay=20", env=env)
        self.assert_ok(result)
        self.assertIn(f"firmware image:  {good} (TRELVO_FIRMWARE), 3 records, 66 bytes",
                      result.stdout)
        self.assertIn("3 variant           TRELVO/12", result.stdout)

        # A malformed file: one line naming the file and the fault, status 3.
        bad = self.write("bad.hex", ":03008000020080FB\n:0200000080FF70\n:00000001FF\n")
        env = dict(os.environ, TRELVO_FIRMWARE=bad)
        self.assert_error(run("list", "--simulate", "12:rev2;delay=20", env=env), NO_UNIT,
                          f'"{bad}" (TRELVO_FIRMWARE) is malformed', "line 2: checksum")
        self.assert_error(run("--unit", "2", "read", "1", "--simulate", "12,12", env=env),
                          NO_UNIT, f'"{bad}" (TRELVO_FIRMWARE) is malformed')

    def test_firmware_file_beside_the_library(self):
        linked = subprocess.run(["ldd", PROGRAM], capture_output=True, text=True).stdout
        library = [l.split("=>")[1].split("(")[0].strip() for l in linked.splitlines()
                   if "libtrelvo.so" in l and "=>" in l]
        if not library or not os.path.isfile(library[0]):
            self.skipTest(f"libtrelvo not found by ldd:\n{linked}")
        libdir = self.path("lib")
        os.mkdir(libdir)
        shutil.copy(library[0], os.path.join(libdir, "libtrelvo.so.1"))
        env = dict(os.environ, LD_LIBRARY_PATH=libdir)
        beside = os.path.join(libdir, "trelvo_fw.hex")
        with open(beside, "w") as f:
            f.write(":03008000020080FB\n")  # no end record
        self.assert_error(run("read", "1", "--simulate", "1", env=env), NO_UNIT,
                          f'"{beside}" (beside the library)', "no end record")
        with open(beside, "w") as f:
            f.write(":03008000020080FB\n:00000001FF\n")
        result = run("info", "--simulate", "12:rev2;delay=20", env=env)
        self.assert_ok(result)
        self.assertIn(f"firmware image:  {beside} (beside the library), 2 records, 44 bytes",
                      result.stdout)

    def test_unit_present_but_not_accessible(self):
        sysfs = self.path("sys")
        dev = self.path("dev")
        devices = os.path.join(sysfs, "bus", "usb", "devices")
        for name, vendor, bus, device in (("1-1", "f7e1", 1, 7), ("2-4", "1d6b", 2, 1)):
            os.makedirs(os.path.join(devices, name))
            os.makedirs(os.path.join(devices, name + ":1.0"))
            for attribute, value in (("idVendor", vendor), ("busnum", bus), ("devnum", device)):
                with open(os.path.join(devices, name, attribute), "w") as f:
                    f.write(f"{value}\n")
        env = dict(os.environ, TRELVO_SYSFS_ROOT=sysfs, TRELVO_DEV_ROOT=dev)
        self.assert_error(run("list", env=env), NO_ACCESS, "unit not accessible",
                          "(bus 1, device 7)", os.path.join(dev, "bus/usb/001/007"),
                          "70-trelvo.rules", "/etc/udev/rules.d/")

        # The device node present and open to this user: an ordinary "no unit found".
        node = os.path.join(dev, "bus", "usb", "001", "007")
        os.makedirs(os.path.dirname(node))
        open(node, "w").close()
        os.chmod(node, 0o600)
        self.assert_error(run("list", env=env), NO_UNIT, "no unit found")
        if os.geteuid() != 0:  # root may open any node whatever its mode
            os.chmod(node, 0o400)
            self.assert_error(run("list", env=env), NO_ACCESS, "unit not accessible")

    def test_help_on_every_subcommand(self):
        for command in ([], ["list"], ["info"], ["read"], ["out"], ["capture"]):
            result = run(*command, "--help")
            self.assertEqual(result.returncode, 0, command)
            self.assertIn("Usage:", result.stdout)


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "--program":
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv[2])
    try:
        unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
    finally:
        shutil.rmtree(LOCK_DIR, ignore_errors=True)
