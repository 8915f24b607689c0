#include "frontend/terminal/terminal_front_end.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "state/monitor_state.h"
#include "frontend/terminal/curses_canvas.h"
#include "frontend/terminal/keys.h"
#include "frontend/terminal/signals.h"
#include "frontend/terminal/terminal_check.h"

namespace pelmora {

namespace {
// Long enough for the bytes of a function key to arrive together, short
// enough that Escape answers at once.
constexpr int kEscapeDelayMs = 25;
constexpr int kEscape = 27;

// Whatever way the process ends, a terminal left in curses mode is put back.
bool cursesOpen = false;
void restoreAtExit()
{
    if (cursesOpen) endwin();
    cursesOpen = false;
}

bool dismissesMessage(int key) { return key == '\n' || key == '\r' || key == KEY_ENTER || key == kEscape; }

SCREEN* asScreen(void* screen) { return static_cast<SCREEN*>(screen); }
} // namespace

TerminalFrontEnd::~TerminalFrontEnd() { restoreTerminal(); }

int TerminalFrontEnd::run()
{
    if (!installSignalPipe(!headless_)) {
        std::fprintf(stderr, "pelmora: cannot watch for signals: %s\n", std::strerror(errno));
        return -1;
    }
    if (!headless_ && !startTerminal()) {
        const char* type = std::getenv("TERM");
        std::fprintf(stderr, "pelmora: cannot use this terminal (TERM=%s)\n", type ? type : "");
        return -1;
    }
    useWindowSystem(this);
    dispatch(DialogEvent::Initialise);
    displayed_ = true;
    redraw();

    while (!ended_) {
        if (closePending_) {
            closePending_ = false;
            dispatch(DialogEvent::Close);
            continue;
        }
        // Signals and keys come before a tick that is due, as input comes
        // before WM_TIMER on Windows: ticks that each outlast the period (a
        // slow monitor server) must not keep a close request waiting.
        struct pollfd waits[2] = {{signalPipeFd(), POLLIN, 0}, {keysFd_, POLLIN, 0}};
        const nfds_t count = keysFd_ >= 0 ? 2 : 1;
        if (::poll(waits, count, timer_.timeoutMs(monotonicMilliseconds())) < 0) continue; // EINTR
        if (waits[0].revents != 0) handleSignals();
        if (count == 2 && !ended_) {
            if (waits[1].revents & POLLIN) readKeys();
            // A hung-up terminal reports input that is never there: keep
            // polling it and the loop spins. It closes the program, as its
            // SIGHUP would, also where SIGHUP is ignored.
            if (!ended_ && (waits[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
                keysFd_ = -1;
                closePending_ = true;
            }
        }
        if (!ended_ && !closePending_ && timer_.isDue(monotonicMilliseconds())) {
            dispatch(DialogEvent::TimerTick);
            timer_.ticked(monotonicMilliseconds());
        }
    }
    restoreTerminal();
    useWindowSystem(nullptr);
    return result_;
}

bool TerminalFrontEnd::startTerminal()
{
    // Only the character type follows the user's locale: the log's numbers
    // and dates keep the C library's defaults.
    std::setlocale(LC_CTYPE, "");
    unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;

    if (!terminalCanShowViews()) return false;

    FILE* keys = stdin;
    if (!isatty(STDIN_FILENO)) {
        ownTerminal_ = std::fopen("/dev/tty", "r");
        keys = ownTerminal_ ? ownTerminal_ : stdin;
    }
    SCREEN* screen = newterm(nullptr, stdout, keys);
    if (!screen) return false;
    screen_ = screen;
    set_term(screen);
    cursesActive_ = cursesOpen = true;
    std::atexit(restoreAtExit);
    keysFd_ = isatty(fileno(keys)) ? fileno(keys) : -1;

    cbreak();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(kEscapeDelayMs);
    curs_set(0);
    return true;
}

void TerminalFrontEnd::restoreTerminal()
{
    if (cursesActive_) {
        endwin();
        delscreen(asScreen(screen_));
        screen_ = nullptr;
        cursesActive_ = cursesOpen = false;
    }
    if (ownTerminal_) {
        std::fclose(ownTerminal_);
        ownTerminal_ = nullptr;
    }
    keysFd_ = -1;
    if (!afterRestore_.empty()) {
        std::fputs(afterRestore_.c_str(), stderr);
        afterRestore_.clear();
    }
}

void TerminalFrontEnd::dispatch(DialogEvent event)
{
    handleDialogEvent(event);
    if (ended_) return;
    redraw();
    // The redraw is the window's repaint, an event of its own as on Windows:
    // an exit request that the event's report brought is carried out now,
    // not at the next key or tick.
    handleDialogEvent(DialogEvent::Other);
}

void TerminalFrontEnd::redraw()
{
    if (!cursesActive_ || ended_) return;
    front_.trayDoubleClickWorks = state.nowin == 0;
    erase();
    if (displayed_ || front_.messageShown) {
        CursesCanvas canvas(unicode_);
        drawScreen(canvas, front_);
    }
    refresh();
}

void TerminalFrontEnd::followResize()
{
    if (!cursesActive_) return;
    // Only a real change: resizeterm answers every call with another
    // KEY_RESIZE, which would bring us straight back here.
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0 &&
        is_term_resized(size.ws_row, size.ws_col))
        resizeterm(size.ws_row, size.ws_col);
    clearok(curscr, TRUE); // repaint every cell: the terminal may have moved them
    redraw();
}

void TerminalFrontEnd::handleSignals()
{
    const SignalsSeen seen = takeSignals();
    if (seen.resize) followResize();
    if (seen.close) dispatch(DialogEvent::Close);
}

void TerminalFrontEnd::readKeys()
{
    while (!ended_) {
        const int key = getch();
        if (key == ERR) break;
        if (key == KEY_RESIZE) {
            followResize();
            continue;
        }
        dispatch(eventForKey(key, currentView(front_)));
    }
}

bool TerminalFrontEnd::waitForDismissal()
{
    if (!cursesActive_ || keysFd_ < 0) return false;
    front_.messageShown = true;
    redraw();
    bool dismissed = false;
    while (!dismissed) {
        struct pollfd waits[2] = {{signalPipeFd(), POLLIN, 0}, {keysFd_, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0) continue;
        if (waits[0].revents != 0) {
            const SignalsSeen seen = takeSignals();
            if (seen.resize) followResize();
            // A close request dismisses the message and is then handled as usual.
            if (seen.close) closePending_ = dismissed = true;
        }
        if (waits[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            keysFd_ = -1;
            dismissed = true;
        } else if (waits[1].revents & POLLIN) {
            for (int key; !dismissed && (key = getch()) != ERR;) {
                if (key == KEY_RESIZE) followResize();
                dismissed = dismissesMessage(key);
            }
        }
    }
    front_.messageShown = false;
    redraw();
    return true;
}

void TerminalFrontEnd::setText(int control, const char* text)
{
    switch (control) {
    case kUnitTextControl: front_.unitText = text; break;
    case kCountersTextControl: front_.countersText = text; break;
    case kPercentLabelControl: front_.percentText = text; break;
    default: break;
    }
}

void TerminalFrontEnd::setBar(int position) { front_.bar = position; }

void TerminalFrontEnd::hideWindow() { front_.windowShown = false; }

void TerminalFrontEnd::showWindow() { front_.windowShown = true; }

// One icon: a second add fails and leaves the icon as it was; a modify of a
// missing icon does nothing.
void TerminalFrontEnd::trayAdd(const char* tip)
{
    if (front_.trayShown) return;
    front_.trayShown = true;
    front_.tip = tip;
}

void TerminalFrontEnd::trayModify(const char* tip)
{
    if (front_.trayShown) front_.tip = tip;
}

void TerminalFrontEnd::trayDelete() { front_.trayShown = false; }

void TerminalFrontEnd::messageBox(const char* caption, const char* text)
{
    front_.caption = caption;
    front_.message = text;
    if (headless_) {
        std::fprintf(stderr, "%s: %s\n", caption, text);
        return;
    }
    // Without a keyboard the message cannot wait: it is said once the
    // screen is back.
    if (!waitForDismissal()) afterRestore_ += std::string(caption) + ": " + text + "\n";
}

void TerminalFrontEnd::startTimer(unsigned periodMs) { timer_.start(periodMs, monotonicMilliseconds()); }

// A terminal has no layers: the window view is always on top of nothing.
void TerminalFrontEnd::keepOnTop() {}

void TerminalFrontEnd::endDialog(int result)
{
    ended_ = true;
    result_ = result;
}

void TerminalFrontEnd::destroyWindow() { front_.windowShown = false; }

void TerminalFrontEnd::exitProcess(int status)
{
    restoreTerminal();
    std::fflush(nullptr);
    std::exit(status);
}

} // namespace pelmora
