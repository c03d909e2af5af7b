#!/usr/bin/env python3
"""trelvo serve: latency, server CPU and memory per client at 20,000 readings
a second (one channel, 50 us apart, on a simulated unit), and the frames a
second headless Chromium draws.

    /usr/bin/python3 bench/serve_bench.py [path/to/trelvo]

Latency is the time from the host time of the newest reading a frame covers
(its header) to the frame's arrival at a client on this machine. The server's
CPU counts the process (library and simulated unit included); the figure
with no client is printed too, so the share of the clients can be read off.
"""
import json
import os
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "serve"))
import serve_fixture  # noqa: E402

if len(sys.argv) > 1:
    serve_fixture.PROGRAM = sys.argv[1]
RUN = {"type": "run", "unit": 1, "method": "stream", "channels": [1], "block_time_us": 50000,
       "readings": 1000, "trigger": None}
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_kib(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def reader(client, stop, latencies=None):
    while not stop.is_set():
        try:
            m = client.next(timeout=1)
        except Exception:
            continue
        if latencies is not None and "minmax" in m:
            latencies.append(m["received"] - m["newest"])


def cpu_share(pid, seconds):
    c0, t0 = cpu_seconds(pid), time.time()
    time.sleep(seconds)
    return 100 * (cpu_seconds(pid) - c0) / (time.time() - t0)


def main():
    tmp = Path(tempfile.mkdtemp())
    server = serve_fixture.Server(tmp, "12:ch1=sine(2048,1800,50hz)")
    pid = server.process.pid
    try:
        control = serve_fixture.Client(server)
        control.send(RUN)
        control.text("status", where=lambda m: m["state"] == "running")
        control.close()
        time.sleep(1)
        base_cpu = cpu_share(pid, 5)
        base_rss = rss_kib(pid)

        stop = threading.Event()
        latencies = []
        clients = [serve_fixture.Client(server)]
        threads = [threading.Thread(target=reader, args=(clients[0], stop, latencies))]
        threads[0].start()
        time.sleep(1)
        latencies.clear()
        one_cpu = cpu_share(pid, 10)
        lat = sorted(latencies)
        for _ in range(3):
            c = serve_fixture.Client(server)
            clients.append(c)
            threads.append(threading.Thread(target=reader, args=(c, stop)))
            threads[-1].start()
        time.sleep(1)
        four_cpu = cpu_share(pid, 10)
        four_rss = rss_kib(pid)
        for _ in range(12):
            c = serve_fixture.Client(server)
            clients.append(c)
            threads.append(threading.Thread(target=reader, args=(c, stop)))
            threads[-1].start()
        time.sleep(2)
        sixteen_rss = rss_kib(pid)
        stop.set()
        for t in threads:
            t.join()
        for c in clients:
            c.close()

        fps = browser_fps(server)
    finally:
        server.stop()

    print(f"readings: 20000 a second (1 channel, 50 us apart), frames: {len(lat) / 10:.1f} a second")
    print(f"latency: median {1e3 * statistics.median(lat):.1f} ms, "
          f"p99 {1e3 * lat[int(0.99 * (len(lat) - 1))]:.1f} ms, max {1e3 * lat[-1]:.1f} ms "
          f"({len(lat)} frames)")
    print(f"server CPU (% of one core): no client {base_cpu:.1f}, one client {one_cpu:.1f}, "
          f"four clients {four_cpu:.1f}")
    print(f"memory: RSS {base_rss} KiB with no client, {four_rss} KiB with four, "
          f"{sixteen_rss} KiB with sixteen: {(sixteen_rss - four_rss) / 12:.0f} KiB a client")
    print(f"headless Chromium: {fps} frames drawn a second" if fps is not None
          else "headless Chromium: not measured (does not start here)")


def browser_fps(server):
    try:
        import test_browser
        driver = test_browser.browser()
    except Exception as e:  # no Chromium here
        print("browser:", str(e).splitlines()[0])
        return None
    try:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 1280, "height": 720, "deviceScaleFactor": 1,
                                "mobile": False})
        driver.get(server.url)
        test_browser.wait(driver, "return trelvoView.connected && trelvoView.units.length > 0")
        test_browser.setup_run(driver, channels=(1,), block_time=50000, readings=1000)
        driver.find_element(test_browser.By.ID, "run").click()
        time.sleep(2)
        d0, t0 = driver.execute_script("return trelvoView.draws"), time.time()
        time.sleep(5)
        d1, t1 = driver.execute_script("return trelvoView.draws"), time.time()
        return round((d1 - d0) / (t1 - t0), 1)
    finally:
        driver.quit()


if __name__ == "__main__":
    main()
