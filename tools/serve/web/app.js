// Trelvo live view: talks to trelvo serve over one WebSocket (JSON control
// messages, binary TRLV frames of min/max buckets) and draws on one canvas.
// The data the chart shows is kept in window.trelvoView (tests read it).
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf",
                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#000000"];
  const token = new URLSearchParams(location.search).get("token");
  const withToken = (path) => token ? path + "?token=" + encodeURIComponent(token) : path;

  const model = {
    connected: false, units: [], drawMs: 0, animationFrames: 0, unit: 0, status: {}, frames: 0, draws: 0, fps: 0,
    lastFrame: null, history: [], sweep: null, sweepInfo: null, run: null, lostReadings: 0,
    gaps: [], skippedReadings: 0, expectedIndex: null, errors: [], viewMode: "time", cursors: [null, null],
    measurements: {},
  };
  window.trelvoView = model;
  model.receive = (buffer) => onFrame(buffer);  // a frame as if from the server (tests)

  // Channel settings: enable, colour, name, offset and scale to user units.
  const channels = [];
  for (let c = 1; c <= 11; c++)
    channels.push({ channel: c, on: c <= 2, colour: COLOURS[c - 1], name: "ch" + c, offset: 0,
                    scale: 1 });
  const toUser = (ch, v) => channels[ch - 1].offset + channels[ch - 1].scale * v;

  function buildChannelTable() {
    const table = $("channels");
    table.innerHTML = "<tr><th></th><th>#</th><th>name</th><th>offset</th><th>scale</th></tr>";
    for (const s of channels) {
      const row = document.createElement("tr");
      row.innerHTML = `<td><input type="checkbox" ${s.on ? "checked" : ""}></td>` +
        `<td>${s.channel} <input type="color" value="${s.colour}" title="colour"></td>` +
        `<td><input type="text" value="${s.name}"></td>` +
        `<td><input class="num" type="number" step="any" value="${s.offset}"></td>` +
        `<td><input class="num" type="number" step="any" value="${s.scale}"></td>`;
      const inputs = row.querySelectorAll("input");
      inputs[0].id = "ch" + s.channel + "On";
      inputs[0].onchange = () => { s.on = inputs[0].checked; };
      inputs[1].oninput = () => { s.colour = inputs[1].value; dirty = true; };
      inputs[2].oninput = () => { s.name = inputs[2].value; dirty = true; };
      inputs[3].oninput = () => { s.offset = Number(inputs[3].value) || 0; dirty = true; };
      inputs[4].oninput = () => { s.scale = Number(inputs[4].value) || 1; dirty = true; };
      table.appendChild(row);
    }
  }

  // ---- connection ----
  let socket = null;
  function send(message) {
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }
  function showError(text) {
    model.errors.push(text);
    if (model.errors.length > 5) model.errors.shift();
    $("errors").textContent = model.errors.join("\n");
  }
  function connect() {
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    socket = new WebSocket(scheme + location.host + withToken("/ws"));
    socket.binaryType = "arraybuffer";
    socket.onopen = () => { model.connected = true; sendView(); showState(); };
    socket.onclose = () => {
      model.connected = false; showState();
      setTimeout(connect, 1000);
    };
    socket.onmessage = (event) => {
      if (typeof event.data === "string") onText(JSON.parse(event.data));
      else onFrame(event.data);
    };
  }
  function sendView() {
    const sweeps = model.run && model.run.method !== "stream";
    const readings = Number($("readings").value) || 1000;
    send({ type: "view", buckets: sweeps ? Math.min(4096, readings) : 1000 });
  }

  function onText(m) {
    if (m.type === "status") {
      model.status[m.unit] = m;
      showState();
      showRecording();
    } else if (m.type === "error") {
      showError(m.message);
    } else if (m.type === "sweep") {
      model.sweepInfo = m;
    }
  }

  function showState() {
    const el = $("state");
    if (!model.connected) { el.textContent = "not connected (retrying)"; return; }
    const s = model.status[model.unit];
    if (!s) { el.textContent = "connected"; return; }
    const rate = s.interval_us > 0 ? Math.round(1e6 / s.interval_us) : 0;
    let text = `unit ${s.unit}: ${s.state}`;
    if (s.state !== "stopped" || s.taken) text += `, ${s.method}, ${rate} readings/s, ` +
        `${s.taken} taken, ${Math.max(s.lost, model.lostReadings)} lost`;
    if (s.message) text += ` — ${s.message}`;
    el.textContent = text;
  }

  // The Record button and the recording's file: its name and size (growing
  // while it records, final once closed), from the unit's status.
  function sizeText(bytes) {
    if (bytes < 10000) return `${bytes} B`;
    if (bytes < 10e6) return `${(bytes / 1e3).toFixed(1)} kB`;
    if (bytes < 10e9) return `${(bytes / 1e6).toFixed(1)} MB`;
    return `${(bytes / 1e9).toFixed(2)} GB`;
  }
  function showRecording() {
    const s = model.status[model.unit];
    model.recording = s ? { on: !!s.recording, file: s.file || "", bytes: s.bytes || 0 }
                        : { on: false, file: "", bytes: 0 };
    const r = model.recording;
    $("record").textContent = r.on ? "Stop recording" : "Record";
    $("record").classList.toggle("recording", r.on);
    $("recordInfo").textContent = !r.file ? "" :
      `${r.file}, ${sizeText(r.bytes)}` + (r.on ? " (recording)" : " (closed)");
  }

  // ---- frames ----
  function parseFrame(buffer) {
    const v = new DataView(buffer);
    if (buffer.byteLength < 48 || v.getUint8(0) !== 84 || v.getUint8(1) !== 82 ||
        v.getUint8(2) !== 76 || v.getUint8(3) !== 86 || v.getUint16(4, true) !== 1) return null;
    const f = {
      unit: v.getUint16(6, true), channels: v.getUint16(8, true), flags: v.getUint16(10, true),
      buckets: v.getUint32(12, true), firstIndex: Number(v.getBigUint64(16, true)),
      covered: Number(v.getBigUint64(24, true)), intervalUs: v.getFloat64(32, true),
      newestUtc: v.getFloat64(40, true), min: [], max: [], received: Date.now() / 1000,
    };
    if (buffer.byteLength !== 48 + f.channels * f.buckets * 4) return null;
    const pairs = new Uint16Array(buffer, 48);
    for (let c = 0; c < f.channels; c++) {
      const lo = new Uint16Array(f.buckets), hi = new Uint16Array(f.buckets);
      for (let b = 0; b < f.buckets; b++) {
        lo[b] = pairs[2 * (c * f.buckets + b)];
        hi[b] = pairs[2 * (c * f.buckets + b) + 1];
      }
      f.min.push(lo); f.max.push(hi);
    }
    return f;
  }

  function onFrame(buffer) {
    const f = parseFrame(buffer);
    if (!f || f.unit !== model.unit) return;
    model.frames++;
    model.lastFrame = f;
    if (f.flags & 1) {
      model.sweep = f;
    } else {
      // An index jump with flag bit 1: readings lost at the unit (a marked
      // gap and its count). Without the flag this page read too slowly and
      // the server skipped frames for it (newest wins): a plain hole.
      if (model.expectedIndex !== null && f.firstIndex > model.expectedIndex) {
        const missing = f.firstIndex - model.expectedIndex;
        if (f.flags & 2) {
          model.lostReadings += missing;
          model.gaps.push({ from: model.expectedIndex, to: f.firstIndex, lost: missing });
        } else {
          model.skippedReadings += missing;
        }
      }
      model.expectedIndex = f.firstIndex + f.covered;
      model.history.push(f);
      const windowReadings = rollWindowReadings(f.intervalUs);
      const oldest = model.expectedIndex - windowReadings;
      while (model.history.length && model.history[0].firstIndex + model.history[0].covered < oldest)
        model.history.shift();
      while (model.gaps.length && model.gaps[0].to < oldest) model.gaps.shift();
    }
    dirty = true;
  }
  const rollWindowReadings = (intervalUs) =>
    Math.max(1, Math.round((Number($("rollWindow").value) || 2) * 1e6 / intervalUs));

  // ---- what the view shows: buckets with times (s) ----
  // Returns {t0, t1, series: [{channel, t[], lo[], hi[]}], triggerT}
  function viewData() {
    const run = model.run;
    if (!run) return null;
    const out = { series: [], triggerT: null };
    if (run.method === "stream") {
      if (!model.history.length) return null;
      const last = model.history[model.history.length - 1];
      const dt = last.intervalUs / 1e6;
      const newest = last.firstIndex + last.covered;
      const win = rollWindowReadings(last.intervalUs);
      out.t0 = -win * dt; out.t1 = 0;
      run.channels.forEach((ch, c) => {
        const s = { channel: ch, t: [], lo: [], hi: [] };
        for (const f of model.history) {
          for (let b = 0; b < f.buckets; b++) {
            const from = f.firstIndex + Math.floor(b * f.covered / f.buckets);
            const to = f.firstIndex + Math.floor((b + 1) * f.covered / f.buckets);
            const t = ((from + to - 1) / 2 - newest) * dt;
            if (t < out.t0) continue;
            s.t.push(t); s.lo.push(f.min[c][b]); s.hi.push(f.max[c][b]);
          }
        }
        out.series.push(s);
      });
      out.gaps = model.gaps.map((g) => ({ t0: (g.from - newest) * dt, t1: (g.to - newest) * dt,
                                          lost: g.lost }));
    } else {
      const f = model.sweep;
      if (!f) return null;
      const dt = f.intervalUs / 1e6;
      const first = model.sweepInfo ? model.sweepInfo.first_time_us / 1e6 : 0;
      out.t0 = first; out.t1 = first + f.covered * dt;
      if (run.trigger) out.triggerT = 0;
      run.channels.forEach((ch, c) => {
        const s = { channel: ch, t: [], lo: [], hi: [] };
        for (let b = 0; b < f.buckets; b++) {
          const from = Math.floor(b * f.covered / f.buckets);
          const to = Math.floor((b + 1) * f.covered / f.buckets);
          s.t.push(first + (from + to - 1) / 2 * dt); s.lo.push(f.min[c][b]); s.hi.push(f.max[c][b]);
        }
        out.series.push(s);
      });
      out.gaps = [];
    }
    return out;
  }

  function measure(s) {
    const n = s.t.length;
    if (!n) return null;
    const scale = channels[s.channel - 1];
    let lo = Infinity, hi = -Infinity, sum = 0, sq = 0;
    const mid = new Float64Array(n);
    for (let i = 0; i < n; i++) {
      lo = Math.min(lo, s.lo[i]); hi = Math.max(hi, s.hi[i]);
      mid[i] = (s.lo[i] + s.hi[i]) / 2; sum += mid[i]; sq += mid[i] * mid[i];
    }
    const mean = sum / n;
    // Frequency from rising crossings of the mean, with 10 % hysteresis.
    const hyst = (hi - lo) * 0.1;
    let armed = false, firstT = null, lastT = null, crossings = 0;
    for (let i = 0; i < n; i++) {
      if (mid[i] < mean - hyst) armed = true;
      else if (armed && mid[i] > mean + hyst) {
        armed = false; crossings++;
        if (firstT === null) firstT = s.t[i];
        lastT = s.t[i];
      }
    }
    const freq = crossings >= 2 && lastT > firstT ? (crossings - 1) / (lastT - firstT) : null;
    const u = (v) => scale.offset + scale.scale * v;
    // RMS of the values in user units: mean of (offset + scale*v)^2.
    const rms = Math.sqrt(Math.max(0, scale.offset * scale.offset + 2 * scale.offset * scale.scale * mean +
                                   scale.scale * scale.scale * sq / n));
    return { min: Math.min(u(lo), u(hi)), max: Math.max(u(lo), u(hi)), mean: u(mean), rms,
             pp: Math.abs(scale.scale) * (hi - lo), frequency: freq, rawMin: lo, rawMax: hi, rawMean: mean };
  }

  // ---- drawing ----
  const canvas = $("chart");
  const ctx = canvas.getContext("2d");
  const M = { l: 60, r: 10, t: 10, b: 28 };
  let dirty = true;
  let yRange = [0, 4095];
  let xRange = [0, 1];
  const plotW = () => canvas.width - M.l - M.r;
  const plotH = () => canvas.height - M.t - M.b;
  const xOf = (t) => M.l + (t - xRange[0]) / (xRange[1] - xRange[0]) * plotW();
  const yOf = (v) => M.t + (1 - (v - yRange[0]) / (yRange[1] - yRange[0])) * plotH();
  const tOf = (x) => xRange[0] + (x - M.l) / plotW() * (xRange[1] - xRange[0]);
  const vOf = (y) => yRange[0] + (1 - (y - M.t) / plotH()) * (yRange[1] - yRange[0]);

  function axes(xLabel, yLabel, xfmt) {
    ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, canvas.width, canvas.height);
    ctx.strokeStyle = "#e5e7eb"; ctx.fillStyle = "#555"; ctx.font = "11px sans-serif";
    ctx.lineWidth = 1;
    for (let i = 0; i <= 10; i++) {
      const x = M.l + i * plotW() / 10, y = M.t + i * plotH() / 10;
      ctx.beginPath(); ctx.moveTo(x, M.t); ctx.lineTo(x, M.t + plotH()); ctx.stroke();
      ctx.beginPath(); ctx.moveTo(M.l, y); ctx.lineTo(M.l + plotW(), y); ctx.stroke();
      if (i % 2 === 0) {
        ctx.fillText(xfmt(xRange[0] + i / 10 * (xRange[1] - xRange[0])), x - 14, canvas.height - 12);
        const v = yRange[1] - i / 10 * (yRange[1] - yRange[0]);
        ctx.fillText(v.toPrecision(4), 4, y + 4);
      }
    }
    ctx.fillText(xLabel, M.l + plotW() - 60, canvas.height - 1);
    ctx.fillText(yLabel, M.l + 4, M.t + 12);
  }

  function drawTime(view) {
    const run = model.run;
    let lo = Infinity, hi = -Infinity;
    for (const ch of run.channels) for (const v of [toUser(ch, 0), toUser(ch, 4095)]) {
      lo = Math.min(lo, v); hi = Math.max(hi, v);
    }
    yRange = [lo, hi];
    xRange = [view.t0, view.t1 > view.t0 ? view.t1 : view.t0 + 1];
    const span = xRange[1] - xRange[0];
    const ms = span < 2;
    axes(ms ? "time ms" : "time s", "value", (t) => ms ? (t * 1e3).toFixed(1) : t.toFixed(2));
    for (const g of view.gaps) {  // lost readings: a shaded gap with its count
      ctx.fillStyle = "rgba(220,38,38,0.15)";
      const x0 = xOf(Math.max(g.t0, xRange[0])), x1 = Math.max(xOf(g.t1), x0 + 2);
      ctx.fillRect(x0, M.t, x1 - x0, plotH());
      ctx.fillStyle = "#b91c1c"; ctx.fillText(`${g.lost} lost`, x0 + 3, M.t + 12);
    }
    const w = plotW();
    for (const s of view.series) {
      // One column per pixel: the min and max of the buckets it covers.
      const cl = new Float64Array(w).fill(Infinity), ch = new Float64Array(w).fill(-Infinity);
      for (let i = 0; i < s.t.length; i++) {
        const x = Math.floor(xOf(s.t[i]) - M.l);
        if (x < 0 || x >= w) continue;
        cl[x] = Math.min(cl[x], s.lo[i]); ch[x] = Math.max(ch[x], s.hi[i]);
      }
      ctx.strokeStyle = channels[s.channel - 1].colour; ctx.lineWidth = 1.5;
      ctx.beginPath();
      let pen = false, prev = null;
      for (let x = 0; x < w; x++) {
        if (cl[x] === Infinity) { continue; }
        const y0 = yOf(toUser(s.channel, cl[x])), y1 = yOf(toUser(s.channel, ch[x]));
        if (!pen || prev === null || x - prev > 3) ctx.moveTo(M.l + x, y0); else ctx.lineTo(M.l + x, y0);
        ctx.lineTo(M.l + x + 0.5, y1);
        pen = true; prev = x;
      }
      ctx.stroke();
    }
    // Trigger level (draggable) and trigger point.
    if ($("trigOn").checked) {
      const tch = Number($("trigChannel").value) || 1;
      const y = yOf(toUser(tch, Number($("trigLevel").value)));
      ctx.strokeStyle = "#dc2626"; ctx.setLineDash([6, 4]); ctx.lineWidth = 1;
      ctx.beginPath(); ctx.moveTo(M.l, y); ctx.lineTo(M.l + w, y); ctx.stroke();
      ctx.setLineDash([]);
      ctx.fillStyle = "#dc2626"; ctx.fillText("T level", M.l + w - 44, y - 3);
    }
    if (view.triggerT !== null && view.triggerT >= xRange[0] && view.triggerT <= xRange[1]) {
      const x = xOf(view.triggerT);
      ctx.strokeStyle = "#dc2626"; ctx.lineWidth = 1;
      ctx.beginPath(); ctx.moveTo(x, M.t); ctx.lineTo(x, M.t + plotH()); ctx.stroke();
      ctx.fillStyle = "#dc2626";
      ctx.beginPath(); ctx.moveTo(x - 6, M.t); ctx.lineTo(x + 6, M.t); ctx.lineTo(x, M.t + 9); ctx.fill();
    }
    model.cursors.forEach((t, i) => {
      if (t === null) return;
      const x = xOf(t);
      ctx.strokeStyle = "#111"; ctx.setLineDash([2, 3]);
      ctx.beginPath(); ctx.moveTo(x, M.t); ctx.lineTo(x, M.t + plotH()); ctx.stroke();
      ctx.setLineDash([]); ctx.fillStyle = "#111"; ctx.fillText(i ? "B" : "A", x + 3, M.t + plotH() - 4);
    });
  }

  function fft(re) {  // in place, radix 2; returns magnitudes of the first half
    const n = re.length, im = new Float64Array(n);
    for (let i = 1, j = 0; i < n; i++) {
      let bit = n >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) { const t = re[i]; re[i] = re[j]; re[j] = t; }
    }
    for (let len = 2; len <= n; len <<= 1) {
      const a = -2 * Math.PI / len;
      for (let i = 0; i < n; i += len)
        for (let k = 0; k < len / 2; k++) {
          const wr = Math.cos(a * k), wi = Math.sin(a * k);
          const xr = re[i + k + len / 2] * wr - im[i + k + len / 2] * wi;
          const xi = re[i + k + len / 2] * wi + im[i + k + len / 2] * wr;
          re[i + k + len / 2] = re[i + k] - xr; im[i + k + len / 2] = im[i + k] - xi;
          re[i + k] += xr; im[i + k] += xi;
        }
    }
    const mag = new Float64Array(n / 2);
    for (let i = 0; i < n / 2; i++) mag[i] = Math.hypot(re[i], im[i]) / n;
    return mag;
  }

  function drawFft(view) {
    const s = view.series[0];
    let n = 1;
    while (n * 2 <= Math.min(s.t.length, 8192)) n *= 2;
    if (n < 8) return drawTime(view);
    const start = s.t.length - n;
    const re = new Float64Array(n);
    let mean = 0;
    for (let i = 0; i < n; i++) mean += (s.lo[start + i] + s.hi[start + i]) / 2 / n;
    for (let i = 0; i < n; i++)  // Hann window
      re[i] = ((s.lo[start + i] + s.hi[start + i]) / 2 - mean) * (0.5 - 0.5 * Math.cos(2 * Math.PI * i / (n - 1)));
    const mag = fft(re);
    const dt = (s.t[s.t.length - 1] - s.t[start]) / (n - 1);
    const nyquist = 0.5 / dt;
    xRange = [0, nyquist]; yRange = [-100, 80];
    axes("frequency Hz", "dB", (f) => f.toFixed(0));
    ctx.strokeStyle = channels[s.channel - 1].colour; ctx.lineWidth = 1.2; ctx.beginPath();
    for (let i = 1; i < mag.length; i++) {
      const db = 20 * Math.log10(Math.abs(channels[s.channel - 1].scale) * mag[i] + 1e-9);
      const x = xOf(i / mag.length * nyquist), y = yOf(Math.max(yRange[0], db));
      i === 1 ? ctx.moveTo(x, y) : ctx.lineTo(x, y);
    }
    ctx.stroke();
  }

  function drawXy(view) {
    const cx = Number($("xyX").value), cy = Number($("xyY").value);
    const sx = view.series.find((s) => s.channel === cx), sy = view.series.find((s) => s.channel === cy);
    if (!sx || !sy) {
      drawTime(view);
      ctx.fillStyle = "#b00020"; ctx.fillText("XY needs both channels in the capture", M.l + 10, M.t + 30);
      return;
    }
    xRange = [Math.min(toUser(cx, 0), toUser(cx, 4095)), Math.max(toUser(cx, 0), toUser(cx, 4095))];
    yRange = [Math.min(toUser(cy, 0), toUser(cy, 4095)), Math.max(toUser(cy, 0), toUser(cy, 4095))];
    axes(channels[cx - 1].name, channels[cy - 1].name, (v) => v.toPrecision(4));
    ctx.strokeStyle = channels[cy - 1].colour; ctx.lineWidth = 1; ctx.beginPath();
    const n = Math.min(sx.t.length, sy.t.length);
    for (let i = 0; i < n; i++) {
      const x = xOf(toUser(cx, (sx.lo[i] + sx.hi[i]) / 2)), y = yOf(toUser(cy, (sy.lo[i] + sy.hi[i]) / 2));
      i ? ctx.lineTo(x, y) : ctx.moveTo(x, y);
    }
    ctx.stroke();
  }

  let lastText = 0;
  function draw() {
    const view = viewData();
    model.view = view;
    if (!view) {
      xRange = [0, 1]; yRange = [0, 4095];
      axes("time", "value", (t) => t.toFixed(1));
      ctx.fillStyle = "#666"; ctx.fillText(model.run ? "waiting for readings" : "press Run", M.l + 20, M.t + 20);
      return;
    }
    if (model.viewMode === "fft") drawFft(view);
    else if (model.viewMode === "xy") drawXy(view);
    else drawTime(view);
    // Measurements over the view, and the cursor readout: text four times a
    // second (the page's layout costs more than the drawing).
    const now = performance.now();
    if (now - lastText < 250) return;
    lastText = now;
    let rows = "<tr><th>channel</th><th>min</th><th>max</th><th>mean</th><th>RMS</th><th>p-p</th><th>frequency</th></tr>";
    model.measurements = {};
    for (const s of view.series) {
      const m = measure(s);
      if (!m) continue;
      model.measurements[s.channel] = m;
      const f = (v) => v.toPrecision(5);
      rows += `<tr><td style="color:${channels[s.channel - 1].colour}">${channels[s.channel - 1].name}</td>` +
        `<td>${f(m.min)}</td><td>${f(m.max)}</td><td>${f(m.mean)}</td><td>${f(m.rms)}</td>` +
        `<td>${f(m.pp)}</td><td>${m.frequency ? m.frequency.toPrecision(4) + " Hz" : "–"}</td></tr>`;
    }
    $("measurements").innerHTML = rows;
    const [a, b] = model.cursors;
    if (a !== null && b !== null) {
      const s = view.series[0];
      const at = (t) => {
        let best = 0;
        for (let i = 0; i < s.t.length; i++) if (Math.abs(s.t[i] - t) < Math.abs(s.t[best] - t)) best = i;
        return toUser(s.channel, (s.lo[best] + s.hi[best]) / 2);
      };
      const dt = b - a;
      $("cursorText").textContent = `Δt = ${(dt * 1e3).toPrecision(4)} ms, 1/Δt = ` +
        `${dt ? (1 / Math.abs(dt)).toPrecision(4) : "∞"} Hz, ΔV (${channels[s.channel - 1].name}) = ` +
        `${(at(b) - at(a)).toPrecision(4)}`;
    }
  }

  // Draws at most once a display frame, when something changed. The timer
  // keeps the chart drawing where animation frames come late (a busy or
  // headless browser); whichever comes first draws.
  let drawTimes = [];
  let lastDraw = 0;
  function drawIfDirty() {
    const now = performance.now();
    if (dirty && now - lastDraw >= 15) {
      dirty = false;
      lastDraw = now;
      draw();
      model.drawMs = performance.now() - now;
      model.draws++;
      drawTimes.push(now);
    }
    while (drawTimes.length && drawTimes[0] < now - 1000) drawTimes.shift();
    model.fps = drawTimes.length;
  }
  function frameLoop() {
    model.animationFrames++;
    drawIfDirty();
    requestAnimationFrame(frameLoop);
  }
  setInterval(drawIfDirty, 16);

  // ---- controls ----
  function runMessage(single) {
    const list = channels.filter((s) => s.on).map((s) => s.channel);
    const message = {
      type: "run", unit: model.unit, method: $("method").value, channels: list,
      block_time_us: Number($("blockTime").value), readings: Number($("readings").value),
      trigger: null, single: !!single,
    };
    if ($("trigOn").checked)
      message.trigger = { channel: Number($("trigChannel").value), rising: $("trigEdge").value === "rising",
                          threshold: Math.round(Number($("trigLevel").value)),
                          delay: Number($("trigDelay").value), auto_ms: Number($("trigAuto").value) };
    return message;
  }
  function startRun(single) {
    const message = runMessage(single);
    if (!message.channels.length) { showError("choose at least one channel"); return; }
    if (single && message.method === "stream") message.method = "block";
    model.run = message;
    model.history = []; model.sweep = null; model.gaps = []; model.expectedIndex = null;
    model.lostReadings = 0; model.skippedReadings = 0;
    sendView();
    send(message);
    dirty = true;
  }
  $("run").onclick = () => startRun(false);
  $("single").onclick = () => startRun(true);
  $("stop").onclick = () => send({ type: "stop", unit: model.unit });
  // Trigger settings apply at once while a capture runs.
  for (const id of ["trigOn", "trigChannel", "trigEdge", "trigLevel", "trigDelay", "trigAuto"])
    $(id).onchange = () => {
      dirty = true;
      const s = model.status[model.unit];
      if (model.run && s && s.state !== "stopped" && s.state !== "failed") startRun(model.run.single);
    };
  $("viewMode").onchange = () => { model.viewMode = $("viewMode").value; dirty = true; };
  $("rollWindow").onchange = () => { dirty = true; };
  for (const o of [0, 1]) $("out" + o).onchange = () =>
    send({ type: "output", unit: model.unit, output: o, on: $("out" + o).checked });
  // Record asks the server to start or end the recording of the running
  // stream; the button follows the status the server answers with.
  $("record").onclick = () => {
    send({ type: "record", unit: model.unit, on: !(model.recording && model.recording.on) });
  };

  // Cursors by click; the trigger level line by dragging.
  let dragging = false;
  const canvasPoint = (e) => {
    const r = canvas.getBoundingClientRect();
    return [(e.clientX - r.left) * canvas.width / r.width, (e.clientY - r.top) * canvas.height / r.height];
  };
  const levelY = () => yOf(toUser(Number($("trigChannel").value) || 1, Number($("trigLevel").value)));
  canvas.onmousedown = (e) => {
    const [x, y] = canvasPoint(e);
    if ($("trigOn").checked && model.viewMode === "time" && Math.abs(y - levelY()) < 6) { dragging = true; return; }
    if (x < M.l || model.viewMode !== "time") return;
    model.cursors[e.shiftKey ? 1 : 0] = tOf(x);
    if (model.cursors[1] === null && !e.shiftKey) model.cursors[1] = null;
    dirty = true;
  };
  canvas.onmousemove = (e) => {
    if (!dragging) return;
    const [, y] = canvasPoint(e);
    const ch = channels[(Number($("trigChannel").value) || 1) - 1];
    const raw = (vOf(y) - ch.offset) / ch.scale;
    $("trigLevel").value = Math.max(0, Math.min(4095, Math.round(raw)));
    dirty = true;
  };
  window.addEventListener("mouseup", () => {
    if (!dragging) return;
    dragging = false;
    $("trigLevel").onchange();
  });

  function download(name, blob) {
    const a = document.createElement("a");
    a.href = URL.createObjectURL(blob); a.download = name; a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 1000);
  }
  // CSV of the view at the resolution received: one row per bucket; a bucket
  // of one reading is that reading (min = max).
  model.csv = () => {
    const view = viewData();
    if (!view) return "";
    let text = "time_s," + view.series.map((s) => `${channels[s.channel - 1].name}_min,${channels[s.channel - 1].name}_max`).join(",") + "\n";
    const n = Math.min(...view.series.map((s) => s.t.length));
    for (let i = 0; i < n; i++)
      text += view.series[0].t[i].toFixed(7) + "," + view.series.map((s) =>
        `${toUser(s.channel, s.lo[i])},${toUser(s.channel, s.hi[i])}`).join(",") + "\n";
    return text;
  };
  $("exportCsv").onclick = () => download("trelvo-view.csv", new Blob([model.csv()], { type: "text/csv" }));
  $("exportPng").onclick = () => canvas.toBlob((b) => download("trelvo-view.png", b));

  // ---- start ----
  buildChannelTable();
  fetch(withToken("/api/units")).then((r) => r.json()).then((units) => {
    model.units = units;
    const picker = $("unit");
    for (const u of units) {
      const o = document.createElement("option");
      o.value = u.handle; o.textContent = `${u.handle}: ${u.variant}`;
      picker.appendChild(o);
    }
    const pick = () => {
      const u = units.find((x) => x.handle === Number(picker.value));
      model.unit = u ? u.handle : 0;
      $("identity").textContent = u ? `${u.first_text} — ${u.second_text}` : "no unit open";
      showState();
      showRecording();
    };
    picker.onchange = pick;
    pick();
  }).catch((e) => showError("could not list the units: " + e));
  connect();
  requestAnimationFrame(frameLoop);
})();
