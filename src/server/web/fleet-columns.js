// The fleet table's columns, one entry each: its heading, the key its rows
// sort by, its width (and its width on a phone, where only the columns that
// have one are shown), and how its cell is made and filled from the machine.
// The table's columns, header and spacer rows and every row's cells are built
// from this list, so a column from a field the machines already carry is one
// more entry here.
import { ago, breakable, el, fullTime, localTime, muteMark, number, pendingBadge, statusBadge } from "/assets/common.js";

// Those that need a look first: offline, stalled, stopped, then a command
// waiting for its machine, then the rest (the fleet's order at first).
const STATUS_RANK = { offline: 0, stalled: 1, stopped: 2, folding: 4 };
export const attentionRank = (m) => (m.status === "folding" && m.pending_command ? 3 : STATUS_RANK[m.status] ?? 9);
// Digits padded so "LABPC10" sorts after "LABPC9" with a plain comparison.
const natural = (s) => String(s ?? "").toLowerCase().replace(/\d+/g, (d) => d.padStart(12, "0"));
const time = (iso, none) => (iso ? Date.parse(iso) : none);
// Parsed once per version of the machine (an entry of fleet.js).
const seenOf = (e) => (e.seen ??= time(e.m.last_seen, NaN));

// A text shown whole, wrapped over the row's lines; fleet.js gives every row
// a line more when one of these does not fit.
const wrapped = (field) => ({
  make: (td) => td.appendChild(el("span", "wrap")),
  fill: (span, { m }) => {
    breakable(span, m[field]);
    span.title = m[field];
  },
});
const text = (show) => ({ fill: (td, { m }) => (td.textContent = show(m)) });

// The machines picked for one command to all (fleet.js's bulk form), by id.
export const picked = new Set();

// make(td) builds what the cell keeps (the td itself if absent); fill(that,
// entry) shows the machine (entry.m) in it. `sort` is the sort button's key
// where it is not the column's; `tick` cells are filled again every second.
export const COLUMNS = [
  {
    // No sort: its heading is a box that picks every machine shown. An admin's only (fleet.js).
    key: "pick", heading: "Pick", width: "2.4em", unsorted: true, adminOnly: true,
    make: (td) => Object.assign(td.appendChild(el("input", "pick")), { type: "checkbox" }),
    fill: (box, { m }) => {
      box.checked = picked.has(m.id);
      box.dataset.id = m.id;
      box.setAttribute("aria-label", `Pick ${m.name}/${m.cpu}`);
    },
  },
  {
    // On a phone the name takes what the three other columns there leave (5.6 + 5.2 + 4.8em).
    key: "name", heading: "Machine/CPU#", width: "13em", phone: "calc(100vw - 1.6rem - 15.6em)",
    sortKey: (m) => `${natural(m.name)}/${String(m.cpu).padStart(4, "0")}`,
    // A machine is its name and CPU# together: the number stays in view however long the name.
    make: (td) => {
      const link = td.appendChild(el("a", "ident"));
      return { link, name: link.appendChild(el("span", "wrap")), cpu: link.appendChild(el("span", "cpu")) };
    },
    fill: (c, { m }) => {
      c.link.href = `/machines/${m.id}`;
      c.link.title = `${m.name}/${m.cpu}`;
      breakable(c.name, m.name);
      c.cpu.textContent = `/${m.cpu}`;
    },
  },
  { key: "user", heading: "User", width: "7em", gone: 7, sortKey: (m) => String(m.user ?? "").toLowerCase(), ...wrapped("user") },
  { key: "team", heading: "Team", numeric: true, width: "5.5em", gone: 7, sortKey: (m) => m.team, ...text((m) => m.team) },
  { key: "unit", heading: "Unit", width: "11.5em", gone: 6, sortKey: (m) => natural(m.unit), ...wrapped("unit") },
  { key: "core", heading: "Core", width: "8.5em", gone: 5, sortKey: (m) => natural(m.core), ...wrapped("core") },
  {
    key: "progress", heading: "Progress", width: "8em", phone: "5.6em", sortKey: (m) => m.progress,
    make: (td) => {
      const bar = Object.assign(document.createElement("progress"), { max: 100 });
      const percent = el("span", "pct");
      td.append(bar, percent);
      return { bar, percent };
    },
    fill: (c, { m }) => {
      c.bar.value = m.progress;
      c.percent.textContent = `${m.progress}%`;
    },
  },
  {
    key: "ppd", heading: "Points/day", title: "Points per day, estimated from the pace", numeric: true, gone: 8,
    width: "6.5em", sortKey: (m) => m.ppd ?? -1, ...text((m) => (m.ppd == null ? "—" : number.format(m.ppd))),
  },
  {
    key: "points", heading: "Unit points", title: "The current unit's points", numeric: true, width: "5.5em", gone: 3,
    sortKey: (m) => m.points, ...text((m) => number.format(m.points)),
  },
  { key: "frames", heading: "Frames", numeric: true, width: "5em", gone: 2, sortKey: (m) => m.frames, ...text((m) => m.frames) },
  {
    key: "status", heading: "Status", width: "9.5em", phone: "5.2em", sortKey: attentionRank,
    fill: (td, { m }) => {
      td.replaceChildren(statusBadge(m.status));
      if (m.pending_command) td.append(" ", pendingBadge(m.pending_command));
      if (m.muted_until) td.append(" ", muteMark(m.muted_until));
    },
  },
  {
    key: "seen", sort: "last_seen", heading: "Last report", width: "7.5em", phone: "4.8em", tick: true,
    sortKey: (m) => time(m.last_seen, 0) || 0,
    fill: (td, e) => {
      td.textContent = ago(seenOf(e));
      td.title = e.m.last_seen;
    },
  },
  {
    key: "eta", heading: "Finish (est.)", width: "6em", gone: 4, sortKey: (m) => time(m.eta, Infinity) || Infinity,
    fill: (td, { m }) => {
      td.textContent = localTime(m.eta);
      td.title = m.eta ? fullTime(m.eta) : "";
    },
  },
  {
    key: "view", sort: "in_tray", heading: "View", width: "5em", gone: 1, sortKey: (m) => (m.in_tray ? 1 : 0),
    ...text((m) => (m.in_tray ? "tray" : "window")),
  },
];

