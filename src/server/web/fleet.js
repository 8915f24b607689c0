// The fleet: every machine in a Map, the stream's changes merged until the
// next animation frame, one sort and filter per frame, and only the rows in
// view (plus a margin) in the table, so 10,000 machines stay cheap.
import { AlertList, getJSON, loadSession, number, openStream, STATUSES } from "/assets/common.js";
import { buildTable, fillCells, newRow, SORT_KEYS, tick } from "/assets/fleet-columns.js";
import { startWaiting } from "/assets/waiting.js";

const MARGIN = 10; // rows drawn above and below the visible ones
const MAX_LINES = 4; // a row's height in lines, at most; what needs more is whole on the machine's page

const stats = (window.pelmoraStats = { firstRenderMs: null, updates: 0, lastUpdateMs: 0 });

const $ = (sel) => document.querySelector(sel);
const wrap = $(".fleet-wrap");
const table = $("#fleet");
let sort = { key: "name", dir: 1 };
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
  return { id: m.id, m, nameKey: undefined, sortKey: undefined, sortedBy: null, text: undefined, seen: undefined };
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
  }
  if (data) showCounts();
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
    added ||= !entries.has(m.id);
    entries.set(m.id, entryOf(m));
  }
  incoming.clear();
  // Without new machines the last order is kept, so the sort after is quick.
  ordered = added ? [...entries.values()] : ordered.map((e) => entries.get(e.id));
  updateSuggestions();
}

const isFiltering = () => Boolean(filter.status || filter.user || filter.team || filter.text);

// ---- Rendering ----

let rowHeight = 0; // measured from the first row drawn
let rendered = new Map(); // id -> tr in the DOM
const spareRows = [];

function fillRow(tr, e) {
  tr.entry = e;
  tr.dataset.id = e.m.id;
  fillCells(tr, e);
  return tr;
}

function renderRows() {
  const height = rowHeight || 36;
  const top = Math.max(0, wrap.scrollTop - table.tHead.offsetHeight);
  const from = Math.max(0, Math.floor(top / height) - MARGIN);
  const to = Math.min(view.length, Math.ceil((top + wrap.clientHeight) / height) + MARGIN);
  topSpacer.cells[0].style.height = `${from * height}px`;
  bottomSpacer.cells[0].style.height = `${(view.length - to) * height}px`;
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

  if (filled.some(clamped) && growLines()) return renderRows();
  if (!rowHeight && kept.size) {
    rowHeight = kept.values().next().value.getBoundingClientRect().height;
    if (Math.abs(rowHeight - height) > 0.5) renderRows();
  }
}

// Every row has the same height, in lines: one more for all when a wrapped
// text drawn (a name, user, unit or core) does not fit, up to MAX_LINES.
const clamped = (tr) => tr.wraps.some((w) => w.scrollHeight > w.clientHeight + 1);

function growLines() {
  const lines = parseInt(getComputedStyle(table).getPropertyValue("--lines"), 10);
  if (!(lines < MAX_LINES)) return false;
  table.style.setProperty("--lines", lines + 1);
  rowHeight = 0;
  return true;
}

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
}

const ppdOf = (list) => list.reduce((sum, e) => sum + (e.m.ppd ?? 0), 0);

let shownText = "";
function showShown() {
  const text = isFiltering()
    ? `${number.format(view.length)} of ${number.format(entries.size)} machines, ${number.format(ppdOf(view))} points per day`
    : `${number.format(entries.size)} machines`;
  if (text !== shownText) $("#shown").textContent = shownText = text;
  const note = $("#fleet-empty");
  note.hidden = view.length > 0;
  note.textContent = entries.size ? "No machine matches these filters." : "No machine has reported yet.";
}

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
  schedule("filter");
}

$("#filters").addEventListener("input", readFilters);
$("#filters").addEventListener("submit", (ev) => ev.preventDefault());
for (const b of document.querySelectorAll("#counts button")) {
  b.addEventListener("click", () => {
    inputs.status.value = b.dataset.status === "all" ? "" : b.dataset.status;
    readFilters();
  });
}

wrap.addEventListener("scroll", () => schedule(), { passive: true });
addEventListener("resize", () => {
  rowHeight = 0;
  schedule();
});

// ---- The stream, with polling while it is refused ----

function setLive(open, polling) {
  liveBadge.dataset.state = open ? "open" : "closed";
  liveBadge.textContent = open ? "live" : "reconnecting…";
  liveBadge.title = open ? "Updates arrive as machines report" : polling ? "Refreshing every 5 s" : "";
  if (open && wasOpen) alerts.load(); // those raised while the stream was down
  wasOpen ||= open;
}
let wasOpen = false;

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
