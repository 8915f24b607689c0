#include "frontend/win32/dialog_loop.h"

#include <cstring>
#include <vector>

#include "frontend/win32/win32_window_system.h"
#include "resource.h"

namespace pelmora {

namespace {
// The dialog's template with WS_VISIBLE taken off. A modal dialog's own
// loop shows the dialog when its queue first runs empty, whatever the
// template says, and that display activates the window even when a
// placement filter keeps it hidden: the window the user works in would
// lose the keyboard to an invisible dialog. Made hidden and driven by the
// loop below, the dialog is shown by the program alone.
std::vector<DWORD> hiddenTemplate(HINSTANCE instance)
{
    HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(PELMORA_MAIN_DIALOG), MAKEINTRESOURCEA(5)); // RT_DIALOG
    HGLOBAL loaded = found ? LoadResource(instance, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = found ? SizeofResource(instance, found) : 0;
    if (!bytes || size < sizeof(DLGTEMPLATE) || size > 0x10000) return {}; // a template is a few hundred bytes
    std::vector<DWORD> copy((size + 3) / 4); // the dialog manager wants it DWORD-aligned
    std::memcpy(copy.data(), bytes, size);
    // An extended template starts with version 1 and signature 0xFFFF, and
    // its style follows the help id and the extended style.
    WORD head[2];
    std::memcpy(head, copy.data(), sizeof head);
    copy[head[0] == 1 && head[1] == 0xFFFF ? 3 : 0] &= ~static_cast<DWORD>(WS_VISIBLE);
    return copy;
}

bool isKey(UINT message) { return message >= WM_KEYFIRST && message <= WM_KEYLAST; }
} // namespace

int runMainDialog(HINSTANCE instance, DLGPROC procedure)
{
    std::vector<DWORD> dialogTemplate = hiddenTemplate(instance);
    if (dialogTemplate.empty()) return -1;
    HWND dialog = CreateDialogIndirectParamA(instance, reinterpret_cast<LPCDLGTEMPLATEA>(dialogTemplate.data()),
                                             nullptr, procedure, 0);
    if (!dialog) return -1;
    Win32WindowSystem& system = win32WindowSystem();
    system.finishStartUp(dialog);
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        // Keys meant for the hidden dialog are dropped: Enter and Escape
        // end the program only from the window the user sees.
        if (isKey(message.message) && (message.hwnd == dialog || IsChild(dialog, message.hwnd)) &&
            !IsWindowVisible(dialog))
            continue;
        if (IsDialogMessageA(dialog, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    system.removeLeftIcon();
    if (IsWindow(dialog)) DestroyWindow(dialog);
    return static_cast<int>(message.wParam);
}

} // namespace pelmora
