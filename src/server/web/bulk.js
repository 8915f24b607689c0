// The fleet page's bulk form: the machines an admin picked in the table
// (fleet-columns.js's pick column) get one command each, sent to each
// machine's own commands path, a few at a time, so every command is queued
// and audited as one sent from its page.
import { askFirst, number, sendJSON, visible } from "/assets/common.js";
import { picked } from "/assets/fleet-columns.js";

const $ = (sel) => document.querySelector(sel);
const MOST = 500; // machines a send, so one click cannot queue a fleet of 10,000 unseen
const AT_ONCE = 4;

// FLEET: { machine(id) (its object, or none), shown() (the ids shown, in
// order), rows() (the table's drawn rows) }.
let fleet = null;

function say(text, isError) {
  const p = $("#bulk-result");
  p.textContent = visible(text);
  p.classList.toggle("error", Boolean(isError));
}


// The picks, the count, the heading's box and the drawn rows' boxes as they
// stand; a machine removed meanwhile is no longer picked.
export function showPicks() {
  if (!fleet) return;
  for (const id of picked) if (!fleet.machine(id)) picked.delete(id);
  $("#bulk-count").textContent = picked.size ? `${number.format(picked.size)} picked` : "None picked";
  $("#bulk-send").disabled = !picked.size;
  $("#bulk-clear").disabled = !picked.size;
  const shown = fleet.shown();
  const all = $("#pick-all");
  const inView = shown.filter((id) => picked.has(id)).length;
  all.checked = inView > 0 && inView === shown.length;
  all.indeterminate = inView > 0 && inView < shown.length;
  for (const tr of fleet.rows()) if (tr.entry) tr.c.pick.checked = picked.has(tr.entry.id);
}

async function sendOne(id, command) {
  try {
    await sendJSON("POST", `/api/machines/${id}/commands`, { command });
    return null;
  } catch (e) {
    return e.message;
  }
}

async function send(event) {
  event.preventDefault();
  const command = $("#bulk-command").value;
  const what = $("#bulk-command").selectedOptions[0].textContent;
  const ids = [...picked].filter((id) => fleet.machine(id)); // removed meanwhile: passed over
  if (ids.length > MOST) return say(`Pick ${number.format(MOST)} machines at most for one send (a filter helps).`, true);
  const machines = ids.map((id) => fleet.machine(id));
  const waiting = machines.filter((m) => m.status === "offline" || m.status === "stopped");
  const text = `${what} on ${number.format(ids.length)} machine${ids.length === 1 ? "" : "s"}?` +
    (waiting.length ? ` ${number.format(waiting.length)} of them ${waiting.length === 1 ? "is" : "are"} offline or ` +
      "stopped: theirs waits and goes when each next reports." : " Each gets it with its next report.");
  if (!(await askFirst("bulk-confirm", text, "Send to all"))) return;
  $("#bulk-send").disabled = true;
  const failed = [];
  for (let at = 0; at < ids.length; at += AT_ONCE) {
    const batch = ids.slice(at, at + AT_ONCE);
    const errors = await Promise.all(batch.map((id) => sendOne(id, command)));
    batch.forEach((id, i) => {
      if (errors[i] === null) picked.delete(id);
      else failed.push(`${machines[at + i].name}/${machines[at + i].cpu} (${errors[i]})`);
    });
  }
  const sent = ids.length - failed.length;
  const queued = waiting.filter((m) => !picked.has(m.id)).length;
  say(`Sent ${command} to ${number.format(sent)} of ${number.format(ids.length)}` +
    (queued ? ` (${number.format(queued)} offline or stopped: theirs waits for their next report)` : "") +
    (failed.length ? `. Not sent, still picked: ${failed.join(", ")}` : "."), failed.length > 0);
  showPicks();
}

// For an admin: the form shown, the picks followed.
export function startBulk(fleetView) {
  fleet = fleetView;
  $("#bulk").hidden = false;
  $("#bulk-command").disabled = false;
  $("#fleet tbody").addEventListener("change", (event) => {
    const box = event.target.closest("input.pick");
    if (!box) return;
    const id = Number(box.dataset.id);
    if (box.checked) picked.add(id);
    else picked.delete(id);
    showPicks();
  });
  $("#pick-all").addEventListener("change", (event) => {
    for (const id of fleet.shown()) {
      if (event.target.checked) picked.add(id);
      else picked.delete(id);
    }
    showPicks();
  });
  $("#bulk-clear").addEventListener("click", () => {
    picked.clear();
    showPicks();
  });
  $("#bulk").addEventListener("submit", send);
  showPicks();
}
