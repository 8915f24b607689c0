// The team: its points per day over time (the whole team's or a user's);
// per team and per user, the reporting machines and their points per day
// beside what the submitted units earned; units and points per day; the
// average frame time by CPU.
import { el, getJSON, loadSession, number, onReconnect, visible, watchConnection } from "/assets/common.js";
import { barChart, onWidthChange } from "/assets/chart.js";
import { PointsHistory } from "/assets/points.js";

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

const points = new PointsHistory($("#points"), DAYS);
const subject = $("#points-subject");
// The choice's history: the whole team's, or a user's (a name in a team).
const pointsUrl = () => {
  if (!subject.value) return "/api/team/points";
  const { user, team } = JSON.parse(subject.value);
  return `/api/team/points?${new URLSearchParams({ user, team })}`;
};
subject.addEventListener("change", () => points.load(pointsUrl()));

// The users to choose from, the choice kept while its user is there.
function showSubjects(users) {
  const chosen = subject.value;
  const options = users.map((u) => {
    const value = JSON.stringify({ user: u.user, team: u.team });
    const option = el("option", null, `${u.user} (team ${u.team})`);
    option.value = value;
    return option;
  });
  const whole = el("option", null, "The whole team");
  whole.value = "";
  subject.replaceChildren(whole, ...options);
  subject.value = options.some((o) => o.value === chosen) ? chosen : "";
  if (subject.value !== chosen) points.load(pointsUrl());
}

function drawChart() {
  points.draw();
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

const whole = (v) => (v == null ? "—" : number.format(v));
// A name cut to fit on a phone, beside its points per day; a tap shows it whole.
function rowHead(text) {
  const th = Object.assign(el("th"), { scope: "row" });
  const name = th.appendChild(el("button", "cut", text));
  name.type = "button";
  name.title = visible(text);
  name.setAttribute("aria-expanded", "false");
  name.addEventListener("click", () => name.setAttribute("aria-expanded", String(name.getAttribute("aria-expanded") !== "true")));
  return th;
}
// The points per day first, in view on a phone without scrolling.
const FIGURES = ["ppd", "submitted_ppd", "machines", "folding", "units", "points"];

function rowsOf(tbody, rows, first) {
  tbody.replaceChildren(
    ...rows.map((r) => {
      const tr = el("tr");
      tr.append(...first(r), ...FIGURES.map((f) => el("td", "num", whole(r[f]))));
      return tr;
    }),
  );
}

function showTeam(team) {
  rowsOf($("#teams tbody"), team.teams, (t) => [rowHead(t.team)]);
  $("#teams-empty").hidden = team.teams.length > 0;
  rowsOf($("#users tbody"), team.users, (u) => [rowHead(u.user), el("td", "num", u.team)]);
  $("#users-empty").hidden = team.users.length > 0;
  showSubjects(team.users);
  const f = team.fleet;
  // Why these differ from the fleet page's counts and from each other.
  const resting = f.machines - f.folding;
  $("#team-totals").textContent =
    `${whole(f.machines)} machines (stopped ones not counted), ${whole(f.folding)} folding: ` +
    `${whole(f.ppd)} points per day` +
    (resting > 0 ? `, estimated from the folding ones only (${whole(resting)} stalled or offline)` : "") +
    `; submitted in ${team.days} days: ${whole(f.units)} units, ${whole(f.points)} points (${whole(f.submitted_ppd)} a day)`;
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

// Each part kept as it was when its request fails: the banner says the
// server is out of reach and greys them until it answers again.
const none = { days: DAYS, fleet: {}, teams: [], users: [] };
let team = none;
let summary = { days: [] };
let cpus = { cpus: [] };
const keep = (old) => () => old;

async function load() {
  [team, summary, cpus] = await Promise.all([
    getJSON(`/api/team?days=${DAYS}`).catch(keep(team)),
    getJSON(`/api/summary?days=${DAYS}`).catch(keep(summary)),
    getJSON("/api/cpus").catch(keep(cpus)),
    points.load(pointsUrl()),
  ]);
  showTeam(team);
  perDay = sumByDay(summary.days);
  drawChart();
  showCpus(cpus.cpus);
}

async function start() {
  const sessionLoaded = loadSession();
  await load();
  await sessionLoaded; // the header's line on a phone
  document.body.dataset.ready = "1";
  onWidthChange(drawChart);
  // The machines' estimates move as they fold.
  setInterval(() => getJSON(`/api/team?days=${DAYS}`).then(showTeam, () => {}), 30e3);
  setInterval(() => points.load(), 300e3);
  watchConnection();
  onReconnect(load);
}

start();
