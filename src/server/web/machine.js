// One machine: its facts (kept current from the event stream), progress
// charts, its points per day over time and its changes of status, finished
// units, commands with their audit trail, its pinned address (moved or
// cleared by an admin), its maintenance mute, its removal, and alerts.
import {
  AlertList, ago, askFirst, breakable, duration, el, getJSON, isAdmin, loadSession, localTime, number, onReconnect, openStream,
  muteMark, pendingBadge, sendJSON, session, signinHref, statusBadge, timeEl, visible,
} from "/assets/common.js";
import { lineChart, onWidthChange } from "/assets/chart.js";
import { PointsHistory } from "/assets/points.js";

const $ = (sel) => document.querySelector(sel);
const id = Number((location.pathname.match(/^\/machines\/(\d+)/) || [])[1]);
const HOUR = 3600e3;
const CHARTS = [
  { sel: "#chart-24h svg", hours: 24, points: 300 },
  { sel: "#chart-7d svg", hours: 168, points: 500 },
];

let machine = null;
const histories = new Map(); // chart selector -> {reports, before, loadedAt}
const alerts = new AlertList(`/api/alerts?machine=${id}&limit=100`, (a) => a.machine_id === id);
let seenCell = null;
let chartsLoadedAt = 0;

const label = (m) => visible(`${m.name}/${m.cpu}`);

// ---- Facts ----

// The address of its last record; after a change, the one before and when.
function addressFact(m) {
  if (!m.address && !m.previous_address) return "—";
  const now = m.address || "(cleared: the next record's is taken)";
  if (!m.previous_address) return now;
  return [visible(now), " (before: ", visible(m.previous_address), ", until ", timeEl(m.address_changed_at), ")"];
}

function showMachine(m) {
  if (removed) return; // the stream's last word on it may come after
  const previous = machine;
  machine = m;
  document.title = `${label(m)} · Pelmora`;
  breakable($("#machine-name"), label(m));
  const status = $("#machine-status");
  status.replaceChildren(statusBadge(m.status));
  if (m.pending_command) status.append(" ", pendingBadge(m.pending_command));
  status.append(" ", (statusNote = el("span", "status-note", statusNoteText(m))));
  if (m.muted_until) status.append(" ", muteMark(m.muted_until));

  const bar = Object.assign(document.createElement("progress"), { max: 100, value: m.progress });
  seenCell = el("span", null, ago(Date.parse(m.last_seen)));
  const facts = [
    ["User", breakable(el("span"), m.user)],
    ["Team", m.team],
    ["Unit", breakable(el("span"), m.unit)],
    ["Core", breakable(el("span"), m.core)],
    ["Progress", [bar, el("span", "pct", `${m.progress}%`)]],
    ["Progress per hour", m.progress_per_hour == null ? "—" : `${Number(m.progress_per_hour).toFixed(1)}%`],
    ["Points per day", m.ppd == null ? "—" : number.format(m.ppd)],
    ["Unit points", number.format(m.points)],
    ["Frames", m.frames],
    ["CPU MHz", number.format(m.cpu_mhz)],
    ["Vendor", m.cpu_vendor || "—"],
    ["Last report", [seenCell, " (", timeEl(m.last_seen), ")"]],
    ["Estimated finish", m.eta ? [timeEl(m.eta)] : "—"],
    ["Window/tray", m.in_tray ? "tray" : "window"],
    ["Units seen", m.units_seen],
    ["Address", addressFact(m)],
  ];
  $("#facts").replaceChildren(
    ...facts.map(([name, value]) => {
      const dd = el("dd");
      if (value instanceof Node) dd.append(value);
      else if (Array.isArray(value)) dd.append(...value);
      else dd.textContent = visible(value);
      const div = el("div");
      div.append(el("dt", null, name), dd);
      return div;
    }),
  );
  showCommandButtons();
  showAddressPanel();
  showMutePanel();
  if (previous && previous.pending_command !== m.pending_command) loadCommands();
  if (previous && previous.units_seen !== m.units_seen) loadUnits();
  if (previous && Date.now() - chartsLoadedAt > 60e3) loadCharts();
  // The server notes a change at its next look at the fleet, a moment after
  // the machine shows it: asked again until the newest one noted is the status shown.
  const noted = events.length ? events[0].status : null;
  if ((previous && previous.status !== m.status) || (noted !== m.status && Date.now() - eventsLoadedAt > 2000)) loadEvents();
}

// How long the status has held, where that is what needs a look.
let statusNote = null;
function statusNoteText(m) {
  const since = (iso) => `since ${localTime(iso)} (for ${duration(Date.now() - Date.parse(iso))})`;
  if (m.status === "stalled") return `no progress ${since(m.changed_at || m.last_seen)}`;
  if (m.status === "offline") return `no report ${since(m.last_seen)}`;
  if (m.status === "stopped") return `stopped ${since(m.last_seen)}`;
  return "";
}

