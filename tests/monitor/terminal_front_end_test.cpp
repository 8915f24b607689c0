// The terminal front-end's own logic: the keys of each view, the poll timer's
// schedule, the one tray icon, the headless message and the signals. (The
// shared sequences are the dialog test's; the screens, the e2e scenarios'.)
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <curses.h>
#include <string>
#include <thread>

#include "app/dialog.h"
#include "state/monitor_state.h"
#include "net/monitor_reports.h"
#include "support/client_dir.h"
#include "support/loopback_peer.h"
#include "frontend/terminal/keys.h"
#include "frontend/terminal/poll_timer.h"
#include "frontend/terminal/terminal_front_end.h"

namespace pelmora {

namespace {

TEST(TerminalKeys, EachViewHasItsOwnKeys)
{
    const struct { int key; View view; DialogEvent event; } cases[] = {
        {'\r', View::Window, DialogEvent::Ok},
        {'\n', View::Window, DialogEvent::Ok},
        {KEY_ENTER, View::Window, DialogEvent::Ok},
        {27, View::Window, DialogEvent::Cancel},
        {'q', View::Window, DialogEvent::Close},
        {'Q', View::Window, DialogEvent::Close},
        {'m', View::Window, DialogEvent::Minimise},
        {'M', View::Window, DialogEvent::Minimise},
        {' ', View::Window, DialogEvent::Other},
        {KEY_UP, View::Window, DialogEvent::Other},
        {' ', View::Compact, DialogEvent::TrayDoubleClick},
        {'q', View::Compact, DialogEvent::Close},
        {'\r', View::Compact, DialogEvent::Other},
        {27, View::Compact, DialogEvent::Other},
        {'m', View::Compact, DialogEvent::Other},
        {'q', View::Blank, DialogEvent::Other},
        {' ', View::Blank, DialogEvent::Other},
    };
    for (const auto& c : cases)
        EXPECT_EQ(eventForKey(c.key, c.view), c.event) << "key " << c.key << " in view " << static_cast<int>(c.view);
}

// Ticks come a period apart; one that falls due while the program is busy
// comes once, at once, and the ones missed are not made up.
TEST(TerminalPollTimer, TicksAreNotMadeUp)
{
    PollTimer timer;
    EXPECT_EQ(timer.timeoutMs(0), -1);
    EXPECT_FALSE(timer.isDue(1000000));

    timer.start(5000, 1000);
    EXPECT_EQ(timer.timeoutMs(1000), 5000);
    EXPECT_EQ(timer.timeoutMs(5999), 1);
    EXPECT_FALSE(timer.isDue(5999));
    EXPECT_TRUE(timer.isDue(6000));
    EXPECT_EQ(timer.timeoutMs(6500), 0);

    timer.ticked(6020); // handled at once: the next one is a period after the last
    EXPECT_EQ(timer.timeoutMs(6020), 4980);

    timer.ticked(23000); // the handling took 12 s: one tick pending, no more
    EXPECT_TRUE(timer.isDue(23000));
    timer.ticked(23004);
    EXPECT_FALSE(timer.isDue(27999));
    EXPECT_TRUE(timer.isDue(28000));

    timer.start(0, 0); // never a timer that spins
    EXPECT_EQ(timer.timeoutMs(0), 10);
}

// The program in a copy of demo/, headless, driven by dialog events.
class Program {
public:
    Program(const char* settings = nullptr)
    {
        dir.copyDemo();
        if (settings) dir.write("pelmora.ini", settings);
        useWindowSystem(&ui);
    }
    ~Program() { useWindowSystem(nullptr); }

    ClientDir dir;
    TerminalFrontEnd ui{true};
};

// One icon: a second add leaves it as it was, a modify of a missing icon
// does nothing; a destroyed window leaves nothing to show.
TEST(TerminalFrontEnd, TrayRequestsActOnOneIcon)
{
    TerminalFrontEnd ui(true);
    ui.trayModify("early");
    EXPECT_EQ(ui.front().tip, "");
    ui.trayAdd("first");
    ui.trayAdd("second");
    EXPECT_EQ(ui.front().tip, "first");
    ui.trayModify("third");
    EXPECT_EQ(ui.front().tip, "third");
    ui.hideWindow();
    ui.trayDelete();
    ui.trayModify("gone");
    EXPECT_EQ(ui.front().tip, "third");
    ui.showWindow();
    ui.destroyWindow();
    EXPECT_EQ(currentView(ui.front()), View::Blank);
}

TEST(TerminalFrontEnd, HeadlessMessageGoesToStandardError)
{
    TerminalFrontEnd ui(true);
    testing::internal::CaptureStderr();
    ui.messageBox("../unitinfo.txt", "Cannot locate unitinfo.txt file.\nSecond line.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "../unitinfo.txt: Cannot locate unitinfo.txt file.\nSecond line.\n");
}

// A monitor server slower than the poll period keeps every tick due at once;
// a SIGTERM must still close the program at the end of the tick under way.
// The server answers the fourth connection at once with the exit command,
// which ends a program that never saw the signal.
TEST(TerminalFrontEnd, SignalComesBeforeTicksThatOutlastThePeriod)
{
    Program program("stats 1\nipadd 127.0.0.1\nfhlog 1\n");
    LoopbackServer server(protocol::kPort, [&](PeerConnection& peer) {
        const bool slow = server.connections() <= 3;
        if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(5500));
        peer.send(std::string(1, static_cast<char>(server.connections())));
        peer.receiveExactly(protocol::kRecordBytes);
        peer.send(std::string(1, slow ? '\0' : '\1'));
    });
    std::thread signaller([] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::raise(SIGTERM);
    });
    EXPECT_EQ(program.ui.run(), 0);
    signaller.join();
    EXPECT_EQ(server.connections(), 2); // the start-up report and the exit report
}

} // namespace

} // namespace pelmora
