"""The live view in headless Chromium: traces of known signals, the controls'
effect on the unit, a screenshot with traces, two browsers, a stalled client."""
import base64
import json
import os
import socket
import time

import h5py
import pytest

selenium = pytest.importorskip("selenium")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

SIGNALS = "12:ch1=counter;ch2=dc(1000);ch3=sine(2048,1500,20hz)"
ARTEFACTS = os.environ.get("TRELVO_SERVE_ARTEFACTS", "")


def browser():
    options = webdriver.ChromeOptions()
    for argument in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1280,720", "--force-device-scale-factor=1",
                     "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                     "--disable-backgrounding-occluded-windows"]:
        options.add_argument(argument)
    driver = os.environ.get("TRELVO_CHROMEDRIVER", "/usr/bin/chromedriver")
    return webdriver.Chrome(service=Service(driver), options=options)


@pytest.fixture
def browsers():
    started = []

    def start(url):
        driver = browser()
        started.append(driver)
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {"width": 1280, "height": 720, "deviceScaleFactor": 1, "mobile": False})
        driver.get(url)
        wait(driver, "return trelvoView.connected && trelvoView.units.length > 0")
        return driver

    yield start
    for driver in started:
        driver.quit()


def wait(driver, script, timeout=10):
    end = time.time() + timeout
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"not within {timeout} s: {script}")


def model(driver, expression):
    return driver.execute_script("return JSON.parse(JSON.stringify(" + expression + "))")


def set_value(driver, element_id, value):
    element = driver.find_element(By.ID, element_id)
    element.clear()
    element.send_keys(str(value))


def setup_run(driver, method="stream", channels=(1, 2, 3), block_time=200000, readings=1000):
    for c in range(1, 12):
        box = driver.find_element(By.ID, f"ch{c}On")
        if box.is_selected() != (c in channels):
            box.click()
    Select(driver.find_element(By.ID, "method")).select_by_value(method)
    set_value(driver, "blockTime", block_time)
    set_value(driver, "readings", readings)


def last_frame(driver):
    return model(driver, "{f: trelvoView.lastFrame, n: trelvoView.frames}")


def is_counter(values):
    """True when `values` are consecutive readings of a counter that steps once
    a conversion, each reading the average of the same number of conversions
    (so the reading across the wrap is about 2047, between 4095 and 0)."""
    diffs = [(b - a) % 4096 for a, b in zip(values, values[1:])]
    step = max(set(diffs), key=diffs.count)
    if step == 0:
        return False

    def reading(raw, i):
        return sum((raw + step * i + j) % 4096 for j in range(step)) // step

    head = values[:16]
    starts = [r for r in range(4096) if all(reading(r, i) == v for i, v in enumerate(head))]
    return len(starts) == 1 and all(reading(starts[0], i) == v for i, v in enumerate(values))


def frame_values(frame, column):
    lo = frame["min"][column]
    return [lo[str(i)] for i in range(len(lo))] if isinstance(lo, dict) else lo


