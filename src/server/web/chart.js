// Small SVG charts, drawn at the figure's own pixel width so text keeps
// its size on a phone; colours come from app.css (.line, .bar, .grid...).

const NS = "http://www.w3.org/2000/svg";
const H = 180;
const PAD = { left: 40, right: 10, top: 10, bottom: 22 };

function svgEl(tag, attrs, text) {
  const e = document.createElementNS(NS, tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

// Clears the svg and sizes it to its container; returns the plot box.
function frame(svg, label) {
  const w = Math.max(240, Math.floor(svg.parentElement.clientWidth || 600));
  svg.replaceChildren();
  svg.setAttribute("viewBox", `0 0 ${w} ${H}`);
  svg.setAttribute("width", w);
  svg.setAttribute("height", H);
  svg.setAttribute("role", "img");
  svg.setAttribute("aria-label", label);
  return { x0: PAD.left, x1: w - PAD.right, y0: H - PAD.bottom, y1: PAD.top, w };
}

// Steps that land on round numbers: 20 -> 5s, 50 -> 10s, 100 -> 20s, 2 -> 1s.
function yAxis(svg, box, max, format) {
  const lead = max / 10 ** Math.floor(Math.log10(max));
  const steps = max <= 5 && Number.isInteger(max) ? max : lead === 2 ? 4 : 5;
  for (let i = 0; i <= steps; i++) {
    const v = (max * i) / steps;
    const y = box.y0 - ((box.y0 - box.y1) * i) / steps;
    svg.append(svgEl("line", { class: "grid", x1: box.x0, x2: box.x1, y1: y, y2: y }));
    svg.append(svgEl("text", { class: "tick", x: box.x0 - 6, y: y + 4, "text-anchor": "end" }, format(v)));
  }
}

function empty(svg, box, text) {
  svg.append(svgEl("text", { class: "empty", x: (box.x0 + box.x1) / 2, y: H / 2, "text-anchor": "middle" }, text));
}

// A round top for the y axis: 1, 2 or 5 times a power of ten.
export function niceMax(v) {
  if (!(v > 0)) return 1;
  const p = 10 ** Math.floor(Math.log10(v));
  return [1, 2, 5, 10].map((m) => m * p).find((m) => m >= v);
}

const hourFmt = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit" });
const dayFmt = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric" });
const utcDayFmt = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric", timeZone: "UTC" });

// points: [{t: ms, v, gap}], drawn over [from, to]; the line breaks before
// a point with gap set, or where points are further apart than gapMs.
// Stepped: each value holds until the next point (a history of changes).
export function lineChart(
  svg, points, { from, to, yMax = 100, gapMs = Infinity, stepped = false, format = (v) => `${v}%`, label },
) {
  const box = frame(svg, label);
  yAxis(svg, box, yMax, format);
  const x = (t) => box.x0 + ((t - from) / (to - from)) * (box.x1 - box.x0);
  const y = (v) => box.y0 - (Math.min(Math.max(v, 0), yMax) / yMax) * (box.y0 - box.y1);
  const fmt = to - from > 2 * 86400e3 ? dayFmt : hourFmt;
  const ticks = Math.max(2, Math.floor((box.x1 - box.x0) / 90));
  for (let i = 0; i <= ticks; i++) {
    const t = from + ((to - from) * i) / ticks;
    const anchor = i === 0 ? "start" : i === ticks ? "end" : "middle";
    svg.append(svgEl("text", { class: "tick", x: x(t), y: H - 6, "text-anchor": anchor }, fmt.format(t)));
  }
  if (!points.length) return empty(svg, box, "No reports");
  let d = "";
  let prev = { t: -Infinity, v: 0 };
  for (const p of points) {
    const broken = !d || p.gap || p.t - prev.t > gapMs;
    if (stepped && !broken) d += `L${x(p.t).toFixed(1)},${y(prev.v).toFixed(1)}`;
    d += `${broken ? "M" : "L"}${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`;
    prev = p;
  }
  svg.append(svgEl("path", { class: "line", d: "M" + d.slice(1) }));
  const last = points[points.length - 1];
  svg.append(svgEl("circle", { class: "dot", cx: x(last.t), cy: y(last.v), r: 3 }));
}

// items: [{label, value, title}], one bar each, a label under every few
// counted from the newest (the last).
export function barChart(svg, items, { format = String, label, emptyText = "Nothing yet" }) {
  const box = frame(svg, label);
  const max = niceMax(Math.max(0, ...items.map((i) => i.value)));
  yAxis(svg, box, max, format);
  if (!items.some((i) => i.value > 0)) return empty(svg, box, emptyText);
  const band = (box.x1 - box.x0) / items.length;
  const every = Math.ceil(items.length / Math.max(1, Math.floor((box.x1 - box.x0) / 60)));
  items.forEach((item, i) => {
    const h = (item.value / max) * (box.y0 - box.y1);
    const bar = svgEl("rect", {
      class: "bar",
      x: (box.x0 + i * band + band * 0.15).toFixed(1),
      y: (box.y0 - h).toFixed(1),
      width: Math.max(1, band * 0.7).toFixed(1),
      height: h.toFixed(1),
    });
    bar.append(svgEl("title", {}, item.title || `${item.label}: ${format(item.value)}`));
    svg.append(bar);
    if ((items.length - 1 - i) % every === 0) {
      const cx = box.x0 + (i + 0.5) * band;
      svg.append(svgEl("text", { class: "tick", x: cx, y: H - 6, "text-anchor": "middle" }, item.label));
    }
  });
}

// A points history: bars of the points the units finished each day (days:
// [{t: the day's start in ms, v, title}], a band a day) and the line of the
// estimated points per day over them (line: [{t: ms, v, gap}], by time;
// gap: the line breaks before it).
export function pointsChart(svg, days, line, { format = String, label, emptyText = "Nothing yet" }) {
  const box = frame(svg, label);
  const max = niceMax(Math.max(0, ...days.map((d) => d.v), ...line.map((p) => p.v)));
  yAxis(svg, box, max, format);
  if (!days.length || (!days.some((d) => d.v > 0) && !line.some((p) => p.v > 0))) return empty(svg, box, emptyText);
  const from = days[0].t;
  const to = days[days.length - 1].t + 86400e3;
  const x = (t) => box.x0 + ((Math.min(Math.max(t, from), to) - from) / (to - from)) * (box.x1 - box.x0);
  const y = (v) => box.y0 - (Math.min(Math.max(v, 0), max) / max) * (box.y0 - box.y1);
  const band = (box.x1 - box.x0) / days.length;
  const every = Math.ceil(days.length / Math.max(1, Math.floor((box.x1 - box.x0) / 60)));
  days.forEach((d, i) => {
    const bar = svgEl("rect", {
      class: "bar done",
      x: (box.x0 + i * band + band * 0.15).toFixed(1),
      y: y(d.v).toFixed(1),
      width: Math.max(1, band * 0.7).toFixed(1),
      height: (box.y0 - y(d.v)).toFixed(1),
    });
    bar.append(svgEl("title", {}, d.title));
    svg.append(bar);
    if ((days.length - 1 - i) % every === 0) {
      const label = utcDayFmt.format(d.t); // the server's days are UTC days
      svg.append(svgEl("text", { class: "tick", x: box.x0 + (i + 0.5) * band, y: H - 6, "text-anchor": "middle" }, label));
    }
  });
  if (!line.length) return;
  // The line breaks where samples are missing (a server that was down); a sample alone is a dot.
  let d = "";
  line.forEach((p, i) => {
    const alone = (i === 0 || p.gap) && (i === line.length - 1 || line[i + 1].gap);
    if (alone) svg.append(svgEl("circle", { class: "dot", cx: x(p.t), cy: y(p.v), r: 2 }));
    d += `${i === 0 || p.gap ? "M" : "L"}${x(p.t).toFixed(1)},${y(p.v).toFixed(1)}`;
  });
  svg.append(svgEl("path", { class: "line", d }));
  const last = line[line.length - 1];
  svg.append(svgEl("circle", { class: "dot", cx: x(last.t), cy: y(last.v), r: 3 }));
}

// Redraws the charts when the page's width changes.
export function onWidthChange(draw) {
  let width = document.documentElement.clientWidth;
  let queued = false;
  addEventListener("resize", () => {
    if (queued) return;
    queued = true;
    requestAnimationFrame(() => {
      queued = false;
      if (document.documentElement.clientWidth !== width) {
        width = document.documentElement.clientWidth;
        draw();
      }
    });
  });
}
