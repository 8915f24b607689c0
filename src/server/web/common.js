// Shared by every page: fetching, the session in the header, time and
// status formatting, the alerts list. Text from the server always goes in
// through textContent, never as markup.

export const STATUSES = ["folding", "stalled", "offline", "stopped"];

// Text as it may be shown: control characters, C1 codes and bidirectional
// marks, embeddings, overrides and isolates written as \u{XXXX}, so a name
// can neither hide itself nor turn the text around it.
const HIDDEN = /[\u0000-\u001f\u007f-\u009f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]/g;
export function visible(text) {
  return String(text).replace(HIDDEN, (c) => `\\u{${c.codePointAt(0).toString(16).toUpperCase().padStart(4, "0")}}`);
}

// Asks in the page's dialog ID (its parts ID-text, ID-yes and ID-no, YES
// the label of the button that agrees): true when that button was chosen.
export function askFirst(id, text, yes) {
  const dialog = document.getElementById(id);
  const part = (name) => document.getElementById(`${id}-${name}`);
  if (!dialog.dataset.wired) {
    part("yes").addEventListener("click", () => dialog.close("yes"));
    part("no").addEventListener("click", () => dialog.close("no"));
    dialog.dataset.wired = "1";
  }
  part("text").textContent = visible(text);
  if (yes) part("yes").textContent = yes;
  dialog.returnValue = "";
  dialog.showModal();
  return new Promise((resolve) => {
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "yes"), { once: true });
  });
}

// An element with classes and text: el("td", "c-name", "LABPC7").
export function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined && text !== null) e.textContent = visible(text);
  return e;
}

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function answerOf(res) {
  const body = await res.json().catch(() => null);
  if (!res.ok) throw new ApiError(res.status, (body && body.error) || `${res.status} ${res.statusText}`);
  return body;
}

// ---- The connection to the server ----
// Every page says at once when the server cannot be reached: a banner with
// since when, and its figures greyed with the time they were last true
// (body[data-stale]), until the server answers again; then the banner goes
// and each page's `onBack` callbacks refresh what it shows. A server that
// hangs answers nothing: every request has a time-out, and a stream that
// hears nothing for SILENT_MS (the server pings every 5 s) is given up.
const connection = { lastGood: Date.now(), downSince: 0, probe: 0, onBack: [] };
const HEALTH_TIMEOUT_MS = 5e3;
const REQUEST_TIMEOUT_MS = 15e3; // the server ends an answer not done in 10 s
const SILENT_MS = 20e3;

const askHealth = () => fetch("/healthz", { cache: "no-store", signal: AbortSignal.timeout(HEALTH_TIMEOUT_MS) });
const clock = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit", second: "2-digit" });

export function onReconnect(refresh) {
  connection.onBack.push(refresh);
}

export function connectionLost() {
  if (connection.downSince) return;
  connection.downSince = Date.now();
  const since = clock.format(connection.downSince);
  const asOf = clock.format(connection.lastGood);
  let banner = document.getElementById("connection-banner");
  if (!banner) {
    banner = el("p", "connection-banner");
    banner.id = "connection-banner";
    banner.setAttribute("role", "alert");
    document.body.prepend(banner);
  }
  banner.textContent = `The server cannot be reached (since ${since}). The greyed figures are as they were at ${asOf}.`;
  banner.hidden = false;
  document.body.dataset.stale = asOf;
  document.querySelector("main")?.setAttribute("title", `As at ${asOf}, the last time the server answered`);
  // The stream retries by itself; a page without one (or with polling) learns of the return here.
  const probe = () => askHealth().then(connectionBack, () => {
    if (connection.downSince) connection.probe = setTimeout(probe, 3000);
  });
  connection.probe = setTimeout(probe, 3000);
}

export function connectionBack() {
  connection.lastGood = Date.now();
  if (!connection.downSince) return;
  connection.downSince = 0;
  clearTimeout(connection.probe);
  document.getElementById("connection-banner").hidden = true;
  delete document.body.dataset.stale;
  document.querySelector("main")?.removeAttribute("title");
  for (const refresh of connection.onBack) refresh();
}

// A page without a stream asks the server this often whether it is there.
export function watchConnection(ms = 5e3) {
  setInterval(() => connection.downSince || askHealth().then(connectionBack, connectionLost), ms);
}

// fetch, noting whether the server answered at all (in time).
async function reach(url, options) {
  try {
    const res = await fetch(url, { ...options, signal: AbortSignal.timeout(REQUEST_TIMEOUT_MS) });
    connectionBack();
    return res;
  } catch (e) {
    connectionLost();
    if (e.name === "TimeoutError") throw new Error(`The server did not answer in ${REQUEST_TIMEOUT_MS / 1e3} s.`);
    throw e;
  }
}

// GET a JSON resource. When the server wants a sign-in to view, go there.
export async function getJSON(url) {
  const res = await reach(url, { credentials: "same-origin", headers: { Accept: "application/json" } });
  if (res.status === 401 && session && session.viewer_token_required && !session.signed_in) {
    location.assign(signinHref());
  }
  return answerOf(res);
}

