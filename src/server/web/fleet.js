// The fleet: every machine in a Map, the stream's changes merged until the
// next animation frame, one sort and filter per frame, and only the rows in
// view (plus a margin) in the table, so 10,000 machines stay cheap.
import {
  AlertList, duration, el, getJSON, isAdmin, loadSession, number, onReconnect, openStream, PIECES, STATUSES, visible,
} from "/assets/common.js";
import { attentionRank, buildTable, fillCells, newRow, SORT_KEYS, tick } from "/assets/fleet-columns.js";
import { startWaiting } from "/assets/waiting.js";
import { showPicks, startBulk } from "/assets/bulk.js";

const MARGIN = 10; // rows drawn above and below the visible ones
const MIN_LINES = 2;
const MAX_LINES = 4; // a row's height in lines, at most; what needs more is whole on the machine's page
const ATTENTION_MOST = 50; // machines listed in the attention strip; the table sorted by status has the rest

const stats = (window.pelmoraStats = { firstRenderMs: null, updates: 0, lastUpdateMs: 0 });

const $ = (sel) => document.querySelector(sel);
const wrap = $(".fleet-wrap");
const table = $("#fleet");
// Those that need a look first (the status column's order), then by name.
let sort = { key: "status", dir: 1 };
const [topSpacer, bottomSpacer] = buildTable(table, sort.key);
const tbody = table.tBodies[0];
const liveBadge = $("#live");
const sessionLoaded = loadSession();
sessionLoaded.then(startWaiting);

// ---- State ----

const entries = new Map(); // id -> entry (the machine and its sort keys)
let ordered = []; // every entry, in the current sort order
let view = []; // the entries that pass the filters, in order
const filter = { status: "", user: "", team: "", text: "" };
const alerts = new AlertList("/api/alerts?limit=100");

// Waiting for the next frame.
let incomingFull = null;
const incoming = new Map();
let incomingMessages = 0;
let dirty = { data: false, sort: false, filter: false };
let frameQueued = false;

// One per machine version. Sort keys and the search text are made when
// first needed and kept until the machine changes, so the first snapshot
// of a big fleet pays only for the column it is sorted by.
function entryOf(m) {
  return { id: m.id, m, nameKey: undefined, sortKey: undefined, sortedBy: null, text: undefined, seen: undefined, lines: 0 };
}

function prepareKeys(e) {
  e.nameKey ??= SORT_KEYS.name(e.m);
  if (e.sortedBy !== sort.key) {
    e.sortKey = sort.key === "name" ? e.nameKey : SORT_KEYS[sort.key](e.m);
    e.sortedBy = sort.key;
  }
}

function compare(a, b) {
  if (a.sortKey !== b.sortKey) return (a.sortKey < b.sortKey ? -1 : 1) * sort.dir;
  return a.nameKey < b.nameKey ? -1 : a.nameKey > b.nameKey ? 1 : a.id - b.id;
}

function passes(e) {
  const m = e.m;
  if (filter.status && (filter.status === "pending" ? !m.pending_command : m.status !== filter.status)) return false;
  if (filter.user && String(m.user ?? "").toLowerCase() !== filter.user) return false;
  if (filter.team && String(m.team) !== filter.team) return false;
  if (!filter.text) return true;
  e.text ??= `${m.name}\n${m.user}\n${m.team}\n${m.unit}\n${m.core}`.toLowerCase();
  return e.text.includes(filter.text);
}

// ---- Updates, coalesced per frame ----

function receive(data) {
  if (data.full) {
    incomingFull = data.machines;
    incoming.clear();
  } else {
    for (const m of data.machines) incoming.set(m.id, m);
  }
  incomingMessages++;
  schedule("data");
}

function schedule(what) {
  if (what) dirty[what] = true;
  if (frameQueued) return;
  frameQueued = true;
  requestAnimationFrame(frame);
}

