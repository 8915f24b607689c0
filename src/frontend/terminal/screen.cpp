#include "frontend/terminal/screen.h"

#include <algorithm>
#include <cstring>

#include "state/version.h"

namespace pelmora {

namespace {
// Outer border, margin, group border and padding on each side of the texts.
constexpr int kTextInset = 4;
constexpr int kFrameOverhead = 2 * kTextInset;
// Narrower than this, or too few rows, and the views fall back to plain lines.
constexpr int kSmallestWindowBox = 30;
constexpr int kSmallestCompactBox = 16;
constexpr int kSmallestMessageBox = 12;

const char* const kWindowHint = "Enter OK   Esc Cancel   m minimise   q close";
const char* const kCompactHint = "Space window   q close";
const char* const kCompactHintNoWindow = "q close";
const char* const kOkButton = "[ OK ]";

int widest(const std::vector<std::string>& lines)
{
    size_t widest = 0;
    for (const std::string& line : lines) widest = std::max(widest, line.size());
    return static_cast<int>(widest);
}

int length(const std::string& text) { return static_cast<int>(text.size()); }

// Puts a text in at most `width` cells; one that does not fit loses its tail
// and its last cell shows the ellipsis.
void putFitted(Canvas& canvas, int row, int col, const std::string& text, int width,
               Style style = Style::Plain)
{
    if (width <= 0 || text.empty()) return;
    if (length(text) <= width) {
        canvas.text(row, col, text, style);
        return;
    }
    if (width > 1) canvas.text(row, col, text.substr(0, static_cast<size_t>(width - 1)), style);
    canvas.ellipsis(row, col + width - 1);
}

void putCentred(Canvas& canvas, int row, int left, int width, const std::string& text,
                Style style = Style::Plain)
{
    const int shown = std::min(length(text), width);
    putFitted(canvas, row, left + (width - shown) / 2, text, shown, style);
}

// When the boxes do not fit: the lines one under the other, cut to the screen.
void drawPlain(Canvas& canvas, const std::vector<std::string>& lines)
{
    const int count = std::min(canvas.rows(), static_cast<int>(lines.size()));
    for (int row = 0; row < count; ++row) putFitted(canvas, row, 0, lines[row], canvas.cols());
}

void append(std::vector<std::string>& to, const std::vector<std::string>& lines)
{
    to.insert(to.end(), lines.begin(), lines.end());
}

std::string framed(const std::string& title) { return " " + title + " "; }

void drawWindow(Canvas& canvas, const FrontState& front)
{
    const std::vector<std::string> unit = displayLines(front.unitText);
    const std::vector<std::string> counters = displayLines(front.countersText);
    const std::string percent = displayLines(front.percentText).front();
    const int textRows = static_cast<int>(std::max(unit.size(), counters.size()));
    const int height = textRows + 7; // box, group, texts, bar, percent, credits
    const WindowColumns columns = windowColumns(widest(unit), widest(counters), canvas.cols());

    if (columns.boxWidth < kSmallestWindowBox || canvas.rows() < height) {
        std::vector<std::string> lines{PELMORA_TITLE};
        append(lines, unit);
        append(lines, counters);
        lines.push_back(percent);
        drawPlain(canvas, lines);
        return;
    }

    const bool hint = canvas.rows() > height;
    const int width = columns.boxWidth;
    const int top = (canvas.rows() - height - (hint ? 1 : 0)) / 2;
    const int left = (canvas.cols() - width) / 2;

    canvas.frame(top, left, height, width);
    putFitted(canvas, top, left + 2, framed(PELMORA_TITLE), width - 4, Style::Title);
    canvas.frame(top + 1, left + 2, textRows + 2, width - 4);
    putFitted(canvas, top + 1, left + 4, framed("Protein Info:"), width - 8);
    const int textCol = left + kTextInset;
    for (int i = 0; i < textRows; ++i) {
        const int row = top + 2 + i;
        if (i < static_cast<int>(unit.size())) putFitted(canvas, row, textCol, unit[i], columns.unitWidth);
        if (i < static_cast<int>(counters.size()))
            putFitted(canvas, row, textCol + columns.countersAt, counters[i], columns.countersWidth);
    }
    const int barRow = top + textRows + 3;
    canvas.bar(barRow, left + 2, width - 4, filledCells(front.bar, width - 4));
    putCentred(canvas, barRow + 1, left + 1, width - 2, percent);
    putCentred(canvas, barRow + 2, left + 1, width - 2, PELMORA_CREDITS);
    if (hint) putCentred(canvas, top + height, 0, canvas.cols(), kWindowHint, Style::Hint);
}

// The tray stands at the bottom right, and so does the compact view.
void drawCompact(Canvas& canvas, const FrontState& front)
{
    const std::vector<std::string> lines = displayLines(front.tip);
    const std::string hintText = front.trayDoubleClickWorks ? kCompactHint : kCompactHintNoWindow;
    const int inner = std::max(widest(lines), length(framed(PELMORA_TITLE)));
    const int width = std::min(inner + 4, canvas.cols());
    const int height = static_cast<int>(lines.size()) + 2;

    if (width < kSmallestCompactBox || canvas.rows() < height) {
        drawPlain(canvas, lines);
        return;
    }
    const bool hint = canvas.rows() > height;
    const int top = canvas.rows() - height - (hint ? 1 : 0);
    const int left = std::max(0, canvas.cols() - width - 1);
    canvas.frame(top, left, height, width);
    putFitted(canvas, top, left + 2, framed(PELMORA_TITLE), width - 4, Style::Title);
    for (size_t i = 0; i < lines.size(); ++i)
        putFitted(canvas, top + 1 + static_cast<int>(i), left + 2, lines[i], width - 4);
    if (hint) {
        const int shown = std::min(length(hintText), left + width);
        putFitted(canvas, top + height, left + width - shown, hintText, shown, Style::Hint);
    }
}

void drawMessage(Canvas& canvas, const FrontState& front)
{
    const std::vector<std::string> lines = displayLines(front.message);
    const std::string caption = displayLines(front.caption).front();
    const int inner = std::max({widest(lines), length(framed(caption)), length(kOkButton)});
    const int width = std::min(inner + 4, canvas.cols());
    const int height = static_cast<int>(lines.size()) + 4; // frame, blank line, button

    if (width < kSmallestMessageBox || canvas.rows() < height) {
        std::vector<std::string> plain{caption};
        append(plain, lines);
        plain.push_back(kOkButton);
        drawPlain(canvas, plain);
        return;
    }
    const int top = (canvas.rows() - height) / 2;
    const int left = (canvas.cols() - width) / 2;
    canvas.frame(top, left, height, width);
    putFitted(canvas, top, left + 2, framed(caption), width - 4, Style::Title);
    for (size_t i = 0; i < lines.size(); ++i)
        putFitted(canvas, top + 1 + static_cast<int>(i), left + 2, lines[i], width - 4);
    putCentred(canvas, top + height - 2, left + 1, width - 2, kOkButton, Style::Button);
}
} // namespace

View currentView(const FrontState& front)
{
    if (front.windowShown) return View::Window;
    if (front.trayShown) return View::Compact;
    return View::Blank;
}

std::vector<std::string> displayLines(const std::string& text)
{
    std::vector<std::string> lines(1);
    for (const char c : text) {
        if (c == '\n') {
            lines.emplace_back();
            continue;
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        lines.back().push_back(byte >= 0x20 && byte < 0x7F ? c : '?');
    }
    return lines;
}

int filledCells(int position, int width)
{
    if (width <= 0) return 0;
    const int clamped = std::clamp(position, 0, 100);
    return width * clamped / 100;
}

WindowColumns windowColumns(int unitTextWidth, int countersTextWidth, int screenCols)
{
    const int needed = unitTextWidth + kColumnGap + countersTextWidth + kFrameOverhead;
    const int box = std::min(std::max(needed, kMinWindowBoxWidth), screenCols);
    const int area = box - kFrameOverhead;
    const int available = std::max(0, area - kColumnGap);
    // The counters are short; the unit name gives way first, but keeps at
    // least half of the room.
    const int unitWidth = std::min(unitTextWidth, std::max(available - countersTextWidth, (available + 1) / 2));
    const int countersWidth = std::min(countersTextWidth, available - unitWidth);
    // The counters start half-way across, as in the dialog, unless that
    // would push them out of the group.
    int countersAt = std::max(unitWidth + kColumnGap, area / 2);
    if (countersAt + countersWidth > area) countersAt = std::max(unitWidth + kColumnGap, area - countersWidth);
    return {box, unitWidth, countersAt, countersWidth};
}

void drawScreen(Canvas& canvas, const FrontState& front)
{
    if (canvas.rows() <= 0 || canvas.cols() <= 0) return;
    if (front.messageShown) {
        drawMessage(canvas, front);
        return;
    }
    switch (currentView(front)) {
    case View::Window: drawWindow(canvas, front); break;
    case View::Compact: drawCompact(canvas, front); break;
    case View::Blank: break;
    }
}

} // namespace pelmora
