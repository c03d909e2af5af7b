#!/usr/bin/env python3
"""`trelvo log` and `trelvo export` run as a user runs them, against simulated
units whose channels count their conversions, so that every reading can be
checked against the value it must have.

Usage: log_test.py --program PATH [unittest arguments, e.g. LogTest.test_rotation]
"""
import csv
import glob
import os
import pty
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import h5py
import numpy as np

PROGRAM = None
LOCK_DIR = tempfile.mkdtemp(prefix="trelvo-log-locks-")
os.environ["TRELVO_LOCK_DIR"] = LOCK_DIR
os.environ.pop("TRELVO_SIMULATE", None)

RING_FULL, LOST_ON_THE_WAY, UNIT_LEFT = 1, 2, 3


def run(*args, timeout=60):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=timeout)


def start(*args, lock_dir=None):
    env = dict(os.environ)
    if lock_dir:
        env["TRELVO_LOCK_DIR"] = lock_dir
    return subprocess.Popen([PROGRAM, *args], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)


def open_log(path):
    """A finished file opens in any reader; a killed writer's in SWMR read mode."""
    try:
        return h5py.File(path, "r")
    except OSError:
        return h5py.File(path, "r", swmr=True)


def unit_tables(group):
    return group["values"][:], group["runs"][:], group["gaps"][:]


def check_counter(test, values, runs, gaps, context=""):
    """Every run holds consecutive counter readings; within one capture (no gap
    of cause 3 between), a gap moves the counter on by exactly the readings it
    says are missing. Returns the number of rows the runs cover."""
    rows = len(values)
    test.assertTrue(rows == 0 or (len(runs) > 0 and runs[0]["first_row"] == 0), context)
    left_at = {int(g["index"]) for g in gaps if g["cause"] == UNIT_LEFT}
    anchor = None  # (row, index) of the capture's first run
    for r, run_row in enumerate(runs):
        begin = int(run_row["first_row"])
        end = int(runs[r + 1]["first_row"]) if r + 1 < len(runs) else rows
        if begin >= rows:
            break
        block = values[begin:end].astype(np.int64)
        steps = (np.diff(block, axis=0) % 4096)
        test.assertTrue(np.all(steps == 1), f"{context}: run {r} is not consecutive")
        index = int(run_row["first_index"])
        previous_end = (int(runs[r - 1]["first_index"]) + begin - int(runs[r - 1]["first_row"])
                        if r else None)
        if anchor is None or (previous_end is not None and
                              any(previous_end <= i < index for i in left_at)):
            anchor = (begin, index)
            continue
        expected = (values[anchor[0]].astype(np.int64) + index - anchor[1]) % 4096
        test.assertTrue(np.all(block[0] == expected),
                        f"{context}: run {r} does not continue the counter across its gap")
    return rows


class LogTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trelvo-log-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def assert_ok(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)

    # ---- Layout, and the export -----------------------------------------------

    def test_layout_and_export(self):
        out = self.path("two.h5")
        result = run("log", "--simulate", "12:all=counter,10:all=counter", "-u", "1,2",
                     "-c", "3,1", "-b", "100ms", "-n", "1000", "-d", "1.5s", "-o", out)
        self.assert_ok(result)
        self.assertIn("Recorded 2 units", result.stdout)
        with h5py.File(out, "r") as f:
            self.assertEqual(f.attrs["format"], "trelvo-log")
            self.assertEqual(f.attrs["format_version"], 1)
            for key in ("program_version", "library_version", "created_utc"):
                self.assertTrue(f.attrs[key])
            self.assertEqual(sorted(f.keys()), ["unit1", "unit2"])
            for name, variant in (("unit1", "TRELVO/12"), ("unit2", "TRELVO/10")):
                g = f[name]
                self.assertEqual(g.attrs["variant"], variant)
                self.assertEqual(list(g.attrs["channels"]), [3, 1])
                self.assertAlmostEqual(g.attrs["reading_interval_us"], 100.0)
                self.assertEqual(g.attrs["readings"], 1000)
                self.assertTrue(g.attrs["first_text"].startswith("SIM"))
                values, runs, gaps = unit_tables(g)
                self.assertEqual(values.dtype, np.uint16)
                # --duration is counted in readings: exactly 1.5 s of them.
                self.assertEqual(values.shape, (15000, 2))
                self.assertEqual(len(gaps), 0)
                self.assertEqual(runs[0]["first_index"], 0)
                step = 1 if variant == "TRELVO/12" else 4
                steps = np.diff(values.astype(np.int64), axis=0) % 4096
                self.assertTrue(np.all(steps == step), name)
            reference = f["unit2"]["values"][:]

        result = run("export", out, "--csv", self.path("two.csv"))
        self.assertEqual(result.returncode, 2, "two units: which one?")
        self.assertIn("-u", result.stderr)
        result = run("export", out, "--csv", self.path("two.csv"), "-u", "2")
        self.assert_ok(result)
        with open(self.path("two.csv")) as text:
            rows = list(csv.reader(text))
        self.assertEqual(rows[0], ["index", "time_us", "ch3", "ch1"])
        self.assertEqual(len(rows), 15001)
        self.assertEqual(rows[2][:2], ["1", "100"])
        exported = np.array([[int(c) for c in row[2:]] for row in rows[1:]])
        self.assertTrue(np.array_equal(exported, reference))

    def test_a_fast_unit_is_recorded_at_the_pace_it_can_give(self):
        # A fast simulated unit fills a 200,000-reading buffer in a few ms: a
        # logger that then sleeps a real-time poll spends its recording
        # asleep. Its time recording may be a few times its CPU time, no more.
        import resource
        out = self.path("fast.h5")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        result = run("log", "--simulate", "12:fast;ch1=counter", "-c", "1", "-b", "10ms",
                     "-n", "200000", "-d", "600s", "-o", out)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.assert_ok(result)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        recorded = float(result.stdout.split(" for ", 1)[1].split(" s", 1)[0])
        self.assertLessEqual(recorded, 2 * cpu + 0.3, result.stdout)
        with h5py.File(out, "r") as f:
            values, runs, gaps = unit_tables(f["unit1"])
        self.assertEqual(values.shape, (12000000, 1))  # 600 s of readings, every 50 us
        self.assertEqual(len(gaps), 0)
        self.assertTrue(np.all(np.diff(values[:, 0].astype(np.int64)) % 4096 == 1))

    def test_command_line_checks(self):
        out = self.path("x.h5")
        for args, word in ((["--rotate", "5"], "--rotate"), (["--rotate", "0MB"], "--rotate"),
                           (["--rotate", "1parsec"], "--rotate"), (["-d", "soon"], "--duration"),
                           (["-c", "12"], "channel 12"), (["-u", "1", "-u", "1"], "twice")):
            result = run("log", "--simulate", "1", "-o", out, *args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn(word, result.stderr, args)
        self.assertFalse(os.path.exists(out))
        result = run("log", "--simulate", "1", "-d", "1s", "-o", self.path("no/such/dir.h5"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot create", result.stderr)

    def test_ctrl_c_ends_cleanly_with_a_status_line_on_a_terminal(self):
        out = self.path("stopped.h5")
        try:
            master, slave = pty.openpty()
        except OSError as error:
            self.skipTest(f"no pseudo-terminal here: {error}")
        process = subprocess.Popen([PROGRAM, "log", "--simulate", "12:all=counter", "-c", "1",
                                    "-n", "20000", "-o", out], stdout=subprocess.PIPE,
                                   stderr=slave, text=True)
        os.close(slave)
        seen = b""
        deadline = time.monotonic() + 30
        while b"readings" not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 1)
            if ready:
                seen += os.read(master, 4096)
        time.sleep(1)
        process.send_signal(signal.SIGINT)
        stdout, _ = process.communicate(timeout=30)
        os.close(master)
        self.assertEqual(process.returncode, 0)
        self.assertIn(b"recording [", seen)
        self.assertIn(b"(Ctrl-C stops)", seen)
        self.assertIn("stopped by Ctrl-C", stdout)
        with h5py.File(out, "r") as f:  # closed: opens in any reader
            values, runs, gaps = unit_tables(f["unit1"])
        self.assertGreater(len(values), 10000)
        check_counter(self, values, runs, gaps, out)
        self.assertIn(f"{len(values)} readings per channel", stdout)

    # ---- Crashes ---------------------------------------------------------------

    def test_sigkill_at_random_moments(self):
        """20 recordings killed at random moments: every file opens, its
        readings are the counter's, and at most about the last second is
        missing."""
        rng = random.Random(18)
        rate = 10000  # readings per channel per second
        done = 0
        while done < 20:
            batch = []
            for k in range(4):  # side by side: each has its own lock directory
                name = self.path(f"kill{done + k}.h5")
                locks = tempfile.mkdtemp(dir=self.dir)
                p = start("log", "--simulate", "12:all=counter", "-c", "1,2", "-b", "400ms",
                          "-n", "4000", "-o", name, "-q", lock_dir=locks)
                batch.append((p, name, rng.uniform(0.05, 2.5)))
            created = {}
            deadline = time.monotonic() + 30
            pending = list(batch)
            while pending and time.monotonic() < deadline:
                for item in list(pending):
                    p, name, delay = item
                    if name not in created and os.path.exists(name):
                        created[name] = time.monotonic()
                    if name in created and time.monotonic() >= created[name] + delay:
                        p.send_signal(signal.SIGKILL)
                        created[name] = (created[name], time.monotonic())
                        pending.remove(item)
                time.sleep(0.005)
            self.assertFalse(pending, "every recording created its file")
            for p, name, delay in batch:
                p.wait(10)
                self.assertEqual(p.returncode, -signal.SIGKILL)
                with open_log(name) as f:
                    self.assertEqual(f.attrs["format"], "trelvo-log")
                    values, runs, gaps = unit_tables(f["unit1"])
                    rows = check_counter(self, values, runs, gaps, name)
                    self.assertEqual(len(gaps), 0, name)
                    born, killed = created[name]
                    # Opening and starting the stream take part of the time
                    # between the file's creation and the kill.
                    self.assertGreaterEqual(rows, rate * (killed - born - 1.0) - 1000, name)
                    self.assertLessEqual(rows, rate * (killed - born) + 1000, name)
                result = run("export", name, "--csv", name + ".csv")
                self.assert_ok(result)
            done += len(batch)

    def test_torn_and_damaged_files_never_crash_export(self):
        out = self.path("whole.h5")
        self.assert_ok(run("log", "--simulate", "12:all=counter", "-d", "0.5s", "-n", "2000",
                           "-o", out))
        data = open(out, "rb").read()
        rng = random.Random(7)
        cases = [data[:n] for n in sorted(rng.sample(range(len(data)), 25))]
        for _ in range(30):
            damaged = bytearray(data)
            for _ in range(rng.choice((1, 4, 32))):
                damaged[rng.randrange(min(len(damaged), 8192))] ^= 1 << rng.randrange(8)
            cases.append(bytes(damaged))
        cases.append(b"")
        cases.append(b"\x89HDF\r\n\x1a\n" + b"\xff" * 4096)
        broken = self.path("broken.h5")
        for n, case in enumerate(cases):
            with open(broken, "wb") as f:
                f.write(case)
            result = run("export", broken, "--csv", self.path("broken.csv"), timeout=30)
            self.assertIn(result.returncode, (0, 1), f"case {n}: {result.stderr[-300:]}")
            if result.returncode == 1:
                self.assertIn("trelvo: cannot", result.stderr, f"case {n}")

    # ---- Rotation ----------------------------------------------------------------

    def test_rotation_by_time_and_size(self):
        for rotate, files in (("1s", 3), ("100kB", 3)):
            out = self.path(f"rot{rotate}.h5")
            result = run("log", "--simulate", "12:all=counter", "-c", "1", "-b", "50ms",
                         "-n", "2000", "-d", "3.5s", "--rotate", rotate, "-o", out)
            self.assert_ok(result)
            names = sorted(glob.glob(self.path(f"rot{rotate}-*.h5")))
            self.assertGreaterEqual(len(names), files, rotate)
            next_index, previous = 0, None
            for number, name in enumerate(names, 1):
                with h5py.File(name, "r") as f:  # every file closed and complete
                    self.assertEqual(f.attrs["file_number"], number)
                    g = f["unit1"]
                    self.assertEqual(list(g.attrs["channels"]), [1])
                    values, runs, gaps = unit_tables(g)
                    check_counter(self, values, runs, gaps, name)
                    self.assertEqual(runs[0]["first_index"], next_index, name)
                    if previous is not None:
                        self.assertEqual((int(values[0, 0]) - previous - 1) % 4096, 0,
                                         "the counter goes on in the next file")
                    next_index += len(values)
                    previous = int(values[-1, 0])
                    if rotate == "100kB" and number < len(names):
                        self.assertLess(os.path.getsize(name), 100000 + 200000)
            self.assertEqual(next_index, 70000, rotate)

    # ---- A pulled cable --------------------------------------------------------

    def test_unplug_and_replug(self):
        out = self.path("cable.h5")
        result = run("log", "--simulate", "12:all=counter;unplug=2500;replug=800", "-c", "1,2",
                     "-b", "100ms", "-n", "4000", "-d", "8s", "-o", out, timeout=90)
        self.assert_ok(result)
        self.assertIn("left the bus", result.stderr)
        self.assertIn("is back", result.stderr)
        self.assertIn("1 reconnect", result.stdout)
        with h5py.File(out, "r") as f:
            values, runs, gaps = unit_tables(f["unit1"])
        self.assertEqual([int(g["cause"]) for g in gaps], [UNIT_LEFT])
        self.assertEqual(len(runs), 2)
        gap = gaps[0]
        self.assertEqual(runs[1]["first_index"], gap["index"] + gap["readings_missed"])
        self.assertEqual(gap["index"], runs[1]["first_row"], "no gap before the unplug")
        # Away 0.8 s plus the time to notice and to open the unit again.
        self.assertGreater(gap["readings_missed"], 0.8 * 10000)
        self.assertLess(gap["readings_missed"], 5 * 10000)
        check_counter(self, values, runs, gaps, out)
        self.assertGreater(len(values) - runs[1]["first_row"], 10000, "recorded after the return")
        self.assertGreaterEqual(runs[1]["utc_ns"] - runs[0]["utc_ns"],
                                int(gap["index"] * 100e3 + 0.8e9))

    # ---- A full disk -------------------------------------------------------------

    def test_full_disk(self):
        mount = self.path("small")
        os.mkdir(mount)
        try:
            subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", mount],
                           check=True, capture_output=True, timeout=20)
        except (OSError, subprocess.SubprocessError) as e:
            self.skipTest(f"cannot mount a small tmpfs here ({e}): the full disk is not tested")
        try:
            # Written as they come, and with a buffer larger than the space
            # left: then the first write does not fit whole, and the rows
            # that fit are still written.
            for readings in ("100000", "2000000"):
                with self.subTest(readings=readings):
                    out = os.path.join(mount, "full.h5")
                    result = run("log", "--simulate", "12:fast;all=counter", "-c", "1", "-b",
                                 "50ms", "-n", readings, "-o", out, timeout=120)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn("disk full", result.stderr)
                    self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
                    with h5py.File(out, "r") as f:  # closed cleanly, opens anywhere
                        values, runs, gaps = unit_tables(f["unit1"])
                    self.assertGreater(len(values), 500000)
                    check_counter(self, values, runs, gaps, out)
                    self.assert_ok(run("export", out, "--csv", self.path("full.csv")))
                    os.remove(out)
        finally:
            subprocess.run(["umount", mount], capture_output=True, timeout=20)


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "--program":
        sys.exit(__doc__)
    PROGRAM = os.path.abspath(sys.argv[2])
    try:
        unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
    finally:
        shutil.rmtree(LOCK_DIR, ignore_errors=True)
