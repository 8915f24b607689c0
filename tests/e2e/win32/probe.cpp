// A small driver for the whole-program tests: finds the running Pelmora's
// main dialog (or its message box), reports what it shows and posts the
// user's actions to it. Runs its commands in order and prints one line per
// fact, "key=value", with line breaks in values written as \n.
//
//   probe.exe --program UNIX-PATH-OF-PELMORA.EXE COMMAND...
//
//   wait-window MS            the main dialog exists (shown or not)
//   state                     visible, topmost, iconic, the process's priority
//                             class, texts 101 104 106, bar
//   wait-visible 0|1 MS       the dialog is hidden / shown
//   wait-text ID TEXT MS      control ID's text contains TEXT (\n for a break)
//   post ACTION               close, ok, cancel, minimise, size-restored,
//                             tray-dblclick, tray-click, enter, escape
//   sleep MS
//   messagebox MS             waits for the message box, prints it, presses OK
//   wait-gone MS              no window of the program is left
//   tray                      whether the notification area is shown: the
//                             desktop's tray window shows only while it
//                             holds an icon
//   windows                   lists every top-level window (for debugging)
//
// Exit status: 0 when every command succeeded, 2 when a wait timed out or
// the window was not there, 1 on a usage error.
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
const char* const kTitle = "Pelmora 2.0";
const char* const kMessageBoxCaption = "../unitinfo.txt";
constexpr UINT kTrayCallbackMessage = WM_USER + 1;
constexpr int kTextControls[] = {101, 104, 106};
constexpr int kProgressBar = 102;
constexpr int kMessageBoxText = 0xFFFF;

std::string programPath; // lower case, backslashes, without the drive

std::string lowerWithBackslashes(std::string path)
{
    for (char& c : path) c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
}

std::string imageOf(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return "";
    char path[MAX_PATH * 2] = {};
    DWORD size = sizeof path;
    if (!QueryFullProcessImageNameA(process, 0, path, &size)) path[0] = '\0';
    CloseHandle(process);
    return path;
}

bool isOurs(HWND window)
{
    if (programPath.empty()) return true;
    const std::string image = lowerWithBackslashes(imageOf(window));
    return image.size() >= programPath.size() &&
           image.compare(image.size() - programPath.size(), programPath.size(), programPath) == 0;
}