// A state-changing call, with the session's CSRF token.
export async function sendJSON(method, url, body) {
  const res = await reach(url, {
    method,
    credentials: "same-origin",
    headers: { "Content-Type": "application/json", "X-CSRF-Token": (session && session.csrf) || "" },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  return answerOf(res);
}

export function signinHref() {
  return "/signin?next=" + encodeURIComponent(location.pathname + location.search);
}

// The session, once loaded; the header's #session shows it.
export let session = null;

export async function loadSession() {
  try {
    session = await getJSON("/api/session");
  } catch {
    session = { signed_in: false, role: null, csrf: null, viewer_token_required: false };
  }
  const box = document.getElementById("session");
  box.replaceChildren();
  if (session.signed_in) {
    const out = el("button", "link", "Sign out");
    out.id = "signout";
    out.type = "button";
    out.addEventListener("click", signOut);
    box.append(el("span", "who", `Signed in (${session.role})`), " ", out);
  } else {
    const a = el("a", null, "Sign in");
    a.id = "signin-link";
    a.href = signinHref();
    box.append(a);
  }
  return session;
}

async function signOut() {
  await fetch("/signout", {
    method: "POST",
    credentials: "same-origin",
    headers: { "X-CSRF-Token": session.csrf || "" },
  }).catch(() => {});
  location.assign("/");
}

export const isAdmin = () => Boolean(session && session.signed_in && session.role === "admin");

// "12 s ago", "5 min ago", "3 h ago", "2 d ago"; ms is a time in ms.
export function ago(ms, now = Date.now()) {
  if (!Number.isFinite(ms)) return "—";
  const s = Math.max(0, Math.floor((now - ms) / 1000));
  if (s < 60) return `${s} s ago`;
  if (s < 3600) return `${Math.floor(s / 60)} min ago`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ago`;
  return `${Math.floor(s / 86400)} d ago`;
}

const timeOnly = new Intl.DateTimeFormat(undefined, { hour: "2-digit", minute: "2-digit" });
const weekdayTime = new Intl.DateTimeFormat(undefined, { weekday: "short", hour: "2-digit", minute: "2-digit" });
const dateOnly = new Intl.DateTimeFormat(undefined, { month: "short", day: "numeric" });
const full = new Intl.DateTimeFormat(undefined, { dateStyle: "medium", timeStyle: "medium" });

// Local time, short enough for a table cell: "14:05" today, "Tue 14:05"
// within a week either way, else "Dec 7"; "—" for none.
export function localTime(value) {
  if (value === null || value === undefined) return "—";
  const d = new Date(value);
  if (Number.isNaN(d.getTime())) return "—";
  if (d.toDateString() === new Date().toDateString()) return timeOnly.format(d);
  return Math.abs(d - Date.now()) < 6 * 86400e3 ? weekdayTime.format(d) : dateOnly.format(d);
}

// A span of time: "45 s", "12 min", "2 h 10 min", "3 d 4 h".
export function duration(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  const [d, h, m] = [Math.floor(s / 86400), Math.floor(s / 3600) % 24, Math.floor(s / 60) % 60];
  if (d) return h ? `${d} d ${h} h` : `${d} d`;
  if (h) return m ? `${h} h ${m} min` : `${h} h`;
  return m ? `${m} min` : `${s} s`;
}

// Text that may break after a separator (_ - / .) before it breaks inside a word.
export const PIECES = /(?<=[_\-/.\s])/;
export function breakable(target, text) {
  const pieces = visible(text).split(PIECES);
  target.replaceChildren(...pieces.flatMap((p, i) => (i ? [document.createElement("wbr"), p] : [p])));
  return target;
}

export const fullTime = (value) => (value ? full.format(new Date(value)) : "—");

// A <time> showing a short local time, the full one as its tooltip.
export function timeEl(value) {
  const t = el("time", null, localTime(value));
  if (value) {
    t.dateTime = value;
    t.title = fullTime(value);
  }
  return t;
}

export function statusBadge(status) {
  return el("span", `badge status-${status}`, status);
}

export function pendingBadge(command) {
  // "command " gives way on a phone's narrow status column.
  const b = el("span", "badge pending");
  b.append(el("span", "pending-word", "command "), "pending");
  b.title = `${command} waits for the machine's next report`;
  return b;
}

// A maintenance mute, with its end; the end may take a line of its own.
export function muteMark(until) {
  const mark = el("span", "mute-mark");
  mark.append(el("span", "badge muted", "muted"), " ", el("span", "mute-end", `until ${localTime(until)}`));
  mark.title = `Alerts muted until ${fullTime(until)}`;
  return mark;
}

export const number = new Intl.NumberFormat();

// One alert's li, made again when its state changes; in between only the
// time it has been open moves on, as text (not announced: see renderAlerts).
function alertItem(a, li) {
  const open = Date.parse(a.resolved_at || "") || Date.now();
  const lasted = duration(open - Date.parse(a.raised_at));
  const state = `${a.kind} ${a.resolved_at || ""}`;
  if (li && li.dataset.state === state) {
    li.querySelector(".alert-state").textContent = a.resolved_at ? ` · resolved after ${lasted}, at ` : ` · open for ${lasted}`;
    return li;
  }
  li = li || el("li");
  li.className = `alert-${a.kind}${a.resolved_at ? " resolved" : ""}`;
  li.dataset.alertId = a.id;
  li.dataset.state = state;
  const link = el("a", "alert-machine", a.machine);
  link.href = `/machines/${a.machine_id}`;
  li.replaceChildren(link, " ", el("span", `badge alert-kind`, a.kind), " since ", timeEl(a.raised_at),
    el("span", "alert-state", a.resolved_at ? ` · resolved after ${lasted}, at ` : ` · open for ${lasted}`));
  if (a.resolved_at) li.append(timeEl(a.resolved_at));
  return li;
}

// Newest first, one li per alert; a resolved one keeps its place, marked.
// The list is a polite live region that announces what is added: the li of
// an alert already shown is kept where it is, so a refresh adds nothing and
// only a new alert is read out.
function renderAlerts(list, alerts, emptyNote) {
  const sorted = [...alerts]
    .sort((a, b) => (b.raised_at || "").localeCompare(a.raised_at || "") || b.id - a.id)
    .slice(0, 100);
  const shown = new Map([...list.children].map((li) => [li.dataset.alertId, li]));
  const items = sorted.map((a) => alertItem(a, shown.get(String(a.id))));
  const keep = new Set(items);
  for (const li of shown.values()) if (!keep.has(li)) li.remove();
  items.forEach((li, i) => {
    if (list.children[i] !== li) list.insertBefore(li, list.children[i] || null);
  });
  if (emptyNote) emptyNote.hidden = sorted.length > 0;
}

// The alerts a page shows: loaded whole from `url`, then kept current
// from the stream's "alerts" events (those `keep` accepts).
export class AlertList {
  constructor(url, keep = () => true) {
    this.url = url;
    this.keep = keep;
    this.byId = new Map();
    setInterval(() => this.byId.size && this.show(), 30e3); // "open for" moves on
  }

  async load() {
    try {
      const { alerts } = await getJSON(this.url);
      this.byId.clear();
      this.merge(alerts);
    } catch {
      this.show(); // what was there; the stream still brings new ones
    }
  }

  merge(incoming) {
    for (const a of incoming) if (this.keep(a)) this.byId.set(a.id, a);
    this.show();
  }

  show() {
    renderAlerts(document.querySelector("#alerts"), this.byId.values(), document.querySelector("#alerts-empty"));
  }
}

// The live stream. A dropped stream is reconnected by the browser and
// starts again with a full snapshot; a refused one (503, too many streams)
// is not, so poll instead and try the stream again now and then. One open
// or opening that hears nothing (not even a ping) for SILENT_MS is a
// server that hangs: the banner, and a new stream, which a server that
// comes back answers.
export function openStream({
  url = "/api/events", onMachines, onAlerts, onState, poll, pollMs = 5000, retryMs = 30000,
}) {
  let source = null;
  let pollTimer = 0;
  let heard = 0;
  const hear = () => {
    heard = connection.lastGood = Date.now(); // what it shows is true as of now
  };
  const stopPolling = () => {
    clearInterval(pollTimer);
    pollTimer = 0;
  };
  const connect = () => {
    if (source) source.close();
    source = new EventSource(url);
    heard = Date.now();
    source.addEventListener("ping", hear);
    source.addEventListener("open", () => {
      hear();
      stopPolling();
      connectionBack();
      onState(true);
    });
    source.addEventListener("machines", (ev) => {
      hear();
      onMachines(JSON.parse(ev.data));
    });
    source.addEventListener("alerts", (ev) => {
      hear();
      if (onAlerts) onAlerts(JSON.parse(ev.data).alerts);
    });
    source.addEventListener("error", () => {
      // Closed by a refusal (503) the server is there; else it may not be: asked at once.
      if (source.readyState !== EventSource.CLOSED) {
        askHealth().then(connectionBack, connectionLost);
      } else {
        if (poll && !pollTimer) {
          pollTimer = setInterval(poll, pollMs);
          poll();
        }
        setTimeout(connect, retryMs);
      }
      onState(false, Boolean(pollTimer));
    });
  };
  connect();
  // Closed (refused, or the page left) it is not expected to speak.
  setInterval(() => {
    if (source.readyState === EventSource.CLOSED || Date.now() - heard < SILENT_MS) return;
    connectionLost();
    onState(false, Boolean(pollTimer));
    connect();
  }, 1000);
  // A page kept for the back button would hold its stream, one of the
  // browser's six connections to the server: closed on leaving, opened
  // again on coming back.
  addEventListener("pagehide", () => source.close());
  addEventListener("pageshow", (ev) => ev.persisted && connect());
  return { isOpen: () => source.readyState === EventSource.OPEN };
}
