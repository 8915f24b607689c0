#include "frontend/terminal/keys.h"

#include <curses.h>

namespace pelmora {

namespace {
constexpr int kEscape = 27;

bool isEnter(int key) { return key == '\n' || key == '\r' || key == KEY_ENTER; }
} // namespace

DialogEvent eventForKey(int key, View view)
{
    switch (view) {
    case View::Window:
        if (isEnter(key)) return DialogEvent::Ok;
        if (key == kEscape) return DialogEvent::Cancel;
        if (key == 'm' || key == 'M') return DialogEvent::Minimise;
        if (key == 'q' || key == 'Q') return DialogEvent::Close;
        break;
    case View::Compact:
        if (key == ' ') return DialogEvent::TrayDoubleClick;
        if (key == 'q' || key == 'Q') return DialogEvent::Close;
        break;
    case View::Blank:
        break;
    }
    return DialogEvent::Other;
}

} // namespace pelmora
