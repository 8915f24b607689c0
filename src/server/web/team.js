// The team: units and points per day (summed over the users), the users'
// totals, and the average frame time by CPU.
import { el, getJSON, loadSession, number } from "/assets/common.js";
import { barChart, onWidthChange } from "/assets/chart.js";

const DAYS = 30;
const $ = (sel) => document.querySelector(sel);
const dayLabel = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric", timeZone: "UTC" });

let perDay = [];

// The last DAYS days (UTC, as the server counts them), each present even without units.
function sumByDay(rows) {
  const byDay = new Map();
  const today = Math.floor(Date.now() / 86400e3);
  for (let d = today - DAYS + 1; d <= today; d++) {
    const key = new Date(d * 86400e3).toISOString().slice(0, 10);
    byDay.set(key, { day: key, units: 0, points: 0 });
  }
  for (const r of rows) {
    const day = byDay.get(r.day);
    if (!day) continue;
    day.units += r.units;
    day.points += r.points;
  }
  return [...byDay.values()];
}

function drawChart() {
  const [unitsSvg, pointsSvg] = document.querySelectorAll("#chart-days svg");
  const items = (field, word) =>
    perDay.map((d) => {
      const label = dayLabel.format(new Date(d.day));
      return { label, value: d[field], title: `${label}: ${number.format(d[field])} ${word}` };
    });
  barChart(unitsSvg, items("units", "units"), { format: (v) => number.format(v), label: "Units per day", emptyText: "No units" });
  barChart(pointsSvg, items("points", "points"), {
    format: (v) => (v >= 10000 ? `${number.format(v / 1000)}k` : number.format(v)),
    label: "Points per day",
    emptyText: "No points",
  });
}

function showUsers(rows) {
  const users = new Map();
  for (const r of rows) {
    const u = users.get(r.user) || { user: r.user, units: 0, points: 0 };
    u.units += r.units;
    u.points += r.points;
    users.set(r.user, u);
  }
  const sorted = [...users.values()].sort((a, b) => b.points - a.points || a.user.localeCompare(b.user));
  $("#users tbody").replaceChildren(
    ...sorted.map((u) => {
      const tr = el("tr");
      tr.append(el("td", null, u.user), el("td", "num", number.format(u.units)), el("td", "num", number.format(u.points)));
      return tr;
    }),
  );
  $("#users-empty").hidden = sorted.length > 0;
  const units = sorted.reduce((s, u) => s + u.units, 0);
  const points = sorted.reduce((s, u) => s + u.points, 0);
  $("#team-totals").textContent = `${number.format(units)} units, ${number.format(points)} points in ${DAYS} days`;
}

function showCpus(cpus) {
  $("#cpus tbody").replaceChildren(
    ...cpus.map((c) => {
      const tr = el("tr");
      tr.append(
        el("td", null, c.cpu_string || "—"),
        el("td", null, c.cpu_vendor || "—"),
        el("td", "num", number.format(c.units)),
        el("td", "num", c.average_frame_minutes == null ? "—" : Number(c.average_frame_minutes).toFixed(1)),
      );
      return tr;
    }),
  );
  $("#cpus-empty").hidden = cpus.length > 0;
}

async function start() {
  loadSession();
  const [summary, cpus] = await Promise.all([
    getJSON(`/api/summary?days=${DAYS}`).catch(() => ({ days: [] })),
    getJSON("/api/cpus").catch(() => ({ cpus: [] })),
  ]);
  perDay = sumByDay(summary.days);
  drawChart();
  showUsers(summary.days);
  showCpus(cpus.cpus);
  document.body.dataset.ready = "1";
  onWidthChange(drawChart);
}

start();
