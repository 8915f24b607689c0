#include "frontend/terminal/curses_canvas.h"

#include <algorithm>
#include <curses.h>

namespace pelmora {

namespace {
attr_t attributesOf(Style style)
{
    switch (style) {
    case Style::Title: return A_BOLD;
    case Style::Hint: return A_DIM;
    case Style::Button: return A_REVERSE;
    case Style::Plain: break;
    }
    return A_NORMAL;
}
} // namespace

int CursesCanvas::rows() const { return getmaxy(stdscr); }

int CursesCanvas::cols() const { return getmaxx(stdscr); }

void CursesCanvas::text(int row, int col, const std::string& text, Style style)
{
    if (!inside(row, col)) return;
    const int room = cols() - col;
    attron(attributesOf(style));
    mvaddnstr(row, col, text.c_str(), std::min(room, static_cast<int>(text.size())));
    attroff(attributesOf(style));
}

void CursesCanvas::ellipsis(int row, int col)
{
    if (!inside(row, col)) return;
    if (unicode_)
        mvaddstr(row, col, "\xE2\x80\xA6"); // HORIZONTAL ELLIPSIS
    else
        mvaddch(row, col, '~');
}

void CursesCanvas::frame(int top, int left, int height, int width)
{
    if (height < 2 || width < 2) return;
    const int bottom = top + height - 1;
    const int right = left + width - 1;
    for (int col = left + 1; col < right; ++col) {
        if (inside(top, col)) mvaddch(top, col, ACS_HLINE);
        if (inside(bottom, col)) mvaddch(bottom, col, ACS_HLINE);
    }
    for (int row = top + 1; row < bottom; ++row) {
        if (inside(row, left)) mvaddch(row, left, ACS_VLINE);
        if (inside(row, right)) mvaddch(row, right, ACS_VLINE);
    }
    if (inside(top, left)) mvaddch(top, left, ACS_ULCORNER);
    if (inside(top, right)) mvaddch(top, right, ACS_URCORNER);
    if (inside(bottom, left)) mvaddch(bottom, left, ACS_LLCORNER);
    if (inside(bottom, right)) mvaddch(bottom, right, ACS_LRCORNER);
}

void CursesCanvas::bar(int row, int col, int width, int filled)
{
    for (int i = 0; i < width; ++i) {
        if (!inside(row, col + i)) continue;
        const bool full = i < filled;
        if (unicode_)
            mvaddstr(row, col + i, full ? "\xE2\x96\x88" : "\xE2\x96\x91"); // FULL BLOCK, LIGHT SHADE
        else
            mvaddch(row, col + i, full ? ('#' | A_BOLD) : '.');
    }
}

} // namespace pelmora
