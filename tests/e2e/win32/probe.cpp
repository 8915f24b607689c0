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
//                               foreground (main, front, none or other),
//                               over-front (the dialog above the front
//                               window), texts 101 106 104, bar
//     wait-state KEY=VALUE MS   state holds the line
//     post ACTION               close, minimise, size-restored, tray-click,
//                               tray-dblclick, enter, escape
//     key enter|escape          a real keystroke (SendInput), to whatever
//                               window has the keyboard
//     front MS                  a window of the probe's own ("front") brought
//                               to the foreground and kept for MS; each key
//                               it receives printed as key=0xNN
//     tray-remove               the dialog's icon deleted, as a dying shell
//                               loses it
//     shell-restarted           the shell's TaskbarCreated broadcast
//     sleep MS
//     messagebox MS             the message box's caption, text, owner and
//                               buttons; then presses OK
//
// Exit status: 0 when every command succeeded, 2 when a wait timed out or
// the window was not there, 1 on a usage error.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
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

constexpr char kFrontTitle[] = "Pelmora probe front";

HWND findDialog(const char* title) { return FindWindowA("#32770", title); }
HWND mainDialog() { return findDialog("Pelmora 2.0"); }
HWND frontWindow() { return FindWindowA(nullptr, kFrontTitle); }

const char* foregroundName(HWND dialog)
{
    HWND foreground = GetForegroundWindow();
    if (!foreground) return "none";
    if (foreground == dialog) return "main";
    return foreground == frontWindow() ? "front" : "other";
}

// Whether the dialog comes before the front window in the z-order.
bool overFront(HWND dialog)
{
    HWND front = frontWindow();
    for (HWND w = GetWindow(dialog, GW_HWNDNEXT); front && w; w = GetWindow(w, GW_HWNDNEXT))
        if (w == front) return true;
    return false;
}

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

std::string stateOf(HWND dialog)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(dialog, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    const DWORD priority = process ? GetPriorityClass(process) : 0;
    if (process) CloseHandle(process);
    DWORD_PTR bar = 0;
    if (!SendMessageTimeoutA(GetDlgItem(dialog, kProgressBar), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &bar))
        bar = static_cast<DWORD_PTR>(-1);
    char facts[512];
    std::snprintf(facts, sizeof facts,
                  "visible=%d\ntopmost=%d\niconic=%d\npriority=0x%lx\ntray=%d\nforeground=%s\nover-front=%d\n",
                  IsWindowVisible(dialog) ? 1 : 0, (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0,
                  IsIconic(dialog) ? 1 : 0, static_cast<unsigned long>(priority), trayShown() ? 1 : 0,
                  foregroundName(dialog), overFront(dialog) ? 1 : 0);
    std::string out = facts;
    for (int id : kTextControls) out += "text" + std::to_string(id) + "=" + controlText(dialog, id) + "\n";
    return out + "bar=" + std::to_string(static_cast<long>(bar)) + "\n";
}

bool pressKey(const std::string& name)
{
    const WORD key = name == "enter" ? VK_RETURN : name == "escape" ? VK_ESCAPE : 0;
    if (!key) return false;
    INPUT input[2] = {};
    for (INPUT& i : input) {
        i.type = INPUT_KEYBOARD;
        i.ki.wVk = key;
    }
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    return SendInput(2, input, sizeof(INPUT)) == 2;
}

LRESULT CALLBACK frontProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_KEYDOWN) {
        std::printf("key=0x%02x\n", static_cast<unsigned>(wParam));
        std::fflush(stdout);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool holdFront(int milliseconds)
{
    WNDCLASSA type = {};
    type.lpfnWndProc = frontProcedure;
    type.hInstance = GetModuleHandleA(nullptr);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    type.lpszClassName = "PelmoraProbeFront";
    RegisterClassA(&type);
    HWND window = CreateWindowA(type.lpszClassName, kFrontTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 600, 500,
                                nullptr, nullptr, type.hInstance, nullptr);
    if (!window) return false;
    SetForegroundWindow(window);
    SetFocus(window);
    std::printf("front=ready\n");
    std::fflush(stdout);
    SetTimer(nullptr, 0, static_cast<UINT>(milliseconds), nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DestroyWindow(window);
    return true;
}

// The icon record as the shell knows it: window and id.
bool removeTrayIcon(HWND dialog)
{
    NOTIFYICONDATAA icon = {};
    icon.cbSize = NOTIFYICONDATAA_V3_SIZE;
    icon.hWnd = dialog;
    icon.uID = 1;
    return Shell_NotifyIconA(NIM_DELETE, &icon) != 0;
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
            if ((ok = dialog != nullptr)) std::fputs(stateOf(dialog).c_str(), stdout);
        } else if (command == "wait-state") {
            const std::string line = std::string("\n") + arg + "\n";
            ok = waitFor(ms, [&line] {
                HWND dialog = mainDialog();
                return dialog && ("\n" + stateOf(dialog)).find(line) != std::string::npos;
            });
            i += 2;
        } else if (command == "key") {
            ok = pressKey(arg);
            i += 1;
        } else if (command == "front") {
            ok = holdFront(std::atoi(arg));
            i += 1;
        } else if (command == "tray-remove") {
            HWND dialog = mainDialog();
            ok = dialog && removeTrayIcon(dialog);
        } else if (command == "shell-restarted") {
            const UINT message = RegisterWindowMessageA("TaskbarCreated");
            ok = message && PostMessageA(HWND_BROADCAST, message, 0, 0);
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
