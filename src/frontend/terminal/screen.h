#pragma once
// What the terminal shows: the window view (the dialog's texts, bar, percent
// and credits in a box), the compact view (the program in the tray: only the
// tooltip text) and the message box. Drawing goes through a small Canvas so
// the layout can be checked without a terminal.
#include <string>
#include <vector>

namespace pelmora {

// Everything the core has told the window system that shows on the screen.
struct FrontState {
    // The dialog's initial texts; start-up replaces them before the window
    // is first displayed.
    std::string unitText = "Text";     // control 101
    std::string countersText = "Text"; // control 106
    std::string percentText = "100%";  // control 104
    int bar = 0;                       // control 102, shown clamped to 0..100
    bool windowShown = true;
    bool trayShown = false;
    std::string tip;                   // the tray icon's tooltip
    bool trayDoubleClickWorks = true;  // nowin not set: Space brings the window back
    bool messageShown = false;
    std::string caption;
    std::string message;
};

enum class View { Window, Compact, Blank };

// The window while it is shown, else the tray while its icon exists.
View currentView(const FrontState& front);

enum class Style { Plain, Title, Hint, Button };

// A surface of rows x cols cells. Every request the layout makes lies within
// it; a text fits the cells from its column on.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual int rows() const = 0;
    virtual int cols() const = 0;
    virtual void text(int row, int col, const std::string& text, Style style) = 0;
    // Marks the cell right after a text that had to be cut.
    virtual void ellipsis(int row, int col) = 0;
    // A line-drawn frame; its interior is left as it is.
    virtual void frame(int top, int left, int height, int width) = 0;
    // A progress bar: width cells, the first `filled` of them full.
    virtual void bar(int row, int col, int width, int filled) = 0;
};

// Draws the whole screen for the state onto a canvas already cleared.
void drawScreen(Canvas& canvas, const FrontState& front);

// --- The pieces, for the tests ----------------------------------------------

// The lines of a text, split at "\n", with every byte that is not printable
// ASCII shown as '?'. An empty text is one empty line.
std::vector<std::string> displayLines(const std::string& text);

// Cells of the progress bar that are full: position clamped to 0..100.
int filledCells(int position, int width);

// The window view's box width and the column widths it gives the unit text
// and the counters text, for the texts' widest lines and the screen width.
struct WindowColumns {
    int boxWidth;
    int unitWidth;    // cells for control 101's lines
    int countersAt;   // where control 106 starts, from the first text column
    int countersWidth;
};
WindowColumns windowColumns(int unitTextWidth, int countersTextWidth, int screenCols);

constexpr int kMinWindowBoxWidth = 56; // the dialog's proportions on a terminal
constexpr int kColumnGap = 3;

} // namespace pelmora
