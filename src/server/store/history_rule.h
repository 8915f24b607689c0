// Which reports a machine's history keeps, decided here so that every store
// keeps the same rows.
//
// Time is cut into steps of the history resolution (--history-resolution).
// A report that changes nothing of the machine's unit, progress or state
// (window or tray, stopped, back from a silence) writes no history. A change
// adds a row at the first change of a step; later changes in that step
// overwrite that row, the latest values winning. A change of unit within the
// step is the one exception: the row holding the unit the step began with
// is its last values and is never overwritten by the new unit's, so the
// change adds a second row; from then on the second row follows the latest
// values, whatever unit they name. A step thus holds at most two rows
// however many units a sender names in it: the last values of the unit it
// began with, and the latest values; a unit that came and went within one
// step is not kept.
#pragma once

namespace pelmora::server {

// The machine's latest history row, as its machine row remembers it.
struct LatestHistory {
    long long rowId = 0; // 0: none (a new machine, or one from before this rule)
    long long at = 0;    // when its values were reported
    bool second = false; // the second row of its step
};

enum class HistoryWrite { none, add, update };

struct HistoryDecision {
    HistoryWrite write = HistoryWrite::none;
    bool second = false; // the row written is its step's second
};

constexpr long long historyStep(long long at, long long resolution)
{
    return at >= 0 ? at / resolution : -((-at + resolution - 1) / resolution);
}

// CHANGED: the report changes the unit, progress or state; UNIT_CHANGED: the unit.
constexpr HistoryDecision decideHistory(const LatestHistory& latest, bool changed, bool unitChanged, long long now,
                                        long long resolution)
{
    if (latest.rowId == 0) return {HistoryWrite::add, false};
    if (!changed) return {HistoryWrite::none, latest.second};
    if (resolution < 1) resolution = 1;
    if (historyStep(now, resolution) != historyStep(latest.at, resolution)) return {HistoryWrite::add, false};
    if (unitChanged && !latest.second) return {HistoryWrite::add, true};
    return {HistoryWrite::update, latest.second};
}

} // namespace pelmora::server
