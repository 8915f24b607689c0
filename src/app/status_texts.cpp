#include "app/status_texts.h"

#include <cstdio>
#include <cstring>

#include "state/monitor_state.h"
#include "state/whole_numbers.h"
#include "platform/platform.h"
#include "ui/ui.h"

namespace pelmora {

void refreshStatusTexts()
{
    WindowSystem& ui = windowSystem();
    ui.setBar(state.progress);

    state.now = platform().now();
    state.unitMinutes = difftime(state.now, state.unitStart) / 60.0;
    const int minutesShown = truncateToInt(state.unitMinutes);

    std::snprintf(state.textBuffer, sizeof state.textBuffer,
                  "%s\nCore: %s\nPoint Value: %d\nTime(minutes): %d",
                  state.unitName, state.core, state.points, minutesShown);
    ui.setText(kUnitTextControl, state.textBuffer);

    std::snprintf(state.textBuffer, sizeof state.textBuffer,
                  "CPU#: %d\nWU#: %d\nStart Date: %s %s\nDue by: %s %s",
                  state.cpunum, state.unitCount, state.startMonth, state.startDay,
                  state.dueMonth, state.dueDay);
    ui.setText(kCountersTextControl, state.textBuffer);

    std::snprintf(state.textBuffer, sizeof state.textBuffer, "%d%%", state.progress);
    ui.setText(kPercentLabelControl, state.textBuffer);
}

} // namespace pelmora
