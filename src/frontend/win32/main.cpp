// Pelmora on Windows: the process entry. Everything else happens in the
// main dialog's procedure.
#include <windows.h>
#include <commctrl.h>

#include <cstring>

#include "state/monitor_state.h"
#include "frontend/win32/dialog_loop.h"
#include "frontend/win32/dialog_procedure.h"
#include "frontend/win32/win32_window_system.h"
#include "state/version.h"

using namespace pelmora;

namespace {
// A window program has no console of its own: the version goes to the
// console it was started from, or to the standard output it was given.
int printVersion()
{
    AttachConsole(ATTACH_PARENT_PROCESS);
    const char text[] = "pelmora " PELMORA_VERSION "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
    return 0;
}
} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    if (commandLine && std::strncmp(commandLine, "--version", 9) == 0) return printVersion();
    state.instance = instance;
    SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = 8;
    controls.dwICC = 0xFFFFFFFF; // every class the library has
    // Should a library refuse the bits it does not know, the progress bar,
    // the one common control of the dialog, is asked for alone.
    if (!InitCommonControlsEx(&controls)) {
        controls.dwICC = ICC_PROGRESS_CLASS;
        InitCommonControlsEx(&controls);
    }
    useWindowSystem(&win32WindowSystem());
    return runMainDialog(instance, mainDialogProcedure);
}
