// Kept apart: <term.h> defines a macro for every terminal capability.
#include "frontend/terminal/terminal_check.h"

#include <curses.h>
#include <term.h>
#include <unistd.h>

namespace pelmora {

bool terminalCanShowViews()
{
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) return false;
    char name[] = "cup";
    const char* cursorAddress = tigetstr(name);
    const bool addressable = cursorAddress != nullptr && cursorAddress != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    return addressable;
}

} // namespace pelmora
