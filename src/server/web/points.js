// A points history (the team's, a user's or a machine's): a chart of the
// points the finished units earned each day (UTC days, as the server counts
// them) under the line of the estimated points per day, sampled hourly;
// the same figures in a table for those who do not see the chart; the
// estimate now.
import { el, getJSON, number } from "/assets/common.js";
import { pointsChart } from "/assets/chart.js";

const DAY = 86400e3;
const dayName = new Intl.DateTimeFormat(undefined, { weekday: "short", month: "short", day: "numeric", timeZone: "UTC" });
const short = (v) => (v >= 10000 ? `${number.format(Math.round(v / 1000))}k` : number.format(v));
const whole = (v) => (v == null ? "—" : number.format(v));

export class PointsHistory {
  // ROOT holds an svg, a table's tbody and a .points-now line.
  constructor(root, days) {
    this.root = root;
    this.days = days;
    this.data = null;
  }

  // URL: the history's (?days= is added); kept for the next load.
  async load(url = this.url) {
    if (url !== this.url) this.data = null;
    this.url = url;
    try {
      this.data = await getJSON(`${url}${url.includes("?") ? "&" : "?"}days=${this.days}`);
    } catch {
      // Kept as it was: the banner says the server is out of reach.
    }
    this.draw();
  }

  draw() {
    const h = this.data || { daily: [], hourly: [], current_ppd: null };
    const days = h.daily.map((d) => ({ ...d, t: Date.parse(`${d.day}T00:00:00Z`) }));
    const today = Math.floor(Date.now() / DAY) * DAY;
    // The fleet's hourly samples; else each past day's average, at its middle.
    const line = h.hourly.length
      ? h.hourly.map((s) => ({ t: Date.parse(s.at), v: s.ppd }))
      : days.filter((d) => d.estimated_ppd != null && d.t < today).map((d) => ({ t: d.t + DAY / 2, v: d.estimated_ppd }));
    if (h.current_ppd != null && this.data) line.push({ t: Date.now(), v: h.current_ppd });
    // Samples further apart than a few of their steps: the server was down between.
    const most = h.hourly.length ? 3 * 3600e3 : 1.5 * DAY;
    line.forEach((p, i) => (p.gap = i > 0 && p.t - line[i - 1].t > most));
    const bars = days.map((d) => ({
      t: d.t,
      v: d.points,
      title: `${dayName.format(d.t)}: ${whole(d.points)} points from ${whole(d.units)} finished units`,
    }));
    pointsChart(this.root.querySelector("svg"), bars, line, {
      format: short,
      label: `Points per day over the last ${this.days} days: bars for the finished units' points each day, ` +
        "a line for the estimate sampled hourly. The figures are in the table below the chart.",
      emptyText: this.data ? "No points yet" : "Not loaded",
    });
    this.root.querySelector("tbody").replaceChildren(
      ...[...days].reverse().map((d) => {
        const tr = el("tr");
        const th = Object.assign(el("th", null, dayName.format(d.t)), { scope: "row" });
        tr.append(th, el("td", "num", whole(d.units)), el("td", "num", whole(d.points)), el("td", "num", whole(d.estimated_ppd)));
        return tr;
      }),
    );
    this.root.querySelector(".points-now").textContent =
      h.current_ppd == null ? "" : `Last hourly estimate: ${whole(h.current_ppd)} points per day.`;
  }
}
