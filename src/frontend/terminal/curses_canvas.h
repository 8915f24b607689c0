#pragma once
// The canvas on the terminal: ncurses' standard screen.
#include "frontend/terminal/screen.h"

namespace pelmora {

class CursesCanvas : public Canvas {
public:
    // unicode: the terminal takes UTF-8, so the bar and the ellipsis can use
    // their proper characters; otherwise plain ASCII stands in.
    explicit CursesCanvas(bool unicode) : unicode_(unicode) {}
    int rows() const override;
    int cols() const override;
    void text(int row, int col, const std::string& text, Style style) override;
    void ellipsis(int row, int col) override;
    void frame(int top, int left, int height, int width) override;
    void bar(int row, int col, int width, int filled) override;

private:
    bool inside(int row, int col) const { return row >= 0 && col >= 0 && row < rows() && col < cols(); }
    bool unicode_;
};

} // namespace pelmora
