// The fleet page's waiting list (--admission approve): new identities that
// wait for an admin's approval, shown only while there are any, with the
// approve actions for an admin: one, all from its address, or a network.
import { askFirst, el, getJSON, isAdmin, sendJSON, timeEl, visible } from "/assets/common.js";

const $ = (sel) => document.querySelector(sel);
const REFRESH_MS = 10e3;

function say(text, isError) {
  const p = $("#waiting-result");
  p.textContent = visible(text);
  p.classList.toggle("error", Boolean(isError));
}


async function approve(url, body, what) {
  if (!(await askFirst("waiting-confirm", `Approve ${what}? Each becomes a machine of the team, served from its next report.`))) return;
  try {
    const r = await sendJSON("POST", url, body);
    say(`Approved ${r.approved.map((m) => `${m.name}/${m.cpu}`).join(", ") || "none"}.`);
  } catch (e) {
    say(`Not approved: ${e.message}`, true);
  }
  await load();
}

function row(w, admin) {
  const tr = el("tr");
  const seen = [el("td"), el("td")];
  seen[0].append(timeEl(w.first_seen));
  seen[1].append(timeEl(w.last_seen));
  // Another sender of its name: noted, never taken, unless the admin pins the machine there.
  const other = el("td");
  if (w.other_address !== null) other.append(`${w.other_address} `, timeEl(w.other_seen));
  tr.append(el("td", null, w.name), el("td", "num", w.cpu), el("td", null, w.user), el("td", "num", w.team),
    el("td", null, w.address), other, ...seen);
  const actions = el("td");
  if (admin) {
    // Pinned to the address shown, whoever sends the name meanwhile.
    const one = el("button", null, "Approve");
    one.type = "button";
    one.addEventListener("click", () =>
      approve(`/api/machines/${w.id}/approve`, w.address ? { address: w.address } : undefined,
        `${w.name}/${w.cpu} at ${w.address || "its address"}`));
    actions.append(one, " ");
    if (w.other_address) {
      const there = el("button", null, `Approve at ${w.other_address}`);
      there.type = "button";
      there.addEventListener("click", () => approve(`/api/machines/${w.id}/approve`, { address: w.other_address },
        `${w.name}/${w.cpu} at ${w.other_address}, not at ${w.address}`));
      actions.append(there, " ");
    }
    const all = el("button", null, "All from this address");
    all.type = "button";
    all.addEventListener("click", () =>
      approve("/api/machines/approve", { address: w.address }, `every waiting identity from ${w.address}`));
    actions.append(all);
  }
  tr.append(actions);
  return tr;
}

async function load() {
  let waiting = [];
  try {
    ({ waiting } = await getJSON("/api/machines?state=waiting"));
  } catch {
    return; // the next refresh tries again
  }
  const admin = isAdmin();
  // Kept while it says what an action did, the last approval's included.
  $("#waiting").hidden = waiting.length === 0 && !$("#waiting-result").textContent;
  $("#waiting-count").textContent = String(waiting.length);
  $("#waiting-network").hidden = !admin;
  $("#waiting-table tbody").replaceChildren(...waiting.map((w) => row(w, admin)));
}

export function startWaiting() {
  $("#waiting-network").addEventListener("submit", (event) => {
    event.preventDefault();
    const network = $("#waiting-network-input").value.trim();
    if (network) approve("/api/machines/approve", { network }, `every waiting identity from ${network}`);
  });
  load();
  setInterval(load, REFRESH_MS);
}