// Where a command waits for the machine's next report, which may be a while.
function waitNote(m) {
  if (m.status === "offline") {
    return `${label(m)} is offline: no report since ${localTime(m.last_seen)} (for ` +
      `${duration(Date.now() - Date.parse(m.last_seen))}). A command waits and goes when it next reports.`;
  }
  if (m.status === "stopped") {
    return `${label(m)}'s monitor stopped at ${localTime(m.last_seen)}. A command waits and goes when the ` +
      "monitor starts again and reports.";
  }
  return "";
}

function showWaitNote() {
  const note = $("#command-offline");
  const text = machine ? waitNote(machine) : "";
  if (note.textContent !== text) note.textContent = text;
  note.hidden = !text;
}

setInterval(() => {
  if (machine && seenCell) seenCell.textContent = ago(Date.parse(machine.last_seen));
  if (machine && statusNote) statusNote.textContent = statusNoteText(machine);
  showWaitNote();
}, 1000);

// ---- Charts ----

async function loadCharts() {
  chartsLoadedAt = Date.now();
  await Promise.all([
    points.load(`/api/machines/${id}/points`),
    ...CHARTS.map(async (c) => {
      try {
        const { reports, before } = await getJSON(`/api/machines/${id}/history?hours=${c.hours}&points=${c.points}`);
        histories.set(c.sel, { reports, before, loadedAt: Date.now() });
      } catch {
        histories.set(c.sel, { reports: [], before: null, loadedAt: Date.now() });
      }
    }),
  ]);
  drawCharts();
}

// History keeps changes only: a report's values hold until the next one,
// from the last report before the span (its start) to the machine's last
// report (its end). A silence, or a monitor that stopped, is a break.
function chartPoints(h, from, to) {
  const points = [];
  let stopped = true;
  if (h.before && !h.before.stopped) {
    points.push({ t: from, v: h.before.progress });
    stopped = false;
  }
  for (const r of h.reports) {
    const t = Date.parse(r.at);
    if (r.silent_from && !stopped && points.length) {
      points.push({ t: Math.max(from, Date.parse(r.silent_from)), v: points[points.length - 1].v });
    }
    points.push({ t, v: r.progress, gap: stopped || Boolean(r.silent_from) });
    stopped = r.stopped;
  }
  const seen = machine ? Math.min(Date.parse(machine.last_seen), to) : NaN;
  if (!stopped && points.length && seen > points[points.length - 1].t) {
    points.push({ t: seen, v: machine.progress });
  }
  return points;
}

function drawCharts() {
  points.draw();
  for (const c of CHARTS) {
    const h = histories.get(c.sel);
    if (!h) continue;
    const [from, to] = [h.loadedAt - c.hours * HOUR, h.loadedAt];
    lineChart($(c.sel), chartPoints(h, from, to), {
      from,
      to,
      stepped: true,
      label: `Progress over the last ${c.hours === 24 ? "24 hours" : "7 days"}`,
    });
  }
}

// ---- Status changes ----

const points = new PointsHistory($("#points"), 30);
let events = [];
let eventsLoadedAt = 0;

async function loadEvents() {
  eventsLoadedAt = Date.now();
  try {
    ({ events } = await getJSON(`/api/machines/${id}/events`));
  } catch {
    // Kept as they were.
  }
  showEvents();
}

// Newest first: "stalled at 10:42 (for 12 min)"; a return to folding says so.
function showEvents() {
  $("#status-events").replaceChildren(
    ...events.map((e, i) => {
      const older = events[i + 1];
      const back = e.status === "folding" && older && older.status !== "folding";
      const span = duration((e.until ? Date.parse(e.until) : Date.now()) - Date.parse(e.at));
      const li = el("li");
      li.append(statusBadge(e.status), back ? " back at " : " at ", timeEl(e.at), e.until ? ` (for ${span})` : ` (for ${span} so far)`);
      return li;
    }),
  );
  $("#status-events-empty").hidden = events.length > 0;
}
setInterval(showEvents, 30e3);

// ---- Units ----

async function loadUnits() {
  // By the server's own id: the units' "machine" is the client's machine id, which two monitors of one computer share.
  const q = new URLSearchParams({ machine_id: id, limit: 50 });
  let units = [];
  try {
    ({ units } = await getJSON(`/api/units?${q}`));
  } catch {
    // Shown as none.
  }
  $("#units tbody").replaceChildren(
    ...units.map((u) => {
      const tr = el("tr");
      const at = el("td");
      at.append(timeEl(u.at));
      tr.append(
        at,
        el("td", null, u.protein),
        el("td", null, u.core),
        el("td", "num", Number(u.frame_minutes).toFixed(1)),
        el("td", "num", number.format(u.points)),
      );
      return tr;
    }),
  );
  $("#units-empty").hidden = units.length > 0;
}