function frame() {
  frameQueued = false;
  const started = performance.now();
  const { data, sort: resort, filter: refilter } = dirty;
  dirty = { data: false, sort: false, filter: false };
  const first = data && incomingFull && stats.firstRenderMs === null;
  if (data) merge();
  // After a few changes the order is almost right, which the engine's sort
  // handles in about linear time.
  if (data || resort) {
    for (const e of ordered) prepareKeys(e);
    ordered.sort(compare);
  }
  if (data || resort || refilter) {
    view = isFiltering() ? ordered.filter(passes) : ordered;
    showShown();
    placeRows();
  }
  if (data) {
    showCounts();
    showAttention();
  }
  if (data || refilter) showPicks();
  renderRows();
  if (data) {
    stats.updates += incomingMessages;
    incomingMessages = 0;
    stats.lastUpdateMs = performance.now() - started;
  }
  if (first) {
    // After this frame is painted.
    setTimeout(() => {
      if (stats.firstRenderMs !== null) return;
      stats.firstRenderMs = performance.now();
      // With the header's session too, which may take a second line on a phone.
      sessionLoaded.then(() => (document.body.dataset.ready = "1"));
    });
  }
}

// A snapshot replaces everything; changes that came after it in the same
// frame still apply on top.
function merge() {
  let added = false;
  if (incomingFull) {
    entries.clear();
    for (const m of incomingFull) entries.set(m.id, entryOf(m));
    incomingFull = null;
    added = true;
  }
  for (const m of incoming.values()) {
    const old = entries.get(m.id);
    added ||= !old;
    const e = entries.set(m.id, entryOf(m)).get(m.id);
    // Its lines as before while its wrapped texts are (most changes are progress).
    if (old && ["name", "user", "unit", "core"].every((k) => old.m[k] === m[k])) e.lines = old.lines;
  }
  incoming.clear();
  // Without new machines the last order is kept, so the sort after is quick.
  ordered = added ? [...entries.values()] : ordered.map((e) => entries.get(e.id));
  updateSuggestions();
}

const isFiltering = () => Boolean(filter.status || filter.user || filter.team || filter.text);

// ---- Rendering ----

let rendered = new Map(); // id -> tr in the DOM
const spareRows = [];
// The rows' heights: a row's is its lines' (line * lines + pad, measured
// from a row drawn), and tops[i] is where view[i] begins, so the rows drawn
// for the window are found by a binary search and scrolling to the end
// lands at the end.
let line = 16.4;
let pad = 9;
let measured = false;
let tops = new Float64Array(1);

function fillRow(tr, e) {
  tr.entry = e;
  tr.dataset.id = e.m.id;
  tr.style.setProperty("--lines", e.lines);
  fillCells(tr, e);
  return tr;
}

function placeRows() {
  layout ??= measureLayout();
  tops = new Float64Array(view.length + 1);
  for (let i = 0; i < view.length; i++) tops[i + 1] = tops[i] + pad + line * linesOf(view[i]);
}

