#include "app/status_texts.h"

#include <cstdio>
#include <cstring>

#include "app/fixed_text.h"
#include "app/monitor_state.h"
#include "app/whole_numbers.h"
#include "platform/platform.h"
#include "ui/ui.h"

void refreshStatusTexts()
{
    WindowSystem& ui = windowSystem();
    ui.setBar(state.progress);

    state.now = clockNow();
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

void refreshTrayTip()
{
    std::snprintf(state.tipBuffer, sizeof state.tipBuffer,
                  "CPU#: %d    WU#: %d\nName: %s\nCore: %s     Points: %d\n%d%% Completed",
                  state.cpunum, state.unitCount, state.unitName, state.core, state.points,
                  state.progress);
    copyCut(state.trayIcon.szTip, sizeof state.trayIcon.szTip, state.tipBuffer);
    windowSystem().trayModify(state.trayIcon.szTip);
}

void deleteTrayIcon()
{
    windowSystem().trayDelete();
}

void applyTrayMode()
{
    if (state.quiet != 0) {
        windowSystem().hideWindow();
        windowSystem().trayAdd(state.trayIcon.szTip);
    } else {
        deleteTrayIcon();
        windowSystem().showWindow();
    }
}