// ---- Commands ----

const COMMANDS = {
  exit: "Stop the monitor on %s? It exits when it next reports.",
  tray: "Switch %s between its window and the tray?",
  restart: "Restart the Folding@home client service on %s?",
};

async function loadCommands() {
  let commands = [];
  try {
    ({ commands } = await getJSON(`/api/machines/${id}/commands`));
  } catch {
    // Shown as none.
  }
  const stateOf = (c) => c.state ?? c.status;
  $("#commands tbody").replaceChildren(
    ...commands.map((c) => {
      const tr = el("tr");
      const state = stateOf(c);
      const badge = el("span", `badge state-${state}${state === "pending" ? " pending" : ""}`, state);
      const cells = [
        c.command,
        badge,
        visible(c.requested_by),
        timeEl(c.requested_at),
        c.delivered_at ? [timeEl(c.delivered_at), c.delivered_to ? visible(` to ${c.delivered_to}`) : ""] : "—",
        c.cancelled_at ? [visible(`${c.cancelled_by} `), timeEl(c.cancelled_at)] : "—",
      ];
      for (const value of cells) {
        const td = el("td");
        td.append(...(Array.isArray(value) ? value : [value]));
        tr.append(td);
      }
      return tr;
    }),
  );
  $("#commands-empty").hidden = commands.length > 0;
  pendingInList = commands.some((c) => stateOf(c) === "pending");
  showCommandButtons();
}
let pendingInList = false;

function showCommandButtons() {
  const admin = isAdmin();
  for (const b of document.querySelectorAll("button[data-command]")) b.disabled = !admin;
  const cancel = $("#cancel-command");
  cancel.hidden = !(pendingInList || (machine && machine.pending_command));
  cancel.disabled = !admin;
  showWaitNote();
  const hint = $("#command-hint");
  hint.hidden = admin;
  if (!admin) {
    const a = el("a", null, "Sign in");
    a.href = signinHref();
    const rest = session && session.signed_in ? " with the admin token to send commands." : " to send commands.";
    hint.replaceChildren(a, rest);
  }
}

function result(text, isError) {
  const p = $("#command-result");
  p.textContent = text;
  p.classList.toggle("error", Boolean(isError));
}


async function send(command) {
  const button = document.querySelector(`button[data-command="${command}"]`);
  const waits = waitNote(machine);
  const ask = COMMANDS[command].replace("%s", label(machine)) + (waits ? ` ${waits}` : "");
  if (!(await askFirst("confirm", ask, button.textContent))) return;
  try {
    await sendJSON("POST", `/api/machines/${id}/commands`, { command });
    result(waits ? `Queued: ${command}. ${waits}` : `Sent: ${command}. It reaches the machine with its next report.`);
  } catch (e) {
    result(`Not sent: ${e.message}`, true);
  }
  await Promise.all([loadCommands(), refreshMachine()]);
}

async function cancelPending() {
  try {
    const c = await sendJSON("DELETE", `/api/machines/${id}/commands`);
    result(`Cancelled: ${c.command}.`);
  } catch (e) {
    result(`Not cancelled: ${e.message}`, true);
  }
  await Promise.all([loadCommands(), refreshMachine()]);
}

for (const b of document.querySelectorAll("button[data-command]")) {
  b.addEventListener("click", () => send(b.dataset.command));
}
$("#cancel-command").addEventListener("click", cancelPending);

// ---- Address ----

function addressResult(text, isError) {
  const p = $("#address-result");
  p.textContent = text;
  p.classList.toggle("error", Boolean(isError));
}

// The refused sender that last asked for this machine (pinned), offered as where to move it.
function showAddressPanel() {
  const admin = isAdmin();
  const refused = machine && machine.refused_address;
  const line = $("#address-refused");
  line.hidden = !refused;
  if (refused) line.replaceChildren(visible(`Refused: a record from ${refused}, at `), timeEl(machine.refused_at));
  const take = $("#address-take-refused");
  take.hidden = !refused;
  for (const b of [take, $("#address-move"), $("#address-clear"), $("#address-input")]) b.disabled = !admin;
  $("#remove-machine").disabled = !admin;
}

async function moveAddress(address) {
  const text = `Move the pinned address of ${label(machine)} to ${visible(address)}? From then only records from it are served.`;
  if (!(await askFirst("confirm", text, "Move"))) return;
  try {
    const r = await sendJSON("PUT", `/api/machines/${id}/address`, { address });
    addressResult(visible(`Moved to ${r.address}.`));
  } catch (e) {
    addressResult(`Not moved: ${e.message}`, true);
  }
  await refreshMachine();
}