std::string classOf(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string titleOf(HWND window)
{
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

struct Search {
    const char* title;
    HWND found;
};

BOOL CALLBACK matchDialog(HWND window, LPARAM lParam)
{
    Search* search = reinterpret_cast<Search*>(lParam);
    if (classOf(window) == "#32770" && titleOf(window) == search->title && isOurs(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND findDialog(const char* title)
{
    Search search = {title, nullptr};
    EnumWindows(matchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND mainDialog() { return findDialog(kTitle); }

std::string escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\\') out += "\\\\";
        else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

std::string unescaped(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else out += text[i];
    }
    return out;
}

// WM_GETTEXT, so that the control answers for itself.
std::string controlText(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control) return "<no control>";
    char text[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                             2000, &copied))
        return "<no answer>";
    return std::string(text, copied);
}

long barPosition(HWND dialog)
{
    DWORD_PTR position = 0;
    HWND bar = GetDlgItem(dialog, kProgressBar);
    if (!bar || !SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position)) return -1;
    return static_cast<long>(position);
}

bool isTopmost(HWND window) { return (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }

DWORD priorityOf(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return 0;
    const DWORD priority = GetPriorityClass(process);
    CloseHandle(process);
    return priority;
}

template <typename Condition>
bool waitFor(int milliseconds, Condition condition)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start >= static_cast<DWORD>(milliseconds)) return false;
        Sleep(100);
    }
}

void printState(HWND dialog)
{
    std::printf("visible=%d\n", IsWindowVisible(dialog) ? 1 : 0);
    std::printf("topmost=%d\n", isTopmost(dialog) ? 1 : 0);
    std::printf("iconic=%d\n", IsIconic(dialog) ? 1 : 0);
    std::printf("priority=0x%lx\n", static_cast<unsigned long>(priorityOf(dialog)));
    for (int id : kTextControls) std::printf("text%d=%s\n", id, escaped(controlText(dialog, id)).c_str());
    std::printf("bar=%ld\n", barPosition(dialog));
}

bool post(HWND dialog, const std::string& action)
{
    struct Action {
        const char* name;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    const Action actions[] = {
        {"close", WM_CLOSE, 0, 0},
        {"ok", WM_COMMAND, IDOK, 0},
        {"cancel", WM_COMMAND, IDCANCEL, 0},
        {"minimise", WM_SYSCOMMAND, SC_MINIMIZE, 0},
        {"size-restored", WM_SIZE, SIZE_RESTORED, MAKELPARAM(300, 150)},
        {"tray-dblclick", kTrayCallbackMessage, 1, WM_LBUTTONDBLCLK},
        {"tray-click", kTrayCallbackMessage, 1, WM_LBUTTONUP},
        // Keys go through the dialog manager, which turns them into commands.
        {"enter", WM_KEYDOWN, VK_RETURN, 0x001C0001},
        {"escape", WM_KEYDOWN, VK_ESCAPE, 0x00010001},
    };
    for (const Action& a : actions) {
        if (action != a.name) continue;
        return PostMessageA(dialog, a.message, a.wParam, a.lParam) != 0;
    }
    std::fprintf(stderr, "probe: unknown action %s\n", action.c_str());
    std::exit(1);
}

BOOL CALLBACK listWindow(HWND window, LPARAM)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    std::printf("window=%p class=%s title=%s visible=%d pid=%lu image=%s\n", static_cast<void*>(window),
                classOf(window).c_str(), escaped(titleOf(window)).c_str(), IsWindowVisible(window) ? 1 : 0,
                static_cast<unsigned long>(pid), imageOf(window).c_str());
    return TRUE;
}

BOOL CALLBACK anyOurs(HWND window, LPARAM lParam)
{
    if (isOurs(window)) {
        *reinterpret_cast<bool*>(lParam) = true;
        return FALSE;
    }
    return TRUE;
}

int number(const std::vector<std::string>& args, size_t i)
{
    if (i >= args.size()) {
        std::fprintf(stderr, "probe: a number is missing after %s\n", args[i - 1].c_str());
        std::exit(1);
    }
    return std::atoi(args[i].c_str());
}

int fail(const char* what)
{
    std::printf("failed=%s\n", what);
    std::fflush(stdout);
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t i = 0;
    if (i + 1 < args.size() && args[i] == "--program") {
        std::string path = lowerWithBackslashes(args[i + 1]);
        // A Unix path shows up as Z:\..., a Windows one may carry its drive.
        if (path.size() > 1 && path[1] == ':') path = path.substr(2);
        programPath = path;
        i += 2;
    }
    for (; i < args.size(); ++i) {
        const std::string& command = args[i];
        if (command == "wait-window") {
            if (!waitFor(number(args, ++i), [] { return mainDialog() != nullptr; })) return fail("wait-window");
            std::printf("window=found\n");
        } else if (command == "state") {
            HWND dialog = mainDialog();
            if (!dialog) return fail("state: no window");
            printState(dialog);
        } else if (command == "wait-visible") {
            const bool wanted = number(args, ++i) != 0;
            const int ms = number(args, ++i);
            if (!waitFor(ms, [wanted] {
                    HWND dialog = mainDialog();
                    return dialog && (IsWindowVisible(dialog) != 0) == wanted;
                }))
                return fail("wait-visible");
            std::printf("visible=%d\n", wanted ? 1 : 0);
        } else if (command == "wait-text") {
            const int id = number(args, ++i);
            if (++i >= args.size()) return fail("wait-text: no text");
            const std::string wanted = unescaped(args[i]);
            const int ms = number(args, ++i);
            if (!waitFor(ms, [id, &wanted] {
                    HWND dialog = mainDialog();
                    return dialog && controlText(dialog, id).find(wanted) != std::string::npos;
                }))
                return fail("wait-text");
            std::printf("text%d=found\n", id);
        } else if (command == "post") {
            if (++i >= args.size()) return fail("post: no action");
            HWND dialog = mainDialog();
            if (!dialog || !post(dialog, args[i])) return fail("post");
            std::printf("posted=%s\n", args[i].c_str());
        } else if (command == "sleep") {
            Sleep(number(args, ++i));
        } else if (command == "messagebox") {
            HWND box = nullptr;
            if (!waitFor(number(args, ++i), [&box] { return (box = findDialog(kMessageBoxCaption)) != nullptr; }))
                return fail("messagebox");
            std::printf("caption=%s\n", escaped(titleOf(box)).c_str());
            std::printf("text=%s\n", escaped(controlText(box, kMessageBoxText)).c_str());
            HWND owner = GetWindow(box, GW_OWNER);
            std::printf("owner=%s\n", owner && owner == mainDialog() ? "main" : "other");
            HWND ok = GetDlgItem(box, IDOK);
            std::printf("buttons=%s\n", ok && !GetDlgItem(box, IDCANCEL) ? "ok" : "other");
            if (ok) PostMessageA(ok, BM_CLICK, 0, 0);
            else PostMessageA(box, WM_COMMAND, IDOK, 0);
        } else if (command == "wait-gone") {
            if (!waitFor(number(args, ++i), [] {
                    bool found = false;
                    EnumWindows(anyOurs, reinterpret_cast<LPARAM>(&found));
                    return !found;
                }))
                return fail("wait-gone");
            std::printf("gone=1\n");
        } else if (command == "tray") {
            HWND tray = FindWindowA("Shell_TrayWnd", nullptr);
            std::printf("tray=%d\n", tray && IsWindowVisible(tray) ? 1 : 0);
        } else if (command == "windows") {
            EnumWindows(listWindow, 0);
        } else {
            std::fprintf(stderr, "probe: unknown command %s\n", command.c_str());
            return 1;
        }
        std::fflush(stdout);
    }
    return 0;
}