const sortOf = (c) => c.sort ?? c.key;
export const SORT_KEYS = Object.fromEntries(COLUMNS.filter((c) => !c.unsorted).map((c) => [sortOf(c), c.sortKey]));
const TICKING = COLUMNS.filter((c) => c.tick);

// A column not shown on a phone has its col, th and td marked so; those of
// least use give way first as the window narrows (app.css's gone-N widths).
const classes = (c, ...names) =>
  [...names, c.numeric && "num", !c.phone && "wide-only", c.gone && `gone-${c.gone}`, c.adminOnly && "admin-only"]
    .filter(Boolean).join(" ");

// The columns, the header row (its button for `sortedBy` marked as sorted
// by) and the two spacer rows that stand for the rows not drawn, in a table
// that has only its caption; returns the spacers.
export function buildTable(table, sortedBy) {
  const cols = table.appendChild(document.createElement("colgroup"));
  const head = table.createTHead().insertRow();
  for (const c of COLUMNS) {
    const col = cols.appendChild(el("col", classes(c)));
    col.style.setProperty("--width", c.width);
    if (c.phone) col.style.setProperty("--phone-width", c.phone);
    const th = head.appendChild(el("th", classes(c, `col-${c.key}`)));
    th.scope = "col";
    if (c.unsorted) {
      const all = th.appendChild(el("input"));
      Object.assign(all, { type: "checkbox", id: `${c.key}-all` });
      all.setAttribute("aria-label", "Pick every machine shown");
      continue;
    }
    if (sortOf(c) === sortedBy) th.setAttribute("aria-sort", "ascending");
    const button = th.appendChild(el("button", null, c.heading));
    button.type = "button";
    button.dataset.sort = sortOf(c);
    if (c.title) button.title = c.title;
  }
  const body = table.createTBody();
  return [0, 1].map(() => {
    const spacer = body.insertRow();
    spacer.className = "spacer";
    spacer.setAttribute("aria-hidden", "true");
    spacer.insertCell().colSpan = COLUMNS.length;
    return spacer;
  });
}

// A row of cells made by their columns; tr.c holds what each keeps, tr.wraps
// the texts that may need more lines.
export function newRow() {
  const tr = document.createElement("tr");
  tr.c = {};
  for (const c of COLUMNS) {
    const td = tr.appendChild(el("td", classes(c, `c-${c.key}`)));
    tr.c[c.key] = c.make ? c.make(td) : td;
  }
  tr.wraps = [...tr.getElementsByClassName("wrap")];
  return tr;
}

export function fillCells(tr, e, columns = COLUMNS) {
  for (const c of columns) c.fill(tr.c[c.key], e);
}

export const tick = (tr) => fillCells(tr, tr.entry, TICKING);