async function clearAddress() {
  const text = `Clear the address of ${label(machine)}? The next record from anywhere takes the machine.`;
  if (!(await askFirst("confirm", text, "Clear"))) return;
  try {
    await sendJSON("DELETE", `/api/machines/${id}/address`);
    addressResult("Cleared: the next record's address is taken.");
  } catch (e) {
    addressResult(`Not cleared: ${e.message}`, true);
  }
  await refreshMachine();
}

$("#address-take-refused").addEventListener("click", () => moveAddress(machine.refused_address));
$("#address-form").addEventListener("submit", (event) => {
  event.preventDefault();
  const address = $("#address-input").value.trim();
  if (address) moveAddress(address);
});
$("#address-clear").addEventListener("click", clearAddress);

// ---- Mute ----

function showMutePanel() {
  const admin = isAdmin();
  const until = machine.muted_until;
  const state = $("#mute-state");
  if (until) state.replaceChildren("No alert is raised for it until ", timeEl(until), ".");
  else state.textContent = "Not muted: it raises alerts as it goes offline or stalls.";
  $("#mute").textContent = until ? "Mute for longer" : "Mute";
  $("#unmute").hidden = !until;
  for (const b of [$("#mute"), $("#unmute"), $("#mute-minutes")]) b.disabled = !admin;
}

function muteResult(text, isError) {
  const p = $("#mute-result");
  p.textContent = text;
  p.classList.toggle("error", Boolean(isError));
}

async function mute(minutes) {
  try {
    const r = minutes
      ? await sendJSON("POST", `/api/machines/${id}/mute`, { minutes })
      : await sendJSON("DELETE", `/api/machines/${id}/mute`);
    muteResult(r.muted_until ? `Muted until ${localTime(r.muted_until)}.` : "Unmuted: its alerts are raised again.");
  } catch (e) {
    muteResult(`Not ${minutes ? "muted" : "unmuted"}: ${e.message}`, true);
  }
  await refreshMachine();
}

$("#mute-form").addEventListener("submit", (event) => {
  event.preventDefault();
  mute(Number($("#mute-minutes").value));
});
$("#unmute").addEventListener("click", () => mute(0));

// ---- Removal ----

let removed = false;

async function removeMachine() {
  const text = `Remove ${label(machine)} with its reports, commands and alerts? ` +
    "If it reports again it comes back as a new machine.";
  if (!(await askFirst("confirm", text, "Remove"))) return;
  try {
    await sendJSON("DELETE", `/api/machines/${id}`);
  } catch (e) {
    $("#remove-result").textContent = `Not removed: ${e.message}`;
    $("#remove-result").classList.add("error");
    return;
  }
  removed = true;
  const back = el("a", null, "Back to the fleet");
  back.href = "/";
  const box = $("#machine-removed");
  box.replaceChildren(`${label(machine)} was removed with its reports, commands and alerts. `, back);
  box.hidden = false;
  $("#machine-body").hidden = true;
  $("#machine-status").replaceChildren(el("span", "badge", "removed"));
  back.focus();
}

$("#remove-machine").addEventListener("click", removeMachine);

// ---- Start ----

async function refreshMachine() {
  try {
    showMachine(await getJSON(`/api/machines/${id}`));
  } catch {
    // The stream or the next refresh brings it.
  }
}

function notFound(message) {
  $("#machine-name").textContent = "Machine not found";
  const box = $("#machine-error");
  box.hidden = false;
  const back = el("a", null, "Back to the fleet");
  back.href = "/";
  box.replaceChildren(message, " ", back);
  $("#machine-body").hidden = true;
}

async function start() {
  await loadSession();
  try {
    if (!Number.isSafeInteger(id)) throw new Error(`There is no machine at ${location.pathname}.`);
    machine = await getJSON(`/api/machines/${id}`);
  } catch (e) {
    notFound(e.status === 404 ? `No machine has the number ${id}: it may have been removed.`
      : !e.status ? e.message : `The machine could not be loaded: ${e.message}`);
    document.body.dataset.ready = "1";
    return;
  }
  showMachine(machine);
  await Promise.all([loadCharts(), loadEvents(), loadCommands(), loadUnits(), alerts.load()]);
  document.body.dataset.ready = "1";
  onWidthChange(drawCharts);
  // This machine's changes only, not the whole fleet's.
  openStream({
    url: `/api/events?machine=${id}`,
    onMachines: ({ machines }) => {
      const m = machines.find((x) => x.id === id);
      if (m) showMachine(m);
    },
    onAlerts: (list) => alerts.merge(list),
    onState: () => {}, // the banner and the greyed figures come from common.js
    poll: refreshMachine,
  });
  onReconnect(() => Promise.all([refreshMachine(), loadCommands(), loadUnits(), loadCharts(), loadEvents(), alerts.load()]));
}

start();
