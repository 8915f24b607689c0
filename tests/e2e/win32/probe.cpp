// The win32 driver's hands and eyes: finds the dialog "Pelmora 2.0" (the
// only program in the test's wine prefix), reports what it shows and posts
// the user's actions to it. Runs its commands in order, one "key=value" line
// per fact, line breaks in values written as \n.
//
//   probe.exe COMMAND...
//     wait-view window|tray|any MS   the dialog exists and is shown (not
//                               minimised, no tray icon) / hidden with the
//                               icon in the tray / either
//     wait-text TEXT MS         a text control holds TEXT
//     state                     visible, topmost, iconic, priority class, tray,
//                               texts 101 106 104, bar
//     post ACTION               close, minimise, size-restored, tray-click,
//                               tray-dblclick, enter, escape
//     sleep MS
//     messagebox MS             the message box's caption, text, owner and
//                               buttons; then presses OK
//
// Exit status: 0 when every command succeeded, 2 when a wait timed out or
// the window was not there, 1 on a usage error.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "resource.h"

namespace {
constexpr UINT kTrayCallbackMessage = PELMORA_TRAY_MESSAGE;
constexpr int kTextControls[] = {PELMORA_UNIT_TEXT, PELMORA_COUNTERS_TEXT, PELMORA_PERCENT_LABEL};
constexpr int kProgressBar = PELMORA_PROGRESS_BAR;
constexpr int kMessageBoxText = 0xFFFF;

HWND findDialog(const char* title) { return FindWindowA("#32770", title); }
HWND mainDialog() { return findDialog("Pelmora 2.0"); }

// The desktop's tray window shows only while it holds an icon.
bool trayShown()
{
    HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
    return tray && IsWindowVisible(tray);
}

// WM_GETTEXT, so that the control answers for itself (a program busy with a
// report gives no answer); CR LF as \n.
std::string controlText(HWND dialog, int id)
{
    char text[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 2000, &copied))
        return "<no answer>";
    std::string out;
    for (char c : std::string(text, copied)) out += c == '\n' ? "\\n" : c == '\r' ? "" : std::string(1, c);
    return out;
}

template <typename Condition>
bool waitFor(int milliseconds, Condition condition)
{
    for (const DWORD start = GetTickCount();; Sleep(100)) {
        if (condition()) return true;
        if (GetTickCount() - start >= static_cast<DWORD>(milliseconds)) return false;
    }
}

void printState(HWND dialog)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    const DWORD priority = process ? GetPriorityClass(process) : 0;
    if (process) CloseHandle(process);
    DWORD_PTR bar = 0;
    if (!SendMessageTimeoutA(GetDlgItem(dialog, kProgressBar), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &bar))
        bar = static_cast<DWORD_PTR>(-1);
    std::printf("visible=%d\ntopmost=%d\niconic=%d\npriority=0x%lx\ntray=%d\n", IsWindowVisible(dialog) ? 1 : 0,
                (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0, IsIconic(dialog) ? 1 : 0,
                static_cast<unsigned long>(priority), trayShown() ? 1 : 0);
    for (int id : kTextControls) std::printf("text%d=%s\n", id, controlText(dialog, id).c_str());
    std::printf("bar=%ld\n", static_cast<long>(bar));
}

bool post(HWND dialog, const char* action)
{
    struct Action {
        const char* name;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    static const Action actions[] = {
        {"close", WM_CLOSE, 0, 0},
        {"minimise", WM_SYSCOMMAND, SC_MINIMIZE, 0},
        {"size-restored", WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 150)},
        {"tray-click", kTrayCallbackMessage, 1, WM_LBUTTONUP},
        {"tray-dblclick", kTrayCallbackMessage, 1, WM_LBUTTONDBLCLK},
        // Keys go through the dialog manager, which turns them into OK and Cancel.
        {"enter", WM_KEYDOWN, VK_RETURN, 0x001C0001},
        {"escape", WM_KEYDOWN, VK_ESCAPE, 0x00010001},
    };
    for (const Action& a : actions)
        if (std::strcmp(action, a.name) == 0) return PostMessageA(dialog, a.message, a.wParam, a.lParam) != 0;
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "";
        const int ms = i + 2 < argc ? std::atoi(argv[i + 2]) : 0;
        bool ok = true;
        if (command == "wait-view") {
            const std::string view = arg;
            ok = waitFor(ms, [&view] {
                HWND dialog = mainDialog();
                if (!dialog || view == "any") return dialog != nullptr;
                const bool shown = IsWindowVisible(dialog) && !IsIconic(dialog) && !trayShown();
                return view == "window" ? shown : !IsWindowVisible(dialog) && trayShown();
            });
            i += 2;
        } else if (command == "wait-text") {
            ok = waitFor(ms, [arg] {
                HWND dialog = mainDialog();
                for (int id : kTextControls)
                    if (dialog && controlText(dialog, id).find(arg) != std::string::npos) return true;
                return false;
            });
            i += 2;
        } else if (command == "state") {
            HWND dialog = mainDialog();
            if ((ok = dialog != nullptr)) printState(dialog);
        } else if (command == "post") {
            HWND dialog = mainDialog();
            ok = dialog && post(dialog, arg);
            i += 1;
        } else if (command == "sleep") {
            Sleep(std::atoi(arg));
            i += 1;
        } else if (command == "messagebox") {
            HWND box = nullptr;
            if ((ok = waitFor(std::atoi(arg), [&box] { return (box = findDialog("../unitinfo.txt")) != nullptr; }))) {
                HWND owner = GetWindow(box, GW_OWNER);
                HWND button = GetDlgItem(box, IDOK);
                std::printf("caption=../unitinfo.txt\ntext=%s\nowner=%s\nbuttons=%s\n",
                            controlText(box, kMessageBoxText).c_str(),
                            owner && owner == mainDialog() ? "main" : "other",
                            button && !GetDlgItem(box, IDCANCEL) ? "ok" : "other");
                PostMessageA(button ? button : box, button ? BM_CLICK : WM_COMMAND, button ? 0 : IDOK, 0);
            }
            i += 1;
        } else {
            std::fprintf(stderr, "probe: unknown command %s\n", command.c_str());
            return 1;
        }
        if (!ok) {
            std::printf("failed=%s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
