// The terminal's views as a user sees them: drawn onto a grid of characters
// ('+', '-', '|' for frames, '#' and '.' for the bar, '~' for a cut text).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/terminal/screen.h"

namespace pelmora {

namespace {

class GridCanvas : public Canvas {
public:
    GridCanvas(int rows, int cols) : grid_(static_cast<size_t>(rows), std::string(static_cast<size_t>(cols), ' ')) {}
    int rows() const override { return static_cast<int>(grid_.size()); }
    int cols() const override { return grid_.empty() ? 0 : static_cast<int>(grid_[0].size()); }
    void text(int row, int col, const std::string& text, Style) override
    {
        for (size_t i = 0; i < text.size(); ++i) put(row, col + static_cast<int>(i), text[i]);
    }
    void ellipsis(int row, int col) override { put(row, col, '~'); }
    void frame(int top, int left, int height, int width) override
    {
        for (int col = left; col < left + width; ++col) {
            const bool corner = col == left || col == left + width - 1;
            put(top, col, corner ? '+' : '-');
            put(top + height - 1, col, corner ? '+' : '-');
        }
        for (int row = top + 1; row < top + height - 1; ++row) {
            put(row, left, '|');
            put(row, left + width - 1, '|');
        }
    }
    void bar(int row, int col, int width, int filled) override
    {
        for (int i = 0; i < width; ++i) put(row, col + i, i < filled ? '#' : '.');
    }
    // The grid with trailing blanks dropped, one string per row.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (std::string line : grid_) out.push_back(line.erase(line.find_last_not_of(' ') + 1));
        return out;
    }
    int outside = 0; // requests that fell off the grid

private:
    void put(int row, int col, char c)
    {
        if (row < 0 || col < 0 || row >= rows() || col >= cols()) {
            ++outside;
            return;
        }
        grid_[static_cast<size_t>(row)][static_cast<size_t>(col)] = c;
    }
    std::vector<std::string> grid_;
};

FrontState demoWindow()
{
    FrontState front;
    front.unitText = "p2665_Zinc_finger_Cyc_R3\nCore: Tinker\nPoint Value: 357\nTime(minutes): 0";
    front.countersText = "CPU#: 1\nWU#: 1\nStart Date: March 3\nDue by: March 17";
    front.percentText = "42%";
    front.bar = 42;
    return front;
}

std::vector<std::string> draw(const FrontState& front, int rows, int cols)
{
    GridCanvas canvas(rows, cols);
    drawScreen(canvas, front);
    EXPECT_EQ(canvas.outside, 0) << rows << " x " << cols;
    return canvas.lines();
}

using Lines = std::vector<std::string>;

TEST(TerminalScreen, WindowViewShowsTheDialog)
{
    EXPECT_EQ(draw(demoWindow(), 14, 80), (Lines{
        "",
        "            +- Pelmora 2.0 ----------------------------------------+",
        "            | +- Protein Info: ----------------------------------+ |",
        "            | | p2665_Zinc_finger_Cyc_R3   CPU#: 1               | |",
        "            | | Core: Tinker               WU#: 1                | |",
        "            | | Point Value: 357           Start Date: March 3   | |",
        "            | | Time(minutes): 0           Due by: March 17      | |",
        "            | +--------------------------------------------------+ |",
        "            | #####################............................... |",
        "            |                         42%                          |",
        "            |              (C) 2026 the Pelmora team               |",
        "            +------------------------------------------------------+",
        "                  Enter OK   Esc Cancel   m minimise   q close",
        "",
    }));
}

// The longest unit name (74 characters) gives way to the counters, which
// stay whole, on an 80-column terminal; on a wide one the box grows to hold it.
TEST(TerminalScreen, LongUnitNameCutOrWhole)
{
    FrontState front = demoWindow();
    const std::string name(74, 'N');
    front.unitText = name + "\nCore: Tinker\nPoint Value: 357\nTime(minutes): 0";

    const Lines narrow = draw(front, 14, 80);
    EXPECT_EQ(narrow[3], "| | " + name.substr(0, 49) + "~   CPU#: 1" + std::string(13, ' ') + "| |");
    EXPECT_EQ(narrow[5], "| | Point Value: 357" + std::string(37, ' ') + "Start Date: March 3 | |");

    const Lines wide = draw(front, 14, 120);
    EXPECT_NE(wide[3].find(name + "   CPU#: 1"), std::string::npos);
}

TEST(TerminalScreen, BarFillClampedToItsRange)
{
    const struct { int position, width, filled; } cases[] = {{-5, 52, 0}, {99, 52, 51}, {250, 52, 52}, {50, 0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(filledCells(c.position, c.width), c.filled) << c.position << "% of " << c.width;
}

TEST(TerminalScreen, CompactViewShowsTheTooltipAtTheBottomRight)
{
    FrontState front = demoWindow();
    front.windowShown = false;
    front.trayShown = true;
    front.tip = "CPU#: 1    WU#: 1\nName: p2665_Zinc_finger_Cyc_R3\nCore: Tinker     Points: 357\n42% Completed";
    EXPECT_EQ(draw(front, 9, 60), (Lines{
        "",
        "",
        "                         +- Pelmora 2.0 ------------------+",
        "                         | CPU#: 1    WU#: 1              |",
        "                         | Name: p2665_Zinc_finger_Cyc_R3 |",
        "                         | Core: Tinker     Points: 357   |",
        "                         | 42% Completed                  |",
        "                         +--------------------------------+",
        "                                     Space window   q close",
    }));

    front.trayDoubleClickWorks = false; // nowin: Space does nothing, so it is not offered
    EXPECT_EQ(draw(front, 9, 60).back(), std::string(52, ' ') + "q close");
}

TEST(TerminalScreen, MessageBoxWithItsCaption)
{
    FrontState front;
    front.messageShown = true;
    front.caption = "../unitinfo.txt";
    front.message = "Cannot locate unitinfo.txt file. Pelmora must be installed in your\n"
                    "Folding @ Home directory to work properly.";
    EXPECT_EQ(draw(front, 8, 80), (Lines{
        "",
        "     +- ../unitinfo.txt --------------------------------------------------+",
        "     | Cannot locate unitinfo.txt file. Pelmora must be installed in your |",
        "     | Folding @ Home directory to work properly.                         |",
        "     |                                                                    |",
        "     |                               [ OK ]                               |",
        "     +--------------------------------------------------------------------+",
        "",
    }));
}

TEST(TerminalScreen, NothingShownDrawsNothing)
{
    FrontState blank;
    blank.windowShown = false;
    EXPECT_EQ(draw(blank, 5, 20), Lines(5, ""));
}

// Too small for the boxes, the texts are shown one under the other; and no
// size, however small, draws off the screen.
TEST(TerminalScreen, SmallTerminals)
{
    EXPECT_EQ(draw(demoWindow(), 6, 20), (Lines{
        "Pelmora 2.0", "p2665_Zinc_finger_C~", "Core: Tinker", "Point Value: 357", "Time(minutes): 0", "CPU#: 1",
    }));

    FrontState compact = demoWindow();
    compact.windowShown = false;
    compact.trayShown = true;
    compact.tip = "CPU#: 1    WU#: 1\nName: p1\nCore: Tinker     Points: 357\n42% Completed";
    FrontState message;
    message.messageShown = true;
    message.caption = "../unitinfo.txt";
    message.message = "line one\nline two";
    for (const FrontState& front : {demoWindow(), compact, message})
        for (int rows = 0; rows <= 14; ++rows)
            for (int cols = 0; cols <= 90; ++cols) {
                GridCanvas canvas(rows, cols);
                drawScreen(canvas, front);
                ASSERT_EQ(canvas.outside, 0) << rows << " x " << cols;
            }
}

TEST(TerminalScreen, OnlyPrintableAsciiReachesTheScreen)
{
    EXPECT_EQ(displayLines(""), Lines{""});
    EXPECT_EQ(displayLines("a\nb\n"), (Lines{"a", "b", ""}));
    EXPECT_EQ(displayLines("caf\xE9\ttab\x1B[2J"), Lines{"caf??tab?[2J"});
}

} // namespace

} // namespace pelmora