def test_traces_of_known_signals_appear_with_their_values_and_move(serve, browsers):
    server = serve(SIGNALS)
    driver = browsers(server.url)
    assert "SIM00000" in driver.find_element(By.ID, "identity").text
    setup_run(driver)
    driver.find_element(By.ID, "run").click()
    wait(driver, "return trelvoView.frames > 10")
    frame = last_frame(driver)["f"]
    assert frame["channels"] == 3 and frame["intervalUs"] == pytest.approx(200, rel=0.01)
    assert is_counter(frame_values(frame, 0))  # counts evenly, reading after reading
    assert set(frame_values(frame, 1)) == {1000}
    time.sleep(0.6)
    m = model(driver, "trelvoView.measurements")
    assert m["2"]["min"] == 1000 and m["2"]["max"] == 1000
    assert 548 <= m["3"]["min"] <= 600 and 3500 <= m["3"]["max"] <= 3548
    assert m["3"]["frequency"] == pytest.approx(20, rel=0.1)
    assert m["3"]["mean"] == pytest.approx(2048, abs=60)
    # The traces move: the newest reading's index grows, and the picture changes.
    first = driver.execute_script("return trelvoView.expectedIndex")
    picture = driver.execute_script("return document.getElementById('chart').toDataURL()")
    time.sleep(0.5)
    assert driver.execute_script("return trelvoView.expectedIndex") > first + 1500
    assert driver.execute_script("return document.getElementById('chart').toDataURL()") != picture
    # Channel scale and offset map readings to user units.
    rows = driver.find_elements(By.CSS_SELECTOR, "#channels tr")
    inputs = rows[2].find_elements(By.TAG_NAME, "input")  # channel 2
    inputs[3].clear(); inputs[3].send_keys("-1")
    inputs[4].clear(); inputs[4].send_keys("0.001")
    time.sleep(0.3)
    assert model(driver, "trelvoView.measurements")["2"]["mean"] == pytest.approx(0.0)
    # A screenshot with traces, kept as an artefact.
    path = os.path.join(ARTEFACTS or os.path.dirname(server.command_log), "serve-browser.png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    driver.save_screenshot(path)
    import matplotlib.image
    pixels = matplotlib.image.imread(path)[:, :, :3]
    for colour in ["#1f77b4", "#2ca02c"]:  # channels 1 and 3
        rgb = [int(colour[i:i + 2], 16) / 255 for i in (1, 3, 5)]
        close = (abs(pixels - rgb).max(axis=2) < 0.08).sum()
        assert close > 500, (colour, close)


def test_run_stop_single_and_trigger_controls_change_what_the_unit_does(serve, browsers):
    server = serve(SIGNALS)
    driver = browsers(server.url)
    setup_run(driver, channels=(3,))
    driver.find_element(By.ID, "run").click()
    wait(driver, "return trelvoView.frames > 3")
    assert server.starts()[-1][1] == [3]  # the unit scans channel 3
    driver.find_element(By.ID, "stop").click()
    wait(driver, "return trelvoView.status[1].state === 'stopped'")
    starts, frames = len(server.starts()), driver.execute_script("return trelvoView.frames")
    assert server.commands()[-1][0] != 1  # the last command stopped the sampling
    time.sleep(0.5)
    assert driver.execute_script("return trelvoView.frames") == frames
    assert len(server.starts()) == starts
    # Single: one block, then stopped.
    setup_run(driver, method="block", channels=(3,), block_time=50000, readings=500)
    driver.find_element(By.ID, "single").click()
    wait(driver, "return trelvoView.sweep && trelvoView.status[1].state === 'stopped'")
    assert len(server.starts()) == starts + 1
    time.sleep(0.3)
    assert len(server.starts()) == starts + 1
    # The trigger on channel 5 (not shown) puts channel 5 into the unit's scan.
    driver.find_element(By.ID, "trigOn").click()
    set_value(driver, "trigChannel", 5)
    driver.find_element(By.ID, "run").click()
    # A repeating triggered block is "running" only between a block's arrival
    # and the next wait for the trigger, so either state shows it started.
    wait(driver, "return ['running', 'waiting for trigger'].includes(trelvoView.status[1].state)")
    assert len(server.starts()) >= starts + 2
    assert sorted(server.starts()[-1][1]) == [3, 5]
    # A sine on channel 3, trigger there, delay -50: the marker sits mid-sweep
    # and the sweep crosses the level at the trigger.
    set_value(driver, "trigChannel", 3)
    set_value(driver, "trigDelay", -50)
    driver.find_element(By.ID, "trigLevel").click()  # blur: the change applies
    wait(driver, "return trelvoView.sweepInfo && trelvoView.sweepInfo.first_time_us < -20000")
    assert server.starts()[-1][1] == [3]
    # Dragging the level line changes the threshold and restarts the capture.
    before = len(server.starts())
    canvas = driver.find_element(By.ID, "chart")
    y = driver.execute_script(
        "const c = document.getElementById('chart'); const r = c.getBoundingClientRect();"
        "return (10 + 0.5 * (c.height - 38)) * r.height / c.height;")  # level 2048: mid-height
    ActionChains(driver).move_to_element_with_offset(canvas, 0, int(y - canvas.size["height"] / 2)) \
        .click_and_hold().move_by_offset(0, -60).release().perform()
    level = int(driver.find_element(By.ID, "trigLevel").get_attribute("value"))
    assert level > 2300
    wait(driver, f"return {len(server.starts())} > {before} || true")
    time.sleep(0.5)
    assert len(server.starts()) > before
    driver.find_element(By.ID, "stop").click()


def test_two_browsers_and_a_stalled_client(serve, browsers):
    server = serve(SIGNALS)
    one = browsers(server.url)
    setup_run(one)
    one.find_element(By.ID, "run").click()
    wait(one, "return trelvoView.frames > 5")
    # A stalled client: it asks for frames, then never reads.
    stalled = socket.create_connection(("127.0.0.1", server.port))
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    key = base64.b64encode(os.urandom(16)).decode()
    stalled.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
                     "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                     f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
    two = browsers(server.url)
    # The second browser shows the same running capture without pressing Run.
    two.execute_script("trelvoView.run = %s" % json.dumps(
        {"method": "stream", "channels": [1, 2, 3], "trigger": None}))
    wait(two, "return trelvoView.frames > 5")
    time.sleep(1.0)
    a0, b0 = [d.execute_script("return trelvoView.frames") for d in (one, two)]
    time.sleep(2.0)
    a1, b1 = [d.execute_script("return trelvoView.frames") for d in (one, two)]
    assert a1 - a0 > 20 and b1 - b0 > 20  # both still at 10 or more frames a second
    assert one.execute_script("return trelvoView.lostReadings") == 0
    assert one.execute_script("return trelvoView.fps") >= 10
    stalled.close()


FRAME = """
const [first, covered, flags, value] = arguments;
const buffer = new ArrayBuffer(48 + covered * 4), v = new DataView(buffer);
[84, 82, 76, 86].forEach((b, i) => v.setUint8(i, b));
v.setUint16(4, 1, true); v.setUint16(6, 1, true); v.setUint16(8, 1, true);
v.setUint16(10, flags, true); v.setUint32(12, covered, true);
v.setBigUint64(16, BigInt(first), true); v.setBigUint64(24, BigInt(covered), true);
v.setFloat64(32, 1000, true); v.setFloat64(40, Date.now() / 1000, true);
for (let b = 0; b < covered; b++) { v.setUint16(48 + 4 * b, value, true); v.setUint16(50 + 4 * b, value, true); }
trelvoView.receive(buffer);
"""


def test_lost_readings_show_as_a_marked_gap_with_their_count(serve, browsers):
    server = serve("1")
    driver = browsers(server.url)
    driver.execute_script("trelvoView.run = {method: 'stream', channels: [1], trigger: null}")
    driver.execute_script(FRAME, 0, 500, 0, 1000)
    driver.execute_script(FRAME, 700, 500, 2, 3000)  # 200 lost at the unit
    driver.execute_script(FRAME, 1500, 300, 0, 2000)  # 300 skipped: this page was slow
    time.sleep(0.3)
    assert driver.execute_script("return trelvoView.lostReadings") == 200
    assert driver.execute_script("return trelvoView.skippedReadings") == 300
    assert model(driver, "trelvoView.gaps") == [{"from": 500, "to": 700, "lost": 200}]
    # The gap is shaded red on the chart, 200 of 1800 readings wide.
    red = driver.execute_script("""
        const c = document.getElementById('chart'), d = c.getContext('2d')
            .getImageData(0, 0, c.width, c.height).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4)
            if (d[i] > 240 && d[i + 1] > 200 && d[i + 1] < 225 && d[i + 2] > 200 && d[i + 2] < 225) n++;
        return n;""")
    assert red > 2000


def test_record_button_shows_the_file_and_its_size(serve, browsers, tmp_path):
    server = serve(SIGNALS)
    driver = browsers(server.url)
    setup_run(driver, channels=(1, 3))
    driver.find_element(By.ID, "run").click()
    wait(driver, "return trelvoView.frames > 5")
    button = driver.find_element(By.ID, "record")
    assert button.text == "Record"
    button.click()
    info = driver.find_element(By.ID, "recordInfo")
    wait(driver, "return trelvoView.recording.on && trelvoView.recording.bytes > 0")
    name = model(driver, "trelvoView.recording")["file"]
    assert name.startswith("trelvo-") and name in info.text and "(recording)" in info.text
    assert button.text == "Stop recording"
    # The size shown grows while it records.
    grown = model(driver, "trelvoView.recording")["bytes"] + 20000
    wait(driver, f"return trelvoView.recording.bytes > {grown}")
    button.click()
    wait(driver, "return !trelvoView.recording.on")
    final = model(driver, "trelvoView.recording")
    path = os.path.join(tmp_path, name)
    assert final["file"] == name and final["bytes"] == os.path.getsize(path)
    assert "(closed)" in info.text and f"{final['bytes'] / 1e3:.1f} kB" in info.text
    assert button.text == "Record"
    with h5py.File(path, "r") as f:
        assert list(f["unit1"].attrs["channels"]) == [1, 3]
        counter = [int(v) for v in f["unit1"]["values"][:, 0]]
    assert len(counter) > 1000 and is_counter(counter)  # no reading missing
