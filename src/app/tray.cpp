#include "app/tray.h"

#include <cstdio>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "ui/ui.h"

namespace pelmora {

namespace {
void toggleTrayMode()
{
    state.quiet = state.quiet == 0 ? 1 : 0;
    applyTrayMode();
}
} // namespace

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

void refreshTrayTip()
{
    std::snprintf(state.tipBuffer, sizeof state.tipBuffer,
                  "CPU#: %d    WU#: %d\nName: %s\nCore: %s     Points: %d\n%d%% Completed",
                  state.cpunum, state.unitCount, state.unitName, state.core, state.points,
                  state.progress);
    copyCut(state.trayIcon.szTip, sizeof state.trayIcon.szTip, state.tipBuffer);
    windowSystem().trayModify(state.trayIcon.szTip);
}

void deleteTrayIcon() { windowSystem().trayDelete(); }

void trayOnMinimise()
{
    toggleTrayMode();
    refreshTrayTip();
}

void trayOnDoubleClick()
{
    if (state.nowin == 0) toggleTrayMode();
}

void trayOnServerToggle()
{
    state.nowin = state.nowin == 0 ? 1 : 0;
    toggleTrayMode();
}

} // namespace pelmora
