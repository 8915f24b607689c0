// The window's texts and bar, the tray tooltip and the switch between window
// and tray, as the window system receives them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "state/monitor_state.h"
#include "app/status_texts.h"
#include "app/tray.h"
#include "platform/platform.h"
#include "support/test_platform.h"
#include "support/client_dir.h"
#include "support/recording_window_system.h"

namespace pelmora {

namespace {

using Calls = std::vector<std::string>;
const time_t kStart = 1700000000;

void setUnit(const char* name)
{
    std::strcpy(state.unitName, name);
    std::strcpy(state.core, "Tinker");
    std::strcpy(state.startMonth, "March");
    std::strcpy(state.startDay, "3");
    std::strcpy(state.dueMonth, "March");
    std::strcpy(state.dueDay, "17");
    state.points = 357;
    state.progress = 42;
    state.cpunum = 2;
    state.unitCount = 3;
    state.unitStart = kStart;
}

// Minutes are truncated toward zero, a clock set back included.
TEST(StatusTexts, WindowTextsInOrder)
{
    const struct { int seconds; const char* due; const char* minutes; const char* dueShown; } cases[] = {
        {754, "17", "12", "March 17"}, {-59, "17", "0", "March 17"}, {-90, "", "-1", "Timeless "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.seconds) + " s");
        ClientDir dir;
        RecordingWindowSystem ui;
        setUnit("p2665_Zinc");
        if (!*c.due) std::strcpy(state.dueMonth, "Timeless");
        std::strcpy(state.dueDay, c.due);
        pinClock(kStart + c.seconds);
        refreshStatusTexts();
        EXPECT_EQ(ui.calls, (Calls{"bar 42",
                                   std::string("text 101 p2665_Zinc\nCore: Tinker\nPoint Value: 357\nTime(minutes): ") +
                                       c.minutes,
                                   std::string("text 106 CPU#: 2\nWU#: 3\nStart Date: March 3\nDue by: ") + c.dueShown,
                                   "text 104 42%"}));
        EXPECT_EQ(state.now, kStart + c.seconds);
        EXPECT_DOUBLE_EQ(state.unitMinutes, c.seconds / 60.0);
    }
}

TEST(StatusTexts, TooltipCutTo127Characters)
{
    ClientDir dir;
    RecordingWindowSystem ui;
    const std::string name(74, 'L');
    setUnit(name.c_str());
    refreshTrayTip();
    const std::string tip = "CPU#: 2    WU#: 3\nName: " + name + "\nCore: Tinker     Points: 357\n42% Completed";
    EXPECT_EQ(ui.calls, Calls{"trayModify " + tip.substr(0, 127)});
    EXPECT_EQ(std::string(state.trayIcon.szTip), tip.substr(0, 127));
    EXPECT_EQ(std::string(state.tipBuffer), tip);
}

TEST(StatusTexts, TrayModeBothWays)
{
    ClientDir dir;
    RecordingWindowSystem ui;
    setUnit("p1");
    state.quiet = 1;
    applyTrayMode(); // before any refresh: the icon comes with an empty tooltip
    refreshTrayTip();
    state.quiet = 0;
    applyTrayMode();
    state.quiet = 1;
    applyTrayMode(); // the tooltip left by the last refresh goes with the add
    const std::string tip = "CPU#: 2    WU#: 3\nName: p1\nCore: Tinker     Points: 357\n42% Completed";
    EXPECT_EQ(ui.calls, (Calls{"hide", "trayAdd ", "trayModify " + tip, "trayDelete", "show", "hide",
                               "trayAdd " + tip}));
    ui.calls.clear();
    deleteTrayIcon();
    EXPECT_EQ(ui.calls, Calls{"trayDelete"});
}

} // namespace

} // namespace pelmora
