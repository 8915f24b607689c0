// The pace window's marks, decided here so that every store keeps the same
// (rows.h, kPaceWindowSeconds): the window starts at a report of the current
// unit between half a window and a window before the latest step forward.
// The row keeps two marks: the start, and the next start once it is old enough.
#pragma once

#include "server/store/rows.h"

namespace pelmora::server {

struct PaceMark {
    long long at = 0;
    int progress = 0;
};

struct PaceMarks {
    PaceMark start, next;
};

// OLD: the row's marks; OLD_PROGRESS: its progress before this report.
// A row without marks (at 0: an approved identity, whose row holds progress
// 0 until its first report, which a restart of the server keeps), a new
// unit, a machine coming back after its exit, or progress going backwards
// starts both marks at this report: a pace is measured only from progress
// the machine reported, never from a 0 it did not.
constexpr PaceMarks decidePace(const PaceMarks& old, int oldProgress, bool unitChanged, bool comesBack, int progress,
                               long long now)
{
    const PaceMark here{now, progress};
    if (old.start.at == 0 || unitChanged || comesBack || progress < oldProgress) return {here, here};
    // At a step forward the next mark, once half a window old, starts the window.
    if (progress > oldProgress && now - old.next.at >= kPaceWindowSeconds / 2) return {old.next, here};
    return old;
}

} // namespace pelmora::server