// The first row that ends below Y.
function rowAt(y) {
  let [lo, hi] = [0, view.length];
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (tops[mid + 1] <= y) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// The rows in view, whether the table scrolls in its box (a desktop) or with
// the page (a phone): where the box and the window overlap.
function renderRows() {
  const box = wrap.getBoundingClientRect();
  const shownTop = Math.max(box.top, 0);
  const top = Math.max(0, shownTop - topSpacer.getBoundingClientRect().top);
  const span = Math.max(0, Math.min(box.bottom, innerHeight) - shownTop);
  const from = Math.max(0, rowAt(top) - MARGIN);
  const to = Math.min(view.length, rowAt(top + span) + 1 + MARGIN);
  topSpacer.cells[0].style.height = `${tops[from]}px`;
  bottomSpacer.cells[0].style.height = `${tops[view.length] - tops[to]}px`;
  table.setAttribute("aria-rowcount", view.length + 1);

  const kept = new Map();
  const filled = [];
  for (let i = from; i < to; i++) {
    const e = view[i];
    let tr = rendered.get(e.id);
    if (tr) rendered.delete(e.id);
    else tr = spareRows.pop() || newRow();
    if (tr.entry !== e) filled.push(fillRow(tr, e)); // patch only rows whose machine changed
    tr.setAttribute("aria-rowindex", i + 2);
    kept.set(e.id, tr);
  }
  for (const tr of rendered.values()) {
    tr.remove();
    tr.entry = null;
    spareRows.push(tr);
  }
  rendered = kept;
  // Put the rows in order between the spacers, moving only those out of place.
  let at = topSpacer.nextSibling;
  for (const tr of kept.values()) {
    if (tr === at) at = at.nextSibling;
    else tbody.insertBefore(tr, at);
  }

  if (!measured && kept.size) {
    const tr = kept.values().next().value;
    measured = true;
    line = parseFloat(getComputedStyle(tr.cells[0]).lineHeight);
    pad = tr.getBoundingClientRect().height - line * tr.entry.lines;
    placeRows();
    return renderRows();
  }
  // A row the estimate fell short for gets a line more (a few at most).
  let grown = false;
  for (const tr of filled) {
    if (tr.entry.lines < MAX_LINES && clamped(tr)) {
      tr.entry.lines++;
      tr.style.setProperty("--lines", tr.entry.lines);
      grown = true;
    }
  }
  if (grown) {
    placeRows();
    renderRows();
  }
}

// A row's height is in lines: as many as its wrapped texts (name, user,
// unit, core) need, from MIN_LINES to MAX_LINES, so one long name makes its
// own row taller, not every row. Each text's lines are estimated with the
// canvas (broken after separators, as the cells break it) once per machine
// version and window size, so a row's height is known before it is drawn.
const pen = document.createElement("canvas").getContext("2d");
let layout = null; // the wrapped columns' widths and fonts, measured once per window size

function measureLayout() {
  // The spacers span the columns shown: spanning hidden ones would add empty columns.
  const shown = [...table.tHead.rows[0].cells].filter((th) => th.offsetWidth).length;
  for (const spacer of [topSpacer, bottomSpacer]) spacer.cells[0].colSpan = shown;
  const fonts = getComputedStyle(table);
  const font = `${fonts.fontSize} ${fonts.fontFamily}`;
  const inner = (key) => {
    const th = table.tHead.querySelector(`.col-${key}`);
    return th && th.offsetWidth ? th.offsetWidth - 2 * parseFloat(getComputedStyle(th).paddingLeft) - 1 : 0;
  };
  return ["name", "user", "unit", "core"]
    .map((key) => ({ key, width: inner(key), font: key === "name" ? `600 ${font}` : font }))
    .filter((c) => c.width > 0);
}

function linesOfText(text, width) {
  let lines = 1;
  let used = 0;
  for (const piece of visible(text).split(PIECES)) {
    const w = pen.measureText(piece).width;
    if (used + w <= width) {
      used += w;
      continue;
    }
    if (used) lines++;
    lines += Math.ceil(w / width) - 1;
    used = w % width || width;
  }
  return lines;
}

function linesOf(e) {
  if (!e.lines) {
    e.lines = MIN_LINES;
    for (const c of layout) {
      pen.font = c.font;
      const width = c.key === "name" ? c.width - pen.measureText(`/${e.m.cpu}`).width : c.width;
      e.lines = Math.min(MAX_LINES, Math.max(e.lines, linesOfText(e.m[c.key], width)));
      if (e.lines === MAX_LINES) break;
    }
  }
  return e.lines;
}

const clamped = (tr) => tr.wraps.some((w) => w.scrollHeight > w.clientHeight + 1);

function showCounts() {
  const counts = { all: entries.size, pending: 0, folding: 0, stalled: 0, offline: 0, stopped: 0 };
  let ppd = 0;
  for (const { m } of entries.values()) {
    counts[m.status] = (counts[m.status] || 0) + 1;
    if (m.pending_command) counts.pending++;
    ppd += m.ppd ?? 0;
  }
  for (const key of ["all", "pending", ...STATUSES]) {
    $(`#counts [data-status="${key}"] .n`).textContent = number.format(counts[key]);
  }
  $("#fleet-ppd").textContent = number.format(ppd);
  // Only a folding machine has an estimate: the total says from how many.
  $("#fleet-ppd-from").textContent = counts.folding === counts.all ? "" : ` (from the ${number.format(counts.folding)} folding)`;
}

// ---- The machines that need attention, with how long each has been so ----

function attentionText(m, now) {
  const since = (iso) => duration(now - Date.parse(iso));
  if (m.status === "offline") return `offline for ${since(m.last_seen)}`;
  if (m.status === "stalled") return `no progress for ${since(m.changed_at || m.last_seen)}`;
  if (m.status === "stopped") return `stopped ${since(m.last_seen)} ago`;
  return `${m.pending_command} command pending`;
}

let attentionKey = "";
function showAttention() {
  const now = Date.now();
  const needing = [...entries.values()]
    .filter((e) => attentionRank(e.m) < 4)
    .sort((a, b) => attentionRank(a.m) - attentionRank(b.m) || SORT_KEYS.name(a.m).localeCompare(SORT_KEYS.name(b.m)));
  const items = needing.slice(0, ATTENTION_MOST).map((e) => [e.m, attentionText(e.m, now)]);
  const key = items.map(([m, text]) => `${m.id} ${text}`).join("\n");
  if (key === attentionKey) return;
  attentionKey = key;
  $("#attention-title").textContent = needing.length
    ? `Needs attention (${number.format(needing.length)})`
    : entries.size ? "Every machine is folding" : "Needs attention";
  const more = needing.length - items.length;
  $("#attention-list").replaceChildren(
    ...items.map(([m, text]) => {
      const li = el("li", `attention-${m.pending_command && m.status === "folding" ? "pending" : m.status}`);
      const link = el("a", null, `${m.name}/${m.cpu}`);
      link.href = `/machines/${m.id}`;
      li.append(link, " ", el("span", null, text));
      return li;
    }),
    ...(more > 0 ? [el("li", "muted", `and ${number.format(more)} more: the table lists them first`)] : []),
  );
}
setInterval(showAttention, 10e3);

const ppdOf = (list) => list.reduce((sum, e) => sum + (e.m.ppd ?? 0), 0);

let shownText = "";
function showShown() {
  const text = isFiltering()
    ? `${number.format(view.length)} of ${number.format(entries.size)} machines (the others are filtered out), ` +
      `${number.format(ppdOf(view))} points per day`
    : `${number.format(entries.size)} machines`;
  if (text !== shownText) $("#shown").textContent = shownText = text;
  $("#fleet-empty").hidden = view.length > 0 || !entries.size;
  $("#fleet-fresh").hidden = entries.size > 0;
  $("#attention").hidden = !entries.size;
}

// A fresh server says how to point a monitor at it, with this server's address.
function showFreshHelp() {
  const host = location.hostname;
  const ipv4 = /^\d{1,3}(\.\d{1,3}){3}$/.test(host);
  $("#fresh-ini").textContent =
    `stats 1\nipadd ${ipv4 ? host : "SERVER-IPv4-ADDRESS"}\ncpunum 1\nfhlog 1\nkorv! 1\nkhost ${location.host}\n`;
  $("#fresh-ipv4").hidden = ipv4;
}
showFreshHelp();

// The datalists behind the user and team filters, rebuilt only when they change.
let suggestionKey = "";
function updateSuggestions() {
  const users = new Set();
  const teams = new Set();
  for (const { m } of entries.values()) {
    users.add(m.user);
    teams.add(String(m.team));
  }
  const key = [...users].sort().join("\n") + "\t" + [...teams].sort().join("\n");
  if (key === suggestionKey) return;
  suggestionKey = key;
  const options = (set) => [...set].sort().map((v) => Object.assign(document.createElement("option"), { value: v }));
  $("#users").replaceChildren(...options(users));
  $("#teams").replaceChildren(...options(teams));
}

// "12 s ago" kept current, for the rows on screen only.
setInterval(() => {
  for (const tr of rendered.values()) tick(tr);
}, 1000);

// ---- Controls ----

for (const button of table.tHead.querySelectorAll("button[data-sort]")) {
  button.addEventListener("click", () => {
    const key = button.dataset.sort;
    sort = { key, dir: sort.key === key ? -sort.dir : 1 };
    for (const th of table.tHead.querySelectorAll("th")) th.removeAttribute("aria-sort");
    button.parentElement.setAttribute("aria-sort", sort.dir > 0 ? "ascending" : "descending");
    schedule("sort");
  });
}

const inputs = {
  status: $("#filter-status"),
  user: $("#filter-user"),
  team: $("#filter-team"),
  text: $("#filter-text"),
};

function readFilters() {
  filter.status = inputs.status.value;
  filter.user = inputs.user.value.trim().toLowerCase();
  filter.team = inputs.team.value.trim();
  filter.text = inputs.text.value.trim().toLowerCase();
  for (const b of document.querySelectorAll("#counts button")) {
    b.setAttribute("aria-pressed", String(b.dataset.status === (filter.status || "all")));
  }
  wrap.scrollTop = 0;
  const active = [filter.status, filter.user, filter.team, filter.text].filter(Boolean).length;
  $("#filters-toggle").textContent = active ? `Filters (${active})` : "Filters";
  schedule("filter");
}

// On a phone the filter fields are folded behind one button.
$("#filters-toggle").addEventListener("click", (ev) => {
  const open = ev.currentTarget.getAttribute("aria-expanded") !== "true";
  ev.currentTarget.setAttribute("aria-expanded", String(open));
  $("#filters").toggleAttribute("data-open", open);
});

$("#filters").addEventListener("input", readFilters);
$("#filters").addEventListener("submit", (ev) => ev.preventDefault());
for (const b of document.querySelectorAll("#counts button")) {
  b.addEventListener("click", () => {
    inputs.status.value = b.dataset.status === "all" ? "" : b.dataset.status;
    readFilters();
  });
}

wrap.addEventListener("scroll", () => schedule(), { passive: true });
addEventListener("scroll", () => schedule(), { passive: true });
// The columns' widths changed: the rows' lines are estimated again.
function relayout() {
  layout = null;
  measured = false;
  for (const e of entries.values()) e.lines = 0;
  schedule("filter");
}
addEventListener("resize", relayout);

// ---- The stream, with polling while it is refused ----

function setLive(open, polling) {
  liveBadge.dataset.state = open ? "open" : "closed";
  liveBadge.textContent = open ? "live" : "reconnecting…";
  liveBadge.title = open ? "Updates arrive as machines report" : polling ? "Refreshing every 5 s" : "";
  if (open && wasOpen) alerts.load(); // those raised while the stream was down
  wasOpen ||= open;
}
let wasOpen = false;
onReconnect(() => {
  alerts.load();
  checkStore();
});

const stream = openStream({
  onMachines: receive,
  onAlerts: (list) => alerts.merge(list),
  onState: setLive,
  poll: async () => {
    try {
      const { machines } = await getJSON("/api/machines");
      if (!stream.isOpen()) receive({ full: true, machines });
      alerts.load();
    } catch {
      // The next poll tries again.
    }
  },
});

alerts.load();

// An admin picks machines in a column of their own for one command to all.
sessionLoaded.then(() => {
  if (!isAdmin()) return;
  table.classList.add("admin");
  relayout();
  startBulk({
    machine: (id) => entries.get(id)?.m,
    shown: () => view.map((e) => e.id),
    rows: () => rendered.values(),
  });
});

// ---- The store at its bound ----

const MIB = 1 << 20;
async function checkStore() {
  try {
    const s = await getJSON("/api/store");
    const notice = $("#store-notice");
    notice.hidden = !s.at_limit;
    notice.textContent = s.at_limit
      ? `The store is at its bound (${number.format(Math.round(s.size_bytes / MIB))} of ` +
        `${number.format(Math.round(s.max_bytes / MIB))} MiB): its oldest history is being removed.`
      : "";
  } catch {
    // Tried again at the next look.
  }
}
checkStore();
setInterval(checkStore, 60e3);
