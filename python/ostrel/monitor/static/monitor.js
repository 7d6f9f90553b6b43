// The monitor's page: draws the figures of /events (or of the figures embedded in a saved page)
// as SVG. Every number shown also sits unrounded in a data-value attribute for scripts.
(function () {
  "use strict";
  const SVG = "http://www.w3.org/2000/svg";
  const $ = (id) => document.getElementById(id);

  function el(name, attrs, parent, text) {
    const e = document.createElementNS(SVG, name);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }

  function number(x, digits) {
    if (x === null || x === undefined) return "\u2013";
    if (digits !== undefined) return x.toPrecision(digits);
    return Math.round(x).toLocaleString("en-US");
  }
  function percent(x) { return x === null || x === undefined ? "\u2013" : (100 * x).toPrecision(3) + "%"; }

  function show(id, value, text) {
    const e = $(id);
    e.textContent = text;
    if (value === null || value === undefined) e.removeAttribute("data-value");
    else e.setAttribute("data-value", String(value));
  }

  // A perceptual blue-green-yellow scale for fractions in [0, 1] of the map's maximum.
  const STOPS = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
  function colour(t) {
    t = Math.max(0, Math.min(1, t)) * (STOPS.length - 1);
    const i = Math.min(STOPS.length - 2, Math.floor(t)), f = t - i;
    const c = STOPS[i].map((a, k) => Math.round(a + f * (STOPS[i + 1][k] - a)));
    return `rgb(${c[0]},${c[1]},${c[2]})`;
  }

  function clear(svg) { while (svg.firstChild) svg.removeChild(svg.firstChild); }
  function size(svg) {
    const r = svg.getBoundingClientRect();
    return [Math.max(200, r.width || 440), Math.max(120, r.height || 240)];
  }
  function empty(svg, w, h, text) { el("text", {x: w / 2, y: h / 2, "text-anchor": "middle", class: "empty"}, svg, text); }

  function heatmap(svg, xs, ys, fractions, top) {
    clear(svg);
    const [w, h] = size(svg);
    svg.setAttribute("viewBox", `0 0 ${w} ${h}`);
    if (!xs.length || fractions.every((f) => f === null)) return empty(svg, w, h, "no detection events yet");
    const minX = Math.min(...xs), maxX = Math.max(...xs), minY = Math.min(...ys), maxY = Math.max(...ys);
    const ux = [...new Set(xs)].sort((a, b) => a - b), uy = [...new Set(ys)].sort((a, b) => a - b);
    const step = (u) => u.length < 2 ? 1 : Math.min(...u.slice(1).map((v, i) => v - u[i]));
    const sx = step(ux), sy = step(uy);
    const legend = 70, pad = 14;
    const scale = Math.min((w - legend - 2 * pad) / ((maxX - minX) / sx + 1), (h - 2 * pad) / ((maxY - minY) / sy + 1));
    const cell = scale * 0.92;
    for (let i = 0; i < xs.length; i++) {
      const f = fractions[i];
      const cx = pad + ((xs[i] - minX) / sx + 0.5) * scale, cy = pad + ((ys[i] - minY) / sy + 0.5) * scale;
      const r = el("rect", {x: cx - cell / 2, y: cy - cell / 2, width: cell, height: cell, rx: cell * 0.2,
        fill: f === null ? "#d0d5dd" : colour(top > 0 ? f / top : 0), class: "cell",
        "data-x": xs[i], "data-y": ys[i], "data-fraction": f === null ? "" : String(f)}, svg);
      el("title", {}, r, `(${xs[i]}, ${ys[i]}): ${f === null ? "no rounds yet" : percent(f)}`);
      if (cell > 34 && f !== null)
        el("text", {x: cx, y: cy + 4, "text-anchor": "middle", style: `fill:${f / top > 0.6 ? "#1d2430" : "#fff"}`}, svg, percent(f));
    }
    const lx = w - legend + 12, ly = pad, lh = h - 2 * pad;
    for (let k = 0; k < 20; k++)
      el("rect", {x: lx, y: ly + lh * (1 - (k + 1) / 20), width: 14, height: lh / 20 + 0.5, fill: colour((k + 0.5) / 20)}, svg);
    el("text", {x: lx + 18, y: ly + 10}, svg, percent(top));
    el("text", {x: lx + 18, y: ly + lh}, svg, "0%");
  }

  function ticks(lo, hi, n) {
    if (!(hi > lo)) return [lo];
    const raw = (hi - lo) / n, mag = Math.pow(10, Math.floor(Math.log10(raw)));
    const step = [1, 2, 5, 10].map((m) => m * mag).find((s) => s >= raw);
    const out = [];
    for (let v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) out.push(v);
    return out;
  }
  function label(v) {
    const a = Math.abs(v);
    if (a === 0) return "0";
    if (a >= 1e4) return (v / 1000).toLocaleString("en-US", {maximumFractionDigits: 0}) + "k";
    if (a >= 1) return v.toLocaleString("en-US", {maximumFractionDigits: 2});
    return v.toPrecision(2);
  }

  // series: [{ys, colour, name}] over shared xs; band: {low, high}; rule: a dashed horizontal line.
  function chart(svg, xs, series, opts) {
    clear(svg);
    const [w, h] = size(svg);
    svg.setAttribute("viewBox", `0 0 ${w} ${h}`);
    const m = {l: 52, r: 12, t: 10, b: 30};
    const values = [];
    for (const s of series) for (const y of s.ys) if (y !== null && isFinite(y)) values.push(y);
    if (opts.band) for (const y of opts.band.high) if (y !== null) values.push(y);
    if (opts.rule) values.push(opts.rule);
    if (!xs.length || !values.length) return empty(svg, w, h, opts.empty || "no data yet");
    const x0 = Math.min(...xs), x1 = Math.max(...xs) > x0 ? Math.max(...xs) : x0 + 1;
    const top = opts.ymax || Math.max(...values);
    const y0 = 0, y1 = top > 0 ? top * 1.08 : 1;
    const X = (x) => m.l + (x - x0) / (x1 - x0) * (w - m.l - m.r);
    const Y = (y) => h - m.b - (Math.min(y, y1) - y0) / (y1 - y0) * (h - m.t - m.b);
    for (const t of ticks(y0, y1, 4)) {
      el("line", {x1: m.l, x2: w - m.r, y1: Y(t), y2: Y(t), class: "grid"}, svg);
      el("text", {x: m.l - 5, y: Y(t) + 4, "text-anchor": "end"}, svg, opts.percent ? percent(t) : label(t));
    }
    for (const t of ticks(x0, x1, 5)) el("text", {x: X(t), y: h - m.b + 15, "text-anchor": "middle"}, svg, label(t));
    el("text", {x: w - m.r, y: h - 3, "text-anchor": "end"}, svg, opts.xlabel || "");
    el("line", {x1: m.l, x2: m.l, y1: m.t, y2: h - m.b, class: "axis"}, svg);
    el("line", {x1: m.l, x2: w - m.r, y1: h - m.b, y2: h - m.b, class: "axis"}, svg);
    if (opts.band) {
      const pts = [];
      xs.forEach((x, i) => { if (opts.band.low[i] !== null) pts.push(`${X(x)},${Y(opts.band.high[i])}`); });
      for (let i = xs.length - 1; i >= 0; i--) if (opts.band.low[i] !== null) pts.push(`${X(xs[i])},${Y(opts.band.low[i])}`);
      if (pts.length) el("polygon", {points: pts.join(" "), fill: opts.band.colour, opacity: 0.25}, svg);
    }
    if (opts.rule) {
      el("line", {x1: m.l, x2: w - m.r, y1: Y(opts.rule), y2: Y(opts.rule), class: "rule"}, svg);
    }
    let lx = m.l + 8;
    for (const s of series) {
      let d = "";
      xs.forEach((x, i) => {
        const y = s.ys[i];
        if (y === null || !isFinite(y)) return;
        d += (d ? " L" : "M") + X(x).toFixed(1) + "," + Y(y).toFixed(1);
      });
      if (d) el("path", {d, fill: "none", stroke: s.colour, "stroke-width": 1.8}, svg);
      if (opts.points || xs.length < 3) xs.forEach((x, i) => { if (s.ys[i] !== null) el("circle", {cx: X(x), cy: Y(s.ys[i]), r: 3, fill: s.colour}, svg); });
      if (s.name) {
        el("rect", {x: lx, y: m.t + 2, width: 10, height: 3, fill: s.colour}, svg);
        el("text", {x: lx + 13, y: m.t + 8}, svg, s.name);
        lx += 16 + 7 * s.name.length;
      }
    }
  }

  function render(f) {
    const state = $("state");
    state.textContent = f.state;
    state.className = "state " + f.state;
    $("source").textContent = f.source || "";
    $("setup").textContent = [f.method, f.window && "window " + f.window,
      f.detector_count !== null && f.detector_count !== undefined && f.detector_count + " detectors"].filter(Boolean).join(" \u00b7 ");
    show("frames", f.frames, number(f.frames));
    show("shots", f.shots, number(f.shots));
    show("rate", f.current_frames_per_second, number(f.current_frames_per_second));
    $("required").textContent = (f.required_rounds_per_second ? `cycle ${f.cycle_us} \u00b5s: ${number(f.required_rounds_per_second)}/s needed; ` : "") +
      `mean ${number(f.rounds_per_second)}/s`;
    show("backlog", f.backlog_frames, number(f.backlog_frames));
    const lat = f.latency_us;
    show("commit", lat ? lat.commit.p50 : null, lat ? `${number(lat.commit.p50, 3)} / ${number(lat.commit.p99, 3)} \u00b5s` : "\u2013");
    show("shot", lat ? lat.shot.p50 : null, lat ? `${number(lat.shot.p50, 3)} / ${number(lat.shot.p99, 3)} \u00b5s` : "\u2013");
    show("detection-fraction", f.detection_fraction, percent(f.detection_fraction));
    const lg = f.logical;
    show("ler", lg ? lg.rate : null, lg ? (lg.rate === null ? "\u2013" : number(lg.rate, 3)) : "no truth");
    $("ler-interval").textContent = lg ? `[${number(lg.low, 3)}, ${number(lg.high, 3)}], ${number(lg.failures)} of ${number(lg.shots)}` +
      (lg.reference && lg.reference.rate !== null ? `; ${lg.reference.name} ${number(lg.reference.rate, 3)}` : "") : "";
    show("ler-round", lg ? lg.per_round.rate : null, lg ? (lg.per_round.rate === null ? "\u2013" : number(lg.per_round.rate, 3)) : "no truth");
    $("ler-round-interval").textContent = lg ? `[${number(lg.per_round.low, 3)}, ${number(lg.per_round.high, 3)}], ${lg.rounds_per_shot} rounds a shot` : "";
    show("error-count", f.error_count, number(f.error_count));
    $("recent-frames").textContent = number(f.detectors.recent_frames);

    const p = f.positions;
    const top = Math.max(0, ...p.fraction.filter((v) => v !== null), ...p.recent_fraction.filter((v) => v !== null));
    heatmap($("map-all"), p.x, p.y, p.fraction, top);
    heatmap($("map-recent"), p.x, p.y, p.recent_fraction, top);

    const rounds = f.rounds.fraction.map((_, i) => i);
    chart($("by-round"), rounds, [{ys: f.rounds.fraction, colour: "#3565a8"}], {percent: true, points: true, xlabel: "round"});
    const H = f.history;
    chart($("by-time"), H.t, [{ys: H.detection_fraction, colour: "#3565a8"}], {percent: true, xlabel: "s"});
    chart($("throughput"), H.t, [{ys: H.frames_per_second, colour: "#2a8a4a"}],
      {rule: f.required_rounds_per_second, xlabel: "s"});
    chart($("latency"), H.t, [
      {ys: H.commit_p50_us, colour: "#3565a8", name: "commit p50"}, {ys: H.commit_p99_us, colour: "#8fb0e0", name: "commit p99"},
      {ys: H.shot_p50_us, colour: "#b8672e", name: "shot p50"}, {ys: H.shot_p99_us, colour: "#e5b48f", name: "shot p99"}],
      {rule: f.cycle_us, xlabel: "s", empty: "no latencies: the shots are decoded whole, not by a sliding window"});
    // The early intervals span most of [0, 1]: the axis follows the rate and the latest interval.
    const rates = H.logical_error_rate.concat(H.reference_logical_error_rate).filter((v) => v !== null), highs = H.logical_high.filter((v) => v !== null);
    const ref = lg && lg.reference;
    chart($("logical"), H.shots, [{ys: H.logical_error_rate, colour: "#b83a2e", name: ref ? (f.method || "ostrel") : ""}]
      .concat(ref ? [{ys: H.reference_logical_error_rate, colour: "#3565a8", name: ref.name}] : []),
      {band: {low: H.logical_low, high: H.logical_high, colour: "#b83a2e"}, xlabel: "shots",
       ymax: rates.length ? Math.max(2 * Math.max(...rates), highs[highs.length - 1]) : undefined,
       empty: lg ? "no shots yet" : "no truth: give --truth"});

    const list = $("errors");
    while (list.firstChild) list.removeChild(list.firstChild);
    for (const e of f.errors) {
      const li = document.createElement("li");
      li.textContent = `${e.t.toFixed(1)} s, after frame ${number(e.frame)}: ${e.message}`;
      list.appendChild(li);
    }
    if (!f.errors.length) {
      const li = document.createElement("li");
      li.className = "none";
      li.textContent = "none";
      list.appendChild(li);
    }
    document.body.dataset.updates = String(Number(document.body.dataset.updates) + 1);
  }

  const embedded = $("figures");
  if (embedded) {
    render(JSON.parse(embedded.textContent));
  } else {
    const events = new EventSource("events");
    events.onmessage = (e) => render(JSON.parse(e.data));
    events.onerror = () => { const s = $("state"); s.textContent = "connection lost"; s.className = "state lost"; };
  }
})();
